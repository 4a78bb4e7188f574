// folvane-cli merge: a saved job merged exactly as the window's Merge button does,
// with outputs that replace the old ones only once the merge has succeeded.

#include <string>

#include "cli.hpp"
#include "procedures.hpp"

namespace folvane::cli {

namespace text {
inline constexpr std::string_view kDataIsJob = "Data File is also the job file.";
inline constexpr std::string_view kTableIsJob = "Table File is also the job file.";
}  // namespace text

int RunMerge(const Args& args) {
  if (args.positional.size() != 1) return Usage(CommandNamed("merge"), "merge takes one JOB.part");
  Console console;
  MemoryForm form = FreshForm();
  Connect(form, console);
  const std::string job = args.positional[0];
  if (!LoadJob(form, job)) return kExitFailed;
  if (auto t = args.Option("table")) form.SetItemText(ids::kTableEdit, *t);
  if (auto d = args.Option("data")) form.SetItemText(ids::kDataEdit, *d);

  // The merge replaces its outputs whole: one that names the job file would turn the
  // job into a data image or a table.
  if (SameFile(form.GetDataPathText(), job) || SameFile(form.GetTablePathText(), job)) {
    console.Line(std::string(SameFile(form.GetDataPathText(), job) ? text::kDataIsJob : text::kTableIsJob));
    return kExitFailed;
  }

  MergeOptions options;
  options.replaceOutputs = true;
  options.onRejected = [&](const RowRejection& r) { console.Line("folvane-cli: " + r.Describe()); };
  options.onDetail = [&](const std::string& line) { console.Line("folvane-cli: " + line); };
  const MergeResult result = form.Merge(options);
  console.ClearBar();
  if (!result.completed) return kExitFailed;
  return form.messages.empty() ? kExitOk : kExitWithMessages;
}

}  // namespace folvane::cli
