"""scikit-learn estimators around the native level-wise tree."""

import math
from numbers import Integral, Real

import numpy as np
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin, _fit_context, clone
from sklearn.utils import Bunch
from sklearn.utils._param_validation import Interval, RealNotInt, StrOptions
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import check_is_fitted, validate_data

import _qor_native

from ._arrays import tree_from_native
from ._pruning import depth_features, prune, pruning_path

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
        # A float is a share of the training rows, as in scikit-learn.
        "min_samples_split": [Interval(Integral, 2, _INT32_MAX, closed="both"),
                              Interval(RealNotInt, 0.0, 1.0, closed="right")],
        "min_samples_leaf": [Interval(Integral, 1, _INT32_MAX, closed="both"),
                             Interval(RealNotInt, 0.0, 1.0, closed="neither")],
        "ccp_alpha": [Interval(Real, 0.0, None, closed="left")],
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
        min_samples_split, min_samples_leaf = self._row_limits(X.shape[0])
        model = _qor_native.QORModel(self._task, self.criterion, max_depth,
                                     min_samples_split, min_samples_leaf)
        model.fit(X, targets)
        self.depth_features_ = model.depth_features_
        self.tree_ = tree_from_native(model.root, targets, self.criterion,
                                      getattr(self, "n_classes_", 0), self.n_features_in_)
        self._prune_tree()
        return self

    def _row_limits(self, n_samples: int) -> tuple[int, int]:
        """(min_samples_split, min_samples_leaf) in rows: a float is the share
        ceil(share * n_samples), and a share never allows splitting fewer than 2 rows."""
        split, leaf = self.min_samples_split, self.min_samples_leaf
        if not isinstance(split, Integral):
            split = max(2, math.ceil(split * n_samples))
        if not isinstance(leaf, Integral):
            leaf = math.ceil(leaf * n_samples)
        return int(split), int(leaf)

    def _prune_tree(self) -> None:
        # As in scikit-learn, 0.0 keeps the tree as grown, even splits that gain nothing.
        if self.ccp_alpha == 0.0:
            return
        self.tree_ = prune(self.tree_, self.ccp_alpha)
        self.depth_features_ = depth_features(self.tree_)

    def cost_complexity_pruning_path(self, X, y, sample_weight=None) -> Bunch:
        """The minimal cost-complexity pruning path of the tree grown on X and y.

        Returns a Bunch with `ccp_alphas`, the effective alphas at which the grown tree
        loses its weakest links (ascending, from 0.0, down to the root alone), and
        `impurities`, the total leaf impurity of the tree left at each of them (each
        leaf's impurity weighted by its share of the training weight). Any `ccp_alpha`
        from `ccp_alphas[i]` up to the next alpha prunes to the i-th of those trees.
        """
        grown = clone(self).set_params(ccp_alpha=0.0)
        fit_params = {} if sample_weight is None else {"sample_weight": sample_weight}
        grown.fit(X, y, **fit_params)
        ccp_alphas, impurities = pruning_path(grown.tree_)
        return Bunch(ccp_alphas=ccp_alphas, impurities=impurities)

    @property
    def feature_importances_(self) -> np.ndarray:
        check_is_fitted(self)
        return self.tree_.feature_importances()

    def get_depth(self) -> int:
        """Depth of the fitted tree: 0 for a single leaf."""
        check_is_fitted(self)
        return self.tree_.max_depth

    def get_n_leaves(self) -> int:
        """Number of leaves of the fitted tree."""
        check_is_fitted(self)
        return self.tree_.n_leaves

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
    min_samples_split : int or float, default=2
        A node with fewer training rows is not split. A float in (0, 1] is a share
        of the rows: ceil(min_samples_split * n_samples), at least 2.
    min_samples_leaf : int or float, default=1
        Fewest training rows either side of a split may receive. A float in (0, 1)
        is a share of the rows: ceil(min_samples_leaf * n_samples).
    ccp_alpha : float, default=0.0
        Complexity parameter of minimal cost-complexity pruning, applied after
        growth: the largest subtree whose every collapsed branch had an effective
        alpha of at most ccp_alpha is kept. 0.0 prunes nothing. See
        `cost_complexity_pruning_path`.

    Attributes
    ----------
    classes_ : ndarray of shape (n_classes,)
        The sorted class labels, in the dtype of the training labels.
    n_classes_ : int
    n_features_in_ : int
    feature_names_in_ : ndarray of shape (n_features_in_,)
        Only when X was a DataFrame with string column names.
    depth_features_ : dict[int, int]
        Column that every node of each depth splits on, keyed by depth from 0;
        a depth that pruning left without a split is absent.
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

    def __init__(self, *, criterion="gini", max_depth=5, min_samples_split=2, min_samples_leaf=1,
                 ccp_alpha=0.0):
        self.criterion = criterion
        self.max_depth = max_depth
        self.min_samples_split = min_samples_split
        self.min_samples_leaf = min_samples_leaf
        self.ccp_alpha = ccp_alpha

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

    def predict_log_proba(self, X) -> np.ndarray:
        """Logarithm of `predict_proba`: -inf for a class absent from the row's leaf."""
        proba = self.predict_proba(X)
        with np.errstate(divide="ignore"):
            return np.log(proba)


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
    min_samples_split : int or float, default=2
        A node with fewer training rows is not split. A float in (0, 1] is a share
        of the rows: ceil(min_samples_split * n_samples), at least 2.
    min_samples_leaf : int or float, default=1
        Fewest training rows either side of a split may receive. A float in (0, 1)
        is a share of the rows: ceil(min_samples_leaf * n_samples).
    ccp_alpha : float, default=0.0
        Complexity parameter of minimal cost-complexity pruning, applied after
        growth: the largest subtree whose every collapsed branch had an effective
        alpha of at most ccp_alpha is kept. 0.0 prunes nothing. See
        `cost_complexity_pruning_path`.

    Attributes
    ----------
    n_features_in_ : int
    feature_names_in_ : ndarray of shape (n_features_in_,)
        Only when X was a DataFrame with string column names.
    depth_features_ : dict[int, int]
        Column that every node of each depth splits on, keyed by depth from 0;
        a depth that pruning left without a split is absent.
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

    def __init__(self, *, criterion="mse", max_depth=5, min_samples_split=2, min_samples_leaf=1,
                 ccp_alpha=0.0):
        self.criterion = criterion
        self.max_depth = max_depth
        self.min_samples_split = min_samples_split
        self.min_samples_leaf = min_samples_leaf
        self.ccp_alpha = ccp_alpha

    def _native_targets(self, y):
        return np.ascontiguousarray(y, dtype=np.float64)

    def predict(self, X) -> np.ndarray:
        """The mean training target of the leaf each row reaches."""
        X = self._validate_X_predict(X)
        return self.tree_.predict(X)[:, 0, 0]
