#include "engine/binned/bin_stats.hpp"

#include <cstddef>

#include "engine/criteria/impurity.hpp"

namespace qor {

double StatShape::count(const double* stats) const noexcept {
  return classifies() && !weighted && !several() ? weight(stats) : stats[0];
}

double StatShape::weight(const double* stats) const noexcept {
  if (!classifies() || several()) return stats[1];
  double total = 0.0;
  for (std::int32_t c = 0; c < n_classes; ++c) total += stats[first_class() + c];
  return total;
}

double StatShape::impurity(const double* stats, Criterion criterion) const noexcept {
  if (several()) {
    const double total = stats[1];
    const auto classes = static_cast<std::size_t>(n_classes);
    return mean_impurity(static_cast<std::size_t>(n_outputs), [&](std::size_t k) {
      if (!classifies()) return mse_impurity(stats[2 + 2 * k], stats[3 + 2 * k], total);
      // An output's absent classes weigh 0 and add nothing.
      const double* weights = stats + 2 + k * classes;
      return criterion == Criterion::Entropy ? class_impurity<false>(weights, classes, total)
                                             : class_impurity<true>(weights, classes, total);
    });
  }
  if (!classifies()) {
    return criterion == Criterion::Poisson ? poisson_impurity(stats[2], stats[3], stats[1])
                                           : mse_impurity(stats[2], stats[3], stats[1]);
  }
  const std::span<const double> classes(stats + first_class(), static_cast<std::size_t>(n_classes));
  const double total = weight(stats);
  return criterion == Criterion::Entropy ? entropy_impurity(classes, total)
                                         : gini_impurity(classes, total);
}

void StatShape::value(const double* stats, std::span<double> out) const noexcept {
  const double total = weight(stats);
  if (several()) {
    const std::size_t per = classifies() ? static_cast<std::size_t>(n_classes) : 1;
    for (std::size_t k = 0; k < static_cast<std::size_t>(n_outputs); ++k) {
      for (std::size_t c = 0; c < per; ++c) {
        const double sum = classifies() ? stats[2 + k * per + c] : stats[2 + 2 * k];
        out[k * per + c] = total == 0.0 ? 0.0 : sum / total;
      }
    }
    return;
  }
  if (!classifies()) {
    out[0] = total == 0.0 ? 0.0 : stats[2] / total;
    return;
  }
  for (std::int32_t c = 0; c < n_classes; ++c) {
    out[static_cast<std::size_t>(c)] = total == 0.0 ? 0.0 : stats[first_class() + c] / total;
  }
}

double StatShape::monotone_value(const double* stats) const noexcept {
  const double total = weight(stats);
  if (total == 0.0) return 0.0;
  if (!classifies()) return stats[2] / total;
  return stats[first_class() + (n_classes > 1 ? 1 : 0)] / total;
}

}  // namespace qor
