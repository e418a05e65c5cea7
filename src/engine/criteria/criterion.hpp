#pragma once

#include <cstdint>
#include <string_view>

namespace qor {

// The impurity a tree is grown by. Values are those of the native module's
// descriptors and never change.
enum class Criterion : std::int32_t { Gini = 0, Entropy = 1, Mse = 2, Mae = 3 };

// Throws std::invalid_argument("Unknown criterion: " + name) for anything but
// "gini", "entropy", "mse" and "mae".
Criterion parse_criterion(std::string_view name);

// Criteria that count classes (gini, entropy) rather than score targets as numbers.
constexpr bool counts_classes(Criterion criterion) noexcept {
  return criterion == Criterion::Gini || criterion == Criterion::Entropy;
}

}  // namespace qor
