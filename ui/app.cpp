// CMergeApp: runs the one dialog modally and ends; no main loop follows it.
#include <wx/app.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "merge_dialog.hpp"
#include "version.hpp"
#include "wx_text.hpp"

namespace {

constexpr int kExitUsage = 64;

// help2man writes folvane.1 from these two texts.
constexpr const char* kHelp =
    "Usage: folvane [JOB.part]\n"
    "Opens the Folvane window. Given JOB.part, loads it at start-up exactly as IMPORT\n"
    "does: the same messages, and a file that is not a job is refused the same way.\n"
    "\n"
    "  --help       this text\n"
    "  --version    the version\n";

/// The job named on the command line, as the bytes the file system knows it by.
std::optional<std::string> startJob;

}  // namespace

class CMergeApp : public wxApp {
 public:
  bool OnInit() override {
    auto* dialog = new CMergeDlg(nullptr);
#ifdef __WXMSW__
    // Windows passes the job (opening a .part file from the desktop does that) in the
    // wide command line, which wxWidgets has already taken apart.
    if (argc > 1) startJob = folvane::ui::FromWx(argv[1]);
#endif
    if (startJob) {
      // Once the window shows, the job comes in through IMPORT itself, with the
      // chooser answering the file given; its messages then stand over the window.
      dialog->CallAfter([dialog] {
        const std::string job = *startJob;
        dialog->SetFileChooser([job](const folvane::FileChooserRequest&) { return std::optional<std::string>(job); });
        dialog->OnImport();
        dialog->SetFileChooser(nullptr);
      });
    }
    dialog->ShowModal();  // the result is not examined
    dialog->Destroy();
    return true;
  }
  // Nothing runs after the dialog: the process ends as soon as it is closed.
  int OnRun() override { return 0; }
};

#ifdef __WXMSW__
wxIMPLEMENT_APP(CMergeApp);
#else
wxIMPLEMENT_APP_NO_MAIN(CMergeApp);

int main(int argc, char** argv) {
  // The arguments are read here, before the toolkit starts, so that --help and
  // --version answer without a display and a job's name reaches IMPORT byte for byte.
  bool optionsEnd = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (!optionsEnd && std::strcmp(arg, "--help") == 0) {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (!optionsEnd && std::strcmp(arg, "--version") == 0) {
      std::printf("folvane %s\n", folvane::kVersion);
      return 0;
    }
    if (!optionsEnd && std::strcmp(arg, "--") == 0) {
      optionsEnd = true;
      continue;
    }
    if ((!optionsEnd && arg[0] == '-') || startJob) {
      std::fprintf(stderr, "folvane: takes at most one JOB.part (%s)\n%s", arg, kHelp);
      return kExitUsage;
    }
    startJob = std::string(arg);
  }
  int toolkitArgc = 1;
  return wxEntry(toolkitArgc, argv);
}
#endif
