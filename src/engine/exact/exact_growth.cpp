#include "engine/exact/exact_growth.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>

#include "engine/criteria/impurity.hpp"
#include "engine/exact/cut_scan.hpp"
#include "engine/exact/frontier_columns.hpp"
#include "engine/exact/exact_search.hpp"
#include "engine/exact/sparse_columns.hpp"
#include "engine/exact/sparse_search.hpp"
#include "engine/level/level_loop.hpp"
#include "engine/tree/parallel.hpp"
#include "engine/tree/stage.hpp"

namespace qor {

namespace {

// Adds up nodes' rows: for_rows calls f(row) for a node's rows in their
// order, for_sorted in ascending order of target (read under Mae only). Sums
// run in those orders.
class NodeSummarizer {
 public:
  NodeSummarizer(const TargetVector& y, const double* weights, const TreeParams& params)
      : y_(y), weights_(weights), params_(params) {}

  template <class ForRows, class ForSorted>
  NodeSummary operator()(ForRows&& for_rows, ForSorted&& for_sorted) const {
    Part part(params_);
    for_rows([&](std::uint32_t r) { add(part, r); });
    return finish(part, for_sorted);
  }

  // Both children of a split in one pass over the parent's rows, side[r] 1
  // for the rows that go left; `for_sorted(side, f)` the children's rows by target.
  template <class ForRows, class ForSorted>
  std::pair<NodeSummary, NodeSummary> children(ForRows&& for_rows, const std::uint8_t* side,
                                       ForSorted&& for_sorted) const {
    Part left(params_);
    Part right(params_);
    for_rows([&](std::uint32_t r) { add(side[r] != 0 ? left : right, r); });
    return {finish(left, [&](auto&& f) { for_sorted(1, f); }),
            finish(right, [&](auto&& f) { for_sorted(0, f); })};
  }

 private:
  struct Part {
    explicit Part(const TreeParams& params)
        : class_weight(params.n_classes > 0 ? static_cast<std::size_t>(params.n_classes) : 0, 0.0) {
    }
    NodeSummary s;
    double sum = 0.0;     // of w y
    double sum_sq = 0.0;  // of (w y) y, or under poisson of poisson_term
    double first = 0.0;   // target of the first row of positive weight
    bool seen = false;
    std::vector<double> class_weight;                 // classifiers: per class
    std::unordered_map<double, std::size_t> slot_of;  // tally criteria otherwise: per label
    std::vector<double> labels;  // their weights, in order of first occurrence (each NaN its own)
  };

  double weight(std::uint32_t r) const noexcept { return weights_ == nullptr ? 1.0 : weights_[r]; }

  // Inlined: it runs for every row of every node that splits.
  [[gnu::always_inline]] void add(Part& p, std::uint32_t r) const {
    const double w = weight(r);
    const double t = y_.data[r];
    ++p.s.rows;
    p.s.weight += w;
    if (w > 0.0) {
      // A NaN target never matches, not even the first.
      p.s.single_target = p.s.single_target && (p.seen ? t == p.first : t == t);
      p.first = p.seen ? p.first : t;
      p.seen = true;
    }
    if (!params_.node_statistics) return;
    const double wt = w * t;
    p.sum += wt;
    p.sum_sq += params_.criterion == Criterion::Poisson ? poisson_term(wt, t) : wt * t;
    if (!p.class_weight.empty()) {
      p.class_weight[static_cast<std::size_t>(t)] += w;
    } else if (counts_classes(params_.criterion)) {
      std::size_t slot = p.labels.size();
      if (!std::isnan(t)) slot = p.slot_of.try_emplace(t == 0.0 ? 0.0 : t, slot).first->second;
      if (slot == p.labels.size()) p.labels.push_back(0.0);
      p.labels[slot] += w;
    }
  }

  template <class ForSorted>
  NodeSummary finish(Part& p, ForSorted&& for_sorted) const {
    NodeSummary& s = p.s;
    if (!params_.node_statistics) {
      s.value.assign(std::max<std::size_t>(p.class_weight.size(), 1), 0.0);
      return s;
    }
    if (!p.class_weight.empty()) {
      s.value.assign(p.class_weight.size(), 0.0);
      for (std::size_t c = 0; c < p.class_weight.size() && s.weight > 0.0; ++c) {
        s.value[c] = p.class_weight[c] / s.weight;
      }
    } else {
      s.value.assign(1, s.weight > 0.0 ? p.sum / s.weight : 0.0);
    }
    switch (params_.criterion) {
      case Criterion::Gini:
      case Criterion::Entropy: {
        const std::vector<double>& labels = p.class_weight.empty() ? p.labels : p.class_weight;
        s.impurity = params_.criterion == Criterion::Gini ? gini_impurity(labels, s.weight)
                                                          : entropy_impurity(labels, s.weight);
        break;
      }
      case Criterion::Mse:
        s.impurity = mse_impurity(p.sum, p.sum_sq, s.weight);
        break;
      case Criterion::Poisson:
        s.impurity = poisson_impurity(p.sum, p.sum_sq, s.weight);
        break;
      default: {
        // A leaf predicts the weighted median, the value that minimises the
        // deviations mae scores.
        const MedianDeviation m = weighted_median_deviation(
            [&](auto&& f) { for_sorted([&](std::uint32_t r) { f(y_.data[r], weight(r)); }); });
        s.impurity = m.mae;
        if (s.weight > 0.0) s.value[0] = m.median;
        break;
      }
    }
    return s;
  }

  const TargetVector& y_;
  const double* weights_;
  const TreeParams& params_;
};

// NodeSummarizer's counterpart for several outputs (TreeParams::n_outputs >
// 1): each output summed as NodeSummarizer sums a single one, the node's
// impurity their mean and its value theirs side by side (n_classes entries
// apiece for a classifier, one for a regressor). Mae sorts each output's
// targets itself (ascending, ties in row order); for_sorted is not read.
class MultiSummarizer {
 public:
  MultiSummarizer(const TargetVector& y, const double* weights, const TreeParams& params)
      : y_(y), weights_(weights), params_(params),
        outputs_(static_cast<std::size_t>(params.n_outputs)),
        classes_(params.n_classes > 0 ? static_cast<std::size_t>(params.n_classes) : 0) {}

  template <class ForRows, class ForSorted>
  NodeSummary operator()(ForRows&& for_rows, ForSorted&&) const {
    Part part(outputs_, classes_);
    for_rows([&](std::uint32_t r) { add(part, r); });
    return finish(part);
  }

  template <class ForRows, class ForSorted>
  std::pair<NodeSummary, NodeSummary> children(ForRows&& for_rows, const std::uint8_t* side,
                                               ForSorted&&) const {
    Part left(outputs_, classes_);
    Part right(outputs_, classes_);
    for_rows([&](std::uint32_t r) { add(side[r] != 0 ? left : right, r); });
    return {finish(left), finish(right)};
  }

 private:
  struct Part {
    Part(std::size_t outputs, std::size_t classes)
        : sum(outputs, 0.0), sum_sq(outputs, 0.0), first(outputs, 0.0),
          class_weight(outputs * classes, 0.0) {}
    NodeSummary s;
    std::vector<double> sum, sum_sq, first;  // per output
    bool seen = false;
    std::vector<double> class_weight;        // per output and class
    std::vector<std::uint32_t> rows;         // mae: the node's rows
  };

  double target(std::size_t k, std::uint32_t r) const noexcept {
    return y_.data[k * static_cast<std::size_t>(y_.length) + r];
  }
  double weight(std::uint32_t r) const noexcept { return weights_ == nullptr ? 1.0 : weights_[r]; }

  void add(Part& p, std::uint32_t r) const {
    const double w = weight(r);
    ++p.s.rows;
    p.s.weight += w;
    for (std::size_t k = 0; k < outputs_; ++k) {
      const double t = target(k, r);
      if (w > 0.0) {
        p.s.single_target = p.s.single_target && (p.seen ? t == p.first[k] : t == t);
        if (!p.seen) p.first[k] = t;
      }
      if (!params_.node_statistics) continue;
      p.sum[k] += w * t;
      p.sum_sq[k] += w * t * t;
      if (classes_ > 0) p.class_weight[k * classes_ + static_cast<std::size_t>(t)] += w;
    }
    p.seen = p.seen || w > 0.0;
    if (params_.node_statistics && params_.criterion == Criterion::Mae) p.rows.push_back(r);
  }

  NodeSummary finish(Part& p) const {
    NodeSummary& s = p.s;
    const std::size_t width = std::max<std::size_t>(classes_, 1);
    s.value.assign(outputs_ * width, 0.0);
    if (!params_.node_statistics) return s;
    for (std::size_t k = 0; k < outputs_ && s.weight > 0.0; ++k) {
      if (classes_ == 0) {
        s.value[k] = p.sum[k] / s.weight;
        continue;
      }
      for (std::size_t c = 0; c < classes_; ++c) {
        s.value[k * classes_ + c] = p.class_weight[k * classes_ + c] / s.weight;
      }
    }
    const auto classes_of = [&](std::size_t k) {
      return static_cast<std::size_t>(params_.output_classes[k]);
    };
    s.impurity = mean_impurity(outputs_, [&](std::size_t k) {
      switch (params_.criterion) {
        case Criterion::Gini:
          return class_impurity<true>(p.class_weight.data() + k * classes_, classes_of(k),
                                      s.weight);
        case Criterion::Entropy:
          return class_impurity<false>(p.class_weight.data() + k * classes_, classes_of(k),
                                       s.weight);
        case Criterion::Mse:
          return mse_impurity(p.sum[k], p.sum_sq[k], s.weight);
        default: {
          std::stable_sort(p.rows.begin(), p.rows.end(), [&](std::uint32_t a, std::uint32_t b) {
            return order_key(target(k, a)) < order_key(target(k, b));
          });
          // Each output's leaf predicts its weighted median, as one output's does.
          const MedianDeviation m = weighted_median_deviation([&](auto&& f) {
            for (const std::uint32_t r : p.rows) f(target(k, r), weight(r));
          });
          if (s.weight > 0.0) s.value[k] = m.median;
          return m.mae;
        }
      }
    });
    return s;
  }

  const TargetVector& y_;
  const double* weights_;
  const TreeParams& params_;
  std::size_t outputs_;
  std::size_t classes_;
};

// The rows of positive weight of a fit: `root_rows`, or every such row of X.
std::vector<std::uint32_t> weighed_rows(std::int32_t n, const double* weights,
                                        std::span<const std::uint32_t> root_rows) {
  std::vector<std::uint32_t> rows(root_rows.begin(), root_rows.end());
  if (root_rows.empty()) {
    // A row of weight 0 is a row removed: it bounds no cut and counts in no node.
    for (std::int32_t r = 0; r < n; ++r) {
      if (weights == nullptr || weights[r] > 0.0) rows.push_back(static_cast<std::uint32_t>(r));
    }
  }
  return rows;
}

// The growth of grow_tree, by a node summarizer of one output or of several.
template <class Summarizer>
FlatTree grow_with(const Summarizer& summarize, const FeatureMatrix& X, const TargetVector& y,
                   const double* weights, const TreeParams& params,
                   std::span<const std::uint32_t> root_rows, const NodeRowsObserver& on_rows) {
  std::vector<std::uint32_t> rows = weighed_rows(X.rows, weights, root_rows);
  const auto n = static_cast<std::int64_t>(rows.size());
  const std::int32_t n_features = std::max(X.cols, 0);
  // Several outputs' mae sorts each node's targets itself, by output.
  const bool by_target = params.criterion == Criterion::Mae && params.n_outputs <= 1;
  const auto all_of = [](std::span<const ColumnEntry> entries) {
    return [entries](auto&& f) {
      for (const ColumnEntry e : entries) f(e.row());
    };
  };

  // Columns are sorted only where the root may be searched: their sort is
  // most of the cost of a fit that never splits.
  const bool searched = params.max_depth > 0 && n_features > 0 &&
                        LevelRules::of(params, 0.0).may_search(n);
  if (!searched) {
    std::vector<std::uint32_t> sorted = rows;
    if (by_target) {
      std::stable_sort(sorted.begin(), sorted.end(), [&](std::uint32_t a, std::uint32_t b) {
        return order_key(y.data[a]) < order_key(y.data[b]);
      });
    }
    LevelLoop loop(params, n_features,
                   summarize(
                       [&](auto&& f) {
                         for (const std::uint32_t r : rows) f(r);
                       },
                       [&](auto&& f) {
                         for (const std::uint32_t r : sorted) f(r);
                       }));
    return loop.take_tree();
  }

  std::vector<std::int32_t> features(static_cast<std::size_t>(n_features));
  std::iota(features.begin(), features.end(), 0);
  const std::vector<std::vector<std::uint32_t>> first{std::move(rows)};
  // The sorted columns (4 bytes a value), and each sorting thread's keys and values.
  const auto rows_in = static_cast<std::size_t>(n);
  std::optional<StageMark> stage;
  stage.emplace("sorting the values of every feature",
                (static_cast<std::size_t>(n_features) + 2) * rows_in * 4 +
                    static_cast<std::size_t>(thread_count(params.n_threads)) * rows_in * 32);
  // Several outputs keep no label codes or target column: their scan reads y itself.
  FrontierColumns columns(X, y, first, features,
                          params.n_outputs > 1 ? Criterion::Mse : params.criterion,
                          params.n_threads);
  stage.reset();
  const auto sorted_of = [&](std::size_t segment) {
    return by_target ? columns.target_run(segment) : std::span<const ColumnEntry>{};
  };
  LevelLoop loop(params, n_features, summarize(all_of(columns.rows(0)), all_of(sorted_of(0))));
  ExactSearch search(X, y, weights, columns, loop.rules());
  LevelScores scores;
  std::vector<NodeCut> cuts;
  std::vector<std::uint8_t> goes_left(columns.row_span(), 0);
  std::vector<std::uint64_t> left_bits((columns.row_span() + 63) / 64, 0);  // the same in bits
  std::vector<std::pair<NodeSummary, NodeSummary>> parts;  // per searched node that splits
  std::vector<NodeSummary> children;
  std::vector<FrontierColumns::Split> splits;

  for (;;) {
    if (on_rows) {
      for (std::size_t s = 0; s < loop.frontier_size(); ++s) {
        on_rows(loop.frontier_id(s), columns.rows(s));
      }
    }
    if (!loop.next_level()) break;
    const auto nodes = loop.nodes();
    do {
      search.score(nodes, loop.features(), scores);
    } while (loop.choose(scores) < 0 && loop.draw_more());
    const std::int32_t feature = loop.feature();
    if (feature < 0) break;
    search.cuts(nodes, feature, cuts);
    loop.budget(cuts);

    // The children of every node that splits, node by node over the threads
    // (their rows are disjoint).
    parts.assign(nodes.size(), {});
    std::size_t level_rows = 0;
    for (const LevelNode& node : nodes) level_rows += columns.segment_size(node.position);
    const int threads = threads_for(level_rows, params.n_threads);
    parallel_for(nodes.size(), threads, [&](std::size_t i, std::size_t) {
      const NodeCut& cut = cuts[i];
      if (!cut.valid) return;
      // The threshold sends exactly the cut's left part left: the first rows
      // in the feature's order.
      const std::size_t s = nodes[i].position;
      const auto run = columns.run(s, feature);
      if (cut.left_categories.empty()) {
        const auto left_size = static_cast<std::size_t>(cut.split_at);
        for (std::size_t k = 0; k < run.size(); ++k) goes_left[run[k].row()] = k < left_size;
      } else {
        // The run holds each category's rows together: one look-up per category.
        bool left = false;
        for (std::size_t k = 0; k < run.size(); ++k) {
          const std::uint32_t row = run[k].row();
          if (k == 0 || run[k].new_value()) {
            left = contains_category(cut.left_categories,
                                     X.at(static_cast<std::int32_t>(row), feature));
          }
          goes_left[row] = left;
        }
      }
      const auto sorted = sorted_of(s);
      parts[i] = summarize.children(all_of(columns.rows(s)), goes_left.data(),
                                    [&](std::uint8_t side, auto&& f) {
                                      for (const ColumnEntry e : sorted) {
                                        if (goes_left[e.row()] == side) f(e.row());
                                      }
                                    });
    });
    children.clear();
    splits.clear();
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      if (!cuts[i].valid) continue;
      children.push_back(std::move(parts[i].first));
      children.push_back(std::move(parts[i].second));
      splits.push_back({nodes[i].position, static_cast<std::size_t>(cuts[i].split_at)});
    }
    loop.split(cuts, children);
    // Children that may not split are never searched: their rows need no sorting.
    if (!loop.grows_further()) break;
    const StageMark moving("moving the sorted rows to the children of a level",
                           static_cast<std::size_t>(thread_count(params.n_threads)) * level_rows * 5);
    // Each word of bits is packed by one thread from its 64 rows' bytes.
    parallel_for((left_bits.size() + 1023) / 1024, threads_for(goes_left.size(), params.n_threads),
                 [&](std::size_t block, std::size_t) {
                   const std::size_t last = std::min(left_bits.size(), (block + 1) * 1024);
                   for (std::size_t w = block * 1024; w < last; ++w) {
                     std::uint64_t word = 0;
                     const std::size_t rows_here = std::min<std::size_t>(64, goes_left.size() - w * 64);
                     for (std::size_t b = 0; b < rows_here; ++b) {
                       word |= static_cast<std::uint64_t>(goes_left[w * 64 + b] & 1u) << b;
                     }
                     left_bits[w] = word;
                   }
                 });
    columns.partition(splits, left_bits, params.n_threads);
  }
  return loop.take_tree();
}

}  // namespace

FlatTree grow_tree(const FeatureMatrix& X, const TargetVector& y, const double* weights,
                   const TreeParams& params, std::span<const std::uint32_t> root_rows,
                   const NodeRowsObserver& on_rows) {
  check_growth_inputs(X.rows, y.data, y.length, weights, params);
  if (params.n_outputs > 1) {
    return grow_with(MultiSummarizer(y, weights, params), X, y, weights, params, root_rows,
                     on_rows);
  }
  return grow_with(NodeSummarizer(y, weights, params), X, y, weights, params, root_rows, on_rows);
}

FlatTree grow_tree(const SparseMatrix& X, const TargetVector& y, const double* weights,
                   const TreeParams& params) {
  if (!X.by_column) throw std::invalid_argument("grow_tree: a sparse X must be held by columns");
  if (std::any_of(params.categorical.begin(), params.categorical.end(),
                  [](std::uint8_t c) { return c != 0; })) {
    throw std::invalid_argument("grow_tree: categorical features need a dense X");
  }
  // Several outputs summarise and scan each output's targets; the sparse scan
  // reads one. The beam rebuilds dense frontier columns per partial tree;
  // sparse columns have no such rebuild yet.
  if (params.n_outputs > 1) {
    throw std::invalid_argument(
        "several outputs need a dense X: pass X.toarray(), or fit one output at a time");
  }
  if (params.search == Search::Lookahead) {
    throw std::invalid_argument(
        "search='lookahead' needs a dense X: pass X.toarray(), or use search='greedy' on the "
        "sparse matrix");
  }
  check_growth_inputs(X.rows, y.data, y.length, weights, params);
  std::vector<std::uint32_t> rows = weighed_rows(X.rows, weights, {});
  const auto n = static_cast<std::int64_t>(rows.size());
  const std::int32_t n_features = std::max(X.cols, 0);
  const NodeSummarizer summarize(y, weights, params);
  const auto all_of = [](std::span<const ColumnEntry> entries) {
    return [entries](auto&& f) {
      for (const ColumnEntry e : entries) f(e.row());
    };
  };
  // The segments' rows and targets come from frontier columns of no feature;
  // the features' order from the sparse columns.
  const FeatureMatrix no_columns{nullptr, X.rows, 0, true};
  const bool searched = params.max_depth > 0 && n_features > 0 &&
                        LevelRules::of(params, 0.0).may_search(n);
  const std::vector<std::vector<std::uint32_t>> first{rows};
  std::optional<StageMark> stage;
  stage.emplace("sorting the stored values of every feature",
                static_cast<std::size_t>(X.indptr[n_features]) * 12 + rows.size() * 12);
  FrontierColumns frontier(no_columns, y, first, {}, params.criterion, params.n_threads);
  std::optional<SparseColumns> columns;
  if (searched) columns.emplace(X, rows, params.n_threads);
  stage.reset();
  const auto sorted_of = [&](std::size_t segment) {
    return params.criterion == Criterion::Mae ? frontier.target_run(segment)
                                              : std::span<const ColumnEntry>{};
  };
  LevelLoop loop(params, n_features, summarize(all_of(frontier.rows(0)), all_of(sorted_of(0))));
  if (!searched) return loop.take_tree();
  SparseSearch search(*columns, frontier, y, weights, loop.rules(), n_features);
  LevelScores scores;
  std::vector<NodeCut> cuts;
  std::vector<std::uint8_t> goes_left(frontier.row_span(), 0);
  std::vector<std::uint64_t> left_bits((frontier.row_span() + 63) / 64, 0);
  std::vector<std::pair<NodeSummary, NodeSummary>> parts;
  std::vector<NodeSummary> children;
  std::vector<FrontierColumns::Split> splits;

  while (loop.next_level()) {
    const auto nodes = loop.nodes();
    do {
      search.score(nodes, loop.features(), scores);
    } while (loop.choose(scores) < 0 && loop.draw_more());
    const std::int32_t feature = loop.feature();
    if (feature < 0) break;
    search.cuts(nodes, feature, cuts);
    loop.budget(cuts);

    parts.assign(nodes.size(), {});
    std::size_t level_rows = 0;
    for (const LevelNode& node : nodes) level_rows += frontier.segment_size(node.position);
    const int threads = threads_for(level_rows, params.n_threads);
    parallel_for(nodes.size(), threads, [&](std::size_t i, std::size_t) {
      const NodeCut& cut = cuts[i];
      if (!cut.valid) return;
      // x <= threshold sends exactly the cut's left part left: zeros all one
      // way, the stored values each their own.
      const std::size_t s = nodes[i].position;
      const std::uint8_t zero_left = 0.0 <= cut.threshold ? 1 : 0;
      for (const ColumnEntry e : frontier.rows(s)) goes_left[e.row()] = zero_left;
      const auto stored = columns->entries(s, feature);
      const auto value = columns->values(s, feature);
      for (std::size_t k = 0; k < stored.size(); ++k) {
        goes_left[stored[k].row()] = value[k] <= cut.threshold ? 1 : 0;
      }
      const auto sorted = sorted_of(s);
      parts[i] = summarize.children(all_of(frontier.rows(s)), goes_left.data(),
                                    [&](std::uint8_t side, auto&& f) {
                                      for (const ColumnEntry e : sorted) {
                                        if (goes_left[e.row()] == side) f(e.row());
                                      }
                                    });
    });
    children.clear();
    splits.clear();
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      if (!cuts[i].valid) continue;
      children.push_back(std::move(parts[i].first));
      children.push_back(std::move(parts[i].second));
      splits.push_back({nodes[i].position, static_cast<std::size_t>(cuts[i].split_at)});
    }
    loop.split(cuts, children);
    if (!loop.grows_further()) break;
    for (std::size_t w = 0; w < left_bits.size(); ++w) {
      std::uint64_t word = 0;
      const std::size_t rows_here = std::min<std::size_t>(64, goes_left.size() - w * 64);
      for (std::size_t b = 0; b < rows_here; ++b) {
        word |= static_cast<std::uint64_t>(goes_left[w * 64 + b] & 1u) << b;
      }
      left_bits[w] = word;
    }
    frontier.partition(splits, left_bits, params.n_threads);
    columns->partition(splits, left_bits, params.n_threads);
  }
  return loop.take_tree();
}

}  // namespace qor

namespace qor {

NodeSummary summarize_rows(const TargetVector& y, const double* weights, const TreeParams& params,
                           std::span<const ColumnEntry> rows, std::span<const ColumnEntry> by_target) {
  const NodeSummarizer summarize(y, weights, params);
  return summarize(
      [&](auto&& f) {
        for (const ColumnEntry e : rows) f(e.row());
      },
      [&](auto&& f) {
        for (const ColumnEntry e : by_target) f(e.row());
      });
}

std::pair<NodeSummary, NodeSummary> summarize_split(const TargetVector& y, const double* weights,
                                                    const TreeParams& params,
                                                    std::span<const ColumnEntry> rows,
                                                    const std::uint8_t* goes_left,
                                                    std::span<const ColumnEntry> by_target) {
  const NodeSummarizer summarize(y, weights, params);
  return summarize.children(
      [&](auto&& f) {
        for (const ColumnEntry e : rows) f(e.row());
      },
      goes_left, [&](std::uint8_t side, auto&& f) {
        for (const ColumnEntry e : by_target) {
          if (goes_left[e.row()] == side) f(e.row());
        }
      });
}

}  // namespace qor
