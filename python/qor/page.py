"""A fitted tree as one self-contained HTML page: drawn one band per depth, questioned
by a form, and tracing the rows it was given.

The page is a single file: its script (page.js) and styles (page.css) are inlined and
the model travels as JSON in a script element, so it opens from disk with nothing
fetched. The texts it shows (rules, numbers, class names) are made here, by the same
helpers as every other export; the script lays the tree out, routes rows and answers.
It routes a row as the package does: a number goes left where it is <= the node's
threshold, a category code where it is among the node's left categories, and anything
else (missing, or a category unseen in fit) right. Thresholds and row values travel
as shortest round-trip decimals, so the page compares the model's own doubles.
"""

import html
import json
from importlib import resources
from numbers import Integral

import numpy as np
import pandas as pd
from sklearn.utils.validation import check_is_fitted

from ._categories import _column
from ._colours import (class_palette, class_patterns, hex_colour, node_colours,
                       node_patterns)
from .export import (PICTURE_SET_WIDTH, _category_text, _feature_names, _number, _split,
                     _split_text)

# Bars of a histogram of a numeric feature over a node's rows; every node of a level
# shares the level's bins, so that its nodes' histograms compare at a glance.
HISTOGRAM_BINS = 20


def export_html(estimator, path, X=None, y=None, feature_names=None, *, class_names=None,
                precision=6, max_rows=1000):
    """Writes the fitted tree to `path` as one self-contained HTML page.

    The page loads nothing from the network: open it from disk in a current browser.
    It draws the tree one band per depth, labelled with the feature the depth splits
    on; each node shows its rule (rows with a value <= the threshold, or on a
    categorical feature among the categories listed, go to the left child, "yes";
    the others, missing values and categories unseen in fit included, right),
    training samples and weighted samples, impurity, and value (class shares with the
    predicted class, or the mean; with several outputs, each output's prediction).
    Nodes are coloured as `plot_tree` colours them (forty distinct class colours, then
    the same colours under patterns), and the node's text names its class too.

    Text is never shrunk: zooming changes the room a node has, and the room decides
    what it shows, whole, briefly (rule, value, rows), or as a block of its colour whose
    height tells its rows, with the traced path drawn bold at every size. "Fit" shows
    every expanded node inside the view; the page opens as deep as fits the view with
    legible text (a small tree whole). An overview beside the tree draws each depth's
    feature with its nodes' thresholds on the feature's axis, each as tall as its
    rows; choosing one goes to its node. Nodes collapse and expand, the view zooms and
    pans, and the keyboard moves between nodes. A form with one input per feature the
    tree uses traces a row: it highlights the path and the leaf and reads the path out
    with the row's own values and which side each took (a cut category set shows
    whole on demand). Printed, the page shows the chart where it fits the page legibly
    and always an outline of the expanded nodes as text.

    Parameters
    ----------
    estimator : fitted QORClassifier or QORRegressor
    path : str or path-like
        Where to write the page (UTF-8).
    X : array-like or DataFrame of shape (n_samples, n_features), optional
        Rows to show: the page lists them (choosing one traces it and fills the form
        with it) and each node shows how its level's feature is distributed over the
        rows that reach it (a histogram with the threshold marked, or one bar per
        category, the categories that go left marked). The page routes each row
        exactly as `estimator.apply` does.
    y : array-like of shape (n_samples,) or (n_samples, n_outputs), optional
        The rows' true targets, listed beside the predictions. Needs X.
    feature_names : sequence of str, optional
        Defaults to `feature_names_in_` when the estimator has them, else x0, x1, ...
    class_names : sequence of str, optional
        Names of `classes_` in their order (classifier); defaults to the labels. With
        several outputs, one sequence per output.
    precision : int, default=6
        Significant digits of the thresholds and numbers shown (the page routes on the
        exact thresholds; a node's tooltip gives them in full).
    max_rows : int or None, default=1000
        The page lists at most this many rows of X, the first ones (None: all). The
        histograms count every row of X.
    """
    text = page_text(estimator, X, y, feature_names, class_names=class_names,
                     precision=precision, max_rows=max_rows)
    with open(path, "w", encoding="utf-8") as file:
        file.write(text)


def page_text(estimator, X=None, y=None, feature_names=None, *, class_names=None,
              precision=6, max_rows=1000) -> str:
    """The page `export_html` writes, as a string."""
    check_is_fitted(estimator)
    if not isinstance(precision, Integral) or precision < 1:
        raise ValueError(f"precision must be an integer >= 1, got {precision!r}")
    if max_rows is not None and (not isinstance(max_rows, Integral) or max_rows < 0):
        raise ValueError(f"max_rows must be None or an integer >= 0, got {max_rows!r}")
    if y is not None and X is None:
        raise ValueError("y needs X: pass the rows whose targets y holds")
    names = _feature_names(estimator, feature_names)
    data = _model_data(estimator, names, _class_names(estimator, class_names), precision)
    if X is not None:
        data["rows"], data["hist"] = _rows_data(estimator, X, y, data, precision, max_rows)
    title = (f"{type(estimator).__name__}: {estimator.tree_.node_count} nodes, "
             f"depth {estimator.tree_.max_depth}")
    return _PAGE.format(title=html.escape(title), style=_asset("page.css"),
                        data=_script_json(data), script=_asset("page.js"))


def _class_names(estimator, class_names) -> list[str] | None:
    classes = getattr(estimator, "classes_", None)
    if classes is None:
        return None
    if estimator.tree_.n_outputs > 1:
        given = classes if class_names is None else class_names
        if len(given) != len(classes):
            raise ValueError(f"class_names has {len(given)} entries, but the estimator has "
                             f"{len(classes)} outputs: give one sequence of names per output")
        names = [[str(c) for c in names_k] for names_k in given]
        for k, (names_k, labels) in enumerate(zip(names, classes)):
            if len(names_k) != len(labels):
                raise ValueError(f"class_names[{k}] has {len(names_k)} entries, but output "
                                 f"{k} has {len(labels)} classes")
        return names
    names = [str(c) for c in (classes if class_names is None else class_names)]
    if len(names) != len(classes):
        raise ValueError(f"class_names has {len(names)} entries, but the estimator has "
                         f"{len(classes)} classes")
    return names


def _node_values(estimator) -> np.ndarray:
    """The values the page shows for each node, (node_count, n_outputs, max_n_classes):
    every value, share, colour and prediction on the page is read from here."""
    return estimator.tree_.value


def _model_data(estimator, names, classes, precision) -> dict:
    """The tree as the page reads it: one array per node field, texts already made.
    Several outputs show as a regressor's page whose value is each output's prediction
    (`[a, b]`), nodes coloured by impurity."""
    tree = estimator.tree_
    several = tree.n_outputs > 1
    output_names, classes = (classes, None) if several else (None, classes)
    classifier = classes is not None
    depth = tree.depth
    levels = [estimator.depth_features_.get(d) for d in range(tree.max_depth + 1)]
    used = list(dict.fromkeys(f for f in levels if f is not None))
    values = _node_values(estimator)
    value = values[:, 0]
    predicted = value.argmax(axis=1)  # the first of equal shares, as predict takes it
    # Per inner node, the conditions that lead to its children without the feature's
    # name, as the picture words them: the page puts the name before them
    # (`name + " " + cut` is the picture's text) or shows it apart.
    cut, cut_no = [], []
    for node in range(tree.node_count):
        if tree.is_leaf[node]:
            cut.append(None)
            cut_no.append(None)
            continue
        split = _split(estimator, node)
        cut.append(_split_text("", split, precision, width=PICTURE_SET_WIDTH).strip())
        cut_no.append(_split_text("", split, precision, left=False,
                                  width=PICTURE_SET_WIDTH).strip())
    categories = [None] * len(names)
    for f in used:
        if estimator.is_categorical_[f]:
            categories[f] = [_category_text(v.item() if isinstance(v, np.generic) else v)
                             for v in estimator.categories_[f]]
    patterns = node_patterns(tree, classifier, values)
    class_marks = class_patterns(len(classes)) if classifier else []
    data = {
        "estimator": type(estimator).__name__,
        "criterion": estimator.criterion,
        "names": names,
        "used": used,
        "levels": levels,
        "categories": categories,
        "classes": classes,
        "palette": None if not classifier else [hex_colour(c) for c in
                                                class_palette(len(classes))],
        # Each class's and node's pattern over its colour (0: none), only where one has one.
        "patterns": class_marks if any(class_marks) else None,
        "pattern": patterns if any(patterns) else None,
        "left": tree.children_left.tolist(),
        "right": tree.children_right.tolist(),
        "feature": tree.feature.tolist(),
        # A categorical split routes by its set; its threshold (NaN) is never read.
        "threshold": [None if tree.is_leaf[j] or tree.is_categorical[j]
                      else float(tree.threshold[j]) for j in range(tree.node_count)],
        "sets": [tree.categories(j).astype(int).tolist() if tree.is_categorical[j] else None
                 for j in range(tree.node_count)],
        "cut": cut,
        "cut_no": cut_no,
        "samples": tree.n_node_samples.tolist(),
        "weighted": [_number(w, precision) for w in tree.weighted_n_node_samples],
        "impurity": [_number(i, precision) for i in tree.impurity],
        "value": ([classes[k] for k in predicted] if classifier
                  else [_number(v, precision) for v in value[:, 0]]),
        "predicted": predicted.tolist() if classifier else None,
        # Class shares in per mille: enough for a bar and a percentage.
        "shares": np.round(value * 1000).astype(int).tolist() if classifier else None,
        "fill": [hex_colour(c) for c in node_colours(tree, classifier, value=values)],
        "depth": depth.tolist(),
        "precision": precision,
        "rows": None,
        "hist": None,
    }
    if several:
        data["several"] = True
        data["value"] = [_outputs_text(values[j], output_names, precision)
                         for j in range(tree.node_count)]
        # The legend's scale: from the most impure node (pale) to the purest (orange).
        low, high = tree.impurity.argmax(), tree.impurity.argmin()
        data["value_range"] = [data["impurity"][low], data["impurity"][high]]
        data["fill_range"] = [data["fill"][low], data["fill"][high]]
    elif not classifier:  # the legend's scale: the nodes' lowest and highest values
        low, high = value[:, 0].argmin(), value[:, 0].argmax()
        data["value_range"] = [data["value"][low], data["value"][high]]
        data["fill_range"] = [data["fill"][low], data["fill"][high]]
    return data


def _rows_data(estimator, X, y, data, precision, max_rows):
    """The rows of X the page lists (their used features: numbers, category codes, None
    for missing, the text of a category unseen in fit) and each node's histogram of its
    level's feature over all of X's rows that reach it."""
    encoded = estimator._validate_X_predict(X)  # refuses what predict refuses
    path = estimator.tree_.decision_path(encoded)
    n = encoded.shape[0]
    shown = n if max_rows is None else min(n, max_rows)
    labels = ([str(i) for i in X.index[:shown]] if isinstance(X, pd.DataFrame)
              else [str(i) for i in range(shown)])
    columns = {}
    for f in data["used"]:
        values = encoded[:shown, f]
        if data["categories"][f] is None:
            columns[f] = [None if np.isnan(v) else float(v) for v in values]
            continue
        raw = _column(X, f)
        raw = raw.iloc[:shown] if isinstance(raw, pd.Series) else raw[:shown]
        # A code, None for a missing value, or the text of a value unseen in fit.
        columns[f] = [int(v) if not np.isnan(v) else None if pd.isna(r) else _category_text(r)
                      for v, r in zip(values, raw)]
    targets = None
    outputs = estimator.tree_.n_outputs
    if y is not None:
        y = np.asarray(y)
        if outputs > 1 and y.shape != (n, outputs):
            raise ValueError(f"y has shape {y.shape}, but the page needs ({n}, {outputs}): "
                             "one target per row of X and output")
        if outputs == 1 and (y.ndim != 1 or y.shape[0] != n):
            raise ValueError(f"y has shape {y.shape}, but X has {n} rows: y needs one "
                             "target per row of X")
        if outputs > 1:
            text = str if hasattr(estimator, "classes_") else (
                lambda t: _number(float(t), precision))
            targets = ["[" + ", ".join(text(t) for t in row) + "]" for row in y[:shown]]
        else:
            targets = [_target_text(estimator, data, t, precision) for t in y[:shown]]
    rows = {"labels": labels, "columns": {str(f): c for f, c in columns.items()},
            "targets": targets, "total": n}
    return rows, _histograms(estimator, encoded, path.tocsc(), data, precision)


def _outputs_text(value: np.ndarray, class_names, precision: int) -> str:
    """`[a, b]`: what `predict` returns for a row in a node of this value, output by
    output."""
    if class_names is None:
        return "[" + ", ".join(_number(v, precision) for v in value[:, 0]) + "]"
    return "[" + ", ".join(names[int(value[k, :len(names)].argmax())]
                           for k, names in enumerate(class_names)) + "]"


def _target_text(estimator, data, target, precision) -> str:
    if data["classes"] is None:
        return _number(float(target), precision)
    found = np.flatnonzero(estimator.classes_ == target)
    return data["classes"][found[0]] if found.size else str(target)


def _histograms(estimator, encoded, path, data, precision) -> dict:
    """"nodes": per node, the counts of its level's feature over the rows that reach it
    as {"counts", "missing", "cut"} (missing: missing values and categories unseen in
    fit; cut: where the threshold lies across the level's range, 0..1, or None), or
    None at a depth without a feature. "ranges": per depth, the [low, high] of its
    numeric feature over all rows, which its nodes' bins divide equally, else None."""
    tree = estimator.tree_
    hist = [None] * tree.node_count
    ranges = [None] * len(data["levels"])
    for depth, f in enumerate(data["levels"]):
        if f is None:
            continue
        column = encoded[:, f]
        nodes = np.flatnonzero(tree.depth == depth)
        categories = data["categories"][f]
        if categories is not None:
            edges = np.arange(len(categories) + 1) - 0.5
            low = high = None
        else:
            finite = column[~np.isnan(column)]
            low, high = (finite.min(), finite.max()) if finite.size else (0.0, 1.0)
            edges = np.linspace(low, high, HISTOGRAM_BINS + 1) if high > low else np.array(
                [low - 0.5, low + 0.5])
        for node in nodes:
            values = column[path.indices[path.indptr[node]:path.indptr[node + 1]]]
            known = values[~np.isnan(values)]
            counts = np.histogram(known, edges)[0]
            cut = None
            if categories is None and not tree.is_leaf[node] and high > low:
                cut = float(np.clip((tree.threshold[node] - low) / (high - low), 0, 1))
            hist[node] = {"counts": counts.tolist(), "missing": int(values.size - known.size),
                          "cut": cut}
        if categories is None:
            ranges[depth] = [_number(low, precision), _number(high, precision)]
    return {"nodes": hist, "ranges": ranges}


def _script_json(data: dict) -> str:
    """JSON to sit inside a <script> element: no "<" can close it or open a comment."""
    text = json.dumps(data, ensure_ascii=False, allow_nan=False, separators=(",", ":"))
    return text.replace("<", "\\u003c").replace("\u2028", "\\u2028").replace("\u2029", "\\u2029")


def _asset(name: str) -> str:
    return resources.files(__package__).joinpath(name).read_text(encoding="utf-8")


_PAGE = """<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<meta name="generator" content="qor">
<title>{title}</title>
<style>
{style}</style>
</head>
<body>
<header>
<div id="top">
<h1>{title}</h1>
<div id="controls" role="toolbar" aria-label="View">
<button type="button" id="zoom-out" aria-label="Zoom out">&minus;</button>
<button type="button" id="zoom-fit">Fit</button>
<button type="button" id="zoom-in" aria-label="Zoom in">+</button>
<button type="button" id="expand-all">Expand all</button>
<button type="button" id="collapse-all">Collapse all</button>
</div>
<details id="help"><summary>Keys and mouse</summary>
<p id="keys">Drag or scroll to pan; Ctrl + wheel or the buttons zoom. Zoomed out, a node
shows less and, smallest, only its colour and, by its height, its rows: point at it for
the whole node, click it to zoom in on it. On a node: arrow keys move (&uarr; parent,
&darr; left child, &larr; &rarr; neighbours in the band), Enter or Space collapses or
expands, Home goes to the root.</p></details>
</div>
<p id="summary"></p>
<div id="legend" role="list" aria-label="Colours"></div>
</header>
<main>
<div id="labels" aria-hidden="true"><div id="labels-in"></div></div>
<section id="view" aria-label="The tree, one band per depth">
<div id="canvas"><svg id="edges" aria-hidden="true"></svg>
<div id="nodes" role="tree" aria-label="Nodes"></div>
<div id="pin" aria-hidden="true" hidden>&#9660;</div></div>
<div id="card" class="full" aria-hidden="true" hidden></div>
</section>
<aside id="side">
<details id="overview" open>
<summary>Overview: the thresholds</summary>
<p class="note">Each node's threshold, as tall as its rows (blue: in view); click to go.</p>
<div id="strips"></div>
<p id="overview-note" class="note" aria-live="polite"></p>
</details>
<section id="ask" aria-labelledby="ask-title">
<h2 id="ask-title">Ask the tree</h2>
<form id="form" autocomplete="off"><div id="fields"></div>
<button type="reset">Clear</button></form>
<div id="answer" aria-live="polite"></div>
</section>
<section id="rows" aria-labelledby="rows-title" hidden>
<h2 id="rows-title">Rows</h2>
<p id="rows-note"></p>
<div id="table-box"><table id="table"></table></div>
</section>
</aside>
</main>
<section id="outline" aria-label="Outline of the expanded nodes"></section>
<script type="application/json" id="qor-data">{data}</script>
<script>
{script}</script>
</body>
</html>
"""
