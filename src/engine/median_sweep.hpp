#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace qor {

// A cut sweeping through a node's targets in an order other than their own (a
// feature's order): at every step one target moves from the right part to the
// left part. Each part keeps its median and the sums of its lower and upper
// halves, so both parts' sums of absolute deviations from their medians are
// known after every step in constant time (plus a scan over neighbouring bit
// words). Targets are addressed by their rank in ascending target order.
//
// The deviation sums come from running half sums, so they equal the direct
// sums of |v - median| up to rounding, and exactly while the targets are
// integers whose sums are exact in a double.
class MedianSweep {
 public:
  // The node's targets in ascending order, ranks 0..n-1.
  void set_values(std::span<const double> sorted);

  // Starting with every target in the right part, moves the targets of
  // ranks[0], ranks[1], ... to the left part, a distinct rank each, while
  // the right part keeps one. After the move of ranks[k], left[k] and right[k]
  // receive the two parts' deviation sums.
  void sweep(std::span<const std::uint32_t> ranks, std::span<double> left, std::span<double> right);

 private:
  std::vector<double> value_;         // targets ascending at positions 1..n; 0.0 at 0 and n + 1
  std::vector<std::uint64_t> right_;  // bit per position: in the right part; sentinels set
  std::vector<std::uint64_t> left_;   // bit per position: in the left part; sentinels set
  std::size_t median_at_ = 0;         // position of the full set's ((n - 1) / 2)-th target
  double low_sum_ = 0.0;              // full set: sum of the targets up to median_at_
  double total_ = 0.0;                // full set: sum of all targets
};

}  // namespace qor
