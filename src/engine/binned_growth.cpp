#include "binned_growth.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

#include "binned_split.hpp"
#include "parallel.hpp"

namespace qor {

namespace {

constexpr std::size_t kRouteChunk = 1 << 16;  // rows per routing task
// Node ids are 32-bit and a tree has fewer than twice as many nodes as rows.
constexpr std::int32_t kMaxRows = 1 << 30;

void check_params(const TreeParams& params) {
  if (params.criterion == Criterion::Mae) {
    throw std::invalid_argument(
        "mae cannot grow from bins: the median of a part needs the part's targets in order, "
        "which bins do not keep");
  }
  const bool classifies = params.n_classes > 0;
  const bool counts_classes =
      params.criterion == Criterion::Gini || params.criterion == Criterion::Entropy;
  if (params.n_classes < 0 || classifies != counts_classes) {
    throw std::invalid_argument(
        "grow_binned: gini and entropy need n_classes > 0, mse needs n_classes == 0");
  }
}

void check_inputs(const BinnedRows& rows, const TreeParams& params) {
  check_params(params);
  if (!rows.codes) throw std::invalid_argument("grow_binned: no binned rows");
  const bool classifies = params.n_classes > 0;
  const std::int32_t n = rows.codes->rows();
  if (n > kMaxRows) {
    throw std::length_error("grow_binned: more than 2**30 rows");
  }
  if (n > 0 && !rows.y) throw std::invalid_argument("grow_binned: no targets");
  for (std::int32_t r = 0; r < n; ++r) {
    const double label = rows.y[r];
    if (classifies && !(label >= 0.0 && label < params.n_classes && label == std::floor(label))) {
      throw std::invalid_argument("y[" + std::to_string(r) + "] = " + std::to_string(label) +
                                  " is not a class code in [0, " +
                                  std::to_string(params.n_classes) + ")");
    }
    if (rows.sample_weight) {
      const double w = rows.sample_weight[r];
      if (!(w >= 0.0) || !std::isfinite(w)) {
        throw std::invalid_argument("sample_weight[" + std::to_string(r) +
                                    "] = " + std::to_string(w) + " is not a finite weight >= 0");
      }
    }
  }
}

std::int64_t add_node(FlatTree& tree, const StatShape& shape, const double* sums,
                      Criterion criterion, std::vector<double>& value) {
  shape.value(sums, value);
  NodeStats stats;
  stats.n_node_samples = static_cast<std::int64_t>(shape.count(sums));
  stats.weighted_n_node_samples = shape.weight(sums);
  stats.impurity = shape.impurity(sums, criterion);
  stats.value = value;
  return tree.add_node(stats);
}

// One level's nodes, ids first .. first + size() - 1: their sums, the range of
// their targets, and their parent's histogram slot in the previous level. From
// the second level on, nodes come in sibling pairs (left, right).
struct Frontier {
  std::int32_t first = 0;
  std::vector<double> totals;  // width per node
  std::vector<TargetRange> targets;
  std::vector<std::int32_t> parent_slot;  // -1 at the root

  std::size_t size() const noexcept { return targets.size(); }
};

// Which histograms a level makes: built from rows, or derived as the parent's
// minus the sibling's, the smaller of two siblings built and the larger
// derived when that is cheaper than building it.
struct LevelPlan {
  std::vector<std::int32_t> slot;  // per frontier node: its slot, or -1 without a histogram
  std::vector<bool> derived;       // per frontier node: its slot is derived
  std::int32_t searched = 0;       // slots 0..searched-1 belong to the splittable nodes, in order
  std::int32_t slots = 0;          // the rest hold siblings built only to derive from
  std::vector<std::int32_t> searched_nodes;  // frontier positions of the splittable nodes
};

LevelPlan plan_level(const Frontier& frontier, const std::vector<bool>& splittable,
                     const StatShape& shape, const BinLayout& layout, bool have_parents) {
  LevelPlan plan;
  const std::size_t n = frontier.size();
  plan.slot.assign(n, -1);
  plan.derived.assign(n, false);
  for (std::size_t i = 0; i < n; ++i) {
    if (!splittable[i]) continue;
    plan.slot[i] = plan.searched++;
    plan.searched_nodes.push_back(static_cast<std::int32_t>(i));
  }
  plan.slots = plan.searched;
  if (!have_parents || n < 2) return plan;
  const auto width = static_cast<std::size_t>(shape.width);
  // Costs in histogram entries touched: a row adds to one bin per feature,
  // a derivation passes over a whole slot.
  const double features = layout.features();
  const auto slot_cost = static_cast<double>(layout.total()) * static_cast<double>(width);
  const auto rows = [&](std::size_t i) { return shape.count(frontier.totals.data() + i * width); };
  for (std::size_t i = 0; i + 1 < n; i += 2) {
    const std::size_t small = rows(i) <= rows(i + 1) ? i : i + 1;
    const std::size_t large = small == i ? i + 1 : i;
    if (!splittable[large]) continue;
    const double extra = splittable[small] ? 0.0 : rows(small) * features;
    if (slot_cost + extra >= rows(large) * features) continue;
    if (plan.slot[small] < 0) plan.slot[small] = plan.slots++;
    plan.derived[large] = true;
  }
  return plan;
}

}  // namespace

void route_rows(const BinnedRows& rows, const LevelRouting& routing, std::span<std::int32_t> node,
                std::span<TargetRange> child_targets, std::int32_t n_threads) {
  const BinnedMatrix& codes = *rows.codes;
  const auto n = static_cast<std::size_t>(codes.rows());
  if (node.size() != n || child_targets.size() != static_cast<std::size_t>(routing.children) ||
      routing.last_left_bin.size() != routing.left_child.size() || routing.feature < 0 ||
      routing.feature >= codes.features()) {
    throw std::invalid_argument("route_rows: rows, nodes and routing do not match");
  }
  for (std::size_t i = 0; i < routing.last_left_bin.size(); ++i) {
    const std::int64_t left =
        static_cast<std::int64_t>(routing.left_child[i]) - routing.first_child;
    if (routing.last_left_bin[i] >= 0 && (left < 0 || left + 1 >= routing.children)) {
      throw std::invalid_argument("route_rows: a child outside the level's children");
    }
  }
  const auto chunks = (n + kRouteChunk - 1) / kRouteChunk;
  const auto workers = static_cast<std::size_t>(std::max(1, n_threads));
  const auto children = static_cast<std::size_t>(routing.children);
  std::vector<TargetRange> seen(workers * children);
  const auto level_nodes = static_cast<std::int64_t>(routing.last_left_bin.size());
  const auto route = [&]<class Code>(std::span<const Code> column) {
    parallel_for(chunks, n_threads, [&](std::size_t chunk, std::size_t worker) {
      TargetRange* mine = seen.data() + worker * children;
      const std::size_t end = std::min(n, (chunk + 1) * kRouteChunk);
      for (std::size_t r = chunk * kRouteChunk; r < end; ++r) {
        const std::int64_t i = static_cast<std::int64_t>(node[r]) - routing.first_node;
        if (i < 0 || i >= level_nodes) continue;
        const std::int32_t last_left = routing.last_left_bin[static_cast<std::size_t>(i)];
        if (last_left < 0) continue;
        const std::int32_t child =
            routing.left_child[static_cast<std::size_t>(i)] + (column[r] > last_left ? 1 : 0);
        node[r] = child;
        if (!rows.sample_weight || rows.sample_weight[r] > 0.0) {
          mine[child - routing.first_child].add(rows.y[r]);
        }
      }
    });
  };
  if (codes.narrow()) {
    route(codes.narrow_codes(routing.feature));
  } else {
    route(codes.wide_codes(routing.feature));
  }
  for (std::size_t w = 0; w < workers; ++w) {
    for (std::size_t c = 0; c < children; ++c) child_targets[c].merge(seen[w * children + c]);
  }
}

void sum_rows(const BinnedRows& rows, const StatShape& shape, std::span<double> totals,
              TargetRange& targets) {
  const std::int32_t n = rows.codes->rows();
  if (totals.size() != static_cast<std::size_t>(shape.width)) {
    throw std::invalid_argument("sum_rows: totals must have the shape's width");
  }
  for (std::int32_t r = 0; r < n; ++r) {
    const double w = rows.sample_weight ? rows.sample_weight[r] : 1.0;
    const double y = rows.y[r];
    if (shape.classifies() && !(y >= 0.0 && y < shape.n_classes)) {
      throw std::invalid_argument("sum_rows: y[" + std::to_string(r) + "] is no class code");
    }
    shape.add_row(totals.data(), y, w);
    if (w > 0.0) targets.add(y);
  }
}

BinnedFit grow_binned(const BinnedRows& rows, const TreeParams& params) {
  check_inputs(rows, params);
  const BinnedMatrix& codes = *rows.codes;
  const StatShape shape = StatShape::of(params.n_classes, rows.sample_weight != nullptr);
  const auto width = static_cast<std::size_t>(shape.width);
  const int threads = thread_count(params.n_threads);

  BinnedFit fit;
  FlatTree& tree = fit.tree;
  tree.n_features = codes.features();
  tree.value_width = shape.value_width();
  fit.node.assign(static_cast<std::size_t>(codes.rows()), 0);
  std::vector<double> value(static_cast<std::size_t>(shape.value_width()));

  Frontier frontier;
  frontier.totals.assign(width, 0.0);
  frontier.targets.resize(1);
  frontier.parent_slot.push_back(-1);
  sum_rows(rows, shape, frontier.totals, frontier.targets[0]);
  add_node(tree, shape, frontier.totals.data(), params.criterion, value);
  const double root_weight = shape.weight(frontier.totals.data());

  HistogramBuilder builder;
  // This level's histograms and the previous level's, whose memory the next
  // two levels take over in turn.
  LevelHistograms histograms(codes.layout(), shape, 0);
  LevelHistograms parents(codes.layout(), shape, 0);
  bool have_parents = false;
  std::vector<bool> splittable;
  for (std::int32_t depth = 0; depth < params.max_depth && frontier.size() > 0; ++depth) {
    splittable.assign(frontier.size(), false);
    bool any = false;
    for (std::size_t i = 0; i < frontier.size(); ++i) {
      const double* sums = frontier.totals.data() + i * width;
      splittable[i] = shape.count(sums) >= params.min_samples_split &&
                      shape.weight(sums) >= 2 * params.min_weight_leaf &&
                      !frontier.targets[i].single();
      any = any || splittable[i];
    }
    if (!any) break;

    const LevelPlan plan = plan_level(frontier, splittable, shape, codes.layout(), have_parents);
    histograms.reset(plan.slots);
    SlotMap built{frontier.first, plan.slot};
    for (std::size_t i = 0; i < frontier.size(); ++i) {
      if (plan.derived[i]) built.slot[i] = -1;
    }
    builder.accumulate(rows, fit.node, built, histograms, threads);
    for (std::size_t i = 0; i < frontier.size(); ++i) {
      if (!plan.derived[i]) continue;
      const std::size_t sibling = i % 2 == 0 ? i + 1 : i - 1;
      histograms.derive(plan.slot[i], parents, frontier.parent_slot[i], plan.slot[sibling]);
    }

    std::vector<double> searched_totals;
    searched_totals.reserve(static_cast<std::size_t>(plan.searched) * width);
    for (const std::int32_t i : plan.searched_nodes) {
      const auto at = frontier.totals.begin() +
                      static_cast<std::ptrdiff_t>(i) * static_cast<std::ptrdiff_t>(width);
      searched_totals.insert(searched_totals.end(), at, at + static_cast<std::ptrdiff_t>(width));
    }
    const LevelCut level =
        choose_level_cut(histograms, searched_totals, codes.ranges(), params, root_weight);
    if (level.feature < 0) break;
    tree.depth_features.push_back(level.feature);

    LevelRouting routing;
    routing.feature = level.feature;
    routing.first_node = frontier.first;
    routing.last_left_bin.assign(frontier.size(), -1);
    routing.left_child.assign(frontier.size(), -1);
    routing.first_child = static_cast<std::int32_t>(tree.node_count());
    Frontier next;
    next.first = routing.first_child;
    for (std::size_t k = 0; k < plan.searched_nodes.size(); ++k) {
      const NodeCut& cut = level.cuts[k];
      if (!cut.valid) continue;
      const auto i = static_cast<std::size_t>(plan.searched_nodes[k]);
      const double* parts = level.parts.data() + k * 2 * width;
      tree.split(frontier.first + static_cast<std::int64_t>(i), level.feature, cut.threshold,
                 cut.gain);
      const auto left = add_node(tree, shape, parts, params.criterion, value);
      add_node(tree, shape, parts + width, params.criterion, value);
      routing.last_left_bin[i] = cut.last_left_bin;
      routing.left_child[i] = static_cast<std::int32_t>(left);
      next.totals.insert(next.totals.end(), parts, parts + 2 * width);
      next.parent_slot.push_back(static_cast<std::int32_t>(k));
      next.parent_slot.push_back(static_cast<std::int32_t>(k));
    }
    routing.children = static_cast<std::int32_t>(next.parent_slot.size());
    next.targets.resize(next.parent_slot.size());
    route_rows(rows, routing, fit.node, next.targets, threads);
    frontier = std::move(next);
    std::swap(histograms, parents);
    have_parents = true;
  }
  return fit;
}

BinnedFit fit_binned(const FeatureMatrix& X, const TargetVector& y, const double* sample_weight,
                     const TreeParams& params, const BinningParams& binning) {
  if (y.length < X.rows) {
    throw std::invalid_argument("fit_binned: y has " + std::to_string(y.length) +
                                " entries but X has " + std::to_string(X.rows) + " rows");
  }
  check_params(params);  // before the work of quantizing
  const BinnedMatrix codes = quantize(X, binning, thread_count(params.n_threads));
  return grow_binned(BinnedRows{&codes, y.data, sample_weight}, params);
}

}  // namespace qor
