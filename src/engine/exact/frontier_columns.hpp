#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/exact/column_order.hpp"
#include "engine/criteria/criterion.hpp"
#include "engine/tree/views.hpp"

namespace qor {

// The rows of the frontier's nodes, sorted once by every feature column and kept
// sorted as the nodes split: node s of the frontier owns segment s, the same
// positions in every column, so a level's split search is one pass over each
// column instead of a sort per node and feature.
//
// Besides the feature columns, a row column keeps each segment's rows in their
// given order (ascending rows in growth), and for Mae a target column keeps them
// in ascending order of target. Equal values keep the given order.
class FrontierColumns {
 public:
  // Segment s holds segment_rows[s], in that order; rows may repeat across
  // segments (each gets its own positions) and lie below 2**31. Sorts every
  // listed feature, using up to `threads` threads.
  FrontierColumns(const FeatureMatrix& X, const TargetVector& y,
                  std::span<const std::vector<std::uint32_t>> segment_rows,
                  std::span<const std::int32_t> features, Criterion criterion, int threads = 1);

  std::size_t segment_count() const noexcept { return segments_.size(); }
  std::size_t segment_size(std::size_t segment) const noexcept {
    return segments_[segment].end - segments_[segment].begin;
  }

  // The segment's rows in ascending order of `feature`, which must be listed.
  std::span<const ColumnEntry> run(std::size_t segment, std::int32_t feature) const;
  // The segment's rows in their given order (value marks unused).
  std::span<const ColumnEntry> rows(std::size_t segment) const;
  // The segment's rows in ascending order of target, NaN last (Mae only).
  std::span<const ColumnEntry> target_run(std::size_t segment) const;

  // Dense code of every row's target, for rows below row_span(): equal targets
  // (-0.0 and +0.0 too) share a code, in ascending order of target, and every
  // NaN target has a code of its own after them. Only for criteria that count
  // labels. With at most 256 codes they are kept in bytes (narrow_label_codes),
  // otherwise in label_codes; the other is empty.
  std::span<const std::uint32_t> label_codes() const noexcept { return codes_; }
  std::span<const std::uint8_t> narrow_label_codes() const noexcept { return narrow_codes_; }
  // With at most two labels, the codes once more as one bit per row (row r at
  // bit r % 64 of word r / 64); empty otherwise.
  std::span<const std::uint64_t> label_bits() const noexcept { return label_bits_; }
  std::uint32_t label_code(std::size_t row) const noexcept {
    return narrow_codes_.empty() ? codes_[row] : narrow_codes_[row];
  }
  std::uint32_t label_count() const noexcept { return label_count_; }
  // One past the largest row of any segment given at construction.
  std::size_t row_span() const noexcept { return row_span_; }
  // Rows of all segments given at construction together: no segment is larger.
  std::size_t length() const noexcept { return length_; }

  // Segment `segment` splits: the rows r whose bit goes_left is set (row r at
  // bit r % 64 of word r / 64) form a new
  // segment, followed by one of the others.
  struct Split {
    std::size_t segment = 0;
    std::size_t left_size = 0;  // rows of the segment that go left
  };
  // Replaces the segments by the children of `splits`, in order (left, then
  // right, for each split); every other segment is dropped, its rows no longer
  // in view. Every column keeps its order within each child, and a child's
  // value marks fall where its neighbouring values differ.
  void partition(std::span<const Split> splits, std::span<const std::uint64_t> goes_left,
                 int threads = 1);

  // Rebuilds the segments from `root`, columns of the same rows and features
  // in one segment: segment s takes the rows r with node[r] == first_node + s
  // (s < segments), every column in root's order, a value marked new where it
  // differs from the segment's previous one. One pass over each column: what a
  // chain of partitions would leave, from each row's node alone.
  // With `only` given, only the columns of those features (and the row and
  // target columns) are rebuilt; the others are left meaningless until a
  // regroup of every column.
  void regroup(const FrontierColumns& root, std::span<const std::int32_t> node,
               std::int32_t first_node, std::size_t segments, int threads = 1,
               std::span<const std::int32_t> only = {});

 private:
  struct Segment {
    std::size_t begin = 0;  // first position of the segment in every column
    std::size_t end = 0;    // one past the last
  };

  std::span<const ColumnEntry> column_segment(std::size_t column, std::size_t segment) const;
  // label_codes() of `rows`' targets when they are all whole numbers from 0 to
  // 65535 (ranked by a table of those present); false, and nothing set, otherwise.
  bool rank_small_labels(const TargetVector& y, std::span<const std::uint32_t> rows);
  // label_codes() of any targets, by sorting them.
  void rank_labels(const TargetVector& y, std::span<const std::uint32_t> rows,
                   ColumnSorter& sorter);

  std::size_t length_ = 0;  // positions per column: all segments' rows together
  std::size_t row_span_ = 0;
  std::vector<std::int32_t> column_of_;  // feature -> column, -1 when not sorted
  std::size_t row_column_ = 0;
  std::size_t target_column_ = 0;  // Mae only
  std::size_t columns_ = 0;
  std::vector<ColumnEntry> entries_;  // column c at [c * length_, (c + 1) * length_)
  std::vector<Segment> segments_;
  std::vector<std::uint32_t> codes_;        // per row below row_span_, or empty
  std::vector<std::uint8_t> narrow_codes_;  // the same in bytes when they fit, or empty
  std::vector<std::uint64_t> label_bits_;   // the same in bits with two labels, or empty
  std::uint32_t label_count_ = 0;
};

}  // namespace qor
