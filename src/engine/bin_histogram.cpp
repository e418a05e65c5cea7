#include "bin_histogram.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "parallel.hpp"

namespace qor {

namespace {

constexpr std::size_t kKeyChunk = 1 << 16;  // rows per task when keys are made

// Adds one feature's rows to its bins. `h` points at the feature's bin 0 in
// slot 0; keys[r] + code * width is row r's place for its bin. A classifier's
// count sits at that place rounded down to a multiple of the width.
template <class Code, bool kClassify, bool kWeighted>
void add_feature(const Code* codes, const std::uint32_t* keys, const double* y, const double* w,
                 std::size_t rows, double* h, std::uint32_t width) {
  const std::uint32_t bin_start = ~(width - 1);
  for (std::size_t r = 0; r < rows; ++r) {
    const std::uint32_t at = keys[r] + static_cast<std::uint32_t>(codes[r]) * width;
    const double weight = kWeighted ? w[r] : 1.0;
    if constexpr (kClassify) {
      h[at & bin_start] += 1.0;
      h[at] += weight;
    } else {
      double* s = h + at;
      const double wy = weight * y[r];
      s[0] += 1.0;
      s[1] += weight;
      s[2] += wy;
      s[3] += wy * y[r];
    }
  }
}

template <class Code>
void add_feature_of(std::span<const Code> codes, const std::uint32_t* keys, const BinnedRows& rows,
                    const StatShape& shape, double* h) {
  const auto width = static_cast<std::uint32_t>(shape.width);
  const double* w = rows.sample_weight;
  const std::size_t n = codes.size();
  if (shape.classifies()) {
    if (w) {
      add_feature<Code, true, true>(codes.data(), keys, rows.y, w, n, h, width);
    } else {
      add_feature<Code, true, false>(codes.data(), keys, rows.y, w, n, h, width);
    }
  } else if (w) {
    add_feature<Code, false, true>(codes.data(), keys, rows.y, w, n, h, width);
  } else {
    add_feature<Code, false, false>(codes.data(), keys, rows.y, w, n, h, width);
  }
}

}  // namespace

LevelHistograms::LevelHistograms(BinLayout layout, StatShape shape, std::int32_t slots)
    : layout_(std::move(layout)), shape_(shape), slots_(std::max(slots, 0)) {
  slot_size_ = static_cast<std::size_t>(layout_.total()) * static_cast<std::size_t>(shape_.width);
  const std::size_t entries = (static_cast<std::size_t>(slots_) + 1) * slot_size_;
  if (entries > std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("LevelHistograms: " + std::to_string(slots_) +
                            " slots of this many bins exceed 2**32 entries");
  }
  data_.assign(entries, 0.0);
}

std::span<const double> LevelHistograms::bins(std::int32_t slot,
                                              std::int32_t feature) const noexcept {
  const auto width = static_cast<std::size_t>(shape_.width);
  return {data_.data() + static_cast<std::size_t>(slot) * slot_size_ +
              static_cast<std::size_t>(layout_.offset[static_cast<std::size_t>(feature)]) * width,
          static_cast<std::size_t>(layout_.bins(feature)) * width};
}

std::span<double> LevelHistograms::bins(std::int32_t slot, std::int32_t feature) noexcept {
  const auto view = std::as_const(*this).bins(slot, feature);
  return {data_.data() + (view.data() - data_.data()), view.size()};
}

LevelHistograms& LevelHistograms::operator+=(const LevelHistograms& other) {
  if (other.layout_.offset != layout_.offset || other.shape_.width != shape_.width ||
      other.shape_.n_classes != shape_.n_classes || other.slots_ != slots_) {
    throw std::invalid_argument("LevelHistograms: only histograms of one layout add up");
  }
  const std::size_t n = visible_size();
  for (std::size_t i = 0; i < n; ++i) data_[i] += other.data_[i];
  return *this;
}

void LevelHistograms::derive(std::int32_t into, const LevelHistograms& parents,
                             std::int32_t parent, std::int32_t sibling) {
  if (parents.layout_.offset != layout_.offset || parents.shape_.width != shape_.width ||
      parents.shape_.n_classes != shape_.n_classes) {
    throw std::invalid_argument("LevelHistograms: a parent's histogram has another layout");
  }
  const auto width = static_cast<std::size_t>(shape_.width);
  const double* p = parents.data_.data() + static_cast<std::size_t>(parent) * slot_size_;
  const double* s = data_.data() + static_cast<std::size_t>(sibling) * slot_size_;
  double* out = data_.data() + static_cast<std::size_t>(into) * slot_size_;
  for (std::size_t at = 0; at < slot_size_; at += width) {
    const double count = p[at] - s[at];
    if (!(count > 0.0)) {
      std::fill_n(out + at, width, 0.0);
      continue;
    }
    out[at] = count;
    for (std::size_t k = 1; k < width; ++k) {
      const double v = p[at + k] - s[at + k];
      // Every entry but a regressor's sum of w * y is a sum of non-negative terms.
      const bool signed_sum = !shape_.classifies() && k == 2;
      out[at + k] = signed_sum ? v : std::max(v, 0.0);
    }
  }
}

void HistogramBuilder::accumulate(const BinnedRows& rows, std::span<const std::int32_t> node,
                                  const SlotMap& slots, LevelHistograms& out,
                                  std::int32_t n_threads) {
  const BinnedMatrix& codes = *rows.codes;
  if (codes.layout().offset != out.layout().offset) {
    throw std::invalid_argument("HistogramBuilder: codes and histograms have other bins");
  }
  const auto n = static_cast<std::size_t>(codes.rows());
  if (node.size() != n) {
    throw std::invalid_argument("HistogramBuilder: one node per row is needed");
  }
  const StatShape& shape = out.shape();
  for (const std::int32_t s : slots.slot) {
    if (s >= out.slots()) {
      throw std::invalid_argument("HistogramBuilder: a slot beyond the histograms");
    }
  }

  keys_.resize(n);
  const auto slot_size = static_cast<std::uint32_t>(out.slot_size_);
  const auto spare = static_cast<std::uint32_t>(out.slots()) * slot_size;
  const auto chunks = (n + kKeyChunk - 1) / kKeyChunk;
  parallel_for(chunks, n_threads, [&](std::size_t chunk, std::size_t) {
    const std::size_t end = std::min(n, (chunk + 1) * kKeyChunk);
    for (std::size_t r = chunk * kKeyChunk; r < end; ++r) {
      const std::int32_t s = slots.slot_of(node[r]);
      std::uint32_t key = s < 0 ? spare : static_cast<std::uint32_t>(s) * slot_size;
      if (shape.classifies()) {
        const double label = rows.y[r];
        // Anything but a class code would land outside its bin.
        if (!(label >= 0.0 && label < shape.n_classes && label == std::floor(label))) {
          throw std::invalid_argument("y[" + std::to_string(r) + "] = " + std::to_string(label) +
                                      " is not a class code in [0, " +
                                      std::to_string(shape.n_classes) + ")");
        }
        key += 1 + static_cast<std::uint32_t>(label);
      }
      keys_[r] = key;
    }
  });

  const auto features = static_cast<std::size_t>(codes.features());
  const auto width = static_cast<std::size_t>(shape.width);
  parallel_for(features, n_threads, [&](std::size_t f, std::size_t) {
    const auto feature = static_cast<std::int32_t>(f);
    double* h = out.data_.data() + static_cast<std::size_t>(codes.layout().offset[f]) * width;
    if (codes.narrow()) {
      add_feature_of(codes.narrow_codes(feature), keys_.data(), rows, shape, h);
    } else {
      add_feature_of(codes.wide_codes(feature), keys_.data(), rows, shape, h);
    }
  });
  // The rows of no slot are not kept.
  std::fill(out.data_.begin() + static_cast<std::ptrdiff_t>(spare), out.data_.end(), 0.0);
}

}  // namespace qor
