"""Views of a fitted tree that show each level's shared feature: text and Graphviz DOT,
and rules as code: a Python function and a SQL expression that predict as the model does.

Each output kind turns a split into its own language in exactly one helper
(`_split_text`, `_split_python`, `_split_sql`; the picture's is in plot.py), so that
a new kind of split is taught to every output there.
"""

import ast
import keyword
from typing import NamedTuple

import numpy as np
from sklearn.utils.validation import check_is_fitted

from ._colours import hex_colour, node_colours


def _feature_names(estimator, feature_names) -> list[str]:
    check_is_fitted(estimator)
    n_features = estimator.n_features_in_
    if feature_names is None:
        fitted = getattr(estimator, "feature_names_in_", None)
        if fitted is None:
            return [f"x{j}" for j in range(n_features)]
        feature_names = fitted
    names = [str(name) for name in feature_names]
    if len(names) != n_features:
        raise ValueError(f"feature_names has {len(names)} entries, but the estimator "
                         f"was fitted on {n_features} features")
    return names


def _number(x: float, precision: int) -> str:
    return f"{x:.{precision}g}"


def _weights(weights: np.ndarray, precision: int) -> str:
    """Class weights of a node: whole numbers as such (unit sample weights give counts)."""
    rounded = np.round(weights)
    if np.allclose(weights, rounded, rtol=0, atol=1e-9 * max(1.0, weights.sum())):
        return ", ".join(str(int(c)) for c in rounded)
    return ", ".join(_number(c, precision) for c in weights)


class _Split(NamedTuple):
    """An inner node's question, as every output kind reads it."""
    feature: int
    threshold: float  # numeric split: x <= threshold goes left (NaN on categorical ones)
    categories: list | None  # categorical split: the values that go left, in code order


def _plain(value):
    """A NumPy scalar as the Python value it equals; anything else as it is."""
    return value.item() if isinstance(value, np.generic) else value


def _split(estimator, node: int) -> _Split:
    tree = estimator.tree_
    feature = int(tree.feature[node])
    if tree.category_end[node] == tree.category_start[node]:
        return _Split(feature, float(tree.threshold[node]), None)
    values = estimator.categories_[feature]
    return _Split(feature, float(tree.threshold[node]),
                  [_plain(values[int(code)]) for code in tree.categories(node)])


def _category_text(value) -> str:
    if isinstance(value, float):
        text = repr(value)  # categories are names: never rounded, so two never look alike
        return text[:-2] if text.endswith(".0") else text
    return str(value)


def _category_set(values: list, width: int | None = None) -> str:
    """`{a, b, c}`; past `width` characters, the first values and a count of the rest,
    `{a, b, …, +12 more}`, always showing at least one value. The set shows whole
    where cutting it would hide nothing or save nothing (one long value, or a last
    value shorter than its count)."""
    texts = [_category_text(v) for v in values]
    whole = "{" + ", ".join(texts) + "}"
    if width is None or len(whole) <= width:
        return whole
    shown = 1
    while shown < len(texts) - 1:
        longer = "{" + ", ".join(texts[:shown + 1]) + f", …, +{len(texts) - shown - 1} more}}"
        if len(longer) > width:
            break
        shown += 1
    cut = "{" + ", ".join(texts[:shown]) + f", …, +{len(texts) - shown} more}}"
    return whole if shown == len(texts) or len(cut) >= len(whole) else cut


# Pictures (DOT and plot_tree) cut a category set past this many characters; text
# export always lists every category, as a complete statement of the model.
PICTURE_SET_WIDTH = 36


def _split_text(name: str, split: _Split, precision: int, *, left: bool = True,
                width: int | None = None) -> str:
    """The condition that leads to a node's left child (or its negation, to the right)."""
    if split.categories is not None:
        shown = _category_set(split.categories, width)
        return f"{name} in {shown}" if left else f"{name} not in {shown}"
    number = _number(split.threshold, precision)
    return f"{name} <= {number}" if left else f"{name} > {number}"


def output_classes(estimator) -> list:
    """Each output's classes (a classifier) or None (a regressor), one entry per output."""
    classes = getattr(estimator, "classes_", None)
    several = estimator.tree_.n_outputs > 1
    return list(classes) if several and classes is not None else (
        [classes] * estimator.tree_.n_outputs)


def _shares_text(shares: np.ndarray, precision: int) -> str:
    return "[" + ", ".join(_number(p, precision) for p in shares) + "]"


def _leaf_fields(estimator, node: int, precision: int) -> list[tuple[str, str]]:
    """A leaf's prediction: its value, or its class with the training rows' class counts
    (from the node's own shares); a shrunk classifier adds the class shares it
    predicts, which its counts no longer give."""
    tree = estimator.tree_
    weight = tree.weighted_n_node_samples[node]
    if tree.n_outputs > 1:
        # Several outputs: each output's class and counts, or value, in output order.
        outputs = output_classes(estimator)
        if outputs[0] is None:
            values = ", ".join(_number(v, precision) for v in tree.value[node, :, 0])
            return [("value", f"[{values}]")]
        shares = [tree.value[node, k, :len(labels)] for k, labels in enumerate(outputs)]
        labels = ", ".join(str(labels[int(share.argmax())])
                           for labels, share in zip(outputs, shares))
        counts = ", ".join(
            "[" + _weights(tree.raw_value[node, k, :len(labels)] * weight, precision) + "]"
            for k, labels in enumerate(outputs))
        fields = [("class", f"[{labels}]"), ("counts", f"[{counts}]")]
        if tree.is_shrunk:
            fields.append(("proba", "[" + ", ".join(_shares_text(share, precision)
                                                    for share in shares) + "]"))
        return fields
    value = tree.value[node, 0]
    if hasattr(estimator, "classes_"):
        label = estimator.classes_[int(value.argmax())]
        counts = _weights(tree.raw_value[node, 0] * weight, precision)
        fields = [("class", str(label)), ("counts", f"[{counts}]")]
        if tree.is_shrunk:
            fields.append(("proba", _shares_text(value, precision)))
        return fields
    return [("value", _number(value[0], precision))]


def export_text(estimator, feature_names=None, *, precision=6) -> str:
    """The fitted tree as text, one line per node, children indented under their parent.

    The first lines name the feature each depth splits on. Every node line starts
    with the condition that leads to it (left child: <=, right child: >; NaN goes
    right; on a categorical feature `in {...}` and `not in {...}`, listing every
    category that goes left by its value) and its number of training rows; leaves
    add their class and class counts (classifiers) or their value (regressors). With
    several outputs, leaves list each output's in output order: `class=[a, 3]
    counts=[[4, 1], [0, 5]]`, or `value=[1.5, -2]`. A model with shrinkage shows the
    shrunk value it predicts; a classifier's counts stay its training rows', and
    `proba=[...]` adds the shrunk class shares its class is read from.

    Parameters
    ----------
    estimator : fitted QORClassifier or QORRegressor
    feature_names : sequence of str, optional
        Defaults to `feature_names_in_` when the estimator has them, else x0, x1, ...
    precision : int, default=6
        Significant digits of thresholds and values.
    """
    names = _feature_names(estimator, feature_names)
    tree = estimator.tree_
    lines = [f"depth {depth} splits on {names[feature]}"
             for depth, feature in estimator.depth_features_.items()]
    # Depth first, left before right: (node, condition, line prefix, children's indent).
    pending = [(0, "root", "", "")]
    while pending:
        node, condition, prefix, indent = pending.pop()
        fields = [condition, f"samples={tree.n_node_samples[node]}"]
        if tree.is_leaf[node]:
            fields += [f"{key}={text}" for key, text in _leaf_fields(estimator, node, precision)]
        else:
            split = _split(estimator, node)
            name = names[split.feature]
            pending.append((tree.children_right[node],
                            _split_text(name, split, precision, left=False),
                            indent + "`-- ", indent + "    "))
            pending.append((tree.children_left[node], _split_text(name, split, precision),
                            indent + "|-- ", indent + "|   "))
        lines.append(prefix + "  ".join(fields))
    return "\n".join(lines) + "\n"


def _quoted(text: str) -> str:
    escaped = text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")
    return f'"{escaped}"'


def export_dot(estimator, feature_names=None, *, precision=6, filled=False) -> str:
    """The fitted tree as Graphviz DOT text, for `dot -Tsvg` and friends.

    Each depth is one `rank=same` row, headed by a label naming the feature that
    the depth splits on. Internal nodes show their split and row count, leaves
    their row count and class with class counts (classifiers) or value
    (regressors), every output's with several outputs, as in `export_text`. Edges
    marked "true" lead to the rows that satisfy the split,
    drawn left of their sibling. A categorical split shows the categories that go
    left, cut to the first few and a count of the others (`{a, b, …, +12 more}`)
    where the whole set would run past 36 characters.
    With `filled`, nodes take the colours of `plot_tree` and `export_html` (by majority
    class, paler when mixed; by value for a regressor); the class line still names
    the class, as colours repeat past forty classes. Other arguments as for
    `export_text`.
    """
    names = _feature_names(estimator, feature_names)
    tree = estimator.tree_
    node_depth = tree.depth
    depths = range(int(node_depth.max()) + 1)
    lines = [
        "digraph qor {",
        "graph [ordering=out];",
        'node [shape=box, fontname="Helvetica"];',
        'edge [fontname="Helvetica"];',
    ]
    for depth in depths:
        feature = estimator.depth_features_.get(depth)
        heading = f"depth {depth}" if feature is None else f"depth {depth}: {names[feature]}"
        lines.append(f"level{depth} [shape=plaintext, label={_quoted(heading)}];")
    if len(depths) > 1:
        lines.append(" -> ".join(f"level{depth}" for depth in depths) + " [style=invis];")
    for depth in depths:
        members = [f"level{depth}"] + [f"n{node}" for node in np.flatnonzero(node_depth == depth)]
        lines.append("{rank=same; " + "; ".join(members) + ";}")
    if filled:
        lines[2] = 'node [shape=box, style="filled, rounded", fontname="Helvetica"];'
    fills = node_colours(tree, hasattr(estimator, "classes_"), filled)
    for node in range(tree.node_count):
        samples = f"samples = {tree.n_node_samples[node]}"
        if tree.is_leaf[node]:
            rows = [samples] + [f"{key} = {text}"
                                for key, text in _leaf_fields(estimator, node, precision)]
        else:
            split = _split(estimator, node)
            rows = [_split_text(names[split.feature], split, precision,
                                width=PICTURE_SET_WIDTH), samples]
        label = _quoted("\n".join(rows))
        colour = f', fillcolor="{hex_colour(fills[node])}"' if filled else ""
        lines.append(f"n{node} [label={label}{colour}];")
    for node in np.flatnonzero(~tree.is_leaf):
        lines.append(f'n{node} -> n{tree.children_left[node]} [label="true"];')
        lines.append(f'n{node} -> n{tree.children_right[node]} [label="false"];')
    lines.append("}")
    return "\n".join(lines) + "\n"


# ---- rules as code ---------------------------------------------------------------------

# Python refuses more than 100 levels of indentation; the function body takes one and
# each depth one more.
DEEPEST_PYTHON_TREE = 98


def _predictions(estimator) -> list:
    """What `predict` returns for a row in each node: the class label (the first of the
    most probable classes) for a classifier, the mean target for a regressor; with
    several outputs, a tuple of one per output."""
    tree = estimator.tree_
    if tree.n_outputs > 1:
        per_output = []
        for k, labels in enumerate(output_classes(estimator)):
            if labels is None:
                per_output.append([float(v) for v in tree.value[:, k, 0]])
            else:
                per_output.append([_plain(label) for label in
                                   labels[tree.value[:, k, :len(labels)].argmax(axis=1)]])
        return list(zip(*per_output))
    value = tree.value[:, 0]
    if hasattr(estimator, "classes_"):
        return [label.item() if isinstance(label, np.generic) else label
                for label in estimator.classes_[value.argmax(axis=1)]]
    return [float(v) for v in value[:, 0]]


def _nested(tree, leaf, split) -> list[str]:
    """Lines of nested rules, the left child's before the right's: `leaf(node, depth)`
    gives a leaf's lines, `split(node, depth, left_lines, right_lines)` an inner node's.
    Iterative, so that no tree is too deep for the interpreter's stack."""
    lines = {}
    pending = [(0, 0, False)]
    while pending:
        node, depth, children_done = pending.pop()
        left, right = tree.children_left[node], tree.children_right[node]
        if tree.is_leaf[node]:
            lines[node] = leaf(node, depth)
        elif children_done:
            lines[node] = split(node, depth, lines.pop(left), lines.pop(right))
        else:
            pending += [(node, depth, True), (left, depth + 1, False), (right, depth + 1, False)]
    return lines[0]


def _python_literal(value) -> str:
    text = repr(value)
    try:
        same = type(ast.literal_eval(text)) is type(value) and ast.literal_eval(text) == value
    except (ValueError, SyntaxError):
        same = False
    if not same:
        raise ValueError(f"{value!r} cannot be written as a Python literal")
    return text


def _comment(text: str) -> str:
    """`text` made safe for a one-line comment: characters that are not printable escaped."""
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


def _split_python(split: _Split) -> str:
    """A node's split as a Python condition on `row`; a missing value (None or NaN) fails
    it and so goes right, as does any value not among the left categories of a
    categorical split."""
    if split.categories is not None:
        # Set membership matches values as the model's encoding does: by equality, so
        # 1.0 finds the category 1 and the text "1" does not.
        values = ", ".join(_python_literal(v) for v in split.categories)
        return f"row[{split.feature}] in {{{values}}}"
    # None cannot be compared with a number; NaN compares false by itself.
    cell = f"row[{split.feature}]"
    return f"{cell} is not None and {cell} <= {split.threshold!r}"


def export_python(estimator, feature_names=None, function_name="predict_row") -> str:
    """The fitted tree as the source of a plain Python function of one row.

    The function takes a sequence of feature values in column order (a missing value
    as None or float("nan"), as SQL takes NULL: it goes right as in the model) and
    returns what `predict`
    returns for that row: the class label for a classifier, the value for a regressor;
    with several outputs, a tuple of one per output (a row of `predict`'s result).
    A categorical feature is given by its value (`"red"`, not a code) and tested for
    membership of the categories that go left (`row[2] in {'blue', 'red'}`); None,
    NaN and values unseen in fit go right. Thresholds, categories and values are
    printed with `repr`, so they are the model's own and the function reproduces
    `predict` exactly. It needs nothing but Python.

    Parameters
    ----------
    estimator : fitted QORClassifier or QORRegressor
    feature_names : sequence of str, optional
        Named in a comment beside each condition. Defaults to `feature_names_in_`
        when the estimator has them, else x0, x1, ...
    function_name : str, default="predict_row"
        A Python identifier.
    """
    names = _feature_names(estimator, feature_names)
    if not function_name.isidentifier() or keyword.iskeyword(function_name):
        raise ValueError(f"function_name must be a Python identifier, got {function_name!r}")
    tree = estimator.tree_
    if tree.max_depth > DEEPEST_PYTHON_TREE:
        raise ValueError(f"the tree is {tree.max_depth} levels deep; nested ifs in Python "
                         f"can hold at most {DEEPEST_PYTHON_TREE}")
    predictions = [_python_literal(p) for p in _predictions(estimator)]
    kind = "class" if hasattr(estimator, "classes_") else "value"
    if tree.n_outputs > 1:
        kind = f"{kind}es" if kind == "class" else f"{kind}s"
        kind = f"{kind} (a tuple of {tree.n_outputs} outputs)"

    def leaf(node, depth):
        return ["    " * (depth + 1) + f"return {predictions[node]}"]

    def split(node, depth, left, right):
        question = _split(estimator, node)
        indent = "    " * (depth + 1)
        return ([f"{indent}if {_split_python(question)}:  # "
                 f"{_comment(names[question.feature])}", *left, f"{indent}else:", *right])

    header = [
        f"def {function_name}(row):",
        f'    """Predicted {kind} of one row: its {len(names)} feature values in column order',
        '    (a missing value as None or float(\'nan\'), which goes right)."""',
    ]
    if np.any(estimator.is_categorical_):
        header[-1:] = ["    (categorical ones by value; a missing value as None or float('nan'), "
                       "which goes",
                       '    right, as does a category unseen in fit)."""']
    return "\n".join(header + _nested(tree, leaf, split)) + "\n"


def _sql_number(x: float) -> str:
    """A float as a SQL literal that reads back as the same double. Seventeen significant
    digits always identify a double, and unlike the shortest form (which some SQLite
    releases misread by one unit in the last place) no common engine misreads them."""
    if not np.isfinite(x):
        raise ValueError(f"{x!r} cannot be written as a SQL number")
    text = f"{float(x):.17g}"
    return text if any(c in text for c in ".e") else text + ".0"


def _sql_literal(value) -> str:
    if isinstance(value, bool):
        return "TRUE" if value else "FALSE"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        return _sql_number(value)
    if isinstance(value, str):
        return "'" + value.replace("'", "''") + "'"
    raise ValueError(f"{value!r} cannot be written as a SQL literal")


def _sql_identifier(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


def _split_sql(column: str, split: _Split) -> str:
    """A node's split as a SQL condition; NULL makes it unknown, and CASE sends unknown
    to ELSE, the right child, as the model sends missing values. A categorical split
    asks IN (left categories), never NOT IN: NULL IN (...) is unknown and goes right,
    and so does every value not in the list."""
    if split.categories is not None:
        return f"{column} IN ({', '.join(_sql_literal(v) for v in split.categories)})"
    return f"{column} <= {_sql_number(split.threshold)}"


def export_sql(estimator, feature_names=None, output_names=None) -> str:
    """The fitted tree as a SQL CASE expression over one row's columns.

    Columns are named by `feature_names` (default: `feature_names_in_`, else x0, x1, ...)
    and always quoted. NULL goes right, as a missing value does in the model. A
    categorical split is `"colour" IN ('blue', 'red')` on the category values; NULL
    and values unseen in fit go right. The expression yields what `predict` returns:
    the class label (a string, number or boolean literal) for a classifier, the
    value for a regressor. Numbers are printed
    with 17 significant digits, so an engine that reads decimal literals correctly
    rounded gets the model's own doubles and reproduces `predict` exactly.

    With several outputs the text is one column per output, a CASE expression each,
    named by `output_names` (default y0, y1, ...), quoted and separated by commas:
    `CASE ... END AS "y0", CASE ... END AS "y1"`, a select list for
    `SELECT <it> FROM table`. `output_names` is refused for a single output, whose
    expression stays unnamed.
    """
    names = _feature_names(estimator, feature_names)
    tree = estimator.tree_
    predictions = _predictions(estimator)
    if tree.n_outputs == 1:
        if output_names is not None:
            raise ValueError("output_names name the columns of several outputs; this model "
                             "has one, whose expression is unnamed")
        return _sql_case(estimator, names, [_sql_literal(p) for p in predictions])
    if output_names is None:
        output_names = [f"y{k}" for k in range(tree.n_outputs)]
    output_names = [str(name) for name in output_names]
    if len(output_names) != tree.n_outputs:
        raise ValueError(f"output_names has {len(output_names)} entries, but the model has "
                         f"{tree.n_outputs} outputs")
    columns = [_sql_case(estimator, names, [_sql_literal(p[k]) for p in predictions]).rstrip("\n")
               + f" AS {_sql_identifier(name)}" for k, name in enumerate(output_names)]
    return ",\n".join(columns) + "\n"


def _sql_case(estimator, names: list[str], predictions: list[str]) -> str:
    """The nested CASE expression of the tree whose node j yields predictions[j]."""
    tree = estimator.tree_

    def leaf(node, depth):
        return ["  " * depth + predictions[node]]

    def split(node, depth, left, right):
        indent = "  " * depth
        question = _split(estimator, node)
        condition = _split_sql(_sql_identifier(names[question.feature]), question)
        return [f"{indent}CASE WHEN {condition} THEN", *left, f"{indent}ELSE", *right,
                f"{indent}END"]

    return "\n".join(_nested(tree, leaf, split)) + "\n"
