#include "layout.hpp"

#include <array>

#include "dialog/controls.hpp"
#include "version.hpp"

namespace folvane::ui {

namespace {

using K = ControlKind;

// The controls before the rows.
const std::vector<ControlSpec> kHead = {
    {ids::kMerge, K::DefaultButton, "Merge", 61, 385, 50, 14},
    {ids::kExit, K::PushButton, "Exit", 309, 385, 50, 14},
};

// Where each row stands and the three widths that differ from row to row: the
// check box, the "Start Block 0x" label and the "End Block 0x" label.
struct RowPlace {
  int y;
  int checkWidth;
  int startLabelWidth;
  int endLabelWidth;
};
constexpr std::array<RowPlace, kRowCount> kRowPlaces = {{
    {73, 34, 56, 51},  {91, 33, 57, 48},  {109, 33, 57, 49}, {127, 33, 57, 49},
    {145, 33, 57, 49}, {163, 33, 57, 49}, {181, 33, 57, 49}, {199, 33, 57, 49},
    {217, 33, 57, 49}, {233, 36, 57, 49}, {251, 36, 57, 49}, {269, 36, 57, 49},
    {287, 36, 57, 49}, {303, 36, 57, 49}, {321, 36, 57, 49}, {337, 36, 57, 49},
}};

// The controls after the rows.
const std::vector<ControlSpec> kTail = {
    {ids::kDataEdit, K::Edit, "", 61, 30, 161, 14},
    {kNoId, K::Label, "Data:", 16, 31, 23, 12},
    {ids::kDataBrowse, K::PushButton, "Browse", 225, 29, 43, 14},
    {kNoId, K::Label, "Block Mode", 16, 46, 43, 12},
    {ids::kBlockModeList, K::DropList, "", 61, 45, 111, 330},
    {kNoId, K::GroupBox, "Partition Parameter", 7, 61, 435, 295},
    {ids::kProgress, K::Progress, "", 43, 367, 390, 8},
    {ids::kStatus, K::CentredLabel, "IDLE", 7, 367, 42, 13},
    {ids::kTableEdit, K::Edit, "", 61, 15, 161, 14},
    {kNoId, K::Label, "Table:", 16, 16, 25, 12},
    {ids::kTableBrowse, K::PushButton, "Browse", 225, 14, 43, 14},
    {ids::kRemarkEdit, K::Edit, "", 294, 45, 131, 12, kHidden},
    {kNoId, K::Label, "备注（少于60个字）", 247, 46, 43, 16, kHidden},
    {ids::kImport, K::PushButton, "IMPORT", 140, 385, 50, 14},
    {ids::kExport, K::PushButton, "EXPORT", 227, 385, 50, 14},
};

std::vector<ControlSpec> BuildMain() {
  std::vector<ControlSpec> all = kHead;
  for (int row = 1; row <= kRowCount; ++row) {
    const RowControls& c = RowControlsFor(row);
    const RowPlace& p = kRowPlaces[static_cast<std::size_t>(row - 1)];
    const std::vector<ControlSpec> rowControls = {
        {c.check, K::CheckBox, "File" + std::to_string(row), 15, p.y, p.checkWidth, 10},
        {c.pathEdit, K::Edit, "", 53, p.y, 160, 14, kDisabled},
        {c.browse, K::PushButton, "Browse", 219, p.y, 38, 14, kDisabled},
        {c.startEdit, K::Edit, "", 321, p.y, 25, 15, kDisabled},
        {c.endEdit, K::Edit, "", 405, p.y, 25, 15, kDisabled},
        {kNoId, K::Label, "Start Block 0x", 263, p.y + 2, p.startLabelWidth, 12},
        {kNoId, K::Label, "End Block 0x", 353, p.y + 2, p.endLabelWidth, 12},
    };
    all.insert(all.end(), rowControls.begin(), rowControls.end());
  }
  all.insert(all.end(), kTail.begin(), kTail.end());
  return all;
}

}  // namespace

const std::vector<ControlSpec>& MainDialogTemplate() {
  static const std::vector<ControlSpec> table = BuildMain();
  return table;
}

const std::vector<ControlSpec>& AboutDialogTemplate() {
  static const std::vector<ControlSpec> table = {
      {kNoId, K::Icon, "", 11, 17, 20, 20},
      {kNoId, K::Label, std::string("Folvane ") + folvane::kShortVersion + " 版", 40, 10, 119, 8},
      {kNoId, K::Label, "闪存分区合并工具", 39, 31, 119, 8},
      {1, K::DefaultButton, "确定", 208, 7, 50, 14},
      {kNoId, K::Label, "Folvane 开发团队", 39, 19, 119, 8},
  };
  return table;
}

}  // namespace folvane::ui
