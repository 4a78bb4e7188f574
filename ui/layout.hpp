#pragma once
// The main dialog's template: every control with its identifier, kind, text, place
// and size in dialog units and its initial state, in creation (= Tab) order.

#include <string>
#include <vector>

namespace folvane::ui {

enum class ControlKind {
  DefaultButton,  ///< push button that Enter presses
  PushButton,
  CheckBox,
  Edit,           ///< single-line edit with border, scrolls horizontally
  Label,          ///< static text, left-aligned
  CentredLabel,   ///< static text, centred
  GroupBox,
  DropList,       ///< drop-down list without typing
  Progress,
  Icon,
};

enum ControlFlags : unsigned {
  kVisible = 0,
  kHidden = 1u << 0,
  kDisabled = 1u << 1,
};

/// A control without an identifier of its own (labels, the group box).
inline constexpr int kNoId = -1;

struct ControlSpec {
  int id;
  ControlKind kind;
  std::string text;
  int x, y, w, h;
  unsigned flags = kVisible;
};

/// The 129 controls of the main dialog, in creation order.
const std::vector<ControlSpec>& MainDialogTemplate();

/// The main dialog's client size in dialog units.
inline constexpr int kMainWidth = 460;
inline constexpr int kMainHeight = 407;

/// The about box: 265 x 78 dialog units.
const std::vector<ControlSpec>& AboutDialogTemplate();
inline constexpr int kAboutWidth = 265;
inline constexpr int kAboutHeight = 78;

}  // namespace folvane::ui
