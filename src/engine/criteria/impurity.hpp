#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

namespace qor {

// Labels counted in slots numbered by first occurrence. Labels are equal when
// they compare equal with ==, so -0.0 and +0.0 share a slot; a NaN label equals
// nothing and takes a fresh slot each time it occurs.
class ClassTally {
 public:
  explicit ClassTally(bool keep_labels = false) : keep_labels_(keep_labels) {}

  // Counts one occurrence of `label` and returns its slot.
  std::size_t add(double label);

  const std::vector<std::int64_t>& counts() const noexcept { return counts_; }
  // Label of every slot, in slot order; empty unless constructed with keep_labels.
  const std::vector<double>& labels() const noexcept { return labels_; }
  std::size_t slot_count() const noexcept { return counts_.size(); }

 private:
  struct LabelHash {
    std::size_t operator()(double label) const noexcept {
      return std::hash<double>{}(label == 0.0 ? 0.0 : label);
    }
  };

  bool keep_labels_;
  std::unordered_map<double, std::size_t, LabelHash> slot_of_;
  std::vector<std::int64_t> counts_;
  std::vector<double> labels_;
};

// Impurities of a set of rows. Weights are sample weights (>= 0); a row count
// serves as the weight of rows without weights, and since sums of 1.0 are exact
// integers, unit weights give the unweighted result to the last bit. Each
// returns 0.0 for a set of no weight. The summation order is fixed (the order
// of the list given, ascending values) so that results are reproducible.

// 1 - sum of squared class shares; `class_weights` holds each class's weight in
// the set, `total` their sum.
double gini_impurity(std::span<const double> class_weights, double total) noexcept;
// In bits, with 1e-10 added inside every logarithm: a pure set scores about -1.4427e-10.
double entropy_impurity(std::span<const double> class_weights, double total) noexcept;
// Weighted population variance from the sums of w y and w y^2; not clamped, so
// rounding may leave it slightly negative.
double mse_impurity(double sum, double sum_sq, double total) noexcept;
// Mean absolute deviation around the median; sorts a private copy of `values`
// (unit weights).
double mae_impurity(std::span<const double> values);
// The same for values already in ascending order, without the copy.
double mae_of_sorted(std::span<const double> sorted) noexcept;

// Weighted mean absolute deviation around the weighted median, over a set that
// `for_each(f)` enumerates as f(value, weight) in ascending order of value
// (equal values in a fixed order). The median is the first value at which the
// running weight passes half the total; when it lands exactly on half, the
// mean of that value and the next one of positive weight, so that unit weights
// give the usual median of an even count. Zero weights count nowhere.
template <class ForEach>
double weighted_mae(ForEach&& for_each) {
  double total = 0.0;
  for_each([&](double, double w) { total += w; });
  if (total == 0.0) return 0.0;
  const double half = total * 0.5;
  double below = 0.0;
  double lower = 0.0;
  double median = 0.0;
  enum { kSeeking, kAveraging, kFound } state = kSeeking;
  for_each([&](double v, double w) {
    if (state == kFound || w == 0.0) return;
    if (state == kAveraging) {
      median = (lower + v) * 0.5;
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
  if (state != kFound) median = lower;  // rounding left no weight above the half
  double deviation = 0.0;
  for_each([&](double v, double w) {
    if (w != 0.0) deviation += w * std::abs(v - median);
  });
  return deviation / total;
}

}  // namespace qor
