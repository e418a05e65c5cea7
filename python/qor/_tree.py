"""The fitted tree as flat arrays, with the conventions of scikit-learn's `Tree`.

Tools written against scikit-learn's tree arrays (its `export_graphviz`, viewers,
converters) read a qor estimator's `tree_` as they read a DecisionTree's.
"""

import numpy as np
from scipy import sparse

from . import _core
from ._sparse import Compressed, compressed

TREE_LEAF = -1  # children_left / children_right of a leaf
TREE_UNDEFINED = -2  # feature and threshold of a leaf

_ARRAYS = {
    # name: dtype; every array has one entry per node (value: one row of classes per node)
    "children_left": np.intp,
    "children_right": np.intp,
    "feature": np.intp,
    "threshold": np.float64,
    "value": np.float64,
    "impurity": np.float64,
    "n_node_samples": np.intp,
    "weighted_n_node_samples": np.float64,
    "gain": np.float64,
    "category_start": np.intp,
    "category_end": np.intp,
}


class Tree:
    """A fitted tree, one entry per node in every array.

    Nodes are numbered breadth first: node 0 is the root, every node of depth k comes
    before any node of depth k + 1, and a node's right child directly follows its left
    child. All internal nodes of one depth split on the same feature.

    Attributes (scikit-learn's names and meanings)
    ----------------------------------------------
    node_count : int
    n_features : int
    n_outputs : int
        Targets predicted together: 1, or the columns of a 2-D y.
    n_classes : ndarray of shape (n_outputs,)
        Each output's number of classes for a classifier, 1 for a regressor.
    max_n_classes : int
    max_depth : int
        Depth of the deepest leaf (0 for a single leaf).
    children_left, children_right : ndarray of shape (node_count,)
        Child ids, -1 (TREE_LEAF) on leaves.
    feature : ndarray of shape (node_count,)
        Column the node splits on, -2 (TREE_UNDEFINED) on leaves.
    threshold : ndarray of shape (node_count,)
        x <= threshold goes left; anything else, NaN included, goes right. -2.0 on leaves.
    missing_go_to_left : ndarray of shape (node_count,)
        All zeros: missing values always go right.
    value : ndarray of shape (node_count, n_outputs, max_n_classes)
        What the node predicts, the array every prediction and export reads. Grown
        without shrinkage it is raw_value itself. With hierarchical shrinkage, each
        node's raw_value pulled towards its parent's (see `shrunk`): scikit-learn's
        tools that read `value` (export_graphviz, converters) then show and predict
        what the model predicts.
    raw_value : ndarray of shape (node_count, n_outputs, max_n_classes)
        The node's own training statistics. Classifier: per output, the weighted share
        of each class among the node's training rows (an output with fewer classes
        than max_n_classes is padded with zeros). Regressor: per output, the weighted
        mean target (the weighted median under "absolute_error"). Kept for
        explanation: class counts are raw_value times weighted_n_node_samples.
    impurity : ndarray of shape (node_count,)
        The criterion's impurity of the node's training rows (weighted); with several
        outputs, the mean of the outputs' impurities.
    n_node_samples : ndarray of shape (node_count,)
        Training rows in the node.
    weighted_n_node_samples : ndarray of shape (node_count,)
        Their summed sample weight.
    gain : ndarray of shape (node_count,)
        The split's impurity decrease relative to the node (the node's impurity less its
        children's, each weighted by its share of the node's weight); 0.0 on leaves.

    Splits on categorical features (qor's own; scikit-learn's trees have none)
    -----------------------------------------------------------------------------
    category_start, category_end : ndarray of shape (node_count,)
        Node j sends the category codes categories_left[category_start[j]:category_end[j]]
        left; any other value, missing or unseen in training, goes right. Its threshold is
        NaN. Equal (empty) on numeric splits and leaves.
    categories_left : ndarray
        The left categories of all categorical splits, ascending within each node.
    """

    def __init__(self, *, n_features: int, n_classes, categories_left=(), raw_value=None,
                 **arrays):
        """n_classes: an int for one output, or one int per output. raw_value: the
        nodes' own values when `value` holds shrunk ones; None when value is raw."""
        # Trees without categorical splits may leave out their (empty) ranges.
        for name in ("category_start", "category_end"):
            arrays.setdefault(name, np.zeros(len(arrays.get("children_left", ())), np.intp))
        if set(arrays) != set(_ARRAYS):
            raise TypeError(f"Tree needs exactly the arrays {sorted(_ARRAYS)}")
        self.n_features = int(n_features)
        self.n_classes = np.atleast_1d(np.asarray(n_classes, dtype=np.intp))
        if self.n_classes.ndim != 1 or self.n_classes.size < 1 or np.any(self.n_classes < 1):
            raise ValueError("Tree needs n_classes >= 1 for each output")
        for name, dtype in _ARRAYS.items():
            setattr(self, name, np.asarray(arrays[name], dtype=dtype))
        self.categories_left = np.asarray(categories_left, dtype=np.float64)
        self.value = self.value.reshape(self.node_count, self.n_outputs, self.max_n_classes)
        self.value.flags.writeable = False
        if raw_value is None:
            self.raw_value = self.value
        else:
            self.raw_value = np.array(raw_value, dtype=np.float64).reshape(self.value.shape)
            self.raw_value.flags.writeable = False

    @property
    def is_shrunk(self) -> bool:
        """Whether `value` holds shrunk values, apart from `raw_value`."""
        return self.raw_value is not self.value

    def shrunk(self, shrinkage: float) -> "Tree":
        """This tree with hierarchical shrinkage `shrinkage` (lambda >= 0) applied to its
        raw values: value(root) stays, and each child's value becomes its parent's
        shrunk value plus (child - parent) / (1 + lambda / N), N the parent's
        weighted_n_node_samples (computed by the core, in one fixed order). 0 gives
        the raw values back as they are."""
        state = self.__getstate__()
        state.pop("raw_value", None)
        if shrinkage == 0:
            return Tree(**{**state, "value": self.raw_value})
        return Tree(**{**state, "value": self.shrunk_values(shrinkage),
                       "raw_value": self.raw_value})

    def shrunk_values(self, shrinkage: float) -> np.ndarray:
        """The values `shrunk(shrinkage)` would hold, (node_count, n_outputs, max_n_classes)."""
        if shrinkage == 0:
            return self.raw_value
        return _core.shrunk_values(self, float(shrinkage)).reshape(self.value.shape)

    def prefix(self, depth: int) -> "Tree":
        """The tree of this one's first `depth` levels: its nodes of depth <= `depth`,
        those at `depth` made leaves. A greedy tree grown deeper holds the tree that the
        same data and parameters grow with max_depth=depth exactly so (before pruning):
        numbered breadth first, it is nodes 0 to n - 1."""
        node_depth = self.depth
        n = int(np.searchsorted(node_depth, depth, side="right"))
        cut = node_depth[:n] == depth
        state = {name: np.asarray(getattr(self, name))[:n] for name in _ARRAYS}
        for name, undefined in (("children_left", TREE_LEAF), ("children_right", TREE_LEAF),
                                ("feature", TREE_UNDEFINED), ("threshold", TREE_UNDEFINED),
                                ("gain", 0.0), ("category_start", 0), ("category_end", 0)):
            state[name] = np.where(cut, undefined, state[name])
        n_classes = self.max_n_classes if self.n_outputs == 1 else self.n_classes
        return Tree(n_features=self.n_features, n_classes=n_classes,
                    categories_left=self.categories_left,
                    raw_value=self.raw_value[:n] if self.is_shrunk else None, **state)

    @property
    def node_count(self) -> int:
        return int(self.children_left.shape[0])

    @property
    def n_outputs(self) -> int:
        return int(self.n_classes.size)

    @property
    def max_n_classes(self) -> int:
        return int(self.n_classes.max())

    @property
    def missing_go_to_left(self) -> np.ndarray:
        return np.zeros(self.node_count, dtype=np.uint8)

    @property
    def is_categorical(self) -> np.ndarray:
        """Nodes that split on a categorical feature."""
        return self.category_end > self.category_start

    def categories(self, node: int) -> np.ndarray:
        """The category codes node `node` sends left (empty unless it splits on categories)."""
        return self.categories_left[self.category_start[node]:self.category_end[node]]

    @property
    def is_leaf(self) -> np.ndarray:
        return self.children_left == TREE_LEAF

    @property
    def n_leaves(self) -> int:
        return int(self.is_leaf.sum())

    @property
    def depth(self) -> np.ndarray:
        """Depth of every node, 0 at the root."""
        depth = np.zeros(self.node_count, dtype=np.intp)
        # Breadth first: a parent's depth is known before its children's.
        for node in np.flatnonzero(~self.is_leaf):
            depth[self.children_left[node]] = depth[self.children_right[node]] = depth[node] + 1
        return depth

    @property
    def max_depth(self) -> int:
        return int(self.depth.max())

    # Prediction runs in the core, which checks every step it takes through the
    # arrays: a tree from a file or a pickle is never trusted further. X may be
    # what the estimators hand over (float64 in C order, or a sparse X compressed
    # by rows), or, called on the tree itself, any 2-d array or scipy.sparse matrix.

    def apply(self, X: np.ndarray, n_threads: int = 1) -> np.ndarray:
        """Id of the leaf that each row of X reaches."""
        X = _readable(X)
        if isinstance(X, Compressed):
            return _core.apply_sparse(self, X, n_threads)
        return _core.apply(self, X, n_threads)

    def decision_path(self, X: np.ndarray, n_threads: int = 1) -> sparse.csr_matrix:
        """Indicator matrix (n_samples, node_count): entry (i, j) is 1 when row i passes node j."""
        X = _readable(X)
        path = _core.decision_path_sparse if isinstance(X, Compressed) else _core.decision_path
        indptr, indices = path(self, X, n_threads)
        data = np.ones(indices.size, dtype=np.intp)
        return sparse.csr_matrix((data, indices, indptr), shape=(X.shape[0], self.node_count))

    def predict(self, X: np.ndarray, n_threads: int = 1) -> np.ndarray:
        """The value of each row's leaf, (n_samples, n_outputs, max_n_classes)."""
        X = _readable(X)
        value = _core.predict_value_sparse if isinstance(X, Compressed) else _core.predict_value
        return value(self, X, n_threads).reshape(X.shape[0], self.n_outputs, self.max_n_classes)

    def predict_class(self, X: np.ndarray, n_threads: int = 1) -> np.ndarray:
        """Column of each row's largest class share (the first of equal ones)."""
        X = _readable(X)
        if isinstance(X, Compressed):
            return _core.predict_class_sparse(self, X, n_threads)
        return _core.predict_class(self, X, n_threads)

    def feature_importances(self) -> np.ndarray:
        """Each split's gain weighted by the node's weight, summed per feature and
        normalised to add up to 1; all zeros when nothing decreased the impurity."""
        importances = np.zeros(self.n_features)
        inside = np.flatnonzero(~self.is_leaf)
        # A level's feature may cut a node at a gain a hair below zero; that must not
        # cancel real decreases elsewhere.
        decrease = np.maximum(self.weighted_n_node_samples[inside] * self.gain[inside], 0.0)
        np.add.at(importances, self.feature[inside], decrease)
        total = importances.sum()
        return importances / total if total > 0 else importances

    def __getstate__(self):
        state = {name: np.asarray(getattr(self, name)) for name in _ARRAYS}
        state["value"] = state["value"].reshape(self.node_count, -1)
        if self.is_shrunk:
            state["raw_value"] = self.raw_value.reshape(self.node_count, -1)
        # One output keeps the int it always had, so that older qor versions unpickle it.
        n_classes = self.max_n_classes if self.n_outputs == 1 else self.n_classes.tolist()
        return {"n_features": self.n_features, "n_classes": n_classes,
                "categories_left": self.categories_left, **state}

    def __setstate__(self, state):
        self.__init__(**state)

    def __repr__(self):
        outputs = "" if self.n_outputs == 1 else f", n_outputs={self.n_outputs}"
        return (f"Tree(node_count={self.node_count}, max_depth={self.max_depth}, "
                f"n_features={self.n_features}, n_classes={self.max_n_classes}{outputs})")


def _readable(X):
    """X as the core's prediction reads it: a sparse X compressed by rows, or a 2-d
    float64 array in C order (copied only where it is not one already)."""
    if isinstance(X, Compressed):
        return X
    if sparse.issparse(X):
        return compressed(X, by_column=False)
    X = np.ascontiguousarray(X, dtype=np.float64)
    if X.ndim != 2:
        raise ValueError(f"X must be 2-d (n_samples, n_features); got {X.ndim} dimension(s)")
    return X
