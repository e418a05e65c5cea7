// The scan's screens against their bounds: on each of these rows the direct
// method's cut screens strictly below another cut, so a bound too small to
// bridge that gap would drop it and pick another cut.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "engine/exact/cut_scanner.hpp"
#include "engine/exact/frontier_columns.hpp"
#include "reference_split.hpp"

namespace {

using qor::Criterion;

struct NearTie {
  Criterion criterion;
  std::vector<double> y;        // row i has feature value i
  std::vector<double> weights;  // empty: unit weights
  double threshold;             // the direct method's choice
};

class ScreenBounds : public ::testing::TestWithParam<NearTie> {};

TEST_P(ScreenBounds, ReachTheDirectMethodsCutWhereScreensRankAnother) {
  const NearTie& c = GetParam();
  const auto n = static_cast<std::int32_t>(c.y.size());
  std::vector<double> x(c.y.size());
  std::vector<std::uint32_t> rows(c.y.size());
  for (std::size_t i = 0; i < x.size(); ++i)
    x[i] = static_cast<double>(rows[i] = static_cast<std::uint32_t>(i));
  const qor::FeatureMatrix X{x.data(), n, 1, true};
  const qor::TargetVector Y{c.y.data(), n};
  const double* w = c.weights.empty() ? nullptr : c.weights.data();
  const std::int32_t features[] = {0};
  const std::vector<std::vector<std::uint32_t>> segments{rows};
  const qor::FrontierColumns columns(X, Y, segments, features, c.criterion);
  qor::CutScanner scanner(c.criterion, qor::CutLimits{}, Y, w, columns);
  scanner.prepare(0);
  std::vector<std::pair<std::size_t, qor::Screen>> screens;
  const qor::NodeSplit got = scanner.best_cut(
      0, 0, X, {}, [&](std::size_t k, const qor::Screen& s) { screens.emplace_back(k, s); });

  double top = screens.front().second.score;
  double chosen = top;
  for (const auto& [k, screen] : screens) {
    top = std::max(top, screen.score);
    if (static_cast<double>(k) + 0.5 == c.threshold) chosen = screen.score;
  }
  ASSERT_LT(chosen, top) << "the direct method's cut screens below another";

  qor::reference::Rules rules;
  rules.criterion = c.criterion;
  const std::vector<std::size_t> all(rows.begin(), rows.end());
  const qor::NodeSplit want = qor::reference::find_node_threshold(X, Y, w, all, 0, rules);
  ASSERT_EQ(want.threshold, c.threshold);
  EXPECT_TRUE(got.valid);
  EXPECT_EQ(got.threshold, want.threshold);
  EXPECT_EQ(got.gain, want.gain);
}

INSTANTIATE_TEST_SUITE_P(
    NearTies, ScreenBounds,
    ::testing::Values(
        NearTie{Criterion::Gini, {2, 1, 0, 2, 0, 2, 1, 2, 1}, {}, 5.5},
        NearTie{Criterion::Gini, {0, 0, 0, 0}, {0.7, 1.1, 0.7, 1.2}, 0.5},
        NearTie{Criterion::Entropy, {2, 1, 1, 0, 2, 0, 0, 1, 0, 1, 1}, {}, 0.5},
        NearTie{Criterion::Entropy, {3, 0, 2, 3, 1}, {0.5, 1.5, 1.5, 1.6, 0.4}, 1.5},
        NearTie{Criterion::Mse, {-1.7, 1.6, -1.6, -0.5, -1.9, 0.5}, {}, 0.5},
        NearTie{
            Criterion::Mse, {-0.8, -0.1, 1, -1.3, -0.2, -0.1}, {1.4, 0.4, 1.8, 0.8, 0.2, 0.4}, 0.5},
        NearTie{Criterion::Mae, {0.5, 0.5, 1.6, -0.8, 1.4, -0.6, -0.9}, {}, 2.5},
        NearTie{Criterion::Mae, {-0.1, -1.7, -0.2, -1.8, 1.9}, {1.8, 1.4, 1.1, 0.3, 0.3}, 3.5},
        NearTie{Criterion::Poisson, {0.3, 2, 0, 2, 0.3}, {}, 0.5},
        NearTie{Criterion::Poisson, {0.1, 1.3, 2, 0.1}, {1.1, 0.4, 0.3, 1.1}, 0.5}),
    [](const auto& param_info) {
      return std::to_string(param_info.index) +
             (param_info.param.weights.empty() ? "_unit" : "_weighted");
    });

}  // namespace
