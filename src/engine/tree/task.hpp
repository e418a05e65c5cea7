#pragma once

#include <cstdint>
#include <string_view>

namespace qor {

// What a native model's leaves store: the majority label, or the mean target.
// Values are those of the native module's descriptors and never change.
enum class TaskKind : std::int32_t { Classification = 0, Regression = 1 };

// Exactly "classification" gives Classification; every other name Regression.
constexpr TaskKind task_from_name(std::string_view name) noexcept {
  return name == "classification" ? TaskKind::Classification : TaskKind::Regression;
}

}  // namespace qor
