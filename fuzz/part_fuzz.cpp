// Feeds arbitrary bytes to the .part reader and the whole IMPORT on the in-memory
// window. Build with the "fuzz" preset; tools/fuzz.sh runs it.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "job/block_text.hpp"
#include "dialog/memory_form.hpp"
#include "job/part_file.hpp"
#include "dialog/procedures.hpp"
#include "job/stored_text.hpp"
#include "fuzz_support.hpp"

using folvane::fuzz::MemoryFile;
using folvane::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace folvane;
  const auto record = PartFileRecord::Decode(std::span<const std::uint8_t>(data, size));
  if (record) {
    // Every text the reader gives back is one the writer keeps: re-encoded and read
    // again, the record is the same once its texts fit their fields. The reader gives
    // UTF-8 (read as such or converted from the legacy code page), or bytes that are
    // neither, kept as they stand. A UTF-8 text too long for its field is cut between
    // characters; bytes that are not UTF-8 cannot be cut into anything the reader would
    // give back the same, and are never saved too long (EXPORT refuses such a path,
    // the block edits refuse such a text), so they are left out.
    PartFileRecord fitted = *record;
    auto fit = [](std::string& s, std::size_t width) {
      if (s.size() < width) return;
      if (!IsValidUtf8(s)) {
        s.clear();
        return;
      }
      std::size_t end = width - 1;
      while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) --end;
      s.resize(end);
    };
    fit(fitted.tablePath, 256);
    fit(fitted.dataPath, 256);
    for (int i = 0; i < fitted.UsableRows(); ++i) {
      auto& row = fitted.rows[static_cast<std::size_t>(i)];
      fit(row.imagePath, 256);
      fit(row.startText, 6);
      fit(row.endText, 6);
    }
    Require(PartFileRecord::Decode(fitted.Encode()) == fitted);
  }

  // The import reads a real file: an in-memory one, rewritten for every input.
  static int fd = -1;
  const std::string path = MemoryFile(fd, data, size);
  if (path.empty()) return 0;
  MemoryForm form("/exe/Data_Merge.bin", "/exe/Partition_Table.bin");
  form.chooser = [&](const FileChooserRequest&) { return std::optional<std::string>(path); };
  const bool imported = ImportPartFile(form);
  Require(imported == record.has_value());
  if (imported) {
    for (int row = 1; row <= kRowCount; ++row) {
      const bool restored = row <= record->UsableRows();
      Require(form.IsItemChecked(RowControlsFor(row).check) == restored);
      if (restored) {
        Require(form.set.Slot(row).startBlock <= kMaxBlockNumber);
        Require(form.set.Slot(row).endBlock <= kMaxBlockNumber);
      }
    }
  }
  return 0;
}
