#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "engine/exact/cut_scanner.hpp"
#include "engine/exact/frontier_columns.hpp"
#include "engine/exact/sparse_columns.hpp"
#include "engine/level/level_loop.hpp"
#include "engine/level/level_rules.hpp"
#include "engine/tree/views.hpp"

namespace qor {

// The exact search of a level over sparse columns: ExactSearch's cuts and
// scores, each node's run of a feature laid out from the sparse column
// (SparseColumns::expand) and scanned as the dense one is. `frontier` holds
// the segments' rows (and targets) without feature columns.
class SparseSearch {
 public:
  SparseSearch(const SparseColumns& columns, const FrontierColumns& frontier, const TargetVector& y,
               const double* weights, const LevelRules& rules, std::int32_t n_features);

  // As ExactSearch::score and ExactSearch::cuts.
  void score(std::span<const LevelNode> nodes, std::span<const std::int32_t> features,
             LevelScores& scores);
  void cuts(std::span<const LevelNode> nodes, std::int32_t feature, std::vector<NodeCut>& out);

 private:
  // One thread's scanner and scratch.
  struct Worker {
    std::unique_ptr<CutScanner> scanner;
    std::vector<ColumnEntry> run;
    std::vector<std::uint8_t> marked;  // per row, 0 between uses
    std::vector<double> values;        // per row: the current feature's value, 0.0 between uses
    // The prepared node, for block_cut: its weight per class code, in all,
    // and the parent impurity; `block` whether block_cut serves it.
    bool block = false;
    std::vector<double> total;
    std::vector<double> zero;  // per class: the zero run's weight
    std::vector<double> left;  // per class: the left part's weight
    double weight = 0.0;
    double parent = 0.0;
  };

  NodeSplit cut_of(Worker& worker, const LevelNode& node, std::int32_t feature) const;
  // A classifier's node whose class weights add up exactly (whole weights):
  // the zero run's class weights are the node's less the stored rows', and
  // the run moves into the left part at once, giving every cut the gain that
  // the row-by-row scan gives it. Costs the stored rows, not the node's.
  template <bool kGini>
  NodeSplit block_cut(Worker& worker, const LevelNode& node, std::int32_t feature) const;
  // The node's class weights for block_cut (worker.block false where it does not apply).
  void prepare(Worker& worker, const LevelNode& node) const;

  const SparseColumns& columns_;
  const FrontierColumns& frontier_;
  const LevelRules& rules_;
  std::int32_t n_features_;
  const double* weights_;
  // Gini or entropy of a classifier with whole weights (or none): block_cut's case.
  bool whole_tally_ = false;
  std::vector<Worker> workers_;
};

}  // namespace qor
