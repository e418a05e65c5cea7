#include "engine/exact/sparse_search.hpp"

#include <algorithm>

#include "engine/tree/parallel.hpp"

namespace qor {

SparseSearch::SparseSearch(const SparseColumns& columns, const FrontierColumns& frontier,
                           const TargetVector& y, const double* weights, const LevelRules& rules,
                           std::int32_t n_features)
    : columns_(columns), frontier_(frontier), rules_(rules), n_features_(n_features) {
  workers_.resize(static_cast<std::size_t>(std::max(1, rules.threads)));
  for (Worker& w : workers_) {
    w.scanner = std::make_unique<CutScanner>(rules.criterion, rules.limits, y, weights, frontier,
                                             rules.n_classes > 0);
  }
}

NodeSplit SparseSearch::cut_of(Worker& w, const LevelNode& node, std::int32_t feature) const {
  const std::size_t span = frontier_.row_span();
  if (w.marked.size() < span) {
    w.marked.assign(span, 0);
    w.values.assign(span, 0.0);
  }
  const std::size_t s = node.position;
  columns_.expand(s, feature, frontier_.rows(s), w.run, w.marked);
  const auto stored = columns_.entries(s, feature);
  const auto value = columns_.values(s, feature);
  for (std::size_t k = 0; k < stored.size(); ++k) w.values[stored[k].row()] = value[k];
  // The feature's values as a column of their own, read where the cut falls.
  const FeatureMatrix column{w.values.data(), static_cast<std::int32_t>(span), 1, false};
  NodeSplit cut =
      w.scanner->best_cut_of_run(w.run, column, rules_.monotone(feature, node.bounds));
  for (const ColumnEntry e : stored) w.values[e.row()] = 0.0;
  if (cut.valid && !rules_.counts(cut.gain, w.scanner->weight())) return {};
  return cut;
}

void SparseSearch::score(std::span<const LevelNode> nodes, std::span<const std::int32_t> features,
                         LevelScores& scores) {
  scores.reset(static_cast<std::size_t>(n_features_));
  const std::size_t d = features.size();
  const std::size_t count = nodes.size();
  if (d == 0 || count == 0) return;
  // Thread t sums the gains of its block of features, node by node: the sums
  // never depend on the number of threads.
  std::vector<double> sum(d, 0.0);
  std::vector<std::uint8_t> cut_some(d, 0);
  std::size_t rows = 0;
  for (const LevelNode& node : nodes) rows += frontier_.segment_size(node.position);
  const int useful = threads_for(rows * d, static_cast<int>(workers_.size()));
  const auto threads = std::min(static_cast<std::size_t>(useful), d);
  parallel_for(threads, static_cast<int>(threads), [&](std::size_t block, std::size_t) {
    Worker& w = workers_[block];
    const std::size_t first = d * block / threads;
    const std::size_t last = d * (block + 1) / threads;
    for (std::size_t i = 0; i < count; ++i) {
      w.scanner->prepare(nodes[i].position);
      for (std::size_t f = first; f < last; ++f) {
        const NodeSplit cut = cut_of(w, nodes[i], features[f]);
        if (!cut.valid) continue;
        sum[f] += cut.gain;
        cut_some[f] = 1;
      }
    }
  });
  for (std::size_t f = 0; f < d; ++f) {
    if (cut_some[f] != 0) scores.add(static_cast<std::size_t>(features[f]), sum[f]);
  }
}

void SparseSearch::cuts(std::span<const LevelNode> nodes, std::int32_t feature,
                        std::vector<NodeCut>& out) {
  const std::size_t count = nodes.size();
  out.assign(count, NodeCut{});
  std::size_t rows = 0;
  for (const LevelNode& node : nodes) rows += frontier_.segment_size(node.position);
  const auto workers = std::min(
      static_cast<std::size_t>(threads_for(rows, static_cast<int>(workers_.size()))), count);
  parallel_for(workers, static_cast<int>(workers), [&](std::size_t block, std::size_t) {
    Worker& w = workers_[block];
    for (std::size_t i = count * block / workers; i < count * (block + 1) / workers; ++i) {
      w.scanner->prepare(nodes[i].position);
      const NodeSplit split = cut_of(w, nodes[i], feature);
      out[i].valid = split.valid;
      out[i].threshold = split.threshold;
      out[i].gain = split.gain;
      out[i].split_at = static_cast<std::int64_t>(split.left_size);
    }
  });
}

}  // namespace qor
