#include "ecc/page.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace folvane {

namespace {

bool AllErased(std::span<const std::uint8_t> bytes) {
  std::size_t i = 0;
  std::uint64_t all = ~std::uint64_t{0};
  for (; i + 8 <= bytes.size(); i += 8) {
    std::uint64_t w;
    std::memcpy(&w, bytes.data() + i, 8);
    all &= w;
    if ((i & 255) == 0 && all != ~std::uint64_t{0}) return false;
  }
  for (; i < bytes.size(); ++i) all &= 0xFFFFFFFFFFFFFF00ull | bytes[i];
  return all == ~std::uint64_t{0};
}

// The bits read as 0 in `n` bytes, counted only until they pass `cap` (a written
// step passes it in its first words). Words of 0xFF are not counted at all: the
// processor this is built for may have no instruction for it.
unsigned ZeroBits(const std::uint8_t* bytes, std::size_t n, unsigned cap) {
  unsigned zeros = 0;
  std::size_t i = 0;
  for (; i + 8 <= n && zeros <= cap; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, bytes + i, 8);
    if (~w != 0) zeros += static_cast<unsigned>(std::popcount(~w));
  }
  for (; i < n && zeros <= cap; ++i) zeros += static_cast<unsigned>(std::popcount(static_cast<std::uint8_t>(~bytes[i])));
  return zeros;
}

// Steps encoded together: enough for any contiguous layout of the block modes.
constexpr std::size_t kBatch = 32;

// Room for one step's codeword and ECC bytes, on the stack for the common steps: a
// page read with flips costs no allocation.
struct StepRoom {
  std::array<std::uint8_t, 2048> fewCodeword;
  std::array<std::uint8_t, 128> fewEcc;
  std::vector<std::uint8_t> many;
  std::uint8_t* codeword = nullptr;
  std::uint8_t* ecc = nullptr;
  StepRoom(std::size_t step, std::size_t eccBytes) {
    codeword = fewCodeword.data();
    ecc = fewEcc.data();
    if (step > fewCodeword.size() || eccBytes > fewEcc.size()) {
      many.resize(step + eccBytes);
      codeword = many.data();
      ecc = many.data() + step;
    }
  }
};

// Pointers to a page's codewords, on the stack for the common page sizes.
struct CodewordPointers {
  std::array<const std::uint8_t*, kBatch> few;
  std::vector<const std::uint8_t*> many;
  const std::uint8_t** at = few.data();
  CodewordPointers(const CodewordPointers&) = delete;  // `at` points into it
  CodewordPointers& operator=(const CodewordPointers&) = delete;
  explicit CodewordPointers(std::size_t steps) {
    if (steps > kBatch) {
      many.resize(steps);
      at = many.data();
    }
  }
};

}  // namespace

// Room for a page's codeword pointers and recomputed ECC bytes, on the stack for the
// common page sizes.
struct PageCodec::Scratch {
  CodewordPointers pointers;
  std::array<std::uint8_t, 2048> fewEcc;
  std::vector<std::uint8_t> manyEcc;
  std::array<std::uint8_t, 16384> fewGathered;
  std::vector<std::uint8_t> manyGathered;
  std::uint8_t* gathered = nullptr;  // set by Recompute for a page not in one piece per step
  const std::uint8_t** codewords;
  std::uint8_t* ecc;
  Scratch(std::size_t steps, std::size_t eccBytes) : pointers(steps), codewords(pointers.at) {
    ecc = fewEcc.data();
    if (steps * eccBytes > fewEcc.size()) {
      manyEcc.resize(steps * eccBytes);
      ecc = manyEcc.data();
    }
  }
};

void PageCodec::Recompute(std::span<const std::uint8_t> page, Scratch& scratch) const {
  const std::size_t steps = plan_.steps.size();
  const std::uint32_t step = scheme_.step;
  if (!plan_.contiguous) {
    scratch.gathered = scratch.fewGathered.data();
    if (steps * std::size_t{step} > scratch.fewGathered.size()) {
      scratch.manyGathered.resize(steps * std::size_t{step});
      scratch.gathered = scratch.manyGathered.data();
    }
  }
  for (std::size_t s = 0; s < steps; ++s) {
    if (plan_.contiguous) {
      scratch.codewords[s] = page.data() + plan_.steps[s].dataFrom;
    } else {
      Gather(page, plan_.steps[s], scratch.gathered + s * step);
      scratch.codewords[s] = scratch.gathered + s * step;
    }
  }
  EncodeAll(std::span(scratch.codewords, steps), scratch.ecc);
}

EccResult<PageCodec> PageCodec::Make(const EccScheme& scheme, std::uint32_t dataBytes, std::uint32_t spareBytes) {
  auto plan = PlanPage(scheme, dataBytes, spareBytes);
  if (!plan.ok()) return EccResult<PageCodec>::Fail(plan.error());
  PageCodec codec;
  codec.scheme_ = scheme;
  codec.plan_ = std::move(plan).value();
  codec.codeBytes_ = scheme.CodeBytes();
  if (scheme.code == EccCode::kBch) {
    auto code = BchCode::Make(scheme.Bch());
    if (!code.ok()) return EccResult<PageCodec>::Fail(code.error());
    codec.bch_ = std::move(code).value();
    codec.codeBytes_ = codec.bch_->EccBytes();
  }
  const std::vector<std::uint32_t>& at = codec.plan_.eccOffsets;
  codec.eccInRuns_ = codec.codeBytes_ <= scheme.eccBytes;
  for (std::size_t s = 0; s < codec.plan_.steps.size() && codec.eccInRuns_; ++s)
    for (std::uint32_t i = 1; i < codec.codeBytes_; ++i)
      codec.eccInRuns_ = codec.eccInRuns_ && at[s * scheme.eccBytes + i] == at[s * scheme.eccBytes] + i;
  return codec;
}

void PageCodec::EncodeAll(std::span<const std::uint8_t* const> codewords, std::uint8_t* ecc) const {
  if (bch_) {
    std::array<std::uint8_t*, kBatch> out;
    for (std::size_t s = 0; s < codewords.size(); s += kBatch) {
      const std::size_t n = std::min(kBatch, codewords.size() - s);
      for (std::size_t k = 0; k < n; ++k) out[k] = ecc + (s + k) * codeBytes_;
      bch_->EncodeSteps(codewords.subspan(s, n), std::span(out.data(), n));
    }
    return;
  }
  for (std::size_t s = 0; s < codewords.size(); ++s)
    HammingEncode(codewords[s], scheme_.step, scheme_.order, ecc + s * codeBytes_);
}

void PageCodec::Gather(std::span<const std::uint8_t> page, const StepPlace& p, std::uint8_t* codeword) const {
  std::memcpy(codeword, page.data() + p.at[0], p.split);
  std::memcpy(codeword + p.split, page.data() + p.at[1], scheme_.step - p.split);
}

Laid PageCodec::LayOut(std::span<const std::uint8_t> data, std::span<std::uint8_t> page,
                       const EccLayoutOptions& options) const {
  if (data.size() != plan_.dataBytes || page.size() != PageBytes()) return Laid::kWrongSize;
  if (!options.programErased && AllErased(data)) {
    std::memset(page.data(), 0xFF, page.size());
    return Laid::kLeftErased;
  }
  const std::size_t steps = plan_.steps.size();
  const std::uint32_t step = scheme_.step;
  // The last codeword of an interleaved page may run past the data: it is completed
  // with 0xFF here.
  StepRoom tail(step, 0);
  CodewordPointers pointers(steps);
  const std::uint8_t** codewords = pointers.at;
  for (std::size_t s = 0; s < steps; ++s) {
    const StepPlace& p = plan_.steps[s];
    if (p.dataLen == step) {
      codewords[s] = data.data() + p.dataFrom;
    } else {
      std::memset(tail.codeword, 0xFF, step);
      std::memcpy(tail.codeword, data.data() + p.dataFrom, p.dataLen);
      codewords[s] = tail.codeword;
    }
  }
  if (plan_.contiguous) {
    std::memcpy(page.data(), data.data(), data.size());
    std::memset(page.data() + data.size(), 0xFF, plan_.spareBytes);
  } else {
    std::memset(page.data(), 0xFF, page.size());
    for (std::size_t s = 0; s < steps; ++s) {
      const StepPlace& p = plan_.steps[s];
      std::memcpy(page.data() + p.at[0], codewords[s], p.split);
      std::memcpy(page.data() + p.at[1], codewords[s] + p.split, step - p.split);
    }
  }
  PlaceEcc(std::span(codewords, steps), page);
  return Laid::kProgrammed;
}

Laid PageCodec::LayOutInPlace(std::span<std::uint8_t> page, const EccLayoutOptions& options) const {
  if (page.size() != PageBytes()) return Laid::kWrongSize;
  const auto data = page.first(plan_.dataBytes);
  if (!plan_.contiguous) {
    // The codewords are spread over the page: the data is laid out from a copy.
    std::array<std::uint8_t, 16384> few;
    std::vector<std::uint8_t> many;
    std::uint8_t* copy = few.data();
    if (data.size() > few.size()) {
      many.resize(data.size());
      copy = many.data();
    }
    std::memcpy(copy, data.data(), data.size());
    return LayOut(std::span<const std::uint8_t>(copy, data.size()), page, options);
  }
  if (!options.programErased && AllErased(data)) {
    std::memset(page.data() + data.size(), 0xFF, plan_.spareBytes);
    return Laid::kLeftErased;
  }
  const std::size_t steps = plan_.steps.size();
  CodewordPointers pointers(steps);
  const std::uint8_t** codewords = pointers.at;
  for (std::size_t s = 0; s < steps; ++s) codewords[s] = page.data() + plan_.steps[s].dataFrom;
  std::memset(page.data() + data.size(), 0xFF, plan_.spareBytes);
  PlaceEcc(std::span(codewords, steps), page);
  return Laid::kProgrammed;
}

void PageCodec::PlaceEcc(std::span<const std::uint8_t* const> codewords, std::span<std::uint8_t> page) const {
  const std::size_t steps = codewords.size();
  std::array<std::uint8_t, kBatch * 64> eccSmall;
  std::vector<std::uint8_t> eccLarge;
  std::uint8_t* ecc = eccSmall.data();
  if (steps * codeBytes_ > eccSmall.size()) {
    eccLarge.resize(steps * codeBytes_);
    ecc = eccLarge.data();
  }
  EncodeAll(codewords, ecc);
  const std::uint32_t* to = plan_.eccOffsets.data();
  const std::uint32_t stored = scheme_.eccBytes;
  for (std::size_t s = 0; s < steps; ++s, to += stored) {
    const std::uint8_t* from = ecc + s * codeBytes_;
    for (std::uint32_t i = 0; i < codeBytes_; ++i) page[to[i]] = from[i];
    for (std::uint32_t i = codeBytes_; i < stored; ++i) page[to[i]] = scheme_.pad;
  }
}

PageCheck PageCodec::Check(std::span<const std::uint8_t> page) const {
  PageCheck check;
  if (page.size() != PageBytes()) {
    check.wrongSize = true;
    return check;
  }
  if (AllErased(page)) {
    check.erased = true;
    return check;
  }
  const std::size_t steps = plan_.steps.size();
  Scratch scratch(steps, codeBytes_);
  Recompute(page, scratch);
  const std::uint8_t* ecc = scratch.ecc;
  const std::uint32_t stored = scheme_.eccBytes;
  for (std::size_t s = 0; s < steps; ++s) {
    const std::uint32_t* at = plan_.eccOffsets.data() + s * stored;
    bool same = true;
    std::uint32_t i = 0;
    if (eccInRuns_) {
      same = std::memcmp(page.data() + at[0], ecc + s * codeBytes_, codeBytes_) == 0;
      i = codeBytes_;
    }
    for (; i < stored && same; ++i) same = page[at[i]] == (i < codeBytes_ ? ecc[s * codeBytes_ + i] : scheme_.pad);
    if (!same) check.differing.push_back(static_cast<std::uint32_t>(s));
  }
  return check;
}

bool PageCodec::StepMatches(std::span<const std::uint8_t> page, std::size_t step) const {
  if (page.size() != PageBytes() || step >= plan_.steps.size()) return false;
  const StepPlace& p = plan_.steps[step];
  const std::uint32_t bytes = scheme_.step;
  // The codeword where it lies in one piece, else gathered.
  StepRoom room(bytes, codeBytes_);
  const std::uint8_t* codeword = page.data() + p.at[0];
  if (p.split != bytes) {
    Gather(page, p, room.codeword);
    codeword = room.codeword;
  }
  std::uint8_t* ecc = room.ecc;
  if (bch_) bch_->Encode(codeword, ecc);
  else HammingEncode(codeword, bytes, scheme_.order, ecc);
  const std::uint32_t stored = scheme_.eccBytes;
  const std::uint32_t* at = plan_.eccOffsets.data() + step * stored;
  for (std::uint32_t i = 0; i < stored; ++i)
    if (page[at[i]] != (i < codeBytes_ ? ecc[i] : scheme_.pad)) return false;
  return true;
}

PageDecode PageCodec::Decode(std::span<const std::uint8_t> page, std::span<std::uint8_t> data) const {
  PageDecode result;
  if (page.size() != PageBytes() || data.size() != plan_.dataBytes) {
    result.state = PageState::kWrongSize;
    return result;
  }
  const std::size_t steps = plan_.steps.size();
  const std::uint32_t step = scheme_.step;
  const std::uint32_t stored = scheme_.eccBytes;
  // An erased page with a few bits read as 0 is not decoded: without a mask its ECC
  // is no codeword's, and with one the decoder would only return what this does.
  const unsigned limit = scheme_.Corrects();
  bool erased = true;
  unsigned zeros = 0;
  for (std::size_t s = 0; s < steps && erased; ++s) {
    const StepPlace& p = plan_.steps[s];
    unsigned z = ZeroBits(page.data() + p.at[0], p.split, limit);
    if (z <= limit) z += ZeroBits(page.data() + p.at[1], step - p.split, limit - z);
    for (std::uint32_t i = 0; i < codeBytes_ && z <= limit; ++i)
      z += static_cast<unsigned>(std::popcount(static_cast<std::uint8_t>(~page[plan_.eccOffsets[s * stored + i]])));
    erased = z <= limit;
    zeros += z;
  }
  if (erased) {
    std::memset(data.data(), 0xFF, data.size());
    result.state = zeros == 0 ? PageState::kErased : PageState::kErasedWithFlips;
    result.erasedZeros = zeros;
    return result;
  }

  // Every step is encoded again first, as Check does; only the steps whose ECC differs
  // go through the decoder.
  Scratch scratch(steps, codeBytes_);
  Recompute(page, scratch);
  const std::uint8_t* mine = scratch.ecc;
  StepRoom room(step, codeBytes_);
  result.steps.resize(steps);
  bool corrected = false, failed = false;
  for (std::size_t s = 0; s < steps; ++s) {
    const StepPlace& p = plan_.steps[s];
    const std::uint32_t* at = plan_.eccOffsets.data() + s * stored;
    bool same = true;
    for (std::uint32_t i = 0; i < codeBytes_ && same; ++i) same = page[at[i]] == mine[s * codeBytes_ + i];
    if (same) {
      result.steps[s] = 0;
      std::memcpy(data.data() + p.dataFrom, scratch.codewords[s], p.dataLen);
      continue;
    }
    std::memcpy(room.codeword, scratch.codewords[s], step);
    for (std::uint32_t i = 0; i < codeBytes_; ++i) room.ecc[i] = page[at[i]];
    const std::optional<unsigned> bits = bch_ ? bch_->Correct(room.codeword, room.ecc)
                                              : HammingCorrect(room.codeword, step, scheme_.order, room.ecc);
    result.steps[s] = bits ? static_cast<int>(*bits) : kUncorrectable;
    corrected = corrected || (bits && *bits > 0);
    failed = failed || !bits;
    std::memcpy(data.data() + p.dataFrom, room.codeword, p.dataLen);
  }
  result.state = failed ? PageState::kUncorrectable : corrected ? PageState::kCorrected : PageState::kClean;
  return result;
}

int PageCodec::DecodeStep(std::span<const std::uint8_t> page, std::size_t step,
                          std::span<std::uint8_t> codeword) const {
  if (page.size() != PageBytes() || step >= plan_.steps.size() || codeword.size() != scheme_.step) return kUncorrectable;
  Gather(page, plan_.steps[step], codeword.data());
  std::array<std::uint8_t, 128> few;
  std::vector<std::uint8_t> many;
  std::uint8_t* ecc = few.data();
  if (codeBytes_ > few.size()) {
    many.resize(codeBytes_);
    ecc = many.data();
  }
  const std::uint32_t* at = plan_.eccOffsets.data() + step * scheme_.eccBytes;
  for (std::uint32_t i = 0; i < codeBytes_; ++i) ecc[i] = page[at[i]];
  const std::optional<unsigned> bits = bch_ ? bch_->Correct(codeword.data(), ecc)
                                            : HammingCorrect(codeword.data(), scheme_.step, scheme_.order, ecc);
  return bits ? static_cast<int>(*bits) : kUncorrectable;
}

}  // namespace folvane
