#include "job/job.hpp"

#include <algorithm>

#include "job/block_mode.hpp"

namespace folvane {

Job JobFromPartRecord(const PartFileRecord& record) {
  Job job;
  job.tablePath = record.tablePath;
  job.dataPath = record.dataPath;
  job.blockMode = record.blockModeIndex;
  for (int i = 0; i < record.UsableRows(); ++i) {
    const PartFileRow& r = record.rows[static_cast<std::size_t>(i)];
    job.rows.push_back(JobRow{r.imagePath, r.startText, r.endText, r.imageBlocks, {}, {}, {}});
  }
  return job;
}

PartRecordOfJob PartRecordFromJob(const Job& job, const std::string& defaultTable, const std::string& defaultData) {
  PartRecordOfJob out;
  PartFileRecord& r = out.record;
  r.tablePath = job.tablePath.value_or(defaultTable);
  r.dataPath = job.dataPath.value_or(defaultData);
  r.blockModeIndex = job.blockMode;
  const std::size_t rows = std::min<std::size_t>(job.rows.size(), kRowCount);
  r.rowCount = static_cast<std::uint8_t>(rows);
  for (std::size_t i = 0; i < rows; ++i) {
    const JobRow& row = job.rows[i];
    const std::string which = "row " + std::to_string(i + 1);
    // As EXPORT stores them: a text too long for its field as the same number.
    r.rows[i] = PartFileRow{row.imagePath, StoredBlockText(row.startText), StoredBlockText(row.endText),
                            row.imageBlocks.value_or(0)};
    if (!row.name.empty()) out.leftOut.push_back(which + "'s name '" + row.name + "'");
    if (!row.ecc.empty()) out.changesMerge.push_back(which + "'s ECC scheme '" + row.ecc + "'");
    if (!row.rawEcc.empty()) out.leftOut.push_back(which + "'s raw ECC scheme '" + row.rawEcc + "'");
  }
  if (job.programErasedPages) out.changesMerge.push_back("program-erased-pages = true");
  return out;
}

void MeasureJobImages(Job& job) {
  const std::uint32_t blockSize = LookupBlockMode(job.blockMode).blockSize;
  for (JobRow& row : job.rows) {
    if (row.imageBlocks) continue;
    const auto size = MeasureFile(row.imagePath);
    row.imageBlocks = size ? ImageBlocksFor(*size, blockSize) : 0;
  }
}

bool StartsAsPartFile(std::span<const std::uint8_t> bytes) {
  static constexpr std::uint8_t kMagic[] = {'P', 'A', 'R', 'T'};
  if (bytes.size() < 4 || !std::equal(kMagic, kMagic + 4, bytes.begin())) return false;
  return bytes.size() == 4 || bytes[4] == 0;
}

}  // namespace folvane
