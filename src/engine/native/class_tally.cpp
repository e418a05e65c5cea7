#include "engine/native/class_tally.hpp"

namespace qor {

std::size_t ClassTally::add(double label) {
  std::size_t slot = counts_.size();
  if (std::isnan(label)) {
    counts_.push_back(0);
    if (keep_labels_) labels_.push_back(label);
  } else {
    auto [it, inserted] = slot_of_.try_emplace(label, slot);
    if (inserted) {
      counts_.push_back(0);
      if (keep_labels_) labels_.push_back(label);
    } else {
      slot = it->second;
    }
  }
  ++counts_[slot];
  return slot;
}

}  // namespace qor
