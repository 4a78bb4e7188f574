#pragma once
// The text job: a job as TOML that build systems write and keep in version control.
//
//   mode = 2                     # or the label "(2048+64)B*64"
//   table = "out/Partition_Table.bin"
//   data = "out/Data_Merge.bin"
//
//   [[row]]
//   name = "boot"
//   image = "images/u-boot.bin"
//   start = "0"                  # hexadecimal texts, as typed in the window
//   end = "7"
//   blocks = 3                   # the image's saved length; measured when left out
//   ecc = "linux-bch8/512"       # the image is page data only, laid out with this ECC
//                                # (raw-ecc: whole pages that should carry it)
//
// Paths are relative to the job file's folder.

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>

#include "job/job.hpp"

namespace folvane {

/// Where and why a text job cannot be read.
struct TextJobError {
  std::size_t line = 0;  ///< from 1; 0 where no line can be named
  std::string key;       ///< the key at fault ("row[2].start"), or empty
  std::string problem;
  /// "JOB.toml, line 7, row[2].start: ..." for a message.
  [[nodiscard]] std::string Describe(const std::string& path) const;
};

/// Reads a text job. Relative paths resolve against `folder` (the job file's own),
/// whatever the working directory. Unknown and duplicate keys, wrong types, more than
/// sixteen rows and block texts the window would refuse are errors.
std::variant<Job, TextJobError> ParseTextJob(std::string_view text, const std::string& folder);

/// The text of a job; paths that lie under `folder` are written relative to it, the
/// others as they stand. Nothing (and `problem` says why) for a path that is not
/// UTF-8, which no text job can hold.
std::optional<std::string> TextJobOf(const Job& job, const std::string& folder, std::string& problem);

}  // namespace folvane
