#include "bin_stats.hpp"

#include <cstddef>

#include "criteria.hpp"

namespace qor {

double StatShape::weight(const double* stats) const noexcept {
  if (!classifies()) return stats[1];
  double total = 0.0;
  for (std::int32_t c = 1; c <= n_classes; ++c) total += stats[c];
  return total;
}

double StatShape::impurity(const double* stats, Criterion criterion) const noexcept {
  if (!classifies()) return mse_impurity(stats[2], stats[3], stats[1]);
  const std::span<const double> classes(stats + 1, static_cast<std::size_t>(n_classes));
  const double total = weight(stats);
  return criterion == Criterion::Entropy ? entropy_impurity(classes, total)
                                         : gini_impurity(classes, total);
}

void StatShape::value(const double* stats, std::span<double> out) const noexcept {
  const double total = weight(stats);
  if (!classifies()) {
    out[0] = total == 0.0 ? 0.0 : stats[2] / total;
    return;
  }
  for (std::int32_t c = 0; c < n_classes; ++c) {
    out[static_cast<std::size_t>(c)] = total == 0.0 ? 0.0 : stats[c + 1] / total;
  }
}

void StatShape::add_row(double* stats, double y, double w) const noexcept {
  stats[0] += 1.0;
  if (classifies()) {
    stats[1 + static_cast<std::ptrdiff_t>(y)] += w;
    return;
  }
  const double wy = w * y;
  stats[1] += w;
  stats[2] += wy;
  stats[3] += wy * y;
}

}  // namespace qor
