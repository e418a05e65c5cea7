#include "cut_scan.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "criteria.hpp"

namespace qor {

namespace {

constexpr std::uint32_t kNoSlot = 0xFFFFFFFFu;
constexpr double kInfinity = std::numeric_limits<double>::infinity();
// Unit roundoff of double: one rounding changes a value by at most this share.
constexpr double kRoundoff = 0x1p-53;
// Bound on 1e-10 / ln 2: the 1e-10 inside each logarithm lowers a part's
// entropy by at most this much per label, since p * log2(1 + 1e-10 / p) is
// below 1e-10 / ln 2.
constexpr double kEntropyNudge = 1.45e-10;

// A cut after position k is scored only between two distinct numbers.
bool cut_allowed(std::span<const OrderedRow> run, std::size_t k) noexcept {
  const std::uint32_t next = run[k + 1].rank;
  return next != run[k].rank && next != kNanRank;
}

// Positions 0..n-2 whose cut leaves min_samples_leaf rows on both sides:
// [first, last), empty when none does.
struct CutWindow {
  std::size_t first = 0;
  std::size_t last = 0;

  CutWindow(std::size_t n, std::int32_t min_samples_leaf) {
    const std::size_t leaf = min_samples_leaf > 1 ? static_cast<std::size_t>(min_samples_leaf) : 1;
    if (n >= 2 * leaf) {
      first = leaf - 1;
      last = n - leaf;
    }
  }

  bool empty() const noexcept { return first >= last; }
};

// The best exact gain so far; a tie keeps the earlier (leftmost) cut.
struct BestCut {
  double gain = -kInfinity;
  std::size_t position = 0;
  bool found = false;

  void offer(double candidate, std::size_t k) noexcept {
    if (candidate > gain) {
      gain = candidate;
      position = k;
      found = true;
    }
  }

  NodeSplit result(std::span<const OrderedRow> run, const FeatureMatrix& X,
                   std::int32_t feature) const {
    if (!found) return {};
    const double here = X.at(static_cast<std::int32_t>(run[position].row), feature);
    const double next = X.at(static_cast<std::int32_t>(run[position + 1].row), feature);
    return {true, (here + next) * 0.5, gain};
  }
};

// Which cuts the second pass scores exactly: those whose proxy reaches
// `threshold`, or all cuts when a proxy or the bound is not finite.
struct Candidates {
  double threshold = kInfinity;
  bool all = false;

  Candidates(double best_proxy, double margin) {
    all = !std::isfinite(best_proxy) || !std::isfinite(margin);
    // The margin also covers the rounding of this subtraction.
    threshold = all ? -kInfinity : best_proxy - (margin + 4 * kRoundoff * std::abs(best_proxy));
  }

  bool admit(double proxy) const noexcept { return all || proxy >= threshold; }
};

double gain_of(double parent, std::size_t n_left, std::size_t n_right, double total,
               double left_impurity, double right_impurity) noexcept {
  const double w_left = static_cast<double>(n_left) / total;
  const double w_right = static_cast<double>(n_right) / total;
  return parent - (w_left * left_impurity + w_right * right_impurity);
}

// gini_impurity / entropy_impurity over the first `slots` counts, skipping
// zero counts: a zero adds exactly +0.0 to either sum, so the result is the
// same to the last bit.
template <bool kGini>
double tally_impurity(const std::int64_t* counts, std::size_t slots, std::size_t n) noexcept {
  const auto total = static_cast<double>(n);
  double acc = 0.0;
  for (std::size_t s = 0; s < slots; ++s) {
    if (counts[s] == 0) continue;
    const double p = static_cast<double>(counts[s]) / total;
    if constexpr (kGini) {
      acc += p * p;
    } else {
      acc = acc - std::log2(p + 1e-10) * p;
    }
  }
  return kGini ? 1.0 - acc : acc;
}

}  // namespace

CutScanner::CutScanner(Criterion criterion, std::int32_t min_samples_leaf, const TargetVector& y,
                       const FrontierColumns& columns)
    : criterion_(criterion), min_samples_leaf_(min_samples_leaf), y_(y), columns_(columns) {
  const std::size_t largest = columns.length();
  inverse_.resize(largest + 1);
  for (std::size_t m = 1; m <= largest; ++m) inverse_[m] = 1.0 / static_cast<double>(m);
  if (criterion_ == Criterion::Entropy) {
    m_log2_m_.resize(largest + 1);
    for (std::size_t m = 1; m <= largest; ++m) {
      const auto x = static_cast<double>(m);
      m_log2_m_[m] = x * std::log2(x);
    }
  }
  if (criterion_ == Criterion::Gini || criterion_ == Criterion::Entropy) {
    node_total_.assign(columns.label_count(), 0);
    slot_of_.assign(columns.label_count(), kNoSlot);
  } else if (criterion_ != Criterion::Mse) {
    rank_of_.assign(columns.row_span(), 0);
  }
}

void CutScanner::prepare(const Node& node) {
  if (criterion_ == Criterion::Gini || criterion_ == Criterion::Entropy) {
    for (const std::uint32_t code : node_codes_) node_total_[code] = 0;
    node_codes_.clear();
    for (const std::size_t r : node.indices) {
      const std::uint32_t code = columns_.label_code(r);
      if (node_total_[code]++ == 0) node_codes_.push_back(code);
    }
    return;
  }
  if (criterion_ == Criterion::Mse) return;

  const auto by_target = columns_.target_run(node);
  sorted_.resize(by_target.size());
  mae_finite_ = true;
  for (std::size_t i = 0; i < by_target.size(); ++i) {
    sorted_[i] = y_.data[by_target[i].row];
    rank_of_[by_target[i].row] = static_cast<std::uint32_t>(i);
    mae_finite_ = mae_finite_ && std::isfinite(sorted_[i]);
  }
  mae_parent_ = mae_of_sorted(sorted_);
  mae_abs_sum_ = 0.0;
  for (const double v : sorted_) mae_abs_sum_ += std::abs(v);
  sweep_.set_values(sorted_);
}

NodeSplit CutScanner::best_cut(std::span<const OrderedRow> run, const FeatureMatrix& X,
                               std::int32_t feature) {
  // Constant (or all NaN): no two distinct numbers to cut between.
  if (run.size() < 2 || run.front().rank == run.back().rank) return {};
  if (CutWindow(run.size(), min_samples_leaf_).empty()) return {};
  proxy_.resize(run.size());
  switch (criterion_) {
    case Criterion::Gini:
      return columns_.narrow_label_codes().empty()
                 ? tally_cut<true>(run, X, feature, columns_.label_codes())
                 : tally_cut<true>(run, X, feature, columns_.narrow_label_codes());
    case Criterion::Entropy:
      return columns_.narrow_label_codes().empty()
                 ? tally_cut<false>(run, X, feature, columns_.label_codes())
                 : tally_cut<false>(run, X, feature, columns_.narrow_label_codes());
    case Criterion::Mse:
      return mse_cut(run, X, feature);
    default:
      return mae_cut(run, X, feature);
  }
}

template <bool kGini, class Code>
NodeSplit CutScanner::tally_cut(std::span<const OrderedRow> run, const FeatureMatrix& X,
                                std::int32_t feature, std::span<const Code> codes) {
  const std::size_t n = run.size();
  const std::size_t slots = node_codes_.size();
  // Slots in order of first occurrence along this feature.
  code_of_slot_.clear();
  slot_total_.resize(slots);
  for (std::size_t k = 0; k < n && code_of_slot_.size() < slots; ++k) {
    const std::uint32_t code = codes[run[k].row];
    if (slot_of_[code] == kNoSlot) {
      slot_of_[code] = static_cast<std::uint32_t>(code_of_slot_.size());
      slot_total_[code_of_slot_.size()] = node_total_[code];
      code_of_slot_.push_back(code);
    }
  }
  const std::vector<double> totals(slot_total_.begin(), slot_total_.end());
  const auto weight = static_cast<double>(n);
  const double parent = kGini ? gini_impurity(totals, weight) : entropy_impurity(totals, weight);
  const CutWindow window(n, min_samples_leaf_);
  const auto total = static_cast<double>(n);

  // First pass. Gini: with S the sum of squared slot counts of a part, the
  // gain is parent - 1 + (S_left / n_left + S_right / n_right) / n, so that
  // sum is the proxy. Entropy: with f(m) = m log2 m and without the 1e-10,
  // the gain is parent + Q / n where
  // Q = sum f(left counts) - f(n_left) + sum f(right counts) - f(n_right).
  left_.assign(slots, 0);
  right_.assign(slot_total_.begin(), slot_total_.end());
  slot_at_.resize(n);
  std::int64_t squares_left = 0;
  std::int64_t squares_right = 0;
  for (const std::int64_t c : slot_total_) squares_right += c * c;
  std::size_t seen = 0;  // the left part holds exactly the slots 0..seen-1
  double best_proxy = -kInfinity;
  for (std::size_t k = 0; k < window.last; ++k) {
    const std::uint32_t slot = slot_of_[codes[run[k].row]];
    slot_at_[k] = slot;
    if constexpr (kGini) {
      squares_left += 2 * left_[slot] + 1;
      squares_right -= 2 * right_[slot] - 1;
    }
    ++left_[slot];
    --right_[slot];
    if (slot == seen) ++seen;
    double proxy = -kInfinity;
    if (k >= window.first && cut_allowed(run, k)) {
      const std::size_t n_left = k + 1;
      const std::size_t n_right = n - n_left;
      if constexpr (kGini) {
        proxy = static_cast<double>(squares_left) * inverse_[n_left] +
                static_cast<double>(squares_right) * inverse_[n_right];
      } else {
        double left_sum = 0.0;
        for (std::size_t s = 0; s < seen; ++s) left_sum += m_log2_m_[left_[s]];
        double right_sum = 0.0;
        for (std::size_t s = 0; s < slots; ++s) right_sum += m_log2_m_[right_[s]];
        proxy = (left_sum - m_log2_m_[n_left]) + (right_sum - m_log2_m_[n_right]);
      }
      best_proxy = std::max(best_proxy, proxy);
    }
    proxy_[k] = proxy;
  }
  for (const std::uint32_t code : code_of_slot_) slot_of_[code] = kNoSlot;
  if (best_proxy == -kInfinity) return {};

  // Rounding bounds, all quantities being at most 1 (gini), log2(K) + 1
  // (entropy) or n (the gini proxy). Gini: the direct gain lies within
  // (K + 10) u of its exact value, the proxy within 4 u n of its own. Entropy:
  // the direct gain within (4K + 40) u (log2(K + 1) + 1 + parent) of its exact
  // value, which exceeds the proxy's gain by up to K * kEntropyNudge; the
  // proxy sums 2K + 2 terms of size up to f(n), each within 3u. A cut can
  // match the best gain only if its proxy comes within twice those bounds,
  // scaled by n, of the best proxy; the margins below double them again.
  const auto labels = static_cast<double>(slots);
  double margin = 0.0;
  if constexpr (kGini) {
    margin = 4 * total * (2 * labels + 24) * kRoundoff;
  } else {
    const double direct =
        (4 * labels + 40) * kRoundoff * (std::log2(labels + 1) + 1 + std::abs(parent));
    margin = 2 * (total * (2 * direct + labels * kEntropyNudge) +
                  2 * (4 * labels + 10) * kRoundoff * m_log2_m_[n]);
  }
  const Candidates candidates(best_proxy, margin);

  // Second pass: the direct gain of every candidate, in cut order.
  std::size_t end = window.last;
  while (end > window.first && !candidates.admit(proxy_[end - 1])) --end;
  left_.assign(slots, 0);
  right_.assign(slot_total_.begin(), slot_total_.end());
  seen = 0;
  BestCut best;
  for (std::size_t k = 0; k < end; ++k) {
    const std::uint32_t slot = slot_at_[k];
    ++left_[slot];
    --right_[slot];
    if (slot == seen) ++seen;
    if (proxy_[k] == -kInfinity || !candidates.admit(proxy_[k])) continue;
    const std::size_t n_left = k + 1;
    const std::size_t n_right = n - n_left;
    const double left_impurity = tally_impurity<kGini>(left_.data(), seen, n_left);
    const double right_impurity = tally_impurity<kGini>(right_.data(), slots, n_right);
    best.offer(gain_of(parent, n_left, n_right, total, left_impurity, right_impurity), k);
  }
  return best.result(run, X, feature);
}

NodeSplit CutScanner::mse_cut(std::span<const OrderedRow> run, const FeatureMatrix& X,
                              std::int32_t feature) {
  const std::size_t n = run.size();
  targets_.resize(n);
  double sum = 0.0;
  double sum_sq = 0.0;
  for (std::size_t k = 0; k < n; ++k) {
    const double t = y_.data[run[k].row];
    targets_[k] = t;
    sum += t;
    sum_sq += t * t;
  }
  const double parent = mse_impurity(sum, sum_sq, static_cast<double>(n));
  // A NaN parent makes every gain NaN, and NaN never wins.
  if (std::isnan(parent)) return {};
  const CutWindow window(n, min_samples_leaf_);
  const auto total = static_cast<double>(n);

  // First pass. With s the sum of a part's targets, the gain is
  // parent - sum_sq / n + (s_left^2 / n_left + s_right^2 / n_right) / n, up to
  // the rounding of the right part's sum of squares.
  double left_sum = 0.0;
  double best_proxy = -kInfinity;
  for (std::size_t k = 0; k < window.last; ++k) {
    left_sum += targets_[k];
    double proxy = -kInfinity;
    if (k >= window.first && cut_allowed(run, k)) {
      const double right_sum = sum - left_sum;
      proxy = left_sum * left_sum * inverse_[k + 1] + right_sum * right_sum * inverse_[n - k - 1];
      best_proxy = std::max(best_proxy, proxy);
    }
    proxy_[k] = proxy;
  }
  if (best_proxy == -kInfinity) return {};
  // The direct gain lies within 12 u sum_sq / n + u |parent| of its exact
  // value, the proxy within 12 u sum_sq of its own, and the right part's sum
  // of squares adds 2 u sum_sq; doubled twice.
  const Candidates candidates(best_proxy, 128 * kRoundoff * (sum_sq + total * std::abs(parent)));

  std::size_t end = window.last;
  while (end > window.first && !candidates.admit(proxy_[end - 1])) --end;
  left_sum = 0.0;
  double left_sum_sq = 0.0;
  BestCut best;
  for (std::size_t k = 0; k < end; ++k) {
    const double t = targets_[k];
    left_sum += t;
    left_sum_sq += t * t;
    if (k < window.first || !cut_allowed(run, k) || !candidates.admit(proxy_[k])) continue;
    const std::size_t n_left = k + 1;
    const std::size_t n_right = n - n_left;
    const double left_impurity = mse_impurity(left_sum, left_sum_sq, static_cast<double>(n_left));
    const double right_impurity =
        mse_impurity(sum - left_sum, sum_sq - left_sum_sq, static_cast<double>(n_right));
    best.offer(gain_of(parent, n_left, n_right, total, left_impurity, right_impurity), k);
  }
  return best.result(run, X, feature);
}

NodeSplit CutScanner::mae_cut(std::span<const OrderedRow> run, const FeatureMatrix& X,
                              std::int32_t feature) {
  // A part holding an infinite or NaN target scores inf or NaN, and so does
  // the parent: every gain would be NaN, which never wins.
  if (!mae_finite_) return {};
  const std::size_t n = run.size();
  const CutWindow window(n, min_samples_leaf_);
  const auto total = static_cast<double>(n);

  // With D a part's deviation sum, the gain is parent - (D_left + D_right) / n,
  // so the proxy is -(D_left + D_right). The sweep keeps only the cuts within
  // `slack` of the best proxy so far, a superset of the final candidates:
  // no part's D exceeds twice the node's sum of |targets|, and the margin
  // below never exceeds 68 u |best proxy| + 64 u n |parent|.
  const double slack = 160 * kRoundoff * (2 * mae_abs_sum_ + total * std::abs(mae_parent_));
  mae_kept_.clear();
  std::size_t compact_at = 64;
  double best_proxy = -kInfinity;
  double floor = -kInfinity;  // best_proxy - slack
  sweep_.sweep(
      window.last, [&](std::size_t k) { return rank_of_[run[k].row]; },
      [&](std::size_t k, double left, double right) {
        const double proxy = -(left + right);
        if (proxy < floor || k < window.first || !cut_allowed(run, k)) return;
        if (proxy > best_proxy) {
          best_proxy = proxy;
          floor = proxy - slack;
        }
        if (mae_kept_.size() == compact_at) {
          std::erase_if(mae_kept_, [&](const KeptCut& cut) { return cut.proxy < floor; });
          compact_at = std::max(compact_at, 2 * mae_kept_.size());
        }
        mae_kept_.push_back({k, left, right, proxy});
      });
  if (best_proxy == -kInfinity) return {};
  // The gain below lies within 5 u |proxy| / n + u |parent| of
  // parent + proxy / n; doubled twice, and more.
  const Candidates candidates(
      best_proxy, 64 * kRoundoff * (std::abs(best_proxy) + total * std::abs(mae_parent_)));

  BestCut best;
  for (const KeptCut& cut : mae_kept_) {  // in cut order
    if (!candidates.admit(cut.proxy)) continue;
    const std::size_t n_left = cut.position + 1;
    const std::size_t n_right = n - n_left;
    const double left_impurity = cut.left_deviation / static_cast<double>(n_left);
    const double right_impurity = cut.right_deviation / static_cast<double>(n_right);
    best.offer(gain_of(mae_parent_, n_left, n_right, total, left_impurity, right_impurity),
               cut.position);
  }
  return best.result(run, X, feature);
}

}  // namespace qor
