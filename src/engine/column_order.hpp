#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace qor {

// Rank of a NaN value: after every number's rank and equal to none of them.
inline constexpr std::uint32_t kNanRank = 0xFFFFFFFFu;

// One row in a column's ascending order of values.
struct OrderedRow {
  std::uint32_t row = 0;   // row position in X and y
  std::uint32_t rank = 0;  // dense rank of the value among the distinct sorted values; equal
                           // values (-0.0 and +0.0 are equal) share it; kNanRank for NaN
};

// Unsigned key whose order is the ascending order of doubles, with -0.0 and +0.0
// equal and every NaN after +infinity, so an integer sort orders values.
std::uint64_t order_key(double value) noexcept;

// Sorts values by order_key. Keeps its scratch buffers between calls, so one
// sorter serves a whole fit.
class ColumnSorter {
 public:
  // out[i] receives the row of the i-th smallest value with its rank; values[j]
  // belongs to rows[j], and equal values keep their order in `values` (stable).
  // The three spans have the same length, below 2**32.
  void sort(std::span<const double> values, std::span<const std::uint32_t> rows,
            std::span<OrderedRow> out);

 private:
  std::vector<std::uint64_t> keys_;   // order_key of each value, by input position
  std::vector<std::uint64_t> items_;  // high 32 key bits above the input position
  std::vector<std::uint64_t> swap_;
  std::vector<std::uint32_t> counts_;  // radix histograms
};

}  // namespace qor
