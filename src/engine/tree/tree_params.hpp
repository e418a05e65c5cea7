#pragma once

#include <cstdint>
#include <vector>

#include "engine/criteria/criterion.hpp"

namespace qor {

// Everything a package fit grows by, beyond the five numbers of a native
// model. Targets of a classifier are class codes 0..n_classes-1 (as doubles).
struct TreeParams {
  Criterion criterion = Criterion::Gini;
  std::int32_t n_classes = 0;          // > 0: classification into that many classes; 0: regression
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
  std::int32_t n_threads = 1;  // threads of the fit; the tree never depends on them
  // false: nodes record their rows and weight but leave impurity and value at 0,
  // for callers that compute their own leaves; the shape of the tree is the same.
  bool node_statistics = true;
};

}  // namespace qor
