"""Prediction from Python: routing, probabilities and the orderly refusals."""

import numpy as np
import pytest

from conftest import TASKS, make_model


@pytest.fixture
def stump():
    """Splits column 1 at 2.5: rows 0, 1 left (labels 3, 3), rows 2, 3 right (5, 7)."""
    model = make_model(max_depth=1)
    model.fit(np.array([[0, 1], [0, 2], [0, 3], [0, 4]], dtype=np.float64),
              np.array([3.0, 3.0, 5.0, 7.0]))
    assert (model.root.split_feature, model.root.split_threshold) == (1, 2.5)
    return model


def test_threshold_goes_left_and_nan_goes_right(stump):
    X = np.array([[0, 2.5], [0, np.nextafter(2.5, 3)], [0, np.nan], [0, -np.inf]])
    assert stump.predict(X) == [3.0, 5.0, 5.0, 3.0]
    assert stump.predict_proba(X)[2] == [0.0, 0.5, 0.5]


def test_labels_come_back_as_floats(stump):
    out = stump.predict(np.array([[0.0, 0.0]]))
    assert out == [3.0] and type(out[0]) is float


def test_extra_columns_and_row_order_change_nothing(stump, rng):
    X = rng.normal(size=(20, 2)) * 3
    wide = np.hstack([X, rng.normal(size=(20, 3))])
    order = rng.permutation(20)
    assert stump.predict(wide) == stump.predict(X)
    assert stump.predict(X[order]) == [stump.predict(X)[i] for i in order]


@pytest.mark.parametrize("task", TASKS)
def test_proba_rows_have_one_entry_per_class_and_sum_to_one(toy, task):
    X, y = toy
    model = make_model(task, "entropy", 2)
    model.fit(X, y)
    for row in model.predict_proba(X):
        assert len(row) == model.n_classes_
        if task == "classification":
            assert abs(sum(row) - 1.0) < 1e-12
    if task == "classification":
        assert set(model.predict(X)) <= set(model.classes_)


def test_single_leaf_answers_every_row_alike(toy):
    X, y = toy
    model = make_model(max_depth=0)
    model.fit(X, y)
    assert model.predict(X) == [0.0] * 8
    assert model.predict_proba(X[:2]) == [[0.5, 0.5]] * 2


@pytest.mark.parametrize("method", ["predict", "predict_proba"])
def test_zero_rows_need_no_fit(method):
    assert getattr(make_model(), method)(np.zeros((0, 4))) == []


@pytest.mark.parametrize("method", ["predict", "predict_proba"])
def test_unfitted_model_refuses_rows(method):
    with pytest.raises(RuntimeError, match="not fitted"):
        getattr(make_model(), method)(np.zeros((1, 4)))


@pytest.mark.parametrize("method", ["predict", "predict_proba"])
def test_too_few_columns_are_refused_naming_both(stump, method):
    with pytest.raises(ValueError, match="X has 1 columns, but the tree splits on feature 1"):
        getattr(stump, method)(np.zeros((3, 1)))
