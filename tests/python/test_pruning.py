"""Minimal cost-complexity pruning, held to scikit-learn's own path."""

import numpy as np
import pytest
from sklearn.datasets import load_breast_cancer, load_diabetes
from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor

from conftest import flats
from qor import QORClassifier, QORRegressor, load, save
from qor._pruning import _subtree, prune, pruning_path
from qor._tree import Tree

# (qor estimator, criterion, scikit-learn's tree, its name for the criterion, data)
PEERS = [
    (QORClassifier, "gini", DecisionTreeClassifier, "gini", load_breast_cancer),
    (QORClassifier, "entropy", DecisionTreeClassifier, "entropy", load_breast_cancer),
    (QORRegressor, "mse", DecisionTreeRegressor, "squared_error", load_diabetes),
    (QORRegressor, "mae", DecisionTreeRegressor, "absolute_error", load_diabetes),
]
PEER_IDS = [peer[1] for peer in PEERS]


def as_qor_tree(cart) -> Tree:
    """A scikit-learn tree (numbered depth first) as a qor Tree numbered breadth first."""
    t = cart.tree_
    tree = Tree(n_features=t.n_features, n_classes=t.max_n_classes,
                children_left=t.children_left, children_right=t.children_right,
                feature=t.feature, threshold=t.threshold, value=t.value[:, 0],
                impurity=t.impurity, n_node_samples=t.n_node_samples,
                weighted_n_node_samples=t.weighted_n_node_samples,
                gain=np.zeros(t.node_count))
    return _subtree(tree, tree.is_leaf)


def settled(alphas, impurities):
    """The distinct alphas of a path with the impurity once all their collapses are done:
    the order of collapses at equal alphas (and so the path's length) depends on the
    numbering of the nodes and on rounding, that result does not."""
    last = np.append(~np.isclose(alphas[1:], alphas[:-1], rtol=1e-9, atol=1e-15), True)
    return alphas[last], impurities[last]


@pytest.mark.parametrize("cls, criterion, cart, cart_criterion, load", PEERS, ids=PEER_IDS)
def test_a_stump_has_the_path_of_a_cart_stump(cls, criterion, cart, cart_criterion, load):
    X, y = load(return_X_y=True)
    ours = cls(criterion=criterion, max_depth=1).cost_complexity_pruning_path(X, y)
    theirs = cart(criterion=cart_criterion, max_depth=1).cost_complexity_pruning_path(X, y)
    assert len(ours.ccp_alphas) == 2
    np.testing.assert_allclose(ours.ccp_alphas, theirs.ccp_alphas, rtol=1e-9)
    np.testing.assert_allclose(ours.impurities, theirs.impurities, rtol=1e-9)


@pytest.mark.parametrize("cls, criterion, cart, cart_criterion, load", PEERS, ids=PEER_IDS)
def test_deep_cart_trees_prune_as_in_scikit_learn(cls, criterion, cart, cart_criterion, load):
    X, y = load(return_X_y=True)
    grown = cart(criterion=cart_criterion, max_depth=7, random_state=0).fit(X, y)
    path = grown.cost_complexity_pruning_path(X, y)
    alphas, impurities = pruning_path(as_qor_tree(grown))
    ours, theirs = settled(alphas, impurities), settled(path.ccp_alphas, path.impurities)
    assert len(ours[0]) > 10
    np.testing.assert_allclose(ours[0], theirs[0], rtol=1e-7, atol=1e-12)
    np.testing.assert_allclose(ours[1], theirs[1], rtol=1e-7)
    # Between two alphas of the path, both keep the same subtree.
    alpha = (ours[0][len(ours[0]) // 2] + ours[0][len(ours[0]) // 2 + 1]) / 2
    pruned = cart(criterion=cart_criterion, max_depth=7, random_state=0, ccp_alpha=alpha)
    assert prune(as_qor_tree(grown), alpha).node_count == pruned.fit(X, y).tree_.node_count


@pytest.mark.parametrize("cls, criterion", [(peer[0], peer[1]) for peer in PEERS], ids=PEER_IDS)
def test_the_path_shrinks_to_a_single_leaf(cls, criterion):
    X, y = PEERS[0][4](return_X_y=True) if cls is QORClassifier else load_diabetes(
        return_X_y=True)
    path = cls(criterion=criterion, max_depth=6).cost_complexity_pruning_path(X, y)
    assert path.ccp_alphas[0] == 0.0 and np.all(np.diff(path.ccp_alphas) >= 0)
    leaves = []
    for alpha, impurity in zip(path.ccp_alphas, path.impurities):
        est = cls(criterion=criterion, max_depth=6, ccp_alpha=alpha).fit(X, y)
        tree = est.tree_
        # The pruned tree's leaves carry exactly the impurity the path announced.
        at_leaves = tree.is_leaf
        share = tree.weighted_n_node_samples[at_leaves] / tree.weighted_n_node_samples[0]
        assert (share * tree.impurity[at_leaves]).sum() == pytest.approx(impurity, rel=1e-9)
        assert list(est.depth_features_) == list(range(est.get_depth()))
        assert np.array_equal(np.bincount(est.apply(X), minlength=tree.node_count)[at_leaves],
                              tree.n_node_samples[at_leaves])
        leaves.append(est.get_n_leaves())
    assert leaves[-1] == 1 and np.all(np.diff(leaves) < 0)
    assert est.depth_features_ == {} and not est.feature_importances_.any()


@pytest.mark.parametrize("max_bins", [None, 255])
@pytest.mark.parametrize("cls", [QORClassifier, QORRegressor])
def test_integer_weights_prune_as_repeated_rows(rng, cls, max_bins):
    X = rng.integers(0, 40, size=(300, 3)).astype(float)
    y = (X[:, 0] + rng.normal(scale=8, size=300) > 20).astype(int)
    if cls is QORRegressor:
        y = y * 7 + X[:, 1] % 5
    w = rng.integers(0, 4, size=300)
    est = cls(max_depth=5, max_bins=max_bins)
    weighted = est.cost_complexity_pruning_path(X, y, w.astype(float))
    repeated = est.cost_complexity_pruning_path(X.repeat(w, axis=0), y.repeat(w))
    assert len(weighted.ccp_alphas) > 5
    np.testing.assert_allclose(weighted.ccp_alphas, repeated.ccp_alphas, rtol=1e-12, atol=1e-15)
    np.testing.assert_allclose(weighted.impurities, repeated.impurities, rtol=1e-12, atol=1e-15)


@pytest.mark.parametrize("cls", [QORClassifier, QORRegressor])
def test_a_pruned_categorical_tree_routes_rows_as_the_grown_one(tmp_path, cls):
    X, rent = flats(1, 600)
    y = rent if cls is QORRegressor else rent > np.median(rent)
    params = {"max_depth": 4, "categorical_features": ["city", "floor"]}
    grown = cls(**params).fit(X, y)
    alphas = grown.cost_complexity_pruning_path(X, y).ccp_alphas
    pruned = cls(**params, ccp_alpha=alphas[len(alphas) // 2]).fit(X, y)
    assert pruned.tree_.is_categorical.any() and pruned.tree_.node_count < grown.tree_.node_count
    rows, _ = flats(2, 400, unseen=True)
    leaf = pruned.apply(rows)
    # Each row's new leaf is the node its grown path passed at that depth.
    path = grown.decision_path(rows)
    passed = [path.indices[path.indptr[i] + d] for i, d in enumerate(pruned.tree_.depth[leaf])]
    assert np.array_equal(pruned.tree_.value[leaf], grown.tree_.value[passed])
    save(pruned, tmp_path / "pruned.json")
    assert np.array_equal(load(tmp_path / "pruned.json").apply(rows), leaf)


def literal_entropy(y, w, classes):
    """-sum p log2 p over the classes in order, each weight and the total added row by row
    (exact under whole weights), a class of no weight adding nothing."""
    total = 0.0
    for weight in w:
        total += weight
    acc = 0.0
    for c in classes:
        weight = 0.0
        for weight_of_row in w[y == c]:
            weight += weight_of_row
        if weight > 0:
            p = weight / total
            acc = acc - np.log2(p) * p
    return acc


@pytest.mark.parametrize("criterion", ["entropy", "log_loss"])
@pytest.mark.parametrize("max_bins", [None, 16])
@pytest.mark.parametrize("weighted", [False, True])
def test_entropy_is_the_entropy_itself_in_every_node_and_on_the_path(rng, criterion, max_bins,
                                                                     weighted):
    X = rng.normal(size=(300, 4)).round(1)
    y = np.digitize(X[:, 0] + X[:, 1] + rng.normal(size=300), [-1.0, 0.0, 1.0])
    w = rng.integers(0, 4, size=300).astype(float) if weighted else np.ones(300)
    model = QORClassifier(criterion=criterion, max_depth=5, max_bins=max_bins).fit(X, y, w)
    paths = model.decision_path(X).toarray().astype(bool)
    for node in range(model.tree_.node_count):
        rows = paths[:, node] & (w > 0)
        assert model.tree_.impurity[node] == literal_entropy(y[rows], w[rows], model.classes_)
    assert model.tree_.impurity.min() == 0.0  # a pure node, not -1.4e-10
    half = QORClassifier(criterion=criterion).fit(np.zeros((4, 1)), [0, 0, 1, 1])
    assert half.tree_.impurity[0] == 1.0
    path = model.cost_complexity_pruning_path(X, y, w)
    assert np.all(path.impurities >= 0)
