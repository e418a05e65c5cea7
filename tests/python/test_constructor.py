"""Constructing models from Python: argument conversion and the constructor protocol."""

import numpy as np
import pytest

from _qor_native import QORModel

from conftest import CRITERIA, TASKS

ARGS = ("classification", "gini", 3, 2, 1)
NAMES = ("task", "criterion", "max_depth", "min_samples_split", "min_samples_leaf")


def deep_data():
    """Alternating labels on one column: every extra level of depth splits more."""
    X = np.arange(16, dtype=np.float64).reshape(-1, 1)
    return X, np.arange(16, dtype=np.float64) % 2


def grown(model):
    X, y = deep_data()
    model.fit(X, y)
    return model.depth_features_, model.predict(X)


@pytest.mark.parametrize("split", range(len(ARGS) + 1))
def test_positional_and_keyword_arguments_mix(split):
    kwargs = dict(zip(NAMES[split:], ARGS[split:]))
    assert grown(QORModel(*ARGS[:split], **kwargs)) == grown(QORModel(*ARGS))


@pytest.mark.parametrize("task", TASKS)
@pytest.mark.parametrize("criterion", CRITERIA)
def test_every_criterion_with_every_task(task, criterion):
    model = QORModel(task, criterion, 2, 2, 1)
    X, y = deep_data()
    assert model.fit(X, y) is None
    assert len(model.predict(X)) == len(y)


class Label(str):
    pass


@pytest.mark.parametrize("value, depth", [
    (True, 1), (False, 0), (np.int8(2), 2), (np.int64(3), 3), (np.uint16(1), 1),
    (2147483647, None), (-2147483648, 0),
])
def test_integers_convert_through_index(value, depth):
    """The depth limit shows in how many levels grow (None: as many as the data allows)."""
    features, _ = grown(QORModel("classification", "gini", value, 2, 1))
    unlimited, _ = grown(QORModel("classification", "gini", 1000, 2, 1))
    assert len(features) == (len(unlimited) if depth is None else depth)


@pytest.mark.parametrize("position, value", [
    (2, 3.0), (2, 2**31), (2, -2**31 - 1), (3, "2"), (4, None), (3, np.float64(2.0)),
    (0, b"classification"), (1, b"gini"), (1, "\udcff"), (0, None),
])
def test_unconvertible_arguments_raise_type_error(position, value):
    args = list(ARGS)
    args[position] = value
    with pytest.raises(TypeError, match=r"__new__\(\): incompatible function arguments"):
        QORModel(*args)


def test_no_arguments_are_a_type_error():
    with pytest.raises(TypeError, match="incompatible function arguments"):
        QORModel()


@pytest.mark.parametrize("name", ["Gini", "gini ", "", "squared_error", "ent\x00ropy"])
def test_unknown_criterion_is_a_value_error_naming_it(name):
    with pytest.raises(ValueError) as info:
        QORModel("classification", name, 3, 2, 1)
    assert str(info.value) == "Unknown criterion: " + name.split("\x00")[0]


@pytest.mark.parametrize("task", ["Classification", "classification ", "", "regression"])
def test_any_other_task_name_means_regression(task):
    model = QORModel(task, "mse", 2, 2, 1)
    X, y = deep_data()
    model.fit(X, y)
    assert model.classes_ == [] and model.n_classes_ == 0


def test_str_subclasses_are_read_by_their_text():
    model = QORModel(Label("classification"), Label("entropy"), 3, 2, 1)
    assert grown(model) == grown(QORModel("classification", "entropy", 3, 2, 1))


def test_subclass_gets_its_own_class_and_behaves_alike():
    class Mine(QORModel):
        pass

    model = Mine(*ARGS)
    assert type(model) is Mine
    assert grown(model) == grown(QORModel(*ARGS))


def test_init_again_changes_nothing():
    model = QORModel(*ARGS)
    before = grown(model)
    root = model.root
    model.__init__("regression", "mse", 0, 5, 5)
    assert model.root is root
    assert model.classes_ == [0.0, 1.0]
    assert grown(model) == before


def test_bare_instance_is_unusable():
    bare = QORModel.__new__(QORModel)
    with pytest.warns(RuntimeWarning, match="uninitialized instance"):
        with pytest.raises(TypeError, match="incompatible function arguments"):
            bare.predict(np.zeros((1, 1)))
