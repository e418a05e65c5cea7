#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <unordered_map>

#include "cut_scan.hpp"
#include "frontier_columns.hpp"
#include "model.hpp"
#include "views.hpp"

namespace qor {

// Picks the level's feature from the features' scores, each score the sum of
// its nodes' best gains added in node order. Features must be offered in
// increasing order: a feature must cut some node and beat the best score
// strictly, so ties go to the lowest feature and a NaN score never wins.
struct LevelChoice {
  std::int32_t feature = -1;  // -1 until a feature cuts some node
  double score = -std::numeric_limits<double>::infinity();

  void offer(std::int32_t candidate, double candidate_score, bool cuts_some_node) noexcept {
    if (cuts_some_node && candidate_score > score) {
      score = candidate_score;
      feature = candidate;
    }
  }
};

// The level's one feature and the threshold of every node that has a cut under it.
struct LevelSplit {
  std::int32_t feature = -1;                           // -1: no feature cuts any node
  std::unordered_map<const Node*, double> thresholds;  // non-owning keys; empty when feature is -1
};

// What the split searches of one fit share: the rows of the nodes being
// searched, presorted by every feature, and the scanner's tables and scratch.
struct SplitWorkspace {
  SplitWorkspace(const FeatureMatrix& X, const TargetVector& y, std::span<const Node* const> nodes,
                 std::span<const std::int32_t> features, const ModelParams& params)
      : columns(X, y, nodes, features, params.criterion),
        scanner(params.criterion, params.min_samples_leaf, y, columns) {}
  // The scanner refers to the columns: the pair stays where it was built.
  SplitWorkspace(const SplitWorkspace&) = delete;
  SplitWorkspace& operator=(const SplitWorkspace&) = delete;

  FrontierColumns columns;
  CutScanner scanner;
};

// Scores every cut of `node` under `feature`: rows are ordered by value (ties in
// the order of node.indices, NaN after every number), cuts lie between distinct
// numbers only and leave at least min_samples_leaf rows on each side. The
// leftmost best cut wins. Sorts the node's rows itself; growth uses the
// presorted search of choose_level_split, which scores with the same scanner.
NodeSplit find_node_threshold(const FeatureMatrix& X, const TargetVector& y, const Node& node,
                              std::int32_t feature, Criterion criterion,
                              std::int32_t min_samples_split, std::int32_t min_samples_leaf);

}  // namespace qor
