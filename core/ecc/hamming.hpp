#pragma once
// The Hamming code of NAND software ECC: 3 ECC bytes for a step of 256 or 512 bytes,
// correcting one flipped bit and detecting two. Row parities cover the bytes by
// their address bits, column parities the bits of all bytes XORed together; every
// stored parity bit is inverted so that an erased step has the ECC FF FF FF.

#include <cstdint>
#include <optional>

namespace folvane {

/// Where the row parities go: rp15..rp8 in byte 0 and rp7..rp0 in byte 1 (Linux), or
/// the two bytes swapped (SmartMedia). Byte 2 holds cp5..cp0 and then 1 1 (256-byte
/// steps) or rp17 rp16 (512-byte steps).
enum class HammingOrder : std::uint8_t { kLinux, kSmartMedia };

inline constexpr std::uint32_t kHammingEccBytes = 3;

/// Writes the 3 ECC bytes of a step of `stepBytes` (256 or 512) bytes.
void HammingEncode(const std::uint8_t* data, std::uint32_t stepBytes, HammingOrder order, std::uint8_t* ecc);

/// Corrects one flipped bit in the step's data or its 3 ECC bytes in place; how many
/// bits it corrected (0 or 1), or nothing (and nothing changed) when two or more
/// bits differ.
[[nodiscard]] std::optional<unsigned> HammingCorrect(std::uint8_t* data, std::uint32_t stepBytes, HammingOrder order,
                                                     std::uint8_t* ecc);

}  // namespace folvane
