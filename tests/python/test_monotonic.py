"""Monotonic constraints: predictions move one way along a constrained feature."""

import numpy as np
import pytest

from qor import QORClassifier, QORRegressor


def problem(rng, classify, n=600):
    X = rng.normal(size=(n, 3)).round(2)
    # Feature 0 mostly raises the target and feature 1 lowers it, both noisily.
    signal = X[:, 0] - X[:, 1] + 0.8 * np.sin(3 * X[:, 0]) + rng.normal(scale=0.5, size=n)
    X[rng.random(X.shape) < 0.05] = np.nan
    return X, ((signal > 0).astype(int) if classify else signal)


@pytest.mark.parametrize("cls, criterion", [(QORClassifier, "gini"), (QORClassifier, "entropy"),
                                            (QORRegressor, "mse"), (QORRegressor, "mae")])
@pytest.mark.parametrize("weighted", [False, True])
def test_predictions_follow_the_constraints_whatever_the_other_features(rng, cls, criterion,
                                                                         weighted):
    classify = cls is QORClassifier
    X, y = problem(rng, classify)
    w = rng.uniform(0.2, 2.0, size=len(y)) if weighted else None
    est = cls(criterion=criterion, max_depth=6, monotonic_cst=[1, -1, 0]).fit(X, y, w)
    assert len(est.depth_features_) >= 4
    grid = np.append(np.linspace(-4, 4, 161), np.nan)  # a missing value counts as the largest
    for base in rng.normal(size=(40, 3)):
        for feature, sign in ((0, 1), (1, -1)):
            rows = np.repeat(base[None, :], grid.size, axis=0)
            rows[:, feature] = grid
            pred = est.predict_proba(rows)[:, 1] if classify else est.predict(rows)
            assert np.all(sign * np.diff(pred) >= 0), (feature, pred)


def test_a_node_takes_the_best_cut_that_keeps_the_constraint():
    X = np.arange(12.0).reshape(-1, 1)
    y = np.array([5, 5, 5, 5, 0, 0, 0, 0, 9, 9, 9, 9], dtype=float)
    free = QORRegressor(max_depth=1).fit(X, y)
    rising = QORRegressor(max_depth=1, monotonic_cst=[1]).fit(X, y)
    assert free.tree_.threshold[0] == 7.5 and rising.tree_.threshold[0] == 7.5
    falling = QORRegressor(max_depth=1, monotonic_cst=[-1]).fit(X, y)
    assert falling.tree_.threshold[0] == 3.5  # the only cut whose left part is higher
    decreasing = QORRegressor(monotonic_cst=[1]).fit(X, -X.ravel())
    assert decreasing.tree_.node_count == 1  # no cut keeps a falling target rising


@pytest.mark.parametrize("max_bins", [None, 255])
def test_a_constrained_split_bounds_its_subtrees_at_the_middle_of_its_values(max_bins):
    # Depth 0 splits x0 (gain 4 against x1's 1): values 6 and 10 meet at 8, which
    # caps the left subtree and floors the right one. Depth 1 splits the free x1,
    # and the children outside their bounds are clipped to 8.
    X = np.array([[0, 0], [0, 0], [0, 1], [0, 1], [1, 0], [1, 0], [1, 1], [1, 1]], dtype=float)
    y = np.array([0, 0, 12, 12, 14, 14, 6, 6], dtype=float)
    model = QORRegressor(max_depth=2, monotonic_cst=[1, 0], max_bins=max_bins).fit(X, y)
    assert model.depth_features_ == {0: 0, 1: 1}
    leaves = model.tree_.children_left == -1
    assert model.tree_.value[leaves, 0, 0].tolist() == [0.0, 8.0, 14.0, 8.0]


@pytest.mark.parametrize("cls, cst, y, message", [
    (QORRegressor, [1], [0.0, 1.0], "monotonic_cst has shape \\(1,\\) but the input data X has 2"),
    (QORRegressor, [2, 0], [0.0, 1.0], "monotonic_cst must be None or an array-like of -1, 0 or 1"),
    (QORClassifier, [1, 0], [0, 1, 2, 0], "not supported with multiclass classification"),
])
def test_constraints_that_cannot_hold_are_refused(cls, cst, y, message):
    X = np.arange(2.0 * len(y)).reshape(len(y), 2)
    with pytest.raises(ValueError, match=message):
        cls(monotonic_cst=cst).fit(X, y)
