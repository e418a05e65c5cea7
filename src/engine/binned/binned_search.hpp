#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engine/binned/bin_histogram.hpp"
#include "engine/binned/bins.hpp"
#include "engine/tree/tree_params.hpp"

namespace qor {

// One node's cut under the level's feature.
struct NodeCut {
  bool valid = false;  // false: the node stays a leaf; nothing below means anything
  std::int32_t last_left_bin =
      -1;                  // bins up to this one go left, every later one (NaN's too) right
  double threshold = 0.0;  // x <= threshold sends every training row where its bin goes
  double gain = 0.0;       // parent - (w_left * impurity_left + w_right * impurity_right)
};

// A level's choice from its histograms.
struct LevelCut {
  std::int32_t feature = -1;  // -1: no feature cuts any node, and `cuts` is empty
  std::vector<NodeCut> cuts;  // per node, in node order
  std::vector<double> parts;  // per node, 2 * width entries: the StatShape sums of the
                              // left part, then of the right part (zeros without a cut)
};

// Chooses the level's feature and every node's cut under it from merged
// histograms: node i is slot i of `histograms` with the sums node_totals[i *
// width, (i + 1) * width); `ranges` are the value ranges of the bins of every
// row of the fit. Cuts lie after a bin that holds rows of the node and before
// the next such bin (NaN's bin included), and leave min_samples_leaf rows and
// min_weight_leaf weight on either side; the leftmost cut of highest gain wins.
// A node's best cut counts only if (node weight / root_weight) * gain reaches a
// positive min_impurity_decrease; a minimum of 0 admits every cut, as exact
// growth does, even one whose gain rounding took below 0. The feature is
// LevelChoice's over the features' scores added in node order. Threads (from
// params.n_threads) split the features; the choice never depends on them.
LevelCut choose_level_cut(const LevelHistograms& histograms, std::span<const double> node_totals,
                          std::span<const BinRange> ranges, const TreeParams& params,
                          double root_weight);

}  // namespace qor
