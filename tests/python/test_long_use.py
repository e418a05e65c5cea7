"""Long use: thousands of refits with nodes held across them, and trees as high
as their rows allow."""

import gc

import numpy as np
import pytest

from conftest import SANITIZED_MODULE_DIR, make_model, skip_if_sanitized, walk


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def cycles(model, rng, count, held):
    for i in range(count):
        n = 20 + i % 13
        X = rng.normal(size=(n, 3))
        y = (X[:, i % 3] > 0.2).astype(np.float64) + (X[:, 0] > 1)
        model.fit(X, y)
        assert len(model.predict(X)) == n
        assert len(model.predict_proba(X[:3])) == 3
        nodes = [node for node, _ in walk(model.root)]
        held.append(nodes[-1])
        del held[:-7]  # a sliding window of nodes from the last few trees
        assert all(node.indices for node in held)


@skip_if_sanitized
def test_thousands_of_refits_holding_nodes_keep_memory_flat(rng):
    model = make_model("classification", "entropy", 4)
    held = []
    cycles(model, rng, 500, held)  # let allocator pools and caches settle
    gc.collect()
    baseline = resident_bytes()
    cycles(model, rng, 10_000, held)
    gc.collect()
    assert resident_bytes() - baseline < 4 * 2**20


def test_refits_holding_nodes_stay_sound_under_any_build(rng):
    model = make_model("regression", "mae", 3)
    held = []
    cycles(model, rng, 300 if SANITIZED_MODULE_DIR else 2000, held)


def alternating(n):
    """Alternating labels along one column: every cut scores the same gain, the
    leftmost wins, and each level peels a single row off the node."""
    return np.arange(n, dtype=np.float64).reshape(-1, 1), np.arange(n) % 2.0


@pytest.mark.parametrize("task, criterion", [("classification", "gini"),
                                             ("classification", "entropy")])
def test_a_tree_as_high_as_its_rows_fits_predicts_and_releases(task, criterion):
    n = 3000
    X, y = alternating(n)
    model = make_model(task, criterion, n)
    model.fit(X, y)
    assert len(model.depth_features_) == n - 1
    assert model.predict(X) == y.tolist()

    node, depth = model.root, 0
    while not node.is_leaf:  # held wrappers form a chain back to the root
        node = node.right if not node.right.is_leaf else node.left
        depth += 1
    assert depth == n - 1
    assert node.indices in ([n - 1], [n - 2])
    del model
    gc.collect()
    assert node.is_leaf and node.value in (0.0, 1.0)
    del node  # releases the whole chain of wrappers and then the tree
    gc.collect()


def test_doubling_targets_peel_the_top_rows_level_after_level():
    """Each target outweighs all smaller ones together, so the best cut splits off
    the largest rows: a tree about half as high as its 500 rows."""
    n = 500
    X = np.arange(n, dtype=np.float64).reshape(-1, 1)
    y = np.ldexp(1.0, np.arange(n))
    model = make_model("regression", "mse", n)
    model.fit(X, y)
    assert max(depth for _, depth in walk(model.root)) > 200
    assert all(len(node.indices) <= 2 for node, _ in walk(model.root) if node.is_leaf)
