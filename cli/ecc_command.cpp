// folvane-cli ecc: the ECC schemes the program knows, and which of them a raw image's
// pages carry.

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "cli.hpp"
#include "ecc/detect.hpp"
#include "flash/bad_blocks.hpp"
#include "flash/pages.hpp"
#include "io/file_io.hpp"
#include "job/block_mode.hpp"
#include "json_report.hpp"

namespace folvane::cli {

namespace {

// Schemes that match every page, shown in the text; pages that tell little (zeros,
// one repeated byte) can fit many.
constexpr std::size_t kShownMatches = 8;

// "12 of 16 steps (75.00%)"; a share short of all is never rounded up to 100%.
std::string ShareText(const SchemeFit& fit) {
  const double percent = fit.steps ? std::floor(10000.0 * static_cast<double>(fit.matching) /
                                                static_cast<double>(fit.steps)) / 100.0
                                   : 0.0;
  return fmt::format("{} of {} steps ({:.2f}%)", fit.matching, fit.steps, percent);
}

nlohmann::json FitJson(const SchemeFit& fit) {
  return {{"scheme", SchemeText(fit.scheme)}, {"steps", fit.steps}, {"matchingSteps", fit.matching}};
}

int RunList(const Args& args) {
  if (args.positional.size() != 1) return Usage(kEccCommand, "ecc list takes no other word");
  if (args.Option("mode")) return Usage(kEccCommand, "ecc list takes no --mode");
  const std::vector<NamedScheme> schemes = NamedSchemes();
  if (args.Flag("json")) {
    nlohmann::json doc = JsonDocument("ecc list");
    nlohmann::json list = nlohmann::json::array();
    for (const NamedScheme& n : schemes) {
      list.push_back({{"name", n.name},
                      {"code", n.code},
                      {"step", n.scheme.step},
                      {"correctsBits", n.scheme.Corrects()},
                      {"eccBytes", n.scheme.eccBytes},
                      {"placement", n.placement}});
    }
    doc["schemes"] = list;
    doc["exitStatus"] = kExitOk;
    PrintJson(doc);
    return kExitOk;
  }
  std::printf("%-18s %-9s %s\n", "scheme", "ECC/step", "code; placement");
  for (const NamedScheme& n : schemes) {
    const std::string bytes = std::to_string(n.scheme.eccBytes) + "/" + std::to_string(n.scheme.step);
    std::printf("%-18s %-9s %s\n%-28s %s\n", n.name.c_str(), bytes.c_str(), n.code.c_str(), "", n.placement.c_str());
  }
  std::printf("\nlinux-bch<t>/<step> takes any t and step. Written out:\n"
              "  hamming:step=256|512[,order=linux|sm][,at=N]\n"
              "  bch:t=T,step=S[,poly=P][,bits=msb|lsb][,mask=erased|none][,bytes=B][,pad=X][,at=N|,chunk=C]\n");
  return kExitOk;
}

// The image whole, if it is a whole number of pages of `layout`; otherwise why not.
std::optional<std::string> ReadPages(const std::string& path, const PageLayout& layout, std::uint64_t mode,
                                     std::vector<std::uint8_t>& image) {
  auto file = File::OpenRead(path);
  if (!file) return FileErrorText(file.error());
  const std::uint64_t size = file->OpenedSize();
  const std::uint32_t pageBytes = layout.PageBytes();
  if (size % pageBytes != 0) {
    return Printable(path) + " is " + HexDec(size) + " bytes, not a whole number of pages of " +
           std::to_string(pageBytes) + " bytes (block mode " + std::to_string(mode) + ": " +
           std::to_string(layout.dataBytes) + " + " + std::to_string(layout.spareBytes) + "); " +
           std::to_string(size / pageBytes) + " pages and " + std::to_string(size % pageBytes) + " bytes";
  }
  image.resize(static_cast<std::size_t>(size));
  auto got = file->ReadAt(0, image);
  if (!got) return FileErrorText(got.error());
  if (*got != image.size()) return Printable(path) + " grew shorter while it was read";
  return std::nullopt;
}

void PrintDetectJson(nlohmann::json doc, const DetectReport& report, int status) {
  doc["pages"] = report.pages;
  doc["erasedPages"] = report.erasedPages;
  doc["codes"] = report.codes;
  doc["candidates"] = report.candidates;
  doc["matches"] = nlohmann::json::array();
  doc["closest"] = nlohmann::json::array();
  for (const SchemeFit& fit : report.matches) doc["matches"].push_back(FitJson(fit));
  for (const SchemeFit& fit : report.closest) doc["closest"].push_back(FitJson(fit));
  doc["exitStatus"] = status;
  PrintJson(doc);
}

// The schemes found, or the closest when none matches every page.
void PrintFits(const DetectReport& report) {
  if (!report.matches.empty()) {
    std::printf("Matching every page, best first:\n");
    for (std::size_t i = 0; i < report.matches.size() && i < kShownMatches; ++i)
      std::printf("  %s\n", SchemeText(report.matches[i].scheme).c_str());
    if (report.matches.size() > kShownMatches)
      std::printf("  ... and %s more (--json lists every one)\n",
                  std::to_string(report.matches.size() - kShownMatches).c_str());
    return;
  }
  if (report.closest.empty()) {
    std::printf("No scheme's ECC was found in the pages.\n");
    return;
  }
  std::printf("No scheme matches every page. Closest:\n");
  for (const SchemeFit& fit : report.closest)
    std::printf("  %s  %s\n", SchemeText(fit.scheme).c_str(), ShareText(fit).c_str());
}

void PrintDetectText(const std::string& path, const PageLayout& layout, std::uint64_t mode,
                     const DetectReport& report) {
  std::printf("%s: %s pages of %u + %u bytes (block mode %u), %s erased", Printable(path).c_str(),
              std::to_string(report.pages).c_str(), layout.dataBytes, layout.spareBytes,
              static_cast<unsigned>(mode), std::to_string(report.erasedPages).c_str());
  if (report.pages == report.erasedPages) {
    std::printf("\n%s\n", report.pages == 0 ? "The image holds no page: no scheme can be told."
                                             : "Every page is erased: no scheme can be told.");
    return;
  }
  std::printf("; %s codes looked for, %s schemes checked\n", std::to_string(report.codes).c_str(),
              std::to_string(report.candidates).c_str());
  PrintFits(report);
}

int RunDetect(const Args& args) {
  if (args.positional.size() != 2) return Usage(kEccCommand, "ecc detect takes one IMAGE");
  const auto modeText = args.Option("mode");
  if (!modeText) return Usage(kEccCommand, "ecc detect needs --mode N, the block mode of the image's pages");
  const auto mode = ParseCount(*modeText, kBlockModeCount - 1);
  if (!mode) return Usage(kEccCommand, "--mode takes a block mode from 0 to 15, not '" + Printable(*modeText) + "'");
  const bool json = args.Flag("json");
  const std::string path = args.positional[1];
  const PageLayout layout = PageLayoutOf(static_cast<int>(*mode));
  nlohmann::json doc = JsonDocument("ecc detect");
  doc["image"] = path;
  doc["blockMode"] = *mode;
  doc["dataBytes"] = layout.dataBytes;
  doc["spareBytes"] = layout.spareBytes;
  std::vector<std::uint8_t> image;
  if (const auto why = ReadPages(path, layout, *mode, image)) {
    std::fprintf(stderr, "folvane-cli: %s\n", why->c_str());
    if (json) {
      doc["error"] = *why;
      doc["exitStatus"] = kExitFailed;
      PrintJson(doc);
    }
    return kExitFailed;
  }
  const DetectReport report = DetectSchemes(image, layout.dataBytes, layout.spareBytes);
  const int status = report.matches.empty() ? kExitWithMessages : kExitOk;
  if (json) {
    PrintDetectJson(std::move(doc), report, status);
  } else {
    PrintDetectText(path, layout, *mode, report);
  }
  return status;
}

}  // namespace

int RunEcc(const Args& args) {
  if (args.positional.empty()) return Usage(kEccCommand, "ecc takes list or detect");
  const std::string& what = args.positional[0];
  if (what == "list") return RunList(args);
  if (what == "detect") return RunDetect(args);
  return Usage(kEccCommand, "ecc takes list or detect, not '" + Printable(what) + "'");
}

const Command kEccCommand = {"ecc", "list the ECC schemes, or find the one a raw image carries",
    "Usage: folvane-cli ecc list [--json]\n"
    "       folvane-cli ecc detect IMAGE --mode N [--json]\n"
    "\n"
    "ecc list prints every named ECC scheme: its code, the ECC bytes it stores per\n"
    "step of data and where a page keeps them. Any name or written-out form is what\n"
    "--ecc ROW=SCHEME and --raw-ecc ROW=SCHEME take.\n"
    "\n"
    "ecc detect reads IMAGE as raw pages (data and spare bytes) of block mode N (0 to\n"
    "15) and tries, on the pages that are not entirely 0xFF: the named schemes;\n"
    "Hamming of 256 and 512 bytes in both orders; BCH of t 1 to 60 over 512 and 1024\n"
    "bytes, bits most or least significant first, masked or not; the ECC at the Linux\n"
    "place, from any spare byte where a step's ECC is found, or interleaved with the\n"
    "data. It prints, best first, the schemes whose ECC matches every step of every\n"
    "such page, as --raw-ecc takes them; when none does, the closest with their share\n"
    "of matching steps.\n"
    "\n"
    "Exit status: 0 a scheme matches every page (list: always), 1 none does, 2 IMAGE\n"
    "cannot be read or is not a whole number of pages, 64 usage.\n",
    {{"mode"}, {}, {"json"}},
    RunEcc};

}  // namespace folvane::cli
