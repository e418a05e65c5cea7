"""max_bins: binned growth through the estimators, against exact growth, and the
estimator's every other door on a binned tree."""

import numpy as np
import pytest

import qor
from qor import QORClassifier, QORRegressor

BINNED = [(QORClassifier, "gini"), (QORClassifier, "entropy"), (QORRegressor, "mse")]
IDS = [f"{cls.__name__}-{criterion}" for cls, criterion in BINNED]
ARRAYS = ["children_left", "feature", "threshold", "value", "impurity", "n_node_samples",
          "weighted_n_node_samples"]


def few_values(rng, cls, n=1500, d=4):
    """Half-step values, fewer per column than bins, with NaN; labels or integer
    targets (whose sums stay exact) that lean on them."""
    X = rng.integers(0, 12, size=(n, d)) * 0.5
    X[rng.random(X.shape) < 0.1] = np.nan
    signal = np.nan_to_num(X[:, 0], nan=4.0) + np.nan_to_num(X[:, 1]) + rng.normal(size=n)
    y = np.digitize(signal, [3.0, 6.0]) if cls is QORClassifier else np.round(signal * 3)
    return X, y


def assert_same_tree(a, b):
    """Node for node, to the bit; gains up to rounding, which two engines may
    reach by different sums."""
    for name in ARRAYS:
        assert getattr(a.tree_, name).tobytes() == getattr(b.tree_, name).tobytes(), name
    assert np.allclose(a.tree_.gain, b.tree_.gain, rtol=1e-12, atol=1e-15)
    assert a.depth_features_ == b.depth_features_


@pytest.mark.parametrize("cls, criterion", BINNED, ids=IDS)
@pytest.mark.parametrize("weights", ["none", "integers", "classes"])
@pytest.mark.parametrize("limits", [dict(max_depth=7),
                                    dict(max_depth=None, min_samples_leaf=5,
                                         min_weight_fraction_leaf=0.02),
                                    dict(max_depth=5, min_impurity_decrease=0.002)])
def test_fewer_values_than_bins_give_the_exact_tree(rng, cls, criterion, weights, limits):
    X, y = few_values(rng, cls)
    w = rng.integers(0, 4, size=len(y)).astype(float) if weights == "integers" else None
    extra = {}
    if weights == "classes":
        if cls is QORRegressor:
            pytest.skip("class_weight is the classifier's")
        extra = dict(class_weight={0: 2.0, 1: 1.0, 2: 3.0})
    exact = cls(criterion=criterion, **limits, **extra).fit(X, y, w)
    binned = cls(criterion=criterion, max_bins=64, **limits, **extra).fit(X, y, w)
    assert_same_tree(binned, exact)
    assert binned.tree_.node_count > 15


@pytest.mark.parametrize("cls, criterion", BINNED, ids=IDS)
def test_threads_change_nothing_and_no_threshold_splits_a_nodes_bin(rng, cls, criterion):
    X = rng.normal(size=(30_000, 6))
    X[rng.random(X.shape) < 0.05] = np.nan
    y = (np.nan_to_num(X[:, 0]) + rng.normal(size=len(X)) > 0).astype(int)
    if cls is QORRegressor:
        y = y * 10.0 + np.nan_to_num(X[:, 1]).round(3)
    w = rng.random(len(X)) * 2
    one = cls(criterion=criterion, max_depth=8, max_bins=40, n_jobs=1).fit(X, y, w)
    assert_same_tree(one, cls(criterion=criterion, max_depth=8, max_bins=40, n_jobs=-1)
                     .fit(X, y, w))
    tree = one.tree_
    assert tree.node_count > 100
    assert all(e.size <= 40 and e[-1] == np.inf for e in one.bin_edges_)
    # A node's threshold sends all of its rows of one bin the same way.
    paths = one.decision_path(X).tocsc()
    for node in np.flatnonzero(tree.children_left >= 0):
        f, t = tree.feature[node], tree.threshold[node]
        values = X[paths[:, node].nonzero()[0], f]
        values = values[~np.isnan(values)]
        bins = np.searchsorted(one.bin_edges_[f], values)
        assert not set(bins[values <= t]) & set(bins[values > t]), (node, f, t)


def test_bin_edges_given_replace_the_quantiles(rng):
    X = rng.normal(size=(5000, 3))
    y = (X[:, 0] + X[:, 1] * rng.normal(size=5000) > 0).astype(int)
    coarse = QORClassifier(max_depth=6, max_bins=8).fit(X, y)
    fine = QORClassifier(max_depth=6, max_bins=255).fit(X, y)
    given = QORClassifier(max_depth=6, max_bins=255).fit(X, y, bin_edges=coarse.bin_edges_)
    assert_same_tree(given, coarse)
    assert not np.array_equal(fine.tree_.threshold, coarse.tree_.threshold)
    for upper, expected in zip(given.bin_edges_, coarse.bin_edges_):
        assert np.array_equal(upper, expected)


@pytest.mark.parametrize("make, message", [
    (lambda: QORRegressor(criterion="mae", max_bins=16),
     "criterion='mae' cannot grow from bins .* targets in order"),
    (lambda: QORClassifier(max_bins=16, monotonic_cst=[1, 0]),
     "monotonic_cst is not supported with max_bins"),
    (lambda: QORClassifier(max_bins=1), "'max_bins' parameter .* in the range \\[2, 65535\\]"),
    (lambda: QORClassifier(max_bins=16, categorical_features=[0]),
     "categorical features cannot be combined with max_bins"),
])
def test_what_bins_cannot_do_is_refused(make, message):
    X = np.arange(20.0).reshape(10, 2)
    with pytest.raises(ValueError, match=message):
        make().fit(X, np.arange(10) % 2)


@pytest.mark.parametrize("max_bins, edges, message", [
    (16, [np.array([1.0, np.inf])], "bin_edges has 1 entries but X has 2 features"),
    (16, [np.array([1.0, np.inf]), np.array([3.0, 2.0, np.inf])], "bin_edges\\[1\\] must be"),
    (16, [np.array([1.0, np.inf]), np.array([1.0, 5.0])], "bin_edges\\[1\\] must be"),
    (None, [np.array([np.inf])] * 2, "bin_edges are the bins of a binned fit: set max_bins"),
])
def test_unusable_bin_edges_are_refused(max_bins, edges, message):
    X = np.arange(20.0).reshape(10, 2)
    with pytest.raises(ValueError, match=message):
        QORClassifier(max_bins=max_bins).fit(X, np.arange(10) % 2, bin_edges=edges)


@pytest.mark.parametrize("cls, criterion", BINNED, ids=IDS)
def test_a_binned_tree_goes_through_every_door(rng, tmp_path, cls, criterion):
    X = rng.normal(size=(3000, 4))
    y = (X[:, 0] + rng.normal(size=3000) > 0).astype(int) if cls is QORClassifier else X[:, 0]
    model = cls(criterion=criterion, max_depth=5, max_bins=32).fit(X, y)
    qor.save(model, tmp_path / "model.json")
    assert np.array_equal(qor.load(tmp_path / "model.json").predict(X), model.predict(X))
    assert f"depth 0 splits on x{model.depth_features_[0]}" in qor.export_text(model)
    namespace = {}
    exec(qor.export_python(model), namespace)
    assert [namespace["predict_row"](row) for row in X[:50]] == model.predict(X[:50]).tolist()
    path = model.cost_complexity_pruning_path(X, y)
    pruned = cls(criterion=criterion, max_depth=5, max_bins=32,
                 ccp_alpha=path.ccp_alphas[-2]).fit(X, y)
    assert 1 < pruned.get_n_leaves() < model.get_n_leaves()
    importances = model.feature_importances_
    assert importances.argmax() == 0 and np.isclose(importances.sum(), 1.0)
