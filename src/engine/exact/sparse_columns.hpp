#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/exact/column_order.hpp"
#include "engine/exact/frontier_columns.hpp"
#include "engine/tree/sparse_views.hpp"

namespace qor {

// The presorted columns of a sparse matrix, kept sorted as the frontier's nodes
// split, in memory that grows with the stored values rather than with rows x
// features. Each column keeps only its values other than zero (NaN included),
// per segment in ascending order of value, equal values in row order; the
// segment's zeros, stored or not, are one run of equal values between the
// negative and the positive ones. expand() lays a segment's column out as
// FrontierColumns would hold it: negatives, then the zero rows in the
// segment's row order, then positives and NaN, so a scan over it adds up the
// same rows in the same order as over the dense column.
class SparseColumns {
 public:
  // `X` by columns; the stored entries of rows in `rows` (ascending, distinct,
  // below 2**31) form segment 0. Columns are sorted on up to `threads` threads.
  // A column marked in `skip` (one byte per column, or empty) is held as if
  // it stored nothing.
  SparseColumns(const SparseMatrix& X, std::span<const std::uint32_t> rows, int threads = 1,
                std::span<const std::uint8_t> skip = {});

  std::size_t segment_count() const noexcept { return segments_; }
  // The segment's non-zero rows of `feature` in ascending order of value, with
  // marks where the value differs from the previous entry's, and their values.
  std::span<const ColumnEntry> entries(std::size_t segment, std::int32_t feature) const noexcept;
  // Their values, beside the entries: a column whose stored values are all one
  // (an indicator's ones) keeps that value once.
  struct Values {
    const double* data = nullptr;  // null: every value is `only`
    double only = 0.0;
    double operator[](std::size_t k) const noexcept { return data != nullptr ? data[k] : only; }
  };
  Values values(std::size_t segment, std::int32_t feature) const noexcept;
  // How many of the segment's entries of `feature` are negative (they come first).
  std::size_t negatives(std::size_t segment, std::int32_t feature) const noexcept;

  // The segment's rows in ascending order of `feature` into `run`, given the
  // segment's rows in their order (FrontierColumns::rows). `marked` has one
  // zero byte per row below the rows' span and is left so.
  void expand(std::size_t segment, std::int32_t feature, std::span<const ColumnEntry> segment_rows,
              std::vector<ColumnEntry>& run, std::vector<std::uint8_t>& marked) const;

  // As FrontierColumns::partition: the children of `splits` (ascending
  // segments) replace the segments, every other segment's entries dropped.
  void partition(std::span<const FrontierColumns::Split> splits,
                 std::span<const std::uint64_t> goes_left, int threads = 1);

 private:
  std::size_t start(std::int32_t feature, std::size_t segment) const noexcept {
    const auto f = static_cast<std::size_t>(feature);
    return column_begin_[f] + starts_[f * (segments_ + 1) + segment];
  }

  std::int32_t columns_ = 0;
  std::size_t segments_ = 1;
  std::vector<std::size_t> column_begin_;  // columns + 1: where each column's entries lie
  std::vector<ColumnEntry> entries_;
  // Beside entries_, column f's at value_begin_[f] on, except where
  // value_begin_[f] == value_begin_[f + 1]: its values are all only_[f].
  std::vector<std::size_t> value_begin_;
  std::vector<double> only_;
  std::vector<double> values_;
  // Per column, segments + 1 offsets into the column's entries: segment s owns
  // [starts[s], starts[s + 1]).
  std::vector<std::uint32_t> starts_;
};

}  // namespace qor
