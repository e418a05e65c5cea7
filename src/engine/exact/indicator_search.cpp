#include "engine/exact/indicator_search.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "engine/criteria/impurity.hpp"
#include "engine/tree/parallel.hpp"

namespace qor {

bool IndicatorSearch::serves(const TreeParams& params, const double* weights,
                             std::span<const std::uint32_t> rows) {
  if ((params.criterion != Criterion::Gini && params.criterion != Criterion::Entropy) ||
      params.n_classes <= 0 || params.n_outputs > 1) {
    return false;
  }
  if (weights == nullptr) return static_cast<double>(rows.size()) < 0x1p53;
  // Whole numbers add up exactly in any order while their sums stay below
  // 2**53; a sum computed in order reaches 2**53 whenever the exact one does.
  double total = 0.0;
  for (const std::uint32_t r : rows) {
    if (weights[r] != std::floor(weights[r])) return false;
    total += weights[r];
  }
  return total < 0x1p53;
}

IndicatorSearch::IndicatorSearch(const IndicatorColumns& columns, const FrontierColumns& frontier,
                                 const double* weights, const LevelRules& rules,
                                 std::size_t classes)
    : columns_(columns),
      frontier_(frontier),
      weights_(weights),
      rules_(rules),
      classes_(classes),
      // As much again as the columns take.
      budget_(columns.entries() * 4),
      level_(frontier.segment_count()),
      parent_of_(frontier.segment_count(), kNone),
      stored_(frontier.row_span(), 0) {
  const std::span<const std::uint8_t> held = columns.held();
  held_ = static_cast<std::size_t>(std::count(held.begin(), held.end(), std::uint8_t{1}));
  scratch_.resize(static_cast<std::size_t>(std::max(1, rules.threads)));
  for (Scratch& s : scratch_) s.slot_of.assign(held.size(), -1);
  part_.assign(scratch_.size() * classes_, 0.0);
}

std::size_t IndicatorSearch::entries_of(std::size_t segment) const {
  std::size_t entries = 0;
  for (const ColumnEntry e : frontier_.rows(segment)) entries += columns_.of_row(e.row()).size();
  return entries;
}

void IndicatorSearch::add_up(Histogram& out, std::size_t segment, Scratch& s) const {
  const std::size_t classes = classes_;
  for (const ColumnEntry e : frontier_.rows(segment)) {
    const std::uint32_t row = e.row();
    const std::size_t code = frontier_.label_code(row);
    const double weight = weights_ == nullptr ? 1.0 : weights_[row];
    for (const std::int32_t f : columns_.of_row(row)) {
      std::int32_t& slot = s.slot_of[static_cast<std::size_t>(f)];
      if (slot < 0) {
        slot = static_cast<std::int32_t>(s.touched.size());
        s.touched.push_back(f);
        s.rows.push_back(0);
        s.weights.resize(s.weights.size() + classes, 0.0);
      }
      const auto at = static_cast<std::size_t>(slot);
      ++s.rows[at];
      s.weights[at * classes + code] += weight;
    }
  }
  std::sort(s.touched.begin(), s.touched.end());
  const std::size_t count = s.touched.size();
  out.features.assign(s.touched.begin(), s.touched.end());
  out.rows.resize(count);
  out.weights.resize(count * classes);
  for (std::size_t j = 0; j < count; ++j) {
    std::int32_t& slot = s.slot_of[static_cast<std::size_t>(s.touched[j])];
    const auto at = static_cast<std::size_t>(slot);
    out.rows[j] = s.rows[at];
    std::copy_n(s.weights.begin() + static_cast<std::ptrdiff_t>(at * classes), classes,
                out.weights.begin() + static_cast<std::ptrdiff_t>(j * classes));
    slot = -1;
  }
  s.touched.clear();
  s.rows.clear();
  s.weights.clear();
  out.built = true;
}

void IndicatorSearch::subtract(Histogram& out, const Histogram& parent, const Histogram& part,
                               std::size_t classes) {
  // A child's columns are among its parent's.
  out.features.clear();
  out.rows.clear();
  out.weights.clear();
  std::size_t k = 0;
  for (std::size_t j = 0; j < parent.features.size(); ++j) {
    const std::int32_t f = parent.features[j];
    const bool shared = k < part.features.size() && part.features[k] == f;
    const std::uint32_t rows = parent.rows[j] - (shared ? part.rows[k] : 0);
    if (rows > 0) {
      out.features.push_back(f);
      out.rows.push_back(rows);
      for (std::size_t c = 0; c < classes; ++c) {
        out.weights.push_back(parent.weights[j * classes + c] -
                              (shared ? part.weights[k * classes + c] : 0.0));
      }
    }
    k += shared ? 1 : 0;
  }
  out.built = true;
}

void IndicatorSearch::build(const Task& task, Scratch& scratch) {
  if (task.second == kNone) {
    add_up(level_[task.first], task.first, scratch);
    return;
  }
  const Histogram& parent = parents_[parent_of_[task.first]];
  const std::size_t first = task.first_entries;
  const std::size_t second = task.second_entries;
  if (!task.second_searched) {
    // The sibling is added up only to be taken from the parent, where that is cheaper.
    if (second + parent.features.size() >= first) {
      add_up(level_[task.first], task.first, scratch);
      return;
    }
    Histogram sibling;
    add_up(sibling, task.second, scratch);
    subtract(level_[task.first], parent, sibling, classes_);
    return;
  }
  const std::size_t small = first <= second ? task.first : task.second;
  const std::size_t large = small == task.first ? task.second : task.first;
  add_up(level_[small], small, scratch);
  subtract(level_[large], parent, level_[small], classes_);
}

template <bool kGini>
NodeSplit IndicatorSearch::cut_of(const NodeClasses& t, std::size_t rows, double stored,
                                  const double* part, double value) const {
  const std::size_t n = t.rows;
  const CutWindow window(n, rules_.limits.min_samples_leaf);
  // No cut without zeros beside the stored rows: the column is one value then.
  if (n < 2 || window.empty() || rows == 0 || rows == n) return {};
  // A negative value sorts before the zeros; a positive one or NaN after them.
  const bool stored_left = value < 0.0;
  const std::size_t n_left = stored_left ? rows : n - rows;
  const double w_left = stored_left ? stored : t.weight - stored;
  const double w_right = t.weight - w_left;
  if (!(n_left > window.first && n_left <= window.last) ||
      !rules_.limits.heavy_enough(w_left, w_right)) {
    return {};
  }
  const auto left_of = [&](std::size_t c) {
    return stored_left ? part[c] : t.classes[c] - part[c];
  };
  const double gain = gain_of(
      t.impurity, w_left, w_right, t.weight, class_impurity_of<kGini>(left_of, classes_, w_left),
      class_impurity_of<kGini>([&](std::size_t c) { return t.classes[c] - left_of(c); }, classes_,
                               w_right));
  if (!(gain > -std::numeric_limits<double>::infinity())) return {};
  const double threshold = stored_left ? cut_threshold(value, 0.0) : cut_threshold(0.0, value);
  return {true, threshold, gain, n_left};
}

NodeSplit IndicatorSearch::cut_of(const NodeClasses& t, std::size_t rows, double stored,
                                  const double* part, double value) const {
  const NodeSplit cut = rules_.criterion == Criterion::Gini
                            ? cut_of<true>(t, rows, stored, part, value)
                            : cut_of<false>(t, rows, stored, part, value);
  if (cut.valid && !rules_.counts(cut.gain, t.weight)) return {};
  return cut;
}

void IndicatorSearch::add_scores(std::span<const LevelNode> nodes,
                                 std::span<const NodeClasses> tallies, std::size_t begin,
                                 std::size_t end, std::span<const std::uint8_t> offered,
                                 LevelScores& scores) const {
  std::size_t work = 0;
  for (std::size_t i = begin; i < end; ++i) work += level_[nodes[i].position].features.size();
  const auto features = static_cast<std::size_t>(columns_.column_count());
  const auto blocks = static_cast<std::size_t>(threads_for(work * 16, rules_.threads));
  // Thread t scores its block of features, node by node in order: each
  // feature's gains add up in node order whatever the number of threads.
  parallel_for(blocks, static_cast<int>(blocks), [&](std::size_t block, std::size_t) {
    const auto first = static_cast<std::int32_t>(features * block / blocks);
    const auto last = static_cast<std::int32_t>(features * (block + 1) / blocks);
    for (std::size_t i = begin; i < end; ++i) {
      const Histogram& h = level_[nodes[i].position];
      const auto from = std::lower_bound(h.features.begin(), h.features.end(), first);
      for (auto j = static_cast<std::size_t>(from - h.features.begin());
           j < h.features.size() && h.features[j] < last; ++j) {
        const std::int32_t f = h.features[j];
        if (offered[static_cast<std::size_t>(f)] == 0) continue;
        const double* part = h.weights.data() + j * classes_;
        double stored = 0.0;
        for (std::size_t c = 0; c < classes_; ++c) stored += part[c];
        const NodeSplit cut = cut_of(tallies[i], h.rows[j], stored, part, columns_.value(f));
        if (cut.valid) {
          scores.add(static_cast<std::size_t>(f), nodes[i].share, nodes[i].root_share, cut.gain);
        }
      }
    }
  });
}

void IndicatorSearch::score(std::span<const LevelNode> nodes, std::span<const NodeClasses> tallies,
                            std::span<const std::uint8_t> offered, LevelScores& scores) {
  const std::size_t count = nodes.size();
  const auto histogram_bytes = [&](std::size_t entries) {
    return std::min(held_, entries) * (8 + 8 * classes_);
  };
  // The nodes' histograms, kept from an earlier draw of the level, or built
  // here task by task, as many tasks at once as the budget allows.
  std::vector<Task> tasks;
  std::vector<std::size_t> first_node;  // per task: its first node
  if (!level_kept_) {
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t s = nodes[i].position;
      Task task{s};
      const std::size_t parent = parent_of_[s];
      const std::size_t sibling = s ^ 1;
      if (parent != kNone && parents_[parent].built && sibling < parent_of_.size() &&
          parent_of_[sibling] == parent) {
        task.second = sibling;
        task.second_searched = i + 1 < count && nodes[i + 1].position == sibling;
      }
      task.first_entries = entries_of(s);
      task.bytes = histogram_bytes(task.first_entries);
      if (task.second != kNone) {
        task.second_entries = entries_of(task.second);
        task.bytes += histogram_bytes(task.second_entries);
      }
      tasks.push_back(task);
      first_node.push_back(i);
      if (task.second_searched) ++i;
    }
  }
  std::size_t total = 0;
  for (const Task& t : tasks) total += t.bytes;
  const bool keep = total <= budget_;
  std::size_t next_node = 0;
  for (std::size_t a = 0; a < tasks.size() || next_node < count;) {
    std::size_t b = a;
    for (std::size_t bytes = 0; b < tasks.size() && (b == a || bytes + tasks[b].bytes <= budget_);
         ++b) {
      bytes += tasks[b].bytes;
    }
    std::size_t work = 0;
    for (std::size_t k = a; k < b; ++k) work += frontier_.segment_size(tasks[k].first);
    parallel_for(b - a, threads_for(work * 8, rules_.threads),
                 [&](std::size_t k, std::size_t worker) { build(tasks[a + k], scratch_[worker]); });
    const std::size_t end = b < tasks.size() ? first_node[b] : count;
    add_scores(nodes, tallies, next_node, end, offered, scores);
    if (!keep) {
      for (std::size_t k = a; k < b; ++k) {
        level_[tasks[k].first].release();
        if (tasks[k].second != kNone) level_[tasks[k].second].release();
      }
    }
    next_node = end;
    a = b;
  }
  level_kept_ = keep;
}

void IndicatorSearch::cuts(std::span<const LevelNode> nodes, std::span<const NodeClasses> tallies,
                           std::int32_t feature, std::vector<NodeCut>& out) {
  if (marked_ >= 0) columns_.for_stored(marked_, [&](std::uint32_t row) { stored_[row] = 0; });
  columns_.for_stored(feature, [&](std::uint32_t row) { stored_[row] = 1; });
  marked_ = feature;
  const std::size_t count = nodes.size();
  out.assign(count, NodeCut{});
  std::size_t rows = 0;
  for (const LevelNode& node : nodes) rows += frontier_.segment_size(node.position);
  const double value = columns_.value(feature);
  parallel_for(count, threads_for(rows, rules_.threads), [&](std::size_t i, std::size_t worker) {
    double* part = part_.data() + worker * classes_;
    std::fill(part, part + classes_, 0.0);
    std::size_t stored_rows = 0;
    for (const ColumnEntry e : frontier_.rows(nodes[i].position)) {
      const std::uint32_t row = e.row();
      const std::uint8_t stored = stored_[row];
      stored_rows += stored;
      part[frontier_.label_code(row)] +=
          stored != 0 ? (weights_ == nullptr ? 1.0 : weights_[row]) : 0.0;
    }
    double stored_weight = 0.0;
    for (std::size_t c = 0; c < classes_; ++c) stored_weight += part[c];
    const NodeSplit cut = cut_of(tallies[i], stored_rows, stored_weight, part, value);
    out[i].valid = cut.valid;
    out[i].threshold = cut.threshold;
    out[i].gain = cut.gain;
    out[i].split_at = static_cast<std::int64_t>(cut.left_size);
  });
}

void IndicatorSearch::split(std::span<const FrontierColumns::Split> splits) {
  if (level_kept_) {
    parents_ = std::move(level_);
  } else {
    parents_.clear();
  }
  parent_of_.assign(2 * splits.size(), kNone);
  for (std::size_t i = 0; i < splits.size(); ++i) {
    parent_of_[2 * i] = parent_of_[2 * i + 1] = parents_.empty() ? kNone : splits[i].segment;
  }
  level_.assign(2 * splits.size(), Histogram{});
  level_kept_ = false;
}

}  // namespace qor
