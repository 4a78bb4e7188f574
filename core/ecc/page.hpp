#pragma once
// A page under an ECC scheme: laying it out from the page's data, checking the ECC it
// holds, and correcting what was read back.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "ecc/bch.hpp"
#include "ecc/result.hpp"
#include "ecc/scheme.hpp"

namespace folvane {

struct EccLayoutOptions {
  /// Lay out a page whose data is all 0xFF like any other, ECC included, instead of
  /// leaving it erased (the programmers' "skip 0xFF pages" turned off).
  bool programErased = false;
};

/// What LayOut did with a page.
enum class Laid : std::uint8_t { kProgrammed, kLeftErased, kWrongSize };

/// The ECC a page holds against its data.
struct PageCheck {
  bool wrongSize = false;
  bool erased = false;                   ///< every byte of the page is 0xFF; no step is checked
  std::vector<std::uint32_t> differing;  ///< the steps whose stored ECC bytes are not their data's
};

enum class PageState : std::uint8_t {
  kClean,             ///< every step's ECC matches
  kCorrected,         ///< flipped bits were corrected, in no step more than the code allows
  kUncorrectable,     ///< at least one step could not be corrected
  kErased,            ///< every code byte is 0xFF
  kErasedWithFlips,   ///< an erased page with a few bits read as 0 (see PageCodec::Decode)
  kWrongSize,
};

/// A step decoded: how many bits were corrected, or kUncorrectable.
inline constexpr int kUncorrectable = -1;

/// A page read back and corrected.
struct PageDecode {
  PageState state = PageState::kClean;
  std::vector<int> steps;   ///< bits corrected per step, or kUncorrectable; empty for erased pages
  unsigned erasedZeros = 0; ///< bits read as 0 in an erased page's steps
};

/// A scheme fitted to one page size, with its placement tables and its code built once;
/// lays out, checks and decodes pages of that size.
class PageCodec {
 public:
  /// The codec, or the refusal with its arithmetic (see PlanPage).
  static EccResult<PageCodec> Make(const EccScheme& scheme, std::uint32_t dataBytes, std::uint32_t spareBytes);

  [[nodiscard]] const EccScheme& Scheme() const { return scheme_; }
  [[nodiscard]] const PagePlan& Plan() const { return plan_; }
  [[nodiscard]] std::uint32_t DataBytes() const { return plan_.dataBytes; }
  [[nodiscard]] std::uint32_t PageBytes() const { return plan_.dataBytes + plan_.spareBytes; }

  /// The full page (data and spare) for the page's data: data and ECC in their places,
  /// the marker and free bytes 0xFF. Data all 0xFF leaves the whole page 0xFF unless
  /// `options` say to program erased pages. `data` is DataBytes() long, `page`
  /// PageBytes().
  Laid LayOut(std::span<const std::uint8_t> data, std::span<std::uint8_t> page, const EccLayoutOptions& options = {}) const;

  /// LayOut() for a page whose data already stands in its first DataBytes() bytes,
  /// where a reader put it straight from the image: the same page results. Only the
  /// spare area is written where the plan keeps the data in one piece.
  Laid LayOutInPlace(std::span<std::uint8_t> page, const EccLayoutOptions& options = {}) const;

  /// The steps of a raw page whose stored ECC bytes (padding included) differ from
  /// what the data read gives; an all-0xFF page is reported as erased instead.
  [[nodiscard]] PageCheck Check(std::span<const std::uint8_t> page) const;

  /// Whether step `step` of a raw page holds the ECC bytes (padding included) that its
  /// data gives: Check() for one step, for a reader that needs no other. False for a
  /// page of the wrong size or a step past the page.
  [[nodiscard]] bool StepMatches(std::span<const std::uint8_t> page, std::size_t step) const;

  /// The page's data, corrected step by step, into `data` (DataBytes() long; all 0xFF
  /// for an erased page; a step that cannot be corrected is copied as read).
  /// A page counts as erased, and is not decoded, when no step has more bits read as 0
  /// over its data and its code's ECC bytes (the marker, padding and free bytes aside)
  /// than the code corrects (t, or 1 for Hamming). A written step has more: with a mask
  /// it is a codeword other than the erased one, at least 2t + 1 bits away from it.
  [[nodiscard]] PageDecode Decode(std::span<const std::uint8_t> page, std::span<std::uint8_t> data) const;

  /// One step of a raw page corrected on its own, for a reader that knows which steps
  /// changed: the step's codeword (Scheme().step bytes, its data first) into
  /// `codeword`, and the bits corrected or kUncorrectable (the codeword then as read).
  /// No erased-page test: an erased step is decoded like any other. Wrong sizes or a
  /// step past the page give kUncorrectable.
  [[nodiscard]] int DecodeStep(std::span<const std::uint8_t> page, std::size_t step,
                               std::span<std::uint8_t> codeword) const;

 private:
  PageCodec() = default;  // only Make builds one, from a plan that fits
  EccScheme scheme_;
  PagePlan plan_;
  std::optional<BchCode> bch_;
  std::uint32_t codeBytes_ = 0;
  /// Every step's code ECC bytes lie one after another in the page: they are compared
  /// as one run.
  bool eccInRuns_ = false;
  // Writes the code's ECC bytes of every step, codeBytes_ apart, from the steps' codewords.
  void EncodeAll(std::span<const std::uint8_t* const> codewords, std::uint8_t* ecc) const;
  // Writes every step's ECC bytes, and the padding after them, to their places in `page`.
  void PlaceEcc(std::span<const std::uint8_t* const> codewords, std::span<std::uint8_t> page) const;
  void Gather(std::span<const std::uint8_t> page, const StepPlace& p, std::uint8_t* codeword) const;
  struct Scratch;
  // Points at every step's codeword in `page` (gathered where it is not in one piece)
  // and computes their ECC again into the scratch.
  void Recompute(std::span<const std::uint8_t> page, Scratch& scratch) const;
};

}  // namespace folvane
