#pragma once
// What the commands of folvane-cli share: exit statuses, the argument parser, the
// console on standard error, and the loaded job every command merges, checks or verifies.

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "merge/loaded_job.hpp"
#include "ecc/page.hpp"
#include "flash/row_codecs.hpp"
#include "job/block_text.hpp"
#include "job/job.hpp"
#include "job/job_file.hpp"
#include "job/part_file.hpp"

namespace folvane::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitWithMessages = 1;
inline constexpr int kExitFailed = 2;
inline constexpr int kExitUsage = 64;

/// The arguments after the command's name.
struct Args {
  std::vector<std::string> positional;
  std::map<std::string, std::vector<std::string>> options;
  std::map<std::string, bool> flags;
  bool help = false;
  std::string error;

  [[nodiscard]] std::optional<std::string> Option(const std::string& name) const;
  [[nodiscard]] std::vector<std::string> All(const std::string& name) const;
  [[nodiscard]] bool Flag(const std::string& name) const { return flags.count(name) != 0; }
};

/// What a command accepts: options that take a value (each at most once, unless
/// listed as repeatable) and options that stand alone.
struct Grammar {
  std::vector<std::string> valueOptions;
  std::vector<std::string> repeatable;
  std::vector<std::string> flags;
};

Args Parse(int argc, char** argv, int first, const Grammar& grammar);

/// One command: its name, its help text and what it does.
struct Command {
  const char* name;
  const char* summary;  ///< one line for the main help
  const char* help;
  Grammar grammar;
  int (*run)(const Args&);
};

/// Prints the problem and the command's usage on standard error; gives 64.
int Usage(const Command& command, const std::string& problem);

/// The commands, each defined with its code in its own file.
extern const Command kMergeCommand;
extern const Command kCheckCommand;
extern const Command kVerifyCommand;
extern const Command kShowCommand;
extern const Command kTableCommand;
extern const Command kNewCommand;
extern const Command kEccCommand;

/// The grammar of a command that loads a job and may take other output paths: the
/// options --table and --data every such command shares, then its own.
Grammar JobGrammar(std::vector<std::string> valueOptions, std::vector<std::string> repeatable,
                   std::vector<std::string> flags);

/// Standard error, with a progress bar that redraws in place on a terminal.
class Console {
 public:
  Console();
  void Line(const std::string& text);
  /// "folvane-cli: " and a line that may carry paths as given, made printable.
  void Detail(const std::string& line);
  void Progress(std::uint32_t pos, std::uint32_t range);
  void ClearBar();

 private:
  bool tty_;
  bool barShown_ = false;
  std::chrono::steady_clock::time_point lastDraw_{};
};

/// A job with nothing loaded yet, with the window's default output paths.
LoadedJob FreshJob();
/// Sends the job's messages, status texts and progress to the console.
void Connect(LoadedJob& job, Console& console);
/// A job read from a .part as a text job would hold it: a relative path in a .part
/// is relative to the working directory, and is made absolute.
Job WithAbsolutePaths(Job job);

/// A job file of either form, read.
struct JobFile {
  Job job;
  std::optional<PartFileRecord> record;  ///< a .part's record as read (its stored row count)
  bool text = false;                     ///< a text job
};
/// Reads a job file: a .part (a file that starts as one, or whose name ends in .part)
/// as IMPORT reads it, anything else as a text job. Nothing when it cannot be read,
/// with the message printed and `status` set: 2, or 64 for a text job that is not one.
std::optional<JobFile> ReadJobFile(const std::string& path, int& status);
/// Loads a job file: a .part as IMPORT does, a text job as IMPORT would load the .part
/// it converts to, with its rows' names. 0, or the status it fails with (the message
/// shown): 2, or 64 for a text job that is not one. A file that cannot be read is
/// named with its cause: the window's text names none.
int LoadJob(LoadedJob& loaded, const std::string& job);
/// A file error as the commands say it in their own words: the cause, naming the file
/// (or, for an input that is no file, what it is), in the printable form.
std::string FileErrorText(const FileError& error);
/// The same line as given, for the job's messages and the documents, which make it
/// printable where they show it.
std::string FileErrorLine(const FileError& error);

/// A text from a file made safe for a terminal: control characters and backslashes
/// are written as C escapes, so no stored byte can move the cursor or fake a line.
std::string Printable(const std::string& text);

/// Loads JOB.part into a fresh job connected to `console` and applies --table and
/// --data; false (the message shown) if the job cannot be loaded.
/// `status`, when given, learns the status a failure ends with (see LoadJob).
bool OpenJob(LoadedJob& loaded, Console& console, const Args& args, int* status = nullptr);
/// Refuses a job whose outputs name the job file itself, which a merge would turn
/// into a data image or a table; true (the message shown) if refused.
bool OutputsAreTheJob(LoadedJob& loaded, const std::string& job);

/// Applies --ecc ROW=SCHEME and --raw-ecc ROW=SCHEME to the loaded job's rows, then
/// builds every ticked row's codec for the job's block mode. Nothing, with `problem`
/// saying why (a row that is not ticked, both options for one row, an unknown scheme
/// with the known names, one that does not fit the page with its arithmetic), when
/// the job cannot run so: a usage error.
std::optional<RowCodecs> ReadRowCodecs(LoadedJob& loaded, const Args& args, std::string& problem);

int RunMerge(const Args& args);
int RunCheck(const Args& args);
int RunVerify(const Args& args);
int RunShow(const Args& args);
int RunTable(const Args& args);
int RunNew(const Args& args);
int RunEcc(const Args& args);

}  // namespace folvane::cli
