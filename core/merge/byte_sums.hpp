#pragma once
// The 32-bit byte sum device programmers show for a buffer: every byte added, modulo
// 2^32. Sums add: a file's sum is the sum of its parts' sums, and a stretch of one
// repeated byte needs no reading.

#include <cstdint>
#include <span>
#include <vector>

namespace folvane {

/// `sum` plus every byte of `bytes`, modulo 2^32.
std::uint32_t ByteSum(std::span<const std::uint8_t> bytes, std::uint32_t sum = 0);
/// Every byte of `bytes` added exactly (no wrap below 2^56 bytes): a block is entirely
/// 0xFF exactly when this is 0xFF times its length.
std::uint64_t ByteTotal(std::span<const std::uint8_t> bytes);
/// The sum of `count` bytes of `value`, modulo 2^32.
std::uint32_t RepeatedByteSum(std::uint8_t value, std::uint64_t count);

/// A stretch of a stream: `bytes` bytes from `offset`.
struct ByteSpan {
  std::uint64_t offset = 0;
  std::uint64_t bytes = 0;
};

/// The byte sums of several stretches of one stream, which may overlap, taken while
/// the stream goes by once, in order, together with the sum of the whole stream.
class RangeByteSums {
 public:
  explicit RangeByteSums(std::vector<ByteSpan> spans = {});

  /// The stream's next bytes.
  void Add(std::span<const std::uint8_t> bytes);
  /// The stream's next `count` bytes, all `value`.
  void AddRepeated(std::uint8_t value, std::uint64_t count);

  [[nodiscard]] std::uint64_t Position() const { return position_; }
  /// The sum of every byte so far.
  [[nodiscard]] std::uint32_t Total() const { return total_; }
  /// Each stretch's sum, in the order given. The part of a stretch beyond the bytes
  /// seen so far counts as bytes of `beyond` (0 counts only what went by).
  [[nodiscard]] std::vector<std::uint32_t> Sums(std::uint8_t beyond = 0) const;

 private:
  template <class Part>
  void Advance(std::uint64_t count, Part part);
  std::uint32_t SumAt(std::uint64_t offset) const;

  std::vector<ByteSpan> spans_;
  std::vector<std::uint64_t> borders_;  // every stretch's start and end, ascending
  std::vector<std::uint32_t> sumAt_;    // the total when the stream reached each border
  std::size_t next_ = 0;                // the first border not yet reached
  std::uint64_t position_ = 0;
  std::uint32_t total_ = 0;
};

}  // namespace folvane
