#pragma once
// Block numbers as the user types them into a row's start and end edits:
// hexadecimal without a prefix, at most 0x10000, judged by the first nine characters.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace folvane {

inline constexpr std::uint32_t kMaxBlockNumber = 0x10000;
/// Only this many leading characters of an edit's text are read.
inline constexpr std::size_t kBlockTextChars = 9;

namespace text {
inline constexpr std::string_view kErrorInputNum = "     Error Input Num!\r\nPlease input 16-ary numerical!";
inline constexpr std::string_view kTooHugeNum = "Too Huge Num!";
}  // namespace text

enum class BlockTextVerdict { Accepted, NotHex, TooHuge };

/// The message a start or end edit shows for a text it refuses.
constexpr std::string_view BlockTextRefusal(BlockTextVerdict verdict) {
  return verdict == BlockTextVerdict::NotHex ? text::kErrorInputNum : text::kTooHugeNum;
}

struct BlockTextCheck {
  BlockTextVerdict verdict = BlockTextVerdict::Accepted;
  std::uint32_t value = 0;  ///< the block number when accepted
};

/// "0x1F": a block number, count or byte position as every text of the program
/// writes it for people (upper-case digits, no leading zeros).
std::string Hex(std::uint64_t value);
/// "0x1F (31)": a count that people read in both bases.
std::string HexDec(std::uint64_t value);

/// The value of a text of hexadecimal digits (either case); empty is 0. Reads at most
/// nine characters, so the result needs up to 36 bits and is exact.
std::uint64_t ParseBlockNumber(std::string_view text);

/// Judges an edit's text as the start and end edits do: its first nine characters
/// must all be hexadecimal digits and their value at most 0x10000.
BlockTextCheck CheckBlockText(std::string_view text);

/// The shortest text that reads back as `value` (lower-case hex, "0" for zero).
std::string ShortestBlockText(std::uint32_t value);

}  // namespace folvane
