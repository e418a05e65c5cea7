// The presorted split search against the literal per-node method on random
// data: whole trees must agree node by node, bit for bit, except mae on
// non-integer targets, whose deviation sums may differ by rounding.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "engine/criteria.hpp"
#include "engine/level_split.hpp"
#include "engine/model.hpp"
#include "fixtures.hpp"
#include "reference_split.hpp"

namespace {

using qor::Criterion;
using qor::Node;
using qor::TaskKind;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

enum class Values { Distinct, Repeated, WithNan, SignedZeros };
enum class Targets { Labels, ManyLabels, Integers, Reals, RealsWithNan };

struct Problem {
  std::vector<double> x;  // row-major
  std::vector<double> y;
  std::int32_t rows = 0;
  std::int32_t cols = 0;

  qor::FeatureMatrix X() const { return {x.data(), rows, cols, true}; }
  qor::TargetVector Y() const { return {y.data(), static_cast<std::int32_t>(y.size())}; }
};

Problem random_problem(std::mt19937_64& rng, std::int32_t rows, std::int32_t cols, Values values,
                       Targets targets) {
  Problem p;
  p.rows = rows;
  p.cols = cols;
  std::normal_distribution<double> normal;
  std::uniform_int_distribution<int> small(0, 4);
  std::uniform_real_distribution<double> unit;
  for (std::int32_t i = 0; i < rows * cols; ++i) {
    switch (values) {
      case Values::Distinct:
        p.x.push_back(normal(rng));
        break;
      case Values::Repeated:
        p.x.push_back(small(rng));
        break;
      case Values::WithNan:
        p.x.push_back(unit(rng) < 0.15 ? nan : small(rng) * 0.5);
        break;
      case Values::SignedZeros:
        p.x.push_back(unit(rng) < 0.5 ? (unit(rng) < 0.5 ? -0.0 : 0.0) : small(rng) - 2.0);
        break;
    }
  }
  for (std::int32_t i = 0; i < rows; ++i) {
    // Targets lean on column 0 so that splits find structure, not only noise.
    const double lean = p.x[static_cast<std::size_t>(i * cols)];
    const double signal = std::isnan(lean) ? 0.0 : lean;
    switch (targets) {
      case Targets::Labels:
        p.y.push_back(unit(rng) < 0.3 ? small(rng) % 3 * 2.5 - 1 : (signal > 0.5 ? 4.0 : -1.0));
        break;
      case Targets::ManyLabels:
        p.y.push_back(static_cast<double>(std::uniform_int_distribution<int>(0, 11)(rng)));
        break;
      case Targets::Integers:
        p.y.push_back(std::round(signal * 3 + normal(rng) * 4));
        break;
      case Targets::Reals:
        p.y.push_back(signal * 2 + normal(rng) * 10);
        break;
      case Targets::RealsWithNan:
        p.y.push_back(unit(rng) < 0.05 ? nan : signal + normal(rng));
        break;
    }
  }
  return p;
}

bool same_double(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

// Node by node, without recursion: rows, split and leaf contents.
void expect_same_tree(const Node* a, const Node* b) {
  std::vector<std::pair<const Node*, const Node*>> pending{{a, b}};
  while (!pending.empty()) {
    const auto [x, y] = pending.back();
    pending.pop_back();
    ASSERT_EQ(x == nullptr, y == nullptr);
    if (x == nullptr) continue;
    ASSERT_EQ(x->indices, y->indices);
    ASSERT_EQ(x->is_split, y->is_split);
    ASSERT_EQ(x->is_finalized, y->is_finalized);
    ASSERT_EQ(x->split_feature, y->split_feature);
    ASSERT_TRUE(same_double(x->split_threshold, y->split_threshold))
        << x->split_threshold << " vs " << y->split_threshold;
    ASSERT_TRUE(same_double(x->value, y->value)) << x->value << " vs " << y->value;
    ASSERT_EQ(x->class_counts, y->class_counts);
    pending.emplace_back(x->left.get(), y->left.get());
    pending.emplace_back(x->right.get(), y->right.get());
  }
}

struct Limits {
  std::int32_t max_depth;
  std::int32_t min_samples_split;
  std::int32_t min_samples_leaf;
};

using WholeTreeCase = std::tuple<Criterion, TaskKind, Values, Targets, Limits>;

class WholeTree : public ::testing::TestWithParam<WholeTreeCase> {};

TEST_P(WholeTree, MatchesTheLiteralMethod) {
  const auto [criterion, task, values, targets, limits] = GetParam();
  std::mt19937_64 rng(static_cast<std::uint64_t>(criterion) * 1000 +
                      static_cast<std::uint64_t>(values) * 10 +
                      static_cast<std::uint64_t>(targets));
  // Sizes on both sides of the sort's radix threshold, and one-row problems.
  for (const std::int32_t rows : {1, 7, 60, 300, 700}) {
    const Problem p = random_problem(rng, rows, 4, values, targets);
    const qor::ModelParams params{task, criterion, limits.max_depth, limits.min_samples_split,
                                  limits.min_samples_leaf};
    qor::QORModel fast(params);
    qor::QORModel literal(params);
    fast.fit(p.X(), p.Y());
    qor::reference::fit(literal, p.X(), p.Y());
    SCOPED_TRACE("rows " + std::to_string(rows));
    EXPECT_EQ(fast.depth_features_, literal.depth_features_);
    EXPECT_EQ(fast.classes_, literal.classes_);
    expect_same_tree(fast.root.get(), literal.root.get());
  }
}

const Limits kLimits[] = {{6, 2, 1}, {5, 9, 4}, {4, 1, 0}, {12, 2, 1}};

INSTANTIATE_TEST_SUITE_P(Tallies, WholeTree,
                         ::testing::Combine(::testing::Values(Criterion::Gini, Criterion::Entropy),
                                            ::testing::Values(TaskKind::Classification),
                                            ::testing::Values(Values::Distinct, Values::Repeated,
                                                              Values::WithNan, Values::SignedZeros),
                                            ::testing::Values(Targets::Labels, Targets::ManyLabels),
                                            ::testing::ValuesIn(kLimits)));

// Under regression every distinct target is a label of its own, NaN included.
INSTANTIATE_TEST_SUITE_P(TalliesOfNumbers, WholeTree,
                         ::testing::Combine(::testing::Values(Criterion::Gini, Criterion::Entropy),
                                            ::testing::Values(TaskKind::Regression),
                                            ::testing::Values(Values::Repeated, Values::WithNan),
                                            ::testing::Values(Targets::Integers,
                                                              Targets::RealsWithNan),
                                            ::testing::Values(Limits{5, 2, 1}, Limits{4, 6, 2})));

INSTANTIATE_TEST_SUITE_P(Mse, WholeTree,
                         ::testing::Combine(::testing::Values(Criterion::Mse),
                                            ::testing::Values(TaskKind::Regression,
                                                              TaskKind::Classification),
                                            ::testing::Values(Values::Distinct, Values::Repeated,
                                                              Values::WithNan, Values::SignedZeros),
                                            ::testing::Values(Targets::Reals, Targets::Labels),
                                            ::testing::ValuesIn(kLimits)));

INSTANTIATE_TEST_SUITE_P(MseWithNanTargets, WholeTree,
                         ::testing::Combine(::testing::Values(Criterion::Mse),
                                            ::testing::Values(TaskKind::Regression),
                                            ::testing::Values(Values::Distinct, Values::WithNan),
                                            ::testing::Values(Targets::RealsWithNan),
                                            ::testing::Values(Limits{6, 2, 1})));

// mae is exact on integer targets; labels are integers too (after the -1 shift
// they are -1, 1.5 and 4: halves, still exact).
INSTANTIATE_TEST_SUITE_P(Mae, WholeTree,
                         ::testing::Combine(::testing::Values(Criterion::Mae),
                                            ::testing::Values(TaskKind::Regression,
                                                              TaskKind::Classification),
                                            ::testing::Values(Values::Distinct, Values::Repeated,
                                                              Values::WithNan, Values::SignedZeros),
                                            ::testing::Values(Targets::Integers, Targets::Labels),
                                            ::testing::ValuesIn(kLimits)));

// The literal gain of cutting `node` at `threshold` under mae.
double literal_mae_gain(const Problem& p, const Node& node, std::int32_t f, double threshold) {
  std::vector<double> all;
  std::vector<double> left;
  std::vector<double> right;
  for (const std::size_t r : node.indices) {
    const double t = p.y[r];
    all.push_back(t);
    (p.x[r * static_cast<std::size_t>(p.cols) + static_cast<std::size_t>(f)] <= threshold ? left
                                                                                          : right)
        .push_back(t);
  }
  const auto n = static_cast<double>(all.size());
  return qor::mae_impurity(all) -
         (static_cast<double>(left.size()) / n * qor::mae_impurity(left) +
          static_cast<double>(right.size()) / n * qor::mae_impurity(right));
}

// mae on real targets: the deviation sum is piecewise linear, so cuts often
// tie exactly and rounding alone picks one of them. For every node of a
// literal tree and every feature, the cut found must be a best cut up to
// rounding, by the literal arithmetic.
TEST(NodeThresholdDifferential, MaeOnRealTargetsFindsABestCutUpToRounding) {
  std::mt19937_64 rng(77);
  for (const Values values : {Values::Distinct, Values::Repeated, Values::WithNan}) {
    const Problem p = random_problem(rng, 400, 3, values, Targets::Reals);
    qor::QORModel literal(qor::ModelParams{TaskKind::Regression, Criterion::Mae, 5, 2, 1});
    qor::reference::fit(literal, p.X(), p.Y());
    std::vector<const Node*> pending{literal.root.get()};
    int compared = 0;
    while (!pending.empty()) {
      const Node* node = pending.back();
      pending.pop_back();
      if (node->left) {
        pending.push_back(node->left.get());
        pending.push_back(node->right.get());
      }
      for (std::int32_t f = 0; f < p.cols; ++f) {
        const auto fast = qor::find_node_threshold(p.X(), p.Y(), *node, f, Criterion::Mae, 2, 1);
        const auto want =
            qor::reference::find_node_threshold(p.X(), p.Y(), *node, f, Criterion::Mae, 2, 1);
        ASSERT_EQ(fast.valid, want.valid);
        if (!want.valid) continue;
        const double tolerance = 1e-9 * (1 + std::abs(want.gain));
        EXPECT_NEAR(fast.gain, want.gain, tolerance);
        EXPECT_NEAR(literal_mae_gain(p, *node, f, fast.threshold), want.gain, tolerance);
        ++compared;
      }
    }
    EXPECT_GT(compared, 20);
  }
}

// Nodes that are no tree's level: overlapping rows, rows out of order, and
// every criterion, through both the per-node and the per-level entry points.
TEST(LevelSplitDifferential, ArbitraryNodeListsMatchTheLiteralMethod) {
  std::mt19937_64 rng(5);
  for (const Criterion criterion :
       {Criterion::Gini, Criterion::Entropy, Criterion::Mse, Criterion::Mae}) {
    const Problem p = random_problem(rng, 90, 3, Values::Repeated, Targets::Integers);
    std::vector<std::unique_ptr<Node>> owned;
    for (int i = 0; i < 5; ++i) {
      auto node = std::make_unique<Node>();
      for (std::size_t r = 0; r < 90; ++r) {
        if (std::uniform_int_distribution<int>(0, 2)(rng) == 0) node->indices.push_back(r);
      }
      std::shuffle(node->indices.begin(), node->indices.end(), rng);
      owned.push_back(std::move(node));
    }
    std::vector<Node*> nodes;
    for (const auto& node : owned) nodes.push_back(node.get());
    for (const auto& [mss, msl] : {std::pair{2, 1}, std::pair{25, 7}}) {
      qor::QORModel model(qor::ModelParams{TaskKind::Regression, criterion, 5, mss, msl});
      model.n_features = p.cols;
      const auto fast = model.choose_level_split(p.X(), p.Y(), nodes);
      const auto want = qor::reference::choose_level_split(model, p.X(), p.Y(), nodes);
      EXPECT_EQ(fast.feature, want.feature);
      EXPECT_EQ(fast.thresholds, want.thresholds);
      for (const Node* node : nodes) {
        for (std::int32_t f = 0; f < p.cols; ++f) {
          const auto a = qor::find_node_threshold(p.X(), p.Y(), *node, f, criterion, mss, msl);
          const auto b =
              qor::reference::find_node_threshold(p.X(), p.Y(), *node, f, criterion, mss, msl);
          EXPECT_EQ(a.valid, b.valid);
          EXPECT_TRUE(same_double(a.threshold, b.threshold));
          EXPECT_TRUE(same_double(a.gain, b.gain));
        }
      }
    }
  }
}

}  // namespace
