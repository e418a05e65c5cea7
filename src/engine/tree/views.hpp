#pragma once

#include <cstddef>
#include <cstdint>

namespace qor {

// Read-only view of a float64 matrix for the duration of one call; never owns
// or outlives the array it points into.
struct FeatureMatrix {
  const double* data = nullptr;  // element (0, 0)
  std::int32_t rows = 0;         // >= 0
  std::int32_t cols = 0;         // >= 0
  bool row_major = true;         // true: row after row; false: column after column

  // No bounds check: callers keep 0 <= row < rows and 0 <= column < cols.
  // The offset is formed in ptrdiff_t because rows * cols may exceed 2**31.
  double at(std::int32_t row, std::int32_t column) const noexcept { return *address(row, column); }
  const double* address(std::int64_t row, std::int32_t column) const noexcept {
    const auto r = static_cast<std::ptrdiff_t>(row);
    const auto c = static_cast<std::ptrdiff_t>(column);
    return row_major ? data + (r * cols + c) : data + (r + c * rows);
  }
};

// Read-only view of a float64 vector for the duration of one fit.
struct TargetVector {
  const double* data = nullptr;  // entry 0
  std::int32_t length = 0;       // >= 0
};

}  // namespace qor
