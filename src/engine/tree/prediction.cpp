#include "engine/tree/prediction.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "engine/tree/parallel.hpp"

namespace qor {

namespace {

// Every walk below stays inside the tree and inside X once this passes.
void check_predictable(const QORModel& model, const FeatureMatrix& X) {
  if (model.root == nullptr) {
    throw std::logic_error("This QORModel is not fitted yet: call fit(X, y) before predicting");
  }
  const std::int32_t widest = model.widest_split_feature();
  if (widest >= X.cols) {
    throw std::invalid_argument(
        "X has " + std::to_string(X.cols) + " columns, but the tree splits on feature " +
        std::to_string(widest) + " and needs at least " + std::to_string(widest + 1));
  }
}

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

std::int32_t QORModel::widest_split_feature() const {
  if (root == nullptr) return -1;
  if (root.get() == widest_root_) return widest_feature_;
  std::int32_t widest = -1;
  std::vector<const Node*> pending{root.get()};
  while (!pending.empty()) {
    const Node* node = pending.back();
    pending.pop_back();
    if (node->is_leaf()) continue;
    widest = std::max(widest, node->split_feature);
    if (node->left) pending.push_back(node->left.get());
    if (node->right) pending.push_back(node->right.get());
  }
  return widest;
}

const Node& leaf_for_row(const FeatureMatrix& X, std::size_t i, const Node& start) noexcept {
  const Node* node = &start;
  const auto row = static_cast<std::int32_t>(i);
  while (!node->is_leaf()) {
    const double x = X.at(row, node->split_feature);
    node = x <= node->split_threshold ? node->left.get() : node->right.get();
  }
  return *node;
}

double predict_row(const FeatureMatrix& X, std::size_t i, const Node& start) noexcept {
  return leaf_for_row(X, i, start).value;
}

std::vector<double> predict_proba_row(const FeatureMatrix& X, std::size_t i, const Node& start,
                                      std::size_t n_classes) {
  const Node& leaf = leaf_for_row(X, i, start);
  std::vector<double> p(n_classes, 0.0);
  const std::vector<double>& counts = leaf.class_counts;
  if (counts.empty()) return p;
  double total = 0.0;
  for (const double c : counts) total += c;
  if (!(total > 0.0)) return p;
  const std::size_t present = std::min(n_classes, counts.size());
  for (std::size_t k = 0; k < present; ++k) p[k] = counts[k] / total;
  return p;
}

std::vector<double> QORModel::predict(const FeatureMatrix& X) const {
  std::vector<double> out(static_cast<std::size_t>(std::max(X.rows, 0)), 0.0);
  if (out.empty()) return out;
  check_predictable(*this, X);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = predict_row(X, i, *root);
  return out;
}

std::vector<std::vector<double>> QORModel::predict_proba(const FeatureMatrix& X) const {
  const auto n = static_cast<std::size_t>(std::max(X.rows, 0));
  std::vector<std::vector<double>> out(n);
  if (n == 0) return out;
  check_predictable(*this, X);
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = predict_proba_row(X, i, *root, classes_.size());
  }
  return out;
}

}  // namespace qor
