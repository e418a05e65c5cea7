#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "engine/criteria/criterion.hpp"
#include "engine/exact/cut_criteria.hpp"
#include "engine/exact/cut_scan.hpp"
#include "engine/exact/frontier_columns.hpp"
#include "engine/level/level_rules.hpp"
#include "engine/tree/views.hpp"

namespace qor {

// One thread's cut scanner over the segments of a FrontierColumns: it gathers
// what every feature of a node shares once (prepare), then finds the node's best
// cut under any feature with the criterion's scan. Holds its own scratch: one
// scanner per thread.
class CutScanner {
 public:
  // `weights`: one per row below columns.row_span(), >= 0, or null for unit
  // weights. `by_class`: targets are class codes, whose terms the exact gains
  // add in class order (TallyNode::by_class). The scanner reads `y`, `weights`
  // and `columns` until it is gone.
  CutScanner(Criterion criterion, CutLimits limits, const TargetVector& y, const double* weights,
             const FrontierColumns& columns, bool by_class = false);
  // Several outputs (y column after column, TreeParams::n_outputs > 1): a
  // classifier's `n_classes` is the most classes of any output and
  // `output_classes` each output's; a regressor passes 0 and none.
  CutScanner(Criterion criterion, CutLimits limits, const TargetVector& y, const double* weights,
             const FrontierColumns& columns, std::int32_t n_outputs, std::int32_t n_classes,
             std::span<const std::int32_t> output_classes);

  void prepare(std::size_t segment);
  // Weight of the prepared segment's rows.
  double weight() const noexcept { return weight_; }
  // The prepared segment's best cut under `feature`, among the cuts that keep
  // `monotone`. `on_screen(k, screen)` sees the screen of every allowed cut.
  template <class OnScreen = IgnoreScreens>
  NodeSplit best_cut(std::size_t segment, std::int32_t feature, const FeatureMatrix& X,
                     const Monotone& monotone = {}, OnScreen on_screen = {}) {
    return dispatch(columns_.run(segment, feature), feature, X, {monotone, y_.data}, on_screen);
  }

  // The prepared segment's best cut over `run`, its rows in ascending order of
  // a feature that is not in the columns, whose values `column` holds (one
  // column: row r's value at column.at(r, 0)).
  NodeSplit best_cut_of_run(std::span<const ColumnEntry> run, const FeatureMatrix& column,
                            const Monotone& monotone = {}) {
    return dispatch(run, 0, column, {monotone, y_.data}, IgnoreScreens{});
  }

  // The prepared segment's best cut under a categorical `feature`, whose values
  // are category codes (NaN: missing). The node's categories are put in an order
  // and the order is cut as a numeric feature would be, missing values last:
  // by their mean target (a binary classifier's second class share), which finds
  // the best partition for regression and two classes; with more classes, once
  // by each class's share, the best of those cuts winning (ties to the lower
  // class). Means are smoothed by rules.category_smoothing (category_key), and
  // equal keys keep code order. Categories with fewer rows of the node than
  // rules.min_category_samples join the missing values, after every ordered
  // category, and no cut separates them. The cut's threshold is NaN; `left`
  // receives the left categories, ascending. rules.n_classes tells classes.
  NodeSplit best_categorical_cut(std::size_t segment, std::int32_t feature, const FeatureMatrix& X,
                                 const LevelRules& rules, std::vector<double>& left);

 private:
  template <class OnScreen>
  NodeSplit dispatch(std::span<const ColumnEntry> run, std::int32_t feature, const FeatureMatrix& X,
                     const MonotoneRun& monotone, OnScreen on_screen);
  template <class Cut, class OnScreen>
  NodeSplit scan(Cut& cut, std::span<const ColumnEntry> run, std::int32_t feature,
                 const FeatureMatrix& X, const MonotoneRun& monotone, OnScreen on_screen);
  template <class OnScreen>
  NodeSplit multi_cut(std::span<const ColumnEntry> run, std::int32_t feature,
                      const FeatureMatrix& X, OnScreen on_screen);
  void prepare_multi(std::span<const ColumnEntry> rows);
  // Fills a MaeNode from the prepared node's n rows in ascending order of target
  // (row_at(i) the i-th), whose targets are y[row].
  template <class RowAt>
  void prepare_mae(MaeNode& node, MaeScratch& scratch, const double* y, std::size_t n,
                   RowAt&& row_at) const;
  template <bool kGini, bool kUnit, class OnScreen>
  NodeSplit tally_cut(std::span<const ColumnEntry> run, std::int32_t feature,
                      const FeatureMatrix& X, const MonotoneRun& monotone, OnScreen on_screen);

  // One category of the node: its rows at [begin, end) of the feature's run.
  struct Category {
    double code = 0.0;
    std::size_t begin = 0;
    std::size_t end = 0;
    double weight = 0.0;
    double key = 0.0;       // what the categories are ordered by
    std::size_t index = 0;  // its place among the node's categories, in code order
  };

  Criterion criterion_;
  CutLimits limits_;
  TargetVector y_;
  const double* weights_;  // null: unit weights
  bool integral_weights_ = true;
  const FrontierColumns& columns_;
  double weight_ = 0.0;  // of the prepared node
  CutScratch scan_;
  TallyNode tally_;
  std::vector<std::uint8_t> in_node_;  // per label code: 1 when the prepared node has it
  TallyScratch tally_scratch_;
  MaeNode mae_;
  MaeScratch mae_scratch_;
  std::vector<double> poisson_terms_;  // poisson: per row, poisson_term(w y, y)
  std::vector<Category> categories_;   // of the current categorical run
  std::vector<Category> placed_;       // those ordered by their target
  std::vector<Category> rare_;         // those sent right with the missing values
  // Per category and class (more than two classes) or per category the sum of
  // w y; then the same for the whole node.
  std::vector<double> category_weights_;
  std::vector<ColumnEntry> reordered_;  // the run in category order
  MultiNode multi_;                     // several outputs: the prepared node (outputs 0 otherwise)
  MultiScratch multi_scratch_;
  std::vector<std::uint32_t> sorted_;  // several outputs' mae: a node's rows by one target
};

// A scanner of the search that `rules` govern: of one output or of several.
inline std::unique_ptr<CutScanner> scanner_for(const LevelRules& rules, const TargetVector& y,
                                               const double* weights,
                                               const FrontierColumns& columns) {
  if (rules.n_outputs > 1) {
    return std::make_unique<CutScanner>(rules.criterion, rules.limits, y, weights, columns,
                                        rules.n_outputs, rules.n_classes, rules.output_classes);
  }
  return std::make_unique<CutScanner>(rules.criterion, rules.limits, y, weights, columns,
                                      rules.n_classes > 0);
}

// ---- the scan of a run, by criterion and weights ------------------------------

template <class Cut, class OnScreen>
inline NodeSplit CutScanner::scan(Cut& cut, std::span<const ColumnEntry> run, std::int32_t feature,
                                  const FeatureMatrix& X, const MonotoneRun& monotone,
                                  OnScreen on_screen) {
  const auto with = [&](auto weight_of) {
    return monotone.rule.sign == 0 ? scan_cuts<false>(cut, run, X, feature, limits_, monotone,
                                                      weight_of, scan_, on_screen)
                                   : scan_cuts<true>(cut, run, X, feature, limits_, monotone,
                                                     weight_of, scan_, on_screen);
  };
  if (weights_ == nullptr) return with(UnitWeight{});
  const double* w = weights_;
  return with([w](std::uint32_t row) { return w[row]; });
}

template <bool kGini, bool kUnit, class OnScreen>
inline NodeSplit CutScanner::tally_cut(std::span<const ColumnEntry> run, std::int32_t feature,
                                       const FeatureMatrix& X, const MonotoneRun& monotone,
                                       OnScreen on_screen) {
  if (!columns_.label_bits().empty()) {
    TallyCut<kGini, kUnit, CodeBits> cut(tally_, tally_scratch_, {columns_.label_bits().data()});
    return scan(cut, run, feature, X, monotone, on_screen);
  }
  if (columns_.narrow_label_codes().empty()) {
    TallyCut<kGini, kUnit, CodeArray<std::uint32_t>> cut(tally_, tally_scratch_,
                                                         {columns_.label_codes().data()});
    return scan(cut, run, feature, X, monotone, on_screen);
  }
  TallyCut<kGini, kUnit, CodeArray<std::uint8_t>> cut(tally_, tally_scratch_,
                                                      {columns_.narrow_label_codes().data()});
  return scan(cut, run, feature, X, monotone, on_screen);
}

template <class OnScreen>
inline NodeSplit CutScanner::multi_cut(std::span<const ColumnEntry> run, std::int32_t feature,
                                       const FeatureMatrix& X, OnScreen on_screen) {
  const auto with = [&]<Criterion kCriterion>() {
    MultiCut<kCriterion> cut(multi_, multi_scratch_);
    cut.set_weights(weights_);
    return scan(cut, run, feature, X, MonotoneRun{}, on_screen);
  };
  if (criterion_ == Criterion::Mae) {
    if (weights_ == nullptr) {
      MultiMaeCut<true> cut(multi_);
      return scan(cut, run, feature, X, MonotoneRun{}, on_screen);
    }
    MultiMaeCut<false> cut(multi_);
    return scan(cut, run, feature, X, MonotoneRun{}, on_screen);
  }
  switch (criterion_) {
    case Criterion::Gini:
      return with.template operator()<Criterion::Gini>();
    case Criterion::Entropy:
      return with.template operator()<Criterion::Entropy>();
    default:
      return with.template operator()<Criterion::Mse>();
  }
}

template <class OnScreen>
inline NodeSplit CutScanner::dispatch(std::span<const ColumnEntry> run, std::int32_t feature,
                                      const FeatureMatrix& X, const MonotoneRun& monotone,
                                      OnScreen on_screen) {
  if (multi_.outputs > 0) return multi_cut(run, feature, X, on_screen);
  const bool unit = weights_ == nullptr;
  switch (criterion_) {
    case Criterion::Gini:
      return unit ? tally_cut<true, true>(run, feature, X, monotone, on_screen)
                  : tally_cut<true, false>(run, feature, X, monotone, on_screen);
    case Criterion::Entropy:
      return unit ? tally_cut<false, true>(run, feature, X, monotone, on_screen)
                  : tally_cut<false, false>(run, feature, X, monotone, on_screen);
    case Criterion::Mse: {
      if (unit) {
        MseCut<true> cut(y_.data, weights_, weight_, tally_scratch_.inverse);
        return scan(cut, run, feature, X, monotone, on_screen);
      }
      MseCut<false> cut(y_.data, weights_, weight_, tally_scratch_.inverse);
      return scan(cut, run, feature, X, monotone, on_screen);
    }
    case Criterion::Poisson: {
      if (unit) {
        PoissonCut<true> cut(y_.data, weights_, poisson_terms_.data(), weight_);
        return scan(cut, run, feature, X, monotone, on_screen);
      }
      PoissonCut<false> cut(y_.data, weights_, poisson_terms_.data(), weight_);
      return scan(cut, run, feature, X, monotone, on_screen);
    }
    default: {
      if (unit) {
        MaeCut<true> cut(mae_, mae_scratch_);
        return scan(cut, run, feature, X, monotone, on_screen);
      }
      MaeCut<false> cut(mae_, mae_scratch_);
      return scan(cut, run, feature, X, monotone, on_screen);
    }
  }
}

}  // namespace qor
