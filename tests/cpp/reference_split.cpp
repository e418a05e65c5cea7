#include "reference_split.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <span>
#include <utility>

#include "engine/criteria.hpp"
#include "engine/growth.hpp"

namespace qor::reference {

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

  std::vector<std::size_t> slot_at;
  std::vector<double> left_counts;
  std::vector<double> right_counts;
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
      right_counts.assign(tally.counts().begin(), tally.counts().end());
      parent = criterion == Criterion::Gini ? gini_impurity(right_counts, total)
                                            : entropy_impurity(right_counts, total);
      left_counts.assign(tally.slot_count(), 0);
      break;
    }
    case Criterion::Mse:
      for (const Pair& p : pairs) {
        sum += p.target;
        sum_sq += p.target * p.target;
      }
      parent = mse_impurity(sum, sum_sq, total);
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
        left_impurity = gini_impurity(left_counts, static_cast<double>(n_left));
        right_impurity = gini_impurity(right_counts, static_cast<double>(n_right));
        break;
      case Criterion::Entropy:
        left_impurity = entropy_impurity(left_counts, static_cast<double>(n_left));
        right_impurity = entropy_impurity(right_counts, static_cast<double>(n_right));
        break;
      case Criterion::Mse:
        left_impurity = mse_impurity(left_sum, left_sum_sq, static_cast<double>(n_left));
        right_impurity = mse_impurity(sum - left_sum, sum_sq - left_sum_sq, static_cast<double>(n_right));
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

LevelSplit choose_level_split(const QORModel& model, const FeatureMatrix& X, const TargetVector& y,
                              const std::vector<Node*>& nodes) {
  LevelSplit best;
  double best_score = -std::numeric_limits<double>::infinity();
  for (std::int32_t f = 0; f < model.n_features; ++f) {
    double score = 0.0;
    std::unordered_map<const Node*, double> thresholds;
    for (const Node* node : nodes) {
      const NodeSplit split = reference::find_node_threshold(X, y, *node, f, model.params.criterion,
                                                             model.params.min_samples_split,
                                                             model.params.min_samples_leaf);
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

void fit(QORModel& model, const FeatureMatrix& X, const TargetVector& y) {
  model.n_features = X.cols;
  model.depth_features_.clear();
  model.classes_.clear();
  if (model.params.task == TaskKind::Classification) {
    std::vector<double> labels(y.data, y.data + y.length);
    std::sort(labels.begin(), labels.end());
    labels.erase(std::unique(labels.begin(), labels.end()), labels.end());
    model.classes_ = std::move(labels);
  }
  auto root = std::make_unique<Node>();
  root->indices.resize(static_cast<std::size_t>(X.rows));
  std::iota(root->indices.begin(), root->indices.end(), std::size_t{0});

  std::vector<Node*> frontier{root.get()};
  for (std::int32_t depth = 0; depth < model.params.max_depth && !frontier.empty(); ++depth) {
    std::vector<Node*> splittable;
    for (Node* node : frontier) {
      if (!model.can_split(*node, depth) || is_pure(y, *node)) {
        model.finalize_leaf(*node, y);
      } else {
        splittable.push_back(node);
      }
    }
    frontier.clear();
    if (splittable.empty()) break;
    const LevelSplit level = choose_level_split(model, X, y, splittable);
    if (level.feature < 0) {
      for (Node* node : splittable) model.finalize_leaf(*node, y);
      break;
    }
    model.depth_features_[depth] = level.feature;
    for (Node* node : splittable) {
      const auto entry = level.thresholds.find(node);
      if (entry == level.thresholds.end()) {
        model.finalize_leaf(*node, y);
        continue;
      }
      std::vector<std::size_t> left_rows;
      std::vector<std::size_t> right_rows;
      partition_rows(X, *node, level.feature, entry->second, left_rows, right_rows);
      if (left_rows.empty() || right_rows.empty()) {
        model.finalize_leaf(*node, y);
        continue;
      }
      node->is_split = true;
      node->split_feature = level.feature;
      node->split_threshold = entry->second;
      node->left = std::make_unique<Node>();
      node->left->indices = std::move(left_rows);
      node->right = std::make_unique<Node>();
      node->right->indices = std::move(right_rows);
      frontier.push_back(node->left.get());
      frontier.push_back(node->right.get());
    }
  }
  for (Node* node : frontier) {
    if (!node->is_finalized) model.finalize_leaf(*node, y);
  }
  model.root = std::move(root);
}

}  // namespace qor::reference
