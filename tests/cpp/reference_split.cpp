#include "reference_split.hpp"

#include <algorithm>
#include <cmath>
#include <deque>
#include <limits>
#include <numeric>
#include <span>
#include <utility>

#include "engine/criteria/impurity.hpp"
#include "engine/exact/cut_scan.hpp"
#include "engine/native/class_tally.hpp"

namespace qor::reference {

namespace {

struct Pair {
  double value;       // X at (row, feature)
  double target;      // y at row
  double weight;      // the row's sample weight
  std::size_t order;  // position of the row in the node's list
};

// Ascending, NaN after every number; a strict weak order, so stable_sort keeps
// equal values in the node's order.
bool before(double a, double b) noexcept { return a < b || (!std::isnan(a) && std::isnan(b)); }

// Gini, or entropy in bits, of class weights taken in the order given, each
// term added to a sum from 0.0 and classes of no weight skipped. The package's
// entropy is -sum p log2 p (a share of 0, or the hair below it that a class
// weight found by subtraction keeps, adds nothing); the native model's is
// -sum p log2(p + 1e-10).
double class_measure_of(const std::vector<double>& weights, double total, bool gini,
                        bool guarded) {
  if (total == 0.0) return 0.0;
  double acc = 0.0;
  for (const double weight : weights) {
    if (weight == 0.0) continue;
    const double p = weight / total;
    if (gini) {
      acc += p * p;
    } else if (guarded) {
      acc = acc - std::log2(p + 1e-10) * p;
    } else if (p > 0.0) {
      acc = acc - std::log2(p) * p;
    }
  }
  return gini ? 1.0 - acc : acc;
}

// Mean absolute deviation of a part: its targets copied and sorted ascending
// (equal targets in the node's order), deviations from the weighted median,
// the first target whose running weight passes half the total (on exactly
// half, the mean of it and the next target of positive weight), each
// deviation weighted, added in that order and divided by the total.
double mae_of(std::vector<Pair> part) {
  std::stable_sort(part.begin(), part.end(), [](const Pair& a, const Pair& b) {
    return before(a.target, b.target) || (!before(b.target, a.target) && a.order < b.order);
  });
  double total = 0.0;
  for (const Pair& p : part) total += p.weight;
  if (total == 0.0) return 0.0;
  double median = 0.0;
  double below = 0.0;
  for (std::size_t i = 0; i < part.size(); ++i) {
    if (part[i].weight == 0.0) continue;
    below += part[i].weight;
    median = part[i].target;
    if (below > total * 0.5) break;
    if (below == total * 0.5) {
      for (std::size_t j = i + 1; j < part.size(); ++j) {
        if (part[j].weight == 0.0) continue;
        median = (part[i].target + part[j].target) * 0.5;
        break;
      }
      break;
    }
  }
  double deviation = 0.0;
  for (const Pair& p : part) {
    if (p.weight != 0.0) deviation += p.weight * std::abs(p.target - median);
  }
  return deviation / total;
}

// The literal purity rule: no rows, or every target equal to the first.
bool is_pure(const TargetVector& y, const Node& node) {
  if (node.indices.empty()) return true;
  const double first = y.data[node.indices.front()];
  return std::all_of(node.indices.begin(), node.indices.end(),
                     [&](std::size_t r) { return y.data[r] == first; });
}

double weight_of(const double* weights, std::size_t row) { return weights ? weights[row] : 1.0; }

}  // namespace

NodeSplit find_node_threshold(const FeatureMatrix& X, const TargetVector& y, const double* weights,
                              const std::vector<std::size_t>& rows, std::int32_t feature,
                              const Rules& rules) {
  const std::size_t n = rows.size();
  if (static_cast<std::int64_t>(n) < rules.min_samples_split || n == 0) return {};

  std::vector<Pair> pairs;
  double total = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t r = rows[i];
    pairs.push_back(
        {X.at(static_cast<std::int32_t>(r), feature), y.data[r], weight_of(weights, r), i});
    total += pairs.back().weight;
  }
  std::stable_sort(pairs.begin(), pairs.end(),
                   [](const Pair& a, const Pair& b) { return before(a.value, b.value); });
  if (pairs.front().value == pairs.back().value) return {};

  double best_gain = -std::numeric_limits<double>::infinity();
  double best_threshold = 0.0;
  bool found = false;

  const Criterion criterion = rules.criterion;
  const bool tally = criterion == Criterion::Gini || criterion == Criterion::Entropy;
  std::vector<std::size_t> slot_at;
  std::vector<double> left_counts;
  std::vector<double> right_counts;
  double sum = 0.0;
  double sum_sq = 0.0;
  double left_sum = 0.0;
  double left_sum_sq = 0.0;
  double parent = 0.0;
  // poisson: rows whose target is above 0, in the node and in the left part
  std::size_t above = 0;
  std::size_t left_above = 0;

  std::vector<double> ordered;  // scratch: counts in the order their terms are added
  std::vector<std::size_t> order;
  const auto class_measure = [&](const std::vector<double>& counts, double w) {
    ordered.clear();
    for (const std::size_t slot : order) ordered.push_back(counts[slot]);
    return class_measure_of(ordered, w, criterion == Criterion::Gini, !rules.by_class);
  };
  if (tally) {
    // Slots by first occurrence along the feature; each slot's weight added
    // up in the node's row order.
    ClassTally labels(/*keep_labels=*/true);
    std::vector<std::size_t> slot_of_order(n);
    for (const Pair& p : pairs) {
      slot_at.push_back(labels.add(p.target));
      slot_of_order[p.order] = slot_at.back();
    }
    right_counts.assign(labels.slot_count(), 0.0);
    for (std::size_t i = 0; i < n; ++i) {
      right_counts[slot_of_order[i]] += weight_of(weights, rows[i]);
    }
    order.resize(labels.slot_count());
    std::iota(order.begin(), order.end(), std::size_t{0});
    if (rules.by_class) {
      std::sort(order.begin(), order.end(),
                [&](std::size_t a, std::size_t b) { return labels.labels()[a] < labels.labels()[b]; });
    }
    parent = class_measure(right_counts, total);
    left_counts.assign(labels.slot_count(), 0.0);
  } else if (criterion == Criterion::Mse) {
    for (const Pair& p : pairs) {
      sum += p.weight * p.target;
      sum_sq += p.weight * p.target * p.target;
    }
    parent = mse_impurity(sum, sum_sq, total);
  } else if (criterion == Criterion::Poisson) {
    // sum_sq holds the sum of the rows' terms (w y) log y.
    for (const Pair& p : pairs) {
      sum += p.weight * p.target;
      sum_sq += poisson_term(p.weight * p.target, p.target);
      above += p.target > 0.0 ? 1 : 0;
    }
    parent = poisson_impurity(sum, sum_sq, total);
  } else {
    parent = mae_of(pairs);
  }

  double w_left = 0.0;
  for (std::size_t k = 0; k + 1 < n; ++k) {
    const Pair& p = pairs[k];
    w_left += p.weight;
    if (tally) {
      left_counts[slot_at[k]] += p.weight;
      right_counts[slot_at[k]] -= p.weight;
    } else if (criterion == Criterion::Mse) {
      left_sum += p.weight * p.target;
      left_sum_sq += p.weight * p.target * p.target;
    } else if (criterion == Criterion::Poisson) {
      left_sum += p.weight * p.target;
      left_sum_sq += poisson_term(p.weight * p.target, p.target);
      left_above += p.target > 0.0 ? 1 : 0;
    }

    const double here = p.value;
    const double next = pairs[k + 1].value;
    const std::size_t n_left = k + 1;
    const std::size_t n_right = n - n_left;
    const double w_right = total - w_left;
    // Missing values are equal to each other and differ from every number.
    if (std::isnan(here) || !(here != next)) continue;
    if (static_cast<std::int64_t>(n_left) < rules.min_samples_leaf ||
        static_cast<std::int64_t>(n_right) < rules.min_samples_leaf) {
      continue;
    }
    if (rules.min_weight_leaf > 0.0 &&
        (w_left < rules.min_weight_leaf || w_right < rules.min_weight_leaf)) {
      continue;
    }

    double left_impurity = 0.0;
    double right_impurity = 0.0;
    switch (criterion) {
      case Criterion::Gini:
      case Criterion::Entropy:
        left_impurity = class_measure(left_counts, w_left);
        right_impurity = class_measure(right_counts, w_right);
        break;
      case Criterion::Mse:
        left_impurity = mse_impurity(left_sum, left_sum_sq, w_left);
        right_impurity = mse_impurity(sum - left_sum, sum_sq - left_sum_sq, w_right);
        break;
      case Criterion::Poisson:
        // A part whose targets add up to 0 has no deviance: no cut makes one.
        if (left_above == 0 || left_above == above) continue;
        left_impurity = poisson_impurity(left_sum, left_sum_sq, w_left);
        right_impurity = poisson_impurity(sum - left_sum, sum_sq - left_sum_sq, w_right);
        break;
      default:
        left_impurity =
            mae_of({pairs.begin(), pairs.begin() + static_cast<std::ptrdiff_t>(n_left)});
        right_impurity = mae_of({pairs.begin() + static_cast<std::ptrdiff_t>(n_left), pairs.end()});
        break;
    }
    const double share_left = w_left / total;
    const double share_right = w_right / total;
    const double gain = parent - (share_left * left_impurity + share_right * right_impurity);
    if (gain > best_gain) {
      best_gain = gain;
      best_threshold = cut_threshold(here, next);
      found = true;
    }
  }
  if (!found) return {};
  if (rules.min_impurity_decrease > 0.0 &&
      !(total / rules.root_weight * best_gain >= rules.min_impurity_decrease)) {
    return {};
  }
  return {true, best_threshold, best_gain};
}

namespace {

// The level's feature over nodes given by their row lists.
std::pair<std::int32_t, std::vector<NodeSplit>> level_of(
    const FeatureMatrix& X, const TargetVector& y, const double* weights,
    const std::vector<const std::vector<std::size_t>*>& nodes, const Rules& rules) {
  double best_score = -std::numeric_limits<double>::infinity();
  std::int32_t best_feature = -1;
  std::vector<NodeSplit> best;
  for (std::int32_t f = 0; f < X.cols; ++f) {
    double score = 0.0;
    bool some = false;
    std::vector<NodeSplit> cuts;
    for (const auto* rows : nodes) {
      cuts.push_back(find_node_threshold(X, y, weights, *rows, f, rules));
      if (cuts.back().valid) {
        score += cuts.back().gain;
        some = true;
      }
    }
    if (some && score > best_score) {
      best_score = score;
      best_feature = f;
      best = std::move(cuts);
    }
  }
  return {best_feature, best};
}

}  // namespace

probe::LevelSplit choose_level_split(const QORModel& model, const FeatureMatrix& X, const TargetVector& y,
                              const std::vector<Node*>& nodes) {
  std::vector<const std::vector<std::size_t>*> lists;
  for (const Node* node : nodes) lists.push_back(&node->indices);
  const Rules rules{model.params.criterion, model.params.min_samples_split,
                    model.params.min_samples_leaf};
  probe::LevelSplit best;
  if (model.n_features <= 0) return best;
  const auto [feature, cuts] = level_of(X, y, nullptr, lists, rules);
  best.feature = feature;
  for (std::size_t i = 0; i < nodes.size() && feature >= 0; ++i) {
    if (cuts[i].valid) best.thresholds.emplace(nodes[i], cuts[i].threshold);
  }
  return best;
}

void fit(QORModel& model, const FeatureMatrix& X, const TargetVector& y) {
  model.n_features = X.cols;
  model.depth_features_.clear();
  model.classes_.clear();
  if (model.params.task == TaskKind::Classification) {
    std::vector<double> labels(y.data, y.data + y.length);
    std::sort(labels.begin(), labels.end());
    labels.erase(std::unique(labels.begin(), labels.end()), labels.end());
    model.classes_ = std::move(labels);
  }
  auto root = std::make_unique<Node>();
  root->indices.resize(static_cast<std::size_t>(X.rows));
  std::iota(root->indices.begin(), root->indices.end(), std::size_t{0});

  std::vector<Node*> frontier{root.get()};
  for (std::int32_t depth = 0; depth < model.params.max_depth && !frontier.empty(); ++depth) {
    std::vector<Node*> splittable;
    for (Node* node : frontier) {
      const bool can_split =
          static_cast<std::int32_t>(node->indices.size()) >= model.params.min_samples_split;
      if (!can_split || is_pure(y, *node)) {
        model.finalize_leaf(*node, y);
      } else {
        splittable.push_back(node);
      }
    }
    frontier.clear();
    if (splittable.empty()) break;
    const probe::LevelSplit level = choose_level_split(model, X, y, splittable);
    if (level.feature < 0) {
      for (Node* node : splittable) model.finalize_leaf(*node, y);
      break;
    }
    model.depth_features_[depth] = level.feature;
    for (Node* node : splittable) {
      const auto entry = level.thresholds.find(node);
      if (entry == level.thresholds.end()) {
        model.finalize_leaf(*node, y);
        continue;
      }
      std::vector<std::size_t> left_rows;
      std::vector<std::size_t> right_rows;
      partition_rows(X, *node, level.feature, entry->second, left_rows, right_rows);
      if (left_rows.empty() || right_rows.empty()) {
        model.finalize_leaf(*node, y);
        continue;
      }
      node->is_split = true;
      node->split_feature = level.feature;
      node->split_threshold = entry->second;
      node->left = std::make_unique<Node>();
      node->left->indices = std::move(left_rows);
      node->right = std::make_unique<Node>();
      node->right->indices = std::move(right_rows);
      frontier.push_back(node->left.get());
      frontier.push_back(node->right.get());
    }
  }
  for (Node* node : frontier) {
    if (!node->is_finalized) model.finalize_leaf(*node, y);
  }
  model.root = std::move(root);
}

FlatTree grow(const FeatureMatrix& X, const TargetVector& y, const double* weights,
              const TreeParams& params) {
  FlatTree tree;
  tree.n_features = X.cols;
  tree.value_width = 1;
  const double zero = 0.0;
  const auto add = [&](const std::vector<std::size_t>& rows) {
    double w = 0.0;
    for (const std::size_t r : rows) w += weight_of(weights, r);
    return tree.add_node({static_cast<std::int64_t>(rows.size()), w, 0.0, {&zero, 1}});
  };
  // Pure: the rows of positive weight all carry one target (a NaN never matches).
  const auto pure = [&](const std::vector<std::size_t>& rows) {
    bool seen = false;
    double first = 0.0;
    for (const std::size_t r : rows) {
      if (!(weight_of(weights, r) > 0.0)) continue;
      if (seen ? !(y.data[r] == first) : !(y.data[r] == y.data[r])) return false;
      first = seen ? first : y.data[r];
      seen = true;
    }
    return true;
  };

  std::deque<std::vector<std::size_t>> rows_of(1);  // by node id; stays put as it grows
  for (std::size_t r = 0; r < static_cast<std::size_t>(X.rows); ++r) {
    if (weight_of(weights, r) > 0.0) rows_of[0].push_back(r);  // weight 0: a row removed
  }
  add(rows_of[0]);
  Rules rules{params.criterion,
              params.min_samples_split,
              params.min_samples_leaf,
              params.min_weight_leaf,
              params.min_impurity_decrease,
              tree.weighted_n_node_samples[0],
              params.n_classes > 0};
  std::vector<std::int64_t> frontier{0};
  for (std::int32_t depth = 0; depth < params.max_depth && !frontier.empty(); ++depth) {
    std::vector<const std::vector<std::size_t>*> splittable;
    std::vector<std::int64_t> ids;
    for (const std::int64_t id : frontier) {
      const auto& rows = rows_of[static_cast<std::size_t>(id)];
      const double w = tree.weighted_n_node_samples[static_cast<std::size_t>(id)];
      const bool heavy = params.min_weight_leaf <= 0.0 || w >= 2 * params.min_weight_leaf;
      if (static_cast<std::int64_t>(rows.size()) >= params.min_samples_split && heavy &&
          !pure(rows)) {
        splittable.push_back(&rows);
        ids.push_back(id);
      }
    }
    frontier.clear();
    if (splittable.empty()) break;
    const auto [feature, cuts] = level_of(X, y, weights, splittable, rules);
    if (feature < 0) break;
    tree.depth_features.push_back(feature);
    for (std::size_t i = 0; i < ids.size(); ++i) {
      if (!cuts[i].valid) continue;
      std::vector<std::size_t> left;
      std::vector<std::size_t> right;
      for (const std::size_t r : *splittable[i]) {
        (X.at(static_cast<std::int32_t>(r), feature) <= cuts[i].threshold ? left : right)
            .push_back(r);
      }
      if (left.empty() || right.empty()) continue;
      tree.split(ids[i], feature, cuts[i].threshold, cuts[i].gain);
      frontier.push_back(add(left));
      rows_of.push_back(std::move(left));
      frontier.push_back(add(right));
      rows_of.push_back(std::move(right));
    }
  }
  return tree;
}

}  // namespace qor::reference
