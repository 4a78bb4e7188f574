// folvane-cli new: a job saved as the window's EXPORT saves it, from rows typed on
// the command line.

#include <cstdio>
#include <string>
#include <vector>

#include "job/block_text.hpp"
#include "cli.hpp"
#include "dialog/procedures.hpp"
#include "job/stored_text.hpp"

namespace folvane::cli {

namespace text {
inline constexpr std::string_view kJobIsImage = "The job file is also an image file.";
}  // namespace text

namespace {

struct RowArg {
  std::string image, start, end;
};

// "IMAGE:START:END", the image path being everything before the last two colons.
std::optional<RowArg> SplitRow(const std::string& r) {
  const auto second = r.rfind(':');
  const auto first = second == std::string::npos || second == 0 ? std::string::npos : r.rfind(':', second - 1);
  if (first == std::string::npos) return std::nullopt;
  return RowArg{r.substr(0, first), r.substr(first + 1, second - first - 1), r.substr(second + 1)};
}

bool PlainDecimal(const std::string& s) {
  return !s.empty() && s.size() <= 2 && s.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

int RunNew(const Args& args) {
  const Command& self = kNewCommand;
  if (args.positional.size() != 1) return Usage(self, "new takes one JOB.part");
  const auto modeText = args.Option("mode");
  if (!modeText) return Usage(self, "--mode is required");
  // Only what the list offers: a plain decimal index, no sign, blank or base prefix.
  if (!PlainDecimal(*modeText) || std::stoi(*modeText) >= kBlockModeCount) {
    return Usage(self, "--mode takes a block mode from 0 to 15, not '" + *modeText + "'");
  }
  const int mode = std::stoi(*modeText);
  const std::vector<std::string> rows = args.All("row");
  if (rows.size() > static_cast<std::size_t>(kRowCount)) return Usage(self, "at most 16 rows");

  std::vector<RowArg> rowArgs;
  for (const std::string& r : rows) {
    const auto rowArg = SplitRow(r);
    if (!rowArg) return Usage(self, "--row takes IMAGE:START:END, not '" + r + "'");
    for (const std::string* t : {&rowArg->start, &rowArg->end}) {
      // The window reads nine characters of an edit; a longer text here would be
      // saved as some other number, so it is refused rather than read in part.
      if (t->size() > kBlockTextChars) {
        return Usage(self, "block number '" + *t + "' of --row " + r + " is longer than 9 characters");
      }
      const BlockTextCheck check = CheckBlockText(*t);
      if (check.verdict != BlockTextVerdict::Accepted) {
        std::fprintf(stderr, "%s\n",
                     std::string(check.verdict == BlockTextVerdict::NotHex ? folvane::text::kErrorInputNum
                                                                           : folvane::text::kTooHugeNum)
                         .c_str());
        return Usage(self, "block number '" + *t + "' of --row " + r + " is refused");
      }
    }
    rowArgs.push_back(*rowArg);
  }

  const std::string job = args.positional[0];
  // Saving the job over one of its own images would destroy the image it describes.
  for (const RowArg& r : rowArgs) {
    if (SameFile(job, r.image)) {
      std::fprintf(stderr, "%s\n", std::string(text::kJobIsImage).c_str());
      return kExitFailed;
    }
  }

  // Stored absolute, like the images, so the job means the same from any folder.
  std::optional<std::string> table, data;
  if (auto t = args.Option("table")) table = AbsolutePath(*t);
  if (auto d = args.Option("data")) data = AbsolutePath(*d);
  std::vector<std::string> images;
  for (const RowArg& r : rowArgs) images.push_back(AbsolutePath(r.image));
  // A path the job would give back as another (bytes that are not UTF-8 read as GBK)
  // would name another file, which a merge of the job would overwrite.
  std::vector<std::pair<std::string, std::string>> saved;  // field, path
  if (table) saved.emplace_back("Table File", *table);
  if (data) saved.emplace_back("Data File", *data);
  for (std::size_t i = 0; i < images.size(); ++i) saved.emplace_back("FILE" + std::to_string(i + 1), images[i]);
  for (const auto& [field, path] : saved) {
    if (!StoredTextKeeps(path)) {
      return Usage(self, field + " path " + Printable(path) +
                             " would load back as a different path: a job reads bytes that are not UTF-8 as GBK");
    }
  }

  Console console;
  MemoryForm form = FreshForm();
  Connect(form, console);
  form.SelectBlockMode(mode);
  if (table) form.SetItemText(ids::kTableEdit, *table);
  if (data) form.SetItemText(ids::kDataEdit, *data);
  for (std::size_t i = 0; i < rowArgs.size(); ++i) {
    const int row = static_cast<int>(i) + 1;
    form.ClickCheck(row);
    const std::string& image = images[i];
    form.chooser = [&](const FileChooserRequest&) { return std::optional<std::string>(image); };
    BrowseImage(form, row);
    if (!form.messages.empty()) return kExitFailed;
    form.SetItemText(RowControlsFor(row).startEdit, rowArgs[i].start);
    form.SetItemText(RowControlsFor(row).endEdit, rowArgs[i].end);
  }
  form.chooser = [&](const FileChooserRequest&) { return std::optional<std::string>(job); };
  return ExportPartFile(form) ? kExitOk : kExitFailed;
}

const Command kNewCommand = {"new", "save a job as the window's EXPORT would",
    "Usage: folvane-cli new JOB.part --mode N [--table FILE] [--data FILE]\n"
    "                   --row IMAGE:START:END [--row ...]\n"
    "\n"
    "Writes the .part file that EXPORT writes with these rows checked in order. N is\n"
    "the block mode, 0 to 15. START and END are hexadecimal block numbers as typed in\n"
    "the window (at most 10000, at most 9 characters). Each image is measured in\n"
    "blocks of that mode. All paths are stored as absolute paths.\n",
    {{"mode", "table", "data", "row"}, {"row"}, {}},
    RunNew};

}  // namespace folvane::cli
