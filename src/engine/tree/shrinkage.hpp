#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "engine/tree/prediction.hpp"

namespace qor {

// Hierarchical shrinkage of a grown tree's node values: the structure stays,
// and each node's value is pulled towards its parent's, the more so the fewer
// (weighted) rows the parent holds:
//
//   value'(root)  = value(root)
//   value'(child) = value'(parent) + (value(child) - value(parent)) / (1 + shrinkage / N(parent))
//
// N is the parent's weighted_n_node_samples. Every value'(child) is computed in
// exactly this order of operations, entry by entry: q = shrinkage / N, s = 1 + q,
// d = value(child) - value(parent), value'(child) = value'(parent) + d / s. Along a
// path the factors 1 / s shrink as N does, so a node's value' is a convex mix of
// its ancestors' values and its own: class shares stay shares (up to rounding) and
// positive means stay positive. A parent with no weight passes its value' on
// unchanged. `shrinkage` 0 returns the values as they are (the formula at 0 is
// p + (c - p), which may differ from c in the last bit).
//
// `value` holds `width` entries per node (node_count x width); the result has the
// same layout. Children must come after their parent (the breadth-first numbering
// of every grown tree): a tree that breaks that, arrays of unequal length, or a
// negative or non-finite shrinkage raise std::invalid_argument.
std::vector<double> shrunk_values(const TreeView& tree,
                                  std::span<const double> weighted_n_node_samples,
                                  std::span<const double> value, std::size_t width,
                                  double shrinkage);

}  // namespace qor
