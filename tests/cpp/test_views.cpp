#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/tree/views.hpp"

namespace {

TEST(FeatureMatrix, RowMajorAndColumnMajorPositions) {
  const std::vector<double> data{0, 1, 2, 3, 4, 5};
  const qor::FeatureMatrix row_major{data.data(), 2, 3, true};
  EXPECT_EQ(row_major.at(1, 2), 5.0);
  EXPECT_EQ(row_major.at(1, 0), 3.0);
  const qor::FeatureMatrix col_major{data.data(), 2, 3, false};
  EXPECT_EQ(col_major.at(1, 2), 5.0);
  EXPECT_EQ(col_major.at(1, 0), 1.0);
  EXPECT_EQ(col_major.at(0, 1), 2.0);
}

TEST(FeatureMatrix, PositionsBeyondInt32DoNotWrap) {
  // 50,000 x 50,000 float64 is 20 GB of address space; only the one page
  // written and read below is ever backed by memory.
  constexpr std::int32_t side = 50'000;
  const std::size_t bytes = std::size_t{side} * side * sizeof(double);
  void* mem = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (mem == MAP_FAILED) GTEST_SKIP() << "cannot reserve 20 GB of address space";
  auto* data = static_cast<double*>(mem);
  data[std::size_t{side - 1} * side + 7] = 42.0;
  const qor::FeatureMatrix X{data, side, side, true};
  EXPECT_EQ(X.at(side - 1, 7), 42.0);
  munmap(mem, bytes);
}

TEST(TargetVector, DefaultIsEmpty) {
  const qor::TargetVector y;
  EXPECT_EQ(y.data, nullptr);
  EXPECT_EQ(y.length, 0);
}

}  // namespace
