#pragma once

// Lookahead: a beam over partial trees. A tree whose levels each split on one
// feature is determined by its feature sequence (each node's cut follows from
// its level's feature), so the beam searches sequences: at each level every
// kept partial tree is scored under every feature by the level search, and
// the best `width` extensions are kept. Two rules make it safe:
//
// - The greedy tree's own path is always kept (its extension by the level
//   rule's choice takes the first place), so the greedy tree is a finalist and
//   a beam of width 1 is greedy growth itself.
// - The other places go to the extensions that leave the lowest training
//   impurity (each leaf's impurity times its share of the root's weight), ties
//   to the earlier partial tree, then the lower feature.
//
// Every partial tree that can grow no further is a finalist; the final tree
// is the finalist of the lowest inner cross-validated loss (each finalist's
// feature sequence regrown on k - 1 folds of the rows and scored on the k-th),
// or, without folds, of the lowest training impurity; ties go to the greedy
// tree, then to the lower training impurity.
//
// A backend grows partial trees over some rows (the exact or the binned
// search), through:
//   State root();                    the root alone
//   bool open(State&);               starts the next level; false: no node may split
//   void score(State&, LevelScores&);  after open: every feature's scores
//   std::optional<State> extend(const State&, feature);  after open: the level
//                                    split on `feature`; none when it cuts no node
//   const FlatTree& tree(const State&);
//   double held_out_loss(const State&);  loss on the backend's held-out rows
// Nothing depends on the number of threads: the backends' searches do not.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

#include "engine/exact/column_order.hpp"
#include "engine/level/level_rules.hpp"
#include "engine/tree/flat_tree.hpp"
#include "engine/tree/tree_params.hpp"

namespace qor {

// Lookahead scores every feature at every level: a draw of max_features per
// level has no place in it (std::invalid_argument).
inline void check_lookahead(const TreeParams& params) {
  if (params.max_features > 0) {
    throw std::invalid_argument(
        "lookahead scores every feature at every level and cannot draw max_features of them; "
        "leave max_features unset, or grow greedily");
  }
}

// A grown candidate: its tree and whether it is the greedy tree.
struct Finalist {
  FlatTree tree;
  bool greedy = false;
  double impurity = 0.0;  // sum of the leaves' weight times impurity
};

// Sum over the leaves of weight times impurity: the training impurity of the
// tree, times the root's weight.
inline double leaf_impurity(const FlatTree& tree) {
  double total = 0.0;
  for (std::size_t i = 0; i < tree.node_count(); ++i) {
    if (tree.is_leaf(i)) total += tree.weighted_n_node_samples[i] * tree.impurity[i];
  }
  return total;
}

// The beam's finalists, the greedy tree first and the others by ascending
// training impurity.
template <class Backend>
std::vector<Finalist> beam_finalists(Backend& backend, std::int32_t width) {
  using State = typename Backend::State;
  struct Kept {
    State state;
    double impurity = 0.0;  // leaf_impurity of its tree
    bool greedy = false;
  };
  struct Option {
    std::size_t parent = 0;
    std::int32_t feature = -1;
    double impurity = 0.0;  // the parent's, less the decrease the feature brings
  };
  width = std::max(width, 1);
  std::vector<Finalist> done;
  std::vector<Kept> beam;
  {
    State root = backend.root();
    const double impurity = leaf_impurity(backend.tree(root));
    beam.push_back({std::move(root), impurity, true});
  }
  LevelScores scores;
  while (!beam.empty()) {
    std::vector<Option> options;
    std::optional<Option> pinned;
    std::vector<bool> open(beam.size(), false);
    for (std::size_t i = 0; i < beam.size(); ++i) {
      Kept& kept = beam[i];
      if (backend.open(kept.state)) {
        backend.score(kept.state, scores);
        const std::int32_t chosen = kept.greedy ? choose_feature(scores) : -1;
        const double weight = backend.tree(kept.state).weighted_n_node_samples[0];
        for (std::size_t f = 0; f < scores.score.size(); ++f) {
          if (scores.cuts_some_node[f] == 0) continue;
          const Option option{i, static_cast<std::int32_t>(f),
                              kept.impurity - weight * scores.decrease[f]};
          if (option.feature == chosen) {
            pinned = option;
          } else {
            options.push_back(option);
          }
          open[i] = true;
        }
      }
      if (!open[i]) {
        done.push_back({FlatTree(backend.tree(kept.state)), kept.greedy, kept.impurity});
      }
    }
    std::stable_sort(options.begin(), options.end(),
                     [](const Option& a, const Option& b) { return a.impurity < b.impurity; });
    std::vector<Option> chosen;
    if (pinned) chosen.push_back(*pinned);
    for (const Option& option : options) {
      if (chosen.size() >= static_cast<std::size_t>(width)) break;
      chosen.push_back(option);
    }
    // Extended parent by parent, the last scored first: a backend that keeps
    // one partial tree's rows at hand reloads them least.
    std::vector<std::size_t> order(chosen.size());
    for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      return chosen[a].parent > chosen[b].parent;
    });
    std::vector<std::optional<Kept>> next(chosen.size());
    for (const std::size_t k : order) {
      const Option& option = chosen[k];
      std::optional<State> grown = backend.extend(beam[option.parent].state, option.feature);
      if (!grown) continue;  // a feature that cuts some node always extends
      const double impurity = leaf_impurity(backend.tree(*grown));
      const bool greedy = pinned && k == 0;
      next[k] = Kept{std::move(*grown), impurity, greedy};
    }
    beam.clear();
    for (std::optional<Kept>& kept : next) {
      if (kept) beam.push_back(std::move(*kept));
    }
  }
  std::stable_sort(done.begin(), done.end(), [](const Finalist& a, const Finalist& b) {
    return a.greedy != b.greedy ? a.greedy : a.impurity < b.impurity;
  });
  return done;
}

// Which of k folds each of `rows` falls in: rows in ascending order of target
// (ties by a fixed hash of the row) are dealt to the folds in turn, so every
// fold holds a like share of each class, or of each range of targets.
inline std::vector<std::uint8_t> fold_of_rows(std::span<const std::uint32_t> rows, const double* y,
                                              std::int32_t folds) {
  const auto hash = [](std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
  };
  std::vector<std::pair<std::uint64_t, std::uint64_t>> keys(rows.size());
  std::vector<std::size_t> order(rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    keys[i] = {order_key(y[rows[i]]), hash(rows[i])};
    order[i] = i;
  }
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return keys[a] < keys[b] || (keys[a] == keys[b] && a < b);
  });
  std::vector<std::uint8_t> fold(rows.size());
  for (std::size_t k = 0; k < order.size(); ++k) {
    fold[order[k]] = static_cast<std::uint8_t>(k % static_cast<std::size_t>(folds));
  }
  return fold;
}

// The tree that `backend`'s rows grow when every level takes the next
// feature of `features` (as far as they cut some node), and its held-out loss.
template <class Backend>
double held_out_loss_of(Backend& backend, std::span<const std::int32_t> features) {
  using State = typename Backend::State;
  State state = backend.root();
  for (const std::int32_t feature : features) {
    if (!backend.open(state)) break;
    std::optional<State> grown = backend.extend(state, feature);
    if (!grown) break;
    state = std::move(*grown);
  }
  return backend.held_out_loss(state);
}

// Each finalist's final score, lower better: its loss summed over the folds,
// where `fold_backend(k)` makes a backend that grows on the rows outside fold
// k and holds out those in it (sorting only the features some finalist
// reads); with `folds` < 2, its training impurity (leaf_impurity).
template <class MakeBackend>
std::vector<double> finalist_scores(const std::vector<Finalist>& finalists, std::int32_t folds,
                                    MakeBackend&& fold_backend) {
  std::vector<double> loss(finalists.size(), 0.0);
  if (folds < 2 || finalists.size() <= 1) {
    for (std::size_t i = 0; i < finalists.size(); ++i) loss[i] = finalists[i].impurity;
    return loss;
  }
  for (std::int32_t k = 0; k < folds; ++k) {
    auto backend = fold_backend(k);
    for (std::size_t i = 0; i < finalists.size(); ++i) {
      loss[i] += held_out_loss_of(backend, finalists[i].tree.depth_features);
    }
  }
  return loss;
}

// What a lookahead fit returns: the tree kept, and every finalist's level
// features and final score (the greedy tree's first); the tree kept is the
// first finalist of the lowest score.
struct LookaheadFit {
  FlatTree tree;
  std::vector<std::vector<std::int32_t>> features;
  std::vector<double> scores;
  std::size_t chosen = 0;
};

inline LookaheadFit keep_best(std::vector<Finalist>& finalists, std::vector<double> scores) {
  LookaheadFit fit;
  for (std::size_t i = 1; i < finalists.size(); ++i) {
    if (scores[i] < scores[fit.chosen]) fit.chosen = i;
  }
  for (const Finalist& f : finalists) fit.features.push_back(f.tree.depth_features);
  fit.scores = std::move(scores);
  fit.tree = std::move(finalists[fit.chosen].tree);
  return fit;
}

// The features some finalist reads, ascending.
inline std::vector<std::int32_t> finalist_features(const std::vector<Finalist>& finalists) {
  std::vector<std::int32_t> features;
  for (const Finalist& f : finalists) {
    features.insert(features.end(), f.tree.depth_features.begin(), f.tree.depth_features.end());
  }
  std::sort(features.begin(), features.end());
  features.erase(std::unique(features.begin(), features.end()), features.end());
  return features;
}

}  // namespace qor
