#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "ecc/bch.hpp"
#include "ecc/gf.hpp"
#include "ecc/hamming.hpp"
#include "ecc/page.hpp"
#include "ecc/scheme.hpp"

namespace folvane {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Counting(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i);
  return b;
}

Bytes Random(std::mt19937& rng, std::size_t n) {
  Bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(rng());
  return b;
}

BchCode Bch(unsigned m, unsigned t, std::uint32_t step, bool masked, BitOrder bits = BitOrder::kMsbFirst,
            std::uint32_t poly = 0) {
  auto code = BchCode::Make({m, t, step, poly, bits, masked});
  EXPECT_TRUE(code.ok()) << code.error();
  return std::move(code).value();
}

Bytes BchEcc(const BchCode& code, const Bytes& data) {
  Bytes ecc(code.EccBytes());
  code.Encode(data.data(), ecc.data());
  return ecc;
}

Bytes HammingEcc(const Bytes& data, HammingOrder order) {
  Bytes ecc(3);
  HammingEncode(data.data(), static_cast<std::uint32_t>(data.size()), order, ecc.data());
  return ecc;
}

Bytes Fox() {
  Bytes b(256, 0xFF);
  const std::string fox = "The quick brown fox jumps over the lazy dog";
  std::copy(fox.begin(), fox.end(), b.begin());
  return b;
}

// The published check values of the codes, in one table.
TEST(EccKnownAnswers, HammingAndBchMatchThePublishedBytes) {
  struct Case {
    const char* name;
    std::function<Bytes()> compute;
    Bytes expected;
  };
  Bytes firstBitClear(256, 0xFF);
  firstBitClear[0] = 0xFE;
  const Case cases[] = {
      {"hamming 256 zeros", [] { return HammingEcc(Bytes(256, 0x00), HammingOrder::kLinux); }, {0xFF, 0xFF, 0xFF}},
      {"hamming 256 erased", [] { return HammingEcc(Bytes(256, 0xFF), HammingOrder::kLinux); }, {0xFF, 0xFF, 0xFF}},
      {"hamming 512 zeros", [] { return HammingEcc(Bytes(512, 0x00), HammingOrder::kLinux); }, {0xFF, 0xFF, 0xFF}},
      {"hamming 512 erased", [] { return HammingEcc(Bytes(512, 0xFF), HammingOrder::kLinux); }, {0xFF, 0xFF, 0xFF}},
      {"hamming byte 0 = FE", [&] { return HammingEcc(firstBitClear, HammingOrder::kLinux); }, {0xAA, 0xAA, 0xAB}},
      {"hamming fox, Linux order", [] { return HammingEcc(Fox(), HammingOrder::kLinux); }, {0xAA, 0x56, 0x5B}},
      {"hamming fox, SmartMedia order", [] { return HammingEcc(Fox(), HammingOrder::kSmartMedia); }, {0x56, 0xAA, 0x5B}},
      {"bch m13 t4 plain", [] { return BchEcc(Bch(13, 4, 512, false), Counting(512)); },
       {0xEC, 0xD0, 0xE0, 0xA7, 0x51, 0xC4, 0x90}},
      {"bch m13 t4 masked", [] { return BchEcc(Bch(13, 4, 512, true), Counting(512)); },
       {0xC4, 0xC3, 0x2C, 0x9E, 0xC7, 0x68, 0xEF}},
      {"bch m13 t4 mask", [] { const auto c = Bch(13, 4, 512, true); return Bytes(c.Mask().begin(), c.Mask().end()); },
       {0x28, 0x13, 0xCC, 0x39, 0x96, 0xAC, 0x7F}},
      {"bch m13 t4 generator", [] {
         Bytes b;
         for (std::uint64_t g = Bch(13, 4, 512, false).Generator()[0]; g; g >>= 8) b.insert(b.begin(), static_cast<std::uint8_t>(g));
         return b;
       }, {0x14, 0x52, 0x30, 0x43, 0xAB, 0x86, 0xAB}},
      {"bch m13 t8 plain", [] { return BchEcc(Bch(13, 8, 512, false), Counting(512)); },
       {0xA9, 0xBC, 0xEB, 0xB1, 0xE1, 0x4D, 0x24, 0x2B, 0xBE, 0x41, 0x46, 0xB3, 0xD4}},
      {"bch m13 t8 mask", [] { const auto c = Bch(13, 8, 512, true); return Bytes(c.Mask().begin(), c.Mask().end()); },
       {0xEF, 0x51, 0x2E, 0x09, 0xED, 0x93, 0x9A, 0xC2, 0x97, 0x79, 0xE5, 0x24, 0xB5}},
      {"bch m14 t8 plain", [] { return BchEcc(Bch(14, 8, 1024, false), Counting(1024)); },
       {0xC5, 0x29, 0x05, 0xA3, 0x27, 0x88, 0x49, 0xBA, 0xFF, 0x1C, 0xC7, 0x1C, 0x3A, 0x7E}},
      {"bch m14 t8 mask", [] { const auto c = Bch(14, 8, 1024, true); return Bytes(c.Mask().begin(), c.Mask().end()); },
       {0xF6, 0x5A, 0x41, 0xF4, 0x18, 0x50, 0x4B, 0x7E, 0x2F, 0xD6, 0xC0, 0xFF, 0x8A, 0x71}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.compute(), c.expected);
  }
}

// The swapped variant feeds each byte least significant bit first and stores each
// ECC byte bit-reversed: the same code on the bit-reversed data, its bytes reversed.
TEST(EccKnownAnswers, SwappedBitOrderIsThePlainCodeOfReversedBytes) {
  auto reverse = [](std::uint8_t b) {
    std::uint8_t r = 0;
    for (int i = 0; i < 8; ++i) r = static_cast<std::uint8_t>(r | (((b >> i) & 1) << (7 - i)));
    return r;
  };
  const Bytes data = Counting(512);
  Bytes reversed(data.size());
  std::transform(data.begin(), data.end(), reversed.begin(), reverse);
  Bytes expected = BchEcc(Bch(13, 8, 512, false), reversed);
  std::transform(expected.begin(), expected.end(), expected.begin(), reverse);
  EXPECT_EQ(BchEcc(Bch(13, 8, 512, false, BitOrder::kLsbFirst), data), expected);
  // Masked, an erased step still has an all-0xFF ECC.
  EXPECT_EQ(BchEcc(Bch(13, 8, 512, true, BitOrder::kLsbFirst), Bytes(512, 0xFF)), Bytes(13, 0xFF));
}

TEST(GaloisField, DefaultPolynomialsArePrimitiveAndOthersAreRefused) {
  for (unsigned m = 9; m <= 16; ++m) {
    SCOPED_TRACE("m=" + std::to_string(m));
    const auto f = GaloisField::Make(m, DefaultPrimitivePoly(m));
    ASSERT_TRUE(f.has_value());
    // alpha^i * alpha^j = alpha^(i+j) and division undoes multiplication.
    for (std::uint32_t i : {1u, 7u, f->Order() - 1}) {
      EXPECT_EQ(f->Mul(f->Exp(i), f->Exp(5)), f->Exp(i + 5));
      EXPECT_EQ(f->Div(f->Mul(f->Exp(i), 3), 3), f->Exp(i));
    }
  }
  struct Case {
    const char* name;
    unsigned m;
    std::uint32_t poly;
  };
  const Case bad[] = {{"x^13 + 1 (reducible)", 13, 0x2001},
                      {"x^4 + x^3 + x^2 + x + 1 (irreducible, order 5)", 4, 0x1F},
                      {"degree 12 given for m=13", 13, 0x1053},
                      {"no constant term", 13, 0x201A}};
  for (const Case& c : bad) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(GaloisField::Make(c.m, c.poly).has_value());
  }
}

// Distinct random bit positions over a step's data and ECC bits.
std::vector<std::size_t> Positions(std::mt19937& rng, std::size_t bits, unsigned count) {
  std::set<std::size_t> chosen;
  while (chosen.size() < count) chosen.insert(rng() % bits);
  return {chosen.begin(), chosen.end()};
}

// Any 0..t flipped bits anywhere in the data and the code's ECC bits are corrected.
// t+1 flips are either refused with nothing changed or, where they fall within t of
// another codeword, decoded to that codeword: the decoder never claims more than t
// bits and never returns a word that is not a codeword.
TEST(EccEngine, BchCorrectsUpToTFlipsAndNeverMisreportsBeyond) {
  struct Case {
    const char* name;
    unsigned m, t;
    std::uint32_t step;
    bool masked;
    BitOrder bits;
    std::uint32_t poly;
    int trials;
  };
  const Case cases[] = {
      {"m13 t1 512", 13, 1, 512, true, BitOrder::kMsbFirst, 0, 40},
      {"m13 t4 512 masked", 13, 4, 512, true, BitOrder::kMsbFirst, 0, 20},
      {"m13 t8 512 masked", 13, 8, 512, true, BitOrder::kMsbFirst, 0, 12},
      {"m13 t8 512 swapped", 13, 8, 512, true, BitOrder::kLsbFirst, 0, 8},
      {"m13 t8 516 plain", 13, 8, 516, false, BitOrder::kMsbFirst, 0, 8},
      {"m13 t8 other polynomial", 13, 8, 512, true, BitOrder::kMsbFirst, 0x2027, 8},
      {"m13 t12 512 (three words rounded up to four)", 13, 12, 512, true, BitOrder::kMsbFirst, 0, 4},
      {"m14 t20 1024 swapped (five words rounded up to six)", 14, 20, 1024, false, BitOrder::kLsbFirst, 0, 2},
      {"m14 t16 1024 masked", 14, 16, 1024, true, BitOrder::kMsbFirst, 0, 4},
      {"m14 t24 1024", 14, 24, 1024, true, BitOrder::kMsbFirst, 0, 2},
      {"m14 t40 1024 (wide register)", 14, 40, 1024, true, BitOrder::kMsbFirst, 0, 1},
  };
  std::mt19937 rng(2024);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto made = BchCode::Make({c.m, c.t, c.step, c.poly, c.bits, c.masked});
    ASSERT_TRUE(made.ok()) << made.error();
    const BchCode& code = *made;
    ASSERT_EQ(code.EccBits(), c.m * c.t);
    const std::size_t eccBits = code.EccBits();
    for (int trial = 0; trial < c.trials; ++trial) {
      const Bytes data = Random(rng, c.step);
      const Bytes ecc = BchEcc(code, data);
      for (unsigned flips = 0; flips <= c.t + 1; ++flips) {
        SCOPED_TRACE("flips " + std::to_string(flips));
        Bytes d = data, e = ecc;
        for (const std::size_t bit : Positions(rng, c.step * 8 + eccBits, flips)) {
          if (bit < c.step * 8u) {
            d[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
          } else {
            // ECC bit k counts from the first stored bit; the code's bits come first.
            const std::size_t k = bit - c.step * 8u;
            const unsigned inByte = static_cast<unsigned>(k % 8);
            e[k / 8] ^= static_cast<std::uint8_t>(c.bits == BitOrder::kMsbFirst ? 0x80u >> inByte : 1u << inByte);
          }
        }
        const Bytes readD = d, readE = e;
        const auto fixed = code.Correct(d.data(), e.data());
        if (flips <= c.t) {
          ASSERT_TRUE(fixed.has_value());
          EXPECT_EQ(*fixed, flips);
          EXPECT_EQ(d, data);
          EXPECT_EQ(e, ecc);
        } else if (!fixed) {
          EXPECT_EQ(d, readD);
          EXPECT_EQ(e, readE);
        } else {
          EXPECT_LE(*fixed, c.t);
          EXPECT_TRUE(code.Matches(d.data(), e.data()));
          EXPECT_NE(d, data);
        }
      }
    }
  }
}

// The carry-less encoder (where the processor has one) and the byte tables give the
// same ECC for every register width, both bit orders and steps of odd lengths: steps
// of an odd number of words, and a few bytes past the last whole word. EncodeSteps
// gives each step the bytes Encode gives it alone.
TEST(EccEngine, EveryEncoderGivesTheBytesOfTheByteTables) {
  struct Case {
    const char* name;
    unsigned m, t;
    std::uint32_t step;
    BitOrder bits;
  };
  const Case cases[] = {
      {"m9 t2 32 (one word)", 9, 2, 32, BitOrder::kMsbFirst},
      {"m13 t4 512", 13, 4, 512, BitOrder::kMsbFirst},
      {"m13 t8 512", 13, 8, 512, BitOrder::kMsbFirst},
      {"m13 t8 512 swapped", 13, 8, 512, BitOrder::kLsbFirst},
      {"m13 t8 520 (odd number of words)", 13, 8, 520, BitOrder::kMsbFirst},
      {"m13 t8 517 swapped (bytes past the last word)", 13, 8, 517, BitOrder::kLsbFirst},
      {"m13 t8 7 (no whole word)", 13, 8, 7, BitOrder::kMsbFirst},
      {"m13 t12 512 (four words)", 13, 12, 512, BitOrder::kMsbFirst},
      {"m14 t16 1024 (four words)", 14, 16, 1024, BitOrder::kMsbFirst},
      {"m14 t20 1021 swapped (six words)", 14, 20, 1021, BitOrder::kLsbFirst},
      {"m14 t32 1024 (eight words)", 14, 32, 1024, BitOrder::kMsbFirst},
      {"m14 t40 1024 (ten words)", 14, 40, 1024, BitOrder::kMsbFirst},
      {"m16 t8 4096", 16, 8, 4096, BitOrder::kLsbFirst},
  };
  std::mt19937 rng(77);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const bool masked : {false, true}) {
      auto fast = BchCode::Make({c.m, c.t, c.step, 0, c.bits, masked});
      auto portable = BchCode::Make({c.m, c.t, c.step, 0, c.bits, masked}, BchEngine::kPortable);
      auto narrow = BchCode::Make({c.m, c.t, c.step, 0, c.bits, masked}, BchEngine::kNarrowCarryless);
      ASSERT_TRUE(fast.ok() && portable.ok() && narrow.ok());
      EXPECT_FALSE(portable->MultipliesCarryless());
      ASSERT_TRUE(std::equal(fast->Mask().begin(), fast->Mask().end(), portable->Mask().begin(), portable->Mask().end()));
      std::vector<Bytes> steps;
      for (int i = 0; i < 9; ++i) steps.push_back(Random(rng, c.step));
      steps.push_back(Bytes(c.step, 0x00));
      steps.push_back(Bytes(c.step, 0xFF));
      std::vector<const std::uint8_t*> in;
      std::vector<Bytes> out(steps.size(), Bytes(fast->EccBytes()));
      std::vector<std::uint8_t*> outs;
      for (std::size_t i = 0; i < steps.size(); ++i) {
        in.push_back(steps[i].data());
        outs.push_back(out[i].data());
      }
      fast->EncodeSteps(in, outs);
      for (std::size_t i = 0; i < steps.size(); ++i) {
        const Bytes expected = BchEcc(*portable, steps[i]);
        EXPECT_EQ(BchEcc(*fast, steps[i]), expected) << "step " << i;
        EXPECT_EQ(BchEcc(*narrow, steps[i]), expected) << "step " << i << ", 16 bytes at a time";
        EXPECT_EQ(out[i], expected) << "step " << i << " encoded with the others";
        EXPECT_TRUE(fast->Matches(steps[i].data(), expected.data()));
      }
    }
  }
}

// The carry-less encoders end each step by reducing the word that overflows the
// register with two more multiplications instead of the byte tables; that reduction
// depends on the top coefficients of each generator, so every t the Linux family and
// the detector try is run, on each step length in use, with the 64-byte multiplier and
// without it (the 16-byte one), against the byte tables.
TEST(EccEngine, CarrylessReductionGivesTheByteTablesRemainderForEveryT) {
  struct Steps {
    std::uint32_t step;
    unsigned firstT, lastT;
  };
  const Steps lengths[] = {{512, 1, 60}, {1024, 1, 60}, {516, 4, 8}};
  std::mt19937 rng(2026);
  for (const Steps& l : lengths) {
    for (unsigned t = l.firstT; t <= l.lastT; ++t) {
      const auto m = SmallestFieldFor(l.step, t);
      ASSERT_TRUE(m.has_value());
      for (const BitOrder bits : {BitOrder::kMsbFirst, BitOrder::kLsbFirst}) {
        SCOPED_TRACE("step " + std::to_string(l.step) + " t " + std::to_string(t) +
                     (bits == BitOrder::kLsbFirst ? " swapped" : ""));
        const BchParams params{*m, t, l.step, 0, bits, false};
        auto tables = BchCode::Make(params, BchEngine::kPortable);
        auto wide = BchCode::Make(params, BchEngine::kFastest);
        auto narrow = BchCode::Make(params, BchEngine::kNarrowCarryless);
        ASSERT_TRUE(tables.ok() && wide.ok() && narrow.ok());
        for (int i = 0; i < 4; ++i) {
          const Bytes data = i == 0 ? Bytes(l.step, 0xFF) : Random(rng, l.step);
          const Bytes expected = BchEcc(*tables, data);
          EXPECT_EQ(BchEcc(*wide, data), expected) << "data " << i << ", 64 bytes at a time";
          EXPECT_EQ(BchEcc(*narrow, data), expected) << "data " << i << ", 16 bytes at a time";
        }
      }
    }
  }
}

// Hamming corrects any one flipped bit, data or ECC, and refuses every two.
TEST(EccEngine, HammingCorrectsEveryOneBitFlipAndDetectsTwo) {
  struct Case {
    const char* name;
    std::uint32_t step;
    HammingOrder order;
  };
  const Case cases[] = {{"256 Linux", 256, HammingOrder::kLinux},
                        {"256 SmartMedia", 256, HammingOrder::kSmartMedia},
                        {"512 Linux", 512, HammingOrder::kLinux},
                        {"512 SmartMedia", 512, HammingOrder::kSmartMedia}};
  std::mt19937 rng(7);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes data = Random(rng, c.step);
    const Bytes ecc = HammingEcc(data, c.order);
    const std::size_t bits = c.step * 8u + 24;
    for (std::size_t bit = 0; bit < bits; ++bit) {
      Bytes d = data, e = ecc;
      (bit < c.step * 8u ? d[bit / 8] : e[bit / 8 - c.step]) ^= static_cast<std::uint8_t>(1u << (bit % 8));
      const auto fixed = HammingCorrect(d.data(), c.step, c.order, e.data());
      ASSERT_TRUE(fixed.has_value()) << "bit " << bit;
      EXPECT_EQ(*fixed, 1u);
      EXPECT_EQ(d, data);
      EXPECT_EQ(e, ecc);
    }
    for (int trial = 0; trial < 2000; ++trial) {
      Bytes d = data, e = ecc;
      for (const std::size_t bit : Positions(rng, bits, 2))
        (bit < c.step * 8u ? d[bit / 8] : e[bit / 8 - c.step]) ^= static_cast<std::uint8_t>(1u << (bit % 8));
      const Bytes readD = d;
      EXPECT_FALSE(HammingCorrect(d.data(), c.step, c.order, e.data()).has_value());
      EXPECT_EQ(d, readD);
    }
  }
}

// The block modes' pages, as data and spare bytes.
struct Mode {
  std::uint32_t data, spare;
};
constexpr Mode kModes[] = {{512, 16},  {512, 16},  {2048, 64},  {4096, 128}, {2048, 64},   {4096, 128},
                           {8192, 436}, {4096, 224}, {8192, 640}, {8192, 448}, {8192, 448}, {8192, 488},
                           {2048, 128}, {8192, 1024}, {8192, 512}, {8192, 640}};

// The page a scheme should write, built here chunk by chunk or step by step from the
// rules of each placement; nothing where the scheme should be refused.
std::optional<Bytes> ExpectedPage(const EccScheme& s, const Mode& mode, const Bytes& data) {
  auto ecc = [&](const Bytes& codeword) {
    Bytes e = s.code == EccCode::kHamming ? HammingEcc(codeword, s.order) : BchEcc(Bch(s.m, s.t, s.step, s.masked, s.bits, s.poly), codeword);
    e.resize(s.eccBytes, s.pad);
    return e;
  };
  const std::uint32_t d = mode.data, sp = mode.spare;
  Bytes page(d + sp, 0xFF);
  if (s.placement == EccPlacement::kInterleaved) {
    const std::uint32_t codewords = (d + s.step - 1) / s.step;
    if (codewords * s.chunk > d + sp) return std::nullopt;
    for (std::uint32_t c = 0; c < codewords; ++c) {
      Bytes chunk(data.begin() + c * s.step, data.begin() + std::min(d, (c + 1) * s.step));
      chunk.resize(s.step, 0xFF);
      const Bytes e = ecc(chunk);
      chunk.insert(chunk.end(), e.begin(), e.end());
      if (c == d / s.chunk) chunk.insert(chunk.begin() + d % s.chunk, 0xFF);
      chunk.resize(s.chunk, 0xFF);
      std::copy(chunk.begin(), chunk.end(), page.begin() + c * s.chunk);
    }
    return page;
  }
  if (d % s.step) return std::nullopt;
  const std::uint32_t steps = d / s.step, total = steps * s.eccBytes;
  std::vector<std::uint32_t> where;
  if (s.placement == EccPlacement::kFrom) {
    for (std::uint32_t i = 0; i < total; ++i) where.push_back(s.at + i);
  } else if (s.code == EccCode::kHamming && d == 512) {
    const std::uint32_t linux[] = {0, 1, 2, 3, 6, 7};
    if (total > 6) return std::nullopt;
    where.assign(linux, linux + total);
  } else if (s.code == EccCode::kHamming) {
    if (sp != 64 && sp != 128) return std::nullopt;
    for (std::uint32_t i = 0; i < total; ++i) where.push_back((sp == 64 ? 40 : 80) + i);
  } else {
    if (total > sp) return std::nullopt;
    for (std::uint32_t i = 0; i < total; ++i) where.push_back(sp - total + i);
  }
  const std::set<std::uint32_t> marker = d == 512 ? std::set<std::uint32_t>{5} : std::set<std::uint32_t>{0, 1};
  for (const std::uint32_t w : where)
    if (w >= sp || marker.count(w)) return std::nullopt;
  std::copy(data.begin(), data.end(), page.begin());
  for (std::uint32_t st = 0; st < steps; ++st) {
    const Bytes e = ecc(Bytes(data.begin() + st * s.step, data.begin() + (st + 1) * s.step));
    for (std::uint32_t i = 0; i < s.eccBytes; ++i) page[d + where[st * s.eccBytes + i]] = e[i];
  }
  return page;
}

std::vector<std::string> SchemesUnderTest() {
  std::vector<std::string> names;
  for (const NamedScheme& n : NamedSchemes()) names.push_back(n.name);
  for (const char* extra : {"bch:t=8,step=512,mask=none,bytes=14,pad=0x00,at=2", "hamming:step=512,order=sm,at=2",
                            "bch:t=4,step=512,bits=lsb,at=10", "linux-bch4/1024", "bch:t=12,step=1024,chunk=1050"})
    names.push_back(extra);
  return names;
}

// Every named scheme (and a few written-out ones) on every block mode: the page it
// writes is the one built independently above, or it is refused where that has none.
TEST(EccPlacement, EverySchemeOnEveryBlockModeWritesTheExpectedPage) {
  std::mt19937 rng(11);
  for (const std::string& name : SchemesUnderTest()) {
    const auto scheme = ParseScheme(name);
    ASSERT_TRUE(scheme.ok()) << scheme.error();
    for (const Mode& mode : kModes) {
      SCOPED_TRACE(name + " on " + std::to_string(mode.data) + "+" + std::to_string(mode.spare));
      const Bytes data = Random(rng, mode.data);
      const auto expected = ExpectedPage(*scheme, mode, data);
      std::string why;
      ASSERT_EQ(Fits(*scheme, mode.data, mode.spare, &why), expected.has_value()) << why;
      if (!expected) {
        EXPECT_NE(why.find(name), std::string::npos) << why;
        EXPECT_NE(why.find(std::to_string(mode.data) + " + " + std::to_string(mode.spare)), std::string::npos) << why;
        continue;
      }
      const auto codec = PageCodec::Make(*scheme, mode.data, mode.spare);
      ASSERT_TRUE(codec.ok()) << codec.error();
      Bytes page(mode.data + mode.spare);
      EXPECT_EQ(codec->LayOut(data, page), Laid::kProgrammed);
      EXPECT_EQ(page, *expected);
      const PageCheck check = codec->Check(page);
      EXPECT_FALSE(check.erased);
      EXPECT_TRUE(check.differing.empty());
      Bytes back(mode.data);
      const PageDecode decoded = codec->Decode(page, back);
      EXPECT_EQ(decoded.state, PageState::kClean);
      EXPECT_EQ(back, data);
    }
  }
}

// A page whose data a reader put in place, over whatever the buffer held before (the
// last batch's pages), comes out as LayOut writes it from the data alone: every
// scheme, every block mode, written and erased data, erased pages kept or programmed.
TEST(EccPlacement, LayingOutInPlaceGivesTheSamePage) {
  std::mt19937 rng(12);
  for (const std::string& name : SchemesUnderTest()) {
    const auto scheme = ParseScheme(name);
    ASSERT_TRUE(scheme.ok()) << scheme.error();
    for (const Mode& mode : kModes) {
      const auto codec = PageCodec::Make(*scheme, mode.data, mode.spare);
      if (!codec.ok()) continue;
      for (const bool erased : {false, true}) {
        for (const bool programErased : {false, true}) {
          SCOPED_TRACE(name + " on " + std::to_string(mode.data) + "+" + std::to_string(mode.spare) +
                       (erased ? ", erased" : "") + (programErased ? ", erased pages programmed" : ""));
          const Bytes data = erased ? Bytes(mode.data, 0xFF) : Random(rng, mode.data);
          const EccLayoutOptions options{programErased};
          Bytes expected(mode.data + mode.spare);
          const Laid laid = codec->LayOut(data, expected, options);
          Bytes page = Random(rng, mode.data + mode.spare);
          std::copy(data.begin(), data.end(), page.begin());
          EXPECT_EQ(codec->LayOutInPlace(page, options), laid);
          EXPECT_EQ(page, expected);
        }
      }
      Bytes shorter(mode.data + mode.spare - 1);
      EXPECT_EQ(codec->LayOutInPlace(shorter), Laid::kWrongSize);
    }
  }
}

// Where the ECC bytes of the common layouts land, as listed for them.
TEST(EccPlacement, KnownLayoutsPutTheEccWhereListed) {
  struct Case {
    const char* scheme;
    std::uint32_t data, spare;
    std::vector<std::uint32_t> spareOffsets;  // of every ECC byte, in order
  };
  auto range = [](std::uint32_t first, std::uint32_t last) {
    std::vector<std::uint32_t> r;
    for (std::uint32_t i = first; i <= last; ++i) r.push_back(i);
    return r;
  };
  const Case cases[] = {
      {"linux-hamming", 512, 16, {0, 1, 2, 3, 6, 7}},
      {"linux-hamming", 2048, 64, range(40, 63)},
      {"linux-hamming", 4096, 128, range(80, 127)},
      {"linux-bch4/512", 2048, 64, range(36, 63)},
      {"linux-bch8/512", 2048, 64, range(12, 63)},
      {"bch:t=8,step=512,mask=none,bytes=14,pad=0x00,at=2", 2048, 64, range(2, 57)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scheme);
    const auto plan = PlanPage(*ParseScheme(c.scheme), c.data, c.spare);
    ASSERT_TRUE(plan.ok()) << plan.error();
    std::vector<std::uint32_t> got;
    for (const std::uint32_t at : plan->eccOffsets) got.push_back(at - c.data);
    EXPECT_EQ(got, c.spareOffsets);
  }
}

TEST(EccPlacement, RefusalsGiveTheArithmetic) {
  struct Case {
    const char* scheme;
    std::uint32_t data, spare;
    const char* says;
  };
  const Case cases[] = {
      {"linux-bch16/512", 2048, 64, "4 steps x 26 ECC bytes = 104 bytes, more than the 64 spare bytes"},
      {"linux-bch40/1024", 8192, 436, "8 steps x 70 ECC bytes = 560 bytes, more than the 436 spare bytes"},
      {"linux-bch16/1024", 512, 16, "steps of 1024 bytes do not divide 512 data bytes"},
      {"linux-bch8/512", 512, 16, "spare bytes 3-15, over spare byte 5"},
      {"linux-bch24/1024", 2048, 64, "2 steps x 42 ECC bytes = 84 bytes, more than the 64"},
      {"linux-hamming", 4096, 224, "has no place with 224"},
      {"bch:t=4,step=512,at=1", 2048, 64, "over spare bytes 0-1"},
      {"qcom-bch8", 2048, 64, "4 chunks x 532 bytes = 2128 bytes, more than the page's 2112"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scheme);
    std::string why;
    EXPECT_FALSE(Fits(*ParseScheme(c.scheme), c.data, c.spare, &why));
    EXPECT_NE(why.find(c.says), std::string::npos) << why;
  }
}

// The interleaved layout inserts the marker's 0xFF where the page's first spare byte
// is, and the data that would have been there moves up by one.
TEST(EccPlacement, InterleavedMarkerByteLandsOnTheFirstSpareByte) {
  struct Case {
    const char* scheme;
    std::uint32_t data, spare;
    std::uint32_t markChunk, chunkBytes;
  };
  const Case cases[] = {{"qcom-bch4", 2048, 64, 3, 528},
                        {"qcom-bch8", 2048, 128, 3, 532},
                        {"qcom-bch8", 4096, 224, 7, 532},
                        {"qcom-bch4", 512, 16, 0, 528}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.scheme) + " on " + std::to_string(c.data));
    const auto codec = PageCodec::Make(*ParseScheme(c.scheme), c.data, c.spare);
    ASSERT_TRUE(codec.ok()) << codec.error();
    const Bytes data(c.data, 0x00);
    Bytes page(c.data + c.spare);
    ASSERT_EQ(codec->LayOut(data, page), Laid::kProgrammed);
    EXPECT_EQ(page[c.data], 0xFF);
    const std::uint32_t start = c.markChunk * c.chunkBytes;
    // Zeros of the data before the marker in its chunk and right after it.
    EXPECT_EQ(page[c.data - 1], 0x00);
    if (c.markChunk * 516 + (c.data - start) < c.data) {
      EXPECT_EQ(page[c.data + 1], 0x00);
    }
    // The chunks before hold their 516 codeword bytes from their first byte.
    for (std::uint32_t k = 0; k < c.markChunk; ++k)
      EXPECT_EQ(std::count(page.begin() + k * c.chunkBytes, page.begin() + k * c.chunkBytes + 516, 0x00), 516);
  }
  // The 2048 + 64 example: four chunks of 528 bytes fill the page exactly.
  const auto plan = PlanPage(*ParseScheme("qcom-bch4"), 2048, 64);
  ASSERT_TRUE(plan.ok());
  EXPECT_EQ(plan->steps.size(), 4u);
  EXPECT_EQ(plan->steps[3].dataLen, 500u);
  EXPECT_EQ(plan->eccOffsets.back(), 3 * 528 + 1 + 516 + 6);
}

// All 0xFF data leaves the page erased, marker and ECC included, unless told to
// program it; checks and decodes report it apart, with a few flipped bits too.
TEST(EccPages, ErasedPagesStayErasedAndReadAsErased) {
  struct Case {
    const char* scheme;
    std::uint32_t data, spare;
  };
  const Case cases[] = {{"linux-hamming", 2048, 64},   {"linux-hamming", 512, 16},  {"linux-bch8/512", 2048, 64},
                        {"linux-bch16/1024", 4096, 224}, {"qcom-bch4", 2048, 64},    {"qcom-bch8", 4096, 224},
                        {"bch:t=8,step=512,mask=none,bytes=14,pad=0x00,at=2", 2048, 64}};
  std::mt19937 rng(3);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scheme);
    const auto scheme = ParseScheme(c.scheme);
    const auto codec = PageCodec::Make(*scheme, c.data, c.spare);
    ASSERT_TRUE(codec.ok()) << codec.error();
    const Bytes erased(c.data, 0xFF);
    Bytes page(c.data + c.spare, 0x00);
    EXPECT_EQ(codec->LayOut(erased, page), Laid::kLeftErased);
    EXPECT_EQ(page, Bytes(page.size(), 0xFF));
    EXPECT_TRUE(codec->Check(page).erased);
    Bytes back(c.data, 0x00);
    const PageDecode clean = codec->Decode(page, back);
    EXPECT_EQ(clean.state, PageState::kErased);
    EXPECT_EQ(back, erased);

    // Up to t bits read as 0 in every step's data and ECC: erased with flips.
    const unsigned t = scheme->Corrects();
    Bytes flipped = page;
    unsigned zeros = 0;
    for (const StepPlace& p : codec->Plan().steps) {
      for (unsigned k = 0; k < t; ++k) {
        const std::uint32_t at = k % 2 ? p.at[0] + static_cast<std::uint32_t>(rng() % p.split) : codec->Plan().eccOffsets[p.eccFirst];
        const std::uint8_t before = flipped[at];
        flipped[at] &= static_cast<std::uint8_t>(~(1u << (k % 8)));
        zeros += before != flipped[at];
      }
    }
    std::fill(back.begin(), back.end(), 0x00);
    const PageDecode flips = codec->Decode(flipped, back);
    EXPECT_EQ(flips.state, PageState::kErasedWithFlips);
    EXPECT_EQ(flips.erasedZeros, zeros);
    EXPECT_EQ(back, erased);

    // Programmed on request: a masked code's page is all 0xFF still; an unmasked one's
    // ECC is not, and reads back as written data, not as erased.
    Bytes programmed(page.size());
    EXPECT_EQ(codec->LayOut(erased, programmed, EccLayoutOptions{true}), Laid::kProgrammed);
    const bool allErased = programmed == Bytes(page.size(), 0xFF);
    EXPECT_EQ(allErased, scheme->code == EccCode::kHamming || scheme->masked);
    if (!allErased) {
      EXPECT_EQ(codec->Decode(programmed, back).state, PageState::kClean);
      EXPECT_TRUE(codec->Check(programmed).differing.empty());
    }
  }
}

// Bit flips spread over a page: each step corrects its own, reports how many, and a
// step with more than the code allows is reported while the others are corrected.
TEST(EccPages, DecodeCorrectsEachStepAndReportsTheOneItCannot) {
  struct Case {
    const char* scheme;
    std::uint32_t data, spare;
  };
  const Case cases[] = {{"linux-hamming", 2048, 64},      {"linux-hamming-sm", 512, 16}, {"linux-hamming/512", 4096, 128},
                        {"linux-bch8/512", 2048, 64},      {"linux-bch4/512", 2048, 64},  {"linux-bch16/1024", 8192, 640},
                        {"qcom-bch4", 2048, 64},           {"qcom-bch8", 8192, 436},
                        {"bch:t=8,step=512,bits=lsb,at=2", 4096, 224}};
  std::mt19937 rng(5);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scheme);
    const auto scheme = ParseScheme(c.scheme);
    const auto codec = PageCodec::Make(*scheme, c.data, c.spare);
    ASSERT_TRUE(codec.ok()) << codec.error();
    const Bytes data = Random(rng, c.data);
    Bytes page(c.data + c.spare);
    ASSERT_EQ(codec->LayOut(data, page), Laid::kProgrammed);
    const PagePlan& plan = codec->Plan();
    const unsigned t = scheme->Corrects();
    const std::uint32_t codeBytes = scheme->CodeBytes();
    Bytes read = page;
    std::vector<int> expected;
    for (std::size_t s = 0; s < plan.steps.size(); ++s) {
      const StepPlace& p = plan.steps[s];
      // Step s gets s % (t + 1) flips over its codeword bytes and its code's ECC bytes.
      std::vector<std::uint32_t> bytes;
      for (std::uint32_t i = 0; i < scheme->step; ++i) bytes.push_back(i < p.split ? p.at[0] + i : p.at[1] + i - p.split);
      for (std::uint32_t i = 0; i < codeBytes; ++i) bytes.push_back(plan.eccOffsets[p.eccFirst + i]);
      const unsigned flips = static_cast<unsigned>(s % (t + 1));
      std::set<std::uint32_t> used;
      while (used.size() < flips) used.insert(bytes[rng() % bytes.size()]);
      unsigned k = 0;
      for (const std::uint32_t at : used) read[at] ^= static_cast<std::uint8_t>(1u << (k++ % 8));
      expected.push_back(static_cast<int>(flips));
    }
    Bytes back(c.data);
    PageDecode decoded = codec->Decode(read, back);
    EXPECT_EQ(decoded.steps, expected);
    EXPECT_EQ(back, data);
    EXPECT_EQ(decoded.state, plan.steps.size() > 1 ? PageState::kCorrected : PageState::kClean);
    if (plan.steps.size() > 1) {
      const PageCheck check = codec->Check(read);
      std::vector<std::uint32_t> differing;
      for (std::size_t s = 0; s < expected.size(); ++s)
        if (expected[s]) differing.push_back(static_cast<std::uint32_t>(s));
      EXPECT_EQ(check.differing, differing);
    }
    // Hamming: two flips in step 0's data cannot be corrected; the others still are.
    if (scheme->code == EccCode::kHamming) {
      read[plan.steps[0].at[0] + 1] ^= 0x01;
      read[plan.steps[0].at[0] + 2] ^= 0x01;
      if (expected[0] == 1) read = page, read[plan.steps[0].at[0] + 1] ^= 0x01, read[plan.steps[0].at[0] + 2] ^= 0x01;
      decoded = codec->Decode(read, back);
      EXPECT_EQ(decoded.state, PageState::kUncorrectable);
      EXPECT_EQ(decoded.steps[0], kUncorrectable);
      EXPECT_TRUE(std::equal(back.begin() + scheme->step, back.end(), data.begin() + scheme->step));
    }
  }
}

TEST(EccSchemes, WrittenFormsReadBackAsTheirShortestText) {
  struct Case {
    const char* input;
    const char* expected;
  };
  const Case cases[] = {
      {"linux-hamming", "linux-hamming"},
      {"hamming:step=256", "linux-hamming"},
      {"hamming:step=256,order=sm", "linux-hamming-sm"},
      {"hamming:order=linux,step=512", "linux-hamming/512"},
      {"hamming:step=512,order=sm", "hamming:step=512,order=sm"},
      {"hamming:step=256,at=40", "hamming:step=256,at=40"},
      {"linux-bch8/512", "linux-bch8/512"},
      {"bch:t=8,step=512", "linux-bch8/512"},
      {"bch:t=8,step=512,poly=0x201B,bits=msb,mask=erased", "linux-bch8/512"},
      {"bch:step=1024,t=16", "linux-bch16/1024"},
      {"linux-bch5/2048", "linux-bch5/2048"},
      {"bch:t=4,step=516,mask=none,chunk=528", "qcom-bch4"},
      {"qcom-bch8", "qcom-bch8"},
      {"bch:t=8,step=512,mask=none,bytes=14,pad=0x00,at=2", "bch:t=8,step=512,mask=none,bytes=14,pad=0x00,at=2"},
      {"bch:t=8,step=512,bytes=13,pad=0", "linux-bch8/512"},
      {"bch:t=8,step=512,bytes=16", "bch:t=8,step=512,bytes=16"},
      {"bch:t=8,step=512,poly=0x402B", "bch:t=8,step=512,poly=0x402B"},
      {"bch:t=8,step=512,poly=8231", "bch:t=8,step=512,poly=0x2027"},
      {"bch:t=4,step=512,bits=lsb,at=10", "bch:t=4,step=512,bits=lsb,at=10"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    const auto scheme = ParseScheme(c.input);
    ASSERT_TRUE(scheme.ok()) << scheme.error();
    EXPECT_EQ(SchemeText(*scheme), c.expected);
    const auto again = ParseScheme(SchemeText(*scheme));
    ASSERT_TRUE(again.ok()) << again.error();
    EXPECT_EQ(*again, *scheme);
  }
}

TEST(EccSchemes, MalformedAndImpossibleSchemesAreRefusedWithTheReason) {
  struct Case {
    const char* input;
    const char* says;
    bool listsNames;
  };
  const Case cases[] = {
      {"", "unknown name", true},
      {"linux-bch", "not linux-bch<t>/<step>", true},
      {"linux-bch8", "not linux-bch<t>/<step>", true},
      {"linux-bch08/512", "not linux-bch<t>/<step>", true},
      {"linux-hamming/1024", "unknown name", true},
      {"reed-solomon", "unknown name", true},
      {"linux-bch0/512", "t must be at least 1", true},
      {"bch:t=8", "step=S is missing", true},
      {"bch:step=512", "t=T is missing", true},
      {"bch:t=8,step=512,x=1", "unknown key \"x\"", true},
      {"bch:t=8,step=512,t=4", "\"t\" given twice", true},
      {"bch:t=eight,step=512", "t=eight is not a number", true},
      {"bch:t=8,step=512,at", "\"at\" is not key=value", true},
      {"bch:t=8,step=512,at=2,chunk=532", "exclude each other", true},
      {"bch:t=8,step=512,bits=mid", "bits=mid is not msb or lsb", true},
      {"bch:t=8,step=512,mask=ff", "mask=ff is not erased or none", true},
      {"bch:t=8,step=512,pad=256,bytes=14", "pad=256 is not a byte", true},
      {"hamming:step=1024", "a Hamming step is 256 or 512 bytes", true},
      {"hamming:step=256,t=4", "unknown key \"t\"", true},
      {"hamming:step=256,order=be", "order=be is not linux or sm", true},
      {"bch:t=400,step=512,poly=0x201B", "4096 data bits + 13 x 400 ECC bits = 9296 bits, more than the 8191", false},
      {"bch:t=400,step=512,poly=0x201B", "t can be at most 315", false},
      {"linux-bch5000/1024", "8192 data bits + 16 x 5000 ECC bits = 88192 bits", false},
      {"bch:t=8,step=512,poly=0x2001", "not a primitive polynomial of degree 13", false},
      {"bch:t=8,step=512,poly=0x13", "of degree 4", false},
      // The top bit of 32 set (found by fuzzing: the degree was once found by a shift by 32).
      {"bch:t=91,step=4,poly=0xc000006B", "of degree 31", false},
      {"bch:t=8,step=512,bytes=12", "bytes=12 is fewer than the code's 13 bytes", false},
      {"bch:t=8,step=516,chunk=529", "chunk=529 is smaller than a codeword of 516 bytes + 1 marker byte + 13 ECC bytes = 530",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    const auto scheme = ParseScheme(c.input);
    ASSERT_FALSE(scheme.ok());
    EXPECT_NE(scheme.error().find(std::string(1, '"') + c.input + '"'), std::string::npos) << scheme.error();
    EXPECT_NE(scheme.error().find(c.says), std::string::npos) << scheme.error();
    EXPECT_EQ(scheme.error().find("qcom-bch8, hamming:step") != std::string::npos, c.listsNames) << scheme.error();
  }
}

TEST(EccSchemes, TheListNamesEachSchemeWithItsEccBytes) {
  struct Case {
    const char* name;
    std::uint32_t eccBytes;
    EccCode code;
  };
  const Case cases[] = {{"linux-hamming", 3, EccCode::kHamming},    {"linux-hamming-sm", 3, EccCode::kHamming},
                        {"linux-hamming/512", 3, EccCode::kHamming}, {"linux-bch4/512", 7, EccCode::kBch},
                        {"linux-bch8/512", 13, EccCode::kBch},       {"linux-bch16/1024", 28, EccCode::kBch},
                        {"qcom-bch4", 7, EccCode::kBch},             {"qcom-bch8", 13, EccCode::kBch}};
  const std::vector<NamedScheme> list = NamedSchemes();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto it = std::find_if(list.begin(), list.end(), [&](const NamedScheme& n) { return n.name == c.name; });
    ASSERT_NE(it, list.end());
    EXPECT_EQ(it->scheme.eccBytes, c.eccBytes);
    EXPECT_EQ(it->scheme.code, c.code);
    EXPECT_FALSE(it->placement.empty());
    EXPECT_EQ(SchemeText(it->scheme), c.name);
  }
}

}  // namespace
}  // namespace folvane
