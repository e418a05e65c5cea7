#include "engine/exact/cut_scanner.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace qor {

CutScanner::CutScanner(Criterion criterion, CutLimits limits, const TargetVector& y,
                       const double* weights, const FrontierColumns& columns, bool by_class)
    : criterion_(criterion), limits_(limits), y_(y), weights_(weights), columns_(columns) {
  tally_.by_class = by_class;
  const std::size_t rows = columns.row_span();
  for (std::size_t r = 0; weights_ != nullptr && r < rows; ++r) {
    integral_weights_ = integral_weights_ && weights_[r] == std::floor(weights_[r]);
  }
  if (weights_ == nullptr) {
    const std::size_t largest = columns.length();
    tally_scratch_.inverse.resize(largest + 1);
    for (std::size_t m = 1; m <= largest; ++m) {
      tally_scratch_.inverse[m] = 1.0 / static_cast<double>(m);
    }
    if (criterion_ == Criterion::Entropy) {
      tally_scratch_.m_log2_m.resize(largest + 1);
      for (std::size_t m = 1; m <= largest; ++m) {
        tally_scratch_.m_log2_m[m] = x_log2_x(static_cast<double>(m));
      }
    }
  }
  if (criterion_ == Criterion::Gini || criterion_ == Criterion::Entropy) {
    tally_.total.assign(columns.label_count(), 0.0);
    in_node_.assign(columns.label_count(), 0);
    tally_scratch_.slot_of.assign(columns.label_count(), kNoSlot);
  } else if (criterion_ == Criterion::Mae) {
    mae_scratch_.rank_of.assign(rows, 0);
    mae_scratch_.position.assign(rows, 0);
  } else if (criterion_ == Criterion::Poisson) {
    poisson_terms_.resize(rows);
    for (std::size_t r = 0; r < rows; ++r) {
      const double w = weights_ == nullptr ? 1.0 : weights_[r];
      poisson_terms_[r] =
          r < static_cast<std::size_t>(y_.length) ? poisson_term(w * y_.data[r], y_.data[r]) : 0.0;
    }
  }
}

CutScanner::CutScanner(Criterion criterion, CutLimits limits, const TargetVector& y,
                       const double* weights, const FrontierColumns& columns,
                       std::int32_t n_outputs, std::int32_t n_classes,
                       std::span<const std::int32_t> output_classes)
    : CutScanner(n_outputs > 1 ? Criterion::Mse : criterion, limits, y, weights, columns,
                 n_classes > 0) {
  if (n_outputs <= 1) return;
  criterion_ = criterion;
  multi_.outputs = static_cast<std::size_t>(n_outputs);
  multi_.classes = n_classes > 0 ? static_cast<std::size_t>(n_classes) : 0;
  multi_.output_classes.assign(output_classes.begin(), output_classes.end());
  multi_.y = y.data;
  multi_.stride = static_cast<std::size_t>(y.length);
  if (criterion == Criterion::Mae) {
    multi_.mae.resize(multi_.outputs);
    multi_.mae_scratch.resize(multi_.outputs);
    for (MaeScratch& scratch : multi_.mae_scratch) {
      scratch.rank_of.assign(columns.row_span(), 0);
      scratch.position.assign(columns.row_span(), 0);
    }
  }
}

void CutScanner::prepare(std::size_t segment) {
  const auto rows = columns_.rows(segment);
  weight_ = 0.0;
  if (weights_ == nullptr) {
    weight_ = static_cast<double>(rows.size());
  } else {
    for (const ColumnEntry entry : rows) weight_ += weights_[entry.row()];
  }
  if (multi_.outputs > 0) {
    prepare_multi(rows);
    return;
  }

  if (criterion_ == Criterion::Gini || criterion_ == Criterion::Entropy) {
    for (const std::uint32_t code : tally_.codes) {
      tally_.total[code] = 0.0;
      in_node_[code] = 0;
    }
    tally_.codes.clear();
    // Every label of the node's rows takes a slot, even one whose rows weigh nothing.
    for (const ColumnEntry entry : rows) {
      const std::uint32_t code = columns_.label_code(entry.row());
      if (in_node_[code] == 0) {
        in_node_[code] = 1;
        tally_.codes.push_back(code);
      }
      tally_.total[code] += weights_ == nullptr ? 1.0 : weights_[entry.row()];
    }
    tally_.weight = weight_;
    tally_.exact = integral_weights_ && weight_ < kExactSquares;
    return;
  }
  if (criterion_ != Criterion::Mae) return;

  const auto by_target = columns_.target_run(segment);
  prepare_mae(mae_, mae_scratch_, y_.data, by_target.size(),
              [&](std::size_t i) { return by_target[i].row(); });
}

template <class RowAt>
void CutScanner::prepare_mae(MaeNode& node, MaeScratch& scratch, const double* y, std::size_t n,
                             RowAt&& row_at) const {
  node.rows.resize(n);
  node.value.resize(n);
  node.weight.resize(n);
  node.abs_sum = 0.0;
  node.largest = 0.0;
  bool integers = true;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t r = row_at(i);
    const double v = y[r];
    const double w = weights_ == nullptr ? 1.0 : weights_[r];
    node.rows[i] = r;
    node.value[i] = v;
    node.weight[i] = w;
    scratch.rank_of[r] = static_cast<std::uint32_t>(i);
    node.abs_sum += w * std::abs(v);
    node.largest = std::max(node.largest, std::abs(v));
    integers = integers && v == std::floor(v);
  }
  node.total = weight_;
  node.parent = weighted_mae([&](auto&& f) {
    for (std::size_t i = 0; i < n; ++i) f(node.value[i], node.weight[i]);
  });
  node.exact = weights_ == nullptr && integers && node.abs_sum < 0x1p53;
  if (weights_ == nullptr) {
    scratch.sweep.set_values(node.value);
  } else {
    scratch.weighted_sweep.set_values(node.value, node.weight);
  }
}

void CutScanner::prepare_multi(std::span<const ColumnEntry> rows) {
  MultiNode& node = multi_;
  node.weight = weight_;
  const std::size_t outputs = node.outputs;
  const auto weight_of = [&](std::uint32_t row) {
    return weights_ == nullptr ? 1.0 : weights_[row];
  };
  if (criterion_ == Criterion::Gini || criterion_ == Criterion::Entropy) {
    node.total.assign(outputs * node.classes, 0.0);
    for (const ColumnEntry entry : rows) {
      const std::uint32_t row = entry.row();
      for (std::size_t k = 0; k < outputs; ++k) {
        node.total[k * node.classes + static_cast<std::size_t>(node.target(k, row))] +=
            weight_of(row);
      }
    }
    return;
  }
  if (criterion_ != Criterion::Mae) return;
  // Each output's targets in ascending order, ties in the node's row order.
  const std::size_t n = rows.size();
  sorted_.resize(n);
  for (std::size_t k = 0; k < outputs; ++k) {
    for (std::size_t i = 0; i < n; ++i) sorted_[i] = rows[i].row();
    std::stable_sort(sorted_.begin(), sorted_.end(), [&](std::uint32_t a, std::uint32_t b) {
      return order_key(node.target(k, a)) < order_key(node.target(k, b));
    });
    prepare_mae(node.mae[k], node.mae_scratch[k], node.y + k * node.stride, n,
                [&](std::size_t i) { return sorted_[i]; });
  }
}

NodeSplit CutScanner::best_categorical_cut(std::size_t segment, std::int32_t feature,
                                           const FeatureMatrix& X, const LevelRules& rules,
                                           std::vector<double>& left) {
  left.clear();
  const auto run = columns_.run(segment, feature);
  const auto weight_of = [&](std::uint32_t row) {
    return weights_ == nullptr ? 1.0 : weights_[row];
  };
  const bool by_class =
      rules.n_classes > 2 && (criterion_ == Criterion::Gini || criterion_ == Criterion::Entropy);
  const auto classes = by_class ? static_cast<std::size_t>(rules.n_classes) : std::size_t{0};

  // The run holds each category's rows together, in code order, NaN last.
  categories_.clear();
  std::size_t missing = run.size();  // where the NaN rows start
  for (std::size_t k = 0; k < run.size(); ++k) {
    if (k == 0 || run[k].new_value()) {
      const double code = X.at(static_cast<std::int32_t>(run[k].row()), feature);
      if (std::isnan(code)) {
        missing = k;
        break;
      }
      categories_.push_back({code, k, k, 0.0, 0.0, categories_.size()});
    }
    categories_.back().end = k + 1;
  }
  // Each category's sums, and the node's (its missing values included), which
  // the keys are smoothed towards.
  const std::size_t sums = std::max<std::size_t>(classes, 1);
  category_weights_.assign((categories_.size() + 1) * sums, 0.0);
  double* node_sums = category_weights_.data() + categories_.size() * sums;
  const auto add = [&](double* into, std::size_t k) {
    const std::uint32_t row = run[k].row();
    const double w = weight_of(row);
    if (by_class) {
      into[static_cast<std::size_t>(y_.data[row])] += w;
    } else {
      into[0] += w * y_.data[row];
    }
    return w;
  };
  for (std::size_t c = 0; c < categories_.size(); ++c) {
    Category& category = categories_[c];
    double* into = category_weights_.data() + c * sums;
    for (std::size_t k = category.begin; k < category.end; ++k) category.weight += add(into, k);
    for (std::size_t i = 0; i < sums; ++i) node_sums[i] += into[i];
  }
  for (std::size_t k = missing; k < run.size(); ++k) add(node_sums, k);

  // Categories with too few rows, then the missing values, form the tail
  // that every cut sends right; the others are ordered and cut.
  placed_.clear();
  rare_.clear();
  for (const Category& category : categories_) {
    (rules.places(static_cast<std::int64_t>(category.end - category.begin)) ? placed_ : rare_)
        .push_back(category);
  }
  if (placed_.empty()) return {};

  NodeSplit best;
  std::vector<Category> best_order;
  reordered_.resize(run.size());
  for (std::size_t order = 0; order < sums; ++order) {
    const double prior = weight_ > 0.0 ? node_sums[order] / weight_ : 0.0;
    for (Category& category : placed_) {
      const double sum = category_weights_[category.index * sums + order];
      category.key = category_key(sum, category.weight, prior, rules.category_smoothing);
    }
    std::vector<Category> sorted = placed_;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Category& a, const Category& b) { return a.key < b.key; });
    std::size_t at = 0;
    for (const Category& category : sorted) {
      for (std::size_t k = category.begin; k < category.end; ++k) {
        reordered_[at++] = ColumnEntry::of(run[k].row(), k == category.begin);
      }
    }
    // The tail is one value to the scan: only its first row starts one.
    const std::size_t tail = at;
    const auto to_tail = [&](std::size_t k) {
      reordered_[at] = ColumnEntry::of(run[k].row(), at == tail);
      ++at;
    };
    for (const Category& category : rare_) {
      for (std::size_t k = category.begin; k < category.end; ++k) to_tail(k);
    }
    for (std::size_t k = missing; k < run.size(); ++k) to_tail(k);
    const NodeSplit cut = dispatch(reordered_, feature, X, MonotoneRun{}, IgnoreScreens{});
    if (cut.valid && (!best.valid || cut.gain > best.gain)) {
      best = cut;
      best_order = std::move(sorted);
    }
  }
  if (!best.valid) return best;
  best.threshold = std::numeric_limits<double>::quiet_NaN();
  std::size_t taken = 0;
  for (const Category& category : best_order) {
    if (taken >= best.left_size) break;
    left.push_back(category.code);
    taken += category.end - category.begin;
  }
  std::sort(left.begin(), left.end());
  return best;
}

}  // namespace qor
