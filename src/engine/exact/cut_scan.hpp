#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <type_traits>
#include <vector>

#include "engine/exact/column_order.hpp"
#include "engine/criteria/impurity.hpp"
#include "engine/level/level_rules.hpp"
#include "engine/tree/views.hpp"

namespace qor {

// Best cut of one node under one feature.
struct NodeSplit {
  bool valid = false;         // a cut was found; threshold and gain mean nothing otherwise
  double threshold = 0.0;     // x <= threshold sends the cut's left part left
  double gain = 0.0;          // parent impurity minus the weight-shared impurity of the parts
  std::size_t left_size = 0;  // rows of the left part: the first ones of the feature's order
};

// Threshold of a cut between neighbouring values lo < hi: their midpoint,
// unless rounding puts it outside [lo, hi) (adjacent doubles round up to hi,
// and sums near the largest double overflow); then lo. Either way `x <= threshold`
// sends lo left and hi right, the partition that was scored. With hi NaN (the
// cut between the numbers and the missing values) it is lo, the largest number.
inline double cut_threshold(double lo, double hi) noexcept {
  const double mid = (lo + hi) * 0.5;
  return lo <= mid && mid < hi ? mid : lo;
}

// A criterion's cheap first look at a cut: `score` lies within `bound` of
// W * (gain - c), W the node's weight and c a constant of the run, where gain
// is the exact gain the criterion's gain() computes. Scores rank cuts in the
// order of their exact gains, up to the bounds.
struct Screen {
  double score = 0.0;
  double bound = 0.0;
};

// A monotonic constraint as a scan applies it: the rule, and per row the value
// it adds to its part (its target, a binary classifier's class code).
struct MonotoneRun {
  Monotone rule;
  const double* targets = nullptr;
};

// Unit roundoff of double: one rounding changes a value by at most this share.
inline constexpr double kRoundoff = 0x1p-53;

// Positions 0..n-2 whose cut leaves min_samples_leaf rows on both sides:
// [first, last), empty when none does.
struct CutWindow {
  std::size_t first = 0;
  std::size_t last = 0;

  CutWindow(std::size_t n, std::int32_t min_samples_leaf) {
    const std::size_t leaf = min_samples_leaf > 1 ? static_cast<std::size_t>(min_samples_leaf) : 1;
    if (n >= 2 * leaf) {
      first = leaf - 1;
      last = n - leaf;
    }
  }

  bool empty() const noexcept { return first >= last; }
};

// The cut scan, one loop for every criterion. `run` holds a node's rows in
// ascending order of one feature; the cut after position k puts positions
// 0..k in the left part. A cut is scored only between two different values
// (NaN, sorted last, differs from every number) and where both parts keep
// their minimum rows and weight. The leftmost cut of highest gain wins.
//
// Computing the exact gain at every cut is what costs, so the scan first
// screens every cut, keeping an interval that holds its exact gain's score,
// and then computes the exact gain only of the cuts whose interval reaches the
// highest lower end of all intervals: every other cut has a smaller exact gain
// than some cut, so the choice, its gain and the tie rule are those of
// computing every exact gain.
//
// Every row weighs 1: a part's weight is its row count, counted exactly.
struct UnitWeight {
  double operator()(std::uint32_t) const noexcept { return 1.0; }
};

// A Criterion provides, for one run (see the criteria in cut_criteria.hpp),
// with its running statistics in a State that the scan keeps in locals:
//   bool start(run, state)               every row right; false when no cut can win
//   void move(state, k, row, weight)     the row at position k joins the left part
//   Screen screen(state, n_left, w_left) the cut after the rows moved so far
//   kReplays                             whether gain() needs the moves replayed
//   void restart(state); void replay(state, k, row, weight)
//   double gain(state, k, w_left)        the exact gain of the cut after position k
//   double weight()                      the node's weight
//   kFiniteScreens                       screens are always finite (no check needed)
//
// `on_screen(k, screen)` sees the screen of every allowed cut, for inspection.
struct IgnoreScreens {
  void operator()(std::size_t, const Screen&) const noexcept {}
};

// The scan's scratch, reused by every run.
struct CutScratch {
  struct Kept {
    std::uint32_t position;  // of the cut (runs hold fewer than 2**32 rows)
    double top;              // of its screen's interval; +inf where the screen is not finite
  };
  std::vector<Kept> kept;  // cuts that may win, in cut order; grows to the longest run
};

template <bool kConstrained, class Criterion, class WeightOf, class OnScreen = IgnoreScreens>
NodeSplit scan_cuts(Criterion& criterion, std::span<const ColumnEntry> run, const FeatureMatrix& X,
                    std::int32_t feature, const CutLimits& limits, const MonotoneRun& monotone,
                    WeightOf weight_of, CutScratch& scratch, OnScreen on_screen = {}) {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  constexpr bool kUnit = std::is_same_v<WeightOf, UnitWeight>;
  const std::size_t n = run.size();
  if (n < 2) return {};
  const CutWindow window(n, limits.min_samples_leaf);
  typename Criterion::State state{};
  if (window.empty() || !criterion.start(run, state)) return {};
  const double total = criterion.weight();
  // Zero weights can leave a part whose running weight is only rounding
  // residue; the screens' bounds assume parts of real weight, so such cuts
  // are never screened, always checked.
  const double residue = 4 * static_cast<double>(n) * kRoundoff * std::abs(total);
  // A local copy, and its test hoisted: the limits stay put through the scan.
  const CutLimits least = limits;
  const bool weighs = least.min_weight_leaf > 0.0;
  const auto heavy_enough = [&](double w_left) {
    return !weighs || least.heavy_enough(w_left, total - w_left);
  };

  // Parts' values for a monotonic constraint, added up in run order.
  double value_total = 0.0;
  double value_left = 0.0;
  for (std::size_t k = 0; kConstrained && k < n; ++k) {
    value_total += weight_of(run[k].row()) * monotone.targets[run[k].row()];
  }
  const auto monotone_enough = [&](double w_left) {
    return !kConstrained ||
           monotone.rule.admits(value_left / w_left,
                                (value_total - value_left) / (total - w_left));
  };

  // Screening keeps every cut whose interval reaches the highest lower end
  // seen so far: that end only rises, so the cuts that reach the final one are
  // among them. A screen that is not finite is never ranked, always kept.
  if (scratch.kept.size() < n) scratch.kept.resize(n);
  CutScratch::Kept* const kept = scratch.kept.data();
  std::size_t kept_count = 0;
  double best_lower = -kInfinity;
  bool any = false;
  double w_left = 0.0;
  for (std::size_t k = 0; k < window.last; ++k) {
    const std::uint32_t row = run[k].row();
    const double w = weight_of(row);
    if constexpr (!kUnit) w_left += w;
    if constexpr (kConstrained) value_left += w * monotone.targets[row];
    criterion.move(state, k, row, w);
    if constexpr (kUnit) w_left = static_cast<double>(k + 1);
    if (k >= window.first && run[k + 1].new_value() && heavy_enough(w_left) &&
        monotone_enough(w_left)) {
      const Screen s = criterion.screen(state, k + 1, w_left);
      on_screen(k, s);
      const double lower = s.score - s.bound;
      double cut_top = s.score + s.bound;
      const bool weighty = kUnit || (w_left > residue && total - w_left > residue);
      if (Criterion::kFiniteScreens || (weighty && lower > -kInfinity && cut_top < kInfinity)) {
        best_lower = std::max(best_lower, lower);
      } else {
        cut_top = kInfinity;
      }
      if (cut_top >= best_lower) kept[kept_count++] = {static_cast<std::uint32_t>(k), cut_top};
      any = true;
    }
  }
  if (!any) return {};

  // Exact gains of the cuts that reach the final lower end, in cut order,
  // replaying the moves up to each where the criterion needs its running
  // statistics.
  criterion.restart(state);
  w_left = 0.0;
  Best best_gain;
  std::size_t best = n;
  std::size_t k = 0;  // moves replayed so far
  for (const CutScratch::Kept& candidate : std::span(kept, kept_count)) {
    if (!(candidate.top >= best_lower)) continue;
    const std::size_t cut = candidate.position;
    for (; k <= cut; ++k) {
      const std::uint32_t row = run[k].row();
      const double w = weight_of(row);
      if constexpr (!kUnit) w_left += w;
      if constexpr (Criterion::kReplays) criterion.replay(state, k, row, w);
    }
    if constexpr (kUnit) w_left = static_cast<double>(cut + 1);
    if (best_gain.offer(criterion.gain(state, cut, w_left))) best = cut;
  }
  if (best == n) return {};
  const double lo = X.at(static_cast<std::int32_t>(run[best].row()), feature);
  const double hi = X.at(static_cast<std::int32_t>(run[best + 1].row()), feature);
  return {true, cut_threshold(lo, hi), best_gain.score, best + 1};
}

}  // namespace qor
