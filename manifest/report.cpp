#include "manifest/report.hpp"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <numeric>
#include <optional>
#include <vector>

#include <fmt/format.h>
#include <utf8cpp/utf8.h>

#include "manifest/digest.hpp"
#include "io/console.hpp"
#include "job/block_mode.hpp"
#include "job/block_text.hpp"
#include "layout/palette.hpp"
#include "manifest/sha256.hpp"
#include "version.hpp"

namespace folvane::manifest {

namespace {

std::uint32_t Sum(std::uint32_t sum, std::span<const std::uint8_t> bytes) {
  return std::accumulate(bytes.begin(), bytes.end(), sum);
}


// The time a reproducible build or test asks for (SOURCE_DATE_EPOCH, whole seconds
// since 1970 in decimal digits), otherwise now. Anything else in it, which would
// otherwise date the production record 1970 or a year past 9999, is not a time.
std::string UtcDate() {
  std::time_t t = std::time(nullptr);
  if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH"); epoch && *epoch) {
    const std::string text = epoch;
    constexpr long long kYear10000 = 253402300800;  // the first second strftime's %Y cannot print in four digits
    if (text.size() <= 12 && text.find_first_not_of("0123456789") == std::string::npos) {
      if (const long long seconds = std::stoll(text); seconds < kYear10000) t = static_cast<std::time_t>(seconds);
    }
  }
  const std::optional<std::tm> tm = UtcTime(t);
  if (!tm) return {};
  char b[32];
  std::strftime(b, sizeof b, "%Y-%m-%dT%H:%M:%SZ", &*tm);
  return b;
}

// The job file's own digest, over every byte it holds: a job file is small, but
// nothing stops a longer file from being given as one.
std::string FileSha256(const std::string& path) {
  auto file = File::OpenRead(path);
  if (!file || !file->IsRegular()) return {};  // a device named by mistake is not read to its end
  Sha256 hash;
  std::vector<std::uint8_t> chunk(1u << 20);
  for (std::uint64_t at = 0;;) {
    const auto got = file->ReadAt(at, chunk);
    if (!got) return {};
    if (*got == 0) break;
    hash.Update(std::span(chunk).first(*got));
    at += *got;
  }
  return hash.Hex().value_or("");
}

// Text for HTML and XML: the five special characters as entities, control
// characters and bytes that are not UTF-8 as U+FFFD, so that no path can end an
// attribute, open a tag or make the page ill-formed.
std::string Escape(const std::string& text) {
  std::string out;
  for (auto at = text.begin(); at != text.end();) {
    const auto invalid = utf8::find_invalid(at, text.end());
    for (; at != invalid; ++at) {
      const char ch = *at;
      const auto c = static_cast<unsigned char>(ch);
      switch (ch) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default:
          if ((c < 0x20 && c != '\t' && c != '\n') || c == 0x7F) {
            out += "\xEF\xBF\xBD";
          } else {
            out += ch;
          }
      }
    }
    // Each stray byte on its own; the bytes after it are read afresh.
    if (at != text.end()) {
      out += "\xEF\xBF\xBD";
      ++at;
    }
  }
  return out;
}

std::string Css(Rgb c) { return fmt::format("#{:02x}{:02x}{:02x}", c.r, c.g, c.b); }

std::string Num(double v) { return fmt::format("{:.2f}", v); }

const char* BlockModeLabel(int mode) {
  return mode >= 0 && mode < kBlockModeCount ? kBlockModes[static_cast<std::size_t>(mode)].label.data() : "";
}

nlohmann::json OutputJson(const ReportOutput& o) {
  nlohmann::json j;
  j["path"] = o.path;
  j["bytes"] = o.bytes ? nlohmann::json(*o.bytes) : nlohmann::json();
  j["sha256"] = o.sha256.empty() ? nlohmann::json() : nlohmann::json(o.sha256);
  j["crc32"] = o.crc32 ? nlohmann::json(Crc32Text(*o.crc32)) : nlohmann::json();
  j["byteSum"] = o.byteSum ? nlohmann::json(*o.byteSum) : nlohmann::json();
  return j;
}

}  // namespace

void ByteSumTap::Planned(const MergePlan& plan) {
  if (next_) next_->Planned(plan);
}

void ByteSumTap::TableWritten(std::span<const std::uint8_t> bytes) {
  tableSum_ = Sum(tableSum_, bytes);
  if (next_) next_->TableWritten(bytes);
}

void ByteSumTap::DataWritten(std::span<const std::uint8_t> bytes) {
  dataSum_ = Sum(dataSum_, bytes);
  if (next_) next_->DataWritten(bytes);
}

ReportData CollectReport(const std::string& command, ReportJob job, const MergeResult& result) {
  ReportData r;
  r.command = command;
  r.jobPath = job.jobPath.empty() ? std::string() : AbsolutePath(job.jobPath);
  r.jobSha256 = job.jobPath.empty() ? std::string() : FileSha256(job.jobPath);
  r.blockMode = job.blockMode;
  r.blockSize = job.geometry.blockSize;
  r.pageSize = job.geometry.pageSize;
  r.completed = result.completed;
  r.layout = std::move(job.layout);
  r.data.path = std::move(job.dataPath);
  r.table.path = std::move(job.tablePath);
  if (result.completed) {
    r.data.bytes = result.dataBytes;
    r.table.bytes = kTableSize;
  }
  r.version = kVersion;
  r.date = UtcDate();
  r.host = HostName();
  return r;
}

namespace {

// A taken row on the chip given with --bad-blocks; null without one.
nlohmann::json ChipJson(const LayoutRow& r) {
  if (!r.placement) return nullptr;
  const RangePlacement& p = *r.placement;
  nlohmann::json end;
  if (!p.runs.empty()) end = p.runs.back().physicalBlock + p.runs.back().count - 1;
  return {{"badBlocks", p.badBlocks},   {"skippedBlocks", r.skippedBlocks},      {"imageEndBlock", end},
          {"goodSpareBlocks", p.SpareGoodBlocks()}, {"overflows", p.Overflows()}, {"missingBlocks", p.MissingBlocks()}};
}

}  // namespace

nlohmann::json ReportJson(const ReportData& report) {
  nlohmann::json j;
  j["job"] = report.jobPath;
  j["jobSha256"] = report.jobSha256.empty() ? nlohmann::json() : nlohmann::json(report.jobSha256);
  j["blockMode"] = report.blockMode;
  j["blockModeLabel"] = BlockModeLabel(report.blockMode);
  j["blockSize"] = report.blockSize;
  j["pageSize"] = report.pageSize;
  j["merged"] = report.merged;
  j["programVersion"] = report.version;
  j["date"] = report.date;
  j["host"] = report.host;
  j["data"] = OutputJson(report.data);
  j["table"] = OutputJson(report.table);
  const FlashLayout& l = report.layout;
  j["endBlock"] = l.endBlock;
  j["dataBlocks"] = l.dataBlocks;
  nlohmann::json rows = nlohmann::json::array();
  for (const LayoutRow& r : l.rows) {
    rows.push_back({{"row", r.row},
                    {"name", r.name.empty() ? nlohmann::json() : nlohmann::json(r.name)},
                    {"imagePath", r.imagePath},
                    {"accepted", r.accepted},
                    {"rule", RuleName(r.rule)},
                    {"reason", r.why},
                    {"startBlock", r.startBlock == kUnset ? nlohmann::json() : nlohmann::json(r.startBlock)},
                    {"endBlock", r.endBlock == kUnset ? nlohmann::json() : nlohmann::json(r.endBlock)},
                    {"imageBlocks", r.imageBlocks == kUnset ? nlohmann::json() : nlohmann::json(r.imageBlocks)},
                    {"imageBytes", r.imageBytes ? nlohmann::json(*r.imageBytes) : nlohmann::json()},
                    {"ecc", r.ecc.empty() ? nlohmann::json() : nlohmann::json(r.ecc)},
                    {"rangeBlocks", r.rangeBlocks},
                    {"spareBlocks", r.spareBlocks},
                    {"offset", r.offset},
                    {"stopsMerge", r.stopsMerge},
                    {"chip", ChipJson(r)}});
  }
  j["rows"] = rows;
  j["badBlocks"] = l.badBlocksKnown ? nlohmann::json(l.badBlocks) : nlohmann::json();
  nlohmann::json segments = nlohmann::json::array();
  auto segment = [](const LayoutSegment& s) {
    return nlohmann::json{{"kind", SegmentKindName(s.kind)}, {"row", s.row},         {"firstBlock", s.firstBlock},
                          {"blocks", s.blockCount},          {"firstByte", s.firstByte}, {"bytes", s.byteCount}};
  };
  for (const LayoutSegment& s : l.axis) segments.push_back(segment(s));
  for (const LayoutSegment& s : l.leftOut) segments.push_back(segment(s));
  j["segments"] = segments;
  nlohmann::json overlaps = nlohmann::json::array();
  for (const LayoutOverlap& o : l.overlaps) {
    overlaps.push_back({{"row", o.row}, {"otherRow", o.otherRow}, {"firstBlock", o.firstBlock}, {"blocks", o.blockCount}});
  }
  j["overlaps"] = overlaps;
  return j;
}

namespace {

// The map's strip: 1000 units wide, from x 10 to 990.
struct SvgStrip {
  static constexpr double kLeft = 10, kWidth = 980, kTop = 4, kHeight = 44;
  double end;
  explicit SvgStrip(const FlashLayout& l) : end(static_cast<double>(std::max<std::uint64_t>(l.endBlock, 1))) {}
  [[nodiscard]] double X(std::uint64_t block) const { return kLeft + kWidth * static_cast<double>(block) / end; }
};

// The hatching of left-out ranges and the stripes of eight rows' spare blocks.
std::string SvgDefs() {
  std::string svg =
      "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 1000 72\" width=\"100%\" role=\"img\" "
      "aria-label=\"Flash map\" font-family=\"sans-serif\" font-size=\"11\">\n<defs>\n"
      "<pattern id=\"leftout\" width=\"6\" height=\"6\" patternUnits=\"userSpaceOnUse\" "
      "patternTransform=\"rotate(45)\"><line x1=\"0\" y1=\"0\" x2=\"0\" y2=\"6\" stroke=\"" +
      Css(kLeftOutColour) + "\" stroke-width=\"2\"/></pattern>\n";
  for (int row = 1; row <= 8; ++row) {
    svg += "<pattern id=\"spare" + std::to_string(row) +
           "\" width=\"5\" height=\"5\" patternUnits=\"userSpaceOnUse\" patternTransform=\"rotate(-45)\">"
           "<rect width=\"5\" height=\"5\" fill=\"" + Css(SpareColour(row)) + "\"/><line x1=\"0\" y1=\"0\" x2=\"0\" "
           "y2=\"5\" stroke=\"" + Css(RowColour(row)) + "\" stroke-width=\"1\"/></pattern>\n";
  }
  return svg + "</defs>\n";
}

// Each segment of the axis, then the left-out ranges over it, with what hovering shows.
std::string SvgSegments(const FlashLayout& l, const SvgStrip& strip) {
  std::string svg;
  auto rect = [&](const LayoutSegment& s, const std::string& fill, const std::string& extra) {
    const double x0 = strip.X(s.firstBlock);
    const double w = std::max(strip.X(s.EndBlock()) - x0, 0.8);
    svg += "<rect class=\"" + std::string(SegmentKindName(s.kind)).substr(0, 4) + "\" x=\"" + Num(x0) + "\" y=\"" +
           Num(SvgStrip::kTop) + "\" width=\"" + Num(w) + "\" height=\"" + Num(SvgStrip::kHeight) + "\" fill=\"" + fill +
           "\"" + extra + "><title>" + Escape(DescribeSegment(l, s)) + "</title></rect>\n";
  };
  for (const LayoutSegment& s : l.axis) {
    switch (s.kind) {
      case SegmentKind::Image: rect(s, Css(RowColour(s.row)), ""); break;
      case SegmentKind::Spare: rect(s, "url(#spare" + std::to_string((s.row - 1) % 8 + 1) + ")", ""); break;
      default: rect(s, Css(kFillColour), ""); break;
    }
  }
  for (const LayoutSegment& s : l.leftOut) {
    rect(s, "url(#leftout)", " stroke=\"" + Css(kLeftOutColour) + "\" stroke-width=\"1.5\" fill-opacity=\"0.9\"");
  }
  return svg;
}

// A chip's bad blocks as black bars across the strip, one a run of neighbours; a row
// that runs out of good blocks framed in red, dashed.
std::string SvgChip(const FlashLayout& l, const SvgStrip& strip) {
  std::string svg;
  for (std::size_t i = 0; i < l.badBlocks.size();) {
    std::size_t j = i + 1;
    while (j < l.badBlocks.size() && l.badBlocks[j] == l.badBlocks[j - 1] + 1) ++j;
    const std::uint64_t first = l.badBlocks[i], last = l.badBlocks[j - 1];
    const double x0 = strip.X(first);
    svg += "<rect class=\"bad\" x=\"" + Num(x0) + "\" y=\"" + Num(SvgStrip::kTop) + "\" width=\"" +
           Num(std::max(strip.X(last + 1) - x0, 1.0)) + "\" height=\"" + Num(SvgStrip::kHeight) +
           "\" fill=\"#000000\"><title>" +
           (first == last ? "Bad block " + Hex(first) : "Bad blocks " + Hex(first) + " to " + Hex(last)) +
           "</title></rect>\n";
    i = j;
  }
  for (const LayoutRow& r : l.rows) {
    if (!r.Overflows()) continue;
    const double x0 = strip.X(r.startBlock);
    svg += "<rect class=\"overflow\" x=\"" + Num(x0) + "\" y=\"" + Num(SvgStrip::kTop - 2) + "\" width=\"" +
           Num(std::max(strip.X(std::uint64_t{r.startBlock} + r.rangeBlocks) - x0, 0.8)) + "\" height=\"" +
           Num(SvgStrip::kHeight + 4) + "\" fill=\"none\" stroke=\"" + Css(kLeftOutColour) +
           "\" stroke-width=\"2.5\" stroke-dasharray=\"6 3\"><title>Row " + std::to_string(r.row) +
           " runs out of good blocks, " + std::to_string(r.placement->MissingBlocks()) +
           " fewer than the image needs</title></rect>\n";
  }
  return svg;
}

// Row numbers where they fit (about 7 units a digit), a '!' on a row that runs out;
// then the scale in hexadecimal blocks.
std::string SvgLabels(const FlashLayout& l, const SvgStrip& strip) {
  std::string svg;
  for (const LayoutRow& r : l.rows) {
    if (!r.RangeValid()) continue;
    const double x0 = strip.X(r.startBlock), x1 = strip.X(std::uint64_t{r.startBlock} + r.rangeBlocks);
    const std::string n = std::to_string(r.row) + (r.Overflows() ? "!" : "");
    const double w = 7.0 * static_cast<double>(n.size()) + 4;
    if (x1 - x0 < w) continue;
    const double mid = (x0 + x1) / 2;
    svg += "<rect x=\"" + Num(mid - w / 2) + "\" y=\"18\" width=\"" + Num(w) + "\" height=\"15\" fill=\"#ffffff\"/>"
           "<text x=\"" + Num(mid) + "\" y=\"30\" text-anchor=\"middle\" font-weight=\"bold\" fill=\"" +
           (r.accepted && !r.Overflows() ? std::string("#000000") : Css(kLeftOutColour)) + "\">" + n + "</text>\n";
  }
  constexpr int kTicks = 8;
  for (int i = 0; i <= kTicks; ++i) {
    const std::uint64_t block = l.endBlock * static_cast<std::uint64_t>(i) / kTicks;
    const double at = strip.X(block);
    const char* anchor = i == 0 ? "start" : i == kTicks ? "end" : "middle";
    svg += "<line x1=\"" + Num(at) + "\" y1=\"49\" x2=\"" + Num(at) + "\" y2=\"54\" stroke=\"#000000\"/><text x=\"" +
           Num(at) + "\" y=\"66\" text-anchor=\"" + anchor + "\">" + Hex(block) + "</text>\n";
  }
  return svg;
}

}  // namespace

std::string ReportSvg(const FlashLayout& l) {
  const std::string defs = SvgDefs();
  if (l.endBlock == 0) return defs + "<text x=\"10\" y=\"30\">No ticked row has a range.</text>\n</svg>\n";
  const SvgStrip strip(l);
  return defs + SvgSegments(l, strip) + SvgChip(l, strip) + SvgLabels(l, strip) + "</svg>\n";
}

namespace {

// A taken row on the chip given: its bad blocks, where its image ends, what is left.
std::string ChipCell(const LayoutRow& r) {
  if (!r.placement) return "<td>&#8211;</td>";
  const RangePlacement& p = *r.placement;
  std::string t = std::to_string(p.badBlocks) + " bad in the range, " + std::to_string(r.skippedBlocks) +
                  " under the image; ";
  if (p.Overflows()) {
    return "<td class=\"out\">" + t + "<strong>runs out of good blocks</strong>, " + std::to_string(p.MissingBlocks()) +
           " fewer than the image needs</td>";
  }
  if (!p.runs.empty()) {
    t += "image on " + Hex(r.startBlock) + " &#8211; " + Hex(p.runs.back().physicalBlock + p.runs.back().count - 1) + ", ";
  }
  return "<td>" + t + Hex(p.SpareGoodBlocks()) + " good blocks to spare</td>";
}

}  // namespace

namespace {

// The page's head: its title and a style that prints on one sheet.
std::string HtmlHead() {
  return
      "<!DOCTYPE html>\n<html xmlns=\"http://www.w3.org/1999/xhtml\" lang=\"en\">\n<head>\n<meta charset=\"utf-8\"/>\n"
      "<title>Folvane flash report</title>\n<style>\n"
      "@page { size: auto; margin: 12mm; }\n"
      "body { font: 9pt sans-serif; color: #000; background: #fff; margin: 0 auto; max-width: 190mm; }\n"
      "h1 { font-size: 13pt; margin: 0 0 4pt; }\n h2 { font-size: 10pt; margin: 8pt 0 3pt; }\n"
      "table { border-collapse: collapse; width: 100%; }\n"
      "th, td { border: 0.5pt solid #888; padding: 1pt 3pt; text-align: left; vertical-align: top; }\n"
      "td.n { text-align: right; font-family: monospace; white-space: nowrap; }\n"
      ".path { word-break: break-all; }\n .out { color: " + Css(kLeftOutColour) + "; }\n"
      ".legend span { display: inline-block; width: 10pt; height: 8pt; border: 0.5pt solid #444; "
      "vertical-align: middle; margin: 0 2pt 0 8pt; }\n"
      "code { word-break: break-all; }\n svg { display: block; margin: 4pt 0; }\n"
      "@media print { body { max-width: none; } }\n"
      "</style>\n</head>\n<body>\n<h1>Folvane flash report</h1>\n<p>";
}

// Which job, which block mode, and what was done to it by whom and when.
std::string HtmlIntro(const ReportData& report) {
  std::string h;
  if (report.jobPath.empty()) {
    h += "Job: set up in the window, not saved as a file<br/>";
  } else {
    h += "Job: <span class=\"path\">" + Escape(report.jobPath) + "</span><br/>Job file SHA-256: <code>" +
         (report.jobSha256.empty() ? std::string("(cannot be read)") : report.jobSha256) + "</code><br/>";
  }
  h += "Block mode: " + std::to_string(report.blockMode) + " " + Escape(BlockModeLabel(report.blockMode)) +
       ", block size " + Hex(report.blockSize) + " (" + std::to_string(report.blockSize) + ") bytes, page size " +
       Hex(report.pageSize) + " (" + std::to_string(report.pageSize) + ") bytes<br/>";
  const bool unchecked = report.command == kWindowSetUp;
  h += std::string(report.merged ? "Merged" : unchecked ? "Set up (neither checked nor written)" : "Checked (nothing written)") +
       " by Folvane " + Escape(report.version) +
       " on " + Escape(report.date) + " at " + Escape(report.host) + "</p>\n";
  return h;
}

// What the map's colours and marks mean.
std::string HtmlLegend(const FlashLayout& l) {
  std::string h;
  h += "<p class=\"legend\">Rows in their colours:<span style=\"background:" + Css(RowColour(1)) +
       "\"></span>image (solid)<span style=\"background:" + Css(SpareColour(1)) +
       "\"></span>spare blocks (light, striped)<span style=\"background:" + Css(kFillColour) +
       "\"></span>0xFF fill<span style=\"background:repeating-linear-gradient(45deg," + Css(kLeftOutColour) +
       " 0 2px,#fff 2px 5px)\"></span>left out (hatched red)";
  if (l.badBlocksKnown) {
    h += "<br/>On the chip given:<span style=\"background:#000000\"></span>bad block (" +
         std::to_string(l.badBlocks.size()) + " in the map; an image runs over the bad blocks it skips)"
         "<span style=\"border:1.5pt dashed " + Css(kLeftOutColour) + "\"></span>row that runs out of good blocks (!)";
  }
  return h;
}

// Each ticked row as the merge decides it, and on the chip given.
std::string HtmlRows(const FlashLayout& l) {
  std::string h;
  h += "<h2>Rows</h2>\n<table>\n<tr><th>Row</th><th>Image</th><th>Range (blocks)</th><th>Image bytes</th>"
       "<th>Image blocks</th><th>Spare blocks</th><th>Offset</th><th>Merge</th>" +
       std::string(l.badBlocksKnown ? "<th>On the chip</th>" : "") + "</tr>\n";
  auto block = [](std::uint32_t v) { return v == kUnset ? std::string("unset") : Hex(v); };
  for (const LayoutRow& r : l.rows) {
    const std::string name = r.name.empty() ? std::string() : "<b>" + Escape(r.name) + "</b> ";
    h += "<tr><td class=\"n\">" + std::to_string(r.row) + "</td><td class=\"path\">" + name + Escape(r.imagePath) +
         "</td><td class=\"n\">" + block(r.startBlock) + " &#8211; " + block(r.endBlock) + "</td><td class=\"n\">" +
         (r.imageBytes ? std::to_string(*r.imageBytes) : std::string("&#8211;")) + "</td><td class=\"n\">" +
         block(r.imageBlocks) + "</td><td class=\"n\">" + (r.accepted ? Hex(r.spareBlocks) : std::string("&#8211;")) +
         "</td><td class=\"n\">" + (r.accepted ? Hex(r.offset) : std::string("&#8211;")) + "</td><td" +
         (r.accepted ? std::string(">taken") : " class=\"out\">left out: " + Escape(r.why)) +
         (r.stopsMerge.empty() ? std::string() : " (the merge stops here: " + Escape(r.stopsMerge) + ")") + "</td>" +
         (l.badBlocksKnown ? ChipCell(r) : std::string()) + "</tr>\n";
  }
  if (l.rows.empty()) h += "<tr><td colspan=\"" + std::string(l.badBlocksKnown ? "9" : "8") + "\">No row is ticked.</td></tr>\n";
  return h;
}

// The outputs with what a merge measured of them.
std::string HtmlOutputs(const ReportData& report) {
  std::string h;
  const bool unchecked = report.command == kWindowSetUp;
  h += "<h2>Outputs</h2>\n<table>\n<tr><th>Output</th><th>Path</th><th>Bytes</th><th>SHA-256</th>"
       "<th>CRC-32</th><th>Byte sum</th></tr>\n";
  for (const auto* o : {&report.data, &report.table}) {
    h += "<tr><td>" + std::string(o == &report.data ? "Data" : "Table") + "</td><td class=\"path\">" +
         Escape(o->path) + "</td><td class=\"n\">" + (o->bytes ? std::to_string(*o->bytes) : std::string("&#8211;")) +
         "</td><td><code>" + (o->sha256.empty() ? std::string("&#8211;") : o->sha256) + "</code></td><td class=\"n\">" +
         (o->crc32 ? Crc32Text(*o->crc32) : std::string("&#8211;")) + "</td><td class=\"n\">" +
         (o->byteSum ? Hex(*o->byteSum) : std::string("&#8211;")) + "</td></tr>\n";
  }
  h += "</table>\n";
  if (!report.merged) {
    h += unchecked ? "<p>Sizes and digests are taken only by a merge.</p>\n"
                   : "<p>Sizes are those a merge would write; digests are taken only by a merge.</p>\n";
  }
  return h;
}

}  // namespace

std::string ReportHtml(const ReportData& report) {
  const FlashLayout& l = report.layout;
  return HtmlHead() + HtmlIntro(report) + "<h2>Flash map, blocks 0x0 to " + Hex(l.endBlock ? l.endBlock - 1 : 0) +
         "</h2>\n" + ReportSvg(l) + HtmlLegend(l) + "</p>\n" + HtmlRows(l) + "</table>\n" + HtmlOutputs(report) +
         "</body>\n</html>\n";
}

std::optional<std::string> ReportClash(const std::string& path, const std::vector<std::string>& others,
                                       const std::string& command) {
  for (const std::string& other : others) {
    if (!other.empty() && SameFile(path, other)) {
      return "Report File " + path + " is also an input or output of the " + command + ".";
    }
  }
  return std::nullopt;
}

std::optional<File> OpenReportFile(const std::string& path, bool allowInPlace, std::string& failure,
                                   std::vector<std::string>& lines) {
  auto file = File::CreateReplacement(path, allowInPlace);
  if (!file) {
    failure = file.error().Line();
    if (!file.error().detail.empty() && file.error().detail != failure) lines.push_back(file.error().detail);
    return std::nullopt;
  }
  if (file->InPlace() != InPlaceReason::None && file->InPlace() != InPlaceReason::Device) {
    lines.push_back("the report " + path + " is written in place: " + std::string(InPlaceText(file->InPlace())));
  }
  return std::move(*file);
}

Status WriteReportPage(File& file, const std::string& html) {
  return file.Write(std::span(reinterpret_cast<const std::uint8_t*>(html.data()), html.size()));
}

}  // namespace folvane::manifest
