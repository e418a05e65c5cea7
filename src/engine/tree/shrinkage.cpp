#include "engine/tree/shrinkage.hpp"

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace qor {

namespace {

void check_shrinkable(const TreeView& tree, std::span<const double> weight,
                      std::span<const double> value, std::size_t width, double shrinkage) {
  if (!(shrinkage >= 0.0) || !std::isfinite(shrinkage)) {
    throw std::invalid_argument("shrinkage must be a finite number >= 0, not " +
                                std::to_string(shrinkage));
  }
  const std::size_t nodes = tree.children_left.size();
  if (tree.children_right.size() != nodes || weight.size() != nodes || width == 0 ||
      value.size() != nodes * width) {
    throw std::invalid_argument(
        "shrinkage needs children, weights and values of one length: one entry per node "
        "(values: width per node)");
  }
  for (std::size_t node = 0; node < nodes; ++node) {
    const std::int64_t left = tree.children_left[node];
    const std::int64_t right = tree.children_right[node];
    if (left == kTreeLeaf && right == kTreeLeaf) continue;
    const auto after = static_cast<std::int64_t>(node);
    const auto end = static_cast<std::int64_t>(nodes);
    if (left <= after || right <= after || left >= end || right >= end) {
      throw std::invalid_argument("shrinkage needs every child after its parent; node " +
                                  std::to_string(node) + " has children " + std::to_string(left) +
                                  " and " + std::to_string(right));
    }
  }
}

}  // namespace

std::vector<double> shrunk_values(const TreeView& tree,
                                  std::span<const double> weighted_n_node_samples,
                                  std::span<const double> value, std::size_t width,
                                  double shrinkage) {
  check_shrinkable(tree, weighted_n_node_samples, value, width, shrinkage);
  std::vector<double> shrunk(value.begin(), value.end());
  if (shrinkage == 0.0) return shrunk;
  // Parents come first, so a parent's value' is final before its children read it.
  for (std::size_t parent = 0; parent < tree.children_left.size(); ++parent) {
    if (tree.children_left[parent] == kTreeLeaf) continue;
    const double q = shrinkage / weighted_n_node_samples[parent];
    const double s = 1.0 + q;  // +inf for a parent without weight: d / s is 0
    const std::size_t from = parent * width;
    for (const std::int64_t child : {tree.children_left[parent], tree.children_right[parent]}) {
      const std::size_t to = static_cast<std::size_t>(child) * width;
      for (std::size_t k = 0; k < width; ++k) {
        const double d = value[to + k] - value[from + k];
        shrunk[to + k] = shrunk[from + k] + d / s;
      }
    }
  }
  return shrunk;
}

}  // namespace qor
