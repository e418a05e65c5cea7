#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "column_order.hpp"
#include "model.hpp"
#include "views.hpp"

namespace qor {

// The rows of the nodes being searched, sorted once by every feature column and
// kept sorted as the nodes split: a node's rows form one segment, the same
// positions in every column, so a level's split search is one pass over each
// column instead of a sort per node and feature.
//
// Equal values keep the order of the node's `indices` (ascending rows during
// growth). Rows of nodes that stop splitting are dropped from view, never moved.
class FrontierColumns {
 public:
  // Sorts the rows of every node by each listed feature; for Mae also by target,
  // for Gini and Entropy also gives every row a dense label code. Rows may be
  // shared between nodes: each node gets its own segment.
  FrontierColumns(const FeatureMatrix& X, const TargetVector& y, std::span<const Node* const> nodes,
                  std::span<const std::int32_t> features, Criterion criterion);

  // The node's rows in ascending order of `feature`, which must be listed.
  std::span<const OrderedRow> run(const Node& node, std::int32_t feature) const;
  // The node's rows in ascending order of target (Mae only; ranks unused).
  std::span<const OrderedRow> target_run(const Node& node) const;

  // Dense code of every row's target, for rows below row_span(): equal targets
  // (-0.0 and +0.0 too) share a code, every NaN target has a code of its own.
  // Only for criteria that count labels. With at most 256 codes they are kept
  // in bytes (narrow_label_codes), otherwise in label_codes; the other is empty.
  std::span<const std::uint32_t> label_codes() const noexcept { return codes_; }
  std::span<const std::uint8_t> narrow_label_codes() const noexcept { return narrow_codes_; }
  std::uint32_t label_code(std::size_t row) const noexcept {
    return narrow_codes_.empty() ? codes_[row] : narrow_codes_[row];
  }
  std::uint32_t label_count() const noexcept { return label_count_; }
  // One past the largest row position of the nodes given at construction.
  std::size_t row_span() const noexcept { return row_span_; }
  // Rows of all nodes given at construction together: no node is larger.
  std::size_t length() const noexcept { return length_; }

  // Notes that `parent`, a node of the current level, now has its two children;
  // its rows move into two child segments at finish_level.
  void record_split(const Node& parent);
  // Moves each recorded parent's rows into its children's segments (left rows
  // first, column order kept) and forgets every other node of the level.
  void finish_level();

 private:
  struct Segment {
    std::size_t begin = 0;  // first position of the node's rows in every column
    std::size_t end = 0;    // one past the last
  };
  struct PendingSplit {
    Segment rows;           // the parent's segment
    std::size_t left_size;  // its first left_size rows go to `left` after partitioning
    const Node* left;
    const Node* right;
  };

  std::span<const OrderedRow> column_segment(std::size_t column, const Node& node) const;

  std::size_t length_ = 0;  // positions per column: all nodes' rows together
  std::size_t row_span_ = 0;
  std::vector<std::int32_t> column_of_;  // feature -> column, -1 when not sorted
  std::size_t target_column_ = 0;        // column sorted by target, Mae only
  std::size_t columns_ = 0;
  std::vector<OrderedRow> entries_;  // column c at [c * length_, (c + 1) * length_)
  std::unordered_map<const Node*, Segment> segments_;
  std::vector<std::uint32_t> codes_;        // per row, below row_span_, or empty
  std::vector<std::uint8_t> narrow_codes_;  // the same in bytes when they fit, or empty
  std::uint32_t label_count_ = 0;
  std::vector<PendingSplit> pending_;
  std::vector<std::uint8_t> goes_left_;  // per row: 1 when its parent sends it left
  std::vector<OrderedRow> spill_;        // right-hand rows during a partition
};

}  // namespace qor
