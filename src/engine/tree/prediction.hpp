#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/tree/flat_tree.hpp"
#include "engine/tree/sparse_views.hpp"
#include "engine/tree/views.hpp"

namespace qor {

// A flat tree's routing arrays, read in place: a FlatTree's, or arrays that a
// caller holds (a saved or unpickled tree), which prediction trusts no further
// than it checks them.
struct TreeView {
  std::span<const std::int64_t> children_left;
  std::span<const std::int64_t> children_right;
  std::span<const std::int64_t> feature;
  std::span<const double> threshold;
  // Categorical splits (FlatTree's fields); all three may be empty for a tree without any.
  std::span<const std::int64_t> category_start;
  std::span<const std::int64_t> category_end;
  std::span<const double> categories_left;

  static TreeView of(const FlatTree& tree) noexcept {
    return {tree.children_left,  tree.children_right, tree.feature,        tree.threshold,
            tree.category_start, tree.category_end,   tree.categories_left};
  }
};

// Leaf reached by every row of X (x <= threshold goes left, anything else,
// NaN included, right), rows spread over `threads`. Every step is checked:
// arrays of unequal length, a child that does not come after its parent, or a
// feature that X lacks raise std::invalid_argument rather than read outside.
// An infinite value anywhere in X raises std::invalid_argument too (after every
// row is routed: the outputs are then incomplete and must not be used); NaN
// is a missing value and goes right.
void apply_rows(const TreeView& tree, const FeatureMatrix& X, std::span<std::int64_t> leaves,
                int threads);

// The nodes each row passes, root to leaf, in compressed rows: row i's nodes
// are path[offsets[i]..offsets[i + 1]).
struct Paths {
  std::vector<std::int64_t> offsets;
  std::vector<std::int64_t> nodes;
};
Paths decision_paths(const TreeView& tree, const FeatureMatrix& X, int threads);

// Rows of `value` (node_count x width) at each row's leaf, into out (rows x width).
void leaf_values(const TreeView& tree, std::span<const double> value, std::size_t width,
                 const FeatureMatrix& X, std::span<double> out, int threads);
// Column of the largest entry of each row's leaf value (the first on ties).
void leaf_argmax(const TreeView& tree, std::span<const double> value, std::size_t width,
                 const FeatureMatrix& X, std::span<std::int64_t> out, int threads);

// The same over a sparse X held by rows (CSR), read in place.
void apply_rows(const TreeView& tree, const SparseMatrix& X, std::span<std::int64_t> leaves,
                int threads);
Paths decision_paths(const TreeView& tree, const SparseMatrix& X, int threads);
void leaf_values(const TreeView& tree, std::span<const double> value, std::size_t width,
                 const SparseMatrix& X, std::span<double> out, int threads);
void leaf_argmax(const TreeView& tree, std::span<const double> value, std::size_t width,
                 const SparseMatrix& X, std::span<std::int64_t> out, int threads);

}  // namespace qor
