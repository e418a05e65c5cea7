"""Categorical features: their values as category codes.

The core sees a categorical column as codes 0, 1, ... (float64), NaN for a missing
value. A fit records each categorical feature's categories (code i is categories[i]);
prediction maps values through the same list, and a value the fit never saw becomes
NaN, which goes right like a missing value. Blank text is a missing value, never a
category. Which columns are categorical the audit (`_audit`) decides.
"""

import ctypes
import functools
import itertools

import numpy as np
import pandas as pd
from pandas.api.types import infer_dtype

from . import _core
from ._audit import blank_text, columns_of, factorize_text


def _is_dataframe(X) -> bool:
    return isinstance(X, pd.DataFrame)


def _column(X, j):
    return X.iloc[:, j] if _is_dataframe(X) else np.asarray(X)[:, j]


def _is_category(column) -> bool:
    return isinstance(getattr(column, "dtype", None), pd.CategoricalDtype)


# Below this many cells a column is hashed by its values straight away.
BY_IDENTITY_FROM = 1024


def _by_identity(values):
    """A column of objects grouped by the objects it holds: each cell's group, and one
    cell of each group; None where grouping does not pay (few cells, or objects
    hardly repeated). A column of text that pandas read from a file holds one Python
    object per distinct text, repeated: grouping by the objects' addresses (integers,
    hashed several times faster than text) leaves one cell per group to look at."""
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
            return by_object, one_cell
    return None


def _factorize(values):
    """pd.factorize(values) (codes -1 where missing, distinct values in order of first
    appearance): text by the core; other objects hashing by value one cell of each
    object where _by_identity groups them, which merges equal values held by
    different objects."""
    if isinstance(values, np.ndarray) and values.dtype == object and values.ndim == 1:
        found = factorize_text(values)
        if found is not None:
            return found
    grouped = _by_identity(values)
    if grouped is not None:
        by_object, one_cell = grouped
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
    if not isinstance(values, np.ndarray) and len(values) == 0:
        held = object  # (of no cell to show it, and no value to hold)
    elif not isinstance(values, np.ndarray):
        # An extension array's NumPy form may depend on whether a cell is missing (a
        # nullable integer's turns to floats then): a missing cell and another show it.
        first_missing = np.flatnonzero(codes < 0)[:1]
        held = np.asarray(values.take(np.append(first_missing, 0)[:2])).dtype
    uniques = np.asarray(uniques, dtype=held)
    return codes, uniques if uniques.dtype.kind in "biuf" else uniques.astype(object)


def _sorted_codes(column, factorized=None) -> tuple[np.ndarray, np.ndarray]:
    """A column's categories and its codes into them (intp, -1 where missing), from
    one pass over its values (or `factorized`, codes and distinct objects of a column
    of objects as pd.factorize gives them, where made already). The categories are
    pandas' own for the values (those of pd.Categorical: sorted where they sort, else
    in order of first appearance); only the distinct values are made categories."""
    if _is_category(column):
        return np.asarray(column.cat.categories), column.cat.codes.to_numpy(np.intp)
    codes, uniques = _factorized(column) if factorized is None else factorized
    blank = _blank(uniques)
    if blank.any():
        # Blank text is a missing value: its cells take code -1 with the missing ones.
        kept = np.flatnonzero(~blank)
        table = np.full(len(uniques), -1, dtype=np.intp)
        table[kept] = np.arange(len(kept))
        codes, uniques = _through(table, codes), uniques[kept]
    order = _sorted_order(uniques)
    if order is None:
        distinct = pd.Categorical(uniques)
        return np.asarray(distinct.categories), _through(distinct.codes, codes)
    table = np.empty(len(order), dtype=np.intp)
    table[order] = np.arange(len(order))
    return uniques[order], _through(table, codes)


def _sorted_order(uniques: np.ndarray) -> np.ndarray | None:
    """The order that sorts distinct numbers, or distinct text by its code points, as
    pd.Categorical orders its categories; None for other values, which it orders."""
    if uniques.dtype.kind in "biuf":
        return np.argsort(uniques, kind="stable")
    if infer_dtype(uniques, skipna=False) == "string":
        # Python's sort of a list compares text about twice as fast as NumPy's of objects.
        values = uniques.tolist()
        return np.array(sorted(range(len(values)), key=values.__getitem__), dtype=np.intp)
    return None


def _blank(values: np.ndarray) -> np.ndarray:
    """Which of a column's distinct values are blank text."""
    if values.dtype != object:
        return np.zeros(len(values), dtype=bool)
    return blank_text(values)


def _through(table: np.ndarray, codes: np.ndarray) -> np.ndarray:
    """codes mapped through table (codes[i] -> table[codes[i]]), -1 staying -1."""
    return np.append(table, -1).astype(np.intp, copy=False)[codes]


class CategoryLookup:
    """One fitted feature's categories as a lookup: the hash table of its
    categories is built once, and a column is mapped by factorizing it (one
    native pass over its values) and looking up its distinct values alone."""

    def __init__(self, categories):
        self.categories = categories
        # Held as they are (objects stay objects): pandas would otherwise make an index of
        # text a string array, and convert every column's values to it to look them up.
        self._text = categories.dtype == object
        self._index = pd.Index(categories, dtype=object if self._text else None)
        self._arrow_sets = {}  # the categories as pyarrow holds text of each type
        # Codes 0, 1, ..., k - 1 as numbers (an ordinal encoding's): a number is its
        # own code, found without hashing the column.
        self._counting = categories.dtype.kind in "iuf" and categories.ndim == 1 and bool(
            np.array_equal(categories, np.arange(len(categories))))

    @functools.cached_property
    def _by_value(self) -> dict | None:
        """Objects (text) by value: a column of text is looked up by the core, each
        distinct object once (other objects cell by cell, or one cell of each object),
        which saves factorizing it and matching its distinct values. Made at the first
        prediction, not by every fit."""
        return {value: code for code, value in enumerate(self.categories)} if self._text else None

    def codes(self, column) -> np.ndarray:
        """A column's values as codes into the categories (intp, -1 where missing or
        unseen)."""
        if _is_category(column):
            own = column.cat.codes.to_numpy(np.intp)
            return _through(self._index.get_indexer(column.cat.categories), own)
        values = column if isinstance(column, np.ndarray) else (
            column.to_numpy() if isinstance(column.dtype, np.dtype) else None)
        if self._by_value is not None and values is not None and values.dtype == object:
            codes = (_core.lookup_text(values, self._by_value, self.categories)
                     if values.ndim == 1 else None)
            if codes is not None:
                return codes
            grouped = _by_identity(values)
            if grouped is not None:
                by_object, one_cell = grouped
                return self._looked_up(values[one_cell])[by_object]
            return self._looked_up(values)
        if self._counting and values is not None and values.dtype.kind in "iuf":
            # NaN, fractions and numbers outside the codes are none of them.
            known = (values >= 0) & (values < len(self.categories)) & (np.floor(values) == values)
            return np.where(known, values, -1).astype(np.intp)
        if self._by_value is not None and _held_by_arrow(column):
            codes = self._arrow_codes(column)
            if codes is not None:
                return codes
        codes, uniques = _factorized(column)
        if uniques.dtype == object:
            uniques = pd.Index(uniques, dtype=object)
        return _through(self._index.get_indexer(uniques), codes)


    def _looked_up(self, values: np.ndarray) -> np.ndarray:
        """Codes of objects, each looked up by value (-1: missing, blank or unseen)."""
        return np.fromiter(map(self._by_value.get, values, itertools.repeat(-1)),
                           dtype=np.intp, count=len(values))

    def _arrow_codes(self, column) -> np.ndarray | None:
        """Codes of a column of text that pyarrow holds, looked up by pyarrow itself
        (no Python object made per cell); None where the categories are not all text."""
        import pyarrow as pa
        import pyarrow.compute as pc

        values = pa.array(column.array)
        found = self._arrow_sets
        if values.type not in found:
            try:
                found[values.type] = pa.array(self.categories.tolist(), type=values.type)
            except (pa.ArrowException, TypeError):
                found[values.type] = None
        if found[values.type] is None:
            return None
        at = pc.index_in(values, value_set=found[values.type]).fill_null(-1)
        return at.to_numpy(zero_copy_only=False).astype(np.intp, copy=False)


def _held_by_arrow(column) -> bool:
    """A column of text that pyarrow holds (pandas' "str" and "string[pyarrow]")."""
    dtype = getattr(column, "dtype", None)
    return isinstance(dtype, pd.StringDtype) and getattr(dtype, "storage", None) == "pyarrow"


def lookups(categories: list) -> list:
    """A CategoryLookup per categorical feature of a fit's `categories`, None elsewhere."""
    return [None if c is None else CategoryLookup(c) for c in categories]


def fit_categories(X, mask: np.ndarray) -> list:
    """Each categorical feature's categories (sorted where they can be), None elsewhere."""
    return fit_encode(X, mask)[1]


def fit_encode(X, mask: np.ndarray | None, as_matrix: bool = False, factorized=None):
    """X encoded as encode() encodes it, and each categorical feature's categories
    (None elsewhere), from one pass over each categorical column; `factorized`: the
    codes and distinct values of columns of objects factorized already, by position."""
    if mask is None or not mask.any() or len(np.shape(X)) != 2:
        return (_with_codes(X, {}, as_matrix) if as_matrix else X), None
    columns = columns_of(X)
    factorized = {} if factorized is None else factorized
    found = {j: _sorted_codes(columns[j], factorized.get(j)) for j in np.flatnonzero(mask)}
    categories = [found[j][0] if j in found else None for j in range(len(mask))]
    codes = {j: codes for j, (_, codes) in found.items()}
    return _with_codes(X, codes, as_matrix, columns), categories


def encode(X, mask: np.ndarray | None, categories: list, lookup: list | None = None,
           as_matrix: bool = False, columns: list | None = None):
    """X with every categorical column replaced by its codes (float64; NaN for a
    missing value or a value not among the feature's categories). A DataFrame stays a
    DataFrame with the same column names, unless `as_matrix` and every column is then a
    number: the float64 matrix alone (its names are the caller's to check). `lookup`,
    from lookups(categories), saves rebuilding the categories' hash tables on every
    call; `columns`: columns_of(X), where read already."""
    if mask is None or not mask.any() or len(np.shape(X)) != 2:
        return _with_codes(X, {}, as_matrix, columns) if as_matrix else X
    lookup = lookups(categories) if lookup is None else lookup
    columns = columns_of(X) if columns is None else columns
    return _with_codes(X, {j: lookup[j].codes(columns[j]) for j in np.flatnonzero(mask)},
                       as_matrix, columns)


def _as_float(codes: np.ndarray) -> np.ndarray:
    values = codes.astype(np.float64)
    values[codes < 0] = np.nan
    return values


def _plain_numbers(dtype) -> bool:
    return isinstance(dtype, np.dtype) and dtype.kind in "biuf"


def _with_codes(X, codes: dict, as_matrix: bool = False, columns: list | None = None):
    """X with column j replaced by codes[j] (intp, -1 for none) as float64; with
    `as_matrix`, a DataFrame whose every column is then a number as its float64 matrix.
    `columns`: columns_of(X), where read already."""
    if _is_dataframe(X):
        columns = columns_of(X) if columns is None else columns
        others = [j for j in range(X.shape[1]) if j not in codes]
        if not all(_plain_numbers(columns[j].dtype) for j in others):
            # Columns only validation knows how to convert (nullable, text, dates):
            # they stay as they are, for it to convert or refuse.
            encoded = X.copy(deep=False)
            for j, values in codes.items():
                encoded.isetitem(j, _as_float(values))
            return encoded
        # Every column is a number now: one float64 matrix in the order the core
        # reads, behind the same column names, which validation takes without a copy.
        matrix = np.empty(X.shape, dtype=np.float64)
        for j in others:
            matrix[:, j] = columns[j].to_numpy()
        for j, values in codes.items():
            column = matrix[:, j]
            column[:] = values
            column[values < 0] = np.nan
        return matrix if as_matrix else pd.DataFrame(matrix, columns=X.columns, copy=False)
    if not codes:
        return X
    array = np.asarray(X)
    # Other columns must be numbers: an object array is converted once the codes are in.
    encoded = array.copy() if array.dtype.kind == "O" else np.array(array, dtype=np.float64)
    for j, values in codes.items():
        encoded[:, j] = _as_float(values)
    return encoded.astype(np.float64, copy=False)
