#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace qor {

inline constexpr std::int64_t kTreeLeaf = -1;          // children of a leaf
inline constexpr std::int64_t kUndefinedFeature = -2;  // feature of a leaf
inline constexpr double kUndefinedThreshold = -2.0;    // threshold of a leaf

// Whether `code` is one of `categories` (ascending). NaN is none of them.
inline bool contains_category(std::span<const double> categories, double code) noexcept {
  const auto found = std::lower_bound(categories.begin(), categories.end(), code);
  return found != categories.end() && *found == code;
}

// What every node records when it is made, split or not.
struct NodeStats {
  std::int64_t n_node_samples = 0;       // training rows in the node
  double weighted_n_node_samples = 0.0;  // their summed sample weight
  double impurity = 0.0;                 // the criterion's impurity of those rows (weighted)
  std::span<const double> value;         // value_width entries; see FlatTree::value
};

// A grown tree as parallel arrays, one entry per node, numbered breadth first:
// node 0 is the root, every node of depth k comes before any node of depth
// k + 1, and a node's right child directly follows its left child. The arrays
// keep the conventions of scikit-learn's Tree, so every door (prediction,
// export, the Python estimators) reads the same arrays.
struct FlatTree {
  std::int32_t n_features = 0;   // columns of the training matrix
  std::int32_t value_width = 1;  // classes for a classifier, 1 for a regressor

  std::vector<std::int64_t> children_left;   // child ids, kTreeLeaf on leaves
  std::vector<std::int64_t> children_right;  // children_left + 1 on internal nodes
  std::vector<std::int64_t> feature;         // split column; kUndefinedFeature on leaves
  std::vector<double> threshold;             // x <= threshold goes left, anything else (NaN) right;
                                             // kUndefinedThreshold on leaves
  std::vector<double> impurity;
  std::vector<std::int64_t> n_node_samples;
  std::vector<double> weighted_n_node_samples;
  std::vector<double> gain;   // impurity - (w_left * impurity_left + w_right * impurity_right),
                              // w the children's shares of the node's weight; 0.0 on leaves
  std::vector<double> value;  // value_width per node: a classifier's class shares of the
                              // node's weight (summing to 1, or all 0 without weight), a
                              // regressor's weighted mean target
  std::vector<std::int32_t> depth_features;  // [depth]: the feature chosen for that level;
                                             // one entry per level that chose one
  // A split on a categorical feature (values are category codes) sends the
  // codes categories_left[category_start, category_end) left, in ascending
  // order; every other value, NaN and codes unseen in training included, goes
  // right. Its threshold is NaN. Other nodes have start == end.
  std::vector<std::int64_t> category_start;
  std::vector<std::int64_t> category_end;
  std::vector<double> categories_left;

  std::size_t node_count() const noexcept { return children_left.size(); }
  bool is_leaf(std::size_t node) const noexcept { return children_left[node] == kTreeLeaf; }

  // Appends a leaf; returns its id.
  std::int64_t add_node(const NodeStats& stats);
  // Turns leaf `node` into a split whose children are the next two nodes added.
  void split(std::int64_t node, std::int64_t split_feature, double split_threshold,
             double split_gain);
  // The same for a categorical feature: `left` (ascending, not empty) goes left.
  void split_categorical(std::int64_t node, std::int64_t split_feature,
                         std::span<const double> left, double split_gain);
  bool is_categorical(std::size_t node) const noexcept {
    return category_end[node] > category_start[node];
  }
  // Largest split feature, -1 for a single leaf: a matrix must have more columns
  // than this to be routed.
  std::int64_t widest_feature() const noexcept;
};

}  // namespace qor
