#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/criteria/criterion.hpp"

namespace qor {

// The sums a set of rows is reduced to, in `width` doubles: one bin of a
// histogram and a whole node alike, so that a part of a node is a sum of bins.
//   weighted classification: [row count, weight of class 0, ..., of class n_classes - 1]
//   unit-weight classification: [rows of class 0, ..., of class n_classes - 1]
//   regression: [row count, sum of w, sum of w * y, sum of w * y * y], where
//     poisson has instead of the last the sum of poisson_term(w y, y)
// padded with zeros to the width. Row counts leave out rows of weight 0, which
// a weighted fit grows as if they were not there. Unit weights are 1.0 per row, so without
// weights a class's weight is its row count, and the row count their sum.
// Counts are whole numbers, exact in doubles up to 2**53 rows. A classifier's
// width is a power of two, so that the start of the sums of a bin is the
// place of any of its classes rounded down to a multiple of the width.
//
// Several outputs (output k of row r at y[k * stride + r]) share one layout,
// weighted or not: [row count, sum of w, then per output k] its n_classes
// class weights at 2 + k * n_classes, or its sums of w * y and w * y * y at
// 2 + 2k and 3 + 2k (so that one output's regression layout is the same).
struct StatShape {
  std::int32_t n_classes = 0;  // > 0: classification into that many classes; 0: regression
  bool weighted = false;       // rows carry sample weights
  std::int32_t width = 4;
  std::int32_t n_outputs = 1;  // targets per row

  static StatShape of(std::int32_t n_classes, bool weighted, std::int32_t n_outputs = 1) noexcept {
    StatShape shape;
    shape.n_classes = n_classes > 0 ? n_classes : 0;
    shape.weighted = weighted;
    shape.n_outputs = n_outputs > 1 ? n_outputs : 1;
    if (shape.n_outputs > 1) {
      shape.width = 2 + shape.n_outputs * (n_classes > 0 ? shape.n_classes : 2);
      return shape;
    }
    const auto entries = static_cast<std::uint32_t>(shape.n_classes) + (weighted ? 1u : 0u);
    shape.width = n_classes > 0 ? static_cast<std::int32_t>(std::bit_ceil(entries)) : 4;
    return shape;
  }
  bool several() const noexcept { return n_outputs > 1; }
  bool classifies() const noexcept { return n_classes > 0; }
  // Where class 0 sits in the sums of a classifier.
  std::int32_t first_class() const noexcept { return weighted ? 1 : 0; }
  bool operator==(const StatShape&) const = default;
  // Entries of a node's value: one share per class, or the mean target.
  std::int32_t value_width() const noexcept { return (classifies() ? n_classes : 1) * n_outputs; }

  // Rows in the set, whatever their weight.
  double count(const double* stats) const noexcept;
  // The classes' weights added in class order, or the sum of w.
  double weight(const double* stats) const noexcept;
  // gini_impurity or entropy_impurity of the class weights (in class order), or
  // mse_impurity or poisson_impurity of the sums; `criterion` must suit the task.
  double impurity(const double* stats, Criterion criterion) const noexcept;
  // Class shares of the weight (all 0 without weight), or the weighted mean
  // target (0 without weight); value_width() entries.
  void value(const double* stats, std::span<double> out) const noexcept;
  // The value monotonic constraints order: a binary classifier's second class
  // share, or the weighted mean target (0 without weight).
  double monotone_value(const double* stats) const noexcept;
  // Adds one row: `y` a class code (classification) or a target, `w` its
  // weight (1.0 without weights), `factor` what w y is multiplied by for a
  // regressor's last sum (y itself, or under poisson log y and 0 at y = 0:
  // see BinnedRows::factor). A row of weight 0 adds to no row count.
  void add_row(double* stats, double y, double w, double factor) const noexcept {
    // A row of weight 0 is a row removed: it counts in no node.
    const double row = w > 0.0 ? 1.0 : 0.0;
    if (classifies()) {
      if (weighted) stats[0] += row;
      stats[first_class() + static_cast<std::ptrdiff_t>(y)] += weighted ? w : 1.0;
      return;
    }
    stats[0] += row;
    const double wy = w * y;
    stats[1] += w;
    stats[2] += wy;
    stats[3] += wy * factor;
  }
  // Several outputs (squared error or classes): adds row `row`, whose output k
  // is y[k * stride + row].
  void add_outputs(double* stats, const double* y, std::size_t stride, std::size_t row,
                   double w) const noexcept {
    stats[0] += w > 0.0 ? 1.0 : 0.0;
    stats[1] += w;
    for (std::size_t k = 0; k < static_cast<std::size_t>(n_outputs); ++k) {
      const double t = y[k * stride + row];
      if (classifies()) {
        stats[2 + k * static_cast<std::size_t>(n_classes) + static_cast<std::size_t>(t)] += w;
      } else {
        const double wy = w * t;
        stats[2 + 2 * k] += wy;
        stats[3 + 2 * k] += wy * t;
      }
    }
  }
};

}  // namespace qor
