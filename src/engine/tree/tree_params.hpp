#pragma once

#include <cstdint>
#include <vector>

#include "engine/criteria/criterion.hpp"

namespace qor {

// How a level weighs its nodes' gains when it chooses its feature: the plain
// sum of the gains, or each gain times its node's share of the weight of the
// level's searched nodes (as an impurity decrease of the whole level).
enum class LevelScore : std::int8_t { Sum, Weighted };

// How the sequence of level features is found: level by level (greedy), or
// by a beam over partial trees (lookahead, engine/level/beam.hpp).
enum class Search : std::int8_t { Greedy, Lookahead };

// Everything a package fit grows by, beyond the five numbers of a native
// model. Targets of a classifier are class codes 0..n_classes-1 (as doubles).
struct TreeParams {
  Criterion criterion = Criterion::Gini;
  std::int32_t n_classes = 0;          // > 0: classification into that many classes; 0: regression
  // Targets predicted together: y holds n_outputs columns of one entry per row,
  // column after column (output k of row r at y[k * rows + r]). A node's
  // impurity is the mean of its outputs' impurities, and its value holds each
  // output's entries in turn, n_classes (the most classes of any output) apiece.
  std::int32_t n_outputs = 1;
  // Classification with several outputs: each output's classes (codes below
  // it, none above n_classes); empty otherwise.
  std::vector<std::int32_t> output_classes;
  std::int32_t max_depth = 5;          // levels that may split; the root is depth 0
  std::int32_t min_samples_split = 2;  // a node with fewer rows is not split
  std::int32_t min_samples_leaf = 1;   // fewest rows either side of a cut may receive
  double min_weight_leaf = 0.0;        // least sample weight either side of a cut may receive
  // The same as a share of the root's weight (its rows of positive weight);
  // a cut must leave both sides the larger of the two minimums.
  double min_weight_fraction_leaf = 0.0;
  double min_impurity_decrease = 0.0;  // a node splits only if its weighted decrease reaches this
  // Per feature, empty for none: +1 where predictions may only rise with the
  // feature, -1 only fall, 0 free. A node's value is its weighted mean target
  // (a binary classifier's: the second class's share); a split on a constrained
  // feature keeps its parts' values in order and passes their midpoint down as
  // a bound, and every node's value stays within the bounds it inherits.
  std::vector<std::int8_t> monotonic_cst;
  // Per feature, empty for none: 1 where the values are category codes (NaN
  // missing); a node then sends a set of categories left.
  std::vector<std::uint8_t> categorical;
  // How a node orders its categories before cutting that order. A category with
  // fewer of the node's rows than min_category_samples is not placed by its own
  // target: it goes right, with the missing values and the categories unseen in
  // fit (1 places every category). The others are ordered by their mean target
  // smoothed towards the node's: (sum of w y + s m) / (weight + s), m the node's
  // mean and s = category_smoothing >= 0, as if s rows' weight of the node's
  // mean joined each category (0: the category's own mean).
  std::int32_t min_category_samples = 1;
  double category_smoothing = 0.0;
  // At most this many leaves; 0 for no limit. A level whose cuts would pass it
  // splits only its nodes of largest weighted gain (node weight times gain,
  // ties to the node first in the tree) that the budget leaves room for.
  std::int64_t max_leaf_nodes = 0;
  // Features a level chooses from: a fresh random draw of this many for every
  // level (0, or n_features or more: all of them), from random_seed. When none
  // of them cuts any node, the level draws the next as many, until some cuts
  // or none are left.
  std::int32_t max_features = 0;
  std::uint64_t random_seed = 0;
  std::int32_t n_threads = 1;  // threads of the fit; the tree never depends on them
  // false: nodes record their rows and weight but leave impurity and value at 0,
  // for callers that compute their own leaves; the shape of the tree is the same.
  bool node_statistics = true;
  LevelScore level_score = LevelScore::Sum;
  Search search = Search::Greedy;
  // Lookahead only: partial trees kept per level (1 gives the greedy tree), and
  // the folds of the inner cross-validation that picks the final tree among
  // the beam's finalists (at most 100; below 2, or with fewer than two rows a
  // fold, the lowest training impurity picks it).
  std::int32_t beam_width = 16;
  std::int32_t lookahead_folds = 3;
};

}  // namespace qor
