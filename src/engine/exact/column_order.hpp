#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
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
  // The same from the high 32 bits of each value's order_key, high_of(j) for
  // rows[j], with where(row) the address of that row's value (read only where
  // high bits tie). Every high_of is read before `out` is written, so the high
  // bits may wait in `out`'s memory.
  template <class HighOf, class Where>
  void sort_high(HighOf&& high_of, Where&& where, std::span<const std::uint32_t> rows,
                 std::span<ColumnEntry> out) {
    const std::size_t n = rows.size();
    items_.resize(n);
    // Rows that rise along the input order sort alike by row and by position:
    // the items then carry rows, and no entry waits on a scattered read of
    // `rows`, which for a large fit misses the cache once per entry.
    bool rising = true;
    for (std::size_t i = 1; i < n && rising; ++i) rising = rows[i - 1] < rows[i];
    const auto high = [&](std::size_t i) {
      return std::uint64_t{high_of(static_cast<std::uint32_t>(i))} << 32;
    };
    if (rising) {
      for (std::size_t i = 0; i < n; ++i) items_[i] = high(i) | rows[i];
      sort_items(where, [](std::uint32_t row) { return row; }, out);
      return;
    }
    for (std::size_t i = 0; i < n; ++i) items_[i] = high(i) | i;
    sort_items([&](std::uint32_t position) { return where(rows[position]); },
               [&](std::uint32_t position) { return rows[position]; }, out);
  }

 private:
  // Orders items_ (the high 32 key bits above a tag, each input's own) by full
  // key, then tag: the value at where(tag) gives the key, row_of(tag) the row
  // an entry names. Stable where tags rise with the input order.
  template <class Where, class RowOf>
  void sort_items(Where&& where, RowOf&& row_of, std::span<ColumnEntry> out);

  std::vector<std::uint64_t> items_;  // high 32 key bits above a tag
  std::vector<std::uint64_t> swap_;
  std::vector<std::uint32_t> tied_;    // positions of items_ whose high bits tie with a neighbour's
  std::vector<std::uint32_t> counts_;  // radix histograms
};


// Radix passes order 8-byte items by the high 32 bits of the key, 11 bits at
// a time: moving half the bytes of (key, row) pairs in three passes instead
// of eight is what makes the presort cheap. Items whose high bits tie are
// then ordered by the rest of the key, which is rare for real-valued columns
// (a tie means a relative difference below 2**-20).
namespace column_order {
inline constexpr int kDigitBits = 11;
inline constexpr int kDigits = 3;
inline constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
// Below this many values a comparison sort beats the histogram passes.
inline constexpr std::size_t kRadixFrom = 256;

inline std::size_t digit(std::uint64_t item, int d) noexcept {
  return static_cast<std::size_t>((item >> (32 + d * kDigitBits)) & (kBuckets - 1));
}
inline std::uint32_t position(std::uint64_t item) noexcept {
  return static_cast<std::uint32_t>(item);
}
}  // namespace column_order

template <class Where, class RowOf>
void ColumnSorter::sort_items(Where&& where, RowOf&& row_of, std::span<ColumnEntry> out) {
  using namespace column_order;
  const std::size_t n = items_.size();
  if (n < kRadixFrom) {
    // As integers, items order by high bits, then tag.
    std::sort(items_.begin(), items_.end());
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
  }

  // Items are in order of their high bits, ties in tag order. Within a run
  // that ties on them, the low 32 bits of each full key take the high bits'
  // place and the run is ordered as integers again: by full key, then tag.
  // Every NaN has the same key. The first of a run differs from everything
  // before it in its high bits: only it is marked for now.
  tied_.clear();
  for (std::size_t i = 0; i < n;) {
    std::size_t j = i + 1;
    while (j < n && (items_[j] >> 32) == (items_[i] >> 32)) ++j;
    for (std::size_t k = i; k < j; ++k) {
      out[k] = ColumnEntry::of(row_of(position(items_[k])), k == i);
      if (j - i > 1) tied_.push_back(static_cast<std::uint32_t>(k));
    }
    i = j;
  }
  // The tied items' values are scattered reads (rare for real-valued columns,
  // the whole run for a repeated value): each is asked for well before it is
  // read, so that many are in flight at once instead of one after another.
  constexpr std::size_t kAhead = 16;
  const std::size_t tied = tied_.size();
  for (std::size_t t = 0; t < tied; ++t) {
    if (t + kAhead < tied) __builtin_prefetch(where(position(items_[tied_[t + kAhead]])));
    std::uint64_t& item = items_[tied_[t]];
    item = (order_key(*where(position(item))) << 32) | position(item);
  }
  // Runs lie in tied_ in order, each opened by its marked first item.
  for (std::size_t t = 0; t < tied;) {
    std::size_t u = t + 1;
    while (u < tied && !out[tied_[u]].new_value()) ++u;
    const std::size_t i = tied_[t];
    const std::size_t j = i + (u - t);
    const auto run_begin = items_.begin() + static_cast<std::ptrdiff_t>(i);
    const auto run_end = items_.begin() + static_cast<std::ptrdiff_t>(j);
    if (!std::is_sorted(run_begin, run_end)) std::sort(run_begin, run_end);
    out[i] = ColumnEntry::of(row_of(position(items_[i])), true);
    for (std::size_t k = i + 1; k < j; ++k) {
      out[k] =
          ColumnEntry::of(row_of(position(items_[k])), (items_[k] >> 32) != (items_[k - 1] >> 32));
    }
    t = u;
  }
}

}  // namespace qor
