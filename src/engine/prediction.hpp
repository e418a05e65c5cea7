#pragma once

#include <cstddef>
#include <vector>

#include "model.hpp"
#include "views.hpp"

namespace qor {

// Walks row i from `start` to a leaf: value <= threshold goes left, anything
// else (NaN included) right. The caller keeps every split feature below X.cols.
const Node& leaf_for_row(const FeatureMatrix& X, std::size_t i, const Node& start) noexcept;

double predict_row(const FeatureMatrix& X, std::size_t i, const Node& start) noexcept;

// The reached leaf's class counts over their sum, one entry per class; all
// zeros when the counts sum to nothing. Entries missing from a short
// class_counts (a tree left by a failed refit) count as 0.
std::vector<double> predict_proba_row(const FeatureMatrix& X, std::size_t i, const Node& start,
                                      std::size_t n_classes);

}  // namespace qor
