"""Saved models: exact round trips, and every kind of broken file refused by name."""

import json
import pickle
import tracemalloc
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from sklearn.datasets import load_breast_cancer
from sklearn.exceptions import NotFittedError

from conftest import flats
from qor import QORClassifier, QORRegressor, load, save

DATA = Path(__file__).parent / "data"
X, Y = load_breast_cancer(return_X_y=True, as_frame=True)
X_NAN = X.mask(np.random.default_rng(5).random(X.shape) < 0.1)

MODELS = {
    "str-labels": lambda: QORClassifier(max_depth=4).fit(X_NAN, Y.map({0: "bad", 1: "good"})),
    "int-labels": lambda: QORClassifier(criterion="entropy").fit(X_NAN.to_numpy(), Y * 7 - 3),
    "bool-labels": lambda: QORClassifier(max_depth=2).fit(X_NAN, Y == 1),
    "mse-pruned": lambda: QORRegressor(max_depth=6, ccp_alpha=1e-3, min_samples_leaf=0.01)
    .fit(X_NAN, X["mean area"] / 7),
    "single-leaf": lambda: QORRegressor(max_depth=0).fit(X_NAN, X["mean area"]),
    "shrunk": lambda: QORClassifier(max_depth=5, shrinkage=25.0).fit(
        X_NAN, np.digitize(X["mean area"], [500, 800])),
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
    "newer": (edit(lambda d, t: d.update(version=5)),
              "written by a newer qor \\(format version 5\\); this qor reads versions up to 4"),
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
    # Without the digest's check: the checks that stand alone for files of version 1
    # and for files changed and sealed again.
    path = tmp_path / "broken.json"
    path.write_text(breakage(document), encoding="latin-1")
    with pytest.raises(ValueError, match=f"^{path}: .*{message}"):
        load(path, verify=False)


def set_classes(dtype, values):
    return edit(lambda d, t: d.update(classes={"dtype": dtype, "values": values}))


def set_class_weight_labels(labels):
    return edit(lambda d, t: d["params"].update(
        class_weight={"labels": labels, "weights": [1.0, 2.0]}))


# Faults no structural check of a tree catches: each is one ValueError naming it.
CORRUPTED = {
    "label-beyond-int64": (set_classes("<i8", [0, 10**30]),
                           "bad classes: class labels do not fit their dtype <i8: they must "
                           "lie in -9223372036854775808..9223372036854775807"),
    "label-beyond-uint8": (set_classes("|u1", [0, 300]), "do not fit their dtype |u1: they "
                                                         "must lie in 0..255"),
    "float16-overflow": (set_classes("<f2", [0.0, 1e6]), "do not fit their dtype <f2"),
    "bool-for-int": (set_classes("<i8", [False, True]), "of dtype <i8 must be integers"),
    "mixed-labels": (set_classes("|O", ["a", 1]),
                     "classes must be distinct labels of one kind, in ascending order"),
    "wide-strings": (set_classes("<U2000000", ["0", "1"]),
                     "class labels would take 4000000 characters in their fixed-width "
                     "dtype, more than the file holds"),
    "huge-strings": (set_classes("<U2000000000", ["0", "1"]), "would take 4000000000 char"),
    "huge-empty-strings": (edit(lambda d, t: d["categories"].__setitem__(
        0, {"dtype": "<U2000000000", "values": []})), "would take 2000000000 char"),
    "datetime-labels": (set_classes("<M8[ns]", [0, 1]),
                        "of dtype '<M8\\[ns\\]' are not supported"),
    "class-weight-without-dtype": (set_class_weight_labels({"values": [0, 1]}),
                                   'bad params: class_weight labels must hold "dtype" and '
                                   '"values"'),
    "class-weight-without-values": (set_class_weight_labels({"dtype": "<i8"}),
                                    'class_weight labels must hold "dtype" and "values"'),
    "deep-nesting": (lambda d: '{"format": "qor-model", "tree": ' + "[" * 100_000,
                     "not a qor model file: nested deeper than any model"),
    "deep-valid-json": (lambda d: '{"format": "qor-model", "version": 2, "params": '
                        + "[" * 50 + "]" * 50 + "}", "nested deeper than any model"),
    "shares-beyond-1": (edit(lambda d, t: t["value"].__setitem__(1, [0.7, 0.7])),
                        "node 1's class shares add up to 1.4, not 1"),
    "overflowing-number": (lambda d: json.dumps(d).replace('"n_features_in": 30',
                                                           '"n_features_in": 3e999'),
                           "a number is too large for a double"),
    "threads": (edit(lambda d, t: d["params"].update(n_jobs=2**40)),
                "bad params: n_jobs 1099511627776 is out of range"),
    "unknown-field": (edit(lambda d, t: d.update(comment="hi")),
                      "unknown fields \\['comment'\\] for format version 2"),
}


@pytest.mark.parametrize("breakage, message", CORRUPTED.values(), ids=CORRUPTED.keys())
def test_a_corrupted_file_is_refused_without_allocating_beyond_its_size(
        tmp_path, document, breakage, message):
    path = tmp_path / "corrupted.json"
    path.write_text(breakage(document))
    tracemalloc.start()
    try:
        with pytest.raises(ValueError, match=f"^{path}: .*{message}"):
            load(path, verify=False)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 2**20 + 100 * path.stat().st_size


def test_a_file_of_version_1_loads_and_saves_sealed(tmp_path):
    """model-v1.json was written by the first format's save, before files had digests."""
    flats = pd.read_csv(DATA / "flats.csv")
    rows = flats.drop(columns="predicted")
    old = load(DATA / "model-v1.json")
    assert old.predict(rows).tolist() == flats["predicted"].tolist()
    save(old, tmp_path / "model.json")
    document = json.loads((tmp_path / "model.json").read_text())
    assert document["version"] == 2 and document["digest"].startswith("sha256:")
    assert identical(load(tmp_path / "model.json").predict_proba(rows), old.predict_proba(rows))


def twice_the_first_threshold(document, tree):
    tree["threshold"][0] *= 2


SEALED_AND_CHANGED = {
    "threshold": (edit(twice_the_first_threshold), "changed after it was saved: its content "
                  "does not match its digest \\(to keep a change made on purpose, seal the "
                  "file again: qor.save\\(qor.load\\(path, verify=False\\), path\\)\\)$"),
    "no-digest": (edit(lambda d, t: d.pop("digest")), "changed after it was saved"),
    "digest-not-text": (edit(lambda d, t: d.update(digest=[1])), "changed after it was saved"),
    "version-1": (edit(lambda d, t: d.update(version=1)),
                  "unknown fields \\['digest'\\] for format version 1"),
}


@pytest.mark.parametrize("breakage, message", SEALED_AND_CHANGED.values(),
                         ids=SEALED_AND_CHANGED.keys())
def test_a_sealed_file_changed_after_saving_is_refused(tmp_path, document, breakage, message):
    path = tmp_path / "changed.json"
    path.write_text(breakage(document))
    with pytest.raises(ValueError, match=f"^{path}: {message}"):
        load(path)


def test_a_file_changed_on_purpose_is_sealed_again_by_save(tmp_path, document):
    path = tmp_path / "model.json"
    path.write_text(edit(twice_the_first_threshold)(document))
    model = load(path, verify=False)
    assert model.tree_.threshold[0] == 2 * document["tree"]["threshold"][0]
    save(model, path)
    assert load(path).tree_.threshold[0] == model.tree_.threshold[0]


def test_the_digest_covers_the_content_not_the_layout(tmp_path, document):
    path = tmp_path / "model.json"
    path.write_text(json.dumps(dict(reversed(document.items())), indent=3))
    assert load(path).tree_.threshold[0] == document["tree"]["threshold"][0]


def mutants(data: bytes, seed: int, count: int):
    """`count` copies of `data`, each with one bit flipped, one byte replaced by a
    printable character, or cut short."""
    rng = np.random.default_rng(seed)
    for _ in range(count):
        at = int(rng.integers(len(data)))
        kind = rng.integers(3)
        if kind == 0:
            yield data[:at] + bytes([data[at] ^ 1 << int(rng.integers(8))]) + data[at + 1:]
        elif kind == 1:
            yield data[:at] + bytes([int(rng.integers(32, 127))]) + data[at + 1:]
        else:
            yield data[:at]


@pytest.mark.parametrize("sealed", [True, False], ids=["sealed", "version-1"])
def test_a_fuzzed_file_is_refused_or_loads_a_sound_model(tmp_path, sealed):
    """Sealed: only a change that leaves the content as it was (such as a space for a
    newline) loads, and predicts exactly as the original. Version 1: a change may load,
    but only as a model that predicts, with class shares that add up."""
    original = load(DATA / "model-v1.json")
    if sealed:
        save(original, tmp_path / "model.json")
    data = (tmp_path / "model.json" if sealed else DATA / "model-v1.json").read_bytes()
    rows = pd.read_csv(DATA / "flats.csv").drop(columns="predicted")
    path = tmp_path / "mutant.json"
    for mutant in mutants(data, seed=int(sealed), count=300):
        path.write_bytes(mutant)
        try:
            model = load(path)
        except ValueError:
            continue
        named = rows.set_axis(model.feature_names_in_, axis=1)
        proba = model.predict_proba(named)
        if sealed:
            assert json.loads(mutant) == json.loads(data), mutant
            assert identical(proba, original.predict_proba(rows))
        else:
            model.predict(named)
            assert np.allclose(proba.sum(axis=1), 1.0, rtol=0, atol=1e-12)


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
    model = QORRegressor(max_depth=2, min_category_samples=1, category_smoothing=0)
    save(model.fit(X, [3.0, 0, 1, 3, 0, 1, 10, 14, 10, 10, 14, 10]), path)
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
    "shared-codes": (edit(lambda d, t: t["category_start"].__setitem__(2, 1)),
                     "nodes 1 and 2 share codes of tree.categories_left"),
    "stray-code": (edit(lambda d, t: t["categories_left"].append(2**70)),
                   "tree.categories_left must hold category codes, 0..2"),
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
        load(path, verify=False)
