#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <numeric>
#include <vector>

#include "engine/native/model.hpp"
#include "engine/tree/views.hpp"

namespace qor::testing {

// Owns row-major data and hands out engine views of it.
struct Table {
  std::vector<double> x;  // row-major, rows * cols
  std::vector<double> y;
  std::int32_t rows = 0;
  std::int32_t cols = 0;

  Table(std::initializer_list<std::initializer_list<double>> matrix, std::vector<double> targets)
      : y(std::move(targets)), rows(static_cast<std::int32_t>(matrix.size())) {
    for (const auto& row : matrix) {
      cols = static_cast<std::int32_t>(row.size());
      x.insert(x.end(), row.begin(), row.end());
    }
  }
  // One feature column.
  Table(std::vector<double> column, std::vector<double> targets)
      : x(std::move(column)),
        y(std::move(targets)),
        rows(static_cast<std::int32_t>(x.size())),
        cols(1) {}

  FeatureMatrix X() const { return {x.data(), rows, cols, true}; }
  TargetVector Y() const { return {y.data(), static_cast<std::int32_t>(y.size())}; }
};

inline std::unique_ptr<Node> node_with_rows(std::size_t begin, std::size_t end) {
  auto node = std::make_unique<Node>();
  node->indices.resize(end - begin);
  std::iota(node->indices.begin(), node->indices.end(), begin);
  return node;
}

inline QORModel model_of(TaskKind task, Criterion criterion, std::int32_t max_depth = 5,
                         std::int32_t min_samples_split = 2, std::int32_t min_samples_leaf = 1) {
  return QORModel(ModelParams{task, criterion, max_depth, min_samples_split, min_samples_leaf});
}

}  // namespace qor::testing
