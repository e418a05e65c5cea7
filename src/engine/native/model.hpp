#pragma once

// The native module's model: a tree of Node objects that keep their rows,
// grown by the engine's level loop and finalised into the native leaves
// (the majority label with class counts, or the mean target).

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string_view>
#include <vector>

#include "engine/criteria/criterion.hpp"
#include "engine/tree/task.hpp"
#include "engine/tree/views.hpp"

namespace qor {

struct ModelParams {
  TaskKind task = TaskKind::Classification;
  Criterion criterion = Criterion::Gini;
  std::int32_t max_depth = 5;          // levels that may split; the root is depth 0
  std::int32_t min_samples_split = 2;  // a node with fewer rows is not split
  std::int32_t min_samples_leaf = 1;   // fewest rows either side of a cut may receive
};

// One node of a grown tree. Heap-allocated and owned through unique_ptr: the
// model owns the root, each internal node its two children.
struct Node {
  std::vector<std::size_t> indices;  // training rows that reached the node, in growth order;
                                     // ascending at the root, parent order kept in children
  std::unique_ptr<Node> left;        // rows with value <= split_threshold
  std::unique_ptr<Node> right;       // all other rows, NaN included
  bool is_split = false;             // set when the two children are attached
  std::int32_t split_feature = -1;   // column that splits the node; -1 on a leaf
  double split_threshold = 0.0;      // 0.0 on a leaf
  bool is_finalized = false;         // set first thing when the node becomes a leaf
  double value = 0.0;                // leaf prediction; 0.0 on internal nodes
  std::vector<double> class_counts;  // classification leaf: one count per model class

  Node() = default;
  Node(Node&&) noexcept = default;
  Node& operator=(Node&& other) noexcept;
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;
  // Releases the subtree without recursion, so trees of any height are safe.
  ~Node();

  bool is_leaf() const noexcept { return !left && !right; }
};

// Destroys a whole subtree in constant stack and without allocating.
void release_tree(std::unique_ptr<Node> root) noexcept;

class QORModel {
 public:
  explicit QORModel(ModelParams config) : params(config) {}
  QORModel(QORModel&&) noexcept = default;
  QORModel& operator=(QORModel&&) noexcept = default;
  QORModel(const QORModel&) = delete;
  QORModel& operator=(const QORModel&) = delete;

  // Grows a new tree on rows 0..X.rows-1 and installs it. Refuses a y shorter
  // than X and, for classification, NaN labels, before anything changes.
  void fit(const FeatureMatrix& X, const TargetVector& y);
  // One value per row; a classifier's per-class shares per row.
  std::vector<double> predict(const FeatureMatrix& X) const;
  std::vector<std::vector<double>> predict_proba(const FeatureMatrix& X) const;

  // Grows the tree (one thread), then gives every node its rows.
  std::unique_ptr<Node> grow_levels(const FeatureMatrix& X, const TargetVector& y,
                                    std::vector<std::size_t> root_rows);
  void finalize_leaf(Node& node, const TargetVector& y) const;
  // The largest split feature of the tree under `root`, -1 for a leaf: recorded
  // by growth, walked only for a tree that growth did not make.
  std::int32_t widest_split_feature() const;

  ModelParams params;                                    // fixed after construction
  std::unique_ptr<Node> root;                            // tree of the last fit; null before
  std::vector<double> classes_;                          // classification: sorted distinct targets
  std::map<std::int32_t, std::int32_t> depth_features_;  // depth -> feature; keys 0, 1, ...
  std::int32_t n_features = 0;                           // columns seen by the last fit

 private:
  const Node* widest_root_ = nullptr;  // the root grown last, whose widest feature is known
  std::int32_t widest_feature_ = -1;
};

// Walks row i from `start` to a leaf: value <= threshold goes left, anything
// else (NaN included) right. The caller keeps every split feature below X.cols.
const Node& leaf_for_row(const FeatureMatrix& X, std::size_t i, const Node& start) noexcept;

// Routes the node's rows in order: value <= threshold goes left, everything
// else (NaN included) right. Both outputs are emptied first, keeping capacity.
void partition_rows(const FeatureMatrix& X, const Node& node, std::int32_t feature,
                    double threshold, std::vector<std::size_t>& left_rows,
                    std::vector<std::size_t>& right_rows);

std::unique_ptr<QORModel> make_model(std::string_view task, std::string_view criterion,
                                     std::int32_t max_depth, std::int32_t min_samples_split,
                                     std::int32_t min_samples_leaf);

}  // namespace qor
