#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "bin_histogram.hpp"
#include "bin_stats.hpp"
#include "bins.hpp"
#include "flat_tree.hpp"
#include "tree_params.hpp"
#include "views.hpp"

namespace qor {

// The targets of a node's rows of positive weight, reduced to what tells
// whether they all share one value: exact in any order, so the ranges of row
// blocks merge into the range of the whole.
struct TargetRange {
  double lo = std::numeric_limits<double>::infinity();
  double hi = -std::numeric_limits<double>::infinity();
  bool nan = false;  // a NaN target equals nothing, so its node is never of one target

  void add(double y) noexcept {
    if (std::isnan(y)) {
      nan = true;
      return;
    }
    if (y < lo) lo = y;
    if (y > hi) hi = y;
  }
  void merge(const TargetRange& other) noexcept {
    nan = nan || other.nan;
    if (other.lo < lo) lo = other.lo;
    if (other.hi > hi) hi = other.hi;
  }
  // No row of positive weight, or all of them with one target (-0.0 == +0.0).
  bool single() const noexcept { return !nan && !(lo < hi); }
};

// How the split nodes of a level send their rows on. The level's nodes are
// ids first_node, first_node + 1, ...; node first_node + i went to
// left_child[i] (bins up to last_left_bin[i] of `feature`) and left_child[i] + 1
// (all later bins), or stayed a leaf when last_left_bin[i] is -1. The
// children are ids first_child .. first_child + children - 1.
struct LevelRouting {
  std::int32_t feature = -1;
  std::int32_t first_node = 0;
  std::vector<std::int32_t> last_left_bin;
  std::vector<std::int32_t> left_child;
  std::int32_t first_child = 0;
  std::int32_t children = 0;
};

// Moves every row of a split node to its child (node[r] is row r's node id)
// and widens child_targets[id - first_child] by the targets of the rows of
// positive weight that arrive there. Threads take row blocks; the result does
// not depend on their number.
void route_rows(const BinnedRows& rows, const LevelRouting& routing, std::span<std::int32_t> node,
                std::span<TargetRange> child_targets, std::int32_t n_threads);

// Adds every row to `totals` (StatShape sums, in row order) and to `targets`:
// the root's statistics, or one block's share of them.
void sum_rows(const BinnedRows& rows, const StatShape& shape, std::span<double> totals,
              TargetRange& targets);

struct BinnedFit {
  FlatTree tree;
  std::vector<std::int32_t> node;  // per training row: the id of the leaf it reached
};

// Grows a tree from binned rows, level by level, every level's nodes cut on
// one feature chosen by choose_level_cut from that level's histograms. A node
// is split while depth < max_depth, it holds at least min_samples_split rows
// and 2 * min_weight_leaf weight, and its rows of positive weight do not all
// share one target. Throws std::invalid_argument for mae (a part's median
// needs its targets in order, which bins do not keep), for a criterion that
// does not suit the task, for a class code outside 0..n_classes-1 and for a
// negative or non-finite weight.
BinnedFit grow_binned(const BinnedRows& rows, const TreeParams& params);

// The local fit: quantizes X (its features and rows) and grows from its bins.
// `sample_weight` has X.rows entries, or is null for unit weights.
BinnedFit fit_binned(const FeatureMatrix& X, const TargetVector& y, const double* sample_weight,
                     const TreeParams& params, const BinningParams& binning);

}  // namespace qor
