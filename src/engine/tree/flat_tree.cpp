#include "engine/tree/flat_tree.hpp"

#include <algorithm>
#include <limits>

namespace qor {

std::int64_t FlatTree::add_node(const NodeStats& stats) {
  const auto id = static_cast<std::int64_t>(node_count());
  children_left.push_back(kTreeLeaf);
  children_right.push_back(kTreeLeaf);
  feature.push_back(kUndefinedFeature);
  threshold.push_back(kUndefinedThreshold);
  impurity.push_back(stats.impurity);
  n_node_samples.push_back(stats.n_node_samples);
  weighted_n_node_samples.push_back(stats.weighted_n_node_samples);
  gain.push_back(0.0);
  category_start.push_back(0);
  category_end.push_back(0);
  value.insert(value.end(), stats.value.begin(), stats.value.end());
  value.resize(node_count() * static_cast<std::size_t>(value_width), 0.0);
  return id;
}

void FlatTree::split(std::int64_t node, std::int64_t split_feature, double split_threshold,
                     double split_gain) {
  const auto at = static_cast<std::size_t>(node);
  children_left[at] = static_cast<std::int64_t>(node_count());
  children_right[at] = children_left[at] + 1;
  feature[at] = split_feature;
  threshold[at] = split_threshold;
  gain[at] = split_gain;
}

void FlatTree::split_categorical(std::int64_t node, std::int64_t split_feature,
                                 std::span<const double> left, double split_gain) {
  split(node, split_feature, std::numeric_limits<double>::quiet_NaN(), split_gain);
  const auto at = static_cast<std::size_t>(node);
  category_start[at] = static_cast<std::int64_t>(categories_left.size());
  categories_left.insert(categories_left.end(), left.begin(), left.end());
  category_end[at] = static_cast<std::int64_t>(categories_left.size());
}

std::int64_t FlatTree::widest_feature() const noexcept {
  std::int64_t widest = -1;
  for (const std::int64_t f : feature) widest = std::max(widest, f);
  return widest;
}

}  // namespace qor
