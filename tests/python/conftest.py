import math
import os

import numpy as np
import pandas as pd
import pytest

import _qor_native

CRITERIA = ("gini", "entropy", "mse", "mae")
TASKS = ("classification", "regression")


def make_model(task="classification", criterion="gini", max_depth=5, min_samples_split=2,
               min_samples_leaf=1):
    return _qor_native.QORModel(task, criterion, max_depth, min_samples_split, min_samples_leaf)


def walk(root):
    """Yields (node, depth) breadth first, without recursion."""
    level = [root] if root is not None else []
    depth = 0
    while level:
        following = []
        for node in level:
            yield node, depth
            if not node.is_leaf:
                following += [node.left, node.right]
        level = following
        depth += 1


def leaves(model):
    return [node for node, _ in walk(model.root) if node.is_leaf]


def assert_models_equal(model, ref):
    """A native model and a reference model grew the same tree."""
    assert model.depth_features_ == ref.depth_features_
    assert model.classes_ == ref.classes_
    assert_tree_equal(model.root, ref.root)


def assert_tree_equal(a, b):
    """Two trees are equal node by node: shape, rows, splits and leaf contents.
    Either may be a native Node or a node of the plain-Python reference."""
    pairs = [(a, b)]
    while pairs:
        x, y = pairs.pop()
        assert x.is_leaf == y.is_leaf
        assert x.indices == y.indices
        assert (x.split_feature, x.split_threshold) == (y.split_feature, y.split_threshold)
        assert x.value == y.value or (np.isnan(x.value) and np.isnan(y.value))
        assert x.class_counts == y.class_counts
        if not x.is_leaf:
            pairs += [(x.left, y.left), (x.right, y.right)]


def same(a, b):
    return a == b or (math.isnan(a) and math.isnan(b))


def assert_sound_tree(model, X, y, task, max_depth):
    """The invariants of every grown tree, and its training rows predicted by
    the leaves that hold them."""
    n = X.shape[0]
    Xf = np.asarray(X, dtype=np.float64)
    features = model.depth_features_
    assert list(features) == list(range(len(features)))
    assert all(0 <= f < X.shape[1] for f in features.values())
    assert model.root.indices == list(range(n))
    if task == "classification":
        assert model.classes_ == sorted(set(y.tolist()))
    else:
        assert model.classes_ == []
    leaf_of_row = {}
    for node, depth in walk(model.root):
        assert (node.left is None) == (node.right is None)
        if node.is_leaf:
            assert depth <= max(max_depth, 0)
            assert (node.split_feature, node.split_threshold) == (-1, 0.0)
            if task == "classification":
                assert len(node.class_counts) == model.n_classes_
                assert sum(node.class_counts) == len(node.indices)
            else:
                assert node.class_counts == []
            for r in node.indices:
                leaf_of_row[r] = node
            continue
        assert node.split_feature == features[depth]
        assert node.value == 0.0 and node.class_counts == []
        left, right = node.left.indices, node.right.indices
        assert left and right
        members = set(left)
        assert left == [r for r in node.indices if r in members]
        assert right == [r for r in node.indices if r not in members]
        goes_left = Xf[node.indices, node.split_feature] <= node.split_threshold
        assert np.array(node.indices)[goes_left].tolist() == left
    assert sorted(leaf_of_row) == list(range(n))
    predictions = model.predict(Xf)
    for r, leaf in leaf_of_row.items():
        assert same(predictions[r], leaf.value)
    proba = model.predict_proba(Xf)
    assert len(proba) == n
    for row in proba:
        assert len(row) == model.n_classes_
        if task == "classification":
            assert math.isclose(math.fsum(row), 1.0, rel_tol=1e-12)
    if task == "classification":
        assert set(predictions) <= set(model.classes_)


@pytest.fixture
def rng():
    return np.random.default_rng(20261208)


@pytest.fixture
def toy():
    """Eight rows, three columns: column 0 separates the labels best."""
    X = np.array([[3, 1, 4], [1, 5, 9], [2, 6, 5], [3, 5, 8],
                  [9, 7, 9], [3, 2, 3], [8, 4, 6], [2, 6, 4]], dtype=np.float64)
    y = np.array([0, 0, 0, 1, 1, 0, 1, 1], dtype=np.float64)
    return X, y


def pytest_report_header(config):
    from qor import _core

    return f"_qor_native: {_qor_native.__file__}\nqor._core: {_core.__file__}"


# Set by `make sanitize` to the directory of the instrumented module.
SANITIZED_MODULE_DIR = os.environ.get("QOR_SANITIZED_MODULE_DIR")

# Resident-memory bounds mean nothing under AddressSanitizer, whose quarantine
# holds freed memory on purpose.
skip_if_sanitized = pytest.mark.skipif(
    bool(SANITIZED_MODULE_DIR), reason="freed memory stays in the sanitizer's quarantine")


def pytest_sessionstart(session):
    # Running the sanitizer pass against the regular modules would prove nothing.
    from qor import _core

    for module in (_qor_native, _core):
        if SANITIZED_MODULE_DIR and not os.path.realpath(module.__file__).startswith(
                SANITIZED_MODULE_DIR):
            raise RuntimeError(f"{module.__name__} loaded from {module.__file__}, "
                               f"not from {SANITIZED_MODULE_DIR}")


CITIES = np.array(["Bergen", "L'Aquila", "Oslo", "Tromsø", "Trondheim", "Ålesund"], dtype=object)


def flats(seed: int, n: int, *, unseen: bool = False):
    """(X, rent): a text category (city), a numeric column of categories (floor) and
    a number (area). Which floors raise the rent depends on the city, so the nodes of
    a level that splits floors send different floors left. With `unseen`, about a
    tenth of each column is missing or, for city and floor, a value no fit saw."""
    rng = np.random.default_rng(seed)
    town = rng.integers(0, len(CITIES), n)
    floor = rng.integers(0, 5, n)
    area = np.round(rng.uniform(20, 120, n), 1)
    # Every other city is dear; floors 0 and 3 are dearer in the others, 1 and 2 in these.
    dear_floor = np.where(town % 2 == 0, np.isin(floor, [0, 3]), np.isin(floor, [1, 2]))
    rent = area * 10 + 300 * (town % 2) + 500 * dear_floor
    X = pd.DataFrame({"city": CITIES[town], "floor": floor, "area": area})
    if unseen:
        gaps = rng.random((n, 3)) < 0.1
        X["city"] = X["city"].where(~gaps[:, 0], rng.choice(["Narvik", None], n))
        X["floor"] = X["floor"].where(~gaps[:, 1], rng.choice([7.0, np.nan], n))
        X["area"] = X["area"].where(~gaps[:, 2])
    return X, rent


@pytest.fixture(params=["classifier", "regressor"])
def flat_model(request):
    """A depth-4 tree fitted on `flats`, with city and floor as categorical features."""
    from qor import QORClassifier, QORRegressor

    X, rent = flats(1, 600)
    if request.param == "classifier":
        return QORClassifier(max_depth=4, categorical_features=["city", "floor"]).fit(
            X, np.where(rent > np.median(rent), "dear", "cheap"))
    return QORRegressor(max_depth=4, categorical_features=["city", "floor"]).fit(X, rent)


@pytest.fixture(scope="module")
def stations():
    """A stump sending 15 of 30 stations left: too many to list in a picture's box.
    Each station has 4 rows, which min_category_samples=1 lets it be placed by."""
    from qor import QORClassifier

    codes = np.repeat(np.arange(30), 4)
    names = np.array([f"station {i:02d}" for i in range(30)], dtype=object)
    return QORClassifier(max_depth=1, min_category_samples=1).fit(
        pd.DataFrame({"stop": names[codes]}), codes % 2)
