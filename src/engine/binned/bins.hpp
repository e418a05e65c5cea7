#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "engine/tree/sparse_views.hpp"
#include "engine/tree/views.hpp"

namespace qor {

// Value bins per feature that a fit may ask for; NaN always gets one more bin.
inline constexpr std::int32_t kMinBins = 2;
inline constexpr std::int32_t kMaxBins = 65535;
// Up to this many value bins (plus NaN) the codes fit one byte.
inline constexpr std::int32_t kNarrowMaxBins = 255;

// How features are quantized.
struct BinningParams {
  std::int32_t max_bins = 255;        // value bins per feature, in [kMinBins, kMaxBins]
  std::int32_t sample_rows = 200000;  // rows whose values place the edges; all rows when fewer
  std::uint64_t seed = 0;             // picks the sampled rows; the same seed, the same rows
};

// Where the value bins of one feature end. Value bin b holds the numbers v with
// upper[b - 1] < v <= upper[b] (upper[-1] read as -infinity). `upper` is
// strictly ascending and ends with +infinity, so every number has a bin; NaN
// goes to the bin after the last value bin.
struct FeatureEdges {
  std::vector<double> upper{std::numeric_limits<double>::infinity()};

  std::int32_t value_bins() const noexcept { return static_cast<std::int32_t>(upper.size()); }
  std::int32_t nan_bin() const noexcept { return value_bins(); }
  std::int32_t bin_count() const noexcept { return value_bins() + 1; }
  std::int32_t bin_of(double value) const noexcept;
};

// Smallest and largest number that fell into a bin; lo > hi while it is empty.
// Zeros are kept as +0.0, so the bits never depend on whether -0.0 or +0.0
// came first, and the reduction is exact in any order: merging the ranges of
// row blocks gives the range of the whole.
struct BinRange {
  double lo = std::numeric_limits<double>::infinity();
  double hi = -std::numeric_limits<double>::infinity();

  bool empty() const noexcept { return lo > hi; }
  void add(double value) noexcept {
    const double v = value + 0.0;  // -0.0 + 0.0 is +0.0
    if (v < lo) lo = v;
    if (v > hi) hi = v;
  }
  void merge(const BinRange& other) noexcept {
    if (other.lo < lo) lo = other.lo;
    if (other.hi > hi) hi = other.hi;
  }
};

// Element-wise merge of two range lists of the same layout.
void merge_ranges(std::span<BinRange> into, std::span<const BinRange> from);

// Where each feature's bins sit when the bins of all features are laid end to end.
struct BinLayout {
  std::vector<std::int64_t> offset{0};  // features + 1 entries; feature f owns
                                        // [offset[f], offset[f + 1]), the NaN bin last

  static BinLayout of(std::span<const FeatureEdges> edges);
  std::int32_t features() const noexcept { return static_cast<std::int32_t>(offset.size()) - 1; }
  std::int32_t bins(std::int32_t feature) const noexcept {
    const auto f = static_cast<std::size_t>(feature);
    return static_cast<std::int32_t>(offset[f + 1] - offset[f]);
  }
  std::int64_t total() const noexcept { return offset.back(); }
};

// Edges from candidate values: `values` ascending, distinct (-0.0 and +0.0 are
// one value) and free of NaN, counts[i] > 0 how often values[i] occurs, or its
// weight in a merged sketch. At most max_bins candidates get one bin each;
// more are grouped into max_bins bins of about equal count, boundaries on
// candidates, a candidate that outweighs an equal share keeping a bin to itself.
FeatureEdges edges_from_candidates(std::span<const double> values, std::span<const double> counts,
                                   std::int32_t max_bins);

// The rows a fit's edges are placed by: every row when there are at most
// params.sample_rows, otherwise one row drawn from each of sample_rows equal
// strata, by a generator seeded with params.seed. Ascending.
std::vector<std::int32_t> sample_rows(std::int32_t rows, const BinningParams& params);

// Edges of every feature from the values of the sampled rows (rows of weight
// 0 left out; `weights` null for unit weights).
std::vector<FeatureEdges> sample_edges(const FeatureMatrix& X, const BinningParams& params,
                                       std::int32_t n_threads, const double* weights = nullptr);

// The same for a sparse X held by columns, reading only what it stores: a
// sampled row a column does not store counts as one more 0.0.
std::vector<FeatureEdges> sample_edges(const SparseMatrix& X, const BinningParams& params,
                                       std::int32_t n_threads, const double* weights = nullptr);

// Edges of a categorical feature whose codes are 0, 1, ..., categories - 1:
// one bin per code. Throws std::invalid_argument beyond kMaxBins categories.
FeatureEdges category_edges(std::int64_t categories);

// A matrix quantized by given edges: one code per value, stored feature by
// feature (the rows of a feature are contiguous), in one byte when every
// feature has at most 256 bins and in two otherwise; and the value range of
// every bin over the rows binned.
//
// A sparse one (from a sparse X) keeps codes only for the entries X stores,
// feature by feature with their rows ascending; every other row of a feature
// holds its zero bin, the bin of 0.0. Its memory grows with the stored
// entries and the rows, not with rows x features; column() gives a feature's
// codes row by row either way, so that every reader sees one kind of matrix.
class BinnedMatrix {
 public:
  // Checks the edges (std::invalid_argument when a feature has none, more than
  // kMaxBins, or an `upper` that is not strictly ascending to +infinity) and
  // reserves codes for `rows` rows, all in bin 0, with empty ranges.
  BinnedMatrix(std::vector<FeatureEdges> edges, std::int32_t rows);
  // A sparse matrix of the entries X (held by columns, one per feature) stores,
  // all in bin 0 until bin_entries() bins them.
  BinnedMatrix(std::vector<FeatureEdges> edges, const SparseMatrix& X);

  std::int32_t rows() const noexcept { return rows_; }
  std::int32_t features() const noexcept { return layout_.features(); }
  const BinLayout& layout() const noexcept { return layout_; }
  const FeatureEdges& edges(std::int32_t feature) const {
    return edges_[static_cast<std::size_t>(feature)];
  }
  std::span<const FeatureEdges> all_edges() const noexcept { return edges_; }
  // Per bin of the layout: the range of the values binned into it (NaN bins stay empty).
  std::span<const BinRange> ranges() const noexcept { return ranges_; }

  bool narrow() const noexcept { return narrow_codes_; }
  bool sparse() const noexcept { return sparse_; }
  // The codes of one feature, rows() entries; only the one of narrow() holds
  // them. A sparse matrix: the codes of the feature's stored entries.
  std::span<const std::uint8_t> narrow_codes(std::int32_t feature) const;
  std::span<const std::uint16_t> wide_codes(std::int32_t feature) const;
  // A sparse matrix: the rows of the feature's stored entries, ascending.
  std::span<const std::int32_t> entry_rows(std::int32_t feature) const;
  // A sparse matrix: where each feature's entries start, features() + 1 values.
  std::span<const std::int64_t> entry_starts() const noexcept { return entry_start_; }
  // The codes of one feature, rows() entries, row by row: the stored ones of a
  // dense matrix, or a sparse one's written into `scratch` (resized to rows()).
  template <class Code>
  std::span<const Code> column(std::int32_t feature, std::vector<Code>& scratch) const;
  std::int32_t code(std::int32_t feature, std::int32_t row) const;
  // The bin of 0.0, which a sparse matrix's unstored rows hold.
  std::int32_t zero_bin(std::int32_t feature) const noexcept;

  // Bins rows [begin, end) of X (whose columns are the features) into the
  // same rows here, reading X in row blocks on up to n_threads threads, and
  // widens the bins' ranges by the values of the rows of positive weight
  // (`weights`, one per row of X, null for unit weights): a row of weight 0
  // has a bin but bounds no threshold.
  void bin_rows(const FeatureMatrix& X, std::int32_t begin, std::int32_t end,
                std::int32_t n_threads, const double* weights = nullptr);
  // A sparse matrix: bins the entries of X (the X it was made for) and
  // widens the bins' ranges as bin_rows() does, 0.0 into each zero bin when
  // a row of positive weight leaves its feature unstored.
  void bin_entries(const SparseMatrix& X, std::int32_t n_threads, const double* weights = nullptr);
  // Takes over the codes and ranges of a matrix of the same edges and rows,
  // as codes and ranges of each feature read them (say, of one that travelled
  // between processes): `codes` holds features() * rows() entries, feature
  // after feature, one byte each when narrow() and two otherwise. Throws
  // std::invalid_argument on another size, or a code beyond its feature's bins.
  void restore(std::span<const std::uint8_t> codes, std::span<const BinRange> ranges);
  void restore(std::span<const std::uint16_t> codes, std::span<const BinRange> ranges);
  // A sparse matrix takes its entries' codes, entry_starts().back() of them.
  // Replaces one feature's edges, bins its column of X again (every row) and
  // rebuilds its ranges; codes widen to two bytes if the feature needs it.
  void rebin_feature(const FeatureMatrix& X, std::int32_t feature, FeatureEdges edges,
                     std::int32_t n_threads, const double* weights = nullptr);
  // The same for a sparse matrix and the X it was made for.
  void rebin_feature(const SparseMatrix& X, std::int32_t feature, FeatureEdges edges,
                     const double* weights = nullptr);

 private:
  // Where a feature's codes start in narrow_ or wide_, and how many it has there.
  std::pair<std::size_t, std::size_t> place(std::int32_t feature) const noexcept;
  // Replaces one feature's edges; its ranges start empty, other features' stay.
  void set_edges(std::int32_t feature, FeatureEdges edges);
  void bin_feature_entries(const SparseMatrix& X, std::int32_t feature,
                           std::size_t positive_rows, const double* weights);

  std::vector<FeatureEdges> edges_;
  BinLayout layout_;
  std::int32_t rows_ = 0;
  bool narrow_codes_ = true;
  bool sparse_ = false;
  std::vector<std::uint8_t> narrow_;  // feature f at [f * rows_, (f + 1) * rows_), or empty;
                                      // sparse: at [entry_start_[f], entry_start_[f + 1])
  std::vector<std::uint16_t> wide_;   // the same in two bytes, or empty
  std::vector<std::int64_t> entry_start_;  // sparse only: features() + 1 entries
  std::vector<std::int32_t> entry_row_;    // sparse only: each stored entry's row
  std::vector<BinRange> ranges_;      // layout_.total() entries
};

// Bins every row of X by `edges` (one per column of X).
BinnedMatrix bin_with_edges(const FeatureMatrix& X, std::vector<FeatureEdges> edges,
                            std::int32_t n_threads, const double* weights = nullptr);

// The same for a sparse X held by columns: a sparse BinnedMatrix.
BinnedMatrix bin_with_edges(const SparseMatrix& X, std::vector<FeatureEdges> edges,
                            std::int32_t n_threads, const double* weights = nullptr);

// The local fit's quantization: edges from the sample, every row binned, and
// then every feature with at most max_bins distinct values in the whole
// column (which a sample may miss) given one bin per distinct value. Rows of
// weight 0 count nowhere. Features flagged in `categorical` (empty: none)
// hold category codes 0, 1, ... (NaN missing) and get one bin per code.
BinnedMatrix quantize(const FeatureMatrix& X, const BinningParams& params, std::int32_t n_threads,
                      const double* weights = nullptr,
                      std::span<const std::uint8_t> categorical = {});
// The same for a sparse X held by columns (no categorical features), a
// sparse BinnedMatrix whose bins equal those of X made dense.
BinnedMatrix quantize(const SparseMatrix& X, const BinningParams& params, std::int32_t n_threads,
                      const double* weights = nullptr);

}  // namespace qor
