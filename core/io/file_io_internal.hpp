#pragma once
// What the two halves of the file layer (POSIX and Windows) share behind File's
// interface.

#include <string>

#include "io/file_io.hpp"

namespace folvane {

/// A failed open of `path`, with the cause the system's error code names.
FileError OpenFailure(FileOp op, const std::string& path, int error);

/// The refusal of something that is not a file (a FIFO, a folder's stand-in, a
/// character device where a file must be read).
FileError NotAFile(FileOp op, const std::string& path);

}  // namespace folvane
