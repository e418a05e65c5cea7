#include "engine/criteria/impurity.hpp"

#include <algorithm>
#include <cmath>

#include "engine/native/model.hpp"

namespace qor {

std::size_t ClassTally::add(double label) {
  std::size_t slot = counts_.size();
  if (std::isnan(label)) {
    counts_.push_back(0);
    if (keep_labels_) labels_.push_back(label);
  } else {
    auto [it, inserted] = slot_of_.try_emplace(label, slot);
    if (inserted) {
      counts_.push_back(0);
      if (keep_labels_) labels_.push_back(label);
    } else {
      slot = it->second;
    }
  }
  ++counts_[slot];
  return slot;
}

double gini_impurity(std::span<const double> class_weights, double total) noexcept {
  if (total == 0.0) return 0.0;
  double sum = 0.0;
  for (const double c : class_weights) {
    const double p = c / total;
    sum += p * p;
  }
  return 1.0 - sum;
}

double entropy_impurity(std::span<const double> class_weights, double total) noexcept {
  if (total == 0.0) return 0.0;
  double acc = 0.0;
  for (const double c : class_weights) {
    const double p = c / total;
    acc = acc - std::log2(p + 1e-10) * p;
  }
  return acc;
}

double mse_impurity(double sum, double sum_sq, double total) noexcept {
  if (total == 0.0) return 0.0;
  const double mean = sum / total;
  const double mean_sq = sum_sq / total;
  return mean_sq - mean * mean;
}

double mae_impurity(std::span<const double> values) {
  if (values.empty()) return 0.0;
  std::vector<double> sorted(values.begin(), values.end());
  std::sort(sorted.begin(), sorted.end());
  return mae_of_sorted(sorted);
}

double mae_of_sorted(std::span<const double> sorted) noexcept {
  return weighted_mae([&](auto&& f) {
    for (const double v : sorted) f(v, 1.0);
  });
}

void QORModel::finalize_leaf(Node& node, const TargetVector& y) const {
  node.is_finalized = true;
  if (params.task == TaskKind::Regression) {
    if (node.indices.empty()) {
      node.value = 0.0;
      return;
    }
    double sum = 0.0;
    for (const std::size_t r : node.indices) sum += y.data[r];
    node.value = sum / static_cast<double>(node.indices.size());
    return;
  }

  ClassTally tally(/*keep_labels=*/true);
  for (const std::size_t r : node.indices) tally.add(y.data[r]);
  const auto& counts = tally.counts();
  std::size_t best = 0;
  std::int64_t best_count = counts.empty() ? 0 : counts[0];
  for (std::size_t slot = 1; slot < counts.size(); ++slot) {
    if (counts[slot] > best_count) {
      best = slot;
      best_count = counts[slot];
    }
  }
  node.value = counts.empty() ? 0.0 : tally.labels()[best];

  node.class_counts.assign(classes_.size(), 0.0);
  for (std::size_t slot = 0; slot < counts.size(); ++slot) {
    const double label = tally.labels()[slot];
    const auto pos = std::lower_bound(classes_.begin(), classes_.end(), label);
    // Every training label is in classes_; the guard keeps a label that is not
    // (NaN) from writing anywhere.
    if (pos != classes_.end() && *pos == label) {
      node.class_counts[static_cast<std::size_t>(pos - classes_.begin())] =
          static_cast<double>(counts[slot]);
    }
  }
}

}  // namespace qor
