#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
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

}  // namespace qor
