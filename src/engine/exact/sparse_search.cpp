#include "engine/exact/sparse_search.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>

#include "engine/criteria/impurity.hpp"
#include "engine/exact/cut_scan.hpp"
#include "engine/tree/parallel.hpp"

namespace qor {

SparseSearch::SparseSearch(const SparseColumns& columns, const FrontierColumns& frontier,
                           const TargetVector& y, const double* weights, const LevelRules& rules,
                           std::int32_t n_features, const IndicatorColumns* indicators)
    : columns_(columns),
      frontier_(frontier),
      rules_(rules),
      n_features_(n_features),
      weights_(weights),
      indicators_(indicators) {
  whole_tally_ = (rules.criterion == Criterion::Gini || rules.criterion == Criterion::Entropy) &&
                 rules.n_classes > 0 && rules.n_outputs <= 1;
  classes_ = frontier.label_count();
  for (std::size_t r = 0; whole_tally_ && weights != nullptr && r < frontier.row_span(); ++r) {
    whole_tally_ = weights[r] == std::floor(weights[r]);
  }
  if (indicators != nullptr) {
    indicator_search_.emplace(*indicators, frontier, weights, rules, classes_);
    offered_.assign(static_cast<std::size_t>(std::max(n_features, 0)), 0);
  }
  workers_.resize(static_cast<std::size_t>(std::max(1, rules.threads)));
  for (Worker& w : workers_) {
    w.scanner = scanner_for(rules, y, weights, frontier);
  }
}

void SparseSearch::tally(std::span<const LevelNode> nodes) {
  // The level's scores and its cuts read the same tallies.
  if (tallied_) return;
  tallied_ = true;
  tallies_.assign(nodes.size(), Tally{});
  if (!whole_tally_) return;
  totals_.assign(nodes.size() * classes_, 0.0);
  counts_.assign(nodes.size() * classes_, 0);
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    Tally& t = tallies_[i];
    double* total = totals_.data() + i * classes_;
    std::int64_t* count = counts_.data() + i * classes_;
    const auto rows = frontier_.rows(nodes[i].position);
    if (weights_ == nullptr) {
      for (const ColumnEntry e : rows) ++count[frontier_.label_code(e.row())];
      for (std::size_t c = 0; c < classes_; ++c) total[c] = static_cast<double>(count[c]);
      t.weight = static_cast<double>(rows.size());
    } else {
      for (const ColumnEntry e : rows) {
        const double weight = weights_[e.row()];
        total[frontier_.label_code(e.row())] += weight;
        t.weight += weight;
      }
      for (std::size_t c = 0; c < classes_; ++c) count[c] = static_cast<std::int64_t>(total[c]);
    }
    // Sums of whole numbers below 2**53 are exact in any order.
    t.block = t.weight < 0x1p53;
    t.parent = rules_.criterion == Criterion::Gini
                   ? class_impurity<true>(total, classes_, t.weight)
                   : class_impurity<false>(total, classes_, t.weight);
  }
  if (!indicator_search_) return;
  node_classes_.resize(nodes.size());
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    node_classes_[i] = {frontier_.segment_size(nodes[i].position), tallies_[i].weight,
                        tallies_[i].parent, totals_.data() + i * classes_};
  }
}

template <bool kGini, bool kUnit>
NodeSplit SparseSearch::block_cut(Worker& w, std::size_t i, const LevelNode& node,
                                  std::int32_t feature) const {
  const std::size_t n = frontier_.segment_size(node.position);
  const CutWindow window(n, rules_.limits.min_samples_leaf);
  const auto stored = columns_.entries(node.position, feature);
  const auto value = columns_.values(node.position, feature);
  const std::size_t m = stored.size();
  // A column of zeros alone has no cut.
  if (n < 2 || window.empty() || m == 0) return {};
  // Unit weights are counted in integers, as the row-by-row scan counts them.
  using Count = std::conditional_t<kUnit, std::int64_t, double>;
  const std::size_t classes = classes_;
  const Tally& tally = tallies_[i];
  const std::uint8_t* const narrow =
      frontier_.narrow_label_codes().empty() ? nullptr : frontier_.narrow_label_codes().data();
  const std::uint32_t* const wide = frontier_.label_codes().data();
  const auto code_of = [&](std::uint32_t row) -> std::size_t {
    return narrow != nullptr ? narrow[row] : wide[row];
  };
  const auto weight_of = [&](std::uint32_t row) -> Count {
    if constexpr (kUnit) {
      return 1;
    } else {
      return weights_[row];
    }
  };
  const std::size_t negatives = columns_.negatives(node.position, feature);
  const std::size_t zeros = n - m;
  const double total = tally.weight;
  const CutLimits limits = rules_.limits;
  const Count* all = nullptr;  // per class: the node's
  Count* part = nullptr;       // per class: a part's
  if constexpr (kUnit) {
    w.count_part.resize(classes);
    all = counts_.data() + i * classes;
    part = w.count_part.data();
  } else {
    w.part.resize(classes);
    all = totals_.data() + i * classes;
    part = w.part.data();
  }
  // Weights add up exactly, so a part's class weights are the same whether
  // added row by row from the left or taken from the node's less the other
  // part's: each stored row is visited once, the negatives from the left and
  // the positives from the right, and the zero run is never visited.
  std::fill(part, part + classes, Count{0});
  const auto gain_of_cut = [&](double w_left, auto&& left_of) {
    const double w_right = total - w_left;
    return gain_of(tally.parent, w_left, w_right, total,
                   class_impurity_of<kGini>(left_of, classes, w_left),
                   class_impurity_of<kGini>([&](std::size_t c) { return all[c] - left_of(c); },
                                            classes, w_right));
  };
  const auto allowed = [&](std::size_t n_left, double w_left) {
    return n_left > window.first && n_left <= window.last &&
           limits.heavy_enough(w_left, total - w_left);
  };

  // Cuts among the negatives and after them, left to right: the first of
  // equal gains wins.
  Best left_best;
  std::size_t left_at = 0;
  double left_lo = 0.0;
  double left_hi = 0.0;
  Count w_left = 0;
  for (std::size_t k = 0; k < negatives; ++k) {
    const std::uint32_t row = stored[k].row();
    const Count weight = weight_of(row);
    part[code_of(row)] += weight;
    w_left += weight;
    const bool cut = k + 1 < negatives ? stored[k + 1].new_value() : zeros > 0;
    const auto w_at = static_cast<double>(w_left);
    if (!cut || !allowed(k + 1, w_at)) continue;
    const double gain = gain_of_cut(w_at, [&](std::size_t c) { return part[c]; });
    if (left_best.offer(gain)) {
      left_at = k + 1;
      left_lo = value[k];
      left_hi = k + 1 < negatives ? value[k + 1] : 0.0;
    }
  }

  // Cuts before each positive (and NaN), right to left: a later one wins
  // only by a higher gain or, among equal ones, by lying further left.
  std::fill(part, part + classes, Count{0});
  double best = -std::numeric_limits<double>::infinity();
  bool found = false;
  std::size_t right_at = 0;
  double right_lo = 0.0;
  double right_hi = 0.0;
  Count w_right = 0;
  // Two classes under unit weights: the second class's count in a register
  // (counts kept in memory would chain every row's update to the last one's).
  const bool two = kUnit && classes == 2 && narrow != nullptr;
  std::int64_t ones = 0;
  for (std::size_t k = m; k-- > negatives;) {
    const std::uint32_t bits = stored[k].bits;
    const std::uint32_t row = bits & ColumnEntry::kLargestRow;
    const Count weight = weight_of(row);
    if (two) {
      ones += narrow[row];
    } else {
      part[code_of(row)] += weight;
    }
    if constexpr (!kUnit) w_right += weight;
    const bool cut = k > negatives ? (bits & ColumnEntry::kNewValue) != 0 : zeros > 0 || k > 0;
    if (!cut) continue;
    const std::size_t n_left = n - (m - k);
    if constexpr (kUnit) w_right = static_cast<Count>(m - k);
    if (two) {
      part[0] = static_cast<Count>(m - k) - static_cast<Count>(ones);
      part[1] = static_cast<Count>(ones);
    }
    const double w_at = total - static_cast<double>(w_right);
    if (!allowed(n_left, w_at)) continue;
    const double gain = gain_of_cut(w_at, [&](std::size_t c) { return all[c] - part[c]; });
    if (gain > best || (found && gain == best)) {
      best = gain;
      found = true;
      right_at = n_left;
      right_lo = k > negatives ? value[k - 1] : zeros > 0 ? 0.0 : value[k - 1];
      right_hi = value[k];
    }
  }
  if (found && !(left_at > 0 && left_best.score >= best)) {
    return {true, cut_threshold(right_lo, right_hi), best, right_at};
  }
  if (left_at > 0) return {true, cut_threshold(left_lo, left_hi), left_best.score, left_at};
  return {};
}

NodeSplit SparseSearch::cut_of(Worker& w, std::size_t i, const LevelNode& node,
                               std::int32_t feature) const {
  if (tallies_[i].block && rules_.monotone(feature, node.bounds).sign == 0) {
    const bool gini = rules_.criterion == Criterion::Gini;
    const bool unit = weights_ == nullptr;
    const NodeSplit cut = gini ? (unit ? block_cut<true, true>(w, i, node, feature)
                                       : block_cut<true, false>(w, i, node, feature))
                               : (unit ? block_cut<false, true>(w, i, node, feature)
                                       : block_cut<false, false>(w, i, node, feature));
    if (cut.valid && !rules_.counts(cut.gain, tallies_[i].weight)) return {};
    return cut;
  }
  return scan_cut(w, node, feature);
}

NodeSplit SparseSearch::scan_cut(Worker& w, const LevelNode& node, std::int32_t feature) const {
  const std::size_t s = node.position;
  if (w.prepared != s) {
    w.scanner->prepare(s);
    w.prepared = s;
  }
  const std::size_t span = frontier_.row_span();
  if (w.marked.size() < span) {
    w.marked.assign(span, 0);
    w.values.assign(span, 0.0);
  }
  columns_.expand(s, feature, frontier_.rows(s), w.run, w.marked);
  const auto stored = columns_.entries(s, feature);
  const auto value = columns_.values(s, feature);
  for (std::size_t k = 0; k < stored.size(); ++k) w.values[stored[k].row()] = value[k];
  // The feature's values as a column of their own, read where the cut falls.
  const FeatureMatrix column{w.values.data(), static_cast<std::int32_t>(span), 1, false};
  NodeSplit cut = w.scanner->best_cut_of_run(w.run, column, rules_.monotone(feature, node.bounds));
  for (const ColumnEntry e : stored) w.values[e.row()] = 0.0;
  if (cut.valid && !rules_.counts(cut.gain, w.scanner->weight())) return {};
  return cut;
}

void SparseSearch::score(std::span<const LevelNode> nodes, std::span<const std::int32_t> features,
                         LevelScores& scores) {
  scores.reset(static_cast<std::size_t>(n_features_));
  const std::size_t count = nodes.size();
  if (features.empty() || count == 0) return;
  tally(nodes);
  if (indicator_search_) {
    scanned_.clear();
    for (const std::int32_t f : features) {
      if (indicator(f)) {
        offered_[static_cast<std::size_t>(f)] = 1;
      } else {
        scanned_.push_back(f);
      }
    }
    if (scanned_.size() < features.size()) {
      indicator_search_->score(nodes, node_classes_, offered_, scores);
    }
    for (const std::int32_t f : features) offered_[static_cast<std::size_t>(f)] = 0;
    features = scanned_;
  }
  const std::size_t d = features.size();
  if (d == 0) return;
  // Thread t adds the gains of its block of features, node by node: the sums
  // never depend on the number of threads, and threads add to distinct entries.
  std::size_t rows = 0;
  for (const LevelNode& node : nodes) rows += frontier_.segment_size(node.position);
  const int useful = threads_for(rows * d, static_cast<int>(workers_.size()));
  const auto threads = std::min(static_cast<std::size_t>(useful), d);
  for (Worker& w : workers_) w.prepared = kNone;
  parallel_for(threads, static_cast<int>(threads), [&](std::size_t block, std::size_t) {
    Worker& w = workers_[block];
    const std::size_t first = d * block / threads;
    const std::size_t last = d * (block + 1) / threads;
    const auto offer = [&](std::size_t i, std::size_t f) {
      const NodeSplit cut = cut_of(w, i, nodes[i], features[f]);
      if (!cut.valid) return;
      scores.add(static_cast<std::size_t>(features[f]), nodes[i].share, nodes[i].root_share,
                 cut.gain);
    };
    // Block cuts read a feature's stored rows of every node at one place,
    // feature by feature; a row-by-row scan prepares for a node once, node by
    // node. Either way each feature adds its nodes' gains in node order.
    if (whole_tally_) {
      for (std::size_t f = first; f < last; ++f) {
        for (std::size_t i = 0; i < count; ++i) offer(i, f);
      }
    } else {
      for (std::size_t i = 0; i < count; ++i) {
        for (std::size_t f = first; f < last; ++f) offer(i, f);
      }
    }
  });
}

void SparseSearch::cuts(std::span<const LevelNode> nodes, std::int32_t feature,
                        std::vector<NodeCut>& out) {
  const std::size_t count = nodes.size();
  tally(nodes);
  if (indicator(feature)) {
    indicator_search_->cuts(nodes, node_classes_, feature, out);
    return;
  }
  out.assign(count, NodeCut{});
  std::size_t rows = 0;
  for (const LevelNode& node : nodes) rows += frontier_.segment_size(node.position);
  const auto workers = std::min(
      static_cast<std::size_t>(threads_for(rows, static_cast<int>(workers_.size()))), count);
  for (Worker& w : workers_) w.prepared = kNone;
  parallel_for(workers, static_cast<int>(workers), [&](std::size_t block, std::size_t) {
    Worker& w = workers_[block];
    for (std::size_t i = count * block / workers; i < count * (block + 1) / workers; ++i) {
      const NodeSplit split = cut_of(w, i, nodes[i], feature);
      out[i].valid = split.valid;
      out[i].threshold = split.threshold;
      out[i].gain = split.gain;
      out[i].split_at = static_cast<std::int64_t>(split.left_size);
    }
  });
}

void SparseSearch::mark(std::size_t segment, std::int32_t feature, const NodeCut& cut,
                        std::uint8_t* goes_left) const {
  // x <= threshold sends exactly the cut's left part left: the zeros all one
  // way, the stored values each their own.
  const std::uint8_t zero_left = 0.0 <= cut.threshold ? 1 : 0;
  if (indicator(feature)) {
    const std::uint8_t stored_left = indicators_->value(feature) <= cut.threshold ? 1 : 0;
    for (const ColumnEntry e : frontier_.rows(segment)) {
      goes_left[e.row()] = indicator_search_->stored_in(e.row()) ? stored_left : zero_left;
    }
    return;
  }
  for (const ColumnEntry e : frontier_.rows(segment)) goes_left[e.row()] = zero_left;
  const auto stored = columns_.entries(segment, feature);
  const auto value = columns_.values(segment, feature);
  for (std::size_t k = 0; k < stored.size(); ++k) {
    goes_left[stored[k].row()] = value[k] <= cut.threshold ? 1 : 0;
  }
}

void SparseSearch::split(std::span<const FrontierColumns::Split> splits) {
  tallied_ = false;
  if (indicator_search_) indicator_search_->split(splits);
}

}  // namespace qor
