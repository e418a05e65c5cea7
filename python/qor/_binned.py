"""Binned growth for the estimators: what `max_bins` changes in a fit.

Each numeric feature's values are cut into at most `max_bins` bins (quantiles of a
sample of up to 200,000 rows, or one bin per distinct value where a column has no more
than that), a categorical feature gets one bin per category, and missing values get a
bin of their own; every level then reads per node, feature and bin sums instead of
sorted values. A threshold still lies between the largest value of the bins sent left
and the smallest of the next, so the tree predicts from raw values like any other.
"""

import numpy as np

from . import _core, _growth
from ._sparse import Compressed


def check(estimator, on_dask: bool = False) -> None:
    """Refuses what binned growth cannot do, before any work; `on_dask`: for qor.dask,
    which grows from bins only."""
    if _growth.criterion(estimator) == "mae":
        exact = ("or fit the estimator locally with max_bins=None (exact growth) on data "
                 "that fits in memory" if on_dask else "or max_bins=None for exact growth")
        raise ValueError(f"criterion={estimator.criterion!r} cannot grow from bins (max_bins "
                         "is set): the median of a part needs the part's targets in order, "
                         f"which bins do not keep. Use criterion='squared_error', {exact}.")


def category_edges(n_categories: int) -> np.ndarray:
    """Upper bin edges that give each category code 0..n_categories-1 a bin of its own."""
    return np.append(np.arange(max(n_categories, 1) - 1, dtype=np.float64), np.inf)


def edge_arrays(bin_edges, n_features: int, categories=None) -> list[np.ndarray]:
    """Given bin edges as the core takes them: one float64 array per feature. A
    categorical feature's bins are always its categories (`categories`: per feature,
    the fitted categories or None), whatever edges were given for it."""
    if len(bin_edges) != n_features:
        raise ValueError(f"bin_edges has {len(bin_edges)} entries but X has {n_features} "
                         "features")
    edges = [np.ascontiguousarray(e, dtype=np.float64) for e in bin_edges]
    for f, upper in enumerate(edges):
        if categories is not None and categories[f] is not None:
            edges[f] = category_edges(len(categories[f]))
        elif upper.ndim != 1 or upper.size == 0 or upper[-1] != np.inf or not (
                np.all(upper[1:] > upper[:-1])):
            raise ValueError(f"bin_edges[{f}] must be strictly ascending upper edges ending "
                             "with inf")
    return edges


def fit(estimator, X, targets, weights, params, bin_edges=None) -> dict:
    """Grows the estimator's tree from bins; returns the core's tree arrays and sets
    bin_edges_ (one array of upper bin edges per feature)."""
    if estimator.max_bins is None:
        raise ValueError("bin_edges are the bins of a binned fit: set max_bins as well")
    check(estimator)
    edges = (None if bin_edges is None else
             edge_arrays(bin_edges, X.shape[1], estimator.categories_))
    grow = _core.fit_binned_sparse if isinstance(X, Compressed) else _core.fit_binned
    arrays, estimator.bin_edges_ = grow(X, targets, weights, params, estimator.max_bins, edges)
    return arrays
