// The presorted split search against the literal per-node method on random
// data: whole trees must agree node by node, bit for bit.

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

#include "engine/criteria/impurity.hpp"
#include "engine/exact/exact_growth.hpp"
#include "engine/exact/exact_search.hpp"
#include "engine/native/model.hpp"
#include "fixtures.hpp"
#include "reference_split.hpp"

namespace {

using qor::Criterion;
using qor::Node;
using qor::TaskKind;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

enum class Values { Distinct, Repeated, WithNan, SignedZeros };
enum class Targets {
  Labels,
  TwoLabels,  // which the scan reads as one bit a row
  ManyLabels,
  Codes,
  TwoCodes,
  Integers,
  Reals,
  RealsWithNan,
  Tenths,
  Cents,
  HeavyTailed,
  Counts  // >= 0, many of them 0, at least one above 0
};

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
      case Targets::TwoLabels:
        p.y.push_back(unit(rng) < 0.3 ? small(rng) % 2 * 5.0 - 1 : (signal > 0.5 ? 4.0 : -1.0));
        break;
      case Targets::TwoCodes:
        p.y.push_back(unit(rng) < 0.3 ? small(rng) % 2 : (signal > 0.5 ? 1.0 : 0.0));
        break;
      case Targets::ManyLabels:
        p.y.push_back(static_cast<double>(std::uniform_int_distribution<int>(0, 11)(rng)));
        break;
      case Targets::Codes:  // class codes 0..2, as a package classifier trains on
        p.y.push_back(unit(rng) < 0.3 ? small(rng) % 3 : (signal > 0.5 ? 2.0 : 0.0));
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
      case Targets::Tenths:
        p.y.push_back(std::round((signal + normal(rng)) * 10) / 10);
        break;
      case Targets::Cents:
        p.y.push_back(std::round((signal + normal(rng) * 3) * 100) / 100);
        break;
      case Targets::HeavyTailed:
        p.y.push_back(signal + std::tan(3.14159 * (unit(rng) - 0.5)));  // Cauchy
        break;
      case Targets::Counts:
        p.y.push_back(i == 0 ? 1.0 : std::max(0.0, std::round(signal + normal(rng) * 1.5)));
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
                                            ::testing::Values(Targets::Labels, Targets::TwoLabels,
                                                              Targets::ManyLabels),
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

INSTANTIATE_TEST_SUITE_P(Mae, WholeTree,
                         ::testing::Combine(::testing::Values(Criterion::Mae),
                                            ::testing::Values(TaskKind::Regression,
                                                              TaskKind::Classification),
                                            ::testing::Values(Values::Distinct, Values::Repeated,
                                                              Values::WithNan, Values::SignedZeros),
                                            ::testing::Values(Targets::Integers, Targets::Labels),
                                            ::testing::ValuesIn(kLimits)));

// Real targets tie often under mae (a cut moved across a row between the two
// parts' medians leaves the deviations unchanged): the last bits decide.
INSTANTIATE_TEST_SUITE_P(
    MaeOnRealTargets, WholeTree,
    ::testing::Combine(::testing::Values(Criterion::Mae), ::testing::Values(TaskKind::Regression),
                       ::testing::Values(Values::Distinct, Values::Repeated, Values::WithNan),
                       ::testing::Values(Targets::Reals, Targets::Tenths, Targets::Cents,
                                         Targets::HeavyTailed, Targets::RealsWithNan),
                       ::testing::Values(Limits{6, 2, 1}, Limits{5, 9, 4})));

// Every node of literal trees, every feature: the node's cut equals the
// literal one to the bit, on targets where mae ties are common.
TEST(NodeThresholdDifferential, MaeOnRealTargetsMatchesTheLiteralCutToTheBit) {
  std::mt19937_64 rng(77);
  for (const Targets targets : {Targets::Reals, Targets::Tenths, Targets::Cents}) {
    const Problem p = random_problem(rng, 400, 3, Values::Repeated, targets);
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
        const auto fast = qor::probe::find_node_threshold(p.X(), p.Y(), *node, f, Criterion::Mae, 2, 1);
        const auto want =
            qor::reference::find_node_threshold(p.X(), p.Y(), *node, f, Criterion::Mae, 2, 1);
        ASSERT_EQ(fast.valid, want.valid);
        EXPECT_TRUE(same_double(fast.threshold, want.threshold));
        EXPECT_TRUE(same_double(fast.gain, want.gain));
        compared += want.valid ? 1 : 0;
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
      const auto fast = qor::probe::choose_level_split(model, p.X(), p.Y(), nodes);
      const auto want = qor::reference::choose_level_split(model, p.X(), p.Y(), nodes);
      EXPECT_EQ(fast.feature, want.feature);
      EXPECT_EQ(fast.thresholds, want.thresholds);
      for (const Node* node : nodes) {
        for (std::int32_t f = 0; f < p.cols; ++f) {
          const auto a = qor::probe::find_node_threshold(p.X(), p.Y(), *node, f, criterion, mss, msl);
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

// ---- The package's growth: sample weights, threads, the flat tree -----------

enum class Weights { Unit, Integers, Reals };

std::vector<double> random_weights(std::mt19937_64& rng, std::size_t n, Weights kind) {
  std::vector<double> w(n, 1.0);
  std::uniform_int_distribution<int> small(0, 3);
  for (double& v : w) {
    if (kind == Weights::Integers) v = small(rng);
    if (kind == Weights::Reals)
      v = small(rng) == 0 ? 0.0 : std::uniform_int_distribution<int>(1, 25)(rng) / 10.0;
  }
  return w;
}

bool same_doubles(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), same_double);
}

// Shape, splits, gains and row weights; `all` also the node statistics.
void expect_same_flat_tree(const qor::FlatTree& a, const qor::FlatTree& b, bool all) {
  EXPECT_EQ(a.children_left, b.children_left);
  EXPECT_EQ(a.children_right, b.children_right);
  EXPECT_EQ(a.feature, b.feature);
  EXPECT_EQ(a.depth_features, b.depth_features);
  EXPECT_TRUE(same_doubles(a.threshold, b.threshold));
  EXPECT_TRUE(same_doubles(a.gain, b.gain));
  EXPECT_TRUE(same_doubles(a.weighted_n_node_samples, b.weighted_n_node_samples));
  if (!all) return;
  EXPECT_EQ(a.n_node_samples, b.n_node_samples);
  EXPECT_TRUE(same_doubles(a.impurity, b.impurity));
  EXPECT_TRUE(same_doubles(a.value, b.value));
}

qor::TreeParams params_of(Criterion criterion, Limits limits, double min_weight_leaf = 0.0,
                          double min_impurity_decrease = 0.0) {
  qor::TreeParams p;
  p.criterion = criterion;
  p.n_classes = criterion == Criterion::Gini || criterion == Criterion::Entropy ? 3 : 0;
  p.max_depth = limits.max_depth;
  p.min_samples_split = limits.min_samples_split;
  p.min_samples_leaf = limits.min_samples_leaf;
  p.min_weight_leaf = min_weight_leaf;
  p.min_impurity_decrease = min_impurity_decrease;
  return p;
}

Targets targets_for(Criterion criterion) {
  if (criterion == Criterion::Poisson) return Targets::Counts;
  return criterion == Criterion::Gini || criterion == Criterion::Entropy ? Targets::Codes
                                                                         : Targets::Tenths;
}

using WeightedCase = std::tuple<Criterion, Weights, Values>;

class WeightedTree : public ::testing::TestWithParam<WeightedCase> {};

TEST_P(WeightedTree, MatchesTheLiteralMethod) {
  const auto [criterion, weights, values] = GetParam();
  std::mt19937_64 rng(static_cast<std::uint64_t>(criterion) * 100 +
                      static_cast<std::uint64_t>(weights) * 10 +
                      static_cast<std::uint64_t>(values));
  const bool tally = criterion == Criterion::Gini || criterion == Criterion::Entropy;
  for (const auto& [rows, targets] :
       {std::pair{2, targets_for(criterion)}, std::pair{9, targets_for(criterion)},
        std::pair{80, targets_for(criterion)}, std::pair{400, targets_for(criterion)},
        std::pair{400, tally ? Targets::TwoCodes : targets_for(criterion)}}) {
    const Problem p = random_problem(rng, rows, 3, values, targets);
    auto w = random_weights(rng, p.y.size(), weights);
    // poisson: a weighted target sum above 0
    if (criterion == Criterion::Poisson) w[0] = std::max(w[0], 1.0);
    const double* wp = weights == Weights::Unit ? nullptr : w.data();
    for (const auto& [limits, least, decrease] :
         {std::tuple{Limits{6, 2, 1}, 0.0, 0.0}, std::tuple{Limits{5, 6, 2}, 1.5, 0.0},
          std::tuple{Limits{7, 2, 1}, 0.0, 0.002}}) {
      const qor::TreeParams params = params_of(criterion, limits, least, decrease);
      SCOPED_TRACE("rows " + std::to_string(rows) + " least " + std::to_string(least));
      expect_same_flat_tree(qor::grow_tree(p.X(), p.Y(), wp, params),
                            qor::reference::grow(p.X(), p.Y(), wp, params), false);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Criteria, WeightedTree,
    ::testing::Combine(::testing::Values(Criterion::Gini, Criterion::Entropy, Criterion::Mse,
                                         Criterion::Mae, Criterion::Poisson),
                       ::testing::Values(Weights::Unit, Weights::Integers, Weights::Reals),
                       ::testing::Values(Values::Distinct, Values::WithNan)));

// Unit weights are no weights, and threads change nothing: the same tree to the bit.
TEST(PackageGrowth, UnitWeightsAndThreadCountsLeaveTheTreeUnchanged) {
  std::mt19937_64 rng(21);
  for (const Criterion criterion :
       {Criterion::Gini, Criterion::Entropy, Criterion::Mse, Criterion::Mae}) {
    // Enough rows that every step of a level runs on several threads.
    const Problem p = random_problem(rng, 140000, 3, Values::Repeated, targets_for(criterion));
    const std::vector<double> ones(p.y.size(), 1.0);
    const auto reals = random_weights(rng, p.y.size(), Weights::Reals);
    qor::TreeParams params = params_of(criterion, Limits{8, 2, 1});
    const qor::FlatTree plain = qor::grow_tree(p.X(), p.Y(), nullptr, params);
    expect_same_flat_tree(plain, qor::grow_tree(p.X(), p.Y(), ones.data(), params), true);
    const qor::FlatTree weighted = qor::grow_tree(p.X(), p.Y(), reals.data(), params);
    params.n_threads = 3;
    expect_same_flat_tree(plain, qor::grow_tree(p.X(), p.Y(), nullptr, params), true);
    expect_same_flat_tree(weighted, qor::grow_tree(p.X(), p.Y(), reals.data(), params), true);
    EXPECT_GT(plain.node_count(), 50u);
  }
}

// A row of integer weight k grows the tree of k copies of the row (none for 0).
TEST(PackageGrowth, IntegerWeightsGrowTheTreeOfRepeatedRows) {
  std::mt19937_64 rng(4);
  for (const Criterion criterion :
       {Criterion::Gini, Criterion::Entropy, Criterion::Mse, Criterion::Mae}) {
    const Targets targets = criterion == Criterion::Gini || criterion == Criterion::Entropy
                                ? Targets::Codes
                                : Targets::Integers;
    const Problem p = random_problem(rng, 300, 3, Values::Distinct, targets);
    std::vector<double> w(p.y.size());
    Problem copies;
    copies.cols = p.cols;
    for (std::size_t r = 0; r < p.y.size(); ++r) {
      w[r] = std::uniform_int_distribution<int>(0, 3)(rng);
      for (int c = 0; c < w[r]; ++c) {
        copies.x.insert(copies.x.end(), p.x.begin() + static_cast<std::ptrdiff_t>(r) * p.cols,
                        p.x.begin() + static_cast<std::ptrdiff_t>(r + 1) * p.cols);
        copies.y.push_back(p.y[r]);
      }
    }
    copies.rows = static_cast<std::int32_t>(copies.y.size());
    const qor::TreeParams params = params_of(criterion, Limits{6, 2, 1});
    const qor::FlatTree weighted = qor::grow_tree(p.X(), p.Y(), w.data(), params);
    const qor::FlatTree repeated = qor::grow_tree(copies.X(), copies.Y(), nullptr, params);
    SCOPED_TRACE(static_cast<int>(criterion));
    expect_same_flat_tree(weighted, repeated, false);
    EXPECT_TRUE(same_doubles(weighted.impurity, repeated.impurity));
    EXPECT_TRUE(same_doubles(weighted.value, repeated.value));
    EXPECT_GT(weighted.node_count(), 20u);
  }
}

}  // namespace
