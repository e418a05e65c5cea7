#include "engine/exact/exact_lookahead.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "engine/exact/exact_growth.hpp"
#include "engine/exact/exact_search.hpp"
#include "engine/exact/frontier_columns.hpp"
#include "engine/level/beam.hpp"
#include "engine/level/held_out.hpp"
#include "engine/level/level_loop.hpp"
#include "engine/tree/parallel.hpp"
#include "engine/tree/stage.hpp"

namespace qor {

namespace {

// The beam's backend over sorted columns: partial trees grown on `rows`,
// scored on `held_out` (rows of X, ascending, disjoint). Only `features` are
// sorted; a beam that scores levels needs all of X's.
class ExactBeam {
 public:
  struct State {
    LevelLoop loop;
    std::vector<std::int32_t> node;  // per row of X: its node in loop's tree, -1 for none
    std::uint64_t serial = 0;        // names the rows' grouping that `node` makes
  };

  ExactBeam(const FeatureMatrix& X, const TargetVector& y, const double* weights,
            const TreeParams& params, std::vector<std::uint32_t> rows,
            std::vector<std::uint32_t> held_out, std::vector<std::int32_t> features)
      : X_(X),
        y_(y),
        weights_(weights),
        params_(params),
        rows_{std::move(rows)},
        held_out_(std::move(held_out)),
        features_(std::move(features)),
        root_(X, y, std::span(rows_), features_, params.criterion, params.n_threads),
        columns_(root_),
        summary_(summarize_rows(y, weights, params, root_.rows(0), by_target(root_, 0))),
        rules_(LevelRules::of(params, summary_.weight)),
        scorer_(X, y, weights, columns_, rules_),
        cutter_(X, y, weights, columns_, rules_),
        goes_left_(root_.row_span(), 0) {}

  State root() {
    State s{LevelLoop(params_, X_.cols, summary_),
            std::vector<std::int32_t>(static_cast<std::size_t>(X_.rows), -1), serial_++};
    for (const std::uint32_t r : rows_.front()) s.node[r] = 0;
    for (const std::uint32_t r : held_out_) s.node[r] = 0;
    return s;
  }

  bool open(State& s) { return s.loop.next_level(); }

  void score(State& s, LevelScores& scores) {
    load(s);
    scorer_.score(s.loop.nodes(), s.loop.features(), scores);
  }

  std::optional<State> extend(const State& parent, std::int32_t feature) {
    if (loaded_ != parent.serial) {
      // Cutting under one feature reads its column and the rows alone.
      const std::size_t frontier = parent.loop.frontier_size();
      columns_.regroup(root_, parent.node,
                       static_cast<std::int32_t>(frontier > 0 ? parent.loop.frontier_id(0) : 0),
                       frontier, params_.n_threads, std::span(&feature, 1));
      loaded_ = 0;
    }
    State s{parent.loop, {}, 0};
    if (!s.loop.next_level()) return std::nullopt;
    const auto nodes = s.loop.nodes();
    cutter_.cuts(nodes, feature, cuts_);
    s.loop.budget(cuts_);
    if (std::none_of(cuts_.begin(), cuts_.end(), [](const NodeCut& c) { return c.valid; })) {
      return std::nullopt;
    }
    LevelScores forced;
    forced.reset(static_cast<std::size_t>(X_.cols));
    forced.cuts_some_node[static_cast<std::size_t>(feature)] = 1;
    s.loop.choose(forced);

    const std::int64_t first_node = s.loop.frontier_id(0);
    const std::int64_t first_child = s.loop.first_child();
    const bool categorical = s.loop.rules().is_categorical(feature);
    std::vector<std::int64_t> cut_at(s.loop.frontier_size(), -1);  // frontier position -> cut
    std::vector<std::int64_t> child_of(nodes.size(), -1);
    std::vector<double> left_max(nodes.size(), 0.0);  // largest value sent left
    std::int64_t next = first_child;
    std::size_t level_rows = 0;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      level_rows += columns_.segment_size(nodes[i].position);
      if (!cuts_[i].valid) continue;
      cut_at[nodes[i].position] = static_cast<std::int64_t>(i);
      child_of[i] = next;
      next += 2;
    }
    s.node = parent.node;
    parts_.assign(nodes.size(), {});
    parallel_for(
        nodes.size(), threads_for(level_rows, params_.n_threads), [&](std::size_t i, std::size_t) {
          const NodeCut& cut = cuts_[i];
          if (!cut.valid) return;
          const std::size_t position = nodes[i].position;
          const auto run = columns_.run(position, feature);
          mark_sides(run, cut, X_, feature, goes_left_.data());
          if (!categorical) {
            const auto left_size = static_cast<std::size_t>(cut.split_at);
            left_max[i] = X_.at(static_cast<std::int32_t>(run[left_size - 1].row()), feature);
          }
          const auto rows = columns_.rows(position);
          parts_[i] = summarize_split(y_, weights_, params_, rows, goes_left_.data(),
                                      by_target(columns_, position));
          for (const ColumnEntry e : rows) {
            s.node[e.row()] =
                static_cast<std::int32_t>(child_of[i] + (goes_left_[e.row()] != 0 ? 0 : 1));
          }
        });
    // Held-out rows go where a training row of their value would: left up to
    // the largest value sent left, NaN right; categories as the cut lists them.
    for (const std::uint32_t r : held_out_) {
      const std::int64_t position = parent.node[r] - first_node;
      if (position < 0 || position >= static_cast<std::int64_t>(cut_at.size())) continue;
      const std::int64_t i = cut_at[static_cast<std::size_t>(position)];
      if (i < 0) continue;
      const auto at = static_cast<std::size_t>(i);
      const double v = X_.at(static_cast<std::int32_t>(r), feature);
      const bool left =
          categorical ? contains_category(cuts_[at].left_categories, v) : v <= left_max[at];
      s.node[r] = static_cast<std::int32_t>(child_of[at] + (left ? 0 : 1));
    }
    children_.clear();
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      if (!cuts_[i].valid) continue;
      children_.push_back(std::move(parts_[i].first));
      children_.push_back(std::move(parts_[i].second));
    }
    s.loop.split(cuts_, children_);
    s.serial = serial_++;
    return s;
  }

  const FlatTree& tree(const State& s) const noexcept { return s.loop.tree(); }

  double held_out_loss(const State& s) const {
    const FlatTree& tree = s.loop.tree();
    const auto width = static_cast<std::size_t>(tree.value_width);
    double loss = 0.0;
    for (const std::uint32_t r : held_out_) {
      const auto node = static_cast<std::size_t>(s.node[r]);
      const double w = weights_ == nullptr ? 1.0 : weights_[r];
      loss += w * qor::held_out_loss(std::span(tree.value).subspan(node * width, width), y_.data[r],
                                     params_.criterion);
    }
    return loss;
  }

 private:
  std::span<const ColumnEntry> by_target(const FrontierColumns& columns,
                                         std::size_t segment) const {
    return params_.criterion == Criterion::Mae ? columns.target_run(segment)
                                               : std::span<const ColumnEntry>{};
  }

  // Groups every working column by the nodes of `s`'s frontier, unless they are.
  void load(const State& s) {
    if (loaded_ == s.serial) return;
    const std::size_t frontier = s.loop.frontier_size();
    const std::int64_t first = frontier > 0 ? s.loop.frontier_id(0) : 0;
    columns_.regroup(root_, s.node, static_cast<std::int32_t>(first), frontier, params_.n_threads);
    loaded_ = s.serial;
  }

  const FeatureMatrix& X_;
  const TargetVector& y_;
  const double* weights_;
  const TreeParams& params_;
  std::vector<std::vector<std::uint32_t>> rows_;  // one segment: the rows grown on
  std::vector<std::uint32_t> held_out_;
  std::vector<std::int32_t> features_;
  FrontierColumns root_;     // the rows in one segment, as sorted once
  FrontierColumns columns_;  // the same rows grouped by the nodes of one partial tree
  NodeSummary summary_;
  LevelRules rules_;
  ExactSearch scorer_;  // scores levels (and keeps their cuts for itself)
  ExactSearch cutter_;  // finds cuts afresh: the partial tree it cuts may not be the last scored
  std::vector<std::uint8_t> goes_left_;
  std::vector<NodeCut> cuts_;
  std::vector<std::pair<NodeSummary, NodeSummary>> parts_;
  std::vector<NodeSummary> children_;
  std::uint64_t serial_ = 1;
  std::uint64_t loaded_ = 0;  // the serial every working column is grouped by, 0 for none
};

}  // namespace

LookaheadFit grow_tree_lookahead(const FeatureMatrix& X, const TargetVector& y,
                                 const double* weights, const TreeParams& params) {
  check_growth_inputs(X.rows, y.data, y.length, weights, params);
  check_lookahead(params);
  std::vector<std::uint32_t> rows = weighed_rows(X.rows, weights);
  const auto n = static_cast<std::int64_t>(rows.size());
  const bool searched =
      params.max_depth > 0 && X.cols > 0 && LevelRules::of(params, 0.0).may_search(n);
  if (!searched || params.beam_width < 1) {
    LookaheadFit fit;
    fit.tree = grow_tree(X, y, weights, params);
    fit.features.push_back(fit.tree.depth_features);
    fit.scores.push_back(leaf_impurity(fit.tree));
    return fit;
  }

  std::vector<std::int32_t> all(static_cast<std::size_t>(X.cols));
  std::iota(all.begin(), all.end(), 0);
  std::vector<Finalist> finalists;
  {
    const auto rows_in = static_cast<std::size_t>(n);
    const StageMark stage("growing the partial trees of a lookahead beam",
                          2 * (all.size() + 2) * rows_in * 4 +
                              static_cast<std::size_t>(X.rows) * 4 *
                                  (2 * static_cast<std::size_t>(params.beam_width) + 2));
    ExactBeam beam(X, y, weights, params, rows, {}, all);
    finalists = beam_finalists(beam, params.beam_width);
  }
  // Folds need rows: each fold's trees are grown on the rows of the others.
  const std::int32_t folds = params.lookahead_folds >= 2 && n >= 2 * params.lookahead_folds
                                 ? std::min(params.lookahead_folds, 100)
                                 : 0;
  const std::vector<std::int32_t> used = finalist_features(finalists);
  const std::vector<std::uint8_t> fold =
      folds >= 2 ? fold_of_rows(rows, y.data, folds) : std::vector<std::uint8_t>{};
  std::vector<double> scores = finalist_scores(finalists, folds, [&](std::int32_t k) {
    std::vector<std::uint32_t> train;
    std::vector<std::uint32_t> held;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      (fold[i] == k ? held : train).push_back(rows[i]);
    }
    return ExactBeam(X, y, weights, params, std::move(train), std::move(held), used);
  });
  return keep_best(finalists, std::move(scores));
}

}  // namespace qor
