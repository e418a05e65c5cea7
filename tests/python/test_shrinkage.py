"""Hierarchical shrinkage: held to a literal per-node reference, the identity at 0, and
the one source every prediction, export and saved file reads."""

import json
import pickle

import matplotlib.pyplot as plt
import numpy as np
import pytest
from scipy import sparse
from sklearn.tree import export_graphviz

from qor import (QORClassifier, QORRegressor, export_dot, export_html, export_text, load,
                 plot_tree, save)


def reference(tree, shrinkage: float) -> np.ndarray:
    """The shrunk values, node by node as the definition reads, in the core's order."""
    raw = tree.raw_value
    shrunk = raw.copy()
    for parent in range(tree.node_count):  # parents before children, breadth first
        if tree.is_leaf[parent]:
            continue
        s = 1.0 + shrinkage / tree.weighted_n_node_samples[parent]
        for child in (tree.children_left[parent], tree.children_right[parent]):
            shrunk[child] = shrunk[parent] + (raw[child] - raw[parent]) / s
    return shrunk


def data(seed=0, n=400):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, 4))
    X[rng.random(X.shape) < 0.05] = np.nan
    signal = np.nan_to_num(X[:, 0]) + 0.5 * np.nan_to_num(X[:, 1]) ** 2
    noisy = signal + rng.normal(0, 1, n)
    return X, noisy, rng.uniform(0.2, 3.0, n)


def targets(criterion, noisy, outputs):
    if criterion in ("gini", "entropy"):
        y = np.digitize(noisy, [-0.5, 0.8])  # three classes
        return y if outputs == 1 else np.column_stack([y, noisy > 0])
    if criterion == "poisson":
        return np.exp(noisy / 2)
    return noisy if outputs == 1 else np.column_stack([noisy, -2 * noisy + 1])


CASES = [(c, o, w) for c in ("gini", "entropy", "mse", "mae", "poisson") for o in (1, 2)
         for w in (False, True) if not (c == "poisson" and o == 2)]


@pytest.mark.parametrize("criterion, outputs, weighted", CASES)
@pytest.mark.parametrize("shrinkage", [0.5, 25.0])
def test_shrunk_values_follow_the_definition_node_by_node(criterion, outputs, weighted,
                                                          shrinkage):
    X, noisy, weights = data()
    y = targets(criterion, noisy, outputs)
    cls = QORClassifier if criterion in ("gini", "entropy") else QORRegressor
    fit = dict(sample_weight=weights if weighted else None)
    grown = cls(criterion=criterion, max_depth=5).fit(X, y, **fit)
    shrunk = cls(criterion=criterion, max_depth=5, shrinkage=shrinkage).fit(X, y, **fit)
    # The same tree, only its values changed; the nodes' own stay readable.
    np.testing.assert_array_equal(shrunk.tree_.raw_value, grown.tree_.value)
    np.testing.assert_array_equal(shrunk.tree_.threshold, grown.tree_.threshold)
    np.testing.assert_array_equal(shrunk.tree_.value, reference(grown.tree_, shrinkage))
    assert not np.array_equal(shrunk.tree_.value, grown.tree_.value)
    leaf = shrunk.tree_.value[shrunk.apply(X)]
    if cls is QORRegressor:
        np.testing.assert_array_equal(shrunk.predict(X), leaf[:, :, 0].squeeze())
    else:
        proba = shrunk.predict_proba(X)
        for k, p in enumerate(proba if outputs > 1 else [proba]):
            np.testing.assert_array_equal(p, leaf[:, k, :p.shape[1]])
        shares = shrunk.tree_.value
        assert shares.min() >= -1e-15 and shares.max() <= 1 + 1e-15
        for k, n in enumerate(np.atleast_1d(shrunk.n_classes_)):
            np.testing.assert_allclose(shares[:, k, :n].sum(axis=1), 1.0, rtol=0, atol=1e-14)
    if criterion == "poisson":
        assert shrunk.predict(X).min() > 0


MODES = {
    "exact": dict(),
    "binned": dict(max_bins=16),
    "lookahead": dict(search="lookahead", beam_width=4),
    "pruned": dict(ccp_alpha=0.002),
    "weighted-levels": dict(level_score="weighted"),
}


@pytest.mark.parametrize("mode", MODES.values(), ids=MODES.keys())
@pytest.mark.parametrize("cls", [QORClassifier, QORRegressor])
def test_no_shrinkage_is_todays_tree_to_the_bit_and_some_shrinks_the_same_tree(mode, cls):
    X, noisy, weights = data(1)
    y = np.digitize(noisy, [0.0]) if cls is QORClassifier else noisy
    grown = cls(max_depth=4, **mode).fit(X, y, sample_weight=weights)
    zero = cls(max_depth=4, shrinkage=0.0, **mode).fit(X, y, sample_weight=weights)
    shrunk = cls(max_depth=4, shrinkage=10.0, **mode).fit(X, y, sample_weight=weights)
    assert not zero.tree_.is_shrunk and zero.tree_.raw_value is zero.tree_.value
    assert zero.tree_.value.tobytes() == grown.tree_.value.tobytes()
    assert zero.predict(X).tobytes() == grown.predict(X).tobytes()
    assert export_text(zero) == export_text(grown)
    # Shrinkage comes after growth and pruning: the same tree, shrunk.
    np.testing.assert_array_equal(shrunk.tree_.value, grown.tree_.shrunk(10.0).value)


def test_sparse_x_shrinks_as_the_dense_tree():
    X, noisy, weights = data(3)
    X = np.where(np.abs(np.nan_to_num(X)) < 0.7, 0.0, np.nan_to_num(X))
    dense, held = (QORClassifier(max_depth=4, shrinkage=3.0).fit(x, noisy > 0, weights)
                   for x in (X, sparse.csc_array(X)))
    assert held.predict_proba(sparse.csr_array(X)).tobytes() == dense.predict_proba(X).tobytes()


@pytest.mark.parametrize("cls", [QORClassifier, QORRegressor])
def test_shrunk_predictions_stay_monotone(cls):
    rng = np.random.default_rng(4)
    X = rng.uniform(size=(1500, 3))
    signal = 3 * X[:, 0] + np.sin(6 * X[:, 1]) + rng.normal(0, 0.6, 1500)
    y = (signal > 1.8).astype(int) if cls is QORClassifier else signal
    model = cls(max_depth=6, monotonic_cst=[1, 0, 0], shrinkage=30.0).fit(X, y)
    grid = np.repeat(rng.uniform(size=(100, 1, 3)), 60, axis=1)
    grid[:, :, 0] = np.linspace(0, 1, 60)
    rows = grid.reshape(-1, 3)
    p = model.predict_proba(rows)[:, 1] if cls is QORClassifier else model.predict(rows)
    assert np.all(np.diff(p.reshape(100, 60), axis=1) >= -1e-12)
    assert np.ptp(p) > 0.1


def test_exports_pictures_and_pages_show_the_shrunk_values(tmp_path):
    X, noisy, _ = data(5, n=60)
    y = np.where(noisy > 0.3, "yes", "no")
    model = QORClassifier(max_depth=3, shrinkage=20.0).fit(X, y)
    tree = model.tree_
    leaf = int(np.flatnonzero(tree.is_leaf)[0])
    # Text: counts are the training rows' (whole numbers), proba the shrunk shares.
    counts = tree.raw_value[leaf, 0] * tree.weighted_n_node_samples[leaf]
    line = next(text for text in export_text(model).splitlines()
                if f"samples={tree.n_node_samples[leaf]}  class=" in text)
    assert f"counts=[{int(counts[0])}, {int(counts[1])}]" in line
    assert "proba=[" in line and f"{tree.value[leaf, 0, 0]:.6g}" in line
    assert f"proba = [{tree.value[leaf, 0, 0]:.6g}" in export_dot(model)
    # scikit-learn's own exporter reads tree_.value: the shares the model predicts.
    dot = export_graphviz(model, proportion=True)
    assert f"value = [{tree.value[leaf, 0, 0]:.3f}, {tree.value[leaf, 0, 1]:.3f}]" in dot
    picture = " ".join(t.get_text() for t in plot_tree(model))
    plt.close("all")
    assert f"{tree.value[leaf, 0, 0]:.3f}" in picture
    export_html(model, tmp_path / "page.html")
    page = json.loads((tmp_path / "page.html").read_text().split(
        '<script type="application/json" id="qor-data">')[1].split("</script>")[0])
    assert page["shares"] == np.round(tree.value[:, 0] * 1000).astype(int).tolist()


@pytest.mark.parametrize("cls, shrinkage, version", [
    (QORClassifier, 7.5, 4), (QORRegressor, 7.5, 4), (QORRegressor, 0.0, 3)])
def test_a_shrunk_model_saves_pickles_and_loads_bit_for_bit(tmp_path, cls, shrinkage, version):
    X, noisy, weights = data(6)
    y = np.digitize(noisy, [0.0]) if cls is QORClassifier else np.column_stack([noisy, noisy])
    model = cls(max_depth=4, shrinkage=shrinkage, ccp_alpha=1e-4).fit(X, y, weights)
    save(model, tmp_path / "model.json")
    document = json.loads((tmp_path / "model.json").read_text())
    # Without shrinkage, as before (two outputs: version 3): no shrinkage, no raw values.
    assert document["version"] == version
    assert ("shrinkage" in document["params"]) == ("raw_value" in document["tree"]) == (
        shrinkage > 0)
    for copy in (load(tmp_path / "model.json"), pickle.loads(pickle.dumps(model))):
        assert copy.tree_.is_shrunk == (shrinkage > 0)
        for name in ("value", "raw_value"):
            assert getattr(copy.tree_, name).tobytes() == getattr(model.tree_, name).tobytes()


SHRUNK_FILE_BREAKAGES = {
    "value-changed": (lambda d: d["tree"]["value"][3].__setitem__(0, 0.25),
                      "tree.value is not tree.raw_value shrunk by shrinkage=4.0"),
    "shrinkage-changed": (lambda d: d["params"].update(shrinkage=4.5),
                          "tree.value is not tree.raw_value shrunk by shrinkage=4.5"),
    "raw-dropped": (lambda d: d["tree"].pop("raw_value"), r"missing \['raw_value'\]"),
    "old-version": (lambda d: d.update(version=3), "shrinkage needs format version 4"),
}


@pytest.mark.parametrize("breakage, message", SHRUNK_FILE_BREAKAGES.values(),
                         ids=SHRUNK_FILE_BREAKAGES.keys())
def test_a_shrunk_file_whose_values_disagree_is_refused(tmp_path, breakage, message):
    X, noisy, _ = data(8)
    save(QORClassifier(max_depth=3, shrinkage=4.0).fit(X, noisy > 0), tmp_path / "model.json")
    document = json.loads((tmp_path / "model.json").read_text())
    breakage(document)
    (tmp_path / "broken.json").write_text(json.dumps(document))
    with pytest.raises(ValueError, match=message):
        load(tmp_path / "broken.json", verify=False)


@pytest.mark.parametrize("shrinkage", [-1.0, float("inf"), float("nan")])
def test_a_shrinkage_that_is_no_number_at_least_0_is_refused(shrinkage):
    X, noisy, _ = data(9, n=50)
    with pytest.raises(ValueError, match="shrinkage"):
        QORRegressor(shrinkage=shrinkage).fit(X, noisy)
