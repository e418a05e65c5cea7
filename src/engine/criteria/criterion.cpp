#include "engine/criteria/criterion.hpp"

#include <stdexcept>
#include <string>

namespace qor {

Criterion parse_criterion(std::string_view name) {
  if (name == "gini") return Criterion::Gini;
  if (name == "entropy") return Criterion::Entropy;
  if (name == "mse") return Criterion::Mse;
  if (name == "mae") return Criterion::Mae;
  throw std::invalid_argument("Unknown criterion: " + std::string(name));
}

Criterion parse_package_criterion(std::string_view name) {
  if (name == "poisson") return Criterion::Poisson;
  return parse_criterion(name);
}

}  // namespace qor
