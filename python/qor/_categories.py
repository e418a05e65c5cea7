"""X as the core reads it: categorical columns as category codes, numbers held as
text or objects as numbers.

The core sees a categorical column as codes 0, 1, ... (float64), NaN for a missing
value. A fit records each categorical feature's categories (code i is categories[i]);
prediction maps values through the same list, and a value the fit never saw becomes
NaN, which goes right like a missing value. Blank text is a missing value, never a
category. Which columns are categories, and which text reads as numbers, the audit
(`_audit`) decides; this module only encodes.
"""

import numpy as np
import pandas as pd
from pandas.api.types import is_numeric_dtype
from scipy.sparse import issparse

from ._audit import names_of

# Text cells an error about a column of numbers shows.
SHOWN_TEXT_VALUES = 5


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
            categories.append(found[[not _blank(v) for v in found]])
    return categories


def _blank(value) -> bool:
    return isinstance(value, str) and not value.strip()


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


def numbers(column, name, lenient: bool = False) -> np.ndarray:
    """A column of text or objects as float64 numbers: blank text and missing values
    are NaN; a cell that is no number is NaN where `lenient` (a column named in
    numeric_features), and otherwise refused with a ValueError naming the column."""
    values = np.asarray(column, dtype=object)
    parsed = pd.to_numeric(pd.Series(values, dtype=object), errors="coerce").to_numpy(
        np.float64, na_value=np.nan)
    # Only cells that read as no number can be blank: few, in a column of numbers.
    failed = np.flatnonzero(np.isnan(parsed))
    blank = np.ones(len(values), dtype=bool)
    blank[failed] = pd.isna(values[failed]) | np.array([_blank(v) for v in values[failed]],
                                                       dtype=bool)
    text = np.isnan(parsed) & ~blank
    if text.any() and not lenient:
        found, seen = np.unique(values[text].astype(str), return_counts=True)
        order = np.argsort(-seen, kind="stable")[:SHOWN_TEXT_VALUES]
        shown = ", ".join(repr(str(found[i])) for i in order)
        label = f"column {name!r}" if isinstance(name, str) else f"column {name}"
        raise ValueError(f"{label} is read as numbers, but {int(text.sum())} of its cells "
                         f"hold text: {shown}. Correct them or leave them empty (a missing "
                         "value), or name the column in numeric_features to read such cells "
                         "as missing values")
    return parsed


def _needs_numbers(column) -> bool:
    dtype = getattr(column, "dtype", None)
    return dtype is not None and not is_numeric_dtype(dtype)


def encode(X, mask: np.ndarray | None, categories: list, lenient=None):
    """X with every categorical column replaced by its codes (float64; NaN for a
    missing value or a value not among the feature's categories), and every other
    column of text or objects by its numbers (see `numbers`; `lenient`: a mask of the
    columns whose text cells are missing values). A DataFrame stays a DataFrame with
    the same column names."""
    if issparse(X):
        return X
    if not _is_dataframe(X):
        X = np.asarray(X)
    if X.ndim != 2:
        return X
    mask = np.zeros(X.shape[1], dtype=bool) if mask is None else mask
    lenient = np.zeros_like(mask) if lenient is None else lenient
    if _is_dataframe(X):
        text = [j for j in range(X.shape[1]) if not mask[j] and _needs_numbers(X.iloc[:, j])]
    else:
        # Of an array of objects, the columns that hold text: other objects (numbers,
        # or what no number is) are left to the validation of numbers.
        array = np.asarray(X)
        text = [] if array.dtype.kind not in "OUS" else [
            j for j in range(array.shape[1]) if not mask[j] and any(
                isinstance(v, (str, bytes)) for v in array[:, j])]
    if not mask.any() and not text:
        return X
    names = names_of(X)
    codes = {j: _codes(_column(X, j), categories[j]) for j in np.flatnonzero(mask)}
    codes.update({j: numbers(_column(X, j), names[j], bool(lenient[j])) for j in text})
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
