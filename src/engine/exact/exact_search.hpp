#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "engine/exact/cut_scan.hpp"
#include "engine/exact/cut_scanner.hpp"
#include "engine/exact/frontier_columns.hpp"
#include "engine/level/level_loop.hpp"
#include "engine/level/level_rules.hpp"
#include "engine/tree/views.hpp"

namespace qor {

// The exact search of a level: every cut between two different values of a
// node's rows, scanned over the presorted columns (node i of a level is
// segment nodes[i].position of the columns). One cut scanner per thread,
// reused level after level.
class ExactSearch {
 public:
  // `weights`: one per row, or null for unit weights. Reads X, y, weights and
  // columns until it is gone.
  ExactSearch(const FeatureMatrix& X, const TargetVector& y, const double* weights,
              const FrontierColumns& columns, const LevelRules& rules);

  // Each listed feature's score over the level's nodes: the sum of their best
  // cuts' gains that count, added in node order. Memory grows with the nodes
  // and the features, not with their product, except on levels of few nodes,
  // whose every cut is kept for cuts() (their rows lie in few large segments,
  // where scanning again costs most). Threads take blocks of features; the
  // scores never depend on their number.
  void score(std::span<const LevelNode> nodes, std::span<const std::int32_t> features,
             LevelScores& scores);
  // Each node's best cut under `feature` (invalid where none counts); nodes
  // spread over the threads. split_at is the rows of the cut's left part.
  void cuts(std::span<const LevelNode> nodes, std::int32_t feature, std::vector<NodeCut>& out);

 private:
  // One node's best cut under `feature` by `scanner`, prepared for the node.
  // `left` receives a categorical cut's left categories.
  NodeSplit cut_of(CutScanner& scanner, const LevelNode& node, std::int32_t feature,
                   std::vector<double>& left) const;

  const FeatureMatrix& X_;
  const FrontierColumns& columns_;
  const LevelRules& rules_;
  std::vector<std::unique_ptr<CutScanner>> scanners_;  // one per thread
  // Every cut of the last scored level, [feature slot * nodes + node], or empty.
  std::vector<NodeSplit> kept_;
  std::vector<std::int32_t> kept_features_;
};

}  // namespace qor
