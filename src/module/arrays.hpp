// Glue shared by qor._core's bindings: extents checked for the engine's 32-bit
// views, and engine vectors handed to NumPy without copying.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "engine/level/beam.hpp"
#include "engine/tree/flat_tree.hpp"
#include "engine/tree/stage.hpp"

namespace qor::bind {

namespace nb = nanobind;

// The arrays the bindings read: C-ordered doubles on the CPU, read in place.
using Matrix = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using Vector = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

inline std::int32_t extent(std::size_t n, const char* what) {
  if (n > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    throw std::invalid_argument(std::string(what) + " has " + std::to_string(n) +
                                " entries, more than the largest supported, 2147483647");
  }
  return static_cast<std::int32_t>(n);
}

// Runs a fit's work and turns running out of memory into an error that says
// what the fit was doing and about how much that needed (MemoryError in Python).
template <class Work>
void say_what_ran_out(Work&& work) {
  fit_stage() = {};
  try {
    work();
  } catch (const std::bad_alloc&) {
    throw OutOfMemory(fit_stage());
  }
}

// A vector moved to the heap and handed to NumPy, which frees it.
template <class T>
nb::ndarray<nb::numpy, T> to_numpy(std::vector<T>&& values,
                                   std::initializer_list<std::size_t> shape) {
  auto* owned = new std::vector<T>(std::move(values));
  nb::capsule owner(owned, [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
  return nb::ndarray<nb::numpy, T>(owned->data(), shape, owner);
}

// An array of `count` elements left uninitialised, for outputs that are written
// whole: zeroing them first would cost a pass over memory of its own.
template <class T>
std::unique_ptr<T[]> uninitialised(std::size_t count) {
  return std::unique_ptr<T[]>(new T[count]);
}

template <class T>
nb::ndarray<nb::numpy, T> to_numpy(std::unique_ptr<T[]>&& values,
                                   std::initializer_list<std::size_t> shape) {
  T* owned = values.release();
  nb::capsule owner(owned, [](void* p) noexcept { delete[] static_cast<T*>(p); });
  return nb::ndarray<nb::numpy, T>(owned, shape, owner);
}

// The arrays of a grown tree, as qor._tree.Tree takes them (and its levels'
// features as "depth_features").
inline nb::dict tree_arrays(FlatTree&& tree) {
  const std::size_t nodes = tree.node_count();
  const auto width = static_cast<std::size_t>(tree.value_width);
  const std::size_t levels = tree.depth_features.size();
  const std::size_t pooled = tree.categories_left.size();
  nb::dict out;
  out["children_left"] = to_numpy(std::move(tree.children_left), {nodes});
  out["children_right"] = to_numpy(std::move(tree.children_right), {nodes});
  out["feature"] = to_numpy(std::move(tree.feature), {nodes});
  out["threshold"] = to_numpy(std::move(tree.threshold), {nodes});
  out["impurity"] = to_numpy(std::move(tree.impurity), {nodes});
  out["n_node_samples"] = to_numpy(std::move(tree.n_node_samples), {nodes});
  out["weighted_n_node_samples"] = to_numpy(std::move(tree.weighted_n_node_samples), {nodes});
  out["gain"] = to_numpy(std::move(tree.gain), {nodes});
  out["value"] = to_numpy(std::move(tree.value), {nodes, width});
  out["category_start"] = to_numpy(std::move(tree.category_start), {nodes});
  out["category_end"] = to_numpy(std::move(tree.category_end), {nodes});
  out["categories_left"] = to_numpy(std::move(tree.categories_left), {pooled});
  out["depth_features"] = to_numpy(std::move(tree.depth_features), {levels});
  return out;
}

// A lookahead fit's tree arrays, and under "lookahead_finalists" each
// finalist's (level features, final score), the greedy tree's first.
inline nb::dict lookahead_arrays(LookaheadFit&& fit) {
  nb::list finalists;
  for (std::size_t i = 0; i < fit.features.size(); ++i) {
    nb::list features;
    for (const std::int32_t f : fit.features[i]) features.append(f);
    finalists.append(nb::make_tuple(nb::tuple(features), fit.scores[i]));
  }
  nb::dict out = tree_arrays(std::move(fit.tree));
  out["lookahead_finalists"] = finalists;
  return out;
}

}  // namespace qor::bind
