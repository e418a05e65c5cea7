"""The picture: every node drawn once, with its split, rows and class or value."""

import sys

import matplotlib
import numpy as np
import pytest
from sklearn.datasets import load_breast_cancer, load_diabetes

from qor import QORClassifier, QORRegressor, export_dot, plot_tree

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402  (after choosing the backend)


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


@pytest.fixture(scope="module")
def data():
    return load_breast_cancer(return_X_y=True, as_frame=True)


def test_every_node_is_drawn_with_its_split_rows_and_class(data):
    X, y = data
    est = QORClassifier(max_depth=6).fit(X, y)
    tree = est.tree_
    artists = plot_tree(est, class_names=["malignant", "benign"])
    assert len(artists) == tree.node_count
    for node, artist in enumerate(artists):
        lines = artist.get_text().split("\n")
        assert f"samples = {tree.n_node_samples[node]}" in lines
        assert f"class = {['malignant', 'benign'][tree.value[node, 0].argmax()]}" in lines
        assert (lines[0] == f"<= {tree.threshold[node]:.3g}") == (not tree.is_leaf[node])
        # Drawn a row per depth, below its parent.
        assert artist.get_position()[1] == -tree.depth[node]
    ax = artists[0].axes
    labels = [t.get_text() for t in ax.get_yticklabels()]
    assert labels == [f"depth {d}\n{X.columns[f]}" for d, f in est.depth_features_.items()] + [
        "depth 6"]
    ax.figure.canvas.draw()  # every artist renders


@pytest.mark.parametrize("max_depth", [0, 1, 2, 3, 9])
def test_a_deeper_tree_is_cut_off_with_ellipses(max_depth):
    X, y = load_diabetes(return_X_y=True)
    est = QORRegressor(max_depth=3, min_samples_leaf=60).fit(X, y)
    tree = est.tree_
    assert tree.n_leaves > 2 ** (tree.max_depth - 1)  # leaves at several depths
    depth = tree.depth
    drawn = np.count_nonzero(depth <= max_depth)
    cut = 2 * np.count_nonzero(~tree.is_leaf & (depth == max_depth))
    artists = plot_tree(est, max_depth=max_depth, precision=4)
    texts = [a.get_text() for a in artists]
    assert texts.count("(...)") == cut and len(texts) == drawn + cut
    assert [-a.get_position()[1] for a in artists if a.get_text() == "(...)"] == [
        max_depth + 1] * cut
    assert texts[0] == (f"<= {tree.threshold[0]:.4g}\nsamples = 442\n"
                        f"value = {tree.value[0, 0, 0]:.4g}")


def test_it_draws_on_the_axes_given_and_checks_class_names(data):
    X, y = data
    est = QORClassifier(max_depth=2).fit(X, y)
    figure, ax = plt.subplots()
    artists = plot_tree(est, ax=ax, fontsize=6, filled=False)
    assert {a.axes for a in artists} == {ax} and len(figure.axes) == 1
    assert {a.get_fontsize() for a in artists} == {6}
    with pytest.raises(ValueError, match="class_names has 1 entries, but the estimator has 2"):
        plot_tree(est, class_names=["one"])


def test_without_matplotlib_the_error_names_the_extra(data, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    X, y = data
    with pytest.raises(ImportError, match=r"pip install 'qor\[plot\]'"):
        plot_tree(QORClassifier(max_depth=1).fit(X, y))


def test_a_categorical_box_shows_its_set_cut_as_dot_cuts_it(stations):
    first = plot_tree(stations)[0].get_text().split("\n")[0]
    assert first.startswith("in {station ") and first.endswith(" more}")
    assert f'n0 [label="stop {first}\\nsamples = 120"];' in export_dot(stations)
