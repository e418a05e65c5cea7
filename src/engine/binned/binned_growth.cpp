#include "engine/binned/binned_growth.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

#include "engine/tree/parallel.hpp"
#include "engine/tree/stage.hpp"

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
  if (params.n_classes < 0 || (params.n_classes > 0) != counts_classes(params.criterion)) {
    throw std::invalid_argument(
        "binned growth: gini and entropy need n_classes > 0, mse and poisson n_classes == 0");
  }
}

NodeSummary checked_root(const TreeParams& params, const StatShape& shape,
                         std::span<const double> totals, std::span<const TargetRange> targets) {
  if (targets.size() != static_cast<std::size_t>(shape.n_outputs)) {
    throw std::invalid_argument("BinnedGrower: one target range per output is needed");
  }
  check_params(params);
  if (totals.size() != static_cast<std::size_t>(shape.width)) {
    throw std::invalid_argument("BinnedGrower: the root's sums have another shape");
  }
  return summary_of(shape, totals.data(), targets, params.criterion);
}

}  // namespace

NodeSummary summary_of(const StatShape& shape, const double* sums,
                       std::span<const TargetRange> targets, Criterion criterion) {
  NodeSummary s;
  s.rows = static_cast<std::int64_t>(shape.count(sums));
  s.weight = shape.weight(sums);
  s.impurity = shape.impurity(sums, criterion);
  if (shape.several()) {
    s.single_target = true;
    for (std::size_t k = 0; k < static_cast<std::size_t>(shape.n_outputs); ++k) {
      if (shape.classifies()) {
        std::int32_t weighed = 0;
        for (std::int32_t c = 0; c < shape.n_classes; ++c) {
          weighed += sums[2 + k * static_cast<std::size_t>(shape.n_classes) +
                          static_cast<std::size_t>(c)] > 0.0
                         ? 1
                         : 0;
        }
        s.single_target = s.single_target && weighed <= 1;
      } else {
        s.single_target = s.single_target && targets[k].single();
      }
    }
  } else if (shape.classifies()) {
    std::int32_t weighed = 0;
    for (std::int32_t c = 0; c < shape.n_classes; ++c) {
      weighed += sums[shape.first_class() + c] > 0.0 ? 1 : 0;
    }
    s.single_target = weighed <= 1;
  } else {
    s.single_target = targets[0].single();
  }
  s.value.resize(static_cast<std::size_t>(shape.value_width()));
  shape.value(sums, s.value);
  return s;
}

void route_rows(const BinnedRows& rows, const LevelRouting& routing, std::span<std::int32_t> node,
                ChildSums& children, std::int32_t n_threads) {
  const BinnedMatrix& codes = *rows.codes;
  const auto n = static_cast<std::size_t>(codes.rows());
  const auto count = static_cast<std::size_t>(std::max(routing.children, 0));
  const std::size_t level_nodes = routing.left_child.size();
  if (node.size() != n || children.size() != count ||
      routing.last_left_bin.size() != level_nodes || routing.feature < 0 ||
      routing.feature >= codes.features()) {
    throw std::invalid_argument("route_rows: rows, nodes and routing do not match");
  }
  const auto bins = static_cast<std::size_t>(codes.layout().bins(routing.feature));
  const bool categorical = !routing.left_bins.empty();
  if (categorical && routing.left_bins.size() != level_nodes * bins) {
    throw std::invalid_argument("route_rows: one left-bin flag per node and bin is needed");
  }
  for (std::size_t i = 0; i < level_nodes; ++i) {
    const std::int64_t left =
        static_cast<std::int64_t>(routing.left_child[i]) - routing.first_child;
    if (routing.left_child[i] >= 0 && (left < 0 || left + 1 >= routing.children)) {
      throw std::invalid_argument("route_rows: a child outside the level's children");
    }
  }
  const StatShape& shape = children.shape;
  const auto width = static_cast<std::size_t>(shape.width);
  // Each chunk of rows is summed on its own and the chunks are added in order,
  // so the sums do not depend on which thread took which chunk.
  const std::size_t chunks = (n + kRouteChunk - 1) / kRouteChunk;
  std::vector<double> chunk_sums(chunks * count * width, 0.0);
  std::vector<TargetRange> chunk_targets(chunks * count);
  const auto level = static_cast<std::int64_t>(level_nodes);
  const auto outputs = static_cast<std::size_t>(shape.n_outputs);
  if (shape.several()) chunk_targets.resize(chunks * count * outputs);
  // The shape's branches are taken once, outside the loop over rows.
  const auto route = [&]<bool kClassify, bool kWeighted, bool kSeveral, class Code>(
                         std::span<const Code> column) {
    parallel_for(chunks, n_threads, [&](std::size_t chunk, std::size_t) {
      double* sums = chunk_sums.data() + chunk * count * width;
      TargetRange* targets = chunk_targets.data() + chunk * count * (kSeveral ? outputs : 1);
      const std::size_t end = std::min(n, (chunk + 1) * kRouteChunk);
      for (std::size_t r = chunk * kRouteChunk; r < end; ++r) {
        const std::int64_t i = static_cast<std::int64_t>(node[r]) - routing.first_node;
        if (i < 0 || i >= level) continue;
        const auto at = static_cast<std::size_t>(i);
        if (routing.left_child[at] < 0) continue;
        const auto code = static_cast<std::size_t>(column[r]);
        const bool right = categorical
                               ? routing.left_bins[at * bins + code] == 0
                               : static_cast<std::int32_t>(code) > routing.last_left_bin[at];
        const std::int32_t child = routing.left_child[at] + (right ? 1 : 0);
        node[r] = child;
        double* into = sums + static_cast<std::size_t>(child - routing.first_child) * width;
        const double w = kWeighted ? rows.sample_weight[r] : 1.0;
        if constexpr (kSeveral) {
          shape.add_outputs(into, rows.y, n, r, w);
          if (!kClassify && (!kWeighted || w > 0.0)) {
            TargetRange* ranges =
                targets + static_cast<std::size_t>(child - routing.first_child) * outputs;
            for (std::size_t k = 0; k < outputs; ++k) ranges[k].add(rows.y[k * n + r]);
          }
          continue;
        }
        const double y = rows.y[r];
        if constexpr (kClassify) {
          if constexpr (kWeighted) into[0] += w > 0.0 ? 1.0 : 0.0;
          into[shape.first_class() + static_cast<std::ptrdiff_t>(y)] += w;
        } else {
          shape.add_row(into, y, w, rows.factor_of(r));
        }
        // A classifier's node is of one class when one class has weight: its
        // sums tell, and its targets' range is not needed.
        if constexpr (!kClassify) {
          if (!kWeighted || w > 0.0) targets[child - routing.first_child].add(y);
        }
      }
    });
  };
  const auto by_shape = [&]<class Code>(std::span<const Code> column) {
    const bool weighted = rows.sample_weight != nullptr;
    if (shape.weighted != weighted) {
      throw std::invalid_argument("route_rows: the children's sums are of another weighting");
    }
    if (shape.several()) {
      if (shape.classifies()) {
        weighted ? route.template operator()<true, true, true>(column)
                 : route.template operator()<true, false, true>(column);
      } else {
        weighted ? route.template operator()<false, true, true>(column)
                 : route.template operator()<false, false, true>(column);
      }
    } else if (shape.classifies()) {
      weighted ? route.template operator()<true, true, false>(column)
               : route.template operator()<true, false, false>(column);
    } else {
      weighted ? route.template operator()<false, true, false>(column)
               : route.template operator()<false, false, false>(column);
    }
  };
  if (codes.narrow()) {
    std::vector<std::uint8_t> scratch;
    by_shape(codes.column(routing.feature, scratch));
  } else {
    std::vector<std::uint16_t> scratch;
    by_shape(codes.column(routing.feature, scratch));
  }
  for (std::size_t c = 0; c < chunks; ++c) {
    const double* sums = chunk_sums.data() + c * count * width;
    for (std::size_t k = 0; k < count * width; ++k) children.sums[k] += sums[k];
    const std::size_t ranges = count * outputs;
    for (std::size_t k = 0; k < ranges; ++k) {
      children.targets[k].merge(chunk_targets[c * ranges + k]);
    }
  }
}

void sum_rows(const BinnedRows& rows, const StatShape& shape, std::span<double> totals,
              std::span<TargetRange> targets) {
  if (!shape.several()) {
    if (targets.size() != 1) throw std::invalid_argument("sum_rows: one target range is needed");
    sum_rows(rows, shape, totals, targets[0]);
    return;
  }
  const std::int32_t n = rows.codes->rows();
  const auto outputs = static_cast<std::size_t>(shape.n_outputs);
  if (totals.size() != static_cast<std::size_t>(shape.width) || targets.size() != outputs) {
    throw std::invalid_argument("sum_rows: totals must have the shape's width, and one target "
                                "range per output");
  }
  const auto stride = static_cast<std::size_t>(n);
  for (std::size_t r = 0; r < stride; ++r) {
    const double w = rows.sample_weight ? rows.sample_weight[r] : 1.0;
    for (std::size_t k = 0; k < outputs; ++k) {
      const double y = rows.y[k * stride + r];
      if (shape.classifies() && !(y >= 0.0 && y < shape.n_classes && y == std::floor(y))) {
        throw std::invalid_argument("sum_rows: y[" + std::to_string(r) + ", " +
                                    std::to_string(k) + "] is no class code");
      }
      if (w > 0.0) targets[k].add(y);
    }
    shape.add_outputs(totals.data(), rows.y, stride, r, w);
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
    shape.add_row(totals.data(), y, w, rows.factor_of(static_cast<std::size_t>(r)));
    if (w > 0.0) targets.add(y);
  }
}

BinnedGrower::BinnedGrower(const BinLayout& layout, const TreeParams& params, bool weighted,
                           std::span<const double> root_totals, const TargetRange& root_targets)
    : BinnedGrower(layout, params, weighted, root_totals, std::span(&root_targets, 1)) {}

BinnedGrower::BinnedGrower(const BinLayout& layout, const TreeParams& params, bool weighted,
                           std::span<const double> root_totals,
                           std::span<const TargetRange> root_targets)
    : shape_(StatShape::of(params.n_classes, weighted, params.n_outputs)),
      layout_(layout),
      loop_(params, layout.features(), checked_root(params, shape_, root_totals, root_targets)),
      totals_(root_totals.begin(), root_totals.end()),
      parent_slot_{-1},
      histograms_(layout, shape_, 0),
      parents_(layout, shape_, 0) {}

void BinnedGrower::expect(Stage stage, const char* call) const {
  if (stage_ != stage) {
    throw std::logic_error(std::string("BinnedGrower::") + call + " out of turn");
  }
}

bool BinnedGrower::next_level() {
  expect(Stage::Plan, "next_level");
  if (!loop_.next_level()) {
    stage_ = Stage::Done;
    return false;
  }
  plan_level();
  const StageMark building("building the histograms of a level",
                           static_cast<std::size_t>(plan_.slots + 1) *
                               static_cast<std::size_t>(layout_.total()) *
                               static_cast<std::size_t>(shape_.width) * sizeof(double));
  histograms_.reset(plan_.slots);
  built_ = SlotMap{static_cast<std::int32_t>(loop_.frontier_id(0)), plan_.slot};
  for (std::size_t i = 0; i < plan_.slot.size(); ++i) {
    if (plan_.derived[i]) built_.slot[i] = -1;
  }
  stage_ = Stage::Build;
  return true;
}

void BinnedGrower::plan_level() {
  const std::size_t n = loop_.frontier_size();
  plan_ = LevelPlan{};
  plan_.slot.assign(n, -1);
  plan_.derived.assign(n, false);
  std::vector<bool> searched(n, false);
  for (const LevelNode& node : loop_.nodes()) {
    plan_.slot[node.position] = plan_.slots++;
    searched[node.position] = true;
  }
  if (!have_parents_) return;
  const auto width = static_cast<std::size_t>(shape_.width);
  // Costs in histogram entries touched: a row adds to one bin per feature,
  // a derivation passes over a whole slot.
  const double features = layout_.features();
  const auto slot_cost = static_cast<double>(layout_.total()) * static_cast<double>(width);
  const auto rows = [&](std::size_t i) { return shape_.count(totals_.data() + i * width); };
  // From the second level on the frontier holds sibling pairs (left, right).
  for (std::size_t i = 0; i + 1 < n; i += 2) {
    const std::size_t small = rows(i) <= rows(i + 1) ? i : i + 1;
    const std::size_t large = small == i ? i + 1 : i;
    if (!searched[large]) continue;
    const double extra = searched[small] ? 0.0 : rows(small) * features;
    if (slot_cost + extra >= rows(large) * features) continue;
    if (plan_.slot[small] < 0) plan_.slot[small] = plan_.slots++;
    plan_.derived[large] = true;
  }
}

void BinnedGrower::derive_histograms() {
  for (std::size_t i = 0; i < plan_.slot.size(); ++i) {
    if (!plan_.derived[i]) continue;
    const std::size_t sibling = i % 2 == 0 ? i + 1 : i - 1;
    histograms_.derive(plan_.slot[i], parents_, parent_slot_[i], plan_.slot[sibling]);
  }
}

std::vector<double> BinnedGrower::searched_totals() const {
  const auto width = static_cast<std::size_t>(shape_.width);
  std::vector<double> out;
  out.reserve(loop_.nodes().size() * width);
  for (const LevelNode& node : loop_.nodes()) {
    const auto at = totals_.begin() + static_cast<std::ptrdiff_t>(node.position * width);
    out.insert(out.end(), at, at + static_cast<std::ptrdiff_t>(width));
  }
  return out;
}

void BinnedGrower::score(LevelScores& scores) {
  expect(Stage::Build, "score");
  derive_histograms();
  const std::vector<double> totals = searched_totals();
  const BinnedSearch search(histograms_, totals, loop_.rules());
  search.score(loop_.nodes(), loop_.features(), scores);
}

bool BinnedGrower::choose(std::span<const BinRange> ranges) { return choose_level(ranges, -1); }

bool BinnedGrower::choose_feature(std::span<const BinRange> ranges, std::int32_t feature) {
  if (feature < 0 || feature >= layout_.features()) {
    throw std::invalid_argument("BinnedGrower::choose_feature: no such feature");
  }
  return choose_level(ranges, feature);
}

bool BinnedGrower::choose_level(std::span<const BinRange> ranges, std::int32_t forced) {
  expect(Stage::Build, "choose");
  // Deriving again is harmless: a derived slot is its parent's minus its built sibling.
  derive_histograms();
  const auto nodes = loop_.nodes();
  const std::vector<double> totals = searched_totals();
  const BinnedSearch search(histograms_, totals, loop_.rules());
  LevelScores scores;
  if (forced < 0) {
    do {
      search.score(nodes, loop_.features(), scores);
    } while (loop_.choose(scores) < 0 && loop_.draw_more());
  } else {
    scores.reset(static_cast<std::size_t>(layout_.features()));
    scores.cuts_some_node[static_cast<std::size_t>(forced)] = 1;
    loop_.choose(scores);
  }
  const std::int32_t feature = loop_.feature();
  if (feature < 0) {
    stage_ = Stage::Done;
    return false;
  }
  search.cuts(nodes, feature, ranges, cuts_);
  loop_.budget(cuts_);

  const std::size_t frontier = loop_.frontier_size();
  const bool categorical = loop_.rules().is_categorical(feature);
  const auto bins = static_cast<std::size_t>(layout_.bins(feature));
  routing_ = LevelRouting{};
  routing_.feature = feature;
  routing_.first_node = static_cast<std::int32_t>(loop_.frontier_id(0));
  routing_.last_left_bin.assign(frontier, -1);
  routing_.left_child.assign(frontier, -1);
  if (categorical) routing_.left_bins.assign(frontier * bins, 0);
  routing_.first_child = static_cast<std::int32_t>(loop_.first_child());
  std::int32_t next = routing_.first_child;
  for (std::size_t k = 0; k < nodes.size(); ++k) {
    const NodeCut& cut = cuts_[k];
    if (!cut.valid) continue;
    const std::size_t i = nodes[k].position;
    routing_.last_left_bin[i] = static_cast<std::int32_t>(cut.split_at);
    for (const double code : cut.left_categories) {
      routing_.left_bins[i * bins + static_cast<std::size_t>(code)] = 1;
    }
    routing_.left_child[i] = next;
    next += 2;
  }
  routing_.children = next - routing_.first_child;
  if (forced >= 0 && routing_.children == 0) {
    stage_ = Stage::Done;
    return false;
  }
  stage_ = Stage::Route;
  return true;
}

void BinnedGrower::finish_level(const ChildSums& children) {
  expect(Stage::Route, "finish_level");
  if (children.size() != static_cast<std::size_t>(routing_.children) ||
      !(children.shape == shape_)) {
    throw std::invalid_argument("BinnedGrower::finish_level: one sum per child, of its shape");
  }
  const auto width = static_cast<std::size_t>(shape_.width);
  std::vector<NodeSummary> summaries;
  summaries.reserve(children.size());
  for (std::size_t c = 0; c < children.size(); ++c) {
    const auto outputs = static_cast<std::size_t>(shape_.n_outputs);
    summaries.push_back(summary_of(shape_, children.sums.data() + c * width,
                                   std::span(children.targets).subspan(c * outputs, outputs),
                                   loop_.rules().criterion));
  }
  // The children's parents: the k-th searched node that split holds slot k.
  parent_slot_.clear();
  const auto nodes = loop_.nodes();
  for (std::size_t k = 0; k < nodes.size(); ++k) {
    if (!cuts_[k].valid) continue;
    const std::int32_t slot = plan_.slot[nodes[k].position];
    parent_slot_.push_back(slot);
    parent_slot_.push_back(slot);
  }
  loop_.split(cuts_, summaries);
  totals_ = children.sums;
  std::swap(histograms_, parents_);
  have_parents_ = true;
  stage_ = Stage::Plan;
}

BinnedFit grow_binned(const BinnedRows& rows, const TreeParams& params) {
  check_params(params);
  if (!rows.codes) throw std::invalid_argument("grow_binned: no binned rows");
  const BinnedMatrix& codes = *rows.codes;
  const std::int32_t n = codes.rows();
  if (n > kMaxRows) throw std::length_error("grow_binned: more than 2**30 rows");
  if (n > 0 && !rows.y) throw std::invalid_argument("grow_binned: no targets");
  check_growth_inputs(n, rows.y, n, rows.sample_weight, params);
  const bool weighted = rows.sample_weight != nullptr;
  const StatShape shape = StatShape::of(params.n_classes, weighted, params.n_outputs);
  const int threads = thread_count(params.n_threads);

  // Poisson's sums multiply w y by log y: taken once per row, not per bin.
  std::vector<double> factors;
  BinnedRows read = rows;
  if (params.criterion == Criterion::Poisson && read.factor == nullptr) {
    factors = poisson_factors({rows.y, static_cast<std::size_t>(n)});
    read.factor = factors.data();
  }
  std::vector<double> totals(static_cast<std::size_t>(shape.width));
  std::vector<TargetRange> targets(static_cast<std::size_t>(shape.n_outputs));
  sum_rows(read, shape, totals, std::span(targets));
  BinnedGrower grower(codes.layout(), params, weighted, totals, targets);

  BinnedFit fit;
  fit.node.assign(static_cast<std::size_t>(n), 0);
  HistogramBuilder builder;
  while (grower.next_level()) {
    builder.accumulate(read, fit.node, grower.build_slots(), grower.histograms(), threads);
    if (!grower.choose(codes.ranges())) break;
    ChildSums children(shape, static_cast<std::size_t>(grower.routing().children));
    route_rows(read, grower.routing(), fit.node, children, threads);
    grower.finish_level(children);
  }
  fit.tree = grower.take_tree();
  return fit;
}

BinnedFit fit_binned(const FeatureMatrix& X, const TargetVector& y, const double* sample_weight,
                     const TreeParams& params, const BinningParams& binning) {
  check_params(params);  // before the work of quantizing
  check_growth_inputs(X.rows, y.data, y.length, sample_weight, params);
  const BinnedMatrix codes =
      quantize(X, binning, thread_count(params.n_threads), sample_weight, params.categorical);
  return grow_binned(BinnedRows{&codes, y.data, sample_weight}, params);
}

}  // namespace qor
