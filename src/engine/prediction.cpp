#include "prediction.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace qor {

namespace {

// Largest split feature in the tree, -1 for a single leaf.
std::int32_t widest_split_feature(const Node& root) {
  std::int32_t widest = -1;
  std::vector<const Node*> pending{&root};
  while (!pending.empty()) {
    const Node* node = pending.back();
    pending.pop_back();
    if (node->is_leaf()) continue;
    widest = std::max(widest, node->split_feature);
    if (node->left) pending.push_back(node->left.get());
    if (node->right) pending.push_back(node->right.get());
  }
  return widest;
}

// Every walk below stays inside the tree and inside X once this passes.
void check_predictable(const Node* root, const FeatureMatrix& X) {
  if (root == nullptr) {
    throw std::logic_error("This QORModel is not fitted yet: call fit(X, y) before predicting");
  }
  const std::int32_t widest = widest_split_feature(*root);
  if (widest >= X.cols) {
    throw std::invalid_argument(
        "X has " + std::to_string(X.cols) + " columns, but the tree splits on feature " +
        std::to_string(widest) + " and needs at least " + std::to_string(widest + 1));
  }
}

}  // namespace

const Node& leaf_for_row(const FeatureMatrix& X, std::size_t i, const Node& start) noexcept {
  const Node* node = &start;
  const auto row = static_cast<std::int32_t>(i);
  while (!node->is_leaf()) {
    const double x = X.at(row, node->split_feature);
    node = x <= node->split_threshold ? node->left.get() : node->right.get();
  }
  return *node;
}

double predict_row(const FeatureMatrix& X, std::size_t i, const Node& start) noexcept {
  return leaf_for_row(X, i, start).value;
}

std::vector<double> predict_proba_row(const FeatureMatrix& X, std::size_t i, const Node& start,
                                      std::size_t n_classes) {
  const Node& leaf = leaf_for_row(X, i, start);
  std::vector<double> p(n_classes, 0.0);
  const std::vector<double>& counts = leaf.class_counts;
  if (counts.empty()) return p;
  double total = 0.0;
  for (const double c : counts) total += c;
  if (!(total > 0.0)) return p;
  const std::size_t present = std::min(n_classes, counts.size());
  for (std::size_t k = 0; k < present; ++k) p[k] = counts[k] / total;
  return p;
}

std::vector<double> QORModel::predict(const FeatureMatrix& X) const {
  std::vector<double> out(static_cast<std::size_t>(std::max(X.rows, 0)), 0.0);
  if (out.empty()) return out;
  check_predictable(root.get(), X);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = predict_row(X, i, *root);
  return out;
}

std::vector<std::vector<double>> QORModel::predict_proba(const FeatureMatrix& X) const {
  const auto n = static_cast<std::size_t>(std::max(X.rows, 0));
  std::vector<std::vector<double>> out(n);
  if (n == 0) return out;
  check_predictable(root.get(), X);
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = predict_proba_row(X, i, *root, classes_.size());
  }
  return out;
}

}  // namespace qor
