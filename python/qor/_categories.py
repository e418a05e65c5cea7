"""Categorical features: their values as category codes.

The core sees a categorical column as codes 0, 1, ... (float64), NaN for a missing
value. A fit records each categorical feature's categories (code i is categories[i]);
prediction maps values through the same list, and a value the fit never saw becomes
NaN, which goes right like a missing value. Blank text is a missing value, never a
category. Which columns are categorical the audit (`_audit`) decides.
"""

import numpy as np
import pandas as pd


def _is_dataframe(X) -> bool:
    return isinstance(X, pd.DataFrame)


def _column(X, j):
    return X.iloc[:, j] if _is_dataframe(X) else np.asarray(X)[:, j]


def _is_category(column) -> bool:
    return isinstance(getattr(column, "dtype", None), pd.CategoricalDtype)


def fit_categories(X, mask: np.ndarray) -> list:
    """Each categorical feature's categories (sorted where they can be), None elsewhere."""
    categories = []
    for j, categorical in enumerate(mask):
        if not categorical:
            categories.append(None)
            continue
        column = _column(X, j)
        if _is_category(column):
            categories.append(np.asarray(column.cat.categories))
        else:
            found = np.asarray(pd.Categorical(_values(column)).categories)
            categories.append(found[[not (isinstance(v, str) and not v.strip())
                                     for v in found]])
    return categories


def _values(column) -> np.ndarray:
    """A column's values as an array pandas can factorize (numbers stay numbers)."""
    values = np.asarray(column)
    return values if values.dtype.kind in "biuf" else values.astype(object)


def _codes(column, categories) -> np.ndarray:
    """A column's values as codes into `categories` (float64, NaN where none)."""
    if _is_category(column):
        # The column's own codes, through one look-up per category of its dtype.
        own = column.cat.codes.to_numpy()
        found = np.append(pd.Index(categories).get_indexer(column.cat.categories), -1)[own]
    else:
        found = pd.Index(categories).get_indexer(_values(column))
    codes = found.astype(np.float64)
    codes[found < 0] = np.nan
    return codes


def encode(X, mask: np.ndarray | None, categories: list):
    """X with every categorical column replaced by its codes (float64; NaN for a
    missing value or a value not among the feature's categories). A DataFrame stays a
    DataFrame with the same column names."""
    if mask is None or not mask.any() or len(np.shape(X)) != 2:
        return X
    codes = {j: _codes(_column(X, j), categories[j]) for j in np.flatnonzero(mask)}
    if _is_dataframe(X):
        encoded = X.copy(deep=False)
        for j, values in codes.items():
            encoded.isetitem(j, values)
        return encoded
    array = np.asarray(X)
    # Other columns must be numbers: an object array is converted once the codes are in.
    encoded = array.copy() if array.dtype.kind == "O" else np.array(array, dtype=np.float64)
    for j, values in codes.items():
        encoded[:, j] = values
    return encoded.astype(np.float64, copy=False)
