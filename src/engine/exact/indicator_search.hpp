#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/exact/cut_scan.hpp"
#include "engine/exact/frontier_columns.hpp"
#include "engine/exact/indicator_columns.hpp"
#include "engine/level/level_loop.hpp"
#include "engine/level/level_rules.hpp"
#include "engine/tree/tree_params.hpp"

namespace qor {

// A level node's class weights, as a search by class weights reads them.
struct NodeClasses {
  std::size_t rows = 0;
  double weight = 0.0;
  double impurity = 0.0;
  const double* classes = nullptr;  // its weight of each class
};

// The search of a level over indicator columns, for a classifier whose class
// weights add up exactly. A node's cut under an indicator column (zeros one
// side, the stored value the other) needs only the count and class weights of
// the node's rows that store it, so each node keeps a histogram of them, one
// entry per indicator column stored in any of its rows. A child's histogram is
// added up from its rows' columns, or, where its sibling's costs less to add
// up, is its parent's less its sibling's: exact, as every weight is a whole
// number and every sum stays below 2**53, so the cuts and gains are those of
// the row-by-row scan of the sorted column, to the bit.
class IndicatorSearch {
 public:
  // Whether the search serves a fit: one output of gini or entropy, and whole
  // weights (or none) on `rows` that add up to less than 2**53.
  static bool serves(const TreeParams& params, const double* weights,
                     std::span<const std::uint32_t> rows);

  // `frontier`'s label codes are the classes, `classes` of them.
  IndicatorSearch(const IndicatorColumns& columns, const FrontierColumns& frontier,
                  const double* weights, const LevelRules& rules, std::size_t classes);

  // Adds to `scores`, for each indicator column marked in `offered` (a byte
  // per feature), the gain of each node's cut under it that counts, in node
  // order. `tallies` are the nodes'. Histograms are kept for the level and, as
  // far as memory allows, for the next one's subtraction.
  void score(std::span<const LevelNode> nodes, std::span<const NodeClasses> tallies,
             std::span<const std::uint8_t> offered, LevelScores& scores);
  // Each node's cut under the indicator column `feature` (invalid where none
  // counts); stored_in() then tells the rows that store it.
  void cuts(std::span<const LevelNode> nodes, std::span<const NodeClasses> tallies,
            std::int32_t feature, std::vector<NodeCut>& out);
  // Whether the column of the last cuts() is stored in `row`.
  bool stored_in(std::uint32_t row) const noexcept { return stored_[row] != 0; }
  // The frontier's segments become the children of `splits`, in order (left
  // then right of each), as FrontierColumns::partition makes them.
  void split(std::span<const FrontierColumns::Split> splits);

 private:
  // One node's stored rows, per indicator column stored in any of them.
  struct Histogram {
    std::vector<std::int32_t> features;  // ascending
    std::vector<std::uint32_t> rows;     // per feature: > 0
    std::vector<double> weights;         // per feature and class
    bool built = false;
    void release() { *this = Histogram{}; }
    std::size_t bytes(std::size_t classes) const noexcept {
      return features.size() * (8 + 8 * classes);
    }
  };
  // One thread's histogram being added up: slot_of[f] (-1 between uses) is
  // where column f stands in touched, rows and weights.
  struct Scratch {
    std::vector<std::int32_t> slot_of;  // per feature
    std::vector<std::int32_t> touched;
    std::vector<std::uint32_t> rows;
    std::vector<double> weights;  // per slot and class
  };
  // Nodes whose histograms are built together: a searched node, and with it
  // its sibling where their parent's histogram is kept.
  struct Task {
    std::size_t first = 0;       // segment
    std::size_t second = kNone;  // its sibling, or kNone
    bool second_searched = false;
    std::size_t first_entries = 0;  // stored indicator entries of its rows
    std::size_t second_entries = 0;
    std::size_t bytes = 0;  // at most what their histograms take
  };
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  std::size_t entries_of(std::size_t segment) const;
  void add_up(Histogram& out, std::size_t segment, Scratch& scratch) const;
  static void subtract(Histogram& out, const Histogram& parent, const Histogram& part,
                       std::size_t classes);
  void build(const Task& task, Scratch& scratch);
  // Node t's cut under an indicator column of value `value` whose stored rows
  // in it are `rows`, weighing `stored` with `part` of each class.
  template <bool kGini>
  NodeSplit cut_of(const NodeClasses& t, std::size_t rows, double stored, const double* part,
                   double value) const;
  NodeSplit cut_of(const NodeClasses& t, std::size_t rows, double stored, const double* part,
                   double value) const;
  void add_scores(std::span<const LevelNode> nodes, std::span<const NodeClasses> tallies,
                  std::size_t begin, std::size_t end, std::span<const std::uint8_t> offered,
                  LevelScores& scores) const;

  const IndicatorColumns& columns_;
  const FrontierColumns& frontier_;
  const double* weights_;
  const LevelRules& rules_;
  std::size_t classes_;
  std::size_t budget_;                  // bytes of histograms a level may hold at once
  std::size_t held_ = 0;                // indicator columns
  std::vector<Scratch> scratch_;        // per thread
  std::vector<Histogram> level_;        // per segment of the frontier
  bool level_kept_ = false;             // level_ holds every searched node's
  std::vector<Histogram> parents_;      // per segment of the previous frontier
  std::vector<std::size_t> parent_of_;  // per segment: its parent's, or kNone
  std::vector<std::uint8_t> stored_;    // per row: 1 where the last cut's column is stored
  std::int32_t marked_ = -1;            // that column
  std::vector<double> part_;            // per thread and class
};

}  // namespace qor
