"""qor's estimators fitted on Dask collections spread over a dask.distributed cluster::

    from dask.distributed import Client
    import qor.dask
    from qor import QORClassifier

    client = Client()                                  # or Client("tcp://scheduler:8786")
    model = qor.dask.fit(QORClassifier(max_bins=255, max_depth=8), X, y)
    labels = qor.dask.predict(model, X)                # lazy, partition by partition

X is a Dask Array (of NumPy or scipy.sparse blocks) or DataFrame, y (and sample_weight) a
Dask Array or Series split into the same row blocks; several outputs are a 2-D y, or a
DataFrame of one column per output. The fit grows from bins, so the estimator needs
`max_bins`, and returns the estimator fitted as by its own `fit`: its `tree_`,
`depth_features_`, `bin_edges_` and the rest, so prediction, export, pictures, saving and
pruning work as after any fit.

How a fit runs, all on dask.distributed:

1. One map over the partitions reads each one into its row count, its labels
   (classifiers) and a quantile sketch per feature (a sample's values with their
   weights in rows, or every value with its count where a column has few), and a tree
   reduction merges them on the workers into one sketch of bounded size; from it the
   client places each feature's bin edges.
2. A second map bins each partition into a BinnedBlock (codes, targets, weights, and the
   node of every row), which stays in its worker's memory for the whole fit; the raw
   partition is dropped, so a table larger than memory fits through its bins.
3. Level by level: one map over the blocks adds their rows to per node, feature and bin
   histograms in the core (threads from n_jobs, the interpreter lock released), one tree
   reduction sums them on the workers, and only the sum reaches the client, where the
   BinnedGrower picks the level's feature and every node's cut; a second small map moves
   each block's rows to their children and returns per child the range of its targets.

Tasks on a block run on the worker that holds it, one at a time and level after level.

On the same bin edges (`fit(..., bin_edges=model.bin_edges_)` takes them back, locally
or here) the tree does not depend on how the rows are partitioned: a classifier's class
counts add up exactly, so its tree is the local binned fit's to the bit; a regressor's
sums are added in another order, equal to the local ones up to rounding (exactly equal
for integer targets and weights).
"""

import functools
import uuid

import dask
import dask.array as da
import dask.dataframe as dd
import numpy as np
import pandas as pd
from dask.sizeof import sizeof
from distributed import default_client, wait
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import (_check_sample_weight, _get_feature_names, check_array,
                                      check_is_fitted, column_or_1d)

from . import _audit, _binned, _core, _growth, _sparse
from ._categories import encode, fit_encode
from .cv import QORClassifierCV, QORRegressorCV
from .estimators import QORClassifier

__all__ = ["fit", "predict", "predict_proba"]

# Rows sampled over all partitions to place the bin edges, as many as a local fit samples.
SAMPLE_ROWS = 200_000
# Candidates per feature that a scan keeps: a merged quantile sketch places each edge
# within about 1 / SKETCH_POINTS of the rows of its quantile per merge.
SKETCH_POINTS = 4096
# Partial results that one reduction task adds up.
SPLIT_EVERY = 8


@sizeof.register(_core.BinnedBlock)
def _sizeof_block(block) -> int:
    # What the worker's memory accounting and spilling see.
    return int(block.nbytes)


# ---- on the workers ---------------------------------------------------------------

def _parts(x_part, y_part, w_part):
    """A partition's features, targets and weights. A frame's y_part (a name, or a
    list of them for several outputs) and w_part may name its columns that hold them."""
    if isinstance(y_part, (str, list)):
        targets = [y_part] if isinstance(y_part, str) else y_part
        y_part, w_part = x_part[y_part], None if w_part is None else x_part[w_part]
        x_part = x_part.drop(columns=targets + [_W], errors="ignore")
    return x_part, y_part, w_part


def _columns(y, n_outputs: int) -> list:
    """Each output's targets: y itself for one output, its columns for several."""
    return [y] if n_outputs == 1 else list(y.T)


def _read(x_part, mask, categories, lenient):
    """A dense partition as a local fit reads its X: text columns other than the
    categorical ones (`mask`) as numbers, the categorical ones as codes. A partition
    of a sparse X (`mask` None) as it is."""
    if mask is None:
        return x_part
    return encode(_numbers(x_part, mask, lenient), mask, categories)


def _numbers(x_part, mask, lenient):
    """A dense partition with its text columns other than the categorical ones read
    as numbers."""
    if not isinstance(x_part, pd.DataFrame):
        x_part = np.asarray(x_part)
    return _audit.read_numbers(x_part, mask, lenient)


def _rows(x_part, y_part, w_part, n_features: int, classifies: bool, mask=None,
          categories=None, n_outputs=1, lenient=None):
    """One partition validated as a local fit validates its whole input, its
    categorical columns (`mask`) encoded by the fit's `categories` and its numbers held
    as text read as numbers (`lenient`: the columns named in numeric_features); y is
    1-D for one output, (rows, n_outputs) for several."""
    x_part, y_part, w_part = _parts(x_part, y_part, w_part)
    x_part = _read(x_part, mask, categories, lenient)
    if _sparse.issparse(x_part):  # before check_array, which would sum duplicates otherwise
        x_part = _sparse.canonical(x_part, by_column=True)
    X = check_array(x_part, dtype=np.float64, order="C", accept_sparse=["csc"],
                    ensure_all_finite="allow-nan", ensure_min_samples=0)
    # A block that came over the network may sit at an odd byte: the core reads
    # whole doubles, so such a block is copied.
    X = (_sparse.canonical(X, by_column=True) if _sparse.issparse(X) else
         np.require(X, requirements=["C", "A"]))
    if X.shape[1] != n_features:
        raise ValueError(f"a partition of X has {X.shape[1]} features, not {n_features}")
    y = np.asarray(y_part)
    if n_outputs == 1:
        y = column_or_1d(y, warn=False)
    elif y.ndim != 2 or y.shape[1] != n_outputs:
        raise ValueError(f"a partition of y has shape {y.shape}, not (rows, {n_outputs}): "
                         "every partition must hold all the outputs")
    if len(y) != X.shape[0]:
        raise ValueError(f"a partition of X has {X.shape[0]} rows but its part of y {len(y)}: "
                         "X, y and sample_weight must be split into the same row blocks")
    if classifies:
        if len(y):
            check_classification_targets(y)
    else:
        y = check_array(y, ensure_2d=False, dtype=np.float64, ensure_min_samples=0, copy=True)
    w = None
    if w_part is not None:
        w = np.asarray(w_part)
        if len(w) != X.shape[0]:
            raise ValueError(f"a partition of X has {X.shape[0]} rows but its part of "
                             f"sample_weight {len(w)}")
        w = _check_sample_weight(w, X, dtype=np.float64, ensure_non_negative=True, copy=True)
    return X, y, w


def _compress(values, weights, points):
    """At most about `points` weighted candidates from ascending distinct `values`:
    neighbours grouped into groups of about equal weight, each group standing at its
    largest value with the group's weight (so no edge placed on a candidate splits a
    group); a value heavier than a group keeps a point of its own."""
    if values.size <= points:
        return values, weights
    share = weights.sum() / points
    before = np.cumsum(weights) - weights
    heavy = weights >= share
    starts = np.ones(values.size, dtype=bool)
    starts[1:] = ((np.floor(before[1:] / share) > np.floor(before[:-1] / share))
                  | heavy[1:] | heavy[:-1])
    first = np.flatnonzero(starts)
    last = np.append(first[1:], values.size) - 1
    return values[last], np.add.reduceat(weights, first)


def _merge_candidates(parts, points):
    values = np.concatenate([p[0] for p in parts])
    weights = np.concatenate([p[1] for p in parts])
    distinct, inverse = np.unique(values, return_inverse=True)
    return _compress(distinct, np.bincount(inverse, weights=weights, minlength=distinct.size),
                     points)


def _sketch(X, max_bins, sample_rows, points, seed, numeric):
    """Per numeric feature (`numeric`; None for the others), weighted candidate values
    for the edges: every distinct value with its count where the whole column has at
    most max_bins of them, otherwise the values of a stratified sample of
    `sample_rows` rows, each standing for n / sample_rows rows, compressed to about
    `points` candidates. X holds the rows of positive weight only."""
    n = X.shape[0]
    s = min(n, sample_rows)
    sample = X
    if s < n:
        starts = np.arange(s, dtype=np.int64) * n // s
        ends = np.arange(1, s + 1, dtype=np.int64) * n // s
        sample = X[starts + np.random.default_rng(seed).integers(0, ends - starts)]
    sketch = []
    for f in range(X.shape[1]):
        if not numeric[f]:
            sketch.append(None)
            continue
        values, counts = _sparse.distinct_values(sample, f)
        weights = counts * (n / s) if s < n else counts.astype(np.float64)
        if s < n and values.size <= max_bins:
            # The sample may have missed values; the column itself tells.
            full, full_counts = _sparse.distinct_values(X, f)
            if full.size <= max_bins:
                values, weights = full, full_counts.astype(np.float64)
        sketch.append(_compress(values, weights, points))
    return sketch


def _facts(x_part, y_part, w_part, judged):
    """The audit's facts of a partition's columns `judged` (the others: None)."""
    x_part, _, _ = _parts(x_part, y_part, w_part)
    return [_audit.facts(x_part.iloc[:, j], sample=False, ids=_audit.asks_ids(name))
            if j in judged else None for j, name in enumerate(x_part.columns)]


def _merge_facts(*parts):
    return [None if f is None else _audit.merge([p[j] for p in parts])
            for j, f in enumerate(parts[0])]


def _scan(x_part, y_part, w_part, n_features, classifies, max_bins, sample_rows, points,
          seed, mask, n_outputs=1, lenient=None):
    """One partition's row count, each output's labels with their counts, categories
    of each categorical column (`mask`), and the sketch of its numeric columns."""
    x_part, y_part, w_part = _parts(x_part, y_part, w_part)
    found = None
    if mask is not None and mask.any():
        x_part, found = fit_encode(_numbers(x_part, mask, lenient), mask)
    else:
        x_part = _read(x_part, mask, None, lenient)
    X, y, w = _rows(x_part, y_part, w_part, n_features, classifies, n_outputs=n_outputs)
    labels = None
    if classifies:
        labels = []
        for column in _columns(y, n_outputs):
            values, counts = np.unique(column, return_counts=True)
            labels.append((values, counts.astype(np.float64)))
    numeric = np.ones(n_features, dtype=bool) if mask is None else ~mask
    # A row of weight 0 counts nowhere: it places no edge.
    weighed = X if w is None else X[w > 0]
    return {
        "rows": X.shape[0],
        "classes": labels,
        "categories": found,
        "sketch": (None if sample_rows is None else
                   _sketch(weighed, max_bins, sample_rows, points, seed, numeric)),
        "points": points,
    }


def _merge_scans(*parts):
    """Scans added up: rows, each output's labels with their counts, and each
    feature's candidates merged and compressed again, so that a merged scan stays as
    small as one."""
    first = parts[0]
    merged = {"rows": sum(p["rows"] for p in parts), "points": first["points"],
              "classes": None, "sketch": None, "categories": None}
    if first["classes"] is not None:
        merged["classes"] = [_merge_candidates([p["classes"][k] for p in parts], np.inf)
                             for k in range(len(first["classes"]))]
    if first["categories"] is not None:
        merged["categories"] = [
            None if c is None else _union([p["categories"][f] for p in parts])
            for f, c in enumerate(first["categories"])]
    if first["sketch"] is not None:
        merged["sketch"] = [
            None if s is None else
            _merge_candidates([p["sketch"][f] for p in parts], first["points"])
            for f, s in enumerate(first["sketch"])]
    return merged


def _union(categories):
    """The categories of several partitions as one fit of the whole would find them."""
    return np.asarray(pd.Categorical(np.concatenate(categories)).categories)


def _block(x_part, y_part, w_part, n_features, classes, class_weight, edges, n_jobs, mask,
           categories, criterion, n_outputs=1, lenient=None):
    """A partition binned. `classes` and `class_weight`: per output, a classifier's
    labels and (or None) their weights; the targets go to the core column after column."""
    X, y, w = _rows(x_part, y_part, w_part, n_features, classes is not None, mask, categories,
                    n_outputs, lenient)
    if criterion == "poisson" and np.any(y < 0):
        raise ValueError("criterion='poisson' needs targets >= 0 (counts or amounts); a "
                         f"partition holds {int(np.sum(y < 0))} negative values, the least "
                         f"{float(y.min())}. Use criterion='squared_error' for such targets.")
    if classes is not None:
        codes = [np.searchsorted(labels, column)
                 for labels, column in zip(classes, _columns(y, n_outputs))]
        y = np.concatenate(codes).astype(np.float64)
        if class_weight is not None:
            by_class = _growth.row_class_weights(class_weight, codes)
            w = by_class if w is None else w * by_class
    else:
        y = np.ascontiguousarray(y.T, dtype=np.float64).ravel()
    n_classes = 0 if classes is None else max(len(labels) for labels in classes)
    if _sparse.issparse(X):
        X = _sparse.compressed(X, by_column=True)
    return _core.BinnedBlock(X, y, w, edges, n_classes, _core.thread_count(n_jobs), criterion,
                             n_outputs)


def _summary(block):
    totals, target = block.root()
    return totals, target, block.ranges()


def _histograms(block, first_node, slot, slots, n_jobs):
    return block.histograms(first_node, slot, slots, _core.thread_count(n_jobs))


def _route(block, routing, n_jobs):
    return block.route(**routing, n_threads=_core.thread_count(n_jobs))


def _merge_ranges(parts):
    """(lo, hi, nan) rows merged: exact in any order."""
    stacked = np.stack(parts)
    return np.column_stack([stacked[:, :, 0].min(axis=0), stacked[:, :, 1].max(axis=0),
                            stacked[:, :, 2].max(axis=0)])


def _add(*parts):
    total = parts[0].copy()
    for part in parts[1:]:
        total += part
    return total


def _merge_summaries(*parts):
    totals = _add(*(p[0] for p in parts))
    ranges = np.stack([p[2] for p in parts])
    merged = np.column_stack([ranges[:, :, 0].min(axis=0), ranges[:, :, 1].max(axis=0)])
    return totals, _merge_ranges([p[1] for p in parts]), merged


def _merge_routes(n_outputs, *parts):
    """Child rows (a child's sums, then the range of its targets per output) of
    several blocks: the sums added, the ranges merged."""
    width = parts[0].shape[1] - 3 * n_outputs
    merged = _merge_ranges([p[:, width:].reshape(-1, 3) for p in parts])
    return np.column_stack([_add(*(p[:, :width] for p in parts)),
                            merged.reshape(len(parts[0]), -1)])


# ---- on the client ----------------------------------------------------------------

# The columns a frame's targets and weights travel in, beside its features.
_Y, _W = "__qor_y", "__qor_w"


def _output_count(y) -> int:
    """Outputs of y: its columns (a 2-D Dask Array or a DataFrame), 1 for a 1-D y; a
    single column is one output, as in a local fit."""
    count = y.shape[1] if isinstance(y, da.Array) and y.ndim == 2 else (
        len(y.columns) if isinstance(y, dd.DataFrame) else 1)
    if count < 1:
        raise ValueError("y has no columns: give it one column per output")
    return count


def _partitions(X, y, sample_weight):
    """Delayed (X, y, weight) blocks of the same rows, the column count and names.
    A frame's targets and weights join its columns, so that one partition carries
    its rows whole; an array's are cut into its row blocks. Each task checks that
    its blocks hold the same number of rows."""
    if isinstance(X, dd.DataFrame):
        for v, name, kinds in ((y, "y", (dd.Series, dd.DataFrame)),
                               (sample_weight, "sample_weight", dd.Series)):
            if v is not None and not isinstance(v, kinds):
                raise TypeError(f"with X a Dask DataFrame, {name} must be a Dask Series"
                                f"{' (or DataFrame)' if name == 'y' else ''}; got "
                                f"{type(v).__name__}")
        names = _get_feature_names(X._meta)
        if isinstance(y, dd.DataFrame):
            targets = [f"{_Y}{k}" for k in range(len(y.columns))]
            joined = {t: y.iloc[:, k] for k, t in enumerate(targets)}
        else:
            targets, joined = _Y, {_Y: y}
        if sample_weight is not None:
            joined[_W] = sample_weight
        parts = list(X.assign(**joined).to_delayed())
        weights = None if sample_weight is None else _W
        return parts, [targets] * len(parts), [weights] * len(parts), len(X.columns), names
    if not isinstance(X, da.Array):
        raise TypeError("qor.dask takes X as a Dask Array or DataFrame; got "
                        f"{type(X).__name__} (fit a NumPy array or pandas frame locally)")
    if X.ndim != 2:
        raise ValueError(f"X must be 2-d; got a Dask Array of {X.ndim} dimensions")
    X = X.rechunk({1: -1})
    blocks = []
    for v, name in ((y, "y"), (sample_weight, "sample_weight")):
        # y may hold several outputs, one column each; weights are one per row.
        columns = name == "y" and isinstance(v, da.Array) and v.ndim == 2
        if v is None:
            blocks.append([None] * len(X.chunks[0]))
        elif isinstance(v, da.Array) and (v.ndim == 1 or v.shape[1:] == (1,) or columns):
            v = v.reshape(-1) if v.ndim == 2 and v.shape[1] == 1 else v
            if v.shape[0] != X.shape[0]:
                raise ValueError(f"X has {X.shape[0]} rows but {name} has {v.shape[0]}")
            chunks = (X.chunks[0],) if v.ndim == 1 else (X.chunks[0], -1)
            blocks.append(list(v.rechunk(chunks).to_delayed().ravel()))
        else:
            shape = "a 1-d or 2-d" if name == "y" else "a 1-d"
            raise TypeError(f"with X a Dask Array, {name} must be {shape} Dask Array; "
                            f"got {type(v).__name__}")
    return list(X.to_delayed().ravel()), blocks[0], blocks[1], X.shape[1], None


def _reduce(client, futures, combine, name):
    """Adds up the futures' results on the workers, SPLIT_EVERY at a time in a fixed
    order, and brings only the total to the client."""
    level = 0
    while len(futures) > 1:
        futures = [client.submit(combine, *futures[i:i + SPLIT_EVERY],
                                 key=f"{name}-reduce-{level}-{i}")
                   for i in range(0, len(futures), SPLIT_EVERY)]
        level += 1
    return futures[0].result()


def fit(estimator, X, y, sample_weight=None, *, bin_edges=None, client=None):
    """Fits a QORClassifier or QORRegressor with `max_bins` set on Dask collections.

    X: a Dask Array (n_samples, n_features), of NumPy or scipy.sparse blocks (a sparse
    block keeps bin codes for its stored values only), or DataFrame (NaN is a missing value;
    categorical columns are found by the estimator's categorical_features, as in a
    local fit, and their categories learned over all partitions); y, sample_weight: a
    Dask Array or Series in the same row blocks, y (n_samples,) or, for several
    outputs, a 2-D Dask Array (n_samples, n_outputs) or a Dask DataFrame of one
    column per output (with X a DataFrame).
    bin_edges: grow from these bins (one array of upper edges per feature, such as
    another binned fit's `bin_edges_`) instead of quantiles of a sample of X.
    client: the dask.distributed Client to run on; the default client if None.
    Returns the estimator, fitted in place.
    """
    if isinstance(estimator, (QORClassifierCV, QORRegressorCV)):
        raise TypeError("qor.dask fits one tree of given parameters, not a cross-validated "
                        "search: choose them with the search on a sample that fits in "
                        "memory, then fit its best_estimator_ (with max_bins set) here")
    estimator._validate_params()
    if estimator.max_bins is None:
        raise ValueError("qor.dask fits grow from bins: set the estimator's max_bins "
                         "(255 is a good start)")
    _binned.check(estimator, on_dask=True)
    if estimator.search == "lookahead":
        raise ValueError("search='lookahead' cannot fit on Dask: every partial tree of its beam "
                         "would need its own pass over all blocks at every level, and its "
                         "inner cross-validation more. Fit with search='greedy' here (or "
                         "level_score='weighted'), or fit lookahead locally on a sample.")
    n_outputs = _output_count(y)
    client = client or default_client()
    classifies = isinstance(estimator, QORClassifier)
    parts, ys, ws, n_features, names = _partitions(X, y, sample_weight)
    meta = X._meta if isinstance(X, dd.DataFrame) else np.empty((0, n_features))
    if isinstance(X, da.Array) and _sparse.issparse(X._meta):
        _sparse.refuse_categories(_audit.declared_mask(
            estimator.categorical_features, list(range(n_features)), "categorical_features"))
    mask = lenient = None
    token = uuid.uuid4().hex[:12]
    if not (isinstance(X, da.Array) and _sparse.issparse(X._meta)):
        mask, lenient = _judged(client, estimator, meta, parts, ys, ws, token)
    # 1. Row counts, labels, categories and the candidates that place the edges, merged
    # on the workers: the client receives one scan, of about SKETCH_POINTS values per
    # numeric feature.
    per_part = None if bin_edges is not None else -(-SAMPLE_ROWS // len(parts))
    scanned = _reduce(client, client.compute([
        dask.delayed(_scan)(x, yp, wp, n_features, classifies, estimator.max_bins, per_part,
                            SKETCH_POINTS, i, mask, n_outputs, lenient,
                            dask_key_name=f"qor-scan-{token}-{i}")
        for i, (x, yp, wp) in enumerate(zip(parts, ys, ws))]), _merge_scans, f"qor-scan-{token}")
    n_rows = scanned["rows"]
    if n_rows == 0:
        raise ValueError("Found array with 0 sample(s) while a minimum of 1 is required.")
    categories = scanned["categories"]
    for f in [] if categories is None else np.flatnonzero(mask):
        # A category column whose categories Dask knows keeps them, in their order.
        column = X.iloc[:, f] if isinstance(X, dd.DataFrame) else None
        if column is not None and isinstance(column.dtype, pd.CategoricalDtype) and (
                column.cat.known):
            categories[f] = np.asarray(column.dtype.categories)
    classes = class_weight = None
    n_classes = 0
    if classifies:
        classes = [labels for labels, _ in scanned["classes"]]
        class_weight = _growth.output_class_weights(
            estimator.class_weight, classes, [counts for _, counts in scanned["classes"]])
        n_classes = (len(classes[0]) if n_outputs == 1 else
                     np.array([len(labels) for labels in classes], dtype=np.intp))
    is_categorical = np.zeros(n_features, dtype=bool) if mask is None else mask
    # What the tree cannot grow from (several outputs under poisson, say) is refused
    # here, before any partition is binned.
    params = _growth.tree_params(estimator, n_rows, n_classes, is_categorical, n_outputs)
    if bin_edges is not None:
        edges = _binned.edge_arrays(bin_edges, n_features, categories)
    else:
        edges = [_binned.category_edges(len(categories[f])) if sketch is None else
                 _core.edges_from_candidates(*sketch, estimator.max_bins)
                 for f, sketch in enumerate(scanned["sketch"])]

    # 2. Every partition binned into a block that stays where it is.
    # Threads per task, counted on the worker that runs it.
    n_jobs = 1 if estimator.n_jobs is None else estimator.n_jobs
    [shared_edges] = client.scatter([edges], broadcast=True)
    blocks = client.compute([
        dask.delayed(_block)(x, yp, wp, n_features, classes, class_weight, shared_edges, n_jobs,
                             mask, categories, _growth.criterion(estimator), n_outputs,
                             lenient, dask_key_name=f"qor-block-{token}-{i}")
        for i, (x, yp, wp) in enumerate(zip(parts, ys, ws))])
    wait(blocks)

    estimator.n_features_in_ = n_features
    estimator.n_outputs_ = n_outputs
    if names is not None:
        estimator.feature_names_in_ = names
    elif hasattr(estimator, "feature_names_in_"):
        del estimator.feature_names_in_
    estimator.is_categorical_ = is_categorical
    estimator.categories_ = [None] * n_features if categories is None else categories
    if classifies:
        estimator.classes_ = classes[0] if n_outputs == 1 else classes
        estimator.n_classes_ = n_classes
    tree = _grow(client, blocks, edges, params, token, n_jobs,
                 weighted=sample_weight is not None or class_weight is not None)
    del blocks, shared_edges  # released: the cluster forgets the blocks
    estimator.bin_edges_ = edges
    _growth.install(estimator, tree, n_classes)
    return estimator


def _judged(client, estimator, meta, parts, ys, ws, token):
    """The audit of X over all its partitions, as a local fit of the whole table would
    judge it: (the categorical columns, the columns named in numeric_features). A
    frame's columns are judged in a pass of their own, whose facts add up on the
    workers; an array of numbers needs none."""
    categorical, numeric = estimator.categorical_features, estimator.numeric_features
    if not isinstance(meta, pd.DataFrame):
        decision = _audit.decide_table(meta, categorical, numeric)
    else:
        names = _audit.names_of(meta)
        judged = set(np.flatnonzero(~_audit.unjudged(meta, categorical, numeric)).tolist())
        facts = [None] * len(names)
        if judged:
            facts = _reduce(client, client.compute([
                dask.delayed(_facts)(x, yp, wp, judged, dask_key_name=f"qor-audit-{token}-{i}")
                for i, (x, yp, wp) in enumerate(zip(parts, ys, ws))]), _merge_facts,
                f"qor-audit-{token}")
        verdicts = [None if f is None else _audit.judge(f, name) for f, name in zip(facts, names)]
        decision = _audit.decide(verdicts, names, categorical, numeric)
    if decision.refused:
        raise ValueError(_audit.refusal(decision))
    return decision.categorical, decision.numeric


def _grow(client, blocks, edges, params, token, n_jobs, weighted):
    """The level loop: histograms map and reduce, the grower's choice, rows moved on."""
    # Tasks on a block run where the block is (a block that failed has no home, and
    # its error comes back with the first result that needs it).
    where = client.who_has(blocks)
    home = [list(where.get(b.key, ())) or None for b in blocks]

    def each_block(function, *args, name):
        return [client.submit(function, b, *args, workers=w, allow_other_workers=False,
                              key=f"{name}-{i}")
                for i, (b, w) in enumerate(zip(blocks, home))]

    totals, target, ranges = _reduce(
        client, each_block(_summary, name=f"qor-summary-{token}"), _merge_summaries,
        f"qor-summary-{token}")
    grower = _core.BinnedGrower(edges, params, weighted, totals, target)
    if weighted:
        _growth.check_total_weight(grower.root_weight)
    level = 0
    while grower.next_level():
        first_node, slot, slots = grower.build_slots()
        name = f"qor-histograms-{token}-{level}"
        grower.add_histograms(_reduce(
            client, each_block(_histograms, first_node, slot, slots, n_jobs,
                               name=name), _add, name))
        if not grower.choose(ranges):
            break
        name = f"qor-route-{token}-{level}"
        grower.finish_level(_reduce(
            client, each_block(_route, grower.routing(), n_jobs, name=name),
            functools.partial(_merge_routes, params.n_outputs), name))
        level += 1
    return grower.take_tree()


def _predict_block(X, estimator, method):
    out = getattr(estimator, method)(X)
    # Several outputs' class shares travel side by side, one array per partition,
    # which each output's collection then slices.
    return np.hstack(out) if isinstance(out, list) else out


def _predict_frame(X, estimator, method, columns):
    out = _predict_block(X, estimator, method)
    if columns is None:
        return pd.Series(out, index=X.index)
    return pd.DataFrame(out, index=X.index, columns=columns)


def _output_frame(shares, start, stop, columns):
    """One output's class shares, out of every output's side by side."""
    return shares.iloc[:, start:stop].set_axis(columns, axis=1)


def _label_dtype(estimator) -> np.dtype:
    """The dtype of a classifier's `predict`: its labels', or with several outputs one
    that holds every output's labels, as the estimator's own predict chooses it."""
    if estimator.n_outputs_ == 1:
        return estimator.classes_.dtype
    try:
        return np.result_type(*estimator.classes_)
    except TypeError:
        return np.dtype(object)


def _map(estimator, X, method, dtype, columns):
    """The estimator's `method` over X's partitions: for an Array, a Dask Array in X's
    row blocks, 1-D when `columns` is None, else of len(columns) columns; for a
    DataFrame, a Series, or a DataFrame with these columns."""
    if isinstance(X, da.Array):
        X = X.rechunk({1: -1})
        if columns is None:
            return X.map_blocks(_predict_block, estimator, method, drop_axis=1, dtype=dtype,
                                meta=np.empty(0, dtype))
        width = len(columns)
        return X.map_blocks(_predict_block, estimator, method, dtype=dtype,
                            chunks=(X.chunks[0], (width,)), meta=np.empty((0, width), dtype))
    if isinstance(X, dd.DataFrame):
        meta = (pd.Series(np.empty(0, dtype)) if columns is None else
                pd.DataFrame(np.empty((0, len(columns)), dtype), columns=columns))
        return X.map_partitions(_predict_frame, estimator, method, columns, meta=meta)
    raise TypeError(f"qor.dask predicts on a Dask Array or DataFrame; got {type(X).__name__}")


def predict(estimator, X):
    """The estimator's `predict`, partition by partition: a lazy Dask Array (for an
    Array) or Series (for a DataFrame) in X's row blocks; with several outputs, of
    n_outputs_ columns (a DataFrame's named 0, 1, ...)."""
    check_is_fitted(estimator)
    outputs = getattr(estimator, "n_outputs_", 1)
    dtype = (_label_dtype(estimator) if isinstance(estimator, QORClassifier) else
             np.dtype(np.float64))
    return _map(estimator, X, "predict", dtype, None if outputs == 1 else list(range(outputs)))


def predict_proba(estimator, X):
    """A classifier's `predict_proba`, partition by partition: a lazy Dask Array of
    shape (n_samples, n_classes_), or a DataFrame with one column per class; with
    several outputs, a list of one such collection per output. The outputs share
    one prediction per partition when computed together (`dask.compute(*proba)`)."""
    check_is_fitted(estimator)
    if getattr(estimator, "n_outputs_", 1) == 1:
        return _map(estimator, X, "predict_proba", np.dtype(np.float64),
                    list(estimator.classes_))
    widths = [len(labels) for labels in estimator.classes_]
    shares = _map(estimator, X, "predict_proba", np.dtype(np.float64), list(range(sum(widths))))
    bounds = np.cumsum([0, *widths]).tolist()
    if isinstance(shares, da.Array):
        return [shares[:, start:stop] for start, stop in zip(bounds, bounds[1:])]
    return [shares.map_partitions(_output_frame, start, stop, list(labels),
                                  meta=pd.DataFrame(np.empty((0, stop - start)),
                                                    columns=list(labels)))
            for start, stop, labels in zip(bounds, bounds[1:], estimator.classes_)]
