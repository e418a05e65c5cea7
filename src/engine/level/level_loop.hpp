#pragma once

// The level loop: the one driver of every fit. A search (the exact one over
// presorted columns, the binned one over histograms, on one machine or on
// Dask) answers "what does each feature score on this level, and what are the
// chosen feature's cuts", and a partition routes rows; everything else is
// decided here, once:
//
//   LevelLoop loop(params, n_features, root summary);
//   while (loop.next_level()) {              which nodes may split, and the
//                                            features the level draws
//     do search.score(loop.nodes(), loop.features(), scores);   per feature, the
//     while (loop.choose(scores) < 0         nodes' counted gains; the level's
//            && loop.draw_more());           feature, by the tie rules
//     if (loop.feature() < 0) break;
//     search.cuts(...);                      each node's cut under it
//     loop.budget(cuts);                     max_leaf_nodes
//     (route the rows, sum each child)       the partition
//     loop.split(cuts, children);            monotone bounds, records, next frontier
//   }
//
// Nodes are numbered breadth first as in the FlatTree; the frontier's nodes
// sit at positions 0, 1, ... in tree order, and the children of a level's
// splits come in the order of their parents, left before right.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/level/level_rules.hpp"
#include "engine/tree/flat_tree.hpp"
#include "engine/tree/tree_params.hpp"

namespace qor {

// What a node's rows add up to: everything the loop reads of them.
struct NodeSummary {
  std::int64_t rows = 0;       // rows of positive weight
  double weight = 0.0;         // their summed sample weight
  double impurity = 0.0;       // the criterion's impurity of those rows
  bool single_target = true;   // they all share one target (or there are none);
                               // a NaN target shares it with nothing
  std::vector<double> value;   // FlatTree::value's entries for the node

  NodeStats stats() const { return {rows, weight, impurity, value}; }
};

// A node of the level being searched.
struct LevelNode {
  std::size_t position = 0;  // in the frontier
  std::int64_t rows = 0;     // of positive weight
  double weight = 0.0;
  ValueBounds bounds;        // from monotonic constraints above it
  double share = 1.0;        // what its gain counts for in the level's score (LevelScore):
                             // 1, or its share of the searched nodes' weight
  double root_share = 0.0;   // its share of the root's weight: gain times this is the
                             // decrease of the tree's impurity that its cut brings
};

// A searched node's cut under the level's feature.
struct NodeCut {
  bool valid = false;  // false: the node stays a leaf
  double threshold = 0.0;  // x <= threshold goes left; NaN on a categorical cut
  double gain = 0.0;       // parent - (w_left / W * impurity_left + w_right / W * impurity_right)
  std::vector<double> left_categories;  // categorical: the codes that go left, ascending
  std::int64_t split_at = -1;  // the search's own mark of the cut: rows of the left
                               // part (exact), or the last bin sent left (binned)
};

// Refuses inputs that would make growth read outside them: a target and a
// weight for each of `rows` rows, class codes in [0, n_classes) for a
// classifier, weights finite and >= 0 (std::invalid_argument naming the row).
void check_growth_inputs(std::int64_t rows, const double* y, std::int64_t y_length,
                         const double* weights, const TreeParams& params);

class LevelLoop {
 public:
  // Records the root from its summary. `root_weight` of the rules is its weight.
  LevelLoop(const TreeParams& params, std::int32_t n_features, const NodeSummary& root);

  const LevelRules& rules() const noexcept { return rules_; }
  std::int32_t depth() const noexcept { return depth_; }
  std::size_t frontier_size() const noexcept { return frontier_.size(); }
  std::int64_t frontier_id(std::size_t position) const noexcept { return frontier_[position].id; }

  // Starts the next level: false when none of the frontier's nodes may split
  // or the leaf budget is spent, and growth is over.
  bool next_level();
  // The level's nodes that may split, in frontier order.
  std::span<const LevelNode> nodes() const noexcept { return nodes_; }
  // The features the level may choose from, ascending: all of them, or with
  // max_features the level's draw (see draw_more).
  std::span<const std::int32_t> features() const noexcept { return features_; }

  // Chooses the level's feature from the searched scores (one entry per
  // feature of the fit, those not in features() never cutting) and records
  // it; -1 when no feature cuts any node, and growth is over unless
  // draw_more() finds more features.
  std::int32_t choose(const LevelScores& scores);
  // After choose() found no feature among a draw: features() becomes the next
  // max_features of the level's random order, and growth goes on; false when
  // every feature has been offered.
  bool draw_more();
  std::int32_t feature() const noexcept { return feature_; }

  // Keeps the level's cuts (nodes() order) within max_leaf_nodes: where the
  // valid ones would make more leaves than the budget allows, only those of
  // largest weighted gain (node weight times gain; ties to the node first in
  // the frontier) stay valid, one new leaf each. Call after the search's cuts,
  // before the rows are routed.
  void budget(std::span<NodeCut> cuts) const;
  // Where the children of the level's splits are numbered from.
  std::int64_t first_child() const noexcept { return static_cast<std::int64_t>(tree_.node_count()); }

  // Ends the level: `cuts` holds each searched node's cut under the chosen
  // feature (nodes() order), `children` two summaries (left, right) for each
  // valid one, in that order. A split under a monotonic constraint passes the
  // midpoint of its children's values down as a bound, and every child's value
  // is kept within its bounds. The children become the frontier.
  void split(std::span<const NodeCut> cuts, std::span<const NodeSummary> children);
  // Whether the nodes of the frontier may still split (the children of the last
  // split level may not, whatever they hold).
  bool grows_further() const noexcept { return depth_ < rules_.max_depth && !frontier_.empty(); }

  const FlatTree& tree() const noexcept { return tree_; }
  FlatTree take_tree() noexcept { return std::move(tree_); }

 private:
  struct Open {
    std::int64_t id = 0;
    std::int64_t rows = 0;
    double weight = 0.0;
    bool single_target = true;
    ValueBounds bounds;
  };

  // Puts the next max_features of order_ (from drawn_ on) in features_, ascending.
  void offer_draw();

  LevelRules rules_;
  FlatTree tree_;
  std::int32_t depth_ = 0;
  std::int32_t feature_ = -1;
  bool over_ = false;
  std::int64_t leaves_ = 1;          // of the tree so far
  std::int64_t max_leaf_nodes_ = 0;  // 0: no limit
  std::size_t max_features_ = 0;     // 0: every feature, every level
  RandomStream random_;
  std::vector<std::int32_t> order_;  // the level's random order of the features
  std::size_t drawn_ = 0;            // how many of order_ have been offered
  std::vector<Open> frontier_;
  std::vector<LevelNode> nodes_;
  std::vector<std::int32_t> features_;
  std::vector<double> value_;  // scratch for a child's clipped value
};

}  // namespace qor
