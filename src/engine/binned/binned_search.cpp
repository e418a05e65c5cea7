#include "engine/binned/binned_search.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "engine/exact/cut_scan.hpp"
#include "engine/exact/exact_search.hpp"
#include "engine/tree/parallel.hpp"

namespace qor {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

struct ScanScratch {
  std::vector<double> after;  // per bin b: the sums of the node's bins after b
  std::vector<double> left;   // the sums of the bins up to the current cut
};

struct ScanResult {
  bool valid = false;
  std::int32_t last_left_bin = -1;
  double gain = -kInfinity;
};

// The best cut of one node under one feature; with `parts` (2 * width
// entries), also the sums of its two sides. Bins without rows are skipped in
// every sum, so a side's sums are those of its bins in bin order.
ScanResult scan_node(std::span<const double> bins, const double* totals, const StatShape& shape,
                     const TreeParams& params, double root_weight, ScanScratch& scratch,
                     double* parts) {
  const auto width = static_cast<std::size_t>(shape.width);
  const std::size_t count = bins.size() / width;
  if (count < 2) return {};
  auto& after = scratch.after;
  after.assign(count * width, 0.0);
  for (std::size_t b = count - 1; b > 0; --b) {
    const double* bin = bins.data() + b * width;
    double* into = after.data() + (b - 1) * width;
    const double* from = after.data() + b * width;
    const bool filled = shape.count(bin) > 0.0;
    for (std::size_t k = 0; k < width; ++k) into[k] = filled ? from[k] + bin[k] : from[k];
  }

  const double node_weight = shape.weight(totals);
  const double parent = shape.impurity(totals, params.criterion);
  const double min_rows = std::max(1, params.min_samples_leaf);
  auto& left = scratch.left;
  left.assign(width, 0.0);
  ScanResult best;
  for (std::size_t b = 0; b + 1 < count; ++b) {
    const double* bin = bins.data() + b * width;
    if (!(shape.count(bin) > 0.0)) continue;
    for (std::size_t k = 0; k < width; ++k) left[k] += bin[k];
    const double* right = after.data() + b * width;
    // Right parts only shrink from here on.
    if (shape.count(right) < min_rows) break;
    if (shape.count(left.data()) < min_rows) continue;
    const double left_weight = shape.weight(left.data());
    const double right_weight = shape.weight(right);
    if (left_weight < params.min_weight_leaf || right_weight < params.min_weight_leaf) continue;
    const double w_left = left_weight / node_weight;
    const double w_right = right_weight / node_weight;
    const double gain = parent - (w_left * shape.impurity(left.data(), params.criterion) +
                                  w_right * shape.impurity(right, params.criterion));
    if (gain > best.gain) {
      best = {true, static_cast<std::int32_t>(b), gain};
      if (parts) {
        std::copy_n(left.data(), width, parts);
        std::copy_n(right, width, parts + width);
      }
    }
  }
  if (best.valid && params.min_impurity_decrease > 0.0 &&
      !(node_weight / root_weight * best.gain >= params.min_impurity_decrease)) {
    return {};
  }
  return best;
}

}  // namespace

LevelCut choose_level_cut(const LevelHistograms& histograms, std::span<const double> node_totals,
                          std::span<const BinRange> ranges, const TreeParams& params,
                          double root_weight) {
  const StatShape& shape = histograms.shape();
  const auto width = static_cast<std::size_t>(shape.width);
  const std::size_t nodes = node_totals.size() / width;
  const BinLayout& layout = histograms.layout();
  if (nodes > static_cast<std::size_t>(histograms.slots()) || node_totals.size() % width != 0) {
    throw std::invalid_argument("choose_level_cut: more nodes than histogram slots");
  }
  if (ranges.size() != static_cast<std::size_t>(layout.total())) {
    throw std::invalid_argument("choose_level_cut: the bin ranges have another layout");
  }

  const auto features = static_cast<std::size_t>(layout.features());
  const int threads = thread_count(params.n_threads);
  std::vector<ScanScratch> scratch(static_cast<std::size_t>(threads));
  std::vector<ScanResult> best(features * nodes);  // [f * nodes + i]
  parallel_for(features, threads, [&](std::size_t f, std::size_t worker) {
    for (std::size_t i = 0; i < nodes; ++i) {
      best[f * nodes + i] = scan_node(
          histograms.bins(static_cast<std::int32_t>(i), static_cast<std::int32_t>(f)),
          node_totals.data() + i * width, shape, params, root_weight, scratch[worker], nullptr);
    }
  });

  LevelChoice choice;
  for (std::size_t f = 0; f < features; ++f) {
    double score = 0.0;
    bool cuts_some_node = false;
    for (std::size_t i = 0; i < nodes; ++i) {
      const ScanResult& cut = best[f * nodes + i];
      if (!cut.valid) continue;
      score += cut.gain;
      cuts_some_node = true;
    }
    choice.offer(static_cast<std::int32_t>(f), score, cuts_some_node);
  }

  LevelCut level;
  if (choice.feature < 0) return level;
  level.feature = choice.feature;
  level.cuts.resize(nodes);
  level.parts.assign(nodes * 2 * width, 0.0);
  const auto offset = layout.offset[static_cast<std::size_t>(level.feature)];
  const BinRange* feature_ranges = ranges.data() + offset;
  const std::int32_t nan_bin = layout.bins(level.feature) - 1;
  for (std::size_t i = 0; i < nodes; ++i) {
    const auto bins = histograms.bins(static_cast<std::int32_t>(i), level.feature);
    // The same scan again, now keeping the parts: the same sums to the bit.
    const ScanResult cut = scan_node(bins, node_totals.data() + i * width, shape, params,
                                     root_weight, scratch[0], level.parts.data() + i * 2 * width);
    if (!cut.valid) {
      std::fill_n(level.parts.data() + i * 2 * width, 2 * width, 0.0);
      continue;
    }
    std::int32_t first_right = cut.last_left_bin + 1;
    while (!(shape.count(bins.data() + static_cast<std::size_t>(first_right) * width) > 0.0)) {
      ++first_right;
    }
    const double below = feature_ranges[cut.last_left_bin].hi;
    NodeCut& node = level.cuts[i];
    node.valid = true;
    node.last_left_bin = cut.last_left_bin;
    node.gain = cut.gain;
    node.threshold =
        first_right == nan_bin ? below : cut_threshold(below, feature_ranges[first_right].lo);
  }
  return level;
}

}  // namespace qor
