#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "engine/binned/bin_histogram.hpp"
#include "engine/binned/binned_search.hpp"
#include "engine/binned/bin_stats.hpp"
#include "engine/binned/bins.hpp"
#include "engine/level/level_loop.hpp"
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
// left_child[i] and left_child[i] + 1, or stayed a leaf when left_child[i] is
// -1. A numeric split sends bins up to last_left_bin[i] of `feature` left and
// every later one (NaN's too) right; a categorical one the bins b with
// left_bins[i * bins + b] set, `bins` those of the feature. The children are
// ids first_child .. first_child + children - 1.
struct LevelRouting {
  std::int32_t feature = -1;
  std::int32_t first_node = 0;
  std::vector<std::int32_t> last_left_bin;
  std::vector<std::uint8_t> left_bins;  // categorical features only; empty otherwise
  std::vector<std::int32_t> left_child;
  std::int32_t first_child = 0;
  std::int32_t children = 0;
};

// What the rows that reach each child add up to: their StatShape sums
// (`children` x width) and, for a regressor, the range of the targets of those
// (one per child and output: child c's output k at c * n_outputs + k)
// of positive weight (a classifier's sums tell whether a node holds one class).
// Sums of row blocks add up, and ranges merge, into the sums of the whole.
struct ChildSums {
  StatShape shape;
  std::vector<double> sums;
  std::vector<TargetRange> targets;

  ChildSums(const StatShape& of, std::size_t children)
      : shape(of),
        sums(children * static_cast<std::size_t>(of.width), 0.0),
        targets(children * static_cast<std::size_t>(of.n_outputs)) {}
  std::size_t size() const noexcept { return sums.size() / static_cast<std::size_t>(shape.width); }
};

// Moves every row of a split node to its child (node[r] is row r's node id)
// and adds it to its child's sums. Threads take row blocks, whose sums are
// added in block order: the result does not depend on their number.
void route_rows(const BinnedRows& rows, const LevelRouting& routing, std::span<std::int32_t> node,
                ChildSums& children, std::int32_t n_threads);

// Adds every row to `totals` (StatShape sums, in row order) and to `targets`:
// the root's statistics, or one block's share of them.
void sum_rows(const BinnedRows& rows, const StatShape& shape, std::span<double> totals,
              TargetRange& targets);
// The same for several outputs: one range per output.
void sum_rows(const BinnedRows& rows, const StatShape& shape, std::span<double> totals,
              std::span<TargetRange> targets);

// A node's summary from its StatShape sums and (for a regressor) its targets' range.
// Several outputs: one range per output, all single for a node of one target.
NodeSummary summary_of(const StatShape& shape, const double* sums,
                       std::span<const TargetRange> targets, Criterion criterion);

// Binned growth: the level loop over histograms, on the side that sees no
// rows. The rows may be one table or blocks spread over machines; for each
// level the caller
//   1. adds every block's rows to histograms() by build_slots()
//      (HistogramBuilder::accumulate, or blocks' histograms added up),
//   2. calls choose() with the value ranges of the bins over all rows,
//   3. moves every block's rows by routing() (route_rows) and hands the
//      children's sums, added up over the blocks, to finish_level().
// Nodes are numbered as in the FlatTree (breadth first), the root 0.
class BinnedGrower {
 public:
  // `root_totals` holds the StatShape::of(params.n_classes, weighted) sums of all
  // rows and `root_targets` their range (sum_rows over every block, added up).
  // Throws std::invalid_argument for what binned growth cannot grow (mae, a
  // criterion that does not suit the task).
  BinnedGrower(const BinLayout& layout, const TreeParams& params, bool weighted,
               std::span<const double> root_totals, const TargetRange& root_targets);
  // Several outputs (params.n_outputs > 1): the root's range per output.
  BinnedGrower(const BinLayout& layout, const TreeParams& params, bool weighted,
               std::span<const double> root_totals, std::span<const TargetRange> root_targets);

  const StatShape& shape() const noexcept { return shape_; }
  // The root's weight, as the rules weigh shares of it.
  double root_weight() const noexcept { return loop_.rules().root_weight; }
  // Plans the next level; false when it has no node to split, and growth is over.
  bool next_level();
  // Rows whose node has a slot here are added to histograms(); the others'
  // histograms are derived from their parents' and siblings'.
  const SlotMap& build_slots() const noexcept { return built_; }
  LevelHistograms& histograms() noexcept { return histograms_; }
  // Derives the histograms not built, and has the level loop choose the level's
  // feature and every node's cut; false when no feature cuts any node, and
  // growth is over.
  bool choose(std::span<const BinRange> ranges);
  // What every feature scores on the level, from its histograms (after they are
  // built, before choose); lookahead reads them to rank its partial trees.
  void score(LevelScores& scores);
  // choose() with the level's feature given: false when it cuts no node.
  bool choose_feature(std::span<const BinRange> ranges, std::int32_t feature);
  // How rows move on after choose(); its children are the next level's nodes.
  const LevelRouting& routing() const noexcept { return routing_; }
  // Ends the level with what the rows that reached each child add up to.
  void finish_level(const ChildSums& children);

  const FlatTree& tree() const noexcept { return loop_.tree(); }
  FlatTree take_tree() noexcept { return loop_.take_tree(); }

 private:
  // Which histograms a level makes: built from rows, or derived as the
  // parent's minus the sibling's, the smaller of two siblings built and the
  // larger derived when that is cheaper than building it.
  struct LevelPlan {
    std::vector<std::int32_t> slot;  // per frontier node: its slot, or -1 without a histogram;
                                     // the searched nodes' slots are 0, 1, ...; later slots
                                     // hold siblings built only to derive from
    std::vector<bool> derived;       // per frontier node: its slot is derived
    std::int32_t slots = 0;
  };
  enum class Stage { Plan, Build, Route, Done };

  void plan_level();
  void derive_histograms();
  std::vector<double> searched_totals() const;
  bool choose_level(std::span<const BinRange> ranges, std::int32_t forced);
  void expect(Stage stage, const char* call) const;

  StatShape shape_;
  BinLayout layout_;
  LevelLoop loop_;
  Stage stage_ = Stage::Plan;
  std::vector<double> totals_;             // per frontier node: its sums (width each)
  std::vector<std::int32_t> parent_slot_;  // per frontier node: its parent's slot, -1 at the root
  LevelPlan plan_;
  SlotMap built_;
  LevelRouting routing_;
  std::vector<NodeCut> cuts_;
  // This level's histograms and the previous level's, whose memory the next
  // two levels take over in turn.
  LevelHistograms histograms_;
  LevelHistograms parents_;
  bool have_parents_ = false;
};

struct BinnedFit {
  FlatTree tree;
  std::vector<std::int32_t> node;  // per training row: the id of the leaf it reached
};

// Grows a tree from binned rows on one machine: BinnedGrower with every row
// as one block, threads from params.n_threads. Throws std::invalid_argument
// where BinnedGrower and check_growth_inputs do.
BinnedFit grow_binned(const BinnedRows& rows, const TreeParams& params);

// The local fit: quantizes X (features declared categorical get one bin per
// category code) and grows from its bins. `sample_weight` has X.rows
// entries, or is null for unit weights; rows of weight 0 place no edge and
// widen no bin's range.
BinnedFit fit_binned(const FeatureMatrix& X, const TargetVector& y, const double* sample_weight,
                     const TreeParams& params, const BinningParams& binning);

}  // namespace qor
