#include "terminal_map.hpp"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "cli.hpp"
#include "layout/palette.hpp"

namespace folvane::cli {

namespace {

// One character per kind, so the map reads without colour too; a cell shows the
// kind that matters most among the blocks it covers, so that a one-block image in a
// wide flash still shows.
struct Glyph {
  const char* text;
  int priority;
};
Glyph GlyphOf(SegmentKind kind) {
  switch (kind) {
    case SegmentKind::Image: return {"\u2588", 4};    // full block
    case SegmentKind::LeftOut: return {"\u259A", 3};  // diagonal quadrants: hatched
    case SegmentKind::Spare: return {"\u2592", 2};    // medium shade
    case SegmentKind::Fill: return {"\u2591", 1};     // light shade
  }
  return {" ", 0};
}

struct Cell {
  SegmentKind kind = SegmentKind::Fill;
  int row = 0;
  int priority = 0;
};

std::string Colour(Rgb c) {
  char b[32];
  std::snprintf(b, sizeof b, "\x1b[38;2;%d;%d;%dm", c.r, c.g, c.b);
  return b;
}

Rgb ColourOf(const Cell& cell) {
  switch (cell.kind) {
    case SegmentKind::Image: return RowColour(cell.row);
    case SegmentKind::Spare: return SpareColour(cell.row);
    case SegmentKind::LeftOut: return kLeftOutColour;
    case SegmentKind::Fill: return kFillColour;
  }
  return kFillColour;
}

// Writes `text` into `line` at `at` if it fits there with a space before the next text.
bool Place(std::string& line, std::size_t at, const std::string& text) {
  if (at + text.size() > line.size()) return false;
  for (std::size_t i = at; i < at + text.size() + 1 && i < line.size(); ++i) {
    if (line[i] != ' ') return false;
  }
  if (at > 0 && line[at - 1] != ' ') return false;
  line.replace(at, text.size(), text);
  return true;
}

}  // namespace

FlashLayout FormLayout(MemoryForm& form, const std::optional<BadBlockSet>& badBlocks) {
  LayoutOptions options;
  options.badBlocks = badBlocks;
  return BuildFlashLayout(form.set, form.geometry.blockSize, [&](int row) { return form.IsRowChecked(row); }, options);
}

TerminalMapStyle StandardOutputStyle() {
  TerminalMapStyle style;
#ifdef _WIN32
  const bool tty = ::_isatty(::_fileno(stdout)) != 0;
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (tty && ::GetConsoleScreenBufferInfo(::GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
    style.columns = info.srWindow.Right - info.srWindow.Left + 1;
  }
  // The console shows escape sequences only once asked to.
  DWORD mode = 0;
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  const bool vt = tty && ::GetConsoleMode(out, &mode) &&
                  ::SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  style.colour = vt;
#else
  const bool tty = ::isatty(STDOUT_FILENO) == 1;
  winsize size{};
  if (tty && ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) style.columns = size.ws_col;
  style.colour = tty;
#endif
  if (const char* noColour = std::getenv("NO_COLOR"); noColour && *noColour) style.colour = false;
  return style;
}

std::string DrawTerminalMap(const FlashLayout& layout, const TerminalMapStyle& style) {
  if (layout.endBlock == 0) return "Flash map: no ticked row has a range.\n";
  const std::size_t width = static_cast<std::size_t>(std::clamp(style.columns - 1, 16, 400));
  const std::uint64_t end = layout.endBlock;
  std::vector<Cell> cells(width);
  // Cells [first, last] that blocks [from, to) fall in; never none.
  auto span = [&](std::uint64_t from, std::uint64_t to) {
    const std::size_t first = static_cast<std::size_t>(from * width / end);
    std::size_t last = static_cast<std::size_t>(((to * width) + end - 1) / end);
    last = std::max(last, first + 1);
    return std::pair{first, std::min(last, width)};
  };
  auto paint = [&](const LayoutSegment& s) {
    const auto [first, last] = span(s.firstBlock, s.EndBlock());
    const int priority = GlyphOf(s.kind).priority;
    for (std::size_t c = first; c < last; ++c) {
      if (priority > cells[c].priority) cells[c] = Cell{s.kind, s.row, priority};
    }
  };
  for (const LayoutSegment& s : layout.axis) paint(s);
  for (const LayoutSegment& s : layout.leftOut) paint(s);

  std::string out;
  char head[160];
  std::snprintf(head, sizeof head, "Flash map: blocks 0x0 to 0x%llX, one character for about 0x%llX blocks\n",
                static_cast<unsigned long long>(end - 1),
                static_cast<unsigned long long>(std::max<std::uint64_t>(1, (end + width - 1) / width)));
  out += head;
  Rgb current{};
  bool coloured = false;
  for (const Cell& cell : cells) {
    if (style.colour && (!coloured || !(ColourOf(cell) == current))) {
      current = ColourOf(cell);
      coloured = true;
      out += Colour(current);
    }
    out += GlyphOf(cell.kind).text;
  }
  if (style.colour) out += "\x1b[0m";
  out += '\n';

  // Under the map, an x in each cell that holds a bad block of the chip.
  if (!layout.badBlocks.empty()) {
    std::string marks(width, ' ');
    for (const std::uint64_t b : layout.badBlocks) marks[span(b, b + 1).first] = 'x';
    marks.erase(marks.find_last_not_of(' ') + 1);
    out += style.colour ? Colour(kLeftOutColour) + marks + "\x1b[0m\n" : marks + '\n';
  }

  // Row numbers where each row's range begins, if there is room; a row that runs out
  // of good blocks with a '!'.
  std::string labels(width, ' ');
  auto label = [&](int row, std::uint64_t first, bool overflows) {
    Place(labels, span(first, first + 1).first, std::to_string(row) + (overflows ? "!" : ""));
  };
  for (const LayoutRow& r : layout.rows) {
    if (r.RangeValid() && r.accepted) label(r.row, r.startBlock, r.Overflows());
  }
  for (const LayoutRow& r : layout.rows) {
    if (r.RangeValid() && !r.accepted) label(r.row, r.startBlock, false);
  }
  out += labels.substr(0, labels.find_last_not_of(' ') + 1) + '\n';

  // The scale: block numbers in hexadecimal, the end on the right, ticks between.
  std::string scale(width, ' ');
  const std::string last = Hex(end);
  Place(scale, 0, "0x0");
  scale.replace(width - last.size(), last.size(), last);
  for (std::size_t c = 16; c + 16 < width; c += 16) Place(scale, c, Hex(c * end / width));
  out += scale + '\n';

  auto key = [&](SegmentKind kind, Rgb colour, const char* name) {
    std::string k = style.colour ? Colour(colour) + GlyphOf(kind).text + "\x1b[0m" : GlyphOf(kind).text;
    return k + " " + name;
  };
  out += key(SegmentKind::Image, RowColour(1), "image") + "  " + key(SegmentKind::Spare, SpareColour(1), "spare") +
         "  " + key(SegmentKind::Fill, kFillColour, "0xFF fill") + "  " +
         key(SegmentKind::LeftOut, kLeftOutColour, "left out") + "  (numbers: rows)\n";
  if (layout.badBlocksKnown) {
    std::string overflowing;
    for (const LayoutRow& r : layout.rows) {
      if (r.Overflows()) overflowing += (overflowing.empty() ? "" : ", ") + std::to_string(r.row);
    }
    out += (style.colour ? Colour(kLeftOutColour) + "x\x1b[0m" : std::string("x")) + " bad block (" +
           std::to_string(layout.badBlocks.size()) + " in the map); images run over the bad blocks they skip; " +
           (overflowing.empty() ? std::string("every taken row fits on good blocks")
                                : "RUNS OUT OF GOOD BLOCKS (!): row" + std::string(overflowing.find(',') == std::string::npos ? " " : "s ") + overflowing) +
           "\n";
  }
  return out;
}

}  // namespace folvane::cli
