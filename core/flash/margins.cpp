#include "flash/margins.hpp"

#include <cmath>

#include <fmt/format.h>

#include "job/block_text.hpp"

namespace folvane {

namespace {

// A bad-blocks list names at most every block of the largest chip; anything far
// larger is not one.
constexpr std::uint64_t kMaxListBytes = std::uint64_t{64} << 20;

// 81000 as "81,000".
std::string Grouped(std::uint64_t v) {
  std::string digits = std::to_string(v), out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string RunText(const PlacementRun& r) {
  if (r.count == 1) return "image " + Hex(r.imageBlock) + " at " + Hex(r.physicalBlock);
  return "image " + Hex(r.imageBlock) + ".." + Hex(r.imageBlock + r.count - 1) + " at " + Hex(r.physicalBlock) + ".." +
         Hex(std::uint64_t{r.physicalBlock} + r.count - 1);
}

// The lines under a row's own: where its image lies on the listed chip, and its
// chance of running out on a chip with the counted bad blocks.
void PlacementLines(const RowMargin& r, std::vector<std::string>& lines) {
  const RangePlacement& p = *r.placement;
  constexpr std::size_t kShownRuns = 8;
  std::string runs;
  for (std::size_t i = 0; i < p.runs.size() && i < kShownRuns; ++i) runs += (i ? ", " : "") + RunText(p.runs[i]);
  if (p.runs.size() > kShownRuns) runs += ", ... (" + std::to_string(p.runs.size()) + " runs; --json lists every block)";
  lines.push_back("         " + std::to_string(p.badBlocks) + " bad in the range; " +
                  (runs.empty() ? std::string("no image block placed") : runs));
  if (p.Overflows()) {
    lines.push_back("         runs out of good blocks: " + std::to_string(p.goodBlocks) + " good for " +
                    std::to_string(r.range.imageBlocks) + " image blocks; image blocks from " + Hex(p.goodBlocks) +
                    " find no block");
  } else {
    lines.push_back("         fits, " + std::to_string(p.SpareGoodBlocks()) + " good blocks to spare");
  }
}

}  // namespace

std::string OneIn(long double p) {
  if (p <= 0) return "no chip";
  if (p >= 1) return "every chip";
  // Above one chip in two, "1 in K" would round to "1 in 1": a chance of 0.68 read as
  // every chip. Tenths say it, up to where the rest is a rounding.
  if (p >= 0.95L) return "nearly every chip";
  if (p > 0.5L) return "about " + std::to_string(std::lround(static_cast<double>(p) * 10)) + " in 10 chips";
  const long double k = 1 / p;
  if (k < 100) return "about 1 in " + std::to_string(static_cast<long long>(std::llround(static_cast<double>(k)))) + " chips";
  if (k >= 1e15L) return fmt::format("about 1 in {:.1e} chips", k);
  // Two significant digits: the figure is a rate, not a count.
  const auto digits = static_cast<int>(std::floor(std::log10(static_cast<double>(k))));
  const double unit = std::pow(10.0, digits - 1);
  const auto rounded = static_cast<std::uint64_t>(std::round(static_cast<double>(k) / unit) * unit);
  return "about 1 in " + Grouped(rounded) + " chips";
}

std::string ChanceText(long double p) { return fmt::format("{:.3g}", p); }

BadBlockFile ReadBadBlockFile(const std::string& path, std::optional<std::uint64_t> chipBlocks) {
  BadBlockFile loaded;
  auto file = File::OpenRead(path);
  std::string text;
  if (!file) {
    loaded.error = file.error();
  } else if (file->OpenedSize() > kMaxListBytes) {
    loaded.problem = "is too large for a bad-blocks list";
    return loaded;
  } else {
    std::vector<std::uint8_t> piece(std::size_t{1} << 16);
    for (std::uint64_t at = 0; text.size() <= kMaxListBytes;) {
      auto got = file->ReadAt(at, piece);
      if (!got) {
        loaded.error = got.error();
        break;
      }
      if (*got == 0) break;
      text.append(reinterpret_cast<const char*>(piece.data()), *got);
      at += *got;
    }
  }
  if (loaded.error) {
    loaded.error->path = path;
    return loaded;
  }
  BadBlockList list = ParseBadBlockList(text, chipBlocks);
  if (!list.set) {
    loaded.line = list.line;
    loaded.problem = std::move(list.problem);
    return loaded;
  }
  loaded.set = std::move(list.set);
  return loaded;
}

bool Margins::AnyOverflow() const {
  for (const RowMargin& r : rows) {
    if (r.placement && r.placement->Overflows()) return true;
  }
  return false;
}

MarginOutcome ComputeMargins(const std::vector<TakenRange>& taken, const ChipModel& chip) {
  MarginOutcome out;
  Margins m;
  m.badBlocks = chip.badBlocks;
  m.maxBad = chip.maxBad;
  m.chipBlocks = chip.chipBlocks;
  std::vector<BlockRange> ranges;
  for (const TakenRange& t : taken) {
    if (chip.chipBlocks && t.range.last >= *chip.chipBlocks) {
      out.problem = "--chip-blocks " + Hex(*chip.chipBlocks) + " is too small: row " + std::to_string(t.row) +
                    "'s range ends at block " + Hex(t.range.last);
      return out;
    }
    ranges.push_back(t.range);
    RowMargin r{t.row, t.range, std::nullopt, std::nullopt};
    if (chip.badBlocks) r.placement = PlaceRange(t.range, *chip.badBlocks);
    m.rows.push_back(std::move(r));
  }
  m.overlap = RangesOverlap(ranges);
  if (chip.maxBad && chip.chipBlocks) {
    const OverflowOdds odds = OverflowProbabilities(ranges, *chip.chipBlocks, *chip.maxBad);
    for (std::size_t i = 0; i < m.rows.size(); ++i) m.rows[i].overflow = odds.rows[i];
    m.job = odds.job;
  }
  out.margins = std::move(m);
  return out;
}

std::vector<std::string> MarginLines(const Margins& m) {
  std::vector<std::string> lines{"Margins:"};
  if (m.rows.empty()) lines.push_back("  no row is taken");
  for (const RowMargin& r : m.rows) {
    lines.push_back(fmt::format("  FILE{:<2} blocks ", r.row) + Hex(r.range.first) + " to " + Hex(r.range.last) + ": " +
                    HexDec(r.range.Blocks()) + " blocks, image " + HexDec(r.range.imageBlocks) + ", spare " +
                    HexDec(r.range.SpareBlocks()));
    if (r.placement) PlacementLines(r, lines);
    if (r.overflow) {
      lines.push_back("         overflows with " + std::to_string(*m.maxBad) + " bad blocks: " + ChanceText(*r.overflow) +
                      ", " + OneIn(*r.overflow));
    }
  }
  if (!m.maxBad) return lines;
  if (m.job) {
    lines.push_back("  Any row overflows on a chip of " + Hex(*m.chipBlocks) + " blocks with " +
                    std::to_string(*m.maxBad) + " bad: " + ChanceText(*m.job) + ", " + OneIn(*m.job));
  } else {
    lines.push_back("  No figure for the whole job: accepted ranges overlap (a row left out let the next one start inside");
    lines.push_back("  the range above), so one bad block can count against two rows.");
  }
  return lines;
}

}  // namespace folvane
