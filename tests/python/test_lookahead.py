"""level_score and search="lookahead": the level's score by hand, the beam against
greedy growth, and what lookahead promises whatever the other parameters."""

import numpy as np
import pytest

from qor import QORClassifier, QORRegressor

ARRAYS = ["children_left", "feature", "threshold", "value", "impurity", "n_node_samples",
          "weighted_n_node_samples", "gain", "categories_left"]


def assert_same_tree(a, b):
    for name in ARRAYS:
        assert getattr(a.tree_, name).tobytes() == getattr(b.tree_, name).tobytes(), name
    assert a.depth_features_ == b.depth_features_


def gini(y):
    shares = np.bincount(y, minlength=2) / len(y)
    return 1.0 - np.sum(shares**2)


def best_gain(x, y):
    """The best gini decrease per row of a node over the cuts between its distinct
    values of x, or None where x has one value."""
    order = np.argsort(x, kind="stable")
    x, y = x[order], y[order]
    parent, n, best = gini(y), len(y), None
    for k in range(1, n):
        if x[k] != x[k - 1]:
            gain = parent - k / n * gini(y[:k]) - (n - k) / n * gini(y[k:])
            best = gain if best is None else max(best, gain)
    return best


@pytest.mark.parametrize("seed", range(6))
def test_each_level_takes_the_feature_of_the_best_hand_computed_score(seed):
    """"sum" adds the nodes' best gains; "weighted" weighs each by its node's rows."""
    rng = np.random.default_rng(seed)
    X = rng.integers(0, 6, size=(120, 4)).astype(float)
    y = ((X[:, 0] > 3) ^ (X[:, 1] + rng.integers(0, 3, 120) > 4)).astype(int)
    chosen = {}
    for level_score in ("sum", "weighted"):
        model = QORClassifier(max_depth=3, level_score=level_score).fit(X, y)
        paths = model.decision_path(X).toarray().astype(bool)
        depth_of = np.zeros(model.tree_.node_count, dtype=int)
        for node in range(model.tree_.node_count):
            if model.tree_.children_left[node] >= 0:
                depth_of[model.tree_.children_left[node]] = depth_of[node] + 1
                depth_of[model.tree_.children_right[node]] = depth_of[node] + 1
        for depth, feature in model.depth_features_.items():
            nodes = [paths[:, i] for i in np.flatnonzero(depth_of == depth)]
            nodes = [rows for rows in nodes if len(set(y[rows])) > 1]
            scores = []
            for f in range(X.shape[1]):
                gains = [(rows.sum(), best_gain(X[rows, f], y[rows])) for rows in nodes]
                weight = sum(n for n, gain in gains if gain is not None)
                scores.append(sum(gain * (n / weight if level_score == "weighted" else 1.0)
                                  for n, gain in gains if gain is not None))
            assert scores[feature] == pytest.approx(max(scores), rel=1e-12, abs=1e-15), depth
        chosen[level_score] = model.depth_features_
    if seed == 0:
        # The case is one where the two rules disagree.
        assert chosen["sum"] != chosen["weighted"]


def problem(rng, cls, n=600):
    X = rng.normal(size=(n, 6)).round(2)
    X[rng.random(X.shape) < 0.05] = np.nan
    X[:, 5] = rng.integers(0, 5, n)
    signal = np.nan_to_num(X[:, 0]) * np.nan_to_num(X[:, 1]) + (X[:, 5] == 2) + \
        0.5 * rng.normal(size=n)
    y = (signal > 0.2).astype(int) if cls is QORClassifier else signal.round(1)
    return X, y


VARIANTS = {
    "plain": {},
    "weighted level score": dict(level_score="weighted"),
    "weights and limits": dict(min_samples_leaf=4, min_impurity_decrease=1e-4),
    "categorical": dict(categorical_features=[5]),
    "monotonic": dict(monotonic_cst=[1, 0, 0, 0, -1, 0]),
    "pruned": dict(ccp_alpha=0.002),
    "leaf budget": dict(max_leaf_nodes=9),
}
LEARNERS = [(QORClassifier, "gini"), (QORClassifier, "entropy"), (QORRegressor, "mse"),
            (QORRegressor, "mae")]


@pytest.mark.parametrize("cls, criterion", LEARNERS,
                         ids=[f"{c.__name__}-{k}" for c, k in LEARNERS])
@pytest.mark.parametrize("variant", VARIANTS)
@pytest.mark.parametrize("max_bins", [None, 32])
def test_a_beam_of_one_is_greedy_growth_and_lookahead_never_ends_below_greedy(
        rng, cls, criterion, variant, max_bins):
    if max_bins and criterion == "mae":
        pytest.skip("mae does not grow from bins")
    X, y = problem(rng, cls)
    w = rng.integers(1, 4, len(y)).astype(float) if variant == "weights and limits" else None
    common = dict(criterion=criterion, max_depth=4, max_bins=max_bins, **VARIANTS[variant])
    greedy = cls(**common).fit(X, y, w)
    assert_same_tree(cls(search="lookahead", beam_width=1, **common).fit(X, y, w), greedy)

    for folds in (0, 3):
        wide = cls(search="lookahead", beam_width=6, lookahead_folds=folds, **common).fit(X, y, w)
        finalists = wide.lookahead_finalists_
        sequences = [features for features, _ in finalists]
        assert len(set(sequences)) == len(sequences) > 1
        grown = cls(search="lookahead", beam_width=6, lookahead_folds=folds,
                    **{**common, "ccp_alpha": 0.0}).fit(X, y, w)
        # The greedy tree is the first finalist; the tree kept scores lowest.
        assert finalists[0][0] == tuple(cls(**{**common, "ccp_alpha": 0.0})
                                        .fit(X, y, w).depth_features_.values())
        scores = [score for _, score in finalists]
        kept = int(np.argmin(scores))
        assert tuple(grown.depth_features_.values()) == sequences[kept]
        assert scores[kept] <= scores[0]
        if folds == 0:
            # Without folds, the score is the tree's own training impurity.
            tree = grown.tree_
            leaf = tree.children_left < 0
            assert scores[kept] == pytest.approx(
                np.sum(tree.weighted_n_node_samples[leaf] * tree.impurity[leaf]), rel=1e-9)
        if variant == "monotonic":
            # Along feature 0 predictions may only rise, along feature 4 only fall.
            grid = np.linspace(-3, 3, 41)
            for f, sign in ((0, 1), (4, -1)):
                rows = np.repeat(np.nan_to_num(X[:20]), len(grid), axis=0)
                rows[:, f] = np.tile(grid, 20)
                out = wide.predict(rows) if cls is QORRegressor else wide.predict_proba(rows)[:, 1]
                assert np.all(sign * np.diff(out.reshape(20, -1), axis=1) >= 0), f


@pytest.mark.parametrize("cls", [QORClassifier, QORRegressor])
@pytest.mark.parametrize("folds", [0, 3])
@pytest.mark.parametrize("max_bins", [None, 32])
def test_finalists_of_equal_scores_keep_the_greedy_tree(rng, cls, folds, max_bins):
    # Columns 0 and 1 are one column twice: their trees tie in every score, and the
    # greedy tree (the lower feature) is kept.
    x = rng.normal(size=300)
    X = np.column_stack([x, x, rng.normal(size=300)])
    y = (x + rng.normal(scale=0.5, size=300) > 0).astype(int)
    model = cls(search="lookahead", max_depth=1, lookahead_folds=folds,
                max_bins=max_bins).fit(X, y)
    scores = dict(model.lookahead_finalists_)
    assert scores[(0,)] == scores[(1,)]
    assert model.lookahead_finalists_[0][0] == (0,)
    assert model.depth_features_ == {0: 0}


@pytest.mark.parametrize("cls", [QORClassifier, QORRegressor])
@pytest.mark.parametrize("max_bins", [None, 64])
def test_lookahead_and_the_weighted_score_do_not_depend_on_threads(rng, cls, max_bins):
    X, y = problem(rng, cls, n=5000)
    w = rng.random(len(y)) * 2
    for params in (dict(level_score="weighted"), dict(search="lookahead", beam_width=5)):
        one = cls(max_depth=5, max_bins=max_bins, n_jobs=1, **params).fit(X, y, w)
        assert_same_tree(one, cls(max_depth=5, max_bins=max_bins, n_jobs=-1, **params)
                         .fit(X, y, w))
        assert_same_tree(one, cls(max_depth=5, max_bins=max_bins, n_jobs=1, **params)
                         .fit(X, y, w))


@pytest.mark.parametrize("params, message", [
    (dict(level_score="mean"), "level_score"),
    (dict(search="beam"), "search"),
    (dict(beam_width=0), "beam_width"),
    (dict(search="lookahead", lookahead_folds=1), "lookahead_folds must be 0"),
    (dict(search="lookahead", max_features=1), "cannot draw max_features"),
])
def test_unknown_search_settings_are_refused(params, message):
    with pytest.raises(ValueError, match=message):
        QORClassifier(**params).fit([[0.0], [1.0]], [0, 1])
