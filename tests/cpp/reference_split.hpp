#pragma once

// The literal per-node split search and growth: every node sorts its own rows
// for every feature, and mae re-sorts both parts at every cut. Slow, obviously
// right, and the yardstick the engine's presorted search is held to.
//
// It shares only the impurity measure of mse with the engine; gini, entropy,
// the median of mae, the scan, the tie rules and the growth loop are its own.
//
// Sample weights (null: every row weighs 1) enter every sum as w, w y and
// (w y) y in the order of the rows being summed; node totals run in the
// node's row order. With unit weights every product by 1.0 is exact, so this
// is the unweighted method to the last bit.

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/exact/cut_scan.hpp"
#include "engine/tree/flat_tree.hpp"
#include "engine/native/model.hpp"
#include "engine_probes.hpp"
#include "engine/tree/tree_params.hpp"
#include "engine/tree/views.hpp"

namespace qor::reference {

struct Rules {
  Criterion criterion = Criterion::Gini;
  std::int32_t min_samples_split = 2;
  std::int32_t min_samples_leaf = 1;
  double min_weight_leaf = 0.0;
  double min_impurity_decrease = 0.0;
  double root_weight = 1.0;
  // Class codes as targets (a package classifier): a part's class terms are
  // added in class order, not in order of first occurrence, and its entropy is
  // the entropy itself, not the native model's guarded one.
  bool by_class = false;
};

NodeSplit find_node_threshold(const FeatureMatrix& X, const TargetVector& y, const double* weights,
                              const std::vector<std::size_t>& rows, std::int32_t feature,
                              const Rules& rules);

inline NodeSplit find_node_threshold(const FeatureMatrix& X, const TargetVector& y,
                                     const Node& node, std::int32_t feature, Criterion criterion,
                                     std::int32_t min_samples_split,
                                     std::int32_t min_samples_leaf) {
  return find_node_threshold(X, y, nullptr, node.indices, feature,
                             Rules{criterion, min_samples_split, min_samples_leaf});
}

probe::LevelSplit choose_level_split(const QORModel& model, const FeatureMatrix& X, const TargetVector& y,
                              const std::vector<Node*>& nodes);

// A whole fit with the literal search: fills root, classes_, depth_features_
// and n_features of `model` as QORModel::fit does.
void fit(QORModel& model, const FeatureMatrix& X, const TargetVector& y);

// A package fit with the literal search: the tree's shape, features,
// thresholds, gains and row counts as growth records them (no leaf values).
FlatTree grow(const FeatureMatrix& X, const TargetVector& y, const double* weights,
              const TreeParams& params);

}  // namespace qor::reference
