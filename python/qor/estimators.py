"""scikit-learn estimators around the native level-wise tree."""

from numbers import Integral

import numpy as np
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin, _fit_context
from sklearn.utils._param_validation import Interval, StrOptions
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import check_is_fitted, validate_data

import _qor_native

from ._arrays import tree_from_native

# The native constructor takes signed 32-bit integers.
_INT32_MAX = 2**31 - 1


class _QORTree(BaseEstimator):
    """Fitting, validation and pickling shared by both estimators.

    Validation happens here, once: the native model only guards its own
    preconditions. X may hold NaN, which every split sends to the right child,
    in fitting and in prediction alike; infinite values are refused.
    """

    _task: str  # the native task name
    _parameter_constraints: dict = {
        "max_depth": [Interval(Integral, 0, _INT32_MAX, closed="both"), None],
        "min_samples_split": [Interval(Integral, 2, _INT32_MAX, closed="both")],
        "min_samples_leaf": [Interval(Integral, 1, _INT32_MAX, closed="both")],
    }

    def _native_targets(self, y: np.ndarray) -> np.ndarray:
        """The float64 targets the native model trains on (the classifier records
        its classes_ on the way)."""
        raise NotImplementedError

    @_fit_context(prefer_skip_nested_validation=True)
    def fit(self, X, y):
        """Grows the tree on X (n_samples, n_features) and y (n_samples,); returns self."""
        X, y = validate_data(self, X, y, dtype=np.float64, order="C",
                             ensure_all_finite="allow-nan",
                             y_numeric=self._task == "regression")
        targets = self._native_targets(y)
        max_depth = _INT32_MAX if self.max_depth is None else self.max_depth
        model = _qor_native.QORModel(self._task, self.criterion, max_depth,
                                     self.min_samples_split, self.min_samples_leaf)
        model.fit(X, targets)
        self.depth_features_ = model.depth_features_
        self.tree_ = tree_from_native(model.root, targets, self.criterion,
                                      getattr(self, "n_classes_", 0), self.n_features_in_)
        self.feature_importances_ = self.tree_.feature_importances()
        return self

    def _validate_X_predict(self, X) -> np.ndarray:
        check_is_fitted(self)
        return validate_data(self, X, dtype=np.float64, ensure_all_finite="allow-nan",
                             reset=False)

    def apply(self, X) -> np.ndarray:
        """Id (in `tree_`) of the leaf that each row of X reaches."""
        X = self._validate_X_predict(X)
        return self.tree_.apply(X)

    def decision_path(self, X):
        """Sparse indicator (n_samples, node_count) of the nodes each row of X passes."""
        X = self._validate_X_predict(X)
        return self.tree_.decision_path(X)

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.input_tags.allow_nan = True
        return tags


class QORClassifier(ClassifierMixin, _QORTree):
    """A decision tree that splits every node of a depth on one shared feature.

    Growth is breadth first: at each depth the feature that most decreases the
    impurity of the whole level is chosen, and each node of the level picks its
    own threshold on it.

    Parameters
    ----------
    criterion : {"gini", "entropy"}, default="gini"
        Impurity measure for choosing splits.
    max_depth : int or None, default=5
        Number of levels that may split; 0 gives a single leaf, None grows until
        no node can split.
    min_samples_split : int, default=2
        A node with fewer training rows is not split.
    min_samples_leaf : int, default=1
        Fewest training rows either side of a split may receive.

    Attributes
    ----------
    classes_ : ndarray of shape (n_classes,)
        The sorted class labels, in the dtype of the training labels.
    n_classes_ : int
    n_features_in_ : int
    feature_names_in_ : ndarray of shape (n_features_in_,)
        Only when X was a DataFrame with string column names.
    depth_features_ : dict[int, int]
        Column that every node of each depth splits on, keyed by depth from 0.
    feature_importances_ : ndarray of shape (n_features_in_,)
        Impurity decrease of every split, weighted by the weight of the rows it
        splits and summed per feature, normalised to sum to 1; all zeros for a tree
        that never splits.
    tree_ : Tree
        The fitted tree as flat arrays with the conventions of scikit-learn's
        `Tree` (node 0 is the root, nodes breadth first). Prediction reads it alone.
    """

    _parameter_constraints: dict = {
        **_QORTree._parameter_constraints,
        "criterion": [StrOptions({"gini", "entropy"})],
    }
    _task = "classification"

    def __init__(self, *, criterion="gini", max_depth=5, min_samples_split=2, min_samples_leaf=1):
        self.criterion = criterion
        self.max_depth = max_depth
        self.min_samples_split = min_samples_split
        self.min_samples_leaf = min_samples_leaf

    def _native_targets(self, y):
        check_classification_targets(y)
        self.classes_, codes = np.unique(y, return_inverse=True)
        self.n_classes_ = len(self.classes_)
        # np.unique sorts, so code order is label order, as the native classes_ expects.
        return codes.astype(np.float64)

    def predict(self, X) -> np.ndarray:
        """The most probable class of each row, ties to the first in `classes_`."""
        proba = self.predict_proba(X)
        return self.classes_[proba.argmax(axis=1)]

    def predict_proba(self, X) -> np.ndarray:
        """Class shares among the training rows of each row's leaf, (n_samples, n_classes_)."""
        X = self._validate_X_predict(X)
        return self.tree_.predict(X)[:, 0, :]


class QORRegressor(RegressorMixin, _QORTree):
    """A regression tree that splits every node of a depth on one shared feature.

    Growth is breadth first: at each depth the feature that most decreases the
    impurity of the whole level is chosen, and each node of the level picks its
    own threshold on it. Leaves predict the mean of their training targets, also
    under "mae".

    Parameters
    ----------
    criterion : {"mse", "mae"}, default="mse"
        "mse" scores a node by the variance of its targets, "mae" by their mean
        absolute deviation from the median.
    max_depth : int or None, default=5
        Number of levels that may split; 0 gives a single leaf, None grows until
        no node can split.
    min_samples_split : int, default=2
        A node with fewer training rows is not split.
    min_samples_leaf : int, default=1
        Fewest training rows either side of a split may receive.

    Attributes
    ----------
    n_features_in_ : int
    feature_names_in_ : ndarray of shape (n_features_in_,)
        Only when X was a DataFrame with string column names.
    depth_features_ : dict[int, int]
        Column that every node of each depth splits on, keyed by depth from 0.
    feature_importances_ : ndarray of shape (n_features_in_,)
        Impurity decrease of every split, weighted by the weight of the rows it
        splits and summed per feature, normalised to sum to 1; all zeros for a tree
        that never splits.
    tree_ : Tree
        The fitted tree as flat arrays with the conventions of scikit-learn's
        `Tree` (node 0 is the root, nodes breadth first). Prediction reads it alone.
    """

    _parameter_constraints: dict = {
        **_QORTree._parameter_constraints,
        "criterion": [StrOptions({"mse", "mae"})],
    }
    _task = "regression"

    def __init__(self, *, criterion="mse", max_depth=5, min_samples_split=2, min_samples_leaf=1):
        self.criterion = criterion
        self.max_depth = max_depth
        self.min_samples_split = min_samples_split
        self.min_samples_leaf = min_samples_leaf

    def _native_targets(self, y):
        return np.ascontiguousarray(y, dtype=np.float64)

    def predict(self, X) -> np.ndarray:
        """The mean training target of the leaf each row reaches."""
        X = self._validate_X_predict(X)
        return self.tree_.predict(X)[:, 0, 0]
