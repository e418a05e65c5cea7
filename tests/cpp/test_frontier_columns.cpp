#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <stdexcept>
#include <vector>

#include "engine/exact/frontier_columns.hpp"
#include "fixtures.hpp"

namespace {

using qor::ColumnEntry;
using qor::Criterion;
using qor::FrontierColumns;
using Rows = std::vector<std::uint32_t>;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

Rows rows_of(std::span<const ColumnEntry> run) {
  Rows rows;
  for (const ColumnEntry entry : run) rows.push_back(entry.row());
  return rows;
}

// Where the value changes along the run: what the cut search reads.
std::vector<bool> marks(std::span<const ColumnEntry> run) {
  std::vector<bool> out;
  for (std::size_t k = 1; k < run.size(); ++k) out.push_back(run[k].new_value());
  return out;
}

// Splits every listed segment by `goes_left` and returns the new segments'
// rows, as a fresh sort would need them.
std::vector<Rows> partition(FrontierColumns& columns, std::vector<std::size_t> segments,
                            const std::vector<std::uint8_t>& goes_left, int threads) {
  std::vector<FrontierColumns::Split> splits;
  std::vector<Rows> children;
  for (const std::size_t s : segments) {
    Rows left;
    Rows right;
    for (const ColumnEntry e : columns.rows(s))
      (goes_left[e.row()] ? left : right).push_back(e.row());
    splits.push_back({s, left.size()});
    children.push_back(left);
    children.push_back(right);
  }
  std::vector<std::uint64_t> bits((goes_left.size() + 63) / 64, 0);
  for (std::size_t r = 0; r < goes_left.size(); ++r) {
    bits[r / 64] |= static_cast<std::uint64_t>(goes_left[r] != 0) << (r % 64);
  }
  columns.partition(splits, bits, threads);
  return children;
}

// After every split, a child's rows in each column are exactly those a fresh
// sort of the child alone gives, marks included; unsplit segments drop out.
TEST(FrontierColumns, ChildrenKeepTheirRowsInColumnOrder) {
  std::mt19937_64 rng(9);
  std::uniform_int_distribution<int> small(0, 5);
  std::vector<double> x(400 * 3);
  for (double& v : x) v = small(rng) == 5 ? nan : small(rng);
  std::vector<double> y(400);
  for (double& v : y) v = small(rng);
  const qor::FeatureMatrix X{x.data(), 400, 3, true};
  const qor::TargetVector Y{y.data(), 400};
  const std::int32_t features[] = {0, 1, 2};
  Rows all(400);
  std::iota(all.begin(), all.end(), 0u);

  for (const int threads : {1, 2}) {
    FrontierColumns columns(X, Y, std::vector<Rows>{all}, features, Criterion::Mae, threads);
    std::vector<std::uint8_t> goes_left(400);
    for (std::size_t r = 0; r < 400; ++r) goes_left[r] = x[r * 3 + 1] <= 2.5;
    partition(columns, {0}, goes_left, threads);
    for (std::size_t r = 0; r < 400; ++r) goes_left[r] = x[r * 3] <= 0.5;
    // Segment 1 (the right child) stops splitting here.
    const auto children = partition(columns, {0}, goes_left, threads);
    ASSERT_EQ(columns.segment_count(), 2u);

    for (std::size_t s = 0; s < 2; ++s) {
      const FrontierColumns fresh(X, Y, std::vector<Rows>{children[s]}, features, Criterion::Mae);
      EXPECT_EQ(rows_of(columns.rows(s)), children[s]);
      for (const std::int32_t f : features) {
        EXPECT_EQ(rows_of(columns.run(s, f)), rows_of(fresh.run(0, f)));
        EXPECT_EQ(marks(columns.run(s, f)), marks(fresh.run(0, f)));
      }
      EXPECT_EQ(rows_of(columns.target_run(s)), rows_of(fresh.target_run(0)));
    }
    EXPECT_THROW(columns.run(0, 3), std::out_of_range);
  }
}

// Regrouping the root's columns by each row's node gives what the chain of
// partitions gave, marks included; with `only`, the columns asked for.
TEST(FrontierColumns, RegroupingByNodesIsAChainOfPartitions) {
  std::mt19937_64 rng(11);
  std::uniform_int_distribution<int> small(0, 5);
  std::vector<double> x(300 * 3);
  for (double& v : x) v = small(rng) == 5 ? nan : small(rng);
  std::vector<double> y(300);
  for (double& v : y) v = small(rng);
  const qor::FeatureMatrix X{x.data(), 300, 3, true};
  const qor::TargetVector Y{y.data(), 300};
  const std::int32_t features[] = {0, 1, 2};
  Rows all(300);
  std::iota(all.begin(), all.end(), 0u);
  const FrontierColumns root(X, Y, std::vector<Rows>{all}, features, Criterion::Mae);
  FrontierColumns split = root;
  std::vector<std::uint8_t> goes_left(300);
  for (std::size_t r = 0; r < 300; ++r) goes_left[r] = x[r * 3 + 2] <= 1.5;
  partition(split, {0}, goes_left, 1);
  for (std::size_t r = 0; r < 300; ++r) goes_left[r] = x[r * 3] <= 2.5;
  const auto children = partition(split, {1}, goes_left, 1);  // segment 0 stops
  // Node ids as growth numbers them: the children of the second split are 3 and 4.
  std::vector<std::int32_t> node(300, 1);
  for (std::size_t s = 0; s < 2; ++s) {
    for (const std::uint32_t r : children[s]) node[r] = 3 + static_cast<std::int32_t>(s);
  }
  for (const int threads : {1, 2}) {
    FrontierColumns grouped = root;
    grouped.regroup(root, node, 3, 2, threads);
    ASSERT_EQ(grouped.segment_count(), 2u);
    for (std::size_t s = 0; s < 2; ++s) {
      EXPECT_EQ(rows_of(grouped.rows(s)), rows_of(split.rows(s)));
      for (const std::int32_t f : features) {
        EXPECT_EQ(rows_of(grouped.run(s, f)), rows_of(split.run(s, f)));
        EXPECT_EQ(marks(grouped.run(s, f)), marks(split.run(s, f)));
      }
      EXPECT_EQ(rows_of(grouped.target_run(s)), rows_of(split.target_run(s)));
    }
    FrontierColumns one = root;
    const std::int32_t only[] = {1};
    one.regroup(root, node, 3, 2, threads, only);
    for (std::size_t s = 0; s < 2; ++s) {
      EXPECT_EQ(rows_of(one.run(s, 1)), rows_of(split.run(s, 1)));
      EXPECT_EQ(marks(one.run(s, 1)), marks(split.run(s, 1)));
      EXPECT_EQ(rows_of(one.rows(s)), rows_of(split.rows(s)));
    }
  }
}

// A segment's own row order breaks ties, whatever the row numbers.
TEST(FrontierColumns, TiesFollowTheSegmentsOrder) {
  const qor::testing::Table t({3, 1, 3, 1}, {0, 0, 0, 0});
  const std::int32_t features[] = {0};
  const FrontierColumns columns(t.X(), t.Y(), std::vector<Rows>{{2, 3, 0, 1}}, features,
                                Criterion::Gini);
  EXPECT_EQ(rows_of(columns.run(0, 0)), (Rows{3, 1, 2, 0}));
  EXPECT_EQ(rows_of(columns.rows(0)), (Rows{2, 3, 0, 1}));
}

TEST(FrontierColumns, LabelCodesShareEqualTargetsAndNeverNan) {
  const qor::testing::Table t({0, 0, 0, 0, 0, 0}, {2.5, -0.0, nan, 0.0, 2.5, nan});
  const std::int32_t features[] = {0};
  const FrontierColumns columns(t.X(), t.Y(), std::vector<Rows>{{0, 1, 2, 3, 4, 5}}, features,
                                Criterion::Entropy);
  std::vector<std::uint32_t> codes;
  for (std::size_t r = 0; r < 6; ++r) codes.push_back(columns.label_code(r));
  EXPECT_EQ(columns.label_count(), 4u);
  EXPECT_EQ(codes[1], codes[3]);
  EXPECT_EQ(codes[0], codes[4]);
  EXPECT_LT(codes[1], codes[0]) << "codes follow the order of the targets";
  EXPECT_NE(codes[2], codes[5]);
  for (const std::size_t r : {0u, 1u}) {
    EXPECT_NE(codes[2], codes[r]);
    EXPECT_NE(codes[5], codes[r]);
  }
}

// Class codes (whole numbers from 0) are ranked by a table, other labels by a
// sort: both give every listed row the rank of its target among the listed
// rows' distinct targets, whatever rows are left out or classes absent.
TEST(FrontierColumns, ClassCodesRankAsSortedLabelsDo) {
  const std::vector<double> classes = {7, -0.0, 3, 0.0, 7, 3, 9, 5, 0, 7};
  std::vector<double> shifted;
  for (const double c : classes) shifted.push_back(c + 0.25);
  const std::vector<double> zeros(classes.size(), 0.0);
  const Rows listed = {0, 1, 2, 3, 4, 5, 7, 8, 9};  // row 6 (the only 9) is left out
  const std::int32_t features[] = {0};
  const auto codes_of = [&](const std::vector<double>& y, std::uint32_t& count) {
    const qor::testing::Table t(zeros, y);
    const FrontierColumns columns(t.X(), t.Y(), std::vector<Rows>{listed}, features,
                                  Criterion::Gini);
    count = columns.label_count();
    std::vector<std::uint32_t> codes;
    for (const std::uint32_t r : listed) codes.push_back(columns.label_code(r));
    return codes;
  };
  std::uint32_t by_table = 0;
  std::uint32_t by_sort = 0;
  EXPECT_EQ(codes_of(classes, by_table), codes_of(shifted, by_sort));
  EXPECT_EQ(by_table, 4u);
  EXPECT_EQ(by_sort, 4u);
  EXPECT_EQ(codes_of(classes, by_table), (std::vector<std::uint32_t>{3, 0, 1, 0, 3, 1, 2, 0, 3}));
}

}  // namespace
