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
#include "engine/exact/exact_search.hpp"
#include "engine/exact/frontier_columns.hpp"
#include "engine/exact/indicator_columns.hpp"
#include "engine/exact/indicator_search.hpp"
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
    if (params_.n_classes > 0 && params_.node_statistics && counts_classes(params_.criterion)) {
      return class_children(for_rows, side);
    }
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

  // A classifier's children, which are all it reads of a part: its rows, and
  // its weight and each class's, added up in row order as add() adds them.
  // Each part's sums sit in one table that a row's side indexes: which way a
  // row went is as good as random, and no branch waits on it.
  template <class ForRows>
  std::pair<NodeSummary, NodeSummary> class_children(ForRows&& for_rows,
                                                     const std::uint8_t* side) const {
    const auto classes = static_cast<std::size_t>(params_.n_classes);
    const std::size_t width = classes + 1;     // each class's weight, then the part's
    std::vector<double> sums(2 * width, 0.0);  // the right part's, then the left's
    std::int64_t rows[2] = {0, 0};
    for_rows([&](std::uint32_t r) {
      const double w = weight(r);
      const std::size_t left = side[r] != 0 ? 1 : 0;
      double* part = sums.data() + left * width;
      part[static_cast<std::size_t>(y_.data[r])] += w;
      part[classes] += w;
      ++rows[left];
    });
    const auto finished = [&](std::size_t left) {
      Part p(params_);
      const double* part = sums.data() + left * width;
      p.class_weight.assign(part, part + classes);
      p.s.rows = rows[left];
      p.s.weight = part[classes];
      // Rows of weight 0 add nothing: a class of positive weight has a row of positive weight.
      p.s.single_target =
          std::count_if(part, part + classes, [](double c) { return c > 0.0; }) <= 1;
      return finish(p, [](auto&&) {});
    };
    return {finished(1), finished(0)};
  }

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
      : y_(y),
        weights_(weights),
        params_(params),
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
        : sum(outputs, 0.0),
          sum_sq(outputs, 0.0),
          first(outputs, 0.0),
          class_weight(outputs * classes, 0.0) {}
    NodeSummary s;
    std::vector<double> sum, sum_sq, first;  // per output
    bool seen = false;
    std::vector<double> class_weight;  // per output and class
    std::vector<std::uint32_t> rows;   // mae: the node's rows
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

// A node's rows, in the order of `entries`, as a summarizer's for_rows takes them.
auto rows_of(std::span<const ColumnEntry> entries) {
  return [entries](auto&& f) {
    for (const ColumnEntry e : entries) f(e.row());
  };
}

// Whether a node summary reads its rows in ascending order of target: one
// output's mae (several outputs' sort each output themselves).
bool by_target(const TreeParams& params) noexcept {
  return params.criterion == Criterion::Mae && params.n_outputs <= 1;
}

// Whether the root of a fit of `n` rows may be searched. The columns are
// sorted only then: their sort is most of the cost of a fit that never splits.
bool root_searched(const TreeParams& params, std::int32_t n_features, std::int64_t n) {
  return params.max_depth > 0 && n_features > 0 && LevelRules::of(params, 0.0).may_search(n);
}

// The tree of a fit whose root may not split: the root alone, from its rows.
template <class Summarizer>
FlatTree root_alone(const Summarizer& summarize, const std::vector<std::uint32_t>& rows,
                    const TargetVector& y, const TreeParams& params, std::int32_t n_features) {
  std::vector<std::uint32_t> sorted;
  if (by_target(params)) {
    sorted = rows;
    std::stable_sort(sorted.begin(), sorted.end(), [&](std::uint32_t a, std::uint32_t b) {
      return order_key(y.data[a]) < order_key(y.data[b]);
    });
  }
  const auto each = [](const std::vector<std::uint32_t>& v) {
    return [&v](auto&& f) {
      for (const std::uint32_t r : v) f(r);
    };
  };
  LevelLoop loop(params, n_features, summarize(each(rows), each(sorted)));
  return loop.take_tree();
}

// Packs which way each row went (goes_left, a byte per row) into one bit per
// row, row r at bit r % 64 of word r / 64; each word by one thread.
void pack_sides(std::span<const std::uint8_t> goes_left, std::span<std::uint64_t> bits,
                int threads) {
  parallel_for((bits.size() + 1023) / 1024, threads_for(goes_left.size(), threads),
               [&](std::size_t block, std::size_t) {
                 const std::size_t last = std::min(bits.size(), (block + 1) * 1024);
                 for (std::size_t w = block * 1024; w < last; ++w) {
                   std::uint64_t word = 0;
                   const std::size_t rows_here =
                       std::min<std::size_t>(64, goes_left.size() - w * 64);
                   for (std::size_t b = 0; b < rows_here; ++b) {
                     word |= static_cast<std::uint64_t>(goes_left[w * 64 + b] & 1u) << b;
                   }
                   bits[w] = word;
                 }
               });
}

// The level loop of exact growth over one kind of columns. `levels` holds the
// frontier's rows and answers for them:
//   frontier()                           the segments' rows (and targets by target)
//   start(rules)                         readies the search under the loop's rules
//   search()                             the level's search: score() and cuts()
//   mark(segment, feature, cut, side)    side[r] = 1 for the rows of the cut's left part
//   partition(splits, bits, rows)        the children's segments replace the frontier
template <class Summarizer, class Levels>
FlatTree grow_levels(const Summarizer& summarize, Levels& levels, const TreeParams& params,
                     std::int32_t n_features, const NodeRowsObserver& on_rows) {
  const FrontierColumns& frontier = levels.frontier();
  const auto sorted_of = [&](std::size_t segment) {
    return by_target(params) ? frontier.target_run(segment) : std::span<const ColumnEntry>{};
  };
  LevelLoop loop(params, n_features, summarize(rows_of(frontier.rows(0)), rows_of(sorted_of(0))));
  levels.start(loop.rules());
  LevelScores scores;
  std::vector<NodeCut> cuts;
  std::vector<std::uint8_t> goes_left(frontier.row_span(), 0);
  std::vector<std::uint64_t> left_bits((frontier.row_span() + 63) / 64, 0);  // the same in bits
  std::vector<std::pair<NodeSummary, NodeSummary>> parts;  // per searched node that splits
  std::vector<NodeSummary> children;
  std::vector<FrontierColumns::Split> splits;

  for (;;) {
    if (on_rows) {
      for (std::size_t s = 0; s < loop.frontier_size(); ++s) {
        on_rows(loop.frontier_id(s), frontier.rows(s));
      }
    }
    if (!loop.next_level()) break;
    const auto nodes = loop.nodes();
    do {
      levels.search().score(nodes, loop.features(), scores);
    } while (loop.choose(scores) < 0 && loop.draw_more());
    const std::int32_t feature = loop.feature();
    if (feature < 0) break;
    levels.search().cuts(nodes, feature, cuts);
    loop.budget(cuts);

    // The children of every node that splits, node by node over the threads
    // (their rows are disjoint).
    parts.assign(nodes.size(), {});
    std::size_t level_rows = 0;
    for (const LevelNode& node : nodes) level_rows += frontier.segment_size(node.position);
    const int threads = threads_for(level_rows, params.n_threads);
    parallel_for(nodes.size(), threads, [&](std::size_t i, std::size_t) {
      if (!cuts[i].valid) return;
      const std::size_t s = nodes[i].position;
      levels.mark(s, feature, cuts[i], goes_left.data());
      const auto sorted = sorted_of(s);
      parts[i] = summarize.children(rows_of(frontier.rows(s)), goes_left.data(),
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
    pack_sides(goes_left, left_bits, params.n_threads);
    levels.partition(splits, left_bits, level_rows);
  }
  return loop.take_tree();
}

// Exact growth over a dense X: every feature's rows sorted once, each node's
// run of a feature scanned, and a cut's sides read from the run's order.
class DenseLevels {
 public:
  DenseLevels(const FeatureMatrix& X, const TargetVector& y, const double* weights,
              std::span<const std::vector<std::uint32_t>> first,
              std::span<const std::int32_t> features, const TreeParams& params)
      : X_(X),
        y_(y),
        weights_(weights),
        params_(params),
        // Several outputs keep no label codes or target column: their scan reads y itself.
        columns_(X, y, first, features, params.n_outputs > 1 ? Criterion::Mse : params.criterion,
                 params.n_threads) {}

  const FrontierColumns& frontier() const noexcept { return columns_; }
  void start(const LevelRules& rules) { search_.emplace(X_, y_, weights_, columns_, rules); }
  ExactSearch& search() noexcept { return *search_; }
  void mark(std::size_t segment, std::int32_t feature, const NodeCut& cut,
            std::uint8_t* goes_left) const {
    mark_sides(columns_.run(segment, feature), cut, X_, feature, goes_left);
  }
  void partition(std::span<const FrontierColumns::Split> splits,
                 std::span<const std::uint64_t> left_bits, std::size_t level_rows) {
    const StageMark moving(
        "moving the sorted rows to the children of a level",
        static_cast<std::size_t>(thread_count(params_.n_threads)) * level_rows * 5);
    columns_.partition(splits, left_bits, params_.n_threads);
  }

 private:
  const FeatureMatrix& X_;
  const TargetVector& y_;
  const double* weights_;
  const TreeParams& params_;
  FrontierColumns columns_;
  std::optional<ExactSearch> search_;
};

// Exact growth over a sparse X held by columns: the segments' rows (and
// targets) in frontier columns of no feature, every feature's stored values in
// sparse columns kept sorted beside them, except indicator columns where their
// histograms serve the fit: those are held by rows and never move.
class SparseLevels {
 public:
  SparseLevels(const SparseMatrix& X, const TargetVector& y, const double* weights,
               std::span<const std::vector<std::uint32_t>> first, const TreeParams& params)
      : y_(y),
        weights_(weights),
        params_(params),
        n_features_(std::max(X.cols, 0)),
        frontier_(FeatureMatrix{nullptr, X.rows, 0, true}, y, first, {},
                  params.n_outputs > 1 ? Criterion::Mse : params.criterion, params.n_threads),
        indicators_(indicators_of(X, first.front(), weights, params)),
        columns_(X, first.front(), params.n_threads,
                 indicators_ ? indicators_->held() : std::span<const std::uint8_t>{}) {}

  const FrontierColumns& frontier() const noexcept { return frontier_; }
  void start(const LevelRules& rules) {
    search_.emplace(columns_, frontier_, y_, weights_, rules, n_features_,
                    indicators_ ? &*indicators_ : nullptr);
  }
  SparseSearch& search() noexcept { return *search_; }
  void mark(std::size_t segment, std::int32_t feature, const NodeCut& cut,
            std::uint8_t* goes_left) const {
    search_->mark(segment, feature, cut, goes_left);
  }
  void partition(std::span<const FrontierColumns::Split> splits,
                 std::span<const std::uint64_t> left_bits, std::size_t) {
    frontier_.partition(splits, left_bits, params_.n_threads);
    columns_.partition(splits, left_bits, params_.n_threads);
    search_->split(splits);
  }

 private:
  static std::optional<IndicatorColumns> indicators_of(const SparseMatrix& X,
                                                       std::span<const std::uint32_t> rows,
                                                       const double* weights,
                                                       const TreeParams& params) {
    if (!IndicatorSearch::serves(params, weights, rows)) return std::nullopt;
    IndicatorColumns columns(X, rows, params.monotonic_cst, params.n_threads);
    if (columns.entries() == 0) return std::nullopt;
    return columns;
  }

  const TargetVector& y_;
  const double* weights_;
  const TreeParams& params_;
  std::int32_t n_features_;
  FrontierColumns frontier_;
  std::optional<IndicatorColumns> indicators_;
  SparseColumns columns_;
  std::optional<SparseSearch> search_;
};

// Grows by `summarize`, NodeSummarizer for one output or MultiSummarizer for several.
template <class Grow>
FlatTree with_summarizer(const TargetVector& y, const double* weights, const TreeParams& params,
                         Grow&& grow) {
  if (params.n_outputs > 1) return grow(MultiSummarizer(y, weights, params));
  return grow(NodeSummarizer(y, weights, params));
}

}  // namespace

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

void mark_sides(std::span<const ColumnEntry> run, const NodeCut& cut, const FeatureMatrix& X,
                std::int32_t feature, std::uint8_t* goes_left) {
  if (cut.left_categories.empty()) {
    // The threshold sends exactly the cut's left part left: the first rows
    // in the feature's order.
    const auto left_size = static_cast<std::size_t>(cut.split_at);
    for (std::size_t k = 0; k < run.size(); ++k) goes_left[run[k].row()] = k < left_size;
    return;
  }
  // The run holds each category's rows together: one look-up per category.
  bool left = false;
  for (std::size_t k = 0; k < run.size(); ++k) {
    const std::uint32_t row = run[k].row();
    if (k == 0 || run[k].new_value()) {
      left = contains_category(cut.left_categories, X.at(static_cast<std::int32_t>(row), feature));
    }
    goes_left[row] = left;
  }
}

FlatTree grow_tree(const FeatureMatrix& X, const TargetVector& y, const double* weights,
                   const TreeParams& params, std::span<const std::uint32_t> root_rows,
                   const NodeRowsObserver& on_rows) {
  check_growth_inputs(X.rows, y.data, y.length, weights, params);
  return with_summarizer(y, weights, params, [&](const auto& summarize) {
    const std::vector<std::vector<std::uint32_t>> first{weighed_rows(X.rows, weights, root_rows)};
    const std::size_t n = first.front().size();
    const std::int32_t n_features = std::max(X.cols, 0);
    if (!root_searched(params, n_features, static_cast<std::int64_t>(n))) {
      return root_alone(summarize, first.front(), y, params, n_features);
    }
    std::vector<std::int32_t> features(static_cast<std::size_t>(n_features));
    std::iota(features.begin(), features.end(), 0);
    // The sorted columns (4 bytes a value), and each sorting thread's keys and values.
    std::optional<StageMark> stage;
    stage.emplace("sorting the values of every feature",
                  (static_cast<std::size_t>(n_features) + 2) * n * 4 +
                      static_cast<std::size_t>(thread_count(params.n_threads)) * n * 32);
    DenseLevels levels(X, y, weights, first, features, params);
    stage.reset();
    return grow_levels(summarize, levels, params, n_features, on_rows);
  });
}

FlatTree grow_tree(const SparseMatrix& X, const TargetVector& y, const double* weights,
                   const TreeParams& params) {
  if (!X.by_column) throw std::invalid_argument("grow_tree: a sparse X must be held by columns");
  if (std::any_of(params.categorical.begin(), params.categorical.end(),
                  [](std::uint8_t c) { return c != 0; })) {
    throw std::invalid_argument("grow_tree: categorical features need a dense X");
  }
  // The beam rebuilds dense frontier columns per partial tree; sparse columns
  // have no such rebuild yet.
  if (params.search == Search::Lookahead) {
    throw std::invalid_argument(
        "search='lookahead' needs a dense X: pass X.toarray(), or use search='greedy' on the "
        "sparse matrix");
  }
  check_growth_inputs(X.rows, y.data, y.length, weights, params);
  return with_summarizer(y, weights, params, [&](const auto& summarize) {
    const std::vector<std::vector<std::uint32_t>> first{weighed_rows(X.rows, weights, {})};
    const std::size_t n = first.front().size();
    const std::int32_t n_features = std::max(X.cols, 0);
    if (!root_searched(params, n_features, static_cast<std::int64_t>(n))) {
      return root_alone(summarize, first.front(), y, params, n_features);
    }
    std::optional<StageMark> stage;
    stage.emplace("sorting the stored values of every feature",
                  static_cast<std::size_t>(X.indptr[n_features]) * 12 + n * 12);
    SparseLevels levels(X, y, weights, first, params);
    stage.reset();
    return grow_levels(summarize, levels, params, n_features, {});
  });
}

}  // namespace qor

namespace qor {

NodeSummary summarize_rows(const TargetVector& y, const double* weights, const TreeParams& params,
                           std::span<const ColumnEntry> rows,
                           std::span<const ColumnEntry> by_target) {
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
      goes_left,
      [&](std::uint8_t side, auto&& f) {
        for (const ColumnEntry e : by_target) {
          if (goes_left[e.row()] == side) f(e.row());
        }
      });
}

}  // namespace qor
