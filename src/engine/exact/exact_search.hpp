#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <unordered_map>
#include <vector>

#include "engine/exact/cut_scan.hpp"
#include "engine/exact/cut_scanner.hpp"
#include "engine/exact/frontier_columns.hpp"
#include "engine/native/model.hpp"
#include "engine/tree/views.hpp"

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

// How a level searches its cuts.
struct LevelRules {
  Criterion criterion = Criterion::Gini;
  CutLimits limits;
  std::int32_t min_samples_split = 2;      // a node with fewer rows has no cut
  double min_impurity_decrease = 0.0;      // > 0: a cut counts only if its node's share of the
  double root_weight = 1.0;                // root's weight times its gain reaches this
  std::vector<std::int8_t> monotonic_cst;  // per feature: +1, -1 or 0; empty: none
  std::vector<std::uint8_t> categorical;   // per feature: 1 for category codes; empty: none
  std::int32_t n_classes = 0;              // > 0: targets are class codes
  int threads = 1;
};

// The level's feature and, under it, the cut of each searched segment.
struct LevelCuts {
  std::int32_t feature = -1;    // -1: no feature cuts any node
  std::vector<NodeSplit> cuts;  // per entry of `segments`: its cut under `feature`
  // Per entry of `segments` when `feature` is categorical: the categories its
  // cut sends left, ascending; empty otherwise.
  std::vector<std::vector<double>> left_categories;
};

// The split search of one fit: one cut scanner per thread, reused level after level.
class LevelSearch {
 public:
  // `weights`: one per row, or null for unit weights. Reads X, y, weights and
  // columns until it is gone.
  LevelSearch(const FeatureMatrix& X, const TargetVector& y, const double* weights,
              const FrontierColumns& columns, const LevelRules& rules);

  // Chooses the feature of a level whose nodes are the listed segments of the
  // columns, in that order, by summing each feature's best gains node by node.
  // Memory grows with the nodes and the features, not with their product:
  // features are scored first, and the cuts of the chosen one found again
  // (or, on levels of few nodes, kept from the scoring).
  // Threads take blocks of features, then blocks of nodes; the result never
  // depends on their number.
  // `bounds` holds each listed segment's value bounds under monotonic
  // constraints, or is empty.
  LevelCuts search(std::span<const std::size_t> segments, std::span<const std::int32_t> features,
                   std::span<const ValueBounds> bounds = {});

 private:
  // The i-th listed segment's best cut under `feature` by `scanner`, prepared for it.
  // `left` receives a categorical cut's left categories.
  NodeSplit cut_of(CutScanner& scanner, std::size_t segment, std::int32_t feature,
                   const ValueBounds& bounds, std::vector<double>& left) const;
  bool categorical(std::int32_t feature) const noexcept {
    return !rules_.categorical.empty() && rules_.categorical[static_cast<std::size_t>(feature)];
  }
  bool searchable(std::size_t segment) const;

  const FeatureMatrix& X_;
  const FrontierColumns& columns_;
  LevelRules rules_;
  std::vector<std::unique_ptr<CutScanner>> scanners_;  // one per thread
};

// Scores every cut of `node` under `feature`: rows are ordered by value (ties in
// the order of node.indices, NaN after every number), cuts lie between different
// values only (the numbers and NaN count as different) and leave at least
// min_samples_leaf rows on each side. The leftmost best cut wins. Sorts the node's
// rows itself; growth uses the presorted search, which scores with the same scan.
NodeSplit find_node_threshold(const FeatureMatrix& X, const TargetVector& y, const Node& node,
                              std::int32_t feature, Criterion criterion,
                              std::int32_t min_samples_split, std::int32_t min_samples_leaf);

}  // namespace qor
