"""Whole fits from Python: growth rules, tree invariants, and agreement with the
literal reference on random data."""


import numpy as np
import pytest

from conftest import CRITERIA, TASKS, assert_models_equal, assert_sound_tree, make_model
from reference import RefModel


def random_problem(rng, task, n=60, d=4, distinct=True, nan_share=0.0, integer_targets=False):
    if distinct:
        X = rng.permutation(n * d).reshape(n, d).astype(np.float64) / 7.0
    else:
        X = rng.integers(0, 4, size=(n, d)).astype(np.float64)
    if nan_share:
        X[rng.random(X.shape) < nan_share] = np.nan
    if task == "classification":
        y = rng.integers(0, 3, size=n).astype(np.float64) * 2.5 - 1
    elif integer_targets:
        y = rng.integers(-20, 20, size=n).astype(np.float64)
    else:
        y = rng.normal(size=n) * 10
    return X, y


@pytest.mark.parametrize("task", TASKS)
@pytest.mark.parametrize("criterion", CRITERIA)
@pytest.mark.parametrize("distinct, nan_share", [(True, 0.0), (False, 0.0), (False, 0.15)])
@pytest.mark.parametrize("limits", [(4, 2, 1), (6, 5, 3), (3, 1, 0)])
def test_matches_the_literal_reference(rng, task, criterion, distinct, nan_share, limits):
    for _ in range(3):
        X, y = random_problem(rng, task, distinct=distinct, nan_share=nan_share,
                              integer_targets=criterion == "mae")
        model = make_model(task, criterion, *limits)
        model.fit(X, y)
        ref = RefModel(task, criterion, *limits)
        ref.fit(X, y)
        assert_models_equal(model, ref)
        assert model.predict(X) == ref.predict(X)
        assert model.predict_proba(X) == ref.predict_proba(X)


@pytest.mark.parametrize("task", TASKS)
@pytest.mark.parametrize("criterion", CRITERIA)
def test_tree_invariants_on_random_data(rng, task, criterion):
    X, y = random_problem(rng, task, n=200, d=5, distinct=False, nan_share=0.05)
    max_depth = 6
    model = make_model(task, criterion, max_depth)
    model.fit(X, y)
    assert_sound_tree(model, X, y, task, max_depth)


@pytest.mark.parametrize("max_depth", [0, -1, -2**31])
def test_non_positive_depth_gives_one_leaf(toy, max_depth):
    X, y = toy
    model = make_model(max_depth=max_depth)
    model.fit(X, y)
    assert model.root.is_leaf and model.root.indices == list(range(8))
    assert model.depth_features_ == {}


def test_depth_one_splits_only_the_root(toy):
    X, y = toy
    model = make_model(max_depth=1)
    model.fit(X, y)
    assert not model.root.is_leaf
    assert model.root.left.is_leaf and model.root.right.is_leaf
    assert list(model.depth_features_) == [0]


@pytest.mark.parametrize("X, y", [
    (np.zeros((0, 3)), np.zeros(0)),                      # no rows
    (np.arange(6.0).reshape(3, 2), np.full(3, 4.0)),      # pure
    (np.zeros((3, 0)), np.array([0.0, 1, 0])),            # no columns
    (np.array([[-0.0], [0.0], [-0.0]]), np.array([1.0, 0, 1])),  # constant
], ids=["no-rows", "pure", "no-columns", "constant"])
@pytest.mark.parametrize("task", TASKS)
def test_degenerate_inputs_give_one_leaf(X, y, task):
    model = make_model(task)
    model.fit(X, y)
    assert model.root.is_leaf and model.depth_features_ == {}
    assert model.root.indices == list(range(len(y)))


def test_refit_keeps_nothing_of_the_last_fit(toy):
    X, y = toy
    model = make_model()
    model.fit(X, y)
    assert len(model.depth_features_) > 1
    model.fit(np.array([[1.0], [2.0]]), np.array([7.0, 9.0]))
    assert model.depth_features_ == {0: 0}
    assert model.classes_ == [7.0, 9.0]


def test_regression_leaves_classes_empty(toy):
    X, y = toy
    model = make_model("regression", "gini")
    model.fit(X, y)
    assert model.classes_ == [] and model.n_classes_ == 0


def test_classes_include_targets_beyond_the_rows():
    model = make_model()
    model.fit(np.array([[1.0], [2.0]]), np.array([2.0, 1.0, 9.0, -0.0, 0.0]))
    assert model.classes_ == [0.0, 1.0, 2.0, 9.0]


@pytest.mark.parametrize("y, message", [
    (np.array([0.0, 1.0, 0.0]), r"y has 3 entries but X has 4 rows"),
    (np.array([0.0, 1.0, np.nan, 1.0]), r"y\[2\] is NaN"),
])
def test_unreadable_targets_are_refused_and_nothing_changes(toy, y, message):
    X, y_good = toy
    model = make_model()
    model.fit(X, y_good)
    root, features = model.root, model.depth_features_
    with pytest.raises(ValueError, match=message):
        model.fit(X[:4], y)
    assert model.root is root and model.depth_features_ == features
    assert model.classes_ == [0.0, 1.0]


def test_regression_accepts_nan_targets():
    model = make_model("regression", "mse")
    model.fit(np.arange(4.0).reshape(-1, 1), np.array([np.nan, 1.0, 2.0, 3.0]))
    assert model.root is not None


def test_breast_cancer_trains_well():
    datasets = pytest.importorskip("sklearn.datasets")
    data = datasets.load_breast_cancer()
    model = make_model("classification", "gini", 3, 2, 1)
    model.fit(data.data, data.target.astype(np.float64))
    accuracy = np.mean(np.array(model.predict(data.data)) == data.target)
    assert accuracy > 0.9
    assert len(model.depth_features_) == 3
