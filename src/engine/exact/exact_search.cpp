#include "engine/exact/exact_search.hpp"

#include <algorithm>
#include <numeric>

#include "engine/tree/parallel.hpp"

namespace qor {

namespace {

std::vector<std::uint32_t> rows_of(const Node& node) {
  return std::vector<std::uint32_t>(node.indices.begin(), node.indices.end());
}

}  // namespace

LevelSearch::LevelSearch(const FeatureMatrix& X, const TargetVector& y, const double* weights,
                         const FrontierColumns& columns, const LevelRules& rules)
    : X_(X), columns_(columns), rules_(rules) {
  const int threads = std::max(1, rules.threads);
  for (int t = 0; t < threads; ++t) {
    scanners_.push_back(
        std::make_unique<CutScanner>(rules.criterion, rules.limits, y, weights, columns));
  }
}

bool LevelSearch::searchable(std::size_t segment) const {
  const std::size_t n = columns_.segment_size(segment);
  return n > 0 && static_cast<std::int64_t>(n) >= rules_.min_samples_split;
}

NodeSplit LevelSearch::cut_of(CutScanner& scanner, std::size_t segment, std::int32_t feature,
                              const ValueBounds& bounds, std::vector<double>& left) const {
  NodeSplit cut;
  if (categorical(feature)) {
    cut = scanner.best_categorical_cut(segment, feature, X_, rules_.n_classes, left);
  } else {
    Monotone monotone;
    if (!rules_.monotonic_cst.empty()) {
      monotone.sign = rules_.monotonic_cst[static_cast<std::size_t>(feature)];
      monotone.bounds = bounds;
    }
    cut = scanner.best_cut(segment, feature, X_, monotone);
  }
  if (cut.valid && rules_.min_impurity_decrease > 0.0 &&
      !(scanner.weight() / rules_.root_weight * cut.gain >= rules_.min_impurity_decrease)) {
    return {};
  }
  return cut;
}

LevelCuts LevelSearch::search(std::span<const std::size_t> segments,
                              std::span<const std::int32_t> features,
                              std::span<const ValueBounds> bounds) {
  const auto bounds_of = [&](std::size_t i) { return bounds.empty() ? ValueBounds{} : bounds[i]; };
  LevelCuts level;
  level.cuts.assign(segments.size(), NodeSplit{});
  const std::size_t d = features.size();
  if (d == 0 || segments.empty()) return level;

  // Scores: thread t sums the gains of its block of features, node by node.
  // Where the level has few nodes (its rows in few large segments, where the
  // search costs most) every cut is kept, so that the chosen feature's need
  // not be found again; the kept cuts never exceed a fixed number.
  constexpr std::size_t kKeptCuts = std::size_t{1} << 16;
  std::vector<double> score(d, 0.0);
  std::vector<std::uint8_t> cuts_some_node(d, 0);
  std::vector<NodeSplit> kept(segments.size() * d <= kKeptCuts ? segments.size() * d : 0);
  std::size_t rows = 0;
  for (const std::size_t segment : segments) rows += columns_.segment_size(segment);
  const int useful = threads_for(rows * d, static_cast<int>(scanners_.size()));
  const auto threads = std::min(static_cast<std::size_t>(useful), d);
  parallel_for(threads, static_cast<int>(threads), [&](std::size_t block, std::size_t) {
    CutScanner& scanner = *scanners_[block];
    std::vector<double> left;
    const std::size_t first = d * block / threads;
    const std::size_t last = d * (block + 1) / threads;
    for (std::size_t i = 0; i < segments.size(); ++i) {
      const std::size_t segment = segments[i];
      if (!searchable(segment)) continue;
      scanner.prepare(segment);
      for (std::size_t f = first; f < last; ++f) {
        const NodeSplit cut = cut_of(scanner, segment, features[f], bounds_of(i), left);
        if (!kept.empty()) kept[f * segments.size() + i] = cut;
        if (!cut.valid) continue;
        score[f] += cut.gain;
        cuts_some_node[f] = 1;
      }
    }
  });
  LevelChoice choice;
  for (std::size_t f = 0; f < d; ++f) {
    choice.offer(static_cast<std::int32_t>(f), score[f], cuts_some_node[f] != 0);
  }
  if (choice.feature < 0) return level;
  level.feature = features[static_cast<std::size_t>(choice.feature)];
  const std::size_t count = segments.size();
  if (!kept.empty() && !categorical(level.feature)) {
    const auto chosen = static_cast<std::size_t>(choice.feature) * count;
    std::copy_n(kept.begin() + static_cast<std::ptrdiff_t>(chosen), count, level.cuts.begin());
    return level;
  }

  // The chosen feature's cuts, found again, nodes spread over the threads.
  const auto workers = std::min(
      static_cast<std::size_t>(threads_for(rows, static_cast<int>(scanners_.size()))), count);
  if (categorical(level.feature)) level.left_categories.resize(count);
  std::vector<std::vector<double>> lefts(workers);
  parallel_for(workers, static_cast<int>(workers), [&](std::size_t block, std::size_t) {
    CutScanner& scanner = *scanners_[block];
    for (std::size_t i = count * block / workers; i < count * (block + 1) / workers; ++i) {
      if (!searchable(segments[i])) continue;
      scanner.prepare(segments[i]);
      std::vector<double>& left =
          categorical(level.feature) ? level.left_categories[i] : lefts[block];
      level.cuts[i] = cut_of(scanner, segments[i], level.feature, bounds_of(i), left);
    }
  });
  return level;
}

NodeSplit find_node_threshold(const FeatureMatrix& X, const TargetVector& y, const Node& node,
                              std::int32_t feature, Criterion criterion,
                              std::int32_t min_samples_split, std::int32_t min_samples_leaf) {
  const std::size_t n = node.indices.size();
  if (static_cast<std::int64_t>(n) < min_samples_split || n == 0) return {};
  const std::vector<std::vector<std::uint32_t>> segments{rows_of(node)};
  const std::int32_t features[] = {feature};
  const FrontierColumns columns(X, y, segments, features, criterion);
  CutScanner scanner(criterion, CutLimits{min_samples_leaf, 0.0}, y, nullptr, columns);
  scanner.prepare(0);
  return scanner.best_cut(0, feature, X);
}

LevelSplit QORModel::choose_level_split(const FeatureMatrix& X, const TargetVector& y,
                                        const std::vector<Node*>& nodes) const {
  LevelSplit best;
  if (n_features <= 0 || nodes.empty()) return best;
  std::vector<std::vector<std::uint32_t>> segments;
  for (const Node* node : nodes) segments.push_back(rows_of(*node));
  std::vector<std::int32_t> features(static_cast<std::size_t>(n_features));
  std::iota(features.begin(), features.end(), 0);
  const FrontierColumns columns(X, y, segments, features, params.criterion);
  LevelRules rules;
  rules.criterion = params.criterion;
  rules.limits.min_samples_leaf = params.min_samples_leaf;
  rules.min_samples_split = params.min_samples_split;
  LevelSearch search(X, y, nullptr, columns, rules);
  std::vector<std::size_t> listed(nodes.size());
  std::iota(listed.begin(), listed.end(), std::size_t{0});
  const LevelCuts level = search.search(listed, features);
  best.feature = level.feature;
  for (std::size_t i = 0; i < nodes.size() && level.feature >= 0; ++i) {
    if (level.cuts[i].valid) best.thresholds.emplace(nodes[i], level.cuts[i].threshold);
  }
  return best;
}

}  // namespace qor
