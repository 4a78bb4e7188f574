// Runs the window tests inside a wxWidgets application on the X server given by
// DISPLAY (ctest starts them under xvfb-run).
#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/init.h>

// GTK and fontconfig keep caches for the life of the process; under the sanitizer
// build these would read as leaks of ours.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

namespace {
class TestApp : public wxApp {
 public:
  bool OnInit() override { return true; }
};
}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  wxApp::SetInstance(new TestApp);
  if (!wxEntryStart(argc, argv) || !wxTheApp->CallOnInit()) {
    std::fprintf(stderr, "cannot start the window system (is DISPLAY set?)\n");
    return 1;
  }
  const int result = RUN_ALL_TESTS();
  wxTheApp->OnExit();
  wxEntryCleanup();
  return result;
}
