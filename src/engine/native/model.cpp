#include "engine/native/model.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>

#include "engine/exact/exact_growth.hpp"
#include "engine/native/class_tally.hpp"

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

// Every walk below stays inside the tree and inside X once this passes.
void check_predictable(const QORModel& model, const FeatureMatrix& X) {
  if (model.root == nullptr) {
    throw std::logic_error("This QORModel is not fitted yet: call fit(X, y) before predicting");
  }
  const std::int32_t widest = model.widest_split_feature();
  if (widest >= X.cols) {
    throw std::invalid_argument(
        "X has " + std::to_string(X.cols) + " columns, but the tree splits on feature " +
        std::to_string(widest) + " and needs at least " + std::to_string(widest + 1));
  }
}

}  // namespace



void release_tree(std::unique_ptr<Node> node) noexcept {
  // Right rotations turn the subtree into a chain along `right`, which is then
  // freed top-down; every node dies childless, so no destructor recurses.
  while (node) {
    if (node->left) {
      std::unique_ptr<Node> top = std::move(node->left);
      node->left = std::move(top->right);
      top->right = std::move(node);
      node = std::move(top);
    } else {
      std::unique_ptr<Node> next = std::move(node->right);
      node.reset();
      node = std::move(next);
    }
  }
}

Node::~Node() {
  release_tree(std::move(right));
  release_tree(std::move(left));
}

Node& Node::operator=(Node&& other) noexcept {
  if (this == &other) return *this;
  // `other` may live inside this node's subtree: take its contents first.
  std::unique_ptr<Node> old_left = std::move(left);
  std::unique_ptr<Node> old_right = std::move(right);
  indices = std::move(other.indices);
  left = std::move(other.left);
  right = std::move(other.right);
  is_split = other.is_split;
  split_feature = other.split_feature;
  split_threshold = other.split_threshold;
  is_finalized = other.is_finalized;
  value = other.value;
  class_counts = std::move(other.class_counts);
  release_tree(std::move(old_right));
  release_tree(std::move(old_left));
  return *this;
}

std::unique_ptr<QORModel> make_model(std::string_view task, std::string_view criterion,
                                     std::int32_t max_depth, std::int32_t min_samples_split,
                                     std::int32_t min_samples_leaf) {
  ModelParams params;
  params.task = task_from_name(task);
  params.criterion = parse_criterion(criterion);
  params.max_depth = max_depth;
  params.min_samples_split = min_samples_split;
  params.min_samples_leaf = min_samples_leaf;
  return std::make_unique<QORModel>(params);
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

// The native tree is the flat tree's shape with every node's rows: the rows
// are routed down by the same rule that split them, and leaves are finalised.
std::unique_ptr<Node> QORModel::grow_levels(const FeatureMatrix& X, const TargetVector& y,
                                            std::vector<std::size_t> root_rows) {
  TreeParams growth;
  growth.criterion = params.criterion;
  growth.max_depth = params.max_depth;
  growth.min_samples_split = params.min_samples_split;
  growth.min_samples_leaf = params.min_samples_leaf;
  growth.node_statistics = false;  // leaves are finalised from the rows below
  const std::vector<std::uint32_t> rows(root_rows.begin(), root_rows.end());
  // Rows of the nodes growth held as a frontier, taken from it; the others are
  // routed from their parent's rows below.
  std::vector<std::vector<std::size_t>> held;
  std::vector<std::uint8_t> is_held;
  const FlatTree tree =
      grow_tree(X, y, nullptr, growth, rows, [&](std::int64_t id, std::span<const ColumnEntry> in) {
        const auto node = static_cast<std::size_t>(id);
        if (node == 0) return;  // the root keeps root_rows
        if (node >= held.size()) {
          held.resize(node + 1);
          is_held.resize(node + 1, 0);
        }
        held[node].reserve(in.size());
        for (const ColumnEntry e : in) held[node].push_back(e.row());
        is_held[node] = 1;
      });
  for (std::size_t depth = 0; depth < tree.depth_features.size(); ++depth) {
    depth_features_[static_cast<std::int32_t>(depth)] = tree.depth_features[depth];
  }

  auto new_root = std::make_unique<Node>();
  new_root->indices = std::move(root_rows);
  std::vector<Node*> node_at(tree.node_count(), nullptr);
  node_at[0] = new_root.get();
  for (std::size_t id = 0; id < tree.node_count(); ++id) {
    Node& node = *node_at[id];
    if (tree.is_leaf(id)) {
      finalize_leaf(node, y);
      continue;
    }
    node.is_split = true;
    node.split_feature = static_cast<std::int32_t>(tree.feature[id]);
    node.split_threshold = tree.threshold[id];
    node.left = std::make_unique<Node>();
    node.right = std::make_unique<Node>();
    const auto left = static_cast<std::size_t>(tree.children_left[id]);
    const auto right = static_cast<std::size_t>(tree.children_right[id]);
    if (right < is_held.size() && is_held[left] != 0 && is_held[right] != 0) {
      node.left->indices = std::move(held[left]);
      node.right->indices = std::move(held[right]);
    } else {
      partition_rows(X, node, node.split_feature, node.split_threshold, node.left->indices,
                     node.right->indices);
    }
    node_at[left] = node.left.get();
    node_at[right] = node.right.get();
  }
  widest_root_ = new_root.get();
  widest_feature_ = static_cast<std::int32_t>(tree.widest_feature());
  return new_root;
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


std::int32_t QORModel::widest_split_feature() const {
  if (root == nullptr) return -1;
  if (root.get() == widest_root_) return widest_feature_;
  std::int32_t widest = -1;
  std::vector<const Node*> pending{root.get()};
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

const Node& leaf_for_row(const FeatureMatrix& X, std::size_t i, const Node& start) noexcept {
  const Node* node = &start;
  const auto row = static_cast<std::int32_t>(i);
  while (!node->is_leaf()) {
    const double x = X.at(row, node->split_feature);
    node = x <= node->split_threshold ? node->left.get() : node->right.get();
  }
  return *node;
}

static double predict_row(const FeatureMatrix& X, std::size_t i, const Node& start) noexcept {
  return leaf_for_row(X, i, start).value;
}

static std::vector<double> predict_proba_row(const FeatureMatrix& X, std::size_t i, const Node& start,
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
  check_predictable(*this, X);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = predict_row(X, i, *root);
  return out;
}

std::vector<std::vector<double>> QORModel::predict_proba(const FeatureMatrix& X) const {
  const auto n = static_cast<std::size_t>(std::max(X.rows, 0));
  std::vector<std::vector<double>> out(n);
  if (n == 0) return out;
  check_predictable(*this, X);
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = predict_proba_row(X, i, *root, classes_.size());
  }
  return out;
}

}  // namespace qor
