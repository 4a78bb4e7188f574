#include "margins.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "io/file_io.hpp"

namespace folvane::cli {

namespace {

// Chips number their blocks in 32 bits; the chance is worked out over every count
// of bad blocks up to --max-bad, which datasheets keep to a few per cent of the chip.
constexpr std::uint64_t kMaxChipBlocks = std::uint64_t{1} << 32;
constexpr std::uint64_t kMaxBadBlocks = 0x100000;
// A bad-blocks list names at most every block of the largest chip; anything far
// larger is not one.
constexpr std::uint64_t kMaxListBytes = std::uint64_t{64} << 20;

std::string Probability(long double p) {
  char b[32];
  std::snprintf(b, sizeof b, "%.3Lg", p);
  return b;
}

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
  if (k >= 1e15L) {
    char b[32];
    std::snprintf(b, sizeof b, "%.1Le", k);
    return std::string("about 1 in ") + b + " chips";
  }
  // Two significant digits: the figure is a rate, not a count.
  const auto digits = static_cast<int>(std::floor(std::log10(static_cast<double>(k))));
  const double unit = std::pow(10.0, digits - 1);
  const auto rounded = static_cast<std::uint64_t>(std::round(static_cast<double>(k) / unit) * unit);
  return "about 1 in " + Grouped(rounded) + " chips";
}

std::optional<MarginOptions> ReadMarginOptions(const Args& args, std::string& problem) {
  MarginOptions o;
  o.badBlocksPath = args.Option("bad-blocks");
  auto count = [&](const char* name, std::uint64_t max, std::optional<std::uint64_t>& out) {
    const auto text = args.Option(name);
    if (!text) return true;
    out = ParseCount(*text, max);
    if (!out) problem = "--" + std::string(name) + " takes a number up to " + HexDec(max) + " (decimal, or hexadecimal with 0x), not '" + Printable(*text) + "'";
    return out.has_value();
  };
  if (!count("max-bad", kMaxBadBlocks, o.maxBad) || !count("chip-blocks", kMaxChipBlocks, o.chipBlocks)) return std::nullopt;
  if (o.chipBlocks && *o.chipBlocks == 0) {
    problem = "--chip-blocks cannot be 0";
    return std::nullopt;
  }
  if (const auto risk = args.Option("max-risk")) {
    char* end = nullptr;
    const double p = std::strtod(risk->c_str(), &end);
    if (risk->empty() || *end != '\0' || !(p >= 0 && p <= 1)) {
      problem = "--max-risk takes a probability from 0 to 1 (0.001, 1e-6), not '" + Printable(*risk) + "'";
      return std::nullopt;
    }
    o.maxRisk = p;
  }
  if (o.maxBad && !o.chipBlocks) {
    problem = "--max-bad needs --chip-blocks";
    return std::nullopt;
  }
  if (o.maxRisk && !o.maxBad) {
    problem = "--max-risk needs --max-bad and --chip-blocks";
    return std::nullopt;
  }
  if (o.maxBad && *o.maxBad >= *o.chipBlocks) {
    problem = "--max-bad " + Hex(*o.maxBad) + " is not below --chip-blocks " + Hex(*o.chipBlocks) +
              ": block 0 is always good";
    return std::nullopt;
  }
  return o;
}

LoadedBadBlocks LoadBadBlocks(const std::string& path, std::optional<std::uint64_t> chipBlocks) {
  LoadedBadBlocks loaded;
  auto file = File::OpenRead(path);
  std::string text;
  std::optional<FileError> error;
  if (!file) {
    error = file.error();
  } else if (file->OpenedSize() > kMaxListBytes) {
    loaded.status = kExitUsage;
    loaded.problem = Printable(path) + " is too large for a bad-blocks list";
    return loaded;
  } else {
    std::vector<std::uint8_t> piece(std::size_t{1} << 16);
    for (std::uint64_t at = 0; text.size() <= kMaxListBytes;) {
      auto got = file->ReadAt(at, piece);
      if (!got) {
        error = got.error();
        break;
      }
      if (*got == 0) break;
      text.append(reinterpret_cast<const char*>(piece.data()), *got);
      at += *got;
    }
  }
  if (error) {
    loaded.status = kExitFailed;
    FileError named = *error;
    named.path = path;
    loaded.problem = FileErrorText(named);
    return loaded;
  }
  const BadBlockList list = ParseBadBlockList(text, chipBlocks);
  if (!list.set) {
    loaded.status = kExitUsage;
    loaded.problem = Printable(path) + ", line " + std::to_string(list.line) + ": " + list.problem;
    return loaded;
  }
  loaded.set = *list.set;
  return loaded;
}

bool Margins::AnyOverflow() const {
  for (const RowMargin& r : rows) {
    if (r.placement && r.placement->Overflows()) return true;
  }
  return false;
}

bool Margins::RiskExceeded(const MarginOptions& options) const {
  if (!options.maxRisk || !job) return false;
  // Decided on the chance as the document carries it, a double, so that its own
  // figure given back as --max-risk is not above itself. A chance too small for a
  // double (1e-400) is still above a risk of 0; the document's base-10 logarithm
  // shows it.
  const double carried = static_cast<double>(*job);
  return carried > *options.maxRisk || (carried == 0 && *job > 0 && *options.maxRisk == 0);
}

MarginOutcome ComputeMargins(const PartitionSet& set, const MergeResult& result, const MarginOptions& options) {
  MarginOutcome out;
  Margins m;
  std::vector<BlockRange> ranges;
  for (int row = 1; row <= kRowCount; ++row) {
    if (!result.rows[static_cast<std::size_t>(row - 1)].accepted) continue;
    const PartitionSlot& slot = set.Slot(row);
    const BlockRange range{slot.startBlock, slot.endBlock, slot.imageBlocks};
    if (options.chipBlocks && range.last >= *options.chipBlocks) {
      out.status = kExitUsage;
      out.problem = "--chip-blocks " + Hex(*options.chipBlocks) + " is too small: row " + std::to_string(row) +
                    "'s range ends at block " + Hex(range.last);
      return out;
    }
    ranges.push_back(range);
    m.rows.push_back({row, range, std::nullopt, std::nullopt});
  }
  m.overlap = RangesOverlap(ranges);
  if (options.badBlocksPath) {
    const LoadedBadBlocks bad = LoadBadBlocks(*options.badBlocksPath, options.chipBlocks);
    if (!bad.set) {
      out.status = bad.status;
      out.problem = bad.problem;
      return out;
    }
    for (RowMargin& r : m.rows) r.placement = PlaceRange(r.range, *bad.set);
    m.badBlocks = bad.set;
  }
  if (options.maxBad) {
    const OverflowOdds odds = OverflowProbabilities(ranges, *options.chipBlocks, *options.maxBad);
    for (std::size_t i = 0; i < m.rows.size(); ++i) m.rows[i].overflow = odds.rows[i];
    m.job = odds.job;
  }
  out.margins = std::move(m);
  return out;
}

void PrintMargins(const Margins& m, const MarginOptions& options) {
  std::printf("Margins:\n");
  if (m.rows.empty()) std::printf("  no row is taken\n");
  for (const RowMargin& r : m.rows) {
    std::printf("  FILE%-2d blocks %s to %s: %s blocks, image %s, spare %s\n", r.row, Hex(r.range.first).c_str(),
                Hex(r.range.last).c_str(), HexDec(r.range.Blocks()).c_str(), HexDec(r.range.imageBlocks).c_str(),
                HexDec(r.range.SpareBlocks()).c_str());
    if (r.placement) {
      const RangePlacement& p = *r.placement;
      constexpr std::size_t kShownRuns = 8;
      std::string runs;
      for (std::size_t i = 0; i < p.runs.size() && i < kShownRuns; ++i) runs += (i ? ", " : "") + RunText(p.runs[i]);
      if (p.runs.size() > kShownRuns) runs += ", ... (" + std::to_string(p.runs.size()) + " runs; --json lists every block)";
      std::printf("         %s bad in the range; %s\n", std::to_string(p.badBlocks).c_str(),
                  runs.empty() ? "no image block placed" : runs.c_str());
      if (p.Overflows()) {
        std::printf("         runs out of good blocks: %s good for %s image blocks; image blocks from %s find no block\n",
                    std::to_string(p.goodBlocks).c_str(), std::to_string(r.range.imageBlocks).c_str(),
                    Hex(p.goodBlocks).c_str());
      } else {
        std::printf("         fits, %s good blocks to spare\n", std::to_string(p.SpareGoodBlocks()).c_str());
      }
    }
    if (r.overflow) {
      std::printf("         overflows with %s bad blocks: %s, %s\n", std::to_string(*options.maxBad).c_str(),
                  Probability(*r.overflow).c_str(), OneIn(*r.overflow).c_str());
    }
  }
  if (options.maxBad) {
    if (m.job) {
      std::printf("  Any row overflows on a chip of %s blocks with %s bad: %s, %s\n", Hex(*options.chipBlocks).c_str(),
                  std::to_string(*options.maxBad).c_str(), Probability(*m.job).c_str(), OneIn(*m.job).c_str());
    } else {
      std::printf("  No figure for the whole job: accepted ranges overlap (a row left out let the next one start inside\n"
                  "  the range above), so one bad block can count against two rows.\n");
    }
    if (m.RiskExceeded(options)) {
      std::printf("  That is more than --max-risk %g.\n", *options.maxRisk);
    }
  }
}

namespace {

// The chance's base-10 logarithm: it tells the chances a double cannot hold (1e-400,
// carried as 0.0) from none at all (null).
nlohmann::json Log10Json(long double p) {
  return p > 0 ? nlohmann::json(static_cast<double>(std::log10(p))) : nlohmann::json();
}

}  // namespace

void AddMarginsJson(nlohmann::json& doc, const Margins& m, const MarginOptions& options) {
  for (nlohmann::json& row : doc["rows"]) {
    row["overflowProbability"] = nullptr;
    row["overflowLog10"] = nullptr;
    row["placement"] = nullptr;
    for (const RowMargin& r : m.rows) {
      if (row["row"] != r.row) continue;
      if (r.overflow) {
        row["overflowProbability"] = static_cast<double>(*r.overflow);
        row["overflowLog10"] = Log10Json(*r.overflow);
      }
      if (!r.placement) continue;
      const RangePlacement& p = *r.placement;
      nlohmann::json runs = nlohmann::json::array(), blocks = nlohmann::json::array();
      for (const PlacementRun& run : p.runs) {
        runs.push_back({{"imageBlock", run.imageBlock}, {"physicalBlock", run.physicalBlock}, {"count", run.count}});
        for (std::uint32_t i = 0; i < run.count; ++i) blocks.push_back(run.physicalBlock + i);
      }
      row["placement"] = {{"badBlocks", p.badBlocks}, {"goodBlocks", p.goodBlocks},   {"overflows", p.Overflows()},
                          {"missingBlocks", p.MissingBlocks()}, {"runs", runs}, {"physicalBlocks", blocks}};
    }
  }
  doc["margins"] = {{"badBlocksPath", options.badBlocksPath ? nlohmann::json(*options.badBlocksPath) : nlohmann::json()},
                    {"chipBlocks", options.chipBlocks ? nlohmann::json(*options.chipBlocks) : nlohmann::json()},
                    {"maxBad", options.maxBad ? nlohmann::json(*options.maxBad) : nlohmann::json()},
                    {"maxRisk", options.maxRisk ? nlohmann::json(*options.maxRisk) : nlohmann::json()},
                    {"overlap", m.overlap},
                    {"overflows", m.AnyOverflow()},
                    {"riskExceeded", m.RiskExceeded(options)}};
  doc["jobOverflowProbability"] = m.job ? nlohmann::json(static_cast<double>(*m.job)) : nlohmann::json();
  doc["jobOverflowLog10"] = m.job ? Log10Json(*m.job) : nlohmann::json();
}

}  // namespace folvane::cli
