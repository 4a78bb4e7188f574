#pragma once
// What the fuzz targets share: a property that must hold, and an in-memory file for
// readers that open a path.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace folvane::fuzz {

/// Ends the run, for libFuzzer to keep the input, where a property fails.
inline void Require(bool condition) {
  if (!condition) std::abort();
}

/// An in-memory file holding `bytes` (one per `fd`, rewritten for every input), named
/// by its descriptor's path; empty where it cannot be made.
inline std::string MemoryFile(int& fd, const std::uint8_t* bytes, std::size_t size) {
  if (fd < 0) fd = ::memfd_create("fuzz", 0);
  if (fd < 0 || ::ftruncate(fd, 0) != 0) return {};
  if (size && ::pwrite(fd, bytes, size, 0) != static_cast<ssize_t>(size)) return {};
  return "/proc/self/fd/" + std::to_string(fd);
}

}  // namespace folvane::fuzz
