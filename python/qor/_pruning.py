"""Minimal cost-complexity pruning of a fitted Tree, with scikit-learn's meaning.

The cost of a subtree T is R(T) + alpha * |leaves of T|, where R(T) sums over T's leaves
each leaf's impurity times its weight, divided by the root's weight. Pruning collapses
the weakest link first: the internal node whose collapse raises R least per leaf it
removes (its effective alpha); equal alphas collapse the lowest node id first. Every
function here returns new arrays and leaves its input unchanged.
"""

import numpy as np

from ._tree import TREE_LEAF, TREE_UNDEFINED, Tree


def _weakest_links(tree: Tree, ccp_alpha: float):
    """Collapses weakest links while their effective alpha is at most `ccp_alpha`.

    Returns (kept, leaf, alphas, impurities): which nodes stay, which of them are leaves
    after pruning, and the path: the effective alpha of each collapse (0.0 first, for
    the tree as grown) with the R of the tree it leaves.
    """
    left, right = tree.children_left, tree.children_right
    leaf = tree.is_leaf.copy()
    inside = np.flatnonzero(~leaf)
    parent = np.full(tree.node_count, TREE_LEAF, dtype=np.intp)
    parent[left[inside]] = parent[right[inside]] = inside

    r_node = tree.weighted_n_node_samples * tree.impurity / tree.weighted_n_node_samples[0]
    # R and leaf count of the subtree under each node, children before parents: nodes
    # are numbered breadth first, so reversed ids visit every child before its parent.
    r_branch = np.where(leaf, r_node, 0.0)
    n_leaves = leaf.astype(np.intp)
    for node in inside[::-1]:
        r_branch[node] = r_branch[left[node]] + r_branch[right[node]]
        n_leaves[node] = n_leaves[left[node]] + n_leaves[right[node]]

    kept = np.ones(tree.node_count, dtype=bool)
    alphas, impurities = [0.0], [float(r_branch[0])]
    while not leaf[0]:
        candidates = np.flatnonzero(kept & ~leaf)
        link = (r_node[candidates] - r_branch[candidates]) / (n_leaves[candidates] - 1)
        weakest = int(link.argmin())  # the first of equal minima: the lowest id
        alpha, node = float(link[weakest]), int(candidates[weakest])
        if alpha > ccp_alpha:
            break
        below = [left[node], right[node]]
        while below:
            child = below.pop()
            kept[child] = False
            if not leaf[child]:
                below += [left[child], right[child]]
        leaf[node] = True
        removed, raised = n_leaves[node] - 1, r_node[node] - r_branch[node]
        n_leaves[node], r_branch[node] = 1, r_node[node]
        ancestor = parent[node]
        while ancestor != TREE_LEAF:
            n_leaves[ancestor] -= removed
            r_branch[ancestor] += raised
            ancestor = parent[ancestor]
        alphas.append(alpha)
        impurities.append(float(r_branch[0]))
    return kept, leaf, np.array(alphas), np.array(impurities)


def pruning_path(tree: Tree) -> tuple[np.ndarray, np.ndarray]:
    """(ccp_alphas, impurities) of the whole pruning sequence down to the root alone:
    alphas ascending from 0.0, impurities the R of the tree left after each collapse."""
    _, _, alphas, impurities = _weakest_links(tree, np.inf)
    return alphas, impurities


def prune(tree: Tree, ccp_alpha: float) -> Tree:
    """The subtree left after collapsing every weakest link of effective alpha at most
    `ccp_alpha`, renumbered breadth first; collapsed nodes keep their value."""
    kept, leaf, _, _ = _weakest_links(tree, ccp_alpha)
    if kept.all():
        return tree
    return _subtree(tree, leaf)


def _subtree(tree: Tree, leaf: np.ndarray) -> Tree:
    """The nodes reached from the root without passing a node marked `leaf`, in a new
    Tree numbered breadth first."""
    order, left, right = [0], [], []
    for node in order:  # grows while read: a breadth-first walk
        if leaf[node]:
            left.append(TREE_LEAF)
            right.append(TREE_LEAF)
        else:
            left.append(len(order))
            right.append(len(order) + 1)
            order += [int(tree.children_left[node]), int(tree.children_right[node])]
    order = np.array(order, dtype=np.intp)
    is_leaf = leaf[order]
    return Tree(
        n_features=tree.n_features,
        n_classes=tree.max_n_classes if tree.n_outputs == 1 else tree.n_classes,
        children_left=left, children_right=right,
        feature=np.where(is_leaf, TREE_UNDEFINED, tree.feature[order]),
        threshold=np.where(is_leaf, float(TREE_UNDEFINED), tree.threshold[order]),
        value=tree.value[order], impurity=tree.impurity[order],
        # A node's shrunk value depends on its ancestors alone, which pruning keeps.
        raw_value=tree.raw_value[order] if tree.is_shrunk else None,
        n_node_samples=tree.n_node_samples[order],
        weighted_n_node_samples=tree.weighted_n_node_samples[order],
        gain=np.where(is_leaf, 0.0, tree.gain[order]),
        # Categorical splits keep their ranges into the same list of categories.
        category_start=np.where(is_leaf, 0, tree.category_start[order]),
        category_end=np.where(is_leaf, 0, tree.category_end[order]),
        categories_left=tree.categories_left)


def depth_features(tree: Tree) -> dict[int, int]:
    """The feature of every depth that has a split, keyed by depth in ascending order."""
    inside = np.flatnonzero(~tree.is_leaf)
    return {int(d): int(f) for d, f in zip(tree.depth[inside], tree.feature[inside])}
