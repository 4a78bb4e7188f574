#pragma once
// The codecs of a job's ticked rows: the ECC scheme each row's slot names, built for
// the job's block mode, for the merge (page data laid out) and for the readers (raw
// pages checked, dumps corrected).

#include <array>
#include <functional>
#include <optional>
#include <string>

#include "ecc/page.hpp"
#include "job/partition.hpp"

namespace folvane {

struct RowCodecs {
  std::array<std::optional<PageCodec>, kRowCount> ecc;  ///< rows of page data
  std::array<std::optional<PageCodec>, kRowCount> raw;  ///< raw rows that should carry a scheme
  [[nodiscard]] bool Any() const;
  /// The merge's view: the codec of each row of page data, or null.
  [[nodiscard]] std::array<const PageCodec*, kRowCount> PageCodecs() const;
};

/// Each ticked row's codecs, for block mode `blockModeIndex`; nothing, and `problem`
/// names the row and says why (an unknown scheme with the known names, one that does
/// not fit the page with its arithmetic), when a scheme cannot be used.
std::optional<RowCodecs> MakeRowCodecs(const PartitionSet& set, const std::function<bool(int row)>& isTicked,
                                       int blockModeIndex, std::string& problem);

}  // namespace folvane
