#pragma once
// Helpers shared by the test binaries: a scratch folder and whole-file access.

#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "io/utf8_path.hpp"

namespace folvane::testing {

using Bytes = std::vector<std::uint8_t>;

/// A fresh folder, removed with everything in it when the test ends.
class TempDir {
 public:
  TempDir() {
#ifdef _WIN32
    // No mkdtemp: a name from a counter and the clock, taken only if it is new.
    static unsigned counter = 0;
    const auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 1000 && path_.empty(); ++attempt) {
      const auto stamp = static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
      auto candidate = base / ("folvane-test-" + std::to_string(stamp % 1000000007u) + "-" + std::to_string(counter++));
      std::error_code ec;
      if (std::filesystem::create_directory(candidate, ec)) path_ = candidate;
    }
    if (path_.empty()) ADD_FAILURE() << "no scratch folder";
#else
    std::string pattern = (std::filesystem::temp_directory_path() / "folvane-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) ADD_FAILURE() << "mkdtemp failed";
    path_ = pattern;
#endif
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  /// UTF-8, as the program's paths are.
  [[nodiscard]] std::string operator/(const std::string& name) const { return Utf8Path(path_ / FsPath(name)); }
  [[nodiscard]] std::string str() const { return Utf8Path(path_); }

 private:
  std::filesystem::path path_;
};

using folvane::FsPath;
using folvane::Utf8Path;

inline void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(FsPath(path), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

inline void WriteText(const std::string& path, const std::string& text) {
  WriteFile(path, Bytes(text.begin(), text.end()));
}

inline Bytes ReadFile(const std::string& path) {
  std::ifstream in(FsPath(path), std::ios::binary);
  Bytes bytes;
  // In pieces rather than byte by byte: some tests read back data images of tens of MiB.
  char piece[1 << 16];
  while (in.read(piece, sizeof piece) || in.gcount() > 0) bytes.insert(bytes.end(), piece, piece + in.gcount());
  return bytes;
}

/// Whether two files hold the same bytes, read side by side in pieces: large data
/// images are compared without holding either whole.
inline bool SameBytes(const std::string& a, const std::string& b) {
  std::ifstream ia(FsPath(a), std::ios::binary), ib(FsPath(b), std::ios::binary);
  if (!ia || !ib) return false;
  char pa[1 << 16], pb[1 << 16];
  for (;;) {
    ia.read(pa, sizeof pa);
    ib.read(pb, sizeof pb);
    if (ia.gcount() != ib.gcount() || std::memcmp(pa, pb, static_cast<std::size_t>(ia.gcount())) != 0) return false;
    if (ia.gcount() == 0) return true;
  }
}

/// `size` bytes of a recognisable pattern that differs from file to file by `seed`
/// and never looks like the 0xFF fill.
inline Bytes Pattern(std::size_t size, std::uint8_t seed) {
  Bytes b(size);
  for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>((i * 7 + seed) % 251);
  return b;
}

inline Bytes Fill(std::size_t size, std::uint8_t value = 0xFF) { return Bytes(size, value); }

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

/// `image` completed with 0xFF to a whole number of blocks.
inline Bytes Padded(Bytes image, std::size_t blockSize) {
  if (image.size() % blockSize) image.resize((image.size() / blockSize + 1) * blockSize, 0xFF);
  return image;
}

#ifdef _WIN32
/// How a program run by RunProgram ended, and what it wrote.
struct ProgramRun {
  int status;
  std::string out;
  std::string err;
};

/// Runs `exe` with `args` (split by the program's own rules) in `cwd`, standard
/// input from NUL, its output and error to files; no shell comes between.
/// Runs `exe` with the command line `args` in the folder `cwd`, standard input from
/// NUL, its output and error to files; no shell comes between. Bounded at 60 s.
ProgramRun RunProgram(const std::string& exe, const std::string& args, const std::string& cwd);
#endif

}  // namespace folvane::testing
