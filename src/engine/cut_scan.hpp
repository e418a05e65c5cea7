#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "column_order.hpp"
#include "frontier_columns.hpp"
#include "median_sweep.hpp"
#include "model.hpp"
#include "views.hpp"

namespace qor {

// Best cut of one node under one feature.
struct NodeSplit {
  bool valid = false;      // a cut was found; threshold and gain mean nothing otherwise
  double threshold = 0.0;  // midpoint of the two values either side of the cut
  double gain = 0.0;       // parent impurity minus the size-weighted impurity of the parts
};

// Threshold of a cut between neighbouring values lo < hi: their midpoint,
// unless rounding puts it outside [lo, hi) (adjacent doubles round up to hi,
// and sums near the largest double overflow); then lo. Either way `x <= threshold`
// sends lo left and hi right, the partition that was scored.
inline double cut_threshold(double lo, double hi) noexcept {
  const double mid = (lo + hi) * 0.5;
  return lo <= mid && mid < hi ? mid : lo;
}

// Finds the best cut of a node's rows given in one feature's order. Cuts lie
// between distinct numbers only (never next to NaN) and leave at least
// min_samples_leaf rows on each side; the leftmost cut of highest gain wins.
//
// Gains are those of the direct method, to the last bit: label slots in order
// of first occurrence along the feature, sums from 0.0 in that order, the
// right part's statistics by subtraction from the node's, weights divided
// before multiplying. Only mae differs: its deviation sums come from running
// half sums (MedianSweep), exact on integer targets.
//
// Computing that gain at every cut is what costs (divisions, and a log2 per
// label for entropy), so a first pass ranks every cut by a cheap proxy that,
// in exact arithmetic, is the gain under a strictly increasing affine map
// (for entropy up to the 1e-10 inside its logarithms, whose effect is
// bounded), and the direct gain is computed only for the cuts whose proxy
// lies within a proven bound of the best proxy. Every other cut has a smaller
// direct gain than the best one, so the choice and its gain do not change.
class CutScanner {
 public:
  // `columns` supplies the label codes (Gini, Entropy), the target order
  // (Mae) and the largest node size of the fit.
  CutScanner(Criterion criterion, std::int32_t min_samples_leaf, const TargetVector& y,
             const FrontierColumns& columns);

  // Gathers what every feature of `node` shares (label totals, the sorted
  // targets); call it before the node's best_cut calls.
  void prepare(const Node& node);

  // `run` holds the prepared node's rows in ascending order of `feature`.
  NodeSplit best_cut(std::span<const OrderedRow> run, const FeatureMatrix& X, std::int32_t feature);

 private:
  // `codes` are the label codes of every row, in bytes or in 32 bits.
  template <bool kGini, class Code>
  NodeSplit tally_cut(std::span<const OrderedRow> run, const FeatureMatrix& X, std::int32_t feature,
                      std::span<const Code> codes);
  NodeSplit mse_cut(std::span<const OrderedRow> run, const FeatureMatrix& X, std::int32_t feature);
  NodeSplit mae_cut(std::span<const OrderedRow> run, const FeatureMatrix& X, std::int32_t feature);

  Criterion criterion_;
  std::int32_t min_samples_leaf_;
  TargetVector y_;
  const FrontierColumns& columns_;

  std::vector<double> inverse_;   // [m] = 1.0 / m, for node sizes m >= 1
  std::vector<double> m_log2_m_;  // [m] = m * log2(m), [0] = 0 (Entropy only)
  std::vector<double> proxy_;     // per cut position: the first pass's score, -inf if no cut

  // Gini, Entropy: per label code, and per slot of the current run.
  std::vector<std::int64_t> node_total_;   // per code: rows of the prepared node with it
  std::vector<std::uint32_t> node_codes_;  // codes present in the prepared node
  std::vector<std::uint32_t> slot_of_;     // per code: slot in the current run, or none
  std::vector<std::uint32_t> code_of_slot_;
  std::vector<std::int64_t> slot_total_;  // per slot: the node's count
  std::vector<std::int64_t> left_;        // per slot: count in the left part
  std::vector<std::int64_t> right_;       // per slot: count in the right part
  std::vector<std::uint32_t> slot_at_;    // per position of the run: its row's slot

  // Mse: the run's targets in order.
  std::vector<double> targets_;

  // Mae: the prepared node's targets ascending, and each row's rank among them.
  std::vector<double> sorted_;
  std::vector<std::uint32_t> rank_of_;  // per row
  struct KeptCut {
    std::size_t position;   // the cut after this position of the run
    double left_deviation;  // deviation sums of the two parts
    double right_deviation;
    double proxy;  // -(left_deviation + right_deviation)
  };
  std::vector<KeptCut> mae_kept_;  // the sweep's possible candidates, in cut order
  MedianSweep sweep_;
  double mae_parent_ = 0.0;
  double mae_abs_sum_ = 0.0;  // sum of |target| over the prepared node
  bool mae_finite_ = true;    // a non-finite target makes every gain NaN
};

}  // namespace qor
