#include "engine/exact/sparse_columns.hpp"

#include <algorithm>
#include <stdexcept>

#include "engine/tree/parallel.hpp"

namespace qor {

SparseColumns::SparseColumns(const SparseMatrix& X, std::span<const std::uint32_t> rows,
                             int threads, std::span<const std::uint8_t> skip)
    : columns_(std::max(X.cols, 0)) {
  const auto cols = static_cast<std::size_t>(columns_);
  // Stored entries of rows the fit leaves out (weight 0) count nowhere.
  const bool every_row = rows.size() == static_cast<std::size_t>(std::max(X.rows, 0));
  std::vector<std::uint8_t> in_fit;
  if (!every_row) {
    in_fit.assign(static_cast<std::size_t>(std::max(X.rows, 0)), 0);
    for (const std::uint32_t r : rows) in_fit[r] = 1;
  }
  const auto kept = [&](std::int64_t k) {
    return X.data[k] != 0.0 && (every_row || in_fit[static_cast<std::size_t>(X.indices[k])] != 0);
  };
  column_begin_.assign(cols + 1, 0);
  value_begin_.assign(cols + 1, 0);
  only_.assign(cols, 0.0);
  const auto skipped = [&](std::size_t f) { return !skip.empty() && skip[f] != 0; };
  for (std::size_t f = 0; f < cols; ++f) {
    std::size_t n = 0;
    bool uniform = true;
    const auto c = static_cast<std::int32_t>(f);
    for (std::int64_t k = X.begin(c); k < X.end(c) && !skipped(f); ++k) {
      if (!kept(k)) continue;
      if (n == 0) only_[f] = X.data[k];
      uniform = uniform && order_key(X.data[k]) == order_key(only_[f]);
      ++n;
    }
    column_begin_[f + 1] = column_begin_[f] + n;
    value_begin_[f + 1] = value_begin_[f] + (uniform ? 0 : n);
  }
  entries_.resize(column_begin_[cols]);
  values_.resize(value_begin_[cols]);
  starts_.assign(cols * 2, 0);
  for (std::size_t f = 0; f < cols; ++f) {
    starts_[f * 2 + 1] = static_cast<std::uint32_t>(column_begin_[f + 1] - column_begin_[f]);
  }

  const int workers =
      std::max(1, std::min(threads_for(entries_.size(), threads), std::max(columns_, 1)));
  // Per column: the stored values' sort keys beside their positions, sorted
  // unless already in order (as a one-hot column's equal values are).
  struct Keyed {
    std::uint64_t key;
    std::uint32_t position;
  };
  std::vector<std::vector<Keyed>> scratch(static_cast<std::size_t>(workers));
  parallel_for(cols, workers, [&](std::size_t f, std::size_t worker) {
    if (skipped(f)) return;
    std::vector<Keyed>& keyed = scratch[worker];
    keyed.clear();
    const auto c = static_cast<std::int32_t>(f);
    // CSC keeps a column's rows ascending, the order equal values keep.
    bool sorted = true;
    for (std::int64_t k = X.begin(c); k < X.end(c); ++k) {
      if (!kept(k)) continue;
      const std::uint64_t key = order_key(X.data[k]);
      sorted = sorted && (keyed.empty() || keyed.back().key <= key);
      keyed.push_back({key, static_cast<std::uint32_t>(k - X.begin(c))});
    }
    if (!sorted) {
      std::sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
        return a.key < b.key || (a.key == b.key && a.position < b.position);
      });
    }
    ColumnEntry* out = entries_.data() + column_begin_[f];
    double* value =
        value_begin_[f] == value_begin_[f + 1] ? nullptr : values_.data() + value_begin_[f];
    const std::int64_t base = X.begin(c);
    for (std::size_t i = 0; i < keyed.size(); ++i) {
      const std::int64_t k = base + keyed[i].position;
      out[i] = ColumnEntry::of(static_cast<std::uint32_t>(X.indices[k]),
                               i == 0 || keyed[i].key != keyed[i - 1].key);
      if (value != nullptr) value[i] = X.data[k];
    }
  });
}

std::span<const ColumnEntry> SparseColumns::entries(std::size_t segment,
                                                    std::int32_t feature) const noexcept {
  const std::size_t first = start(feature, segment);
  return std::span(entries_).subspan(first, start(feature, segment + 1) - first);
}

SparseColumns::Values SparseColumns::values(std::size_t segment,
                                            std::int32_t feature) const noexcept {
  const auto f = static_cast<std::size_t>(feature);
  if (value_begin_[f] == value_begin_[f + 1]) return {nullptr, only_[f]};
  return {values_.data() + value_begin_[f] + starts_[f * (segments_ + 1) + segment], 0.0};
}

std::size_t SparseColumns::negatives(std::size_t segment, std::int32_t feature) const noexcept {
  const std::size_t m = entries(segment, feature).size();
  const Values value = values(segment, feature);
  // NaN sorts after every number.
  if (m == 0 || !(value[0] < 0.0)) return 0;
  if (value.data == nullptr) return m;
  return static_cast<std::size_t>(
      std::partition_point(value.data, value.data + m, [](double v) { return v < 0.0; }) -
      value.data);
}

void SparseColumns::expand(std::size_t segment, std::int32_t feature,
                           std::span<const ColumnEntry> segment_rows, std::vector<ColumnEntry>& run,
                           std::vector<std::uint8_t>& marked) const {
  const auto stored = entries(segment, feature);
  const std::size_t below = negatives(segment, feature);
  run.resize(segment_rows.size());
  std::size_t at = 0;
  for (std::size_t k = 0; k < below; ++k) {
    run[at++] = ColumnEntry::of(stored[k].row(), k == 0 || stored[k].new_value());
  }
  for (const ColumnEntry e : stored) marked[e.row()] = 1;
  bool first = true;
  for (const ColumnEntry e : segment_rows) {
    const std::uint32_t row = e.row();
    if (marked[row] != 0) continue;
    run[at++] = ColumnEntry::of(row, first);
    first = false;
  }
  for (const ColumnEntry e : stored) marked[e.row()] = 0;
  for (std::size_t k = below; k < stored.size(); ++k) {
    run[at++] = ColumnEntry::of(stored[k].row(), k == below || stored[k].new_value());
  }
}

void SparseColumns::partition(std::span<const FrontierColumns::Split> splits,
                              std::span<const std::uint64_t> goes_left, int threads) {
  for (std::size_t i = 1; i < splits.size(); ++i) {
    if (splits[i].segment <= splits[i - 1].segment) {
      throw std::logic_error("SparseColumns::partition: splits out of order");
    }
  }
  const auto cols = static_cast<std::size_t>(columns_);
  const std::size_t children = 2 * splits.size();
  std::vector<std::uint32_t> starts(cols * (children + 1), 0);
  const int workers =
      std::max(1, std::min(threads_for(entries_.size(), threads), std::max(columns_, 1)));
  std::size_t widest = 0;
  for (std::size_t f = 0; f < cols; ++f) {
    const std::uint32_t* old = starts_.data() + f * (segments_ + 1);
    for (const FrontierColumns::Split& split : splits) {
      widest = std::max<std::size_t>(widest, old[split.segment + 1] - old[split.segment]);
    }
  }
  struct Spill {
    std::vector<ColumnEntry> entries;
    std::vector<double> values;
  };
  std::vector<Spill> spills(static_cast<std::size_t>(workers));
  parallel_for(cols, workers, [&](std::size_t f, std::size_t worker) {
    Spill& spill = spills[worker];
    ColumnEntry* entry = entries_.data() + column_begin_[f];
    double* value =
        value_begin_[f] == value_begin_[f + 1] ? nullptr : values_.data() + value_begin_[f];
    spill.entries.resize(widest);
    if (value != nullptr) spill.values.resize(widest);
    const std::uint32_t* old = starts_.data() + f * (segments_ + 1);
    std::uint32_t* fresh = starts.data() + f * (children + 1);
    const std::uint64_t* const go = goes_left.data();
    // Children are written forwards in split order, never past what is still
    // to be read: segments only shrink and move down.
    std::uint32_t to = 0;
    for (std::size_t i = 0; i < splits.size(); ++i) {
      const std::uint32_t begin = old[splits[i].segment];
      const std::uint32_t end = old[splits[i].segment + 1];
      fresh[2 * i] = to;
      // Every entry is written to both sides and only one cursor moves, as
      // which way a row goes is as good as random to a branch predictor. A
      // child's entry is new where any of the parent's since the child's
      // previous entry was: values only rise along a segment.
      std::uint32_t spilled = 0;
      std::uint32_t mark_left = 0;
      std::uint32_t mark_right = 0;
      for (std::uint32_t k = begin; k < end; ++k) {
        const std::uint32_t bits = entry[k].bits;
        const std::uint32_t row = bits & ColumnEntry::kLargestRow;
        const auto left = static_cast<std::uint32_t>((go[row >> 6] >> (row & 63)) & 1u);
        if (value != nullptr) {
          const double v = value[k];
          value[to] = v;
          spill.values[spilled] = v;
        }
        entry[to].bits = bits | mark_left;
        spill.entries[spilled].bits = bits | mark_right;
        const std::uint32_t mark = bits & ColumnEntry::kNewValue;
        const std::uint32_t went_right = left - 1;  // all ones or none
        mark_left = (mark_left | mark) & went_right;
        mark_right = (mark_right | mark) & ~went_right;
        to += left;
        spilled += 1 - left;
      }
      fresh[2 * i + 1] = to;
      std::copy_n(spill.entries.begin(), spilled, entry + to);
      if (value != nullptr) std::copy_n(spill.values.begin(), spilled, value + to);
      to += spilled;
    }
    fresh[children] = to;
  });
  // Columns keep their place in entries_; what the dropped segments held is unused.
  starts_ = std::move(starts);
  segments_ = children;
}

}  // namespace qor
