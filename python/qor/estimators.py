"""scikit-learn estimators over qor's own core."""

from numbers import Integral, Real

import numpy as np
import pandas as pd
from scipy import sparse
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin, _fit_context, clone
from sklearn.utils import Bunch
from sklearn.utils._param_validation import Interval, RealNotInt, StrOptions
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import (_check_feature_names, _check_n_features,
                                      _check_sample_weight, check_array, check_is_fitted,
                                      validate_data)

from . import _audit, _binned, _core, _growth, _sparse
from ._categories import encode, fit_encode, lookups
from ._growth import INT32_MAX as _INT32_MAX
from ._pruning import pruning_path


def _aligned(X: np.ndarray) -> np.ndarray:
    """X itself, or a copy where it does not start on a whole double (as arrays
    unpickled from a network frame may not): the core reads whole doubles."""
    return np.require(X, requirements=["C", "A"])


def _whole_numbers(y: np.ndarray) -> np.ndarray | None:
    """y itself where it holds integers, as int64 where it holds floats that are
    all whole numbers of a narrow range (NaN is none), else None."""
    if y.dtype.kind in "iu":
        return y
    if y.dtype.kind == "f":
        lo, hi = y.min(), y.max()
        if -2.0**53 < lo and hi < 2.0**53 and hi - lo <= y.size:
            whole = y.astype(np.int64)
            if (whole == y).all():
                return whole
    return None


def _class_codes(y: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The sorted labels of y, and each row's place among them as a float64 class
    code; whole-number labels of a narrow range (integers, or floats such as 0.0 and
    1.0) are counted in one pass over y instead of sorted, and mapped to their codes
    through a table; text labels are hashed and their distinct values sorted."""
    whole = _whole_numbers(y) if y.size else None
    if whole is not None:
        lo, hi = int(whole.min()), int(whole.max())
        if hi - lo <= max(y.size, 1 << 16):
            shifted = whole if lo == 0 else whole - lo
            present = np.bincount(shifted, minlength=hi - lo + 1) > 0
            code = (np.cumsum(present) - 1).astype(np.float64)
            return (np.flatnonzero(present) + lo).astype(y.dtype), code[shifted]
    if y.dtype.kind in "OSU" and y.size:
        # Labels of text compare slowly: hashed once, and only the distinct ones sorted.
        codes, distinct = pd.factorize(y, use_na_sentinel=False)
        classes, rank = np.unique(np.asarray(distinct, dtype=y.dtype), return_inverse=True)
        return classes, rank[codes].astype(np.float64)
    classes, codes = np.unique(y, return_inverse=True)
    return classes, codes.astype(np.float64)


def _check_labels(y: np.ndarray, classes: np.ndarray) -> None:
    """scikit-learn's check of classification targets, on the distinct labels of a 1-D y
    where they decide it alike (their kind and number decide it, and the warning of
    labels nearly as many as the rows cannot apply): a sort of every label of y, which
    the check costs, is then spared. Otherwise y itself is checked."""
    n = y.shape[0]
    few = len(classes) <= 20 and not (n > 20 and len(classes) > round(0.5 * n))
    check_classification_targets(classes if few else y)


class _QORTree(BaseEstimator):
    """Fitting, validation and pickling shared by both estimators.

    Validation happens here, once, into arrays the fit owns (targets and
    weights); X is read in place. The core then grows the tree with the
    interpreter lock released. X may hold NaN, which every split sends to the
    right child, in fitting and in prediction alike; infinite values are refused.
    """

    _task: str  # "classification" or "regression"
    _parameter_constraints: dict = {
        "max_depth": [Interval(Integral, 0, _INT32_MAX, closed="both"), None],
        # A float is a share of the training rows, as in scikit-learn.
        "min_samples_split": [Interval(Integral, 2, _INT32_MAX, closed="both"),
                              Interval(RealNotInt, 0.0, 1.0, closed="right")],
        "min_samples_leaf": [Interval(Integral, 1, _INT32_MAX, closed="both"),
                             Interval(RealNotInt, 0.0, 1.0, closed="neither")],
        "min_weight_fraction_leaf": [Interval(Real, 0.0, 0.5, closed="both")],
        "min_impurity_decrease": [Interval(Real, 0.0, None, closed="left")],
        "ccp_alpha": [Interval(Real, 0.0, None, closed="left")],
        "shrinkage": [Interval(Real, 0.0, None, closed="left")],
        "monotonic_cst": ["array-like", None],
        "categorical_features": ["array-like", StrOptions({"from_dtype"}), None],
        "numeric_features": ["array-like", None],
        "min_category_samples": [Interval(Integral, 1, _INT32_MAX, closed="both")],
        "category_smoothing": [Interval(Real, 0.0, None, closed="left")],
        "max_features": [Interval(Integral, 1, None, closed="left"),
                         Interval(RealNotInt, 0.0, 1.0, closed="right"),
                         StrOptions({"sqrt", "log2"}), None],
        "max_leaf_nodes": [Interval(Integral, 2, None, closed="left"), None],
        "random_state": ["random_state"],
        "n_jobs": [Integral, None],
        "max_bins": [Interval(Integral, 2, 65535, closed="both"), None],
        "level_score": [StrOptions({"sum", "weighted"})],
        "search": [StrOptions({"greedy", "lookahead"})],
        "beam_width": [Interval(Integral, 1, 1024, closed="both")],
        "lookahead_folds": [Interval(Integral, 0, 20, closed="both")],
    }

    def _targets(self, y: np.ndarray) -> np.ndarray:
        """The float64 targets the core trains on (the classifier records its
        classes_ on the way: it trains on class codes 0..K-1). Several outputs (y of
        shape (n_samples, n_outputs_)) go column after column."""
        raise NotImplementedError

    def _outputs(self, y: np.ndarray) -> np.ndarray:
        """y as it is fitted: 1-D for one output (a column, (n_samples, 1), is one output,
        as in scikit-learn), 2-D for several; records n_outputs_."""
        if y.ndim == 2 and y.shape[1] == 1:
            y = y[:, 0]
        self.n_outputs_ = 1 if y.ndim == 1 else int(y.shape[1])
        return y

    def _class_weight(self, targets: np.ndarray):
        """Per-row weights from class_weight, given the targets _targets made, or None."""
        return None

    @_fit_context(prefer_skip_nested_validation=True)
    def fit(self, X, y, sample_weight=None, bin_edges=None):
        """Grows the tree on X (n_samples, n_features) and y (n_samples,) or
        (n_samples, n_outputs); returns self.

        With several outputs, one tree predicts them all: a node's impurity is the mean
        of its outputs' impurities, as in scikit-learn.

        sample_weight (n_samples,), optional: non-negative, finite weights; a row of
        weight k counts as k copies of the row, and a row of weight 0 counts nowhere
        (as if it were not there). None weighs every row 1.
        bin_edges, optional, with max_bins set: the bins to grow from instead of
        quantiles of X, one array of upper edges per feature (ascending, ending with
        inf), such as another binned fit's `bin_edges_`.

        A fit that fails (bad input, or memory running out) leaves the estimator as it
        was: a fitted one keeps predicting with the tree it had.
        """
        return self._all_or_nothing(self._fit, X, y, sample_weight, bin_edges)

    def _all_or_nothing(self, fit, *args):
        """fit(*args), or on any failure the estimator as it was before."""
        fitted = dict(self.__dict__)
        try:
            return fit(*args)
        except BaseException:
            self.__dict__.clear()
            self.__dict__.update(fitted)
            raise

    def _fit(self, X, y, sample_weight, bin_edges):
        if self.search == "lookahead" and self.max_features is not None:
            raise ValueError("search='lookahead' scores every feature at every level and cannot "
                             "draw max_features of them: leave max_features=None, or use "
                             "search='greedy'")
        if self.lookahead_folds == 1:
            raise ValueError("lookahead_folds must be 0 (the final tree by training impurity) "
                             "or at least 2 (by inner cross-validation); got 1")
        if _sparse.issparse(y):
            raise TypeError("y must be dense: a sparse y (of several outputs) is not taken; "
                            "pass y.toarray()")
        mask = categories = frame = None
        if _sparse.issparse(X):
            _sparse.refuse_categories(_audit.declared_mask(
                self.categorical_features, list(range(X.shape[1])), "categorical_features"))
            # Before validation, which would sum duplicate entries in another order.
            X = _sparse.canonical(X, by_column=True)
        else:
            if not isinstance(X, pd.DataFrame):
                X = np.asarray(X)
            if X.ndim == 2:
                decision = _audit.check(X, self.categorical_features, self.numeric_features)
                mask = decision.categorical
                frame = X if isinstance(X, pd.DataFrame) else None
                # Columns the audit read whole are encoded from its factorization.
                known = {j: v.cells for j, v in enumerate(decision.verdicts)
                         if v.cells is not None}
                X, categories = fit_encode(
                    _audit.read_numbers(X, mask, decision.numeric, dtypes=decision.dtypes),
                    mask, as_matrix=True,
                    factorized=known)
        X, y = validate_data(self, X, y, dtype=np.float64, order="C",
                             accept_sparse=_sparse.FIT_FORMATS,
                             ensure_all_finite="allow-nan",
                             y_numeric=self._task == "regression", multi_output=True)
        if frame is not None:
            # Encoded to a matrix, X kept its column names here alone.
            if all(isinstance(name, str) for name in frame.columns):
                self.feature_names_in_ = np.asarray(frame.columns, dtype=object)
            else:
                _check_feature_names(self, frame, reset=True)
        X = _sparse.compressed(X, by_column=True) if _sparse.issparse(X) else _aligned(X)
        y = self._outputs(y)
        n = self.n_features_in_
        self.is_categorical_ = np.zeros(n, dtype=bool) if mask is None else mask
        self.categories_ = [None] * n if categories is None else categories
        self._keep_lookups()
        targets = self._targets(y)
        weights = None
        if sample_weight is not None:
            weights = _check_sample_weight(sample_weight, X, dtype=np.float64,
                                           ensure_non_negative=True, copy=True)
        by_class = self._class_weight(targets)
        if by_class is not None:
            weights = by_class if weights is None else weights * by_class
        if weights is not None:
            _growth.check_total_weight(float(weights.sum()))
        _growth.check_targets(self, targets, weights)

        n_classes = getattr(self, "n_classes_", 0)
        params = _growth.tree_params(self, X.shape[0], n_classes, self.is_categorical_,
                                     self.n_outputs_)
        if self.max_bins is None and bin_edges is None:
            grow = _core.fit_sparse if isinstance(X, _sparse.Compressed) else _core.fit
            arrays = grow(X, targets, weights, params)
            self.__dict__.pop("bin_edges_", None)
        else:
            arrays = _binned.fit(self, X, targets, weights, params, bin_edges)
        _growth.install(self, arrays, n_classes)
        return self

    def _threads(self) -> int:
        return _growth.threads(self)

    def __getstate__(self):
        state = super().__getstate__()
        state.pop("_category_lookups", None)  # rebuilt from categories_ when needed
        return state

    def _keep_lookups(self) -> None:
        """Builds the lookups of categories_ once, where they are set (a fit, a load,
        an unpickling), so that prediction reads them without changing the estimator."""
        self._category_lookups = (self.categories_, lookups(self.categories_))

    def _lookups(self) -> list:
        """The lookups of categories_: those kept, unless categories_ was replaced since."""
        kept = self.__dict__.get("_category_lookups")
        return kept[1] if kept is not None and kept[0] is self.categories_ else (
            lookups(self.categories_))

    def __setstate__(self, state):
        super().__setstate__(state)
        if "categories_" in self.__dict__:
            self._keep_lookups()
        # Fitted by a qor that grew one output only.
        if "tree_" in self.__dict__ and "n_outputs_" not in self.__dict__:
            self.n_outputs_ = 1

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

    def _validate_X_predict(self, X):
        """X as prediction reads it: a float64 array, or a sparse X compressed by rows."""
        check_is_fitted(self)
        if _sparse.issparse(X):
            _sparse.refuse_categories(self.is_categorical_)
            X = _sparse.canonical(X, by_column=False)
        else:
            frame = isinstance(X, pd.DataFrame)
            if frame:
                # Names and width first: the encoding reads columns by position.
                if not self._same_names(X):
                    _check_feature_names(self, X, reset=False)
            else:
                X = np.asarray(X)
            columns = None
            if X.ndim == 2:
                _check_n_features(self, X, reset=False)
                # A DataFrame's columns read once, for their dtypes and their encoding.
                columns = _audit.columns_of(X) if frame else None
                read = _audit.read_numbers(
                    X, self.is_categorical_, self._named_numbers(), warn=True,
                    dtypes=None if columns is None else [c.dtype for c in columns])
                if read is not X:
                    columns = None  # columns read as numbers: a new frame's
                X = read
            X = encode(X, self.is_categorical_, self.categories_, self._lookups(),
                       as_matrix=True, columns=columns)
            if frame and isinstance(X, np.ndarray):
                # The DataFrame's names and width are checked above, and the encoding
                # made a C-ordered float64 matrix: only an empty one is left to refuse.
                if X.size == 0:
                    check_array(X, dtype=np.float64, order="C", ensure_all_finite=False)
                return X
        # Infinities are refused by the core as it routes the rows: a separate pass
        # over X here would cost as much as the prediction itself.
        X = validate_data(self, X, dtype=np.float64, order="C",
                          accept_sparse=_sparse.PREDICT_FORMATS,
                          ensure_all_finite=False, reset=False)
        return _sparse.compressed(X, by_column=False) if _sparse.issparse(X) else _aligned(X)

    def _same_names(self, X: pd.DataFrame) -> bool:
        """Whether X's columns are the fit's names in the fit's order (which scikit-
        learn's check of names, a good part of a small prediction's time, passes)."""
        names = getattr(self, "feature_names_in_", None)
        return names is not None and len(names) == X.shape[1] and X.columns.tolist() == list(names)

    def _named_numbers(self):
        """The columns numeric_features names, by the names the fit saw."""
        names = getattr(self, "feature_names_in_", None)
        names = list(range(self.n_features_in_)) if names is None else [str(n) for n in names]
        return _audit.declared_mask(self.numeric_features, names, "numeric_features",
                                    from_dtype=False)

    def apply(self, X) -> np.ndarray:
        """Id (in `tree_`) of the leaf that each row of X reaches."""
        X = self._validate_X_predict(X)
        return self.tree_.apply(X, self._threads())

    def decision_path(self, X) -> sparse.csr_matrix:
        """Sparse indicator (n_samples, node_count) of the nodes each row of X passes."""
        X = self._validate_X_predict(X)
        return self.tree_.decision_path(X, self._threads())

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.input_tags.allow_nan = True
        tags.target_tags.multi_output = True
        tags.input_tags.sparse = True
        return tags


class QORClassifier(ClassifierMixin, _QORTree):
    """A decision tree that splits every node of a depth on one shared feature.

    Growth is breadth first: at each depth the feature that most decreases the
    impurity of the whole level is chosen, and each node of the level picks its
    own threshold on it.

    Parameters
    ----------
    criterion : {"gini", "entropy", "log_loss"}, default="gini"
        Impurity measure for choosing splits; "log_loss" is scikit-learn's name of
        "entropy" (the same tree).
    max_depth : int or None, default=5
        Number of levels that may split; 0 gives a single leaf, None grows until
        no node can split.
    min_samples_split : int or float, default=2
        A node with fewer training rows is not split. A float in (0, 1] is a share
        of the rows: ceil(min_samples_split * n_samples), at least 2.
    min_samples_leaf : int or float, default=1
        Fewest training rows either side of a split may receive. A float in (0, 1)
        is a share of the rows: ceil(min_samples_leaf * n_samples).
    min_weight_fraction_leaf : float in [0, 0.5], default=0.0
        Least share of the total sample weight either side of a split may receive.
    min_impurity_decrease : float, default=0.0
        A node splits only where its share of the training weight times the split's
        impurity decrease reaches this.
    max_features : int, float, "sqrt", "log2" or None, default=None
        Features each level chooses its feature from: for every level a fresh random
        draw of that many (an int; a float's share of the features; the square root
        or log2 of their count; each at least 1) from random_state; None: all of
        them. When none of a level's draw cuts any node, it draws as many again from
        the features left, until one cuts or none are left.
    max_leaf_nodes : int >= 2 or None, default=None
        Most leaves the tree may have. A level whose cuts would make more splits
        than the budget has room for (each split adds one leaf) splits only its
        nodes of largest weighted impurity decrease (the node's weight times its
        split's gain; ties to the node first in the tree), the others staying
        leaves; growth ends when the budget is spent. The level's feature is chosen
        as without a budget. None: no limit.
    random_state : int, RandomState instance or None, default=None
        Seeds the draws of max_features (one number is taken from it per fit). The
        tree is otherwise deterministic.
    class_weight : dict, list of dict, "balanced" or None, default=None
        Weights of the classes, multiplying the sample weights: {label: weight}, or
        "balanced" for n_samples / (n_classes * the class's row count). With several
        outputs, one dict per output (or "balanced", output by output), and a row's
        weight is the product of its outputs' class weights, as in scikit-learn.
    ccp_alpha : float, default=0.0
        Complexity parameter of minimal cost-complexity pruning, applied after
        growth: the largest subtree whose every collapsed branch had an effective
        alpha of at most ccp_alpha is kept. 0.0 prunes nothing. See
        `cost_complexity_pruning_path`.
    shrinkage : float >= 0, default=0.0
        Hierarchical shrinkage, applied after growth and pruning: the splits stay,
        and each node's class shares are pulled towards its parent's, from the root
        (which keeps its own) down: value'(child) = value'(parent) + (value(child) -
        value(parent)) / (1 + shrinkage / N), N the parent's weighted training rows.
        A leaf of few rows then predicts closer to what its ancestors hold; shares
        stay shares. 0.0 keeps the values as grown. `predict`, `predict_proba`, every
        export and `tree_.value` use the shrunk shares, `tree_.raw_value` keeps each
        node's own. QORClassifierCV chooses it by cross-validation.
    monotonic_cst : array-like of int of shape (n_features,) or None, default=None
        Per feature: 1 where the probability of the second class (`classes_[1]`) may
        only rise with the feature, -1 only fall, 0 free; binary classification of one
        output only. A split on a constrained feature keeps its children's values in
        that order and passes their midpoint down as a bound that every node below
        respects. A missing value counts as above every number (it goes right).
    categorical_features : "from_dtype", None, or array-like, default="from_dtype"
        Which features are categorical, as in scikit-learn: "from_dtype" takes the
        DataFrame columns of pandas category, object or string dtype; otherwise a
        boolean mask, column indices or column names; None: none. A node splits a
        categorical feature by sending a set of its categories left: it orders the
        categories it holds by their share of the second class (with more classes,
        once by each class's share, keeping the best) and cuts that order as it
        would a number. Missing values and categories not seen in fit go right.
        Before a fit, every column of X is judged (see `qor.audit`): one of row
        numbers, dates or times, identifiers, free text, numbers with a few text
        cells or written with decimal commas, or text that no declaration takes, is
        refused by one ValueError that names every such column and its fix; naming
        a column here takes its values as categories as they are.
    numeric_features : None, or array-like, default=None
        Columns to take as numbers as they are (a boolean mask, column indices or
        column names): a column of whole numbers that looks like row numbers or
        identifiers, or numbers held as text whose text cells are then missing
        values. Numbers held as text or objects are read as numbers without naming
        them where every present cell is a number.
    min_category_samples : int >= 1, default=5
        Rows of a node a category needs to be ordered by its own target; rarer
        categories go right, with the missing values and unseen categories.
    category_smoothing : float >= 0, default=10.0
        A category's share is smoothed towards the node's as if this many rows of
        the node's share (by weight) joined it: (w_c p_c + s p) / (w_c + s).
    n_jobs : int or None, default=None
        Threads of fit and prediction: None is 1, -1 all cores, -2 all but one. The
        tree and every prediction are the same for every value.
    max_bins : int in [2, 65535] or None, default=None
        None grows from the exact values. An int grows from at most that many bins per
        numeric feature (quantiles of a sample of up to 200,000 rows; a column with no
        more distinct values than that gets one bin each), one bin per category of a
        categorical feature, missing values in a bin of their own: much faster on many
        rows, with thresholds still between training values. Where every value has a
        bin and the sums are exact (classes, or integer targets, with integer weights)
        the tree is the exact one.
    level_score : {"sum", "weighted"}, default="sum"
        How a level scores a feature: "sum" adds its nodes' gains (each a node's
        impurity decrease per row of the node); "weighted" weighs each gain by its
        node's share of the weight of the level's nodes, so the score is the level's
        impurity decrease, as CART weighs a split (a large node counts more than a
        small one).
    search : {"greedy", "lookahead"}, default="greedy"
        "greedy" chooses each level's feature by its score on that level alone.
        "lookahead" keeps a beam of `beam_width` partial trees: at each level it
        extends every kept tree by every feature and keeps the extensions of lowest
        training impurity, the greedy tree's own path always among them; the final
        tree is the finalist of lowest inner cross-validated error
        (`lookahead_folds`). It never returns a tree that scores worse than the
        greedy tree on that criterion. A fit costs up to about beam_width greedy
        fits, plus lookahead_folds regrowths of every finalist (each level cut
        under its one feature); see the README's "When to use lookahead".
        Deterministic, and the same for every n_jobs. Not on qor.dask.
    beam_width : int in [1, 1024], default=16
        Partial trees lookahead keeps per level; 1 gives the greedy tree.
    lookahead_folds : int, default=3
        Folds of the inner cross-validation that picks lookahead's final tree
        among its finalists: each finalist's feature sequence is regrown on the
        rows outside a fold and scored on the fold (error rate, or squared error;
        absolute error under "mae"). 0 picks the finalist of lowest training
        impurity instead (cheaper, but it favours trees that fit noise).

    Attributes
    ----------
    classes_ : ndarray of shape (n_classes,), or list of n_outputs_ such arrays
        The sorted class labels, in the dtype of the training labels; with several
        outputs, one array per output.
    n_classes_ : int, or ndarray of shape (n_outputs_,)
    n_outputs_ : int
        The columns of a 2-D y (1 for a 1-D y, or a single column).
    n_features_in_ : int
    feature_names_in_ : ndarray of shape (n_features_in_,)
        Only when X was a DataFrame with string column names.
    is_categorical_ : ndarray of shape (n_features_in_,)
        Which features are categorical.
    categories_ : list of length n_features_in_
        Each categorical feature's categories (code i is categories_[j][i]), None for
        the others.
    depth_features_ : dict[int, int]
        Column that every node of each depth splits on, keyed by depth from 0;
        a depth that pruning left without a split is absent.
    feature_importances_ : ndarray of shape (n_features_in_,)
        Impurity decrease of every split, weighted by the weight of the rows it
        splits and summed per feature, normalised to sum to 1; all zeros for a tree
        that never splits.
    tree_ : Tree
        The fitted tree as flat arrays with the conventions of scikit-learn's
        `Tree` (node 0 is the root, nodes breadth first). Prediction reads it alone:
        `tree_.value` is what each node predicts (shrunk, with shrinkage), and
        `tree_.raw_value` each node's own training statistics.
    bin_edges_ : list of ndarray
        With max_bins set: per feature, the upper edges of the bins grown from
        (ascending, the last inf); `fit(..., bin_edges=...)` takes them back.
    lookahead_finalists_ : list of (tuple of int, float)
        With search="lookahead": every finalist of the beam as (its level features,
        its final score), the greedy tree's first. The score is the inner
        cross-validated loss summed over the folds (weighted errors, or squared or
        absolute errors), or with lookahead_folds=0 the training impurity times the
        root's weight; lower is better, and the fitted tree is the first finalist of
        the lowest score (before pruning).
    """

    _parameter_constraints: dict = {
        **_QORTree._parameter_constraints,
        "criterion": [StrOptions({"gini", "entropy", "log_loss"})],
        "class_weight": [dict, list, StrOptions({"balanced"}), None],
    }
    _task = "classification"

    def __init__(self, *, criterion="gini", max_depth=5, min_samples_split=2, min_samples_leaf=1,
                 min_weight_fraction_leaf=0.0, max_features=None, random_state=None,
                 max_leaf_nodes=None, min_impurity_decrease=0.0, class_weight=None,
                 ccp_alpha=0.0, shrinkage=0.0, monotonic_cst=None,
                 categorical_features="from_dtype", numeric_features=None,
                 min_category_samples=5, category_smoothing=10.0, n_jobs=None,
                 max_bins=None, level_score="sum", search="greedy", beam_width=16,
                 lookahead_folds=3):
        self.criterion = criterion
        self.max_depth = max_depth
        self.min_samples_split = min_samples_split
        self.min_samples_leaf = min_samples_leaf
        self.min_weight_fraction_leaf = min_weight_fraction_leaf
        self.max_features = max_features
        self.random_state = random_state
        self.max_leaf_nodes = max_leaf_nodes
        self.min_impurity_decrease = min_impurity_decrease
        self.class_weight = class_weight
        self.ccp_alpha = ccp_alpha
        self.shrinkage = shrinkage
        self.monotonic_cst = monotonic_cst
        self.categorical_features = categorical_features
        self.numeric_features = numeric_features
        self.min_category_samples = min_category_samples
        self.category_smoothing = category_smoothing
        self.n_jobs = n_jobs
        self.max_bins = max_bins
        self.level_score = level_score
        self.search = search
        self.beam_width = beam_width
        self.lookahead_folds = lookahead_folds

    def _targets(self, y):
        if y.ndim == 1:
            try:
                classes, codes = _class_codes(y)
            except TypeError:
                check_classification_targets(y)  # says what is wrong with y, as ever
                raise
            _check_labels(y, classes)
            self.classes_, self.n_classes_ = classes, len(classes)
            return codes
        check_classification_targets(y)
        self.classes_, codes = map(list, zip(*(_class_codes(column) for column in y.T)))
        self.n_classes_ = np.array([len(c) for c in self.classes_], dtype=np.intp)
        return np.concatenate(codes)

    def _class_weight(self, targets):
        if self.class_weight is None:
            return None
        classes = self.classes_ if self.n_outputs_ > 1 else [self.classes_]
        rows = targets.size // len(classes)
        codes = [targets[k * rows:(k + 1) * rows].astype(np.intp) for k in range(len(classes))]
        by_class = _growth.output_class_weights(
            self.class_weight, classes,
            [np.bincount(c, minlength=len(labels)) for c, labels in zip(codes, classes)])
        return _growth.row_class_weights(by_class, codes)

    def predict(self, X) -> np.ndarray:
        """The most probable class of each row, ties to the first in `classes_`:
        (n_samples,), or (n_samples, n_outputs_) with several outputs."""
        X = self._validate_X_predict(X)
        if self.n_outputs_ == 1:
            return self.classes_[self.tree_.predict_class(X, self._threads())]
        value = self.tree_.predict(X, self._threads())
        # One dtype that holds every output's labels (the longest string among them).
        try:
            dtype = np.result_type(*self.classes_)
        except TypeError:
            dtype = object
        out = np.empty((X.shape[0], self.n_outputs_), dtype=dtype)
        for k, labels in enumerate(self.classes_):
            out[:, k] = labels[value[:, k, :len(labels)].argmax(axis=1)]
        return out

    def predict_proba(self, X) -> np.ndarray | list[np.ndarray]:
        """Class shares of the training weight in each row's leaf, (n_samples, n_classes_);
        with several outputs, a list of one such array per output."""
        X = self._validate_X_predict(X)
        value = self.tree_.predict(X, self._threads())
        if self.n_outputs_ == 1:
            return value[:, 0, :]
        return [value[:, k, :n] for k, n in enumerate(self.n_classes_)]

    def predict_log_proba(self, X) -> np.ndarray | list[np.ndarray]:
        """Logarithm of `predict_proba`: -inf for a class absent from the row's leaf."""
        proba = self.predict_proba(X)
        with np.errstate(divide="ignore"):
            return np.log(proba) if self.n_outputs_ == 1 else [np.log(p) for p in proba]

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.classifier_tags.multi_label = True
        return tags


class QORRegressor(RegressorMixin, _QORTree):
    """A regression tree that splits every node of a depth on one shared feature.

    Growth is breadth first: at each depth the feature that most decreases the
    impurity of the whole level is chosen, and each node of the level picks its
    own threshold on it. Leaves predict the (weighted) mean of their training
    targets, or under "absolute_error" their weighted median.

    Parameters
    ----------
    criterion : {"squared_error", "absolute_error", "poisson", "mse", "mae"}, default="mse"
        "squared_error" (or "mse") scores a node by the variance of its targets,
        "absolute_error" (or "mae") by their mean absolute deviation from the median,
        and "poisson" by half their Poisson deviance, for counts: targets >= 0
        adding up to more than 0, and no split leaves a part whose targets add up
        to 0.
    max_depth : int or None, default=5
        Number of levels that may split; 0 gives a single leaf, None grows until
        no node can split.
    min_samples_split : int or float, default=2
        A node with fewer training rows is not split. A float in (0, 1] is a share
        of the rows: ceil(min_samples_split * n_samples), at least 2.
    min_samples_leaf : int or float, default=1
        Fewest training rows either side of a split may receive. A float in (0, 1)
        is a share of the rows: ceil(min_samples_leaf * n_samples).
    min_weight_fraction_leaf : float in [0, 0.5], default=0.0
        Least share of the total sample weight either side of a split may receive.
    min_impurity_decrease : float, default=0.0
        A node splits only where its share of the training weight times the split's
        impurity decrease reaches this.
    max_features : int, float, "sqrt", "log2" or None, default=None
        Features each level chooses its feature from: for every level a fresh random
        draw of that many (an int; a float's share of the features; the square root
        or log2 of their count; each at least 1) from random_state; None: all of
        them. When none of a level's draw cuts any node, it draws as many again from
        the features left, until one cuts or none are left.
    max_leaf_nodes : int >= 2 or None, default=None
        Most leaves the tree may have. A level whose cuts would make more splits
        than the budget has room for (each split adds one leaf) splits only its
        nodes of largest weighted impurity decrease (the node's weight times its
        split's gain; ties to the node first in the tree), the others staying
        leaves; growth ends when the budget is spent. The level's feature is chosen
        as without a budget. None: no limit.
    random_state : int, RandomState instance or None, default=None
        Seeds the draws of max_features (one number is taken from it per fit). The
        tree is otherwise deterministic.
    ccp_alpha : float, default=0.0
        Complexity parameter of minimal cost-complexity pruning, applied after
        growth: the largest subtree whose every collapsed branch had an effective
        alpha of at most ccp_alpha is kept. 0.0 prunes nothing. See
        `cost_complexity_pruning_path`.
    shrinkage : float >= 0, default=0.0
        Hierarchical shrinkage, applied after growth and pruning: the splits stay,
        and each node's value is pulled towards its parent's, from the root (which
        keeps its own) down: value'(child) = value'(parent) + (value(child) -
        value(parent)) / (1 + shrinkage / N), N the parent's weighted training rows.
        A leaf of few rows then predicts closer to what its ancestors hold. 0.0 keeps
        the values as grown. `predict`, every export and `tree_.value` use the shrunk
        values, `tree_.raw_value` keeps each node's own mean (or median). QORRegressorCV
        chooses it by cross-validation.
    monotonic_cst : array-like of int of shape (n_features,) or None, default=None
        Per feature: 1 where predictions may only rise with the feature, -1 only
        fall, 0 free; one output only. A split on a constrained feature keeps its
        children's values in that order and passes their midpoint down as a bound that
        every node below respects. A missing value counts as above every number (it goes right).
    categorical_features : "from_dtype", None, or array-like, default="from_dtype"
        Which features are categorical, as in scikit-learn: "from_dtype" takes the
        DataFrame columns of pandas category, object or string dtype; otherwise a
        boolean mask, column indices or column names; None: none. A node splits a
        categorical feature by sending a set of its categories left: it orders the
        categories it holds by their (weighted) mean target and cuts that order as it
        would a number. Missing values and categories not seen in fit go right.
        Before a fit, every column of X is judged (see `qor.audit`): one of row
        numbers, dates or times, identifiers, free text, numbers with a few text
        cells or written with decimal commas, or text that no declaration takes, is
        refused by one ValueError that names every such column and its fix; naming
        a column here takes its values as categories as they are.
    numeric_features : None, or array-like, default=None
        Columns to take as numbers as they are (a boolean mask, column indices or
        column names): a column of whole numbers that looks like row numbers or
        identifiers, or numbers held as text whose text cells are then missing
        values. Numbers held as text or objects are read as numbers without naming
        them where every present cell is a number.
    min_category_samples : int >= 1, default=5
        Rows of a node a category needs to be ordered by its own mean target; rarer
        categories go right, with the missing values and unseen categories.
    category_smoothing : float >= 0, default=10.0
        A category's mean target is smoothed towards the node's as if this many rows
        of the node's mean (by weight) joined it: (w_c m_c + s m) / (w_c + s).
    n_jobs : int or None, default=None
        Threads of fit and prediction: None is 1, -1 all cores, -2 all but one. The
        tree and every prediction are the same for every value.
    max_bins : int in [2, 65535] or None, default=None
        None grows from the exact values. An int grows from at most that many bins per
        numeric feature (quantiles of a sample of up to 200,000 rows; a column with no
        more distinct values than that gets one bin each), one bin per category of a
        categorical feature, missing values in a bin of their own: much faster on many
        rows, with thresholds still between training values. Where every value has a
        bin and the sums are exact (classes, or integer targets, with integer weights)
        the tree is the exact one.
    level_score : {"sum", "weighted"}, default="sum"
        How a level scores a feature: "sum" adds its nodes' gains (each a node's
        impurity decrease per row of the node); "weighted" weighs each gain by its
        node's share of the weight of the level's nodes, so the score is the level's
        impurity decrease, as CART weighs a split (a large node counts more than a
        small one).
    search : {"greedy", "lookahead"}, default="greedy"
        "greedy" chooses each level's feature by its score on that level alone.
        "lookahead" keeps a beam of `beam_width` partial trees: at each level it
        extends every kept tree by every feature and keeps the extensions of lowest
        training impurity, the greedy tree's own path always among them; the final
        tree is the finalist of lowest inner cross-validated error
        (`lookahead_folds`). It never returns a tree that scores worse than the
        greedy tree on that criterion. A fit costs up to about beam_width greedy
        fits, plus lookahead_folds regrowths of every finalist (each level cut
        under its one feature); see the README's "When to use lookahead".
        Deterministic, and the same for every n_jobs. Not on qor.dask.
    beam_width : int in [1, 1024], default=16
        Partial trees lookahead keeps per level; 1 gives the greedy tree.
    lookahead_folds : int, default=3
        Folds of the inner cross-validation that picks lookahead's final tree
        among its finalists: each finalist's feature sequence is regrown on the
        rows outside a fold and scored on the fold (error rate, or squared error;
        absolute error under "mae"). 0 picks the finalist of lowest training
        impurity instead (cheaper, but it favours trees that fit noise).

    Attributes
    ----------
    n_outputs_ : int
        The columns of a 2-D y (1 for a 1-D y, or a single column).
    n_features_in_ : int
    feature_names_in_ : ndarray of shape (n_features_in_,)
        Only when X was a DataFrame with string column names.
    is_categorical_ : ndarray of shape (n_features_in_,)
        Which features are categorical.
    categories_ : list of length n_features_in_
        Each categorical feature's categories (code i is categories_[j][i]), None for
        the others.
    depth_features_ : dict[int, int]
        Column that every node of each depth splits on, keyed by depth from 0;
        a depth that pruning left without a split is absent.
    feature_importances_ : ndarray of shape (n_features_in_,)
        Impurity decrease of every split, weighted by the weight of the rows it
        splits and summed per feature, normalised to sum to 1; all zeros for a tree
        that never splits.
    tree_ : Tree
        The fitted tree as flat arrays with the conventions of scikit-learn's
        `Tree` (node 0 is the root, nodes breadth first). Prediction reads it alone:
        `tree_.value` is what each node predicts (shrunk, with shrinkage), and
        `tree_.raw_value` each node's own training statistics.
    bin_edges_ : list of ndarray
        With max_bins set: per feature, the upper edges of the bins grown from
        (ascending, the last inf); `fit(..., bin_edges=...)` takes them back.
    lookahead_finalists_ : list of (tuple of int, float)
        With search="lookahead": every finalist of the beam as (its level features,
        its final score), the greedy tree's first. The score is the inner
        cross-validated loss summed over the folds (weighted errors, or squared or
        absolute errors), or with lookahead_folds=0 the training impurity times the
        root's weight; lower is better, and the fitted tree is the first finalist of
        the lowest score (before pruning).
    """

    _parameter_constraints: dict = {
        **_QORTree._parameter_constraints,
        "criterion": [StrOptions({"squared_error", "absolute_error", "poisson", "mse",
                                  "mae"})],
    }
    _task = "regression"

    def __init__(self, *, criterion="mse", max_depth=5, min_samples_split=2, min_samples_leaf=1,
                 min_weight_fraction_leaf=0.0, max_features=None, random_state=None,
                 max_leaf_nodes=None, min_impurity_decrease=0.0, ccp_alpha=0.0,
                 shrinkage=0.0, monotonic_cst=None, categorical_features="from_dtype",
                 numeric_features=None, min_category_samples=5, category_smoothing=10.0,
                 n_jobs=None, max_bins=None, level_score="sum", search="greedy", beam_width=16,
                 lookahead_folds=3):
        self.criterion = criterion
        self.max_depth = max_depth
        self.min_samples_split = min_samples_split
        self.min_samples_leaf = min_samples_leaf
        self.min_weight_fraction_leaf = min_weight_fraction_leaf
        self.max_features = max_features
        self.random_state = random_state
        self.max_leaf_nodes = max_leaf_nodes
        self.min_impurity_decrease = min_impurity_decrease
        self.ccp_alpha = ccp_alpha
        self.shrinkage = shrinkage
        self.monotonic_cst = monotonic_cst
        self.categorical_features = categorical_features
        self.numeric_features = numeric_features
        self.min_category_samples = min_category_samples
        self.category_smoothing = category_smoothing
        self.n_jobs = n_jobs
        self.max_bins = max_bins
        self.level_score = level_score
        self.search = search
        self.beam_width = beam_width
        self.lookahead_folds = lookahead_folds

    def _targets(self, y):
        # A copy the fit owns: nothing else can change it while the core reads it.
        return np.array(y.T, dtype=np.float64, order="C").ravel()

    def predict(self, X) -> np.ndarray:
        """The value of the leaf each row reaches: its training targets' weighted mean,
        or under "absolute_error" their weighted median; (n_samples,), or
        (n_samples, n_outputs_) with several outputs, each output's own."""
        X = self._validate_X_predict(X)
        value = self.tree_.predict(X, self._threads())
        return value[:, 0, 0] if self.n_outputs_ == 1 else value[:, :, 0]
