#pragma once
// Little-endian field access over byte buffers. Every fixed-layout file of the
// program (partition table, .part record) is encoded and decoded through these,
// so the layout never depends on how the host lays out a struct.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace folvane {

inline void put_u32le(std::span<std::uint8_t> out, std::size_t offset, std::uint32_t value) {
  out[offset + 0] = static_cast<std::uint8_t>(value);
  out[offset + 1] = static_cast<std::uint8_t>(value >> 8);
  out[offset + 2] = static_cast<std::uint8_t>(value >> 16);
  out[offset + 3] = static_cast<std::uint8_t>(value >> 24);
}

inline std::uint32_t get_u32le(std::span<const std::uint8_t> in, std::size_t offset) {
  return static_cast<std::uint32_t>(in[offset]) | (static_cast<std::uint32_t>(in[offset + 1]) << 8) |
         (static_cast<std::uint32_t>(in[offset + 2]) << 16) | (static_cast<std::uint32_t>(in[offset + 3]) << 24);
}

/// Copies `text` into a fixed-width text field. The caller guarantees that the text
/// and its terminating zero fit; the rest of the field is left as it is (zero).
inline void put_text(std::span<std::uint8_t> out, std::size_t offset, std::size_t width, std::string_view text) {
  const std::size_t n = text.size() < width ? text.size() : width;
  for (std::size_t i = 0; i < n; ++i) out[offset + i] = static_cast<std::uint8_t>(text[i]);
}

/// Reads a zero-terminated text field; a field without a zero byte is taken whole,
/// never read past its width.
inline std::string get_text(std::span<const std::uint8_t> in, std::size_t offset, std::size_t width) {
  std::string s;
  for (std::size_t i = 0; i < width && in[offset + i] != 0; ++i) s.push_back(static_cast<char>(in[offset + i]));
  return s;
}

}  // namespace folvane
