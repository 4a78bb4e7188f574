#include "job/block_text.hpp"


#include <fmt/format.h>

namespace folvane {

std::string Hex(std::uint64_t value) { return fmt::format("0x{:X}", value); }

std::string HexDec(std::uint64_t value) { return fmt::format("0x{:X} ({})", value, value); }

namespace {
int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

std::uint64_t ParseBlockNumber(std::string_view text) {
  std::uint64_t value = 0;
  for (char c : text.substr(0, kBlockTextChars)) {
    const int d = DigitValue(c);
    value = value * 16 + static_cast<std::uint64_t>(d < 0 ? 0 : d);
  }
  return value;
}

BlockTextCheck CheckBlockText(std::string_view text) {
  const std::string_view read = text.substr(0, kBlockTextChars);
  for (char c : read) {
    if (DigitValue(c) < 0) return {BlockTextVerdict::NotHex, 0};
  }
  const std::uint64_t value = ParseBlockNumber(read);
  if (value > kMaxBlockNumber) return {BlockTextVerdict::TooHuge, 0};
  return {BlockTextVerdict::Accepted, static_cast<std::uint32_t>(value)};
}

std::string ShortestBlockText(std::uint32_t value) { return fmt::format("{:x}", value); }

}  // namespace folvane
