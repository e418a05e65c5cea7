"""ONNX export, checked in onnxruntime against the model's own predict and predict_proba."""

import numpy as np
import onnx
import onnxruntime as ort
import pandas as pd
import pytest
import skl2onnx
from sklearn.compose import make_column_transformer
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import OrdinalEncoder, StandardScaler

from conftest import flats
from qor import (QORClassifier, QORClassifierCV, QORRegressor, QORRegressorCV, save,
                 to_onnx)
from qor.cli import main
from qor.onnx import register_skl2onnx


def session(proto):
    return ort.InferenceSession(proto.SerializeToString(), providers=["CPUExecutionProvider"])


def run(proto, X):
    """The graph's outputs on X: a DataFrame feeds one input per column."""
    graph = session(proto)
    if isinstance(X, pd.DataFrame):
        feeds = {i.name: X[[i.name]].to_numpy(object if i.type == "tensor(string)"
                                               else np.float64) for i in graph.get_inputs()}
    else:
        feeds = {graph.get_inputs()[0].name: X}
    return graph.run(None, feeds)


def assert_predicts_as_model(model, X, outputs, dtype=np.float64):
    """Labels equal predict; probabilities or values equal the model's doubles, rounded
    once to dtype; with several outputs, output by output."""
    if isinstance(model, QORRegressor):
        expected = model.predict(X).reshape(len(X), -1).astype(dtype)
        assert outputs[0].tobytes() == expected.tobytes()
        return
    assert np.array_equal(outputs[0], model.predict(X))
    proba = model.predict_proba(X)
    for got, want in zip(outputs[1:], proba if model.n_outputs_ > 1 else [proba]):
        assert got.dtype == dtype and got.tobytes() == want.astype(dtype).tobytes()


def rows(seed, n, d=4):
    rng = np.random.default_rng(seed)
    X = np.round(rng.normal(size=(n, d)) * 10, rng.integers(0, 3))
    X[rng.random(X.shape) < 0.1] = np.nan
    return X


def signal(X):
    return np.nan_to_num(X[:, 0]) + np.where(np.isnan(X[:, 1]), 5.0, X[:, 1] / 2)


def on_thresholds(model, X):
    """X, with a row at every numeric split's threshold and one just above it, in the
    feature of the split: each goes its own way at that node."""
    tree = model.tree_
    numeric = np.flatnonzero(~tree.is_leaf & ~tree.is_categorical)
    extra = np.repeat(X[:1], 2 * numeric.size, axis=0)
    for k, node in enumerate(numeric):
        t = tree.threshold[node]
        extra[2 * k, tree.feature[node]] = t
        extra[2 * k + 1, tree.feature[node]] = np.nextafter(t, np.inf)
    return np.vstack([X, extra])


LABELS = {"text": np.array(["low", "mid", "high"]), "int": np.array([-5, 0, 12]),
          "float": np.array([-1.0, 0.0, 2.0]), "bool": np.array([True, False, True])}


def numeric_models():
    X = rows(0, 800)
    s = signal(X)
    band = np.digitize(s, [-3.0, 4.0])
    yield "regressor", QORRegressor(max_depth=6).fit(X, s * 1.7 + np.sin(np.arange(800)))
    for kind, labels in LABELS.items():
        yield f"{kind} labels", QORClassifier(max_depth=6).fit(X, labels[band])
    yield "binned", QORClassifier(max_depth=6, max_bins=16).fit(X, band)
    yield "two outputs", QORClassifier(max_depth=5).fit(X, np.c_[band, LABELS["int"][band]])
    yield "two values", QORRegressor(max_depth=5).fit(X, np.c_[s, -s * s])
    yield "shrunk classifier", QORClassifier(max_depth=6, shrinkage=25).fit(X, band)
    yield "shrunk binned regressor", QORRegressor(max_depth=6, shrinkage=10, max_bins=32).fit(
        X, s + np.cos(np.arange(800)))
    yield "one leaf", QORClassifier(max_depth=0).fit(X, band)
    yield "one class", QORClassifier(max_depth=3).fit(X, np.zeros(800, int))


MODELS = dict(numeric_models())


@pytest.mark.parametrize("name", MODELS)
def test_double_inputs_predict_bit_for_bit_on_nans_and_thresholds(name):
    model = MODELS[name]
    if "shrunk" in name:  # else the graph could carry either and pass
        assert not np.array_equal(model.tree_.value, model.tree_.raw_value)
    X = on_thresholds(model, rows(1, 500))
    assert np.isnan(X).any(axis=1).sum() > 100
    assert_predicts_as_model(model, X, run(to_onnx(model), X))


@pytest.mark.parametrize("name", ["regressor", "text labels", "two outputs",
                                  "shrunk classifier"])
def test_float32_inputs_predict_as_the_model_on_their_doubles(name):
    model = MODELS[name]
    X32 = on_thresholds(model, rows(2, 500)).astype(np.float32)
    assert_predicts_as_model(model, X32.astype(np.float64),
                             run(to_onnx(model, dtype=np.float32), X32), dtype=np.float32)


def test_float32_inputs_differ_where_rounding_crosses_a_threshold():
    x = np.array([[0.1], [0.3]])
    model = QORClassifier(max_depth=1).fit(x, ["left", "right"])
    t = model.tree_.threshold[0]
    assert t == 0.2 and np.float32(t) > t  # 0.2 rounds up to a float32
    label, _ = run(to_onnx(model, dtype=np.float32), np.array([[t]], np.float32))
    assert model.predict([[t]])[0] == "left" and label[0] == "right"
    assert label[0] == model.predict(np.float32([[t]]).astype(np.float64))[0]


@pytest.fixture(params=["classifier", "regressor"])
def flat_models(request):
    """Fitted on `flats`: one with a text category (city), one with numbers only."""
    X, rent = flats(1, 600)
    y = np.where(rent > np.median(rent), "dear", "cheap") if request.param == "classifier" \
        else rent
    make = QORClassifier if request.param == "classifier" else QORRegressor
    return (make(max_depth=4, categorical_features=["city", "floor"]).fit(X, y),
            make(max_depth=4, categorical_features=["floor"]).fit(X.drop(columns="city"), y))


def test_categories_go_as_in_the_model_unseen_and_missing_ones_right(flat_models):
    with_text, numbers = flat_models
    X, _ = flats(2, 400, unseen=True)
    proto = to_onnx(with_text)
    assert [i.name for i in proto.graph.input] == ["city", "floor", "area"]
    # A missing city is any text that is no category.
    assert_predicts_as_model(with_text, X, run(proto, X.fillna({"city": ""})))
    # Raw numbers that no set may take for a category: fractions, -0.0, huge ones.
    X = X.drop(columns="city")
    X.loc[:5, "floor"] = [2.5, -0.0, 1e300, 3.0000001, -0.5, np.inf]
    assert set(numbers.tree_.feature[numbers.tree_.is_categorical]) == {0}
    assert_predicts_as_model(numbers, X, run(to_onnx(numbers), X.to_numpy(np.float64)))


def test_columns_named_as_outputs_keep_their_names():
    X, rent = flats(5, 300)
    X = X.rename(columns={"city": "label", "area": "probabilities"})
    model = QORClassifier(max_depth=3, categorical_features=["label"]).fit(X, rent > 900)
    proto = to_onnx(model)
    assert [o.name for o in proto.graph.output] == ["label_", "probabilities_"]
    assert_predicts_as_model(model, X, run(proto, X.fillna({"label": ""})))


def test_a_pipeline_converts_whole_through_skl2onnx():
    register_skl2onnx()
    X, rent = flats(3, 600)
    X_new, _ = flats(4, 300, unseen=True)
    X_new = X_new.fillna({"city": "Narvik"})
    pipe = make_pipeline(
        make_column_transformer(
            (OrdinalEncoder(handle_unknown="use_encoded_value", unknown_value=-1), ["city"]),
            (StandardScaler(), ["area"]), remainder="passthrough"),
        QORClassifier(max_depth=4, categorical_features=[0, 2])).fit(X, rent > 900)
    types = [("city", skl2onnx.common.data_types.StringTensorType([None, 1])),
             ("floor", skl2onnx.common.data_types.DoubleTensorType([None, 1])),
             ("area", skl2onnx.common.data_types.DoubleTensorType([None, 1]))]
    proto = skl2onnx.to_onnx(pipe, initial_types=types,
                             options={QORClassifier: {"zipmap": False}})
    assert {(o.domain, o.version) for o in proto.opset_import} >= {("ai.onnx.ml", 3)}
    graph = session(proto)
    label, proba = graph.run(None, {"city": X_new[["city"]].to_numpy(object),
                                    "floor": X_new[["floor"]].to_numpy(np.float64),
                                    "area": X_new[["area"]].to_numpy(np.float64)})
    assert np.array_equal(label, pipe.predict(X_new))
    # skl2onnx declares these probabilities float32 (its first input is text); the tree
    # still reads the pipeline's doubles.
    assert proba.tobytes() == pipe.predict_proba(X_new).astype(np.float32).tobytes()


@pytest.mark.parametrize("name", ["regressor", "float labels", "binned"])
def test_skl2onnx_converts_a_model_alone_bit_for_bit(name):
    register_skl2onnx()
    model = MODELS[name]
    X = on_thresholds(model, rows(5, 300))
    options = {QORClassifier: {"zipmap": False}}
    outputs = session(skl2onnx.to_onnx(model, X[:1], options=options)).run(None, {"X": X})
    if isinstance(model, QORClassifier):  # skl2onnx declares numeric labels int64
        outputs[0] = model.classes_[np.searchsorted(model.classes_, outputs[0])]
    assert_predicts_as_model(model, X, outputs)


@pytest.mark.parametrize("search, y", [
    (QORClassifierCV, lambda s: np.digitize(s, [-3.0, 4.0])),
    (QORRegressorCV, lambda s: s + np.sin(np.arange(s.size)))])
def test_a_search_converts_as_the_tree_it_chose(search, y):
    """The search itself, its best_estimator_, and a pipeline through skl2onnx."""
    register_skl2onnx()
    X_train = rows(9, 600)
    model = search(depths=4, shrinkages=[50], searches="greedy", cv=3).fit(
        X_train, y(signal(X_train)))
    X = on_thresholds(model, rows(10, 300))
    assert_predicts_as_model(model, X, run(to_onnx(model), X))
    assert to_onnx(model.best_estimator_).graph.node == to_onnx(model).graph.node
    pipe = make_pipeline(StandardScaler(), model).fit(X_train, y(signal(X_train)))
    options = {type(model): {"zipmap": False}} if search is QORClassifierCV else None
    proto = skl2onnx.to_onnx(pipe, X[:1], options=options)
    expected = [pipe.predict(X)] + ([pipe.predict_proba(X)] if search is QORClassifierCV
                                    else [])
    for got, want in zip(session(proto).run(None, {"X": X}), expected, strict=True):
        assert got.tobytes() == want.tobytes()


def dates():
    X = pd.DataFrame({"day": pd.date_range("2024-01-01", periods=40).repeat(5)})
    return X, np.arange(200) % 3


def huge_integers():
    return pd.DataFrame({"id": (2**60 + np.arange(200) % 7)}), np.arange(200) % 2


def huge_labels():
    X = rows(6, 300)
    return X, np.where(signal(X) > 0, np.uint64(2**63 + 5), np.uint64(0))


def text_X(X, y):
    return X.astype(str), y


@pytest.mark.parametrize("data, categorical, message, fix", [
    (dates, ["day"], "categories of type datetime64", text_X),
    (huge_integers, ["id"], "integer categories beyond 2\\*\\*53", text_X),
    (huge_labels, "from_dtype", "beyond the int64 range", lambda X, y: (X, y.astype(str)))])
def test_refused_models_name_the_fix_that_works(data, categorical, message, fix):
    X, y = data()
    model = QORClassifier(max_depth=2, categorical_features=categorical).fit(X, y)
    with pytest.raises(ValueError, match=message + ".*astype\\(str\\)"):
        to_onnx(model)
    X, y = fix(X, y)
    fixed = QORClassifier(max_depth=2, categorical_features=categorical).fit(X, y)
    assert_predicts_as_model(fixed, X, run(to_onnx(fixed), X))


def test_skl2onnx_refuses_double_probabilities_into_zipmap_and_the_fix_works():
    register_skl2onnx()
    model, X = MODELS["int labels"], rows(7, 50)
    with pytest.raises(ValueError, match="zipmap': False"):
        skl2onnx.to_onnx(model, X[:1])
    proto = skl2onnx.to_onnx(model, X[:1], options={QORClassifier: {"zipmap": False}})
    assert_predicts_as_model(model, X, session(proto).run(None, {"X": X}))


@pytest.mark.parametrize("model, dtype, error", [
    (QORClassifier(), np.float64, "fitted"),
    (MODELS["regressor"], np.int64, "float64 or float32"),
    (StandardScaler().fit([[1.0]]), np.float64, "QORClassifier and QORRegressor")])
def test_to_onnx_refuses_what_it_cannot_convert(model, dtype, error):
    with pytest.raises((TypeError, ValueError), match=error):
        to_onnx(model, dtype=dtype)


def test_export_command_writes_a_file_onnxruntime_runs(tmp_path, capsys):
    model = QORClassifier(max_depth=5, shrinkage=25).fit(rows(0, 800), LABELS["text"][
        np.digitize(signal(rows(0, 800)), [-3.0, 4.0])])
    save(model, tmp_path / "model.json")  # a saved model's newest version, shrunk values
    X = rows(8, 100)
    for dtype in ("float64", "float32"):
        path = tmp_path / f"{dtype}.onnx"
        assert main(["export", str(tmp_path / "model.json"), "--onnx", str(path),
                     "--dtype", dtype]) == 0
        proto = onnx.load(path)
        assert_predicts_as_model(model, X.astype(dtype).astype(np.float64),
                                 run(proto, X.astype(dtype)), dtype=np.dtype(dtype))
    X, y = huge_integers()
    save(QORClassifier(categorical_features=["id"]).fit(X, y), tmp_path / "ids.json")
    assert main(["export", str(tmp_path / "ids.json"), "--onnx",
                 str(tmp_path / "ids.onnx")]) == 2
    assert "ids.json: column 'id' has integer categories beyond 2**53" in \
        capsys.readouterr().err
    assert not (tmp_path / "ids.onnx").exists()
