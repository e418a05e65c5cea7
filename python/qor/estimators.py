"""scikit-learn estimators around the native level-wise tree."""

from numbers import Integral

import numpy as np
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin, _fit_context
from sklearn.utils._param_validation import Interval, StrOptions
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import check_is_fitted, validate_data

import _qor_native

from ._arrays import feature_importances, flatten

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
        self.tree_ = model
        self.depth_features_ = model.depth_features_
        self.tree_arrays_, rows = flatten(model.root, model.n_classes_)
        classifying = self._task == "classification"
        self.feature_importances_ = feature_importances(
            self.tree_arrays_, rows, targets.astype(np.intp) if classifying else targets,
            self.criterion, self.n_features_in_)
        return self

    def apply(self, X) -> np.ndarray:
        """Node id (in `tree_arrays_`) of the leaf that each row of X reaches."""
        check_is_fitted(self)
        X = validate_data(self, X, dtype=np.float64, ensure_all_finite="allow-nan", reset=False)
        return self.tree_arrays_.apply(X)

    def __getstate__(self):
        # The native model has no pickled form; tree_arrays_ carries the whole tree.
        state = dict(super().__getstate__())
        if "tree_" in state:
            state["tree_"] = None
        return state

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
        Impurity decrease of every split, weighted by the rows it splits and summed
        per feature, normalised to sum to 1; all zeros for a tree that never splits.
    tree_arrays_ : TreeArrays
        The fitted tree as flat arrays (node 0 is the root, nodes breadth first).
        Prediction reads these alone.
    tree_ : _qor_native.QORModel or None
        The native model that grew the tree, for inspection down to every node's
        training rows (`tree_.root`). It trains on the class codes 0..K-1, not on
        the labels. The native model cannot be pickled, so an estimator restored
        from a pickle (or deep-copied) has `tree_` None and predicts exactly as
        before from `tree_arrays_`.
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
        """The majority class of the leaf each row reaches, as a label of `classes_`."""
        leaves = self.apply(X)
        return self.classes_[self.tree_arrays_.value[leaves].astype(np.intp)]

    def predict_proba(self, X) -> np.ndarray:
        """Class shares among the training rows of each row's leaf, (n_samples, n_classes_)."""
        leaves = self.apply(X)
        return self.tree_arrays_.proba(leaves)


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
        Impurity decrease of every split, weighted by the rows it splits and summed
        per feature, normalised to sum to 1; all zeros for a tree that never splits.
    tree_arrays_ : TreeArrays
        The fitted tree as flat arrays (node 0 is the root, nodes breadth first).
        Prediction reads these alone.
    tree_ : _qor_native.QORModel or None
        The native model that grew the tree. The native model cannot be pickled,
        so an estimator restored from a pickle (or deep-copied) has `tree_` None
        and predicts exactly as before from `tree_arrays_`.
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
        leaves = self.apply(X)
        return self.tree_arrays_.value[leaves]
