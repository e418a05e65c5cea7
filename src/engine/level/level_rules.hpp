#pragma once

// The rules every level of every fit is grown by, whichever search finds its
// cuts: which nodes may split, what a cut must leave on each side, which cuts
// count, how ties are broken, how the level's feature is chosen, and what
// monotonic constraints allow.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "engine/tree/tree_params.hpp"

namespace qor {

// The tie rule of every choice in growth (the leftmost cut of a node, the
// class order of a categorical cut, the level's feature): a candidate wins
// only with a strictly greater score, so the first one offered wins a tie and
// a NaN score never wins.
struct Best {
  double score = -std::numeric_limits<double>::infinity();

  bool offer(double candidate) noexcept {
    if (!(candidate > score)) return false;
    score = candidate;
    return true;
  }
};

// The range monotonic constraints leave a node's value.
struct ValueBounds {
  double lower = -std::numeric_limits<double>::infinity();
  double upper = std::numeric_limits<double>::infinity();

  double clip(double value) const noexcept { return std::min(std::max(value, lower), upper); }
};

// The value monotonic constraints order, from a node's value (FlatTree's
// value_width entries): the weighted mean target, or a binary classifier's
// second class share.
inline double monotone_value(std::span<const double> value) noexcept {
  return value.size() > 1 ? value[1] : value[0];
}

// Keeps that value within `bounds`; a binary classifier's shares still add up to 1.
inline void clip_value(std::span<double> value, const ValueBounds& bounds) noexcept {
  if (value.size() > 1) {
    value[1] = bounds.clip(value[1]);
    value[0] = 1.0 - value[1];
  } else {
    value[0] = bounds.clip(value[0]);
  }
}

// A monotonic constraint on a node's cuts under one feature: the parts' values
// ordered by `sign` and both within the node's bounds.
struct Monotone {
  std::int32_t sign = 0;  // +1: the left part's value at most the right's; -1: at least; 0: none
  ValueBounds bounds;

  bool admits(double left, double right) const noexcept {
    return left >= bounds.lower && right >= bounds.lower && left <= bounds.upper &&
           right <= bounds.upper && (left - right) * sign <= 0;
  }
};

// What a cut must leave on each side.
struct CutLimits {
  std::int32_t min_samples_leaf = 1;  // rows; 1 or less imposes nothing
  double min_weight_leaf = 0.0;       // sample weight; 0 imposes nothing

  std::int64_t least_rows() const noexcept { return std::max(min_samples_leaf, 1); }
  bool heavy_enough(double w_left, double w_right) const noexcept {
    return min_weight_leaf <= 0.0 || (w_left >= min_weight_leaf && w_right >= min_weight_leaf);
  }
};

// Per feature, the sum of the gains of the cuts that count, each times its
// node's share (LevelNode::share), added in node order; the decrease of the
// tree's impurity those cuts bring (as a share of the root's weight); and
// whether any node has such a cut.
struct LevelScores {
  std::vector<double> score;
  std::vector<double> decrease;
  std::vector<std::uint8_t> cuts_some_node;

  void reset(std::size_t features) {
    score.assign(features, 0.0);
    decrease.assign(features, 0.0);
    cuts_some_node.assign(features, 0);
  }
  void add(std::size_t feature, double share, double root_share, double gain) noexcept {
    score[feature] += share * gain;
    decrease[feature] += root_share * gain;
    cuts_some_node[feature] = 1;
  }
};

// The level's feature: the highest score among the features that cut some
// node, the lowest feature on ties; -1 when no feature cuts any node.
inline std::int32_t choose_feature(const LevelScores& scores) noexcept {
  Best best;
  std::int32_t feature = -1;
  for (std::size_t f = 0; f < scores.score.size(); ++f) {
    if (scores.cuts_some_node[f] != 0 && best.offer(scores.score[f])) {
      feature = static_cast<std::int32_t>(f);
    }
  }
  return feature;
}

// What a categorical split orders a node's categories by: a category's
// weighted mean target `sum / weight` (a class's share of its weight, when the
// target is a class), smoothed towards the node's `prior` by `smoothing`
// rows' weight of it. Both searches order by this one expression, so that
// they order alike wherever their sums agree.
inline double category_key(double sum, double weight, double prior, double smoothing) noexcept {
  if (smoothing > 0.0) return (sum + smoothing * prior) / (weight + smoothing);
  return weight > 0.0 ? sum / weight : 0.0;
}

// The random numbers of a fit (max_features): SplitMix64, whose stream is
// fixed by its seed on every platform.
class RandomStream {
 public:
  explicit RandomStream(std::uint64_t seed) noexcept : state_(seed) {}

  std::uint64_t next() noexcept {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, n), n > 0: draws below the largest multiple of n are kept.
  std::uint64_t below(std::uint64_t n) noexcept {
    const std::uint64_t rejected = (0 - n) % n;  // 2**64 mod n
    for (;;) {
      const std::uint64_t x = next();
      if (x >= rejected) return x % n;
    }
  }

 private:
  std::uint64_t state_;
};

// TreeParams as a level applies them, once the root's weight is known.
struct LevelRules {
  Criterion criterion = Criterion::Gini;
  std::int32_t n_classes = 0;  // > 0: targets are class codes
  std::int32_t n_outputs = 1;  // targets per row (TreeParams::n_outputs)
  std::vector<std::int32_t> output_classes;  // several outputs' classes, or empty
  std::int32_t max_depth = 5;
  std::int32_t min_samples_split = 2;
  CutLimits limits;
  double min_impurity_decrease = 0.0;
  LevelScore level_score = LevelScore::Sum;
  double root_weight = 1.0;
  std::vector<std::int8_t> monotonic_cst;  // per feature: +1, -1 or 0; empty: none
  std::vector<std::uint8_t> categorical;   // per feature: 1 for category codes; empty: none
  std::int32_t min_category_samples = 1;   // rows a category needs to be ordered by its target
  double category_smoothing = 0.0;         // weight of the node's mean in a category's key
  int threads = 1;

  static LevelRules of(const TreeParams& params, double root_weight);

  // Whether a node of `rows` rows (of positive weight) may be searched at all:
  // a cut needs two rows, and min_samples_split of them.
  bool may_search(std::int64_t rows) const noexcept {
    return rows >= 2 && rows >= min_samples_split;
  }
  // Whether a node at `depth` splits if a cut is found: below max_depth, enough
  // rows, twice the least weight a side must keep, and targets that differ.
  bool may_split(std::int32_t depth, std::int64_t rows, double weight,
                 bool single_target) const noexcept {
    const bool heavy = limits.min_weight_leaf <= 0.0 || weight >= 2 * limits.min_weight_leaf;
    return depth < max_depth && may_search(rows) && heavy && !single_target;
  }
  // Whether a node's best cut counts: its node's share of the root's weight
  // times its gain must reach a positive min_impurity_decrease. A minimum of 0
  // admits every cut, even one whose gain rounding took below 0.
  bool counts(double gain, double node_weight) const noexcept {
    return min_impurity_decrease <= 0.0 ||
           node_weight / root_weight * gain >= min_impurity_decrease;
  }
  // Whether a category with `rows` of a node's rows is ordered by its own
  // target; the others go right with the missing values.
  bool places(std::int64_t rows) const noexcept { return rows >= min_category_samples; }
  bool is_categorical(std::int32_t feature) const noexcept {
    return !categorical.empty() && categorical[static_cast<std::size_t>(feature)] != 0;
  }
  // The constraint on a node's cuts under `feature` (none on categorical features).
  Monotone monotone(std::int32_t feature, const ValueBounds& bounds) const noexcept {
    if (monotonic_cst.empty() || is_categorical(feature)) return {};
    return {monotonic_cst[static_cast<std::size_t>(feature)], bounds};
  }
};

}  // namespace qor
