#include "engine/level/level_loop.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>
#include <string>
#include <utility>

namespace qor {

LevelRules LevelRules::of(const TreeParams& params, double root_weight) {
  LevelRules rules;
  rules.criterion = params.criterion;
  rules.n_classes = params.n_classes;
  rules.n_outputs = std::max(params.n_outputs, 1);
  rules.output_classes = params.output_classes;
  rules.max_depth = params.max_depth;
  rules.min_samples_split = params.min_samples_split;
  rules.limits.min_samples_leaf = params.min_samples_leaf;
  rules.limits.min_weight_leaf =
      std::max(params.min_weight_leaf, params.min_weight_fraction_leaf * root_weight);
  rules.min_impurity_decrease = params.min_impurity_decrease;
  rules.level_score = params.level_score;
  rules.root_weight = root_weight;
  rules.monotonic_cst = params.monotonic_cst;
  rules.categorical = params.categorical;
  rules.min_category_samples = std::max(params.min_category_samples, 1);
  rules.category_smoothing = params.category_smoothing > 0.0 ? params.category_smoothing : 0.0;
  rules.threads = std::max(params.n_threads, 1);
  return rules;
}

void check_growth_inputs(std::int64_t rows, const double* y, std::int64_t y_length,
                         const double* weights, const TreeParams& params) {
  if (rows < 0 || y_length < rows) {
    throw std::invalid_argument("y has " + std::to_string(y_length) + " entries but X has " +
                                std::to_string(rows) + " rows; every row needs a target");
  }
  if (params.n_classes < 0) throw std::invalid_argument("n_classes must be >= 0");
  const std::int32_t outputs = params.n_outputs;
  if (outputs < 1) throw std::invalid_argument("n_outputs must be >= 1");
  if (outputs > 1) {
    if (params.criterion == Criterion::Poisson) {
      throw std::invalid_argument("poisson is not supported with several outputs");
    }
    if (params.n_classes > 0 &&
        (params.output_classes.size() != static_cast<std::size_t>(outputs) ||
         std::any_of(params.output_classes.begin(), params.output_classes.end(),
                     [&](std::int32_t c) { return c < 1 || c > params.n_classes; }))) {
      throw std::invalid_argument(
          "output_classes needs each output's classes, from 1 to n_classes");
    }
    if (!params.monotonic_cst.empty()) {
      throw std::invalid_argument("monotonic_cst is not supported with several outputs");
    }
    if (std::find(params.categorical.begin(), params.categorical.end(), 1) !=
        params.categorical.end()) {
      throw std::invalid_argument("categorical features are not supported with several outputs");
    }
  }
  for (std::int64_t r = 0; r < rows; ++r) {
    const auto at = static_cast<std::size_t>(r);
    for (std::int32_t k = 0; k < outputs; ++k) {
      const std::int32_t classes = outputs > 1 && params.n_classes > 0
                                       ? params.output_classes[static_cast<std::size_t>(k)]
                                       : params.n_classes;
      const double label = y[static_cast<std::size_t>(k) * static_cast<std::size_t>(y_length) + at];
      if (classes > 0 && !(label >= 0.0 && label < classes && label == std::floor(label))) {
        const std::string name = outputs > 1 ? "y[:, " + std::to_string(k) + "]" : "y";
        throw std::invalid_argument(name + "[" + std::to_string(r) + "] = " +
                                    std::to_string(label) + " is not a class code in [0, " +
                                    std::to_string(classes) + ")");
      }
    }
    if (params.criterion == Criterion::Poisson && !(y[at] >= 0.0)) {
      throw std::invalid_argument("y[" + std::to_string(r) + "] = " + std::to_string(y[at]) +
                                  " is negative: poisson needs targets >= 0");
    }
    if (weights != nullptr && !(weights[at] >= 0.0 && std::isfinite(weights[at]))) {
      throw std::invalid_argument("sample_weight[" + std::to_string(r) +
                                  "] = " + std::to_string(weights[at]) +
                                  " is not a finite weight >= 0");
    }
  }
}

LevelLoop::LevelLoop(const TreeParams& params, std::int32_t n_features, const NodeSummary& root)
    : rules_(LevelRules::of(params, root.weight)),
      max_leaf_nodes_(std::max<std::int64_t>(params.max_leaf_nodes, 0)),
      random_(params.random_seed) {
  tree_.n_features = std::max(n_features, 0);
  tree_.value_width = (params.n_classes > 0 ? params.n_classes : 1) * std::max(params.n_outputs, 1);
  value_.resize(static_cast<std::size_t>(tree_.value_width));
  features_.resize(static_cast<std::size_t>(tree_.n_features));
  std::iota(features_.begin(), features_.end(), 0);
  if (params.max_features > 0 && params.max_features < tree_.n_features) {
    max_features_ = static_cast<std::size_t>(params.max_features);
    order_ = features_;
  }
  if (rules_.criterion == Criterion::Poisson && !root.value.empty() && !(root.value[0] > 0.0)) {
    throw std::invalid_argument(
        "poisson needs targets whose weighted sum is above 0: the deviance of a mean of 0 is "
        "undefined");
  }
  tree_.add_node(root.stats());
  frontier_.push_back({0, root.rows, root.weight, root.single_target, {}});
  over_ = features_.empty();
}

bool LevelLoop::next_level() {
  nodes_.clear();
  feature_ = -1;
  if (over_ || (max_leaf_nodes_ > 0 && leaves_ >= max_leaf_nodes_)) {
    over_ = true;
    return false;
  }
  for (std::size_t i = 0; i < frontier_.size(); ++i) {
    const Open& node = frontier_[i];
    if (rules_.may_split(depth_, node.rows, node.weight, node.single_target)) {
      nodes_.push_back({i, node.rows, node.weight, node.bounds});
    }
  }
  double level_weight = 0.0;
  for (const LevelNode& node : nodes_) level_weight += node.weight;
  for (LevelNode& node : nodes_) {
    if (rules_.level_score == LevelScore::Weighted) node.share = node.weight / level_weight;
    node.root_share = rules_.root_weight > 0.0 ? node.weight / rules_.root_weight : 0.0;
  }
  over_ = nodes_.empty();
  if (!over_ && max_features_ > 0) {
    // A fresh order of all the features for every level (Fisher-Yates), offered
    // max_features at a time.
    for (std::size_t i = order_.size() - 1; i > 0; --i) {
      std::swap(order_[i], order_[static_cast<std::size_t>(random_.below(i + 1))]);
    }
    drawn_ = 0;
    offer_draw();
  }
  return !over_;
}

void LevelLoop::offer_draw() {
  const std::size_t end = std::min(order_.size(), drawn_ + max_features_);
  features_.assign(order_.begin() + static_cast<std::ptrdiff_t>(drawn_),
                   order_.begin() + static_cast<std::ptrdiff_t>(end));
  std::sort(features_.begin(), features_.end());
  drawn_ = end;
}

std::int32_t LevelLoop::choose(const LevelScores& scores) {
  const auto n_features = static_cast<std::size_t>(tree_.n_features);
  if (scores.score.size() != n_features || scores.cuts_some_node.size() != n_features) {
    throw std::invalid_argument("LevelLoop::choose: one score per feature is needed");
  }
  feature_ = choose_feature(scores);
  if (feature_ < 0) {
    over_ = true;
    return feature_;
  }
  tree_.depth_features.push_back(feature_);
  return feature_;
}

bool LevelLoop::draw_more() {
  if (feature_ >= 0 || nodes_.empty() || max_features_ == 0 || drawn_ >= order_.size()) {
    return false;
  }
  offer_draw();
  over_ = false;
  return true;
}

void LevelLoop::budget(std::span<NodeCut> cuts) const {
  if (max_leaf_nodes_ <= 0) return;
  if (cuts.size() != nodes_.size()) {
    throw std::logic_error("LevelLoop::budget: one cut per searched node");
  }
  std::vector<std::size_t> valid;
  for (std::size_t i = 0; i < cuts.size(); ++i) {
    if (cuts[i].valid) valid.push_back(i);
  }
  // Every split turns a leaf into two.
  const auto room = static_cast<std::size_t>(std::max<std::int64_t>(max_leaf_nodes_ - leaves_, 0));
  if (valid.size() <= room) return;
  const auto weighted_gain = [&](std::size_t i) { return nodes_[i].weight * cuts[i].gain; };
  std::stable_sort(valid.begin(), valid.end(), [&](std::size_t a, std::size_t b) {
    return weighted_gain(a) > weighted_gain(b);
  });
  for (std::size_t k = room; k < valid.size(); ++k) {
    NodeCut& cut = cuts[valid[k]];
    cut = NodeCut{};
  }
}

void LevelLoop::split(std::span<const NodeCut> cuts, std::span<const NodeSummary> children) {
  if (feature_ < 0 || cuts.size() != nodes_.size()) {
    throw std::logic_error("LevelLoop::split: one cut per searched node, after choose()");
  }
  std::size_t splits = 0;
  for (const NodeCut& cut : cuts) splits += cut.valid ? 1 : 0;
  if (children.size() != 2 * splits) {
    throw std::invalid_argument("LevelLoop::split: two children per valid cut are needed");
  }
  const bool categorical = rules_.is_categorical(feature_);
  const std::int32_t sign = rules_.monotone(feature_, {}).sign;
  const bool constrained = !rules_.monotonic_cst.empty();
  std::vector<Open> next;
  next.reserve(children.size());
  std::size_t k = 0;
  for (std::size_t i = 0; i < cuts.size(); ++i) {
    const NodeCut& cut = cuts[i];
    if (!cut.valid) continue;
    const Open& parent = frontier_[nodes_[i].position];
    const NodeSummary& left = children[k++];
    const NodeSummary& right = children[k++];
    // A constrained split's parts meet at the midpoint of their values: the
    // lower part may not rise above it, the upper part not fall below. The
    // midpoint is kept within the parent's own bounds: a search admits cuts by
    // their parts' means, and a median leaf's value can lie outside the bounds
    // its mean kept, which would hand a child bounds beyond its ancestors'.
    ValueBounds left_bounds = parent.bounds;
    ValueBounds right_bounds = parent.bounds;
    if (sign != 0) {
      const double middle = parent.bounds.clip(monotone_value(left.value) * 0.5 +
                                               monotone_value(right.value) * 0.5);
      (sign > 0 ? left_bounds.upper : left_bounds.lower) = middle;
      (sign > 0 ? right_bounds.lower : right_bounds.upper) = middle;
    }
    if (categorical) {
      tree_.split_categorical(parent.id, feature_, cut.left_categories, cut.gain);
    } else {
      tree_.split(parent.id, feature_, cut.threshold, cut.gain);
    }
    for (const auto& [child, bounds] : {std::pair{&left, left_bounds}, std::pair{&right, right_bounds}}) {
      NodeStats stats = child->stats();
      if (constrained && !child->value.empty()) {
        value_.assign(child->value.begin(), child->value.end());
        clip_value(value_, bounds);
        stats.value = value_;
      }
      const std::int64_t id = tree_.add_node(stats);
      next.push_back({id, child->rows, child->weight, child->single_target, bounds});
    }
    ++leaves_;
  }
  frontier_ = std::move(next);
  nodes_.clear();
  ++depth_;
  over_ = over_ || frontier_.empty();
}

}  // namespace qor
