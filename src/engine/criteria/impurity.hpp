#pragma once

// Every impurity and every gain of the engine, defined once: the exact and the
// binned searches, the node statistics of both and the native leaves all
// compute through these. Their summation orders are part of their meaning
// (results are reproducible to the bit), so each states it.

#include <cmath>
#include <cstddef>
#include <span>

namespace qor {

// The native model adds this inside every logarithm of its entropy, a formula
// frozen with its trees: a class of no weight then adds nothing, and a pure set
// scores -log2(1 + kEntropyEpsilon), about -1.4427e-10, rather than 0. The
// package's entropy needs no guard (see class_impurity_of) and is the entropy
// itself: 1 bit for a 50/50 set, 0 for a pure one.
inline constexpr double kEntropyEpsilon = 1e-10;

// Impurities of a set of rows. Weights are sample weights (>= 0); a row count
// serves as the weight of rows without weights, and since sums of 1.0 are exact
// integers, unit weights give the unweighted result to the last bit. Each
// returns 0.0 for a set of no weight.

// Gini (kGini) or entropy in bits of class weights given in a fixed order,
// `total` their sum: 1 - sum p^2, or -sum p log2(p), with p = weight / total,
// terms added in the order given. A class of weight 0 adds exactly +0.0 to
// either sum, so it is skipped; an entropy term also skips the hair below 0
// that a class weight found by subtraction can keep (0 log 0 = 0). kGuarded:
// the native model's entropy, -sum p log2(p + kEntropyEpsilon). `Weight`:
// double, or an integer count.
// `weight_at(i)` gives the i-th class's weight, i in [0, classes).
template <bool kGini, bool kGuarded = false, class WeightAt>
double class_impurity_of(WeightAt&& weight_at, std::size_t classes, double total) noexcept {
  if (total == 0.0) return 0.0;
  double acc = 0.0;
  for (std::size_t i = 0; i < classes; ++i) {
    const auto weight = weight_at(i);
    if (weight == 0) continue;
    const double p = static_cast<double>(weight) / total;
    if constexpr (kGini) {
      acc += p * p;
    } else if constexpr (kGuarded) {
      acc = acc - std::log2(p + kEntropyEpsilon) * p;
    } else if (p > 0.0) {
      acc = acc - std::log2(p) * p;
    }
  }
  return kGini ? 1.0 - acc : acc;
}

template <bool kGini, bool kGuarded = false, class Weight>
double class_impurity(const Weight* weights, std::size_t classes, double total) noexcept {
  return class_impurity_of<kGini, kGuarded>([weights](std::size_t i) { return weights[i]; },
                                            classes, total);
}

inline double gini_impurity(std::span<const double> class_weights, double total) noexcept {
  return class_impurity<true>(class_weights.data(), class_weights.size(), total);
}
inline double entropy_impurity(std::span<const double> class_weights, double total) noexcept {
  return class_impurity<false>(class_weights.data(), class_weights.size(), total);
}
inline double guarded_entropy_impurity(std::span<const double> class_weights,
                                       double total) noexcept {
  return class_impurity<false, true>(class_weights.data(), class_weights.size(), total);
}

// Weighted population variance from the sums of w y and (w y) y: the mean
// square less the squared mean, each a quotient by the total. Not clamped, so
// rounding may leave it slightly negative.
inline double mse_impurity(double sum, double sum_sq, double total) noexcept {
  if (total == 0.0) return 0.0;
  const double mean = sum / total;
  const double mean_sq = sum_sq / total;
  return mean_sq - mean * mean;
}

// The median between two middle values (an even count, or a weight that
// lands exactly on half): their mean, as (a + b) * 0.5.
inline double middle_of(double low, double high) noexcept { return (low + high) * 0.5; }

// The median of `size` values by count, from its ((size - 1) / 2)-th value `low`
// and its (size / 2)-th `high` in ascending order: the unit-weight case of
// weighted_mae's median, to the bit.
inline double count_median(double low, double high, std::size_t size) noexcept {
  return size % 2 == 1 ? low : middle_of(low, high);
}

// The weighted median of a set that `for_each(f)` enumerates as f(value,
// weight) in ascending order of value (equal values in a fixed order), `total`
// its weight (> 0): the first value at which the running weight passes half
// the total; when it lands exactly on half, the middle of that value and the
// next one of positive weight, so that unit weights give count_median. Zero
// weights count nowhere.
template <class ForEach>
double weighted_median(ForEach&& for_each, double total) {
  const double half = total * 0.5;
  double below = 0.0;
  double lower = 0.0;
  double median = 0.0;
  enum { kSeeking, kAveraging, kFound } state = kSeeking;
  for_each([&](double v, double w) {
    if (state == kFound || w == 0.0) return;
    if (state == kAveraging) {
      median = middle_of(lower, v);
      state = kFound;
      return;
    }
    below += w;
    if (below > half) {
      median = v;
      state = kFound;
    } else if (below == half) {
      lower = v;
      state = kAveraging;
    }
  });
  return state == kFound ? median : lower;  // rounding left no weight above the half
}

// A set's weighted median and its weighted mean absolute deviation around it.
struct MedianDeviation {
  double median = 0.0;
  double mae = 0.0;
};

// Weighted mean absolute deviation around the weighted median (above), over a
// set enumerated as weighted_median enumerates it: deviations w |v - median|
// added in that order, then divided by the total (added in that order too).
// Both are 0 for a set of no weight.
template <class ForEach>
MedianDeviation weighted_median_deviation(ForEach&& for_each) {
  double total = 0.0;
  for_each([&](double, double w) { total += w; });
  if (total == 0.0) return {};
  const double median = weighted_median(for_each, total);
  double deviation = 0.0;
  for_each([&](double v, double w) {
    if (w != 0.0) deviation += w * std::abs(v - median);
  });
  return {median, deviation / total};
}

template <class ForEach>
double weighted_mae(ForEach&& for_each) {
  return weighted_median_deviation(for_each).mae;
}

// Poisson: half the Poisson deviance of targets y >= 0, the mean over the set
// of w (y log(y / m) - y + m), m the weighted mean, which is
//   sum(w y log y) / W - m log m
// (natural logarithms, y log y = 0 at y = 0), computed from the set's sums of
// w y and of poisson_term, each quotient by the total W. Not clamped: rounding
// may leave it slightly negative.
inline double poisson_impurity(double sum, double terms, double total) noexcept {
  if (total == 0.0) return 0.0;
  const double mean = sum / total;
  return terms / total - (mean > 0.0 ? mean * std::log(mean) : 0.0);
}

// A row's share of the sum poisson_impurity takes: (w y) log y, 0 where y is
// 0; every sum of these adds the same per-row numbers.
inline double poisson_term(double wy, double y) noexcept {
  return y > 0.0 ? wy * std::log(y) : 0.0;
}

// The impurity of a set under several outputs: the mean of the outputs'
// impurities, `impurity_of(k)` output k's by the definitions above, added in
// output order and divided by their number once. A single output's is its own
// impurity to the bit. Gains of several outputs are gain_of over such means.
template <class ImpurityOf>
double mean_impurity(std::size_t outputs, ImpurityOf&& impurity_of) {
  if (outputs == 1) return impurity_of(std::size_t{0});
  double sum = 0.0;
  for (std::size_t k = 0; k < outputs; ++k) sum += impurity_of(k);
  return sum / static_cast<double>(outputs);
}

// The gain of a cut from its parts' impurities, each part weighted by its
// share of the node's weight (divided before multiplying):
//   parent - (w_left / total * left + w_right / total * right).
inline double gain_of(double parent, double w_left, double w_right, double total,
                      double left_impurity, double right_impurity) noexcept {
  const double share_left = w_left / total;
  const double share_right = w_right / total;
  return parent - (share_left * left_impurity + share_right * right_impurity);
}

}  // namespace qor
