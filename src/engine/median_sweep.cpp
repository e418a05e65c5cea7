#include "median_sweep.hpp"

#include <bit>

namespace qor {

namespace {

std::uint64_t bit(std::size_t at) noexcept { return std::uint64_t{1} << (at & 63); }

// Positions are ranks plus one: 0 and n + 1 are sentinels present in both bit
// sets, so these scans always stop.
std::size_t next_in(const std::uint64_t* bits, std::size_t at) noexcept {
  std::size_t word = at >> 6;
  std::uint64_t w = bits[word] & ((~std::uint64_t{0} << (at & 63)) << 1);
  while (w == 0) w = bits[++word];
  return word * 64 + static_cast<std::size_t>(std::countr_zero(w));
}

std::size_t previous_in(const std::uint64_t* bits, std::size_t at) noexcept {
  std::size_t word = at >> 6;
  std::uint64_t w = bits[word] & (bit(at) - 1);
  while (w == 0) w = bits[--word];
  return word * 64 + 63 - static_cast<std::size_t>(std::countl_zero(w));
}

// Branch-free choices (compilers tend to branch on a ternary): which side of a median a target
// falls is as good as random, so a branch would mispredict half the time. Adding a chosen 0.0
// changes nothing.
std::uint64_t mask_of(bool c) noexcept { return std::uint64_t{0} - static_cast<std::uint64_t>(c); }

std::size_t pick(bool c, std::size_t if_true, std::size_t if_false) noexcept {
  const std::uint64_t m = mask_of(c);
  return static_cast<std::size_t>((if_true & m) | (if_false & ~m));
}

double pick(bool c, double if_true, double if_false) noexcept {
  const std::uint64_t m = mask_of(c);
  return std::bit_cast<double>((std::bit_cast<std::uint64_t>(if_true) & m) |
                               (std::bit_cast<std::uint64_t>(if_false) & ~m));
}

// One part: `median_at` is the position of its ((size - 1) / 2)-th target,
// `low` the sum of its targets at or below that position, `total` the sum of
// all of them. The upper half lies above the median and the lower half below
// it, and an odd part's lower half holds the median once more than the upper
// half, so the deviation sum is total - 2 low, plus the median when odd.
struct Part {
  std::size_t size = 0;
  std::size_t median_at = 0;
  double low = 0.0;
  double total = 0.0;
};

}  // namespace

void MedianSweep::set_values(std::span<const double> sorted) {
  const std::size_t n = sorted.size();
  value_.assign(n + 2, 0.0);
  for (std::size_t i = 0; i < n; ++i) value_[i + 1] = sorted[i];
  median_at_ = n == 0 ? 0 : (n - 1) / 2 + 1;
  low_sum_ = 0.0;
  total_ = 0.0;
  for (std::size_t at = 1; at <= n; ++at) {
    if (at <= median_at_) low_sum_ += value_[at];
    total_ += value_[at];
  }
}

void MedianSweep::sweep(std::span<const std::uint32_t> ranks, std::span<double> left_out,
                        std::span<double> right_out) {
  const std::size_t n = value_.size() - 2;
  const std::size_t words = (n + 1) / 64 + 1;
  right_.assign(words, ~std::uint64_t{0});
  if ((n + 2) % 64 != 0) right_[words - 1] = bit(n + 2) - 1;  // nothing past n + 1
  left_.assign(words, 0);
  left_[0] |= bit(0);
  left_[(n + 1) >> 6] |= bit(n + 1);

  const double* value = value_.data();
  std::uint64_t* in_right = right_.data();
  std::uint64_t* in_left = left_.data();
  Part r{n, median_at_, low_sum_, total_};
  Part l;
  for (std::size_t k = 0; k < ranks.size(); ++k) {
    const std::size_t at = ranks[k] + std::size_t{1};
    in_right[at >> 6] &= ~bit(at);
    in_left[at >> 6] |= bit(at);
    const double v = value[at];

    r.total -= v;
    if (r.size % 2 == 1) {
      // Odd to even: the median steps down unless a target below it left.
      const std::size_t below = previous_in(in_right, r.median_at);
      r.low -= pick(at > r.median_at, value[r.median_at], v);
      r.median_at = pick(at < r.median_at, r.median_at, below);
      right_out[k] = (r.total - r.low) - r.low;
    } else {
      // Even to odd: the median steps up unless a target above it left.
      const std::size_t over = next_in(in_right, r.median_at);
      const bool steps = at <= r.median_at;
      r.low += pick(steps, value[over] - v, 0.0);
      r.median_at = pick(steps, over, r.median_at);
      right_out[k] = ((r.total - r.low) - r.low) + value[r.median_at];
    }
    --r.size;

    l.total += v;
    if (l.size % 2 == 1) {
      // Odd to even, same median index: it steps down when the new target lies below.
      const std::size_t below = previous_in(in_left, l.median_at);
      const bool steps = at < l.median_at;
      l.low += pick(steps, v - value[l.median_at], 0.0);
      l.median_at = pick(steps, below, l.median_at);
      left_out[k] = (l.total - l.low) - l.low;
    } else {
      // Even to odd, the median index rises: it steps up when the new target lies above.
      if (l.size == 0) {
        l.median_at = at;
        l.low = v;
      } else {
        const std::size_t over = next_in(in_left, l.median_at);
        const bool steps = at > l.median_at;
        l.low += pick(steps, value[over], v);
        l.median_at = pick(steps, over, l.median_at);
      }
      left_out[k] = ((l.total - l.low) - l.low) + value[l.median_at];
    }
    ++l.size;
  }
}

}  // namespace qor
