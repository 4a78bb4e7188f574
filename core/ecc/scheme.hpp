#pragma once
// An ECC scheme as a value: the code, the data bytes of a step, the ECC bytes a step
// stores and where a page keeps them. Schemes are named ("linux-bch8/512") or written
// out ("bch:t=8,step=512,at=2"); the named ones are rows of a table of written-out
// forms.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ecc/bch.hpp"
#include "ecc/hamming.hpp"
#include "ecc/result.hpp"

namespace folvane {

enum class EccCode : std::uint8_t { kHamming, kBch };

/// Where the ECC bytes go.
enum class EccPlacement : std::uint8_t {
  /// The Linux default. Pages of 512 data bytes: Hamming in spare bytes 0-3 and 6-7
  /// in order, BCH at the end of the spare area; spare byte 5 is the bad-block marker.
  /// Larger pages: Hamming from spare byte 40 (64 spare bytes) or 80 (128), BCH at the
  /// end of the spare area; spare bytes 0-1 are the marker.
  kLinux,
  /// All steps' ECC bytes one after the other from spare byte `at`.
  kFrom,
  /// The page's data cut into codewords of `step` bytes, each written as a chunk of
  /// `chunk` bytes: the codeword, its ECC, 0xFF up to the chunk size, with one 0xFF
  /// byte inserted where the page's bad-block marker (page offset dataBytes) falls.
  kInterleaved,
};

/// One ECC scheme. Two schemes that write the same pages compare equal.
struct EccScheme {
  EccCode code = EccCode::kBch;
  std::uint32_t step = 512;  ///< data bytes of a step (of a codeword, interleaved)
  HammingOrder order = HammingOrder::kLinux;  ///< Hamming only
  unsigned t = 8;                             ///< BCH: bits corrected per step
  unsigned m = 13;                            ///< BCH: the field GF(2^m)
  std::uint32_t poly = 0x201B;                ///< BCH: the primitive polynomial of the field
  BitOrder bits = BitOrder::kMsbFirst;        ///< BCH
  bool masked = true;                         ///< BCH: an erased step's ECC is all 0xFF
  std::uint32_t eccBytes = 13;                ///< stored per step: the code's bytes, then `pad`
  std::uint8_t pad = 0xFF;                    ///< the bytes that widen a step's ECC
  EccPlacement placement = EccPlacement::kLinux;
  std::uint32_t at = 0;     ///< kFrom: the first spare byte
  std::uint32_t chunk = 0;  ///< kInterleaved: bytes per chunk
  /// The bytes of the code itself, before any padding.
  [[nodiscard]] std::uint32_t CodeBytes() const;
  /// Bits the code corrects per step: t, or 1 for Hamming.
  [[nodiscard]] unsigned Corrects() const { return code == EccCode::kHamming ? 1 : t; }
  [[nodiscard]] BchParams Bch() const { return BchParams{m, t, step, poly, bits, masked}; }
  friend bool operator==(const EccScheme&, const EccScheme&) = default;
};

/// A scheme from its name or written-out form:
///   linux-hamming, linux-hamming-sm, linux-hamming/512, linux-bch<t>/<step>,
///   qcom-bch4, qcom-bch8,
///   hamming:step=256|512[,order=linux|sm][,at=N]
///   bch:t=T,step=S[,poly=P][,bits=msb|lsb][,mask=erased|none][,bytes=B][,pad=X][,at=N|,chunk=C]
/// Numbers are decimal or 0x-prefixed hexadecimal. Without `poly`, m is the smallest
/// field whose codeword holds the step's bits and m*t ECC bits; with it, m is the
/// polynomial's degree. The error names the bad text and lists the known names, or
/// gives the arithmetic that rules the code out.
EccResult<EccScheme> ParseScheme(std::string_view text);

/// The shortest text ParseScheme reads back as `scheme`: its name where it has one.
std::string SchemeText(const EccScheme& scheme);

/// A named scheme as `folvane-cli ecc list` shows it.
struct NamedScheme {
  std::string name;
  EccScheme scheme;
  std::string code;       ///< "BCH t=8 over GF(2^13), masked"
  std::string placement;  ///< where the ECC bytes go
};

/// The named schemes; linux-bch<t>/<step> takes any t and step, and the list shows
/// the usual ones.
std::vector<NamedScheme> NamedSchemes();

/// One step's place in a page: where its codeword's bytes and its ECC bytes are.
struct StepPlace {
  std::uint32_t dataFrom = 0;  ///< offset of the step's first byte in the page data
  std::uint32_t dataLen = 0;   ///< page data bytes in the step; the rest of the step is 0xFF
  /// The codeword's bytes lie in at most two runs: bytes [0, split) at page offset
  /// `at[0]`, bytes [split, step) at `at[1]`.
  std::uint32_t split = 0;
  std::uint32_t at[2] = {0, 0};
  std::uint32_t eccFirst = 0;  ///< index of the step's first entry in PagePlan::eccOffsets
};

/// Where a scheme puts every step's bytes in a page of `dataBytes` + `spareBytes`.
struct PagePlan {
  std::uint32_t dataBytes = 0;
  std::uint32_t spareBytes = 0;
  std::vector<StepPlace> steps;
  std::vector<std::uint32_t> eccOffsets;  ///< page offset of each stored ECC byte, step by step
  /// Whether every step's codeword is the page's data itself, step s at
  /// data[s*step, (s+1)*step) and the same page offset: the fast path of the common layouts.
  bool contiguous = false;
};

/// The plan of `scheme` for the page, or the refusal with its arithmetic: a scheme
/// whose ECC bytes do not fit the spare area with the bad-block marker kept, steps
/// that do not divide the page's data, chunks that do not fit the page.
EccResult<PagePlan> PlanPage(const EccScheme& scheme, std::uint32_t dataBytes, std::uint32_t spareBytes);

/// Whether `scheme` fits the page; if not and `why` is given, the refusal.
bool Fits(const EccScheme& scheme, std::uint32_t dataBytes, std::uint32_t spareBytes, std::string* why = nullptr);

}  // namespace folvane
