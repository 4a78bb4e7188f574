#pragma once
// Control identifiers of the main window. The core names controls by these numbers
// when it talks to the window, so the window and the in-memory form agree on them.

#include <array>
#include <optional>

#include "job/partition.hpp"

namespace folvane {

namespace ids {
inline constexpr int kMerge = 1;
inline constexpr int kExit = 2;
inline constexpr int kDataEdit = 1082;
inline constexpr int kDataBrowse = 1083;
inline constexpr int kTableEdit = 1084;
inline constexpr int kTableBrowse = 1085;
inline constexpr int kBlockModeList = 1086;
inline constexpr int kProgress = 1087;
inline constexpr int kStatus = 1089;
inline constexpr int kRemarkEdit = 1093;
inline constexpr int kImport = 1094;
inline constexpr int kExport = 1095;
}  // namespace ids

/// The controls of one partition row.
struct RowControls {
  int check;
  int pathEdit;
  int browse;
  int startEdit;
  int endEdit;

  /// The four controls that follow the check box: on when it is ticked, off when not.
  [[nodiscard]] constexpr std::array<int, 4> Inputs() const { return {browse, pathEdit, startEdit, endEdit}; }
};

/// Rows 1..16 in order. Rows 1 and 2 swap two identifiers against the pattern of
/// the others (row 1's end edit is 1022, row 2's path edit 1021).
inline constexpr std::array<RowControls, kRowCount> kRowControls = {{
    {1000, 1018, 1019, 1020, 1022}, {1001, 1021, 1023, 1024, 1025}, {1002, 1026, 1027, 1028, 1029},
    {1003, 1030, 1031, 1032, 1033}, {1004, 1034, 1035, 1036, 1037}, {1005, 1038, 1039, 1040, 1041},
    {1006, 1042, 1043, 1044, 1045}, {1007, 1046, 1047, 1048, 1049}, {1008, 1050, 1051, 1052, 1053},
    {1009, 1054, 1055, 1056, 1057}, {1010, 1058, 1059, 1060, 1061}, {1011, 1062, 1063, 1064, 1065},
    {1012, 1066, 1067, 1068, 1069}, {1013, 1070, 1071, 1072, 1073}, {1014, 1074, 1075, 1076, 1077},
    {1015, 1078, 1079, 1080, 1081},
}};

/// The controls of row 1..16.
constexpr const RowControls& RowControlsFor(int row) { return kRowControls.at(static_cast<std::size_t>(row - 1)); }

enum class BlockEdit { Start, End };

/// Which row's start or end edit `id` is, if it is one.
struct BlockEditRef {
  int row;
  BlockEdit which;
};
constexpr std::optional<BlockEditRef> FindBlockEdit(int id) {
  for (int row = 1; row <= kRowCount; ++row) {
    if (RowControlsFor(row).startEdit == id) return BlockEditRef{row, BlockEdit::Start};
    if (RowControlsFor(row).endEdit == id) return BlockEditRef{row, BlockEdit::End};
  }
  return std::nullopt;
}

}  // namespace folvane
