#include "level_split.hpp"

#include <limits>
#include <numeric>
#include <vector>

namespace qor {

NodeSplit find_node_threshold(const FeatureMatrix& X, const TargetVector& y, const Node& node,
                              std::int32_t feature, Criterion criterion,
                              std::int32_t min_samples_split, std::int32_t min_samples_leaf) {
  const std::size_t n = node.indices.size();
  if (static_cast<std::int64_t>(n) < min_samples_split || n == 0) return {};
  const Node* const nodes[] = {&node};
  const std::int32_t features[] = {feature};
  ModelParams params;
  params.criterion = criterion;
  params.min_samples_leaf = min_samples_leaf;
  SplitWorkspace workspace(X, y, nodes, features, params);
  workspace.scanner.prepare(node);
  return workspace.scanner.best_cut(workspace.columns.run(node, feature), X, feature);
}

LevelSplit QORModel::choose_level_split(const FeatureMatrix& X, const TargetVector& y,
                                        const std::vector<Node*>& nodes) const {
  if (n_features <= 0 || nodes.empty()) return {};
  const std::vector<const Node*> listed(nodes.begin(), nodes.end());
  std::vector<std::int32_t> features(static_cast<std::size_t>(n_features));
  std::iota(features.begin(), features.end(), 0);
  SplitWorkspace workspace(X, y, listed, features, params);
  return choose_level_split(X, y, nodes, workspace);
}

// The workspace's scanner reads the targets it was built with.
LevelSplit QORModel::choose_level_split(const FeatureMatrix& X, const TargetVector& /*y*/,
                                        const std::vector<Node*>& nodes,
                                        SplitWorkspace& workspace) const {
  LevelSplit best;
  if (n_features <= 0) return best;
  const auto features = static_cast<std::size_t>(n_features);
  const std::size_t count = nodes.size();

  // Node by node, so that what a node's features share is gathered once;
  // cuts[f * count + i] is node i's best cut under feature f.
  std::vector<NodeSplit> cuts(features * count);
  CutScanner& scanner = workspace.scanner;
  const FrontierColumns& columns = workspace.columns;
  for (std::size_t i = 0; i < count; ++i) {
    const Node& node = *nodes[i];
    const std::size_t n = node.indices.size();
    if (static_cast<std::int64_t>(n) < params.min_samples_split || n == 0) continue;
    scanner.prepare(node);
    for (std::size_t f = 0; f < features; ++f) {
      const auto feature = static_cast<std::int32_t>(f);
      cuts[f * count + i] = scanner.best_cut(columns.run(node, feature), X, feature);
    }
  }

  LevelChoice choice;
  for (std::size_t f = 0; f < features; ++f) {
    double score = 0.0;
    bool cuts_some_node = false;
    for (std::size_t i = 0; i < count; ++i) {
      const NodeSplit& cut = cuts[f * count + i];
      if (!cut.valid) continue;
      score += cut.gain;
      cuts_some_node = true;
    }
    choice.offer(static_cast<std::int32_t>(f), score, cuts_some_node);
  }
  best.feature = choice.feature;
  if (best.feature >= 0) {
    const auto f = static_cast<std::size_t>(best.feature);
    for (std::size_t i = 0; i < count; ++i) {
      const NodeSplit& cut = cuts[f * count + i];
      if (cut.valid) best.thresholds.emplace(nodes[i], cut.threshold);
    }
  }
  return best;
}

}  // namespace qor
