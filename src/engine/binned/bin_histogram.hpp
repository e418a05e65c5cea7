#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/binned/bin_stats.hpp"
#include "engine/binned/bins.hpp"
#include "engine/tree/views.hpp"

namespace qor {

// The rows of one block as a level pass reads them: their codes, and per row a
// target (a class code 0..n_classes-1 as a double, or a number) and a weight.
struct BinnedRows {
  const BinnedMatrix* codes = nullptr;    // rows() rows
  const double* y = nullptr;              // codes->rows() entries
  const double* sample_weight = nullptr;  // codes->rows() entries, >= 0; null: all 1.0
  // A regressor's: per row, what w y is multiplied by for the last of its sums
  // (StatShape): null for y itself, or under poisson log y (0 where y is 0),
  // so that the sum adds poisson_term(w y, y) without a logarithm per bin.
  const double* factor = nullptr;

  double factor_of(std::size_t row) const noexcept { return factor ? factor[row] : y[row]; }
};

// The factors of poisson's sums for targets y (BinnedRows::factor).
std::vector<double> poisson_factors(std::span<const double> y);

// Which nodes of a level get histograms built from rows, and where: node ids
// first_node, first_node + 1, ... map to slot[id - first_node] (-1: none).
// A row whose node lies outside the list is in no slot.
struct SlotMap {
  std::int32_t first_node = 0;
  std::vector<std::int32_t> slot;

  std::int32_t slot_of(std::int32_t node) const noexcept {
    const auto at = static_cast<std::int64_t>(node) - first_node;
    return at >= 0 && at < static_cast<std::int64_t>(slot.size())
               ? slot[static_cast<std::size_t>(at)]
               : -1;
  }
};

// A level's statistics per slot (a node), feature and bin: the StatShape sums
// of the slot's rows whose value fell into the bin. Slot s, feature f, bin b
// start at ((s * layout.total() + layout.offset[f] + b) * width). Histograms
// of one layout and shape add up: the histogram of a union of row blocks is
// the sum of theirs.
class LevelHistograms {
 public:
  // Zeroed. Throws std::length_error when a position would not fit 32 bits.
  LevelHistograms(BinLayout layout, StatShape shape, std::int32_t slots);
  // Zeroed again with another number of slots, in the memory already held.
  void reset(std::int32_t slots);

  const BinLayout& layout() const noexcept { return layout_; }
  const StatShape& shape() const noexcept { return shape_; }
  std::int32_t slots() const noexcept { return slots_; }
  // Every bin of one feature in one slot: layout().bins(feature) * width entries.
  std::span<const double> bins(std::int32_t slot, std::int32_t feature) const noexcept;
  std::span<double> bins(std::int32_t slot, std::int32_t feature) noexcept;
  // Every slot's sums, slot after slot.
  std::span<const double> data() const noexcept { return {data_.data(), visible_size()}; }
  std::span<double> data() noexcept { return {data_.data(), visible_size()}; }

  // Adds another block's histograms of the same layout, shape and slots
  // (its data()), entry by entry.
  void add(std::span<const double> sums);
  // Slot `into` becomes slot `parent` of `parents` minus slot `sibling` here:
  // the histogram of a node from its parent's and its sibling's. Bins left
  // without rows are zeroed, and weights clamped at 0, so that rounding
  // leaves no residue where a node has no rows.
  void derive(std::int32_t into, const LevelHistograms& parents, std::int32_t parent,
              std::int32_t sibling);

 private:
  friend class HistogramBuilder;
  std::size_t visible_size() const noexcept {
    return static_cast<std::size_t>(slots_) * slot_size_;
  }

  BinLayout layout_;
  StatShape shape_;
  std::int32_t slots_ = 0;
  std::size_t slot_size_ = 0;  // layout_.total() * width
  std::vector<double> data_;   // slots_ + 1 slots: the last takes the rows of no slot, so
                               // that the builder never branches on a row's slot
};

// Adds the rows of `rows` to the histogram slots of their nodes (node[r] for
// row r), on up to n_threads threads. Work is split by feature: each feature's
// histogram is added up by one thread in row order, so the result is the same
// for any number of threads. Keeps its per-row scratch between calls.
class HistogramBuilder {
 public:
  void accumulate(const BinnedRows& rows, std::span<const std::int32_t> node, const SlotMap& slots,
                  LevelHistograms& out, std::int32_t n_threads);

 private:
  // A row's key: where its slot's sums start (the hidden last slot for rows in
  // no slot), plus its class's place within a bin when classifying. Holds
  // either every row's key, or the rows in some slot followed by their keys.
  std::vector<std::uint32_t> buffer_;
};

}  // namespace qor
