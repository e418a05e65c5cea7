"""Sparse X: scipy.sparse matrices and arrays as the core reads them.

A fit reads X by columns (CSC) and prediction by rows (CSR); any other format, or the
other of the two, is converted once. The core reads the compressed arrays in place:
int64 `indptr`, int32 `indices` and float64 `data`, each line's indices ascending and
distinct, so a matrix with duplicate entries is summed into a copy first, as
`X.toarray()` sums them. A value not stored is 0.0; a stored 0.0 is 0.0 and
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
    each line's indices ascending and distinct.

    Duplicate entries of a cell add up as `X.toarray()` adds them, from 0.0 in the order
    X stores them, so that the tree is the dense matrix's to the last bit. scipy's own
    `sum_duplicates` sorts a line first, and a line of more than 16 entries may come out
    of that sort with its duplicates in another order, and another sum."""
    if X.format in FIT_FORMATS and X.has_canonical_format:
        return X.tocsc() if by_column else X.tocsr()
    coo = X.tocoo()  # keeps the order of storage, duplicates and all
    major, minor = (coo.col, coo.row) if by_column else (coo.row, coo.col)
    major = np.asarray(major, dtype=np.int64)
    minor = np.asarray(minor, dtype=np.int64)
    order = np.lexsort((minor, major))  # stable: a cell's entries keep their storage order
    major, minor, data = major[order], minor[order], coo.data[order]
    first = np.ones(major.size, dtype=bool)
    first[1:] = (major[1:] != major[:-1]) | (minor[1:] != minor[:-1])
    sums = np.zeros(int(first.sum()), dtype=data.dtype)  # as toarray() sums: in X's own dtype
    np.add.at(sums, np.cumsum(first) - 1, data)  # unbuffered: one entry after another
    lines = X.shape[1] if by_column else X.shape[0]
    indptr = np.zeros(lines + 1, dtype=np.int64)
    np.cumsum(np.bincount(major[first], minlength=lines), out=indptr[1:])
    made = sparse.csc_matrix if by_column else sparse.csr_matrix
    result = made((sums, minor[first].astype(np.int32), indptr), shape=X.shape)
    result.has_canonical_format = True
    return result


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
