"""Binned growth for the estimators: what `max_bins` changes in a fit.

Each feature's values are cut into at most `max_bins` bins (quantiles of a sample of
up to 200,000 rows, or one bin per distinct value where a column has no more than
that), missing values in a bin of their own; every level then reads per node,
feature and bin sums instead of sorted values. A threshold still lies between the
largest value of the bins sent left and the smallest of the next, so the tree
predicts from raw values like any other.
"""

import numpy as np

from . import _core


def check(estimator, categorical=None) -> None:
    """Refuses what binned growth cannot do, before any work. `categorical`: which
    features are categorical, where that is known."""
    if estimator.criterion == "mae":
        raise ValueError("criterion='mae' cannot grow from bins (max_bins is set): the median "
                         "of a part needs the part's targets in order, which bins do not "
                         "keep. Use criterion='mse', or max_bins=None for exact growth.")
    if estimator.monotonic_cst is not None and np.any(np.asarray(estimator.monotonic_cst) != 0):
        raise ValueError("monotonic_cst is not supported with max_bins: binned growth "
                         "keeps no bounds on node values. Use max_bins=None.")
    if categorical is not None and np.any(categorical):
        raise ValueError("categorical features cannot be combined with max_bins yet; "
                         "use max_bins=None for categorical splits")


def edge_arrays(bin_edges, n_features: int) -> list[np.ndarray]:
    """Given bin edges as the core takes them: one float64 array per feature."""
    if len(bin_edges) != n_features:
        raise ValueError(f"bin_edges has {len(bin_edges)} entries but X has {n_features} "
                         "features")
    edges = [np.ascontiguousarray(e, dtype=np.float64) for e in bin_edges]
    for f, upper in enumerate(edges):
        if upper.ndim != 1 or upper.size == 0 or upper[-1] != np.inf or not (
                np.all(upper[1:] > upper[:-1])):
            raise ValueError(f"bin_edges[{f}] must be strictly ascending upper edges ending "
                             "with inf")
    return edges


def fit(estimator, X, targets, weights, params, bin_edges=None) -> dict:
    """Grows the estimator's tree from bins; returns the core's tree arrays and sets
    bin_edges_ (one array of upper bin edges per feature)."""
    if estimator.max_bins is None:
        raise ValueError("bin_edges are the bins of a binned fit: set max_bins as well")
    check(estimator, estimator.is_categorical_)
    edges = None if bin_edges is None else edge_arrays(bin_edges, X.shape[1])
    arrays, estimator.bin_edges_ = _core.fit_binned(X, targets, weights, params,
                                                    estimator.max_bins, edges)
    return arrays


def tree_params(estimator, n_rows: int, total_weight: float, n_classes: int):
    """The TreeParams of a binned fit of `n_rows` rows weighing `total_weight`
    together, as the estimator's own fit sets them."""
    params = _core.TreeParams()
    params.criterion = estimator.criterion
    params.n_classes = n_classes
    params.max_depth = 2**31 - 1 if estimator.max_depth is None else estimator.max_depth
    params.min_samples_split, params.min_samples_leaf = estimator._row_limits(n_rows)
    params.min_weight_leaf = estimator.min_weight_fraction_leaf * total_weight
    params.min_impurity_decrease = estimator.min_impurity_decrease
    params.n_threads = estimator._threads()
    return params
