#pragma once
// The partition configuration file (.part): one 4872-byte record holding the output
// paths, the block mode and the leading run of checked rows as the edits show them.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "job/partition.hpp"

namespace folvane {

namespace part_layout {
inline constexpr std::size_t kMagic = 0;
inline constexpr std::size_t kTablePath = 6;
inline constexpr std::size_t kDataPath = 262;
inline constexpr std::size_t kPathWidth = 256;
static_assert(kMaxPathBytes + 1 == kPathWidth, "a path field holds the longest path and its terminating zero");
inline constexpr std::size_t kBlockModeByte = 518;
inline constexpr std::size_t kRowCountByte = 519;
inline constexpr std::size_t kImagePaths = 520;
inline constexpr std::size_t kStartTexts = 4616;
inline constexpr std::size_t kEndTexts = 4712;
inline constexpr std::size_t kBlockTextWidth = 6;
inline constexpr std::size_t kImageBlocks = 4808;
inline constexpr std::size_t kSize = 4872;
static_assert(kImagePaths + 16 * kPathWidth == kStartTexts);
static_assert(kStartTexts + 16 * kBlockTextWidth == kEndTexts);
static_assert(kEndTexts + 16 * kBlockTextWidth == kImageBlocks);
static_assert(kImageBlocks + 16 * 4 == kSize);
}  // namespace part_layout

/// The longest start or end text the record holds.
inline constexpr std::size_t kMaxStoredBlockText = part_layout::kBlockTextWidth - 1;

/// What a record stores for a start or end text. A text the 6-byte field cannot hold
/// (leading zeros, characters after the ninth that the edit never reads) is stored
/// as the shortest text of the same value, so that it loads as the same number.
std::string StoredBlockText(const std::string& text);

/// One saved row: the texts of its edits and its length in blocks.
struct PartFileRow {
  std::string imagePath;
  std::string startText;
  std::string endText;
  std::uint32_t imageBlocks = 0;
  friend bool operator==(const PartFileRow&, const PartFileRow&) = default;
};

/// Which paths of a .part file were not UTF-8 and were read through the legacy code
/// page (how the file spelled them, not part of the record's value).
struct LegacyPaths {
  bool tablePath = false;
  bool dataPath = false;
  std::array<bool, kRowCount> imagePaths{};
};

/// The block mode byte a job stores for a Block Mode list selection: the index, and
/// 255 for no selection (the list's -1). Every report of a job's block mode uses it.
inline constexpr std::uint8_t kNoBlockMode = 255;
constexpr std::uint8_t StoredBlockMode(int selection) {
  return selection >= 0 && selection < kNoBlockMode ? static_cast<std::uint8_t>(selection) : kNoBlockMode;
}

struct PartFileRecord {
  using Bytes = std::array<std::uint8_t, part_layout::kSize>;

  std::string tablePath;
  std::string dataPath;
  std::uint8_t blockModeIndex = 0;  ///< 255 when the list had no selection
  std::uint8_t rowCount = 0;        ///< as stored; a file may claim more than 16
  std::array<PartFileRow, kRowCount> rows{};

  /// How many rows really carry data: the stored count, at most 16.
  [[nodiscard]] int UsableRows() const { return rowCount < kRowCount ? rowCount : kRowCount; }

  /// The 4872 bytes of the file, texts in the file's encoding (stored_text.hpp).
  /// Texts longer than their fields are cut; callers that must not lose a path check
  /// lengths first.
  [[nodiscard]] Bytes Encode() const;

  /// Reads a record from the first bytes of a file (missing bytes count as zero,
  /// bytes after the 4872nd are ignored), texts converted to UTF-8. Nothing if it does not start with "PART"
  /// and a zero byte. `legacy`, when given, learns which paths were converted.
  static std::optional<PartFileRecord> Decode(std::span<const std::uint8_t> bytes, LegacyPaths* legacy = nullptr);

  friend bool operator==(const PartFileRecord&, const PartFileRecord&) = default;
};

}  // namespace folvane
