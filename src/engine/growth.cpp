#include "growth.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>
#include <string>
#include <utility>

#include "level_split.hpp"

namespace qor {

namespace {

// Rejects what would make growth read outside its inputs, before the model
// changes: a target for every row is required, and classes need real labels.
void check_fit_inputs(const FeatureMatrix& X, const TargetVector& y, TaskKind task) {
  if (X.rows < 0 || X.cols < 0 || y.length < 0) {
    throw std::invalid_argument("fit: negative extent in X or y");
  }
  if (y.length < X.rows) {
    throw std::invalid_argument("fit: y has " + std::to_string(y.length) + " entries but X has " +
                                std::to_string(X.rows) + " rows; every row needs a target");
  }
  if (task == TaskKind::Classification) {
    for (std::int32_t i = 0; i < y.length; ++i) {
      if (std::isnan(y.data[i])) {
        throw std::invalid_argument("fit: y[" + std::to_string(i) +
                                    "] is NaN; classification targets must be labels");
      }
    }
  }
}

}  // namespace

bool is_pure(const TargetVector& y, const Node& node) noexcept {
  if (node.indices.empty()) return true;
  const double first = y.data[node.indices.front()];
  return std::all_of(node.indices.begin(), node.indices.end(),
                     [&](std::size_t r) { return y.data[r] == first; });
}

void partition_rows(const FeatureMatrix& X, const Node& node, std::int32_t feature,
                    double threshold, std::vector<std::size_t>& left_rows,
                    std::vector<std::size_t>& right_rows) {
  left_rows.clear();
  right_rows.clear();
  for (const std::size_t r : node.indices) {
    if (X.at(static_cast<std::int32_t>(r), feature) <= threshold) {
      left_rows.push_back(r);
    } else {
      right_rows.push_back(r);
    }
  }
}

bool QORModel::can_split(const Node& node, std::int32_t depth) const noexcept {
  return depth < params.max_depth &&
         static_cast<std::int32_t>(node.indices.size()) >= params.min_samples_split;
}

void QORModel::fit(const FeatureMatrix& X, const TargetVector& y) {
  check_fit_inputs(X, y, params.task);
  n_features = X.cols;
  depth_features_.clear();
  classes_.clear();
  if (params.task == TaskKind::Classification) {
    std::vector<double> labels(y.data, y.data + y.length);
    std::sort(labels.begin(), labels.end());
    labels.erase(std::unique(labels.begin(), labels.end()), labels.end());
    classes_ = std::move(labels);
  }
  std::vector<std::size_t> rows(static_cast<std::size_t>(X.rows));
  std::iota(rows.begin(), rows.end(), std::size_t{0});
  std::unique_ptr<Node> grown = grow_levels(X, y, std::move(rows));
  std::swap(root, grown);
  // `grown` now holds the previous tree and releases it here.
}

std::unique_ptr<Node> QORModel::grow_levels(const FeatureMatrix& X, const TargetVector& y,
                                            std::vector<std::size_t> root_rows) {
  auto new_root = std::make_unique<Node>();
  new_root->indices = std::move(root_rows);
  std::vector<Node*> frontier{new_root.get()};
  std::vector<Node*> splittable;
  std::vector<Node*> next_frontier;
  // Every feature sorted once, at the first split search, and kept sorted per
  // node as the nodes split.
  std::unique_ptr<SplitWorkspace> workspace;

  for (std::int32_t depth = 0; depth < params.max_depth; ++depth) {
    if (frontier.empty()) break;
    splittable.clear();
    for (Node* node : frontier) {
      if (!can_split(*node, depth) || is_pure(y, *node)) {
        finalize_leaf(*node, y);
      } else {
        splittable.push_back(node);
      }
    }
    if (splittable.empty()) break;

    if (!workspace) {
      std::vector<std::int32_t> features(static_cast<std::size_t>(std::max(n_features, 0)));
      std::iota(features.begin(), features.end(), 0);
      const Node* const first_level[] = {new_root.get()};
      workspace = std::make_unique<SplitWorkspace>(X, y, first_level, features, params);
    }
    const LevelSplit level = choose_level_split(X, y, splittable, *workspace);
    if (level.feature < 0) {
      for (Node* node : splittable) finalize_leaf(*node, y);
      break;
    }
    depth_features_[depth] = level.feature;

    next_frontier.clear();
    for (Node* node : splittable) {
      const auto entry = level.thresholds.find(node);
      if (entry == level.thresholds.end()) {
        finalize_leaf(*node, y);
        continue;
      }
      std::vector<std::size_t> left_rows;
      std::vector<std::size_t> right_rows;
      partition_rows(X, *node, level.feature, entry->second, left_rows, right_rows);
      if (left_rows.empty() || right_rows.empty()) {
        finalize_leaf(*node, y);
        continue;
      }
      node->is_split = true;
      node->split_feature = level.feature;
      node->split_threshold = entry->second;
      node->left = std::make_unique<Node>();
      node->left->indices = std::move(left_rows);
      node->right = std::make_unique<Node>();
      node->right->indices = std::move(right_rows);
      next_frontier.push_back(node->left.get());
      next_frontier.push_back(node->right.get());
      // Children at max_depth are never searched: no need to sort their rows.
      if (depth + 1 < params.max_depth) workspace->columns.record_split(*node);
    }
    workspace->columns.finish_level();
    std::swap(frontier, next_frontier);
  }

  for (Node* node : frontier) {
    if (!node->is_finalized) finalize_leaf(*node, y);
  }
  return new_root;
}

}  // namespace qor
