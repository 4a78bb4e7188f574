// Times the merge against what a user compares it with, in each folder given (one per
// file system: tmpfs, ext4, XFS, btrfs, ...), and prints one table:
//  - for block modes 0, 2 and 15, a merge of eight images as the command line writes
//    it (a new file forced to the disk, then renamed) against the anchor: `cat` of the
//    same images on tmpfs, `cat` followed by `sync FILE` (an fsync) elsewhere;
//  - modes 2 and 15 against the images copied through a pipe (coreutils' `cat` shares extents
//    itself where the file system can), with the same fsync;
//  - the window's merge (in place, no fsync) in mode 2 against plain `cat`;
//  - a merge with a manifest against the same merge without one (mode 2), and where
//    the merge reads nothing (shared extents) against `sha256sum` of the images;
//  - verify of the job (reads the data image and the images) against `cat` of the
//    same files to /dev/null, and verify of the manifest's digests against `cat` of the
//    data image and the table.
//  - mode 0 again on images one block and a few bytes longer, so that every image but
//    the first lands inside a file-system block, in the data image and in `cat`'s copy
//    alike: nothing can be shared, and both copy (the "unaligned" column);
// Each pair runs in turn after a `sync`, once untimed and then `runs` times, and the
// medians are compared, since the machine is noisy. On Windows, which has neither `cat` nor `sync`, the anchor is the
// same copy through the C library's streams in this process.
// Usage: merge_bench [--mib N] [--runs N] [--mode M] [--path kernel|buffer]
//                    [--loops FOLDER] DIR...
//   (defaults: 1024 MiB, 5 runs)
// --loops FOLDER (root, Linux) also measures on a btrfs and an XFS file system of its
// own, each made in a file in FOLDER and loop-mounted for the run (XFS with reflink),
// then unmounted and removed; FOLDER decides what lies under them (a disk, or tmpfs
// for a disk in memory, which is far less noisy).
// --mode M times only the merge in block mode M against the anchor, and prints both
// medians: for profiling one mode under perf. --path kernel|buffer makes every merge
// copy that way instead of the one it measures faster (sharing is left as it is).
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/vfs.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "manifest/digest.hpp"
#include "io/file_io.hpp"
#include "bench_support.hpp"
#include "merge/merge.hpp"
#include "merge/verify.hpp"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

using folvane::bench::Median;
using folvane::bench::Seconds;
using folvane::bench::SilentHost;

void WriteImage(const std::string& path, std::size_t size, unsigned seed) {
  std::vector<unsigned char> chunk(1 << 20);
  for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<unsigned char>((i * 31 + seed) & 0xFF);
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::exit(1);
  for (std::size_t done = 0; done < size;) {
    const std::size_t n = std::min(chunk.size(), size - done);
    std::fwrite(chunk.data(), 1, n, f);
    done += n;
  }
  std::fclose(f);
}

#ifdef _WIN32
std::string MakeFolder(const std::string& parent) {
  for (unsigned i = 0; i < 1000; ++i) {
    const std::string dir = parent + "/folvane-bench-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(i);
    std::error_code ec;
    if (fs::create_directory(dir, ec)) return dir;
  }
  return {};
}
std::string FileSystemName(const std::string&) { return "windows"; }
void Settle() {}
#else
std::string MakeFolder(const std::string& parent) {
  std::string pattern = parent + "/folvane-bench-XXXXXX";
  return ::mkdtemp(pattern.data()) ? pattern : std::string();
}

std::string FileSystemName(const std::string& dir) {
  struct statfs st {};
  if (::statfs(dir.c_str(), &st) != 0) return "?";
  switch (static_cast<unsigned long>(st.f_type)) {
    case 0x01021994: return "tmpfs";
    case 0xEF53: return "ext4";
    case 0x58465342: return "xfs";
    case 0x9123683E: return "btrfs";
    default: {
      char b[32];
      std::snprintf(b, sizeof b, "0x%lx", static_cast<unsigned long>(st.f_type));
      return b;
    }
  }
}

// On a disk each run leaves a GiB of dirty pages that the next run would pay for when
// it replaces or outruns them. Everything is written out before each timed run, so
// that each pays for what it writes and nothing else.
void Settle() { ::sync(); }
#endif

#ifdef _WIN32
// The images one after the other through the C library's streams.
void StdioConcatenate(const std::vector<std::string>& images, const std::string& out) {
  FILE* o = std::fopen(out.c_str(), "wb");
  if (!o) std::exit(2);
  std::vector<char> buffer(1 << 20);
  for (const auto& image : images) {
    FILE* i = std::fopen(image.c_str(), "rb");
    if (!i) std::exit(2);
    for (std::size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), i)) > 0;) std::fwrite(buffer.data(), 1, n, o);
    std::fclose(i);
  }
  std::fclose(o);
}
#endif

#ifndef _WIN32
void Shell(const std::string& command) {
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "failed: %s\n", command.c_str());
    std::exit(2);
  }
}
#endif

#ifndef _WIN32
// A file system of its own for the run: made in a file in `folder`, loop-mounted, and
// unmounted and removed again when the measuring is done. Room for the images, two
// data images (the new one and the one it replaces), cat's copy and some to spare.
struct LoopMount {
  std::string file, dir;
  LoopMount(const std::string& folder, const std::string& kind, std::size_t mib) {
    file = folder + "/folvane-bench-" + kind + "-" + std::to_string(::getpid()) + ".img";
    dir = MakeFolder(folder);
    if (dir.empty()) std::exit(1);
    const std::size_t bytes = (4 * mib + 1024) << 20;
    // Allocated up front, so that the first writes of the file system inside do not
    // pay for the space of the file outside; btrfs must not hand freed space back to
    // it either (nodiscard) or the next run pays again.
    Shell("fallocate -l " + std::to_string(bytes) + " '" + file + "'");
    Shell(kind == "xfs" ? "mkfs.xfs -q -f -m reflink=1 '" + file + "'" : "mkfs.btrfs -q -f '" + file + "' >/dev/null");
    Shell("mount -o loop" + std::string(kind == "btrfs" ? ",nodiscard" : "") + " '" + file + "' '" + dir + "'");
  }
  ~LoopMount() {
    if (std::system(("umount '" + dir + "' && rmdir '" + dir + "'").c_str()) != 0) {
      std::fprintf(stderr, "could not unmount %s\n", dir.c_str());
    }
    fs::remove(file);
  }
  LoopMount(const LoopMount&) = delete;
  LoopMount& operator=(const LoopMount&) = delete;
};
#endif

/// Runs a and b in turn `runs` times; a's median over b's. `bSeconds` receives b's median.
double InTurn(int runs, const std::function<void()>& a, const std::function<void()>& b, double* bSeconds = nullptr) {
  std::vector<double> ta, tb;
  // The first round only warms up: a new file system allocates its space on the
  // first writes, and the first run of each would pay for it.
  for (int i = -1; i < runs; ++i) {
    Settle();
    const double sa = Seconds(a);
    Settle();
    const double sb = Seconds(b);
    if (i < 0) continue;
    ta.push_back(sa);
    tb.push_back(sb);
  }
  if (bSeconds) *bSeconds = Median(tb);
  return Median(ta) / Median(tb);
}

std::string Quoted(const std::vector<std::string>& paths) {
  std::string text;
  for (const auto& p : paths) text += " '" + p + "'";
  return text;
}

// Eight images of equal size back to back, in one folder.
struct Bench {
  std::string dir;
  std::vector<std::string> images;
  std::size_t imageBytes = 0;
  std::string data() const { return dir + "/Data_Merge.bin"; }
  std::string table() const { return dir + "/Partition_Table.bin"; }

  folvane::MergeResult Merge(int mode, bool replace, folvane::MergeTap* tap, bool dry = false,
                             folvane::PartitionSet* out = nullptr) const {
    const folvane::FlashGeometry g = folvane::LookupBlockMode(mode);
    folvane::PartitionSet set;
    SilentHost host;
    host.paths = images;
    host.data = data();
    host.table = table();
    const std::uint32_t blocks = folvane::ImageBlocksFor(imageBytes, g.blockSize);
    for (std::size_t i = 0; i < images.size(); ++i) {
      set.slots[i].startBlock = static_cast<std::uint32_t>(i * blocks);
      // In the smallest mode 1 GiB needs block numbers above what the window lets a
      // user type; the merge takes them all the same.
      set.slots[i].endBlock = static_cast<std::uint32_t>((i + 1) * blocks - 1);
    }
    folvane::MergeOptions options;
    options.replaceOutputs = replace;
    options.tap = tap;
    options.dryRun = dry;
    options.probeOutputs = false;
    const folvane::MergeResult r = folvane::RunMerge(set, g, host, options);
    if (!r.completed || !host.messages.empty()) {
      std::fprintf(stderr, "merge failed: %s\n", host.messages.empty() ? "?" : host.messages.front().c_str());
      std::exit(3);
    }
    if (out) *out = set;
    return r;
  }
};

// Reads a whole file in pieces of 1 MiB, as verify reads a manifest's files.
void ReadWhole(const std::string& path, const std::function<void(std::span<const std::uint8_t>)>& feed) {
  auto file = folvane::File::OpenRead(path);
  if (!file) std::exit(4);
  std::vector<std::uint8_t> piece(std::size_t{1} << 20);
  for (std::uint64_t at = 0;;) {
    auto got = file->ReadAt(at, piece);
    if (!got) std::exit(4);
    if (*got == 0) return;
    feed(std::span<const std::uint8_t>(piece.data(), *got));
    at += *got;
  }
}

struct Row {
  std::string fs, anchor;
  double modes[3] = {};
  double anchorSeconds = 0;
  double copying[2] = {};  // modes 2 and 15 against the images copied through a pipe (and forced to the disk)
  double window = 0, manifest = 0, manifestSha = 0, verify = 0, verifyManifest = 0;
  double unaligned = 0, unalignedAnchorSeconds = 0;  // mode 0 with nothing to share, against the same anchor
};

Row Measure(const std::string& parent, std::size_t mib, int runs, int onlyMode) {
  Row row;
  Bench b;
  b.dir = MakeFolder(parent);
  if (b.dir.empty()) std::exit(1);
  row.fs = FileSystemName(b.dir);
  const bool durable = row.fs != "tmpfs";
  row.anchor = durable ? "cat + fsync" : "cat";
  const std::string catOut = b.dir + "/cat.bin";
  auto anchor = [&](bool withFsync) {
#ifdef _WIN32
    (void)withFsync;
    StdioConcatenate(b.images, catOut);
#else
    const std::string cat = "cat" + Quoted(b.images) + " >'" + catOut + "'";
    Shell(withFsync ? cat + " && sync '" + catOut + "'" : cat);
#endif
  };
  auto makeImages = [&](std::size_t bytes) {
    for (const auto& image : b.images) fs::remove(image);
    fs::remove(catOut);
    fs::remove(b.data());
    b.images.clear();
    b.imageBytes = bytes;
    for (unsigned i = 0; i < 8; ++i) {
      b.images.push_back(b.dir + "/image" + std::to_string(i) + ".bin");
      WriteImage(b.images.back(), b.imageBytes, i);
    }
  };

  // In mode 0 an image of a whole number of MiB fills a whole number of file-system
  // blocks (its 8448-byte blocks come 16 to 33 pages), so the next image starts on
  // one. A block more and a few bytes put each of them 256 bytes further inside.
  const folvane::FlashGeometry mode0 = folvane::LookupBlockMode(0);
  if (onlyMode < 0) {
    makeImages((mib << 20) / 8 + mode0.blockSize + 100);
    row.unaligned =
        InTurn(runs, [&] { b.Merge(0, true, nullptr); }, [&] { anchor(durable); }, &row.unalignedAnchorSeconds);
  }
  makeImages((mib << 20) / 8);

  if (onlyMode >= 0) {
    double anchorSeconds = 0;
    const double ratio = InTurn(runs, [&] { b.Merge(onlyMode, true, nullptr); }, [&] { anchor(durable); }, &anchorSeconds);
    std::printf("%s mode %d: %.3f s, %s %.3f s, %.2f\n", row.fs.c_str(), onlyMode, ratio * anchorSeconds,
                row.anchor.c_str(), anchorSeconds, ratio);
    fs::remove_all(b.dir);
    return row;
  }
  const int modes[3] = {0, 2, 15};
  for (int m = 0; m < 3; ++m) {
    row.modes[m] = InTurn(runs, [&] { b.Merge(modes[m], true, nullptr); }, [&] { anchor(durable); },
                          modes[m] == 2 ? &row.anchorSeconds : nullptr);
  }
#ifndef _WIN32
  // `cat` of coreutils 9 copies with copy_file_range, which shares extents where the
  // file system can: through a pipe every byte is copied.
  const std::string piped = "cat" + Quoted(b.images) + " | cat >'" + catOut + "'" +
                            (durable ? " && sync '" + catOut + "'" : std::string());
  for (int m = 0; m < 2; ++m) {
    const int mode = m == 0 ? 2 : 15;
    row.copying[m] = InTurn(runs, [&] { b.Merge(mode, true, nullptr); }, [&] { Shell(piped); });
  }
#endif
  row.window = InTurn(runs, [&] { b.Merge(2, false, nullptr); }, [&] { anchor(false); });

  auto withManifest = [&] {
    folvane::manifest::DigestTap tap(folvane::LookupBlockMode(2).blockSize);
    b.Merge(2, true, &tap);
    (void)tap.Data();
    (void)tap.Ranges();
  };
  row.manifest = InTurn(runs, withManifest, [&] { b.Merge(2, true, nullptr); });
#ifndef _WIN32
  if (row.fs == "xfs" || row.fs == "btrfs") {
    row.manifestSha = InTurn(runs, withManifest, [&] { Shell("sha256sum" + Quoted(b.images) + " >/dev/null"); });
  }
#endif

  // Verify reads back what the last merge wrote.
  folvane::PartitionSet set;
  const folvane::MergeResult planned = b.Merge(2, false, nullptr, true, &set);
  folvane::VerifyExpectation expected;
  expected.table = planned.plan.table;
  expected.blockSize = folvane::LookupBlockMode(2).blockSize;
  expected.regions = folvane::DataLayout(set, planned);
  expected.dataBytes = planned.dataBytes;
  for (std::size_t i = 0; i < b.images.size(); ++i) expected.recordRows.push_back(static_cast<int>(i) + 1);
  auto verify = [&] {
    auto report = folvane::VerifyOutputs(b.table(), b.data(), expected);
    if (!report || !report->differences.empty()) {
      std::fprintf(stderr, "verify found differences\n");
      std::exit(5);
    }
  };
  std::vector<std::string> read = b.images;
  read.push_back(b.data());
  auto catRead = [&](const std::vector<std::string>& files) {
#ifdef _WIN32
    for (const auto& f : files) ReadWhole(f, [](auto) {});
#else
    Shell("cat" + Quoted(files) + " >/dev/null");
#endif
  };
  row.verify = InTurn(runs, verify, [&] { catRead(read); });
  auto verifyManifest = [&] {
    folvane::manifest::DigestTap tap(expected.blockSize);
    tap.Planned(planned.plan);
    ReadWhole(b.table(), [&](auto bytes) { tap.TableWritten(bytes); });
    ReadWhole(b.data(), [&](auto bytes) { tap.DataWritten(bytes); });
    (void)tap.Data();
    (void)tap.Ranges();
  };
  row.verifyManifest = InTurn(runs, verifyManifest, [&] { catRead({b.data(), b.table()}); });
  fs::remove_all(b.dir);
  return row;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t mib = 1024;
  int runs = 5;
  int onlyMode = -1;
  std::string loops;
  bool bad = false;
  std::vector<std::string> dirs;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--mib" && i + 1 < argc) mib = std::strtoul(argv[++i], nullptr, 10);
    else if (a == "--runs" && i + 1 < argc) runs = std::atoi(argv[++i]);
    else if (a == "--mode" && i + 1 < argc) onlyMode = std::atoi(argv[++i]);
    else if (a == "--loops" && i + 1 < argc) loops = argv[++i];
    else if (a == "--path" && i + 1 < argc) {
      const std::string path = argv[++i];
      if (path == "kernel") folvane::TestHooks().kernelCopyAlways = true;
      else if (path == "buffer") folvane::TestHooks().bufferCopyAlways = true;
      else bad = true;
    }
    else dirs.push_back(a);
  }
  if (bad || (dirs.empty() && loops.empty()) || mib < 8 || runs < 1 || onlyMode > 15) {
    std::fprintf(stderr,
                 "usage: merge_bench [--mib N] [--runs N] [--mode M] [--path kernel|buffer] [--loops FOLDER] DIR...\n");
    return 64;
  }
  std::vector<Row> rows;
  for (const auto& dir : dirs) rows.push_back(Measure(dir, mib, runs, onlyMode));
#ifndef _WIN32
  if (!loops.empty()) {
    for (const std::string kind : {"btrfs", "xfs"}) {
      LoopMount mount(loops, kind, mib);
      rows.push_back(Measure(mount.dir, mib, runs, onlyMode));
    }
  }
#endif
  if (onlyMode >= 0) return 0;
  std::printf("8 images, %zu MiB in all; medians of %d runs in turn, each after a sync; time / anchor\n", mib, runs);
  std::printf("| file system | mode 0 (8,448 B) | mode 2 (135,168 B) | mode 15 (2,260,992 B) | anchor | anchor s "
              "| mode 0 unaligned | its anchor s | mode 2 / piped copy | mode 15 / piped copy | window mode 2 / cat | manifest / merge "
              "| manifest / sha256sum | verify / cat | verify --manifest / cat |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
  for (const Row& r : rows) {
    char sha[16] = "-";
    if (r.manifestSha > 0) std::snprintf(sha, sizeof sha, "%.2f", r.manifestSha);
    std::printf("| %s | %.2f | %.2f | %.2f | %s | %.3f | %.2f | %.3f | %.2f | %.2f | %.2f | %.2f | %s | %.2f | %.2f |\n",
                r.fs.c_str(), r.modes[0], r.modes[1], r.modes[2], r.anchor.c_str(), r.anchorSeconds, r.unaligned,
                r.unalignedAnchorSeconds, r.copying[0], r.copying[1], r.window, r.manifest, sha, r.verify, r.verifyManifest);
  }
  return 0;
}
