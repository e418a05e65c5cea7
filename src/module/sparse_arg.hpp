// A sparse X as the package hands it to qor._core, checked whole.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/pair.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <utility>

#include "arrays.hpp"
#include "engine/tree/sparse_views.hpp"

namespace qor::bind {

// A scipy.sparse matrix as the package hands it over: an object with int64
// `indptr`, int32 `indices`, float64 `data` and `shape`, compressed by columns
// (CSC) or by rows (CSR). Checked whole, so that the engine reads nothing
// outside its arrays.
struct SparseArg {
  template <class T>
  using Input = nanobind::ndarray<const T, nanobind::c_contig, nanobind::device::cpu>;

  Input<std::int64_t> indptr;
  Input<std::int32_t> indices;
  Input<double> data;
  qor::SparseMatrix view;

  SparseArg(const nanobind::handle& X, bool by_column)
      : indptr(nanobind::cast<Input<std::int64_t>>(X.attr("indptr"))),
        indices(nanobind::cast<Input<std::int32_t>>(X.attr("indices"))),
        data(nanobind::cast<Input<double>>(X.attr("data"))) {
    const auto shape = nanobind::cast<std::pair<std::size_t, std::size_t>>(X.attr("shape"));
    view = {indptr.data(), indices.data(), data.data(), extent(shape.first, "X"),
            extent(shape.second, "X's row"), by_column};
    const std::int32_t outer = by_column ? view.cols : view.rows;
    const std::int32_t inner = by_column ? view.rows : view.cols;
    const auto stored = static_cast<std::int64_t>(indices.size());
    if (indptr.size() != static_cast<std::size_t>(outer) + 1 || indptr.data()[0] != 0 ||
        indptr.data()[outer] != stored || data.size() != indices.size()) {
      throw std::invalid_argument("sparse X: indptr, indices and data do not match its shape");
    }
    for (std::int32_t k = 0; k < outer; ++k) {
      const std::int64_t begin = view.indptr[k];
      const std::int64_t end = view.indptr[k + 1];
      if (end < begin || end > stored) {
        throw std::invalid_argument("sparse X: indptr is not ascending");
      }
      for (std::int64_t i = begin; i < end; ++i) {
        const std::int32_t at = view.indices[i];
        if (at < 0 || at >= inner || (i > begin && at <= view.indices[i - 1])) {
          throw std::invalid_argument(
              "sparse X: indices out of range, unsorted or repeated within a line");
        }
      }
    }
  }
};

}  // namespace qor::bind
