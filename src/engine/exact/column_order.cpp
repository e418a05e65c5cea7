#include "engine/exact/column_order.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <utility>

namespace qor {

namespace {

// Radix passes order 8-byte items by the high 32 bits of the key, 11 bits at
// a time: moving half the bytes of (key, row) pairs in three passes instead
// of eight is what makes the presort cheap. Items whose high bits tie are
// then ordered by the full key, which is rare for real-valued columns (a tie
// means a relative difference below 2**-20) and a no-op for repeated values.
constexpr int kDigitBits = 11;
constexpr int kDigits = 3;
constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
// Below this many values a comparison sort beats the histogram passes.
constexpr std::size_t kRadixFrom = 256;

std::size_t digit(std::uint64_t item, int d) noexcept {
  return static_cast<std::size_t>((item >> (32 + d * kDigitBits)) & (kBuckets - 1));
}

std::uint32_t position(std::uint64_t item) noexcept { return static_cast<std::uint32_t>(item); }

}  // namespace

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
  const auto key = [&](std::uint64_t item) { return order_key(values[position(item)]); };
  for (std::size_t i = 0; i < n; ++i) items_[i] = (order_key(values[i]) & 0xFFFFFFFF00000000u) | i;
  // Full key first, input position second: the stable order.
  const auto before = [&](std::uint64_t a, std::uint64_t b) {
    const std::uint64_t ka = key(a);
    const std::uint64_t kb = key(b);
    return ka < kb || (ka == kb && position(a) < position(b));
  };

  if (n < kRadixFrom) {
    std::sort(items_.begin(), items_.end(), before);
  } else {
    swap_.resize(n);
    counts_.assign(kDigits * kBuckets, 0);
    for (const std::uint64_t item : items_) {
      for (int d = 0; d < kDigits; ++d)
        ++counts_[static_cast<std::size_t>(d) * kBuckets + digit(item, d)];
    }
    for (int d = 0; d < kDigits; ++d) {
      std::uint32_t* count = counts_.data() + static_cast<std::size_t>(d) * kBuckets;
      // A digit shared by every item would leave the order as it is.
      if (count[digit(items_[0], d)] == n) continue;
      std::uint32_t offset = 0;
      for (std::size_t b = 0; b < kBuckets; ++b) offset += std::exchange(count[b], offset);
      for (const std::uint64_t item : items_) swap_[count[digit(item, d)]++] = item;
      items_.swap(swap_);
    }
    // Runs that tie on the high bits are in input order; order them by full key.
    for (std::size_t i = 0; i < n;) {
      std::size_t j = i + 1;
      bool sorted = true;
      while (j < n && (items_[j] >> 32) == (items_[i] >> 32)) {
        sorted = sorted && key(items_[j - 1]) <= key(items_[j]);
        ++j;
      }
      if (!sorted) {
        std::sort(items_.begin() + static_cast<std::ptrdiff_t>(i),
                  items_.begin() + static_cast<std::ptrdiff_t>(j), before);
      }
      i = j;
    }
  }

  // Items are in order now; the full keys are read only where the high bits
  // tie, as those reads are scattered. Every NaN has the same key.
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t item = items_[i];
    const bool new_value =
        i == 0 || (item >> 32) != (items_[i - 1] >> 32) || key(item) != key(items_[i - 1]);
    out[i] = ColumnEntry::of(rows[position(item)], new_value);
  }
}

}  // namespace qor
