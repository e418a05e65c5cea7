#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/tree/sparse_views.hpp"

namespace qor {

// The sparse columns whose stored values other than zero are all one value,
// an indicator's ones (a one-hot encoding's columns, a binary bag of words),
// held by rows: each row's indicator columns, ascending. Such a column has one
// cut, between its zeros and its value, so a node needs of it only the rows
// and classes of its stored rows (IndicatorSearch), and the columns are never
// sorted nor moved as nodes split. Memory: 4 bytes a stored value and 8 a row.
class IndicatorColumns {
 public:
  // The indicator columns of X (held by columns) over `rows` (the fit's rows,
  // ascending, distinct): stored entries of other rows, and stored zeros, count
  // as unstored. A column that `monotonic_cst` constrains is left out (its cuts
  // are scanned in order), as is a column stored in none of the rows. Built
  // on up to `threads` threads.
  IndicatorColumns(const SparseMatrix& X, std::span<const std::uint32_t> rows,
                   std::span<const std::int8_t> monotonic_cst, int threads = 1);

  // Per feature of X: 1 for the indicator columns held here.
  std::span<const std::uint8_t> held() const noexcept { return held_; }
  bool holds(std::int32_t feature) const noexcept {
    return held_[static_cast<std::size_t>(feature)] != 0;
  }
  std::int32_t column_count() const noexcept { return static_cast<std::int32_t>(held_.size()); }
  // An indicator column's one stored value (NaN for a column of missing values).
  double value(std::int32_t feature) const noexcept {
    return value_[static_cast<std::size_t>(feature)];
  }
  // The indicator columns stored in `row` (a row of the fit), ascending.
  std::span<const std::int32_t> of_row(std::uint32_t row) const noexcept {
    return std::span(features_).subspan(row_begin_[row], row_begin_[row + 1] - row_begin_[row]);
  }
  // Stored entries of all the indicator columns over the fit's rows.
  std::size_t entries() const noexcept { return features_.size(); }

  // Calls f(row) for the fit's rows in which indicator `feature` is stored, ascending.
  template <class F>
  void for_stored(std::int32_t feature, F&& f) const {
    for (std::int64_t k = X_.begin(feature); k < X_.end(feature); ++k) {
      const auto row = static_cast<std::uint32_t>(X_.indices[k]);
      if (X_.data[k] != 0.0 && (in_fit_.empty() || in_fit_[row] != 0)) f(row);
    }
  }

 private:
  SparseMatrix X_;
  std::vector<std::uint8_t> in_fit_;  // per row of X, 1 for the fit's; empty when all are
  std::vector<std::uint8_t> held_;
  std::vector<double> value_;
  std::vector<std::size_t> row_begin_;  // X.rows + 1: where each row's columns lie in features_
  std::vector<std::int32_t> features_;
};

}  // namespace qor
