#include "engine/tree/prediction.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "engine/tree/parallel.hpp"

namespace qor {

namespace {

// Rows per task: enough to pay for handing the task out.
constexpr std::size_t kRowsPerTask = 4096;
// Rows routed side by side, one level at a time: their loads are independent,
// so the memory system serves many at once instead of one row's chain of
// dependent reads after another.
constexpr std::size_t kBlock = 64;

// A tree checked whole before any row is routed, in the form the routing
// reads: per node one 16-byte step (its threshold, its left child and how far
// its right child lies from it), a leaf pointing at itself both ways, so that
// every row takes one step per level whether or not it has reached its leaf.
struct Router {
  struct Step {
    double threshold = 0.0;
    std::int32_t left = 0;   // the child for x <= threshold; a leaf: itself
    std::int32_t right = 0;  // the other child's id less `left`; a leaf: 0
  };
  std::vector<Step> steps;
  std::vector<std::int64_t> feature;  // per node: its column; a leaf: 0
  // Per level: the column every split of that depth reads, where they all read
  // one (as in every tree qor grows): a row's next value is then known before
  // its node is. Empty where some depth splits on two features.
  std::vector<std::int64_t> level_feature;
  std::vector<std::uint8_t> categorical;  // per node: 1 on a categorical split (or empty: none)
  // Per categorical node, its left categories as bits where they are whole codes
  // from 0, ascending, and few enough bits (a list of hundreds of codes costs a
  // binary search of as many unpredictable steps on every row that reaches it);
  // a node without bits (offset < 0) searches its list.
  struct Bits {
    std::int64_t offset = -1;  // of its first word in category_bits
    std::int64_t words = 0;
  };
  std::vector<Bits> bits;
  std::vector<std::uint64_t> category_bits;
  const TreeView* tree = nullptr;
  std::int64_t depth = 0;  // of the deepest leaf: the steps every row takes at most

  // Every internal node's children must follow it inside the tree (so a walk
  // ends), its feature must be a column of X, and its categories must lie in
  // the pool: the routing reads nothing outside its arrays or X.
  Router(const TreeView& view, std::int32_t columns) : tree(&view) {
    const std::size_t n = view.children_left.size();
    const bool categories = !view.category_start.empty() || !view.category_end.empty();
    if (n == 0 || view.children_right.size() != n || view.feature.size() != n ||
        view.threshold.size() != n ||
        (categories && (view.category_start.size() != n || view.category_end.size() != n))) {
      throw std::invalid_argument("tree arrays are empty or of unequal lengths");
    }
    if (n > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
      throw std::invalid_argument("a tree of more than 2**31 - 1 nodes");
    }
    steps.resize(n);
    feature.assign(n, 0);
    if (categories) categorical.assign(n, 0);
    std::vector<std::int64_t> level(n, 0);
    bool uniform = true;
    const auto count = static_cast<std::int64_t>(n);
    for (std::size_t at = 0; at < n; ++at) {
      const auto node = static_cast<std::int64_t>(at);
      const std::int64_t l = view.children_left[at];
      if (l < 0) {
        steps[at] = {0.0, static_cast<std::int32_t>(node), 0};
        continue;
      }
      const std::int64_t r = view.children_right[at];
      const std::int64_t f = view.feature[at];
      if (l <= node || r <= node || l >= count || r >= count) {
        throw std::invalid_argument("tree arrays are not a tree: node " + std::to_string(node) +
                                    " has children that do not follow it");
      }
      if (f < 0 || f >= columns) {
        throw std::invalid_argument("X has " + std::to_string(columns) +
                                    " columns, but the tree splits on feature " +
                                    std::to_string(f));
      }
      if (categories && view.category_end[at] != view.category_start[at]) {
        const std::int64_t begin = view.category_start[at];
        const std::int64_t end = view.category_end[at];
        if (begin < 0 || end < begin ||
            end > static_cast<std::int64_t>(view.categories_left.size())) {
          throw std::invalid_argument("tree arrays are not a tree: node " + std::to_string(node) +
                                      " has categories outside their list");
        }
        categorical[at] = 1;
        keep_as_bits(at, view.categories_left.subspan(static_cast<std::size_t>(begin),
                                                      static_cast<std::size_t>(end - begin)));
      }
      steps[at] = {view.threshold[at], static_cast<std::int32_t>(l),
                   static_cast<std::int32_t>(r - l)};
      feature[at] = f;
      // Children follow their parents, so a parent's level is known first.
      const std::int64_t d = level[at];
      level[static_cast<std::size_t>(l)] = level[static_cast<std::size_t>(r)] = d + 1;
      depth = std::max(depth, d + 1);
      if (level_feature.size() <= static_cast<std::size_t>(d)) {
        level_feature.resize(static_cast<std::size_t>(d) + 1, -1);
      }
      auto& shared = level_feature[static_cast<std::size_t>(d)];
      uniform = uniform && (shared < 0 || shared == f);
      shared = f;
    }
    if (!uniform) level_feature.clear();
    if (std::none_of(categorical.begin(), categorical.end(), [](std::uint8_t c) { return c; })) {
      categorical.clear();
      bits.clear();
    }
  }

  // The node's left categories as bits, where they can be (see Bits).
  void keep_as_bits(std::size_t at, std::span<const double> codes) {
    // No more bits than the list's own 64 per code, and a little.
    const double limit = 64.0 * static_cast<double>(codes.size()) + 4096.0;
    double previous = 0.0;
    for (const double code : codes) {
      if (!(code >= previous && code < limit && code == std::floor(code))) return;
      previous = code;
    }
    if (bits.empty()) bits.resize(steps.size());
    const auto words = static_cast<std::int64_t>(previous) / 64 + 1;
    bits[at] = {static_cast<std::int64_t>(category_bits.size()), words};
    category_bits.resize(category_bits.size() + static_cast<std::size_t>(words), 0);
    std::uint64_t* word = category_bits.data() + bits[at].offset;
    for (const double code : codes) {
      const auto c = static_cast<std::uint64_t>(code);
      word[c / 64] |= std::uint64_t{1} << (c % 64);
    }
  }

  // Whether `x` is one of the node's left categories (checked to lie in the pool).
  bool in_left_categories(std::size_t at, double x) const noexcept {
    if (!bits.empty() && bits[at].offset >= 0) {
      const Bits b = bits[at];
      // NaN, a negative or a too large x is in no set; nor a fraction.
      if (!(x >= 0.0) || x >= 64.0 * static_cast<double>(b.words)) return false;
      const auto c = static_cast<std::uint64_t>(x);
      if (static_cast<double>(c) != x) return false;
      return ((category_bits[static_cast<std::size_t>(b.offset) + c / 64] >> (c % 64)) & 1) != 0;
    }
    const auto begin = static_cast<std::size_t>(tree->category_start[at]);
    const auto end = static_cast<std::size_t>(tree->category_end[at]);
    return contains_category(tree->categories_left.subspan(begin, end - begin), x);
  }

  // The node a row at `node` with value `x` moves to; a leaf keeps it.
  [[gnu::always_inline]] std::int32_t next(std::size_t at, double x, bool categories) const noexcept {
    const Step s = steps[at];
    bool goes_left = x <= s.threshold;
    if (categories && categorical[at] != 0) goes_left = in_left_categories(at, x);
    // Chosen by arithmetic: a branch on it would be as good as a coin toss.
    return s.left + (s.right & (static_cast<std::int32_t>(goes_left) - 1));
  }

  bool is_leaf(std::size_t at) const noexcept { return steps[at].right == 0 && steps[at].left == static_cast<std::int32_t>(at); }

  // The leaves of rows [first, first + count) of X, count <= kBlock, into `leaves`.
  template <bool kCategories, bool kLevelFeature, class Matrix>
  void route(const Matrix& X, std::size_t first, std::size_t count,
             std::int64_t* leaves) const noexcept {
    std::int32_t node[kBlock] = {};
    // A block ends when all its rows stand at leaves: at most `depth` levels,
    // fewer where the block's rows end higher up (a deep, narrow tree).
    bool moved = true;
    for (std::int64_t level = 0; level < depth && moved; ++level) {
      moved = false;
      const auto shared = kLevelFeature ? static_cast<std::int32_t>(level_feature[static_cast<std::size_t>(level)]) : 0;
      for (std::size_t b = 0; b < count; ++b) {
        const auto at = static_cast<std::size_t>(node[b]);
        const auto column =
            kLevelFeature ? shared : static_cast<std::int32_t>(feature[at]);
        const double x = X.at(static_cast<std::int32_t>(first + b), column);
        const std::int32_t to = next(at, x, kCategories);
        moved |= to != node[b];
        node[b] = to;
      }
    }
    std::copy_n(node, count, leaves);
  }
};

template <class Matrix, class PerRow>
void for_rows(const Matrix& X, int threads, PerRow&& per_row) {
  const auto rows = static_cast<std::size_t>(std::max(X.rows, 0));
  const std::size_t tasks = (rows + kRowsPerTask - 1) / kRowsPerTask;
  parallel_for(tasks, threads, [&](std::size_t task, std::size_t) {
    const std::size_t last = std::min(rows, (task + 1) * kRowsPerTask);
    for (std::size_t i = task * kRowsPerTask; i < last; ++i) per_row(i);
  });
}

// Whether any cell of rows [first, first + count) is infinite. Routing reads only
// the columns the tree asks for, but an infinity anywhere in a row is refused, as
// a fit refuses it; the rows are in cache from routing, so this costs arithmetic.
bool holds_infinity(const FeatureMatrix& X, std::size_t first, std::size_t count) noexcept {
  // The largest magnitude, NaN passed over (a comparison with NaN is false), kept
  // in four independent lanes: the form that compiles to vector max instructions
  // without reordering any one comparison chain.
  constexpr std::size_t kLanes = 4;
  double largest[kLanes] = {};
  const auto keep = [](double& lane, double x) {
    const double magnitude = std::fabs(x);
    lane = lane < magnitude ? magnitude : lane;
  };
  if (X.row_major) {
    const std::size_t cells = count * static_cast<std::size_t>(X.cols);
    const double* cell = X.data + first * static_cast<std::size_t>(X.cols);
    std::size_t i = 0;
    for (; i + kLanes <= cells; i += kLanes) {
      for (std::size_t k = 0; k < kLanes; ++k) keep(largest[k], cell[i + k]);
    }
    for (; i < cells; ++i) keep(largest[0], cell[i]);
  } else {
    for (std::int32_t c = 0; c < X.cols; ++c) {
      for (std::size_t b = 0; b < count; ++b) {
        keep(largest[0], X.at(static_cast<std::int32_t>(first + b), c));
      }
    }
  }
  return *std::max_element(largest, largest + kLanes) == std::numeric_limits<double>::infinity();
}

// The same over sparse rows: their stored values (CSR keeps a row's together).
bool holds_infinity(const SparseMatrix& X, std::size_t first, std::size_t count) noexcept {
  const auto begin = X.begin(static_cast<std::int32_t>(first));
  const auto end = X.begin(static_cast<std::int32_t>(first + count));
  bool infinite = false;
  for (std::int64_t k = begin; k < end; ++k) infinite = infinite || std::isinf(X.data[k]);
  return infinite;
}

[[noreturn]] void refuse_infinity() {
  throw std::invalid_argument("Input X contains infinity or a value too large for dtype('float64').");
}

// Calls per_block(first, count, leaves) for blocks of rows with their leaves.
template <class Matrix, class PerBlock>
void for_blocks(const Router& router, const Matrix& X, int threads, PerBlock&& per_block) {
  const auto rows = static_cast<std::size_t>(std::max(X.rows, 0));
  const std::size_t tasks = (rows + kRowsPerTask - 1) / kRowsPerTask;
  std::atomic<bool> infinite = false;
  parallel_for(tasks, threads, [&](std::size_t task, std::size_t) {
    const std::size_t last = std::min(rows, (task + 1) * kRowsPerTask);
    std::int64_t leaves[kBlock];
    bool seen = false;
    for (std::size_t first = task * kRowsPerTask; first < last; first += kBlock) {
      const std::size_t count = std::min(kBlock, last - first);
      const bool categories = !router.categorical.empty();
      const bool shared = !router.level_feature.empty();
      if (shared) {
        categories ? router.template route<true, true>(X, first, count, leaves)
                   : router.template route<false, true>(X, first, count, leaves);
      } else {
        categories ? router.template route<true, false>(X, first, count, leaves)
                   : router.template route<false, false>(X, first, count, leaves);
      }
      seen = seen || holds_infinity(X, first, count);
      per_block(first, count, static_cast<const std::int64_t*>(leaves));
    }
    if (seen) infinite.store(true, std::memory_order_relaxed);
  });
  if (infinite.load()) refuse_infinity();
}

template <class Matrix>
void apply_rows_of(const TreeView& tree, const Matrix& X, std::span<std::int64_t> leaves,
                   int threads) {
  const Router router(tree, X.cols);
  for_blocks(router, X, threads, [&](std::size_t first, std::size_t count, const std::int64_t* at) {
    std::copy_n(at, count, leaves.begin() + static_cast<std::ptrdiff_t>(first));
  });
}

template <class Matrix>
Paths decision_paths_of(const TreeView& tree, const Matrix& X, int threads) {
  const Router router(tree, X.cols);
  const auto rows = static_cast<std::size_t>(std::max(X.rows, 0));
  // A row passes one node per step until its leaf.
  const auto walk = [&](std::size_t i, auto&& visit) {
    std::int64_t node = 0;
    visit(node);
    while (!router.is_leaf(static_cast<std::size_t>(node))) {
      const auto at = static_cast<std::size_t>(node);
      node = router.next(at, X.at(static_cast<std::int32_t>(i), static_cast<std::int32_t>(router.feature[at])), !router.categorical.empty());
      visit(node);
    }
  };
  Paths paths;
  paths.offsets.assign(rows + 1, 0);
  std::atomic<bool> infinite = false;
  for_rows(X, threads, [&](std::size_t i) {
    if (holds_infinity(X, i, 1)) infinite.store(true, std::memory_order_relaxed);
    std::int64_t length = 0;
    walk(i, [&](std::int64_t) { ++length; });
    paths.offsets[i + 1] = length;
  });
  if (infinite.load()) refuse_infinity();
  for (std::size_t i = 0; i < rows; ++i) paths.offsets[i + 1] += paths.offsets[i];
  paths.nodes.resize(static_cast<std::size_t>(paths.offsets[rows]));
  for_rows(X, threads, [&](std::size_t i) {
    auto at = static_cast<std::size_t>(paths.offsets[i]);
    walk(i, [&](std::int64_t node) { paths.nodes[at++] = node; });
  });
  return paths;
}

template <class Matrix>
void leaf_values_of(const TreeView& tree, std::span<const double> value, std::size_t width,
                    const Matrix& X, std::span<double> out, int threads) {
  const Router router(tree, X.cols);
  if (value.size() != tree.children_left.size() * width) {
    throw std::invalid_argument("tree values do not match its nodes");
  }
  // A leaf's value is one or two numbers for most trees (a mean, two classes'
  // shares): copied as such, not through a call per row.
  const auto copy_values = [&]<std::size_t kWidth>(std::integral_constant<std::size_t, kWidth>) {
    const std::size_t w = kWidth == 0 ? width : kWidth;
    for_blocks(router, X, threads, [&](std::size_t first, std::size_t count, const std::int64_t* at) {
      for (std::size_t b = 0; b < count; ++b) {
        const double* from = value.data() + static_cast<std::size_t>(at[b]) * w;
        double* to = out.data() + (first + b) * w;
        for (std::size_t k = 0; k < w; ++k) to[k] = from[k];
      }
    });
  };
  if (width == 1) {
    copy_values(std::integral_constant<std::size_t, 1>{});
  } else if (width == 2) {
    copy_values(std::integral_constant<std::size_t, 2>{});
  } else {
    copy_values(std::integral_constant<std::size_t, 0>{});
  }
}

template <class Matrix>
void leaf_argmax_of(const TreeView& tree, std::span<const double> value, std::size_t width,
                    const Matrix& X, std::span<std::int64_t> out, int threads) {
  const Router router(tree, X.cols);
  const std::size_t nodes = tree.children_left.size();
  if (width == 0 || value.size() != nodes * width) {
    throw std::invalid_argument("tree values do not match its nodes");
  }
  // Each node's answer once, rather than once per row that reaches it;
  // max_element keeps the first of equal largest entries.
  std::vector<std::int64_t> answer(nodes);
  for (std::size_t node = 0; node < nodes; ++node) {
    const double* row = value.data() + node * width;
    answer[node] = std::max_element(row, row + width) - row;
  }
  for_blocks(router, X, threads, [&](std::size_t first, std::size_t count, const std::int64_t* at) {
    for (std::size_t b = 0; b < count; ++b) {
      out[first + b] = answer[static_cast<std::size_t>(at[b])];
    }
  });
}

}  // namespace

// Dense rows are read in place; a sparse row's value of a column is found by
// binary search among the row's stored columns.
void require_rows(const SparseMatrix& X) {
  if (X.by_column) throw std::invalid_argument("prediction reads a sparse X by rows (CSR)");
}
void apply_rows(const TreeView& tree, const FeatureMatrix& X, std::span<std::int64_t> leaves,
                int threads) {
  apply_rows_of(tree, X, leaves, threads);
}
void apply_rows(const TreeView& tree, const SparseMatrix& X, std::span<std::int64_t> leaves,
                int threads) {
  require_rows(X);
  apply_rows_of(tree, X, leaves, threads);
}
Paths decision_paths(const TreeView& tree, const FeatureMatrix& X, int threads) {
  return decision_paths_of(tree, X, threads);
}
Paths decision_paths(const TreeView& tree, const SparseMatrix& X, int threads) {
  require_rows(X);
  return decision_paths_of(tree, X, threads);
}
void leaf_values(const TreeView& tree, std::span<const double> value, std::size_t width,
                 const FeatureMatrix& X, std::span<double> out, int threads) {
  leaf_values_of(tree, value, width, X, out, threads);
}
void leaf_values(const TreeView& tree, std::span<const double> value, std::size_t width,
                 const SparseMatrix& X, std::span<double> out, int threads) {
  require_rows(X);
  leaf_values_of(tree, value, width, X, out, threads);
}
void leaf_argmax(const TreeView& tree, std::span<const double> value, std::size_t width,
                 const FeatureMatrix& X, std::span<std::int64_t> out, int threads) {
  leaf_argmax_of(tree, value, width, X, out, threads);
}
void leaf_argmax(const TreeView& tree, std::span<const double> value, std::size_t width,
                 const SparseMatrix& X, std::span<std::int64_t> out, int threads) {
  require_rows(X);
  leaf_argmax_of(tree, value, width, X, out, threads);
}

}  // namespace qor
