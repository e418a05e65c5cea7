#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace qor {

// A cut sweeping through a node's targets in an order other than their own (a
// feature's order): at every step one target moves from the right part to the
// left part. Each part keeps its median and the sums of its lower half and of
// all its targets, so both parts' sums of absolute deviations from their
// medians are known after every step in constant time (plus a scan over
// neighbouring bit words). Targets are addressed by their rank in ascending
// target order.
//
// The deviation sums come from running sums, so they equal the direct sums
// of |v - median| up to rounding, and exactly while the targets are integers
// whose sums are exact in a double.
struct Deviations {
  double left = 0.0;   // sum of |v - median| over the left part
  double right = 0.0;  // the same over the right part
};

class MedianSweep {
 public:
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
  // Both parts, kept by the caller: in locals they stay in registers, which
  // the sweep's own members could not (its bit words might alias them).
  struct Parts {
    Part left;
    Part right;
  };

  // The node's targets in ascending order, ranks 0..n-1.
  void set_values(std::span<const double> sorted);

  // Every target back in the right part: the parts to start from.
  Parts start();
  // Moves the target of `rank` (still in the right part, which must keep at
  // least one target) to the left part; both parts' deviation sums after it.
  // Inlined: the sweep's two moves per row are the hot loop of mae.
  [[gnu::always_inline]] Deviations move(Parts& parts, std::size_t rank) noexcept;

 private:
  static std::uint64_t bit(std::size_t at) noexcept { return std::uint64_t{1} << (at & 63); }

  // One bit set serves both parts: a set bit is a target in the right part, a
  // clear bit one in the left part. Positions are ranks plus two; 0 and n + 3
  // are set and 1 and n + 2 clear, so scans for either part stop at a
  // sentinel before leaving the targets.
  static std::size_t next_set(const std::uint64_t* bits, std::size_t at) noexcept {
    std::size_t word = at >> 6;
    std::uint64_t w = bits[word] & ((~std::uint64_t{0} << (at & 63)) << 1);
    while (w == 0) w = bits[++word];
    return word * 64 + static_cast<std::size_t>(std::countr_zero(w));
  }
  static std::size_t previous_set(const std::uint64_t* bits, std::size_t at) noexcept {
    std::size_t word = at >> 6;
    std::uint64_t w = bits[word] & (bit(at) - 1);
    while (w == 0) w = bits[--word];
    return word * 64 + static_cast<std::size_t>(std::bit_width(w)) - 1;
  }
  static std::size_t next_clear(const std::uint64_t* bits, std::size_t at) noexcept {
    std::size_t word = at >> 6;
    std::uint64_t w = ~bits[word] & ((~std::uint64_t{0} << (at & 63)) << 1);
    while (w == 0) w = ~bits[++word];
    return word * 64 + static_cast<std::size_t>(std::countr_zero(w));
  }
  static std::size_t previous_clear(const std::uint64_t* bits, std::size_t at) noexcept {
    std::size_t word = at >> 6;
    std::uint64_t w = ~bits[word] & (bit(at) - 1);
    while (w == 0) w = ~bits[--word];
    return word * 64 + static_cast<std::size_t>(std::bit_width(w)) - 1;
  }

  // Branch-free choices (compilers tend to branch on a ternary): which side of
  // a median a target falls is as good as random, so a branch would mispredict
  // half the time. Adding a chosen 0.0 changes nothing.
  static std::uint64_t mask_of(bool c) noexcept {
    return std::uint64_t{0} - static_cast<std::uint64_t>(c);
  }
  static std::size_t pick(bool c, std::size_t if_true, std::size_t if_false) noexcept {
    return if_false ^ ((if_false ^ if_true) & mask_of(c));
  }
  static double pick(bool c, double if_true, double if_false) noexcept {
    const auto t = std::bit_cast<std::uint64_t>(if_true);
    const auto f = std::bit_cast<std::uint64_t>(if_false);
    return std::bit_cast<double>(f ^ ((f ^ t) & mask_of(c)));
  }

  std::vector<double> value_;         // targets ascending at positions 2..n+1; 0.0 elsewhere
  std::vector<std::uint64_t> right_;  // bit per position: set while in the right part
  Part full_;                         // the right part before the first move
};

[[gnu::always_inline]] inline Deviations MedianSweep::move(Parts& parts,
                                                           std::size_t rank) noexcept {
  const double* value = value_.data();
  std::uint64_t* bits = right_.data();
  Part r = parts.right;
  Part l = parts.left;
  const std::size_t at = rank + 2;
  bits[at >> 6] &= ~bit(at);
  const double v = value[at];

  double right_deviation = 0.0;
  r.total -= v;
  if (r.size % 2 == 1) {
    // Odd to even: the median steps down unless a target below it left
    // (when the median itself left, v is its value).
    const std::size_t below = previous_set(bits, r.median_at);
    const bool stays = at < r.median_at;
    r.low -= pick(stays, v, value[r.median_at]);
    r.median_at = pick(stays, r.median_at, below);
    right_deviation = (r.total - r.low) - r.low;
  } else {
    // Even to odd: the median steps up unless a target above it left.
    const std::size_t over = next_set(bits, r.median_at);
    const bool steps_up = at <= r.median_at;
    r.low += pick(steps_up, value[over] - v, 0.0);
    r.median_at = pick(steps_up, over, r.median_at);
    right_deviation = ((r.total - r.low) - r.low) + value[r.median_at];
  }
  --r.size;

  double left_deviation = 0.0;
  l.total += v;
  if (l.size % 2 == 1) {
    // Odd to even, same median index: it steps down when the new target lies below.
    const std::size_t below = previous_clear(bits, l.median_at);
    const bool steps_down = at < l.median_at;
    l.low += pick(steps_down, v - value[l.median_at], 0.0);
    l.median_at = pick(steps_down, below, l.median_at);
    left_deviation = (l.total - l.low) - l.low;
  } else {
    // Even to odd, the median index rises: it steps up when the new target lies above.
    if (l.size == 0) {
      l.median_at = at;
      l.low = v;
    } else {
      const std::size_t over = next_clear(bits, l.median_at);
      const bool steps_up = at > l.median_at;
      l.low += pick(steps_up, value[over], v);
      l.median_at = pick(steps_up, over, l.median_at);
    }
    left_deviation = ((l.total - l.low) - l.low) + value[l.median_at];
  }
  ++l.size;
  parts.right = r;
  parts.left = l;
  return {left_deviation, right_deviation};
}

// The same sweep under sample weights. Each part's weighted median is the
// first target at which its running weight reaches half its weight (the mean
// with the next target of positive weight when it lands exactly on half), and
// its deviation sum is S - 2 S_p + median (2 W_p - W), with W, S the part's
// weight and weighted sum and W_p, S_p those of its targets up to the median.
// Prefix sums come from Fenwick trees over the ranks, so a move costs
// O(log n); the sums drift by rounding as the sweep goes.
class WeightedMedianSweep {
 public:
  // The node's targets in ascending order and their weights (>= 0).
  void set_values(std::span<const double> sorted, std::span<const double> weights);

  void start();
  Deviations move(std::size_t rank) noexcept;

 private:
  // Prefix sums of weight and of weight * value over ranks.
  struct Fenwick {
    std::vector<double> weight;  // 1-based tree
    std::vector<double> sum;
    double total_weight = 0.0;
    double total_sum = 0.0;

    void add(std::size_t rank, double w, double ws) noexcept;
    // `own[r]` is the weight the part holds of rank r: rounding leaves tree
    // sums of ranks that left a part a hair off zero, so the median's own
    // weight is read from there.
    template <class Own>
    double deviation(const double* value, Own own, std::size_t top) const noexcept;
  };

  std::vector<double> value_;
  std::vector<double> weight_;
  std::vector<std::uint8_t> moved_;  // per rank: 1 once in the left part
  std::size_t top_ = 0;              // highest power of two not above the number of ranks
  Fenwick full_;
  Fenwick left_;
  Fenwick right_;
};

}  // namespace qor
