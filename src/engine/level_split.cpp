#include "level_split.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "criteria.hpp"

namespace qor {

namespace {

struct Pair {
  double value;   // X at (row, feature)
  double target;  // y at row
};

// Ascending, NaN after every number; a strict weak order, so stable_sort keeps
// equal values in row order.
bool value_before(const Pair& a, const Pair& b) noexcept {
  return a.value < b.value || (!std::isnan(a.value) && std::isnan(b.value));
}

}  // namespace

NodeSplit find_node_threshold(const FeatureMatrix& X, const TargetVector& y, const Node& node,
                              std::int32_t feature, Criterion criterion,
                              std::int32_t min_samples_split, std::int32_t min_samples_leaf) {
  const std::size_t n = node.indices.size();
  if (static_cast<std::int64_t>(n) < min_samples_split || n == 0) return {};

  std::vector<Pair> pairs;
  pairs.reserve(n);
  for (const std::size_t r : node.indices) {
    pairs.push_back({X.at(static_cast<std::int32_t>(r), feature), y.data[r]});
  }
  std::stable_sort(pairs.begin(), pairs.end(), value_before);
  if (pairs.front().value == pairs.back().value) return {};

  double best_gain = -std::numeric_limits<double>::infinity();
  double best_threshold = 0.0;
  bool found = false;
  const auto total = static_cast<double>(n);

  // Per-criterion running state of the left part; the right part is the rest.
  std::vector<std::size_t> slot_at;
  std::vector<std::int64_t> left_counts;
  std::vector<std::int64_t> right_counts;
  std::vector<double> targets;
  double sum = 0.0;
  double sum_sq = 0.0;
  double left_sum = 0.0;
  double left_sum_sq = 0.0;
  double parent = 0.0;

  switch (criterion) {
    case Criterion::Gini:
    case Criterion::Entropy: {
      ClassTally tally;
      slot_at.reserve(n);
      for (const Pair& p : pairs) slot_at.push_back(tally.add(p.target));
      parent = criterion == Criterion::Gini ? gini_impurity(tally.counts(), n)
                                            : entropy_impurity(tally.counts(), n);
      left_counts.assign(tally.slot_count(), 0);
      right_counts = tally.counts();
      break;
    }
    case Criterion::Mse:
      for (const Pair& p : pairs) {
        sum += p.target;
        sum_sq += p.target * p.target;
      }
      parent = mse_impurity(sum, sum_sq, n);
      break;
    default:
      targets.reserve(n);
      for (const Pair& p : pairs) targets.push_back(p.target);
      parent = mae_impurity(targets);
      break;
  }

  for (std::size_t k = 0; k + 1 < n; ++k) {
    const double target = pairs[k].target;
    if (criterion == Criterion::Gini || criterion == Criterion::Entropy) {
      ++left_counts[slot_at[k]];
      --right_counts[slot_at[k]];
    } else if (criterion == Criterion::Mse) {
      left_sum += target;
      left_sum_sq += target * target;
    }

    const double here = pairs[k].value;
    const double next = pairs[k + 1].value;
    const std::size_t n_left = k + 1;
    const std::size_t n_right = n - n_left;
    if (!(here != next) || std::isnan(next)) continue;
    if (static_cast<std::int64_t>(n_left) < min_samples_leaf ||
        static_cast<std::int64_t>(n_right) < min_samples_leaf) {
      continue;
    }

    double left_impurity = 0.0;
    double right_impurity = 0.0;
    switch (criterion) {
      case Criterion::Gini:
        left_impurity = gini_impurity(left_counts, n_left);
        right_impurity = gini_impurity(right_counts, n_right);
        break;
      case Criterion::Entropy:
        left_impurity = entropy_impurity(left_counts, n_left);
        right_impurity = entropy_impurity(right_counts, n_right);
        break;
      case Criterion::Mse:
        left_impurity = mse_impurity(left_sum, left_sum_sq, n_left);
        right_impurity = mse_impurity(sum - left_sum, sum_sq - left_sum_sq, n_right);
        break;
      default:
        left_impurity = mae_impurity(std::span(targets).first(n_left));
        right_impurity = mae_impurity(std::span(targets).subspan(n_left));
        break;
    }
    const double w_left = static_cast<double>(n_left) / total;
    const double w_right = static_cast<double>(n_right) / total;
    const double gain = parent - (w_left * left_impurity + w_right * right_impurity);
    if (gain > best_gain) {
      best_gain = gain;
      best_threshold = (here + next) * 0.5;
      found = true;
    }
  }
  if (!found) return {};
  return {true, best_threshold, best_gain};
}

LevelSplit QORModel::choose_level_split(const FeatureMatrix& X, const TargetVector& y,
                                        const std::vector<Node*>& nodes) const {
  LevelSplit best;
  double best_score = -std::numeric_limits<double>::infinity();
  for (std::int32_t f = 0; f < n_features; ++f) {
    double score = 0.0;
    std::unordered_map<const Node*, double> thresholds;
    for (const Node* node : nodes) {
      const NodeSplit split = find_node_threshold(
          X, y, *node, f, params.criterion, params.min_samples_split, params.min_samples_leaf);
      if (split.valid) {
        score += split.gain;
        thresholds.emplace(node, split.threshold);
      }
    }
    if (!thresholds.empty() && score > best_score) {
      best_score = score;
      best.feature = f;
      best.thresholds = std::move(thresholds);
    }
  }
  return best;
}

}  // namespace qor
