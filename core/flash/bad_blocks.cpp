#include "flash/bad_blocks.hpp"

#include "job/block_text.hpp"

#include <algorithm>
#include <cmath>
#include <unordered_map>

#include <fmt/format.h>

namespace folvane {

BadBlockSet::BadBlockSet(std::vector<std::uint32_t> blocks) : blocks_(std::move(blocks)) {
  std::sort(blocks_.begin(), blocks_.end());
  blocks_.erase(std::unique(blocks_.begin(), blocks_.end()), blocks_.end());
}

bool BadBlockSet::IsBad(std::uint32_t block) const { return std::binary_search(blocks_.begin(), blocks_.end(), block); }

std::uint64_t BadBlockSet::CountIn(std::uint32_t first, std::uint32_t last) const {
  if (last < first) return 0;
  const auto from = std::lower_bound(blocks_.begin(), blocks_.end(), first);
  const auto to = std::upper_bound(from, blocks_.end(), last);
  return static_cast<std::uint64_t>(to - from);
}

std::optional<std::uint32_t> RangePlacement::PhysicalOf(std::uint32_t imageBlock) const {
  // The runs are in image order: the last one starting at or before the block.
  auto it = std::upper_bound(runs.begin(), runs.end(), imageBlock,
                             [](std::uint32_t b, const PlacementRun& r) { return b < r.imageBlock; });
  if (it == runs.begin()) return std::nullopt;
  --it;
  if (imageBlock - it->imageBlock >= it->count) return std::nullopt;
  return it->physicalBlock + (imageBlock - it->imageBlock);
}

RangePlacement PlaceRange(const BlockRange& range, const BadBlockSet& bad) {
  RangePlacement p;
  p.range = range;
  if (range.last < range.first) return p;
  std::uint64_t cursor = range.first;  // the first block not yet walked
  std::uint32_t placed = 0;
  // The good blocks from `cursor` up to `end` (exclusive) take the next image blocks.
  auto take = [&](std::uint64_t end) {
    const std::uint64_t count = std::min<std::uint64_t>(end - cursor, range.imageBlocks - placed);
    if (count != 0) {
      p.runs.push_back({placed, static_cast<std::uint32_t>(cursor), static_cast<std::uint32_t>(count)});
      placed += static_cast<std::uint32_t>(count);
    }
  };
  const auto& blocks = bad.Blocks();
  for (auto it = std::lower_bound(blocks.begin(), blocks.end(), range.first);
       it != blocks.end() && *it <= range.last; ++it) {
    take(*it);
    cursor = std::uint64_t{*it} + 1;
    ++p.badBlocks;
  }
  take(std::uint64_t{range.last} + 1);
  p.goodBlocks = range.Blocks() - p.badBlocks;
  return p;
}

std::optional<std::uint64_t> ParseCount(std::string_view text, std::uint64_t max) {
  unsigned base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    unsigned digit;
    if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
    else if (base == 16 && c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
    else if (base == 16 && c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
    else return std::nullopt;
    if (value > (max - digit) / base) return std::nullopt;
    value = value * base + digit;
  }
  return value;
}

namespace {

// Whether `text` is written as a number (decimal, or hexadecimal with 0x), whatever
// its size.
bool IsNumeral(std::string_view text) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  if (hex) text.remove_prefix(2);
  if (text.empty()) return false;
  return std::all_of(text.begin(), text.end(), [&](char c) {
    return (c >= '0' && c <= '9') || (hex && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')));
  });
}

// A word of the list as a message may quote it: bounded, and with no byte that could
// move a terminal's cursor.
std::string Quoted(std::string_view word) {
  std::string out = "'";
  for (std::size_t i = 0; i < word.size() && i < 40; ++i) {
    const auto c = static_cast<unsigned char>(word[i]);
    if (c < 0x20 || c >= 0x7F || c == '\\') {
      out += fmt::format("\\x{:02X}", c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + (word.size() > 40 ? "...'" : "'");
}

}  // namespace

BadBlockList ParseBadBlockList(std::string_view text, std::optional<std::uint64_t> chipBlocks) {
  BadBlockList result;
  std::vector<std::uint32_t> blocks;
  std::unordered_map<std::uint32_t, std::size_t> lineOf;
  std::size_t line = 1;
  auto fail = [&](std::string problem) {
    result.line = line;
    result.problem = std::move(problem);
    return result;
  };
  for (std::size_t at = 0; at <= text.size();) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view content = text.substr(at, end - at);
    if (const auto hash = content.find('#'); hash != std::string_view::npos) content = content.substr(0, hash);
    for (std::size_t i = 0; i < content.size();) {
      const std::size_t start = content.find_first_not_of(" \t\r,", i);
      if (start == std::string_view::npos) break;
      std::size_t stop = content.find_first_of(" \t\r,", start);
      if (stop == std::string_view::npos) stop = content.size();
      const std::string_view word = content.substr(start, stop - start);
      i = stop;
      if (word[0] == '-') return fail(Quoted(word) + " is negative; block numbers start at 0");
      const auto value = ParseCount(word, UINT32_MAX);
      if (!value) {
        // Digits all through, only too many of them: a number, too large.
        const bool number = ParseCount(word, UINT64_MAX).has_value() || IsNumeral(word);
        return fail(Quoted(word) + (number ? " is too large for a block number"
                                           : " is not a block number (decimal, or hexadecimal with 0x)"));
      }
      if (chipBlocks && *value >= *chipBlocks) {
        return fail("block " + Hex(*value) + " is outside the chip, whose blocks are 0x0 to " +
                    Hex(*chipBlocks - 1));
      }
      const auto block = static_cast<std::uint32_t>(*value);
      if (const auto [it, fresh] = lineOf.emplace(block, line); !fresh) {
        return fail("block " + Hex(block) + " is listed twice (first on line " + std::to_string(it->second) + ")");
      }
      blocks.push_back(block);
    }
    at = end + 1;
    ++line;
  }
  result.set = BadBlockSet(std::move(blocks));
  return result;
}

bool RangesOverlap(const std::vector<BlockRange>& ranges) {
  std::vector<BlockRange> sorted = ranges;
  std::sort(sorted.begin(), sorted.end(), [](const BlockRange& a, const BlockRange& b) { return a.first < b.first; });
  for (std::size_t i = 1; i < sorted.size(); ++i) {
    if (SharedBlocks(sorted[i - 1], sorted[i])) return true;
  }
  return false;
}

namespace {

using Real = long double;

Real LogChoose(std::uint64_t n, std::uint64_t k) {
  return std::lgamma(static_cast<Real>(n) + 1) - std::lgamma(static_cast<Real>(k) + 1) -
         std::lgamma(static_cast<Real>(n - k) + 1);
}

// The hypergeometric law of the bad blocks that fall among `k` of `population`
// blocks when `draws` bad blocks are spread uniformly over the population.
struct Hypergeometric {
  std::uint64_t population, k, draws;
  [[nodiscard]] std::uint64_t Low() const { return draws > population - k ? draws - (population - k) : 0; }
  [[nodiscard]] std::uint64_t High() const { return std::min(k, draws); }
  [[nodiscard]] std::uint64_t Mode() const {
    const auto m = static_cast<std::uint64_t>((static_cast<Real>(draws) + 1) * (static_cast<Real>(k) + 1) /
                                              (static_cast<Real>(population) + 2));
    return std::clamp(m, Low(), High());
  }
  [[nodiscard]] Real At(std::uint64_t x) const {
    return std::exp(LogChoose(k, x) + LogChoose(population - k, draws - x) - LogChoose(population, draws));
  }
  // P(x+1) / P(x) and P(x-1) / P(x).
  [[nodiscard]] Real Up(std::uint64_t x) const {
    return static_cast<Real>(k - x) * static_cast<Real>(draws - x) /
           (static_cast<Real>(x + 1) * static_cast<Real>(population - k - draws + x + 1));
  }
  [[nodiscard]] Real Down(std::uint64_t x) const {
    return static_cast<Real>(x) * static_cast<Real>(population - k - draws + x) /
           (static_cast<Real>(k - x + 1) * static_cast<Real>(draws - x + 1));
  }

  // Calls visit(x, P(x)) outward from the mode, for every x whose term times
  // `weight` is at least `floor`; the law is unimodal, so the first term below the
  // floor on each side ends that side.
  template <class Visit>
  void Walk(Real weight, Real floor, std::uint64_t from, Visit visit) const {
    const std::uint64_t low = std::max(Low(), from), high = High();
    if (low > high) return;
    const std::uint64_t start = std::max(Mode(), low);
    const Real atStart = At(start);
    Real h = atStart;
    for (std::uint64_t x = start;; ++x) {
      if (weight * h < floor || h == 0) break;
      visit(x, h);
      if (x == high) break;
      h *= Up(x);
    }
    h = atStart;
    for (std::uint64_t x = start; x > low;) {
      h *= Down(x);
      --x;
      if (weight * h < floor || h == 0) break;
      visit(x, h);
    }
  }
};

// The blocks of a range that can be bad: all of it but block 0.
std::uint64_t Candidates(const BlockRange& r) { return r.Blocks() - (r.first == 0 ? 1 : 0); }

// P(more than `spare` of the range's candidates are bad), summed from the tail's own
// largest term, so that a tiny chance keeps its digits.
Real UpperTail(const Hypergeometric& h, std::uint64_t spare) {
  if (spare >= h.High()) return 0;
  // Terms below 1e-40 of the tail's largest (its first, or the mode) are left out.
  const Real largest = h.At(std::max(h.Mode(), std::max(h.Low(), spare + 1)));
  Real sum = 0;
  h.Walk(1, largest * 1e-40L, spare + 1, [&](std::uint64_t, Real term) { sum += term; });
  return sum;
}

}  // namespace

OverflowOdds OverflowProbabilities(const std::vector<BlockRange>& ranges, std::uint64_t chipBlocks,
                                   std::uint64_t badBlocks) {
  OverflowOdds odds;
  const std::uint64_t population = chipBlocks == 0 ? 0 : chipBlocks - 1;
  badBlocks = std::min(badBlocks, population);
  Real largest = 0;
  for (const BlockRange& r : ranges) {
    const Real p = UpperTail({population, std::min(Candidates(r), population), badBlocks}, r.SpareBlocks());
    odds.rows.push_back(p);
    largest = std::max(largest, p);
  }
  if (RangesOverlap(ranges)) return odds;
  if (largest == 0) {
    odds.job = 0;
    return odds;
  }
  // Row by row, the chance that so far j bad blocks fell into the rows passed and
  // none of them overflowed; the rest spread uniformly over the blocks not yet
  // passed, so each row's count is hypergeometric given j. Each overflow is added
  // where it happens, never taken as one minus the rest, so small chances stay exact.
  // Terms and states below `floor` are dropped: at most (rows + 1) x (N + 1)^2 of them,
  // together below 1e-30 of the answer, which is at least the largest row's chance.
  // A state counts bad blocks in rows that did not overflow: at most their spares.
  std::uint64_t spares = 0;
  for (const BlockRange& r : ranges) spares += r.SpareBlocks();
  const std::uint64_t top = std::min(badBlocks, spares);
  const Real states = static_cast<Real>(top) + 1;
  const Real floor = largest * 1e-30L / ((static_cast<Real>(ranges.size()) + 1) * states * states);
  std::vector<Real> p(top + 1, 0), next(top + 1, 0);
  p[0] = 1;
  std::uint64_t low = 0, high = 0;  // the states that may hold mass
  std::uint64_t left = population;
  Real overflow = 0;
  for (const BlockRange& r : ranges) {
    const std::uint64_t k = std::min(Candidates(r), left), spare = r.SpareBlocks();
    std::fill(next.begin(), next.end(), Real{0});
    std::uint64_t nextLow = UINT64_MAX, nextHigh = 0;
    for (std::uint64_t j = low; j <= high; ++j) {
      const Real weight = p[j];
      if (weight < floor || weight == 0) continue;
      const Hypergeometric h{left, k, badBlocks - j};
      h.Walk(weight, floor, 0, [&](std::uint64_t x, Real term) {
        if (x > spare) {
          overflow += weight * term;
          return;
        }
        next[j + x] += weight * term;
        nextLow = std::min(nextLow, j + x);
        nextHigh = std::max(nextHigh, j + x);
      });
    }
    left -= k;
    std::swap(p, next);
    if (nextLow == UINT64_MAX) break;  // nothing is left that has not overflowed
    low = nextLow;
    high = nextHigh;
  }
  odds.job = std::min<Real>(overflow, 1);
  return odds;
}

}  // namespace folvane
