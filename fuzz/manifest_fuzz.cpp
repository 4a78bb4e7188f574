// Feeds arbitrary text to the manifest reader (what verify --manifest reads). A
// manifest it accepts is written again in both of its forms: the JSON form reads back
// as the same manifest, and the sha256sum form gives each output's path back as
// sha256sum -c reads it.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "fuzz_support.hpp"
#include "manifest/manifest.hpp"

namespace {

using folvane::fuzz::Require;

// One line of sha256sum's text as sha256sum -c reads it: a leading backslash says
// that the name has \\, \n and \r escaped.
std::string NameOfLine(std::string_view line) {
  const bool escaped = !line.empty() && line.front() == '\\';
  if (escaped) line.remove_prefix(1);
  Require(line.size() > 66 && line.substr(64, 2) == "  ");
  for (const char c : line.substr(0, 64)) Require((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
  const std::string_view name = line.substr(66);
  if (!escaped) return std::string(name);
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name[i] != '\\') {
      out += name[i];
      continue;
    }
    Require(i + 1 < name.size());
    const char next = name[++i];
    Require(next == '\\' || next == 'n' || next == 'r');
    out += next == '\\' ? '\\' : next == 'n' ? '\n' : '\r';
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace folvane::manifest;
  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto parsed = nlohmann::json::parse(text, nullptr, false);
  if (parsed.is_discarded()) return 0;
  std::string problem;
  const auto manifest = ManifestFromJson(parsed, &problem);
  if (!manifest) {
    Require(!problem.empty());
    return 0;
  }
  const nlohmann::json again = ManifestJson(*manifest);
  const auto reread = ManifestFromJson(nlohmann::json::parse(again.dump()), &problem);
  Require(reread.has_value());
  Require(ManifestJson(*reread) == again);

  // The digests' sha256sum lines name the outputs' paths exactly, one line each; a
  // manifest whose SHA-256 is not 64 hex digits never got this far.
  const std::string sums = Sha256SumText(*manifest);
  const std::size_t end = sums.find('\n');
  Require(end != std::string::npos && sums.back() == '\n');
  Require(sums.find('\n', end + 1) == sums.size() - 1);
  Require(NameOfLine(std::string_view(sums).substr(0, end)) == manifest->dataPath);
  Require(NameOfLine(std::string_view(sums).substr(end + 1, sums.size() - end - 2)) == manifest->tablePath);
  return 0;
}
