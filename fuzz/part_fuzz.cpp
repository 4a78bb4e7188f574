// Feeds arbitrary bytes to the .part reader and the whole IMPORT on the in-memory
// window. Build with the "fuzz" preset; tools/fuzz.sh runs it.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "job/block_text.hpp"
#include "dialog/memory_form.hpp"
#include "job/part_file.hpp"
#include "dialog/procedures.hpp"

namespace {

// The import reads a real file: an in-memory one, rewritten for every input.
int MemoryFile() {
  static const int fd = ::memfd_create("part", 0);
  return fd;
}

// Whether a text is UTF-8 throughout. Bytes that are neither UTF-8 nor the legacy code
// page are kept as they stand, and cutting those can make a text the reader takes for
// the legacy code page: the round trip below holds for UTF-8 texts only.
bool IsUtf8(const std::string& s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    const std::size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (std::size_t k = 1; k < n; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += n;
  }
  return true;
}

void Require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace folvane;
  const auto record = PartFileRecord::Decode(std::span<const std::uint8_t>(data, size));
  if (record) {
    // Whatever the file says, a record re-encodes to the same record once its texts
    // fit their fields.
    PartFileRecord fitted = *record;
    // Texts are UTF-8 inside the program (bytes that are not come in through the legacy
    // code page), so a text is cut between characters, never inside one.
    auto fit = [](std::string& s, std::size_t width) {
      if (s.size() < width) return;
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
    bool utf8 = IsUtf8(fitted.tablePath) && IsUtf8(fitted.dataPath);
    for (int i = 0; i < fitted.UsableRows(); ++i) {
      const auto& row = fitted.rows[static_cast<std::size_t>(i)];
      utf8 = utf8 && IsUtf8(row.imagePath) && IsUtf8(row.startText) && IsUtf8(row.endText);
    }
    if (utf8) Require(PartFileRecord::Decode(fitted.Encode()) == fitted);
  }

  const int fd = MemoryFile();
  if (fd < 0 || ::ftruncate(fd, 0) != 0) return 0;
  if (size && ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) return 0;
  MemoryForm form("/exe/Data_Merge.bin", "/exe/Partition_Table.bin");
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
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
