#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engine/binned/bin_histogram.hpp"
#include "engine/binned/bins.hpp"
#include "engine/level/level_loop.hpp"
#include "engine/level/level_rules.hpp"

namespace qor {

// The binned search of a level, from its merged histograms: searched node i
// of the level is slot i of `histograms`, with the StatShape sums
// node_totals[i * width, (i + 1) * width). Cuts lie after a bin that holds
// rows of the node and before the next such bin (NaN's bin, always last,
// included); a categorical feature's bins (one per category) are first put in
// the order exact growth puts a node's categories in. Rows of weight 0 are in
// no bin's row count, so they bound no cut.
class BinnedSearch {
 public:
  BinnedSearch(const LevelHistograms& histograms, std::span<const double> node_totals,
               const LevelRules& rules);

  // Each listed feature's score: the sum of the nodes' best counted gains, in
  // node order. Threads (rules.threads) split the features.
  void score(std::span<const LevelNode> nodes, std::span<const std::int32_t> features,
             LevelScores& scores) const;
  // Each node's best cut under `feature`: its threshold halfway between the
  // training values of the last bin it sends left and of the next bin holding
  // its rows (`ranges`, every bin's over all rows of the fit), or its
  // categories; split_at is the last bin sent left of a numeric cut.
  void cuts(std::span<const LevelNode> nodes, std::int32_t feature,
            std::span<const BinRange> ranges, std::vector<NodeCut>& out) const;

 // The scan's result and scratch, which its helpers in the source file share.
  struct Scan;
  struct Scratch;

 private:
  Scan scan(std::size_t slot, std::int32_t feature, const LevelNode& node,
            Scratch& scratch) const;

  const LevelHistograms& histograms_;
  std::span<const double> totals_;
  const LevelRules& rules_;
};

}  // namespace qor
