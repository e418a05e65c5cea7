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
@pytest.mark.parametrize("kind", ["numeric", "categorical", "regularised", "monotonic",
                                  "leaf-budget", "drawn-features"])
@pytest.mark.parametrize("limits", [dict(max_depth=7),
                                    dict(max_depth=None, min_samples_leaf=5,
                                         min_weight_fraction_leaf=0.02),
                                    dict(max_depth=5, min_impurity_decrease=0.002)])
def test_fewer_values_than_bins_give_the_exact_tree(rng, cls, criterion, weights, kind, limits):
    X, y = few_values(rng, cls)
    w = rng.integers(0, 4, size=len(y)).astype(float) if weights == "integers" else None
    extra = {}
    if weights == "classes":
        if cls is QORRegressor:
            pytest.skip("class_weight is the classifier's")
        extra = dict(class_weight={0: 2.0, 1: 1.0, 2: 3.0})
    if kind in ("categorical", "regularised"):
        extra["categorical_features"] = [1, 3]
        if kind == "regularised":
            # Rare in the deeper nodes, and means drawn far towards the node's.
            extra.update(min_category_samples=40, category_smoothing=25.0)
    elif kind == "leaf-budget":
        extra["max_leaf_nodes"] = 11
    elif kind == "drawn-features":
        extra.update(max_features=2, random_state=3)
    elif kind == "monotonic":
        if cls is QORClassifier:
            y = (y > 0).astype(int)
            extra.pop("class_weight", None)
        extra["monotonic_cst"] = [1, 1, -1, 0]
    exact = cls(criterion=criterion, **limits, **extra).fit(X, y, w)
    binned = cls(criterion=criterion, max_bins=64, **limits, **extra).fit(X, y, w)
    assert_same_tree(binned, exact)
    assert binned.tree_.node_count > 8
    if kind == "leaf-budget":
        assert binned.get_n_leaves() == 11
    if kind in ("categorical", "regularised"):
        assert {1, 3} & set(binned.depth_features_.values())


@pytest.mark.parametrize("cls, criterion", BINNED, ids=IDS)
@pytest.mark.parametrize("kind", ["numeric", "categorical", "monotonic"])
@pytest.mark.parametrize("growth", [dict(level_score="weighted"),
                                    dict(search="lookahead", beam_width=5),
                                    dict(search="lookahead", beam_width=5, lookahead_folds=0)])
def test_fewer_values_than_bins_give_the_exact_tree_under_every_search(rng, cls, criterion,
                                                                        kind, growth):
    X, y = few_values(rng, cls)
    w = rng.integers(0, 4, size=len(y)).astype(float)
    extra = dict(max_depth=5, **growth)
    if kind == "categorical":
        extra["categorical_features"] = [1, 3]
    elif kind == "monotonic":
        y = (y > 0).astype(int) if cls is QORClassifier else y
        extra["monotonic_cst"] = [1, 1, -1, 0]
    exact = cls(criterion=criterion, **extra).fit(X, y, w)
    binned = cls(criterion=criterion, max_bins=64, **extra).fit(X, y, w)
    assert_same_tree(binned, exact)
    if "search" in growth:
        # Held-out rows go through bins as through values: the same scores.
        assert binned.lookahead_finalists_ == exact.lookahead_finalists_
        assert len(exact.lookahead_finalists_) > 1


@pytest.mark.parametrize("cut", ["numbers from missing values", "between two bins"])
def test_a_row_of_weight_zero_bounds_no_threshold(rng, cut):
    x = rng.uniform(0, 10, 200)
    if cut == "numbers from missing values":
        x[rng.choice(200, 60, replace=False)] = np.nan
        y, light = np.isnan(x), np.nanargmax(x)
    else:
        y = x > 5
        light = np.flatnonzero(x > 5)[np.argmin(x[x > 5])]  # the smallest value above 5
    w = np.ones(200)
    w[light] = 0.0
    kept = w > 0
    binned = QORClassifier(max_depth=1, max_bins=16).fit(x[:, None], y, w)
    without = QORClassifier(max_depth=1, max_bins=16).fit(x[kept, None], y[kept])
    assert binned.tree_.threshold[0] == without.tree_.threshold[0]
    assert all(np.array_equal(a, b) for a, b in zip(binned.bin_edges_, without.bin_edges_))
    if cut == "numbers from missing values":
        exact = QORClassifier(max_depth=1).fit(x[:, None], y, w)
        assert binned.tree_.threshold[0] == exact.tree_.threshold[0] == np.nanmax(x[kept])


@pytest.mark.parametrize("max_bins", [None, 16])
def test_a_class_absent_from_a_leaf_has_no_share(rng, max_bins):
    X = rng.normal(size=(101, 3))
    y = (X[:, 0] > 0).astype(int) + (X[:, 1] > 0.5)
    w = rng.uniform(0.1, 2.0, size=101)
    model = QORClassifier(max_depth=6, max_bins=max_bins).fit(X, y, w)
    leaves = model.apply(X)
    absent = 0
    for leaf in np.unique(leaves):
        shares = model.tree_.value[leaf, 0]
        present = np.isin(np.arange(3), y[leaves == leaf])
        assert np.all(shares[present] > 0) and np.all(shares[~present] == 0.0), leaf
        absent += np.count_nonzero(~present)
    assert absent > 10
    with np.errstate(divide="ignore"):
        assert np.isneginf(model.predict_log_proba(X)).sum() > 0


def test_a_tie_between_features_is_the_same_tie_where_the_sums_are_exact():
    # Both features part the rows alike. On integer targets their gains tie exactly
    # and the lower feature wins in both modes; on real targets (0.068, -0.291,
    # 0.294) the exact scan adds each feature's rows in its own order, and the two
    # gains may differ in the last bit: that case is not promised.
    X = np.array([[0.0, 1.0], [1.0, 0.0], [1.0, 0.0]])
    y = np.array([68.0, -291.0, 294.0])
    exact = QORRegressor(max_depth=1).fit(X, y)
    binned = QORRegressor(max_depth=1, max_bins=255).fit(X, y)
    assert exact.depth_features_ == binned.depth_features_ == {0: 0}
    assert exact.predict([[0.0, 0.0]]) == binned.predict([[0.0, 0.0]])


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
    (lambda: QORClassifier(max_bins=1), "'max_bins' parameter .* in the range \\[2, 65535\\]"),
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
