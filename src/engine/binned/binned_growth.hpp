#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "engine/binned/bin_histogram.hpp"
#include "engine/binned/bin_stats.hpp"
#include "engine/binned/bins.hpp"
#include "engine/tree/flat_tree.hpp"
#include "engine/tree/tree_params.hpp"
#include "engine/tree/views.hpp"

namespace qor {

// The targets of a node's rows of positive weight, reduced to what tells
// whether they all share one value: exact in any order, so the ranges of row
// blocks merge into the range of the whole.
struct TargetRange {
  double lo = std::numeric_limits<double>::infinity();
  double hi = -std::numeric_limits<double>::infinity();
  bool nan = false;  // a NaN target equals nothing, so its node is never of one target

  void add(double y) noexcept {
    if (std::isnan(y)) {
      nan = true;
      return;
    }
    if (y < lo) lo = y;
    if (y > hi) hi = y;
  }
  void merge(const TargetRange& other) noexcept {
    nan = nan || other.nan;
    if (other.lo < lo) lo = other.lo;
    if (other.hi > hi) hi = other.hi;
  }
  // No row of positive weight, or all of them with one target (-0.0 == +0.0).
  bool single() const noexcept { return !nan && !(lo < hi); }
};

// How the split nodes of a level send their rows on. The level's nodes are
// ids first_node, first_node + 1, ...; node first_node + i went to
// left_child[i] (bins up to last_left_bin[i] of `feature`) and left_child[i] + 1
// (all later bins), or stayed a leaf when last_left_bin[i] is -1. The
// children are ids first_child .. first_child + children - 1.
struct LevelRouting {
  std::int32_t feature = -1;
  std::int32_t first_node = 0;
  std::vector<std::int32_t> last_left_bin;
  std::vector<std::int32_t> left_child;
  std::int32_t first_child = 0;
  std::int32_t children = 0;
};

// Moves every row of a split node to its child (node[r] is row r's node id)
// and widens child_targets[id - first_child] by the targets of the rows of
// positive weight that arrive there. Threads take row blocks; the result does
// not depend on their number.
void route_rows(const BinnedRows& rows, const LevelRouting& routing, std::span<std::int32_t> node,
                std::span<TargetRange> child_targets, std::int32_t n_threads);

// Adds every row to `totals` (StatShape sums, in row order) and to `targets`:
// the root's statistics, or one block's share of them.
void sum_rows(const BinnedRows& rows, const StatShape& shape, std::span<double> totals,
              TargetRange& targets);

// The side of binned growth that sees no rows: the tree so far, the level
// being grown and its histograms. The rows may be one table or blocks spread
// over machines; for each level the caller
//   1. adds every block's rows to histograms() by build_slots()
//      (HistogramBuilder::accumulate, or blocks' histograms added up),
//   2. calls choose() with the value ranges of the bins over all rows,
//   3. moves every block's rows by routing() (route_rows) and hands the
//      children's target ranges, merged over the blocks, to finish_level().
// Nodes are numbered as in the FlatTree (breadth first), the root 0.
class BinnedGrower {
 public:
  // `root_totals` holds the StatShape::of(params.n_classes, weighted) sums of all
  // rows and `root_targets` their range (sum_rows over every block, added up).
  BinnedGrower(const BinLayout& layout, const TreeParams& params, bool weighted,
               std::span<const double> root_totals, const TargetRange& root_targets);

  const StatShape& shape() const noexcept { return shape_; }
  // Plans the next level; false when it has no node to split, and growth is over.
  // A node is split while depth < max_depth, it holds at least
  // min_samples_split rows and 2 * min_weight_leaf weight, and its rows of
  // positive weight do not all share one target.
  bool next_level();
  // Rows whose node has a slot here are added to histograms(); the others'
  // histograms are derived from their parents' and siblings'.
  const SlotMap& build_slots() const noexcept { return built_; }
  LevelHistograms& histograms() noexcept { return histograms_; }
  // Derives the histograms not built, chooses the level's feature and cuts
  // (choose_level_cut) and records the splits in the tree; false when no
  // feature cuts any node, and growth is over.
  bool choose(std::span<const BinRange> ranges);
  // How rows move on after choose(); its children are the next level's nodes.
  const LevelRouting& routing() const noexcept { return routing_; }
  // Ends the level: the children's target ranges, routing().children entries.
  void finish_level(std::span<const TargetRange> child_targets);

  const FlatTree& tree() const noexcept { return tree_; }
  FlatTree take_tree() noexcept { return std::move(tree_); }

 private:
  // One level's nodes, ids first .. first + size() - 1: their sums, the range
  // of their targets, and their parent's histogram slot in the previous
  // level. From the second level on, nodes come in sibling pairs (left, right).
  struct Frontier {
    std::int32_t first = 0;
    std::vector<double> totals;  // width per node
    std::vector<TargetRange> targets;
    std::vector<std::int32_t> parent_slot;  // -1 at the root

    std::size_t size() const noexcept { return parent_slot.size(); }
  };
  // Which histograms a level makes: built from rows, or derived as the
  // parent's minus the sibling's, the smaller of two siblings built and the
  // larger derived when that is cheaper than building it.
  struct LevelPlan {
    std::vector<std::int32_t> slot;      // per frontier node: its slot, or -1 without a histogram
    std::vector<bool> derived;           // per frontier node: its slot is derived
    std::vector<std::int32_t> searched;  // frontier positions of the splittable nodes, whose
                                         // slots are 0, 1, ...; later slots hold siblings
                                         // built only to derive from
    std::int32_t slots = 0;
  };
  enum class Stage { Plan, Build, Route, Done };

  void plan_level(const std::vector<bool>& splittable);
  void expect(Stage stage, const char* call) const;

  TreeParams params_;
  StatShape shape_;
  BinLayout layout_;
  FlatTree tree_;
  double root_weight_ = 0.0;
  std::int32_t depth_ = 0;
  Stage stage_ = Stage::Plan;
  Frontier frontier_;
  Frontier next_;
  LevelPlan plan_;
  SlotMap built_;
  LevelRouting routing_;
  // This level's histograms and the previous level's, whose memory the next
  // two levels take over in turn.
  LevelHistograms histograms_;
  LevelHistograms parents_;
  bool have_parents_ = false;
  std::vector<double> value_;  // scratch for a node's value
};

struct BinnedFit {
  FlatTree tree;
  std::vector<std::int32_t> node;  // per training row: the id of the leaf it reached
};

// Grows a tree from binned rows on one machine: BinnedGrower with every row
// as one block, threads from params.n_threads. Throws std::invalid_argument
// for mae (a part's median needs its targets in order, which bins do not
// keep), for a criterion that does not suit the task, for a class code
// outside 0..n_classes-1 and for a negative or non-finite weight.
BinnedFit grow_binned(const BinnedRows& rows, const TreeParams& params);

// The local fit: quantizes X (its features and rows) and grows from its bins.
// `sample_weight` has X.rows entries, or is null for unit weights.
BinnedFit fit_binned(const FeatureMatrix& X, const TargetVector& y, const double* sample_weight,
                     const TreeParams& params, const BinningParams& binning);

}  // namespace qor
