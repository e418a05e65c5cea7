#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <tuple>
#include <vector>

#include "engine/binned/bin_histogram.hpp"

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

struct Block {
  std::vector<double> x;  // row-major, 3 columns
  std::vector<double> y;
  std::vector<double> w;
  std::vector<std::int32_t> node;
  std::int32_t rows = 0;

  qor::FeatureMatrix X() const { return {x.data(), rows, 3, true}; }
};

Block random_block(std::mt19937_64& rng, std::int32_t rows, std::int32_t classes) {
  Block b;
  b.rows = rows;
  std::normal_distribution<double> normal;
  std::uniform_int_distribution<int> pick(0, 9);
  for (std::int32_t r = 0; r < rows; ++r) {
    b.x.push_back(normal(rng));
    b.x.push_back(pick(rng) == 0 ? nan : pick(rng));
    b.x.push_back(pick(rng) * 0.25);
    b.y.push_back(classes > 0 ? pick(rng) % classes : normal(rng) * 5);
    b.w.push_back(pick(rng) * 0.3);
    b.node.push_back(5 + pick(rng) % 4);  // node 6 has no slot
  }
  return b;
}

const qor::SlotMap kSlots{5, {0, -1, 1, 2}};

// The sums of every slot, feature and bin, added up row by row.
std::vector<double> literal(const Block& b, const qor::BinnedMatrix& codes,
                            const qor::StatShape& shape) {
  const auto width = static_cast<std::size_t>(shape.width);
  const auto total = static_cast<std::size_t>(codes.layout().total());
  std::vector<double> sums(3 * total * width, 0.0);
  for (std::int32_t r = 0; r < b.rows; ++r) {
    const std::int32_t slot = kSlots.slot_of(b.node[static_cast<std::size_t>(r)]);
    if (slot < 0) continue;
    for (std::int32_t f = 0; f < 3; ++f) {
      const auto bin = static_cast<std::size_t>(codes.layout().offset[static_cast<std::size_t>(f)] +
                                                codes.code(f, r));
      shape.add_row(sums.data() + (static_cast<std::size_t>(slot) * total + bin) * width,
                    b.y[static_cast<std::size_t>(r)],
                    shape.weighted ? b.w[static_cast<std::size_t>(r)] : 1.0,
                    b.y[static_cast<std::size_t>(r)]);
    }
  }
  return sums;
}

class Histograms : public ::testing::TestWithParam<std::tuple<std::int32_t, bool>> {};

// Blocks binned by shared edges and summed apart add up to the histogram of
// all rows (to the bit where the sums are counts), and that histogram holds
// each row once per feature in its bin.
TEST_P(Histograms, BlocksAddUpToTheWholeAndTheWholeToItsRows) {
  const auto [classes, weighted] = GetParam();
  std::mt19937_64 rng(static_cast<std::uint64_t>(classes));
  const Block whole = random_block(rng, 3000, classes);
  const auto edges = qor::sample_edges(whole.X(), {16, 1000, 1}, 1);
  const auto shape = qor::StatShape::of(classes, weighted);
  const auto rows_of = [&](const qor::BinnedMatrix& codes, const Block& b) {
    return qor::BinnedRows{&codes, b.y.data(), weighted ? b.w.data() : nullptr};
  };
  const qor::BinnedMatrix codes = qor::bin_with_edges(whole.X(), edges, 1);
  qor::HistogramBuilder builder;
  qor::LevelHistograms all(codes.layout(), shape, 3);
  builder.accumulate(rows_of(codes, whole), whole.node, kSlots, all, 2);
  const auto want = literal(whole, codes, shape);
  ASSERT_EQ(all.data().size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) ASSERT_EQ(all.data()[i], want[i]) << i;

  qor::LevelHistograms merged(codes.layout(), shape, 3);
  for (std::int32_t begin = 0; begin < whole.rows; begin += 1000) {
    Block part;
    part.rows = 1000;
    const auto at = static_cast<std::ptrdiff_t>(begin);
    part.x.assign(whole.x.begin() + 3 * at, whole.x.begin() + 3 * (at + 1000));
    part.y.assign(whole.y.begin() + at, whole.y.begin() + at + 1000);
    part.w.assign(whole.w.begin() + at, whole.w.begin() + at + 1000);
    part.node.assign(whole.node.begin() + at, whole.node.begin() + at + 1000);
    const qor::BinnedMatrix part_codes = qor::bin_with_edges(part.X(), edges, 1);
    qor::LevelHistograms block(codes.layout(), shape, 3);
    builder.accumulate(rows_of(part_codes, part), part.node, kSlots, block, 1);
    merged.add(block.data());
  }
  for (std::size_t i = 0; i < want.size(); ++i) {
    if (classes > 0 && !weighted) {
      ASSERT_EQ(merged.data()[i], all.data()[i]) << i;
    } else {
      ASSERT_NEAR(merged.data()[i], all.data()[i], 1e-9 * (1 + std::abs(all.data()[i]))) << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, Histograms,
                         ::testing::Combine(::testing::Values(2, 3, 0), ::testing::Bool()));

TEST(Histograms, DerivedSiblingHasNoResidueWhereItHasNoRows) {
  // Weights 0.1 and 0.2 do not add up exactly; the derived sibling must still
  // read zero where all of the parent's rows went to the other child.
  const std::vector<double> x{1, 1, 2, 2};
  const std::vector<double> y{0, 1, 0, 1};
  const std::vector<double> w{0.1, 0.2, 0.7, 0.3};
  const qor::FeatureMatrix X{x.data(), 4, 1, true};
  const qor::BinnedMatrix codes = qor::quantize(X, {}, 1);
  const auto shape = qor::StatShape::of(2, true);
  qor::HistogramBuilder builder;
  qor::LevelHistograms parent(codes.layout(), shape, 1);
  builder.accumulate({&codes, y.data(), w.data()}, std::vector<std::int32_t>(4, 0), {0, {0}},
                     parent, 1);
  qor::LevelHistograms children(codes.layout(), shape, 2);
  builder.accumulate({&codes, y.data(), w.data()}, std::vector<std::int32_t>{1, 1, 2, 2},
                     {1, {0, -1}}, children, 1);
  children.derive(1, parent, 0, 0);
  const auto bins = children.bins(1, 0);
  const auto width = static_cast<std::size_t>(shape.width);
  for (std::size_t k = 0; k < width; ++k) EXPECT_EQ(bins[k], 0.0) << "bin 0, entry " << k;
  EXPECT_EQ(bins[width], 2.0);
  EXPECT_DOUBLE_EQ(bins[width + 1], 0.7);
  EXPECT_DOUBLE_EQ(bins[width + 2], 0.3);
}

}  // namespace
