#include "cli.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <iterator>

#include <fmt/format.h>
#include <utf8cpp/utf8.h>

#include "io/console.hpp"
#include "io/exe_path.hpp"
#include "io/utf8_path.hpp"
#include "job/text_job.hpp"
#include "flash/bad_blocks.hpp"
#include "flash/pages.hpp"
#include "io/file_io.hpp"
#include "job/job_file.hpp"

namespace folvane::cli {

std::optional<std::string> Args::Option(const std::string& name) const {
  const auto it = options.find(name);
  if (it == options.end() || it->second.empty()) return std::nullopt;
  return it->second.back();
}

std::vector<std::string> Args::All(const std::string& name) const {
  const auto it = options.find(name);
  return it == options.end() ? std::vector<std::string>{} : it->second;
}

Grammar JobGrammar(std::vector<std::string> valueOptions, std::vector<std::string> repeatable,
                   std::vector<std::string> flags) {
  valueOptions.insert(valueOptions.begin(), {"table", "data"});
  return {std::move(valueOptions), std::move(repeatable), std::move(flags)};
}

Args Parse(int argc, char** argv, int first, const Grammar& grammar) {
  Args a;
  auto listed = [](const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
  };
  bool onlyPositional = false;
  for (int i = first; i < argc; ++i) {
    const std::string arg = argv[i];
    if (onlyPositional || arg.rfind("--", 0) != 0 || arg.size() == 2) {
      if (arg == "--" && !onlyPositional) {
        onlyPositional = true;
      } else if (arg == "-h" && !onlyPositional) {
        a.help = true;
      } else {
        a.positional.push_back(arg);
      }
      continue;
    }
    std::string name = arg.substr(2), value;
    bool hasValue = false;
    if (const auto eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      hasValue = true;
    }
    if (name == "help") {
      a.help = true;
      continue;
    }
    if (listed(grammar.flags, name)) {
      if (hasValue || a.flags.count(name)) {
        a.error = hasValue ? "--" + name + " takes no value" : "--" + name + " is given twice";
        return a;
      }
      a.flags[name] = true;
      continue;
    }
    if (!listed(grammar.valueOptions, name)) {
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
    // A second value would silently win over the first: say so instead.
    if (a.options.count(name) && !listed(grammar.repeatable, name)) {
      a.error = "--" + name + " is given twice";
      return a;
    }
    a.options[name].push_back(value);
  }
  return a;
}

int Usage(const Command& command, const std::string& problem) {
  std::fprintf(stderr, "folvane-cli: %s\n%s", problem.c_str(), command.help);
  return kExitUsage;
}

Console::Console() : tty_(StandardErrorIsTerminal()) {}

void Console::Line(const std::string& text) {
  ClearBar();
  std::fprintf(stderr, "%s\n", text.c_str());
}

void Console::Progress(std::uint32_t pos, std::uint32_t range) {
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

void Console::Detail(const std::string& line) { Line("folvane-cli: " + Printable(line)); }

void Console::ClearBar() {
  if (barShown_) std::fprintf(stderr, "\r\033[K");
  barShown_ = false;
}

LoadedJob FreshJob() { return LoadedJob(DefaultDataPath(), DefaultTablePath()); }

void Connect(LoadedJob& job, Console& console) {
  // The job's messages carry paths as they were typed or stored: they reach the
  // terminal in the printable form, like every other line. The one text of the
  // window's own with a line break in it keeps it as the window shows it.
  job.onMessage = [&](const ShownMessage& m) {
    console.Line(m.text == text::kErrorInputNum ? m.text : Printable(m.text));
  };
  job.onStatus = [&](const std::string& s) { console.Line(s); };
  job.onProgress = [&](std::uint32_t pos, std::uint32_t range) { console.Progress(pos, range); };
}

Job WithAbsolutePaths(Job job) {
  auto absolute = [](std::string& p) {
    if (!p.empty()) p = AbsolutePath(p);
  };
  if (job.tablePath) absolute(*job.tablePath);
  if (job.dataPath) absolute(*job.dataPath);
  for (JobRow& row : job.rows) absolute(row.imagePath);
  return job;
}

std::optional<JobFile> ReadJobFile(const std::string& path, int& status) {
  JobFileRead read = ReadJobFileAt(path, &FileErrorText);
  status = read.outcome == JobLoad::kNotAJob ? kExitUsage : kExitFailed;
  if (read.outcome == JobLoad::kNotAJob) {
    std::fprintf(stderr, "folvane-cli: %s\n", Printable(read.refusal).c_str());
    return std::nullopt;
  }
  if (read.outcome != JobLoad::kLoaded) {
    std::fprintf(stderr, "%s\n", read.refusal.c_str());
    return std::nullopt;
  }
  JobFile out;
  if (read.part) {
    out.job = JobFromPartRecord(*read.part);
    out.record = std::move(read.part);
    return out;
  }
  out.job = std::move(*read.text);
  out.text = true;
  return out;
}

int LoadJob(LoadedJob& loaded, const std::string& job) {
  switch (loaded.LoadFile(job, &FileErrorLine)) {
    case JobLoad::kLoaded: return kExitOk;
    case JobLoad::kNotAJob: return kExitUsage;
    case JobLoad::kUnreadable: break;
  }
  return kExitFailed;
}

bool OpenJob(LoadedJob& loaded, Console& console, const Args& args, int* status) {
  Connect(loaded, console);
  const int outcome = LoadJob(loaded, args.positional.at(0));
  if (status) *status = outcome;
  if (outcome != kExitOk) return false;
  if (auto t = args.Option("table")) loaded.tablePath = *t;
  if (auto d = args.Option("data")) loaded.dataPath = *d;
  return true;
}

std::optional<RowCodecs> ReadRowCodecs(LoadedJob& loaded, const Args& args, std::string& problem) {
  // The options name rows by number; each replaces what the job says of its row.
  std::array<bool, kRowCount> given{};
  for (const auto& [option, raw] : {std::pair{"ecc", false}, {"raw-ecc", true}}) {
    for (const std::string& value : args.All(option)) {
      const auto eq = value.find('=');
      const auto row = eq == std::string::npos ? std::nullopt : ParseCount(value.substr(0, eq), kRowCount);
      if (!row || *row == 0) {
        problem = "--" + std::string(option) + " takes ROW=SCHEME, a row from 1 to 16, not '" + Printable(value) + "'";
        return std::nullopt;
      }
      const int r = static_cast<int>(*row);
      if (!loaded.IsRowChecked(r)) {
        problem = "--" + std::string(option) + " " + Printable(value) + ": row " + std::to_string(r) + " is not ticked";
        return std::nullopt;
      }
      if (given[static_cast<std::size_t>(r - 1)]) {
        problem = "row " + std::to_string(r) + " is given more than one scheme (--ecc and --raw-ecc exclude each other)";
        return std::nullopt;
      }
      given[static_cast<std::size_t>(r - 1)] = true;
      PartitionSlot& slot = loaded.set.Slot(r);
      (raw ? slot.rawEcc : slot.ecc) = value.substr(eq + 1);
      (raw ? slot.ecc : slot.rawEcc).clear();
    }
  }
  return MakeRowCodecs(loaded.set, [&](int row) { return loaded.IsRowChecked(row); }, loaded.blockMode, problem);
}

bool OutputsAreTheJob(LoadedJob& loaded, const std::string& job) {
  const bool data = SameFile(loaded.dataPath, job);
  if (!data && !SameFile(loaded.tablePath, job)) return false;
  loaded.ShowMessage(data ? "Data File is also the job file." : "Table File is also the job file.", MessageIcon::Warning);
  return true;
}

std::string FileErrorLine(const FileError& error) { return error.Line(); }

std::string FileErrorText(const FileError& error) { return Printable(FileErrorLine(error)); }

// Where the backslash separates a path's folders it prints as itself, or no path
// could be copied from a message; elsewhere it is doubled, so that the escapes below
// are told from a name's own text.
std::string Printable(const std::string& text) {
  std::string out;
  const auto escape = [&out](std::string::const_iterator from, std::string::const_iterator to) {
    for (; from != to; ++from) fmt::format_to(std::back_inserter(out), "\\x{:02X}", static_cast<unsigned char>(*from));
  };
  for (auto at = text.begin(); at != text.end();) {
    const auto invalid = utf8::find_invalid(at, text.end());
    while (at != invalid) {
      const auto start = at;
      const std::uint32_t c = utf8::unchecked::next(at);
      // C0 and C1 controls and DEL are escaped, byte by byte.
      if (c < 0x20 || (c >= 0x7F && c < 0xA0)) {
        escape(start, at);
      } else if (c == '\\' && !BackslashSeparatesPaths()) {
        out += "\\\\";
      } else {
        out.append(start, at);
      }
    }
    // A byte that is not UTF-8 (a path saved on a Chinese Windows) is escaped alone;
    // the bytes after it are read afresh.
    if (at != text.end()) {
      escape(at, at + 1);
      ++at;
    }
  }
  return out;
}

}  // namespace folvane::cli
