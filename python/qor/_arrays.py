"""The native tree copied into a flat `Tree`, with impurities recomputed here."""

import numpy as np

from ._tree import TREE_LEAF, TREE_UNDEFINED, Tree


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


def tree_from_native(root, targets: np.ndarray, criterion: str, n_classes: int,
                     n_features: int) -> Tree:
    """Copies a native tree into a Tree, breadth first.

    `targets` are class codes 0..K-1 for a classifier (n_classes > 0), numbers otherwise."""
    nodes = [root]
    left, right = [], []
    i = 0
    while i < len(nodes):
        node = nodes[i]
        if node.is_leaf:
            left.append(TREE_LEAF)
            right.append(TREE_LEAF)
        else:
            left.append(len(nodes))
            right.append(len(nodes) + 1)
            nodes += [node.left, node.right]
        i += 1

    impurity = IMPURITY[criterion]
    rows = [np.asarray(node.indices, dtype=np.intp) for node in nodes]
    if n_classes:
        codes = targets.astype(np.intp)
        value = np.array([np.bincount(codes[r], minlength=n_classes) / r.size if r.size
                          else np.zeros(n_classes) for r in rows])
        node_impurity = np.array([impurity(codes[r], n_classes) if r.size else 0.0
                                  for r in rows])
    else:
        value = np.array([node.value if node.is_leaf else targets[r].mean()
                          for node, r in zip(nodes, rows)])
        node_impurity = np.array([impurity(targets[r], 0) if r.size else 0.0 for r in rows])
    count = np.array([r.size for r in rows], dtype=np.intp)
    left, right = np.asarray(left, dtype=np.intp), np.asarray(right, dtype=np.intp)
    gain = np.zeros(len(nodes))
    inside = np.flatnonzero(left >= 0)
    gain[inside] = node_impurity[inside] - (
        count[left[inside]] / count[inside] * node_impurity[left[inside]]
        + count[right[inside]] / count[inside] * node_impurity[right[inside]])
    is_leaf = left < 0
    return Tree(
        n_features=n_features, n_classes=max(n_classes, 1),
        children_left=left, children_right=right,
        feature=np.where(is_leaf, TREE_UNDEFINED, [n.split_feature for n in nodes]),
        threshold=np.where(is_leaf, float(TREE_UNDEFINED), [n.split_threshold for n in nodes]),
        value=value, impurity=node_impurity, n_node_samples=count,
        weighted_n_node_samples=count.astype(np.float64), gain=gain)
