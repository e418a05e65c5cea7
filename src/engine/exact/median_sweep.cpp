#include "engine/exact/median_sweep.hpp"

#include <algorithm>
#include <bit>

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

MedianSweep::Parts MedianSweep::start() {
  const std::size_t n = value_.size() - 4;
  const std::size_t last = n + 3;  // the upper set sentinel
  right_.assign(last / 64 + 1, ~std::uint64_t{0});
  if (last % 64 != 63) right_.back() &= (bit(last) << 1) - 1;  // nothing past it
  right_[0] &= ~bit(1);
  right_[(n + 2) >> 6] &= ~bit(n + 2);
  return {Part{}, full_};
}

void WeightedMedianSweep::set_values(std::span<const double> sorted,
                                     std::span<const double> weights) {
  const std::size_t n = sorted.size();
  value_.assign(sorted.begin(), sorted.end());
  weight_.assign(weights.begin(), weights.end());
  top_ = n == 0 ? 0 : std::bit_floor(n);
  full_ = Fenwick{};
  full_.weight.assign(n + 1, 0.0);
  full_.sum.assign(n + 1, 0.0);
  // Linear-time build: each node passes its sums on to its parent.
  for (std::size_t i = 1; i <= n; ++i) {
    const double w = weight_[i - 1];
    full_.weight[i] += w;
    full_.sum[i] += w * value_[i - 1];
    full_.total_weight += w;
    full_.total_sum += w * value_[i - 1];
    const std::size_t parent = i + (i & (~i + 1));
    if (parent <= n) {
      full_.weight[parent] += full_.weight[i];
      full_.sum[parent] += full_.sum[i];
    }
  }
}

void WeightedMedianSweep::start() {
  right_ = full_;
  moved_.assign(value_.size(), 0);
  left_.weight.assign(full_.weight.size(), 0.0);
  left_.sum.assign(full_.sum.size(), 0.0);
  left_.total_weight = 0.0;
  left_.total_sum = 0.0;
}

void WeightedMedianSweep::Fenwick::add(std::size_t rank, double w, double ws) noexcept {
  for (std::size_t i = rank + 1; i < weight.size(); i += i & (~i + 1)) {
    weight[i] += w;
    sum[i] += ws;
  }
  total_weight += w;
  total_sum += ws;
}

template <class Own>
double WeightedMedianSweep::Fenwick::deviation(const double* value, Own own,
                                               std::size_t top) const noexcept {
  if (!(total_weight > 0.0)) return 0.0;
  const double half = total_weight * 0.5;
  const std::size_t n = weight.size() - 1;
  // First rank whose prefix weight reaches `half` (strictly passes it when
  // `strict`), with the prefix sums before it.
  const auto descend = [&](bool strict, double& below_weight, double& below_sum) {
    std::size_t at = 0;
    below_weight = 0.0;
    below_sum = 0.0;
    for (std::size_t step = top; step > 0; step >>= 1) {
      const std::size_t next = at + step;
      if (next > n) continue;
      const double reached = below_weight + weight[next];
      if (strict ? reached <= half : reached < half) {
        at = next;
        below_weight = reached;
        below_sum += sum[next];
      }
    }
    return std::min(at, n - 1);  // 0-based rank
  };
  double prefix_weight = 0.0;
  double prefix_sum = 0.0;
  const std::size_t p = descend(false, prefix_weight, prefix_sum);
  prefix_weight += own(p);
  prefix_sum += own(p) * value[p];
  double median = value[p];
  if (prefix_weight == half) {
    double w = 0.0;
    double ws = 0.0;
    median = (value[p] + value[descend(true, w, ws)]) * 0.5;
  }
  return (total_sum - 2 * prefix_sum) + median * (2 * prefix_weight - total_weight);
}

Deviations WeightedMedianSweep::move(std::size_t rank) noexcept {
  const double w = weight_[rank];
  const double ws = w * value_[rank];
  right_.add(rank, -w, -ws);
  left_.add(rank, w, ws);
  moved_[rank] = 1;
  const auto in_left = [&](std::size_t r) { return moved_[r] != 0 ? weight_[r] : 0.0; };
  const auto in_right = [&](std::size_t r) { return moved_[r] == 0 ? weight_[r] : 0.0; };
  return {left_.deviation(value_.data(), in_left, top_),
          right_.deviation(value_.data(), in_right, top_)};
}

}  // namespace qor
