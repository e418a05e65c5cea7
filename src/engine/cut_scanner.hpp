#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "cut_criteria.hpp"
#include "cut_scan.hpp"
#include "frontier_columns.hpp"
#include "model.hpp"
#include "views.hpp"

namespace qor {

// One thread's cut scanner over the segments of a FrontierColumns: it gathers
// what every feature of a node shares once (prepare), then finds the node's best
// cut under any feature with the criterion's scan. Holds its own scratch: one
// scanner per thread.
class CutScanner {
 public:
  // `weights`: one per row below columns.row_span(), >= 0, or null for unit
  // weights. The scanner reads `y`, `weights` and `columns` until it is gone.
  CutScanner(Criterion criterion, CutLimits limits, const TargetVector& y, const double* weights,
             const FrontierColumns& columns);

  void prepare(std::size_t segment);
  // Weight of the prepared segment's rows.
  double weight() const noexcept { return weight_; }
  // The prepared segment's best cut under `feature`, among the cuts that keep
  // `monotone` (whose targets the scanner fills in).
  NodeSplit best_cut(std::size_t segment, std::int32_t feature, const FeatureMatrix& X,
                     Monotone monotone = {});
  // The same, and the screen of every allowed cut by position, for inspection.
  NodeSplit best_cut(std::size_t segment, std::int32_t feature, const FeatureMatrix& X,
                     std::vector<std::pair<std::size_t, Screen>>& screens);

 private:
  template <class OnScreen>
  NodeSplit dispatch(std::size_t segment, std::int32_t feature, const FeatureMatrix& X,
                     const Monotone& monotone, OnScreen on_screen);
  template <class Cut, class OnScreen>
  NodeSplit scan(Cut& cut, std::size_t segment, std::int32_t feature, const FeatureMatrix& X,
                 const Monotone& monotone, OnScreen on_screen);
  template <bool kGini, bool kUnit, class OnScreen>
  NodeSplit tally_cut(std::size_t segment, std::int32_t feature, const FeatureMatrix& X,
                      const Monotone& monotone, OnScreen on_screen);

  Criterion criterion_;
  CutLimits limits_;
  TargetVector y_;
  const double* weights_;  // null: unit weights
  bool integral_weights_ = true;
  const FrontierColumns& columns_;
  double weight_ = 0.0;  // of the prepared node
  std::vector<double> upper_;
  TallyNode tally_;
  std::vector<std::uint8_t> in_node_;  // per label code: 1 when the prepared node has it
  TallyScratch tally_scratch_;
  MaeNode mae_;
  MaeScratch mae_scratch_;
};

}  // namespace qor
