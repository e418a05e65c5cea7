"""The rules of bench/quality.py that decide what its comparison means: what a data set
keeps, which CART a tree meets at an equal feature budget, which learners are run.
(The benchmark itself runs with `make bench-quality`, not here.)"""

import importlib.util
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

_PATH = Path(__file__).resolve().parents[2] / "bench" / "quality.py"
_SPEC = importlib.util.spec_from_file_location("bench_quality", _PATH)
quality = importlib.util.module_from_spec(_SPEC)
_SPEC.loader.exec_module(quality)


@pytest.mark.parametrize("features_by_depth, depth, budget, expected", [
    ([0, 1, 3, 5, 8, 12, 15], 6, 4, 2),  # the deepest tree within the budget
    ([0, 1, 3, 5, 8, 12, 15], 6, 5, 3),  # a tree reading exactly the budget qualifies
    ([0, 1, 3, 5, 8, 12, 15], 2, 9, 2),  # never deeper than the depth compared
    ([0, 1, 3, 5, 8, 12, 15], 6, 0, 0),  # no feature: the constant prediction
    ([0, 1, 2, 4, 3], 4, 3, 4),  # a deeper tree may read fewer features than a shallower
])
def test_budget_takes_the_deepest_cart_reading_no_more_features(features_by_depth, depth,
                                                                 budget, expected):
    assert quality.budget_depth(features_by_depth, depth, budget) == expected


def test_prepare_keeps_features_and_rows_a_fair_comparison_needs():
    n = 300
    rng = np.random.default_rng(0)
    target = np.where(np.arange(n) % 2 == 0, "a", "b").astype(object)
    target[:3], target[3:6] = None, "rare"  # no target; a class too small for the folds
    frame = pd.DataFrame({
        "rownames": np.arange(n), "label": target,
        "name": [f"person {i}" for i in range(n)],  # an identifier: one value per row
        "constant": 1.0, "flag": rng.random(n) < 0.5,
        "colour": pd.Series(rng.choice(["red", "blue", None], n), dtype=object),
        "store": rng.integers(1, 4, n), "x": rng.normal(size=n),
        "leak": (target == "a").astype(float),
    })
    ds = quality.C("test", "toy", "label", "", drop=["leak"], categorical=["store"])
    data = quality.prepare(ds, frame)

    assert list(data.X.columns) == ["flag", "colour", "store", "x"]
    assert [isinstance(t, pd.CategoricalDtype) for t in data.X.dtypes] == [True] * 3 + [False]
    assert len(data.y) == n - 6 and sorted(set(data.y)) == [0, 1]
    assert np.array_equal(np.isnan(data.codes[:, 1]), data.X["colour"].isna().to_numpy())
    assert np.array_equal(data.codes[:, 3], data.X["x"].to_numpy())
    assert any("without a target" in note for note in data.notes)
    assert any("fewer than" in note and "rare" in note for note in data.notes)


def test_learners_whose_parameters_qor_does_not_take_are_found():
    learner = quality.Learner("future", "qor", {"no_such_parameter": 1, "max_bins": 4})
    assert quality.unsupported(learner) == ["no_such_parameter"]
    assert quality.unsupported(quality.LEARNERS[0]) == []


@pytest.mark.parametrize("classification", [True, False])
def test_the_bench_shrinks_cart_as_the_package_shrinks_the_same_tree(classification):
    from sklearn.datasets import load_breast_cancer, load_diabetes
    from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor

    from qor._tree import Tree

    X, y = (load_breast_cancer if classification else load_diabetes)(return_X_y=True)
    cart = (DecisionTreeClassifier if classification else DecisionTreeRegressor)(
        max_depth=5, random_state=0).fit(X, y)
    t = cart.tree_
    # The same tree in the package's arrays (scikit-learn's numbering, parents first).
    tree = Tree(n_features=t.n_features, n_classes=t.max_n_classes,
                children_left=t.children_left, children_right=t.children_right,
                feature=t.feature, threshold=t.threshold, value=t.value[:, 0],
                impurity=t.impurity, n_node_samples=t.n_node_samples,
                weighted_n_node_samples=t.weighted_n_node_samples,
                gain=np.zeros(t.node_count))
    for shrinkage in quality.SHRINKAGES:
        np.testing.assert_array_equal(quality.shrink_cart(t, shrinkage)[:, 0],
                                      tree.shrunk(shrinkage).value[:, 0])
