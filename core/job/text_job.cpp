#include "job/text_job.hpp"

#include <filesystem>

#include <fmt/format.h>

// Errors are values here, as everywhere in the program: toml++ without exceptions.
#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

#include "io/utf8_path.hpp"
#include "job/block_mode.hpp"
#include "job/block_text.hpp"
#include "job/stored_text.hpp"

namespace folvane {

std::string TextJobError::Describe(const std::string& path) const {
  std::string out = path;
  if (line != 0) out += ", line " + std::to_string(line);
  if (!key.empty()) out += ", " + key;
  return out + ": " + problem;
}

namespace {

std::size_t LineOf(const toml::node& node) { return static_cast<std::size_t>(node.source().begin.line); }

// An absolute path stays as written; a relative one is joined to the job's folder.
std::string Resolved(const std::string& path, const std::string& folder) {
  if (path.empty() || FsPath(path).is_absolute()) return path;
  return Utf8Path((FsPath(folder) / FsPath(path)).lexically_normal());
}

// One table's keys against those it may hold; the first stranger is the error.
std::optional<TextJobError> OnlyKeys(const toml::table& table, std::initializer_list<std::string_view> known,
                                     const std::string& prefix) {
  for (auto&& [key, node] : table) {
    if (std::find(known.begin(), known.end(), key.str()) != known.end()) continue;
    std::string list;
    for (std::string_view k : known) list += (list.empty() ? "" : ", ") + std::string(k);
    return TextJobError{static_cast<std::size_t>(key.source().begin.line), prefix + std::string(key.str()),
                        "unknown key (known: " + list + ")"};
  }
  return std::nullopt;
}

// A string-valued key: the value, nothing when absent, or the error of a wrong type.
std::variant<std::optional<std::string>, TextJobError> StringOf(const toml::table& table, std::string_view key,
                                                                 const std::string& name, std::size_t tableLine) {
  const toml::node* node = table.get(key);
  if (!node) return std::optional<std::string>();
  if (const auto* s = node->as_string()) return std::optional<std::string>(s->get());
  return TextJobError{node->source().begin.line ? LineOf(*node) : tableLine, name, "must be a text in quotes"};
}

std::optional<TextJobError> ReadMode(const toml::node& node, Job& job) {
  if (const auto* n = node.as_integer()) {
    const std::int64_t v = n->get();
    if ((v >= 0 && v < kBlockModeCount) || v == kNoBlockMode) {
      job.blockMode = static_cast<std::uint8_t>(v);
      return std::nullopt;
    }
  } else if (const auto* s = node.as_string()) {
    for (const BlockMode& m : kBlockModes) {
      if (m.label == s->get()) {
        job.blockMode = static_cast<std::uint8_t>(m.index);
        return std::nullopt;
      }
    }
  }
  std::string labels;
  for (const BlockMode& m : kBlockModes) labels += (labels.empty() ? "\"" : ", \"") + std::string(m.label) + "\"";
  return TextJobError{LineOf(node), "mode", "must be a block mode from 0 to 15 or its label (" + labels + ")"};
}

std::optional<TextJobError> ReadRow(const toml::table& table, std::size_t index, const std::string& folder, Job& job) {
  const std::string prefix = "row[" + std::to_string(index + 1) + "].";
  const std::size_t line = LineOf(table);
  if (auto e = OnlyKeys(table, {"name", "image", "start", "end", "blocks", "ecc", "raw-ecc"}, prefix)) return e;
  JobRow row;
  for (const auto& [key, into, required] :
       {std::tuple{"name", &row.name, false}, {"image", &row.imagePath, true}, {"start", &row.startText, true},
        {"end", &row.endText, true}, {"ecc", &row.ecc, false}, {"raw-ecc", &row.rawEcc, false}}) {
    auto value = StringOf(table, key, prefix + key, line);
    if (auto* e = std::get_if<TextJobError>(&value)) return *e;
    const auto& text = std::get<std::optional<std::string>>(value);
    if (!text && required) return TextJobError{line, prefix + key, "is missing"};
    if (text) *into = *text;
  }
  for (const auto& [key, text] : {std::pair{"start", &row.startText}, {"end", &row.endText}}) {
    const BlockTextCheck check = CheckBlockText(*text);
    std::string why;
    if (text->size() > kBlockTextChars) {
      why = "is longer than the " + std::to_string(kBlockTextChars) + " characters the window reads";
    } else if (check.verdict == BlockTextVerdict::NotHex) {
      why = "'" + *text + "' is not a hexadecimal block number";
    } else if (check.verdict == BlockTextVerdict::TooHuge) {
      why = "'" + *text + "' is above the largest block number, 10000";
    }
    if (!why.empty()) return TextJobError{LineOf(*table.get(key)), prefix + key, why};
  }
  if (!row.ecc.empty() && !row.rawEcc.empty()) {
    return TextJobError{LineOf(*table.get("raw-ecc")), prefix + "raw-ecc",
                        "a row holds page data (ecc) or whole pages (raw-ecc), not both"};
  }
  // A scheme's text is checked where the block mode is known; only its form here.
  for (const auto& [key, text] : {std::pair{"ecc", &row.ecc}, {"raw-ecc", &row.rawEcc}}) {
    if (table.get(key) && text->empty()) return TextJobError{LineOf(*table.get(key)), prefix + key, "names no scheme"};
  }
  if (const toml::node* blocks = table.get("blocks")) {
    const auto* n = blocks->as_integer();
    if (!n || n->get() < 0 || n->get() > std::int64_t{UINT32_MAX}) {
      return TextJobError{LineOf(*blocks), prefix + "blocks", "must be a whole number of blocks from 0 to 4294967295"};
    }
    row.imageBlocks = static_cast<std::uint32_t>(n->get());
  }
  row.imagePath = Resolved(row.imagePath, folder);
  job.rows.push_back(std::move(row));
  return std::nullopt;
}

// A TOML basic string: quotes, backslashes and control characters escaped.
std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (std::size_t at = 0; at < text.size(); ++at) {
    const char c = text[at];
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u == 0x7F) {
      out += fmt::format("\\u{:04X}", u);
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// A path as the text job writes it: relative where it lies under the job's folder.
std::string Relative(const std::string& path, const std::string& folder) {
  if (path.empty()) return path;
  const std::filesystem::path p = FsPath(path).lexically_normal();
  if (!p.is_absolute()) return path;
  const std::filesystem::path rel = p.lexically_relative(FsPath(folder).lexically_normal());
  if (rel.empty() || *rel.begin() == "..") return path;
  // Only where it reads back as the very same text: a .part converted to a text job
  // and back is the same file.
  const std::string relative = Utf8Path(rel.generic_u8string());
  return Resolved(relative, folder) == path ? relative : path;
}

}  // namespace

std::variant<Job, TextJobError> ParseTextJob(std::string_view text, const std::string& folder) {
  if (!IsValidUtf8(text)) return TextJobError{0, {}, "a text job is UTF-8 text, and this is not"};
  toml::parse_result parsed = toml::parse(text);
  if (!parsed) {
    const toml::parse_error& e = parsed.error();
    return TextJobError{static_cast<std::size_t>(e.source().begin.line), {}, std::string(e.description())};
  }
  const toml::table& top = parsed.table();
  if (auto e = OnlyKeys(top, {"mode", "table", "data", "program-erased-pages", "row"}, "")) return *e;
  Job job;
  if (const toml::node* erased = top.get("program-erased-pages")) {
    const auto* b = erased->as_boolean();
    if (!b) return TextJobError{LineOf(*erased), "program-erased-pages", "must be true or false"};
    job.programErasedPages = b->get();
  }
  if (const toml::node* mode = top.get("mode")) {
    if (auto e = ReadMode(*mode, job)) return *e;
  }
  for (const auto& [key, into] : {std::pair{"table", &job.tablePath}, {"data", &job.dataPath}}) {
    auto value = StringOf(top, key, key, 0);
    if (auto* e = std::get_if<TextJobError>(&value)) return *e;
    if (const auto& path = std::get<std::optional<std::string>>(value)) *into = Resolved(*path, folder);
  }
  if (const toml::node* rows = top.get("row")) {
    const toml::array* list = rows->as_array();
    if (!list || !list->is_array_of_tables()) {
      return TextJobError{LineOf(*rows), "row", "must be rows, each under a [[row]] heading"};
    }
    for (std::size_t i = 0; i < list->size(); ++i) {
      const toml::table& row = *list->get(i)->as_table();
      if (i == static_cast<std::size_t>(kRowCount)) {
        return TextJobError{LineOf(row), "row[" + std::to_string(i + 1) + "]", "a job holds at most 16 rows"};
      }
      if (auto e = ReadRow(row, i, folder, job)) return *e;
    }
  }
  return job;
}

std::optional<std::string> TextJobOf(const Job& job, const std::string& folder, std::string& problem) {
  std::vector<std::pair<std::string, const std::string*>> texts;
  if (job.tablePath) texts.emplace_back("table", &*job.tablePath);
  if (job.dataPath) texts.emplace_back("data", &*job.dataPath);
  for (std::size_t i = 0; i < job.rows.size(); ++i) {
    const std::string row = "row " + std::to_string(i + 1) + "'s ";
    const JobRow& r = job.rows[i];
    for (const auto& [what, text] : {std::pair{"image", &r.imagePath}, {"name", &r.name}, {"start text", &r.startText},
                                     {"end text", &r.endText}, {"ECC scheme", &r.ecc}, {"raw ECC scheme", &r.rawEcc}}) {
      texts.emplace_back(row + what, text);
    }
  }
  for (const auto& [what, text] : texts) {
    if (!IsValidUtf8(*text)) {
      problem = "the " + what + " is not UTF-8, which a text job cannot hold";
      return std::nullopt;
    }
  }
  std::string out;
  if (job.blockMode < kBlockModeCount) {
    out += "mode = " + std::to_string(job.blockMode) + "  # " +
           std::string(kBlockModes[job.blockMode].label) + "\n";
  } else {
    out += "mode = " + std::to_string(job.blockMode) + "  # no block mode chosen: the default geometry\n";
  }
  if (job.programErasedPages) out += "program-erased-pages = true\n";
  if (job.tablePath) out += "table = " + Quoted(Relative(*job.tablePath, folder)) + "\n";
  if (job.dataPath) out += "data = " + Quoted(Relative(*job.dataPath, folder)) + "\n";
  for (const JobRow& row : job.rows) {
    out += "\n[[row]]\n";
    if (!row.name.empty()) out += "name = " + Quoted(row.name) + "\n";
    out += "image = " + Quoted(Relative(row.imagePath, folder)) + "\n";
    out += "start = " + Quoted(row.startText) + "\n";
    out += "end = " + Quoted(row.endText) + "\n";
    if (row.imageBlocks) out += "blocks = " + std::to_string(*row.imageBlocks) + "\n";
    if (!row.ecc.empty()) out += "ecc = " + Quoted(row.ecc) + "\n";
    if (!row.rawEcc.empty()) out += "raw-ecc = " + Quoted(row.rawEcc) + "\n";
  }
  return out;
}

}  // namespace folvane
