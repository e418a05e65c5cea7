"""What every fit of the package shares, whichever door grows the tree (exact, binned,
or on Dask): the parameters the core grows by, class weights, and the installation of a
grown tree with its pruning. The estimators and qor.dask both go through these.
"""

import math
from numbers import Integral

import numpy as np
from sklearn.utils import check_random_state
from sklearn.utils.class_weight import compute_class_weight

from . import _core
from ._pruning import depth_features, prune
from ._tree import Tree

# The engine counts rows and depths in signed 32 bits.
INT32_MAX = 2**31 - 1

# scikit-learn's names of the criteria, for the engine's.
CRITERIA = {"log_loss": "entropy", "squared_error": "mse", "absolute_error": "mae"}


def criterion(estimator) -> str:
    """The engine's name of the estimator's criterion (its own, or an alias's)."""
    return CRITERIA.get(estimator.criterion, estimator.criterion)


def max_features(estimator, n_features: int) -> int:
    """Features each level draws from under the estimator's max_features, as
    scikit-learn counts them: an int as it is, a float that share of the features,
    "sqrt" and "log2" of their count (each at least 1); 0 for all of them (None)."""
    wanted = estimator.max_features
    if wanted is None:
        return 0
    if isinstance(wanted, str):
        count = np.sqrt(n_features) if wanted == "sqrt" else np.log2(n_features)
        return max(1, int(count))
    if isinstance(wanted, Integral):
        if wanted > n_features:
            raise ValueError(f"max_features must be at most the {n_features} features of "
                             f"X; got {wanted}")
        return int(wanted)
    return max(1, int(wanted * n_features))


def check_targets(estimator, y: np.ndarray, weights) -> None:
    """Refuses targets the criterion has no meaning for: poisson needs counts or
    amounts, at least 0, whose (weighted) sum is above 0."""
    if criterion(estimator) != "poisson":
        return
    if np.any(y < 0):
        raise ValueError("criterion='poisson' needs targets >= 0 (counts or amounts); y "
                         f"holds {int(np.sum(y < 0))} negative values, the least "
                         f"{float(y.min())}. Use criterion='squared_error' for such targets.")
    total = float(np.sum(y if weights is None else weights * y))
    if not total > 0:
        raise ValueError("criterion='poisson' needs targets whose weighted sum is above 0 "
                         "(a mean of 0 has no Poisson deviance); these add up to "
                         f"{total}")


def threads(estimator) -> int:
    """Threads that the estimator's n_jobs asks for (None is 1)."""
    return _core.thread_count(1 if estimator.n_jobs is None else estimator.n_jobs)


def row_limits(estimator, n_samples: int) -> tuple[int, int]:
    """(min_samples_split, min_samples_leaf) in rows: a float is the share
    ceil(share * n_samples), and a share never allows splitting fewer than 2 rows."""
    split, leaf = estimator.min_samples_split, estimator.min_samples_leaf
    if not isinstance(split, Integral):
        split = max(2, math.ceil(split * n_samples))
    if not isinstance(leaf, Integral):
        leaf = math.ceil(leaf * n_samples)
    return int(split), int(leaf)


def monotonic_cst(estimator, n_features: int, n_classes: int,
                  categorical: np.ndarray, n_outputs: int = 1) -> list[int]:
    """The estimator's monotonic_cst, checked against the data: one of -1, 0, 1 per
    feature, 0 on categorical features, binary classification at most, one output."""
    if estimator.monotonic_cst is None:
        return []
    if n_outputs > 1:
        raise ValueError("Monotonicity constraints are not supported with multiple outputs: "
                         "set monotonic_cst=None, or fit one tree per output")
    cst = np.asarray(estimator.monotonic_cst)
    if cst.shape != (n_features,):
        raise ValueError(f"monotonic_cst has shape {cst.shape} but the input data X has "
                         f"{n_features} features")
    if not np.isin(cst, [-1, 0, 1]).all():
        raise ValueError("monotonic_cst must be None or an array-like of -1, 0 or 1; "
                         f"got {cst.tolist()}")
    if n_classes > 2:
        raise ValueError("Monotonicity constraints are not supported with multiclass "
                         "classification")
    if np.any(cst[np.asarray(categorical, dtype=bool)] != 0):
        raise ValueError("monotonic_cst must be 0 on categorical features, whose "
                         "categories have no order")
    return [int(c) for c in cst]


def tree_params(estimator, n_samples: int, n_classes,
                categorical: np.ndarray, n_outputs: int = 1) -> "_core.TreeParams":
    """The TreeParams a fit of `n_samples` rows grows by. min_weight_fraction_leaf
    stays a share: the core weighs it against the root's weight. `n_classes`: an
    int, or with several outputs a classifier's classes per output (0 for a
    regressor)."""
    if not math.isfinite(estimator.shrinkage):
        raise ValueError(f"shrinkage must be a finite number >= 0; got {estimator.shrinkage}")
    params = _core.TreeParams()
    params.criterion = criterion(estimator)
    params.n_outputs = n_outputs
    if n_outputs > 1 and criterion(estimator) == "poisson":
        raise ValueError("criterion='poisson' is not supported with several outputs: use "
                         "'squared_error', or fit one tree per output")
    if n_outputs > 1 and np.any(np.asarray(categorical, dtype=bool)):
        raise ValueError("categorical features are not supported with several outputs: their "
                         "categories are ordered by one target. Fit one tree per output "
                         "(sklearn.multioutput.MultiOutputClassifier or MultiOutputRegressor "
                         "around this estimator), or, where the categorical columns hold "
                         "numeric codes, take them as numbers with categorical_features=None")
    if np.ndim(n_classes) == 1:
        params.output_classes = [int(c) for c in n_classes]
        n_classes = max(params.output_classes)
    params.n_classes = int(n_classes)
    params.max_depth = INT32_MAX if estimator.max_depth is None else estimator.max_depth
    params.min_samples_split, params.min_samples_leaf = row_limits(estimator, n_samples)
    params.min_weight_fraction_leaf = estimator.min_weight_fraction_leaf
    params.min_impurity_decrease = estimator.min_impurity_decrease
    params.monotonic_cst = monotonic_cst(estimator, len(categorical), n_classes, categorical,
                                         n_outputs)
    params.categorical = np.asarray(categorical, dtype=np.uint8).tolist()
    params.min_category_samples = estimator.min_category_samples
    params.category_smoothing = estimator.category_smoothing
    params.max_leaf_nodes = 0 if estimator.max_leaf_nodes is None else estimator.max_leaf_nodes
    params.max_features = max_features(estimator, len(categorical))
    if params.max_features:
        # The only draw of a fit: a RandomState passed in moves on by one number.
        params.random_seed = int(check_random_state(estimator.random_state).randint(
            np.iinfo(np.int64).max, dtype=np.int64))
    params.n_threads = threads(estimator)
    params.level_score = estimator.level_score
    params.search = estimator.search
    params.beam_width = estimator.beam_width
    params.lookahead_folds = estimator.lookahead_folds
    return params


def class_weights(class_weight, classes: np.ndarray, counts: np.ndarray):
    """Each class's weight under `class_weight` (None: None), from every class's row
    count: "balanced" is n_samples / (n_classes * count), as in scikit-learn."""
    if class_weight is None:
        return None
    if isinstance(class_weight, str) and class_weight == "balanced":
        counts = np.asarray(counts, dtype=np.float64)
        return counts.sum() / (len(classes) * counts)
    return compute_class_weight(class_weight, classes=classes, y=classes)


def output_class_weights(class_weight, classes: list, counts: list):
    """Each output's per-class weights under `class_weight` (None: None), given every
    output's classes and their row counts: for one output a dict or "balanced", for
    several a list of one dict per output or "balanced" (output by output). A row's
    weight is the product of its outputs' class weights, as in scikit-learn."""
    if class_weight is None:
        return None
    several = len(classes) > 1
    if isinstance(class_weight, list) != several and class_weight != "balanced":
        raise ValueError("class_weight must be a dict (or 'balanced') for one output, and "
                         "a list of one dict per output for several outputs; got "
                         f"{class_weight!r} for {len(classes)} output(s)")
    if several and isinstance(class_weight, list) and len(class_weight) != len(classes):
        raise ValueError(f"class_weight has {len(class_weight)} dicts but y has "
                         f"{len(classes)} outputs: give one dict per output")
    return [class_weights(class_weight[k] if isinstance(class_weight, list) else class_weight,
                          labels, counts[k])
            for k, labels in enumerate(classes)]


def row_class_weights(by_class: list, codes: list):
    """Each row's weight from its outputs' class codes (one array per output) and
    output_class_weights: the product over the outputs, taken in output order."""
    weights = None
    for weight, code in zip(by_class, codes):
        weights = weight[code] if weights is None else weights * weight[code]
    return weights


def check_total_weight(total: float) -> None:
    if not total > 0:
        raise ValueError(f"sample weights must add up to more than 0; these add up to {total}")


def install(estimator, arrays: dict, n_classes) -> None:
    """Installs a grown tree's arrays (as the core returns them) as the estimator's
    `tree_` and `depth_features_`, then prunes it by ccp_alpha and shrinks its values
    by shrinkage; `max_features_` is how many features each level drew from, as
    scikit-learn's trees say. `n_classes`: an int, or per output (0 for a regressor)."""
    levels = arrays.pop("depth_features")
    finalists = arrays.pop("lookahead_finalists", None)
    if finalists is None:
        estimator.__dict__.pop("lookahead_finalists_", None)
    else:
        estimator.lookahead_finalists_ = [(tuple(int(f) for f in features), float(score))
                                          for features, score in finalists]
    outputs = getattr(estimator, "n_outputs_", 1)
    if np.ndim(n_classes) == 0:
        n_classes = max(int(n_classes), 1) if outputs == 1 else [max(int(n_classes), 1)] * outputs
    estimator.tree_ = Tree(n_features=estimator.n_features_in_, n_classes=n_classes, **arrays)
    estimator.depth_features_ = {depth: int(f) for depth, f in enumerate(levels)}
    estimator.max_features_ = max_features(estimator, estimator.n_features_in_) or (
        estimator.n_features_in_)
    # As in scikit-learn, 0.0 keeps the tree as grown, even splits that gain nothing.
    if estimator.ccp_alpha != 0.0:
        estimator.tree_ = prune(estimator.tree_, estimator.ccp_alpha)
        estimator.depth_features_ = depth_features(estimator.tree_)
    # Shrinkage reads the tree that stays: pruning weighs impurities, which it leaves.
    if estimator.shrinkage != 0.0:
        estimator.tree_ = estimator.tree_.shrunk(estimator.shrinkage)
