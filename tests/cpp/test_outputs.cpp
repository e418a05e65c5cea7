#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/binned/bin_stats.hpp"
#include "engine/criteria/impurity.hpp"
#include "engine/exact/exact_growth.hpp"
#include "engine/level/level_loop.hpp"

namespace {

using qor::Criterion;

TEST(SeveralOutputs, OneOutputsMeanImpurityIsItsOwnToTheBit) {
  for (const double impurity : {-0.0, 0.1 + 0.2, 1e-300, -1.0 / 3.0}) {
    const double mean = qor::mean_impurity(1, [&](std::size_t) { return impurity; });
    EXPECT_EQ(std::signbit(mean), std::signbit(impurity));
    EXPECT_EQ(mean, impurity);
  }
  const std::vector<double> three{0.5, 0.25, 0.0};
  EXPECT_EQ(qor::mean_impurity(3, [&](std::size_t k) { return three[k]; }), 0.75 / 3);
}

// Two outputs of four rows, column after column.
qor::TreeParams two_outputs(Criterion criterion) {
  qor::TreeParams params;
  params.criterion = criterion;
  params.n_outputs = 2;
  if (qor::counts_classes(criterion)) {
    params.n_classes = 3;
    params.output_classes = {2, 3};
  }
  return params;
}

TEST(SeveralOutputs, GrowthRefusesWhatSeveralOutputsCannotDo) {
  const std::vector<double> y{0, 1, 0, 1, 0, 2, 2, 1};
  const auto refuses = [&](qor::TreeParams params, const std::string& message) {
    try {
      qor::check_growth_inputs(4, y.data(), 4, nullptr, params);
      ADD_FAILURE() << "accepted: " << message;
    } catch (const std::invalid_argument& error) {
      EXPECT_NE(std::string(error.what()).find(message), std::string::npos) << error.what();
    }
  };
  qor::TreeParams params = two_outputs(Criterion::Gini);
  EXPECT_NO_THROW(qor::check_growth_inputs(4, y.data(), 4, nullptr, params));
  params.output_classes = {2, 2};  // output 1 holds the class code 2
  refuses(params, "y[:, 1][1] = 2.000000 is not a class code in [0, 2)");
  params.output_classes = {2};
  refuses(params, "output_classes needs each output's classes");
  params = two_outputs(Criterion::Mse);
  params.monotonic_cst = {1};
  refuses(params, "monotonic_cst is not supported with several outputs");
  params = two_outputs(Criterion::Mse);
  params.categorical = {1};
  refuses(params, "categorical features are not supported with several outputs");
}

TEST(SeveralOutputs, BinSumsHoldEveryOutputSideBySide) {
  // Rows (output 0, output 1) = (1, 0), (3, 2), weights 1 and 3.
  const std::vector<double> y{1, 3, 0, 2};
  const std::vector<double> w{1, 3};
  const auto regression = qor::StatShape::of(0, true, 2);
  EXPECT_EQ(regression.width, 6);
  std::vector<double> sums(6, 0.0);
  for (std::size_t r = 0; r < 2; ++r) regression.add_outputs(sums.data(), y.data(), 2, r, w[r]);
  EXPECT_EQ(sums, (std::vector<double>{2, 4, 10, 28, 6, 12}));
  EXPECT_EQ(regression.impurity(sums.data(), Criterion::Mse),
            (qor::mse_impurity(10, 28, 4) + qor::mse_impurity(6, 12, 4)) / 2);
  std::vector<double> value(2);
  regression.value(sums.data(), value);
  EXPECT_EQ(value, (std::vector<double>{2.5, 1.5}));

  const auto classes = qor::StatShape::of(4, false, 2);
  EXPECT_EQ(classes.width, 10);
  EXPECT_EQ(classes.value_width(), 8);
  std::vector<double> counts(10, 0.0);
  for (std::size_t r = 0; r < 2; ++r) classes.add_outputs(counts.data(), y.data(), 2, r, 1.0);
  EXPECT_EQ(counts, (std::vector<double>{2, 2, 0, 1, 0, 1, 1, 0, 1, 0}));
  EXPECT_EQ(classes.impurity(counts.data(), Criterion::Gini),
            (qor::gini_impurity(std::vector<double>{1, 1}, 2) +
             qor::gini_impurity(std::vector<double>{1, 1}, 2)) / 2);
}

TEST(SeveralOutputs, AGrownTreeHoldsEveryOutputsValuePerNode) {
  const std::vector<double> x{1, 2, 3, 4};
  const std::vector<double> y{0, 0, 1, 1, 0, 2, 2, 1};
  const qor::FeatureMatrix X{x.data(), 4, 1, true};
  qor::TreeParams params = two_outputs(Criterion::Gini);
  params.max_depth = 1;
  const qor::FlatTree tree = qor::grow_tree(X, {y.data(), 4}, nullptr, params);
  ASSERT_EQ(tree.node_count(), 3u);
  EXPECT_EQ(tree.value_width, 6);
  EXPECT_EQ(tree.threshold[0], 2.5);
  // Left: rows 0, 1 (classes 0, 0 and 0, 2); right: rows 2, 3 (1, 1 and 2, 1).
  EXPECT_EQ(std::vector<double>(tree.value.begin() + 6, tree.value.begin() + 12),
            (std::vector<double>{1, 0, 0, 0.5, 0, 0.5}));
  EXPECT_EQ(std::vector<double>(tree.value.begin() + 12, tree.value.end()),
            (std::vector<double>{0, 1, 0, 0, 0.5, 0.5}));
  EXPECT_EQ(tree.impurity[1], (0.0 + 0.5) / 2);
}

}  // namespace
