#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "engine/exact/cut_scanner.hpp"
#include "engine/exact/frontier_columns.hpp"
#include "engine/exact/indicator_columns.hpp"
#include "engine/exact/indicator_search.hpp"
#include "engine/exact/sparse_columns.hpp"
#include "engine/level/level_loop.hpp"
#include "engine/level/level_rules.hpp"
#include "engine/tree/views.hpp"

namespace qor {

// The exact search of a level over sparse columns: ExactSearch's cuts and
// scores, each node's run of a feature laid out from the sparse column
// (SparseColumns::expand) and scanned as the dense one is. `frontier` holds
// the segments' rows (and targets) without feature columns. With
// `indicators`, the columns they hold (left out of `columns`) are searched by
// their histograms (IndicatorSearch), which must serve the fit.
class SparseSearch {
 public:
  SparseSearch(const SparseColumns& columns, const FrontierColumns& frontier, const TargetVector& y,
               const double* weights, const LevelRules& rules, std::int32_t n_features,
               const IndicatorColumns* indicators = nullptr);

  // As ExactSearch::score and ExactSearch::cuts.
  void score(std::span<const LevelNode> nodes, std::span<const std::int32_t> features,
             LevelScores& scores);
  void cuts(std::span<const LevelNode> nodes, std::int32_t feature, std::vector<NodeCut>& out);
  // goes_left[row] = 1 for the rows of the segment that `cut`, the last
  // cuts()'s of the segment's node, sends left.
  void mark(std::size_t segment, std::int32_t feature, const NodeCut& cut,
            std::uint8_t* goes_left) const;
  // The frontier's segments become the children of `splits` (as
  // FrontierColumns::partition makes them).
  void split(std::span<const FrontierColumns::Split> splits);

 private:
  // One thread's scanner and scratch.
  struct Worker {
    std::unique_ptr<CutScanner> scanner;
    std::size_t prepared = kNone;  // the segment the scanner is prepared for
    std::vector<ColumnEntry> run;
    std::vector<std::uint8_t> marked;      // per row, 0 between uses
    std::vector<double> values;            // per row: the current feature's value, 0.0 between uses
    std::vector<double> part;              // per class: a part's weight (block cuts)
    std::vector<std::int64_t> count_part;  // the same as counts, under unit weights
  };
  // A level node's class weights, for block cuts: whether they serve it (its
  // weights add up exactly) and its impurity.
  struct Tally {
    bool block = false;
    double weight = 0.0;
    double parent = 0.0;
  };
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  // The level's tallies, when block cuts may serve it (and the indicators'
  // view of them); once a level, split() starting the next.
  void tally(std::span<const LevelNode> nodes);
  bool indicator(std::int32_t feature) const noexcept {
    return indicators_ != nullptr && indicators_->holds(feature);
  }
  // Node i of the level's best cut under `feature`.
  NodeSplit cut_of(Worker& worker, std::size_t i, const LevelNode& node,
                   std::int32_t feature) const;
  // A classifier's node whose class weights add up exactly (whole weights):
  // the zero run's class weights are the node's less the stored rows', and
  // the run moves into the left part at once, giving every cut the gain that
  // the row-by-row scan gives it. Costs the stored rows, not the node's.
  template <bool kGini, bool kUnit>
  NodeSplit block_cut(Worker& worker, std::size_t i, const LevelNode& node,
                      std::int32_t feature) const;
  // Any node: the run laid out row by row and scanned as the dense one.
  NodeSplit scan_cut(Worker& worker, const LevelNode& node, std::int32_t feature) const;

  const SparseColumns& columns_;
  const FrontierColumns& frontier_;
  const LevelRules& rules_;
  std::int32_t n_features_;
  const double* weights_;
  // Gini or entropy of a classifier with whole weights (or none): block cuts' case.
  bool whole_tally_ = false;
  std::size_t classes_ = 0;
  std::vector<Worker> workers_;
  std::vector<Tally> tallies_;        // per level node
  bool tallied_ = false;              // tallies_ are the current level's
  std::vector<double> totals_;        // per level node and class: its weight
  std::vector<std::int64_t> counts_;  // the same as counts, under unit weights
  const IndicatorColumns* indicators_;
  std::optional<IndicatorSearch> indicator_search_;
  std::vector<NodeClasses> node_classes_;  // per level node, for indicator_search_
  std::vector<std::uint8_t> offered_;      // per feature: 1 for the draw's indicator columns
  std::vector<std::int32_t> scanned_;      // the draw's other features
};

}  // namespace qor
