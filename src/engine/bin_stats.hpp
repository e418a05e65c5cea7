#pragma once

#include <bit>
#include <cstdint>
#include <span>

#include "model.hpp"

namespace qor {

// The sums a set of rows is reduced to, in `width` doubles: one bin of a
// histogram and a whole node alike, so that a part of a node is a sum of bins.
//   classification: [row count, weight of class 0, ..., of class n_classes - 1, zeros]
//   regression:     [row count, sum of w, sum of w * y, sum of w * y * y]
// Weights are sample weights (1.0 for rows without). Counts and unit weights are
// whole numbers, exact in doubles up to 2**53 rows. A classifier's width is a
// power of two, so the count of a bin sits at (position of a class) & ~(width - 1).
struct StatShape {
  std::int32_t n_classes = 0;  // > 0: classification into that many classes; 0: regression
  std::int32_t width = 4;

  static StatShape of(std::int32_t n_classes) noexcept {
    StatShape shape;
    shape.n_classes = n_classes > 0 ? n_classes : 0;
    shape.width = n_classes > 0 ? static_cast<std::int32_t>(std::bit_ceil(
                                      static_cast<std::uint32_t>(n_classes) + 1u))
                                : 4;
    return shape;
  }
  bool classifies() const noexcept { return n_classes > 0; }
  // Entries of a node's value: one share per class, or the mean target.
  std::int32_t value_width() const noexcept { return classifies() ? n_classes : 1; }

  double count(const double* stats) const noexcept { return stats[0]; }
  // The classes' weights added in class order, or the sum of w.
  double weight(const double* stats) const noexcept;
  // gini_impurity or entropy_impurity of the class weights (in class order), or
  // mse_impurity of the sums; `criterion` must suit the task.
  double impurity(const double* stats, Criterion criterion) const noexcept;
  // Class shares of the weight (all 0 without weight), or the weighted mean
  // target (0 without weight); value_width() entries.
  void value(const double* stats, std::span<double> out) const noexcept;
  // Adds one row: `y` a class code (classification) or a target.
  void add_row(double* stats, double y, double w) const noexcept;
};

}  // namespace qor
