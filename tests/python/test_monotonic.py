"""Monotonic constraints: predictions move one way along a constrained feature."""

import numpy as np
import pandas as pd
import pytest

from qor import QORClassifier, QORRegressor

CRITERIA = [(QORClassifier, c) for c in ("gini", "entropy", "log_loss")] + [
    (QORRegressor, c) for c in ("squared_error", "absolute_error", "poisson")]


def problem(seed, cls, criterion, n=1200):
    """Four numbers in [-3, 3] with 7% missing and a free three-valued text column; the
    target rises with x0, falls with x1, and carries heavy-tailed noise, under which a
    part's median and its mean often disagree."""
    rng = np.random.default_rng(seed)
    X = pd.DataFrame(rng.uniform(-3, 3, size=(n, 4)), columns=["x0", "x1", "x2", "x3"])
    X = X.mask(rng.random(X.shape) < 0.07)
    X["kind"] = rng.choice(["p", "q", "r"], n)
    signal = (X["x0"].fillna(0) - X["x1"].fillna(0) + X["kind"].map({"p": 0, "q": 1, "r": -1})
              + 1.5 * rng.standard_t(2, n)).to_numpy()
    if cls is QORClassifier:
        y = (signal > 0).astype(int)
    else:
        y = np.logaddexp(0, signal) if criterion == "poisson" else signal  # softplus: >= 0
    return X, y, rng.uniform(0.2, 3.0, n)


def grid_of(model, feature):
    """Every threshold of the feature, one ulp either side, beyond both ends, NaN last."""
    at = model.tree_.threshold[model.tree_.feature == feature]
    points = np.concatenate([at, np.nextafter(at, -np.inf), np.nextafter(at, np.inf), [-4, 4]])
    return np.append(np.unique(points), np.nan)


@pytest.mark.parametrize("cls, criterion", CRITERIA)
@pytest.mark.parametrize("max_bins", [None, 24])
@pytest.mark.parametrize("constraints", [[1, -1, 0, 0, 0], [0, -1, 0, 0, 0]])
@pytest.mark.parametrize("weighted", [False, True])
def test_predictions_never_step_against_a_constraint(cls, criterion, max_bins, constraints,
                                                     weighted):
    if criterion == "absolute_error" and max_bins is not None:
        pytest.skip("absolute_error does not grow from bins")
    seed = 4 * CRITERIA.index((cls, criterion)) + 2 * (max_bins is None) + weighted
    X, y, w = problem(seed, cls, criterion)
    model = cls(criterion=criterion, max_depth=7, monotonic_cst=constraints,
                max_bins=max_bins).fit(X, y, w if weighted else None)
    assert any(model.tree_.feature == 1), "the constrained x1 should be split on"
    base = X.sample(40, random_state=seed)
    for feature, sign in enumerate(constraints):
        if sign == 0:
            continue
        grid = grid_of(model, feature)
        rows = base.loc[base.index.repeat(grid.size)].reset_index(drop=True)
        rows[f"x{feature}"] = np.tile(grid, len(base))
        pred = model.predict_proba(rows)[:, 1] if cls is QORClassifier else model.predict(rows)
        steps = sign * np.diff(pred.reshape(len(base), grid.size), axis=1)
        assert steps.min() >= 0, (feature, steps.min())


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
