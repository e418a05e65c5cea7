"""Rules as code: the generated Python function and SQL expression predict as the model."""

import sqlite3
from contextlib import closing

import numpy as np
import pandas as pd
import pytest

from conftest import flats
from qor import QORClassifier, QORRegressor, export_python, export_sql

# Names a careless generator would break: quotes, spaces, a newline, a keyword.
COLUMNS = ['size "cm"', "it's", "line\nbreak", "select"]


def rows(seed, n):
    rng = np.random.default_rng(seed)
    X = np.round(rng.normal(size=(n, len(COLUMNS))) * 10.0 ** rng.integers(-3, 4, len(COLUMNS)),
                 rng.integers(0, 9))
    X[rng.random(X.shape) < 0.15] = np.nan
    return X


LABELS = {"str": ["low", "mid", "high"], "int": [-5, 0, 12], "float": [-1.0, 0.0, 2.0],
          "bool": [True, False, True], "object": ["a'b", 'c"d', "e"], "regression": None}


@pytest.fixture(params=[(kind, shrinkage) for kind in LABELS for shrinkage in (0.0, 20.0)],
                ids=[f"{kind}-labels{'-shrunk' * bool(s)}" for kind in LABELS for s in (0, 1)])
def fitted(request):
    """A depth-5 tree, fitted on named columns (plain ones for integer labels), and new rows;
    shrunk or not."""
    kind, shrinkage = request.param
    X = rows(len(kind), 300)
    signal = np.nan_to_num(X[:, 0] / np.nanstd(X[:, 0])) + np.nan_to_num(X[:, 2] > 0)
    labels = LABELS[kind]
    if labels is None:
        est, y = QORRegressor(shrinkage=shrinkage), signal * 1.7 + np.sin(np.arange(len(X)))
    else:
        est = QORClassifier(shrinkage=shrinkage)
        y = np.array(labels, dtype=object if kind == "object" else None)[
            np.digitize(signal, [-0.5, 0.7])]
    named = kind != "int"
    return est.fit(pd.DataFrame(X, columns=COLUMNS) if named else X, y), rows(99, 400)


def predictions(estimator, X):
    names = getattr(estimator, "feature_names_in_", None)
    return estimator.predict(X if names is None else pd.DataFrame(X, columns=names)).tolist()


def test_the_python_function_predicts_every_row_as_the_model(fitted):
    estimator, X = fitted
    namespace = {}
    exec(export_python(estimator, function_name="rule"), namespace)
    got = [namespace["rule"](row) for row in X.tolist()]
    expected = predictions(estimator, X)
    assert got == expected
    # None is a missing value as NaN is, as SQL's NULL.
    assert [namespace["rule"]([None if v != v else v for v in row])
            for row in X.tolist()] == expected
    # Floats compare bit for bit, and labels keep their Python type.
    assert [type(v) for v in got] == [type(v) for v in expected]
    assert np.array(got).tobytes() == np.array(expected).tobytes()


def test_the_sql_expression_predicts_every_row_as_the_model(fitted):
    estimator, X = fitted
    columns = [f"x{j}" for j in range(X.shape[1])]
    if hasattr(estimator, "feature_names_in_"):
        columns = list(estimator.feature_names_in_)
    quoted = ", ".join('"' + c.replace('"', '""') + '" REAL' for c in columns)
    with closing(sqlite3.connect(":memory:")) as db:
        db.execute(f"CREATE TABLE data ({quoted})")
        # NaN enters as NULL, as a missing value should.
        db.executemany(f"INSERT INTO data VALUES ({', '.join('?' * len(columns))})",
                       [[None if np.isnan(v) else v for v in row] for row in X.tolist()])
        got = [v for (v,) in db.execute(f"SELECT {export_sql(estimator)} FROM data ORDER BY rowid")]
    expected = predictions(estimator, X)
    assert got == expected
    if isinstance(estimator, QORRegressor):
        assert np.array(got).tobytes() == np.array(expected).tobytes()


def test_python_refuses_a_tree_deeper_than_its_indentation_allows():
    # Doubling targets peel the top rows level after level: a tree about half as high
    # as its rows.
    X = np.arange(240.0).reshape(-1, 1)
    y = np.ldexp(1.0, np.arange(240))
    est = QORRegressor(max_depth=None).fit(X, y)
    assert est.get_depth() > 98
    with pytest.raises(ValueError, match=f"{est.get_depth()} levels deep; nested ifs in "
                                         "Python can hold at most 98"):
        export_python(est)
    deepest = QORRegressor(max_depth=98).fit(X, y)
    namespace = {}
    exec(export_python(deepest), namespace)
    assert [namespace["predict_row"](row) for row in X.tolist()] == deepest.predict(X).tolist()


def test_sql_numbers_read_back_as_the_models_doubles():
    # SQLite 3.40 reads these shortest forms one unit in the last place off.
    values = [63.092333, 70.440334, 0.4095382363454593, -0.2611162556205259]
    X = np.arange(4.0).reshape(-1, 1)
    est = QORRegressor(max_depth=2).fit(X, values)
    with closing(sqlite3.connect(":memory:")) as db:
        db.execute('CREATE TABLE data ("x0" REAL)')
        db.executemany("INSERT INTO data VALUES (?)", X.tolist())
        got = [v for (v,) in db.execute(f"SELECT {export_sql(est)} FROM data ORDER BY rowid")]
    assert got == values


def test_rules_send_categories_unseen_values_and_gaps_as_predict_does(flat_model):
    tree = flat_model.tree_
    assert set(tree.feature[tree.is_categorical]) == {0, 1}  # text and numeric categories
    X, _ = flats(2, 400, unseen=True)
    expected = predictions(flat_model, X)
    # A missing city as None, a missing floor or area as NaN.
    rows = [[city if city == city else None, floor, area]
            for city, floor, area in X.astype(object).to_numpy().tolist()]
    assert None in [row[0] for row in rows] and "Narvik" in [row[0] for row in rows]
    namespace = {}
    exec(export_python(flat_model), namespace)
    assert [namespace["predict_row"](row) for row in rows] == expected
    with closing(sqlite3.connect(":memory:")) as db:
        db.execute("CREATE TABLE data (city, floor, area)")  # no types: values as given
        db.executemany("INSERT INTO data VALUES (?, ?, ?)",
                       [[None if v != v else v for v in row] for row in rows])
        got = [v for (v,) in db.execute(f"SELECT {export_sql(flat_model)} FROM data "
                                        "ORDER BY rowid")]
    assert got == expected
