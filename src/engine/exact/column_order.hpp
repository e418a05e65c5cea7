#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace qor {

// One row of a column in ascending order of its values, in 32 bits: the row
// position (below 2**31) and, in the top bit, whether the value differs from
// the previous entry's, which is where a cut may be placed. NaN sorts after
// every number and equals every other NaN; -0.0 equals +0.0.
struct ColumnEntry {
  std::uint32_t bits = 0;

  static constexpr std::uint32_t kNewValue = 0x80000000u;
  static constexpr std::uint32_t kLargestRow = 0x7FFFFFFFu;

  static ColumnEntry of(std::uint32_t row, bool new_value) noexcept {
    return {row | (new_value ? kNewValue : 0u)};
  }
  std::uint32_t row() const noexcept { return bits & kLargestRow; }
  // True when the value differs from the previous entry's (always true for the
  // first entry of a column, where no cut can go).
  bool new_value() const noexcept { return (bits & kNewValue) != 0; }
};

// Unsigned key whose order is the ascending order of doubles, with -0.0 and +0.0
// equal and every NaN after +infinity, so an integer sort orders values.
std::uint64_t order_key(double value) noexcept;

// Sorts values by order_key. Keeps its scratch buffers between calls, so one
// sorter serves a whole fit.
class ColumnSorter {
 public:
  // out[i] receives the row of the i-th smallest value, marked where its value
  // differs from the previous one; values[j] belongs to rows[j], and equal values
  // keep their order in `values` (stable). The three spans have the same
  // length, and rows lie below 2**31.
  void sort(std::span<const double> values, std::span<const std::uint32_t> rows,
            std::span<ColumnEntry> out);

 private:
  std::vector<std::uint64_t> items_;  // high 32 key bits above the input position
  std::vector<std::uint64_t> swap_;
  std::vector<std::uint32_t> counts_;  // radix histograms
};

}  // namespace qor
