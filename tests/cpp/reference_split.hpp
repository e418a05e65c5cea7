#pragma once

// The literal per-node split search and growth: every node sorts its own rows
// for every feature, and mae re-sorts both parts at every cut. Slow, obviously
// right, and the yardstick the engine's presorted search is held to.

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/level_split.hpp"
#include "engine/model.hpp"
#include "engine/views.hpp"

namespace qor::reference {

NodeSplit find_node_threshold(const FeatureMatrix& X, const TargetVector& y, const Node& node,
                              std::int32_t feature, Criterion criterion,
                              std::int32_t min_samples_split, std::int32_t min_samples_leaf);

LevelSplit choose_level_split(const QORModel& model, const FeatureMatrix& X, const TargetVector& y,
                              const std::vector<Node*>& nodes);

// A whole fit with the literal search: fills root, classes_, depth_features_
// and n_features of `model` as QORModel::fit does.
void fit(QORModel& model, const FeatureMatrix& X, const TargetVector& y);

}  // namespace qor::reference
