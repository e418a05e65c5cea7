#include "engine/exact/exact_growth.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>

#include "engine/criteria/impurity.hpp"
#include "engine/exact/cut_scan.hpp"
#include "engine/exact/frontier_columns.hpp"
#include "engine/exact/exact_search.hpp"
#include "engine/tree/parallel.hpp"

namespace qor {

namespace {

// Rejects what would make growth read outside its inputs, before the model
// changes: a target for every row is required, and classes need real labels.
void check_fit_inputs(const FeatureMatrix& X, const TargetVector& y, TaskKind task) {
  if (X.rows < 0 || X.cols < 0 || y.length < 0) {
    throw std::invalid_argument("fit: negative extent in X or y");
  }
  if (y.length < X.rows) {
    throw std::invalid_argument("fit: y has " + std::to_string(y.length) + " entries but X has " +
                                std::to_string(X.rows) + " rows; every row needs a target");
  }
  if (task == TaskKind::Classification) {
    for (std::int32_t i = 0; i < y.length; ++i) {
      if (std::isnan(y.data[i])) {
        throw std::invalid_argument("fit: y[" + std::to_string(i) +
                                    "] is NaN; classification targets must be labels");
      }
    }
  }
}

// What a node's rows add up to: the FlatTree's statistics and the purity rule.
struct Summary {
  std::int64_t rows = 0;
  double weight = 0.0;
  double impurity = 0.0;
  bool pure = true;  // the rows of positive weight all share one target (or there are none)
  std::vector<double> value;

  NodeStats stats() const { return {rows, weight, impurity, value}; }

  // The value monotonic constraints order: the weighted mean target, or a
  // binary classifier's second class share.
  double monotone_value() const noexcept { return value.size() > 1 ? value[1] : value[0]; }
  // Keeps that value within `bounds` (a binary classifier's shares still add up to 1).
  void clip(const ValueBounds& bounds) {
    if (value.size() > 1) {
      value[1] = bounds.clip(value[1]);
      value[0] = 1.0 - value[1];
    } else {
      value[0] = bounds.clip(value[0]);
    }
  }
};

// Adds up nodes' rows: for_rows calls f(row) for a node's rows in their
// order, for_sorted in ascending order of target (read under Mae only). Sums
// run in those orders.
class Summarizer {
 public:
  Summarizer(const TargetVector& y, const double* weights, const TreeParams& params)
      : y_(y), weights_(weights), params_(params) {}

  template <class ForRows, class ForSorted>
  Summary operator()(ForRows&& for_rows, ForSorted&& for_sorted) const {
    Part part(params_);
    for_rows([&](std::uint32_t r) { add(part, r); });
    return finish(part, for_sorted);
  }

  // Both children of a split in one pass over the parent's rows, side[r] 1
  // for the rows that go left; `for_sorted(side, f)` the children's rows by target.
  template <class ForRows, class ForSorted>
  std::pair<Summary, Summary> children(ForRows&& for_rows, const std::uint8_t* side,
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
    Summary s;
    double sum = 0.0;     // of w y
    double sum_sq = 0.0;  // of (w y) y
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
      p.s.pure = p.s.pure && (p.seen ? t == p.first : t == t);
      p.first = p.seen ? p.first : t;
      p.seen = true;
    }
    if (!params_.node_statistics) return;
    p.sum += w * t;
    p.sum_sq += w * t * t;
    if (!p.class_weight.empty()) {
      p.class_weight[static_cast<std::size_t>(t)] += w;
    } else if (params_.criterion == Criterion::Gini || params_.criterion == Criterion::Entropy) {
      std::size_t slot = p.labels.size();
      if (!std::isnan(t)) slot = p.slot_of.try_emplace(t == 0.0 ? 0.0 : t, slot).first->second;
      if (slot == p.labels.size()) p.labels.push_back(0.0);
      p.labels[slot] += w;
    }
  }

  template <class ForSorted>
  Summary finish(Part& p, ForSorted&& for_sorted) const {
    Summary& s = p.s;
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
      default:
        s.impurity = weighted_mae(
            [&](auto&& f) { for_sorted([&](std::uint32_t r) { f(y_.data[r], weight(r)); }); });
        break;
    }
    return s;
  }

  const TargetVector& y_;
  const double* weights_;
  const TreeParams& params_;
};

}  // namespace

FlatTree grow_tree(const FeatureMatrix& X, const TargetVector& y, const double* weights,
                   const TreeParams& params, std::span<const std::uint32_t> root_rows,
                   const NodeRowsObserver& on_rows) {
  FlatTree tree;
  tree.n_features = std::max(X.cols, 0);
  tree.value_width = params.n_classes > 0 ? params.n_classes : 1;
  std::vector<std::uint32_t> rows(root_rows.begin(), root_rows.end());
  if (root_rows.empty()) {
    // A row of weight 0 is a row removed: it bounds no cut and counts in no node.
    for (std::int32_t r = 0; r < X.rows; ++r) {
      if (weights == nullptr || weights[r] > 0.0) rows.push_back(static_cast<std::uint32_t>(r));
    }
  }
  Summarizer summarize(y, weights, params);
  const auto n = static_cast<std::int64_t>(rows.size());
  if (params.max_depth <= 0 || n < 2 || n < params.min_samples_split || tree.n_features == 0) {
    std::vector<std::uint32_t> by_target = rows;
    if (params.criterion == Criterion::Mae) {
      std::stable_sort(by_target.begin(), by_target.end(), [&](std::uint32_t a, std::uint32_t b) {
        return order_key(y.data[a]) < order_key(y.data[b]);
      });
    }
    tree.add_node(summarize(
                      [&](auto&& f) {
                        for (const std::uint32_t r : rows) f(r);
                      },
                      [&](auto&& f) {
                        for (const std::uint32_t r : by_target) f(r);
                      })
                      .stats());
    return tree;
  }

  std::vector<std::int32_t> features(static_cast<std::size_t>(tree.n_features));
  std::iota(features.begin(), features.end(), 0);
  const std::vector<std::vector<std::uint32_t>> first{std::move(rows)};
  FrontierColumns columns(X, y, first, features, params.criterion, params.n_threads);

  const auto all_of = [](std::span<const ColumnEntry> entries) {
    return [entries](auto&& f) {
      for (const ColumnEntry e : entries) f(e.row());
    };
  };
  const auto sorted_of = [&](std::size_t segment) {
    return params.criterion == Criterion::Mae ? columns.target_run(segment)
                                              : std::span<const ColumnEntry>{};
  };
  const Summary root = summarize(all_of(columns.rows(0)), all_of(sorted_of(0)));
  tree.add_node(root.stats());

  struct Open {
    std::int64_t id;  // in the tree
    double weight;
    bool pure;
    ValueBounds bounds;  // from monotonic constraints
  };
  std::vector<Open> frontier{{0, root.weight, root.pure, {}}};
  std::vector<Open> next;
  LevelRules rules;
  rules.criterion = params.criterion;
  rules.limits = {params.min_samples_leaf, params.min_weight_leaf};
  rules.min_samples_split = params.min_samples_split;
  rules.min_impurity_decrease = params.min_impurity_decrease;
  rules.root_weight = root.weight;
  rules.monotonic_cst = params.monotonic_cst;
  rules.categorical = params.categorical;
  rules.n_classes = params.n_classes;
  rules.threads = params.n_threads;
  std::vector<ValueBounds> bounds;  // per searched node
  LevelSearch search(X, y, weights, columns, rules);
  std::vector<std::uint8_t> goes_left(columns.row_span(), 0);
  std::vector<std::size_t> splittable;
  std::vector<FrontierColumns::Split> splits;
  std::vector<std::pair<Summary, Summary>> children;  // per searched node that splits

  for (std::int32_t depth = 0; depth < params.max_depth; ++depth) {
    if (on_rows) {
      for (std::size_t s = 0; s < frontier.size(); ++s) on_rows(frontier[s].id, columns.rows(s));
    }
    splittable.clear();
    for (std::size_t s = 0; s < frontier.size(); ++s) {
      const auto size = static_cast<std::int64_t>(columns.segment_size(s));
      const bool heavy =
          params.min_weight_leaf <= 0.0 || frontier[s].weight >= 2 * params.min_weight_leaf;
      if (size >= params.min_samples_split && heavy && !frontier[s].pure) splittable.push_back(s);
    }
    if (splittable.empty()) break;
    bounds.clear();
    for (const std::size_t s : splittable) bounds.push_back(frontier[s].bounds);
    const LevelCuts level = search.search(splittable, features, bounds);
    if (level.feature < 0) break;
    tree.depth_features.push_back(level.feature);

    // The children of every node that splits, node by node over the threads
    // (their rows are disjoint), then recorded in level order.
    splits.clear();
    next.clear();
    children.assign(splittable.size(), {});
    std::size_t level_rows = 0;
    for (const std::size_t s : splittable) level_rows += columns.segment_size(s);
    const int threads = threads_for(level_rows, params.n_threads);
    parallel_for(splittable.size(), threads, [&](std::size_t i, std::size_t) {
      const NodeSplit& cut = level.cuts[i];
      if (!cut.valid) return;
      // The threshold sends exactly the cut's left part left: the first rows
      // in the feature's order.
      const std::size_t s = splittable[i];
      const auto run = columns.run(s, level.feature);
      if (level.left_categories.empty()) {
        for (std::size_t k = 0; k < run.size(); ++k) goes_left[run[k].row()] = k < cut.left_size;
      } else {
        // The run holds each category's rows together: one look-up per category.
        bool left = false;
        for (std::size_t k = 0; k < run.size(); ++k) {
          const std::uint32_t row = run[k].row();
          if (k == 0 || run[k].new_value()) {
            left = contains_category(level.left_categories[i],
                                     X.at(static_cast<std::int32_t>(row), level.feature));
          }
          goes_left[row] = left;
        }
      }
      const auto sorted = sorted_of(s);
      children[i] = summarize.children(all_of(columns.rows(s)), goes_left.data(),
                                       [&](std::uint8_t side, auto&& f) {
                                         for (const ColumnEntry e : sorted) {
                                           if (goes_left[e.row()] == side) f(e.row());
                                         }
                                       });
    });
    const std::int8_t sign = params.monotonic_cst.empty() || !level.left_categories.empty()
                                 ? 0
                                 : params.monotonic_cst[static_cast<std::size_t>(level.feature)];
    for (std::size_t i = 0; i < splittable.size(); ++i) {
      const NodeSplit& cut = level.cuts[i];
      if (!cut.valid) continue;
      const std::size_t s = splittable[i];
      auto& [l, r] = children[i];
      // A constrained split's parts meet at the midpoint of their values: the
      // lower part may not rise above it, the upper part not fall below.
      ValueBounds left_bounds = frontier[s].bounds;
      ValueBounds right_bounds = left_bounds;
      if (sign != 0) {
        const double middle = l.monotone_value() * 0.5 + r.monotone_value() * 0.5;
        (sign > 0 ? left_bounds.upper : left_bounds.lower) = middle;
        (sign > 0 ? right_bounds.lower : right_bounds.upper) = middle;
      }
      if (!params.monotonic_cst.empty()) {
        l.clip(left_bounds);
        r.clip(right_bounds);
      }
      if (level.left_categories.empty()) {
        tree.split(frontier[s].id, level.feature, cut.threshold, cut.gain);
      } else {
        tree.split_categorical(frontier[s].id, level.feature, level.left_categories[i], cut.gain);
      }
      next.push_back({tree.add_node(l.stats()), l.weight, l.pure, left_bounds});
      next.push_back({tree.add_node(r.stats()), r.weight, r.pure, right_bounds});
      splits.push_back({s, cut.left_size});
    }
    // Children at max_depth are never searched: their rows need no sorting.
    if (splits.empty() || depth + 1 >= params.max_depth) break;
    columns.partition(splits, goes_left, params.n_threads);
    std::swap(frontier, next);
  }
  return tree;
}

bool is_pure(const TargetVector& y, const Node& node) noexcept {
  if (node.indices.empty()) return true;
  const double first = y.data[node.indices.front()];
  return std::all_of(node.indices.begin(), node.indices.end(),
                     [&](std::size_t r) { return y.data[r] == first; });
}

void partition_rows(const FeatureMatrix& X, const Node& node, std::int32_t feature,
                    double threshold, std::vector<std::size_t>& left_rows,
                    std::vector<std::size_t>& right_rows) {
  left_rows.clear();
  right_rows.clear();
  for (const std::size_t r : node.indices) {
    if (X.at(static_cast<std::int32_t>(r), feature) <= threshold) {
      left_rows.push_back(r);
    } else {
      right_rows.push_back(r);
    }
  }
}

bool QORModel::can_split(const Node& node, std::int32_t depth) const noexcept {
  return depth < params.max_depth &&
         static_cast<std::int32_t>(node.indices.size()) >= params.min_samples_split;
}

void QORModel::fit(const FeatureMatrix& X, const TargetVector& y) {
  check_fit_inputs(X, y, params.task);
  n_features = X.cols;
  depth_features_.clear();
  classes_.clear();
  if (params.task == TaskKind::Classification) {
    std::vector<double> labels(y.data, y.data + y.length);
    std::sort(labels.begin(), labels.end());
    labels.erase(std::unique(labels.begin(), labels.end()), labels.end());
    classes_ = std::move(labels);
  }
  std::vector<std::size_t> rows(static_cast<std::size_t>(X.rows));
  std::iota(rows.begin(), rows.end(), std::size_t{0});
  std::unique_ptr<Node> grown = grow_levels(X, y, std::move(rows));
  std::swap(root, grown);
  // `grown` now holds the previous tree and releases it here.
}

// The native tree is the flat tree's shape with every node's rows: the rows
// are routed down by the same rule that split them, and leaves are finalised.
std::unique_ptr<Node> QORModel::grow_levels(const FeatureMatrix& X, const TargetVector& y,
                                            std::vector<std::size_t> root_rows) {
  TreeParams growth;
  growth.criterion = params.criterion;
  growth.max_depth = params.max_depth;
  growth.min_samples_split = params.min_samples_split;
  growth.min_samples_leaf = params.min_samples_leaf;
  growth.node_statistics = false;  // leaves are finalised from the rows below
  const std::vector<std::uint32_t> rows(root_rows.begin(), root_rows.end());
  // Rows of the nodes growth held as a frontier, taken from it; the others are
  // routed from their parent's rows below.
  std::vector<std::vector<std::size_t>> held;
  std::vector<std::uint8_t> is_held;
  const FlatTree tree =
      grow_tree(X, y, nullptr, growth, rows, [&](std::int64_t id, std::span<const ColumnEntry> in) {
        const auto node = static_cast<std::size_t>(id);
        if (node == 0) return;  // the root keeps root_rows
        if (node >= held.size()) {
          held.resize(node + 1);
          is_held.resize(node + 1, 0);
        }
        held[node].reserve(in.size());
        for (const ColumnEntry e : in) held[node].push_back(e.row());
        is_held[node] = 1;
      });
  for (std::size_t depth = 0; depth < tree.depth_features.size(); ++depth) {
    depth_features_[static_cast<std::int32_t>(depth)] = tree.depth_features[depth];
  }

  auto new_root = std::make_unique<Node>();
  new_root->indices = std::move(root_rows);
  std::vector<Node*> node_at(tree.node_count(), nullptr);
  node_at[0] = new_root.get();
  for (std::size_t id = 0; id < tree.node_count(); ++id) {
    Node& node = *node_at[id];
    if (tree.is_leaf(id)) {
      finalize_leaf(node, y);
      continue;
    }
    node.is_split = true;
    node.split_feature = static_cast<std::int32_t>(tree.feature[id]);
    node.split_threshold = tree.threshold[id];
    node.left = std::make_unique<Node>();
    node.right = std::make_unique<Node>();
    const auto left = static_cast<std::size_t>(tree.children_left[id]);
    const auto right = static_cast<std::size_t>(tree.children_right[id]);
    if (right < is_held.size() && is_held[left] != 0 && is_held[right] != 0) {
      node.left->indices = std::move(held[left]);
      node.right->indices = std::move(held[right]);
    } else {
      partition_rows(X, node, node.split_feature, node.split_threshold, node.left->indices,
                     node.right->indices);
    }
    node_at[left] = node.left.get();
    node_at[right] = node.right.get();
  }
  widest_root_ = new_root.get();
  widest_feature_ = static_cast<std::int32_t>(tree.widest_feature());
  return new_root;
}

}  // namespace qor
