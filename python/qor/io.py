"""Fitted models saved as versioned JSON files.

A file is one JSON object (UTF-8, no NaN or infinity):

    {
      "format": "qor-model",
      "version": 2,
      "digest": "sha256:...",           SHA-256 of the object's canonical JSON without
                                        this field (see _canonical), in hex
      "estimator": "QORClassifier" or "QORRegressor",
      "params": {...},                  the estimator's get_params(); array-likes as
                                        lists, a class_weight dict as
                                        {"labels": {"dtype", "values"}, "weights": [...]}
      "n_features_in": 30,
      "feature_names_in": [...] or null,
      "classes": {"dtype": "<U3", "values": [...]} or null (regressor),
      "categories": [null, {"dtype": "|O", "values": ["blue", "red"]}, ...],
                                        one entry per feature: null for a numeric
                                        one, a categorical one's categories_ (code i
                                        is values[i]) kept in their dtype like classes
      "depth_features": [[depth, feature], ...],
      "tree": {
        "n_classes": 2,                 1 for a regressor
        "children_left": [...], "children_right": [...], "feature": [...],
        "threshold": [...],             null on categorical splits (NaN in tree_)
        "value": [[...], ...], "impurity": [...],
        "n_node_samples": [...], "weighted_n_node_samples": [...], "gain": [...],
        "category_start": [...], "category_end": [...],
        "categories_left": [...]        the category codes (integers) that
                                        categorical splits send left: node j's are
                                        categories_left[category_start[j]:category_end[j]],
                                        ascending; start == end on other nodes
      }
    }

The tree arrays are those of `estimator.tree_`, one entry per node, nodes numbered
breadth first (value: one row of n_classes numbers per node). Floats are written
with `repr`, so a loaded model holds the same doubles and predicts bit for bit as the
saved one. A reader refuses a file of a newer version; a new version is needed when
an older reader would misread a file, or would miss a promise a newer file makes.

Versions: 1 has no digest, and is read as before. 2 adds the digest, so that a file
changed after saving (by a fault of the disk or the network, or by hand) is refused
instead of predicting something else; `load(path, verify=False)` reads a file whatever
its digest, and `save` seals what it writes again. The digest guards against accidents,
not against an adversary, who can compute it too. 3 adds models of several outputs
(a y of n_outputs columns): "classes" is then a list of one labels object per output
(null for a regressor), tree "n_classes" a list of each output's classes (1 apiece for
a regressor) and each node's "value" a list of n_outputs rows of max(n_classes)
numbers. A model of one output is still written as version 2, which readers since
version 2 read. 4 adds hierarchical shrinkage: "params" then holds "shrinkage" (a
number above 0), the tree's "value" holds the shrunk values the model predicts (so a
reader that predicts from "value" predicts as the model does) and "raw_value", laid
out as "value", each node's own training statistics; a reader recomputes the shrunk
values from "raw_value" and refuses a file whose "value" differs from them in any
bit. A model without shrinkage leaves "shrinkage" out of "params" and is written as
before (version 2 or 3).
"""

import hashlib
import json
import math
import os
import re
import reprlib

import numpy as np
from sklearn.utils.validation import check_is_fitted

from ._growth import max_features
from ._pruning import depth_features
from ._tree import _ARRAYS, TREE_LEAF, TREE_UNDEFINED, Tree
from .cv import QORClassifierCV, QORRegressorCV
from .estimators import QORClassifier, QORRegressor

FORMAT = "qor-model"
FORMAT_VERSION = 4
# The first version that holds several outputs; models of one output stay version 2.
SEVERAL_OUTPUTS_SINCE = 3
# The first version that holds shrunk values beside the nodes' own.
SHRUNK_SINCE = 4
# The first version whose files carry a digest of their content.
SEALED_SINCE = 2
ESTIMATORS = {cls.__name__: cls for cls in (QORClassifier, QORRegressor)}
# The top-level fields of a file besides "digest".
_FIELDS = frozenset({"format", "version", "estimator", "params", "n_features_in",
                     "feature_names_in", "classes", "categories", "depth_features", "tree"})
# Class labels and categories keep their dtype. A file may name only the dtypes whose
# values JSON holds exactly, as NumPy spells them (dtype.str): booleans, signed and
# unsigned integers, floats, fixed-width strings (group 2: their length) and Python
# objects (strings or numbers).
_LABEL_DTYPE = re.compile(r"[<>|](b1|[iu][1248]|f[248]|U([1-9][0-9]{0,9})|O)")
# A model nests 5 deep (the document, params, class_weight, its labels, their values).
# Anything much deeper is no model, and is refused before anything walks it.
_DEEPEST_NESTING = 8
# Fixed-width string labels take their dtype's length in every entry, whatever the
# text: all of a file's together may take as many characters as the file has bytes,
# and at least this many, so that a file cannot make a reader allocate out of
# proportion to its size.
_FEWEST_STRING_CHARACTERS = 1 << 16
# A classifier's node holds each class's weight divided by the node's weight (or all
# 0 in a node without weight). Both weights are rounded sums over the node's rows, so
# the shares add up to 1 within about (rows + classes) units of roundoff; twice that
# is allowed, with rows at most the engine's 32-bit count.
_SHARE_ROUNDING = 2 * np.finfo(np.float64).eps
_MOST_ROWS = 2**31 - 1


def save(estimator, path) -> None:
    """Writes a fitted QORClassifier or QORRegressor to `path` as JSON (see the module
    docstring for the format). A QORClassifierCV or QORRegressorCV is written as the
    tree it chose, its best_estimator_, and loads as that. Raises ValueError for what
    JSON cannot hold exactly."""
    if not isinstance(estimator, (QORClassifier, QORRegressor)):
        raise TypeError(f"save takes a QORClassifier or QORRegressor, "
                        f"not {type(estimator).__name__}")
    check_is_fitted(estimator)
    if isinstance(estimator, (QORClassifierCV, QORRegressorCV)):
        estimator = estimator.best_estimator_
    params = {name: _param_document(name, value)
              for name, value in estimator.get_params(deep=False).items()}
    if params["shrinkage"] == 0:
        # The default, as files without shrinkage have always been read: they stay the same.
        del params["shrinkage"]
    for name, value in params.items():
        try:
            same = json.loads(json.dumps(value, allow_nan=False)) == value
        except (TypeError, ValueError):
            same = False
        if not same:
            raise ValueError(f"parameter {name}={value!r} cannot be saved in JSON")
    tree = estimator.tree_
    several = tree.n_outputs > 1
    version = SHRUNK_SINCE if tree.is_shrunk else SEVERAL_OUTPUTS_SINCE if several else 2
    classes = getattr(estimator, "classes_", None)
    if classes is not None:
        classes = ([_labels_document(np.asarray(c)) for c in classes] if several
                   else _labels_document(classes))
    names = getattr(estimator, "feature_names_in_", range(estimator.n_features_in_))
    categories = [None if values is None else
                  _labels_document(np.asarray(values), f"categories of feature {name!r}")
                  for name, values in zip(names, estimator.categories_)]
    document = {
        "format": FORMAT,
        "version": version,
        "estimator": next(name for name, cls in ESTIMATORS.items()
                          if isinstance(estimator, cls)),
        "params": params,
        "n_features_in": int(estimator.n_features_in_),
        "feature_names_in": (estimator.feature_names_in_.tolist()
                             if hasattr(estimator, "feature_names_in_") else None),
        "classes": classes,
        "categories": categories,
        "depth_features": [[int(d), int(f)] for d, f in estimator.depth_features_.items()],
        "tree": {"n_classes": tree.n_classes.tolist() if several else tree.max_n_classes,
                 **{name: np.asarray(getattr(tree, name)).tolist() for name in _ARRAYS}},
    }
    document["tree"]["value"] = (tree.value if several else tree.value[:, 0]).tolist()
    if tree.is_shrunk:
        document["tree"]["raw_value"] = (tree.raw_value if several
                                         else tree.raw_value[:, 0]).tolist()
    # JSON has no NaN: the threshold of a categorical split, which no row reads, is null.
    document["tree"]["threshold"] = [None if math.isnan(t) else t
                                     for t in document["tree"]["threshold"]]
    document["tree"]["categories_left"] = [int(c) for c in tree.categories_left]
    head = {"format": FORMAT, "version": version, "digest": _digest(_canonical(document))}
    text = _dumps({**head, **document})
    characters = sum(len(labels["values"]) * _string_length(labels["dtype"])
                     for labels in _label_documents(document))
    if characters > _string_budget(len(text.encode("utf-8"))):
        raise ValueError(f"the model's string labels take {characters} characters in their "
                         "fixed-width dtypes, more than its file could hold; give them the "
                         "dtype of their longest label or object dtype")
    with open(path, "w", encoding="utf-8") as file:
        file.write(text)


def _canonical(document: dict) -> bytes:
    """The document's content as one byte string that does not depend on the file's
    layout: JSON with sorted keys, no spaces and ASCII escapes, the digest left out.
    ValueError for a number JSON cannot hold (an overflow such as 1e999 reads as
    infinity)."""
    content = {key: value for key, value in document.items() if key != "digest"}
    return json.dumps(content, sort_keys=True, separators=(",", ":"),
                      allow_nan=False).encode("ascii")


def _digest(canonical: bytes) -> str:
    return "sha256:" + hashlib.sha256(canonical).hexdigest()


def _label_documents(document: dict):
    """The {"dtype", "values"} documents of a saved model, as save wrote them."""
    class_weight = document["params"].get("class_weight")
    for weights in class_weight if isinstance(class_weight, list) else [class_weight]:
        if isinstance(weights, dict):
            yield weights["labels"]
    classes = document["classes"]
    yield from classes if isinstance(classes, list) else [] if classes is None else [classes]
    yield from (entry for entry in document["categories"] if entry is not None)


def _string_length(dtype: str) -> int:
    """Characters per entry of a fixed-width string dtype (0 for other dtypes)."""
    match = _LABEL_DTYPE.fullmatch(dtype)
    return int(match[2]) if match and match[2] else 0


def _string_budget(file_bytes: int) -> int:
    return max(file_bytes, _FEWEST_STRING_CHARACTERS)


class _Budget:
    """Characters that fixed-width string labels may still take while a file loads."""

    def __init__(self, characters: int | None):
        self.left = characters  # None: no limit (labels checked on their way to a file)

    def take(self, characters: int, what: str) -> None:
        if self.left is None:
            return
        if characters > self.left:
            raise ValueError(f"{what} would take {characters} characters in their "
                             "fixed-width dtype, more than the file holds")
        self.left -= characters


def _param_document(name: str, value):
    """A parameter as JSON can hold it: NumPy scalars (from a grid search, say) as the
    Python numbers they equal, arrays and tuples as lists, and a class_weight dict by
    its labels (kept in their dtype, like classes) and weights."""
    if isinstance(value, np.generic):
        return value.item()
    if isinstance(value, (np.ndarray, tuple)):
        return np.asarray(value).tolist()
    if name == "random_state" and isinstance(value, np.random.RandomState):
        # A stream's state is not kept: the saved tree holds what the fit drew, and a
        # fit again from the stream would draw anew anyway.
        return None
    if name == "class_weight" and isinstance(value, dict):
        return {"labels": _labels_document(np.array(list(value))),
                "weights": [float(w) for w in value.values()]}
    if name == "class_weight" and isinstance(value, list):  # one dict per output
        return [_param_document(name, v) for v in value]
    return value


def _param(name: str, value, budget: "_Budget"):
    """The parameter a saved document holds (the inverse of _param_document)."""
    if name == "class_weight" and isinstance(value, dict):
        if set(value) != {"labels", "weights"} or not isinstance(value["weights"], list):
            raise _Broken('a class_weight dict must hold "labels" and "weights"')
        labels = _labels(value["labels"], "class_weight labels", budget).tolist()
        weights = value["weights"]
        if len(labels) != len(weights) or len(set(labels)) != len(labels):
            raise _Broken("class_weight must hold as many distinct labels as weights")
        if not all(type(w) in (int, float) for w in weights):
            raise _Broken("class_weight weights must be numbers")
        return dict(zip(labels, weights))
    if name == "class_weight" and isinstance(value, list):  # one dict per output
        if not all(isinstance(v, dict) for v in value):
            raise _Broken("a class_weight list must hold one dict per output")
        return [_param(name, v, budget) for v in value]
    return value


def _labels_document(labels: np.ndarray, what: str = "class labels") -> dict:
    """Labels (classes, or a feature's categories) with their dtype, as JSON holds them;
    ValueError for labels that would not read back as the same values of that dtype."""
    document = {"dtype": labels.dtype.str, "values": labels.tolist()}
    try:
        restored = _labels(json.loads(json.dumps(document, allow_nan=False)), what)
        exact = restored.dtype == labels.dtype and bool(np.all(restored == labels))
    except (TypeError, ValueError):
        exact = False
    if not exact:
        raise ValueError(f"{what} of dtype {labels.dtype} cannot be saved in JSON")
    return document


def _labels(document, what: str = "class labels", budget: "_Budget" = None) -> np.ndarray:
    """Labels from their document {"dtype", "values"}, exactly as saved. ValueError for a
    dtype a model file does not hold, values not of the dtype's kind or outside its
    range, or fixed-width strings wider than `budget` allows; all checked before the
    array is made, so that a broken file never makes one out of proportion to itself."""
    if not isinstance(document, dict) or set(document) != {"dtype", "values"}:
        raise ValueError(f'{what} must hold "dtype" and "values"')
    name, values = document["dtype"], document["values"]
    match = _LABEL_DTYPE.fullmatch(name) if isinstance(name, str) else None
    if match is None:
        raise ValueError(f"{what} of dtype {_shown(name)} are not supported: a model file "
                         "holds booleans, integers, floats, strings or objects")
    if not isinstance(values, list):
        raise ValueError(f"{what} must be a list")
    kind = match[1][0]
    if not all(_KIND_OF_VALUE[kind](v) for v in values):
        raise ValueError(f"{what} of dtype {name} must be {_KIND_NAMES[kind]}")
    if kind == "U":
        length = int(match[2])
        if any(len(v) > length for v in values):
            raise ValueError(f"{what} do not fit their dtype {name}")
        # An empty list still makes its dtype: charge one entry at least.
        (budget or _Budget(None)).take(length * max(len(values), 1), what)
    try:
        dtype = np.dtype(name)
    except TypeError:  # a string length past what NumPy can make
        raise ValueError(f"{what} of dtype {name} are not supported") from None
    if kind in "iuf" and values:
        info = np.iinfo(dtype) if kind in "iu" else np.finfo(dtype)
        # As Python numbers: compared with a NumPy float16, 1e6 would overflow on the way.
        lowest, highest = ((int(info.min), int(info.max)) if kind in "iu"
                           else (-float(info.max), float(info.max)))
        if min(values) < lowest or max(values) > highest:
            raise ValueError(f"{what} do not fit their dtype {name}: they must lie in "
                             f"{lowest}..{highest}")
    labels = np.array(values, dtype=dtype)
    # A dtype too narrow for its values (<U3 for "green", float32 for 0.1) would change them.
    if labels.tolist() != values:
        raise ValueError(f"{what} do not fit their dtype {name}")
    return labels


def _finite(value) -> bool:
    return type(value) is int or type(value) is float and math.isfinite(value)


# Per dtype kind: the JSON values it takes (bool is no int here, as it is in Python).
_KIND_OF_VALUE = {
    "b": lambda v: type(v) is bool,
    "i": lambda v: type(v) is int,
    "u": lambda v: type(v) is int,
    "f": _finite,
    "U": lambda v: type(v) is str,
    "O": lambda v: type(v) in (str, bool) or _finite(v),
}
_KIND_NAMES = {"b": "true or false", "i": "integers", "u": "integers",
               "f": "finite numbers", "U": "strings", "O": "strings or finite numbers"}


def _shown(value) -> str:
    """A value from a file, shortened for a message (a broken file may hold megabytes)."""
    return reprlib.repr(value)


def _dumps(document: dict) -> str:
    """JSON with one top-level field per line and one tree array per line."""
    def field(key, value, indent):
        return f"{indent}{json.dumps(key)}: {json.dumps(value, allow_nan=False)}"
    top = [field(k, v, "  ") for k, v in document.items() if k != "tree"]
    tree = [field(k, v, "    ") for k, v in document["tree"].items()]
    return "{\n" + ",\n".join(top + ['  "tree": {\n' + ",\n".join(tree) + "\n  }"]) + "\n}\n"


class _Broken(ValueError):
    """A file that is not a model this reader can trust; the message says why."""


def load(path, *, verify: bool = True):
    """Reads a model written by `save` and returns the fitted estimator.

    Raises ValueError, naming the file and what is wrong with it, for a file that is
    truncated, not JSON, not a qor model, written by a newer version, changed after
    it was saved (its content no longer matches its digest), or whose fields do not
    describe a model this package could have fitted. OSError (a missing or unreadable
    file) passes through. Nothing the file holds makes the reader allocate out of
    proportion to the file's size.

    verify=False skips the digest alone, for a file changed on purpose: every other
    check still applies, and `save` seals the model again
    (`save(load(path, verify=False), path)`). Files of version 1 have no digest.
    """
    with open(path, "rb") as file:
        data = file.read()
    try:
        document = json.loads(data.decode("utf-8"), parse_constant=_refuse_constant)
    except RecursionError:
        raise ValueError(f"{os.fspath(path)}: not a qor model file: nested deeper than "
                         "any model") from None
    except (UnicodeDecodeError, ValueError) as error:
        raise ValueError(f"{os.fspath(path)}: not a qor model file: truncated or not JSON "
                         f"({error})") from None
    try:
        return _estimator(document, len(data), verify)
    except _Broken as error:
        raise ValueError(f"{os.fspath(path)}: {error}") from None


def _refuse_constant(name: str):
    raise ValueError(f"{name} is not a number JSON allows")


def _estimator(document, file_bytes: int, verify: bool):
    if not isinstance(document, dict) or document.get("format") != FORMAT:
        raise _Broken(f'not a qor model file (no "format": "{FORMAT}")')
    version = document.get("version")
    if type(version) is not int or version < 1:
        raise _Broken(f"not a qor model file: bad version {_shown(version)}")
    if version > FORMAT_VERSION:
        raise _Broken(f"written by a newer qor (format version {_shown(version)}); this qor "
                      f"reads versions up to {FORMAT_VERSION}")
    if _nesting(document) > _DEEPEST_NESTING:
        raise _Broken("not a qor model file: nested deeper than any model")
    sealed = version >= SEALED_SINCE
    unknown = set(document) - _FIELDS - ({"digest"} if sealed else set())
    if unknown:
        raise _Broken(f"unknown fields {_shown(sorted(unknown))} for format version {version}")
    try:
        canonical = _canonical(document)
    except ValueError:
        raise _Broken("a number is too large for a double") from None
    if sealed and verify and document.get("digest") != _digest(canonical):
        raise _Broken("changed after it was saved: its content does not match its digest "
                      "(to keep a change made on purpose, seal the file again: "
                      "qor.save(qor.load(path, verify=False), path))")

    budget = _Budget(_string_budget(file_bytes))
    cls = ESTIMATORS.get(_field(document, "estimator", str))
    if cls is None:
        raise _Broken(f"unknown estimator {_shown(document['estimator'])}; expected one of "
                      f"{', '.join(ESTIMATORS)}")
    params = _field(document, "params", dict)
    try:
        estimator = cls(**{name: _param(name, value, budget) for name, value in params.items()})
        estimator._validate_params()
    except (TypeError, ValueError) as error:
        raise _Broken(f"bad params: {error}") from None
    # Prediction hands n_jobs to the core, which counts threads in 32 bits.
    if estimator.n_jobs is not None and not -2**31 <= estimator.n_jobs < 2**31:
        raise _Broken(f"bad params: n_jobs {_shown(estimator.n_jobs)} is out of range")

    n_features = _field(document, "n_features_in", int)
    if n_features < 1:
        raise _Broken(f"n_features_in must be at least 1, got {_shown(n_features)}")
    names = document.get("feature_names_in")
    if names is not None:
        if (not isinstance(names, list) or len(names) != n_features
                or not all(isinstance(n, str) for n in names)):
            raise _Broken(f"feature_names_in must be {n_features} strings")
        estimator.feature_names_in_ = np.array(names, dtype=object)
    estimator.n_features_in_ = n_features
    estimator.categories_ = _categories(_field(document, "categories", list), n_features,
                                        budget)
    estimator.is_categorical_ = np.array([c is not None for c in estimator.categories_])
    estimator._keep_lookups()

    classes = document.get("classes")
    several = version >= SEVERAL_OUTPUTS_SINCE and isinstance(
        _field(document, "tree", dict).get("n_classes"), list)
    if cls is QORClassifier:
        if several:
            if not isinstance(classes, list) or len(classes) < 2:
                raise _Broken("classes of several outputs must be a list of at least two "
                              "labels objects, one per output")
            estimator.classes_ = [_classes(c, budget) for c in classes]
            estimator.n_classes_ = np.array([c.size for c in estimator.classes_], dtype=np.intp)
        else:
            estimator.classes_ = _classes(classes, budget)
            estimator.n_classes_ = estimator.classes_.size
    elif classes is not None:
        raise _Broken("a regressor has no classes")

    if cls is QORClassifier:
        n_classes = estimator.n_classes_.tolist() if several else estimator.n_classes_
    else:
        n_classes = [1] * len(document["tree"]["n_classes"]) if several else 1
    if estimator.shrinkage != 0 and version < SHRUNK_SINCE:
        raise _Broken(f"shrinkage needs format version {SHRUNK_SINCE}; the file says "
                      f"{version}")
    tree = _tree(_field(document, "tree", dict), estimator.categories_, n_classes,
                 classifier=cls is QORClassifier, shrinkage=estimator.shrinkage)
    estimator.n_outputs_ = tree.n_outputs
    pairs = _field(document, "depth_features", list)
    if not all(isinstance(p, list) and len(p) == 2 and all(type(v) is int for v in p)
               for p in pairs):
        raise _Broken("depth_features must be a list of [depth, feature] pairs of integers")
    if dict(map(tuple, pairs)) != depth_features(tree) or len(pairs) != len(dict(pairs)):
        raise _Broken("depth_features does not match the features the tree splits on")
    estimator.depth_features_ = depth_features(tree)
    estimator.tree_ = tree
    try:
        estimator.max_features_ = max_features(estimator, n_features) or n_features
    except ValueError as error:  # more than the features
        raise _Broken(f"bad params: {error}") from None
    return estimator


def _classes(document, budget: "_Budget") -> np.ndarray:
    """One output's classes_ from their labels object: distinct, ascending, not empty."""
    try:
        classes = _labels(document, budget=budget)
    except ValueError as error:
        raise _Broken(f"bad classes: {error}") from None
    if classes.size < 1:
        raise _Broken("classes must be a non-empty list")
    # A fit leaves its classes sorted and distinct (labels of one kind, so they sort).
    try:
        ordered = np.unique(classes)
    except TypeError:
        ordered = None
    if ordered is None or not np.array_equal(ordered, classes):
        raise _Broken("classes must be distinct labels of one kind, in ascending order")
    return classes


def _nesting(document) -> int:
    """How deep lists and objects nest in `document` (1: nothing inside it nests),
    counted without recursion up to one level past _DEEPEST_NESTING."""
    deepest, pending = 1, [(document, 1)]
    while pending and deepest <= _DEEPEST_NESTING:
        value, depth = pending.pop()
        deepest = max(deepest, depth)
        inside = value.values() if isinstance(value, dict) else value
        pending += [(v, depth + 1) for v in inside if isinstance(v, (list, dict))]
    return deepest


def _field(document: dict, name: str, kind: type):
    value = document.get(name)
    if type(value) is not kind:
        raise _Broken(f'"{name}" must be a JSON {_JSON_NAMES[kind]}')
    return value


_JSON_NAMES = {str: "string", dict: "object", int: "integer", list: "array"}


def _categories(entries: list, n_features: int, budget: _Budget) -> list:
    """categories_ from the document's per-feature entries: None for a numeric feature."""
    if len(entries) != n_features:
        raise _Broken(f"categories must hold {n_features} entries, one per feature; "
                      f"it holds {len(entries)}")
    categories = []
    for j, entry in enumerate(entries):
        if entry is None:
            categories.append(None)
            continue
        if not isinstance(entry, dict) or set(entry) != {"dtype", "values"}:
            raise _Broken(f'categories of feature {j} must be null or hold "dtype" and "values"')
        try:
            values = _labels(entry, f"categories of feature {j}", budget)
        except ValueError as error:
            raise _Broken(f"bad categories: {error}") from None
        # Codes number distinct values; a repeated one would make the mapping ambiguous.
        if len(set(values.tolist())) != values.size:
            raise _Broken(f"categories of feature {j} must be distinct")
        categories.append(values)
    return categories


def _tree(document: dict, categories: list, n_classes, *, classifier: bool,
          shrinkage: float) -> Tree:
    """n_classes: an int for one output, or each output's classes (a list). With
    shrinkage, "value" must be "raw_value" shrunk by it, to the bit."""
    n_features = len(categories)
    several = isinstance(n_classes, list)
    expected = {"n_classes", *_ARRAYS, "categories_left"} | (
        {"raw_value"} if shrinkage else set())
    if set(document) != expected:
        missing, extra = expected - set(document), set(document) - expected
        raise _Broken(f"tree fields differ: missing {sorted(missing)}, unknown {sorted(extra)}")
    given = document["n_classes"]
    if given != n_classes or (type(given) is not int and not (
            several and all(type(c) is int for c in given))):
        raise _Broken(f"tree n_classes is {_shown(given)}, expected {n_classes}")
    if several and len(n_classes) < 2:
        raise _Broken("tree n_classes of several outputs must list at least two")
    outputs, width = (len(n_classes), max(n_classes)) if several else (1, n_classes)
    left = document["children_left"]
    n = len(left) if isinstance(left, list) else 0
    if n < 1:
        raise _Broken("tree.children_left must be a non-empty array")
    # Categorical splits have a null threshold; _categorical_splits checks where they are.
    thresholds = document["threshold"]
    no_threshold = np.array([v is None for v in thresholds] if isinstance(thresholds, list)
                            else [], dtype=bool)
    if no_threshold.any():
        document = {**document, "threshold": [0.0 if v is None else v for v in thresholds]}
    arrays = {name: _array(document, name, n) for name in _ARRAYS if name != "value"}
    arrays["threshold"][no_threshold] = np.nan
    for name in ("value", "raw_value") if shrinkage else ("value",):
        arrays[name] = _values(document[name], f"tree.{name}", n, outputs if several else 0,
                               width)
    # The shares checked below are the nodes' own (raw_value's, with shrinkage); the
    # shrunk values stored are checked against them once the tree is made.
    stored = None
    if shrinkage:
        stored, arrays["value"] = arrays["value"], arrays.pop("raw_value")

    left, right = arrays["children_left"], arrays["children_right"]
    leaf = left == TREE_LEAF
    if not np.array_equal(right == TREE_LEAF, leaf):
        raise _Broken("children_left and children_right disagree on which nodes are leaves")
    # Breadth first, the children of the inner nodes, taken in node order, are exactly
    # the nodes 1, 2, ..., n - 1: this also rules out cycles, shared and unreached nodes.
    inner = np.flatnonzero(~leaf)
    if 2 * inner.size + 1 != n:
        raise _Broken(f"a tree with {inner.size} splits has {2 * inner.size + 1} nodes, "
                      f"but the arrays hold {n}")
    children = np.column_stack([left[inner], right[inner]])
    expected = np.arange(1, n).reshape(-1, 2)
    wrong = np.flatnonzero((children != expected).any(axis=1))
    if wrong.size:
        k = wrong[0]
        raise _Broken(f"node {inner[k]} has children {children[k].tolist()}, but numbered "
                      f"breadth first they would be {expected[k].tolist()}")
    feature, threshold = arrays["feature"], arrays["threshold"]
    if np.any(feature[leaf] != TREE_UNDEFINED) or np.any(threshold[leaf] != TREE_UNDEFINED):
        raise _Broken(f"a leaf's feature and threshold must be {TREE_UNDEFINED}")
    outside = ~leaf & ((feature < 0) | (feature >= n_features))
    if outside.any():
        node = int(np.flatnonzero(outside)[0])
        raise _Broken(f"node {node} splits on feature {feature[node]}, outside "
                      f"0..{n_features - 1}")
    arrays["categories_left"] = _categorical_splits(document["categories_left"], arrays,
                                                    categories)
    counts = arrays["n_node_samples"]
    if np.any(counts < 0) or np.any(counts[~leaf] != counts[left[~leaf]] + counts[right[~leaf]]):
        raise _Broken("n_node_samples do not add up: each inner node holds its children's rows")
    weight = arrays["weighted_n_node_samples"]
    if np.any(weight < 0) or (classifier and np.any(arrays["value"] < 0)):
        raise _Broken("weights and class shares cannot be negative")
    if classifier:
        # Each output's shares add up to 1 (an output's classes past its own are 0).
        shares = arrays["value"].reshape(n, outputs, width)
        for k, classes in enumerate(n_classes if several else [n_classes]):
            if several and np.any(shares[:, k, classes:] != 0):
                raise _Broken(f"output {k} has {classes} classes, but its shares name more")
            sums = shares[:, k].sum(axis=1)
            rows = np.minimum(counts, _MOST_ROWS) + width
            wrong = np.flatnonzero(np.where(weight > 0,
                                            np.abs(sums - 1) > rows * _SHARE_ROUNDING,
                                            sums != 0))
            if wrong.size:
                node = int(wrong[0])
                raise _Broken(f"node {node}'s class shares add up to {float(sums[node])!r}, "
                              "not 1 (nor 0, as in a node without weight)")
    tree = Tree(n_features=n_features, n_classes=n_classes, **arrays)
    if stored is not None:
        tree = tree.shrunk(shrinkage)
        if not np.array_equal(tree.value.ravel(), stored):
            raise _Broken(f"tree.value is not tree.raw_value shrunk by shrinkage={shrinkage}")
    # Numbered breadth first, the inner nodes of one depth follow each other.
    inner_depth, inner_feature = tree.depth[~leaf], feature[~leaf]
    differs = np.flatnonzero((inner_depth[1:] == inner_depth[:-1])
                             & (inner_feature[1:] != inner_feature[:-1]))
    if differs.size:
        raise _Broken(f"the splits of depth {inner_depth[differs[0]]} do not share one feature")
    return tree


def _categorical_splits(pool, arrays: dict, categories: list) -> np.ndarray:
    """The tree's categories_left, once every node is found to split as its feature
    allows: categorical features by ascending, distinct codes of their own categories
    (threshold null), numeric ones by a threshold (an empty category range)."""
    if not isinstance(pool, list) or not all(type(c) is int for c in pool):
        raise _Broken("tree.categories_left must be an array of integers")
    start, end = arrays["category_start"], arrays["category_end"]
    outside = (start < 0) | (end < start) | (end > len(pool))
    if outside.any():
        node = int(np.flatnonzero(outside)[0])
        raise _Broken(f"node {node}'s categories [{start[node]}, {end[node]}) lie outside "
                      f"tree.categories_left, which holds {len(pool)}")
    # Each split has codes of its own: ranges that overlapped would let a small file
    # stand for many copies of its codes.
    ranged = np.flatnonzero(end > start)
    ranged = ranged[np.argsort(start[ranged], kind="stable")]
    overlap = np.flatnonzero(start[ranged[1:]] < end[ranged[:-1]])
    if overlap.size:
        a, b = sorted(ranged[overlap[0]:overlap[0] + 2].tolist())
        raise _Broken(f"nodes {a} and {b} share codes of tree.categories_left")
    feature, threshold = arrays["feature"], arrays["threshold"]
    leaf = arrays["children_left"] == TREE_LEAF
    for node in range(leaf.size):
        codes = pool[start[node]:end[node]]
        if leaf[node]:
            if codes:
                raise _Broken(f"leaf {node} has categories")
            continue
        values = categories[feature[node]]
        if values is None and codes:
            raise _Broken(f"node {node} splits numeric feature {feature[node]} by categories")
        if values is not None and not codes:
            raise _Broken(f"node {node} splits categorical feature {feature[node]} by a "
                          "threshold")
        if codes and not np.isnan(threshold[node]):
            raise _Broken(f"node {node} splits by categories, so its threshold must be null")
        if not codes and np.isnan(threshold[node]):
            raise _Broken(f"node {node} splits by a threshold, which must be a number")
        if codes and not 0 <= min(codes) <= max(codes) < len(values):
            raise _Broken(f"node {node} sends codes {codes} left, outside the "
                          f"{len(values)} categories of feature {feature[node]}")
        if any(a >= b for a, b in zip(codes, codes[1:])):
            raise _Broken(f"node {node}'s category codes {codes} are not ascending and distinct")
    # Pruning leaves the codes of the splits it removed; they are codes all the same.
    most = max((len(values) for values in categories if values is not None), default=0)
    if pool and not 0 <= min(pool) <= max(pool) < most:
        raise _Broken(f"tree.categories_left must hold category codes, 0..{most - 1}")
    return np.array(pool, dtype=np.float64)


def _values(value, name: str, n: int, outputs: int, width: int) -> np.ndarray:
    """A tree's node values, flat: n nodes of `width` numbers, or with several outputs
    (`outputs` > 0) n nodes of `outputs` rows of `width` numbers."""
    if outputs:
        if (not isinstance(value, list) or len(value) != n
                or not all(isinstance(node, list) and len(node) == outputs for node in value)):
            raise _Broken(f"{name} must hold {n} nodes of {outputs} rows")
        value = [row for node in value for row in node]
    rows = n * max(outputs, 1)
    if (not isinstance(value, list) or len(value) != rows
            or not all(isinstance(row, list) and len(row) == width for row in value)):
        raise _Broken(f"{name} must hold {rows} rows of {width} numbers")
    return _numbers(name, [v for row in value for v in row])


def _array(document: dict, name: str, n: int) -> np.ndarray:
    values = document[name]
    if not isinstance(values, list) or len(values) != n:
        raise _Broken(f"tree.{name} must be an array of {n} entries, one per node")
    if _ARRAYS[name] is np.intp:
        if not all(type(v) is int for v in values):
            raise _Broken(f"tree.{name} must hold integers")
        if any(abs(v) > 2**62 for v in values):
            raise _Broken(f"tree.{name} holds an integer out of range")
        return np.array(values, dtype=np.intp)
    return _numbers(f"tree.{name}", values)


def _numbers(name: str, values: list) -> np.ndarray:
    if not all(type(v) is float and math.isfinite(v) or type(v) is int and abs(v) <= 2**53
               for v in values):
        raise _Broken(f"{name} must hold finite numbers")
    return np.array(values, dtype=np.float64)
