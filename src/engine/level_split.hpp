#pragma once

#include <cstdint>
#include <unordered_map>

#include "model.hpp"
#include "views.hpp"

namespace qor {

// Best cut of one node under one feature.
struct NodeSplit {
  bool valid = false;      // a cut was found; threshold and gain mean nothing otherwise
  double threshold = 0.0;  // midpoint of the two values either side of the cut
  double gain = 0.0;       // parent impurity minus the size-weighted impurity of the parts
};

// The level's one feature and the threshold of every node that has a cut under it.
struct LevelSplit {
  std::int32_t feature = -1;                           // -1: no feature cuts any node
  std::unordered_map<const Node*, double> thresholds;  // non-owning keys; empty when feature is -1
};

// Scores every cut of `node` under `feature`: rows are ordered by value (ties in
// row order, NaN after every number), cuts lie between distinct numbers only
// and leave at least min_samples_leaf rows on each side. The leftmost best cut wins.
NodeSplit find_node_threshold(const FeatureMatrix& X, const TargetVector& y, const Node& node,
                              std::int32_t feature, Criterion criterion,
                              std::int32_t min_samples_split, std::int32_t min_samples_leaf);

}  // namespace qor
