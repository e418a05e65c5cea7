#include "engine/exact/column_order.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <utility>

namespace qor {

std::uint64_t order_key(double value) noexcept {
  if (std::isnan(value)) return ~std::uint64_t{0};
  if (value == 0.0) value = 0.0;  // -0.0 takes the key of +0.0
  const auto bits = std::bit_cast<std::uint64_t>(value);
  constexpr std::uint64_t sign = std::uint64_t{1} << 63;
  // Negative numbers order backwards in their bits: flip them all; positives
  // only need to rise above every negative.
  return (bits & sign) != 0 ? ~bits : bits | sign;
}

void ColumnSorter::sort(std::span<const double> values, std::span<const std::uint32_t> rows,
                        std::span<ColumnEntry> out) {
  const std::size_t n = values.size();
  items_.resize(n);
  // Full keys are recomputed from the values where needed rather than kept:
  // the sorter's scratch is what bounds the presort's memory.
  for (std::size_t i = 0; i < n; ++i) items_[i] = (order_key(values[i]) & 0xFFFFFFFF00000000u) | i;
  sort_items([&](std::uint32_t position) { return &values[position]; },
             [&](std::uint32_t position) { return rows[position]; }, out);
}

}  // namespace qor
