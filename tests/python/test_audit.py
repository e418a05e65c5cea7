"""The table audit: every column judged before it is learned, the same for every door."""

import datetime
import decimal

import numpy as np
import pandas as pd
import pytest
from sklearn.multioutput import MultiOutputClassifier
from sklearn.preprocessing import OrdinalEncoder

import qor
from qor import QORClassifier, QORRegressor, _audit

N = 200
DAYS = pd.date_range("2023-01-01", periods=N, freq="37h")


def _shuffled(values, seed=0):
    return np.random.default_rng(seed).permutation(np.asarray(values, dtype=object))


def _few_text_cells(n):
    ages = (np.arange(n) % 50 + 20).astype(str).astype(object)
    ages[[3, 9]] = "forty"
    return ages


COLUMNS = {
    # name, column, kind, action
    "floats": ("x", lambda n: np.linspace(0, 1, n) ** 2, "number", "numbers"),
    "year": ("year", lambda n: 2007 + np.arange(n) % 3, "number", "numbers"),
    "day-of-month": ("Day", lambda n: 1 + np.arange(n) % 31, "number", "numbers"),
    "unique-but-far-from-0": ("score", lambda n: 500 + np.arange(n), "number", "numbers"),
    "numbers-as-text": ("price", lambda n: (np.arange(n) % 17 + 0.5).astype(str), "number",
                        "numbers, read from text"),
    "ints-as-objects": ("count", lambda n: np.array([int(i % 9) for i in range(n)], dtype=object),
                        "number", "numbers, read from text"),
    "floats-with-none": ("dose", lambda n: np.array([None if i % 7 == 0 else i / 3.0
                                                     for i in range(n)], dtype=object),
                         "number", "numbers, read from text"),
    "decimals": ("amount", lambda n: np.array([decimal.Decimal(i % 11) / 4 for i in range(n)],
                                              dtype=object), "number", "numbers, read from text"),
    "booleans": ("flag", lambda n: np.arange(n) % 3 == 0, "number", "numbers"),
    "text-categories": ("colour", lambda n: np.array(["red", "green", "blue"] * n)[:n],
                        "category", "categories"),
    "category-dtype": ("size", lambda n: pd.Categorical(np.array(["S", "M", "L", "XL"] * n)[:n]),
                       "category", "categories"),
    "sizes-partly-numbers": ("fit", lambda n: np.array(["10", "12", "S", "M", "L"] * n)[:n],
                             "category", "categories"),
    "empty-numbers": ("gap", lambda n: np.full(n, np.nan), "empty", "numbers (all missing: "
                                                                     "never split)"),
    "empty-text": ("note", lambda n: np.array(["", " ", None] * n, dtype=object)[:n], "empty",
                   "numbers (all missing: never split)"),
    "row-numbers-from-0": ("n", lambda n: np.arange(n), "row number", "refused"),
    "row-numbers-from-1-shuffled": ("k", lambda n: _shuffled(np.arange(1, n + 1)).astype(int),
                                    "row number", "refused"),
    "part-of-a-run": ("k", lambda n: np.sort(_shuffled(np.arange(1, 4 * n // 3 + 1))[:n]),
                      "row number", "refused"),
    "row-numbers-as-text": ("k", lambda n: np.arange(n).astype(str), "row number", "refused"),
    "named-rownames": ("rownames", lambda n: 1000 + 3 * np.arange(n), "row number", "refused"),
    "named-unnamed-0": ("Unnamed: 0", lambda n: 50 + np.arange(n), "row number", "refused"),
    "text-row-names": ("rownames", lambda n: np.array([f"car {i}" for i in range(n)]),
                       "identifier", "refused"),
    "text-identifiers": ("code", lambda n: np.array([f"C{i:05d}" for i in range(n)]),
                         "identifier", "refused"),
    "numeric-ids": ("customer_id", lambda n: 10_000 + 7 * _shuffled(np.arange(n)).astype(int),
                    "identifier", "refused"),
    "free-text": ("review", lambda n: np.array([f"the {i}th visit was fine but slow"
                                                for i in range(n)]), "free text", "refused"),
    "few-text-cells": ("age", _few_text_cells, "number", "refused"),
    "decimal-commas": ("length", lambda n: np.char.replace((np.arange(n) % 40 + 0.5).astype(str),
                                                           ".", ","), "number", "refused"),
    "thousands": ("income", lambda n: np.array([f"{1000 * (i % 50) + 1234:,}.5"
                                                for i in range(n)]), "number", "refused"),
    # As spreadsheets write them: 12 beside 12,5, and a dash where a value is missing.
    "decimal-commas-beside-whole-numbers": (
        "depth", lambda n: np.array(["12", "12,5", "13,25", "-"] * n)[:n], "number", "refused"),
    "a-scale-of-ranges": ("struck", lambda n: np.array(["1"] * 6 + ["2-10", "11-100", "0",
                                                                    "Over 100"])[np.arange(n) % 10],
                          "category", "categories"),
    "durations": ("pace", lambda n: np.array([f"{i % 40}:{i % 60:02d}:{i % 7 * 5:02d}"
                                              for i in range(n)]), "date or time", "refused"),
    "dates-with-a-few-ranges": ("when", lambda n: np.where(
        np.arange(n) % 10 == 0, "01/02/2021 - 03/04/2021", DAYS.strftime("%m/%d/%Y")[:n]),
        "date or time", "refused"),
    "named-r-row-names": ("rownames", lambda n: np.array(
        [float(f"{i // 10 + 1}.{i % 10 + 1}") for i in range(n)]), "identifier", "refused"),
    "named-ids-with-repeats": ("patient_id", lambda n: (np.arange(n) / 1.5).astype(int),
                               "identifier", "refused"),
    "named-ids-counting-rows": ("id", lambda n: np.arange(1, n + 1), "identifier", "refused"),
}
DATES = {
    "iso": DAYS.strftime("%Y-%m-%d"),
    "day-first-dots": DAYS.strftime("%d.%m.%Y"),
    "day-first-slashes": DAYS.strftime("%d/%m/%Y"),
    "month-first": DAYS.strftime("%m/%d/%Y"),
    "month-names": DAYS.strftime("%b %d, %Y"),
    "long-month-names": DAYS.strftime("%d %B %Y"),
    "two-digit-years": DAYS.strftime("%d.%m.%y"),
    "month-first-two-digit-years": DAYS.strftime("%m/%d/%y"),
    "with-times": DAYS.strftime("%d.%m.%Y %H:%M"),
    "times-of-day": DAYS.strftime("%H:%M"),
    "date-objects": np.array([d.date() for d in DAYS], dtype=object),
    "datetime-objects": np.array([d.to_pydatetime() for d in DAYS], dtype=object),
    "timestamp-objects": np.array(list(DAYS), dtype=object),
    "datetime64": DAYS,
    "datetime64-with-zone": DAYS.tz_localize("UTC"),
    "timedelta64": DAYS - DAYS[0],
    "period": DAYS.to_period("D"),
}
COLUMNS.update({f"dates-{k}": ("when", (lambda v: lambda n: v[:n])(v), "date or time", "refused")
                for k, v in DATES.items()})


def _table(name, make, n=N):
    rng = np.random.default_rng(1)
    X = pd.DataFrame({"signal": rng.normal(size=n)})
    X[name] = make(n)
    return X, (X["signal"] > 0).astype(int)


@pytest.mark.parametrize("name, make, kind, action", COLUMNS.values(), ids=COLUMNS.keys())
def test_each_kind_is_judged_and_a_fit_does_what_the_audit_says(name, make, kind, action):
    X, y = _table(name, make)
    row = qor.audit(X).set_index("column").loc[name]
    assert (row["kind"], row["action"]) == (kind, action), row["evidence"]
    if action == "refused":
        with pytest.raises(ValueError, match=f"column {name!r}: "):
            QORClassifier().fit(X, y)
        return
    est = QORClassifier(max_depth=2).fit(X, y)
    assert est.is_categorical_[1] == (action == "categories")
    # Read as numbers, text predicts as the numbers it holds.
    if action == "numbers, read from text":
        as_floats = X.assign(**{name: pd.to_numeric(pd.Series(make(N), dtype=object))})
        assert (est.predict_proba(X) == QORClassifier(max_depth=2).fit(
            as_floats, y).predict_proba(as_floats)).all()


def _parameter(key):
    """The parameter a refusal names to take a column of COLUMNS[key] anyway: numbers
    where most of its cells read as numbers."""
    name, make, kind, _ = COLUMNS[key]
    numbers = pd.to_numeric(pd.Series(make(N)), errors="coerce").notna().mean() > 0.5
    return ("numeric_features" if numbers and kind in ("row number", "identifier", "number")
            else "categorical_features")


# Columns refused for what they hold (the named ones are judged by their names too).
REFUSED = {k: v for k, v in COLUMNS.items() if v[3] == "refused" and not k.startswith("named")
           and k != "text-row-names"}


@pytest.mark.parametrize("fix", ["drop", "declare"])
def test_every_refusal_names_its_fixes_and_each_fix_works(fix):
    # All the suspicious columns at once: one message names every one of them.
    X = pd.DataFrame({"signal": np.random.default_rng(2).normal(size=N)})
    y = (X["signal"] > 0).astype(int)
    for key, (name, make, kind, _) in REFUSED.items():
        X[f"{key}:{name}"] = make(N)
    with pytest.raises(ValueError) as refused:
        QORClassifier().fit(X, y)
    message = str(refused.value)
    assert message.startswith(f"X has {len(REFUSED)} columns that the tree would learn "
                              "wrongly, refused:\n")
    for column in X.columns[1:]:
        line = next(line for line in message.splitlines() if line.startswith(
            f"- column {column!r}: "))
        key = column.split(":")[0]
        parameter = _parameter(key)
        assert f"{parameter}=[{column!r}]" in line
        dropped = COLUMNS[key][2] in ("row number", "identifier", "free text", "date or time")
        assert (f"X.drop(columns=[{column!r}])" in line) == dropped
        # The fix the message gives, applied alone to this column, fits.
        alone = X[["signal", column]]
        if fix == "drop" and dropped:
            QORClassifier(max_depth=2).fit(alone.drop(columns=[column]), y)
        elif fix == "declare":
            QORClassifier(max_depth=2, **{parameter: [column]}).fit(alone, y)
    every = [c for c in X.columns[1:] if COLUMNS[c.split(":")[0]][2] in (
        "row number", "identifier", "free text", "date or time")]
    assert message.splitlines()[-1] == (
        f"- to drop every column whose fix is to drop it: X.drop(columns={every!r})")
    assert qor.audit(X.drop(columns=every))["action"].eq("refused").sum() == len(REFUSED) - len(
        every)


@pytest.mark.parametrize("writing, read", [
    ("decimal-commas", dict(decimal=",")),
    ("thousands", dict(thousands=",")),
])
def test_numbers_in_another_writing_point_to_the_reader_that_reads_them(tmp_path, writing, read):
    name, make, _, _ = COLUMNS[writing]
    X, y = _table(name, make)
    with pytest.raises(ValueError, match=r"read the file with pandas\.read_csv\(\.\.\., "
                       + ", ".join(f"{k}='{v}'" for k, v in read.items())):
        QORClassifier().fit(X, y)
    X.to_csv(tmp_path / "t.csv", sep=";", index=False)
    fixed = pd.read_csv(tmp_path / "t.csv", sep=";", **read)
    assert qor.audit(fixed).set_index("column").loc[name, "action"] == "numbers"
    QORClassifier().fit(fixed, y)


def test_text_cells_among_numbers_emptied_or_named_as_numbers_are_missing_values():
    X, y = _table("age", _few_text_cells)
    with pytest.raises(ValueError, match="correct those cells or leave them empty"):
        QORClassifier().fit(X, y)
    emptied = X.assign(age=X["age"].replace("forty", ""))
    assert qor.audit(emptied).set_index("column").loc["age", "action"] == (
        "numbers, read from text")
    QORClassifier().fit(emptied, y)
    est = QORClassifier(max_depth=2, numeric_features=["age"]).fit(X, y)
    new = pd.DataFrame({"signal": [0.0, 0.0], "age": ["forty", None]})
    with pytest.warns(UserWarning, match="column 'age' is read as numbers, but 1 of its cells "
                                         "hold text: 'forty', read as missing values"):
        assert est.apply(new)[0] == est.apply(new)[1]
    # Without the name, text at prediction is refused, naming the column and the fix.
    numbers = X.assign(age=X["age"].where(X["age"] != "forty"))
    plain = QORClassifier(max_depth=2).fit(numbers, y)
    with pytest.raises(ValueError, match="column 'age' is read as numbers, but 1 of its cells "
                                         "hold text: 'forty'.*numeric_features"):
        plain.predict(new)


def test_blank_text_is_a_missing_value_never_a_category():
    colour = np.array(["red", "green", "", " ", None] * 40, dtype=object)
    X = pd.DataFrame({"colour": colour})
    y = np.isin(colour, ["red"]).astype(int)
    est = QORClassifier(max_depth=1).fit(X, y)
    assert est.categories_[0].tolist() == ["green", "red"]
    routed = est.apply(pd.DataFrame({"colour": ["", " ", None, "never seen"]}))
    assert len(set(routed)) == 1


def test_declarations_that_contradict_or_leave_text_unread_are_refused_by_name():
    X = pd.DataFrame({"cut": ["Premium", "Ideal"] * 20, "carat": np.arange(40) % 7 / 2})
    y = np.arange(40) % 2
    with pytest.raises(ValueError, match="both name \\['cut'\\]"):
        QORClassifier(categorical_features=["cut"], numeric_features=["cut"]).fit(X, y)
    with pytest.raises(ValueError, match="column 'cut': text, which cannot be read as numbers, "
                                         "and categorical_features does not name it.*encode it "
                                         "as numbers first .scikit-learn's OrdinalEncoder.*"
                                         "categorical_features=\\['cut'\\]"):
        QORClassifier(categorical_features=None).fit(X, y)
    encoded = X.assign(cut=OrdinalEncoder().fit_transform(X[["cut"]])[:, 0])
    QORClassifier(categorical_features=None).fit(encoded, y)
    QORClassifier(categorical_features=["cut"]).fit(X, y)
    # Named as numbers, text and dates are refused with what reads them.
    dated = X.assign(when=pd.date_range("2024-01-01", periods=40).strftime("%d.%m.%Y"))
    for column, fix in (("cut", "name it in categorical_features instead"),
                        ("when", "derive numbers from it")):
        with pytest.raises(ValueError, match=f"column {column!r}: .*{fix}"):
            QORClassifier(numeric_features=[column]).fit(dated, y)
    QORClassifier(categorical_features=["cut", "when"]).fit(dated, y)


def test_several_outputs_with_categories_advice_works():
    X = pd.DataFrame({"cut": ["Premium", "Ideal", "Good"] * 20, "code": np.arange(60) % 4})
    Y = np.c_[np.arange(60) % 2, np.arange(60) % 3]
    with pytest.raises(ValueError, match="MultiOutputClassifier") as refused:
        QORClassifier(categorical_features=["cut", "code"]).fit(X, Y)
    assert "categorical_features=None" in str(refused.value)
    # One tree per output, categories kept:
    assert MultiOutputClassifier(QORClassifier()).fit(X, Y).predict(X).shape == (60, 2)
    # Numeric codes taken as numbers fit; text fails for the named reason it holds text.
    QORClassifier(categorical_features=None).fit(X[["code"]], Y)
    with pytest.raises(ValueError, match="column 'cut': text, which cannot be read as numbers"):
        QORClassifier(categorical_features=None).fit(X, Y)


@pytest.mark.parametrize("make, fix, message", [
    (lambda: QORClassifier(search="lookahead", max_features=1), dict(max_features=None),
     "leave max_features=None"),
    (lambda: QORClassifier(search="lookahead", max_features=1), dict(search="greedy"),
     "or use search='greedy'"),
    (lambda: QORRegressor(criterion="mae", max_bins=8), dict(criterion="squared_error"),
     "Use criterion='squared_error'"),
    (lambda: QORRegressor(criterion="mae", max_bins=8), dict(max_bins=None), "max_bins=None"),
    (lambda: QORRegressor(criterion="poisson"), dict(criterion="squared_error"),
     "Use criterion='squared_error'"),
])
def test_advice_of_the_estimators_works_when_applied(make, fix, message):
    X = np.c_[np.arange(40.0) % 7, np.arange(40.0) % 5]
    y = np.r_[np.arange(20) % 2, -(np.arange(20) % 2)].astype(float)
    est = make()
    with pytest.raises(ValueError, match=message.replace("(", "\\(").replace(")", "\\)")):
        est.fit(X, y)
    est.set_params(**fix).fit(X, y)


def test_an_array_of_numbers_is_numbers_and_an_object_array_is_judged():
    X = np.arange(60.0).reshape(30, 2)  # an arange is a feature here: arrays have no names
    assert QORRegressor().fit(X, X[:, 0]).get_depth() > 0
    objects = np.array([[i, None if i == 3 else i / 2, "a" if i % 2 else "b"]
                        for i in range(30)], dtype=object)
    with pytest.raises(ValueError, match="column 2: text.*categorical_features=\\[2\\]"):
        QORRegressor().fit(objects, np.arange(30.0))
    QORRegressor(categorical_features=[2]).fit(objects, np.arange(30.0))


def _fix_in(message: str, before: str) -> str:
    """The Python expression a refusal gives after `before`, up to the next fix."""
    return message.split(before, 1)[1].split("; to take", 1)[0]


DERIVED = {k: v for k, v in COLUMNS.items() if v[2] == "date or time"}


@pytest.mark.parametrize("name, make, kind, action", DERIVED.values(), ids=DERIVED.keys())
def test_the_number_a_date_refusal_derives_is_what_a_fit_takes(name, make, kind, action):
    X, y = _table(name, make)
    with pytest.raises(ValueError) as refused:
        QORClassifier().fit(X, y)
    what, code = _fix_in(str(refused.value), f"or drop it (X.drop(columns=[{name!r}])); ").split(
        ": ", 1)
    derived = eval(code, {"pd": pd, "X": X})
    assert what in ("the year", "the hour", "the seconds", "the seconds since midnight")
    # Every date of the column, its odd cells apart, gives a number.
    assert derived.notna().sum() == (~X[name].astype(str).str.contains(" - ")).sum()
    model = QORClassifier(max_depth=2).fit(X.assign(**{name: derived}), y)
    assert not model.is_categorical_.any()


def test_free_text_is_refused_for_a_vectorizer_and_the_vectorizer_given_fits():
    from sklearn.compose import make_column_transformer  # noqa: F401 - the fix names them
    from sklearn.feature_extraction.text import TfidfVectorizer  # noqa: F401
    from sklearn.pipeline import make_pipeline

    words = ["slow", "fine", "great", "cold", "late"]
    X = pd.DataFrame({"stay": np.arange(N) % 9, "review": [
        f"the {i}th visit was {words[i % 5]} but {words[(i * 3) % 5]}" for i in range(N)]})
    y = (np.arange(N) % 5 < 2).astype(int)
    with pytest.raises(ValueError, match="free text") as refused:
        QORClassifier().fit(X, y)
    code = _fix_in(str(refused.value), "a vectorizer before the tree: ")
    model = make_pipeline(eval(code), QORClassifier(max_depth=3)).fit(X, y)
    assert model.score(X, y) > 0.9


def test_a_comma_that_may_be_either_mark_offers_both_readings_and_each_reads_numbers(tmp_path):
    X = pd.DataFrame({"signal": np.arange(N) % 3, "weight": [f"{i % 9 + 1},{i:03d}"
                                                             for i in range(N)]})
    y = np.arange(N) % 2
    with pytest.raises(ValueError, match="either a decimal comma or a thousands separator.*"
                       r"read_csv\(\.\.\., decimal=','\) or with pandas\.read_csv\(\.\.\., "
                       r"thousands=','\)"):
        QORClassifier().fit(X, y)
    X.to_csv(tmp_path / "t.csv", sep=";", index=False)
    for reading, scale in ((dict(decimal=","), 1), (dict(thousands=","), 1000)):
        read = pd.read_csv(tmp_path / "t.csv", sep=";", **reading)
        assert read["weight"].iloc[5] == pytest.approx(6.005 * scale)
        QORClassifier().fit(read, y)


@pytest.mark.parametrize("column, kind, refused", [
    # A text cell outside the sample: the sample reads numbers, the whole column tells.
    (np.where(np.arange(10_000) == 4_321, "forty", (np.arange(10_000) % 97).astype(str)),
     "number", True),
    # Distinct in the sample, one value repeated outside it: no row numbers.
    (np.where(np.arange(10_000) == 4_321, 7, np.arange(10_000)), "number", False),
    (_shuffled(np.arange(10_000)).astype(np.int64), "row number", True),
    (np.array([f"C{i:06d}" for i in range(10_000)]), "identifier", True),
    (np.array(["a", "b", None, " ", "c"] * 2_000, dtype=object), "category", False),
], ids=["text-outside-the-sample", "repeat-outside-the-sample", "row-numbers", "identifiers",
        "categories"])
def test_a_sample_decides_only_what_the_whole_column_would(column, kind, refused):
    assert len(column) > 4 * _audit.SAMPLE_ROWS
    verdict = _audit.judge_column(pd.Series(column), "x")
    assert (verdict.kind, verdict.suspicious) == (kind, refused)


MERGED = {k: v for k, v in COLUMNS.items() if not k.startswith("dates-datetime64")
          and k not in ("dates-timedelta64", "dates-period", "category-dtype")}


@pytest.mark.parametrize("name, make, kind, action", MERGED.values(), ids=MERGED.keys())
def test_facts_of_parts_merged_judge_a_column_as_the_whole_does(name, make, kind, action):
    # What qor.dask does with its partitions: their facts add up to the column's.
    column = pd.Series(make(N))
    whole = _audit.judge_column(column, name)
    parts = [_audit.facts(part, sample=False, ids=_audit.asks_ids(name))
             for part in (column[:37], column[37:120], column[120:])]
    merged = _audit.judge(_audit.merge(parts), name)
    assert (merged.kind, merged.suspicious, merged.from_text) == (
        whole.kind, whole.suspicious, whole.from_text)


def test_many_texts_take_the_shapes_each_text_takes_alone():
    # Many distinct texts are screened together, character by character: a digit of
    # another script, a dotless i, an inf split over two texts or written in capitals
    # must give each text the shape it has when looked at alone.
    rng = np.random.default_rng(3)
    pieces = ["1", "٣", ",", ".", " ", "\u00a0", "+", "-", "e", "inf", "INF", "I", "n", "f",
              "ı", "K", "ü", "a", ":", "/", "🙂", "\x00", "12,5", "Jan", "Infinity", "inity",
              "t", "Y", "N7"]
    texts = {"".join(rng.choice(pieces, size=rng.integers(0, 6))) for _ in range(3000)}
    values = np.array(sorted(texts), dtype=object)
    assert len(values) >= _audit._SCREENED_FROM
    alone = [_audit.shapes(np.array([v], dtype=object))[0] for v in values]
    np.testing.assert_array_equal(_audit.shapes(values), alone)
    assert {_audit.NONE, _audit.NUMBERISH, _audit.FLOATISH, _audit.OTHER} <= set(alone)
    # Texts read back to back: an inf begun in one and ended in the next is in neither.
    split = np.array(["q:i", "nfq", "x:I", "Nf:1"] * 80, dtype=object)
    np.testing.assert_array_equal(_audit.shapes(split), [_audit.NONE, _audit.NONE,
                                                         _audit.NONE, _audit.OTHER] * 80)


def test_many_long_texts_count_the_words_str_split_finds():
    # Free text is told by its words, counted for many texts in one pass: every blank
    # str.split splits at (tabs, no-break and wide spaces, separators) and none other.
    rng = np.random.default_rng(4)
    pieces = ["word", "é", "🙂", " ", "\t", "\n", "\x1c", "\x85", "\u00a0", "\u2003",
              "\u3000", "\u200b", "\ufeff", "\u180e", "\ud800", "-"]
    texts = [f"{i:04d}" + "".join(rng.choice(pieces, size=rng.integers(5, 30))) for i in range(600)]
    values = np.array(texts, dtype=object)
    expected = [len(v) >= _audit.FREE_TEXT_CHARACTERS and len(v.split()) >= _audit.FREE_TEXT_WORDS
                for v in values]
    assert sum(expected) >= _audit._SCREENED_FROM and not all(expected)
    np.testing.assert_array_equal(_audit._long_text(values), expected)
