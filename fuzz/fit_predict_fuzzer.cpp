// libFuzzer target: arbitrary matrices, targets and parameters through fit,
// predict and predict_proba. Orderly refusals (std::invalid_argument,
// std::logic_error) are fine; a crash, a sanitizer report or a broken tree
// invariant is a finding.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <vector>

#include "engine/exact/exact_growth.hpp"
#include "engine/native/model.hpp"
#include "engine/tree/prediction.hpp"

namespace {

constexpr double kPalette[] = {0.0,
                               -0.0,
                               1.0,
                               -1.0,
                               0.5,
                               2.0,
                               3.0,
                               1e308,
                               -1e308,
                               5e-324,
                               1e-300,
                               std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity(),
                               std::numeric_limits<double>::quiet_NaN()};

void require(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

// Mostly values from a small palette, so that ties and extremes are common;
// sometimes any bit pattern at all.
double draw_value(FuzzedDataProvider& in) {
  if (in.ConsumeBool()) return in.PickValueInArray(kPalette);
  return in.ConsumeFloatingPoint<double>();
}

std::vector<double> draw_values(FuzzedDataProvider& in, std::size_t count) {
  std::vector<double> out(count);
  for (double& v : out) v = draw_value(in);
  return out;
}

void check_tree(const qor::QORModel& model, const qor::FeatureMatrix& X) {
  struct Item {
    const qor::Node* node;
    std::int32_t depth;
  };
  std::vector<Item> pending{{model.root.get(), 0}};
  std::size_t rows_in_leaves = 0;
  while (!pending.empty()) {
    const auto [node, depth] = pending.back();
    pending.pop_back();
    require((node->left == nullptr) == (node->right == nullptr), "one child only");
    if (node->is_leaf()) {
      require(depth <= std::max(model.params.max_depth, 0), "leaf below max_depth");
      require(node->is_finalized && node->split_feature == -1, "leaf state");
      rows_in_leaves += node->indices.size();
      if (model.params.task == qor::TaskKind::Classification) {
        require(node->class_counts.size() == model.classes_.size(), "class_counts size");
        double total = 0.0;
        for (const double c : node->class_counts) total += c;
        require(total == static_cast<double>(node->indices.size()), "class_counts sum");
      }
      for (const std::size_t r : node->indices) {
        require(&qor::leaf_for_row(X, r, *model.root) == node, "row reaches its leaf");
      }
      continue;
    }
    const auto level = model.depth_features_.find(depth);
    require(level != model.depth_features_.end() && level->second == node->split_feature,
            "one feature per level");
    require(node->split_feature >= 0 && node->split_feature < X.cols, "split column");
    const auto& left = node->left->indices;
    const auto& right = node->right->indices;
    require(!left.empty() && !right.empty(), "empty child");
    require(left.size() + right.size() == node->indices.size(), "children partition parent");
    std::vector<std::size_t> merged;
    std::merge(left.begin(), left.end(), right.begin(), right.end(), std::back_inserter(merged));
    require(merged == node->indices, "children keep the parent's order");
    pending.push_back({node->left.get(), depth + 1});
    pending.push_back({node->right.get(), depth + 1});
  }
  require(rows_in_leaves == static_cast<std::size_t>(X.rows), "every row in one leaf");
}

void predict_other(const qor::QORModel& model, FuzzedDataProvider& in) {
  const auto rows = in.ConsumeIntegralInRange<std::int32_t>(0, 6);
  const auto cols = in.ConsumeIntegralInRange<std::int32_t>(0, 8);
  const std::vector<double> data = draw_values(in, static_cast<std::size_t>(rows * cols));
  const qor::FeatureMatrix X{data.data(), rows, cols, true};
  try {
    const auto values = model.predict(X);
    const auto proba = model.predict_proba(X);
    require(values.size() == static_cast<std::size_t>(rows), "predict size");
    require(proba.size() == static_cast<std::size_t>(rows), "predict_proba size");
    for (const auto& p : proba) require(p.size() == model.classes_.size(), "proba width");
  } catch (const std::invalid_argument&) {  // too few columns for the tree
  } catch (const std::logic_error&) {       // never fitted
  }
}

// The package's path: growth with weights, categories, constraints and
// threads into a flat tree, whose arrays prediction must refuse, not follow,
// once they are broken.
void grow_flat(FuzzedDataProvider& in) {
  const auto rows = in.ConsumeIntegralInRange<std::int32_t>(0, 40);
  const auto cols = in.ConsumeIntegralInRange<std::int32_t>(1, 4);
  std::vector<double> x = draw_values(in, static_cast<std::size_t>(rows * cols));
  std::vector<double> y(static_cast<std::size_t>(rows));
  std::vector<double> w(static_cast<std::size_t>(rows));
  qor::TreeParams params;
  params.criterion = static_cast<qor::Criterion>(in.ConsumeIntegralInRange<int>(0, 3));
  const bool classify =
      params.criterion == qor::Criterion::Gini || params.criterion == qor::Criterion::Entropy;
  params.n_classes = classify ? in.ConsumeIntegralInRange<std::int32_t>(1, 3) : 0;
  for (double& t : y) {
    t = classify ? in.ConsumeIntegralInRange<int>(0, params.n_classes - 1)
                 : in.ConsumeFloatingPoint<double>();
    if (!std::isfinite(t)) t = 0.0;
  }
  const bool weighted = in.ConsumeBool();
  for (double& v : w) v = in.ConsumeIntegralInRange<int>(0, 4) * 0.5;
  params.max_depth = in.ConsumeIntegralInRange<std::int32_t>(0, 8);
  params.min_samples_leaf = in.ConsumeIntegralInRange<std::int32_t>(1, 4);
  params.min_weight_leaf = in.ConsumeIntegralInRange<int>(0, 3) * 0.5;
  params.n_threads = in.ConsumeIntegralInRange<int>(1, 3);
  for (std::int32_t j = 0; j < cols; ++j) {
    const bool categorical = in.ConsumeBool();
    params.categorical.push_back(categorical);
    params.monotonic_cst.push_back(
        categorical || params.n_classes > 2 ? 0 : in.ConsumeIntegralInRange<std::int8_t>(-1, 1));
    for (std::int32_t r = 0; r < rows && categorical; ++r) {
      double& v = x[static_cast<std::size_t>(r * cols + j)];
      if (!std::isnan(v)) v = std::floor(std::abs(std::fmod(v, 50.0)));
    }
  }
  const qor::FeatureMatrix X{x.data(), rows, cols, true};
  qor::FlatTree tree = qor::grow_tree(X, {y.data(), rows}, weighted ? w.data() : nullptr, params);
  require(tree.node_count() % 2 == 1, "every split adds two nodes");
  std::vector<std::int64_t> leaves(static_cast<std::size_t>(rows));
  qor::apply_rows(qor::TreeView::of(tree), X, leaves, params.n_threads);
  for (const std::int64_t leaf : leaves) {
    require(tree.is_leaf(static_cast<std::size_t>(leaf)), "rows end in leaves");
  }
  // Break the arrays at random: routing must stay inside them or refuse.
  for (int change = in.ConsumeIntegralInRange<int>(0, 3); change > 0; --change) {
    const auto node = in.ConsumeIntegralInRange<std::size_t>(0, tree.node_count() - 1);
    const auto value = in.ConsumeIntegralInRange<std::int64_t>(-3, 70);
    switch (in.ConsumeIntegralInRange<int>(0, 4)) {
      case 0:
        tree.children_left[node] = value;
        break;
      case 1:
        tree.children_right[node] = value;
        break;
      case 2:
        tree.feature[node] = value;
        break;
      case 3:
        tree.category_start[node] = value;
        break;
      default:
        tree.category_end[node] = value;
        break;
    }
  }
  try {
    qor::apply_rows(qor::TreeView::of(tree), X, leaves, 1);
  } catch (const std::invalid_argument&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider in(bytes, size);
  if (in.ConsumeBool()) {
    grow_flat(in);
    return 0;
  }
  qor::ModelParams params;
  params.task = in.ConsumeBool() ? qor::TaskKind::Classification : qor::TaskKind::Regression;
  params.criterion = static_cast<qor::Criterion>(in.ConsumeIntegralInRange<int>(0, 3));
  params.max_depth = in.ConsumeIntegralInRange<std::int32_t>(-2, 12);
  params.min_samples_split = in.ConsumeIntegralInRange<std::int32_t>(-2, 8);
  params.min_samples_leaf = in.ConsumeIntegralInRange<std::int32_t>(-2, 8);
  qor::QORModel model(params);

  predict_other(model, in);  // before any fit
  for (int round = 0; round < 2 && in.remaining_bytes() > 0; ++round) {
    const auto rows = in.ConsumeIntegralInRange<std::int32_t>(0, 48);
    const auto cols = in.ConsumeIntegralInRange<std::int32_t>(0, 5);
    const auto extra = in.ConsumeIntegralInRange<std::int32_t>(-1, 3);  // -1: y too short
    const std::vector<double> x = draw_values(in, static_cast<std::size_t>(rows * cols));
    const std::vector<double> y =
        draw_values(in, static_cast<std::size_t>(std::max(rows + extra, 0)));
    const qor::FeatureMatrix X{x.data(), rows, cols, true};
    const qor::TargetVector Y{y.data(), static_cast<std::int32_t>(y.size())};
    const qor::Node* before = model.root.get();
    try {
      model.fit(X, Y);
    } catch (const std::invalid_argument&) {
      require(model.root.get() == before, "a refused fit keeps the tree");
      continue;
    }
    check_tree(model, X);
    predict_other(model, in);
  }
  return 0;
}
