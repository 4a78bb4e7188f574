#pragma once
// Binary BCH codes over GF(2^m) for one step of data bytes: the encoder (the
// remainder of the data times x^deg g divided by the generator g, through
// carry-less multiplication where the processor has it, else eight or sixteen bytes
// at a time through byte tables) and the decoder (syndromes, Berlekamp-Massey,
// Chien search over the shortened codeword).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "ecc/gf.hpp"
#include "ecc/result.hpp"

namespace folvane {

/// The order in which a byte's bits enter the code: most significant first, or least
/// significant first with every ECC byte stored bit-reversed ("swapped").
enum class BitOrder : std::uint8_t { kMsbFirst, kLsbFirst };

/// What decides a BCH code.
struct BchParams {
  unsigned m = 13;
  unsigned t = 8;
  std::uint32_t stepBytes = 512;
  std::uint32_t poly = 0;  ///< 0: the default primitive polynomial of m
  BitOrder bits = BitOrder::kMsbFirst;
  /// XOR the ECC with the complement of an erased step's ECC, so that an erased step
  /// (data and ECC all 0xFF) is a codeword.
  bool masked = true;
  friend bool operator==(const BchParams&, const BchParams&) = default;
};

/// The default primitive polynomial of GF(2^m) for 9 <= m <= 16, 0 outside.
std::uint32_t DefaultPrimitivePoly(unsigned m);

/// The smallest m (9..16) whose field holds `stepBytes` data bits and m*t ECC bits in
/// one codeword (8*stepBytes + m*t <= 2^m - 1); nothing if none does.
std::optional<unsigned> SmallestFieldFor(std::uint32_t stepBytes, unsigned t);

/// deg g for t over GF(2^m) without building the code: the sizes of the distinct
/// cyclotomic cosets of 1, 3, ..., 2t-1 added up (m*t unless some are shorter than m).
unsigned BchEccBits(unsigned m, unsigned t);

/// How the encoder computes its remainders: the fastest way this processor has
/// (carry-less multiplication where there is one, 64 bytes at a time where it
/// multiplies four pairs of words at once), carry-less multiplication 16 bytes at a
/// time even where it could take 64, or the byte tables everywhere. All give the same
/// bytes.
enum class BchEngine : std::uint8_t { kFastest, kNarrowCarryless, kPortable };

/// A binary BCH code correcting t bits in a step of data bytes and its ECC bytes.
/// Copies share the tables.
class BchCode {
 public:
  /// The code of `params`; an error giving the arithmetic when t or the step does not
  /// fit the field, or when the polynomial is not primitive.
  static EccResult<BchCode> Make(const BchParams& params, BchEngine engine = BchEngine::kFastest);

  [[nodiscard]] const BchParams& Params() const;
  /// deg g, the ECC bits (m*t unless some minimal polynomials are shorter than m).
  [[nodiscard]] unsigned EccBits() const;
  /// ceil(deg g / 8): the ECC bytes of a step.
  [[nodiscard]] std::uint32_t EccBytes() const { return (EccBits() + 7) / 8; }
  /// The generator polynomial, coefficient i at bit i % 64 of word i / 64.
  [[nodiscard]] const std::vector<std::uint64_t>& Generator() const;
  [[nodiscard]] const GaloisField& Field() const;
  /// The mask XORed onto the stored ECC (all zero for an unmasked code).
  [[nodiscard]] std::span<const std::uint8_t> Mask() const;
  /// Whether the encoder multiplies carry-less rather than going through byte tables.
  [[nodiscard]] bool MultipliesCarryless() const;

  /// Writes the EccBytes() ECC bytes of `data` (StepBytes long) to `ecc`.
  void Encode(const std::uint8_t* data, std::uint8_t* ecc) const;
  /// Encode() for several steps at once (faster than one by one: the steps' table
  /// lookups overlap); `ecc` has a place for each step of `data`.
  void EncodeSteps(std::span<const std::uint8_t* const> data, std::span<std::uint8_t* const> ecc) const;
  /// Whether `ecc` is the ECC of `data`: the encoder's work and a comparison.
  [[nodiscard]] bool Matches(const std::uint8_t* data, const std::uint8_t* ecc) const;
  /// Corrects up to t flipped bits in `data` and `ecc` in place; how many it corrected,
  /// or nothing (and nothing changed) when the step cannot be corrected.
  [[nodiscard]] std::optional<unsigned> Correct(std::uint8_t* data, std::uint8_t* ecc) const;

 /// The field, generator and encoder tables; defined where they are built.
  struct Tables;

 private:
  BchCode() = default;  // only Make builds one: every code has its tables
  std::shared_ptr<const Tables> p_;
  // The remainder register: `words` 64-bit words, the first the most significant.
  void Remainder(const std::uint8_t* data, std::uint64_t* reg) const;
  void RegisterToStored(const std::uint64_t* reg, std::uint8_t* ecc) const;
  void StoredToRegister(const std::uint8_t* ecc, std::uint64_t* reg) const;
};

}  // namespace folvane
