"""Saved models: exact round trips, and every kind of broken file refused by name."""

import json
import pickle

import numpy as np
import pandas as pd
import pytest
from sklearn.datasets import load_breast_cancer
from sklearn.exceptions import NotFittedError

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
