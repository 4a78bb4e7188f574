#include "terminal_map.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fmt/format.h>

#include "cli.hpp"
#include "io/console.hpp"
#include "layout/palette.hpp"

namespace folvane::cli {

namespace {

// One character per kind, so the map reads without colour too; a cell shows the
// kind that matters most among the blocks it covers, so that a one-block image in a
// wide flash still shows.
// Where the terminal's character set is not UTF-8, ASCII characters of the same weights.
struct Glyph {
  const char* text;
  const char* ascii;
  int priority;
};
Glyph GlyphOf(SegmentKind kind) {
  switch (kind) {
    case SegmentKind::Image: return {"\u2588", "#", 4};    // full block
    case SegmentKind::LeftOut: return {"\u259A", "/", 3};  // diagonal quadrants: hatched
    case SegmentKind::Spare: return {"\u2592", "=", 2};    // medium shade
    case SegmentKind::Fill: return {"\u2591", ".", 1};     // light shade
  }
  return {" ", " ", 0};
}

struct Cell {
  SegmentKind kind = SegmentKind::Fill;
  int row = 0;
  int priority = 0;
};

std::string Colour(Rgb c) { return fmt::format("\x1b[38;2;{};{};{}m", c.r, c.g, c.b); }

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

// Pieces of a line that may be broken between them, each with the columns it takes
// (escapes and multi-byte characters make that differ from its bytes).
struct Piece {
  std::string text;
  std::size_t columns;
};

// The pieces joined by `gap` blanks, broken into lines of at most `width` columns
// (a piece longer than the width stands alone on its line).
std::string Wrap(const std::vector<Piece>& pieces, std::size_t width, std::size_t gap = 2) {
  std::string out;
  std::size_t used = 0;
  for (const Piece& p : pieces) {
    if (used != 0 && used + gap + p.columns > width) {
      out += '\n';
      used = 0;
    }
    if (used != 0) {
      out += std::string(gap, ' ');
      used += gap;
    }
    out += p.text;
    used += p.columns;
  }
  return out + '\n';
}

// The first multiple of 1, 2, 4, 8, 0x10, ... blocks whose labels on the scale
// stand at least `gap` columns apart.
std::uint64_t ScaleStep(std::uint64_t end, std::size_t width, std::size_t gap) {
  std::uint64_t step = 1;
  while (step < end && step * width / end < gap) step *= 2;
  return step;
}

}  // namespace

FlashLayout LayoutOf(LoadedJob& loaded, const std::optional<BadBlockSet>& badBlocks) {
  LayoutOptions options;
  options.badBlocks = badBlocks;
  // The leading run measured as the merge measured it, from the paths it read: the
  // row where it stopped says so, rather than being drawn as taken.
  options.pathText = [&](int row) { return loaded.set.Slot(row).imagePath; };
  return BuildFlashLayout(loaded.set, loaded.geometry, [&](int row) { return loaded.IsRowChecked(row); }, options);
}

TerminalMapStyle StandardOutputStyle() {
  TerminalMapStyle style;
  const TerminalOutput out = PrepareTerminalOutput();
  if (out.columns > 0) style.columns = out.columns;
  style.colour = out.escapes;
  if (const char* noColour = std::getenv("NO_COLOR"); noColour && *noColour) style.colour = false;
  // A terminal that says it shows no escapes would print them as text.
  if (const char* term = std::getenv("TERM"); term && std::strcmp(term, "dumb") == 0) style.colour = false;
  style.unicode = LocaleIsUtf8();
  return style;
}

namespace {

// The map's columns: how many, which blocks each shows, and what each shows.
class MapCanvas {
 public:
  MapCanvas(const FlashLayout& layout, const TerminalMapStyle& style)
      : layout_(layout), style_(style), columns_(static_cast<std::size_t>(std::clamp(style.columns - 1, 16, 400))),
        end_(layout.endBlock) {
    // A flash of fewer blocks than columns gives each block the same whole number of
    // characters, so that every block and every label of the scale stands where it is.
    perBlock_ = end_ < columns_ ? static_cast<std::size_t>(columns_ / end_) : 1;
    width_ = end_ < columns_ ? static_cast<std::size_t>(end_) * perBlock_ : columns_;
    cells_.resize(width_);
    for (const LayoutSegment& seg : layout.axis) Paint(seg);
    for (const LayoutSegment& seg : layout.leftOut) Paint(seg);
  }

  std::string Draw() const {
    return Bar() + BadBlockMarks() + RowLabels() + Scale() + Key() + Schemes() + BadBlockLegend();
  }

 private:
  // Cells [first, last] that blocks [from, to) fall in; never none.
  [[nodiscard]] std::pair<std::size_t, std::size_t> Span(std::uint64_t from, std::uint64_t to) const {
    const std::size_t first = static_cast<std::size_t>(from * width_ / end_);
    std::size_t last = static_cast<std::size_t>(((to * width_) + end_ - 1) / end_);
    last = std::max(last, first + 1);
    return {first, std::min(last, width_)};
  }
  void Paint(const LayoutSegment& seg) {
    const auto [first, last] = Span(seg.firstBlock, seg.EndBlock());
    const int priority = GlyphOf(seg.kind).priority;
    for (std::size_t c = first; c < last; ++c) {
      if (priority > cells_[c].priority) cells_[c] = Cell{seg.kind, seg.row, priority};
    }
  }
  [[nodiscard]] std::string GlyphText(SegmentKind kind) const {
    return style_.unicode ? GlyphOf(kind).text : GlyphOf(kind).ascii;
  }
  [[nodiscard]] std::string InColour(Rgb colour, const std::string& text) const {
    return style_.colour ? Colour(colour) + text + "\x1b[0m" : text;
  }

  // The heading and the bar of cells, each in its row's colour.
  [[nodiscard]] std::string Bar() const {
    const std::string blocks = "Flash map: blocks 0x0 to " + Hex(end_ - 1) + ",";
    const std::string scaleText = end_ <= columns_ ? (perBlock_ == 1 ? std::string("one character per block")
                                                                     : std::to_string(perBlock_) + " characters per block")
                                                   : "one character for about " + Hex((end_ + width_ - 1) / width_) + " blocks";
    std::string out = Wrap({{blocks, blocks.size()}, {scaleText, scaleText.size()}}, columns_, 1);
    Rgb current{};
    bool coloured = false;
    for (const Cell& cell : cells_) {
      if (style_.colour && (!coloured || !(ColourOf(cell) == current))) {
        current = ColourOf(cell);
        coloured = true;
        out += Colour(current);
      }
      out += GlyphText(cell.kind);
    }
    if (style_.colour) out += "\x1b[0m";
    return out + '\n';
  }

  // Under the map, an x in each cell that holds a bad block of the chip.
  [[nodiscard]] std::string BadBlockMarks() const {
    if (layout_.badBlocks.empty()) return {};
    std::string marks(width_, ' ');
    for (const std::uint64_t b : layout_.badBlocks) marks[Span(b, b + 1).first] = 'x';
    marks.erase(marks.find_last_not_of(' ') + 1);
    return InColour(kLeftOutColour, marks) + '\n';
  }

  // Row numbers where each row's range begins, if there is room, taken rows first; a
  // row that runs out of good blocks with a '!'. A row with a name is labelled
  // "2:boot" where that fits, else by its number.
  [[nodiscard]] std::string RowLabels() const {
    std::string labels(width_, ' ');
    auto label = [&](const LayoutRow& r, bool overflows) {
      const std::size_t at = Span(r.startBlock, r.startBlock + 1).first;
      const std::string number = std::to_string(r.row) + (overflows ? "!" : "");
      const std::string named = number + ":" + Printable(r.name);
      // One byte a column: a name of other characters would move the labels after it.
      const bool ascii =
          std::all_of(named.begin(), named.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
      if (!r.name.empty() && ascii && Place(labels, at, named)) return;
      Place(labels, at, number);
    };
    for (const LayoutRow& r : layout_.rows) {
      if (r.RangeValid() && r.accepted) label(r, r.Overflows());
    }
    for (const LayoutRow& r : layout_.rows) {
      if (r.RangeValid() && !r.accepted) label(r, false);
    }
    return labels.substr(0, labels.find_last_not_of(' ') + 1) + '\n';
  }

  // Block numbers in hexadecimal where their blocks begin, the end on the right,
  // labels far enough apart to read.
  [[nodiscard]] std::string Scale() const {
    std::string scale(width_, ' ');
    const std::string last = Hex(end_);
    Place(scale, 0, "0x0");
    const std::uint64_t step = ScaleStep(end_, width_, 16);
    for (std::uint64_t b = step; b < end_; b += step) {
      const std::string text = Hex(b);
      const std::size_t at = static_cast<std::size_t>(b * width_ / end_);
      if (at + text.size() + 1 < width_ - last.size()) Place(scale, at, text);
    }
    if (last.size() <= width_) scale.replace(width_ - last.size(), last.size(), last);
    return scale + '\n';
  }

  [[nodiscard]] std::string Key() const {
    auto key = [&](SegmentKind kind, Rgb colour, const char* name) {
      return Piece{InColour(colour, GlyphText(kind)) + " " + name, 2 + std::strlen(name)};
    };
    return Wrap({key(SegmentKind::Image, RowColour(1), "image"), key(SegmentKind::Spare, SpareColour(1), "spare"),
                 key(SegmentKind::Fill, kFillColour, "0xFF fill"), key(SegmentKind::LeftOut, kLeftOutColour, "left out"),
                 {"(numbers: rows)", 15}},
                columns_);
  }

  // The rows of page data and the scheme each is laid out with.
  [[nodiscard]] std::string Schemes() const {
    std::vector<Piece> schemes;
    for (const LayoutRow& r : layout_.rows) {
      if (r.ecc.empty()) continue;
      const std::string text = "row " + std::to_string(r.row) + " " + Printable(r.ecc) + ";";
      schemes.push_back({text, text.size()});
    }
    if (schemes.empty()) return {};
    schemes.insert(schemes.begin(), Piece{"ECC on page data:", 17});
    schemes.back().text.pop_back();
    schemes.back().columns -= 1;
    return Wrap(schemes, columns_, 1);
  }

  // What the bad-block marks mean, and the rows that run out of good blocks; broken
  // between words where the terminal is narrow.
  [[nodiscard]] std::string BadBlockLegend() const {
    if (!layout_.badBlocksKnown) return {};
    std::string overflowing;
    for (const LayoutRow& r : layout_.rows) {
      if (r.Overflows()) overflowing += (overflowing.empty() ? "" : ", ") + std::to_string(r.row);
    }
    std::vector<Piece> words = {{InColour(kLeftOutColour, "x"), 1}};
    const std::string text =
        "bad block (" + std::to_string(layout_.badBlocks.size()) + " in the map); images run over the bad blocks " +
        "they skip; " +
        (overflowing.empty() ? std::string("every taken row fits on good blocks")
                             : "RUNS OUT OF GOOD BLOCKS (!): row" +
                                   std::string(overflowing.find(',') == std::string::npos ? " " : "s ") + overflowing);
    for (std::size_t at = 0; at < text.size();) {
      const std::size_t space = std::min(text.find(' ', at), text.size());
      words.push_back({text.substr(at, space - at), space - at});
      at = space + 1;
    }
    return Wrap(words, columns_, 1);
  }

  const FlashLayout& layout_;
  const TerminalMapStyle& style_;
  const std::size_t columns_;
  const std::uint64_t end_;
  std::size_t perBlock_ = 1;
  std::size_t width_ = 0;
  std::vector<Cell> cells_;
};

}  // namespace

std::string DrawTerminalMap(const FlashLayout& layout, const TerminalMapStyle& style) {
  if (layout.endBlock == 0) return "Flash map: no ticked row has a range.\n";
  return MapCanvas(layout, style).Draw();
}

}  // namespace folvane::cli
