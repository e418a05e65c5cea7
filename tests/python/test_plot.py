"""The picture: every node drawn once, telling its split, rows, impurity and value."""

import subprocess
import sys
from xml.etree import ElementTree

import itertools
import re

import matplotlib
import numpy as np
import pandas as pd
import pytest
from coloraide import Color
from matplotlib.colors import to_hex
from sklearn.datasets import load_breast_cancer, load_diabetes

from qor import QORClassifier, QORRegressor, export_dot, export_text, load, plot_tree
from qor._colours import PATTERNS, class_palette, class_patterns
from qor.export import PICTURE_SET_WIDTH

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402  (after choosing the backend)


SVG = "{http://www.w3.org/2000/svg}"


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


@pytest.fixture(scope="module")
def data():
    return load_breast_cancer(return_X_y=True, as_frame=True)


def svg_texts(figure, path):
    """The SVG's text as matplotlib writes it with real text: {group id: its lines} for
    every group of <text> elements, and the list of every line in document order."""
    with plt.rc_context({"svg.fonttype": "none"}):
        figure.savefig(path)
    root = ElementTree.parse(path).getroot()
    groups = {group.get("id"): [t.text for t in group.iter(f"{SVG}text")]
              for group in root.iter(f"{SVG}g")}
    return groups, [t.text for t in root.iter(f"{SVG}text")]


def box(est, node: int, class_names=None) -> list[str]:
    """What a node's box says: its split as export_dot words it, then its rows, its
    impurity and its value (class shares and class, or the mean)."""
    tree = est.tree_
    lines = [] if tree.is_leaf[node] else [
        export_dot(est).split(f'n{node} [label="')[1].split("\\n")[0]]
    lines.append(f"samples = {tree.n_node_samples[node]}")
    shares = tree.value[node, 0]
    if hasattr(est, "classes_"):
        names = class_names or [str(c) for c in est.classes_]
        lines += [f"{est.criterion} = {tree.impurity[node]:.3f}",
                  "value = [" + ", ".join(f"{s:.3f}" for s in shares) + "]",
                  f"class = {names[shares.argmax()]}"]
    else:
        lines += [f"{est.criterion} = {tree.impurity[node]:.6g}", f"value = {shares[0]:.6g}"]
    return lines


ESTIMATORS = {
    "gini": lambda X, y, Xr, yr: QORClassifier(max_depth=4).fit(X, y),
    "entropy": lambda X, y, Xr, yr: QORClassifier(criterion="entropy", max_depth=3).fit(X, y),
    "mse": lambda X, y, Xr, yr: QORRegressor(max_depth=4, min_samples_leaf=20).fit(Xr, yr),
    "mae": lambda X, y, Xr, yr: QORRegressor(criterion="mae", max_depth=3).fit(Xr, yr),
}


@pytest.mark.parametrize("criterion", ESTIMATORS)
def test_the_svg_tells_every_node_whole_with_its_branch_labels(data, criterion, tmp_path):
    X, y = data
    Xr, yr = load_diabetes(return_X_y=True, as_frame=True)
    est = ESTIMATORS[criterion](X, y, Xr, yr)
    tree = est.tree_
    artists = plot_tree(est)
    groups, lines = svg_texts(artists[0].figure, tmp_path / "tree.svg")
    text = export_text(est)
    for node in range(tree.node_count):
        assert groups[f"node{node}"] == box(est, node), node
        if not tree.is_leaf[node]:
            # Thresholds print as the text export prints them: its left child's condition.
            assert f"-- {groups[f'node{node}'][0]}  samples=" in text
    inner = np.count_nonzero(~tree.is_leaf)
    assert lines.count("true") == lines.count("false") == inner
    for depth, feature in est.depth_features_.items():
        assert f"depth {depth}" in lines and est.feature_names_in_[feature] in lines


@pytest.mark.parametrize("plot_depth", [None, 1])
def test_the_command_draws_an_svg_with_real_text(data, plot_depth, tmp_path):
    X, y = data
    X.iloc[:, :4].assign(label=y).to_csv(tmp_path / "cells.csv", index=False)
    cut = [] if plot_depth is None else ["--plot-depth", str(plot_depth)]
    done = subprocess.run([sys.executable, "-m", "qor", "fit", "cells.csv", "--target", "label",
                           "--save", "model.json", "--plot", "tree.svg", *cut], cwd=tmp_path,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    model = load(tmp_path / "model.json")
    root = ElementTree.parse(tmp_path / "tree.svg").getroot()
    groups = {g.get("id"): [t.text for t in g.iter(f"{SVG}text")] for g in root.iter(f"{SVG}g")}
    assert groups["node0"] == box(model, 0)
    drawn = np.flatnonzero(model.tree_.depth <= (plot_depth if cut else model.tree_.max_depth))
    assert {key for key in groups if key.startswith("node")} == {f"node{n}" for n in drawn}


def test_every_node_is_drawn_once_in_its_row_and_boxes_never_meet(data):
    X, y = data
    est = QORClassifier(max_depth=6).fit(X, y)
    tree = est.tree_
    artists = plot_tree(est, class_names=["malignant", "benign"])
    assert len(artists) == tree.node_count
    for node, artist in enumerate(artists):
        assert artist.get_text().split("\n") == box(est, node, ["malignant", "benign"])
        assert artist.get_position()[1] == -tree.depth[node]
    ax = artists[0].axes
    labels = [t.get_text() for t in ax.get_yticklabels()]
    assert labels == [f"depth {d}\n{X.columns[f]}" for d, f in est.depth_features_.items()] + [
        "depth 6"]
    ax.figure.canvas.draw()
    renderer = ax.figure.canvas.get_renderer()
    for depth in range(tree.max_depth + 1):
        extents = sorted((a.get_bbox_patch().get_window_extent(renderer).intervalx
                          for a in artists if a.get_position()[1] == -depth),
                         key=lambda interval: interval[0])
        assert all(left[1] < right[0] for left, right in zip(extents, extents[1:])), depth


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
    assert texts[0] == (f"x{tree.feature[0]} <= {tree.threshold[0]:.4g}\nsamples = 442\n"
                        f"mse = {tree.impurity[0]:.4g}\nvalue = {tree.value[0, 0, 0]:.4g}")
    labels = [t.get_text() for t in artists[0].axes.get_yticklabels()]
    assert labels[max_depth + 1:] == [f"depth {max_depth + 1}\n(not drawn)"] * bool(cut)


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
    assert first.startswith("stop in {station ") and first.endswith(" more}")
    assert f'n0 [label="{first}\\nsamples = 120"];' in export_dot(stations)


@pytest.mark.parametrize("left", [["One_Story_1946_and_Newer_All_Styles"],
                                  ["One_Story_1946_and_Newer_All_Styles", "PUD"]])
def test_a_set_is_cut_only_where_that_hides_and_saves_something(left):
    # Past the pictures' width, but a cut would hide nothing ("+0 more") or be longer.
    others = ["Duplex", "Split_Foyer"]
    X = pd.DataFrame({"kind": np.repeat(left + others, 4)})
    est = QORClassifier(max_depth=1, min_category_samples=1).fit(
        X, np.repeat([0] * len(left) + [1] * len(others), 4))
    whole = "kind in {" + ", ".join(left) + "}"
    assert len(whole) - len("kind in ") > PICTURE_SET_WIDTH
    assert f'n0 [label="{whole}\\nsamples' in export_dot(est)
    assert plot_tree(est)[0].get_text().startswith(whole + "\n")


def test_ten_classes_take_matplotlibs_colours_and_forty_stay_apart():
    assert class_palette(10) == list(plt.get_cmap("tab10").colors)
    colours = [Color("srgb", list(c)) for c in class_palette(40)]
    assert min(a.delta_e(b, method="2000") for a, b in itertools.combinations(colours, 2)) >= 12


def test_past_forty_classes_a_hatch_tells_a_colours_rounds_apart():
    # 45 classes; blocks of classes k and k + 40, which share a colour, lead nodes.
    y = np.concatenate([np.repeat([0, 40, 1, 41, 2, 42], 40), np.arange(3, 40), [43, 44]])
    est = QORClassifier(max_depth=4).fit(np.arange(y.size, dtype=float).reshape(-1, 1), y)
    majority = est.tree_.value[:, 0].argmax(axis=1)
    assert {0, 40, 1, 41} <= set(majority)
    colours, patterns = class_palette(45), class_patterns(45)
    assert all(colours[k] == colours[k + 40] and patterns[k] != patterns[k + 40] for k in range(5))
    hatches = [a.get_bbox_patch().get_hatch() for a in plot_tree(est)]
    assert hatches == [PATTERNS[patterns[k]] or None for k in majority]


def test_dot_fills_its_nodes_as_the_picture_does(data):
    X, y = data
    est = QORClassifier(max_depth=3).fit(X, y)
    fills = re.findall(r'^n(\d+) \[label=".*", fillcolor="(#[0-9a-f]{6})"\];$',
                       export_dot(est, filled=True), re.M)
    faces = [to_hex(a.get_bbox_patch().get_facecolor()) for a in plot_tree(est)]
    assert fills == [(str(j), face) for j, face in enumerate(faces)]
    assert "fillcolor" not in export_dot(est)
