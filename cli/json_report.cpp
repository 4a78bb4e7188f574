#include "json_report.hpp"

#include <cstdio>
#include <optional>

#include "job/block_mode.hpp"
#include "job/part_file.hpp"
#include "terminal_map.hpp"

namespace folvane::cli {

nlohmann::json JsonDocument(const std::string& command) {
  return {{"command", command}, {"version", kJsonVersion}};
}

void PrintJson(const nlohmann::json& document) {
  const std::string text = document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

manifest::ReportData ReportDataOf(const std::string& command, const std::string& jobPath, LoadedJob& loaded,
                      const MergeResult& result, const std::optional<BadBlockSet>& badBlocks) {
  return manifest::CollectReport(command,
                       {jobPath, loaded.blockMode, loaded.geometry, loaded.dataPath,
                        loaded.tablePath, LayoutOf(loaded, badBlocks)},
                       result);
}

namespace {

// A block field: null while it holds the unset value.
nlohmann::json Block(std::uint32_t value) { return value == kUnset ? nlohmann::json() : nlohmann::json(value); }

}  // namespace

std::optional<std::uint64_t> ShownSpareBlocks(const PartitionSlot& slot, std::uint32_t imageBlocks) {
  const std::uint64_t range = RangeBlocks(slot);
  if (range == 0 || imageBlocks == kUnset) return std::nullopt;
  return SpareBlocks(range, imageBlocks);
}

nlohmann::json InPlaceJson(InPlaceReason reason) {
  if (reason == InPlaceReason::None) return nullptr;
  return std::string(InPlaceText(reason));
}

int MergeExitStatus(const LoadedJob& loaded, const MergeResult& result) {
  if (!result.completed) return 2;
  return loaded.messages.empty() && RecordOverlaps(result).empty() ? 0 : 1;
}

std::vector<RangeOverlap> RecordOverlaps(const MergeResult& result) {
  if (!result.tableBuilt) return {};
  return result.plan.overlaps;
}

std::string OverlapWarning(const RangeOverlap& overlap) {
  return "warning: " + overlap.Describe() + "; their records overlap, which a programmer misreads";
}

nlohmann::json OverlapsJson(const std::vector<RangeOverlap>& overlaps) {
  nlohmann::json list = nlohmann::json::array();
  for (const RangeOverlap& o : overlaps) {
    list.push_back({{"row", o.row},
                    {"laterRow", o.laterRow},
                    {"firstBlock", o.firstBlock},
                    {"lastBlock", o.lastBlock},
                    {"warning", OverlapWarning(o)}});
  }
  return list;
}

namespace {

// One ticked row as the job holds it and the run decided it.
nlohmann::json RowJson(const LoadedJob& loaded, const MergeResult& result, int row) {
  const PartitionSlot& slot = loaded.set.Slot(row);
  const PlannedRow& planned = result.plan.Row(row);
  nlohmann::json r;
  r["row"] = row;
  r["name"] = slot.name.empty() ? nlohmann::json() : nlohmann::json(slot.name);
  r["imagePath"] = slot.imagePath;
  r["ecc"] = slot.ecc.empty() ? nlohmann::json() : nlohmann::json(slot.ecc);
  r["rawEcc"] = slot.rawEcc.empty() ? nlohmann::json() : nlohmann::json(slot.rawEcc);
  r["startBlock"] = Block(slot.startBlock);
  r["endBlock"] = Block(slot.endBlock);
  // The image's size and blocks from one source: as the run measured them, or both
  // measured here for a row the run did not open (outside the leading run, or after
  // the run ended early); the saved blocks, without a size, if it cannot be opened.
  std::uint32_t blocks = slot.imageBlocks;
  std::optional<std::uint64_t> bytes = planned.imageBytes;
  if (!bytes) {
    if (auto now = MeasureFile(slot.imagePath)) {
      bytes = *now;
      blocks = ImageBlocksFor(*now, ImageBlockBytes(slot, loaded.geometry));
    }
  }
  r["imageBlocks"] = Block(blocks);
  r["imageBytes"] = bytes ? nlohmann::json(*bytes) : nlohmann::json();
  // Skip-bad-block programming may use the blocks of the range that the image leaves.
  const std::optional<std::uint64_t> spare = ShownSpareBlocks(slot, blocks);
  r["spareBlocks"] = spare ? nlohmann::json(*spare) : nlohmann::json();
  r["accepted"] = planned.taken;
  r["rule"] = planned.taken ? nlohmann::json("accepted") : nlohmann::json();
  r["reason"] = nullptr;
  if (const RowRejection* rejection = result.tableBuilt ? result.plan.RejectionOf(row) : nullptr) {
    r["rule"] = RuleName(rejection->rule);
    r["reason"] = rejection->Describe();
  }
  r["offset"] = planned.taken ? nlohmann::json(planned.offset) : nlohmann::json();
  return r;
}

}  // namespace

nlohmann::json JobReport(LoadedJob& loaded, const MergeResult& result, int exitStatus) {
  nlohmann::json doc;
  doc["blockMode"] = StoredBlockMode(loaded.blockMode);
  doc["blockSize"] = loaded.geometry.blockSize;
  doc["pageSize"] = loaded.geometry.pageSize;
  doc["completed"] = result.completed;
  doc["exitStatus"] = exitStatus;

  nlohmann::json rows = nlohmann::json::array();
  for (int row = 1; row <= kRowCount; ++row) {
    if (loaded.IsRowChecked(row)) rows.push_back(RowJson(loaded, result, row));
  }
  doc["rows"] = rows;

  nlohmann::json rejections = nlohmann::json::array();
  for (const RowRejection& r : result.plan.rejections) {
    rejections.push_back({{"row", r.row}, {"rule", RuleName(r.rule)}, {"reason", r.Describe()}});
  }
  doc["rejections"] = rejections;
  doc["overlaps"] = OverlapsJson(RecordOverlaps(result));

  doc["data"] = {{"path", loaded.dataPath},
                 {"bytes", result.completed ? nlohmann::json(result.dataBytes) : nlohmann::json()}};
  doc["table"] = {{"path", loaded.tablePath},
                  {"bytes", result.completed ? nlohmann::json(kTableSize) : nlohmann::json()}};

  nlohmann::json messages = nlohmann::json::array();
  for (const ShownMessage& m : loaded.messages) {
    messages.push_back({{"text", m.text}, {"icon", m.icon == MessageIcon::Error ? "error" : "warning"}});
  }
  doc["messages"] = messages;
  return doc;
}

}  // namespace folvane::cli
