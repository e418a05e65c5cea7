#include "engine/exact/exact_search.hpp"

#include <algorithm>

#include "engine/tree/parallel.hpp"

namespace qor {

ExactSearch::ExactSearch(const FeatureMatrix& X, const TargetVector& y, const double* weights,
                         const FrontierColumns& columns, const LevelRules& rules)
    : X_(X), columns_(columns), rules_(rules) {
  for (int t = 0; t < std::max(1, rules.threads); ++t) {
    scanners_.push_back(scanner_for(rules, y, weights, columns));
  }
}

NodeSplit ExactSearch::cut_of(CutScanner& scanner, const LevelNode& node, std::int32_t feature,
                              std::vector<double>& left) const {
  const NodeSplit cut =
      rules_.is_categorical(feature)
          ? scanner.best_categorical_cut(node.position, feature, X_, rules_, left)
          : scanner.best_cut(node.position, feature, X_, rules_.monotone(feature, node.bounds));
  if (cut.valid && !rules_.counts(cut.gain, scanner.weight())) return {};
  return cut;
}

void ExactSearch::score(std::span<const LevelNode> nodes, std::span<const std::int32_t> features,
                        LevelScores& scores) {
  scores.reset(static_cast<std::size_t>(X_.cols));
  const std::size_t d = features.size();
  const std::size_t count = nodes.size();
  constexpr std::size_t kKeptCuts = std::size_t{1} << 16;
  kept_.assign(count * d <= kKeptCuts ? count * d : 0, NodeSplit{});
  kept_features_.assign(features.begin(), features.end());
  if (d == 0 || count == 0) return;

  // Thread t sums the gains of its block of features, node by node; features
  // are distinct, so threads add to distinct entries.
  std::size_t rows = 0;
  for (const LevelNode& node : nodes) rows += columns_.segment_size(node.position);
  const int useful = threads_for(rows * d, static_cast<int>(scanners_.size()));
  const auto threads = std::min(static_cast<std::size_t>(useful), d);
  parallel_for(threads, static_cast<int>(threads), [&](std::size_t block, std::size_t) {
    CutScanner& scanner = *scanners_[block];
    std::vector<double> left;
    const std::size_t first = d * block / threads;
    const std::size_t last = d * (block + 1) / threads;
    for (std::size_t i = 0; i < count; ++i) {
      scanner.prepare(nodes[i].position);
      for (std::size_t f = first; f < last; ++f) {
        const NodeSplit cut = cut_of(scanner, nodes[i], features[f], left);
        if (!kept_.empty()) kept_[f * count + i] = cut;
        if (!cut.valid) continue;
        scores.add(static_cast<std::size_t>(features[f]), nodes[i].share, nodes[i].root_share,
                   cut.gain);
      }
    }
  });
}

void ExactSearch::cuts(std::span<const LevelNode> nodes, std::int32_t feature,
                       std::vector<NodeCut>& out) {
  const std::size_t count = nodes.size();
  out.assign(count, NodeCut{});
  const auto as_cut = [](const NodeSplit& split, NodeCut& cut) {
    cut.valid = split.valid;
    cut.threshold = split.threshold;
    cut.gain = split.gain;
    cut.split_at = static_cast<std::int64_t>(split.left_size);
  };
  const bool categorical = rules_.is_categorical(feature);
  const auto slot = std::find(kept_features_.begin(), kept_features_.end(), feature);
  if (!kept_.empty() && !categorical && slot != kept_features_.end()) {
    const auto f = static_cast<std::size_t>(slot - kept_features_.begin());
    for (std::size_t i = 0; i < count; ++i) as_cut(kept_[f * count + i], out[i]);
    return;
  }

  // The chosen feature's cuts, found again, nodes spread over the threads.
  std::size_t rows = 0;
  for (const LevelNode& node : nodes) rows += columns_.segment_size(node.position);
  const auto workers = std::min(
      static_cast<std::size_t>(threads_for(rows, static_cast<int>(scanners_.size()))), count);
  std::vector<std::vector<double>> lefts(workers);
  parallel_for(workers, static_cast<int>(workers), [&](std::size_t block, std::size_t) {
    CutScanner& scanner = *scanners_[block];
    for (std::size_t i = count * block / workers; i < count * (block + 1) / workers; ++i) {
      scanner.prepare(nodes[i].position);
      std::vector<double>& left = categorical ? out[i].left_categories : lefts[block];
      as_cut(cut_of(scanner, nodes[i], feature, left), out[i]);
      if (!out[i].valid) left.clear();
    }
  });
}

}  // namespace qor
