// Python bindings of the tree engine: argument conversion and registration only.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/unique_ptr.h>
#include <nanobind/stl/vector.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/native/model.hpp"
#include "engine/tree/views.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

using Matrix = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using Vector = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// The engine's views count in signed 32 bits; larger arrays are refused
// before any engine code sees them.
std::int32_t view_extent(std::size_t extent, const char* name, int axis) {
  if (extent > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    throw std::invalid_argument(std::string(name) + ".shape[" + std::to_string(axis) +
                                "] = " + std::to_string(extent) +
                                " exceeds the largest supported extent, 2147483647");
  }
  return static_cast<std::int32_t>(extent);
}

qor::FeatureMatrix matrix_view(const Matrix& X) {
  return {X.data(), view_extent(X.shape(0), "X", 0), view_extent(X.shape(1), "X", 1), true};
}

qor::TargetVector vector_view(const Vector& y) {
  return {y.data(), view_extent(y.shape(0), "y", 0)};
}

// Python Node objects name tree nodes by address, and nanobind answers a later
// lookup of the same address with the same object. A fit frees the old tree, so a
// Node held across it would read freed memory, and a new node born at a recycled
// address would be answered with the stale object. Instead the old tree is handed
// to a capsule that every held Node keeps alive: old nodes stay readable views of
// the tree they came from, and their addresses are not reused while they live.
std::vector<nb::object> held_nodes(const qor::Node* root) {
  std::vector<nb::object> held;
  std::vector<const qor::Node*> pending;
  if (root != nullptr) pending.push_back(root);
  while (!pending.empty()) {
    const qor::Node* node = pending.back();
    pending.pop_back();
    if (nb::object wrapper = nb::find(*node); wrapper.is_valid()) {
      held.push_back(std::move(wrapper));
    }
    if (node->left) pending.push_back(node->left.get());
    if (node->right) pending.push_back(node->right.get());
  }
  return held;
}

void fit(qor::QORModel& model, const Matrix& X, const Vector& y) {
  const qor::FeatureMatrix matrix = matrix_view(X);
  const qor::TargetVector targets = vector_view(y);
  std::vector<nb::object> held = held_nodes(model.root.get());
  std::unique_ptr<qor::Node> old_tree;
  if (!held.empty()) old_tree = std::move(model.root);
  try {
    model.fit(matrix, targets);
  } catch (...) {
    if (old_tree) model.root = std::move(old_tree);  // a failed fit keeps the old tree
    throw;
  }
  if (old_tree) {
    nb::capsule owner(old_tree.release(),
                      [](void* tree) noexcept { delete static_cast<qor::Node*>(tree); });
    for (const nb::object& wrapper : held) nb::detail::keep_alive(wrapper.ptr(), owner.ptr());
  }
}

nb::dict depth_features(const qor::QORModel& model) {
  nb::dict out;
  for (const auto& [depth, feature] : model.depth_features_) {
    out[nb::int_(depth)] = nb::int_(feature);
  }
  return out;
}

}  // namespace

NB_MODULE(_qor_native, m) {
  constexpr auto internal = nb::rv_policy::reference_internal;

  nb::class_<qor::Node>(m, "Node")
      .def_prop_ro(
          "is_leaf", [](const qor::Node& n) { return n.is_leaf(); }, internal)
      .def_prop_ro(
          "indices", [](const qor::Node& n) { return n.indices; }, internal)
      .def_prop_ro(
          "split_feature", [](const qor::Node& n) { return n.split_feature; }, internal)
      .def_prop_ro(
          "split_threshold", [](const qor::Node& n) { return n.split_threshold; }, internal)
      .def_prop_ro(
          "value", [](const qor::Node& n) { return n.value; }, internal)
      .def_prop_ro(
          "class_counts",
          [](const qor::Node& n) -> const std::vector<double>& { return n.class_counts; }, internal)
      .def_prop_ro(
          "left", [](const qor::Node& n) { return n.left.get(); }, internal)
      .def_prop_ro("right", [](const qor::Node& n) { return n.right.get(); }, internal);

  nb::class_<qor::QORModel>(m, "QORModel")
      .def(nb::new_([](std::string task, std::string criterion, std::int32_t max_depth,
                       std::int32_t min_samples_split, std::int32_t min_samples_leaf) {
             return qor::make_model(task, criterion, max_depth, min_samples_split,
                                    min_samples_leaf);
           }),
           "task"_a, "criterion"_a, "max_depth"_a, "min_samples_split"_a, "min_samples_leaf"_a)
      .def("fit", fit, "X"_a, "y"_a)
      .def(
          "predict",
          [](const qor::QORModel& model, const Matrix& X) { return model.predict(matrix_view(X)); },
          "X"_a)
      .def(
          "predict_proba",
          [](const qor::QORModel& model, const Matrix& X) {
            return model.predict_proba(matrix_view(X));
          },
          "X"_a)
      .def_prop_ro(
          "classes_", [](const qor::QORModel& model) { return model.classes_; }, internal)
      .def_prop_ro(
          "n_classes_", [](const qor::QORModel& model) { return model.classes_.size(); }, internal)
      .def_prop_ro("depth_features_", depth_features, internal)
      .def_prop_ro("root", [](const qor::QORModel& model) { return model.root.get(); }, internal);
}
