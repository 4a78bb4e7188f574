#include "ecc/gf.hpp"

namespace folvane {

std::optional<GaloisField> GaloisField::Make(unsigned m, std::uint32_t poly) {
  if (m < 2 || m > 16 || (poly >> m) != 1 || (poly & 1) == 0) return std::nullopt;
  GaloisField f;
  f.m_ = m;
  f.n_ = (1u << m) - 1;
  f.poly_ = poly;
  f.exp_.resize(2 * std::size_t{f.n_});
  f.log_.assign(std::size_t{f.n_} + 1, 0);
  std::vector<bool> seen(std::size_t{f.n_} + 1);
  std::uint32_t a = 1;
  for (std::uint32_t i = 0; i < f.n_; ++i) {
    // alpha^i coming back to an earlier power before all nonzero elements were seen
    // means alpha's order is short: the polynomial is not primitive.
    if (seen[a]) return std::nullopt;
    seen[a] = true;
    f.exp_[i] = f.exp_[i + f.n_] = a;
    f.log_[a] = i;
    a <<= 1;
    if (a >> m) a ^= poly;
  }
  if (a != 1) return std::nullopt;
  return f;
}

}  // namespace folvane
