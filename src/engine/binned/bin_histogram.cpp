#include "engine/binned/bin_histogram.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "engine/tree/parallel.hpp"

namespace qor {

namespace {

constexpr std::size_t kKeyChunk = 1 << 16;  // rows per task when keys are made

// The rows one pass adds: every row (`rows` null: row i has keys[i], rows in
// no slot aiming at the hidden spare slot), or only rows in a slot (row
// rows[i] has keys[i]), whichever touches fewer rows.
struct KeyedRows {
  const std::uint32_t* rows = nullptr;
  const std::uint32_t* keys = nullptr;
  std::size_t count = 0;
};

// Adds the keyed rows to the bins of kGroup features at once, so that a row's
// key is read once per group. h[g] points at feature g's bin 0 in slot 0;
// key + code * width is a row's place for its bin, and a weighted
// classifier's row count sits at that place rounded down to a multiple of the
// width (a power of two).
template <int kGroup, bool kDense, bool kClassify, bool kWeighted, class Code>
void add_rows(const Code* const* codes, double* const* h, KeyedRows keyed, const double* y,
              const double* w, const double* factor, std::uint32_t width) {
  const std::uint32_t bin_start = ~(width - 1);
  for (std::size_t i = 0; i < keyed.count; ++i) {
    const std::size_t r = kDense ? i : keyed.rows[i];
    const std::uint32_t key = keyed.keys[i];
    const double weight = kWeighted ? w[r] : 1.0;
    for (int g = 0; g < kGroup; ++g) {
      const std::uint32_t at = key + static_cast<std::uint32_t>(codes[g][r]) * width;
      if constexpr (kClassify) {
        if constexpr (kWeighted) h[g][at & bin_start] += weight > 0.0 ? 1.0 : 0.0;
        h[g][at] += weight;
      } else {
        double* s = h[g] + at;
        const double wy = weight * y[r];
        s[0] += weight > 0.0 ? 1.0 : 0.0;
        s[1] += weight;
        s[2] += wy;
        s[3] += wy * factor[r];
      }
    }
  }
}

// The same for several outputs: a row's key is where its slot's sums start,
// and the row adds to every output's sums of its bin (StatShape::add_outputs).
template <int kGroup, bool kDense, bool kWeighted, class Code>
void add_rows_of_outputs(const Code* const* codes, double* const* h, KeyedRows keyed,
                         const double* y, std::size_t stride, const double* w,
                         const StatShape& shape) {
  const auto width = static_cast<std::uint32_t>(shape.width);
  for (std::size_t i = 0; i < keyed.count; ++i) {
    const std::size_t r = kDense ? i : keyed.rows[i];
    const std::uint32_t key = keyed.keys[i];
    const double weight = kWeighted ? w[r] : 1.0;
    for (int g = 0; g < kGroup; ++g) {
      shape.add_outputs(h[g] + key + static_cast<std::uint32_t>(codes[g][r]) * width, y, stride,
                        r, weight);
    }
  }
}

template <int kGroup, class Code>
void add_group(const Code* const* codes, double* const* h, KeyedRows keyed, const BinnedRows& rows,
               const StatShape& shape) {
  const auto width = static_cast<std::uint32_t>(shape.width);
  const double* y = rows.y;
  const double* w = rows.sample_weight;
  if (shape.several()) {
    const auto stride = static_cast<std::size_t>(rows.codes->rows());
    const auto outputs = [&]<bool kDense>() {
      w ? add_rows_of_outputs<kGroup, kDense, true>(codes, h, keyed, y, stride, w, shape)
        : add_rows_of_outputs<kGroup, kDense, false>(codes, h, keyed, y, stride, w, shape);
    };
    keyed.rows ? outputs.template operator()<false>() : outputs.template operator()<true>();
    return;
  }
  const double* factor = rows.factor ? rows.factor : y;
  const auto pick = [&]<bool kDense>() {
    if (shape.classifies()) {
      w ? add_rows<kGroup, kDense, true, true>(codes, h, keyed, y, w, factor, width)
        : add_rows<kGroup, kDense, true, false>(codes, h, keyed, y, w, factor, width);
    } else {
      w ? add_rows<kGroup, kDense, false, true>(codes, h, keyed, y, w, factor, width)
        : add_rows<kGroup, kDense, false, false>(codes, h, keyed, y, w, factor, width);
    }
  };
  keyed.rows ? pick.template operator()<false>() : pick.template operator()<true>();
}

}  // namespace

std::vector<double> poisson_factors(std::span<const double> y) {
  std::vector<double> factors(y.size());
  for (std::size_t r = 0; r < y.size(); ++r) factors[r] = y[r] > 0.0 ? std::log(y[r]) : 0.0;
  return factors;
}

LevelHistograms::LevelHistograms(BinLayout layout, StatShape shape, std::int32_t slots)
    : layout_(std::move(layout)), shape_(shape) {
  slot_size_ = static_cast<std::size_t>(layout_.total()) * static_cast<std::size_t>(shape_.width);
  reset(slots);
}

void LevelHistograms::reset(std::int32_t slots) {
  const std::size_t entries = (static_cast<std::size_t>(std::max(slots, 0)) + 1) * slot_size_;
  if (entries > std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("LevelHistograms: " + std::to_string(slots) +
                            " slots of this many bins exceed 2**32 entries");
  }
  slots_ = std::max(slots, 0);
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

void LevelHistograms::add(std::span<const double> sums) {
  const std::size_t n = visible_size();
  if (sums.size() != n) {
    throw std::invalid_argument("LevelHistograms: " + std::to_string(sums.size()) +
                                " sums for histograms of " + std::to_string(n));
  }
  for (std::size_t i = 0; i < n; ++i) data_[i] += sums[i];
}

void LevelHistograms::derive(std::int32_t into, const LevelHistograms& parents, std::int32_t parent,
                             std::int32_t sibling) {
  if (parents.layout_.offset != layout_.offset || parents.shape_ != shape_) {
    throw std::invalid_argument("LevelHistograms: a parent's histogram has another layout");
  }
  const auto width = static_cast<std::size_t>(shape_.width);
  const double* p = parents.data_.data() + static_cast<std::size_t>(parent) * slot_size_;
  const double* s = data_.data() + static_cast<std::size_t>(sibling) * slot_size_;
  double* out = data_.data() + static_cast<std::size_t>(into) * slot_size_;
  for (std::size_t at = 0; at < slot_size_; at += width) {
    for (std::size_t k = 0; k < width; ++k) {
      const double v = p[at + k] - s[at + k];
      // Every entry but a regressor's sums of w * y (at 2, and 2 + 2k for several
      // outputs) is a sum of non-negative terms.
      const bool signed_sum = !shape_.classifies() && k >= 2 && k % 2 == 0;
      out[at + k] = signed_sum ? v : std::max(v, 0.0);
    }
    if (!(shape_.count(out + at) > 0.0)) std::fill_n(out + at, width, 0.0);
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

  // Rows in a slot, per chunk of rows, then each chunk's first place in the list.
  const auto chunks = (n + kKeyChunk - 1) / kKeyChunk;
  std::vector<std::size_t> first(chunks + 1, 0);
  parallel_for(chunks, n_threads, [&](std::size_t chunk, std::size_t) {
    const std::size_t end = std::min(n, (chunk + 1) * kKeyChunk);
    std::size_t in_slot = 0;
    for (std::size_t r = chunk * kKeyChunk; r < end; ++r) in_slot += slots.slot_of(node[r]) >= 0;
    first[chunk + 1] = in_slot;
  });
  for (std::size_t c = 0; c < chunks; ++c) first[c + 1] += first[c];
  const std::size_t in_slot = first[chunks];
  const bool dense = 2 * in_slot > n;

  buffer_.resize(dense ? n : 2 * in_slot);
  std::uint32_t* row_list = dense ? nullptr : buffer_.data();
  std::uint32_t* key_list = dense ? buffer_.data() : buffer_.data() + in_slot;
  const KeyedRows keyed{row_list, key_list, dense ? n : in_slot};
  const auto slot_size = static_cast<std::uint32_t>(out.slot_size_);
  const auto spare = static_cast<std::uint32_t>(out.slots()) * slot_size;
  parallel_for(chunks, n_threads, [&](std::size_t chunk, std::size_t) {
    const std::size_t end = std::min(n, (chunk + 1) * kKeyChunk);
    // Every row is written at the chunk's next place, and only a row in a slot
    // moves past it: no branch on the slot, which no predictor could learn.
    // Past the chunk's last place, writes go to a scratch pair instead.
    std::size_t at = first[chunk];
    const std::size_t last = first[chunk + 1];
    std::uint32_t scratch[2];
    for (std::size_t r = chunk * kKeyChunk; r < end; ++r) {
      const std::int32_t s = slots.slot_of(node[r]);
      std::uint32_t key = s < 0 ? spare : static_cast<std::uint32_t>(s) * slot_size;
      if (shape.several()) {
        // Every output's class code must lie inside its sums.
        for (std::size_t k = 0; shape.classifies() && k < static_cast<std::size_t>(shape.n_outputs);
             ++k) {
          const double label = rows.y[k * n + r];
          if (!(label >= 0.0 && label < shape.n_classes && label == std::floor(label))) {
            throw std::invalid_argument("y[" + std::to_string(r) + ", " + std::to_string(k) +
                                        "] = " + std::to_string(label) +
                                        " is not a class code in [0, " +
                                        std::to_string(shape.n_classes) + ")");
          }
        }
      } else if (shape.classifies()) {
        const double label = rows.y[r];
        const auto code = static_cast<std::uint32_t>(label >= 0.0 ? label : 0.0);
        // Anything but a class code would land outside its bin.
        if (!(label >= 0.0 && label < shape.n_classes) || code != label) {
          throw std::invalid_argument("y[" + std::to_string(r) + "] = " + std::to_string(label) +
                                      " is not a class code in [0, " +
                                      std::to_string(shape.n_classes) + ")");
        }
        key += static_cast<std::uint32_t>(shape.first_class()) + code;
      }
      if (dense) {
        key_list[r] = key;
      } else {
        const bool inside = at < last;
        *(inside ? row_list + at : scratch) = static_cast<std::uint32_t>(r);
        *(inside ? key_list + at : scratch + 1) = key;
        at += s >= 0 ? 1 : 0;
      }
    }
  });

  // Features in pairs where there are enough of them to keep every thread busy.
  const auto features = static_cast<std::size_t>(codes.features());
  const std::size_t group =
      features >= 4 * static_cast<std::size_t>(std::max(1, n_threads)) ? 2 : 1;
  const auto width = static_cast<std::size_t>(shape.width);
  // A sparse matrix's columns are laid out row by row in scratch of each
  // worker's own, so that every kind of matrix adds its rows in one order.
  const auto workers = static_cast<std::size_t>(std::max(1, n_threads));
  std::vector<std::vector<std::uint8_t>> narrow_scratch(codes.sparse() ? 2 * workers : 0);
  std::vector<std::vector<std::uint16_t>> wide_scratch(codes.sparse() ? 2 * workers : 0);
  const auto run = [&]<class Code>(std::size_t task, std::vector<std::vector<Code>>& scratch,
                                   std::size_t worker) {
    const std::size_t f0 = task * group;
    const std::size_t count = std::min(group, features - f0);
    const Code* code_columns[2] = {};
    double* h[2] = {};
    std::vector<Code> none;
    for (std::size_t g = 0; g < count; ++g) {
      std::vector<Code>& mine = scratch.empty() ? none : scratch[2 * worker + g];
      code_columns[g] = codes.column(static_cast<std::int32_t>(f0 + g), mine).data();
      h[g] = out.data_.data() + static_cast<std::size_t>(codes.layout().offset[f0 + g]) * width;
    }
    if (count == 2) {
      add_group<2>(code_columns, h, keyed, rows, shape);
    } else {
      add_group<1>(code_columns, h, keyed, rows, shape);
    }
  };
  parallel_for((features + group - 1) / group, n_threads, [&](std::size_t task, std::size_t worker) {
    if (codes.narrow()) {
      run(task, narrow_scratch, worker);
    } else {
      run(task, wide_scratch, worker);
    }
  });
  // The rows of no slot are not kept.
  std::fill(out.data_.begin() + static_cast<std::ptrdiff_t>(spare), out.data_.end(), 0.0);
}

}  // namespace qor
