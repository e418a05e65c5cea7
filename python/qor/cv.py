"""Trees whose depth, search and shrinkage are chosen by cross-validation.

QORClassifierCV and QORRegressorCV score every candidate of the grid {"max_depth":
depths, "search": searches, "shrinkage": shrinkages} on the same folds, then refit the
best on all rows: the scores, the choice and the tree of GridSearchCV over that grid. They
get there by the shape of the tree rather than by a fit per candidate:

- A greedy tree grown to depth D holds every shallower greedy tree as its first levels:
  a level's feature and cuts depend on the levels above it alone (a max_leaf_nodes budget
  is spent level by level too). Numbered breadth first, the tree of the first d levels is
  nodes 0..n_d - 1, so one fit per fold, to the deepest depth asked for, scores every
  depth: a held-out row's node at depth d is the ancestor at depth d of its leaf.
- Shrinkage comes after growth, and a node's shrunk value reads its ancestors alone: each
  tree scores every shrinkage from its nodes' shrunk values, one pass over the tree each.
- Lookahead's beam picks its final tree among finalists of the full depth, so its
  shallower trees are not the first levels of deeper ones: it is fitted once per depth
  and fold, and each of those fits scores every shrinkage.
- With ccp_alpha, each depth's tree is pruned as a fit to that depth would prune it.
"""

import copy
import time
import warnings
from functools import partial
from inspect import signature
from itertools import product
from numbers import Integral

import numpy as np
import pandas as pd
from numpy.ma import MaskedArray
from scipy.stats import rankdata
from sklearn.base import _fit_context, is_classifier
from sklearn.metrics import check_scoring, get_scorer_names
from sklearn.model_selection import check_cv
from sklearn.utils import _safe_indexing
from sklearn.utils._param_validation import Interval, StrOptions
from sklearn.utils.validation import check_array, indexable

from . import _audit, _sparse
from ._pruning import prune
from .estimators import QORClassifier, QORRegressor

DEFAULT_SHRINKAGES = (0.0, 0.5, 1.0, 2.0, 5.0, 10.0, 25.0, 50.0, 100.0)
# What a search chooses, in the order GridSearchCV's grid takes them (its names sorted).
CHOSEN = ("max_depth", "search", "shrinkage")
SEARCHES = ("greedy", "lookahead")


class _HeldOutLeaves:
    """Stands for a fold's tree when its held-out rows are scored: the value of each
    row's leaf, (n_rows, n_outputs, max_n_classes), whatever rows it is asked about."""

    def __init__(self, value: np.ndarray):
        self.value = value

    def predict(self, X, n_threads=1):
        return self.value

    def predict_class(self, X, n_threads=1):
        return self.value[:, 0, :].argmax(axis=1)  # the first of equal shares, as the core


class _Answers:
    """A fold's model answering from _HeldOutLeaves: the estimator's own predict,
    predict_proba and score, with nothing left to read from X."""

    def _validate_X_predict(self, X):
        return X


class _ClassifierAnswers(_Answers, QORClassifier):
    pass


class _RegressorAnswers(_Answers, QORRegressor):
    pass


def _answering(model, value: np.ndarray):
    """`model`, predicting `value` for the held-out rows, as a scorer reads it."""
    kind = _ClassifierAnswers if isinstance(model, QORClassifier) else _RegressorAnswers
    stand_in = object.__new__(kind)
    stand_in.__dict__.update(model.__dict__)
    stand_in.tree_ = _HeldOutLeaves(value)
    return stand_in


# Entries a vectorised score takes at once: shrinkages x depths x rows x outputs.
_SCORED_AT_ONCE = 1 << 22


def _accuracies(classes, values, nodes, y, weights) -> np.ndarray:
    """accuracy_score of every (shrinkage, depth): values (shrinkages, node_count, 1,
    classes) the nodes' values, nodes (depths, rows) each held-out row's node, weights
    the rows' (or None). A node predicts the first of its largest shares, as predict
    does. Unweighted, the share of rows right is their count over the rows
    (scikit-learn's mean of 0s and 1s, whose sum is exact); weighted, the weight of the
    rows right over all of it, summed as scikit-learn sums them."""
    y = np.asarray(y).reshape(nodes.shape[1])  # one output: a column of y is that output
    right = classes[values[:, :, 0, :].argmax(axis=2)][:, nodes] == y
    if weights is None:
        return np.count_nonzero(right, axis=2) / right.shape[2]
    return np.sum(np.ascontiguousarray(right, dtype=np.float64) * weights,
                  axis=2) / np.sum(weights)


def _r2_scores(values, nodes, y, weights) -> np.ndarray:
    """r2_score of every (shrinkage, depth), its outputs averaged, summed as scikit-learn
    sums it (over the rows of each output, in row order): values (shrinkages,
    node_count, outputs, 1), nodes (depths, rows), weights the rows' (or None)."""
    y = np.asarray(y, dtype=np.float64).reshape(nodes.shape[1], -1)
    # Each tree's predictions in one block, as scikit-learn reads them.
    predicted = np.ascontiguousarray(values[:, :, :, 0][:, nodes])
    if weights is None:
        weight, mean = 1.0, np.mean(y, axis=0)
    else:
        weight = weights[:, np.newaxis]
        mean = np.sum(y * weight, axis=0) / np.sum(weight, axis=0)
    numerator = np.sum(weight * (y - predicted) ** 2, axis=2)
    denominator = np.sum(weight * (y - mean) ** 2, axis=0)
    ratio = np.divide(numerator, denominator, out=np.zeros_like(numerator),
                      where=denominator != 0)
    # A perfect fit scores 1 and a constant target 0 otherwise, as force_finite has it.
    scores = np.where(numerator == 0, 1.0, np.where(denominator == 0, 0.0, 1 - ratio))
    return np.mean(scores, axis=2)


def _takes_weights(scorer) -> bool:
    """Whether `scorer` takes sample_weight; warns, as GridSearchCV does, where it does not."""
    takes = (scorer._accept_sample_weight() if hasattr(scorer, "_accept_sample_weight")
             else "sample_weight" in signature(scorer).parameters)
    if not takes:
        warnings.warn(f"The scoring {scorer} does not support sample_weight: the held-out "
                      "rows are scored unweighted, although the trees were fitted weighted",
                      UserWarning)
    return takes


def _nodes_at_depths(tree, leaf: np.ndarray, depths) -> dict:
    """Each row's node in the tree of the first d levels, for every d of `depths`: the
    ancestor at depth d of the row's leaf, or the leaf where it lies higher."""
    inner = np.flatnonzero(~tree.is_leaf)
    parent = np.zeros(tree.node_count, dtype=np.intp)
    parent[tree.children_left[inner]] = parent[tree.children_right[inner]] = inner
    depth = tree.depth
    node, nodes = leaf, {}
    for d in range(max(depths), -1, -1):
        node = np.where(depth[node] > d, parent[node], node)  # one level up at most
        nodes[d] = node
    return {d: nodes[d] for d in depths}


class _TreeSearch:
    """The search both estimators share. `_tree` is the estimator whose trees it fits."""

    _tree: type
    _search_constraints = {
        "depths": [Interval(Integral, 1, None, closed="left"), "array-like"],
        "shrinkages": ["array-like"],
        "searches": [StrOptions(set(SEARCHES)), list, tuple],
        "cv": ["cv_object"],
        "scoring": [StrOptions(set(get_scorer_names())), callable, None],
    }

    @classmethod
    def _constraints(cls, tree: type) -> dict:
        own = {k: v for k, v in tree._parameter_constraints.items() if k not in CHOSEN}
        return {**own, **cls._search_constraints}

    def _grid(self) -> list[dict]:
        """The candidates in GridSearchCV's order: depths, then searches, then shrinkages."""
        if isinstance(self.depths, Integral):
            depths = list(range(1, self.depths + 1))
        else:
            depths = list(self.depths)
            if not depths or not all(isinstance(d, Integral) and d >= 0 for d in depths):
                raise ValueError("depths must be an int d >= 1 (the depths 1 to d) or a "
                                 f"non-empty list of ints >= 0; got {self.depths!r}")
        searches = [self.searches] if isinstance(self.searches, str) else list(self.searches)
        if not searches or not set(searches) <= set(SEARCHES):
            raise ValueError(f"searches must name some of {SEARCHES}; got {self.searches!r}")
        shrinkages = list(self.shrinkages)
        if not shrinkages or not all(np.isfinite(s) and s >= 0 for s in shrinkages):
            raise ValueError("shrinkages must be a non-empty list of finite numbers >= 0; "
                             f"got {self.shrinkages!r}")
        return [{"max_depth": int(d), "search": s, "shrinkage": float(lam)}
                for d in depths for s in searches for lam in shrinkages]

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        # Lookahead grows from dense columns alone.
        searches = [self.searches] if isinstance(self.searches, str) else self.searches
        tags.input_tags.sparse = "lookahead" not in list(searches)
        return tags

    def _tree_params(self) -> dict:
        """The parameters every tree tried takes: this estimator's, less the chosen."""
        return {name: getattr(self, name) for name in self._tree._get_param_names()
                if name not in CHOSEN}

    def _new_tree(self, params: dict, **chosen):
        """A tree estimator of `params` and `chosen`, its parameters copied as clone
        copies them (a RandomState draws anew for every fit, from where it stood)."""
        return self._tree(**copy.deepcopy(params), **chosen)

    @_fit_context(prefer_skip_nested_validation=True)
    def fit(self, X, y, sample_weight=None, groups=None):
        """Scores every candidate on the folds of `cv` (split with `groups` where the
        splitter takes them), then fits the best on all rows; returns self.

        sample_weight weighs the rows of every fit (each fold's training rows by
        theirs), and the held-out rows count by theirs where the scorer takes weights
        (a warning says where it does not), as in GridSearchCV since scikit-learn 1.7. A
        fit that fails leaves the estimator as it was.
        """
        return self._all_or_nothing(self._search, X, y, sample_weight, groups)

    def _search(self, X, y, sample_weight, groups):
        candidates = self._grid()
        params = self._tree_params()
        if y is None:
            raise ValueError(f"{type(self).__name__} requires y to be passed, but the target "
                             "y is None")
        # Refused as the trees refuse it, before any fold is cut.
        check_array(y, ensure_2d=False, dtype=None, input_name="y")
        if _sparse.issparse(X) and any(c["search"] == "lookahead" for c in candidates):
            raise ValueError("searches with 'lookahead' need a dense X, from which lookahead "
                             "grows: pass searches='greedy' for the sparse matrix, or "
                             "X.toarray()")
        if not _sparse.issparse(X):
            X = X if isinstance(X, pd.DataFrame) else np.asarray(X)
            if X.ndim == 2:
                # Judged once on all rows, refused before any fold is cut, and declared to
                # every tree, so that no fold's rows change a column's kind.
                decision = _audit.check(X, params["categorical_features"],
                                        params["numeric_features"])
                named = isinstance(X, pd.DataFrame) and all(isinstance(c, str)
                                                            for c in X.columns)
                params.update(_audit.declarations(decision, by_name=named))
        X, y, groups = indexable(X, y, groups)
        if sample_weight is not None:
            sample_weight = np.asarray(sample_weight)
        splits = list(check_cv(self.cv, y, classifier=is_classifier(self)).split(X, y, groups))
        scorer = check_scoring(self._tree(), scoring=self.scoring)
        # Held-out rows count by their weights, as GridSearchCV counts them (since
        # scikit-learn 1.7) where the scorer takes weights.
        weighted = sample_weight is not None and _takes_weights(scorer)
        at = {}  # (max_depth, search, shrinkage) -> the candidates' indices
        for i, c in enumerate(candidates):
            at.setdefault((c["max_depth"], c["search"], c["shrinkage"]), []).append(i)
        depths = sorted({c["max_depth"] for c in candidates})
        shrinkages = list(dict.fromkeys(c["shrinkage"] for c in candidates))
        shape = (len(candidates), len(splits))
        scores, fit_times, score_times = np.empty(shape), np.empty(shape), np.empty(shape)
        # The columns declared numbers read the folds' text cells as missing values.
        with _audit.quiet_named_numbers():
            for k, (train, test) in enumerate(splits):
                X_train, y_train = _safe_indexing(X, train), _safe_indexing(y, train)
                X_test, y_test = _safe_indexing(X, test), _safe_indexing(y, test)
                weights = {} if sample_weight is None else {
                    "sample_weight": _safe_indexing(sample_weight, train)}
                held_out = None if not weighted else np.asarray(_safe_indexing(sample_weight, test),
                                                                dtype=np.float64)
                for search in dict.fromkeys(c["search"] for c in candidates):
                    for model, tree, rows, seconds in self._fold_trees(
                            params, search, depths, X_train, y_train, weights, X_test):
                        began = time.perf_counter()
                        table = self._scores(model, tree, shrinkages, rows,
                                             (X_test, y_test, held_out), scorer)
                        share = (time.perf_counter() - began) / table.size
                        for (a, lam), (b, d) in product(enumerate(shrinkages), enumerate(rows)):
                            for i in at[(d, search, lam)]:
                                scores[i, k], fit_times[i, k] = table[a, b], seconds
                                score_times[i, k] = share
        self._store(candidates, scores, fit_times, score_times)
        self.n_splits_, self.scorer_ = len(splits), scorer

        best = self._new_tree(params, **self.best_params_)
        began = time.perf_counter()
        best.fit(X, y, **({} if sample_weight is None else {"sample_weight": sample_weight}))
        self.refit_time_ = time.perf_counter() - began
        for name in [name for name in self.__dict__ if name.endswith("_")
                     and not name.startswith("_") and name not in _SEARCH_RESULTS]:
            del self.__dict__[name]  # a previous fit's, which this tree may not have
        self.__dict__.update({name: value for name, value in best.__dict__.items()
                              if name.endswith("_") and not name.startswith("_")})
        self.best_estimator_ = best
        return self

    def _fold_trees(self, params, search, depths, X_train, y_train, weights, X_test):
        """(model, tree, {depth: each held-out row's node}, fit seconds) of a fold: the
        trees whose nodes stand for the candidates of `search` at each depth."""
        ccp_alpha = params["ccp_alpha"]
        if search == "lookahead":
            for d in depths:
                began = time.perf_counter()
                model = self._new_tree(params, max_depth=d, search=search).fit(
                    X_train, y_train, **weights)
                seconds = time.perf_counter() - began
                yield model, model.tree_, {d: model.apply(X_test)}, seconds
            return
        began = time.perf_counter()
        model = self._new_tree({**params, "ccp_alpha": 0.0}, max_depth=max(depths),
                               search=search).fit(X_train, y_train, **weights)
        seconds = time.perf_counter() - began
        encoded = model._validate_X_predict(X_test)
        nodes = _nodes_at_depths(model.tree_, model.tree_.apply(encoded, model._threads()),
                                 depths)
        if ccp_alpha == 0.0:
            yield model, model.tree_, nodes, seconds
            return
        for d in depths:
            tree = prune(model.tree_.prefix(d), ccp_alpha)
            yield model, tree, {d: tree.apply(encoded, model._threads())}, seconds

    def _scores(self, model, tree, shrinkages, rows, held_out, scorer) -> np.ndarray:
        """The held-out score of every (shrinkage, depth), (shrinkages, depths): `tree`
        shrunk by each shrinkage, its first d levels read from `rows`, each depth's
        held-out rows' nodes; held_out is (X, y, weights or None) of those rows. The
        estimator's own score (accuracy, or R^2) is computed for many at once, as
        scikit-learn computes it; any other scorer reads each from a stand-in of the
        fold's model."""
        X, y, weights = held_out
        nodes = np.stack(list(rows.values()))
        own = self.scoring is None or self.scoring == ("accuracy" if is_classifier(self)
                                                       else "r2")
        weighable = weights is None or np.sum(weights) > 0
        if own and weighable and is_classifier(self) and model.n_outputs_ == 1:
            score = partial(_accuracies, model.classes_)
        elif own and weighable and not is_classifier(self) and nodes.shape[1] > 1:
            score = _r2_scores
        else:
            by = {} if weights is None else {"sample_weight": weights}
            return np.array([[scorer(_answering(model, tree.shrunk_values(lam)[n]), X, y, **by)
                              for n in nodes] for lam in shrinkages])
        at_once = max(1, _SCORED_AT_ONCE // (nodes.size * tree.n_outputs))
        return np.concatenate([
            score(np.stack([tree.shrunk_values(lam) for lam in shrinkages[i:i + at_once]]),
                  nodes, y, weights) for i in range(0, len(shrinkages), at_once)])

    def _store(self, candidates, scores, fit_times, score_times):
        """cv_results_ in GridSearchCV's layout, and the choice it makes from them."""
        results = {}

        def store(name, array, splits=False, rank=False):
            if splits:
                for k in range(array.shape[1]):
                    results[f"split{k}_{name}"] = array[:, k]
            means = np.average(array, axis=1)
            results[f"mean_{name}"] = means
            results[f"std_{name}"] = np.sqrt(np.average((array - means[:, np.newaxis]) ** 2,
                                                        axis=1))
            if rank:
                if np.isnan(means).all():
                    results[f"rank_{name}"] = np.ones_like(means, dtype=np.int32)
                else:  # failed scores rank with the worst
                    means = np.nan_to_num(means, nan=np.nanmin(means) - 1)
                    results[f"rank_{name}"] = rankdata(-means, method="min").astype(np.int32)

        store("fit_time", fit_times)
        store("score_time", score_times)
        for name in CHOSEN:
            values = np.array([c[name] for c in candidates])
            dtype = object if values.dtype.kind == "U" else values.dtype
            results[f"param_{name}"] = MaskedArray(values.astype(dtype),
                                                   mask=np.zeros(len(values), dtype=bool))
        results["params"] = candidates
        store("test_score", scores, splits=True, rank=True)
        self.cv_results_ = results
        self.best_index_ = int(results["rank_test_score"].argmin())
        self.best_params_ = candidates[self.best_index_]
        self.best_score_ = float(results["mean_test_score"][self.best_index_])


# What the search itself sets, kept when the chosen tree's attributes are copied in.
_SEARCH_RESULTS = {"cv_results_", "best_index_", "best_params_", "best_score_", "n_splits_",
                   "scorer_", "refit_time_", "best_estimator_"}

_SEARCH_DOC = """
    Parameters
    ----------
    depths : int or list of int, default=8
        The max_depth values to try: an int d for 1 to d, or a list of ints >= 0.
    shrinkages : list of float, default=(0, 0.5, 1, 2, 5, 10, 25, 50, 100)
        The hierarchical shrinkage values (lambda >= 0) to try; 0 is none.
    searches : "greedy", "lookahead" or a list of them, default=("greedy", "lookahead")
        The searches to try. Greedy trees of every depth come from one fit per fold;
        lookahead is fitted once per depth and fold, each fit costing a few greedy
        ones: "greedy" alone is the fast search.
    cv : int, cross-validation generator or iterable, default=5
        As in GridSearchCV: an int is a (stratified, for a classifier) k-fold without
        shuffling.
    scoring : str, callable or None, default=None
        As in GridSearchCV; None is the estimator's own score ({score}).

    The other parameters are {tree}'s, and every tree tried takes them.

    Attributes
    ----------
    best_params_ : dict
        The chosen {{"max_depth", "search", "shrinkage"}}:
        ``{tree}(**others, **best_params_)`` is the fitted tree.
    best_score_ : float
        Its mean held-out score.
    best_index_ : int
        Its place in cv_results_ (the first of the best scores, in the grid's order).
    cv_results_ : dict of arrays
        GridSearchCV's layout over the grid {{"max_depth": depths, "search": searches,
        "shrinkage": shrinkages}} (candidates in that order, depths outermost): params,
        param_*, split*_test_score, mean_, std_ and rank_test_score, mean_ and
        std_fit_time (each candidate the time of the fit it was read from, which many
        share), mean_ and std_score_time.
    best_estimator_ : {tree}
        The chosen tree, refitted on all rows (what `qor.save` writes).
    n_splits_, refit_time_, scorer_
        As in GridSearchCV.

    And every attribute of a fitted {tree} (tree_, depth_features_, ...), the
    chosen tree's, which predict, predict_proba, apply, the exports and pictures read.
"""


class QORClassifierCV(_TreeSearch, QORClassifier):
    __doc__ = ("""A QORClassifier whose depth, search and shrinkage are chosen by
    cross-validation, then refitted on all rows.

    The scores and the choice are those of GridSearchCV(QORClassifier(...), {"max_depth":
    depths, "search": searches, "shrinkage": shrinkages}), got from far fewer fits: one
    greedy fit per fold, to the deepest depth, scores every greedy depth and every
    shrinkage.
""" + _SEARCH_DOC.format(tree="QORClassifier", score="accuracy"))

    _tree = QORClassifier
    _parameter_constraints = _TreeSearch._constraints(QORClassifier)

    def __init__(self, *, depths=8, shrinkages=DEFAULT_SHRINKAGES, searches=SEARCHES, cv=5,
                 scoring=None, criterion="gini", min_samples_split=2, min_samples_leaf=1,
                 min_weight_fraction_leaf=0.0, max_features=None, random_state=None,
                 max_leaf_nodes=None, min_impurity_decrease=0.0, class_weight=None,
                 ccp_alpha=0.0, monotonic_cst=None, categorical_features="from_dtype",
                 numeric_features=None, min_category_samples=5, category_smoothing=10.0,
                 n_jobs=None,
                 max_bins=None, level_score="sum", beam_width=16, lookahead_folds=3):
        self.depths = depths
        self.shrinkages = shrinkages
        self.searches = searches
        self.cv = cv
        self.scoring = scoring
        self.criterion = criterion
        self.min_samples_split = min_samples_split
        self.min_samples_leaf = min_samples_leaf
        self.min_weight_fraction_leaf = min_weight_fraction_leaf
        self.max_features = max_features
        self.random_state = random_state
        self.max_leaf_nodes = max_leaf_nodes
        self.min_impurity_decrease = min_impurity_decrease
        self.class_weight = class_weight
        self.ccp_alpha = ccp_alpha
        self.monotonic_cst = monotonic_cst
        self.categorical_features = categorical_features
        self.numeric_features = numeric_features
        self.min_category_samples = min_category_samples
        self.category_smoothing = category_smoothing
        self.n_jobs = n_jobs
        self.max_bins = max_bins
        self.level_score = level_score
        self.beam_width = beam_width
        self.lookahead_folds = lookahead_folds


class QORRegressorCV(_TreeSearch, QORRegressor):
    __doc__ = ("""A QORRegressor whose depth, search and shrinkage are chosen by
    cross-validation, then refitted on all rows.

    The scores and the choice are those of GridSearchCV(QORRegressor(...), {"max_depth":
    depths, "search": searches, "shrinkage": shrinkages}), got from far fewer fits: one
    greedy fit per fold, to the deepest depth, scores every greedy depth and every
    shrinkage.
""" + _SEARCH_DOC.format(tree="QORRegressor", score="R^2"))

    _tree = QORRegressor
    _parameter_constraints = _TreeSearch._constraints(QORRegressor)

    def __init__(self, *, depths=8, shrinkages=DEFAULT_SHRINKAGES, searches=SEARCHES, cv=5,
                 scoring=None, criterion="mse", min_samples_split=2, min_samples_leaf=1,
                 min_weight_fraction_leaf=0.0, max_features=None, random_state=None,
                 max_leaf_nodes=None, min_impurity_decrease=0.0, ccp_alpha=0.0,
                 monotonic_cst=None, categorical_features="from_dtype",
                 numeric_features=None, min_category_samples=5, category_smoothing=10.0,
                 n_jobs=None,
                 max_bins=None, level_score="sum", beam_width=16, lookahead_folds=3):
        self.depths = depths
        self.shrinkages = shrinkages
        self.searches = searches
        self.cv = cv
        self.scoring = scoring
        self.criterion = criterion
        self.min_samples_split = min_samples_split
        self.min_samples_leaf = min_samples_leaf
        self.min_weight_fraction_leaf = min_weight_fraction_leaf
        self.max_features = max_features
        self.random_state = random_state
        self.max_leaf_nodes = max_leaf_nodes
        self.min_impurity_decrease = min_impurity_decrease
        self.ccp_alpha = ccp_alpha
        self.monotonic_cst = monotonic_cst
        self.categorical_features = categorical_features
        self.numeric_features = numeric_features
        self.min_category_samples = min_category_samples
        self.category_smoothing = category_smoothing
        self.n_jobs = n_jobs
        self.max_bins = max_bins
        self.level_score = level_score
        self.beam_width = beam_width
        self.lookahead_folds = lookahead_folds
