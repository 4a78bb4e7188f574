#pragma once
// Where the About command lives: the window menu of the title bar where the platform
// has one the program can add to, elsewhere the nearest place a user looks for it.
// Either way choosing it sends the window a wxEVT_MENU with kAboutCommand.

class wxTopLevelWindow;

namespace folvane::ui {

/// The About entry's text, with A as its mnemonic.
inline constexpr const char* kAboutEntryText = "关于 Folvane(&A)...";

/// Adds the About entry to `window` (each platform's half does it its own way).
void InstallAboutEntry(wxTopLevelWindow& window);

}  // namespace folvane::ui
