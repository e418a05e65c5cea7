"""Categorical features: which columns they are, and their values as category codes.

The core sees a categorical column as codes 0, 1, ... (float64), NaN for a missing
value. A fit records each categorical feature's categories (code i is categories[i]);
prediction maps values through the same list, and a value the fit never saw becomes
NaN, which goes right like a missing value.
"""

import numpy as np
import pandas as pd
from pandas.api.types import is_bool_dtype, is_numeric_dtype


def _is_dataframe(X) -> bool:
    return isinstance(X, pd.DataFrame)


def categorical_mask(declared, X) -> np.ndarray | None:
    """Which features of X are categorical, by scikit-learn's conventions: "from_dtype"
    (DataFrame columns of pandas category, object or string dtype), None (none), a
    boolean mask, column indices, or column names. None where no feature can be: X
    is no table (its validation will say so), or the declaration names none."""
    if declared is None or (isinstance(declared, str) and not _is_dataframe(X)):
        return None
    shape = np.shape(X)
    if len(shape) != 2:
        return None
    n_features = shape[1]
    mask = np.zeros(n_features, dtype=bool)
    if isinstance(declared, str) and declared == "from_dtype":
        for j, dtype in enumerate(X.dtypes):
            mask[j] = not is_numeric_dtype(dtype) or isinstance(dtype, pd.CategoricalDtype)
            mask[j] = mask[j] and not is_bool_dtype(dtype)
        return mask
    declared = np.asarray(declared)
    if declared.size == 0:
        return mask
    if declared.dtype.kind == "b":
        if declared.shape != (n_features,):
            raise ValueError(f"categorical_features as a boolean mask needs {n_features} "
                             f"entries, one per feature; got shape {declared.shape}")
        return declared.copy()
    if declared.dtype.kind in "iu":
        if declared.min() < 0 or declared.max() >= n_features:
            raise ValueError(f"categorical_features holds indices outside 0..{n_features - 1}: "
                             f"{declared.tolist()}")
        mask[declared] = True
        return mask
    if declared.dtype.kind in "UO":
        if not _is_dataframe(X):
            raise ValueError("categorical_features given by name needs X as a DataFrame "
                             "with column names")
        names = [str(c) for c in X.columns]
        unknown = [str(name) for name in declared if str(name) not in names]
        if unknown:
            raise ValueError(f"categorical_features names columns X does not have: {unknown}")
        mask[[names.index(str(name)) for name in declared]] = True
        return mask
    raise ValueError('categorical_features must be "from_dtype", None, a boolean mask, '
                     f"column indices or column names; got {declared.tolist()}")


def _column(X, j):
    return X.iloc[:, j] if _is_dataframe(X) else np.asarray(X)[:, j]


def fit_categories(X, mask: np.ndarray) -> list:
    """Each categorical feature's categories (sorted where they can be), None elsewhere."""
    categories = []
    for j, categorical in enumerate(mask):
        if not categorical:
            categories.append(None)
            continue
        column = _column(X, j)
        if isinstance(getattr(column, "dtype", None), pd.CategoricalDtype):
            categories.append(np.asarray(column.cat.categories))
        else:
            categories.append(np.asarray(pd.Categorical(_values(column)).categories))
    return categories


def _values(column) -> np.ndarray:
    """A column's values as an array pandas can factorize (numbers stay numbers)."""
    values = np.asarray(column)
    return values if values.dtype.kind in "biuf" else values.astype(object)


def encode(X, mask: np.ndarray | None, categories: list):
    """X with every categorical column replaced by its codes (float64; NaN for a
    missing value or a value not among the feature's categories). A DataFrame stays a
    DataFrame with the same column names."""
    if mask is None or not mask.any() or len(np.shape(X)) != 2:
        return X
    codes = {}
    for j in np.flatnonzero(mask):
        found = pd.Index(categories[j]).get_indexer(_values(_column(X, j)))
        codes[j] = np.where(found < 0, np.nan, found.astype(np.float64))
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
