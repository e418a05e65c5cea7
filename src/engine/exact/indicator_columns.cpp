#include "engine/exact/indicator_columns.hpp"

#include <algorithm>

#include "engine/tree/parallel.hpp"

namespace qor {

IndicatorColumns::IndicatorColumns(const SparseMatrix& X, std::span<const std::uint32_t> rows,
                                   std::span<const std::int8_t> monotonic_cst, int threads)
    : X_(X) {
  const auto cols = static_cast<std::size_t>(std::max(X.cols, 0));
  const auto n = static_cast<std::size_t>(std::max(X.rows, 0));
  if (rows.size() != n) {
    in_fit_.assign(n, 0);
    for (const std::uint32_t r : rows) in_fit_[r] = 1;
  }
  const std::uint8_t* const in_fit = in_fit_.empty() ? nullptr : in_fit_.data();
  const std::int32_t* const indices = X.indices;
  const double* const data = X.data;
  const auto kept = [=](std::int64_t k) {
    return data[k] != 0.0 && (in_fit == nullptr || in_fit[indices[k]] != 0);
  };
  held_.assign(cols, 0);
  value_.assign(cols, 0.0);
  // Per column, 2 where every stored entry is kept: the passes below then
  // read its rows alone, not its values (which take twice the memory).
  std::vector<std::uint8_t> whole(cols, 0);
  const int workers = threads_for(static_cast<std::size_t>(X.indptr[cols]), threads);
  parallel_for(cols, workers, [&](std::size_t f, std::size_t) {
    if (!monotonic_cst.empty() && monotonic_cst[f] != 0) return;
    const auto c = static_cast<std::int32_t>(f);
    bool seen = false;
    bool every = true;
    double only = 0.0;
    for (std::int64_t k = X.begin(c); k < X.end(c); ++k) {
      if (!kept(k)) {
        every = false;
        continue;
      }
      const double v = data[k];
      // Values the sort holds equal: the same number, or NaN beside NaN.
      if (seen && !(v == only || (v != v && only != only))) return;
      only = seen ? only : v;
      seen = true;
    }
    held_[f] = seen ? 1 : 0;
    whole[f] = every ? 1 : 0;
    value_[f] = only;
  });
  // Calls add(row) for the kept entries of held column c in [k, end) whose
  // rows lie below `below`; returns where it stopped.
  const auto each_kept = [&](std::int32_t c, std::int64_t k, std::int64_t end, std::int32_t below,
                             auto&& add) {
    if (whole[static_cast<std::size_t>(c)] != 0) {
      for (; k < end && indices[k] < below; ++k) add(indices[k]);
    } else {
      for (; k < end && indices[k] < below; ++k) {
        if (kept(k)) add(indices[k]);
      }
    }
    return k;
  };

  row_begin_.assign(n + 1, 0);
  std::size_t* const count = row_begin_.data() + 1;
  for (std::size_t f = 0; f < cols; ++f) {
    if (held_[f] == 0) continue;
    const auto c = static_cast<std::int32_t>(f);
    each_kept(c, X.begin(c), X.end(c), X.rows, [&](std::int32_t row) { ++count[row]; });
  }
  for (std::size_t r = 0; r < n; ++r) row_begin_[r + 1] += row_begin_[r];
  features_.resize(row_begin_[n]);

  // Rows are filled a block at a time, columns in ascending order within each
  // (so each row's columns ascend): a block's lists fit in cache, where one
  // column at a time over all the rows would write all over them. Threads
  // take runs of blocks, each column's entries of a block found by its cursor.
  const std::size_t entries = features_.size();
  if (entries == 0) return;
  constexpr std::size_t kBlockEntries = std::size_t{1} << 16;
  const std::size_t block_rows =
      std::max<std::size_t>(1, n / std::max<std::size_t>(1, entries / kBlockEntries));
  const std::size_t blocks = (n + block_rows - 1) / block_rows;
  const auto runs = static_cast<std::size_t>(
      std::min<std::size_t>(static_cast<std::size_t>(threads_for(entries, threads)), blocks));
  std::vector<std::size_t> next(row_begin_.begin(), row_begin_.end() - 1);
  std::vector<std::int32_t> columns;
  for (std::size_t f = 0; f < cols; ++f) {
    if (held_[f] != 0) columns.push_back(static_cast<std::int32_t>(f));
  }
  parallel_for(runs, static_cast<int>(runs), [&](std::size_t run, std::size_t) {
    const std::size_t first_block = blocks * run / runs;
    const std::size_t last_block = blocks * (run + 1) / runs;
    const auto first_row = static_cast<std::int32_t>(first_block * block_rows);
    std::vector<std::int64_t> cursor(columns.size());
    for (std::size_t j = 0; j < columns.size(); ++j) {
      const std::int32_t* begin = indices + X.begin(columns[j]);
      const std::int32_t* end = indices + X.end(columns[j]);
      cursor[j] = std::lower_bound(begin, end, first_row) - indices;
    }
    for (std::size_t b = first_block; b < last_block; ++b) {
      const auto last_row = static_cast<std::int32_t>(std::min(n, (b + 1) * block_rows));
      for (std::size_t j = 0; j < columns.size(); ++j) {
        const std::int32_t c = columns[j];
        cursor[j] = each_kept(c, cursor[j], X.end(c), last_row, [&](std::int32_t row) {
          features_[next[static_cast<std::size_t>(row)]++] = c;
        });
      }
    }
  });
}

}  // namespace qor
