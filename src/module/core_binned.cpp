#include "core_binned.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "sparse_arg.hpp"
#include "engine/binned/binned_growth.hpp"
#include "engine/binned/binned_lookahead.hpp"
#include "engine/binned/bins.hpp"
#include "engine/criteria/criterion.hpp"
#include "engine/tree/flat_tree.hpp"
#include "engine/tree/parallel.hpp"
#include "engine/tree/tree_params.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using qor::bind::extent;
using qor::bind::Matrix;
using qor::bind::to_numpy;
using qor::bind::tree_arrays;
using qor::bind::Vector;

namespace {

template <class T>
using Array = nb::ndarray<const T, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
// Value ranges of bins or target ranges, one row each: (lo, hi) or (lo, hi, nan).
using Rows = Matrix;

// NumPy may hand over arrays that sit at any byte (say, unpickled from a network
// frame), and the engine reads whole values: small arrays are copied byte by byte
// into vectors, and a matrix, too large to copy, must be aligned.
template <class T, class A>
std::vector<T> copy_of(const A& array) {
  std::vector<T> out(array.size());
  if (!out.empty()) std::memcpy(out.data(), array.data(), out.size() * sizeof(T));
  return out;
}

void check_aligned(const void* data, const char* what) {
  if (reinterpret_cast<std::uintptr_t>(data) % alignof(double) != 0) {
    throw std::invalid_argument(std::string(what) +
                                " is not aligned to 8 bytes; numpy.require(..., "
                                "requirements='A') gives an aligned copy");
  }
}

// Bin edges cross the door as one float64 array of upper edges per feature,
// ascending to +infinity; BinnedMatrix checks them.
std::vector<qor::FeatureEdges> edges_of(const std::vector<Vector>& arrays) {
  std::vector<qor::FeatureEdges> edges(arrays.size());
  for (std::size_t f = 0; f < arrays.size(); ++f) {
    edges[f].upper = copy_of<double>(arrays[f]);
  }
  return edges;
}

nb::list edge_arrays(std::span<const qor::FeatureEdges> edges) {
  nb::list out;
  for (const qor::FeatureEdges& e : edges) {
    std::vector<double> upper = e.upper;
    const std::size_t n = upper.size();
    out.append(to_numpy(std::move(upper), {n}));
  }
  return out;
}

nb::ndarray<nb::numpy, double> range_rows(std::span<const qor::BinRange> ranges) {
  std::vector<double> out;
  out.reserve(2 * ranges.size());
  for (const qor::BinRange& r : ranges) {
    out.push_back(r.lo);
    out.push_back(r.hi);
  }
  return to_numpy(std::move(out), {ranges.size(), 2});
}

std::vector<qor::BinRange> ranges_of(const Rows& rows, std::int64_t expected) {
  if (rows.shape(1) != 2 || static_cast<std::int64_t>(rows.shape(0)) != expected) {
    throw std::invalid_argument("bin ranges: one (lo, hi) row per bin of the layout is needed");
  }
  const auto values = copy_of<double>(rows);
  std::vector<qor::BinRange> ranges(rows.shape(0));
  for (std::size_t b = 0; b < ranges.size(); ++b) ranges[b] = {values[2 * b], values[2 * b + 1]};
  return ranges;
}

// What reached each child of a level, one row per child: its StatShape sums,
// then the (lo, hi, nan) range of its targets, one such triple per output. Rows
// of blocks merge by adding the sums and merging the ranges.
nb::ndarray<nb::numpy, double> child_rows(const qor::ChildSums& children) {
  const auto width = static_cast<std::size_t>(children.shape.width);
  const auto outputs = static_cast<std::size_t>(children.shape.n_outputs);
  const std::size_t row = width + 3 * outputs;
  std::vector<double> out;
  out.reserve(children.size() * row);
  for (std::size_t c = 0; c < children.size(); ++c) {
    const auto sums = children.sums.begin() + static_cast<std::ptrdiff_t>(c * width);
    out.insert(out.end(), sums, sums + static_cast<std::ptrdiff_t>(width));
    for (std::size_t k = 0; k < outputs; ++k) {
      const qor::TargetRange& t = children.targets[c * outputs + k];
      out.insert(out.end(), {t.lo, t.hi, t.nan ? 1.0 : 0.0});
    }
  }
  return to_numpy(std::move(out), {children.size(), row});
}

qor::ChildSums children_of(const Rows& rows, const qor::StatShape& shape) {
  const auto width = static_cast<std::size_t>(shape.width);
  const auto outputs = static_cast<std::size_t>(shape.n_outputs);
  const std::size_t row_width = width + 3 * outputs;
  if (rows.shape(1) != row_width) {
    throw std::invalid_argument(
        "child rows: one row of sums and (lo, hi, nan) per output per child is needed");
  }
  const auto values = copy_of<double>(rows);
  qor::ChildSums children(shape, rows.shape(0));
  for (std::size_t c = 0; c < children.size(); ++c) {
    const double* row = values.data() + c * row_width;
    std::copy_n(row, width, children.sums.begin() + static_cast<std::ptrdiff_t>(c * width));
    for (std::size_t k = 0; k < outputs; ++k) {
      const double* t = row + width + 3 * k;
      children.targets[c * outputs + k] = {t[0], t[1], t[2] != 0.0};
    }
  }
  return children;
}

// Root target ranges as they cross the door: one (lo, hi, nan) row per output.
std::vector<qor::TargetRange> target_ranges(const Rows& rows, std::int32_t outputs) {
  if (rows.shape(1) != 3 || rows.shape(0) != static_cast<std::size_t>(std::max(outputs, 1))) {
    throw std::invalid_argument("Grower: one (lo, hi, nan) root target range per output");
  }
  const auto values = copy_of<double>(rows);
  std::vector<qor::TargetRange> ranges(rows.shape(0));
  for (std::size_t k = 0; k < ranges.size(); ++k) {
    ranges[k] = {values[3 * k], values[3 * k + 1], values[3 * k + 2] != 0.0};
  }
  return ranges;
}

// The local binned fit: quantized by its own sample, or binned by given edges.
// `bin` makes the codes from the edges given (or none) and the thread count.
template <class Bin>
std::pair<nb::dict, nb::list> fit_binned_with(std::size_t rows, std::size_t features, Bin bin,
                                              const Vector& y,
                                              std::optional<Vector> sample_weight,
                                              const qor::TreeParams& params,
                                              std::optional<std::vector<Vector>> edges) {
  // Several outputs come column after column: n_outputs entries of y per row.
  const auto outputs = static_cast<std::size_t>(std::max(params.n_outputs, 1));
  if (y.shape(0) != rows * outputs || (sample_weight && sample_weight->shape(0) != rows)) {
    throw std::invalid_argument("fit_binned: X, y and sample_weight need one entry per row (y: "
                                "one per row and output)");
  }
  if (edges && edges->size() != features) {
    throw std::invalid_argument("fit_binned: " + std::to_string(edges->size()) +
                                " sets of bin edges for " + std::to_string(features) +
                                " features");
  }
  check_aligned(y.data(), "y");
  const double* weights = sample_weight ? sample_weight->data() : nullptr;
  check_aligned(weights, "sample_weight");
  std::optional<std::vector<qor::FeatureEdges>> given;
  if (edges) given = edges_of(*edges);
  qor::LookaheadFit fit;
  const bool lookahead = params.search == qor::Search::Lookahead;
  std::vector<qor::FeatureEdges> used;
  {
    nb::gil_scoped_release unlocked;
    qor::bind::say_what_ran_out([&] {
      const qor::BinnedMatrix codes = bin(given, qor::thread_count(params.n_threads), weights);
      const qor::BinnedRows binned{&codes, y.data(), weights};
      if (lookahead) {
        fit = qor::grow_binned_lookahead(binned, params);
      } else {
        fit.tree = qor::grow_binned(binned, params).tree;
      }
      used.assign(codes.all_edges().begin(), codes.all_edges().end());
    });
  }
  if (lookahead) return {qor::bind::lookahead_arrays(std::move(fit)), edge_arrays(used)};
  return {tree_arrays(std::move(fit.tree)), edge_arrays(used)};
}

std::pair<nb::dict, nb::list> fit_binned(const Matrix& X, const Vector& y,
                                         std::optional<Vector> sample_weight,
                                         const qor::TreeParams& params, std::int32_t max_bins,
                                         std::optional<std::vector<Vector>> edges) {
  const qor::FeatureMatrix matrix{X.data(), extent(X.shape(0), "X"), extent(X.shape(1), "X's row"),
                                  true};
  check_aligned(X.data(), "X");
  const auto bin = [&](std::optional<std::vector<qor::FeatureEdges>>& given, int threads,
                       const double* weights) {
    return given ? qor::bin_with_edges(matrix, std::move(*given), threads, weights)
                 : qor::quantize(matrix, {max_bins, qor::BinningParams{}.sample_rows, 0}, threads,
                                 weights, params.categorical);
  };
  return fit_binned_with(X.shape(0), X.shape(1), bin, y, std::move(sample_weight), params,
                         std::move(edges));
}

// The same over a sparse X held by columns: codes for its stored entries only.
std::pair<nb::dict, nb::list> fit_binned_sparse(const nb::handle& X, const Vector& y,
                                                std::optional<Vector> sample_weight,
                                                const qor::TreeParams& params,
                                                std::int32_t max_bins,
                                                std::optional<std::vector<Vector>> edges) {
  const qor::bind::SparseArg matrix(X, true);
  if (std::any_of(params.categorical.begin(), params.categorical.end(),
                  [](std::uint8_t c) { return c != 0; })) {
    throw std::invalid_argument("fit_binned: categorical features need a dense X");
  }
  const auto bin = [&](std::optional<std::vector<qor::FeatureEdges>>& given, int threads,
                       const double* weights) {
    return given ? qor::bin_with_edges(matrix.view, std::move(*given), threads, weights)
                 : qor::quantize(matrix.view, {max_bins, qor::BinningParams{}.sample_rows, 0},
                                 threads, weights);
  };
  return fit_binned_with(static_cast<std::size_t>(matrix.view.rows),
                         static_cast<std::size_t>(matrix.view.cols), bin, y,
                         std::move(sample_weight), params, std::move(edges));
}

// One block of a fit's rows where they live: their codes, targets and
// weights, and the node each row has reached, level after level. Several
// outputs' targets lie column after column: output k of row r at y[k * rows + r].
class BinnedBlock {
 public:
  BinnedBlock(const Matrix& X, const Vector& y, std::optional<Vector> sample_weight,
              const std::vector<Vector>& edges, std::int32_t n_classes, std::int32_t n_threads,
              const std::string& criterion, std::int32_t n_outputs)
      : codes_(check_edges(edges, X.shape(1)), extent(X.shape(0), "X")),
        y_(copy_of<double>(y)),
        n_classes_(n_classes),
        n_outputs_(n_outputs),
        criterion_(qor::parse_package_criterion(criterion)),
        criterion_name_(criterion) {
    check_rows(X.shape(0), y.shape(0), sample_weight ? &*sample_weight : nullptr);
    set_factors();
    check_aligned(X.data(), "X");
    if (sample_weight) w_ = copy_of<double>(*sample_weight);
    node_.assign(X.shape(0), 0);
    const qor::FeatureMatrix matrix{X.data(), codes_.rows(), extent(X.shape(1), "X's row"), true};
    nb::gil_scoped_release unlocked;
    codes_.bin_rows(matrix, 0, codes_.rows(), qor::thread_count(n_threads),
                    w_.empty() ? nullptr : w_.data());
  }

  // The same for a sparse X held by columns: codes for its stored entries only.
  BinnedBlock(const qor::bind::SparseArg& X, const Vector& y, std::optional<Vector> sample_weight,
              const std::vector<Vector>& edges, std::int32_t n_classes, std::int32_t n_threads,
              const std::string& criterion, std::int32_t n_outputs)
      : codes_(check_edges(edges, static_cast<std::size_t>(X.view.cols)), X.view),
        y_(copy_of<double>(y)),
        n_classes_(n_classes),
        n_outputs_(n_outputs),
        criterion_(qor::parse_package_criterion(criterion)),
        criterion_name_(criterion) {
    const auto rows = static_cast<std::size_t>(X.view.rows);
    check_rows(rows, y.shape(0), sample_weight ? &*sample_weight : nullptr);
    set_factors();
    if (sample_weight) w_ = copy_of<double>(*sample_weight);
    node_.assign(rows, 0);
    nb::gil_scoped_release unlocked;
    codes_.bin_entries(X.view, qor::thread_count(n_threads), w_.empty() ? nullptr : w_.data());
  }

  std::int32_t rows() const noexcept { return codes_.rows(); }
  std::size_t nbytes() const noexcept {
    const std::size_t code = codes_.narrow() ? 1 : 2;
    const std::size_t codes =
        codes_.sparse()
            ? static_cast<std::size_t>(codes_.entry_starts().back()) * (code + sizeof(std::int32_t))
            : node_.size() * code * features();
    return node_.size() * sizeof(std::int32_t) + codes + (y_.size() + w_.size()) * sizeof(double);
  }
  std::size_t features() const noexcept { return static_cast<std::size_t>(codes_.features()); }
  qor::StatShape shape() const noexcept {
    return qor::StatShape::of(n_classes_, !w_.empty(), n_outputs_);
  }
  qor::BinnedRows binned_rows() const noexcept {
    return {&codes_, y_.data(), w_.empty() ? nullptr : w_.data(),
            factors_.empty() ? nullptr : factors_.data()};
  }

  // The sums of every row as the root needs them, and their targets' range per output.
  nb::tuple root() const {
    const qor::StatShape s = shape();
    std::vector<double> totals(static_cast<std::size_t>(s.width), 0.0);
    std::vector<qor::TargetRange> targets(static_cast<std::size_t>(s.n_outputs));
    qor::sum_rows(binned_rows(), s, totals, std::span(targets));
    std::vector<double> ranges;
    ranges.reserve(3 * targets.size());
    for (const qor::TargetRange& t : targets) {
      ranges.insert(ranges.end(), {t.lo, t.hi, t.nan ? 1.0 : 0.0});
    }
    const std::size_t width = totals.size();
    return nb::make_tuple(to_numpy(std::move(totals), {width}),
                          to_numpy(std::move(ranges), {targets.size(), 3}));
  }

  nb::ndarray<nb::numpy, double> ranges() const { return range_rows(codes_.ranges()); }

  // This block's histograms of the level: slot[id - first_node] for node id.
  nb::ndarray<nb::numpy, double> histograms(std::int32_t first_node,
                                            const Array<std::int32_t>& slot, std::int32_t slots,
                                            std::int32_t n_threads) {
    const qor::SlotMap map{first_node, copy_of<std::int32_t>(slot)};
    std::vector<double> out;
    {
      nb::gil_scoped_release unlocked;
      qor::LevelHistograms histograms(codes_.layout(), shape(), slots);
      // A builder of its own: its per-row scratch would otherwise stay with every
      // block of a worker for the whole fit.
      qor::HistogramBuilder builder;
      builder.accumulate(binned_rows(), node_, map, histograms, qor::thread_count(n_threads));
      out.assign(histograms.data().begin(), histograms.data().end());
    }
    const std::size_t n = out.size();
    return to_numpy(std::move(out), {n});
  }

  // Moves the rows on as a grower's routing() says; what reached each child
  // (child rows: sums, then the range of the targets).
  nb::ndarray<nb::numpy, double> route(std::int32_t feature, std::int32_t first_node,
                                       const Array<std::int32_t>& last_left_bin,
                                       const Array<std::uint8_t>& left_bins,
                                       const Array<std::int32_t>& left_child,
                                       std::int32_t first_child, std::int32_t children,
                                       std::int32_t n_threads) {
    qor::LevelRouting routing;
    routing.feature = feature;
    routing.first_node = first_node;
    routing.last_left_bin = copy_of<std::int32_t>(last_left_bin);
    routing.left_bins = copy_of<std::uint8_t>(left_bins);
    routing.left_child = copy_of<std::int32_t>(left_child);
    routing.first_child = first_child;
    routing.children = children;
    qor::ChildSums sums(shape(), static_cast<std::size_t>(std::max(children, 0)));
    {
      nb::gil_scoped_release unlocked;
      qor::route_rows(binned_rows(), routing, node_, sums, qor::thread_count(n_threads));
    }
    return child_rows(sums);
  }

  nb::tuple state() const {
    const std::size_t n = node_.size();
    // A sparse block's codes are its stored entries', feature after feature.
    const std::size_t codes =
        codes_.sparse() ? static_cast<std::size_t>(codes_.entry_starts().back()) : n * features();
    nb::object packed;
    if (codes_.narrow()) {
      std::vector<std::uint8_t> all;
      all.reserve(codes);
      for (std::int32_t f = 0; f < codes_.features(); ++f) {
        const auto column = codes_.narrow_codes(f);
        all.insert(all.end(), column.begin(), column.end());
      }
      packed = nb::cast(to_numpy(std::move(all), {codes}));
    } else {
      std::vector<std::uint16_t> all;
      all.reserve(codes);
      for (std::int32_t f = 0; f < codes_.features(); ++f) {
        const auto column = codes_.wide_codes(f);
        all.insert(all.end(), column.begin(), column.end());
      }
      packed = nb::cast(to_numpy(std::move(all), {codes}));
    }
    nb::object weights = nb::none();
    if (!w_.empty()) weights = nb::cast(to_numpy(std::vector<double>(w_), {n}));
    nb::object entries = nb::none();
    if (codes_.sparse()) {
      const auto starts = codes_.entry_starts();
      std::vector<std::int32_t> rows;
      rows.reserve(codes);
      for (std::int32_t f = 0; f < codes_.features(); ++f) {
        const auto of = codes_.entry_rows(f);
        rows.insert(rows.end(), of.begin(), of.end());
      }
      entries = nb::make_tuple(
          to_numpy(std::vector<std::int64_t>(starts.begin(), starts.end()), {starts.size()}),
          to_numpy(std::move(rows), {codes}));
    }
    return nb::make_tuple(edge_arrays(codes_.all_edges()), packed, ranges(),
                          to_numpy(std::vector<double>(y_), {y_.size()}), weights,
                          to_numpy(std::vector<std::int32_t>(node_), {n}), n_classes_,
                          criterion_name_, entries, n_outputs_);
  }

  explicit BinnedBlock(const nb::tuple& state)
      : codes_(codes_of_state(state)),
        n_classes_(nb::cast<std::int32_t>(state[6])),
        n_outputs_(nb::len(state) < 10 ? 1 : nb::cast<std::int32_t>(state[9])),
        criterion_(qor::parse_package_criterion(nb::cast<std::string>(state[7]))),
        criterion_name_(nb::cast<std::string>(state[7])) {
    const auto y = nb::cast<Vector>(state[3]);
    y_ = copy_of<double>(y);
    set_factors();
    if (!state[4].is_none()) {
      const auto w = nb::cast<Vector>(state[4]);
      w_ = copy_of<double>(w);
    }
    const auto node = nb::cast<Array<std::int32_t>>(state[5]);
    node_ = copy_of<std::int32_t>(node);
    if (n_outputs_ < 1 || y_.size() != node_.size() * static_cast<std::size_t>(n_outputs_) ||
        (!w_.empty() && w_.size() != node_.size())) {
      throw std::invalid_argument("BinnedBlock: a state whose arrays disagree");
    }
    const auto ranges = ranges_of(nb::cast<Rows>(state[2]), codes_.layout().total());
    if (codes_.narrow()) {
      const auto codes = nb::cast<Array<std::uint8_t>>(state[1]);
      codes_.restore(std::span<const std::uint8_t>(codes.data(), codes.size()), ranges);
    } else {
      const auto codes = nb::cast<Array<std::uint16_t>>(state[1]);
      codes_.restore(copy_of<std::uint16_t>(codes), ranges);
    }
  }

 private:
  // The codes a state restores into: a sparse block's where its entries lie
  // (state[8]: where each feature's entries start, and their rows). state[9]
  // holds the outputs.
  static qor::BinnedMatrix codes_of_state(const nb::tuple& state) {
    auto edges = check_edges(nb::cast<std::vector<Vector>>(state[0]),
                             nb::len(nb::handle(state[0])));
    const std::int32_t rows = extent(nb::cast<Array<std::int32_t>>(state[5]).size(), "node");
    if (nb::len(state) < 9 || state[8].is_none()) return {std::move(edges), rows};
    const auto entries = nb::cast<nb::tuple>(state[8]);
    const auto starts = copy_of<std::int64_t>(nb::cast<Array<std::int64_t>>(entries[0]));
    const auto at = copy_of<std::int32_t>(nb::cast<Array<std::int32_t>>(entries[1]));
    const auto features = static_cast<std::int32_t>(edges.size());
    bool sound = starts.size() == edges.size() + 1 && starts.front() == 0 &&
                 starts.back() == static_cast<std::int64_t>(at.size());
    for (std::size_t f = 0; sound && f + 1 < starts.size(); ++f) {
      for (std::int64_t e = starts[f]; sound && e < starts[f + 1]; ++e) {
        const std::int32_t r = at[static_cast<std::size_t>(e)];
        sound = r >= 0 && r < rows && (e == starts[f] || r > at[static_cast<std::size_t>(e - 1)]);
      }
      sound = sound && starts[f] <= starts[f + 1];
    }
    if (!sound) throw std::invalid_argument("BinnedBlock: a state whose entries disagree");
    const qor::SparseMatrix view{starts.data(), at.data(), nullptr, rows, features, true};
    return {std::move(edges), view};
  }

  void check_rows(std::size_t rows, std::size_t targets, const Vector* sample_weight) const {
    if (n_outputs_ < 1) throw std::invalid_argument("BinnedBlock: n_outputs must be at least 1");
    if (targets != rows * static_cast<std::size_t>(n_outputs_) ||
        (sample_weight && sample_weight->shape(0) != rows)) {
      throw std::invalid_argument(
          "BinnedBlock: X, y and sample_weight need one entry per row (y: one per row and "
          "output)");
    }
  }

  static std::vector<qor::FeatureEdges> check_edges(const std::vector<Vector>& edges,
                                                    std::size_t features) {
    if (edges.size() != features) {
      throw std::invalid_argument("BinnedBlock: " + std::to_string(edges.size()) +
                                  " sets of bin edges for " + std::to_string(features) +
                                  " features");
    }
    return edges_of(edges);
  }

  void set_factors() {
    if (criterion_ != qor::Criterion::Poisson) return;
    if (n_outputs_ > 1) {
      throw std::invalid_argument("BinnedBlock: poisson grows trees of one output");
    }
    factors_ = qor::poisson_factors(y_);
  }

  qor::BinnedMatrix codes_;
  std::vector<double> y_;
  std::vector<double> w_;  // empty: unit weights
  std::vector<std::int32_t> node_;
  std::int32_t n_classes_ = 0;  // the most classes of any output; 0 for a regressor
  std::int32_t n_outputs_ = 1;
  qor::Criterion criterion_ = qor::Criterion::Mse;
  std::string criterion_name_;
  std::vector<double> factors_;  // poisson: BinnedRows::factor, made again from y_ when restored
};

// The grower on the side that sees no rows, fed the blocks' sums.
class Grower {
 public:
  Grower(const std::vector<Vector>& edges, const qor::TreeParams& params, bool weighted,
         const Vector& root_totals, const Rows& root_target)
      : layout_(qor::BinLayout::of(edges_of(edges))),
        grower_(layout_, params, weighted, copy_of<double>(root_totals),
                target_ranges(root_target, params.n_outputs)) {}

  bool next_level() { return grower_.next_level(); }
  nb::tuple build_slots() {
    const qor::SlotMap& map = grower_.build_slots();
    return nb::make_tuple(map.first_node,
                          to_numpy(std::vector<std::int32_t>(map.slot), {map.slot.size()}),
                          grower_.histograms().slots());
  }
  void add_histograms(const Vector& sums) { grower_.histograms().add(copy_of<double>(sums)); }
  double root_weight() const noexcept { return grower_.root_weight(); }
  bool choose(const Rows& ranges) {
    const auto merged = ranges_of(ranges, layout_.total());
    nb::gil_scoped_release unlocked;
    return grower_.choose(merged);
  }
  nb::dict routing() const {
    const qor::LevelRouting& r = grower_.routing();
    nb::dict out;
    out["feature"] = r.feature;
    out["first_node"] = r.first_node;
    out["last_left_bin"] =
        to_numpy(std::vector<std::int32_t>(r.last_left_bin), {r.last_left_bin.size()});
    out["left_bins"] = to_numpy(std::vector<std::uint8_t>(r.left_bins), {r.left_bins.size()});
    out["left_child"] = to_numpy(std::vector<std::int32_t>(r.left_child), {r.left_child.size()});
    out["first_child"] = r.first_child;
    out["children"] = r.children;
    return out;
  }
  void finish_level(const Rows& child_rows) {
    grower_.finish_level(children_of(child_rows, grower_.shape()));
  }
  nb::dict take_tree() { return tree_arrays(grower_.take_tree()); }

 private:
  qor::BinLayout layout_;
  qor::BinnedGrower grower_;
};

}  // namespace

void bind_binned(nb::module_& m) {
  m.def("fit_binned", &fit_binned, "X"_a, "y"_a, "sample_weight"_a.none(), "params"_a, "max_bins"_a,
        "bin_edges"_a.none() = nb::none(),
        "Grows a tree from bins: by bin_edges (one array of upper edges per feature), or "
        "quantiles of a sample in at most max_bins bins. Returns (tree arrays, edges used).");
  m.def("fit_binned_sparse", &fit_binned_sparse, "X"_a, "y"_a, "sample_weight"_a.none(),
        "params"_a, "max_bins"_a, "bin_edges"_a.none() = nb::none(),
        "fit_binned over a sparse X held by columns (int64 indptr, int32 indices, float64 "
        "data): codes are kept for the stored entries only.");
  m.def(
      "edges_from_candidates",
      [](const Vector& values, const Vector& counts, std::int32_t max_bins) {
        qor::FeatureEdges e =
            qor::edges_from_candidates(copy_of<double>(values), copy_of<double>(counts), max_bins);
        const std::size_t n = e.upper.size();
        return to_numpy(std::move(e.upper), {n});
      },
      "values"_a, "counts"_a, "max_bins"_a,
      "Upper bin edges from distinct ascending values and their weights (a merged sketch).");

  nb::class_<BinnedBlock>(m, "BinnedBlock",
                          "A block of a fit's rows, binned, with the node each row reached.")
      .def(nb::init<const Matrix&, const Vector&, std::optional<Vector>, const std::vector<Vector>&,
                    std::int32_t, std::int32_t, const std::string&, std::int32_t>(),
           "X"_a, "y"_a, "sample_weight"_a.none(), "bin_edges"_a, "n_classes"_a, "n_threads"_a = 1,
           "criterion"_a = "mse", "n_outputs"_a = 1,
           "criterion: what the sums of a regressor's rows are for; n_outputs: targets per row, "
           "y holding them column after column, n_classes the most classes of any output")
      .def(
          "__init__",
          [](BinnedBlock* block, const nb::handle& X, const Vector& y,
             std::optional<Vector> sample_weight, const std::vector<Vector>& edges,
             std::int32_t n_classes, std::int32_t n_threads, const std::string& criterion,
             std::int32_t n_outputs) {
            new (block) BinnedBlock(qor::bind::SparseArg(X, true), y, std::move(sample_weight),
                                    edges, n_classes, n_threads, criterion, n_outputs);
          },
          "X"_a, "y"_a, "sample_weight"_a.none(), "bin_edges"_a, "n_classes"_a, "n_threads"_a = 1,
          "criterion"_a = "mse", "n_outputs"_a = 1,
          "The same over a sparse X held by columns (int64 indptr, int32 indices, float64 "
          "data): codes for its stored entries only.")
      .def_prop_ro("rows", &BinnedBlock::rows)
      .def_prop_ro("nbytes", &BinnedBlock::nbytes)
      .def("root", &BinnedBlock::root, "(sums of every row, (n_outputs, 3) range of their targets)")
      .def("ranges", &BinnedBlock::ranges, "(lo, hi) of the values in every bin of the layout")
      .def("histograms", &BinnedBlock::histograms, "first_node"_a, "slot"_a, "slots"_a,
           "n_threads"_a = 1)
      .def("route", &BinnedBlock::route, "feature"_a, "first_node"_a, "last_left_bin"_a,
           "left_bins"_a, "left_child"_a, "first_child"_a, "children"_a, "n_threads"_a = 1)
      .def("__getstate__", &BinnedBlock::state)
      .def("__setstate__",
           [](BinnedBlock& block, const nb::tuple& state) { new (&block) BinnedBlock(state); });

  nb::class_<Grower>(m, "BinnedGrower", "The tree of a binned fit, chosen from merged sums.")
      .def(nb::init<const std::vector<Vector>&, const qor::TreeParams&, bool, const Vector&,
                    const Rows&>(),
           "bin_edges"_a, "params"_a, "weighted"_a, "root_totals"_a, "root_target"_a)
      .def("next_level", &Grower::next_level)
      .def("build_slots", &Grower::build_slots, "(first_node, slot per node, slots)")
      .def("add_histograms", &Grower::add_histograms, "sums"_a)
      .def_prop_ro("root_weight", &Grower::root_weight)
      .def("choose", &Grower::choose, "ranges"_a)
      .def("routing", &Grower::routing)
      .def("finish_level", &Grower::finish_level, "child_rows"_a)
      .def("take_tree", &Grower::take_tree);
}
