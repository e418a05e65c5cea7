#include "engine/exact/frontier_columns.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

#include "engine/tree/parallel.hpp"

namespace qor {

FrontierColumns::FrontierColumns(const FeatureMatrix& X, const TargetVector& y,
                                 std::span<const std::vector<std::uint32_t>> segment_rows,
                                 std::span<const std::int32_t> features, Criterion criterion,
                                 int threads) {
  for (const auto& rows : segment_rows) {
    segments_.push_back({length_, length_ + rows.size()});
    length_ += rows.size();
    for (const std::uint32_t r : rows) row_span_ = std::max(row_span_, std::size_t{r} + 1);
  }
  std::vector<std::uint32_t> rows;
  rows.reserve(length_);
  for (const auto& segment : segment_rows) rows.insert(rows.end(), segment.begin(), segment.end());

  std::int32_t widest = -1;
  for (const std::int32_t f : features) widest = std::max(widest, f);
  column_of_.assign(static_cast<std::size_t>(widest + 1), -1);
  for (const std::int32_t f : features) {
    column_of_[static_cast<std::size_t>(f)] = static_cast<std::int32_t>(columns_++);
  }
  row_column_ = columns_++;
  const bool counts_labels = counts_classes(criterion);
  const bool by_target = criterion == Criterion::Mae;
  if (by_target) target_column_ = columns_++;
  entries_.resize(columns_ * length_);

  for (std::size_t i = 0; i < length_; ++i) {
    entries_[row_column_ * length_ + i] = ColumnEntry::of(rows[i], true);
  }

  const auto sort_segments = [&](ColumnSorter& sorter, std::span<const double> values,
                                 std::size_t column) {
    for (const Segment& segment : segments_) {
      const std::size_t n = segment.end - segment.begin;
      sorter.sort(values.subspan(segment.begin, n), std::span(rows).subspan(segment.begin, n),
                  std::span(entries_).subspan(column * length_ + segment.begin, n));
    }
  };
  // One pass over X, row by row, leaves the high 32 bits of every value's sort
  // key where its column's entries will go: reading X once, in its own order,
  // is what a row-major matrix allows cheaply. Each feature is then sorted on
  // its own, its full keys read back from X only where high bits tie.
  constexpr std::size_t kRowChunk = 1 << 14;
  const std::size_t chunks = (length_ + kRowChunk - 1) / kRowChunk;
  const int readers =
      std::max(1, std::min(threads_for(length_ * features.size(), threads), static_cast<int>(chunks)));
  std::vector<ColumnEntry*> into(features.size());
  for (std::size_t c = 0; c < features.size(); ++c) {
    into[c] = entries_.data() +
              static_cast<std::size_t>(column_of_[static_cast<std::size_t>(features[c])]) * length_;
  }
  parallel_for(chunks, readers, [&](std::size_t chunk, std::size_t) {
    const std::size_t end = std::min(length_, (chunk + 1) * kRowChunk);
    for (std::size_t i = chunk * kRowChunk; i < end; ++i) {
      const auto r = static_cast<std::int32_t>(rows[i]);
      for (std::size_t c = 0; c < features.size(); ++c) {
        into[c][i].bits = static_cast<std::uint32_t>(order_key(X.at(r, features[c])) >> 32);
      }
    }
  });
  const int workers = std::max(
      1, std::min(threads_for(length_ * features.size(), threads), static_cast<int>(features.size())));
  std::vector<ColumnSorter> sorters(static_cast<std::size_t>(workers));
  parallel_for(features.size(), workers, [&](std::size_t c, std::size_t worker) {
    const std::int32_t f = features[c];
    const auto column = static_cast<std::size_t>(column_of_[static_cast<std::size_t>(f)]);
    for (const Segment& segment : segments_) {
      const std::size_t n = segment.end - segment.begin;
      ColumnEntry* at = entries_.data() + column * length_ + segment.begin;
      const std::uint32_t* of_segment = rows.data() + segment.begin;
      sorters[worker].sort_high([at](std::uint32_t j) { return at[j].bits; },
                                [&](std::uint32_t row) { return X.address(row, f); },
                                std::span(of_segment, n), std::span(at, n));
    }
  });
  if (!by_target && !counts_labels) return;

  if (by_target) {
    std::vector<double> targets(length_);
    for (std::size_t i = 0; i < length_; ++i) targets[i] = y.data[rows[i]];
    sort_segments(sorters.front(), targets, target_column_);
    return;
  }
  if (!rank_small_labels(y, rows)) rank_labels(y, rows, sorters.front());
  // The split search reads a code per row visited, scattered: bytes keep a
  // large fit's codes in cache.
  if (label_count_ <= 256) {
    narrow_codes_.assign(codes_.begin(), codes_.end());
    std::vector<std::uint32_t>().swap(codes_);
  }
  if (label_count_ <= 2) {
    label_bits_.assign((row_span_ + 63) / 64, 0);
    for (std::size_t r = 0; r < row_span_; ++r) {
      label_bits_[r >> 6] |= static_cast<std::uint64_t>(narrow_codes_[r] & 1u) << (r & 63);
    }
  }
}

bool FrontierColumns::rank_small_labels(const TargetVector& y,
                                        std::span<const std::uint32_t> rows) {
  // A classifier's class codes: whole numbers from 0, ranked through a table of
  // the values present (its codes in ascending order of value) without a sort.
  constexpr double kLargestLabel = 65535.0;
  std::uint32_t largest = 0;
  for (const std::uint32_t r : rows) {
    const double t = y.data[r];
    if (!(t >= 0.0 && t <= kLargestLabel && t == std::floor(t))) return false;
    largest = std::max(largest, static_cast<std::uint32_t>(t));
  }
  std::vector<std::uint32_t> rank(std::size_t{largest} + 1, 0);
  for (const std::uint32_t r : rows) rank[static_cast<std::uint32_t>(y.data[r])] = 1;
  for (std::uint32_t& seen : rank) label_count_ += std::exchange(seen, label_count_);
  codes_.assign(row_span_, 0);
  for (const std::uint32_t r : rows) codes_[r] = rank[static_cast<std::uint32_t>(y.data[r])];
  return true;
}

void FrontierColumns::rank_labels(const TargetVector& y, std::span<const std::uint32_t> rows,
                                  ColumnSorter& sorter) {
  std::vector<double> targets(length_);
  for (std::size_t i = 0; i < length_; ++i) targets[i] = y.data[rows[i]];
  // Targets in ascending order over all rows: a code per distinct value, and
  // one of its own for each NaN.
  std::vector<ColumnEntry> order(length_);
  sorter.sort(targets, rows, order);
  codes_.assign(row_span_, 0);
  std::uint32_t code = 0;
  std::size_t first_nan = length_;
  for (std::size_t i = 0; i < length_; ++i) {
    const std::uint32_t r = order[i].row();
    if (std::isnan(y.data[r])) {
      first_nan = i;
      break;
    }
    if (i > 0 && order[i].new_value()) ++code;
    codes_[r] = code;
  }
  label_count_ = first_nan == 0 ? 0 : code + 1;
  for (std::size_t i = first_nan; i < length_; ++i) codes_[order[i].row()] = label_count_++;
}

std::span<const ColumnEntry> FrontierColumns::column_segment(std::size_t column,
                                                             std::size_t segment) const {
  const Segment& s = segments_.at(segment);
  return std::span(entries_).subspan(column * length_ + s.begin, s.end - s.begin);
}

std::span<const ColumnEntry> FrontierColumns::run(std::size_t segment, std::int32_t feature) const {
  const auto f = static_cast<std::size_t>(feature);
  if (feature < 0 || f >= column_of_.size() || column_of_[f] < 0) {
    throw std::out_of_range("FrontierColumns: feature " + std::to_string(feature) +
                            " was not sorted");
  }
  return column_segment(static_cast<std::size_t>(column_of_[f]), segment);
}

std::span<const ColumnEntry> FrontierColumns::rows(std::size_t segment) const {
  return column_segment(row_column_, segment);
}

std::span<const ColumnEntry> FrontierColumns::target_run(std::size_t segment) const {
  return column_segment(target_column_, segment);
}

void FrontierColumns::partition(std::span<const Split> splits,
                                std::span<const std::uint64_t> goes_left, int threads) {
  std::size_t widest = 0;
  std::size_t moved = 0;
  for (const Split& split : splits) {
    widest = std::max(widest, segment_size(split.segment));
    moved += segment_size(split.segment);
  }
  const int workers =
      std::max(1, std::min(threads_for(moved * columns_, threads), static_cast<int>(columns_)));
  struct Scratch {
    std::vector<ColumnEntry> spill;   // right-hand rows while a segment is partitioned
    std::vector<std::uint8_t> sides;  // goes_left of each entry of the segment, in order
  };
  std::vector<Scratch> scratch(static_cast<std::size_t>(workers));
  parallel_for(columns_, workers, [&](std::size_t column, std::size_t worker) {
    std::vector<ColumnEntry>& spill = scratch[worker].spill;
    std::vector<std::uint8_t>& sides = scratch[worker].sides;
    spill.resize(widest);
    sides.resize(widest);
    ColumnEntry* base = entries_.data() + column * length_;
    for (const Split& split : splits) {
      // Stable in place: left rows compact forwards, right rows wait in the
      // spill. Every row is written to both places and only one cursor moves,
      // since which way a row goes is as good as random to a branch predictor.
      // A child's entry is marked as a new value when any entry of the parent
      // since the child's previous one was: values only rise along a column.
      // The sides are gathered first: the marks chain each entry to the side
      // of the one before, which must not wait on a scattered read.
      const Segment s = segments_[split.segment];
      // Plain pointers: byte stores may alias anything, which would reload a
      // span's or vector's data on every row.
      const std::uint64_t* const go = goes_left.data();
      std::uint8_t* const side = sides.data() - s.begin;
      // One bit per row keeps a large fit's sides in cache where bytes would not fit.
      for (std::size_t i = s.begin; i < s.end; ++i) {
        const std::uint32_t row = base[i].bits & ColumnEntry::kLargestRow;
        side[i] = static_cast<std::uint8_t>((go[row >> 6] >> (row & 63)) & 1u);
      }
      std::size_t to = s.begin;
      std::size_t spilled = 0;
      std::uint32_t mark_left = 0;
      std::uint32_t mark_right = 0;
      // mark_left and mark_right hold only the new-value bit each side owes.
      for (std::size_t i = s.begin; i < s.end; ++i) {
        const std::uint32_t bits = base[i].bits;
        const std::uint32_t left = side[i];
        base[to].bits = bits | mark_left;
        spill[spilled].bits = bits | mark_right;
        const std::uint32_t mark = bits & ColumnEntry::kNewValue;
        const std::uint32_t went_right = left - 1;  // all ones or none
        mark_left = (mark_left | mark) & went_right;
        mark_right = (mark_right | mark) & ~went_right;
        to += left;
        spilled += 1 - left;
      }
      std::copy(spill.begin(), spill.begin() + static_cast<std::ptrdiff_t>(spilled), base + to);
    }
  });
  std::vector<Segment> children;
  children.reserve(2 * splits.size());
  for (const Split& split : splits) {
    const Segment s = segments_[split.segment];
    const std::size_t middle = s.begin + split.left_size;
    children.push_back({s.begin, middle});
    children.push_back({middle, s.end});
  }
  segments_ = std::move(children);
}

void FrontierColumns::regroup(const FrontierColumns& root, std::span<const std::int32_t> node,
                              std::int32_t first_node, std::size_t segments, int threads,
                              std::span<const std::int32_t> only) {
  if (root.segments_.size() != 1 || root.columns_ != columns_) {
    throw std::invalid_argument("FrontierColumns::regroup: root must hold one segment of the same columns");
  }
  const std::size_t n = root.length_;
  const ColumnEntry* root_rows = root.entries_.data() + root.row_column_ * n;
  const auto segment_of = [&](std::uint32_t row) -> std::size_t {
    const std::int64_t at = static_cast<std::int64_t>(node[row]) - first_node;
    return at >= 0 && static_cast<std::size_t>(at) < segments ? static_cast<std::size_t>(at)
                                                               : segments;
  };
  std::vector<std::size_t> begin(segments + 1, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t s = segment_of(root_rows[i].row());
    if (s < segments) ++begin[s + 1];
  }
  for (std::size_t s = 0; s < segments; ++s) begin[s + 1] += begin[s];
  segments_.resize(segments);
  for (std::size_t s = 0; s < segments; ++s) segments_[s] = {begin[s], begin[s + 1]};
  length_ = begin[segments];
  entries_.resize(columns_ * length_);
  std::vector<std::size_t> rebuilt;
  if (only.empty()) {
    rebuilt.resize(columns_);
    for (std::size_t c = 0; c < columns_; ++c) rebuilt[c] = c;
  } else {
    for (const std::int32_t f : only) {
      const auto at = static_cast<std::size_t>(f);
      if (f < 0 || at >= column_of_.size() || column_of_[at] < 0) {
        throw std::out_of_range("FrontierColumns: feature " + std::to_string(f) + " was not sorted");
      }
      rebuilt.push_back(static_cast<std::size_t>(column_of_[at]));
    }
    for (std::size_t c = 0; c < columns_; ++c) {
      if (c == row_column_ || (target_column_ != 0 && c == target_column_)) rebuilt.push_back(c);
    }
  }
  // Each column's pass looks up a segment per row, scattered: a byte a row
  // (when segments are few) keeps those look-ups in cache.
  const auto pass = [&]<class Code>(std::vector<Code>& code_of) {
    code_of.assign(row_span_, static_cast<Code>(segments));
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t row = root_rows[i].row();
      code_of[row] = static_cast<Code>(segment_of(row));
    }
    const int workers = std::max(
        1, std::min(threads_for(n * rebuilt.size(), threads), static_cast<int>(rebuilt.size())));
    std::vector<std::vector<std::size_t>> cursors(static_cast<std::size_t>(workers));
    std::vector<std::vector<std::size_t>> groups(static_cast<std::size_t>(workers));
    parallel_for(rebuilt.size(), workers, [&](std::size_t slot, std::size_t worker) {
      const std::size_t column = rebuilt[slot];
      // A value is new in its segment when a new value of the root's column lies
      // between it and the segment's previous entry: values only rise along it.
      std::vector<std::size_t>& cursor = cursors[worker];
      std::vector<std::size_t>& last_group = groups[worker];
      cursor.assign(begin.begin(), begin.end() - 1);
      cursor.push_back(0);  // rows in no segment go nowhere
      last_group.assign(segments + 1, SIZE_MAX);
      const ColumnEntry* from = root.entries_.data() + column * n;
      ColumnEntry* to = entries_.data() + column * length_;
      const Code* code = code_of.data();
      std::size_t group = 0;
      for (std::size_t i = 0; i < n; ++i) {
        const ColumnEntry e = from[i];
        group += e.new_value() ? 1 : 0;
        const std::size_t s = code[e.row()];
        if (s == segments) continue;
        to[cursor[s]++] = ColumnEntry::of(e.row(), last_group[s] != group);
        last_group[s] = group;
      }
    });
  };
  if (segments < 255) {
    std::vector<std::uint8_t> code_of;
    pass(code_of);
  } else if (segments < 65535) {
    std::vector<std::uint16_t> code_of;
    pass(code_of);
  } else {
    std::vector<std::uint32_t> code_of;
    pass(code_of);
  }
}

}  // namespace qor
