#pragma once
// The flash map on a terminal: one line of block characters scaled to the terminal's
// width, the row numbers under it, a hexadecimal block scale and a legend.

#include <optional>
#include <string>

#include "merge/loaded_job.hpp"
#include "layout/flash_layout.hpp"

namespace folvane::cli {

/// The layout of the loaded job after a merge or check, its leading run measured
/// again from the paths that read (a row it stopped at is marked so); with a chip's bad blocks,
/// each taken row as the programmer places it on that chip.
FlashLayout LayoutOf(LoadedJob& loaded, const std::optional<BadBlockSet>& badBlocks = std::nullopt);

struct TerminalMapStyle {
  int columns = 80;     ///< the whole line, map and margins
  bool colour = false;  ///< ANSI colours
  bool unicode = true;  ///< block characters; ASCII where the terminal's character set is not UTF-8
};

/// Standard output's width and whether to colour it: colours only on a terminal that
/// shows them (not TERM=dumb) and never when NO_COLOR is set; 80 columns where the
/// width cannot be learned; block characters only where the locale's character set
/// is UTF-8.
TerminalMapStyle StandardOutputStyle();

/// The map's lines, each ending in a newline; one line saying so when nothing has a
/// range. With a chip's bad blocks, a line under the map marks where they fall, and
/// each row that runs out of good blocks is labelled with a '!'.
std::string DrawTerminalMap(const FlashLayout& layout, const TerminalMapStyle& style);

}  // namespace folvane::cli
