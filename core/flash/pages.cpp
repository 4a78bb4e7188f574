#include "flash/pages.hpp"

#include <array>

#include "job/block_mode.hpp"

namespace folvane {

PageLayout PageLayoutOf(int blockModeIndex) {
  const auto i = static_cast<unsigned>(blockModeIndex);
  const BlockMode& m = kBlockModes[i < kBlockModeCount ? i : kDefaultBlockModeIndex];
  return PageLayout{m.dataBytes, m.SpareBytes(), m.pagesPerBlock};
}

std::optional<unsigned> ParseMarkerPages(std::string_view text, std::string* bad) {
  unsigned pages = 0;
  for (std::size_t at = 0; at <= text.size();) {
    std::size_t end = text.find(',', at);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view word = text.substr(at, end - at);
    if (word == "first") pages |= kMarkFirst;
    else if (word == "second") pages |= kMarkSecond;
    else if (word == "last") pages |= kMarkLast;
    else {
      if (bad) *bad = std::string(word);
      return std::nullopt;
    }
    at = end + 1;
  }
  return pages;
}

std::string MarkerPagesText(unsigned pages) {
  std::string text;
  for (const auto& [bit, name] : {std::pair{kMarkFirst, "first"}, {kMarkSecond, "second"}, {kMarkLast, "last"}}) {
    if (!(pages & bit)) continue;
    if (!text.empty()) text += ',';
    text += name;
  }
  return text;
}

std::optional<BlockMark> FindMark(std::span<const std::uint8_t> block, const PageLayout& layout, unsigned pages) {
  const std::uint32_t pageBytes = layout.PageBytes();
  const std::uint32_t chosen[] = {(pages & kMarkFirst) ? 0u : UINT32_MAX,
                                  (pages & kMarkSecond) && layout.pagesPerBlock > 1 ? 1u : UINT32_MAX,
                                  (pages & kMarkLast) ? layout.pagesPerBlock - 1 : UINT32_MAX};
  std::optional<BlockMark> found;
  for (const std::uint32_t page : chosen) {
    if (page == UINT32_MAX || (found && found->page <= page)) continue;
    for (const std::uint32_t at : {layout.dataBytes, layout.dataBytes == 512 ? layout.dataBytes + 5 : UINT32_MAX}) {
      if (at == UINT32_MAX) continue;
      const std::size_t offset = std::size_t{page} * pageBytes + at;
      if (offset < block.size() && block[offset] != 0xFF) {
        found = BlockMark{page, static_cast<std::uint32_t>(offset)};
        break;
      }
    }
  }
  return found;
}

}  // namespace folvane
