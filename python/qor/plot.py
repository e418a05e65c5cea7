"""A picture of a fitted tree, drawn with matplotlib (the optional extra `qor[plot]`).

One row per depth, labelled on the left with the feature that every node of the depth
splits on; each box shows its split, its rows and its class or value.
"""

from numbers import Integral

import numpy as np

from .export import PICTURE_SET_WIDTH, _category_set, _feature_names, _number, _split

# A figure that plot_tree makes itself gives each leaf a column wide enough for its
# box's widest line at this font size, and each depth a row of this height.
_FIGURE_FONT = 9.0
_ROW_INCHES = 1.0
_LARGEST_FONT = 10.0
_SMALLEST_FONT = 4.0
# A character is about 0.6 of the font size wide and a line 1.3 of it high; a box
# (three lines and padding, about 4.5 line heights) may fill 85% of its column and
# 80% of its row.
_CHAR_WIDTH, _LINE_HEIGHT, _BOX_LINES, _FILL = 0.6, 1.3, 4.5, 0.8
# Colours of the classes, and of the highest regression value (the lowest is white).
_CLASS_COLOURS = "tab10"
_VALUE_COLOUR = np.array([0.90, 0.51, 0.22])
_INNER_COLOUR = "#f4f4f4"


def _pyplot():
    try:
        import matplotlib.pyplot as plt
    except ImportError as error:
        raise ImportError("qor.plot_tree draws with matplotlib, which is not installed; "
                          "install it with the extra: pip install 'qor[plot]'") from error
    return plt


def _split_picture(split, precision: int) -> str:
    """A node's split as its box shows it; the row's label names the feature. A long
    category set is cut to its first values and a count of the others."""
    if split.categories is not None:
        return f"in {_category_set(split.categories, PICTURE_SET_WIDTH)}"
    return f"<= {_number(split.threshold, precision)}"


def _layout(tree, shown_depth: int):
    """Where each drawn node goes, breadth first and left to right.

    Returns (placed, edges, columns): placed holds (node, depth, x) for the nodes down to
    `shown_depth` and (None, depth, x) for a "(...)" in place of each child cut off
    below it; edges pairs indices into placed, parent first. x counts columns: every
    leaf and every "(...)" takes one, from the left, and an inner node sits midway
    between its children."""
    placed, edges = [], []
    column = 0

    def place(node, depth):  # depth is at most shown_depth + 1, so recursion stays shallow
        nonlocal column
        if depth <= shown_depth and not tree.is_leaf[node]:
            children = [place(tree.children_left[node], depth + 1),
                        place(tree.children_right[node], depth + 1)]
            x = (placed[children[0]][2] + placed[children[1]][2]) / 2
        else:
            children = []
            x, column = column, column + 1
        placed.append((int(node) if depth <= shown_depth else None, depth, x))
        edges.extend((len(placed) - 1, child) for child in children)
        return len(placed) - 1

    place(0, 0)
    order = sorted(range(len(placed)), key=lambda i: placed[i][1:])
    rank = {i: k for k, i in enumerate(order)}
    return ([placed[i] for i in order], [(rank[a], rank[b]) for a, b in edges], column)


def _class_colour(shares: np.ndarray, base) -> tuple:
    """The leaf's majority class colour, paler the more mixed the leaf: full for a pure
    leaf, white where the two most frequent classes tie."""
    first, second = np.sort(shares)[::-1][:2] if shares.size > 1 else (shares[0], 0.0)
    purity = (first - second) / (1 - second) if second < 1 else 0.0
    return tuple(1 - (1 - np.asarray(base[:3])) * (0.15 + 0.7 * purity))


def plot_tree(estimator, ax=None, max_depth=None, feature_names=None, class_names=None,
              precision=3, fontsize=None, filled=True):
    """Draws the fitted tree with matplotlib and returns the node artists.

    Each depth is one row, labelled on the left with the feature its nodes split on.
    An inner node's box shows its split (the rows with a value <= the threshold go to
    the left child; the others, missing values included, to the right; on a
    categorical feature, `in {a, b}` names the categories that go left, cut to the
    first few and a count of the rest, `{a, b, …, +12 more}`, where the whole set
    would run past 36 characters), every box its number of training rows and its
    class (classifier) or value (regressor).

    Parameters
    ----------
    estimator : fitted QORClassifier or QORRegressor
    ax : matplotlib Axes, optional
        Where to draw; by default a new figure sized to the tree (about an inch per
        leaf), which keeps a tree of depth 6 readable.
    max_depth : int, optional
        Deepest depth drawn; the children cut off below it are drawn as "(...)".
    feature_names : sequence of str, optional
        Defaults to `feature_names_in_` when the estimator has them, else x0, x1, ...
    class_names : sequence of str, optional
        Names of `classes_` in their order; defaults to the labels themselves.
    precision : int, default=3
        Significant digits of thresholds and values.
    fontsize : float, optional
        By default, the largest size (up to 10) at which the boxes fit their columns.
    filled : bool, default=True
        Colour the leaves: by class (paler when mixed) for a classifier, from white
        to orange with the value for a regressor.

    Returns
    -------
    list of matplotlib.text.Text
        One per drawn node (every node down to max_depth, and every "(...)"), breadth
        first and left to right: drawn whole, artist i is node i of `tree_`.
    """
    plt = _pyplot()
    from matplotlib.collections import LineCollection

    names = _feature_names(estimator, feature_names)
    tree = estimator.tree_
    if max_depth is not None and (not isinstance(max_depth, Integral) or max_depth < 0):
        raise ValueError(f"max_depth must be None or an integer >= 0, got {max_depth!r}")
    if not isinstance(precision, Integral) or precision < 1:
        raise ValueError(f"precision must be an integer >= 1, got {precision!r}")
    classes = getattr(estimator, "classes_", None)
    if classes is not None:
        class_names = [str(c) for c in (classes if class_names is None else class_names)]
        if len(class_names) != len(classes):
            raise ValueError(f"class_names has {len(class_names)} entries, but the "
                             f"estimator has {len(classes)} classes")

    shown_depth = tree.max_depth if max_depth is None else min(max_depth, tree.max_depth)
    placed, edges, columns = _layout(tree, shown_depth)
    rows = 1 + max(depth for _, depth, _ in placed)

    texts = []
    for node, _, _ in placed:
        if node is None:
            texts.append("(...)")
            continue
        lines = [f"samples = {tree.n_node_samples[node]}"]
        value = tree.value[node, 0]
        if classes is not None:
            lines.append(f"class = {class_names[int(value.argmax())]}")
        else:
            lines.append(f"value = {_number(value[0], precision)}")
        if not tree.is_leaf[node]:
            lines.insert(0, _split_picture(_split(estimator, node), precision))
        texts.append("\n".join(lines))

    widest = max(len(line) for text in texts for line in text.split("\n"))
    if ax is None:
        column_inches = max(0.8, _CHAR_WIDTH * widest * _FIGURE_FONT / 72 / _FILL)
        figure = plt.figure(figsize=(max(6.0, column_inches * columns + 2.0),
                                     max(3.0, _ROW_INCHES * rows)))
        ax = figure.add_subplot()
    if fontsize is None:
        box = ax.get_window_extent()
        column_points = box.width / (columns + 0.2) * 72 / ax.figure.dpi
        row_points = box.height / rows * 72 / ax.figure.dpi
        fontsize = min(_LARGEST_FONT, _FILL * column_points / (_CHAR_WIDTH * widest),
                       _FILL * row_points / (_LINE_HEIGHT * _BOX_LINES))
        fontsize = max(_SMALLEST_FONT, fontsize)

    colour = _colours(tree, classes, filled, plt)
    artists = []
    for (node, depth, x), text in zip(placed, texts):
        fill = "white" if node is None else colour[node]
        artists.append(ax.text(x, -depth, text, ha="center", va="center", fontsize=fontsize,
                               zorder=3, bbox=dict(boxstyle="round,pad=0.3", facecolor=fill,
                                                   edgecolor="0.35", linewidth=0.8)))
    # The boxes are opaque and drawn above the edges, which may run centre to centre.
    segments = [[(placed[a][2], -placed[a][1]), (placed[b][2], -placed[b][1])]
                for a, b in edges]
    ax.add_collection(LineCollection(segments, colors="0.45", linewidths=0.8, zorder=1))

    ax.set_xlim(-0.6, columns - 0.4)
    ax.set_ylim(-(rows - 1) - 0.6, 0.6)
    ax.set_xticks([])
    ax.set_yticks([-depth for depth in range(rows)])
    ax.set_yticklabels([_row_label(estimator, names, depth, shown_depth)
                        for depth in range(rows)], fontsize=max(fontsize, 7.0))
    ax.tick_params(axis="y", length=0)
    for spine in ax.spines.values():
        spine.set_visible(False)
    return artists


def _row_label(estimator, names, depth: int, shown_depth: int) -> str:
    if depth > shown_depth:
        return f"depth {depth}\n(not drawn)"
    feature = estimator.depth_features_.get(depth)
    return f"depth {depth}" if feature is None else f"depth {depth}\n{names[feature]}"


def _colours(tree, classes, filled: bool, plt) -> list:
    """The fill of each node's box."""
    if not filled:
        return ["white"] * tree.node_count
    colours = [_INNER_COLOUR] * tree.node_count
    leaves = np.flatnonzero(tree.is_leaf)
    if classes is not None:
        palette = plt.get_cmap(_CLASS_COLOURS if len(classes) <= 10 else "tab20")
        for leaf in leaves:
            shares = tree.value[leaf, 0]
            colours[leaf] = _class_colour(shares, palette(int(shares.argmax()) % palette.N))
    else:
        values = tree.value[leaves, 0, 0]
        low, span = values.min(), np.ptp(values)
        for leaf, value in zip(leaves, values):
            strength = (value - low) / span if span > 0 else 0.5
            colours[leaf] = tuple(1 - (1 - _VALUE_COLOUR) * (0.1 + 0.8 * strength))
    return colours
