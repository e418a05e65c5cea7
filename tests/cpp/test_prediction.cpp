#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <stdexcept>
#include <vector>

#include "engine/tree/prediction.hpp"
#include "fixtures.hpp"

namespace {

using qor::Criterion;
using qor::TaskKind;
using qor::testing::model_of;
using qor::testing::Table;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Root splits column 1 at 2.0: left leaf says 10 (counts 3, 1), right leaf 20 (0, 2).
qor::QORModel stump() {
  auto model = model_of(TaskKind::Classification, Criterion::Gini);
  model.classes_ = {10, 20};
  model.root = std::make_unique<qor::Node>();
  auto& root = *model.root;
  root.split_feature = 1;
  root.split_threshold = 2.0;
  root.left = std::make_unique<qor::Node>();
  root.left->value = 10;
  root.left->class_counts = {3, 1};
  root.right = std::make_unique<qor::Node>();
  root.right->value = 20;
  root.right->class_counts = {0, 2};
  return model;
}

TEST(Predict, ThresholdGoesLeftAndNanGoesRight) {
  const auto model = stump();
  const Table t({{0, 2.0}, {0, 2.0000001}, {0, nan}, {99, -1}}, {});
  EXPECT_EQ(model.predict(t.X()), (std::vector<double>{10, 20, 20, 10}));
  const auto proba = model.predict_proba(t.X());
  ASSERT_EQ(proba.size(), 4u);
  EXPECT_EQ(proba[0], (std::vector<double>{0.75, 0.25}));
  EXPECT_EQ(proba[2], (std::vector<double>{0.0, 1.0}));
}

TEST(Predict, ExtraColumnsAreIgnoredAndRowsAreIndependent) {
  const auto model = stump();
  const Table narrow({{0, 1}, {0, 3}}, {});
  const Table wide({{5, 3, 7, 7}, {-5, 1, 8, 8}}, {});
  const auto a = model.predict(narrow.X());
  const auto b = model.predict(wide.X());
  EXPECT_EQ(a, (std::vector<double>{b[1], b[0]}));
}

TEST(Predict, NoRowsNeedNoTree) {
  const auto unfitted = model_of(TaskKind::Classification, Criterion::Gini);
  const Table empty(std::vector<double>{}, {});
  EXPECT_TRUE(unfitted.predict(empty.X()).empty());
  EXPECT_TRUE(unfitted.predict_proba(empty.X()).empty());
}

TEST(Predict, UnfittedModelRefusesRows) {
  const auto unfitted = model_of(TaskKind::Classification, Criterion::Gini);
  const Table one({1.0}, {});
  EXPECT_THROW(unfitted.predict(one.X()), std::logic_error);
  EXPECT_THROW(unfitted.predict_proba(one.X()), std::logic_error);
}

TEST(Predict, TooFewColumnsAreRefusedNamingBoth) {
  const auto model = stump();
  const Table one_column({1.0}, {});
  try {
    model.predict(one_column.X());
    FAIL() << "read past the row";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(),
                 "X has 1 columns, but the tree splits on feature 1 and needs at least 2");
  }
  EXPECT_THROW(model.predict_proba(one_column.X()), std::invalid_argument);
}

TEST(PredictProba, ShortOrEmptyCountsReadAsZeros) {
  auto model = stump();
  model.classes_ = {10, 20, 30};  // as after a refit that failed part-way
  model.root->right->class_counts = {};
  const Table t({{0, 1}, {0, 3}}, {});
  const auto proba = model.predict_proba(t.X());
  EXPECT_EQ(proba[0], (std::vector<double>{0.75, 0.25, 0.0}));
  EXPECT_EQ(proba[1], (std::vector<double>{0.0, 0.0, 0.0}));
}

TEST(PredictProba, RegressionRowsAreEmpty) {
  const Table t({1, 2, 3, 4}, {1, 2, 3, 4});
  auto model = model_of(TaskKind::Regression, Criterion::Mse);
  model.fit(t.X(), t.Y());
  for (const auto& row : model.predict_proba(t.X())) EXPECT_TRUE(row.empty());
}

TEST(Predict, TrainingRowsReachTheLeafHoldingThem) {
  const Table t({{3, 1}, {1, 4}, {4, 1}, {1, 5}, {5, 9}, {9, 2}, {2, 6}, {6, 5}},
                {0, 1, 1, 0, 1, 2, 2, 0});
  auto model = model_of(TaskKind::Classification, Criterion::Entropy, 3);
  model.fit(t.X(), t.Y());
  for (std::size_t i = 0; i < t.y.size(); ++i) {
    const qor::Node& leaf = qor::leaf_for_row(t.X(), i, *model.root);
    EXPECT_NE(std::find(leaf.indices.begin(), leaf.indices.end(), i), leaf.indices.end());
  }
}

}  // namespace
