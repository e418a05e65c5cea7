#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "engine/exact/column_order.hpp"
#include "engine/level/level_loop.hpp"
#include "engine/tree/flat_tree.hpp"
#include "engine/tree/sparse_views.hpp"
#include "engine/tree/tree_params.hpp"
#include "engine/tree/views.hpp"

namespace qor {

// Exact growth: the level loop (level_loop.hpp) over X's own values, on the
// rows `root_rows` (all rows of X when empty), with the exact search over
// columns sorted once and kept sorted as nodes split. A split sends
// x <= threshold left and NaN right. `weights` holds one
// sample weight (>= 0) per row, or is null for unit weights, which give the
// unweighted tree to the last bit; a row of weight k grows the tree of k copies
// of the row, so rows of weight 0 are left out from the root on. The tree never
// depends on params.n_threads. Throws std::invalid_argument where
// check_growth_inputs does.
//
// `on_rows`, when given, is called with a node's id and its rows (in the order
// of root_rows) for every node that growth holds as a frontier node: the root,
// and the children of every level that splits except the last.
using NodeRowsObserver = std::function<void(std::int64_t, std::span<const ColumnEntry>)>;
FlatTree grow_tree(const FeatureMatrix& X, const TargetVector& y, const double* weights,
                   const TreeParams& params, std::span<const std::uint32_t> root_rows = {},
                   const NodeRowsObserver& on_rows = {});

// grow_tree over a sparse X held by columns (SparseMatrix::by_column): the
// tree of the same data made dense, to the last bit, in memory that grows with
// X's stored values and its rows. Numeric features only (std::invalid_argument
// when params declare a categorical one), and greedy search.
FlatTree grow_tree(const SparseMatrix& X, const TargetVector& y, const double* weights,
                   const TreeParams& params);

}  // namespace qor

namespace qor {

// The rows a fit of `n` rows grows on: `root_rows`, or when it is empty every
// row of positive weight (all of them for null weights), ascending.
std::vector<std::uint32_t> weighed_rows(std::int32_t n, const double* weights,
                                        std::span<const std::uint32_t> root_rows = {});

// Marks the side of `cut` (a cut under `feature` of a node whose rows `run`
// holds in ascending order of the feature) that each row goes to:
// goes_left[row] = 1 for the rows of its left part, 0 for the others.
void mark_sides(std::span<const ColumnEntry> run, const NodeCut& cut, const FeatureMatrix& X,
                std::int32_t feature, std::uint8_t* goes_left);

// What growth records of a node from its rows (`by_target`: the same rows in
// ascending order of target, read under mae only), and of the two parts of a
// split, goes_left[row] 1 for the rows of the left part.
NodeSummary summarize_rows(const TargetVector& y, const double* weights, const TreeParams& params,
                           std::span<const ColumnEntry> rows,
                           std::span<const ColumnEntry> by_target);
std::pair<NodeSummary, NodeSummary> summarize_split(const TargetVector& y, const double* weights,
                                                    const TreeParams& params,
                                                    std::span<const ColumnEntry> rows,
                                                    const std::uint8_t* goes_left,
                                                    std::span<const ColumnEntry> by_target);

}  // namespace qor
