#include "ecc/detect.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>

#include "ecc/page.hpp"

namespace folvane {

namespace {

constexpr unsigned kMaxT = 60;
constexpr std::array<std::uint32_t, 2> kBchSteps = {512, 1024};
// Pages the candidates are first tried on, spread over the image: a candidate that
// misses one of them cannot match every page, and only the few that pass are checked
// on all of them.
constexpr std::size_t kSamplePages = 16;
// The nearest schemes shown when none matches every page.
constexpr std::size_t kClosest = 5;
// The most filler bytes looked for between one step's ECC and the next's.
constexpr std::uint32_t kMaxPad = 32;

bool Erased(const std::uint8_t* bytes, std::size_t n) {
  return std::all_of(bytes, bytes + n, [](std::uint8_t b) { return b == 0xFF; });
}

bool Uniform(const std::uint8_t* bytes, std::size_t n) {
  return std::all_of(bytes, bytes + n, [&](std::uint8_t b) { return b == bytes[0]; });
}

// One code (its step, strength, bit order and Hamming order), built once; its
// placements are found in the pages. A BCH code is built masked: the unmasked ECC is
// the masked one with the mask taken off again.
struct Variant {
  EccScheme scheme;
  std::optional<BchCode> bch;
  // The ECC the code stores for `data`, masked or not (BCH only).
  void Encode(const std::uint8_t* data, bool masked, std::uint8_t* ecc) const {
    if (!bch) {
      HammingEncode(data, scheme.step, scheme.order, ecc);
      return;
    }
    bch->Encode(data, ecc);
    if (!masked) {
      const auto mask = bch->Mask();
      for (std::size_t i = 0; i < mask.size(); ++i) ecc[i] ^= mask[i];
    }
  }
};

// The codes to look for, each once; their tables are built one at a time as each is
// looked for (all of them together would hold some 100 MB).
std::vector<EccScheme> Codes(std::uint32_t dataBytes) {
  std::vector<EccScheme> codes;
  auto add = [&](const std::string& form) {
    auto s = ParseScheme(form);
    if (!s.ok() || s->step > dataBytes) return;
    EccScheme scheme = *s;
    scheme.placement = EccPlacement::kLinux;
    scheme.at = scheme.chunk = 0;
    if (scheme.code == EccCode::kBch) scheme.masked = true;
    if (std::find(codes.begin(), codes.end(), scheme) == codes.end()) codes.push_back(scheme);
  };
  for (const char* form : {"hamming:step=256", "hamming:step=256,order=sm", "hamming:step=512",
                           "hamming:step=512,order=sm"})
    add(form);
  for (const std::uint32_t step : kBchSteps)
    for (unsigned t = 1; t <= kMaxT; ++t)
      for (const char* bits : {"msb", "lsb"})
        add("bch:t=" + std::to_string(t) + ",step=" + std::to_string(step) + ",bits=" + bits);
  // The named schemes' own codes where the family above lacks them (other steps).
  for (const NamedScheme& n : NamedSchemes()) add(SchemeText(n.scheme));
  return codes;
}

// The candidates a code gives in one page: wherever its first step's ECC is stored.
class Candidates {
 public:
  Candidates(std::uint32_t dataBytes, std::uint32_t spareBytes) : data_(dataBytes), page_(dataBytes + spareBytes) {}

  void Add(const EccScheme& s) {
    if (std::find(list_.begin(), list_.end(), s) == list_.end()) list_.push_back(s);
  }
  [[nodiscard]] const std::vector<EccScheme>& List() const { return list_; }

  void Search(const Variant& v, const std::uint8_t* page) {
    const std::uint32_t step = v.scheme.step, e = v.scheme.CodeBytes();
    const std::uint32_t steps = data_ % step == 0 ? data_ / step : 0;
    std::array<std::uint8_t, 2 * 128> ecc{};  // two steps' ECC; 60 x 16 bits fit 120 bytes
    for (const bool masked : {true, false}) {
      if (!v.bch && !masked) continue;
      EccScheme base = v.scheme;
      base.masked = v.bch ? masked : false;
      // ECC of one repeated byte (the unmasked code's of zeros, Hamming's FF FF FF, a
      // masked code's of an erased step) is found wherever the page repeats that
      // byte, and tells no place: the first step whose ECC does is looked for.
      v.Encode(page, base.masked, ecc.data());
      if (v.bch && !Uniform(ecc.data(), e)) Interleaved(base, page, ecc.data());
      std::uint32_t k = 0;
      while (k < steps && Uniform(ecc.data(), e) && ++k < steps) v.Encode(page + k * step, base.masked, ecc.data());
      if (k >= steps) continue;
      const bool next = k + 1 < steps;
      if (next) v.Encode(page + (k + 1) * step, base.masked, ecc.data() + e);
      Contiguous(base, page, k, ecc.data(), next ? ecc.data() + e : nullptr);
    }
  }

 private:
  std::uint32_t data_, page_;
  std::vector<EccScheme> list_;

  // All steps' ECC one after the other, step k's (`ecck`) where it is found in the
  // spare area, as far apart as step k + 1's (`next`) is found after it (padding
  // between them); at the Linux place when that is where they are.
  void Contiguous(const EccScheme& base, const std::uint8_t* page, std::uint32_t k, const std::uint8_t* ecck,
                  const std::uint8_t* next) {
    const std::uint32_t e = base.CodeBytes();
    for (std::uint32_t o = data_; o + e <= page_; ++o) {
      if (std::memcmp(page + o, ecck, e) != 0) continue;
      std::uint32_t bytes = e;
      for (std::uint32_t o1 = o + e; next && o1 <= o + e + kMaxPad && o1 + e <= page_; ++o1) {
        if (std::memcmp(page + o1, next, e) == 0) {
          bytes = o1 - o;
          break;
        }
      }
      if (o - data_ < std::uint64_t{k} * bytes) continue;  // the steps before k would start before the spare area
      EccScheme s = base;
      s.placement = EccPlacement::kFrom;
      s.at = o - data_ - k * bytes;
      s.eccBytes = bytes;
      if (bytes > e) s.pad = page[o + e];
      EccScheme atLinux = s;
      atLinux.placement = EccPlacement::kLinux;
      atLinux.at = 0;
      const auto from = PlanPage(s, data_, page_ - data_);
      if (!from.ok()) continue;
      const auto at = PlanPage(atLinux, data_, page_ - data_);
      Add(at.ok() && at->eccOffsets == from->eccOffsets ? atLinux : s);
    }
  }

  // Codewords in chunks: step 0's ECC follows its data at once (or after the marker's
  // byte); every chunk size that leaves room is a candidate.
  void Interleaved(const EccScheme& base, const std::uint8_t* page, const std::uint8_t* ecc0) {
    const std::uint32_t step = base.step, e = base.CodeBytes();
    const std::uint32_t codewords = (data_ + step - 1) / step;
    for (const std::uint32_t o : {step, step + 1}) {
      if (o + e > page_ || std::memcmp(page + o, ecc0, e) != 0) continue;
      for (std::uint32_t chunk = step + 1 + e; chunk <= page_ / codewords; ++chunk) {
        EccScheme s = base;
        s.placement = EccPlacement::kInterleaved;
        s.chunk = chunk;
        if (PlanPage(s, data_, page_ - data_).ok()) Add(s);
      }
    }
  }
};

// Named first, then the Linux place, then the fewest stored bytes; the text last, so
// that the order never depends on the order of trying.
bool Better(const SchemeFit& a, const SchemeFit& b) {
  // Shares compared as cross products: step counts stay far below 2^32 (an image of
  // 2^32 steps would be terabytes).
  const std::uint64_t left = a.matching * b.steps, right = b.matching * a.steps;
  if (left != right) return left > right;
  const std::string ta = SchemeText(a.scheme), tb = SchemeText(b.scheme);
  const bool na = ta.find(':') == std::string::npos, nb = tb.find(':') == std::string::npos;
  if (na != nb) return na;
  const bool la = a.scheme.placement == EccPlacement::kLinux, lb = b.scheme.placement == EccPlacement::kLinux;
  if (la != lb) return la;
  if (a.scheme.eccBytes != b.scheme.eccBytes) return a.scheme.eccBytes < b.scheme.eccBytes;
  return ta < tb;
}

struct Tried {
  std::optional<PageCodec> codec;
  SchemeFit fit;
};

void Count(Tried& tried, std::span<const std::uint8_t> image, const std::vector<std::uint64_t>& pages) {
  const PageCodec& codec = *tried.codec;
  const std::uint32_t pageBytes = codec.PageBytes();
  const std::uint64_t steps = codec.Plan().steps.size();
  tried.fit.steps = tried.fit.matching = 0;
  for (const std::uint64_t p : pages) {
    const PageCheck check = codec.Check(image.subspan(static_cast<std::size_t>(p * pageBytes), pageBytes));
    tried.fit.steps += steps;
    tried.fit.matching += steps - check.differing.size();
  }
}

}  // namespace

DetectReport DetectSchemes(std::span<const std::uint8_t> image, std::uint32_t dataBytes, std::uint32_t spareBytes) {
  DetectReport report;
  const std::uint32_t pageBytes = dataBytes + spareBytes;
  if (pageBytes == 0) return report;
  report.pages = image.size() / pageBytes;
  std::vector<std::uint64_t> written;
  for (std::uint64_t p = 0; p < report.pages; ++p) {
    if (Erased(image.data() + p * pageBytes, pageBytes)) ++report.erasedPages;
    else written.push_back(p);
  }
  if (written.empty()) return report;
  // The sample is taken from pages of more than one byte value where there are any:
  // a page of zeros fits every unmasked code and tells nothing of the others.
  std::vector<std::uint64_t> varied;
  for (const std::uint64_t p : written)
    if (!Uniform(image.data() + p * pageBytes, pageBytes)) varied.push_back(p);
  const std::vector<std::uint64_t>& from = varied.empty() ? written : varied;
  std::vector<std::uint64_t> sample;
  const std::size_t n = std::min(kSamplePages, from.size());
  for (std::size_t i = 0; i < n; ++i) sample.push_back(from[i * from.size() / n]);

  Candidates candidates(dataBytes, spareBytes);
  for (const NamedScheme& named : NamedSchemes()) candidates.Add(named.scheme);
  for (const EccScheme& code : Codes(dataBytes)) {
    Variant v{code, std::nullopt};
    if (code.code == EccCode::kBch) {
      auto bch = BchCode::Make(code.Bch());
      if (!bch.ok()) continue;
      v.bch = std::move(bch).value();
    }
    report.codes += v.bch ? 2 : 1;
    // The Linux Hamming place of small pages is not one run of bytes: tried as it is.
    if (!v.bch) candidates.Add(v.scheme);
    for (const std::uint64_t p : sample) candidates.Search(v, image.data() + p * pageBytes);
  }

  std::vector<Tried> tried;
  for (const EccScheme& s : candidates.List()) {
    auto codec = PageCodec::Make(s, dataBytes, spareBytes);
    if (!codec.ok()) continue;
    Tried t{std::move(codec).value(), SchemeFit{s, 0, 0}};
    Count(t, image, sample);
    tried.push_back(std::move(t));
  }
  report.candidates = tried.size();
  for (Tried& t : tried) {
    if (!t.fit.Every()) continue;
    Count(t, image, written);
    if (t.fit.Every()) report.matches.push_back(t.fit);
  }
  std::sort(report.matches.begin(), report.matches.end(), Better);
  if (!report.matches.empty()) return report;

  std::vector<std::size_t> order(tried.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return Better(tried[a].fit, tried[b].fit); });
  for (std::size_t i = 0; i < order.size() && i < kClosest; ++i) {
    Tried& t = tried[order[i]];
    Count(t, image, written);
    if (t.fit.matching != 0) report.closest.push_back(t.fit);
  }
  std::sort(report.closest.begin(), report.closest.end(), Better);
  return report;
}

}  // namespace folvane
