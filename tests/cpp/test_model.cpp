#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "engine/native/model.hpp"

namespace {

using qor::Criterion;
using qor::TaskKind;

TEST(Enumerations, HaveTheirFixedValues) {
  EXPECT_EQ(static_cast<int>(TaskKind::Classification), 0);
  EXPECT_EQ(static_cast<int>(TaskKind::Regression), 1);
  EXPECT_EQ(static_cast<int>(Criterion::Gini), 0);
  EXPECT_EQ(static_cast<int>(Criterion::Entropy), 1);
  EXPECT_EQ(static_cast<int>(Criterion::Mse), 2);
  EXPECT_EQ(static_cast<int>(Criterion::Mae), 3);
}

TEST(ModelParams, Defaults) {
  const qor::ModelParams p;
  EXPECT_EQ(p.task, TaskKind::Classification);
  EXPECT_EQ(p.criterion, Criterion::Gini);
  EXPECT_EQ(p.max_depth, 5);
  EXPECT_EQ(p.min_samples_split, 2);
  EXPECT_EQ(p.min_samples_leaf, 1);
}

TEST(TaskFromName, OnlyTheExactWordIsClassification) {
  EXPECT_EQ(qor::task_from_name("classification"), TaskKind::Classification);
  for (const char* name : {"Classification", "classification ", "", "regression", "class"}) {
    EXPECT_EQ(qor::task_from_name(name), TaskKind::Regression) << '"' << name << '"';
  }
  EXPECT_EQ(qor::task_from_name(std::string("classification\0x", 16)), TaskKind::Regression);
}

TEST(ParseCriterion, AcceptsTheFourNames) {
  EXPECT_EQ(qor::parse_criterion("gini"), Criterion::Gini);
  EXPECT_EQ(qor::parse_criterion("entropy"), Criterion::Entropy);
  EXPECT_EQ(qor::parse_criterion("mse"), Criterion::Mse);
  EXPECT_EQ(qor::parse_criterion("mae"), Criterion::Mae);
}

TEST(ParseCriterion, RejectsAnythingElseNamingIt) {
  for (const std::string name : {"Gini", "gini ", "", "squared_error"}) {
    try {
      qor::parse_criterion(name);
      FAIL() << "accepted " << name;
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()), "Unknown criterion: " + name);
    }
  }
}

TEST(MakeModel, CopiesParametersUnchecked) {
  const auto model = qor::make_model("regression", "gini", -3, 0, -7);
  EXPECT_EQ(model->params.task, TaskKind::Regression);
  EXPECT_EQ(model->params.criterion, Criterion::Gini);
  EXPECT_EQ(model->params.max_depth, -3);
  EXPECT_EQ(model->params.min_samples_split, 0);
  EXPECT_EQ(model->params.min_samples_leaf, -7);
  EXPECT_EQ(model->root, nullptr);
  EXPECT_TRUE(model->classes_.empty());
  EXPECT_TRUE(model->depth_features_.empty());
  EXPECT_EQ(model->n_features, 0);
  EXPECT_EQ(qor::make_model("classification", "mse", 1, 2, 3)->params.task,
            TaskKind::Classification);
}

TEST(MakeModel, UnknownCriterionThrows) {
  EXPECT_THROW(qor::make_model("classification", "Gini", 3, 2, 1), std::invalid_argument);
}

TEST(Node, DefaultIsAnEmptyLeaf) {
  const qor::Node n;
  EXPECT_TRUE(n.indices.empty());
  EXPECT_TRUE(n.class_counts.empty());
  EXPECT_EQ(n.split_feature, -1);
  EXPECT_EQ(n.split_threshold, 0.0);
  EXPECT_EQ(n.value, 0.0);
  EXPECT_FALSE(n.is_split);
  EXPECT_FALSE(n.is_finalized);
  EXPECT_TRUE(n.is_leaf());
}

TEST(Node, IsLeafLooksOnlyAtChildren) {
  qor::Node n;
  n.is_split = true;
  EXPECT_TRUE(n.is_leaf());
  n.right = std::make_unique<qor::Node>();
  EXPECT_FALSE(n.is_leaf());
  n.is_finalized = true;
  EXPECT_FALSE(n.is_leaf());
}

TEST(Node, MoveTransfersContentsAndChildren) {
  qor::Node a;
  a.indices = {1, 2};
  a.class_counts = {3.0};
  a.left = std::make_unique<qor::Node>();
  a.right = std::make_unique<qor::Node>();
  a.split_feature = 4;
  a.split_threshold = 0.5;
  a.value = 7.0;
  a.is_split = true;
  qor::Node* left = a.left.get();

  qor::Node b(std::move(a));
  EXPECT_EQ(b.left.get(), left);
  EXPECT_EQ(b.indices, (std::vector<std::size_t>{1, 2}));
  EXPECT_EQ(b.split_feature, 4);
  EXPECT_TRUE(b.is_split);
  EXPECT_EQ(a.left, nullptr);
  EXPECT_EQ(a.right, nullptr);
  EXPECT_TRUE(a.indices.empty());
  EXPECT_TRUE(a.class_counts.empty());

  // Assigning a node's own child to it keeps the child's contents.
  qor::Node c;
  c.left = std::make_unique<qor::Node>();
  c.left->value = 9.0;
  c.left->left = std::make_unique<qor::Node>();
  c = std::move(*c.left);
  EXPECT_EQ(c.value, 9.0);
  ASSERT_NE(c.left, nullptr);
  EXPECT_TRUE(c.left->is_leaf());
}

// Trees as high as their row count must be released without deep recursion.
TEST(Node, ReleasesAMillionNodeChainIteratively) {
  for (const bool to_the_left : {true, false}) {
    auto root = std::make_unique<qor::Node>();
    qor::Node* tip = root.get();
    for (int i = 0; i < 1'000'000; ++i) {
      auto& child = to_the_left ? tip->left : tip->right;
      child = std::make_unique<qor::Node>();
      tip = child.get();
    }
    root.reset();
    EXPECT_EQ(root, nullptr);
  }
}

TEST(Node, ReleasesAZigZagChainAndBushyTree) {
  auto root = std::make_unique<qor::Node>();
  qor::Node* tip = root.get();
  for (int i = 0; i < 1'000'000; ++i) {
    tip->left = std::make_unique<qor::Node>();
    tip->right = std::make_unique<qor::Node>();
    tip = (i % 2 == 0 ? tip->left : tip->right).get();
  }
  qor::QORModel model(qor::ModelParams{});
  model.root = std::move(root);
  qor::QORModel moved(std::move(model));
  EXPECT_EQ(model.root, nullptr);
  EXPECT_NE(moved.root, nullptr);
}

}  // namespace
