#pragma once

// The engine's exact search entered one node or one level at a time, on
// nodes that no fit made (rows overlapping, out of order): what the C++
// tests hold against the literal method of reference_split.hpp.

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "engine/exact/cut_scan.hpp"
#include "engine/native/model.hpp"
#include "engine/tree/views.hpp"

namespace qor::probe {

// A level's one feature and the threshold of every node that has a cut under it.
struct LevelSplit {
  std::int32_t feature = -1;                           // -1: no feature cuts any node
  std::unordered_map<const Node*, double> thresholds;  // empty when feature is -1
};

// One node's best cut under `feature`, by the presorted scan (unit weights).
NodeSplit find_node_threshold(const FeatureMatrix& X, const TargetVector& y, const Node& node,
                              std::int32_t feature, Criterion criterion,
                              std::int32_t min_samples_split, std::int32_t min_samples_leaf);

// The level split of `nodes` under the model's parameters, by the exact search.
LevelSplit choose_level_split(const QORModel& model, const FeatureMatrix& X, const TargetVector& y,
                              const std::vector<Node*>& nodes);

}  // namespace qor::probe
