"""The fitted tree as flat NumPy arrays.

The native model cannot be pickled, so every estimator keeps this copy of its
tree next to it and predicts from the copy alone: a fitted estimator and its
unpickled twin then share one prediction path and answer bit for bit alike.
"""

from dataclasses import dataclass

import numpy as np


@dataclass(frozen=True, eq=False)
class TreeArrays:
    """One entry per node. Nodes are numbered breadth first from the root (0),
    so all nodes of depth k come before those of depth k + 1, and a node's left
    child comes right before its right child."""

    depth: np.ndarray  # (m,) int64: 0 at the root, parent's depth + 1 below
    feature: np.ndarray  # (m,) int64: column the node splits on; -1 exactly on leaves
    threshold: np.ndarray  # (m,) float64: x <= threshold goes left, NaN right; 0.0 on leaves
    left: np.ndarray  # (m,) int64: id of the left child, greater than the node's own; -1 on leaves
    right: np.ndarray  # (m,) int64: left + 1 on internal nodes; -1 on leaves
    value: np.ndarray  # (m,) float64: leaf prediction (class code or mean target); 0.0 inside
    class_counts: np.ndarray  # (m, K) float64: training rows per class on classifier leaves, else 0
    n_node_samples: np.ndarray  # (m,) int64: training rows in the node; children add up to it

    @property
    def node_count(self) -> int:
        return int(self.feature.shape[0])

    @property
    def is_leaf(self) -> np.ndarray:
        return self.left < 0

    def apply(self, X: np.ndarray) -> np.ndarray:
        """Id of the leaf that each row of X reaches: one vectorised step per depth."""
        node = np.zeros(X.shape[0], dtype=np.intp)
        moving = np.flatnonzero(self.left[node] >= 0)
        while moving.size:
            at = node[moving]
            # An ordered comparison with NaN is false, so NaN goes right, as in the engine.
            go_left = X[moving, self.feature[at]] <= self.threshold[at]
            node[moving] = np.where(go_left, self.left[at], self.right[at])
            moving = moving[self.left[node[moving]] >= 0]
        return node

    def proba(self, leaves: np.ndarray) -> np.ndarray:
        """Class counts of the given leaves over their sum: the division the engine
        makes, so the numbers are the engine's to the last bit (sums of counts are exact)."""
        counts = self.class_counts[leaves]
        total = counts.sum(axis=1, keepdims=True)
        return np.divide(counts, total, out=np.zeros_like(counts), where=total > 0)


def flatten(root, n_classes: int) -> tuple[TreeArrays, list[np.ndarray]]:
    """Copies a native tree into TreeArrays; also returns each node's training rows,
    which the arrays do not keep."""
    nodes = [root]
    parent_depth = [0]
    left, right = [], []
    i = 0
    while i < len(nodes):
        node = nodes[i]
        if node.is_leaf:
            left.append(-1)
            right.append(-1)
        else:
            left.append(len(nodes))
            right.append(len(nodes) + 1)
            nodes += [node.left, node.right]
            parent_depth += [parent_depth[i] + 1] * 2
        i += 1

    counts = np.zeros((len(nodes), n_classes))
    for i, node in enumerate(nodes):
        if node.is_leaf and n_classes:
            counts[i] = node.class_counts
    rows = [np.asarray(node.indices, dtype=np.intp) for node in nodes]
    arrays = TreeArrays(
        depth=np.asarray(parent_depth, dtype=np.int64),
        feature=np.array([node.split_feature for node in nodes], dtype=np.int64),
        threshold=np.array([node.split_threshold for node in nodes], dtype=np.float64),
        left=np.asarray(left, dtype=np.int64),
        right=np.asarray(right, dtype=np.int64),
        value=np.array([node.value for node in nodes], dtype=np.float64),
        class_counts=counts,
        n_node_samples=np.array([r.size for r in rows], dtype=np.int64),
    )
    return arrays, rows


def _gini(codes: np.ndarray, n_classes: int) -> float:
    p = np.bincount(codes, minlength=n_classes) / codes.size
    return float(1.0 - p @ p)


def _entropy(codes: np.ndarray, n_classes: int) -> float:
    p = np.bincount(codes, minlength=n_classes) / codes.size
    p = p[p > 0]
    return float(-(p * np.log2(p)).sum())


def _mse(values: np.ndarray, _: int) -> float:
    return float(values.var())


def _mae(values: np.ndarray, _: int) -> float:
    return float(np.abs(values - np.median(values)).mean())


IMPURITY = {"gini": _gini, "entropy": _entropy, "mse": _mse, "mae": _mae}


def feature_importances(tree: TreeArrays, rows: list[np.ndarray], targets: np.ndarray,
                        criterion: str, n_features: int) -> np.ndarray:
    """Impurity decrease of every split, weighted by the rows it splits and summed
    per feature, normalised to add up to 1; all zeros when no split decreases
    anything (a tree that is a single leaf among them).

    `targets` are class codes 0..K-1 for gini and entropy, numbers otherwise."""
    impurity = IMPURITY[criterion]
    n_classes = tree.class_counts.shape[1]
    weighted = np.array([r.size * impurity(targets[r], n_classes) if r.size else 0.0
                         for r in rows])
    importances = np.zeros(n_features)
    for node in np.flatnonzero(~tree.is_leaf):
        decrease = weighted[node] - weighted[tree.left[node]] - weighted[tree.right[node]]
        # No split makes its node worse under these impurities; rounding can leave a
        # hair below zero, which must not cancel real decreases elsewhere.
        importances[tree.feature[node]] += max(decrease, 0.0)
    total = importances.sum()
    return importances / total if total > 0 else importances
