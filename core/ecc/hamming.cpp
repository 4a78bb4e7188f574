#include "ecc/hamming.hpp"

#include <array>
#include <bit>
#include <cstring>

namespace folvane {

namespace {

// For the eight parity bits of a word's bytes (bit j for byte j): the XOR of the
// offsets j of the odd bytes, the low three address bits they add to the row parities.
constexpr std::array<std::uint8_t, 256> kOffsetXor = [] {
  std::array<std::uint8_t, 256> t{};
  for (unsigned mask = 0; mask < 256; ++mask)
    for (unsigned j = 0; j < 8; ++j)
      if ((mask >> j) & 1) t[mask] = static_cast<std::uint8_t>(t[mask] ^ j);
  return t;
}();

std::uint64_t LoadLittleEndian(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

unsigned Parity(std::uint32_t x) { return static_cast<unsigned>(std::popcount(x) & 1); }

// The parities packed as this program keeps them before storing: bits 0..17 the row
// parities rp0..rp17 (rp(2k) over the bytes whose address bit k is 0, rp(2k+1) over
// those where it is 1), bits 18..23 the column parities cp0..cp5.
std::uint32_t Parities(const std::uint8_t* data, std::uint32_t stepBytes) {
  std::uint64_t columns = 0;  // XOR of all words; folded to one byte below
  std::uint32_t odd = 0;      // XOR of the addresses of the bytes of odd parity
  for (std::uint32_t at = 0; at < stepBytes; at += 8) {
    const std::uint64_t word = LoadLittleEndian(data + at);
    columns ^= word;
    std::uint64_t p = word ^ (word >> 4);
    p ^= p >> 2;
    p ^= p >> 1;
    p &= 0x0101010101010101ull;
    // Gathers bit 0 of byte j into bit j of the top byte.
    const auto mask = static_cast<unsigned>((p * 0x0102040810204080ull) >> 56) & 0xFF;
    odd ^= kOffsetXor[mask] ^ (std::popcount(mask) & 1 ? at : 0u);
  }
  columns ^= columns >> 32;
  columns ^= columns >> 16;
  columns ^= columns >> 8;
  const auto c = static_cast<std::uint32_t>(columns & 0xFF);
  const unsigned all = Parity(c);  // parity of the whole step
  const unsigned addressBits = stepBytes == 512 ? 9 : 8;
  std::uint32_t bits = 0;
  for (unsigned k = 0; k < addressBits; ++k) {
    const unsigned one = (odd >> k) & 1;
    bits |= (one ^ all) << (2 * k);
    bits |= one << (2 * k + 1);
  }
  constexpr std::array<std::uint32_t, 6> kColumnMasks = {0x55, 0xAA, 0x33, 0xCC, 0x0F, 0xF0};
  for (unsigned i = 0; i < 6; ++i) bits |= Parity(c & kColumnMasks[i]) << (18 + i);
  return bits;
}

// The stored bytes, each parity inverted.
std::array<std::uint8_t, 3> Pack(std::uint32_t bits, std::uint32_t stepBytes, HammingOrder order) {
  const auto high = static_cast<std::uint8_t>(~(bits >> 8));  // rp15..rp8
  const auto low = static_cast<std::uint8_t>(~bits);          // rp7..rp0
  const std::uint32_t tail = stepBytes == 512 ? (bits >> 16) & 3 : 0;  // rp17 rp16, or two bits stored as 1 1
  const auto last = static_cast<std::uint8_t>(~(((bits >> 18) << 2) | tail));
  if (order == HammingOrder::kLinux) return {high, low, last};
  return {low, high, last};
}

}  // namespace

void HammingEncode(const std::uint8_t* data, std::uint32_t stepBytes, HammingOrder order, std::uint8_t* ecc) {
  const auto bytes = Pack(Parities(data, stepBytes), stepBytes, order);
  std::memcpy(ecc, bytes.data(), bytes.size());
}

std::optional<unsigned> HammingCorrect(std::uint8_t* data, std::uint32_t stepBytes, HammingOrder order,
                                       std::uint8_t* ecc) {
  const auto mine = Pack(Parities(data, stepBytes), stepBytes, order);
  std::uint32_t diff = 0;
  for (unsigned i = 0; i < 3; ++i) diff = (diff << 8) | static_cast<std::uint8_t>(mine[i] ^ ecc[i]);
  if (diff == 0) return 0u;
  if (std::popcount(diff) == 1) {  // one flipped ECC bit: the data is good
    std::memcpy(ecc, mine.data(), mine.size());
    return 1u;
  }
  // One flipped data bit flips exactly one parity of every pair: rp(2k)/rp(2k+1) for
  // each address bit and cp(2i)/cp(2i+1) for each bit-number bit. The odd member of
  // each pair spells the address and the bit number.
  const bool smartMedia = order == HammingOrder::kSmartMedia;
  const std::uint32_t rowHigh = smartMedia ? (diff >> 8) & 0xFF : diff >> 16;
  const std::uint32_t rowLow = smartMedia ? diff >> 16 : (diff >> 8) & 0xFF;
  const std::uint32_t rows = (rowHigh << 8) | rowLow | (stepBytes == 512 ? (diff & 3) << 16 : 0);
  const std::uint32_t columns = (diff >> 2) & 0x3F;
  const unsigned addressBits = stepBytes == 512 ? 9 : 8;
  if (stepBytes != 512 && (diff & 3) != 0) return std::nullopt;
  std::uint32_t address = 0, bit = 0;
  for (unsigned k = 0; k < addressBits; ++k) {
    const std::uint32_t pair = (rows >> (2 * k)) & 3;
    if (pair != 1 && pair != 2) return std::nullopt;
    address |= (pair >> 1) << k;
  }
  for (unsigned i = 0; i < 3; ++i) {
    const std::uint32_t pair = (columns >> (2 * i)) & 3;
    if (pair != 1 && pair != 2) return std::nullopt;
    bit |= (pair >> 1) << i;
  }
  data[address] ^= static_cast<std::uint8_t>(1u << bit);
  return 1u;
}

}  // namespace folvane
