#include "median_sweep.hpp"

namespace qor {

void MedianSweep::set_values(std::span<const double> sorted) {
  const std::size_t n = sorted.size();
  value_.assign(n + 4, 0.0);
  for (std::size_t i = 0; i < n; ++i) value_[i + 2] = sorted[i];
  full_ = Part{};
  full_.size = n;
  full_.median_at = n == 0 ? 0 : (n - 1) / 2 + 2;
  for (std::size_t at = 2; at <= n + 1; ++at) {
    if (at <= full_.median_at) full_.low += value_[at];
    full_.total += value_[at];
  }
}

void MedianSweep::restart() {
  const std::size_t n = value_.size() - 4;
  const std::size_t last = n + 3;  // the upper set sentinel
  right_.assign(last / 64 + 1, ~std::uint64_t{0});
  if (last % 64 != 63) right_.back() &= (bit(last) << 1) - 1;  // nothing past it
  right_[0] &= ~bit(1);
  right_[(n + 2) >> 6] &= ~bit(n + 2);
}

}  // namespace qor
