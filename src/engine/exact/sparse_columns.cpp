#include "engine/exact/sparse_columns.hpp"

#include <algorithm>
#include <stdexcept>

#include "engine/tree/parallel.hpp"

namespace qor {

SparseColumns::SparseColumns(const SparseMatrix& X, std::span<const std::uint32_t> rows,
                             int threads)
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
  for (std::size_t f = 0; f < cols; ++f) {
    std::size_t n = 0;
    const auto c = static_cast<std::int32_t>(f);
    for (std::int64_t k = X.begin(c); k < X.end(c); ++k) n += kept(k) ? 1 : 0;
    column_begin_[f + 1] = column_begin_[f] + n;
  }
  entries_.resize(column_begin_[cols]);
  values_.resize(column_begin_[cols]);
  starts_.assign(cols * 2, 0);
  for (std::size_t f = 0; f < cols; ++f) {
    starts_[f * 2 + 1] = static_cast<std::uint32_t>(column_begin_[f + 1] - column_begin_[f]);
  }

  const int workers =
      std::max(1, std::min(threads_for(entries_.size(), threads), std::max(columns_, 1)));
  struct Scratch {
    ColumnSorter sorter;
    std::vector<double> values;
    std::vector<std::uint32_t> positions;
    std::vector<std::uint32_t> rows;
    std::vector<ColumnEntry> order;
  };
  std::vector<Scratch> scratch(static_cast<std::size_t>(workers));
  parallel_for(cols, workers, [&](std::size_t f, std::size_t worker) {
    Scratch& s = scratch[worker];
    s.values.clear();
    s.rows.clear();
    const auto c = static_cast<std::int32_t>(f);
    // CSC keeps a column's rows ascending, the order equal values keep.
    for (std::int64_t k = X.begin(c); k < X.end(c); ++k) {
      if (!kept(k)) continue;
      s.values.push_back(X.data[k]);
      s.rows.push_back(static_cast<std::uint32_t>(X.indices[k]));
    }
    const std::size_t n = s.values.size();
    s.positions.resize(n);
    for (std::size_t j = 0; j < n; ++j) s.positions[j] = static_cast<std::uint32_t>(j);
    s.order.resize(n);
    s.sorter.sort(s.values, s.positions, s.order);
    ColumnEntry* out = entries_.data() + column_begin_[f];
    double* value = values_.data() + column_begin_[f];
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t j = s.order[i].row();
      out[i] = ColumnEntry::of(s.rows[j], s.order[i].new_value());
      value[i] = s.values[j];
    }
  });
}

std::span<const ColumnEntry> SparseColumns::entries(std::size_t segment,
                                                    std::int32_t feature) const noexcept {
  const std::size_t first = start(feature, segment);
  return std::span(entries_).subspan(first, start(feature, segment + 1) - first);
}

std::span<const double> SparseColumns::values(std::size_t segment,
                                              std::int32_t feature) const noexcept {
  const std::size_t first = start(feature, segment);
  return std::span(values_).subspan(first, start(feature, segment + 1) - first);
}

void SparseColumns::expand(std::size_t segment, std::int32_t feature,
                           std::span<const ColumnEntry> segment_rows,
                           std::vector<ColumnEntry>& run,
                           std::vector<std::uint8_t>& marked) const {
  const auto stored = entries(segment, feature);
  const auto value = values(segment, feature);
  // Negatives first; NaN sorts after every number.
  const auto negatives = static_cast<std::size_t>(
      std::partition_point(value.begin(), value.end(), [](double v) { return v < 0.0; }) -
      value.begin());
  run.resize(segment_rows.size());
  std::size_t at = 0;
  for (std::size_t k = 0; k < negatives; ++k) {
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
  for (std::size_t k = negatives; k < stored.size(); ++k) {
    run[at++] = ColumnEntry::of(stored[k].row(), k == negatives || stored[k].new_value());
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
  struct Spill {
    std::vector<ColumnEntry> entries;
    std::vector<double> values;
  };
  std::vector<Spill> spills(static_cast<std::size_t>(workers));
  parallel_for(cols, workers, [&](std::size_t f, std::size_t worker) {
    Spill& spill = spills[worker];
    ColumnEntry* entry = entries_.data() + column_begin_[f];
    double* value = values_.data() + column_begin_[f];
    const std::uint32_t* old = starts_.data() + f * (segments_ + 1);
    std::uint32_t* fresh = starts.data() + f * (children + 1);
    // Children are written forwards in split order, never past what is still
    // to be read: segments only shrink and move down.
    std::uint32_t to = 0;
    for (std::size_t i = 0; i < splits.size(); ++i) {
      const std::uint32_t begin = old[splits[i].segment];
      const std::uint32_t end = old[splits[i].segment + 1];
      spill.entries.clear();
      spill.values.clear();
      fresh[2 * i] = to;
      // A child's entry is new where any of the parent's since the child's
      // previous entry was: values only rise along a segment.
      std::uint32_t mark_left = 0;
      std::uint32_t mark_right = 0;
      for (std::uint32_t k = begin; k < end; ++k) {
        const std::uint32_t bits = entry[k].bits;
        const std::uint32_t row = bits & ColumnEntry::kLargestRow;
        const std::uint32_t mark = bits & ColumnEntry::kNewValue;
        if (((goes_left[row >> 6] >> (row & 63)) & 1u) != 0) {
          value[to] = value[k];
          entry[to++].bits = bits | mark_left;
          mark_left = 0;
          mark_right |= mark;
        } else {
          spill.values.push_back(value[k]);
          spill.entries.push_back({bits | mark_right});
          mark_right = 0;
          mark_left |= mark;
        }
      }
      fresh[2 * i + 1] = to;
      std::copy(spill.entries.begin(), spill.entries.end(), entry + to);
      std::copy(spill.values.begin(), spill.values.end(), value + to);
      to += static_cast<std::uint32_t>(spill.entries.size());
    }
    fresh[children] = to;
  });
  // Columns keep their place in entries_; what the dropped segments held is unused.
  starts_ = std::move(starts);
  segments_ = children;
}

}  // namespace qor
