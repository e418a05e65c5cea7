"""The scikit-learn estimators: labels, inputs, the array copy of the tree, pickling,
importances and the refusals."""

import copy
import math
import pickle

import numpy as np
import pandas as pd
import pytest
from sklearn.exceptions import NotFittedError
from sklearn.utils.estimator_checks import parametrize_with_checks

import _qor_native
from qor import (QORClassifier, QORClassifierCV, QORRegressor, QORRegressorCV, export_dot,
                 export_text)

ESTIMATORS = [(QORClassifier, "gini"), (QORClassifier, "entropy"),
              (QORRegressor, "mse"), (QORRegressor, "mae")]
ESTIMATOR_IDS = [f"{cls.__name__}-{criterion}" for cls, criterion in ESTIMATORS]


def problem(rng, cls, n=120, d=5, nan_share=0.1):
    """Coarse features (many ties) with some NaN; labels or targets that depend on them."""
    X = rng.integers(0, 6, size=(n, d)).astype(np.float64)
    signal = X[:, 0] + 2 * X[:, 2] + rng.normal(size=n)
    X[rng.random(X.shape) < nan_share] = np.nan
    if cls is QORClassifier:
        return X, np.digitize(signal, [4.0, 8.0])
    return X, signal


@parametrize_with_checks([QORClassifier(), QORRegressor(), QORClassifier(max_bins=32),
                          QORRegressor(max_bins=32), QORClassifier(shrinkage=5.0),
                          # Repeated rows fall into other folds than weighted ones, so
                          # weights are equivalent to repeats in a search only while its
                          # choice stands, as here with greedy trees (as in GridSearchCV).
                          QORClassifierCV(depths=3, shrinkages=[0.0, 10.0], cv=3,
                                          searches="greedy"),
                          QORRegressorCV(depths=3, shrinkages=[0.0, 10.0], cv=3,
                                         searches="greedy")])
def test_sklearn_estimator_checks(estimator, check):
    check(estimator)


@pytest.mark.parametrize("cls, criterion", ESTIMATORS, ids=ESTIMATOR_IDS)
@pytest.mark.parametrize("limits", [dict(max_depth=4), dict(max_depth=None, min_samples_leaf=3),
                                    dict(max_depth=6, min_samples_split=10)])
def test_estimators_predict_like_the_native_tree(rng, cls, criterion, limits):
    X, y = problem(rng, cls)
    est = cls(criterion=criterion, **limits).fit(X, y)
    task = "classification" if cls is QORClassifier else "regression"
    depth = limits["max_depth"] if limits["max_depth"] is not None else 2**31 - 1
    native = _qor_native.QORModel(task, criterion, depth, limits.get("min_samples_split", 2),
                                  limits.get("min_samples_leaf", 1))
    native.fit(X, np.searchsorted(est.classes_, y).astype(float) if task == "classification"
               else y.astype(float))
    assert est.depth_features_ == native.depth_features_
    X_new = rng.integers(-1, 7, size=(300, X.shape[1])).astype(np.float64)
    X_new[rng.random(X_new.shape) < 0.2] = np.nan
    trained_in = est.apply(X)
    for rows in (X, X_new):
        if cls is QORClassifier:
            proba = np.array(native.predict_proba(rows))
            assert est.predict_proba(rows).tobytes() == proba.tobytes()
            np.testing.assert_array_equal(est.predict(rows), est.classes_[proba.argmax(axis=1)])
        elif criterion == "mae":
            # The same leaves: the native tree's mean is one value per leaf of the
            # estimator's, whose leaves predict their training targets' median.
            leaves, native_values = est.apply(rows), np.array(native.predict(rows))
            for leaf in np.unique(leaves):
                assert np.unique(native_values[leaves == leaf]).size == 1
                assert est.predict(rows)[leaves == leaf][0] == np.median(y[trained_in == leaf])
        else:
            assert est.predict(rows).tobytes() == np.array(native.predict(rows)).tobytes()


@pytest.mark.parametrize("cls, criterion", ESTIMATORS, ids=ESTIMATOR_IDS)
def test_tree_keeps_its_invariants(rng, cls, criterion):
    X, y = problem(rng, cls)
    est = cls(criterion=criterion, max_depth=6).fit(X, y)
    tree = est.tree_
    left, right = tree.children_left, tree.children_right
    inside = np.flatnonzero(left >= 0)
    assert inside.size > 3
    depth = tree.depth
    assert np.all(np.diff(depth) >= 0) and depth[0] == 0 and tree.max_depth == depth.max()
    assert np.array_equal(tree.feature < 0, left < 0)
    assert np.all(left[inside] > inside) and np.array_equal(right[inside], left[inside] + 1)
    assert np.array_equal(depth[left[inside]], depth[inside] + 1)
    for counts in (tree.n_node_samples, tree.weighted_n_node_samples):
        assert np.array_equal(counts[inside], counts[left[inside]] + counts[right[inside]])
    assert tree.n_node_samples[0] == len(y)
    for node in inside:
        assert tree.feature[node] == est.depth_features_[depth[node]]
    leaves = np.flatnonzero(left < 0)
    assert np.all(tree.feature[leaves] == -2) and np.all(tree.threshold[leaves] == -2.0)
    assert tree.value.shape == (tree.node_count, 1, tree.n_classes[0])
    if cls is QORClassifier:
        np.testing.assert_allclose(tree.value.sum(axis=2), 1.0)
    # Every training row reaches the leaf whose row count includes it.
    assert np.array_equal(np.bincount(est.apply(X), minlength=tree.node_count)[leaves],
                          tree.n_node_samples[leaves])
    # ... and passes exactly the nodes on its way there.
    path = est.decision_path(X)
    assert np.array_equal(np.asarray(path.sum(axis=0)).ravel(), tree.n_node_samples)


@pytest.mark.parametrize("cls, criterion", ESTIMATORS, ids=ESTIMATOR_IDS)
@pytest.mark.parametrize("duplicate", [pickle.loads, copy.deepcopy], ids=["pickle", "deepcopy"])
def test_copies_predict_identically(rng, cls, criterion, duplicate):
    X, y = problem(rng, cls)
    est = cls(criterion=criterion).fit(X, y)
    twin = duplicate(pickle.dumps(est) if duplicate is pickle.loads else est)
    assert twin.tree_ is not est.tree_ and twin.tree_.node_count == est.tree_.node_count
    assert est.predict(X).tobytes() == twin.predict(X).tobytes()
    if cls is QORClassifier:
        assert est.predict_proba(X).tobytes() == twin.predict_proba(X).tobytes()
    assert twin.depth_features_ == est.depth_features_
    assert np.array_equal(twin.feature_importances_, est.feature_importances_)
    assert export_text(twin) == export_text(est) and export_dot(twin) == export_dot(est)


@pytest.mark.parametrize("max_bins", [None, 32])
def test_arrays_at_odd_bytes_fit_and_predict_as_aligned_ones(rng, max_bins):
    X, y = problem(rng, QORClassifier)
    # Unpickled from a network frame, an array may start at any byte.
    odd = np.empty(X.nbytes + 1, dtype=np.uint8)[1:].view(np.float64).reshape(X.shape)
    odd[...] = X
    assert not odd.flags.aligned
    est = QORClassifier(max_bins=max_bins).fit(odd, y)
    twin = QORClassifier(max_bins=max_bins).fit(X, y)
    assert np.array_equal(est.tree_.threshold, twin.tree_.threshold)
    assert np.array_equal(est.predict_proba(odd), twin.predict_proba(X))


@pytest.mark.parametrize("labels", [
    np.array(["spam", "ham", "eggs"]),
    np.array([7, -3, 40]),
    np.array([2.0, -1.0, 0.0]),
    np.array(["b", "a", "c"], dtype=object),
    np.array([200, 3, 9], dtype=np.uint8),
    np.array([2**40, -2**40, 5]),
    np.array([2.0**60, -0.0, 3.0]),
], ids=["str", "int", "float", "object", "uint8", "wide-int", "wide-float"])
def test_any_labels_come_back_in_their_own_dtype(labels):
    X = np.arange(12.0).reshape(-1, 1)
    y = labels[[0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2]]
    est = QORClassifier(max_depth=2).fit(X, y)
    assert np.array_equal(est.classes_, np.sort(labels)) and est.classes_.dtype == y.dtype
    assert est.n_classes_ == 3
    predicted = est.predict(X)
    assert predicted.dtype == y.dtype and np.array_equal(predicted, y)
    proba = est.predict_proba(X)
    assert proba.shape == (12, 3)
    # Each row is certain of its own label, in the column of classes_ that holds it.
    np.testing.assert_array_equal(est.classes_[proba.argmax(axis=1)], y)
    assert np.all(proba.max(axis=1) == 1.0)


@pytest.mark.parametrize("cls, y", [(QORClassifier, ["a", "b", "a", "b", "b", "a"]),
                                    (QORRegressor, [1.0, 5.0, 1.5, 4.0, 6.0, 0.5])])
def test_dataframes_name_the_features(cls, y):
    frame = pd.DataFrame({"height": [1.0, 4, 2, 5, 6, 0], "width": [3.0, 3, 1, 1, 2, 2]})
    est = cls(max_depth=2).fit(frame, pd.Series(y, name="target"))
    assert est.feature_names_in_.tolist() == ["height", "width"] and est.n_features_in_ == 2
    assert "splits on height" in export_text(est).splitlines()[0]
    plain = cls(max_depth=2).fit(frame.to_numpy(), np.asarray(y))
    assert not hasattr(plain, "feature_names_in_")
    np.testing.assert_array_equal(est.predict(frame), plain.predict(frame.to_numpy()))
    with pytest.raises(ValueError, match="feature names should match"):
        est.predict(frame[["width", "height"]])


@pytest.mark.parametrize("names, kept", [(["city", "floor"], True), ([0, 1], False),
                                         (["city", 1], TypeError)])
def test_a_dataframe_keeps_its_names_as_scikit_learn_keeps_them(names, kept):
    # Its text column encoded, X reaches the tree as a matrix: the names come from X.
    frame = pd.DataFrame({"c": ["a", "b", "a", "c"] * 3, "f": np.arange(12.0) % 5})
    frame = frame.set_axis(names, axis=1)
    model = QORClassifier(max_depth=2, categorical_features=[0])
    if kept is TypeError:
        with pytest.raises(TypeError, match="only supported if all input features have string"):
            model.fit(frame, np.arange(12) % 2)
        return
    model.fit(frame, np.arange(12) % 2)
    assert hasattr(model, "feature_names_in_") == kept
    if kept:
        assert model.feature_names_in_.tolist() == names


@pytest.mark.parametrize("text", ["object", "str"])
@pytest.mark.parametrize("rows, refused", [
    (lambda f: f[["height", "city"]], "must be in the same order"),
    (lambda f: f.assign(width=1.0), "unseen at fit time"),
    (lambda f: f.rename(columns={"city": "town"}), "unseen at fit time"),
    (lambda f: f.iloc[:0], "0 sample"),
    (lambda f: f.iloc[:, :1], "yet now missing"),
])
def test_a_dataframe_to_predict_is_checked_before_it_is_encoded(text, rows, refused):
    frame = pd.DataFrame({"city": ["a", "b", "a", "c", "b", "c"] * 3,
                          "height": np.arange(18.0) % 7}).astype({"city": text})
    model = QORClassifier(max_depth=2).fit(frame, np.arange(18) % 2)
    with pytest.raises(ValueError, match=refused):
        model.predict(rows(frame))
    coded = QORClassifier(max_depth=2, categorical_features=[1]).fit(frame.iloc[:, ::-1].to_numpy(
        object), np.arange(18) % 2)
    with pytest.raises(ValueError, match="expecting 2 features"):
        coded.predict(frame.iloc[:, 1:].to_numpy())
    # Names that are no text are no names: read by position, with scikit-learn's warning.
    with pytest.warns(UserWarning, match="does not have valid feature names"):
        unnamed = model.predict(frame.set_axis([0, 1], axis=1))
    np.testing.assert_array_equal(unnamed, model.predict(frame))


@pytest.mark.parametrize("method", ["predict", "predict_proba", "apply", "decision_path"])
@pytest.mark.parametrize("row, n_jobs", [(0, 1), (4_999, 1), (9_999, 2)])
def test_infinity_anywhere_in_X_is_refused_by_every_prediction(method, row, n_jobs):
    # Column 2 is pure noise the tree never reads: routing alone would not see it.
    rng = np.random.default_rng(0)
    X = np.column_stack([rng.normal(size=(10_000, 2)), np.zeros(10_000)])
    model = QORClassifier(max_depth=3, n_jobs=n_jobs).fit(X, X[:, 0] > 0)
    assert 2 not in model.tree_.feature
    X[row, 2] = -np.inf
    with pytest.raises(ValueError, match="Input X contains infinity"):
        getattr(model, method)(X)
    X[row, 2] = np.nan  # missing, not infinite
    getattr(model, method)(X)


def test_nan_goes_right_and_infinity_is_refused():
    X = np.array([[1.0], [2.0], [3.0], [np.nan]])
    est = QORRegressor(max_depth=1).fit(X, [0.0, 0.0, 10.0, 10.0])
    assert est.tree_.threshold[0] == 2.5
    assert est.predict([[np.nan], [2.5], [-1e300]]).tolist() == [10.0, 0.0, 0.0]
    with pytest.raises(ValueError, match="Input X contains infinity"):
        est.predict([[np.inf]])
    with pytest.raises(ValueError, match="Input X contains infinity"):
        QORRegressor().fit([[1.0], [-np.inf]], [0.0, 1.0])
    with pytest.raises(ValueError, match="Input y contains NaN"):
        QORRegressor().fit([[1.0], [2.0]], [0.0, np.nan])


def test_unlimited_depth_grows_until_nothing_can_split():
    X = np.arange(64.0).reshape(-1, 1)
    y = np.arange(64) % 2
    capped = QORClassifier(max_depth=5).fit(X, y)
    unlimited = QORClassifier(max_depth=None).fit(X, y)
    assert capped.score(X, y) < 1.0 and unlimited.score(X, y) == 1.0
    assert len(unlimited.depth_features_) > 5


@pytest.mark.parametrize("est, message", [
    (QORClassifier(criterion="mse"), "'criterion' parameter of QORClassifier must be a str among"),
    (QORRegressor(criterion="gini"), "'criterion' parameter of QORRegressor must be a str among"),
    (QORRegressor(max_depth=2**31), "'max_depth' parameter"),
    (QORClassifier(min_samples_split=1), "'min_samples_split' parameter"),
    (QORClassifier(min_samples_split=1.5), "'min_samples_split' parameter"),
    (QORRegressor(min_samples_leaf=1.0), "'min_samples_leaf' parameter"),
    (QORRegressor(min_samples_leaf=0.0), "'min_samples_leaf' parameter"),
    (QORClassifier(ccp_alpha=-0.1), "'ccp_alpha' parameter"),
])
def test_bad_parameters_are_refused_at_fit(est, message):
    with pytest.raises(ValueError, match=message):
        est.fit([[0.0], [1.0]], [0, 1])


@pytest.mark.parametrize("cls, call", [
    (QORClassifier, lambda est: est.predict([[0.0]])),
    (QORClassifier, lambda est: est.predict_proba([[0.0]])),
    (QORRegressor, lambda est: est.predict([[0.0]])),
    (QORRegressor, lambda est: est.apply([[0.0]])),
    (QORClassifier, lambda est: est.predict_log_proba([[0.0]])),
    (QORClassifier, lambda est: est.feature_importances_),
    (QORRegressor, lambda est: est.get_depth()),
    (QORRegressor, lambda est: est.get_n_leaves()),
    (QORClassifier, export_text),
    (QORRegressor, export_dot),
], ids=["predict", "predict_proba", "predict-regressor", "apply", "predict_log_proba",
        "feature_importances_", "get_depth", "get_n_leaves", "export_text", "export_dot"])
def test_unfitted_use_raises_not_fitted(cls, call):
    with pytest.raises(NotFittedError):
        call(cls())


# Hand-computed trees: f0 separates the rows in pairs at depth 0, f1 splits within pairs.
HAND_X = np.array([[1.0, 1.0], [1.0, 2.0], [2.0, 1.0], [2.0, 2.0]])


def _entropy(*shares):
    """Entropy in bits; a pure set scores 0."""
    return -sum(p * math.log2(p) for p in shares)


# Root 4 x H(3/4, 1/4) less 2 x H(1) and 2 x H(1/2, 1/2); {0, 1}: 2 x H(1/2, 1/2) less 2 x H(1).
_ROOT_DROP = 4 * _entropy(0.75, 0.25) - 2 * _entropy(1.0) - 2 * _entropy(0.5, 0.5)
_PAIR_DROP = 2 * _entropy(0.5, 0.5) - 2 * _entropy(1.0)


@pytest.mark.parametrize("cls, criterion, y, expected", [
    # Weighted impurity (rows x impurity): root 1.5, {0, 0} 0, {0, 1} 1, leaves 0.
    (QORClassifier, "gini", [0, 0, 0, 1], [0.5 / 1.5, 1 / 1.5]),
    (QORClassifier, "entropy", [0, 0, 0, 1],
     [_ROOT_DROP / (_ROOT_DROP + _PAIR_DROP), _PAIR_DROP / (_ROOT_DROP + _PAIR_DROP)]),
    # Root 4 x 25.25, each pair 2 x 0.25, leaves 0.
    (QORRegressor, "mse", [0.0, 1.0, 10.0, 11.0], [100 / 101, 1 / 101]),
    # Root 4 x 5 (around the median 5.5), each pair 2 x 0.5, leaves 0.
    (QORRegressor, "mae", [0.0, 1.0, 10.0, 11.0], [0.9, 0.1]),
])
def test_importances_weigh_each_decrease_by_its_rows(cls, criterion, y, expected):
    est = cls(criterion=criterion).fit(HAND_X, y)
    assert est.depth_features_ == {0: 0, 1: 1}
    np.testing.assert_allclose(est.feature_importances_, expected, rtol=1e-12)


@pytest.mark.parametrize("cls, criterion", ESTIMATORS, ids=ESTIMATOR_IDS)
def test_importances_add_up_to_one_over_the_split_features(rng, cls, criterion):
    X, y = problem(rng, cls, d=8)
    est = cls(criterion=criterion, max_depth=3).fit(X, y)
    importances = est.feature_importances_
    assert importances.shape == (8,) and np.all(importances >= 0)
    assert importances.sum() == pytest.approx(1.0)
    used = np.unique(est.tree_.feature[est.tree_.feature >= 0])
    assert np.array_equal(np.flatnonzero(importances), used)
    assert importances.argmax() in (0, 2)  # the two columns the targets depend on


@pytest.mark.parametrize("cls, params, y", [(QORClassifier, {"max_depth": 0}, [0, 1, 1, 0]),
                                            (QORRegressor, {}, [3.0, 3.0, 3.0, 3.0])],
                         ids=["depth-0", "constant-target"])
def test_a_single_leaf_has_zero_importances(cls, params, y):
    est = cls(**params).fit(HAND_X, y)
    assert est.tree_.node_count == 1
    assert est.feature_importances_.tolist() == [0.0, 0.0]


@pytest.mark.parametrize("cls, criterion", ESTIMATORS, ids=ESTIMATOR_IDS)
def test_scikit_learn_tools_read_the_tree(rng, cls, criterion):
    from sklearn.tree import export_graphviz

    X, y = problem(rng, cls, nan_share=0.0)
    est = cls(criterion=criterion, max_depth=3).fit(X, y)
    dot = export_graphviz(est, feature_names=[f"f{j}" for j in range(X.shape[1])])
    assert dot.count(" [label=") == est.tree_.node_count
    assert f"f{est.depth_features_[0]} <= " in dot


def test_predict_is_the_first_most_probable_class_whatever_the_row_order():
    from sklearn.datasets import load_iris

    X, y = load_iris(return_X_y=True)
    for order in (slice(None), slice(None, None, -1)):
        est = QORClassifier(max_depth=1).fit(X[order], y[order])
        proba = est.predict_proba(X)
        assert np.array_equal(est.predict(X), est.classes_[proba.argmax(axis=1)])


@pytest.mark.parametrize("share, rows", [
    (dict(min_samples_leaf=0.1), dict(min_samples_leaf=5)),  # ceil(0.1 x 45) = 5
    (dict(min_samples_leaf=0.2), dict(min_samples_leaf=9)),
    (dict(min_samples_split=0.5), dict(min_samples_split=23)),
    (dict(min_samples_split=0.01), dict(min_samples_split=2)),  # never below 2
    (dict(min_samples_split=1.0), dict(min_samples_split=45)),
])
def test_row_shares_mean_ceil_of_the_share_of_rows(rng, share, rows):
    X, y = problem(rng, QORRegressor, n=45)
    by_share = QORRegressor(max_depth=None, **share).fit(X, y)
    by_rows = QORRegressor(max_depth=None, **rows).fit(X, y)
    assert export_text(by_share) == export_text(by_rows)
    assert by_share.depth_features_ == by_rows.depth_features_


def test_log_probabilities_are_minus_infinity_for_absent_classes():
    est = QORClassifier(max_depth=1).fit(HAND_X, [0, 0, 1, 2])
    log_proba = est.predict_log_proba(HAND_X)
    np.testing.assert_array_equal(np.exp(log_proba), est.predict_proba(HAND_X))
    assert log_proba[0].tolist() == [0.0, -np.inf, -np.inf]
    assert est.get_depth() == 1 and est.get_n_leaves() == 2
