#include "engine/binned/binned_search.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "engine/criteria/impurity.hpp"
#include "engine/exact/cut_scan.hpp"
#include "engine/tree/parallel.hpp"

namespace qor {

struct BinnedSearch::Scratch {
  std::vector<double> after;         // per listed bin j: the sums of the node's bins after j
  std::vector<double> left;          // the sums of the bins up to the current cut
  std::vector<std::int32_t> order;   // categorical: the bins in the node's category order
  std::vector<double> keys;          // categorical: per bin, what its category is ordered by
  std::vector<std::int32_t> rare;    // categorical: the bins of categories too rare to order
};

struct BinnedSearch::Scan {
  bool valid = false;
  std::size_t last_left = 0;  // position in the order of the last bin sent left
  double gain = -std::numeric_limits<double>::infinity();
  std::vector<std::int32_t> order;  // categorical: the order the cut was found in
};

namespace {

// The best cut of one node along `order` (its bins in the order the cut runs
// through; null for bin order), after one of its first `cuttable` positions
// (the rest go right together). Bins without rows are skipped in every sum,
// so a side's sums are those of its bins in that order.
template <bool kOrdered>
BinnedSearch::Scan scan_order(std::span<const double> bins, const std::int32_t* order,
                              std::size_t count, std::size_t cuttable, const double* totals,
                              const StatShape& shape, const LevelRules& rules,
                              const Monotone& monotone, BinnedSearch::Scratch& scratch) {
  BinnedSearch::Scan best;
  if (count < 2) return best;
  const auto width = static_cast<std::size_t>(shape.width);
  const auto bin_at = [&](std::size_t j) {
    return bins.data() + static_cast<std::size_t>(kOrdered ? order[j] : j) * width;
  };
  auto& after = scratch.after;
  after.assign(count * width, 0.0);
  for (std::size_t j = count - 1; j > 0; --j) {
    const double* bin = bin_at(j);
    double* into = after.data() + (j - 1) * width;
    const double* from = after.data() + j * width;
    const bool filled = shape.count(bin) > 0.0;
    for (std::size_t k = 0; k < width; ++k) into[k] = filled ? from[k] + bin[k] : from[k];
  }
  const double node_weight = shape.weight(totals);
  const double parent = shape.impurity(totals, rules.criterion);
  const auto least = static_cast<double>(rules.limits.least_rows());
  auto& left = scratch.left;
  left.assign(width, 0.0);
  const bool poisson = rules.criterion == Criterion::Poisson;
  Best gains;
  for (std::size_t j = 0; j + 1 < count && j < cuttable; ++j) {
    const double* bin = bin_at(j);
    if (!(shape.count(bin) > 0.0)) continue;
    for (std::size_t k = 0; k < width; ++k) left[k] += bin[k];
    const double* right = after.data() + j * width;
    // Right parts only shrink from here on.
    if (shape.count(right) < least) break;
    if (shape.count(left.data()) < least) continue;
    const double left_weight = shape.weight(left.data());
    const double right_weight = shape.weight(right);
    if (!rules.limits.heavy_enough(left_weight, right_weight)) continue;
    // A part whose targets add up to 0 has no Poisson deviance. Its sums of
    // w y add terms >= 0, so they are 0 exactly when none of its rows is above 0.
    if (poisson && !(left[2] > 0.0 && right[2] > 0.0)) continue;
    if (monotone.sign != 0 &&
        !monotone.admits(shape.monotone_value(left.data()), shape.monotone_value(right))) {
      continue;
    }
    const double gain = gain_of(parent, left_weight, right_weight, node_weight,
                                shape.impurity(left.data(), rules.criterion),
                                shape.impurity(right, rules.criterion));
    if (gains.offer(gain)) {
      best.valid = true;
      best.last_left = j;
      best.gain = gain;
    }
  }
  if (best.valid && !rules.counts(best.gain, node_weight)) return {};
  return best;
}

}  // namespace

BinnedSearch::BinnedSearch(const LevelHistograms& histograms, std::span<const double> node_totals,
                           const LevelRules& rules)
    : histograms_(histograms), totals_(node_totals), rules_(rules) {}

BinnedSearch::Scan BinnedSearch::scan(std::size_t slot, std::int32_t feature,
                                      const LevelNode& node, Scratch& scratch) const {
  const StatShape& shape = histograms_.shape();
  const auto width = static_cast<std::size_t>(shape.width);
  const auto bins = histograms_.bins(static_cast<std::int32_t>(slot), feature);
  const double* totals = totals_.data() + slot * width;
  const std::size_t count = bins.size() / width;
  if (!rules_.is_categorical(feature)) {
    return scan_order<false>(bins, nullptr, count, count - 1, totals, shape, rules_,
                             rules_.monotone(feature, node.bounds), scratch);
  }

  // A category is a bin. The node's categories go in the order of their mean
  // target (a binary classifier's second class share), smoothed towards the
  // node's (category_key), and are cut as a numeric feature's bins would be;
  // with more classes, once by each class's share, the best of those cuts
  // winning (ties to the lower class). Equal keys keep code order. Categories
  // with fewer rows than min_category_samples, then the missing values, come
  // last and go right together, as in exact growth.
  const std::int32_t nan_bin = static_cast<std::int32_t>(count) - 1;
  const bool by_class = shape.classifies() && shape.n_classes > 2;
  const std::int32_t orders = by_class ? shape.n_classes : 1;
  // The sums a key divides: a class's weight, or a regressor's sum of w y.
  const std::int32_t second = shape.n_classes > 1 && !by_class ? 1 : 0;
  const std::int32_t summed = shape.classifies() ? shape.first_class() + second : 2;
  const double node_weight = shape.weight(totals);
  Scan best;
  for (std::int32_t o = 0; o < orders; ++o) {
    auto& order = scratch.order;
    auto& keys = scratch.keys;
    auto& rare = scratch.rare;
    order.clear();
    rare.clear();
    keys.assign(count, 0.0);
    const std::int32_t at = summed + (by_class ? o : 0);
    const double prior = node_weight > 0.0 ? totals[at] / node_weight : 0.0;
    for (std::int32_t b = 0; b < nan_bin; ++b) {
      const double* bin = bins.data() + static_cast<std::size_t>(b) * width;
      const double rows = shape.count(bin);
      if (!(rows > 0.0)) continue;
      if (!rules_.places(static_cast<std::int64_t>(rows))) {
        rare.push_back(b);
        continue;
      }
      order.push_back(b);
      keys[static_cast<std::size_t>(b)] =
          category_key(bin[at], shape.weight(bin), prior, rules_.category_smoothing);
    }
    if (order.empty()) break;
    std::stable_sort(order.begin(), order.end(), [&](std::int32_t a, std::int32_t b) {
      return keys[static_cast<std::size_t>(a)] < keys[static_cast<std::size_t>(b)];
    });
    const std::size_t cuttable = order.size();
    order.insert(order.end(), rare.begin(), rare.end());
    order.push_back(nan_bin);
    Scan cut = scan_order<true>(bins, order.data(), order.size(), cuttable, totals, shape, rules_,
                                {}, scratch);
    if (cut.valid && (!best.valid || cut.gain > best.gain)) {
      best = cut;
      best.order = order;
    }
  }
  return best;
}

void BinnedSearch::score(std::span<const LevelNode> nodes, std::span<const std::int32_t> features,
                         LevelScores& scores) const {
  scores.reset(static_cast<std::size_t>(histograms_.layout().features()));
  const std::size_t count = nodes.size();
  if (static_cast<std::int64_t>(count) > histograms_.slots() ||
      totals_.size() != count * static_cast<std::size_t>(histograms_.shape().width)) {
    throw std::invalid_argument("BinnedSearch: one histogram slot and one total per node");
  }
  const int threads = std::max(1, rules_.threads);
  std::vector<BinnedSearch::Scratch> scratch(static_cast<std::size_t>(threads));
  std::vector<double> gain(features.size() * count);
  std::vector<std::uint8_t> valid(features.size() * count, 0);
  parallel_for(features.size(), threads, [&](std::size_t f, std::size_t worker) {
    for (std::size_t i = 0; i < count; ++i) {
      const Scan cut = scan(i, features[f], nodes[i], scratch[worker]);
      valid[f * count + i] = cut.valid ? 1 : 0;
      gain[f * count + i] = cut.gain;
    }
  });
  for (std::size_t f = 0; f < features.size(); ++f) {
    for (std::size_t i = 0; i < count; ++i) {
      if (valid[f * count + i] != 0) {
        scores.add(static_cast<std::size_t>(features[f]), nodes[i].share, nodes[i].root_share,
                   gain[f * count + i]);
      }
    }
  }
}

void BinnedSearch::cuts(std::span<const LevelNode> nodes, std::int32_t feature,
                        std::span<const BinRange> ranges, std::vector<NodeCut>& out) const {
  const StatShape& shape = histograms_.shape();
  const auto width = static_cast<std::size_t>(shape.width);
  const BinLayout& layout = histograms_.layout();
  if (ranges.size() != static_cast<std::size_t>(layout.total())) {
    throw std::invalid_argument("BinnedSearch: the bin ranges have another layout");
  }
  const BinRange* feature_ranges =
      ranges.data() + layout.offset[static_cast<std::size_t>(feature)];
  const std::int32_t nan_bin = layout.bins(feature) - 1;
  BinnedSearch::Scratch scratch;
  out.assign(nodes.size(), NodeCut{});
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    // The same scan again: the same sums to the bit.
    const Scan cut = scan(i, feature, nodes[i], scratch);
    if (!cut.valid) continue;
    NodeCut& node = out[i];
    node.valid = true;
    node.gain = cut.gain;
    if (rules_.is_categorical(feature)) {
      node.threshold = std::numeric_limits<double>::quiet_NaN();
      for (std::size_t j = 0; j <= cut.last_left; ++j) {
        node.left_categories.push_back(static_cast<double>(cut.order[j]));
      }
      std::sort(node.left_categories.begin(), node.left_categories.end());
      continue;
    }
    const auto bins = histograms_.bins(static_cast<std::int32_t>(i), feature);
    const auto last_left = static_cast<std::int32_t>(cut.last_left);
    std::int32_t first_right = last_left + 1;
    while (!(shape.count(bins.data() + static_cast<std::size_t>(first_right) * width) > 0.0)) {
      ++first_right;
    }
    const double below = feature_ranges[last_left].hi;
    node.split_at = last_left;
    node.threshold =
        first_right == nan_bin ? below : cut_threshold(below, feature_ranges[first_right].lo);
  }
}

}  // namespace qor
