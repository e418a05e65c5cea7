"""Saved models: exact round trips, and every kind of broken file refused by name."""

import json
import pickle

import numpy as np
import pandas as pd
import pytest
from sklearn.datasets import load_breast_cancer
from sklearn.exceptions import NotFittedError

from conftest import flats
from qor import QORClassifier, QORRegressor, load, save

X, Y = load_breast_cancer(return_X_y=True, as_frame=True)
X_NAN = X.mask(np.random.default_rng(5).random(X.shape) < 0.1)

MODELS = {
    "str-labels": lambda: QORClassifier(max_depth=4).fit(X_NAN, Y.map({0: "bad", 1: "good"})),
    "int-labels": lambda: QORClassifier(criterion="entropy").fit(X_NAN.to_numpy(), Y * 7 - 3),
    "bool-labels": lambda: QORClassifier(max_depth=2).fit(X_NAN, Y == 1),
    "mse-pruned": lambda: QORRegressor(max_depth=6, ccp_alpha=1e-3, min_samples_leaf=0.01)
    .fit(X_NAN, X["mean area"] / 7),
    "single-leaf": lambda: QORRegressor(max_depth=0).fit(X_NAN, X["mean area"]),
    "weighted": lambda: QORClassifier(class_weight={-3: 2.5, 4: 1.0}, monotonic_cst=[1] + [0] * 29)
    .fit(X_NAN.fillna(0).to_numpy(), Y * 7 - 3, sample_weight=np.linspace(0.1, 3, len(Y))),
}


def identical(a: np.ndarray, b: np.ndarray) -> bool:
    """Same dtype and the same values to the bit (labels in object arrays by equality)."""
    if a.dtype.kind == "O":
        return b.dtype.kind == "O" and a.tolist() == b.tolist()
    return a.dtype == b.dtype and a.tobytes() == b.tobytes()


@pytest.mark.parametrize("make", MODELS.values(), ids=MODELS.keys())
def test_a_loaded_model_predicts_bit_for_bit(tmp_path, make):
    model = make()
    save(model, tmp_path / "model.json")
    loaded = load(tmp_path / "model.json")
    assert type(loaded) is type(model) and loaded.get_params() == model.get_params()
    rows = X_NAN if hasattr(model, "feature_names_in_") else X_NAN.to_numpy()
    assert identical(loaded.predict(rows), model.predict(rows))
    if isinstance(model, QORClassifier):
        assert identical(loaded.classes_, model.classes_)
        assert identical(loaded.predict_proba(rows), model.predict_proba(rows))
    assert loaded.depth_features_ == model.depth_features_
    assert identical(pickle.loads(pickle.dumps(loaded)).predict(rows), model.predict(rows))


@pytest.fixture(scope="module")
def document(tmp_path_factory):
    """A depth-2 classifier's file: 7 nodes, depth 0 on feature 20, depth 1 on 27."""
    path = tmp_path_factory.mktemp("model") / "model.json"
    save(QORClassifier(max_depth=2).fit(X, Y), path)
    return json.loads(path.read_text())


def edit(change):
    def apply(document):
        document = json.loads(json.dumps(document))
        change(document, document["tree"])
        return json.dumps(document)
    return apply


BROKEN = {
    "truncated": (lambda d: json.dumps(d)[:300], "truncated or not JSON"),
    "binary": (lambda d: b"\x89PNG\r\n\x1a\n\xff".decode("latin-1"), "truncated or not JSON"),
    "nan": (edit(lambda d, t: t["threshold"].__setitem__(0, float("nan"))),
            "NaN is not a number JSON allows"),
    "not-a-model": (lambda d: '{"tree": []}', 'not a qor model file \\(no "format"'),
    "newer": (edit(lambda d, t: d.update(version=2)),
              "written by a newer qor \\(format version 2\\); this qor reads versions up to 1"),
    "params": (edit(lambda d, t: d["params"].update(max_depth=-1)),
               "bad params: The 'max_depth' parameter"),
    "classes": (edit(lambda d, t: d["classes"]["values"].append(2)),
                "tree n_classes is 2, expected 3"),
    "child-id": (edit(lambda d, t: t["children_left"].__setitem__(2, 99)),
                 "node 2 has children \\[99, 6\\], but numbered breadth first they would "
                 "be \\[5, 6\\]"),
    "depth-first": (edit(lambda d, t: t.update(children_left=[1, 2, -1, -1, 5, -1, -1],
                                               children_right=[4, 3, -1, -1, 6, -1, -1])),
                    "node 0 has children \\[1, 4\\]"),
    "length": (edit(lambda d, t: t["threshold"].pop()),
               "tree.threshold must be an array of 7 entries"),
    "feature": (edit(lambda d, t: t["feature"].__setitem__(0, 30)),
                "node 0 splits on feature 30, outside 0..29"),
    "two-features": (edit(lambda d, t: t["feature"].__setitem__(2, 3)),
                     "the splits of depth 1 do not share one feature"),
    "counts": (edit(lambda d, t: t["n_node_samples"].__setitem__(3, 1)),
               "n_node_samples do not add up"),
    "missing-array": (edit(lambda d, t: t.pop("gain")), "missing \\['gain'\\]"),
}


@pytest.mark.parametrize("breakage, message", BROKEN.values(), ids=BROKEN.keys())
def test_a_broken_file_is_refused_saying_what_is_wrong(tmp_path, document, breakage, message):
    path = tmp_path / "broken.json"
    path.write_text(breakage(document), encoding="latin-1")
    with pytest.raises(ValueError, match=f"^{path}: .*{message}"):
        load(path)


@pytest.mark.parametrize("estimator, error", [(QORClassifier(), NotFittedError),
                                              (pd.DataFrame(), TypeError)])
def test_only_fitted_qor_estimators_are_saved(tmp_path, estimator, error):
    with pytest.raises(error):
        save(estimator, tmp_path / "model.json")
    assert not (tmp_path / "model.json").exists()


def test_a_categorical_model_loads_and_pickles_bit_for_bit(tmp_path, flat_model):
    save(flat_model, tmp_path / "model.json")
    loaded = load(tmp_path / "model.json")
    assert loaded.is_categorical_.tolist() == [True, True, False]
    assert all(identical(a, b) for a, b in zip(loaded.categories_[:2], flat_model.categories_))
    rows, _ = flats(2, 400, unseen=True)  # unseen and missing categories too
    for model in (loaded, pickle.loads(pickle.dumps(loaded))):
        assert identical(model.apply(rows), flat_model.apply(rows))
        assert identical(model.predict(rows), flat_model.predict(rows))


@pytest.fixture(scope="module")
def categorical_document(tmp_path_factory):
    """Depth 0 splits size; depth 1 colour (blue, green, red): node 1 sends codes [0, 1]
    left, node 2 codes [1, 2], from categories_left [0, 1, 1, 2]."""
    X = pd.DataFrame({"size": [1.0] * 6 + [2.0] * 6, "colour": ["red", "blue", "green"] * 4})
    path = tmp_path_factory.mktemp("model") / "model.json"
    save(QORRegressor(max_depth=2).fit(X, [3.0, 0, 1, 3, 0, 1, 10, 14, 10, 10, 14, 10]), path)
    document = json.loads(path.read_text())
    assert document["tree"]["categories_left"] == [0, 1, 1, 2]
    return document


def set_categories(values=None, dtype="|O"):
    return edit(lambda d, t: d["categories"].__setitem__(
        1, None if values is None else {"dtype": dtype, "values": values}))


BROKEN_CATEGORICAL = {
    "repeated": (set_categories(["blue", "blue", "red"]),
                 "categories of feature 1 must be distinct"),
    "narrow-dtype": (set_categories(["blue", "green", "red"], "<U4"),
                     "categories of feature 1 do not fit their dtype <U4"),
    "numeric-feature": (set_categories(None), "node 1 splits numeric feature 1 by categories"),
    "by-threshold": (edit(lambda d, t: (t["category_end"].__setitem__(1, 0),
                                        t["threshold"].__setitem__(1, 0.5))),
                     "node 1 splits categorical feature 1 by a threshold"),
    "threshold": (edit(lambda d, t: t["threshold"].__setitem__(2, 0.5)),
                  "node 2 splits by categories, so its threshold must be null"),
    "code": (edit(lambda d, t: t["categories_left"].__setitem__(3, 3)),
             "node 2 sends codes \\[1, 3\\] left, outside the 3 categories of feature 1"),
    "range": (edit(lambda d, t: t["category_end"].__setitem__(2, 9)),
              "node 2's categories \\[2, 9\\) lie outside tree.categories_left, which holds 4"),
    "unsorted": (edit(lambda d, t: t.update(categories_left=[1, 0, 1, 2])),
                 "node 1's category codes \\[1, 0\\] are not ascending and distinct"),
}


@pytest.mark.parametrize("breakage, message", BROKEN_CATEGORICAL.values(),
                         ids=BROKEN_CATEGORICAL.keys())
def test_a_broken_categorical_file_is_refused_saying_what_is_wrong(
        tmp_path, categorical_document, breakage, message):
    path = tmp_path / "broken.json"
    path.write_text(breakage(categorical_document))
    with pytest.raises(ValueError, match=f"^{path}: .*{message}"):
        load(path)
