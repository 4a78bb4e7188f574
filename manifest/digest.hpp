#pragma once
// Digests of what a merge writes (SHA-256, CRC-32 and the 32-bit byte sum of the data
// image, the table and each partition's blocks), taken while the bytes go by. The manifest that records
// them is manifest.hpp.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "merge/merge.hpp"

namespace folvane::manifest {

/// The SHA-256 (lower-case hex), CRC-32 and 32-bit byte sum of some bytes, and how
/// many there were. A manifest written before it recorded byte sums has none.
struct DigestValue {
  std::uint64_t bytes = 0;
  std::string sha256;
  std::uint32_t crc32 = 0;
  std::optional<std::uint32_t> byteSum;
  friend bool operator==(const DigestValue&, const DigestValue&) = default;
};

/// "1a2b3c4d": a CRC-32 as the manifest writes it.
std::string Crc32Text(std::uint32_t crc);

/// The CRC-32 of two parts one after the other, from the CRC-32 of each and the
/// second's length (which may pass 4 GiB).
std::uint32_t CrcCombine(std::uint32_t first, std::uint32_t second, std::uint64_t secondBytes);

/// A byte range of the data image hashed on its own: a partition's blocks. Its whole
/// range of blocks, `rangeBytes` from the same offset, has a byte sum of its own.
struct DigestRange {
  std::uint64_t offset = 0;
  std::uint64_t bytes = 0;
  std::uint64_t rangeBytes = 0;
  /// A partition's: its image blocks and its whole range, in a data image of blocks of
  /// `blockSize` bytes.
  static DigestRange Of(const BlockRange& range, std::uint32_t blockSize);
};

/// Hashes the table and the data image as a merge writes them (or as they are read
/// back), and each given range of the data image on its own. Every byte is hashed
/// where it passes; nothing is read a second time.
class DigestTap : public MergeTap {
 public:
  explicit DigestTap(std::uint32_t blockSize);
  ~DigestTap() override;
  DigestTap(const DigestTap&) = delete;
  DigestTap& operator=(const DigestTap&) = delete;

  /// The ranges to hash, in data image order and without overlap (their whole ranges
  /// may overlap).
  void SetRanges(std::vector<DigestRange> ranges);
  /// Unless set before, the ranges are the plan's taken rows: each partition's start
  /// block, image blocks and end block.
  void Planned(const MergePlan& plan) override;

  void TableWritten(std::span<const std::uint8_t> bytes) override;
  void DataWritten(std::span<const std::uint8_t> bytes) override;

  /// Whether the system's hashing failed, on some byte or at its end: the digests
  /// taken are then not to be used. Ask after taking them.
  [[nodiscard]] bool Failed();
  /// The digests once every byte has gone by; each may be asked for once.
  DigestValue Table();
  DigestValue Data();
  /// One per range, in order; a range the data ended inside holds what went by.
  std::vector<DigestValue> Ranges();
  /// The byte sum of each range's whole range of blocks as the data image holds it,
  /// bytes past the data image's end counted as 0xFF (an erased chip's).
  std::vector<std::uint32_t> WholeRangeSums();
  [[nodiscard]] const std::vector<DigestRange>& RangeList() const { return ranges_; }

 private:
  void Work(int lane);  // a hashing thread's loop
  void Drain();         // waits until both threads have hashed every piece
  struct State;
  std::unique_ptr<State> state_;
  std::vector<DigestRange> ranges_;
  bool rangesSet_ = false;
  std::uint32_t blockSize_;
};

}  // namespace folvane::manifest
