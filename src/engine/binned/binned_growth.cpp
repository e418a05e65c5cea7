#include "engine/binned/binned_growth.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

#include "engine/binned/binned_search.hpp"
#include "engine/tree/parallel.hpp"

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

BinnedGrower::BinnedGrower(const BinLayout& layout, const TreeParams& params, bool weighted,
                           std::span<const double> root_totals, const TargetRange& root_targets)
    : params_(params),
      shape_(StatShape::of(params.n_classes, weighted)),
      layout_(layout),
      histograms_(layout, shape_, 0),
      parents_(layout, shape_, 0) {
  check_params(params);
  if (root_totals.size() != static_cast<std::size_t>(shape_.width)) {
    throw std::invalid_argument("BinnedGrower: the root's sums have another shape");
  }
  tree_.n_features = layout.features();
  tree_.value_width = shape_.value_width();
  value_.resize(static_cast<std::size_t>(shape_.value_width()));
  add_node(tree_, shape_, root_totals.data(), params_.criterion, value_);
  root_weight_ = shape_.weight(root_totals.data());
  frontier_.totals.assign(root_totals.begin(), root_totals.end());
  frontier_.targets.push_back(root_targets);
  frontier_.parent_slot.push_back(-1);
}

void BinnedGrower::expect(Stage stage, const char* call) const {
  if (stage_ != stage) {
    throw std::logic_error(std::string("BinnedGrower::") + call + " out of turn");
  }
}

bool BinnedGrower::next_level() {
  expect(Stage::Plan, "next_level");
  const auto width = static_cast<std::size_t>(shape_.width);
  std::vector<bool> splittable(frontier_.size(), false);
  bool any = false;
  for (std::size_t i = 0; i < frontier_.size() && depth_ < params_.max_depth; ++i) {
    const double* sums = frontier_.totals.data() + i * width;
    splittable[i] = shape_.count(sums) >= params_.min_samples_split &&
                    shape_.weight(sums) >= 2 * params_.min_weight_leaf &&
                    !frontier_.targets[i].single();
    any = any || splittable[i];
  }
  if (!any) {
    stage_ = Stage::Done;
    return false;
  }
  plan_level(splittable);
  histograms_.reset(plan_.slots);
  built_ = SlotMap{frontier_.first, plan_.slot};
  for (std::size_t i = 0; i < frontier_.size(); ++i) {
    if (plan_.derived[i]) built_.slot[i] = -1;
  }
  stage_ = Stage::Build;
  return true;
}

void BinnedGrower::plan_level(const std::vector<bool>& splittable) {
  const std::size_t n = frontier_.size();
  plan_ = LevelPlan{};
  plan_.slot.assign(n, -1);
  plan_.derived.assign(n, false);
  for (std::size_t i = 0; i < n; ++i) {
    if (!splittable[i]) continue;
    plan_.slot[i] = static_cast<std::int32_t>(plan_.searched.size());
    plan_.searched.push_back(static_cast<std::int32_t>(i));
  }
  plan_.slots = static_cast<std::int32_t>(plan_.searched.size());
  if (!have_parents_) return;
  const auto width = static_cast<std::size_t>(shape_.width);
  // Costs in histogram entries touched: a row adds to one bin per feature,
  // a derivation passes over a whole slot.
  const double features = layout_.features();
  const auto slot_cost = static_cast<double>(layout_.total()) * static_cast<double>(width);
  const auto rows = [&](std::size_t i) {
    return shape_.count(frontier_.totals.data() + i * width);
  };
  for (std::size_t i = 0; i + 1 < n; i += 2) {
    const std::size_t small = rows(i) <= rows(i + 1) ? i : i + 1;
    const std::size_t large = small == i ? i + 1 : i;
    if (!splittable[large]) continue;
    const double extra = splittable[small] ? 0.0 : rows(small) * features;
    if (slot_cost + extra >= rows(large) * features) continue;
    if (plan_.slot[small] < 0) plan_.slot[small] = plan_.slots++;
    plan_.derived[large] = true;
  }
}

bool BinnedGrower::choose(std::span<const BinRange> ranges) {
  expect(Stage::Build, "choose");
  const auto width = static_cast<std::size_t>(shape_.width);
  for (std::size_t i = 0; i < frontier_.size(); ++i) {
    if (!plan_.derived[i]) continue;
    const std::size_t sibling = i % 2 == 0 ? i + 1 : i - 1;
    histograms_.derive(plan_.slot[i], parents_, frontier_.parent_slot[i], plan_.slot[sibling]);
  }
  std::vector<double> searched_totals;
  searched_totals.reserve(plan_.searched.size() * width);
  for (const std::int32_t i : plan_.searched) {
    const auto at =
        frontier_.totals.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(i) * width);
    searched_totals.insert(searched_totals.end(), at, at + static_cast<std::ptrdiff_t>(width));
  }
  const LevelCut level =
      choose_level_cut(histograms_, searched_totals, ranges, params_, root_weight_);
  if (level.feature < 0) {
    stage_ = Stage::Done;
    return false;
  }
  tree_.depth_features.push_back(level.feature);

  routing_ = LevelRouting{};
  routing_.feature = level.feature;
  routing_.first_node = frontier_.first;
  routing_.last_left_bin.assign(frontier_.size(), -1);
  routing_.left_child.assign(frontier_.size(), -1);
  routing_.first_child = static_cast<std::int32_t>(tree_.node_count());
  next_ = Frontier{};
  next_.first = routing_.first_child;
  for (std::size_t k = 0; k < plan_.searched.size(); ++k) {
    const NodeCut& cut = level.cuts[k];
    if (!cut.valid) continue;
    const auto i = static_cast<std::size_t>(plan_.searched[k]);
    const double* parts = level.parts.data() + k * 2 * width;
    tree_.split(frontier_.first + static_cast<std::int64_t>(i), level.feature, cut.threshold,
                cut.gain);
    const auto left = add_node(tree_, shape_, parts, params_.criterion, value_);
    add_node(tree_, shape_, parts + width, params_.criterion, value_);
    routing_.last_left_bin[i] = cut.last_left_bin;
    routing_.left_child[i] = static_cast<std::int32_t>(left);
    next_.totals.insert(next_.totals.end(), parts, parts + 2 * width);
    next_.parent_slot.push_back(static_cast<std::int32_t>(k));
    next_.parent_slot.push_back(static_cast<std::int32_t>(k));
  }
  routing_.children = static_cast<std::int32_t>(next_.parent_slot.size());
  stage_ = Stage::Route;
  return true;
}

void BinnedGrower::finish_level(std::span<const TargetRange> child_targets) {
  expect(Stage::Route, "finish_level");
  if (child_targets.size() != next_.size()) {
    throw std::invalid_argument("BinnedGrower::finish_level: one target range per child");
  }
  next_.targets.assign(child_targets.begin(), child_targets.end());
  frontier_ = std::move(next_);
  std::swap(histograms_, parents_);
  have_parents_ = true;
  ++depth_;
  stage_ = Stage::Plan;
}

BinnedFit grow_binned(const BinnedRows& rows, const TreeParams& params) {
  check_inputs(rows, params);
  const BinnedMatrix& codes = *rows.codes;
  const bool weighted = rows.sample_weight != nullptr;
  const StatShape shape = StatShape::of(params.n_classes, weighted);
  const int threads = thread_count(params.n_threads);

  std::vector<double> totals(static_cast<std::size_t>(shape.width));
  TargetRange targets;
  sum_rows(rows, shape, totals, targets);
  BinnedGrower grower(codes.layout(), params, weighted, totals, targets);

  BinnedFit fit;
  fit.node.assign(static_cast<std::size_t>(codes.rows()), 0);
  HistogramBuilder builder;
  std::vector<TargetRange> child_targets;
  while (grower.next_level()) {
    builder.accumulate(rows, fit.node, grower.build_slots(), grower.histograms(), threads);
    if (!grower.choose(codes.ranges())) break;
    child_targets.assign(static_cast<std::size_t>(grower.routing().children), TargetRange{});
    route_rows(rows, grower.routing(), fit.node, child_targets, threads);
    grower.finish_level(child_targets);
  }
  fit.tree = grower.take_tree();
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
