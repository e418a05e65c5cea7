"""Text and Graphviz DOT views of a fitted tree that show each level's shared feature."""

import numpy as np
from sklearn.utils.validation import check_is_fitted


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


def _leaf_fields(estimator, node: int, precision: int) -> list[tuple[str, str]]:
    tree = estimator.tree_
    value = tree.value[node, 0]
    if hasattr(estimator, "classes_"):
        label = estimator.classes_[int(value.argmax())]
        counts = _weights(value * tree.weighted_n_node_samples[node], precision)
        return [("class", str(label)), ("counts", f"[{counts}]")]
    return [("value", _number(value[0], precision))]


def export_text(estimator, feature_names=None, *, precision=6) -> str:
    """The fitted tree as text, one line per node, children indented under their parent.

    The first lines name the feature each depth splits on. Every node line starts
    with the condition that leads to it (left child: <=, right child: >; NaN goes
    right) and its number of training rows; leaves add their class and class counts
    (classifiers) or their value (regressors).

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
            name = names[tree.feature[node]]
            threshold = _number(tree.threshold[node], precision)
            pending.append((tree.children_right[node], f"{name} > {threshold}",
                            indent + "`-- ", indent + "    "))
            pending.append((tree.children_left[node], f"{name} <= {threshold}",
                            indent + "|-- ", indent + "|   "))
        lines.append(prefix + "  ".join(fields))
    return "\n".join(lines) + "\n"


def _quoted(text: str) -> str:
    escaped = text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")
    return f'"{escaped}"'


def export_dot(estimator, feature_names=None, *, precision=6) -> str:
    """The fitted tree as Graphviz DOT text, for `dot -Tsvg` and friends.

    Each depth is one `rank=same` row, headed by a label naming the feature that
    the depth splits on. Internal nodes show their split and row count, leaves
    their row count and class with class counts (classifiers) or value
    (regressors). Edges marked "true" lead to the rows that satisfy the split,
    drawn left of their sibling.
    Arguments as for `export_text`.
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
    for node in range(tree.node_count):
        samples = f"samples = {tree.n_node_samples[node]}"
        if tree.is_leaf[node]:
            rows = [samples] + [f"{key} = {text}"
                                for key, text in _leaf_fields(estimator, node, precision)]
        else:
            threshold = _number(tree.threshold[node], precision)
            rows = [f"{names[tree.feature[node]]} <= {threshold}", samples]
        label = _quoted("\n".join(rows))
        lines.append(f"n{node} [label={label}];")
    for node in np.flatnonzero(~tree.is_leaf):
        lines.append(f'n{node} -> n{tree.children_left[node]} [label="true"];')
        lines.append(f'n{node} -> n{tree.children_right[node]} [label="false"];')
    lines.append("}")
    return "\n".join(lines) + "\n"
