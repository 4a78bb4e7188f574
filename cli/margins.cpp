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

}  // namespace

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
  BadBlockFile file = ReadBadBlockFile(path, chipBlocks);
  LoadedBadBlocks loaded;
  if (file.error) {
    loaded.status = kExitFailed;
    loaded.problem = FileErrorText(*file.error);
  } else if (!file.set) {
    loaded.status = kExitUsage;
    loaded.problem = Printable(path) + (file.line == 0 ? " " : ", line " + std::to_string(file.line) + ": ") + file.problem;
  }
  loaded.set = std::move(file.set);
  return loaded;
}

bool RiskExceeded(const Margins& m, const MarginOptions& options) {
  if (!options.maxRisk || !m.job) return false;
  // Decided on the chance as the document carries it, a double, so that its own
  // figure given back as --max-risk is not above itself. A chance too small for a
  // double (1e-400) is still above a risk of 0; the document's base-10 logarithm
  // shows it.
  const double carried = static_cast<double>(*m.job);
  return carried > *options.maxRisk || (carried == 0 && *m.job > 0 && *options.maxRisk == 0);
}

MarginsOrStatus ComputeMargins(const MergeResult& result, const MarginOptions& options) {
  MarginsOrStatus out;
  const std::vector<TakenRange> taken = result.plan.TakenRanges();
  ChipModel chip{std::nullopt, options.maxBad, options.chipBlocks};
  // A range past the chip's end is the problem to name before the list's lines. The
  // odds are left out of this first look: they are worked out once, below.
  if (MarginOutcome sized = folvane::ComputeMargins(taken, {std::nullopt, std::nullopt, options.chipBlocks});
      !sized.margins) {
    out.status = kExitUsage;
    out.problem = sized.problem;
    return out;
  }
  if (options.badBlocksPath) {
    LoadedBadBlocks bad = LoadBadBlocks(*options.badBlocksPath, options.chipBlocks);
    if (!bad.set) {
      out.status = bad.status;
      out.problem = bad.problem;
      return out;
    }
    chip.badBlocks = std::move(bad.set);
  }
  out.margins = folvane::ComputeMargins(taken, chip).margins;
  return out;
}

void PrintMargins(const Margins& m, const MarginOptions& options) {
  for (const std::string& line : MarginLines(m)) std::printf("%s\n", line.c_str());
  if (RiskExceeded(m, options)) std::printf("  That is more than --max-risk %g.\n", *options.maxRisk);
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
                    {"riskExceeded", RiskExceeded(m, options)}};
  doc["jobOverflowProbability"] = m.job ? nlohmann::json(static_cast<double>(*m.job)) : nlohmann::json();
  doc["jobOverflowLog10"] = m.job ? Log10Json(*m.job) : nlohmann::json();
}

}  // namespace folvane::cli
