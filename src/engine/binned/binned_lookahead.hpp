#pragma once

#include "engine/binned/binned_growth.hpp"
#include "engine/level/beam.hpp"
#include "engine/tree/flat_tree.hpp"
#include "engine/tree/tree_params.hpp"

namespace qor {

// Binned growth with lookahead (engine/level/beam.hpp) on one machine: a beam
// of params.beam_width partial trees, each a BinnedGrower with the node of
// every row (4 bytes a row) and its level's histograms, the final tree chosen
// among the finalists by params.lookahead_folds-fold inner cross-validation
// (or training impurity); held-out rows move through the bins as training
// rows would. beam_width 1 grows grow_binned's tree to the bit. Throws where
// grow_binned does.
LookaheadFit grow_binned_lookahead(const BinnedRows& rows, const TreeParams& params);

}  // namespace qor
