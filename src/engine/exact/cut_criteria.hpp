#pragma once

// The criteria of the cut scan (scan_cuts in cut_scan.hpp). Each scores the
// cuts of one run, a node's rows in one feature's order, in two ways: a cheap
// screen with a proven bound, and the exact gain, which repeats the direct
// method's arithmetic to the last bit:
//   - a part's statistics are added up from 0.0 in run order, the right part's
//     by subtraction from the node's (class weights one row at a time);
//   - label slots are numbered by first occurrence along the run;
//   - gain = parent - (w_left / W * impurity_left + w_right / W * impurity_right).
// Node totals (W, class weights) are added up in the node's row order.
//
// Bounds are stated in the screen's units, W * (gain - c). Notation: u is the
// unit roundoff, K the labels of the node, n its rows, m the rows moved left.
// Where the bounds count roundings, they are doubled once more before use.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <type_traits>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/exact/column_order.hpp"
#include "engine/criteria/criterion.hpp"
#include "engine/criteria/impurity.hpp"
#include "engine/level/level_rules.hpp"
#include "engine/exact/cut_scan.hpp"
#include "engine/exact/median_sweep.hpp"

namespace qor {

inline constexpr std::uint32_t kNoSlot = 0xFFFFFFFFu;

// The most kEntropyEpsilon moves an entropy term: kEntropyEpsilon / ln 2, rounded up.
inline constexpr double kEpsilonShift = 1.45e-10;
static_assert(kEpsilonShift > kEntropyEpsilon / 0.6931471805599453);

// x log2 x, 0 at 0 (and for the hair below 0 that rounding can leave).
inline double x_log2_x(double x) noexcept { return x > 0.0 ? x * std::log2(x) : 0.0; }

// Sums of integers below 2**53 are exact in a double: with integer weights
// and a node weight below this, every count, and for gini every sum of
// squared counts, is exact, and the screens carry no drift.
inline constexpr double kExactSquares = 94906265.0;  // floor(sqrt(2**53))

// ---- gini and entropy: class weights per label ------------------------------

// The prepared node, shared by its runs.
struct TallyNode {
  std::vector<double> total;         // per label code: the node's weight of the label
  std::vector<std::uint32_t> codes;  // codes present in the node
  double weight = 0.0;               // W
  bool exact = true;                 // integer weights and W below kExactSquares
  // Whose arithmetic the exact gains repeat: a package classifier's (class
  // terms by class code, the order its node statistics and its binned growth
  // use, and the entropy itself), or the native model's literal method (labels
  // by first occurrence along the run, and its guarded entropy). The screens'
  // bounds hold for either.
  bool by_class = false;
};

// Scratch of one thread, reused by every run.
struct TallyScratch {
  std::vector<std::uint32_t> slot_of;  // per code: its slot in the current run, or kNoSlot
  std::vector<std::uint32_t> code_of_slot;
  std::vector<double> slot_total;       // per slot: the node's weight
  std::vector<double> left;             // per slot: weight in the left part
  std::vector<double> right;            // per slot: weight in the right part
  std::vector<std::int64_t> left_rows;  // the same as counts, under unit weights
  std::vector<std::int64_t> right_rows;
  std::vector<double> f_left;  // entropy, per slot: x_log2_x(left)
  std::vector<double> f_right;
  std::vector<std::uint32_t> slot_at;  // per run position: the row's slot
  std::vector<std::uint32_t> by_code;  // the slots in ascending order of their codes
  std::vector<double> inverse;         // [m] = 1 / m for node sizes m (unit weights)
  std::vector<double> m_log2_m;        // [m] = m log2 m (unit weights, entropy)
};

// Label codes of rows, read one row at a time: from an array of codes, or
// from one bit per row where there are two labels. A scan reads one code per
// row visited, scattered over the rows: bits keep a large fit's codes in
// cache where bytes would not fit.
template <class T>
struct CodeArray {
  const T* codes = nullptr;
  std::uint32_t operator()(std::uint32_t row) const noexcept { return codes[row]; }
};
struct CodeBits {
  const std::uint64_t* words = nullptr;
  std::uint32_t operator()(std::uint32_t row) const noexcept {
    return static_cast<std::uint32_t>((words[row >> 6] >> (row & 63)) & 1u);
  }
};

// kUnit: every weight is 1, so weights are row counts, kept as integers, and
// tables replace divisions and logarithms. Codes: how the label codes are read.
//
// Gini over two labels in unit weights (kBinary) keeps one running count, the
// left part's rows of label 1: every class count of both parts, and so their
// sums of squares, follow from it and the part's size, as the same integers
// the moves of several labels reach. Its value after every move is kept, so
// that a cut's exact gain reads its counts instead of replaying the moves.
template <bool kGini, bool kUnit, class Codes>
class TallyCut {
 public:
  static constexpr bool kBinary = kGini && kUnit && std::is_same_v<Codes, CodeBits>;
  static constexpr bool kReplays = !kBinary;
  // Counts and part sizes are whole and positive: the screens cannot overflow.
  static constexpr bool kFiniteScreens = kUnit;
  using Count = std::conditional_t<kUnit, std::int64_t, double>;
  struct State {
    Count squares_left = 0;   // gini: sum of squared left class weights
    Count squares_right = 0;  // gini: the same on the right
    std::size_t seen = 0;     // entropy: the left part holds exactly the slots 0..seen-1
    std::int64_t ones = 0;    // kBinary: rows of label 1 in the left part
    // The scratch the moves touch, in the scan's locals (kept in registers).
    Codes codes;
    const std::uint32_t* slot_of = nullptr;
    std::uint32_t* slot_at = nullptr;
    Count* left = nullptr;
    Count* right = nullptr;
    double* f_left = nullptr;
    double* f_right = nullptr;
  };

  TallyCut(const TallyNode& node, TallyScratch& scratch, Codes codes)
      : node_(node), s_(scratch), codes_(codes) {}

  double weight() const noexcept { return node_.weight; }

  bool start(std::span<const ColumnEntry> run, State& state) {
    for (const std::uint32_t code : s_.code_of_slot) s_.slot_of[code] = kNoSlot;
    s_.code_of_slot.clear();
    slots_ = node_.codes.size();
    s_.slot_total.resize(slots_);
    for (std::size_t k = 0; k < run.size() && s_.code_of_slot.size() < slots_; ++k) {
      const std::uint32_t code = codes_(run[k].row());
      if (s_.slot_of[code] == kNoSlot) {
        s_.slot_of[code] = static_cast<std::uint32_t>(s_.code_of_slot.size());
        s_.slot_total[s_.code_of_slot.size()] = node_.total[code];
        s_.code_of_slot.push_back(code);
      }
    }
    const double w = node_.weight;
    if (node_.by_class) {
      s_.by_code.resize(slots_);
      for (std::uint32_t i = 0; i < slots_; ++i) s_.by_code[i] = i;
      std::sort(s_.by_code.begin(), s_.by_code.end(), [&](std::uint32_t a, std::uint32_t b) {
        return s_.code_of_slot[a] < s_.code_of_slot[b];
      });
      parent_ = class_impurity_of<kGini>(
          [&](std::size_t i) { return s_.slot_total[s_.by_code[i]]; }, slots_, w);
    } else {
      parent_ = class_impurity<kGini, true>(s_.slot_total.data(), slots_, w);
    }
    rows_ = run.size();
    s_.slot_at.resize(rows_);
    restart(state);
    for (std::size_t i = 0; i < slots_; ++i) {
      const Count t = right_[i];
      state.squares_right += t * t;
    }
    if constexpr (!kGini) {
      s_.f_left.assign(slots_, 0.0);
      s_.f_right.resize(slots_);
      for (std::size_t i = 0; i < slots_; ++i) s_.f_right[i] = f(right_[i]);
      state.f_left = s_.f_left.data();
      state.f_right = s_.f_right.data();
    }
    state.codes = codes_;
    state.slot_of = s_.slot_of.data();
    state.slot_at = s_.slot_at.data();
    if constexpr (kBinary) {
      // Labels absent from the node count 0 on both sides.
      for (std::uint32_t code = 0; code < 2; ++code) {
        total_of_[code] = code < node_.total.size() ? static_cast<Count>(node_.total[code]) : 0;
      }
      state.ones = 0;
    }
    set_bound();
    return true;
  }

  [[gnu::always_inline]] void move(State& state, std::size_t k, std::uint32_t row,
                                   double w) const noexcept {
    if constexpr (kBinary) {
      state.ones += state.codes(row);
      state.slot_at[k] = static_cast<std::uint32_t>(state.ones);  // a run's rows fit 32 bits
      return;
    }
    const std::uint32_t slot = state.slot_of[state.codes(row)];
    state.slot_at[k] = slot;
    Count& l = state.left[slot];
    Count& r = state.right[slot];
    const Count step = kUnit ? Count{1} : static_cast<Count>(w);
    if constexpr (kGini) {
      // (l + w)^2 - l^2 and r^2 - (r - w)^2; exact on integer weights.
      state.squares_left += step * (2 * l + step);
      state.squares_right -= step * (2 * r - step);
    }
    l += step;
    r -= step;
    if constexpr (!kGini) {
      state.f_left[slot] = f(l);
      state.f_right[slot] = f(r);
      state.seen += slot == state.seen ? 1 : 0;  // slots enter the left part in slot order
    }
  }

  // Gini: with S a part's sum of squared class weights, W * gini-weighted sum
  // = W - (S_left / w_left + S_right / w_right), so that sum is the score.
  // Entropy without kEntropyEpsilon: W * entropy-weighted sum = sum over both parts
  // of f(part weight) - sum f(class weight), f(x) = x log2 x, so the negated
  // sum is the score.
  [[gnu::always_inline]] Screen screen(const State& state, std::size_t n_left,
                                       double w_left) const noexcept {
    double score = 0.0;
    double w_right = 0.0;
    if constexpr (kBinary) {
      const auto [squares_left, squares_right] = binary_squares(state.ones, n_left);
      if (!exact_) w_right = static_cast<double>(rows_ - n_left);
      score = static_cast<double>(squares_left) * s_.inverse[n_left] +
              static_cast<double>(squares_right) * s_.inverse[rows_ - n_left];
    } else if constexpr (kUnit) {
      if (!exact_ || !kGini) w_right = static_cast<double>(rows_ - n_left);
      if constexpr (kGini) {
        score = static_cast<double>(state.squares_left) * s_.inverse[n_left] +
                static_cast<double>(state.squares_right) * s_.inverse[rows_ - n_left];
      }
    } else {
      w_right = node_.weight - w_left;
      if constexpr (kGini) score = state.squares_left / w_left + state.squares_right / w_right;
    }
    if constexpr (!kGini) {
      double left = 0.0;
      for (std::size_t i = 0; i < state.seen; ++i) left += state.f_left[i];
      double right = 0.0;
      for (std::size_t i = 0; i < slots_; ++i) right += state.f_right[i];
      if constexpr (kUnit) {
        score = (left - s_.m_log2_m[n_left]) + (right - s_.m_log2_m[rows_ - n_left]);
      } else {
        score = (left - x_log2_x(w_left)) + (right - x_log2_x(w_right));
      }
    }
    if (exact_) return {score, bound_};
    return {score, bound_ + drift(n_left, w_left, w_right)};
  }

  void restart(State& state) {
    if constexpr (kUnit) {
      s_.left_rows.assign(slots_, 0);
      s_.right_rows.resize(slots_);
      for (std::size_t i = 0; i < slots_; ++i) {
        s_.right_rows[i] = static_cast<std::int64_t>(s_.slot_total[i]);
      }
      left_ = s_.left_rows.data();
      right_ = s_.right_rows.data();
    } else {
      s_.left.assign(slots_, 0.0);
      s_.right.assign(s_.slot_total.begin(), s_.slot_total.end());
      left_ = s_.left.data();
      right_ = s_.right.data();
    }
    state.left = left_;
    state.right = right_;
    state.seen = 0;
  }

  [[gnu::always_inline]] void replay(State& state, std::size_t k, std::uint32_t,
                                     double w) const noexcept {
    const std::uint32_t slot = state.slot_at[k];
    const Count step = kUnit ? Count{1} : static_cast<Count>(w);
    state.left[slot] += step;
    state.right[slot] -= step;
    if constexpr (!kGini) state.seen += slot == state.seen ? 1 : 0;
  }

  double gain(const State& state, std::size_t k, double w_left) const noexcept {
    if constexpr (kBinary) {
      // Each slot's counts at the cut after position k, as replaying would leave them.
      const std::int64_t ones = s_.slot_at[k];
      const std::int64_t left[2] = {static_cast<std::int64_t>(k + 1) - ones, ones};
      for (std::uint32_t code = 0; code < 2; ++code) {
        const std::uint32_t slot = s_.slot_of[code];
        if (slot == kNoSlot) continue;
        left_[slot] = left[code];
        right_[slot] = total_of_[code] - left[code];
      }
    }
    const double w = node_.weight;
    const double w_right = w - w_left;
    if (node_.by_class) {
      const std::uint32_t* order = s_.by_code.data();
      const auto left = [&](std::size_t i) { return left_[order[i]]; };
      const auto right = [&](std::size_t i) { return right_[order[i]]; };
      return gain_of(parent_, w_left, w_right, w, class_impurity_of<kGini>(left, slots_, w_left),
                     class_impurity_of<kGini>(right, slots_, w_right));
    }
    const std::size_t left_slots = kGini ? slots_ : state.seen;
    return gain_of(parent_, w_left, w_right, w,
                   class_impurity<kGini, true>(left_, left_slots, w_left),
                   class_impurity<kGini, true>(right_, slots_, w_right));
  }

 private:
  // kBinary: the parts' sums of squared class counts with `ones` rows of label
  // 1 among the left part's n_left.
  std::pair<Count, Count> binary_squares(std::int64_t ones, std::size_t n_left) const noexcept {
    const std::int64_t zeros = static_cast<std::int64_t>(n_left) - ones;
    const std::int64_t right_ones = total_of_[1] - ones;
    const std::int64_t right_zeros = total_of_[0] - zeros;
    return {zeros * zeros + ones * ones, right_zeros * right_zeros + right_ones * right_ones};
  }

  double f(Count x) const noexcept {
    if constexpr (kUnit) {
      return s_.m_log2_m[static_cast<std::size_t>(x)];
    } else {
      return x_log2_x(x);
    }
  }

  // Bounds. The exact gain is fl(parent - T), T the weighted sum of the parts'
  // impurities; rounding is monotone, so a cut's exact gain reaches another's
  // only if its T is at most the other's plus 2.02 u (|parent| + |T|).
  //
  // Gini. In real arithmetic on the scan's own class weights, with
  // w_right = fl(W - w_left) off W - w_left by u w_right:
  //   W T = W (1 + theta) - (S_left / w_left + S_right / w_right), |theta| <= u.
  // Each part's computed gini lies within (K + 4) u of its real value (K
  // shares squared and added, 1 - sum), the shares and products add 3 u, so T
  // is within (K + 9) u; the score's two products and sum round by 3.1 u W.
  // In all: u W (K + 9 + 1 + 3.1 + 2.02 (|parent| + 1)) < u W (K + 16 + 2.02 |parent|).
  //
  // Entropy. The native model's kEntropyEpsilon inside each logarithm lowers a
  // part's entropy by at most kEntropyEpsilon / ln 2 < kEpsilonShift per label, so
  // T lies within K kEpsilonShift of the real entropies without it (the
  // package's entropy has no such shift). A computed entropy (K terms p log2(p + kEntropyEpsilon),
  // each within 5 u of its size plus 2 u p, summed) lies within
  // u (K + 6)(log2 K + 3) of its real value, T within u (K + 10)(log2 K + 3).
  // The score sums at most 2K + 2 values of f, each within 3 u of itself and
  // together at most 2 (W |log2 W| + 0.54 K) in size (f >= -0.54 below 1):
  // within 4 (K + 5) u (W (|log2 W| + 1) + 0.54 K).
  void set_bound() noexcept {
    const auto labels = static_cast<double>(slots_);
    const double w = node_.weight;
    exact_ = node_.exact;
    if constexpr (kGini) {
      bound_ = 2 * kRoundoff * w * (labels + 16 + 2.02 * std::abs(parent_));
    } else {
      const double log_labels = std::log2(std::max(labels, 1.0));
      const double shift = node_.by_class ? 0.0 : labels * kEpsilonShift;
      const double t = kRoundoff * (labels + 10) * (log_labels + 3) + shift +
                       2.02 * kRoundoff * (std::abs(parent_) + log_labels + 2);
      const double score = 4 * (labels + 5) * kRoundoff *
                           (w * (std::abs(std::log2(std::max(w, 1e-300))) + 1) + 0.54 * labels);
      bound_ = 2 * (w * t + score);
    }
  }

  // Weights that are not integers make the running class weights inexact.
  // Gini: each move rounds S_left by at most 3 u w_left^2 (the update, the
  // class weight it squares), and S_right by 3 u W^2, after the K roundings of
  // its start: the score drifts by 3.03 u (m w_left + (m + K) W^2 / w_right).
  // Entropy: the class weights of a part then add up to its weight only within
  // 2 m u w_left and (2 m + K) u W, which moves its entropy term by that times
  // |log2| of the part weight.
  double drift(std::size_t m, double w_left, double w_right) const noexcept {
    const auto moved = static_cast<double>(m);
    const auto labels = static_cast<double>(slots_);
    const double w = node_.weight;
    if constexpr (kGini) {
      return 2 * 3.03 * kRoundoff * (moved * w_left + (moved + labels) * w * w / w_right);
    } else {
      const auto log_size = [](double x) { return std::abs(std::log2(std::max(x, 1e-300))) + 1; };
      return 2 * kRoundoff *
             (2 * moved * w_left * log_size(w_left) + (2 * moved + labels) * w * log_size(w_right));
    }
  }

  const TallyNode& node_;
  TallyScratch& s_;
  Codes codes_;
  Count* left_ = nullptr;   // per slot: the left part's weight (scratch)
  Count* right_ = nullptr;  // per slot: the right part's weight
  std::size_t slots_ = 0;
  std::size_t rows_ = 0;
  Count total_of_[2] = {0, 0};  // kBinary: the node's rows of label 0 and of label 1
  double parent_ = 0.0;
  double bound_ = 0.0;
  bool exact_ = true;
};

// ---- mse: weighted sums ------------------------------------------------------

template <bool kUnit>
class MseCut {
 public:
  static constexpr bool kReplays = true;
  static constexpr bool kFiniteScreens = false;  // large targets overflow
  struct State {
    double left_sum = 0.0;     // sum of w y over the left part
    double left_sum_sq = 0.0;  // sum of (w y) y, in the exact pass only
  };

  MseCut(const double* y, const double* weights, double node_weight,
         const std::vector<double>& inverse)
      : y_(y), weights_(weights), weight_(node_weight), inverse_(inverse) {}

  double weight() const noexcept { return weight_; }

  bool start(std::span<const ColumnEntry> run, State& state) noexcept {
    sum_ = 0.0;
    sum_sq_ = 0.0;
    for (const ColumnEntry entry : run) {
      const std::uint32_t row = entry.row();
      const double wt = weighted(row);
      sum_ += wt;
      sum_sq_ += wt * y_[row];
    }
    parent_ = mse_impurity(sum_, sum_sq_, weight_);
    // A NaN parent makes every gain NaN, and NaN never wins.
    if (std::isnan(parent_)) return false;
    rows_ = run.size();
    // In real arithmetic on the scan's own sums, W T = Q' - P with P the
    // score below and Q' = q + fl(Q - q) within 1.01 u Q of Q. The computed
    // T lies within 11 u Q / W of its real value (each part's q / w and
    // (s / w)^2 within 7 u q / w, as s^2 <= q w), the score within 4.1 u Q,
    // and the final subtraction adds 2.02 u (W |parent| + 1.01 Q).
    bound_ = 2 * kRoundoff * (19 * sum_sq_ + 2.02 * weight_ * std::abs(parent_));
    restart(state);
    return true;
  }

  [[gnu::always_inline]] void move(State& state, std::size_t, std::uint32_t row,
                                   double) const noexcept {
    state.left_sum += weighted(row);
  }

  [[gnu::always_inline]] Screen screen(const State& state, std::size_t n_left,
                                       double w_left) const noexcept {
    const double right_sum = sum_ - state.left_sum;
    const double score = state.left_sum * state.left_sum * inverse(n_left, w_left) +
                         right_sum * right_sum * inverse(rows_ - n_left, weight_ - w_left);
    return {score, bound_};
  }

  void restart(State& state) const noexcept { state = State{}; }

  [[gnu::always_inline]] void replay(State& state, std::size_t, std::uint32_t row,
                                     double) const noexcept {
    const double wt = weighted(row);
    state.left_sum += wt;
    state.left_sum_sq += wt * y_[row];
  }

  double gain(const State& state, std::size_t, double w_left) const noexcept {
    const double w_right = weight_ - w_left;
    return gain_of(parent_, w_left, w_right, weight_,
                   mse_impurity(state.left_sum, state.left_sum_sq, w_left),
                   mse_impurity(sum_ - state.left_sum, sum_sq_ - state.left_sum_sq, w_right));
  }

 private:
  double weighted(std::uint32_t row) const noexcept {
    if constexpr (kUnit) {
      return y_[row];
    } else {
      return weights_[row] * y_[row];
    }
  }
  double inverse(std::size_t count, double w) const noexcept {
    if constexpr (kUnit) {
      return inverse_[count];
    } else {
      return 1.0 / w;
    }
  }

  const double* y_;
  const double* weights_;
  double weight_;
  const std::vector<double>& inverse_;
  std::size_t rows_ = 0;
  double sum_ = 0.0;     // S = sum of w y over the run, in run order
  double sum_sq_ = 0.0;  // Q = sum of (w y) y
  double parent_ = 0.0;
  double bound_ = 0.0;
};

// ---- poisson: weighted sums and sums of y log y -------------------------------

// Per row, poisson_term(w y, y), made once per fit: the exact gains add these.
// A part is cut from the node only where both parts hold a row whose target
// is above 0: a part of target sum 0 has no deviance (its mean is 0).
template <bool kUnit>
class PoissonCut {
 public:
  static constexpr bool kReplays = true;
  static constexpr bool kFiniteScreens = false;  // cuts that leave a part of sum 0 screen at -inf
  struct State {
    double left_sum = 0.0;       // sum of w y over the left part
    double left_terms = 0.0;     // sum of the rows' poisson terms, in the exact pass only
    std::size_t left_above = 0;  // rows of the left part whose target is above 0
  };

  PoissonCut(const double* y, const double* weights, const double* terms, double node_weight)
      : y_(y), weights_(weights), terms_(terms), weight_(node_weight) {}

  double weight() const noexcept { return weight_; }

  bool start(std::span<const ColumnEntry> run, State& state) noexcept {
    sum_ = 0.0;
    term_sum_ = 0.0;
    double term_size = 0.0;
    above_ = 0;
    for (const ColumnEntry entry : run) {
      const std::uint32_t row = entry.row();
      sum_ += weighted(row);
      term_sum_ += terms_[row];
      term_size += std::abs(terms_[row]);
      above_ += y_[row] > 0.0 ? 1 : 0;
    }
    parent_ = poisson_impurity(sum_, term_sum_, weight_);
    if (above_ < 2 || std::isnan(parent_)) return false;
    // In real arithmetic on the scan's own sums (S_l, w_l, S_r = fl(S - S_l),
    // w_r = fl(W - w_l), and the rows' terms), with m a part's mean S / w,
    // L a part's sum of terms and G the run's sum of |term|:
    //   W T = L_l + L_r - P,  P = S_l log m_l + S_r log m_r,
    // and L_l + fl(L - L_l) lies within 1.01 u G of the computed node total
    // L, so P is W (gain - c) for c = parent - L / W, up to the errors:
    // - the score: each quotient moves log m by 1.01 u, the logarithm is
    //   within 2 u |log m| and the product rounds once: within
    //   u (1.02 S + 4.02 Lambda), Lambda = S_l |log m_l| + S_r |log m_r|;
    // - each part's impurity L / w - m log m, weighted by its share: within
    //   u (4.01 |L_p| + 1.01 S_p + 7.02 S_p |log m_p|) / W, and adding the two
    //   parts u |T| (W |T| <= G + Lambda): W T within u (5.02 G + 1.01 S + 8.02 Lambda);
    // - the final subtraction, 2.02 u (W |parent| + G + Lambda).
    // In all u (8.05 G + 2.03 S + 14.06 Lambda + 2.02 W |parent|); Lambda is
    // the cut's own (screen()), the rest the run's.
    bound_ = 2 * kRoundoff * (9 * term_size + 3 * sum_ + 2.02 * weight_ * std::abs(parent_));
    restart(state);
    return true;
  }

  [[gnu::always_inline]] void move(State& state, std::size_t, std::uint32_t row,
                                   double) const noexcept {
    state.left_sum += weighted(row);
    state.left_above += y_[row] > 0.0 ? 1 : 0;
  }

  [[gnu::always_inline]] Screen screen(const State& state, std::size_t,
                                       double w_left) const noexcept {
    constexpr double kInfinity = std::numeric_limits<double>::infinity();
    if (state.left_above == 0 || state.left_above == above_) return {-kInfinity, 0.0};
    const double right_sum = sum_ - state.left_sum;
    const double log_left = std::log(state.left_sum / w_left);
    const double log_right = std::log(right_sum / (weight_ - w_left));
    const double score = state.left_sum * log_left + right_sum * log_right;
    const double spread = state.left_sum * std::abs(log_left) + right_sum * std::abs(log_right);
    return {score, bound_ + 2 * 15 * kRoundoff * spread};
  }

  void restart(State& state) const noexcept { state = State{}; }

  [[gnu::always_inline]] void replay(State& state, std::size_t, std::uint32_t row,
                                     double) const noexcept {
    state.left_sum += weighted(row);
    state.left_terms += terms_[row];
    state.left_above += y_[row] > 0.0 ? 1 : 0;
  }

  double gain(const State& state, std::size_t, double w_left) const noexcept {
    if (state.left_above == 0 || state.left_above == above_) {
      return -std::numeric_limits<double>::infinity();
    }
    const double w_right = weight_ - w_left;
    return gain_of(parent_, w_left, w_right, weight_,
                   poisson_impurity(state.left_sum, state.left_terms, w_left),
                   poisson_impurity(sum_ - state.left_sum, term_sum_ - state.left_terms, w_right));
  }

 private:
  double weighted(std::uint32_t row) const noexcept {
    if constexpr (kUnit) {
      return y_[row];
    } else {
      return weights_[row] * y_[row];
    }
  }

  const double* y_;
  const double* weights_;
  const double* terms_;
  double weight_;
  double sum_ = 0.0;       // S = sum of w y over the run, in run order
  double term_sum_ = 0.0;  // L = sum of the rows' terms
  std::size_t above_ = 0;  // rows whose target is above 0
  double parent_ = 0.0;
  double bound_ = 0.0;
};

// ---- mae: deviations from the weighted median --------------------------------

// The prepared node: its targets in ascending order (ties in the node's row
// order), shared by its runs.
struct MaeNode {
  std::vector<std::uint32_t> rows;  // the node's rows in ascending order of target
  std::vector<double> value;        // their targets
  std::vector<double> weight;       // their weights
  double total = 0.0;               // W
  double parent = 0.0;              // the node's impurity
  double abs_sum = 0.0;             // A = sum of w |y|
  double largest = 0.0;             // V = largest |y|
  bool exact = true;                // unit weights, integer targets, A below 2**53
};

struct MaeScratch {
  std::vector<std::uint32_t> rank_of;   // per row: its position in MaeNode::rows
  std::vector<std::uint32_t> position;  // per row: its position in the current run
  // Unit weights, per cut k of the current run: where the sweep found the lower
  // median of each part (its MedianSweep position, rank + 2), for the recheck.
  std::vector<std::uint32_t> left_median_at;
  std::vector<std::uint32_t> right_median_at;
  MedianSweep sweep;                    // unit weights
  WeightedMedianSweep weighted_sweep;
};

// The exact gain costs a pass over the node's sorted targets per cut, so only
// screened cuts pay it; no replay is needed.
template <bool kUnit>
class MaeCut {
 public:
  static constexpr bool kReplays = false;
  static constexpr bool kFiniteScreens = false;  // infinite targets
  struct State {
    Deviations deviations;     // of both parts after the last move
    MedianSweep::Parts parts;  // the unit-weight sweep's parts
  };

  MaeCut(const MaeNode& node, MaeScratch& scratch) : node_(node), s_(scratch) {}

  double weight() const noexcept { return node_.total; }

  bool start(std::span<const ColumnEntry> run, State& state) {
    if (std::isnan(node_.parent)) return false;
    for (std::size_t k = 0; k < run.size(); ++k)
      s_.position[run[k].row()] = static_cast<std::uint32_t>(k);
    if constexpr (kUnit) {
      state.parts = s_.sweep.start();
      s_.left_median_at.resize(run.size());
      s_.right_median_at.resize(run.size());
    } else {
      s_.weighted_sweep.start();
    }
    // The exact gain divides the parts' deviation sums D by their weights and
    // weighs them by w / W, so W T = D_left + D_right up to: the direct sums
    // (each within n u of A + W V, the median's rounding within u V per
    // target), 4 u of D for the divisions and products, and the final
    // subtraction, 2.02 u W |parent|. The screens' running sums drift:
    // unit weights, by 8 n u A (none on integer targets); weighted, the
    // Fenwick sums by 12 (n + 64) u (A + W V), the parts' weights off their
    // direct sums by 2 n u.
    const auto n = static_cast<double>(node_.rows.size());
    const double a = node_.abs_sum;
    const double w = node_.total;
    const double spread = a + 2 * w * node_.largest;
    bound_ = 2 * kRoundoff * ((n + 8) * spread + 2.02 * w * std::abs(node_.parent));
    if (!node_.exact) {
      bound_ += kUnit ? 2 * 8 * n * kRoundoff * a
                      : 2 * kRoundoff * (12 * (n + 64) + 2 * n) * (a + w * node_.largest);
    }
    return true;
  }

  [[gnu::always_inline]] void move(State& state, std::size_t, std::uint32_t row,
                                   double) const noexcept {
    const std::size_t rank = s_.rank_of[row];
    if constexpr (kUnit) {
      state.deviations = s_.sweep.move(state.parts, rank);
    } else {
      state.deviations = s_.weighted_sweep.move(rank);
    }
  }

  // With D a part's deviation sum, the gain is parent - (D_left + D_right) / W.
  // Under unit weights the parts' lower medians are noted for the recheck.
  [[gnu::always_inline]] Screen screen(const State& state, std::size_t n_left,
                                       double) const noexcept {
    if constexpr (kUnit) {
      s_.left_median_at[n_left - 1] = static_cast<std::uint32_t>(state.parts.left.median_at);
      s_.right_median_at[n_left - 1] = static_cast<std::uint32_t>(state.parts.right.median_at);
    }
    return {-(state.deviations.left + state.deviations.right), bound_};
  }

  void restart(State&) const noexcept {}
  void replay(State&, std::size_t, std::uint32_t, double) const noexcept {}

  // The parts' deviations summed from their medians in ascending order of
  // target, as weighted_mae sums them. Under unit weights a part's median is
  // its middle target by count (or the two middle ones' (a + b) * 0.5), found
  // from where the sweep left it, and both parts' deviations take one pass.
  double gain(const State& state, std::size_t k, double w_left) const {
    const double w = node_.total;
    const auto [left, right] = parts(state, k, w_left);
    return gain_of(node_.parent, w_left, w - w_left, w, left, right);
  }

  // The impurities of the cut's two parts, from which gain() takes its gain.
  std::pair<double, double> parts(const State&, std::size_t k, double w_left) const {
    const std::uint32_t* position = s_.position.data();
    const double w = node_.total;
    if constexpr (kUnit) {
      // Each part's median by count, from the lower median the sweep noted
      // and, for an even part, the part's next target in ascending order.
      const std::size_t n = node_.rows.size();
      const auto in_left = [&](std::size_t i) { return position[node_.rows[i]] <= k; };
      const auto median = [&](std::uint32_t at, std::size_t size, bool left) {
        const std::size_t low = at - 2;
        std::size_t high = low;
        if (size % 2 == 0) {
          do {
            ++high;
          } while (in_left(high) != left);
        }
        return count_median(node_.value[low], node_.value[high], size);
      };
      const double left_median = median(s_.left_median_at[k], k + 1, true);
      const double right_median = median(s_.right_median_at[k], n - (k + 1), false);
      // Both parts' deviations in one pass, each added in ascending order of
      // target: a row adds its deviation to its own part and +0.0, which changes
      // no sum, to the other, so that no branch hangs on which part it is in.
      double left = 0.0;
      double right = 0.0;
      for (std::size_t i = 0; i < n; ++i) {
        const double v = node_.value[i];
        const std::uint64_t mask = std::uint64_t{0} - static_cast<std::uint64_t>(in_left(i));
        left += std::bit_cast<double>(std::bit_cast<std::uint64_t>(std::abs(v - left_median)) & mask);
        right +=
            std::bit_cast<double>(std::bit_cast<std::uint64_t>(std::abs(v - right_median)) & ~mask);
      }
      const double w_right = w - w_left;
      return {left / w_left, right / w_right};
    } else {
      const auto part = [&](bool left) {
        return weighted_mae([&](auto&& f) {
          for (std::size_t i = 0; i < node_.rows.size(); ++i) {
            if ((position[node_.rows[i]] <= k) == left) f(node_.value[i], node_.weight[i]);
          }
        });
      };
      return {part(true), part(false)};
    }
  }

  // The screen's bound and the parent's impurity, for a criterion of several outputs.
  double bound() const noexcept { return bound_; }
  double parent() const noexcept { return node_.parent; }
  // The deviation sums' scale, A + 2 W V: no part's deviations exceed it.
  double spread() const noexcept { return node_.abs_sum + 2 * node_.total * node_.largest; }

 private:
  const MaeNode& node_;
  MaeScratch& s_;
  double bound_ = 0.0;
};

// ---- several outputs: each output's statistics side by side -----------------

// The prepared node of a fit with several outputs. Output k of row r is
// y[k * stride + r]. A classifier's class weights sit `classes` apiece per
// output (the most classes of any output), output k using its first
// output_classes[k].
struct MultiNode {
  std::size_t outputs = 0;
  std::size_t classes = 0;               // 0 for a regressor
  std::vector<std::int32_t> output_classes;
  const double* y = nullptr;
  std::size_t stride = 0;
  double weight = 0.0;                   // W, added in the node's row order
  std::vector<double> total;             // gini, entropy: the node's class weights
  // mae: each output's node and scratch, as a single output's scan prepares
  // them (its targets sorted, ties in the node's row order).
  std::vector<MaeNode> mae;
  std::vector<MaeScratch> mae_scratch;

  double target(std::size_t k, std::uint32_t row) const noexcept { return y[k * stride + row]; }
  std::size_t classes_of(std::size_t k) const noexcept {
    return static_cast<std::size_t>(output_classes[k]);
  }
};

struct MultiScratch {
  std::vector<double> left;      // per output (and class): the left part's statistics
  std::vector<double> right;     // tally: the right part's class weights
  std::vector<double> left_sq;   // mse: the left part's sums of (w y) y
  std::vector<double> sum;       // mse: the run's sums of w y
  std::vector<double> sum_sq;    // mse: the run's sums of (w y) y
};

// Every output's impurity by its own definition, their mean the node's; the
// cut's gain is gain_of over those means. Gini, entropy and mse have no
// screen: every allowed cut gets its exact gain, a few operations per output
// (a single output takes the screened criteria above, whose loops never see
// the width). Mae, whose exact gain costs a pass over the node, is MultiMaeCut.
template <Criterion kCriterion>
class MultiCut {
 public:
  static constexpr bool kReplays = true;
  static constexpr bool kFiniteScreens = false;
  struct State {};

  MultiCut(const MultiNode& node, MultiScratch& scratch) : node_(node), s_(scratch) {}

  double weight() const noexcept { return node_.weight; }

  bool start(std::span<const ColumnEntry> run, State& state) {
    const std::size_t outputs = node_.outputs;
    const double w = node_.weight;
    if constexpr (kCriterion == Criterion::Mse) {
      // The run's sums in run order, as a single output's scan adds them.
      s_.sum.assign(outputs, 0.0);
      s_.sum_sq.assign(outputs, 0.0);
      for (const ColumnEntry entry : run) {
        const std::uint32_t row = entry.row();
        const double wt = weight_of_ == nullptr ? 1.0 : weight_of_[row];
        for (std::size_t k = 0; k < outputs; ++k) {
          const double y = node_.target(k, row);
          const double wy = wt * y;
          s_.sum[k] += wy;
          s_.sum_sq[k] += wy * y;
        }
      }
      parent_ = mean_impurity(
          outputs, [&](std::size_t k) { return mse_impurity(s_.sum[k], s_.sum_sq[k], w); });
    } else {
      parent_ = mean_impurity(outputs, [&](std::size_t k) {
        return class_impurity<kGini>(node_.total.data() + k * node_.classes, node_.classes_of(k),
                                     w);
      });
    }
    if (std::isnan(parent_)) return false;  // every gain would be NaN, which never wins
    restart(state);
    return true;
  }

  void move(State&, std::size_t, std::uint32_t, double) const noexcept {}
  Screen screen(const State&, std::size_t, double) const noexcept {
    return {0.0, std::numeric_limits<double>::infinity()};
  }

  void restart(State&) {
    const std::size_t outputs = node_.outputs;
    if constexpr (kCriterion == Criterion::Mse) {
      s_.left.assign(outputs, 0.0);
      s_.left_sq.assign(outputs, 0.0);
    } else {
      s_.left.assign(node_.total.size(), 0.0);
      s_.right.assign(node_.total.begin(), node_.total.end());
    }
  }

  void replay(State&, std::size_t, std::uint32_t row, double w) {
    const std::size_t outputs = node_.outputs;
    if constexpr (kCriterion == Criterion::Mse) {
      for (std::size_t k = 0; k < outputs; ++k) {
        const double y = node_.target(k, row);
        const double wy = w * y;
        s_.left[k] += wy;
        s_.left_sq[k] += wy * y;
      }
    } else {
      for (std::size_t k = 0; k < outputs; ++k) {
        const std::size_t at = k * node_.classes + static_cast<std::size_t>(node_.target(k, row));
        s_.left[at] += w;
        s_.right[at] -= w;
      }
    }
  }

  double gain(const State&, std::size_t, double w_left) const {
    const std::size_t outputs = node_.outputs;
    const double w = node_.weight;
    const double w_right = w - w_left;
    double left = 0.0;
    double right = 0.0;
    if constexpr (kCriterion == Criterion::Mse) {
      left = mean_impurity(
          outputs, [&](std::size_t k) { return mse_impurity(s_.left[k], s_.left_sq[k], w_left); });
      right = mean_impurity(outputs, [&](std::size_t k) {
        return mse_impurity(s_.sum[k] - s_.left[k], s_.sum_sq[k] - s_.left_sq[k], w_right);
      });
    } else {
      const std::size_t c = node_.classes;
      left = mean_impurity(outputs, [&](std::size_t k) {
        return class_impurity<kGini>(s_.left.data() + k * c, node_.classes_of(k), w_left);
      });
      right = mean_impurity(outputs, [&](std::size_t k) {
        return class_impurity<kGini>(s_.right.data() + k * c, node_.classes_of(k), w_right);
      });
    }
    return gain_of(parent_, w_left, w_right, w, left, right);
  }

  // Sample weights per row, or null for unit weights (mse's run sums).
  void set_weights(const double* weights) noexcept { weight_of_ = weights; }

 private:
  static_assert(kCriterion != Criterion::Mae, "several outputs' mae is MultiMaeCut");
  static constexpr bool kGini = kCriterion == Criterion::Gini;
  const MultiNode& node_;
  MultiScratch& s_;
  const double* weight_of_ = nullptr;
  double parent_ = 0.0;
};

// Mae of several outputs: each output's MaeCut sweeps its own medians, the
// screen is the sum of theirs, and only screened cuts pay the exact gain, the
// parts' impurities of every output (MaeCut::parts) averaged into gain_of.
//
// Bound: output k's screen lies within its bound of W (g_k - c_k), g_k the
// gain its own MaeCut would compute, so the sum lies within the sum of the
// bounds of W (sum g_k) less a constant. The exact gain g of the means
// differs from (sum g_k) / K by the roundings of the two means and of
// gain_of: K u on each sum of K terms and a few u on the rest, on values
// whose W-multiples are at most W |P_k| and, for the parts, the deviation
// sums below A_k + 2 W V_k (MaeCut::spread). Doubled twice, the slack is
// 4 (K + 4) u sum_k (W |P_k| + spread_k), in units of W (K g).
template <bool kUnit>
class MultiMaeCut {
 public:
  static constexpr bool kReplays = false;
  static constexpr bool kFiniteScreens = false;
  struct State {};

  explicit MultiMaeCut(MultiNode& node) : node_(node) {
    const std::size_t outputs = node.outputs;
    cuts_.reserve(outputs);
    for (std::size_t k = 0; k < outputs; ++k) cuts_.emplace_back(node.mae[k], node.mae_scratch[k]);
    states_.resize(outputs);
    left_.resize(outputs);
    right_.resize(outputs);
  }

  double weight() const noexcept { return node_.weight; }

  bool start(std::span<const ColumnEntry> run, State&) {
    const std::size_t outputs = cuts_.size();
    parent_ = mean_impurity(outputs, [&](std::size_t k) { return cuts_[k].parent(); });
    if (std::isnan(parent_)) return false;
    bound_ = 0.0;
    double scale = 0.0;
    for (std::size_t k = 0; k < outputs; ++k) {
      if (!cuts_[k].start(run, states_[k])) return false;
      bound_ += cuts_[k].bound();
      scale += node_.weight * std::abs(cuts_[k].parent()) + cuts_[k].spread();
    }
    bound_ += 4 * (static_cast<double>(outputs) + 4) * kRoundoff * scale;
    return true;
  }

  void move(State&, std::size_t k, std::uint32_t row, double w) {
    for (std::size_t o = 0; o < cuts_.size(); ++o) cuts_[o].move(states_[o], k, row, w);
  }

  Screen screen(const State&, std::size_t n_left, double w_left) {
    double score = 0.0;
    for (std::size_t o = 0; o < cuts_.size(); ++o) {
      score += cuts_[o].screen(states_[o], n_left, w_left).score;
    }
    return {score, bound_};
  }

  void restart(State&) const noexcept {}
  void replay(State&, std::size_t, std::uint32_t, double) const noexcept {}

  double gain(const State&, std::size_t cut, double w_left) {
    const std::size_t outputs = cuts_.size();
    for (std::size_t o = 0; o < outputs; ++o) {
      std::tie(left_[o], right_[o]) = cuts_[o].parts(states_[o], cut, w_left);
    }
    const double w = node_.weight;
    return gain_of(parent_, w_left, w - w_left, w,
                   mean_impurity(outputs, [&](std::size_t o) { return left_[o]; }),
                   mean_impurity(outputs, [&](std::size_t o) { return right_[o]; }));
  }

 private:
  MultiNode& node_;
  std::vector<MaeCut<kUnit>> cuts_;
  std::vector<typename MaeCut<kUnit>::State> states_;
  std::vector<double> left_;   // per output: the current cut's parts' impurities
  std::vector<double> right_;
  double parent_ = 0.0;
  double bound_ = 0.0;
};

}  // namespace qor
