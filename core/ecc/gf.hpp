#pragma once
// Arithmetic in GF(2^m), the field the BCH codes are built over: elements are m-bit
// polynomials over GF(2) reduced by a primitive polynomial, multiplied through
// logarithm and antilogarithm tables built from that polynomial.

#include <cstdint>
#include <optional>
#include <vector>

namespace folvane {

/// GF(2^m) for 2 <= m <= 16, from a primitive polynomial of degree m (bit m set).
class GaloisField {
 public:
  /// The field of `poly`; nothing if `poly` is not of degree `m` or not primitive
  /// (its root does not run through all 2^m - 1 nonzero elements).
  static std::optional<GaloisField> Make(unsigned m, std::uint32_t poly);

  [[nodiscard]] unsigned M() const { return m_; }
  /// 2^m - 1: the number of nonzero elements and the order of alpha.
  [[nodiscard]] std::uint32_t Order() const { return n_; }
  [[nodiscard]] std::uint32_t Poly() const { return poly_; }
  /// alpha^i for any i >= 0.
  [[nodiscard]] std::uint32_t Exp(std::uint64_t i) const { return exp_[static_cast<std::size_t>(i % n_)]; }
  /// log_alpha(a) in 0..2^m - 2; a must not be 0.
  [[nodiscard]] std::uint32_t Log(std::uint32_t a) const { return log_[a]; }
  [[nodiscard]] std::uint32_t Mul(std::uint32_t a, std::uint32_t b) const {
    return a == 0 || b == 0 ? 0 : exp_[log_[a] + log_[b]];
  }
  /// a / b; b must not be 0.
  [[nodiscard]] std::uint32_t Div(std::uint32_t a, std::uint32_t b) const {
    return a == 0 ? 0 : exp_[log_[a] + n_ - log_[b]];
  }

 private:
  unsigned m_ = 0;
  std::uint32_t n_ = 0;
  std::uint32_t poly_ = 0;
  std::vector<std::uint32_t> exp_;  ///< alpha^i for i in 0..2n-1, so a sum of two logs needs no reduction
  std::vector<std::uint32_t> log_;  ///< log_[0] unused
};

}  // namespace folvane
