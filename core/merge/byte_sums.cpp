#include "merge/byte_sums.hpp"

#include <algorithm>
#include <cstring>

namespace folvane {

namespace {
// Bytes are added eight at a time, the even and the odd ones of a word in separate
// 16-bit lanes; a lane takes at most 2 x 0xFF per word, so 128 words cannot wrap it.
// The compiler turns the inner loop into vector instructions.
constexpr std::uint64_t kEvenBytes = 0x00FF00FF00FF00FFull;
constexpr std::size_t kWordsPerLane = 128;
}  // namespace

// Where the system picks a function's version when the program loads (ELF on x86-64),
// processors with AVX2 add twice as many bytes per instruction: the byte sums of the
// image lint then keep up with reading the images from the page cache.
#if defined(__x86_64__) && defined(__ELF__) && defined(__has_attribute)
#if __has_attribute(target_clones)
#define FOLVANE_WIDE_VECTORS __attribute__((target_clones("avx2", "default")))
#endif
#endif
#ifndef FOLVANE_WIDE_VECTORS
#define FOLVANE_WIDE_VECTORS
#endif

FOLVANE_WIDE_VECTORS std::uint64_t ByteTotal(std::span<const std::uint8_t> bytes) {
  const std::uint8_t* p = bytes.data();
  std::size_t n = bytes.size();
  std::uint64_t total = 0;
  for (; n >= kWordsPerLane * 8; p += kWordsPerLane * 8, n -= kWordsPerLane * 8) {
    std::uint64_t lanes = 0;
    for (std::size_t i = 0; i < kWordsPerLane; ++i) {
      std::uint64_t word;
      std::memcpy(&word, p + 8 * i, 8);
      lanes += (word & kEvenBytes) + ((word >> 8) & kEvenBytes);
    }
    lanes = (lanes & 0x0000FFFF0000FFFFull) + ((lanes >> 16) & 0x0000FFFF0000FFFFull);
    total += (lanes & 0xFFFFFFFFull) + (lanes >> 32);
  }
  for (std::size_t i = 0; i < n; ++i) total += p[i];
  return total;
}

std::uint32_t ByteSum(std::span<const std::uint8_t> bytes, std::uint32_t sum) {
  return static_cast<std::uint32_t>(sum + ByteTotal(bytes));
}

std::uint32_t RepeatedByteSum(std::uint8_t value, std::uint64_t count) {
  return static_cast<std::uint32_t>(count * value);
}

RangeByteSums::RangeByteSums(std::vector<ByteSpan> spans) : spans_(std::move(spans)) {
  for (const ByteSpan& s : spans_) {
    borders_.push_back(s.offset);
    borders_.push_back(s.offset + s.bytes);
  }
  std::sort(borders_.begin(), borders_.end());
  borders_.erase(std::unique(borders_.begin(), borders_.end()), borders_.end());
  sumAt_.assign(borders_.size(), 0);
}

// Moves `count` bytes on, handing `part(from, n)` each piece between two borders (from
// counting within the `count` bytes) and noting the total at every border reached.
template <class Part>
void RangeByteSums::Advance(std::uint64_t count, Part part) {
  for (std::uint64_t done = 0;;) {
    while (next_ < borders_.size() && borders_[next_] <= position_) sumAt_[next_++] = total_;
    if (done == count) return;
    std::uint64_t n = count - done;
    if (next_ < borders_.size()) n = std::min(n, borders_[next_] - position_);
    total_ = static_cast<std::uint32_t>(total_ + part(done, n));
    position_ += n;
    done += n;
  }
}

void RangeByteSums::Add(std::span<const std::uint8_t> bytes) {
  Advance(bytes.size(), [&](std::uint64_t from, std::uint64_t n) {
    return ByteSum(bytes.subspan(static_cast<std::size_t>(from), static_cast<std::size_t>(n)));
  });
}

void RangeByteSums::AddRepeated(std::uint8_t value, std::uint64_t count) {
  Advance(count, [&](std::uint64_t, std::uint64_t n) { return RepeatedByteSum(value, n); });
}

std::uint32_t RangeByteSums::SumAt(std::uint64_t offset) const {
  const auto at = std::lower_bound(borders_.begin(), borders_.end(), offset) - borders_.begin();
  return static_cast<std::size_t>(at) < next_ ? sumAt_[static_cast<std::size_t>(at)] : total_;
}

std::vector<std::uint32_t> RangeByteSums::Sums(std::uint8_t beyond) const {
  std::vector<std::uint32_t> sums;
  for (const ByteSpan& s : spans_) {
    const std::uint64_t from = std::min(s.offset, position_);
    const std::uint64_t to = std::min(s.offset + s.bytes, position_);
    sums.push_back(static_cast<std::uint32_t>(SumAt(to) - SumAt(from) +
                                              RepeatedByteSum(beyond, s.bytes - (to - from))));
  }
  return sums;
}

}  // namespace folvane
