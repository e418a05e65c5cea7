#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace qor {

// Read-only view of a compressed sparse float64 matrix (scipy's CSC or CSR)
// for the duration of one call. The entries of outer line k (a column when
// by_column, a row otherwise) are at positions indptr[k] .. indptr[k + 1] - 1
// of `indices` (their inner positions, strictly ascending) and `data`. An
// entry not stored is 0.0; a stored entry may be 0.0 or NaN and means what it
// would in a dense matrix.
struct SparseMatrix {
  const std::int64_t* indptr = nullptr;  // outer lines + 1 entries, from 0, non-decreasing
  const std::int32_t* indices = nullptr;
  const double* data = nullptr;
  std::int32_t rows = 0;   // >= 0
  std::int32_t cols = 0;   // >= 0
  bool by_column = false;  // true: CSC; false: CSR

  std::int64_t begin(std::int32_t outer) const noexcept { return indptr[outer]; }
  std::int64_t end(std::int32_t outer) const noexcept { return indptr[outer + 1]; }

  // Element (row, column) by binary search in its outer line; callers keep
  // 0 <= row < rows and 0 <= column < cols.
  double at(std::int32_t row, std::int32_t column) const noexcept {
    const std::int32_t outer = by_column ? column : row;
    const std::int32_t inner = by_column ? row : column;
    const std::int32_t* first = indices + indptr[outer];
    const std::int32_t* last = indices + indptr[outer + 1];
    const std::int32_t* at = std::lower_bound(first, last, inner);
    return at != last && *at == inner ? data[at - indices] : 0.0;
  }
};

}  // namespace qor
