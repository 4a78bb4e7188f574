// folvane-cli: the merge and the .part files from the command line, for build
// pipelines. Every job runs through the same in-memory form and core procedures as
// the window, so a job merged here gives the same files as in the window.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "block_text.hpp"
#include "exe_path.hpp"
#include "memory_form.hpp"
#include "part_file.hpp"
#include "procedures.hpp"

namespace {

using namespace folvane;

constexpr int kExitOk = 0;
constexpr int kExitWithMessages = 1;
constexpr int kExitFailed = 2;
constexpr int kExitUsage = 64;

constexpr const char* kVersion = "folvane-cli 1.4.0";

constexpr const char* kMainHelp =
    "usage: folvane-cli COMMAND [ARGS]\n"
    "\n"
    "commands:\n"
    "  merge JOB.part [--table FILE] [--data FILE]   merge a saved job\n"
    "  show JOB.part                                 print a saved job\n"
    "  table FILE                                    print and check a partition table file\n"
    "  new JOB.part --mode N [--table FILE] [--data FILE] --row IMAGE:START:END ...\n"
    "                                                save a job as the window's EXPORT would\n"
    "\n"
    "  --help       this text; COMMAND --help for one command\n"
    "  --version    the version\n";

const std::map<std::string, const char*> kCommandHelp = {
    {"merge",
     "usage: folvane-cli merge JOB.part [--table FILE] [--data FILE]\n"
     "\n"
     "Loads JOB.part as IMPORT does and merges it as the Merge button does. --table and\n"
     "--data replace the saved output paths. Messages and status texts go to standard\n"
     "error. Exit status: 0 done, 1 done but a message was shown, 2 ended early, 64 usage.\n"},
    {"show",
     "usage: folvane-cli show JOB.part\n"
     "\n"
     "Prints the output paths, the block mode and every saved row of JOB.part.\n"},
    {"table",
     "usage: folvane-cli table FILE\n"
     "\n"
     "Prints the records of a partition table file. Exit status 1 if the file is not\n"
     "512 bytes, a reserved word is not 0xFFFFFFFF, or a record follows the first\n"
     "all-0xFF one.\n"},
    {"new",
     "usage: folvane-cli new JOB.part --mode N [--table FILE] [--data FILE]\n"
     "                   --row IMAGE:START:END [--row ...]\n"
     "\n"
     "Writes the .part file that EXPORT writes with these rows checked in order. N is\n"
     "the block mode, 0 to 15. START and END are hexadecimal block numbers as typed in\n"
     "the window (at most 10000). Each image is measured in blocks of that mode.\n"},
};

// ---- output ---------------------------------------------------------------

/// Standard error, with a progress bar that redraws in place on a terminal.
class Console {
 public:
  Console() : tty_(::isatty(STDERR_FILENO) == 1) {}

  void Line(const std::string& text) {
    ClearBar();
    std::fprintf(stderr, "%s\n", text.c_str());
  }

  void Progress(std::uint32_t pos, std::uint32_t range) {
    if (!tty_ || range == 0) return;
    const auto now = std::chrono::steady_clock::now();
    if (barShown_ && pos != 0 && now - lastDraw_ < std::chrono::milliseconds(50)) return;
    lastDraw_ = now;
    constexpr int kWidth = 40;
    const double part = pos > range ? 1.0 : double(pos) / double(range);
    const int filled = static_cast<int>(part * kWidth);
    std::fprintf(stderr, "\r[%s%s] %3d%%", std::string(static_cast<std::size_t>(filled), '#').c_str(),
                 std::string(static_cast<std::size_t>(kWidth - filled), '.').c_str(), static_cast<int>(part * 100));
    std::fflush(stderr);
    barShown_ = true;
  }

  void ClearBar() {
    if (barShown_) std::fprintf(stderr, "\r\033[K");
    barShown_ = false;
  }

 private:
  bool tty_;
  bool barShown_ = false;
  std::chrono::steady_clock::time_point lastDraw_{};
};

// ---- arguments ------------------------------------------------------------

struct Args {
  std::vector<std::string> positional;
  std::map<std::string, std::vector<std::string>> options;
  bool help = false;
  std::string error;

  [[nodiscard]] std::optional<std::string> Option(const std::string& name) const {
    const auto it = options.find(name);
    if (it == options.end() || it->second.empty()) return std::nullopt;
    return it->second.back();
  }
};

Args Parse(int argc, char** argv, int first, const std::vector<std::string>& valueOptions) {
  Args a;
  for (int i = first; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      a.help = true;
    } else if (arg.rfind("--", 0) == 0 && arg.size() > 2) {
      std::string name = arg.substr(2), value;
      bool hasValue = false;
      if (const auto eq = name.find('='); eq != std::string::npos) {
        value = name.substr(eq + 1);
        name = name.substr(0, eq);
        hasValue = true;
      }
      if (std::find(valueOptions.begin(), valueOptions.end(), name) == valueOptions.end()) {
        a.error = "unknown option --" + name;
        return a;
      }
      if (!hasValue) {
        if (i + 1 >= argc) {
          a.error = "--" + name + " needs a value";
          return a;
        }
        value = argv[++i];
      }
      a.options[name].push_back(value);
    } else {
      a.positional.push_back(arg);
    }
  }
  return a;
}

int Usage(const std::string& command, const std::string& problem) {
  std::fprintf(stderr, "folvane-cli: %s\n%s", problem.c_str(),
               command.empty() ? kMainHelp : kCommandHelp.at(command));
  return kExitUsage;
}

/// A form that starts as the window does, with the window's default output paths.
MemoryForm FreshForm() {
  const std::string folder = DefaultOutputFolder();
  return MemoryForm(folder + "Data_Merge.bin", folder + "Partition_Table.bin");
}

void Connect(MemoryForm& form, Console& console) {
  form.onMessage = [&](const MemoryForm::Message& m) { console.Line(m.text); };
  form.onStatus = [&](const std::string& s) { console.Line(s); };
  form.onProgress = [&](std::uint32_t pos, std::uint32_t range) { console.Progress(pos, range); };
}

std::string Hex(std::uint64_t v) {
  char b[32];
  std::snprintf(b, sizeof b, "0x%llX", static_cast<unsigned long long>(v));
  return b;
}

std::string HexDec(std::uint64_t v) { return Hex(v) + " (" + std::to_string(v) + ")"; }

// ---- commands -------------------------------------------------------------

int Merge(const Args& args) {
  if (args.positional.size() != 1) return Usage("merge", "merge takes one JOB.part");
  Console console;
  MemoryForm form = FreshForm();
  Connect(form, console);
  const std::string job = args.positional[0];
  form.chooser = [&](const FileChooserRequest&) { return std::optional<std::string>(job); };
  if (!ImportPartFile(form)) return kExitFailed;
  form.chooser = nullptr;
  if (auto t = args.Option("table")) form.SetItemText(ids::kTableEdit, *t);
  if (auto d = args.Option("data")) form.SetItemText(ids::kDataEdit, *d);
  const MergeResult result =
      form.Merge([&](const RowRejection& r) { console.Line("folvane-cli: " + r.Describe()); });
  console.ClearBar();
  if (!result.completed) return kExitFailed;
  return form.messages.empty() ? kExitOk : kExitWithMessages;
}

/// Reads a .part file as IMPORT does; prints the message and gives nothing on failure.
std::optional<PartFileRecord> ReadJob(const std::string& path) {
  PartFileRecord::Bytes bytes{};
  auto file = File::OpenRead(path);
  if (!file) {
    std::fprintf(stderr, "%s\n", file.error().Message().c_str());
    return std::nullopt;
  }
  if (auto got = file->ReadAt(0, bytes); !got) {
    std::fprintf(stderr, "%s\n", got.error().Message().c_str());
    return std::nullopt;
  }
  auto record = PartFileRecord::Decode(bytes);
  if (!record) std::fprintf(stderr, "%s\n", std::string(text::kBadPartFile).c_str());
  return record;
}

int Show(const Args& args) {
  if (args.positional.size() != 1) return Usage("show", "show takes one JOB.part");
  const auto record = ReadJob(args.positional[0]);
  if (!record) return kExitFailed;
  std::printf("Table: %s\n", record->tablePath.c_str());
  std::printf("Data:  %s\n", record->dataPath.c_str());
  const int mode = record->blockModeIndex;
  const FlashGeometry g = LookupBlockMode(mode);
  if (mode < kBlockModeCount) {
    std::printf("Block mode: %d %s, block size %s bytes, page size %s bytes\n", mode,
                std::string(kBlockModes[static_cast<std::size_t>(mode)].label).c_str(), HexDec(g.blockSize).c_str(),
                HexDec(g.pageSize).c_str());
  } else {
    std::printf("Block mode: none (%d), so the default block size %s bytes, page size %s bytes\n", mode,
                HexDec(g.blockSize).c_str(), HexDec(g.pageSize).c_str());
  }
  if (record->rowCount > kRowCount) {
    std::printf("Rows: %d stored, the first %d used\n", record->rowCount, kRowCount);
  } else {
    std::printf("Rows: %d\n", record->rowCount);
  }
  for (int i = 0; i < record->UsableRows(); ++i) {
    const PartFileRow& row = record->rows[static_cast<std::size_t>(i)];
    const std::string length = row.imageBlocks == kUnset ? "unset" : HexDec(row.imageBlocks) + " blocks";
    std::printf("  FILE%-2d %s\n         start 0x%s  end 0x%s  length %s\n", i + 1, row.imagePath.c_str(),
                row.startText.c_str(), row.endText.c_str(), length.c_str());
  }
  return kExitOk;
}

int Table(const Args& args) {
  if (args.positional.size() != 1) return Usage("table", "table takes one FILE");
  const std::string path = args.positional[0];
  auto file = File::OpenRead(path);
  if (!file) {
    std::fprintf(stderr, "%s\n", file.error().Message().c_str());
    return kExitFailed;
  }
  TableArea area{};
  area.fill(0xFF);
  auto got = file->ReadAt(0, area);
  auto size = file->Size();
  if (!got || !size) {
    std::fprintf(stderr, "%s\n", (!got ? got.error() : size.error()).Message().c_str());
    return kExitFailed;
  }
  std::vector<std::string> problems;
  if (*size != kTableSize) {
    problems.push_back(path + " is " + std::to_string(*size) + " bytes long, not 512");
  }
  const auto entries = DecodePartitionTable(area);
  std::printf("%-4s %-20s %-20s %-20s\n", "row", "start", "end", "blocks");
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const PartitionEntry& e = entries[i];
    std::printf("%-4zu %-20s %-20s %-20s\n", i + 1, HexDec(e.startBlock).c_str(), HexDec(e.endBlock).c_str(),
                HexDec(e.imageBlocks).c_str());
    if (e.reserved != 0xFFFFFFFF) {
      problems.push_back("record " + std::to_string(i + 1) + ": reserved word is " + Hex(e.reserved) +
                         ", not 0xFFFFFFFF");
    }
  }
  for (std::size_t at = (entries.size() + 1) * PartitionEntry::kSize; at < kTableSize; at += PartitionEntry::kSize) {
    for (std::size_t b = at; b < at + PartitionEntry::kSize; ++b) {
      if (area[b] != 0xFF) {
        problems.push_back("record " + std::to_string(at / PartitionEntry::kSize + 1) +
                           " follows the end of the table (the first all-0xFF record)");
        break;
      }
    }
  }
  for (const auto& p : problems) std::fprintf(stderr, "folvane-cli: %s\n", p.c_str());
  return problems.empty() ? kExitOk : kExitWithMessages;
}

int New(const Args& args) {
  if (args.positional.size() != 1) return Usage("new", "new takes one JOB.part");
  const auto modeText = args.Option("mode");
  if (!modeText) return Usage("new", "--mode is required");
  char* end = nullptr;
  const long mode = std::strtol(modeText->c_str(), &end, 10);
  if (modeText->empty() || *end != '\0' || mode < 0 || mode >= kBlockModeCount) {
    return Usage("new", "--mode takes a block mode from 0 to 15");
  }
  const auto rowIt = args.options.find("row");
  const std::vector<std::string> rows = rowIt == args.options.end() ? std::vector<std::string>{} : rowIt->second;
  if (rows.size() > static_cast<std::size_t>(kRowCount)) return Usage("new", "at most 16 rows");

  struct RowArg {
    std::string image, start, end;
  };
  std::vector<RowArg> rowArgs;
  for (const std::string& r : rows) {
    const auto second = r.rfind(':');
    const auto first = second == std::string::npos || second == 0 ? std::string::npos : r.rfind(':', second - 1);
    if (first == std::string::npos) return Usage("new", "--row takes IMAGE:START:END, not '" + r + "'");
    RowArg rowArg{r.substr(0, first), r.substr(first + 1, second - first - 1), r.substr(second + 1)};
    for (const std::string* t : {&rowArg.start, &rowArg.end}) {
      const BlockTextCheck check = CheckBlockText(*t);
      if (check.verdict != BlockTextVerdict::Accepted) {
        std::fprintf(stderr, "%s\n",
                     std::string(check.verdict == BlockTextVerdict::NotHex ? text::kErrorInputNum
                                                                           : text::kTooHugeNum)
                         .c_str());
        return Usage("new", "block number '" + *t + "' of --row " + r + " is refused");
      }
    }
    rowArgs.push_back(rowArg);
  }

  Console console;
  MemoryForm form = FreshForm();
  Connect(form, console);
  form.SelectBlockMode(static_cast<int>(mode));
  if (auto t = args.Option("table")) form.SetItemText(ids::kTableEdit, *t);
  if (auto d = args.Option("data")) form.SetItemText(ids::kDataEdit, *d);
  for (std::size_t i = 0; i < rowArgs.size(); ++i) {
    const int row = static_cast<int>(i) + 1;
    form.ClickCheck(row);
    std::error_code ec;
    const std::string image = std::filesystem::absolute(rowArgs[i].image, ec).lexically_normal().string();
    form.chooser = [&](const FileChooserRequest&) { return std::optional<std::string>(image); };
    BrowseImage(form, row);
    if (!form.messages.empty()) return kExitFailed;
    form.SetItemText(RowControlsFor(row).startEdit, rowArgs[i].start);
    form.SetItemText(RowControlsFor(row).endEdit, rowArgs[i].end);
  }
  const std::string job = args.positional[0];
  form.chooser = [&](const FileChooserRequest&) { return std::optional<std::string>(job); };
  return ExportPartFile(form) ? kExitOk : kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage("", "no command given");
  const std::string command = argv[1];
  if (command == "--version") {
    std::printf("%s\n", kVersion);
    return kExitOk;
  }
  if (command == "--help" || command == "-h") {
    std::printf("%s", kMainHelp);
    return kExitOk;
  }
  if (kCommandHelp.count(command) == 0) return Usage("", "unknown command '" + command + "'");
  const std::map<std::string, std::vector<std::string>> valueOptions = {
      {"merge", {"table", "data"}}, {"show", {}}, {"table", {}}, {"new", {"mode", "table", "data", "row"}}};
  const Args args = Parse(argc, argv, 2, valueOptions.at(command));
  if (args.help) {
    std::printf("%s", kCommandHelp.at(command));
    return kExitOk;
  }
  if (!args.error.empty()) return Usage(command, args.error);
  if (command == "merge") return Merge(args);
  if (command == "show") return Show(args);
  if (command == "table") return Table(args);
  return New(args);
}
