#pragma once

#include <cstdint>
#include <string_view>

namespace qor {

// The impurity a tree is grown by. Values 0 to 3 are those of the native
// module's descriptors and never change; Poisson (half the Poisson deviance of
// non-negative targets) is the package's alone.
enum class Criterion : std::int32_t { Gini = 0, Entropy = 1, Mse = 2, Mae = 3, Poisson = 4 };

// Throws std::invalid_argument("Unknown criterion: " + name) for anything but
// "gini", "entropy", "mse" and "mae": the native module's names.
Criterion parse_criterion(std::string_view name);

// The package's names: the native module's and "poisson"; the same message otherwise.
Criterion parse_package_criterion(std::string_view name);

// Criteria that count classes (gini, entropy) rather than score targets as numbers.
constexpr bool counts_classes(Criterion criterion) noexcept {
  return criterion == Criterion::Gini || criterion == Criterion::Entropy;
}

}  // namespace qor
