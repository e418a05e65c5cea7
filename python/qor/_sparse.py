"""Sparse X: scipy.sparse matrices and arrays as the core reads them.

A fit reads X by columns (CSC) and prediction by rows (CSR); any other format, or the
other of the two, is converted once. The core reads the compressed arrays in place:
int64 `indptr`, int32 `indices` and float64 `data`, each line's indices ascending and
distinct, so a matrix with duplicate entries is summed into a copy first, as scipy
would sum them on making it dense. A value not stored is 0.0; a stored 0.0 is 0.0 and
a stored NaN is missing, exactly as in a dense X.
"""

from dataclasses import dataclass

import numpy as np
from scipy import sparse

# Formats the validation accepts as they are; any other is converted to the first.
FIT_FORMATS = ["csc", "csr"]
PREDICT_FORMATS = ["csr", "csc"]


@dataclass(frozen=True)
class Compressed:
    """What the core reads of a sparse matrix (qor._core's fit_sparse and *_sparse)."""

    indptr: np.ndarray
    indices: np.ndarray
    data: np.ndarray
    shape: tuple[int, int]


def issparse(X) -> bool:
    return sparse.issparse(X)


def canonical(X, by_column: bool):
    """X (a validated scipy.sparse matrix or array) compressed by columns or by rows,
    each line's indices ascending and distinct."""
    X = X.tocsc() if by_column else X.tocsr()
    if not X.has_canonical_format:
        X = X.copy()
        X.sum_duplicates()
    return X


def compressed(X, by_column: bool) -> Compressed:
    """X (a validated scipy.sparse matrix or array) compressed by columns or by rows."""
    X = canonical(X, by_column)
    return Compressed(indptr=np.ascontiguousarray(X.indptr, dtype=np.int64),
                      indices=np.ascontiguousarray(X.indices, dtype=np.int32),
                      data=np.ascontiguousarray(X.data, dtype=np.float64),
                      shape=(int(X.shape[0]), int(X.shape[1])))


def distinct_values(X, f: int):
    """The distinct numbers of column f of X (dense, or sparse held by columns in
    canonical form), zeros as +0.0 and NaN left out, ascending, with their counts; a
    sparse column's unstored rows count as zeros."""
    if not sparse.issparse(X):
        column = X[:, f]
        return np.unique(column[~np.isnan(column)] + 0.0, return_counts=True)
    stored = X.data[X.indptr[f]:X.indptr[f + 1]]
    values, counts = np.unique(stored[~np.isnan(stored)] + 0.0, return_counts=True)
    zeros = X.shape[0] - stored.size
    if zeros:
        at = int(np.searchsorted(values, 0.0))
        if at < values.size and values[at] == 0.0:
            counts[at] += zeros
        else:
            values, counts = np.insert(values, at, 0.0), np.insert(counts, at, zeros)
    return values, counts


def refuse_categories(mask) -> None:
    """Categorical features are codes of a dense column: refused with sparse X."""
    if mask is not None and np.any(mask):
        raise ValueError(
            "categorical_features cannot be used with a sparse X: categories are read from "
            "dense columns. Pass X dense (X.toarray(), or a DataFrame), or one-hot encode "
            "the categories (OneHotEncoder's sparse output) and leave categorical_features "
            "None.")
