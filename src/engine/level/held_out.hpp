#pragma once

#include <cmath>
#include <cstddef>
#include <span>

#include "engine/criteria/criterion.hpp"
#include "engine/tree/flat_tree.hpp"

namespace qor {

// The loss of predicting a held-out row of target `y` by a leaf's value
// (value_width entries): a classifier's error (0 or 1, the first of equal
// shares predicted), a regressor's squared error, or absolute error under mae.
// Non-finite losses (a NaN target) count 0.
inline double held_out_loss(std::span<const double> value, double y, Criterion criterion) {
  double loss = 0.0;
  if (value.size() > 1 || counts_classes(criterion)) {
    std::size_t best = 0;
    for (std::size_t c = 1; c < value.size(); ++c) {
      if (value[c] > value[best]) best = c;
    }
    loss = static_cast<double>(best) == y ? 0.0 : 1.0;
  } else {
    const double error = y - value[0];
    loss = criterion == Criterion::Mae ? std::fabs(error) : error * error;
  }
  return std::isfinite(loss) ? loss : 0.0;
}

}  // namespace qor
