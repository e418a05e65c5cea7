#include "engine/tree/prediction.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "engine/tree/parallel.hpp"

namespace qor {

namespace {

// Rows per task: enough to pay for handing the task out.
constexpr std::size_t kRowsPerTask = 4096;

void check_view(const TreeView& tree) {
  const std::size_t n = tree.children_left.size();
  const bool categories = !tree.category_start.empty() || !tree.category_end.empty();
  if (n == 0 || tree.children_right.size() != n || tree.feature.size() != n ||
      tree.threshold.size() != n ||
      (categories && (tree.category_start.size() != n || tree.category_end.size() != n))) {
    throw std::invalid_argument("tree arrays are empty or of unequal lengths");
  }
}

// Whether `x` is one of the node's left categories (the caller has checked
// that their list lies inside the pool).
bool in_left_categories(const TreeView& tree, std::size_t at, double x) noexcept {
  const auto begin = static_cast<std::size_t>(tree.category_start[at]);
  const auto end = static_cast<std::size_t>(tree.category_end[at]);
  return contains_category(tree.categories_left.subspan(begin, end - begin), x);
}

// Walks row i to its leaf, calling visit(node) at every node passed, the leaf included.
template <class Visit>
std::int64_t walk(const TreeView& tree, const FeatureMatrix& X, std::int32_t row, Visit&& visit) {
  const auto count = static_cast<std::int64_t>(tree.children_left.size());
  std::int64_t node = 0;
  for (;;) {
    visit(node);
    const auto at = static_cast<std::size_t>(node);
    const std::int64_t left = tree.children_left[at];
    if (left < 0) return node;
    const std::int64_t f = tree.feature[at];
    const std::int64_t right = tree.children_right[at];
    if (f < 0 || f >= X.cols || left <= node || right <= node || left >= count || right >= count) {
      throw std::invalid_argument(
          f < 0 || f >= X.cols ? "X has " + std::to_string(X.cols) +
                                     " columns, but the tree splits on feature " + std::to_string(f)
                               : "tree arrays are not a tree: node " + std::to_string(node) +
                                     " has children that do not follow it");
    }
    const double x = X.at(row, static_cast<std::int32_t>(f));
    if (!tree.category_start.empty() && tree.category_end[at] != tree.category_start[at]) {
      const std::int64_t begin = tree.category_start[at];
      const std::int64_t end = tree.category_end[at];
      if (begin < 0 || end < begin ||
          end > static_cast<std::int64_t>(tree.categories_left.size())) {
        throw std::invalid_argument("tree arrays are not a tree: node " + std::to_string(node) +
                                    " has categories outside their list");
      }
      node = in_left_categories(tree, at, x) ? left : right;
    } else {
      node = x <= tree.threshold[at] ? left : right;
    }
  }
}

template <class PerRow>
void for_rows(const FeatureMatrix& X, int threads, PerRow&& per_row) {
  const auto rows = static_cast<std::size_t>(std::max(X.rows, 0));
  const std::size_t tasks = (rows + kRowsPerTask - 1) / kRowsPerTask;
  parallel_for(tasks, threads, [&](std::size_t task, std::size_t) {
    const std::size_t last = std::min(rows, (task + 1) * kRowsPerTask);
    for (std::size_t i = task * kRowsPerTask; i < last; ++i) per_row(i);
  });
}

}  // namespace

void apply_rows(const TreeView& tree, const FeatureMatrix& X, std::span<std::int64_t> leaves,
                int threads) {
  check_view(tree);
  for_rows(X, threads, [&](std::size_t i) {
    leaves[i] = walk(tree, X, static_cast<std::int32_t>(i), [](std::int64_t) {});
  });
}

Paths decision_paths(const TreeView& tree, const FeatureMatrix& X, int threads) {
  check_view(tree);
  const auto rows = static_cast<std::size_t>(std::max(X.rows, 0));
  Paths paths;
  paths.offsets.assign(rows + 1, 0);
  for_rows(X, threads, [&](std::size_t i) {
    std::int64_t length = 0;
    walk(tree, X, static_cast<std::int32_t>(i), [&](std::int64_t) { ++length; });
    paths.offsets[i + 1] = length;
  });
  for (std::size_t i = 0; i < rows; ++i) paths.offsets[i + 1] += paths.offsets[i];
  paths.nodes.resize(static_cast<std::size_t>(paths.offsets[rows]));
  for_rows(X, threads, [&](std::size_t i) {
    auto at = static_cast<std::size_t>(paths.offsets[i]);
    walk(tree, X, static_cast<std::int32_t>(i),
         [&](std::int64_t node) { paths.nodes[at++] = node; });
  });
  return paths;
}

void leaf_values(const TreeView& tree, std::span<const double> value, std::size_t width,
                 const FeatureMatrix& X, std::span<double> out, int threads) {
  check_view(tree);
  if (value.size() != tree.children_left.size() * width) {
    throw std::invalid_argument("tree values do not match its nodes");
  }
  for_rows(X, threads, [&](std::size_t i) {
    const auto leaf =
        static_cast<std::size_t>(walk(tree, X, static_cast<std::int32_t>(i), [](std::int64_t) {}));
    std::copy_n(value.begin() + static_cast<std::ptrdiff_t>(leaf * width), width,
                out.begin() + static_cast<std::ptrdiff_t>(i * width));
  });
}

void leaf_argmax(const TreeView& tree, std::span<const double> value, std::size_t width,
                 const FeatureMatrix& X, std::span<std::int64_t> out, int threads) {
  check_view(tree);
  if (width == 0 || value.size() != tree.children_left.size() * width) {
    throw std::invalid_argument("tree values do not match its nodes");
  }
  for_rows(X, threads, [&](std::size_t i) {
    const auto leaf =
        static_cast<std::size_t>(walk(tree, X, static_cast<std::int32_t>(i), [](std::int64_t) {}));
    const double* row = value.data() + leaf * width;
    // max_element keeps the first of equal largest entries.
    out[i] = std::max_element(row, row + width) - row;
  });
}

}  // namespace qor
