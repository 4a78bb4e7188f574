#include "ecc/bch.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <string>

#include <fmt/format.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define FOLVANE_BCH_CLMUL 1
#endif

namespace folvane {

// Two 64-bit words that the compiler keeps in one vector register where there is one
// (SSE2 on x86-64, NEON on AArch64): the wide registers' table entries are added two
// words at a time.
using WordPair = std::uint64_t __attribute__((vector_size(16)));

struct BchCode::Tables {
  BchParams params;
  GaloisField field;
  unsigned degree = 0;  ///< deg g
  unsigned words = 0;   ///< 64-bit words of the remainder register
  unsigned shift = 0;   ///< 64*words - deg g: the register holds the remainder left-justified
  std::vector<std::uint64_t> generator;
  /// Eight tables of 256 entries of `words` words: entry (j, b) is b * x^(64*words + 8j)
  /// modulo g * x^shift, what byte j of a word that leaves the register's top adds back.
  std::vector<std::uint64_t> slices;
  /// For registers of an even number of words: sixteen tables of 256 entries, entry
  /// (j, b) being b * x^(64*words + 8j) as pairs of words, for sixteen bytes at a time.
  std::vector<WordPair> pairs;
  /// For the carry-less multiplier: the multiples that move each whole eight bytes of
  /// a step to the register's place at the step's end, K_i = x^(64*words + 64*(c-1-i))
  /// modulo g * x^shift for the c whole words of the step, in pairs of words: for word
  /// pair p and register word k (0 = least significant), {K_2p word k, K_2p+1 word k}.
  std::vector<std::uint64_t> folds;
  /// The same multiples for four word pairs at a time, for a multiplier that takes four
  /// at once: for group q of pairs 4q..4q+3 and register word k, the four pairs' words
  /// k side by side. Only whole groups.
  std::vector<std::uint64_t> wideFolds;
  /// For the carry-less multiplier's last reduction (see BarrettReduce): the low 64
  /// bits of floor(x^(N+64) / G), N = 64*words and G = g * x^shift, and G less its
  /// top term, least significant word first.
  std::uint64_t barrett = 0;
  std::vector<std::uint64_t> lowG;
  std::vector<std::uint8_t> mask;
  void (*remainder)(const Tables&, const std::uint8_t* const*, std::uint64_t*) = nullptr;
  void (*remainders)(const Tables&, const std::uint8_t* const*, std::uint64_t*) = nullptr;
  unsigned together = 1;  ///< steps `remainders` takes at once
  bool carryless = false;  ///< `remainder` multiplies carry-less (see ClmulRemainderOf)
};

namespace {

// x^9 + x^4 + 1, x^10 + x^3 + 1, x^11 + x^2 + 1, x^12 + x^6 + x^4 + x + 1,
// x^13 + x^4 + x^3 + x + 1, x^14 + x^5 + x^3 + x + 1, x^15 + x + 1,
// x^16 + x^12 + x^3 + x + 1. Primitivity is checked when the field is built.
constexpr std::array<std::uint32_t, 8> kDefaultPolys = {0x211, 0x409, 0x805, 0x1053, 0x201B, 0x402B, 0x8003, 0x1100B};
constexpr unsigned kMinM = 9, kMaxM = 16;

std::uint64_t LoadBigEndian(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
  return v;
}

// Reverses the bits of each byte of a word: the least-significant-first order fed
// through the same tables.
std::uint64_t ReverseByteBits(std::uint64_t x) {
  x = ((x >> 1) & 0x5555555555555555ull) | ((x & 0x5555555555555555ull) << 1);
  x = ((x >> 2) & 0x3333333333333333ull) | ((x & 0x3333333333333333ull) << 2);
  return ((x >> 4) & 0x0F0F0F0F0F0F0F0Full) | ((x & 0x0F0F0F0F0F0F0F0Full) << 4);
}

std::uint8_t ReverseBits(std::uint8_t b) {
  return static_cast<std::uint8_t>(ReverseByteBits(b) & 0xFF);
}

// The remainders of K steps' data * x^(64W) modulo g * x^shift, eight bytes at a
// time: the top word of a register and the step's next eight data bytes leave
// together, the rest moves up a word, and each byte of the leaving word adds its table
// entry. The K steps run side by side so that one step's chain of table loads does not
// wait on the previous one's; W = 0 is any width, one step at a time.
template <unsigned W, bool Lsb, unsigned K>
void RemaindersOf(const BchCode::Tables& t, const std::uint8_t* const* steps, std::uint64_t* out) {
  const unsigned w = W ? W : t.words;
  std::array<std::array<std::uint64_t, W ? W : 1>, K> fixed{};
  std::vector<std::uint64_t> dynamic;
  std::uint64_t* regs[K];
  for (unsigned k = 0; k < K; ++k) regs[k] = fixed[k].data();
  if constexpr (W == 0) {
    static_assert(K == 1);
    dynamic.assign(w, 0);
    regs[0] = dynamic.data();
  }
  const std::uint64_t* tab = t.slices.data();
  const std::size_t bytes = t.params.stepBytes;
  std::size_t at = 0;
  for (; at + 8 <= bytes; at += 8) {
#pragma GCC unroll 4
    for (unsigned k = 0; k < K; ++k) {
      std::uint64_t* r = regs[k];
      std::uint64_t d = LoadBigEndian(steps[k] + at);
      if constexpr (Lsb) d = ReverseByteBits(d);
      const std::uint64_t x = r[0] ^ d;
      for (unsigned i = 0; i + 1 < w; ++i) r[i] = r[i + 1];
      r[w - 1] = 0;
#pragma GCC unroll 8
      for (unsigned j = 0; j < 8; ++j) {
        const std::uint64_t* e = tab + ((std::size_t{j} << 8) | ((x >> (8 * j)) & 0xFF)) * w;
#pragma GCC unroll 8
        for (unsigned i = 0; i < w; ++i) r[i] ^= e[i];
      }
    }
  }
  for (unsigned k = 0; k < K; ++k) {
    std::uint64_t* r = regs[k];
    for (std::size_t b = at; b < bytes; ++b) {
      const std::uint8_t d = Lsb ? ReverseBits(steps[k][b]) : steps[k][b];
      const std::uint64_t x = (r[0] >> 56) ^ d;
      for (unsigned i = 0; i + 1 < w; ++i) r[i] = (r[i] << 8) | (r[i + 1] >> 56);
      r[w - 1] <<= 8;
      const std::uint64_t* e = tab + x * w;
      for (unsigned i = 0; i < w; ++i) r[i] ^= e[i];
    }
    std::memcpy(out + std::size_t{k} * w, r, w * sizeof(std::uint64_t));
  }
}

// RemaindersOf for registers of W = 2V words, sixteen bytes at a time: the top two
// words leave with the next sixteen data bytes, the register moves up a pair, and each
// of the sixteen leaving bytes adds its entry of V pairs. The few bytes of a step
// beyond a multiple of sixteen go byte by byte.
template <unsigned W, bool Lsb, unsigned K>
void PairRemaindersOf(const BchCode::Tables& t, const std::uint8_t* const* steps, std::uint64_t* out) {
  static_assert(W % 2 == 0 && W >= 2);
  constexpr unsigned V = W / 2;
  WordPair r[K][V];
  for (unsigned k = 0; k < K; ++k)
    for (unsigned i = 0; i < V; ++i) r[k][i] = WordPair{0, 0};
  const WordPair* tab = t.pairs.data();
  const std::size_t bytes = t.params.stepBytes;
  std::size_t at = 0;
  for (; at + 16 <= bytes; at += 16) {
#pragma GCC unroll 4
    for (unsigned k = 0; k < K; ++k) {
      std::uint64_t high = LoadBigEndian(steps[k] + at), low = LoadBigEndian(steps[k] + at + 8);
      if constexpr (Lsb) {
        high = ReverseByteBits(high);
        low = ReverseByteBits(low);
      }
      high ^= r[k][0][0];
      low ^= r[k][0][1];
      for (unsigned i = 0; i + 1 < V; ++i) r[k][i] = r[k][i + 1];
      r[k][V - 1] = WordPair{0, 0};
#pragma GCC unroll 8
      for (unsigned j = 0; j < 8; ++j) {
        const WordPair* e = tab + ((std::size_t{j} << 8) | ((low >> (8 * j)) & 0xFF)) * V;
        const WordPair* f = tab + ((std::size_t{j + 8} << 8) | ((high >> (8 * j)) & 0xFF)) * V;
#pragma GCC unroll 4
        for (unsigned i = 0; i < V; ++i) r[k][i] ^= e[i] ^ f[i];
      }
    }
  }
  const std::uint64_t* byteTable = t.slices.data();
  for (unsigned k = 0; k < K; ++k) {
    std::uint64_t w[W];
    for (unsigned i = 0; i < V; ++i) {
      w[2 * i] = r[k][i][0];
      w[2 * i + 1] = r[k][i][1];
    }
    for (std::size_t b = at; b < bytes; ++b) {
      const std::uint8_t d = Lsb ? ReverseBits(steps[k][b]) : steps[k][b];
      const std::uint64_t x = (w[0] >> 56) ^ d;
      for (unsigned i = 0; i + 1 < W; ++i) w[i] = (w[i] << 8) | (w[i + 1] >> 56);
      w[W - 1] <<= 8;
      const std::uint64_t* e = byteTable + x * W;
      for (unsigned i = 0; i < W; ++i) w[i] ^= e[i];
    }
    std::memcpy(out + std::size_t{k} * W, w, sizeof w);
  }
}

using RemainderFn = void (*)(const BchCode::Tables&, const std::uint8_t* const*, std::uint64_t*);

// The bytes of a step past its whole words added to the register byte by byte, through
// the byte tables: the end of the carry-less remainder functions.
template <unsigned W, bool Lsb>
void TailBytes(const BchCode::Tables& t, const std::uint8_t* step, std::size_t at, std::uint64_t* r) {
  const std::uint64_t* tab = t.slices.data();
  for (std::size_t b = at; b < t.params.stepBytes; ++b) {
    const std::uint8_t d = Lsb ? ReverseBits(step[b]) : step[b];
    const std::uint64_t top = (r[0] >> 56) ^ d;
    for (unsigned i = 0; i + 1 < W; ++i) r[i] = (r[i] << 8) | (r[i + 1] >> 56);
    r[W - 1] <<= 8;
    const std::uint64_t* e = tab + top * W;
    for (unsigned i = 0; i < W; ++i) r[i] ^= e[i];
  }
}

#ifdef FOLVANE_BCH_CLMUL
// The bits of a nibble reversed, and shifted up a nibble: a byte's bits reversed in
// two lookups.
#define FOLVANE_REVERSE_NIBBLES 15, 7, 11, 3, 13, 5, 9, 1, 14, 6, 10, 2, 12, 4, 8, 0
// Bytes 0-7 and 8-15 each as a big-endian word, the first byte most significant.
#define FOLVANE_SWAP_WORDS 8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7

// The sums of products (see ClmulRemainderOf) reduced modulo G = g * x^shift, of
// degree N = 64*W: only their top word T, the coefficients of x^N..x^(N+63) (the high
// half of sum W-1), lies beyond the register. T * x^N = q * G + r with deg r < N, and
// Barrett's quotient over GF(2) gives q without a division: q = floor(T * mu / x^64),
// mu = floor(x^(N+64) / G) = x^64 + barrett, so q = T + the high half of T * barrett.
// Then r is q * (G less x^N) below x^N: its products by G's words go into the sums,
// and the one that lands on word N is dropped, T and q * x^N cancelling it.
template <unsigned W>
__attribute__((target("pclmul,ssse3"))) void BarrettReduce(const BchCode::Tables& t, __m128i* sum) {
  const __m128i top = _mm_srli_si128(sum[W - 1], 8);
  const __m128i mu = _mm_set_epi64x(0, static_cast<long long>(t.barrett));
  const __m128i q = _mm_xor_si128(top, _mm_srli_si128(_mm_clmulepi64_si128(top, mu, 0x00), 8));
  const std::uint64_t* low = t.lowG.data();
#pragma GCC unroll 8
  for (unsigned k = 0; k < W; ++k) {
    const __m128i g = _mm_set_epi64x(0, static_cast<long long>(low[k]));
    sum[k] = _mm_xor_si128(sum[k], _mm_clmulepi64_si128(q, g, 0x00));
  }
}

// The products of a step's words from word `i` on added to `sum` (see
// ClmulRemainderOf), and the register they give written to `out`.
template <unsigned W, bool Lsb>
__attribute__((target("pclmul,ssse3"))) void ClmulFinish(const BchCode::Tables& t, const std::uint8_t* data,
                                                         std::size_t i, __m128i* sum, std::uint64_t* out) {
  const std::size_t words = t.params.stepBytes / 8;
  const std::uint64_t* folds = t.folds.data() + i / 2 * 2 * W;
  const __m128i swap = _mm_set_epi8(FOLVANE_SWAP_WORDS);
  const __m128i reverseLow = _mm_set_epi8(FOLVANE_REVERSE_NIBBLES);
  const __m128i reverseHigh = _mm_slli_epi16(reverseLow, 4);
  const __m128i nibble = _mm_set1_epi8(0x0F);
  for (; i + 2 <= words; i += 2, folds += 2 * W) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 8 * i));
    if constexpr (Lsb) {
      const __m128i low = _mm_and_si128(v, nibble);
      const __m128i high = _mm_and_si128(_mm_srli_epi16(v, 4), nibble);
      v = _mm_or_si128(_mm_shuffle_epi8(reverseHigh, low), _mm_shuffle_epi8(reverseLow, high));
    }
    v = _mm_shuffle_epi8(v, swap);
#pragma GCC unroll 8
    for (unsigned k = 0; k < W; ++k) {
      const __m128i f = _mm_loadu_si128(reinterpret_cast<const __m128i*>(folds + 2 * k));
      sum[k] = _mm_xor_si128(sum[k], _mm_xor_si128(_mm_clmulepi64_si128(v, f, 0x00), _mm_clmulepi64_si128(v, f, 0x11)));
    }
  }
  if (i < words) {  // an odd word left: its pair's second multiple is zero
    std::uint64_t d = LoadBigEndian(data + 8 * i);
    if constexpr (Lsb) d = ReverseByteBits(d);
    const __m128i v = _mm_set_epi64x(0, static_cast<long long>(d));
    for (unsigned k = 0; k < W; ++k) {
      const __m128i f = _mm_loadu_si128(reinterpret_cast<const __m128i*>(folds + 2 * k));
      sum[k] = _mm_xor_si128(sum[k], _mm_clmulepi64_si128(v, f, 0x00));
    }
    ++i;
  }
  BarrettReduce<W>(t, sum);
  // Word k of the register (0 = least significant) is the low half of sum k and the
  // high half of sum k-1; the register's first word is its top.
  std::uint64_t r[W];
  for (unsigned k = 0; k < W; ++k) {
    alignas(16) std::uint64_t halves[2], below[2] = {0, 0};
    _mm_store_si128(reinterpret_cast<__m128i*>(halves), sum[k]);
    if (k > 0) _mm_store_si128(reinterpret_cast<__m128i*>(below), sum[k - 1]);
    r[W - 1 - k] = halves[0] ^ below[1];
  }
  TailBytes<W, Lsb>(t, data, 8 * i, r);
  std::memcpy(out, r, sizeof r);
}

// The remainder through the processor's carry-less multiplication: a step's whole
// words d_0..d_(c-1) (most significant first) stand for sum d_i * x^(64(c-1-i)), so
// the register at their end is sum d_i * K_i modulo g * x^shift, with K_i the
// precomputed x^(64*W + 64(c-1-i)) modulo that. The products do not depend on each
// other, unlike the table lookups, where each waits for the register the previous
// one left; they are added up unreduced (W + 1 words), and only the top word is
// reduced, by a few more multiplications (BarrettReduce), at the end. Sixteen bytes
// at a time: one product per 64-bit half and register word.
template <unsigned W, bool Lsb>
__attribute__((target("pclmul,ssse3"))) void ClmulRemainderOf(const BchCode::Tables& t,
                                                              const std::uint8_t* const* steps, std::uint64_t* out) {
  __m128i sum[W];
  for (unsigned k = 0; k < W; ++k) sum[k] = _mm_setzero_si128();
  ClmulFinish<W, Lsb>(t, steps[0], 0, sum, out);
}

// ClmulRemainderOf where the processor multiplies four pairs of words at once: 64
// bytes at a time, each lane of 128 bits summing the products of its own pairs, and
// the lanes added up before the words after the last whole 64 bytes.
template <unsigned W, bool Lsb>
__attribute__((target("avx512f,avx512bw,vpclmulqdq,pclmul,ssse3"))) void WideClmulRemainderOf(
    const BchCode::Tables& t, const std::uint8_t* const* steps, std::uint64_t* out) {
  const std::uint8_t* data = steps[0];
  const std::size_t groups = t.params.stepBytes / 64;
  const std::uint64_t* folds = t.wideFolds.data();
  const __m512i swap = _mm512_maskz_broadcast_i32x4(0xFFFF, _mm_set_epi8(FOLVANE_SWAP_WORDS));
  const __m512i reverseLow = _mm512_maskz_broadcast_i32x4(0xFFFF, _mm_set_epi8(FOLVANE_REVERSE_NIBBLES));
  const __m512i reverseHigh = _mm512_slli_epi16(reverseLow, 4);
  const __m512i nibble = _mm512_set1_epi8(0x0F);
  __m512i wide[W];
  for (unsigned k = 0; k < W; ++k) wide[k] = _mm512_setzero_si512();
  for (std::size_t q = 0; q < groups; ++q, folds += 8 * W) {
    __m512i v = _mm512_loadu_si512(data + 64 * q);
    if constexpr (Lsb) {
      const __m512i low = _mm512_and_si512(v, nibble);
      const __m512i high = _mm512_and_si512(_mm512_srli_epi16(v, 4), nibble);
      v = _mm512_or_si512(_mm512_shuffle_epi8(reverseHigh, low), _mm512_shuffle_epi8(reverseLow, high));
    }
    v = _mm512_shuffle_epi8(v, swap);
#pragma GCC unroll 8
    for (unsigned k = 0; k < W; ++k) {
      const __m512i f = _mm512_loadu_si512(folds + 8 * k);
      wide[k] = _mm512_xor_si512(wide[k], _mm512_xor_si512(_mm512_clmulepi64_epi128(v, f, 0x00),
                                                           _mm512_clmulepi64_epi128(v, f, 0x11)));
    }
  }
  // (The zero-masked forms: the plain ones start from an undefined register.)
  __m128i sum[W];
  for (unsigned k = 0; k < W; ++k) {
    const __m128i low = _mm_xor_si128(_mm512_maskz_extracti32x4_epi32(0xF, wide[k], 0),
                                      _mm512_maskz_extracti32x4_epi32(0xF, wide[k], 1));
    const __m128i high = _mm_xor_si128(_mm512_maskz_extracti32x4_epi32(0xF, wide[k], 2),
                                       _mm512_maskz_extracti32x4_epi32(0xF, wide[k], 3));
    sum[k] = _mm_xor_si128(low, high);
  }
  ClmulFinish<W, Lsb>(t, data, 8 * groups, sum, out);
}

bool ProcessorMultipliesFourAtOnce() {
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("vpclmulqdq");
}

template <unsigned W>
RemainderFn PickClmul(bool lsb, bool wide) {
  if (wide && ProcessorMultipliesFourAtOnce()) return lsb ? &WideClmulRemainderOf<W, true> : &WideClmulRemainderOf<W, false>;
  return lsb ? &ClmulRemainderOf<W, true> : &ClmulRemainderOf<W, false>;
}

bool ProcessorMultipliesCarryless() {
  return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3");
}

// The carry-less remainder for a register of `words` words, where the processor
// multiplies carry-less and the width has one (64 bytes at a time where `wide` and
// the processor can); nothing otherwise.
RemainderFn ChooseClmul(unsigned words, bool lsb, bool wide) {
  if (!ProcessorMultipliesCarryless()) return nullptr;
  switch (words) {
    case 1: return PickClmul<1>(lsb, wide);
    case 2: return PickClmul<2>(lsb, wide);
    case 4: return PickClmul<4>(lsb, wide);
    case 6: return PickClmul<6>(lsb, wide);
    case 8: return PickClmul<8>(lsb, wide);
    default: return nullptr;
  }
}
#else
RemainderFn ChooseClmul(unsigned, bool, bool) { return nullptr; }
#endif

template <unsigned W, unsigned K>
RemainderFn Pick(bool lsb) {
  return lsb ? &RemaindersOf<W, true, K> : &RemaindersOf<W, false, K>;
}

template <unsigned W, unsigned K>
RemainderFn PickPairs(bool lsb) {
  return lsb ? &PairRemaindersOf<W, true, K> : &PairRemaindersOf<W, false, K>;
}

// The remainder functions for one step at a time and for `Interleave(words)` steps.
RemainderFn ChooseRemainder(unsigned words, bool lsb, bool several) {
  switch (words) {
    case 1: return several ? Pick<1, 4>(lsb) : Pick<1, 1>(lsb);
    case 2: return several ? PickPairs<2, 4>(lsb) : PickPairs<2, 1>(lsb);
    case 4: return several ? PickPairs<4, 2>(lsb) : PickPairs<4, 1>(lsb);
    case 6: return several ? PickPairs<6, 2>(lsb) : PickPairs<6, 1>(lsb);
    case 8: return several ? PickPairs<8, 2>(lsb) : PickPairs<8, 1>(lsb);
    default: return Pick<0, 1>(lsb);
  }
}

// How many steps the side-by-side remainder function takes: as many as keep their
// registers in the processor's registers.
unsigned Interleave(unsigned words) { return words <= 2 ? 4 : words <= 8 ? 2 : 1; }

// Whether the register's width takes the sixteen-byte tables of pairs.
bool UsesPairs(unsigned words) { return words == 2 || words == 4 || words == 6 || words == 8; }

// The low 64 bits of floor(x^128 / (x^64 + h)): with h the top word of G less its top
// term, those of floor(x^(N+64) / G), which depends on G's top 65 coefficients only.
// Long division, one quotient bit at a time from x^64 down.
std::uint64_t BarrettConstant(std::uint64_t h) {
  // The dividend less x^64 * (x^64 + h) is h * x^64: `rest` holds its coefficients of
  // x^64..x^127, the only ones that decide quotient bits.
  std::uint64_t rest = h, quotient = 0;
  for (unsigned bit = 64; bit-- > 0;) {
    if (!((rest >> bit) & 1)) continue;
    quotient |= std::uint64_t{1} << bit;
    rest ^= std::uint64_t{1} << bit;  // less (x^64 + h) * x^bit
    if (bit > 0) rest ^= h >> (64 - bit);
  }
  return quotient;
}

// The codes' decoders rarely correct more than this many bits a step.
constexpr std::size_t kFewErrors = 64;

// A zeroed list of n values: on the stack up to N, on the heap beyond.
template <typename T, std::size_t N>
class Room {
 public:
  explicit Room(std::size_t n) {
    values_ = few_.data();
    if (n > N) {
      many_.assign(n, T{});
      values_ = many_.data();
    } else {
      std::fill(few_.begin(), few_.begin() + static_cast<std::ptrdiff_t>(n), T{});
    }
  }
  Room(const Room&) = delete;
  Room& operator=(const Room&) = delete;
  T* data() { return values_; }
  T& operator[](std::size_t i) { return values_[i]; }

 private:
  std::array<T, N> few_;
  std::vector<T> many_;
  T* values_ = nullptr;
};

// Binary polynomials as bit vectors, coefficient i at index i.
using BitPoly = std::vector<std::uint8_t>;

BitPoly MultiplyBinary(const BitPoly& a, const BitPoly& b) {
  BitPoly r(a.size() + b.size() - 1, 0);
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!a[i]) continue;
    for (std::size_t j = 0; j < b.size(); ++j) r[i + j] ^= b[j];
  }
  return r;
}

// g = lcm of the minimal polynomials of alpha, alpha^3, ..., alpha^(2t-1): the product
// of the minimal polynomials of the distinct cyclotomic cosets those powers fall in.
// A minimal polynomial is the product of (x + alpha^j) over its coset; its
// coefficients come out in GF(2).
BitPoly GeneratorOf(const GaloisField& f, unsigned t) {
  const std::uint32_t n = f.Order();
  std::vector<bool> covered(n, false);
  BitPoly g{1};
  for (std::uint32_t i = 1; i < 2 * t; i += 2) {
    if (covered[i % n]) continue;
    std::vector<std::uint32_t> minimal{1};  // coefficients in GF(2^m), index = power
    std::uint32_t j = i % n;
    do {
      covered[j] = true;
      const std::uint32_t root = f.Exp(j);
      std::vector<std::uint32_t> next(minimal.size() + 1, 0);
      for (std::size_t k = 0; k < minimal.size(); ++k) {
        next[k + 1] ^= minimal[k];
        next[k] ^= f.Mul(minimal[k], root);
      }
      minimal = std::move(next);
      j = static_cast<std::uint32_t>((std::uint64_t{j} * 2) % n);
    } while (j != i % n);
    BitPoly bits(minimal.size());
    for (std::size_t k = 0; k < minimal.size(); ++k) bits[k] = static_cast<std::uint8_t>(minimal[k] & 1);
    g = MultiplyBinary(g, bits);
  }
  return g;
}

}  // namespace

std::uint32_t DefaultPrimitivePoly(unsigned m) {
  return m >= kMinM && m <= kMaxM ? kDefaultPolys[m - kMinM] : 0;
}

unsigned BchEccBits(unsigned m, unsigned t) {
  if (m < 2 || m > kMaxM) return 0;
  const std::uint32_t n = (1u << m) - 1;
  std::vector<bool> covered(n, false);
  unsigned bits = 0;
  for (std::uint64_t i = 1; i < 2 * std::uint64_t{t}; i += 2) {
    std::uint32_t j = static_cast<std::uint32_t>(i % n);
    if (covered[j]) continue;
    do {
      covered[j] = true;
      ++bits;
      j = static_cast<std::uint32_t>((std::uint64_t{j} * 2) % n);
    } while (!covered[j]);
  }
  return bits;
}

std::optional<unsigned> SmallestFieldFor(std::uint32_t stepBytes, unsigned t) {
  for (unsigned m = kMinM; m <= kMaxM; ++m) {
    if (std::uint64_t{stepBytes} * 8 + std::uint64_t{m} * t <= (std::uint64_t{1} << m) - 1) return m;
  }
  return std::nullopt;
}

EccResult<BchCode> BchCode::Make(const BchParams& params, BchEngine engine) {
  const unsigned m = params.m;
  if (m < kMinM || m > kMaxM)
    return EccResult<BchCode>::Fail("BCH over GF(2^" + std::to_string(m) + ") is not supported: m must be " +
                                    std::to_string(kMinM) + " to " + std::to_string(kMaxM));
  const std::uint32_t poly = params.poly ? params.poly : DefaultPrimitivePoly(m);
  auto field = GaloisField::Make(m, poly);
  if (!field)
    return EccResult<BchCode>::Fail(
        fmt::format("the polynomial 0x{:X} is not a primitive polynomial of degree {}", poly, m));
  const std::uint64_t n = field->Order();
  const std::uint64_t dataBits = std::uint64_t{params.stepBytes} * 8;
  if (params.t == 0 || params.stepBytes == 0)
    return EccResult<BchCode>::Fail("a BCH code needs t >= 1 and a step of at least one byte");
  if (dataBits + std::uint64_t{m} * params.t > n)
    return EccResult<BchCode>::Fail(
        "t=" + std::to_string(params.t) + " does not fit GF(2^" + std::to_string(m) + ") for a step of " +
        std::to_string(params.stepBytes) + " bytes: " + std::to_string(dataBits) + " data bits + " +
        std::to_string(m) + " x " + std::to_string(params.t) + " = " + std::to_string(std::uint64_t{m} * params.t) +
        " ECC bits = " + std::to_string(dataBits + std::uint64_t{m} * params.t) + " bits, more than the " +
        std::to_string(n) + " bits of a codeword (2^" + std::to_string(m) + " - 1); t can be at most " +
        std::to_string(n > dataBits ? (n - dataBits) / m : 0));

  auto t = std::make_shared<Tables>(Tables{params, *field, 0, 0, 0, {}, {}, {}, {}, {}, 0, {}, {}, nullptr, nullptr, 1, false});
  t->params.poly = poly;
  const BitPoly g = GeneratorOf(*field, params.t);
  t->degree = static_cast<unsigned>(g.size() - 1);
  // An odd number of words above one is rounded up, for the tables of pairs: the
  // remainder then sits higher in the register, which costs nothing.
  t->words = (t->degree + 63) / 64;
  if (t->words > 1 && t->words % 2) ++t->words;
  t->shift = t->words * 64 - t->degree;
  t->generator.assign((g.size() + 63) / 64, 0);
  for (std::size_t i = 0; i < g.size(); ++i) t->generator[i / 64] |= std::uint64_t{g[i]} << (i % 64);

  // x^(N+i) modulo G = g * x^shift (N = 64*words, the register's width) for i in 0..63,
  // starting from G without its top term, each the previous times x.
  const unsigned w = t->words;
  std::vector<std::uint64_t> power(w, 0);
  for (unsigned i = 0; i < t->degree; ++i) {
    if (!g[i]) continue;
    const unsigned bit = i + t->shift;  // position in the register, 0 = least significant
    power[w - 1 - bit / 64] |= std::uint64_t{1} << (bit % 64);
  }
  std::vector<std::uint64_t> lower = power;
  std::vector<std::uint64_t> powers(128 * std::size_t{w});
  for (unsigned i = 0; i < 128; ++i) {
    std::copy(power.begin(), power.end(), powers.begin() + std::ptrdiff_t{i} * w);
    const bool out = power[0] >> 63;
    for (unsigned k = 0; k + 1 < w; ++k) power[k] = (power[k] << 1) | (power[k + 1] >> 63);
    power[w - 1] <<= 1;
    if (out)
      for (unsigned k = 0; k < w; ++k) power[k] ^= lower[k];
  }
  t->slices.assign(8 * 256 * std::size_t{w}, 0);
  for (unsigned j = 0; j < 8; ++j) {
    for (unsigned b = 1; b < 256; ++b) {
      std::uint64_t* e = &t->slices[((std::size_t{j} << 8) | b) * w];
      for (unsigned k = 0; k < 8; ++k) {
        if (!((b >> k) & 1)) continue;
        const std::uint64_t* p = &powers[(8 * std::size_t{j} + k) * w];
        for (unsigned i = 0; i < w; ++i) e[i] ^= p[i];
      }
    }
  }
  if (UsesPairs(w)) {
    const unsigned v = w / 2;
    t->pairs.assign(16 * 256 * std::size_t{v}, WordPair{0, 0});
    for (unsigned j = 0; j < 16; ++j) {
      for (unsigned b = 1; b < 256; ++b) {
        WordPair* e = &t->pairs[((std::size_t{j} << 8) | b) * v];
        for (unsigned k = 0; k < 8; ++k) {
          if (!((b >> k) & 1)) continue;
          const std::uint64_t* p = &powers[(8 * std::size_t{j} + k) * w];
          for (unsigned i = 0; i < v; ++i) e[i] ^= WordPair{p[2 * i], p[2 * i + 1]};
        }
      }
    }
  }
  const bool lsb = params.bits == BitOrder::kLsbFirst;
  t->remainder = ChooseRemainder(w, lsb, false);
  t->remainders = ChooseRemainder(w, lsb, true);
  t->together = Interleave(w);
  const bool wide = engine == BchEngine::kFastest;
  if (const RemainderFn clmul = engine == BchEngine::kPortable ? nullptr : ChooseClmul(w, lsb, wide)) {
    // K_i for the step's whole words, from x^N (G without its top term) upwards, each
    // the previous times x^64: the word i places from the step's end takes the i-th.
    const std::size_t whole = params.stepBytes / 8;
    t->folds.assign((whole + 1) / 2 * 2 * std::size_t{w}, 0);
    std::vector<std::uint64_t> k = lower;
    for (std::size_t fromEnd = 0; fromEnd < whole; ++fromEnd) {
      const std::size_t i = whole - 1 - fromEnd;
      for (unsigned word = 0; word < w; ++word) t->folds[(i / 2 * w + word) * 2 + i % 2] = k[w - 1 - word];
      for (unsigned bit = 0; bit < 64; ++bit) {
        const bool out = k[0] >> 63;
        for (unsigned j = 0; j + 1 < w; ++j) k[j] = (k[j] << 1) | (k[j + 1] >> 63);
        k[w - 1] <<= 1;
        if (out)
          for (unsigned j = 0; j < w; ++j) k[j] ^= lower[j];
      }
    }
    // The wide multiplier's groups of four pairs, from the pairs' multiples.
    const std::size_t groups = whole / 8;
    t->wideFolds.assign(groups * 8 * std::size_t{w}, 0);
    for (std::size_t q = 0; q < groups; ++q)
      for (unsigned word = 0; word < w; ++word)
        for (std::size_t lane = 0; lane < 4; ++lane)
          for (std::size_t half = 0; half < 2; ++half)
            t->wideFolds[((q * w + word) * 4 + lane) * 2 + half] = t->folds[((4 * q + lane) * w + word) * 2 + half];
    t->barrett = BarrettConstant(lower[0]);
    t->lowG.assign(lower.rbegin(), lower.rend());
    t->remainder = t->remainders = clmul;
    t->carryless = true;
    t->together = 1;  // its products overlap within one step already
  }

  BchCode code;
  t->mask.assign((t->degree + 7) / 8, 0);
  code.p_ = t;
  if (params.masked) {
    // The complement of an erased step's ECC, as stored: XORed on, it turns that ECC
    // into all 0xFF, so an erased step reads as a codeword.
    const std::vector<std::uint8_t> erased(params.stepBytes, 0xFF);
    std::vector<std::uint8_t> ecc(t->mask.size());
    code.Encode(erased.data(), ecc.data());
    for (std::size_t i = 0; i < ecc.size(); ++i) t->mask[i] = static_cast<std::uint8_t>(~ecc[i]);
  }
  return code;
}

const BchParams& BchCode::Params() const { return p_->params; }
unsigned BchCode::EccBits() const { return p_->degree; }
const std::vector<std::uint64_t>& BchCode::Generator() const { return p_->generator; }
const GaloisField& BchCode::Field() const { return p_->field; }
std::span<const std::uint8_t> BchCode::Mask() const { return p_->mask; }

void BchCode::Remainder(const std::uint8_t* data, std::uint64_t* reg) const { p_->remainder(*p_, &data, reg); }

bool BchCode::MultipliesCarryless() const { return p_->carryless; }

void BchCode::RegisterToStored(const std::uint64_t* reg, std::uint8_t* ecc) const {
  const bool lsb = p_->params.bits == BitOrder::kLsbFirst;
  const std::size_t bytes = p_->mask.size();
  const std::uint8_t* mask = p_->mask.data();
  // Whole words of the register as stored: its bytes most significant first, each
  // reversed in the swapped order, the mask added.
  std::size_t k = 0;
  for (; k + 8 <= bytes; k += 8) {
    std::uint64_t word = reg[k / 8];
    if (lsb) word = ReverseByteBits(word);
    std::uint64_t m;
    std::memcpy(&m, mask + k, 8);
    if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
    word ^= m;
    std::memcpy(ecc + k, &word, 8);
  }
  for (; k < bytes; ++k) {
    auto b = static_cast<std::uint8_t>(reg[k / 8] >> (56 - 8 * (k % 8)));
    if (lsb) b = ReverseBits(b);
    ecc[k] = static_cast<std::uint8_t>(b ^ mask[k]);
  }
}

void BchCode::Encode(const std::uint8_t* data, std::uint8_t* ecc) const {
  std::array<std::uint64_t, 8> small;
  std::vector<std::uint64_t> large;
  std::uint64_t* reg = small.data();
  if (p_->words > small.size()) {
    large.resize(p_->words);
    reg = large.data();
  }
  Remainder(data, reg);
  RegisterToStored(reg, ecc);
}

void BchCode::EncodeSteps(std::span<const std::uint8_t* const> data, std::span<std::uint8_t* const> ecc) const {
  const unsigned together = p_->together;
  std::size_t s = 0;
  if (together > 1) {
    std::array<std::uint64_t, 16> regs;  // together * words <= 16
    for (; s + together <= data.size(); s += together) {
      p_->remainders(*p_, data.data() + s, regs.data());
      for (unsigned k = 0; k < together; ++k) RegisterToStored(regs.data() + std::size_t{k} * p_->words, ecc[s + k]);
    }
  }
  for (; s < data.size(); ++s) Encode(data[s], ecc[s]);
}

bool BchCode::Matches(const std::uint8_t* data, const std::uint8_t* ecc) const {
  std::array<std::uint8_t, 64> small;
  std::vector<std::uint8_t> large;
  std::uint8_t* mine = small.data();
  if (p_->mask.size() > small.size()) {
    large.resize(p_->mask.size());
    mine = large.data();
  }
  Encode(data, mine);
  return std::memcmp(mine, ecc, p_->mask.size()) == 0;
}

void BchCode::StoredToRegister(const std::uint8_t* ecc, std::uint64_t* reg) const {
  const bool lsb = p_->params.bits == BitOrder::kLsbFirst;
  std::fill(reg, reg + p_->words, 0);
  for (std::size_t k = 0; k < p_->mask.size(); ++k) {
    auto b = static_cast<std::uint8_t>(ecc[k] ^ p_->mask[k]);
    if (lsb) b = ReverseBits(b);
    reg[k / 8] |= std::uint64_t{b} << (56 - 8 * (k % 8));
  }
  // The bits below deg g only pad the last byte; they are not part of the code.
  for (unsigned below = 0; below < p_->shift; below += 64) {
    const unsigned bits = std::min(64u, p_->shift - below);
    reg[p_->words - 1 - below / 64] &= bits == 64 ? 0 : ~((std::uint64_t{1} << bits) - 1);
  }
}

std::optional<unsigned> BchCode::Correct(std::uint8_t* data, std::uint8_t* ecc) const {
  const Tables& t = *p_;
  const GaloisField& f = t.field;
  const unsigned w = t.words;
  // Every list below lives on the stack for the codes in use (t up to 64, registers
  // up to 16 words): a step read with flips costs no allocation.
  Room<std::uint64_t, 16> reg(w), stored(w);
  Remainder(data, reg.data());
  StoredToRegister(ecc, stored.data());
  bool clean = true;
  for (unsigned i = 0; i < w; ++i) {
    reg[i] ^= stored[i];
    clean = clean && reg[i] == 0;
  }
  if (clean) return 0u;

  // The received word modulo g is the difference just computed, so its value at
  // alpha^i (a root of g for i = 1..2t) is the syndrome S_i. Odd ones from the bits,
  // even ones as squares: S_2i = S_i^2 over GF(2).
  const unsigned tt = t.params.t;
  const std::uint32_t n = f.Order();
  Room<std::uint32_t, 2 * kFewErrors + 1> s(2 * std::size_t{tt} + 1);
  for (unsigned word = 0; word < w; ++word) {
    for (std::uint64_t bits = reg[word]; bits; bits &= bits - 1) {
      const unsigned p = (w - 1 - word) * 64 + static_cast<unsigned>(std::countr_zero(bits));
      // alpha^(p*i) for odd i: the logarithm grows by 2p each time, kept below n.
      const std::uint32_t power = static_cast<std::uint32_t>((p - t.shift) % n);
      const std::uint32_t twice = static_cast<std::uint32_t>((std::uint64_t{power} * 2) % n);
      std::uint32_t log = power;
      for (unsigned i = 1; i <= 2 * tt; i += 2) {
        s[i] ^= f.Exp(log);
        log += twice;
        if (log >= n) log -= n;
      }
    }
  }
  for (unsigned i = 2; i <= 2 * tt; i += 2) s[i] = f.Mul(s[i / 2], s[i / 2]);

  // Berlekamp-Massey: the shortest error locator Lambda(x) = prod(1 + X_l x) that
  // generates the syndromes.
  const std::size_t terms = tt + 2;
  Room<std::uint32_t, kFewErrors + 2> lambda(terms), prev(terms), tmp(terms);
  lambda[0] = prev[0] = 1;
  unsigned len = 0, gap = 1;
  std::uint32_t prevDiscrepancy = 1;
  for (unsigned k = 0; k < 2 * tt; ++k) {
    std::uint32_t d = s[k + 1];
    for (unsigned i = 1; i <= len && i <= k; ++i) d ^= f.Mul(lambda[i], s[k + 1 - i]);
    if (d == 0) {
      ++gap;
      continue;
    }
    const std::uint32_t scale = f.Div(d, prevDiscrepancy);
    const bool grow = 2 * len <= k;
    if (grow) std::copy(lambda.data(), lambda.data() + terms, tmp.data());
    for (std::size_t i = 0; i + gap < terms; ++i) lambda[i + gap] ^= f.Mul(scale, prev[i]);
    if (grow) {
      if (k + 1 - len > tt) return std::nullopt;  // more than t errors
      len = k + 1 - len;
      std::copy(tmp.data(), tmp.data() + terms, prev.data());
      prevDiscrepancy = d;
      gap = 1;
    } else {
      ++gap;
    }
  }
  unsigned degree = 0;
  for (unsigned i = 0; i < terms; ++i)
    if (lambda[i]) degree = i;
  if (len > tt || degree != len) return std::nullopt;

  // The roots: Lambda(alpha^-j) = 0 puts an error at power j of the codeword, which
  // is shortened to the step's bits and the ECC bits; a root outside, or fewer roots
  // than the degree, means more errors than the code corrects.
  const std::uint64_t codeBits = std::uint64_t{t.params.stepBytes} * 8 + t.degree;
  Room<std::uint64_t, kFewErrors> where(len);
  std::size_t found = 0;
  if (len == 1) {
    const std::uint32_t j = f.Log(lambda[1]);  // Lambda = 1 + X x, X = alpha^j
    if (j < codeBits) where[found++] = j;
  } else {
    // Term i as a logarithm, and what it gains per j.
    Room<std::uint32_t, kFewErrors> logs(len), steps(len);
    std::size_t used = 0;
    for (unsigned i = 1; i <= len; ++i) {
      if (!lambda[i]) continue;
      logs[used] = f.Log(lambda[i]);
      steps[used++] = n - i % n;
    }
    for (std::uint64_t j = 0; j < codeBits && found < len; ++j) {
      std::uint32_t sum = 1;
      for (std::size_t i = 0; i < used; ++i) {
        sum ^= f.Exp(logs[i]);
        logs[i] += steps[i];
        if (logs[i] >= n) logs[i] -= n;
      }
      if (sum == 0) where[found++] = j;
    }
  }
  if (found != len) return std::nullopt;

  const bool lsb = t.params.bits == BitOrder::kLsbFirst;
  for (std::size_t e = 0; e < found; ++e) {
    const std::uint64_t j = where[e];
    if (j < t.degree) {
      const std::uint64_t p = j + t.shift;
      const std::uint64_t byte = (64 * std::uint64_t{w} - 1 - p) / 8;
      const unsigned bit = static_cast<unsigned>(p % 8);
      ecc[byte] ^= static_cast<std::uint8_t>(1u << (lsb ? 7 - bit : bit));
    } else {
      const std::uint64_t fed = std::uint64_t{t.params.stepBytes} * 8 - 1 - (j - t.degree);
      const unsigned k = static_cast<unsigned>(fed % 8);
      data[fed / 8] ^= static_cast<std::uint8_t>(lsb ? 1u << k : 0x80u >> k);
    }
  }
  return len;
}

}  // namespace folvane
