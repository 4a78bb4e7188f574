#include "job/part_file.hpp"

#include "job/block_text.hpp"

#include <algorithm>

#include "job/bytes.hpp"
#include "job/stored_text.hpp"

namespace folvane {

using namespace part_layout;

PartFileRecord::Bytes PartFileRecord::Encode() const {
  Bytes out{};
  auto text = [&](std::size_t offset, std::size_t width, const std::string& s) {
    put_text(out, offset, width - 1, Utf8ToStoredText(s));  // the last byte stays the terminator
  };
  text(kTablePath, kPathWidth, tablePath);
  text(kDataPath, kPathWidth, dataPath);
  for (int i = 0; i < UsableRows(); ++i) {
    const auto u = static_cast<std::size_t>(i);
    text(kImagePaths + kPathWidth * u, kPathWidth, rows[u].imagePath);
    text(kStartTexts + kBlockTextWidth * u, kBlockTextWidth, rows[u].startText);
    text(kEndTexts + kBlockTextWidth * u, kBlockTextWidth, rows[u].endText);
    put_u32le(out, kImageBlocks + 4 * u, rows[u].imageBlocks);
  }
  out[kBlockModeByte] = blockModeIndex;
  out[kRowCountByte] = rowCount;
  put_text(out, kMagic, 4, "PART");
  return out;
}

std::optional<PartFileRecord> PartFileRecord::Decode(std::span<const std::uint8_t> bytes, LegacyPaths* legacy) {
  Bytes in{};
  std::copy_n(bytes.begin(), std::min(bytes.size(), in.size()), in.begin());
  if (get_text(in, kMagic, 5) != "PART") return std::nullopt;  // byte 4 must end the string
  PartFileRecord r;
  LegacyPaths converted;
  auto text = [&](std::size_t offset, std::size_t width, bool* wasLegacy = nullptr) {
    const std::string stored = get_text(in, offset, width);
    std::string utf8 = StoredTextToUtf8(stored);
    if (wasLegacy) *wasLegacy = utf8 != stored;
    return utf8;
  };
  r.tablePath = text(kTablePath, kPathWidth, &converted.tablePath);
  r.dataPath = text(kDataPath, kPathWidth, &converted.dataPath);
  r.blockModeIndex = in[kBlockModeByte];
  r.rowCount = in[kRowCountByte];
  for (int i = 0; i < r.UsableRows(); ++i) {
    const auto u = static_cast<std::size_t>(i);
    r.rows[u].imagePath = text(kImagePaths + kPathWidth * u, kPathWidth, &converted.imagePaths[u]);
    r.rows[u].startText = text(kStartTexts + kBlockTextWidth * u, kBlockTextWidth);
    r.rows[u].endText = text(kEndTexts + kBlockTextWidth * u, kBlockTextWidth);
    r.rows[u].imageBlocks = get_u32le(in, kImageBlocks + 4 * u);
  }
  if (legacy) *legacy = converted;
  return r;
}

std::string StoredBlockText(const std::string& text) {
  if (text.size() <= kMaxStoredBlockText) return text;
  const BlockTextCheck check = CheckBlockText(text);
  if (check.verdict == BlockTextVerdict::Accepted) return ShortestBlockText(check.value);
  return text.substr(0, kMaxStoredBlockText);
}

}  // namespace folvane
