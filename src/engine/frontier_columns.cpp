#include "frontier_columns.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace qor {

FrontierColumns::FrontierColumns(const FeatureMatrix& X, const TargetVector& y,
                                 std::span<const Node* const> nodes,
                                 std::span<const std::int32_t> features, Criterion criterion) {
  std::vector<std::uint32_t> rows;
  for (const Node* node : nodes) {
    const Segment segment{length_, length_ + node->indices.size()};
    segments_[node] = segment;
    length_ = segment.end;
    for (const std::size_t r : node->indices) {
      rows.push_back(static_cast<std::uint32_t>(r));
      row_span_ = std::max(row_span_, r + 1);
    }
  }

  std::int32_t widest = -1;
  for (const std::int32_t f : features) widest = std::max(widest, f);
  column_of_.assign(static_cast<std::size_t>(widest + 1), -1);
  for (const std::int32_t f : features) {
    column_of_[static_cast<std::size_t>(f)] = static_cast<std::int32_t>(columns_++);
  }
  const bool counts_labels = criterion == Criterion::Gini || criterion == Criterion::Entropy;
  const bool by_target = !counts_labels && criterion != Criterion::Mse;
  if (by_target) target_column_ = columns_++;
  entries_.resize(columns_ * length_);

  ColumnSorter sorter;
  const auto sort_segments = [&](std::span<const double> values, std::size_t column) {
    for (const auto& [node, segment] : segments_) {
      const std::size_t n = segment.end - segment.begin;
      sorter.sort(values.subspan(segment.begin, n), std::span(rows).subspan(segment.begin, n),
                  std::span(entries_).subspan(column * length_ + segment.begin, n));
    }
  };
  // A few columns per pass over X: reading one column at a time would pull
  // every cache line of X once per feature.
  constexpr std::size_t kBlock = 4;
  std::vector<double> values(std::min(features.size(), kBlock) * length_);
  for (std::size_t first = 0; first < features.size(); first += kBlock) {
    const std::size_t count = std::min(kBlock, features.size() - first);
    for (std::size_t i = 0; i < length_; ++i) {
      const auto r = static_cast<std::int32_t>(rows[i]);
      for (std::size_t c = 0; c < count; ++c)
        values[c * length_ + i] = X.at(r, features[first + c]);
    }
    for (std::size_t c = 0; c < count; ++c) {
      const auto f = static_cast<std::size_t>(features[first + c]);
      sort_segments(std::span(values).subspan(c * length_, length_),
                    static_cast<std::size_t>(column_of_[f]));
    }
  }
  const auto target_of = [&](std::uint32_t r) { return y.data[r]; };
  if (by_target || counts_labels) {
    values.resize(std::max(values.size(), length_));
    for (std::size_t i = 0; i < length_; ++i) values[i] = target_of(rows[i]);
  }
  if (by_target) sort_segments(std::span(values).first(length_), target_column_);

  if (counts_labels) {
    // Ranks of the targets among all rows are dense codes; each NaN gets a new one.
    std::vector<OrderedRow> targets(length_);
    sorter.sort(std::span(values).first(length_), rows, targets);
    codes_.assign(row_span_, 0);
    std::uint32_t numbers = 0;
    for (const OrderedRow& entry : targets) {
      if (entry.rank != kNanRank) numbers = entry.rank + 1;
    }
    label_count_ = numbers;
    for (const OrderedRow& entry : targets) {
      codes_[entry.row] = entry.rank != kNanRank ? entry.rank : label_count_++;
    }
    // The split search reads a code per row visited, scattered: bytes keep a
    // large fit's codes in cache.
    if (label_count_ <= 256) {
      narrow_codes_.resize(codes_.size());
      for (std::size_t r = 0; r < codes_.size(); ++r) {
        narrow_codes_[r] = static_cast<std::uint8_t>(codes_[r]);
      }
      std::vector<std::uint32_t>().swap(codes_);
    }
  }
}

std::span<const OrderedRow> FrontierColumns::column_segment(std::size_t column,
                                                            const Node& node) const {
  const Segment& segment = segments_.at(&node);
  return std::span(entries_).subspan(column * length_ + segment.begin, segment.end - segment.begin);
}

std::span<const OrderedRow> FrontierColumns::run(const Node& node, std::int32_t feature) const {
  const auto f = static_cast<std::size_t>(feature);
  if (feature < 0 || f >= column_of_.size() || column_of_[f] < 0) {
    throw std::out_of_range("FrontierColumns: feature " + std::to_string(feature) +
                            " was not sorted");
  }
  return column_segment(static_cast<std::size_t>(column_of_[f]), node);
}

std::span<const OrderedRow> FrontierColumns::target_run(const Node& node) const {
  return column_segment(target_column_, node);
}

void FrontierColumns::record_split(const Node& parent) {
  const Segment& segment = segments_.at(&parent);
  if (goes_left_.empty()) goes_left_.resize(row_span_);
  for (const std::size_t r : parent.left->indices) goes_left_[r] = 1;
  for (const std::size_t r : parent.right->indices) goes_left_[r] = 0;
  pending_.push_back({segment, parent.left->indices.size(), parent.left.get(), parent.right.get()});
}

void FrontierColumns::finish_level() {
  std::size_t widest = 0;
  for (const PendingSplit& split : pending_) {
    widest = std::max(widest, split.rows.end - split.rows.begin);
  }
  spill_.resize(widest);
  for (std::size_t column = 0; column < columns_; ++column) {
    OrderedRow* base = entries_.data() + column * length_;
    for (const PendingSplit& split : pending_) {
      // Stable in place: left rows compact forwards, right rows wait in spill_.
      // Every row is written to both places and only one cursor moves, since
      // which way a row goes is as good as random to a branch predictor.
      std::size_t to = split.rows.begin;
      std::size_t spilled = 0;
      for (std::size_t i = split.rows.begin; i < split.rows.end; ++i) {
        const OrderedRow entry = base[i];
        const std::size_t left = goes_left_[entry.row];
        base[to] = entry;
        spill_[spilled] = entry;
        to += left;
        spilled += 1 - left;
      }
      std::copy(spill_.begin(), spill_.begin() + static_cast<std::ptrdiff_t>(spilled), base + to);
    }
  }
  segments_.clear();
  for (const PendingSplit& split : pending_) {
    const std::size_t middle = split.rows.begin + split.left_size;
    segments_[split.left] = {split.rows.begin, middle};
    segments_[split.right] = {middle, split.rows.end};
  }
  pending_.clear();
}

}  // namespace qor
