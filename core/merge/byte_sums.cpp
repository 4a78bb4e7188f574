#include "merge/byte_sums.hpp"

#include <algorithm>

namespace folvane {

namespace {
// Bytes added in 32-bit lanes before they are carried into the 64-bit total: at most
// 0xFF each, 2^24 of them cannot wrap a lane.
constexpr std::size_t kLaneBytes = std::size_t{1} << 24;
}  // namespace

std::uint64_t ByteTotal(std::span<const std::uint8_t> bytes) {
  std::uint64_t total = 0;
  for (std::size_t at = 0; at < bytes.size(); at += kLaneBytes) {
    const std::uint8_t* p = bytes.data() + at;
    const std::size_t n = std::min(kLaneBytes, bytes.size() - at);
    // A plain loop the compiler widens into vector lanes.
    std::uint32_t lane = 0;
    for (std::size_t i = 0; i < n; ++i) lane += p[i];
    total += lane;
  }
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
