"""scikit-learn's parameter names and meanings, with its trees as the reference wherever a
level-wise tree can follow them."""

import numpy as np
import pytest
from sklearn import datasets
from sklearn.metrics import mean_poisson_deviance
from sklearn.model_selection import GridSearchCV
from sklearn.tree import DecisionTreeRegressor

import qor
from qor import QORClassifier, QORRegressor

ARRAYS = ["children_left", "children_right", "feature", "threshold", "value", "impurity",
          "n_node_samples", "weighted_n_node_samples"]


def assert_same_tree(a, b):
    for name in ARRAYS:
        assert getattr(a.tree_, name).tobytes() == getattr(b.tree_, name).tobytes(), name


@pytest.fixture(scope="module")
def hastie():
    return datasets.make_hastie_10_2(n_samples=300, random_state=1)


# ---- criterion names ---------------------------------------------------------------------

@pytest.mark.parametrize("cls, alias, name", [
    (QORClassifier, "log_loss", "entropy"),
    (QORRegressor, "squared_error", "mse"),
    (QORRegressor, "absolute_error", "mae"),
])
def test_scikit_learns_criterion_names_grow_the_same_tree(hastie, tmp_path, cls, alias, name):
    X, y = hastie
    w = np.arange(len(y)) % 3 + 0.5
    by_alias = cls(criterion=alias).fit(X, y, w)
    assert_same_tree(by_alias, cls(criterion=name).fit(X, y, w))
    # The model reports the name it was given, also once saved.
    qor.save(by_alias, tmp_path / "model.json")
    assert qor.load(tmp_path / "model.json").criterion == alias == by_alias.criterion


def test_a_grid_written_for_scikit_learn_runs(hastie):
    X, y = hastie
    grid = GridSearchCV(QORClassifier(), {"criterion": ["gini", "log_loss"],
                                          "max_leaf_nodes": [4, None], "random_state": [0],
                                          "max_features": ["sqrt", None]}, cv=2).fit(X, y)
    assert grid.best_score_ > 0.5


# ---- median leaves -----------------------------------------------------------------------

def test_absolute_error_leaves_predict_the_median_where_mse_predicts_the_mean():
    X, y = np.zeros((5, 1)), np.array([1.0, 2, 3, 4, 100])
    assert QORRegressor(criterion="absolute_error").fit(X, y).predict(X[:1]) == [3.0]
    assert QORRegressor(criterion="squared_error").fit(X, y).predict(X[:1]) == [22.0]


@pytest.mark.parametrize("weights", ["none", "integers"])
def test_absolute_error_leaves_hold_their_rows_weighted_median(rng, weights):
    n = 400
    X = rng.integers(0, 6, size=(n, 3)).astype(float)
    y = np.round(rng.exponential(size=n) * 10 + X[:, 0] * 3)  # ties, and even counts
    w = rng.integers(0, 4, n).astype(float) if weights == "integers" else np.ones(n)
    est = QORRegressor(criterion="absolute_error", max_depth=3).fit(X, y, w)
    leaves = est.apply(X)
    for leaf in np.unique(leaves[w > 0]):
        at = (leaves == leaf) & (w > 0)
        # A row of integer weight k counts as k rows, as np.median sees them repeated.
        median = np.median(np.repeat(y[at], w[at].astype(int)))
        assert est.tree_.value[leaf, 0, 0] == median
        assert (est.predict(X[at]) == median).all()


def test_absolute_error_leaves_match_scikit_learns_on_its_toy_case():
    # scikit-learn's own case: rows of weights that land no median on a half.
    X = np.array([[3], [5], [3], [8], [5]], dtype=float)
    y = np.array([6.0, 7, 3, 4, 3])
    w = np.array([0.6, 0.3, 0.1, 1.0, 0.3])
    ours = QORRegressor(criterion="absolute_error", max_depth=1).fit(X, y, w)
    theirs = DecisionTreeRegressor(criterion="absolute_error", max_depth=1).fit(X, y, w)
    assert ours.tree_.value.ravel().tolist() == theirs.tree_.value.ravel().tolist() == [4, 6, 4]
    np.testing.assert_allclose(ours.tree_.impurity, theirs.tree_.impurity, rtol=1e-12)


# ---- max_leaf_nodes ----------------------------------------------------------------------

def steps(rows, means):
    """x = 0, 1, 2, 3 with rows[k] rows each, all of target means[k]."""
    x = np.repeat(np.arange(4.0), rows)
    return x.reshape(-1, 1), np.repeat(np.asarray(means, dtype=float), rows)


@pytest.mark.parametrize("rows, means, predicted", [
    # The root cuts at 1.5; of its children, the one of larger weight times gain
    # splits: right (gain 25 against 1, equal weights), ...
    ([25, 25, 25, 25], [0, 2, 20, 30], [1, 1, 20, 30]),
    # ... left (400 rows of gain 16 outweigh 50 of gain 25), ...
    ([200, 200, 25, 25], [0, 8, 20, 30], [0, 8, 25, 25]),
    # ... and on a tie the node first in the tree.
    ([25, 25, 25, 25], [0, 2, 20, 22], [0, 2, 21, 21]),
])
def test_a_level_splits_its_nodes_of_largest_weighted_gain_within_the_leaf_budget(
        rows, means, predicted):
    X, y = steps(rows, means)
    est = QORRegressor(max_leaf_nodes=3).fit(X, y)
    assert est.tree_.threshold[0] == 1.5 and est.get_n_leaves() == 3
    assert est.predict(np.arange(4.0).reshape(-1, 1)).tolist() == predicted
    # Without a budget, both children split.
    assert QORRegressor().fit(X, y).get_n_leaves() == 4


@pytest.mark.parametrize("cls", [QORClassifier, QORRegressor])
@pytest.mark.parametrize("budget", [2, 5, 8, 13])
def test_the_leaf_budget_is_spent_and_never_passed(hastie, cls, budget):
    X, y = hastie
    est = cls(max_depth=None, max_leaf_nodes=budget).fit(X, y)
    assert est.get_n_leaves() == budget
    # A level deeper than max_depth allows never splits, whatever the budget.
    assert cls(max_depth=1, max_leaf_nodes=budget).fit(X, y).get_depth() == 1
    # A budget cuts a level short: the tree is the unlimited one's first levels, with
    # some nodes of its last level left as leaves.
    full = cls(max_depth=est.get_depth()).fit(X, y)
    assert est.depth_features_ == full.depth_features_
    assert est.tree_.node_count <= full.tree_.node_count


# ---- max_features and random_state -------------------------------------------------------

@pytest.mark.parametrize("max_features, drawn", [
    ("sqrt", 3), ("log2", 3), (1, 1), (7, 7), (0.01, 1), (0.5, 5), (1.0, 10), (None, 10)])
def test_max_features_counts_as_scikit_learns(hastie, max_features, drawn):
    X, y = hastie
    assert QORClassifier(max_features=max_features).fit(X, y).max_features_ == drawn


def test_max_features_above_the_features_is_refused(hastie):
    X, y = hastie
    with pytest.raises(ValueError, match="max_features must be at most the 10 features of X; "
                                         "got 11"):
        QORClassifier(max_features=11).fit(X, y)


@pytest.mark.parametrize("cls", [QORClassifier, QORRegressor])
@pytest.mark.parametrize("max_bins", [None, 32])
def test_drawn_features_are_fixed_by_random_state_alone(hastie, cls, max_bins):
    X, y = hastie

    def grown(seed, n_jobs=None):
        return cls(max_depth=6, max_features=2, random_state=seed, n_jobs=n_jobs,
                   max_bins=max_bins).fit(X, y)

    first = grown(0)
    assert_same_tree(first, grown(0, n_jobs=2))
    assert_same_tree(first, grown(np.random.RandomState(0)))
    levels = {tuple(grown(seed).depth_features_.values()) for seed in range(6)}
    assert len(levels) > 3  # the seeds draw different features
    # All of the features: random_state has nothing to draw.
    assert_same_tree(cls(max_depth=6, max_features=1.0, random_state=1, max_bins=max_bins)
                     .fit(X, y), cls(max_depth=6, max_bins=max_bins).fit(X, y))


@pytest.mark.parametrize("n_features, fits", [(2, 20), (6, 600)])
def test_every_feature_can_be_drawn_first(n_features, fits):
    # Every feature cuts the root equally well, so a depth-1 tree of max_features=1
    # splits on the feature drawn first. A shuffle that only made cyclic orders would
    # never draw a feature in its own place.
    x = np.repeat(np.arange(8.0), 5)
    X, y = np.tile(x[:, None], (1, n_features)), (x > 3).astype(int)
    firsts = np.array([QORClassifier(max_depth=1, max_features=1, random_state=seed)
                       .fit(X, y).depth_features_[0] for seed in range(fits)])
    counts = np.bincount(firsts, minlength=n_features)
    assert counts.min() > 0, counts
    if fits > 100:  # each about fits / n_features times: 100 +- 9 here, so 60 is 4 sds off
        assert np.all(np.abs(counts - fits / n_features) < 40), counts


def test_a_level_whose_draw_cuts_nothing_draws_again():
    # Only feature 3 varies: every level must find it, whatever it draws first.
    rng = np.random.default_rng(0)
    X = np.zeros((200, 6))
    X[:, 3] = rng.normal(size=200)
    y = (X[:, 3] > 0).astype(int)
    for seed in range(5):
        est = QORClassifier(max_features=1, random_state=seed).fit(X, y)
        assert est.depth_features_ == {0: 3} and est.score(X, y) == 1.0


# ---- poisson -----------------------------------------------------------------------------

def half_poisson_deviance(y, w):
    """Half the Poisson deviance of targets y (weights w) around their weighted mean, per
    unit of weight, as scikit-learn defines a node's impurity."""
    mean = np.sum(w * y) / np.sum(w)
    return mean_poisson_deviance(y, np.full_like(y, mean), sample_weight=w) / 2


def test_poisson_stump_matches_scikit_learns(rng):
    n = 300
    X = rng.integers(0, 64, size=(n, 1)) / 64  # exact in scikit-learn's float32
    y = rng.poisson(np.exp(2 * X[:, 0])).astype(float)
    w = rng.uniform(0.5, 2, n)
    ours = QORRegressor(criterion="poisson", max_depth=1).fit(X, y, w)
    theirs = DecisionTreeRegressor(criterion="poisson", max_depth=1).fit(X, y, w)
    assert ours.tree_.threshold[0] == theirs.tree_.threshold[0]
    np.testing.assert_allclose(ours.tree_.impurity, theirs.tree_.impurity, rtol=1e-9)
    np.testing.assert_allclose(ours.tree_.value.ravel(), theirs.tree_.value.ravel(), rtol=1e-12)
    leaves = ours.apply(X)
    for node in range(3):
        at = leaves == node if node else np.ones(n, dtype=bool)
        np.testing.assert_allclose(ours.tree_.impurity[node],
                                   half_poisson_deviance(y[at], w[at]), rtol=1e-9)


@pytest.mark.parametrize("max_bins", [None, 64])
def test_poisson_never_makes_a_part_whose_targets_add_up_to_0(max_bins):
    # scikit-learn's case: x0 == 0 marks every target of 0, which mse would cut off.
    X = np.array([[0, 0], [0, 1], [0, 2], [0, 3], [1, 0], [1, 2], [1, 2], [1, 3]], dtype=float)
    y = np.array([0.0, 0, 0, 0, 1, 2, 3, 4])
    assert QORRegressor(max_depth=None).fit(X, y).predict(X).min() == 0
    est = QORRegressor(criterion="poisson", max_depth=None, max_bins=max_bins).fit(X, y)
    assert (est.predict(X) > 0).all()
    # scikit-learn's second case: counts with many zeros.
    X, y = datasets.make_regression(n_samples=1000, n_features=10, effective_rank=6,
                                    tail_strength=0.6, n_informative=6, random_state=0)
    y[(-1 < y) & (y < 0)] = 0
    est = QORRegressor(criterion="poisson", max_depth=None, max_bins=max_bins).fit(X, abs(y))
    assert (est.predict(X) > 0).all() and est.get_depth() > 5


def test_poisson_binned_grows_the_exact_tree_where_every_value_has_its_bin(rng):
    X = rng.integers(0, 10, size=(1000, 3)).astype(float)
    y = rng.poisson(np.exp(X[:, 0] / 5 + X[:, 1] / 10)).astype(float)
    exact = QORRegressor(criterion="poisson", max_depth=4).fit(X, y)
    binned = QORRegressor(criterion="poisson", max_depth=4, max_bins=32).fit(X, y)
    for name in ["children_left", "feature", "threshold", "n_node_samples"]:
        assert getattr(exact.tree_, name).tolist() == getattr(binned.tree_, name).tolist()
    np.testing.assert_allclose(binned.tree_.value, exact.tree_.value, rtol=1e-12)
    np.testing.assert_allclose(binned.tree_.impurity, exact.tree_.impurity, rtol=1e-9,
                               atol=1e-12)


def test_poisson_beats_mse_on_counts_in_poisson_deviance():
    # scikit-learn's test_poisson_vs_mse, on a level-wise tree.
    rng = np.random.RandomState(42)
    X = datasets.make_low_rank_matrix(n_samples=1000, n_features=10, random_state=rng)
    coef = rng.uniform(low=-2, high=2, size=10) / np.max(X, axis=0)
    y = rng.poisson(lam=np.exp(X @ coef)).astype(float)
    train, test = slice(0, 500), slice(500, None)
    deviance = {}
    for criterion in ["poisson", "squared_error"]:
        est = QORRegressor(criterion=criterion, max_depth=None, min_samples_split=10)
        est.fit(X[train], y[train])
        # Squared error may predict 0 where a target is not: floor it as scikit-learn does.
        deviance[criterion] = mean_poisson_deviance(y[test], np.clip(est.predict(X[test]),
                                                                     1e-15, None))
    assert deviance["poisson"] < deviance["squared_error"]


@pytest.mark.parametrize("y, w, message", [
    ([1.0, -1.0, 2.0, 0.0], None,
     "criterion='poisson' needs targets >= 0 \\(counts or amounts\\); y holds 1 negative "
     "values, the least -1.0"),
    ([0.0, 0.0, 0.0, 0.0], None, "criterion='poisson' needs targets whose weighted sum is "
                                 "above 0 .*; these add up to 0.0"),
    ([0.0, 0.0, 3.0, 0.0], [1.0, 1.0, 0.0, 1.0], "these add up to 0.0"),
])
def test_poisson_refuses_targets_without_a_deviance(y, w, message):
    with pytest.raises(ValueError, match=message):
        QORRegressor(criterion="poisson").fit(np.arange(4.0).reshape(-1, 1), y, w)
