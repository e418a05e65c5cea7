"""qor models as ONNX graphs, which onnxruntime and the other ONNX runtimes run without qor.

A tree becomes one `TreeEnsemble` node of the ai.onnx.ml domain, version 5: thresholds
are doubles, a categorical split is set membership, and every node sends a missing value
to its false branch, the right one, as qor does. That node yields the number of the leaf
each row reaches, and a `Gather` reads the leaf's row of values from a table of doubles
(each output's class shares, or each output's value). A TreeEnsemble leaf carries one
value for one target where a qor leaf carries a row of them; reading the row whole keeps
every value's bits, with no sum in between, and walks the tree once for all of them.

Categorical columns become their category codes inside the graph (`LabelEncoder`), as
qor encodes them before its tree sees them, so the tree's sets hold codes. onnxruntime
tests set membership on whole numbers (it takes 2.5 for 2), so raw values never reach
a set: a value that is no category becomes NaN on the way, and goes right.

skl2onnx (up to 1.20 at least) refuses a graph that uses ai.onnx.ml above version 3, so
the converter it calls for a pipeline's qor step writes the tree as the older
`TreeEnsembleRegressor` (version 3) instead, still with double thresholds: there a
categorical split is a chain of equality tests on the raw values, all leading to the same
left child, and the leaf number travels as a float32, which holds it exactly for up to
2**24 leaves.

Importing this module needs nothing beyond qor; `to_onnx` needs the `onnx` package and
`register_skl2onnx` needs skl2onnx, both in the extra `qor[onnx]`.
"""

import numbers

import numpy as np
from sklearn.utils.validation import check_is_fitted

from .cv import QORClassifierCV, QORRegressorCV
from .estimators import QORClassifier, QORRegressor

# TreeEnsemble with double thresholds, set membership and a missing side per node came
# with ai.onnx.ml 5, which onnx 1.16 paired with ai.onnx 21 and IR version 10;
# onnxruntime runs it from 1.21. What skl2onnx writes stays within ai.onnx.ml 3.
ML_OPSET = 5
LEGACY_ML_OPSET = 3
ONNX_OPSET = 21
IR_VERSION = 10
_BRANCH_LEQ, _BRANCH_MEMBER = 0, 6  # TreeEnsemble's nodes_modes: x <= split; x in set
# Leaf numbers a float32 holds exactly, the most the older operator's output can carry.
_LEGACY_LEAVES = 2**24
_DTYPES = {np.dtype(np.float64): "DOUBLE", np.dtype(np.float32): "FLOAT"}
# Integers a double holds exactly: a category or label beyond them could not be told
# from its neighbour once it is a double.
_EXACT_INTEGERS = 2**53


def _leaf_values(model) -> np.ndarray:
    """What prediction reads at each node of model.tree_, one row per node: each output's
    class shares side by side for a classifier, each output's value for a regressor."""
    tree = model.tree_
    return np.concatenate([tree.value[:, k, :n] for k, n in enumerate(tree.n_classes)], axis=1)


def _onnx():
    try:
        import onnx
    except ImportError as error:
        raise ImportError("qor.to_onnx builds the graph with the onnx package, which is not "
                          "installed; install it with the extra: pip install 'qor[onnx]'"
                          ) from error
    return onnx


# ---- what the model asks of the graph ------------------------------------------------

def _categories_kind(model, feature: int) -> str:
    """"number" or "text": how feature `feature`'s categories reach the graph. Refuses
    categories that are neither all numbers a double holds exactly nor all text."""
    values = np.asarray(model.categories_[feature])
    name = _feature_names(model)[feature]
    if values.dtype.kind in "US" or (values.dtype.kind == "O"
                                     and all(isinstance(v, str) for v in values)):
        return "text"
    if values.dtype.kind in "biuf" or all(isinstance(v, numbers.Real) for v in values):
        if _exact_doubles(values):
            return "number"
        raise ValueError(f"column {name!r} has integer categories beyond 2**53, which ONNX "
                         "reads as doubles that cannot tell them apart; fit on them as text "
                         f"(X[{name!r}].astype(str)) to export the model")
    kinds = (sorted({type(v).__name__ for v in values}) if values.dtype.kind == "O"
             else [str(values.dtype)])
    raise ValueError(f"column {name!r} has categories of type {', '.join(kinds)}; an ONNX "
                     "input holds numbers or text: fit on the column as text "
                     f"(X[{name!r}].astype(str)) to export the model")


def _exact_doubles(values: np.ndarray) -> bool:
    if values.dtype.kind == "f":
        return True
    integers = [int(v) for v in values if not isinstance(v, float)]
    return all(abs(v) <= _EXACT_INTEGERS for v in integers)


def _labels(classes: np.ndarray) -> np.ndarray:
    """One output's class labels as the graph's label tensor holds them."""
    kind = classes.dtype.kind
    if kind in "iu":
        if classes.size and (int(classes.max()) >= 2**63):
            raise ValueError("class labels beyond the int64 range cannot be ONNX labels; "
                             "fit on them as text (y.astype(str)) to export the model")
        return classes.astype(np.int64)
    if kind in "bf":
        return classes.astype(np.float64 if kind == "f" else bool)
    if kind in "US" or all(isinstance(v, str) for v in classes):
        return np.asarray([str(v) for v in classes], dtype=object)
    raise ValueError(f"class labels of dtype {classes.dtype} are neither numbers nor text, "
                     "which an ONNX label tensor holds; fit on them as text (y.astype(str)) "
                     "to export the model")


def _whole_labels(labels: np.ndarray) -> np.ndarray:
    """Labels as skl2onnx declares a classifier's: text, or int64 for any numbers."""
    if labels.dtype == object:
        return labels
    if not np.array_equal(labels.astype(np.int64), labels):
        raise ValueError("skl2onnx declares numeric class labels as int64, and these are not "
                         "all whole numbers; fit on them as text (y.astype(str)), or convert "
                         "the model alone with qor.to_onnx")
    return labels.astype(np.int64)


def _output_labels(model) -> list[np.ndarray]:
    """Each output's labels; they share one type, as the columns of a fitted y do."""
    classes = model.classes_ if model.n_outputs_ > 1 else [model.classes_]
    return [_labels(np.asarray(c)) for c in classes]


def _feature_names(model) -> list[str]:
    names = getattr(model, "feature_names_in_", None)
    return ([str(n) for n in names] if names is not None
            else [f"x{j}" for j in range(model.n_features_in_)])


def _per_column(model) -> bool:
    """Whether the graph takes one input per feature: where some categories are text."""
    return "category text" in _column_kinds(model)


def _column_kinds(model) -> list[str]:
    """Per feature: "number", or a categorical feature's "number" or "text" categories
    prefixed with "category "."""
    return [f"category {_categories_kind(model, j)}" if categorical else "number"
            for j, categorical in enumerate(model.is_categorical_)]


# ---- the graph ---------------------------------------------------------------------------

class _Graph:
    """Nodes and constants of a graph of fresh names: the base of `to_onnx`'s own graph
    and of the one skl2onnx assembles. A legacy graph keeps to ai.onnx.ml 3."""

    legacy = False

    def fresh(self, hint: str) -> str:
        raise NotImplementedError

    def constant(self, array: np.ndarray, hint: str) -> str:
        raise NotImplementedError

    def add(self, op: str, inputs: list, outputs: list, domain: str, attributes: dict):
        raise NotImplementedError

    def node(self, op: str, *inputs: str, out: str | None = None, domain: str = "",
             **attributes) -> str:
        """Adds node `op`; returns its output's name (`out`, or a fresh one)."""
        out = out or self.fresh(op.lower())
        self.add(op, list(inputs), [out], domain, attributes)
        return out


class _OwnGraph(_Graph):
    def __init__(self, taken):
        self.nodes, self.initializers, self.taken = [], [], set(taken)

    def fresh(self, hint):
        name, k = hint, 0
        while name in self.taken:
            k += 1
            name = f"{hint}_{k}"
        self.taken.add(name)
        return name

    def constant(self, array, hint):
        from onnx import numpy_helper
        name = self.fresh(hint)
        self.initializers.append(numpy_helper.from_array(np.asarray(array), name))
        return name

    def add(self, op, inputs, outputs, domain, attributes):
        from onnx import helper
        self.nodes.append(helper.make_node(op, inputs, outputs, name=self.fresh(op),
                                           domain=domain, **attributes))


class _SklearnGraph(_Graph):
    """Nodes added to a skl2onnx container, named through its scope."""

    legacy = True

    def __init__(self, scope, container):
        self.scope, self.container = scope, container

    def fresh(self, hint):
        return self.scope.get_unique_variable_name(hint)

    def constant(self, array, hint):
        from onnx import TensorProto, numpy_helper
        name = self.fresh(hint)
        array = np.asarray(array)
        if array.dtype == object:  # text has no raw bytes: skl2onnx copies only those
            self.container.add_initializer(name, TensorProto.STRING, list(array.shape),
                                           [v.encode() for v in array.ravel()])
        else:
            tensor = numpy_helper.from_array(array, name)
            self.container.add_initializer(name, tensor.data_type, list(array.shape), tensor)
        return name

    def add(self, op, inputs, outputs, domain, attributes):
        version = LEGACY_ML_OPSET if domain else None
        self.container.add_node(op, inputs, outputs, op_domain=domain, op_version=version,
                                name=self.scope.get_unique_operator_name(op), **attributes)


def _tensor_type(dtype) -> int:
    from onnx import TensorProto
    return getattr(TensorProto, _DTYPES[np.dtype(dtype)])


def _places(tree) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(inner nodes, leaves, place): place[n] is node n's index among the inner nodes or
    among the leaves; leaf r of the leaf table is the r-th leaf in node order."""
    inner = np.flatnonzero(~tree.is_leaf)
    leaves = np.flatnonzero(tree.is_leaf)
    place = np.empty(tree.node_count, dtype=np.int64)
    place[inner] = np.arange(inner.size)
    place[leaves] = np.arange(leaves.size)
    return inner, leaves, place


def _tree_attributes(model, column_of: list[int]) -> dict:
    """TreeEnsemble's attributes for model.tree_, reading feature j from column
    column_of[j] of its input; leaf r's weight is r, its row in the leaf table."""
    from onnx import numpy_helper
    tree = model.tree_
    inner, leaves, place = _places(tree)
    if inner.size == 0:
        # A lone leaf is a node whose two branches both reach it.
        modes, features, splits = [_BRANCH_LEQ], [0], [0.0]
        true_ids = false_ids = [0]
        true_leaf = false_leaf = [1]
        members = []
    else:
        categorical = tree.is_categorical[inner]
        modes = np.where(categorical, _BRANCH_MEMBER, _BRANCH_LEQ)
        features = np.asarray(column_of)[tree.feature[inner]].tolist()
        splits = np.where(categorical, 0.0, tree.threshold[inner])
        left, right = tree.children_left[inner], tree.children_right[inner]
        true_ids, false_ids = place[left].tolist(), place[right].tolist()
        true_leaf = tree.is_leaf[left].astype(np.int64).tolist()
        false_leaf = tree.is_leaf[right].astype(np.int64).tolist()
        # Each set's codes, ended by a NaN, in the order of the nodes.
        members = [v for node in inner[categorical]
                   for v in (*tree.categories(node), np.nan)]
    attributes = dict(
        n_targets=1, aggregate_function=1, post_transform=0, tree_roots=[0],
        nodes_modes=numpy_helper.from_array(np.asarray(modes, dtype=np.uint8), "modes"),
        nodes_featureids=list(features),
        nodes_splits=numpy_helper.from_array(np.asarray(splits, dtype=np.float64), "splits"),
        nodes_truenodeids=list(true_ids), nodes_trueleafs=list(true_leaf),
        nodes_falsenodeids=list(false_ids), nodes_falseleafs=list(false_leaf),
        nodes_missing_value_tracks_true=[0] * len(true_ids),
        leaf_targetids=[0] * leaves.size,
        leaf_weights=numpy_helper.from_array(np.arange(leaves.size, dtype=np.float64),
                                             "weights"))
    if members:
        attributes["membership_values"] = numpy_helper.from_array(
            np.asarray(members, dtype=np.float64), "members")
    return attributes


def _legacy_tree_attributes(model) -> dict:
    """TreeEnsembleRegressor's (ai.onnx.ml 3) attributes for model.tree_, reading the raw
    features. Node n keeps id n; a set of k categories is node n's equality test and k - 1
    more (ids from node_count up), each sending its category to the left child and
    anything else on to the next test, the last one's to the right child."""
    from onnx import numpy_helper
    tree = model.tree_
    inner, leaves, place = _places(tree)
    if leaves.size > _LEGACY_LEAVES:
        raise ValueError(f"the tree has {leaves.size} leaves, more than the {_LEGACY_LEAVES} "
                         "that skl2onnx's tree operator can number; convert the model alone "
                         "with qor.to_onnx")
    n = tree.node_count
    modes = ["LEAF"] * n
    features, values = [0] * n, [0.0] * n
    true_ids, false_ids = [0] * n, [0] * n
    for node in inner:
        left, right = int(tree.children_left[node]), int(tree.children_right[node])
        feature = int(tree.feature[node])
        if not tree.is_categorical[node]:
            modes[node], features[node] = "BRANCH_LEQ", feature
            values[node], true_ids[node], false_ids[node] = float(tree.threshold[node]), left, right
            continue
        raw = np.asarray(model.categories_[feature], dtype=np.float64)[
            tree.categories(node).astype(np.intp)]
        chain = [node] + list(range(len(modes), len(modes) + raw.size - 1))
        for k, (test, value) in enumerate(zip(chain, raw)):
            if test >= n:
                modes.append(None), features.append(0), values.append(0.0)
                true_ids.append(0), false_ids.append(0)
            modes[test], features[test], values[test] = "BRANCH_EQ", feature, float(value)
            true_ids[test] = left
            false_ids[test] = chain[k + 1] if k + 1 < len(chain) else right
    ids = list(range(len(modes)))
    return dict(
        n_targets=1, aggregate_function="SUM", post_transform="NONE",
        nodes_treeids=[0] * len(ids), nodes_nodeids=ids, nodes_modes=modes,
        nodes_featureids=features,
        nodes_values_as_tensor=numpy_helper.from_array(np.asarray(values, np.float64),
                                                       "splits"),
        nodes_truenodeids=true_ids, nodes_falsenodeids=false_ids,
        nodes_missing_value_tracks_true=[0] * len(ids),
        target_ids=[0] * leaves.size, target_treeids=[0] * leaves.size,
        target_nodeids=leaves.tolist(),
        target_weights_as_tensor=numpy_helper.from_array(
            place[leaves].astype(np.float64), "weights"))


def _codes(graph: _Graph, column: str, categories) -> str:
    """A column of categories as their codes (doubles), NaN for anything else."""
    from onnx import numpy_helper
    text = np.asarray(categories).dtype.kind in "USO" and all(
        isinstance(v, str) for v in categories)
    keys = (np.asarray([str(v) for v in categories], dtype=object) if text
            else np.asarray(categories, dtype=np.float64))
    return graph.node(
        "LabelEncoder", column, domain="ai.onnx.ml",
        keys_tensor=numpy_helper.from_array(keys, "keys"),
        values_tensor=numpy_helper.from_array(np.arange(len(keys), dtype=np.float64), "codes"),
        default_tensor=numpy_helper.from_array(np.array([np.nan]), "unknown"))


def _double(graph: _Graph, name: str, elem_type: int) -> str:
    """Tensor `name`, of ONNX element type `elem_type`, as doubles."""
    from onnx import TensorProto
    if elem_type == TensorProto.DOUBLE:
        return name
    return graph.node("Cast", name, to=TensorProto.DOUBLE)


def _features(graph: _Graph, model, inputs: list[str], elem_type: int) -> tuple[str, list[int]]:
    """The [N, columns] doubles the tree reads, and the column of each feature in it.

    One input: the features' tensor, widened to doubles, with each categorical feature's
    codes appended as a column of its own. One input per feature ([N, 1] each): the
    columns side by side, categorical ones as codes. A legacy graph's tree reads the
    features' tensor as it is (its sets test raw values)."""
    categorical = np.flatnonzero(model.is_categorical_)
    if graph.legacy:
        return _double(graph, inputs[0], elem_type), list(range(model.n_features_in_))
    if not _per_column(model):
        X = _double(graph, inputs[0], elem_type)
        n = model.n_features_in_
        column_of = list(range(n))
        parts = [X]
        for k, j in enumerate(categorical):
            raw = graph.node("Gather", X, graph.constant(np.array([j], np.int64), "feature"),
                             axis=1)
            parts.append(_codes(graph, raw, model.categories_[j]))
            column_of[j] = n + k
        return (graph.node("Concat", *parts, axis=1) if len(parts) > 1 else X), column_of
    columns = [_codes(graph, name, model.categories_[j]) if model.is_categorical_[j]
               else _double(graph, name, elem_type) for j, name in enumerate(inputs)]
    return graph.node("Concat", *columns, axis=1), list(range(len(inputs)))


def _emit(graph: _Graph, model, inputs: list[str], outputs: list[str],
          types: tuple[int, int]) -> None:
    """Adds the model's prediction from `inputs` to `outputs`: a classifier's label (then
    each output's probabilities), a regressor's values. `types`: the ONNX element types of
    the numeric inputs and of the probabilities or values."""
    from onnx import TensorProto
    X, column_of = _features(graph, model, inputs, types[0])
    if graph.legacy:
        leaf = graph.node("TreeEnsembleRegressor", X, domain="ai.onnx.ml",
                          **_legacy_tree_attributes(model))
    else:
        leaf = graph.node("TreeEnsemble", X, domain="ai.onnx.ml",
                          **_tree_attributes(model, column_of))
    leaf = graph.node("Cast", leaf, to=TensorProto.INT64)
    leaf = graph.node("Reshape", leaf, graph.constant(np.array([-1], np.int64), "rows"))
    table = _leaf_values(model)[model.tree_.is_leaf]
    values = graph.node("Gather", graph.constant(table, "leaf_values"), leaf, axis=0)

    def typed(name, out):
        if types[1] == TensorProto.DOUBLE:
            return graph.node("Identity", name, out=out)
        return graph.node("Cast", name, out=out, to=types[1])

    if not isinstance(model, QORClassifier):
        typed(values, outputs[0])
        return
    labels, offset, chosen = _output_labels(model), 0, []
    if graph.legacy:
        labels = [_whole_labels(classes) for classes in labels]
    several = len(labels) > 1
    for k, classes in enumerate(labels):
        shares = values
        if several:
            shares = graph.node("Slice", values,
                                graph.constant(np.array([offset], np.int64), "start"),
                                graph.constant(np.array([offset + classes.size], np.int64),
                                               "end"),
                                graph.constant(np.array([1], np.int64), "axis"))
        offset += classes.size
        # The first of equal shares, as predict takes it; on the doubles, before any
        # rounding to float32 could make two shares equal.
        best = graph.node("ArgMax", shares, axis=1, keepdims=0)
        label = graph.node("Gather", graph.constant(classes, "classes"), best, axis=0,
                           out=None if several else outputs[0])
        chosen.append(label)
        typed(shares, outputs[1 + k])
    if several:
        column = graph.constant(np.array([-1, 1], np.int64), "column")
        graph.node("Concat", *(graph.node("Reshape", c, column) for c in chosen),
                   out=outputs[0], axis=1)


def _check(model) -> None:
    if not isinstance(model, (QORClassifier, QORRegressor)):
        raise TypeError(f"qor.to_onnx converts QORClassifier and QORRegressor models, not "
                        f"{type(model).__name__}")
    check_is_fitted(model)


def _input_dtype(dtype) -> np.dtype:
    if dtype is None or np.dtype(dtype) not in _DTYPES:
        raise ValueError(f"dtype must be float64 or float32, got {dtype!r}")
    return np.dtype(dtype)


def to_onnx(model, *, dtype=np.float64):
    """The fitted model as an ONNX model (`onnx.ModelProto`) that predicts as it does.

    Save it with `onnx.save(proto, "model.onnx")` and run it with onnxruntime, or any
    runtime of ai.onnx 21 and ai.onnx.ml 5 (onnxruntime 1.21 or later).

    Parameters
    ----------
    model : QORClassifier or QORRegressor, fitted
        Or QORClassifierCV or QORRegressorCV: they predict with the tree they chose and
        refitted on all rows, and convert as that tree (as their `best_estimator_` does).
        A tree fitted with `shrinkage` carries the shrunk values `predict` uses.
    dtype : float64 or float32, default=float64
        The type of the graph's numeric inputs and of its probabilities or values. With
        float64, every prediction and probability equals the model's `predict` and
        `predict_proba` bit for bit. With float32, each input number is widened to a
        double exactly and the tree compares it with the model's double thresholds, so
        the graph predicts as the model does on `X.astype(np.float32)`; it can differ from
        the model on the original doubles where rounding a value to float32 carries it
        across a threshold (or onto it). Probabilities and values are the model's
        doubles rounded once to float32; labels are chosen on the doubles.

    Returns
    -------
    onnx.ModelProto
        One graph whose inputs and outputs the notes describe.

    Notes
    -----
    **Inputs.** A model without text categories takes one input, "X": a tensor [N, n_features_in_] of
    dtype, its columns in the order of the fit. Numeric categorical columns hold their
    values, as in the X given to `predict`.

    A model with text categories (a categorical feature whose categories are strings)
    takes one input per feature instead, named by `feature_names_in_` (x0, x1, ... where
    the fit had no names), each a tensor [N, 1]: of strings for a text feature, of dtype
    otherwise.

    Missing values are NaN in numeric inputs and go right at every split, as in the model.
    A text input cannot hold a missing value: give any text that is not among the
    feature's `categories_` (such as ""), which goes right like a missing value and an
    unseen category. The model refuses infinite values; the graph sends +inf right and
    -inf left at a numeric split, and right at a categorical one.

    **Outputs.** QORClassifier: "label", [N] (or [N, n_outputs_] with several outputs), the predicted
    class as int64, double, bool or string as `classes_` are; and "probabilities",
    [N, n_classes_] of dtype (with several outputs "probabilities_0",
    "probabilities_1", ..., one per output).
    QORRegressor: "variable", [N, n_outputs_] of dtype.
    An output whose name a column of one input per feature bears takes a "_" more
    ("label_" beside a column "label").

    Refused (ValueError, naming the fix) where ONNX cannot say what the model does:
    categories mixing numbers and text, or integer categories beyond 2**53 (a double
    cannot tell them apart); class labels of several types, or integers beyond int64.
    """
    onnx = _onnx()
    from onnx import helper

    from . import __version__
    _check(model)
    dtype = _input_dtype(dtype)
    kinds = _column_kinds(model)
    names = _feature_names(model)
    if _per_column(model):
        inputs = [helper.make_tensor_value_info(
            name, onnx.TensorProto.STRING if kind == "category text" else _tensor_type(dtype),
            [None, 1]) for name, kind in zip(names, kinds)]
    else:
        inputs = [helper.make_tensor_value_info("X", _tensor_type(dtype),
                                                [None, model.n_features_in_])]
    outputs = _outputs(model, dtype)
    taken = {i.name for i in inputs}
    for output in outputs:  # a column may bear an output's name; the input keeps it
        while output.name in taken:
            output.name += "_"
    graph = _OwnGraph([i.name for i in inputs] + [o.name for o in outputs])
    _emit(graph, model, [i.name for i in inputs], [o.name for o in outputs],
          (_tensor_type(dtype), _tensor_type(dtype)))
    proto = helper.make_model(
        helper.make_graph(graph.nodes, "qor", inputs, outputs, graph.initializers,
                          doc_string=repr(model)),
        opset_imports=[helper.make_opsetid("", ONNX_OPSET),
                       helper.make_opsetid("ai.onnx.ml", ML_OPSET)],
        ir_version=IR_VERSION, producer_name="qor", producer_version=__version__)
    onnx.checker.check_model(proto)
    return proto


def _outputs(model, dtype) -> list:
    """The graph's outputs' value infos."""
    from onnx import TensorProto, helper
    values = _tensor_type(dtype)
    if not isinstance(model, QORClassifier):
        return [helper.make_tensor_value_info("variable", values, [None, model.n_outputs_])]
    labels = _output_labels(model)
    kind = {"i": TensorProto.INT64, "f": TensorProto.DOUBLE, "b": TensorProto.BOOL,
            "O": TensorProto.STRING}[labels[0].dtype.kind]
    if len(labels) == 1:
        return [helper.make_tensor_value_info("label", kind, [None]),
                helper.make_tensor_value_info("probabilities", values, [None, labels[0].size])]
    return [helper.make_tensor_value_info("label", kind, [None, len(labels)]),
            *(helper.make_tensor_value_info(f"probabilities_{k}", values, [None, c.size])
              for k, c in enumerate(labels))]


# ---- skl2onnx ----------------------------------------------------------------------------

def _skl2onnx_converter(scope, operator, container) -> None:
    model = operator.raw_operator
    _check(model)
    if model.n_outputs_ > 1:
        raise ValueError("skl2onnx converts a qor model of one output; convert a model of "
                         "several outputs alone with qor.to_onnx")
    if _per_column(model):
        raise ValueError("a qor model with text categories reads one input per column, "
                         "which skl2onnx does not give a pipeline's last step; encode the "
                         "text in the pipeline (OrdinalEncoder) or convert the model alone "
                         "with qor.to_onnx")
    from onnx import TensorProto

    def elem_type(variable):
        return variable.type.to_onnx_type().tensor_type.elem_type

    classifier = isinstance(model, QORClassifier)
    types = (elem_type(operator.inputs[0]), elem_type(operator.outputs[1 if classifier else 0]))
    if (types[1] == TensorProto.DOUBLE and classifier
            and container.get_options(model, dict(zipmap=True))["zipmap"]):
        raise ValueError("skl2onnx's ZipMap reads float32 probabilities, and skl2onnx "
                         "declared these doubles (the inputs are): convert with "
                         "options={QORClassifier: {'zipmap': False}}, or with float32 inputs")
    _emit(_SklearnGraph(scope, container), model, [operator.inputs[0].full_name],
          [output.full_name for output in operator.outputs], types)


def register_skl2onnx() -> None:
    """Teaches skl2onnx to convert QORClassifier and QORRegressor, so that
    `skl2onnx.to_onnx` converts a scikit-learn Pipeline that ends in one.

    Call it once before converting. QORClassifierCV and QORRegressorCV convert as the
    tree they chose. The qor step reads the float or double tensor its pipeline gives it
    (a model of one output, without text categories: encode text in the pipeline), and
    adds a TreeEnsembleRegressor of ai.onnx.ml 3, the newest version skl2onnx accepts,
    still with double thresholds. A classifier's probabilities go through skl2onnx's
    ZipMap unless options={"zipmap": False} (then "probabilities" is a tensor).
    """
    from skl2onnx import update_registered_converter
    from skl2onnx.common.shape_calculator import (calculate_linear_classifier_output_shapes,
                                                   calculate_linear_regressor_output_shapes)
    # skl2onnx finds a converter by the model's exact class, not by its bases.
    for classifier in (QORClassifier, QORClassifierCV):
        update_registered_converter(classifier, f"Qor{classifier.__name__[3:]}",
                                    calculate_linear_classifier_output_shapes,
                                    _skl2onnx_converter,
                                    options={"zipmap": [True, False, "columns"],
                                             "nocl": [False]})
    for regressor in (QORRegressor, QORRegressorCV):
        update_registered_converter(regressor, f"Qor{regressor.__name__[3:]}",
                                    calculate_linear_regressor_output_shapes,
                                    _skl2onnx_converter)
