#include "engine_probes.hpp"

#include <numeric>

#include "engine/exact/cut_scanner.hpp"
#include "engine/exact/exact_search.hpp"
#include "engine/exact/frontier_columns.hpp"
#include "engine/level/level_rules.hpp"

namespace qor::probe {

namespace {

std::vector<std::uint32_t> rows_of(const Node& node) {
  return std::vector<std::uint32_t>(node.indices.begin(), node.indices.end());
}

LevelRules rules_of(Criterion criterion, std::int32_t min_samples_split,
                    std::int32_t min_samples_leaf) {
  TreeParams params;
  params.criterion = criterion;
  params.min_samples_split = min_samples_split;
  params.min_samples_leaf = min_samples_leaf;
  return LevelRules::of(params, 1.0);
}

}  // namespace

NodeSplit find_node_threshold(const FeatureMatrix& X, const TargetVector& y, const Node& node,
                              std::int32_t feature, Criterion criterion,
                              std::int32_t min_samples_split, std::int32_t min_samples_leaf) {
  const LevelRules rules = rules_of(criterion, min_samples_split, min_samples_leaf);
  if (!rules.may_search(static_cast<std::int64_t>(node.indices.size()))) return {};
  const std::vector<std::vector<std::uint32_t>> segments{rows_of(node)};
  const std::int32_t features[] = {feature};
  const FrontierColumns columns(X, y, segments, features, criterion);
  CutScanner scanner(criterion, rules.limits, y, nullptr, columns);
  scanner.prepare(0);
  return scanner.best_cut(0, feature, X);
}

LevelSplit choose_level_split(const QORModel& model, const FeatureMatrix& X, const TargetVector& y,
                              const std::vector<Node*>& nodes) {
  LevelSplit best;
  if (model.n_features <= 0 || nodes.empty()) return best;
  const LevelRules rules = rules_of(model.params.criterion, model.params.min_samples_split,
                                    model.params.min_samples_leaf);
  std::vector<std::vector<std::uint32_t>> segments;
  for (const Node* node : nodes) segments.push_back(rows_of(*node));
  std::vector<std::int32_t> features(static_cast<std::size_t>(model.n_features));
  std::iota(features.begin(), features.end(), 0);
  const FrontierColumns columns(X, y, segments, features, model.params.criterion);
  std::vector<LevelNode> searched;
  std::vector<const Node*> of;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const auto rows = static_cast<std::int64_t>(nodes[i]->indices.size());
    if (!rules.may_search(rows)) continue;
    searched.push_back({i, rows, static_cast<double>(rows), {}});
    of.push_back(nodes[i]);
  }
  ExactSearch search(X, y, nullptr, columns, rules);
  LevelScores scores;
  search.score(searched, features, scores);
  best.feature = choose_feature(scores);
  if (best.feature < 0) return best;
  std::vector<NodeCut> cuts;
  search.cuts(searched, best.feature, cuts);
  for (std::size_t i = 0; i < cuts.size(); ++i) {
    if (cuts[i].valid) best.thresholds.emplace(of[i], cuts[i].threshold);
  }
  return best;
}

}  // namespace qor::probe
