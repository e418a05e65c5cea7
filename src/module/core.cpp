// qor._core: the package's door into the engine. Fits grow a FlatTree with the
// interpreter lock released, on the threads asked for, and hand its arrays to
// NumPy without copying; prediction routes rows through a tree's arrays.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "core_binned.hpp"
#include "core_text.hpp"
#include "engine/criteria/criterion.hpp"
#include "engine/exact/exact_growth.hpp"
#include "engine/exact/exact_lookahead.hpp"
#include "engine/tree/flat_tree.hpp"
#include "engine/tree/parallel.hpp"
#include "engine/tree/prediction.hpp"
#include "engine/tree/shrinkage.hpp"
#include "engine/tree/sparse_views.hpp"
#include "engine/tree/tree_params.hpp"
#include "sparse_arg.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using qor::bind::extent;
using qor::bind::Matrix;
using qor::bind::SparseArg;
using qor::bind::to_numpy;
using qor::bind::tree_arrays;
using qor::bind::uninitialised;
using qor::bind::Vector;

namespace {

template <class T>
using In = nb::ndarray<const T, nb::c_contig, nb::device::cpu>;

qor::FeatureMatrix matrix_view(const Matrix& X) {
  return {X.data(), extent(X.shape(0), "X"), extent(X.shape(1), "X's row"), true};
}

// Several outputs come column after column: n_outputs entries of y per row.
void check_fit_lengths(std::size_t rows, const Vector& y,
                       const std::optional<Vector>& sample_weight, const qor::TreeParams& params) {
  const auto outputs = static_cast<std::size_t>(std::max(params.n_outputs, 1));
  if (y.shape(0) != rows * outputs || (sample_weight && sample_weight->shape(0) != rows)) {
    throw std::invalid_argument(
        "fit: X, y and sample_weight need one entry per row (y: one per "
        "row and output)");
  }
}

nb::dict fit(const Matrix& X, const Vector& y, std::optional<Vector> sample_weight,
             const qor::TreeParams& params) {
  const qor::FeatureMatrix matrix = matrix_view(X);
  check_fit_lengths(X.shape(0), y, sample_weight, params);
  const qor::TargetVector targets{y.data(), matrix.rows};
  const double* weights = sample_weight ? sample_weight->data() : nullptr;
  if (params.search == qor::Search::Lookahead) {
    qor::LookaheadFit fit;
    {
      nb::gil_scoped_release unlocked;
      qor::bind::say_what_ran_out(
          [&] { fit = qor::grow_tree_lookahead(matrix, targets, weights, params); });
    }
    return qor::bind::lookahead_arrays(std::move(fit));
  }
  qor::FlatTree tree;
  {
    nb::gil_scoped_release unlocked;
    qor::bind::say_what_ran_out([&] { tree = qor::grow_tree(matrix, targets, weights, params); });
  }
  return tree_arrays(std::move(tree));
}

nb::dict fit_sparse(const nb::handle& X, const Vector& y, std::optional<Vector> sample_weight,
                    const qor::TreeParams& params) {
  const SparseArg matrix(X, true);
  check_fit_lengths(static_cast<std::size_t>(matrix.view.rows), y, sample_weight, params);
  const qor::TargetVector targets{y.data(), matrix.view.rows};
  const double* weights = sample_weight ? sample_weight->data() : nullptr;
  qor::FlatTree tree;
  {
    nb::gil_scoped_release unlocked;
    qor::bind::say_what_ran_out(
        [&] { tree = qor::grow_tree(matrix.view, targets, weights, params); });
  }
  return tree_arrays(std::move(tree));
}

// The routing arrays of a qor Tree (its attributes), checked as prediction reads them.
struct Routing {
  In<std::int64_t> children_left, children_right, feature, category_start, category_end;
  In<double> threshold, categories_left;

  explicit Routing(const nb::handle& tree)
      : children_left(nb::cast<In<std::int64_t>>(tree.attr("children_left"))),
        children_right(nb::cast<In<std::int64_t>>(tree.attr("children_right"))),
        feature(nb::cast<In<std::int64_t>>(tree.attr("feature"))),
        category_start(nb::cast<In<std::int64_t>>(tree.attr("category_start"))),
        category_end(nb::cast<In<std::int64_t>>(tree.attr("category_end"))),
        threshold(nb::cast<In<double>>(tree.attr("threshold"))),
        categories_left(nb::cast<In<double>>(tree.attr("categories_left"))) {}

  qor::TreeView view() const {
    return {{children_left.data(), children_left.size()},
            {children_right.data(), children_right.size()},
            {feature.data(), feature.size()},
            {threshold.data(), threshold.size()},
            {category_start.data(), category_start.size()},
            {category_end.data(), category_end.size()},
            {categories_left.data(), categories_left.size()}};
  }
};

// Prediction over X: a dense matrix (Matrix) or a sparse one held by rows (the
// package's CSR object), one body for both.
template <class Arg>
struct RowsOf;
template <>
struct RowsOf<Matrix> {
  const Matrix& X;
  qor::FeatureMatrix view() const { return matrix_view(X); }
};
template <>
struct RowsOf<nb::handle> {
  SparseArg arg;
  explicit RowsOf(const nb::handle& X) : arg(X, false) {}
  const qor::SparseMatrix& view() const { return arg.view; }
};

template <class Arg>
nb::ndarray<nb::numpy, std::int64_t> apply(const nb::handle& tree, const Arg& X, int n_jobs) {
  const Routing routing(tree);
  const RowsOf<Arg> of{X};
  const auto matrix = of.view();
  std::vector<std::int64_t> leaves(static_cast<std::size_t>(matrix.rows));
  {
    nb::gil_scoped_release unlocked;
    qor::apply_rows(routing.view(), matrix, leaves, qor::thread_count(n_jobs));
  }
  return to_numpy(std::move(leaves), {static_cast<std::size_t>(matrix.rows)});
}

template <class Arg>
nb::tuple decision_path(const nb::handle& tree, const Arg& X, int n_jobs) {
  const Routing routing(tree);
  const RowsOf<Arg> of{X};
  const auto matrix = of.view();
  qor::Paths paths;
  {
    nb::gil_scoped_release unlocked;
    paths = qor::decision_paths(routing.view(), matrix, qor::thread_count(n_jobs));
  }
  const std::size_t offsets = paths.offsets.size();
  const std::size_t nodes = paths.nodes.size();
  return nb::make_tuple(to_numpy(std::move(paths.offsets), {offsets}),
                        to_numpy(std::move(paths.nodes), {nodes}));
}

// The tree's value rows, (node_count, width), as prediction reads them.
std::pair<In<double>, std::size_t> values_of(const nb::handle& tree) {
  auto value = nb::cast<In<double>>(tree.attr("value"));
  const std::size_t nodes = nb::cast<In<std::int64_t>>(tree.attr("children_left")).size();
  const std::size_t width = nodes == 0 ? 0 : value.size() / nodes;
  return {value, width};
}

template <class Arg>
nb::ndarray<nb::numpy, double> predict_value(const nb::handle& tree, const Arg& X, int n_jobs) {
  const Routing routing(tree);
  const auto [value, width] = values_of(tree);
  const RowsOf<Arg> of{X};
  const auto matrix = of.view();
  const auto rows = static_cast<std::size_t>(matrix.rows);
  auto out = uninitialised<double>(rows * width);
  {
    nb::gil_scoped_release unlocked;
    qor::leaf_values(routing.view(), {value.data(), value.size()}, width, matrix,
                     {out.get(), rows * width}, qor::thread_count(n_jobs));
  }
  return to_numpy(std::move(out), {rows, width});
}

template <class Arg>
nb::ndarray<nb::numpy, std::int64_t> predict_class(const nb::handle& tree, const Arg& X,
                                                   int n_jobs) {
  const Routing routing(tree);
  const auto [value, width] = values_of(tree);
  const RowsOf<Arg> of{X};
  const auto matrix = of.view();
  const auto rows = static_cast<std::size_t>(matrix.rows);
  auto out = uninitialised<std::int64_t>(rows);
  {
    nb::gil_scoped_release unlocked;
    qor::leaf_argmax(routing.view(), {value.data(), value.size()}, width, matrix, {out.get(), rows},
                     qor::thread_count(n_jobs));
  }
  return to_numpy(std::move(out), {rows});
}

// The tree's raw_value (its nodes' own values) shrunk by `shrinkage`, as a new
// (node_count, width) array.
nb::ndarray<nb::numpy, double> shrunk_values(const nb::handle& tree, double shrinkage) {
  const Routing routing(tree);
  const auto weight = nb::cast<In<double>>(tree.attr("weighted_n_node_samples"));
  const auto value = nb::cast<In<double>>(tree.attr("raw_value"));
  const std::size_t nodes = routing.children_left.size();
  const std::size_t width = nodes == 0 ? 0 : value.size() / nodes;
  std::vector<double> shrunk = qor::shrunk_values(routing.view(), {weight.data(), weight.size()},
                                                  {value.data(), value.size()}, width, shrinkage);
  return to_numpy(std::move(shrunk), {nodes, width});
}

}  // namespace

NB_MODULE(_core, m) {
  m.doc() = "The engine behind qor's estimators: growth and prediction over flat trees.";

  nb::class_<qor::TreeParams>(m, "TreeParams", "What a fit grows by.")
      .def(nb::init<>())
      .def_prop_rw(
          "criterion", [](const qor::TreeParams& p) { return static_cast<int>(p.criterion); },
          [](qor::TreeParams& p, const std::string& name) {
            p.criterion = qor::parse_package_criterion(name);
          })
      .def_rw("n_classes", &qor::TreeParams::n_classes)
      .def_rw("n_outputs", &qor::TreeParams::n_outputs)
      .def_rw("output_classes", &qor::TreeParams::output_classes)
      .def_rw("max_depth", &qor::TreeParams::max_depth)
      .def_rw("min_samples_split", &qor::TreeParams::min_samples_split)
      .def_rw("min_samples_leaf", &qor::TreeParams::min_samples_leaf)
      .def_rw("min_weight_leaf", &qor::TreeParams::min_weight_leaf)
      .def_rw("min_weight_fraction_leaf", &qor::TreeParams::min_weight_fraction_leaf)
      .def_rw("min_impurity_decrease", &qor::TreeParams::min_impurity_decrease)
      .def_rw("monotonic_cst", &qor::TreeParams::monotonic_cst)
      .def_rw("categorical", &qor::TreeParams::categorical)
      .def_rw("min_category_samples", &qor::TreeParams::min_category_samples)
      .def_rw("category_smoothing", &qor::TreeParams::category_smoothing)
      .def_rw("max_leaf_nodes", &qor::TreeParams::max_leaf_nodes)
      .def_rw("max_features", &qor::TreeParams::max_features)
      .def_rw("random_seed", &qor::TreeParams::random_seed)
      .def_rw("n_threads", &qor::TreeParams::n_threads)
      .def_prop_rw(
          "level_score",
          [](const qor::TreeParams& p) {
            return std::string(p.level_score == qor::LevelScore::Weighted ? "weighted" : "sum");
          },
          [](qor::TreeParams& p, const std::string& name) {
            if (name != "sum" && name != "weighted") {
              throw std::invalid_argument("level_score must be 'sum' or 'weighted', not '" + name +
                                          "'");
            }
            p.level_score = name == "weighted" ? qor::LevelScore::Weighted : qor::LevelScore::Sum;
          })
      .def_prop_rw(
          "search",
          [](const qor::TreeParams& p) {
            return std::string(p.search == qor::Search::Lookahead ? "lookahead" : "greedy");
          },
          [](qor::TreeParams& p, const std::string& name) {
            if (name != "greedy" && name != "lookahead") {
              throw std::invalid_argument("search must be 'greedy' or 'lookahead', not '" + name +
                                          "'");
            }
            p.search = name == "lookahead" ? qor::Search::Lookahead : qor::Search::Greedy;
          })
      .def_rw("beam_width", &qor::TreeParams::beam_width)
      .def_rw("lookahead_folds", &qor::TreeParams::lookahead_folds);

  m.def("thread_count", &qor::thread_count, "n_jobs"_a,
        "Threads that n_jobs asks for: -1 all cores, -2 all but one, never below 1.");
  m.def("fit", &fit, "X"_a, "y"_a, "sample_weight"_a.none(), "params"_a,
        "Grows a tree; returns its arrays (node ids breadth first) as a dict.");
  m.def("fit_sparse", &fit_sparse, "X"_a, "y"_a, "sample_weight"_a.none(), "params"_a,
        "fit over a sparse X held by columns (int64 indptr, int32 indices, float64 data).");
  m.def("apply", &apply<Matrix>, "tree"_a, "X"_a, "n_jobs"_a = 1, "Leaf id of every row of X.");
  m.def("decision_path", &decision_path<Matrix>, "tree"_a, "X"_a, "n_jobs"_a = 1,
        "The nodes every row passes, as (indptr, indices) of compressed rows.");
  m.def("predict_value", &predict_value<Matrix>, "tree"_a, "X"_a, "n_jobs"_a = 1,
        "The value row of every row's leaf, (n_samples, width).");
  m.def("predict_class", &predict_class<Matrix>, "tree"_a, "X"_a, "n_jobs"_a = 1,
        "Column of the largest value of every row's leaf (the first of equals).");
  // The same over a sparse X held by rows (int64 indptr, int32 indices, float64 data).
  m.def("apply_sparse", &apply<nb::handle>, "tree"_a, "X"_a, "n_jobs"_a = 1);
  m.def("decision_path_sparse", &decision_path<nb::handle>, "tree"_a, "X"_a, "n_jobs"_a = 1);
  m.def("predict_value_sparse", &predict_value<nb::handle>, "tree"_a, "X"_a, "n_jobs"_a = 1);
  m.def("predict_class_sparse", &predict_class<nb::handle>, "tree"_a, "X"_a, "n_jobs"_a = 1);
  m.def("shrunk_values", &shrunk_values, "tree"_a, "shrinkage"_a,
        "The tree's raw_value shrunk towards each node's parent, (node_count, width).");
  bind_binned(m);
  bind_text(m);
}
