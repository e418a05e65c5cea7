"""Categorical features: which columns they are, and their values as category codes.

The core sees a categorical column as codes 0, 1, ... (float64), NaN for a missing
value. A fit records each categorical feature's categories (code i is categories[i]);
prediction maps values through the same list, and a value the fit never saw becomes
NaN, which goes right like a missing value.

Under "from_dtype" a column's dtype decides, with the refusals that keep a column
from fooling the tree: a column of dates and times, a text column of dates, one of
numbers with a few text cells, and one of identifiers (mostly distinct values) are
refused with a ValueError that names the column and the way out. Declaring a column
categorical by name takes it as it is.
"""

import ctypes
import re

import numpy as np
import pandas as pd
from pandas.api.types import is_bool_dtype, is_numeric_dtype

# An identifier-like text column has more distinct values than half its rows, and
# more than this many, so that a table of a few rows is not taken for one.
IDENTIFIER_LEAST_VALUES = 20
# Text cells a refusal names, the most frequent first.
SHOWN_TEXT_VALUES = 5
# A date, or a date and time, written as text (ISO 8601, or with slashes).
_DATE_TEXT = re.compile(r"\d{4}[-/]\d{1,2}[-/]\d{1,2}"
                        r"([ T]\d{1,2}:\d{2}(:\d{2}(\.\d+)?)?)?(Z|[+-]\d{2}:?\d{2})?")

# How to take a refused column as categories anyway, through the estimators.
DECLARE = ("list the categorical columns by name in categorical_features, this one "
           "included")


def _is_dataframe(X) -> bool:
    return isinstance(X, pd.DataFrame)


def is_dates(dtype) -> bool:
    """Dates, times and durations: datetime64 (with or without a zone), timedelta64, period."""
    return (isinstance(dtype, (pd.DatetimeTZDtype, pd.PeriodDtype))
            or (isinstance(dtype, np.dtype) and dtype.kind in "mM"))


def is_text(dtype) -> bool:
    """A column of text or of Python objects: what from_dtype takes for categories
    besides pandas' category dtype."""
    return not (is_numeric_dtype(dtype) or is_bool_dtype(dtype) or is_dates(dtype)
                or isinstance(dtype, pd.CategoricalDtype))


def categorical_mask(declared, X) -> np.ndarray | None:
    """Which features of X are categorical, by scikit-learn's conventions: "from_dtype"
    (DataFrame columns of pandas category, object or string dtype, after the refusals
    of from_dtype_mask), None (none), a boolean mask, column indices, or column names.
    None where no feature can be: X is no table (its validation will say so), or the
    declaration names none."""
    if declared is None or (isinstance(declared, str) and not _is_dataframe(X)):
        return None
    shape = np.shape(X)
    if len(shape) != 2:
        return None
    n_features = shape[1]
    mask = np.zeros(n_features, dtype=bool)
    if isinstance(declared, str) and declared == "from_dtype":
        return from_dtype_mask(X)
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


def from_dtype_mask(X: pd.DataFrame, declare: str = DECLARE,
                    skip=frozenset()) -> np.ndarray:
    """The columns from_dtype takes for categories: pandas category columns, and text
    columns that pass check_text. Columns of dates and times, and text columns that
    check_text refuses, raise a ValueError that ends with `declare`, the way to take
    them as categories anyway. Columns named in `skip` are left out, unchecked."""
    mask = np.zeros(X.shape[1], dtype=bool)
    for j, (name, dtype) in enumerate(X.dtypes.items()):
        if name in skip:
            continue
        if is_dates(dtype):
            raise ValueError(
                f"column {name!r} holds dates or times ({dtype}), which as categories would "
                "be one category per distinct time, each seen in training or never. "
                "Derive numbers from it (the year, the day of the week, the time since a "
                f"start) or drop it; to take its values as categories anyway, {declare}")
        if isinstance(dtype, pd.CategoricalDtype):
            mask[j] = True
        elif is_text(dtype):
            values, counts = value_counts(X.iloc[:, j])
            check_text(name, len(X), values, counts, declare)
            mask[j] = True
    return mask


def value_counts(column) -> tuple[np.ndarray, np.ndarray]:
    """The distinct values of a column other than missing ones, and each one's cells."""
    codes, values = pd.factorize(np.asarray(column, dtype=object), use_na_sentinel=True)
    counts = np.bincount(codes[codes >= 0], minlength=len(values))
    return np.asarray(values, dtype=object), counts


def check_text(name, rows: int, values: np.ndarray, counts: np.ndarray,
               declare: str = DECLARE) -> None:
    """Refuses, with a ValueError naming the column and ending with `declare`, a text
    column of `rows` rows (its distinct `values` other than missing ones, with their
    cell counts) that would fool the tree as categories: dates written as text; numbers
    except for a few text cells; an identifier (more distinct values than half the
    rows, and more than IDENTIFIER_LEAST_VALUES)."""
    if len(values) == 0:
        return
    if all(isinstance(v, str) and _DATE_TEXT.fullmatch(v.strip()) for v in values):
        raise ValueError(
            f"column {name!r} holds dates written as text (such as {values[0]!r}), which "
            "as categories would be one category per distinct date. Derive numbers from "
            f"it (the year, the day of the week, the days since a start) or drop it; to "
            f"take its values as categories anyway, {declare}")
    numbers = pd.to_numeric(pd.Series(values, dtype=object), errors="coerce").notna().to_numpy()
    number_cells, text_cells = int(counts[numbers].sum()), int(counts[~numbers].sum())
    if 0 < text_cells < number_cells:
        text, seen = values[~numbers], counts[~numbers]
        order = np.argsort(-seen, kind="stable")[:SHOWN_TEXT_VALUES]
        shown = ", ".join(f"{text[i]!r}" + (f" ({seen[i]} cells)" if seen[i] > 1 else "")
                          for i in order)
        more = len(text) - len(order)
        shown += f" and {more} more distinct" if more else ""
        cells = "1 cell holds" if text_cells == 1 else f"{text_cells} cells hold"
        raise ValueError(
            f"column {name!r} holds numbers, but {cells} text: {shown}. As categories, "
            "every distinct number would be a category of its own. Correct those cells "
            "or leave them empty (an empty cell is a missing value); to take the "
            f"column's values as categories anyway, {declare}")
    if len(values) > rows / 2 and len(values) > IDENTIFIER_LEAST_VALUES:
        raise ValueError(
            f"column {name!r} looks like an identifier: {len(values)} distinct values in "
            f"{rows} rows, so most values are seen in a row or two and a split on them "
            "learns those rows by heart and nothing of new ones. Drop it, or derive "
            f"features from it; to take its values as categories anyway, {declare}")


def _column(X, j):
    return X.iloc[:, j] if _is_dataframe(X) else np.asarray(X)[:, j]


def _is_category(column) -> bool:
    return isinstance(getattr(column, "dtype", None), pd.CategoricalDtype)


# Below this many cells a column is hashed by its values straight away.
BY_IDENTITY_FROM = 1024


def _factorize(values):
    """pd.factorize(values) (codes -1 where missing, distinct values in order of first
    appearance). A column of text that pandas read from a file holds one Python object
    per distinct text, repeated: its cells are then grouped by their objects' addresses
    (integers, hashed several times faster than text) and only one cell of each group
    is hashed by value, which merges equal texts held by different objects."""
    if (isinstance(values, np.ndarray) and values.dtype == object and values.ndim == 1
            and values.size >= BY_IDENTITY_FROM and values.flags.c_contiguous
            and ctypes.sizeof(ctypes.c_void_p) == ctypes.sizeof(ctypes.c_size_t)):
        # The array's own buffer of object pointers, read while the array holds them.
        addresses = np.ctypeslib.as_array(
            (ctypes.c_size_t * values.size).from_address(values.ctypes.data))
        by_object, objects = pd.factorize(addresses)
        if 4 * len(objects) <= values.size:
            one_cell = np.empty(len(objects), dtype=np.intp)
            one_cell[by_object] = np.arange(values.size)
            codes, uniques = pd.factorize(values[one_cell], use_na_sentinel=True)
            return codes[by_object], uniques
    return pd.factorize(values, use_na_sentinel=True)


def _factorized(column) -> tuple[np.ndarray, np.ndarray]:
    """A column's codes (-1 where missing) and distinct values, from one native pass
    over its own array (a string array stays one). The distinct values are held as
    the column's cells are in NumPy (np.asarray of it), numbers as numbers and
    anything else as Python objects, so that they equal its cells in value and type."""
    plain = not isinstance(column, pd.Series) or isinstance(column.dtype, np.dtype)
    values = np.asarray(column) if plain else column.array
    if isinstance(values, np.ndarray) and values.dtype.kind not in "biuf":
        values = values.astype(object, copy=False)
    codes, uniques = _factorize(values)
    held = values.dtype
    if not isinstance(values, np.ndarray):
        # An extension array's NumPy form may depend on whether a cell is missing (a
        # nullable integer's turns to floats then): a missing cell and another show it.
        first_missing = np.flatnonzero(codes < 0)[:1]
        held = np.asarray(values.take(np.append(first_missing, 0)[:2])).dtype
    uniques = np.asarray(uniques, dtype=held)
    return codes, uniques if uniques.dtype.kind in "biuf" else uniques.astype(object)


def _sorted_codes(column) -> tuple[np.ndarray, np.ndarray]:
    """A column's categories and its codes into them (intp, -1 where missing), from
    one pass over its values. The categories are pandas' own for the values (those of
    pd.Categorical: sorted where they sort, else in order of first appearance); only
    the distinct values are made categories, never the column."""
    if _is_category(column):
        return np.asarray(column.cat.categories), column.cat.codes.to_numpy(np.intp)
    codes, uniques = _factorized(column)
    distinct = pd.Categorical(uniques)
    return np.asarray(distinct.categories), _through(distinct.codes, codes)


def _through(table: np.ndarray, codes: np.ndarray) -> np.ndarray:
    """codes mapped through table (codes[i] -> table[codes[i]]), -1 staying -1."""
    return np.append(table, -1).astype(np.intp, copy=False)[codes]


class CategoryLookup:
    """One fitted feature's categories as a lookup: the hash table of its
    categories is built once, and a column is mapped by factorizing it (one
    native pass over its values) and looking up its distinct values alone."""

    def __init__(self, categories):
        self.categories = categories
        self._index = pd.Index(categories)

    def codes(self, column) -> np.ndarray:
        """A column's values as codes into the categories (intp, -1 where missing or
        unseen)."""
        if _is_category(column):
            own = column.cat.codes.to_numpy(np.intp)
            return _through(self._index.get_indexer(column.cat.categories), own)
        codes, uniques = _factorized(column)
        return _through(self._index.get_indexer(uniques), codes)


def lookups(categories: list) -> list:
    """A CategoryLookup per categorical feature of a fit's `categories`, None elsewhere."""
    return [None if c is None else CategoryLookup(c) for c in categories]


def fit_categories(X, mask: np.ndarray) -> list:
    """Each categorical feature's categories (sorted where they can be), None elsewhere."""
    return fit_encode(X, mask)[1]


def fit_encode(X, mask: np.ndarray | None):
    """X encoded as encode() encodes it, and each categorical feature's categories
    (None elsewhere), from one pass over each categorical column."""
    if mask is None or not mask.any() or len(np.shape(X)) != 2:
        return X, None
    found = {j: _sorted_codes(_column(X, j)) for j in np.flatnonzero(mask)}
    categories = [found[j][0] if j in found else None for j in range(len(mask))]
    return _with_codes(X, {j: codes for j, (_, codes) in found.items()}), categories


def encode(X, mask: np.ndarray | None, categories: list, lookup: list | None = None):
    """X with every categorical column replaced by its codes (float64; NaN for a
    missing value or a value not among the feature's categories). A DataFrame stays a
    DataFrame with the same column names. `lookup`, from lookups(categories), saves
    rebuilding the categories' hash tables on every call."""
    if mask is None or not mask.any() or len(np.shape(X)) != 2:
        return X
    lookup = lookups(categories) if lookup is None else lookup
    return _with_codes(X, {j: lookup[j].codes(_column(X, j)) for j in np.flatnonzero(mask)})


def _as_float(codes: np.ndarray) -> np.ndarray:
    values = codes.astype(np.float64)
    values[codes < 0] = np.nan
    return values


def _plain_numbers(dtype) -> bool:
    return isinstance(dtype, np.dtype) and dtype.kind in "biuf"


def _with_codes(X, codes: dict):
    """X with column j replaced by codes[j] (intp, -1 for none) as float64."""
    if _is_dataframe(X):
        others = [j for j in range(X.shape[1]) if j not in codes]
        dtypes = list(X.dtypes)
        if not all(_plain_numbers(dtypes[j]) for j in others):
            # Columns only validation knows how to convert (nullable, text, dates):
            # they stay as they are, for it to convert or refuse.
            encoded = X.copy(deep=False)
            for j, values in codes.items():
                encoded.isetitem(j, _as_float(values))
            return encoded
        # Every column is a number now: one float64 matrix in the order the core
        # reads, behind the same column names, which validation takes without a copy.
        matrix = np.empty(X.shape, dtype=np.float64)
        if others:
            matrix[:, others] = X.iloc[:, others].to_numpy(dtype=np.float64)
        for j, values in codes.items():
            column = matrix[:, j]
            column[:] = values
            column[values < 0] = np.nan
        return pd.DataFrame(matrix, columns=X.columns, copy=False)
    array = np.asarray(X)
    # Other columns must be numbers: an object array is converted once the codes are in.
    encoded = array.copy() if array.dtype.kind == "O" else np.array(array, dtype=np.float64)
    for j, values in codes.items():
        encoded[:, j] = _as_float(values)
    return encoded.astype(np.float64, copy=False)
