"""A picture of a fitted tree, drawn with matplotlib (the optional extra `qor[plot]`).

One row per depth, labelled on the left with the feature that every node of the depth
splits on; each box tells its node whole (split, rows, impurity, value) and each edge
whether it carries the rows that meet the split.
"""

from numbers import Integral

import numpy as np

from ._colours import PATTERNS, node_colours, node_patterns
from .export import PICTURE_SET_WIDTH, _feature_names, _number, _split, _split_text

# A figure that plot_tree makes itself is sized for this font: each leaf a column
# wide enough for its box, each depth a row tall enough for the tallest box.
_FIGURE_FONT = 9.0
_LARGEST_FONT = 10.0
_SMALLEST_FONT = 4.0
_LABEL_FONT = 9.0  # the rows' labels: never smaller, however small the boxes
# A character is about 0.6 of the font size wide and a line 1.3 of it high; a box's
# padding adds about one line to its height. A box may fill 85% of the columns it has
# and 60% of its row, which leaves the middle of each edge free for its label.
_CHAR_WIDTH, _LINE_HEIGHT, _BOX_PADDING_LINES = 0.6, 1.3, 1.0
_COLUMN_FILL, _ROW_FILL = 0.85, 0.6
# Class shares and gini or entropy, which lie between 0 and a few, print with this
# many decimals; a box lists at most this many shares on one line.
_SHARE_DECIMALS = 3
_SHARES_PER_LINE = 4
# Every other depth's row is tinted, so that a level reads as one band across the tree.
_BAND_COLOUR = "#f3f3f3"
# The edge to the left child carries the rows that meet the split, the other the rest.
_BRANCH_LABELS = ("true", "false")


def _pyplot():
    try:
        import matplotlib.pyplot as plt
    except ImportError as error:
        raise ImportError("qor.plot_tree draws with matplotlib, which is not installed; "
                          "install it with the extra: pip install 'qor[plot]'") from error
    return plt


def _layout(tree, shown_depth: int):
    """Where each drawn node goes, breadth first and left to right.

    Returns (placed, edges, columns): placed holds (node, depth, x, room) for the nodes
    down to `shown_depth` and (None, depth, x, 1) for a "(...)" in place of each child
    cut off below it; edges holds (parent, child, branch label) as indices into placed.
    x counts columns: every leaf and every "(...)" takes one, from the left, and an
    inner node sits midway between its children. room is the width in columns that the
    node's box may take without reaching beyond its own subtree's columns, centred on
    x; no two boxes of one depth share a column, so boxes within their room never meet."""
    placed, edges = [], []
    column = 0

    def place(node, depth):  # depth is at most shown_depth + 1, so recursion stays shallow
        nonlocal column
        first = column
        if depth <= shown_depth and not tree.is_leaf[node]:
            children = [place(tree.children_left[node], depth + 1),
                        place(tree.children_right[node], depth + 1)]
            x = (placed[children[0]][2] + placed[children[1]][2]) / 2
            room = 2 * min(x - (first - 0.5), (column - 0.5) - x)
        else:
            children = []
            x, room, column = column, 1.0, column + 1
        placed.append((int(node) if depth <= shown_depth else None, depth, x, room))
        edges.extend((len(placed) - 1, child, label)
                     for child, label in zip(children, _BRANCH_LABELS))
        return len(placed) - 1

    place(0, 0)
    order = sorted(range(len(placed)), key=lambda i: placed[i][1:3])
    rank = {i: k for k, i in enumerate(order)}
    return ([placed[i] for i in order], [(rank[a], rank[b], label) for a, b, label in edges],
            column)


def _shares(shares: np.ndarray) -> str:
    """`value = [0.373, 0.627]`, a new line after every few classes."""
    texts = [f"{s:.{_SHARE_DECIMALS}f}" for s in shares]
    lines = [", ".join(texts[i:i + _SHARES_PER_LINE])
             for i in range(0, len(texts), _SHARES_PER_LINE)]
    return "value = [" + ",\n".join(lines) + "]"


def _node_text(estimator, node: int, names: list[str], class_names, precision: int) -> str:
    """A node's box: its split (inner nodes, as export_dot words it), its training rows,
    impurity and value: class shares and predicted class, or the mean target."""
    tree = estimator.tree_
    lines = []
    if not tree.is_leaf[node]:
        split = _split(estimator, node)
        lines.append(_split_text(names[split.feature], split, precision,
                                 width=PICTURE_SET_WIDTH))
    lines.append(f"samples = {tree.n_node_samples[node]}")
    criterion = estimator.criterion
    if tree.n_outputs > 1:
        # Every output's value, one line each, then the predicted classes.
        if class_names is None:
            lines.append(f"{criterion} = {_number(tree.impurity[node], precision)}")
            values = ", ".join(_number(v, precision) for v in tree.value[node, :, 0])
            lines.append(f"value = [{values}]")
            return "\n".join(lines)
        lines.append(f"{criterion} = {tree.impurity[node]:.{_SHARE_DECIMALS}f}")
        shares = [tree.value[node, k, :len(names_k)] for k, names_k in enumerate(class_names)]
        lines += [_shares(share).replace("value =", f"value[{k}] =", 1)
                  for k, share in enumerate(shares)]
        predicted = ", ".join(names_k[int(share.argmax())]
                              for names_k, share in zip(class_names, shares))
        lines.append(f"class = [{predicted}]")
        return "\n".join(lines)
    value = tree.value[node, 0]
    if class_names is not None:
        lines.append(f"{criterion} = {tree.impurity[node]:.{_SHARE_DECIMALS}f}")
        lines.append(_shares(value))
        lines.append(f"class = {class_names[int(value.argmax())]}")
    else:
        lines.append(f"{criterion} = {_number(tree.impurity[node], precision)}")
        lines.append(f"value = {_number(value[0], precision)}")
    return "\n".join(lines)


def plot_tree(estimator, ax=None, max_depth=None, feature_names=None, class_names=None,
              precision=6, fontsize=None, filled=True):
    """Draws the fitted tree with matplotlib and returns the node artists.

    Each depth is one row, labelled on the left with the feature its nodes split on.
    Every box tells its node whole, as scikit-learn's plot_tree does: an inner node's
    split in the words of `export_dot` (`worst area <= 952.9`: the rows with a value
    <= the threshold go to the left child, the others, missing values included, to
    the right; on a categorical feature `city in {a, b}` names the categories that go
    left, cut to the first few and a count of the rest, `{a, b, …, +12 more}`, where
    the whole set would run past 36 characters), then its number of training rows,
    its impurity under the estimator's criterion, and its value: the class shares and
    predicted class (classifier) or the mean target (regressor), each output's with
    several outputs. The edge to the left child is labelled "true", the one to the
    right "false".

    For an SVG whose text can be searched and selected, save with matplotlib's
    `svg.fonttype` set to "none" (`qor fit --plot tree.svg` does); the lines of node
    i's box are then the <text> elements of the group with id `node<i>`::

        with plt.rc_context({"svg.fonttype": "none"}):
            plt.savefig("tree.svg")

    Parameters
    ----------
    estimator : fitted QORClassifier or QORRegressor
    ax : matplotlib Axes, optional
        Where to draw; by default a new figure sized to the tree (about two inches per
        leaf), which keeps a tree of depth 6 readable.
    max_depth : int, optional
        Deepest depth drawn: a deep tree's top levels. The children cut off below it
        are drawn as "(...)" and their rows' labels say "not drawn".
    feature_names : sequence of str, optional
        Defaults to `feature_names_in_` when the estimator has them, else x0, x1, ...
    class_names : sequence of str, optional
        Names of `classes_` in their order; defaults to the labels themselves. With
        several outputs, one such sequence per output.
    precision : int, default=6
        Significant digits of thresholds, mean targets and regression impurities, as in
        `export_text` and `export_dot`, so that the three print the same numbers. Class
        shares and gini or entropy print with three decimals.
    fontsize : float, optional
        By default, the largest size (up to 10) at which the boxes fit their columns.
    filled : bool, default=True
        Colour the boxes: by majority class (paler when mixed) for a classifier, from
        white to orange with the value for a regressor; with several outputs, from white
        to orange as the impurity falls (as scikit-learn colours them). Forty classes
        take forty distinct colours; past forty the colours repeat under a hatch, one
        per round of forty, and the box's class line names the class either way.

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
    if classes is not None and tree.n_outputs > 1:
        given = classes if class_names is None else class_names
        if len(given) != tree.n_outputs:
            raise ValueError(f"class_names has {len(given)} entries, but the estimator has "
                             f"{tree.n_outputs} outputs: give one sequence of names per output")
        class_names = [[str(c) for c in names_k] for names_k in given]
        for k, (names_k, labels) in enumerate(zip(class_names, classes)):
            if len(names_k) != len(labels):
                raise ValueError(f"class_names[{k}] has {len(names_k)} entries, but output "
                                 f"{k} has {len(labels)} classes")
    elif classes is not None:
        class_names = [str(c) for c in (classes if class_names is None else class_names)]
        if len(class_names) != len(classes):
            raise ValueError(f"class_names has {len(class_names)} entries, but the "
                             f"estimator has {len(classes)} classes")
    else:
        class_names = None

    shown_depth = tree.max_depth if max_depth is None else min(max_depth, tree.max_depth)
    placed, edges, columns = _layout(tree, shown_depth)
    rows = 1 + max(depth for _, depth, _, _ in placed)
    texts = ["(...)" if node is None else _node_text(estimator, node, names, class_names,
                                                      precision)
             for node, _, _, _ in placed]

    # Per font point: the columns each box needs for its widest line, and the row
    # height the tallest box needs.
    width_per_point = max(_CHAR_WIDTH * max(map(len, text.split("\n"))) / _COLUMN_FILL / room
                          for text, (_, _, _, room) in zip(texts, placed))
    tallest = max(text.count("\n") + 1 for text in texts)
    height_per_point = (_LINE_HEIGHT * tallest + _BOX_PADDING_LINES) / _ROW_FILL
    labels = [_row_label(estimator, names, depth, shown_depth) for depth in range(rows)]
    if ax is None:
        # The axes fill the figure but for a margin on the left for the rows' labels.
        margin = _CHAR_WIDTH * _LARGEST_FONT / 72 * max(len(line) for label in labels
                                                       for line in label.split("\n")) + 0.3
        width = max(0.8, width_per_point * _FIGURE_FONT / 72) * (columns + 0.2) + margin
        height = height_per_point * _FIGURE_FONT / 72 * (rows + 0.2)
        figure = plt.figure(figsize=(width, height))
        ax = figure.add_axes((margin / width, 0.0, 1.0 - margin / width, 1.0))
    if fontsize is None:
        box = ax.get_window_extent()
        column_points = box.width / (columns + 0.2) * 72 / ax.figure.dpi
        row_points = box.height / (rows + 0.2) * 72 / ax.figure.dpi
        fontsize = min(_LARGEST_FONT, column_points / width_per_point,
                       row_points / height_per_point)
        fontsize = max(_SMALLEST_FONT, fontsize)

    colour = node_colours(tree, classes is not None, filled)
    # Past forty classes colours repeat: a hatch tells those rounds apart.
    pattern = node_patterns(tree, classes is not None) if filled else [0] * tree.node_count
    artists = []
    for (node, depth, x, _), text in zip(placed, texts):
        fill = "white" if node is None else colour[node]
        hatch = None if node is None or not pattern[node] else PATTERNS[pattern[node]]
        artist = ax.text(x, -depth, text, ha="center", va="center", fontsize=fontsize,
                         zorder=3, bbox=dict(boxstyle="round,pad=0.3", facecolor=fill,
                                             edgecolor="0.35", linewidth=0.8, hatch=hatch))
        if node is not None:
            artist.set_gid(f"node{node}")  # in an SVG, the id of the group of its lines
        artists.append(artist)
    # The boxes are opaque and drawn above the edges, which run centre to centre; the
    # boxes fill at most the middle of their rows, so an edge's midpoint is always free.
    segments = []
    for parent, child, label in edges:
        (x0, y0), (x1, y1) = [(placed[i][2], -placed[i][1]) for i in (parent, child)]
        segments.append([(x0, y0), (x1, y1)])
        ax.text((x0 + x1) / 2, (y0 + y1) / 2, label, ha="center",
                va="center", fontsize=0.85 * fontsize, color="0.25", zorder=2,
                bbox=dict(boxstyle="square,pad=0.1", facecolor="white", edgecolor="none"))
    ax.add_collection(LineCollection(segments, colors="0.45", linewidths=0.8, zorder=1))
    for depth in range(1, rows, 2):
        ax.axhspan(-depth - 0.5, -depth + 0.5, color=_BAND_COLOUR, zorder=0, linewidth=0)

    ax.set_xlim(-0.6, columns - 0.4)
    ax.set_ylim(-(rows - 1) - 0.5, 0.5)
    ax.set_xticks([])
    ax.set_yticks([-depth for depth in range(rows)])
    ax.set_yticklabels(labels, fontsize=max(fontsize, _LABEL_FONT))
    ax.tick_params(axis="y", length=0)
    for spine in ax.spines.values():
        spine.set_visible(False)
    return artists


def _row_label(estimator, names, depth: int, shown_depth: int) -> str:
    if depth > shown_depth:
        return f"depth {depth}\n(not drawn)"
    feature = estimator.depth_features_.get(depth)
    return f"depth {depth}" if feature is None else f"depth {depth}\n{names[feature]}"
