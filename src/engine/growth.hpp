#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "model.hpp"
#include "views.hpp"

namespace qor {

// True when the node has no rows or every target equals the first one
// (floating-point equality: a NaN target makes a node impure).
bool is_pure(const TargetVector& y, const Node& node) noexcept;

// Routes the node's rows in order: value <= threshold goes left, everything
// else (NaN included) right. Both outputs are emptied first, keeping capacity.
void partition_rows(const FeatureMatrix& X, const Node& node, std::int32_t feature,
                    double threshold, std::vector<std::size_t>& left_rows,
                    std::vector<std::size_t>& right_rows);

}  // namespace qor
