"""Reading a model and its tree from Python: values, copies, identity and lifetime."""

import gc

import numpy as np
import pytest

from conftest import TASKS, assert_tree_equal, make_model, skip_if_sanitized, walk


def fitted(X, y, task="classification", criterion="gini", max_depth=3):
    model = make_model(task, criterion, max_depth)
    model.fit(X, y)
    return model


def test_unfitted_model_reads_empty():
    model = make_model()
    assert model.root is None
    assert model.classes_ == [] and model.n_classes_ == 0
    assert model.depth_features_ == {}


@pytest.mark.parametrize("task", TASKS)
def test_leaves_and_interior_nodes(toy, task):
    model = fitted(*toy, task=task)
    kinds = set()
    for node, _ in walk(model.root):
        if node.is_leaf:
            kinds.add("leaf")
            assert node.left is None and node.right is None
            assert node.split_feature == -1 and node.split_threshold == 0.0
            expected = model.n_classes_ if task == "classification" else 0
            assert len(node.class_counts) == expected
        else:
            kinds.add("interior")
            assert type(node.left).__name__ == type(node.right).__name__ == "Node"
            assert node.value == 0.0 and node.class_counts == []
            assert node.split_feature >= 0
    assert kinds == {"leaf", "interior"}
    assert all(type(i) is int and i >= 0 for i in model.root.indices)


@pytest.mark.parametrize("task", TASKS)
def test_model_attributes(toy, task):
    X, y = toy
    model = fitted(X, y, task=task)
    if task == "classification":
        assert model.classes_ == [0.0, 1.0] and model.n_classes_ == 2
    else:
        assert model.classes_ == [] and model.n_classes_ == 0
    depths = list(model.depth_features_)
    assert depths == sorted(depths) == list(range(len(depths)))
    assert all(0 <= f < X.shape[1] for f in model.depth_features_.values())


@pytest.mark.parametrize("read", [
    lambda m: m.classes_, lambda m: m.root.indices, lambda m: m.root.left.left.class_counts,
])
def test_lists_are_copies_the_caller_may_change(toy, read):
    model = fitted(*toy)
    first = read(model)
    snapshot = list(first)
    first.append(99.0)
    first[:1] = []
    assert read(model) == snapshot


def test_depth_features_is_a_new_dict_each_read(toy):
    model = fitted(*toy)
    first = model.depth_features_
    expected = dict(first)
    first[0] = 17
    first[100] = 1
    assert model.depth_features_ == expected


def test_repeated_reads_give_the_same_node_objects(toy):
    model = fitted(*toy)
    root = model.root
    assert model.root is root
    assert root.left is root.left and root.right is model.root.right


def test_a_node_keeps_its_model_alive(toy):
    model = fitted(*toy)
    expected = [(n.indices, n.value) for n, _ in walk(model.root)]
    leaf = model.root.left.left
    root = model.root
    del model
    gc.collect()
    assert [(n.indices, n.value) for n, _ in walk(root)] == expected
    assert leaf.is_leaf and leaf.indices == expected[3][0]


def test_nodes_held_across_refits_keep_reading_their_own_tree(rng):
    """Each held node stays a faithful view of the tree it came from, however many
    fits follow, and every new tree reads like a freshly grown one."""
    model = make_model(max_depth=4)
    held = []
    for i in range(60):
        X = rng.normal(size=(30 + i % 7, 3))
        y = (X[:, i % 3] > 0).astype(np.float64)
        model.fit(X, y)
        fresh = make_model(max_depth=4)
        fresh.fit(X, y)
        assert_tree_equal(model.root, fresh.root)
        nodes = [n for n, _ in walk(model.root)]
        held.append((nodes[0], nodes[-1], [(n.indices, n.split_threshold, n.class_counts)
                                           for n in (nodes[0], nodes[-1])]))
        if i % 3 == 0:
            held = held[-5:]  # let older trees go while newer ones are still held
        for first, last, expected in held:
            assert [(n.indices, n.split_threshold, n.class_counts)
                    for n in (first, last)] == expected
    assert held[-1][0] is model.root
    assert all(first is not model.root for first, _, _ in held[:-1])


def test_children_read_from_a_stale_node_belong_to_its_tree(toy):
    X, y = toy
    model = fitted(X, y)
    root = model.root
    expected = [(n.indices, n.split_feature) for n, _ in walk(root)]
    model.fit(X[:5], y[:5])
    assert [(n.indices, n.split_feature) for n, _ in walk(root)] == expected


def test_failed_refit_keeps_the_tree_and_its_nodes(toy):
    X, y = toy
    model = fitted(X, y)
    root = model.root
    with pytest.raises(ValueError):
        model.fit(X, y[:3])
    assert model.root is root and root.left is model.root.left


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


@skip_if_sanitized
def test_trees_kept_for_held_nodes_are_freed_with_them():
    """Every refit while a node is held parks the old tree; dropping the node
    must free it. A leak here would grow by the root's 4 MB of row positions
    per cycle."""
    X = np.zeros((500_000, 1))
    y = np.zeros(500_000)
    model = make_model("regression", "mse", 0)
    model.fit(X, y)
    held = model.root
    for _ in range(5):
        model.fit(X, y)
        held = model.root
    baseline = resident_bytes()
    for _ in range(50):
        model.fit(X, y)
        held = model.root  # the previous holder dies here, and its tree with it
    assert held.indices[-1] == 499_999
    assert resident_bytes() - baseline < 40 * 2**20
