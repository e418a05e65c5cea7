"""Several outputs: y of shape (n_samples, n_outputs), one tree predicting every column."""

import pickle
import sqlite3
import warnings
from contextlib import closing

import numpy as np
import pytest
from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor, export_graphviz

import qor
from qor import QORClassifier, QORRegressor
from qor.export import export_dot, export_python, export_sql, export_text
from qor.page import page_text

# (estimator class, criterion, exact or binned growth)
FITS = [(QORClassifier, "gini"), (QORClassifier, "entropy"), (QORRegressor, "mse"),
        (QORRegressor, "mae")]
FIT_IDS = [c for _, c in FITS]


def outputs_of(cls, rng, n=120, k=3, noise=False):
    """X of small integers (ties, so that bins can hold every value) and k targets,
    whole numbers unless `noise` adds a fraction to a regressor's."""
    X = rng.integers(0, 12, size=(n, 4)).astype(float)
    signal = np.c_[X[:, 0] + X[:, 1], X[:, 2] - X[:, 0], X[:, 3] * X[:, 1]][:, :k]
    signal = signal + rng.integers(0, 4, size=signal.shape)
    if noise and cls is QORRegressor:
        signal = signal + rng.random(signal.shape)
    if cls is QORClassifier:
        return X, np.stack([np.digitize(s, np.quantile(s, [0.4, 0.8])) for s in signal.T], 1)
    return X, signal


def impurity(criterion, y, w):
    """One output's impurity of the rows (targets y, weights w), literally."""
    total = w.sum()
    if total == 0:
        return 0.0
    if criterion in ("gini", "entropy"):
        p = np.array([w[y == c].sum() for c in np.unique(y)]) / total
        p = p[p > 0]
        return 1 - (p * p).sum() if criterion == "gini" else -(p * np.log2(p)).sum()
    mean = (w * y).sum() / total
    if criterion == "mse":
        return (w * y * y).sum() / total - mean * mean
    return (w * np.abs(y - weighted_median(y, w))).sum() / total


def weighted_median(y, w):
    """The first target past half the weight, or the middle of two that share it."""
    order = np.argsort(y, kind="stable")
    ys, ws = y[order], w[order]
    below = np.cumsum(ws)
    half = w.sum() / 2
    at = np.searchsorted(below, half, side="left")
    return (ys[at] + ys[at + 1:][ws[at + 1:] > 0][0]) / 2 if below[at] == half else ys[at]


def mean_impurity(criterion, Y, w):
    return np.mean([impurity(criterion, column, w) for column in Y.T])


@pytest.mark.parametrize("cls, criterion", FITS, ids=FIT_IDS)
@pytest.mark.parametrize("weighted", [False, True], ids=["unit", "weighted"])
def test_every_node_scores_the_mean_of_its_outputs_impurities(rng, cls, criterion, weighted):
    X, Y = outputs_of(cls, rng)
    w = rng.integers(1, 4, size=len(X)).astype(float) if weighted else np.ones(len(X))
    est = cls(criterion=criterion, max_depth=3).fit(X, Y, sample_weight=w if weighted else None)
    tree = est.tree_
    assert tree.node_count > 3
    paths = est.decision_path(X).toarray().astype(bool)
    for node in range(tree.node_count):
        rows = paths[:, node]
        Yn, wn = Y[rows], w[rows]
        assert tree.impurity[node] == pytest.approx(mean_impurity(criterion, Yn, wn), abs=1e-9)
        assert tree.weighted_n_node_samples[node] == wn.sum()
        for k, column in enumerate(Yn.T):
            if cls is QORClassifier:
                shares = [wn[column == c].sum() / wn.sum() for c in est.classes_[k]]
                assert tree.value[node, k, :len(shares)] == pytest.approx(shares)
            elif criterion == "mae":  # each output's weighted median, as one output's
                assert tree.value[node, k, 0] == pytest.approx(weighted_median(column, wn))
            else:
                assert tree.value[node, k, 0] == pytest.approx((wn * column).sum() / wn.sum())
        if not tree.is_leaf[node]:
            left, right = tree.children_left[node], tree.children_right[node]
            share = tree.weighted_n_node_samples[[left, right]] / wn.sum()
            assert tree.gain[node] == pytest.approx(
                tree.impurity[node] - share @ tree.impurity[[left, right]], abs=1e-9)


def best_gains(criterion, X, Y, w, rows):
    """Per feature, the highest gain of the mean impurity over the cuts of `rows`."""
    parent = mean_impurity(criterion, Y[rows], w[rows])
    total = w[rows].sum()
    best = np.full(X.shape[1], -np.inf)
    for f in range(X.shape[1]):
        values = np.unique(X[rows, f])
        for lo, hi in zip(values[:-1], values[1:]):
            left = rows & (X[:, f] <= lo)
            right = rows & (X[:, f] >= hi)
            children = sum(w[part].sum() / total * mean_impurity(criterion, Y[part], w[part])
                           for part in (left, right))
            best[f] = max(best[f], parent - children)
    return best


@pytest.mark.parametrize("cls, criterion", FITS, ids=FIT_IDS)
@pytest.mark.parametrize("weighted, noise", [(False, False), (True, True)],
                         ids=["unit-whole", "weighted-fractions"])
def test_each_level_takes_the_feature_of_the_highest_summed_gain(rng, cls, criterion, weighted,
                                                                 noise):
    X, Y = outputs_of(cls, rng, n=60, noise=noise)
    w = rng.random(len(X)) + 0.5 if weighted else np.ones(len(X))
    est = cls(criterion=criterion, max_depth=2).fit(X, Y, sample_weight=w if weighted else None)
    tree = est.tree_
    paths = est.decision_path(X).toarray().astype(bool)
    depth = tree.depth
    for level, feature in est.depth_features_.items():
        nodes = [j for j in np.flatnonzero(depth == level) if paths[:, j].sum() >= 2]
        gains = [best_gains(criterion, X, Y, w, paths[:, j]) for j in nodes]
        summed = np.sum([np.where(np.isfinite(g), g, 0.0) for g in gains], axis=0)
        assert summed[feature] == pytest.approx(summed.max(), abs=1e-9)
        for j, g in zip(nodes, gains):  # every node's own best cut on the level's feature
            if not tree.is_leaf[j]:
                assert tree.gain[j] == pytest.approx(g[feature], abs=1e-9)


@pytest.mark.parametrize("cls, criterion", FITS, ids=FIT_IDS)
@pytest.mark.parametrize("max_bins", [None, 255], ids=["exact", "binned"])
def test_one_column_grows_the_tree_of_a_1d_y_bit_for_bit(rng, cls, criterion, max_bins):
    if max_bins and criterion == "mae":
        pytest.skip("mae does not grow from bins")
    X, Y = outputs_of(cls, rng)
    w = rng.random(len(X))
    flat = cls(criterion=criterion, max_bins=max_bins).fit(X, Y[:, 0], sample_weight=w)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # as in scikit-learn, a column is no conversion
        column = cls(criterion=criterion, max_bins=max_bins).fit(X, Y[:, :1], sample_weight=w)
    assert column.n_outputs_ == flat.n_outputs_ == 1
    state, expected = column.tree_.__getstate__(), flat.tree_.__getstate__()
    for name, array in expected.items():
        np.testing.assert_array_equal(state[name], array, strict=True)
    assert column.predict(X).shape == (len(X),)
    if cls is QORClassifier:
        np.testing.assert_array_equal(column.classes_, flat.classes_, strict=True)
        assert column.n_classes_ == flat.n_classes_


@pytest.mark.parametrize("cls, criterion", FITS, ids=FIT_IDS)
@pytest.mark.parametrize("max_bins", [None, 255], ids=["exact", "binned"])
def test_an_output_twice_grows_the_tree_of_the_output_alone(rng, cls, criterion, max_bins):
    # The mean of two equal impurities is that impurity to the bit: the width adds
    # nothing to any definition.
    if max_bins and criterion == "mae":
        pytest.skip("mae does not grow from bins")
    X, Y = outputs_of(cls, rng, noise=True)
    w = rng.integers(1, 4, size=len(X)).astype(float)
    alone = cls(criterion=criterion, max_bins=max_bins).fit(X, Y[:, 1], sample_weight=w)
    twice = cls(criterion=criterion, max_bins=max_bins).fit(X, Y[:, [1, 1]], sample_weight=w)
    for name in ("feature", "threshold", "children_left", "impurity", "gain",
                 "weighted_n_node_samples"):
        np.testing.assert_array_equal(getattr(twice.tree_, name), getattr(alone.tree_, name))
    np.testing.assert_array_equal(twice.tree_.value, alone.tree_.value[:, [0, 0]])


@pytest.mark.parametrize("cls, criterion", FITS[::2], ids=FIT_IDS[::2])
def test_binned_growth_grows_the_exact_tree_where_every_value_has_a_bin(rng, cls, criterion):
    X, Y = outputs_of(cls, rng, n=200)
    w = rng.integers(0, 3, size=len(X)).astype(float)
    exact = cls(criterion=criterion, max_depth=4).fit(X, Y, sample_weight=w)
    binned = cls(criterion=criterion, max_depth=4, max_bins=255).fit(X, Y, sample_weight=w)
    for name in ("feature", "threshold", "children_left", "n_node_samples", "value"):
        np.testing.assert_array_equal(getattr(binned.tree_, name), getattr(exact.tree_, name))
    np.testing.assert_allclose(binned.tree_.impurity, exact.tree_.impurity, rtol=0, atol=1e-12)


@pytest.mark.parametrize("max_bins", [None, 64], ids=["exact", "binned"])
def test_results_have_scikit_learns_multi_output_shapes(rng, max_bins):
    X, Y = outputs_of(QORClassifier, rng)
    labels = np.where(Y[:, 1:2] > 0, "high", "low")
    Y = np.hstack([Y[:, :1], labels, Y[:, 2:] * 10])  # labels of text
    clf = QORClassifier(max_bins=max_bins).fit(X, Y.astype(object))
    n, nodes = len(X), clf.tree_.node_count
    assert clf.n_outputs_ == clf.tree_.n_outputs == 3
    assert [list(c) for c in clf.classes_] == [sorted(set(c)) for c in Y.T]
    np.testing.assert_array_equal(clf.n_classes_, [len(c) for c in clf.classes_])
    assert clf.tree_.value.shape == (nodes, 3, max(clf.n_classes_))
    predicted = clf.predict(X)
    assert predicted.shape == (n, 3)
    for k in range(3):  # each output's labels, as it was given them
        assert set(predicted[:, k]) <= set(clf.classes_[k])
    proba, log_proba = clf.predict_proba(X), clf.predict_log_proba(X)
    assert [p.shape for p in proba] == [(n, c) for c in clf.n_classes_]
    for p, lp in zip(proba, log_proba):
        np.testing.assert_allclose(p.sum(axis=1), 1.0)
        with np.errstate(divide="ignore"):
            np.testing.assert_array_equal(lp, np.log(p))
    assert clf.apply(X).shape == (n,) and clf.decision_path(X).shape == (n, nodes)

    reg = QORRegressor(max_bins=max_bins).fit(X, Y[:, [0, 2]].astype(float))
    assert reg.predict(X).shape == (n, 2) and reg.n_outputs_ == 2
    assert reg.tree_.value.shape == (reg.tree_.node_count, 2, 1)
    np.testing.assert_array_equal(reg.tree_.n_classes, [1, 1])


SKLEARN = [(QORClassifier, DecisionTreeClassifier, "gini", "gini"),
           (QORClassifier, DecisionTreeClassifier, "entropy", "entropy"),
           (QORRegressor, DecisionTreeRegressor, "mse", "squared_error"),
           (QORRegressor, DecisionTreeRegressor, "mae", "absolute_error")]


@pytest.mark.parametrize("cls, peer, criterion, theirs", SKLEARN, ids=FIT_IDS)
def test_a_stump_splits_as_scikit_learns_multi_output_stump(rng, cls, peer, criterion, theirs):
    # One level is one node: the level-wise choice and scikit-learn's are the same cut.
    X = rng.normal(size=(150, 4))
    Y = np.c_[X[:, 0] + rng.normal(size=150), X[:, 1] - X[:, 2], X[:, 3] ** 2]
    if cls is QORClassifier:
        Y = (Y > 0.3).astype(int)
    ours = cls(criterion=criterion, max_depth=1).fit(X, Y)
    their = peer(criterion=theirs, max_depth=1, random_state=0).fit(X, Y)
    assert ours.tree_.feature[0] == their.tree_.feature[0]
    assert ours.tree_.threshold[0] == pytest.approx(their.tree_.threshold[0])
    np.testing.assert_allclose(ours.tree_.impurity, their.tree_.impurity, rtol=1e-7, atol=1e-9)
    assert ours.tree_.value.shape == their.tree_.value.shape
    np.testing.assert_allclose(ours.predict(X), their.predict(X))  # mae: each median
    if cls is QORClassifier:
        for p, q in zip(ours.predict_proba(X), their.predict_proba(X)):
            np.testing.assert_allclose(p, q)


def fitted(kind, rng):
    X = rng.normal(size=(80, 3))
    if kind == "classifier":
        Y = np.c_[np.where(X[:, 0] > 0, "yes", "no"), np.where(X[:, 1] > 0.5, "up", "down")]
        return QORClassifier(max_depth=2, class_weight=[{"yes": 2.0}, {"up": 0.5}]).fit(X, Y), X
    return QORRegressor(max_depth=2, ccp_alpha=0.01).fit(X, np.c_[X[:, 0] ** 2, X[:, 1]]), X


@pytest.mark.parametrize("kind", ["classifier", "regressor"])
def test_a_saved_model_of_several_outputs_loads_and_predicts_the_same(tmp_path, rng, kind):
    est, X = fitted(kind, rng)
    qor.save(est, tmp_path / "model.json")
    back = qor.load(tmp_path / "model.json")
    assert back.n_outputs_ == 2
    unpickled = pickle.loads(pickle.dumps(est))
    np.testing.assert_array_equal(unpickled.predict(X), est.predict(X), strict=True)
    np.testing.assert_array_equal(back.predict(X), est.predict(X), strict=True)
    np.testing.assert_array_equal(back.tree_.value, est.tree_.value, strict=True)
    if kind == "classifier":
        assert back.class_weight == est.class_weight
        for a, b in zip(back.classes_, est.classes_):
            np.testing.assert_array_equal(a, b, strict=True)


@pytest.mark.parametrize("kind", ["classifier", "regressor"])
def test_exports_show_every_output(rng, kind):
    est, X = fitted(kind, rng)
    leaves = np.flatnonzero(est.tree_.is_leaf)
    predicted = est.predict(X)
    # Text, DOT, scikit-learn's DOT and the page name each leaf's outputs together.
    shown = [f"[{', '.join(str(v) for v in row)}]" for row in predicted] if kind == (
        "classifier") else None
    for text in (export_text(est), export_dot(est), page_text(est, X, predicted)):
        for row in shown or []:
            assert row in text
        if shown is None:
            assert text.count("value") >= len(leaves)
    assert export_graphviz(est).count("value = [[") == est.tree_.node_count
    # Rules as code: one column (or tuple entry) per output, reproducing predict.
    namespace = {}
    exec(export_python(est), namespace)
    rows = [namespace["predict_row"](list(x)) for x in X]
    assert rows == [tuple(p) for p in predicted.tolist()]
    with closing(sqlite3.connect(":memory:")) as db:
        db.execute("CREATE TABLE t (x0, x1, x2)")
        db.executemany("INSERT INTO t VALUES (?, ?, ?)", X.tolist())
        sql = export_sql(est, output_names=["first", "second"])
        cursor = db.execute(f"SELECT {sql} FROM t")
        assert [c[0] for c in cursor.description] == ["first", "second"]
        assert cursor.fetchall() == [tuple(p) for p in predicted.tolist()]


@pytest.mark.parametrize("kind", ["classifier", "regressor"])
def test_plot_tree_boxes_hold_every_output(rng, kind):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from qor.plot import plot_tree
    est, _ = fitted(kind, rng)
    try:
        texts = [a.get_text() for a in plot_tree(est)]
    finally:
        plt.close("all")
    for node, text in enumerate(texts):
        if kind == "classifier":
            assert "value[0] = " in text and "value[1] = " in text and "class = [" in text
        else:
            assert text.count(", ") >= 1 and "value = [" in text


Y2 = np.c_[np.arange(20) % 2, np.arange(20) % 3]
REFUSED = [
    (QORRegressor(monotonic_cst=[1, 0]), Y2, "Monotonicity constraints are not supported "
                                             "with multiple outputs"),
    (QORClassifier(categorical_features=[0]), Y2, "categorical features are not supported "
                                                  "with several outputs"),
    (QORClassifier(class_weight={0: 2.0}), Y2, "a list of one dict per output"),
    (QORClassifier(class_weight=[{0: 2.0}]), Y2, "class_weight has 1 dicts but y has 2"),
    (QORClassifier(class_weight=[{0: 2.0}]), Y2[:, 0], "must be a dict \\(or 'balanced'\\) for "
                                                       "one output"),
    (QORRegressor(), np.empty((20, 0)), "Found array with 0 feature"),
    (QORRegressor(criterion="mae", max_bins=16), Y2, "mae.* cannot grow from bins"),
    (QORRegressor(criterion="poisson"), Y2, "'poisson' is not supported with several outputs"),
]


@pytest.mark.parametrize("est, y, message", REFUSED)
def test_what_several_outputs_cannot_do_is_refused_naming_the_fix(est, y, message):
    X = np.c_[np.arange(20.0), np.arange(20.0) % 4]
    with pytest.raises(ValueError, match=message):
        est.fit(X, y)


def test_export_sql_names_columns_only_for_several_outputs(rng):
    est, _ = fitted("regressor", rng)
    with pytest.raises(ValueError, match="output_names has 1 entries, but the model has 2"):
        export_sql(est, output_names=["a"])
    single = QORRegressor(max_depth=1).fit(np.arange(8.0)[:, None], np.arange(8.0))
    with pytest.raises(ValueError, match="output_names name the columns of several outputs"):
        export_sql(single, output_names=["a"])
