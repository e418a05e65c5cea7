#include "engine/binned/bins.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <unordered_set>
#include <utility>

#include "engine/tree/parallel.hpp"
#include "engine/tree/stage.hpp"

namespace qor {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
// Rows binned per task: a block of a row-major X stays in cache while every
// feature of it is read.
constexpr std::int32_t kRowBlock = 2048;

// Index of the first upper[b] >= v, for a number v. upper ends with +infinity,
// so the index is below `size`. Branch-free: the loop runs log2(size) steps
// whatever v is, and neighbouring values' searches overlap in the pipeline.
inline std::size_t value_bin(const double* upper, std::size_t size, double v) noexcept {
  const double* base = upper;
  std::size_t len = size;
  while (len > 1) {
    const std::size_t half = len / 2;
    base = base[half] < v ? base + half : base;
    len -= half;
  }
  return static_cast<std::size_t>(base - upper) + (*base < v ? 1 : 0);
}

std::uint64_t splitmix64(std::uint64_t x) noexcept {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

void check_edges(const FeatureEdges& edges, std::size_t feature) {
  const auto& upper = edges.upper;
  const std::string where = "bin edges of feature " + std::to_string(feature);
  if (upper.empty() || upper.back() != kInfinity) {
    throw std::invalid_argument(where + ": the last upper edge must be +infinity");
  }
  if (upper.size() > static_cast<std::size_t>(kMaxBins)) {
    throw std::invalid_argument(where + ": more than " + std::to_string(kMaxBins) + " value bins");
  }
  for (std::size_t b = 1; b < upper.size(); ++b) {
    // Also false for NaN, which has no place in an order.
    if (!(upper[b - 1] < upper[b])) {
      throw std::invalid_argument(where + ": upper edges must be strictly ascending numbers");
    }
  }
}

void check_max_bins(std::int32_t max_bins) {
  if (max_bins < kMinBins || max_bins > kMaxBins) {
    throw std::invalid_argument("max_bins must lie in [" + std::to_string(kMinBins) + ", " +
                                std::to_string(kMaxBins) + "], got " + std::to_string(max_bins));
  }
}

template <bool kWeighted, class Code>
void bin_block(const FeatureMatrix& X, std::int32_t begin, std::int32_t end,
               std::span<const FeatureEdges> edges, const BinLayout& layout, Code* codes,
               std::size_t stride, std::span<BinRange> ranges, const double* weights) {
  // Element (r, f) sits at data[r * row_step + f * column_step].
  const auto row_step = static_cast<std::ptrdiff_t>(X.row_major ? X.cols : 1);
  const auto column_step = static_cast<std::ptrdiff_t>(X.row_major ? 1 : X.rows);
  for (std::size_t f = 0; f < edges.size(); ++f) {
    const double* upper = edges[f].upper.data();
    const std::size_t size = edges[f].upper.size();
    const auto nan_bin = static_cast<Code>(size);
    Code* column = codes + f * stride;
    BinRange* range = ranges.data() + layout.offset[f];
    const double* values = X.data + static_cast<std::ptrdiff_t>(f) * column_step;
    const auto value = [&](std::int32_t r) { return values[r * row_step]; };
    const auto store = [&](std::int32_t r, double v, const double* at) {
      const auto bin = static_cast<std::size_t>(at - upper) + (*at < v ? 1 : 0);
      if (std::isnan(v)) {
        column[r] = nan_bin;
      } else {
        column[r] = static_cast<Code>(bin);
        if (!kWeighted || weights[r] > 0.0) range[bin].add(v);
      }
    };
    // Four rows searched side by side: one search is a chain of dependent
    // loads, and four independent chains keep the pipeline busy.
    std::int32_t r = begin;
    for (; r + 4 <= end; r += 4) {
      const double v0 = value(r);
      const double v1 = value(r + 1);
      const double v2 = value(r + 2);
      const double v3 = value(r + 3);
      const double* a0 = upper;
      const double* a1 = upper;
      const double* a2 = upper;
      const double* a3 = upper;
      for (std::size_t len = size; len > 1;) {
        const std::size_t half = len / 2;
        a0 = a0[half] < v0 ? a0 + half : a0;
        a1 = a1[half] < v1 ? a1 + half : a1;
        a2 = a2[half] < v2 ? a2 + half : a2;
        a3 = a3[half] < v3 ? a3 + half : a3;
        len -= half;
      }
      store(r, v0, a0);
      store(r + 1, v1, a1);
      store(r + 2, v2, a2);
      store(r + 3, v3, a3);
    }
    for (; r < end; ++r) {
      const double v = value(r);
      const double* at = upper;
      for (std::size_t len = size; len > 1;) {
        const std::size_t half = len / 2;
        at = at[half] < v ? at + half : at;
        len -= half;
      }
      store(r, v, at);
    }
  }
}

// The distinct numbers of one column in ascending order (zeros as +0.0), or
// nothing once there are more than `limit`.
std::optional<std::vector<double>> distinct_values(const FeatureMatrix& X, std::int32_t feature,
                                                   std::int32_t limit, const double* weights) {
  std::unordered_set<double> seen;
  for (std::int32_t r = 0; r < X.rows; ++r) {
    const double v = X.at(r, feature);
    if (std::isnan(v) || (weights != nullptr && !(weights[r] > 0.0))) continue;
    seen.insert(v + 0.0);
    if (seen.size() > static_cast<std::size_t>(limit)) return std::nullopt;
  }
  std::vector<double> values(seen.begin(), seen.end());
  std::sort(values.begin(), values.end());
  return values;
}

// The same for a column of a sparse X held by columns: its stored numbers,
// and 0.0 when a row of positive weight leaves the column unstored.
std::optional<std::vector<double>> distinct_values(const SparseMatrix& X, std::int32_t feature,
                                                   std::int32_t limit, const double* weights) {
  std::unordered_set<double> seen;
  std::int64_t positive_stored = 0;
  for (std::int64_t i = X.begin(feature); i < X.end(feature); ++i) {
    if (weights != nullptr && !(weights[X.indices[i]] > 0.0)) continue;
    ++positive_stored;
    if (std::isnan(X.data[i])) continue;
    seen.insert(X.data[i] + 0.0);
    if (seen.size() > static_cast<std::size_t>(limit)) return std::nullopt;
  }
  std::int64_t positive = X.rows;
  if (weights != nullptr) positive = std::count_if(weights, weights + X.rows, [](double w) {
    return w > 0.0;
  });
  if (positive_stored < positive) seen.insert(0.0);
  if (seen.size() > static_cast<std::size_t>(limit)) return std::nullopt;
  std::vector<double> values(seen.begin(), seen.end());
  std::sort(values.begin(), values.end());
  return values;
}

// Gives one bin per distinct value to every feature whose bins, placed by a
// sample, hold two values where the whole column has at most max_bins: the
// sample missed values, which only a pass over the column can tell. Every bin
// holding a value and every bin holding two count towards that number.
template <class Matrix, class Rebin>
void bin_distinct_values(const Matrix& X, BinnedMatrix& binned, const BinningParams& params,
                         std::int32_t n_threads, const double* weights,
                         std::span<const std::uint8_t> categorical, Rebin rebin) {
  const auto features = static_cast<std::size_t>(binned.features());
  std::vector<std::optional<std::vector<double>>> exact(features);
  parallel_for(features, n_threads, [&](std::size_t f, std::size_t) {
    if (f < categorical.size() && categorical[f] != 0) return;
    const auto feature = static_cast<std::int32_t>(f);
    const auto begin = binned.layout().offset[f];
    const auto value_bins = binned.edges(feature).value_bins();
    std::int64_t lower_bound = 0;
    bool shared = false;
    for (std::int32_t b = 0; b < value_bins; ++b) {
      const BinRange& range = binned.ranges()[static_cast<std::size_t>(begin + b)];
      if (range.empty()) continue;
      lower_bound += range.lo < range.hi ? 2 : 1;
      shared = shared || range.lo < range.hi;
    }
    if (shared && lower_bound <= params.max_bins) {
      exact[f] = distinct_values(X, feature, params.max_bins, weights);
    }
  });
  for (std::size_t f = 0; f < features; ++f) {
    if (!exact[f]) continue;
    const std::vector<double> ones(exact[f]->size(), 1.0);
    rebin(static_cast<std::int32_t>(f), edges_from_candidates(*exact[f], ones, params.max_bins));
  }
}

}  // namespace

std::int32_t FeatureEdges::bin_of(double value) const noexcept {
  if (std::isnan(value)) return nan_bin();
  return static_cast<std::int32_t>(value_bin(upper.data(), upper.size(), value));
}

void merge_ranges(std::span<BinRange> into, std::span<const BinRange> from) {
  if (into.size() != from.size()) {
    throw std::invalid_argument("merge_ranges: the two range lists have different layouts");
  }
  for (std::size_t i = 0; i < into.size(); ++i) into[i].merge(from[i]);
}

BinLayout BinLayout::of(std::span<const FeatureEdges> edges) {
  BinLayout layout;
  layout.offset.reserve(edges.size() + 1);
  for (const FeatureEdges& e : edges) layout.offset.push_back(layout.offset.back() + e.bin_count());
  return layout;
}

FeatureEdges edges_from_candidates(std::span<const double> values, std::span<const double> counts,
                                   std::int32_t max_bins) {
  check_max_bins(max_bins);
  if (values.size() != counts.size()) {
    throw std::invalid_argument("edges_from_candidates: one count per value is needed");
  }
  double total = 0.0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if ((i > 0 && !(values[i - 1] < values[i])) || std::isnan(values[i])) {
      throw std::invalid_argument(
          "edges_from_candidates: values must be distinct numbers in ascending order");
    }
    if (!(counts[i] > 0.0) || !std::isfinite(counts[i])) {
      throw std::invalid_argument("edges_from_candidates: counts must be positive and finite");
    }
    total += counts[i];
  }

  FeatureEdges edges;
  edges.upper.clear();
  const std::size_t n = values.size();
  if (n <= static_cast<std::size_t>(max_bins)) {
    for (std::size_t i = 0; i + 1 < n; ++i) edges.upper.push_back(values[i] + 0.0);
  } else {
    // A heavy candidate, one that alone fills an equal share of all bins,
    // ends a bin, and the bin before it closes early once it holds half a
    // light share, so that a heavy value keeps a bin to itself instead of
    // swallowing lighter neighbours. Light candidates fill bins of about
    // equal count, the light share: what is not heavy over the bins left for it.
    const double heavy_count = total / static_cast<double>(max_bins);
    double light_total = 0.0;
    std::size_t heavy = 0;
    for (const double c : counts) {
      if (c >= heavy_count) {
        ++heavy;
      } else {
        light_total += c;
      }
    }
    const auto light_bins =
        static_cast<double>(std::max<std::size_t>(1, static_cast<std::size_t>(max_bins) - heavy));
    const double light_share = light_total / light_bins;
    double held = 0.0;
    std::size_t bins_left = static_cast<std::size_t>(max_bins);
    for (std::size_t i = 0; i + 1 < n && bins_left > 1; ++i) {
      held += counts[i];
      const bool full = counts[i] >= heavy_count || held >= light_share;
      const bool heavy_next = counts[i + 1] >= heavy_count && held >= 0.5 * light_share;
      const bool one_each = n - 1 - i <= bins_left - 1;  // every later candidate can have a bin
      if (full || heavy_next || one_each) {
        edges.upper.push_back(values[i] + 0.0);
        held = 0.0;
        --bins_left;
      }
    }
  }
  edges.upper.push_back(kInfinity);
  return edges;
}

std::vector<std::int32_t> sample_rows(std::int32_t rows, const BinningParams& params) {
  if (params.sample_rows < 1) {
    throw std::invalid_argument("sample_rows must be at least 1, got " +
                                std::to_string(params.sample_rows));
  }
  const auto n = static_cast<std::uint64_t>(std::max(rows, 0));
  const auto s = std::min(n, static_cast<std::uint64_t>(params.sample_rows));
  std::vector<std::int32_t> picked(s);
  for (std::uint64_t i = 0; i < s; ++i) {
    const std::uint64_t begin = i * n / s;
    const std::uint64_t end = (i + 1) * n / s;
    const std::uint64_t offset = s == n ? 0 : splitmix64(params.seed + i) % (end - begin);
    picked[i] = static_cast<std::int32_t>(begin + offset);
  }
  return picked;
}

namespace {

// Edges from one feature's sampled numbers (zeros as +0.0, no NaN), in any order.
FeatureEdges edges_of_sample(std::vector<double>::iterator first,
                             std::vector<double>::iterator last, double zeros,
                             std::int32_t max_bins) {
  std::sort(first, last);
  std::vector<double> distinct;
  std::vector<double> counts;
  // A sparse column's unstored zeros join the candidates in their place.
  bool zeros_placed = !(zeros > 0.0);
  const auto place_zeros = [&](double next) {
    if (zeros_placed || next < 0.0) return;
    if (distinct.empty() || distinct.back() != 0.0) {
      distinct.push_back(0.0);
      counts.push_back(0.0);
    }
    counts.back() += zeros;
    zeros_placed = true;
  };
  for (auto v = first; v != last; ++v) {
    place_zeros(*v);
    if (distinct.empty() || distinct.back() != *v) {
      distinct.push_back(*v);
      counts.push_back(0.0);
    }
    counts.back() += 1.0;
  }
  place_zeros(0.0);
  return edges_from_candidates(distinct, counts, max_bins);
}

// The rows a fit's edges are placed by, as a mark per row (rows of weight 0 unmarked).
std::vector<std::uint8_t> sampled_marks(std::int32_t rows, const BinningParams& params,
                                        const double* weights, std::size_t& sampled) {
  std::vector<std::uint8_t> marks(static_cast<std::size_t>(std::max(rows, 0)), 0);
  sampled = 0;
  for (const std::int32_t r : sample_rows(rows, params)) {
    if (weights != nullptr && !(weights[r] > 0.0)) continue;
    marks[static_cast<std::size_t>(r)] = 1;
    ++sampled;
  }
  return marks;
}

void check_by_column(const SparseMatrix& X, const char* where) {
  if (!X.by_column) {
    throw std::invalid_argument(std::string(where) + ": a sparse X must be held by columns");
  }
}

}  // namespace

std::vector<FeatureEdges> sample_edges(const FeatureMatrix& X, const BinningParams& params,
                                       std::int32_t n_threads, const double* weights) {
  check_max_bins(params.max_bins);
  std::vector<std::int32_t> rows = sample_rows(X.rows, params);
  if (weights != nullptr) {
    std::erase_if(rows, [&](std::int32_t r) { return !(weights[r] > 0.0); });
  }
  const std::size_t features = static_cast<std::size_t>(std::max(X.cols, 0));
  const std::size_t s = rows.size();
  // The sampled rows are read once, row by row, into one column per feature.
  std::vector<double> sample(features * s);
  for (std::size_t i = 0; i < s; ++i) {
    for (std::size_t f = 0; f < features; ++f) {
      sample[f * s + i] = X.at(rows[i], static_cast<std::int32_t>(f)) + 0.0;
    }
  }
  std::vector<FeatureEdges> edges(features);
  parallel_for(features, n_threads, [&](std::size_t f, std::size_t) {
    const auto column = sample.begin() + static_cast<std::ptrdiff_t>(f * s);
    const auto numbers = std::remove_if(column, column + static_cast<std::ptrdiff_t>(s),
                                        [](double v) { return std::isnan(v); });
    edges[f] = edges_of_sample(column, numbers, 0.0, params.max_bins);
  });
  return edges;
}

std::vector<FeatureEdges> sample_edges(const SparseMatrix& X, const BinningParams& params,
                                       std::int32_t n_threads, const double* weights) {
  check_max_bins(params.max_bins);
  check_by_column(X, "sample_edges");
  std::size_t sampled = 0;
  const std::vector<std::uint8_t> marks = sampled_marks(X.rows, params, weights, sampled);
  const auto features = static_cast<std::size_t>(std::max(X.cols, 0));
  std::vector<FeatureEdges> edges(features);
  parallel_for(features, n_threads, [&](std::size_t f, std::size_t) {
    const auto column = static_cast<std::int32_t>(f);
    std::vector<double> values;
    std::size_t stored = 0;
    for (std::int64_t e = X.begin(column); e < X.end(column); ++e) {
      if (!marks[static_cast<std::size_t>(X.indices[e])]) continue;
      ++stored;
      if (!std::isnan(X.data[e])) values.push_back(X.data[e] + 0.0);
    }
    edges[f] = edges_of_sample(values.begin(), values.end(),
                               static_cast<double>(sampled - stored), params.max_bins);
  });
  return edges;
}

BinnedMatrix::BinnedMatrix(std::vector<FeatureEdges> edges, std::int32_t rows)
    : edges_(std::move(edges)), rows_(std::max(rows, 0)) {
  for (std::size_t f = 0; f < edges_.size(); ++f) {
    check_edges(edges_[f], f);
    narrow_codes_ = narrow_codes_ && edges_[f].value_bins() <= kNarrowMaxBins;
  }
  layout_ = BinLayout::of(edges_);
  const std::size_t codes = edges_.size() * static_cast<std::size_t>(rows_);
  if (narrow_codes_) {
    narrow_.assign(codes, 0);
  } else {
    wide_.assign(codes, 0);
  }
  ranges_.assign(static_cast<std::size_t>(layout_.total()), BinRange{});
}

BinnedMatrix::BinnedMatrix(std::vector<FeatureEdges> edges, const SparseMatrix& X)
    : BinnedMatrix(std::move(edges), 0) {
  check_by_column(X, "BinnedMatrix");
  if (X.cols != features()) {
    throw std::invalid_argument("BinnedMatrix: one set of edges per column of X is needed");
  }
  rows_ = X.rows;
  sparse_ = true;
  entry_start_.assign(X.indptr, X.indptr + features() + 1);
  const auto stored = static_cast<std::size_t>(entry_start_.back());
  entry_row_.assign(X.indices, X.indices + stored);
  if (narrow_codes_) {
    narrow_.assign(stored, 0);
  } else {
    wide_.assign(stored, 0);
  }
}

std::span<const std::uint8_t> BinnedMatrix::narrow_codes(std::int32_t feature) const {
  if (!narrow_codes_) return {};
  const auto [begin, size] = place(feature);
  return {narrow_.data() + begin, size};
}

std::span<const std::uint16_t> BinnedMatrix::wide_codes(std::int32_t feature) const {
  if (narrow_codes_) return {};
  const auto [begin, size] = place(feature);
  return {wide_.data() + begin, size};
}

std::span<const std::int32_t> BinnedMatrix::entry_rows(std::int32_t feature) const {
  if (!sparse_) return {};
  const auto [begin, size] = place(feature);
  return {entry_row_.data() + begin, size};
}

std::pair<std::size_t, std::size_t> BinnedMatrix::place(std::int32_t feature) const noexcept {
  const auto f = static_cast<std::size_t>(feature);
  if (sparse_) {
    const auto begin = static_cast<std::size_t>(entry_start_[f]);
    return {begin, static_cast<std::size_t>(entry_start_[f + 1]) - begin};
  }
  const auto n = static_cast<std::size_t>(rows_);
  return {f * n, n};
}

template <class Code>
std::span<const Code> BinnedMatrix::column(std::int32_t feature,
                                           std::vector<Code>& scratch) const {
  const auto stored = [&] {
    if constexpr (std::is_same_v<Code, std::uint8_t>) {
      return narrow_codes(feature);
    } else {
      return wide_codes(feature);
    }
  }();
  if (!sparse_) return stored;
  scratch.assign(static_cast<std::size_t>(rows_), static_cast<Code>(zero_bin(feature)));
  const auto rows = entry_rows(feature);
  for (std::size_t e = 0; e < rows.size(); ++e) scratch[static_cast<std::size_t>(rows[e])] = stored[e];
  return scratch;
}

template std::span<const std::uint8_t> BinnedMatrix::column(std::int32_t,
                                                            std::vector<std::uint8_t>&) const;
template std::span<const std::uint16_t> BinnedMatrix::column(std::int32_t,
                                                             std::vector<std::uint16_t>&) const;

std::int32_t BinnedMatrix::zero_bin(std::int32_t feature) const noexcept {
  return edges(feature).bin_of(0.0);
}

std::int32_t BinnedMatrix::code(std::int32_t feature, std::int32_t row) const {
  const auto [begin, size] = place(feature);
  std::size_t at = begin + static_cast<std::size_t>(row);
  if (sparse_) {
    const auto rows = entry_rows(feature);
    const auto found = std::lower_bound(rows.begin(), rows.end(), row);
    if (found == rows.end() || *found != row) return zero_bin(feature);
    at = begin + static_cast<std::size_t>(found - rows.begin());
  }
  return narrow_codes_ ? narrow_[at] : wide_[at];
}

void BinnedMatrix::bin_entries(const SparseMatrix& X, std::int32_t n_threads,
                               const double* weights) {
  if (!sparse_ || X.cols != features() || X.rows != rows_ || !X.by_column ||
      X.indptr[features()] != entry_start_.back()) {
    throw std::invalid_argument("bin_entries: X is not the matrix these entries were made for");
  }
  std::size_t positive = static_cast<std::size_t>(rows_);
  if (weights != nullptr) {
    positive = static_cast<std::size_t>(
        std::count_if(weights, weights + rows_, [](double w) { return w > 0.0; }));
  }
  // Features own disjoint codes and ranges: one task each, nothing to merge.
  parallel_for(static_cast<std::size_t>(features()), n_threads, [&](std::size_t f, std::size_t) {
    bin_feature_entries(X, static_cast<std::int32_t>(f), positive, weights);
  });
}

void BinnedMatrix::bin_feature_entries(const SparseMatrix& X, std::int32_t feature,
                                       std::size_t positive_rows, const double* weights) {
  const FeatureEdges& e = edges(feature);
  BinRange* range = ranges_.data() + layout_.offset[static_cast<std::size_t>(feature)];
  std::size_t positive_stored = 0;
  for (std::int64_t i = X.begin(feature); i < X.end(feature); ++i) {
    const double v = X.data[i];
    const std::int32_t bin = e.bin_of(v);
    const auto at = static_cast<std::size_t>(i);
    if (narrow_codes_) {
      narrow_[at] = static_cast<std::uint8_t>(bin);
    } else {
      wide_[at] = static_cast<std::uint16_t>(bin);
    }
    if (weights != nullptr && !(weights[X.indices[i]] > 0.0)) continue;
    ++positive_stored;
    if (!std::isnan(v)) range[bin].add(v);
  }
  // A row of positive weight that the feature does not store holds a 0.0.
  if (positive_stored < positive_rows) range[e.bin_of(0.0)].add(0.0);
}

void BinnedMatrix::bin_rows(const FeatureMatrix& X, std::int32_t begin, std::int32_t end,
                            std::int32_t n_threads, const double* weights) {
  if (sparse_ || X.cols != features() || begin < 0 || end > rows_ || end > X.rows) {
    throw std::invalid_argument("bin_rows: X does not match the binned matrix");
  }
  if (begin >= end) return;
  const auto blocks = static_cast<std::size_t>((end - begin + kRowBlock - 1) / kRowBlock);
  const auto workers = static_cast<std::size_t>(std::max(1, n_threads));
  const auto total = static_cast<std::size_t>(layout_.total());
  // Each worker widens ranges of its own; min and max merge exactly in any order.
  std::vector<BinRange> seen(workers * total);
  parallel_for(blocks, n_threads, [&](std::size_t block, std::size_t worker) {
    const auto first = begin + static_cast<std::int32_t>(block) * kRowBlock;
    const auto last = std::min(end, first + kRowBlock);
    const std::span<BinRange> mine(seen.data() + worker * total, total);
    const auto n = static_cast<std::size_t>(rows_);
    if (narrow_codes_) {
      weights ? bin_block<true>(X, first, last, edges_, layout_, narrow_.data(), n, mine, weights)
              : bin_block<false>(X, first, last, edges_, layout_, narrow_.data(), n, mine, weights);
    } else {
      weights ? bin_block<true>(X, first, last, edges_, layout_, wide_.data(), n, mine, weights)
              : bin_block<false>(X, first, last, edges_, layout_, wide_.data(), n, mine, weights);
    }
  });
  for (std::size_t w = 0; w < workers; ++w) {
    merge_ranges(ranges_, std::span<const BinRange>(seen.data() + w * total, total));
  }
}

namespace {

template <class Code, class Place>
void restore_codes(std::span<const Code> from, std::vector<Code>& into, const BinLayout& layout,
                   Place place) {
  if (into.empty() && !from.empty()) {
    throw std::invalid_argument("BinnedMatrix::restore: codes of the other width");
  }
  if (from.size() != into.size()) {
    throw std::invalid_argument("BinnedMatrix::restore: " + std::to_string(from.size()) +
                                " codes for " + std::to_string(into.size()) + " places");
  }
  for (std::int32_t f = 0; f < layout.features(); ++f) {
    const auto bins = static_cast<std::size_t>(layout.bins(f));
    const auto [begin, size] = place(f);
    const auto column = from.subspan(begin, size);
    if (std::any_of(column.begin(), column.end(),
                    [&](Code c) { return static_cast<std::size_t>(c) >= bins; })) {
      throw std::invalid_argument("BinnedMatrix::restore: a code of feature " + std::to_string(f) +
                                  " beyond its bins");
    }
  }
  std::copy(from.begin(), from.end(), into.begin());
}

}  // namespace

void BinnedMatrix::restore(std::span<const std::uint8_t> codes, std::span<const BinRange> ranges) {
  if (ranges.size() != ranges_.size()) {
    throw std::invalid_argument("BinnedMatrix::restore: ranges of another layout");
  }
  restore_codes(codes, narrow_, layout_, [this](std::int32_t f) { return place(f); });
  std::copy(ranges.begin(), ranges.end(), ranges_.begin());
}

void BinnedMatrix::restore(std::span<const std::uint16_t> codes, std::span<const BinRange> ranges) {
  if (ranges.size() != ranges_.size()) {
    throw std::invalid_argument("BinnedMatrix::restore: ranges of another layout");
  }
  restore_codes(codes, wide_, layout_, [this](std::int32_t f) { return place(f); });
  std::copy(ranges.begin(), ranges.end(), ranges_.begin());
}

void BinnedMatrix::rebin_feature(const FeatureMatrix& X, std::int32_t feature, FeatureEdges edges,
                                 std::int32_t n_threads, const double* weights) {
  const auto f = static_cast<std::size_t>(feature);
  if (sparse_ || X.cols != features() || X.rows != rows_) {
    throw std::invalid_argument("rebin_feature: X does not match the binned matrix");
  }
  set_edges(feature, std::move(edges));

  // Bin the one column into a matrix of its own, then copy codes and ranges over.
  std::vector<double> values;
  values.reserve(static_cast<std::size_t>(rows_));
  for (std::int32_t r = 0; r < rows_; ++r) values.push_back(X.at(r, feature));
  const FeatureMatrix column{values.data(), rows_, 1, true};
  BinnedMatrix single({edges_[f]}, rows_);
  single.bin_rows(column, 0, rows_, n_threads, weights);
  const auto n = static_cast<std::size_t>(rows_);
  for (std::size_t r = 0; r < n; ++r) {
    const auto code = static_cast<std::size_t>(single.code(0, static_cast<std::int32_t>(r)));
    if (narrow_codes_) {
      narrow_[f * n + r] = static_cast<std::uint8_t>(code);
    } else {
      wide_[f * n + r] = static_cast<std::uint16_t>(code);
    }
  }
  std::copy(single.ranges_.begin(), single.ranges_.end(), ranges_.begin() + layout_.offset[f]);
}

void BinnedMatrix::rebin_feature(const SparseMatrix& X, std::int32_t feature, FeatureEdges edges,
                                 const double* weights) {
  if (!sparse_ || X.cols != features() || X.rows != rows_ || !X.by_column ||
      X.indptr[features()] != entry_start_.back()) {
    throw std::invalid_argument("rebin_feature: X is not the matrix these entries were made for");
  }
  set_edges(feature, std::move(edges));
  std::size_t positive = static_cast<std::size_t>(rows_);
  if (weights != nullptr) {
    positive = static_cast<std::size_t>(
        std::count_if(weights, weights + rows_, [](double w) { return w > 0.0; }));
  }
  bin_feature_entries(X, feature, positive, weights);
}

void BinnedMatrix::set_edges(std::int32_t feature, FeatureEdges edges) {
  const auto f = static_cast<std::size_t>(feature);
  check_edges(edges, f);
  if (narrow_codes_ && edges.value_bins() > kNarrowMaxBins) {
    wide_.assign(narrow_.begin(), narrow_.end());
    narrow_.clear();
    narrow_.shrink_to_fit();
    narrow_codes_ = false;
  }
  const BinLayout old_layout = layout_;
  edges_[f] = std::move(edges);
  layout_ = BinLayout::of(edges_);
  std::vector<BinRange> ranges(static_cast<std::size_t>(layout_.total()));
  for (std::int32_t g = 0; g < features(); ++g) {
    if (g == feature) continue;
    std::copy_n(ranges_.begin() + old_layout.offset[static_cast<std::size_t>(g)],
                old_layout.bins(g), ranges.begin() + layout_.offset[static_cast<std::size_t>(g)]);
  }
  ranges_ = std::move(ranges);
}

BinnedMatrix bin_with_edges(const FeatureMatrix& X, std::vector<FeatureEdges> edges,
                            std::int32_t n_threads, const double* weights) {
  if (edges.size() != static_cast<std::size_t>(std::max(X.cols, 0))) {
    throw std::invalid_argument("bin_with_edges: one set of edges per column of X is needed");
  }
  // A code of one or two bytes per value.
  const StageMark binning("binning the values of every feature",
                          static_cast<std::size_t>(std::max(X.rows, 0)) * edges.size() * 2);
  BinnedMatrix binned(std::move(edges), X.rows);
  binned.bin_rows(X, 0, X.rows, n_threads, weights);
  return binned;
}

FeatureEdges category_edges(std::int64_t categories) {
  if (categories > kMaxBins) {
    throw std::invalid_argument("a categorical feature of " + std::to_string(categories) +
                                " categories: binned growth holds at most " +
                                std::to_string(kMaxBins) + " per feature");
  }
  FeatureEdges edges;
  edges.upper.clear();
  for (std::int64_t code = 0; code + 1 < categories; ++code) {
    edges.upper.push_back(static_cast<double>(code));
  }
  edges.upper.push_back(kInfinity);
  return edges;
}

BinnedMatrix quantize(const FeatureMatrix& X, const BinningParams& params, std::int32_t n_threads,
                      const double* weights, std::span<const std::uint8_t> categorical) {
  const auto is_categorical = [&](std::size_t f) {
    return f < categorical.size() && categorical[f] != 0;
  };
  std::optional<StageMark> stage;
  stage.emplace("placing the bins of every feature",
                static_cast<std::size_t>(std::min(X.rows, params.sample_rows)) *
                    static_cast<std::size_t>(std::max(X.cols, 0)) * sizeof(double));
  std::vector<FeatureEdges> edges = sample_edges(X, params, n_threads, weights);
  stage.reset();
  for (std::size_t f = 0; f < edges.size(); ++f) {
    if (!is_categorical(f)) continue;
    double largest = -1.0;
    for (std::int32_t r = 0; r < X.rows; ++r) {
      const double code = X.at(r, static_cast<std::int32_t>(f));
      if (std::isnan(code)) continue;
      if (!(code >= 0.0 && code == std::floor(code) && code < 1e18)) {
        throw std::invalid_argument("categorical feature " + std::to_string(f) + " holds " +
                                    std::to_string(code) + ", which is no category code");
      }
      largest = std::max(largest, code);
    }
    edges[f] = category_edges(static_cast<std::int64_t>(largest) + 1);
  }
  BinnedMatrix binned = bin_with_edges(X, std::move(edges), n_threads, weights);
  bin_distinct_values(X, binned, params, n_threads, weights, categorical,
                      [&](std::int32_t feature, FeatureEdges exact) {
                        binned.rebin_feature(X, feature, std::move(exact), n_threads, weights);
                      });
  return binned;
}

BinnedMatrix bin_with_edges(const SparseMatrix& X, std::vector<FeatureEdges> edges,
                            std::int32_t n_threads, const double* weights) {
  if (edges.size() != static_cast<std::size_t>(std::max(X.cols, 0))) {
    throw std::invalid_argument("bin_with_edges: one set of edges per column of X is needed");
  }
  // A row and a code of up to two bytes per stored value.
  const StageMark binning("binning the stored values of every feature",
                          static_cast<std::size_t>(X.cols >= 0 ? X.indptr[X.cols] : 0) * 6);
  BinnedMatrix binned(std::move(edges), X);
  binned.bin_entries(X, n_threads, weights);
  return binned;
}

BinnedMatrix quantize(const SparseMatrix& X, const BinningParams& params, std::int32_t n_threads,
                      const double* weights) {
  check_by_column(X, "quantize");
  BinnedMatrix binned = bin_with_edges(X, sample_edges(X, params, n_threads, weights), n_threads,
                                       weights);
  bin_distinct_values(X, binned, params, n_threads, weights, {},
                      [&](std::int32_t feature, FeatureEdges exact) {
                        binned.rebin_feature(X, feature, std::move(exact), weights);
                      });
  return binned;
}

}  // namespace qor
