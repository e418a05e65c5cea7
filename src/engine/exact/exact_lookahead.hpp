#pragma once

#include "engine/level/beam.hpp"
#include "engine/tree/flat_tree.hpp"
#include "engine/tree/tree_params.hpp"
#include "engine/tree/views.hpp"

namespace qor {

// Exact growth with lookahead (engine/level/beam.hpp): a beam of
// params.beam_width partial trees over X's own values, the final tree chosen
// among its finalists by params.lookahead_folds-fold inner cross-validation
// (or training impurity). Each partial tree is kept as the node of every row
// (4 bytes a row); the columns sorted once at the root are regrouped into a
// partial tree's nodes in one pass when it is scored or extended, so memory
// is two sets of sorted columns plus 4 bytes a row per partial tree kept.
// beam_width 1 grows grow_tree's tree to the bit. Throws where grow_tree does.
LookaheadFit grow_tree_lookahead(const FeatureMatrix& X, const TargetVector& y,
                                 const double* weights, const TreeParams& params);

}  // namespace qor
