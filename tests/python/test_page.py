"""The tree page as a file: self-contained, carrying the model and the rows it was given,
refusing what it cannot show. Its behaviour in a browser is in test_page_browser.py."""

import json
import re

import numpy as np
import pandas as pd
import pytest
from conftest import flats
from sklearn.datasets import load_breast_cancer

from qor import QORClassifier, QORRegressor, export_html
from qor.cli import main
from qor.export import PICTURE_SET_WIDTH, _split, _split_text


def page_data(path) -> dict:
    """The model and rows a page carries, as its script reads them."""
    text = path.read_text(encoding="utf-8")
    found = re.search(r'<script type="application/json" id="qor-data">(.*?)</script>', text, re.S)
    return json.loads(found.group(1))


@pytest.fixture(scope="module")
def cancer():
    X, y = load_breast_cancer(return_X_y=True, as_frame=True)
    return QORClassifier(max_depth=3).fit(X, y), X, y


def test_the_page_loads_nothing_and_no_name_can_end_its_script(tmp_path):
    X, rent = flats(2, 300)
    model = QORRegressor(max_depth=3, categorical_features=["city", "floor"]).fit(X, rent)
    hostile = ["</script><script>alert(1)</script>", "<!--floor", "area\u2028"]
    export_html(model, tmp_path / "page.html", X, rent, feature_names=hostile)
    text = (tmp_path / "page.html").read_text(encoding="utf-8")
    # Two script elements (the data and the code) and one style; nothing fetched.
    assert text.count("<script") == 2 and text.count("</script>") == 2
    assert not re.search(r"""(src|href)\s*=|@import|url\(|https?://""", text)
    data = page_data(tmp_path / "page.html")
    assert data["names"] == hostile
    assert data["threshold"][0] == model.tree_.threshold[0]  # the exact double


@pytest.mark.parametrize("kind", ["numeric", "categorical"])
def test_each_nodes_histogram_counts_the_given_rows_that_reach_it(tmp_path, kind):
    if kind == "numeric":
        X, y = load_breast_cancer(return_X_y=True)
        X = X.copy()
        X[np.random.default_rng(0).random(X.shape) < 0.1] = np.nan
        model = QORClassifier(max_depth=4).fit(X, y)
    else:
        X, y = flats(3, 500, unseen=True)
        model = QORRegressor(max_depth=4, categorical_features=["city", "floor"]).fit(
            flats(3, 500)[0], y)
    export_html(model, tmp_path / "page.html", X)
    hist = page_data(tmp_path / "page.html")["hist"]["nodes"]
    tree = model.tree_
    reached = np.asarray(model.decision_path(X).sum(axis=0)).ravel()
    codes = model._validate_X_predict(X)
    depth = tree.depth
    for node in range(tree.node_count):
        feature = model.depth_features_.get(int(depth[node]))
        if feature is None:
            assert hist[node] is None
            continue
        counts, missing = hist[node]["counts"], hist[node]["missing"]
        assert sum(counts) + missing == reached[node]
        rows = codes[model.decision_path(X)[:, node].toarray().ravel() == 1, feature]
        assert missing == np.isnan(rows).sum()
        if kind == "categorical" and model.is_categorical_[feature]:
            assert counts == np.bincount(rows[~np.isnan(rows)].astype(int),
                                         minlength=len(counts)).tolist()
        cut = hist[node]["cut"]
        assert (cut is None) == (tree.is_leaf[node] or tree.is_categorical[node])


def test_each_split_reads_on_the_page_as_in_the_picture(tmp_path, flat_model):
    # The page puts a feature's name before its nodes' conditions; the two make the text
    # every picture shows, categories cut to the same width.
    export_html(flat_model, tmp_path / "page.html")
    data = page_data(tmp_path / "page.html")
    names = data["names"]
    for node in np.flatnonzero(~flat_model.tree_.is_leaf):
        split = _split(flat_model, node)
        for left, condition in ((True, data["cut"][node]), (False, data["cut_no"][node])):
            assert f"{names[split.feature]} {condition}" == _split_text(
                names[split.feature], split, 6, left=left, width=PICTURE_SET_WIDTH)


def test_a_deep_tree_with_a_thousand_rows_stays_small(tmp_path):
    # Labels that wiggle along every feature keep most branches growing to the full depth.
    rng = np.random.default_rng(5)
    X = rng.normal(size=(20000, 12))
    y = np.sin(3 * X).sum(axis=1) > 0
    X[::7, 3] = np.nan
    model = QORClassifier(max_depth=10).fit(X, y)
    assert model.get_depth() == 10 and model.tree_.node_count > 1000
    export_html(model, tmp_path / "page.html", X[:1000], y[:1000])
    assert (tmp_path / "page.html").stat().st_size < 2_000_000


def test_rows_are_listed_up_to_max_rows_with_labels_targets_and_unseen_values(tmp_path):
    X, rent = flats(4, 120, unseen=True)
    X.index = [f"flat {i}" for i in range(120)]
    model = QORClassifier(max_depth=3, categorical_features=["city", "floor"]).fit(
        flats(4, 120)[0], rent > np.median(rent))
    export_html(model, tmp_path / "page.html", X, rent > np.median(rent), max_rows=50,
                class_names=["cheap", "dear"])
    rows = page_data(tmp_path / "page.html")["rows"]
    assert rows["total"] == 120 and rows["labels"] == [f"flat {i}" for i in range(50)]
    assert rows["targets"] == ["dear" if r else "cheap" for r in rent[:50] > np.median(rent)]
    city = rows["columns"]["0"]
    for value, shown in zip(X["city"][:50], city):
        if value is None:
            assert shown is None
        elif value == "Narvik":
            assert shown == "Narvik"  # unseen: its text, which routes right
        else:
            assert model.categories_[0][shown] == value


@pytest.mark.parametrize("call, message", [
    (lambda m, X, y, p: export_html(m, p, y=y), "y needs X"),
    (lambda m, X, y, p: export_html(m, p, X, y[:-1]), r"y has shape \(568,\), but X has 569 rows"),
    (lambda m, X, y, p: export_html(m, p, X.iloc[:, :5]), "feature names should match"),
    (lambda m, X, y, p: export_html(m, p, precision=0), "precision must be an integer >= 1"),
    (lambda m, X, y, p: export_html(m, p, max_rows=-1), "max_rows must be None or an integer"),
    (lambda m, X, y, p: export_html(m, p, class_names=["one"]), "class_names has 1 entries"),
    (lambda m, X, y, p: export_html(m, p, feature_names=["a"]), "feature_names has 1 entries"),
])
def test_what_the_page_cannot_show_is_refused_before_writing(cancer, tmp_path, call, message):
    model, X, y = cancer
    with pytest.raises(ValueError, match=message):
        call(model, X, y, tmp_path / "page.html")
    assert not (tmp_path / "page.html").exists()


def test_fit_and_show_write_pages(tmp_path, monkeypatch, capsys):
    frame = pd.DataFrame({"size": np.arange(40.0) - 5, "label": ["small"] * 20 + ["big"] * 20})
    frame.to_csv(tmp_path / "data.csv", index=False)
    monkeypatch.chdir(tmp_path)
    status = main(["fit", "data.csv", "--target", "label", "--save", "m.json", "--html",
                   "fit.html"])
    fit = capsys.readouterr()
    assert status == 0, fit.err
    assert "page               fit.html" in fit.out.splitlines()
    rows = page_data(tmp_path / "fit.html")["rows"]
    assert rows["total"] == 10 and len(rows["targets"]) == 10  # the held-out rows
    assert main(["show", "m.json", "--html", "show.html"]) == 0
    assert capsys.readouterr().out.startswith("depth 0 splits on size")
    assert page_data(tmp_path / "show.html")["rows"] is None
    assert main(["show", "m.json", "--html", "no/such/dir/p.html"]) == 2
    assert capsys.readouterr().err.startswith("qor show: error: cannot write")
