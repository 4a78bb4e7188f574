#include "image_lint.hpp"

#include <cstdio>

#include <fmt/format.h>

namespace folvane::cli {

namespace {

// Warnings on the console per row; the document lists every marked block.
constexpr std::size_t kWarnedMarks = 8;
// Runs of 0xFF blocks shown per row in the text.
constexpr std::size_t kShownRuns = 8;

std::string Sum32(std::uint32_t sum) { return fmt::format("0x{:08X}", sum); }

// "image block 0x1, page 0x3, step 2: byte 0x12345 of the image"
std::string DifferenceText(const LintEccDifference& d) {
  return "image block " + Hex(d.imageBlock) + ", page " + Hex(d.page) + ", step " + std::to_string(d.step) +
         ": byte " + Hex(d.imageOffset) + " of the image";
}

// "1 step", "2 steps".
std::string Count(std::uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string RunText(const BlockRun& r) {
  return r.count == 1 ? Hex(r.first) : Hex(r.first) + ".." + Hex(std::uint64_t{r.first} + r.count - 1);
}

}  // namespace

std::optional<unsigned> ReadMarkerPages(const Args& args, std::string& problem) {
  const auto text = args.Option("marker-pages");
  if (!text) return kMarkAll;
  std::string bad;
  const auto pages = ParseMarkerPages(*text, &bad);
  if (!pages) problem = "--marker-pages takes first, second and last, not '" + Printable(bad) + "'";
  return pages;
}

Expected<LintReport> LintJobImages(const PartitionSet& set, const MergeResult& result, int blockModeSelection,
                                   unsigned markerPages, const RowCodecs& codecs) {
  LintJob job;
  job.layout = PageLayoutOf(blockModeSelection);
  job.markerPages = markerPages;
  for (const auto& [row, range] : result.plan.TakenRanges()) {
    const auto i = static_cast<std::size_t>(row - 1);
    job.rows.push_back({row, set.Slot(row).imagePath, range,
                        codecs.raw[i] ? &*codecs.raw[i] : nullptr, codecs.ecc[i].has_value(),
                        codecs.ecc[i] ? &*codecs.ecc[i] : nullptr, set.programErasedPages});
  }
  return LintImages(job);
}

void WarnMarks(Console& console, const LintReport& lint) {
  for (const LintRowReport& r : lint.rows) {
    for (std::size_t i = 0; i < r.marks.size() && i < kWarnedMarks; ++i) {
      const LintMark& m = r.marks[i];
      const std::string value = fmt::format("0x{:02X}", m.value);
      console.Line("folvane-cli: warning: row " + std::to_string(r.row) + ", image block " + Hex(m.imageBlock) +
                   ", page " + Hex(m.page) + ": byte " + Hex(m.imageOffset) + " of the image is " + value +
                   ", not 0xFF; a chip will read the block as bad once programmed");
    }
    if (r.marks.size() > kWarnedMarks) {
      console.Line("folvane-cli: warning: row " + std::to_string(r.row) + ": " +
                   std::to_string(r.marks.size() - kWarnedMarks) + " more blocks like these (--json lists every one)");
    }
    if (r.ecc && r.ecc->first) {
      console.Line("folvane-cli: warning: row " + std::to_string(r.row) + ", " + DifferenceText(*r.ecc->first) +
                   " is not the ECC its data gives; " +
                   Count(r.ecc->differingSteps, "step differs", "steps differ") + " in all");
    }
  }
}

void PrintLint(const LintReport& lint, unsigned markerPages) {
  std::printf("Image lint: marks looked for in the %s pages; %s bytes read\n", MarkerPagesText(markerPages).c_str(),
              HexDec(lint.bytesRead).c_str());
  if (lint.rows.empty()) std::printf("  no row is taken\n");
  for (const LintRowReport& r : lint.rows) {
    std::string marks = r.marks.empty()     ? std::string("no block reads as bad")
                        : r.marks.size() == 1 ? "image block " + Hex(r.marks.front().imageBlock) + " would read as bad"
                                              : HexDec(r.marks.size()) + " image blocks would read as bad, the first " +
                                                    Hex(r.marks.front().imageBlock);
    if (r.pageData) marks = "marks not looked for: page data, laid out at merge";
    std::printf("  FILE%-2d %s blocks: %s\n", r.row, HexDec(r.range.imageBlocks).c_str(), marks.c_str());
    if (r.ecc) {
      const LintEcc& e = *r.ecc;
      std::printf("         ECC %s: %s pages checked (%s erased apart), ", SchemeText(r.ecc->scheme).c_str(),
                  std::to_string(e.pages).c_str(), std::to_string(e.erasedPages).c_str());
      if (e.differingSteps == 0) {
        std::printf("every step's ECC matches its data\n");
      } else {
        std::printf("%s of %s in %s, the first at %s\n", std::to_string(e.differingSteps).c_str(),
                    Count(e.steps, "step differs", "steps differ").c_str(), Count(e.differingPages, "page", "pages").c_str(),
                    DifferenceText(*e.first).c_str());
      }
    }
    if (r.erasedBlocks == 0) {
      std::printf("         no block is entirely 0xFF\n");
    } else {
      std::string runs;
      for (std::size_t i = 0; i < r.erasedRuns.size() && i < kShownRuns; ++i) {
        runs += (i ? ", " : "") + RunText(r.erasedRuns[i]);
      }
      if (r.erasedRuns.size() > kShownRuns) runs += ", ... (" + std::to_string(r.erasedRuns.size()) + " runs)";
      std::printf("         entirely 0xFF: %s blocks (%s)", HexDec(r.erasedBlocks).c_str(), runs.c_str());
      if (r.trailingErased != 0) {
        std::printf("; the last %s need not be programmed", HexDec(r.trailingErased).c_str());
      }
      std::printf("\n");
    }
    std::printf("         byte sum of blocks %s to %s: %s\n", Hex(r.range.first).c_str(), Hex(r.range.last).c_str(),
                Sum32(r.rangeSum).c_str());
  }
  std::printf("  Data image byte sum: %s (%s bytes)\n", Sum32(lint.dataSum).c_str(), HexDec(lint.dataBytes).c_str());
}

void AddLintJson(nlohmann::json& doc, const LintReport& lint, unsigned markerPages) {
  for (nlohmann::json& row : doc["rows"]) {
    row["lint"] = nullptr;
    for (const LintRowReport& r : lint.rows) {
      if (row["row"] != r.row) continue;
      nlohmann::json marks = nlohmann::json::array(), runs = nlohmann::json::array();
      for (const LintMark& m : r.marks) {
        marks.push_back({{"imageBlock", m.imageBlock}, {"page", m.page}, {"imageOffset", m.imageOffset},
                         {"value", m.value}});
      }
      for (const BlockRun& run : r.erasedRuns) runs.push_back({{"firstBlock", run.first}, {"count", run.count}});
      nlohmann::json ecc = nullptr;
      if (r.ecc) {
        const LintEcc& e = *r.ecc;
        nlohmann::json first = nullptr;
        if (e.first) {
          first = {{"imageBlock", e.first->imageBlock}, {"page", e.first->page}, {"step", e.first->step},
                   {"imageOffset", e.first->imageOffset}};
        }
        ecc = {{"scheme", SchemeText(e.scheme)},          {"pages", e.pages},
               {"erasedPages", e.erasedPages}, {"steps", e.steps},
               {"differingSteps", e.differingSteps}, {"differingPages", e.differingPages},
               {"firstDifference", first}};
      }
      row["lint"] = {{"markedBlocks", marks},
                     {"erasedBlocks", r.erasedBlocks},
                     {"erasedRuns", runs},
                     {"trailingErasedBlocks", r.trailingErased},
                     {"rangeByteSum", r.rangeSum},
                     {"pageData", r.pageData},
                     {"ecc", ecc}};
    }
  }
  doc["lint"] = {{"markerPages", MarkerPagesText(markerPages)},
                 {"bytesRead", lint.bytesRead},
                 {"markedBlocks", lint.MarkedBlocks()},
                 {"eccDifferingSteps", lint.DifferingEccSteps()},
                 {"dataBytes", lint.dataBytes},
                 {"dataByteSum", lint.dataSum}};
}

}  // namespace folvane::cli
