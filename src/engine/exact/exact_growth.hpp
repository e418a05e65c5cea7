#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "engine/exact/column_order.hpp"
#include "engine/tree/flat_tree.hpp"
#include "engine/native/model.hpp"
#include "engine/tree/tree_params.hpp"
#include "engine/tree/views.hpp"

namespace qor {

// Grows a tree level by level on the rows `root_rows` (all rows of X when
// empty), breadth first into a FlatTree: at each level the nodes that may
// split (depth below max_depth, at least min_samples_split rows and twice
// min_weight_leaf weight, rows of positive weight not all of one target) are
// searched together; the feature with the highest sum of the nodes' best gains
// is the level's, each node with a cut under it splits there (x <= threshold
// goes left, NaN right), and the others stay leaves. `weights` holds one
// sample weight (>= 0) per row, or is null for unit weights, which give the
// unweighted tree to the last bit; a row of weight k grows the tree of k copies
// of the row, so rows of weight 0 are left out from the root on. The tree never
// depends on params.n_threads.
//
// `on_rows`, when given, is called with a node's id and its rows (in the order
// of root_rows) for every node that growth holds as a frontier node: the root,
// and the children of every level that splits except the last.
using NodeRowsObserver = std::function<void(std::int64_t, std::span<const ColumnEntry>)>;
FlatTree grow_tree(const FeatureMatrix& X, const TargetVector& y, const double* weights,
                   const TreeParams& params, std::span<const std::uint32_t> root_rows = {},
                   const NodeRowsObserver& on_rows = {});

// True when the node has no rows or every target equals the first one
// (floating-point equality: a NaN target makes a node impure).
bool is_pure(const TargetVector& y, const Node& node) noexcept;

// Routes the node's rows in order: value <= threshold goes left, everything
// else (NaN included) right. Both outputs are emptied first, keeping capacity.
void partition_rows(const FeatureMatrix& X, const Node& node, std::int32_t feature,
                    double threshold, std::vector<std::size_t>& left_rows,
                    std::vector<std::size_t>& right_rows);

}  // namespace qor
