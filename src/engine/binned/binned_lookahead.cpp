#include "engine/binned/binned_lookahead.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

#include "engine/level/beam.hpp"
#include "engine/level/held_out.hpp"
#include "engine/tree/parallel.hpp"
#include "engine/tree/stage.hpp"

namespace qor {

namespace {

// The beam's backend over bins: partial trees grown on the rows outside fold
// `held_fold` (all rows without folds), scored on the rows in it.
class BinnedBeam {
 public:
  struct State {
    BinnedGrower grower;
    std::vector<std::int32_t> node;  // per row: its node, -1 for a held-out row
    std::vector<std::int32_t> held;  // per held-out row its node, -1 otherwise; empty: none
  };

  BinnedBeam(const BinnedRows& rows, const TreeParams& params, std::span<const std::int8_t> fold,
             std::int32_t held_fold)
      : rows_(rows),
        params_(params),
        fold_(fold),
        held_fold_(held_fold),
        shape_(StatShape::of(params.n_classes, rows.sample_weight != nullptr)),
        threads_(thread_count(params.n_threads)) {}

  State root() {
    const auto n = static_cast<std::size_t>(rows_.codes->rows());
    std::vector<double> totals(static_cast<std::size_t>(shape_.width), 0.0);
    TargetRange targets;
    std::vector<std::int32_t> node(n, 0);
    std::vector<std::int32_t> held;
    if (!fold_.empty()) held.assign(n, -1);
    for (std::size_t r = 0; r < n; ++r) {
      if (!fold_.empty() && fold_[r] == held_fold_) {
        node[r] = -1;
        held[r] = 0;
        continue;
      }
      const double w = rows_.sample_weight ? rows_.sample_weight[r] : 1.0;
      shape_.add_row(totals.data(), rows_.y[r], w, rows_.factor_of(r));
      if (w > 0.0) targets.add(rows_.y[r]);
    }
    return {BinnedGrower(rows_.codes->layout(), params_, shape_.weighted, totals, targets),
            std::move(node), std::move(held)};
  }

  bool open(State& s) {
    if (!s.grower.next_level()) return false;
    builder_.accumulate(rows_, s.node, s.grower.build_slots(), s.grower.histograms(), threads_);
    return true;
  }

  void score(State& s, LevelScores& scores) { s.grower.score(scores); }

  std::optional<State> extend(const State& parent, std::int32_t feature) {
    State s = parent;
    if (!s.grower.choose_feature(rows_.codes->ranges(), feature)) return std::nullopt;
    const LevelRouting& routing = s.grower.routing();
    ChildSums children(shape_, static_cast<std::size_t>(routing.children));
    route_rows(rows_, routing, s.node, children, threads_);
    if (!s.held.empty()) {
      ChildSums ignored(shape_, static_cast<std::size_t>(routing.children));
      route_rows(rows_, routing, s.held, ignored, threads_);
    }
    s.grower.finish_level(children);
    return s;
  }

  const FlatTree& tree(const State& s) const noexcept { return s.grower.tree(); }

  double held_out_loss(const State& s) const {
    const FlatTree& tree = s.grower.tree();
    const auto width = static_cast<std::size_t>(tree.value_width);
    double loss = 0.0;
    for (std::size_t r = 0; r < s.held.size(); ++r) {
      if (s.held[r] < 0) continue;
      const double w = rows_.sample_weight ? rows_.sample_weight[r] : 1.0;
      const auto node = static_cast<std::size_t>(s.held[r]);
      loss += w * qor::held_out_loss(std::span(tree.value).subspan(node * width, width), rows_.y[r],
                                     params_.criterion);
    }
    return loss;
  }

 private:
  BinnedRows rows_;
  const TreeParams& params_;
  std::span<const std::int8_t> fold_;
  std::int32_t held_fold_;
  StatShape shape_;
  int threads_;
  HistogramBuilder builder_;
};

}  // namespace

LookaheadFit grow_binned_lookahead(const BinnedRows& rows, const TreeParams& params) {
  check_lookahead(params);
  if (params.beam_width < 1 || !rows.codes || rows.codes->rows() < 2) {
    LookaheadFit fit;
    fit.tree = grow_binned(rows, params).tree;
    fit.features.push_back(fit.tree.depth_features);
    fit.scores.push_back(leaf_impurity(fit.tree));
    return fit;
  }
  // The checks of grow_binned, on a tree of no level: the same errors, first.
  TreeParams check = params;
  check.max_depth = 0;
  grow_binned(rows, check);

  const std::int32_t n = rows.codes->rows();
  // Poisson's sums multiply w y by log y: taken once per row, as grow_binned does.
  std::vector<double> factors;
  BinnedRows read = rows;
  if (params.criterion == Criterion::Poisson && read.factor == nullptr) {
    factors = poisson_factors({rows.y, static_cast<std::size_t>(n)});
    read.factor = factors.data();
  }
  std::vector<Finalist> finalists;
  {
    BinnedBeam beam(read, params, {}, -1);
    finalists = beam_finalists(beam, params.beam_width);
  }
  std::vector<std::uint32_t> weighed;
  for (std::int32_t r = 0; r < n; ++r) {
    if (!rows.sample_weight || rows.sample_weight[r] > 0.0) {
      weighed.push_back(static_cast<std::uint32_t>(r));
    }
  }
  const auto count = static_cast<std::int64_t>(weighed.size());
  const std::int32_t folds = params.lookahead_folds >= 2 && count >= 2 * params.lookahead_folds
                                 ? std::min(params.lookahead_folds, 100)
                                 : 0;
  // Rows of weight 0 are in no fold: they grow nothing and count in no loss.
  std::vector<std::int8_t> fold(static_cast<std::size_t>(n), -1);
  if (folds >= 2) {
    const std::vector<std::uint8_t> dealt = fold_of_rows(weighed, rows.y, folds);
    for (std::size_t i = 0; i < weighed.size(); ++i) {
      fold[weighed[i]] = static_cast<std::int8_t>(dealt[i]);
    }
  }
  std::vector<double> scores = finalist_scores(
      finalists, folds, [&](std::int32_t k) { return BinnedBeam(rows, params, fold, k); });
  return keep_best(finalists, std::move(scores));
}

}  // namespace qor
