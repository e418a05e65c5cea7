"""qor.dask on a LocalCluster of worker processes: the same trees as the local binned
fit over any partitioning, what reaches the client, prediction on Dask collections."""

import pickle

import dask
import dask.array as da
import dask.dataframe as dd
import numpy as np
import pandas as pd
import pytest
from scipy import sparse
from distributed import Client, LocalCluster

import qor.dask
from qor import QORClassifier, QORRegressor, _core, _sparse

BINNED = [(QORClassifier, "gini"), (QORClassifier, "entropy"), (QORRegressor, "mse")]
IDS = [f"{cls.__name__}-{criterion}" for cls, criterion in BINNED]
ARRAYS = ["children_left", "feature", "threshold", "value", "impurity", "gain",
          "n_node_samples", "weighted_n_node_samples"]


@pytest.fixture(scope="module")
def client():
    # A port of its own: pytest-xdist's workers each start a cluster, and the scheduler's
    # HTTP server takes Dask's fixed port 8787 even without a dashboard.
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=":0") as cluster, Client(cluster) as client:
        yield client


def table(rng, cls, n=6000, d=4, few=False):
    """Features with NaN, integer weights (0 among them), and labels or integer targets,
    so that every sum is exact."""
    X = rng.integers(0, 9, size=(n, d)) * 0.5 if few else rng.normal(size=(n, d)).round(3)
    X[rng.random(X.shape) < 0.05] = np.nan
    signal = np.nan_to_num(X[:, 0], nan=2.0) + rng.normal(size=n)
    y = np.digitize(signal, [0.0, 1.5]) if cls is QORClassifier else np.round(signal * 4)
    return X, y, rng.integers(0, 4, size=n).astype(np.float64)


def several(rng, cls, n_outputs, n=6000):
    """table() with n_outputs columns of y, each output led by a feature of its own."""
    X, y, w = table(rng, cls, n=n)
    columns = [y]
    for k in range(1, n_outputs):
        signal = np.nan_to_num(X[:, k], nan=-1.0) + rng.normal(size=n)
        columns.append(np.digitize(signal, [0.5]) if cls is QORClassifier else
                       np.round(signal * 3))
    return X, np.column_stack(columns), w


def collections(X, y, w, partitioning, tmp_path):
    """X, y and w as Dask collections split into row blocks the same way; a 2-D y
    of a frame is a DataFrame of one column per output."""
    if partitioning in ("frame", "parquet"):
        frame = pd.DataFrame(X, columns=[f"f{i}" for i in range(X.shape[1])])
        targets = ["y"] if y.ndim == 1 else [f"y{k}" for k in range(y.shape[1])]
        for k, name in enumerate(targets):
            frame[name] = y if y.ndim == 1 else y[:, k]
        frame["w"] = w
        data = dd.from_pandas(frame, npartitions=5, sort=False)
        if partitioning == "parquet":
            data.to_parquet(tmp_path / "table")
            data = dd.read_parquet(tmp_path / "table")
        return (data[list(frame.columns[:X.shape[1]])],
                data["y"] if y.ndim == 1 else data[targets], data["w"])
    chunks = {"one": len(X), "uneven": (700, 1300, 2500, len(X) - 4500), "many": 400,
              "sparse": 900}
    blocks = tuple(da.from_array(v, chunks=(chunks[partitioning],) + v.shape[1:])
                   for v in (X, y, w))
    if partitioning == "sparse":
        blocks = (da.from_array(sparse.csr_matrix(X), chunks=(900, X.shape[1]), asarray=False),
                  *blocks[1:])
    return blocks


def assert_same_tree(a, b, engines_agree=True):
    """Node for node, to the bit; another engine (exact growth) may reach the gains by
    other sums, and then they agree up to rounding."""
    for name in ARRAYS if engines_agree else [n for n in ARRAYS if n != "gain"]:
        assert getattr(a.tree_, name).tobytes() == getattr(b.tree_, name).tobytes(), name
    assert np.allclose(a.tree_.gain, b.tree_.gain, rtol=1e-12, atol=1e-15)
    assert a.depth_features_ == b.depth_features_


@pytest.mark.parametrize("cls, criterion", BINNED, ids=IDS)
@pytest.mark.parametrize("partitioning", ["one", "uneven", "many", "frame", "parquet"])
def test_any_partitioning_grows_the_local_binned_tree(client, rng, tmp_path, cls, criterion,
                                                      partitioning):
    X, y, w = table(rng, cls)
    extra = dict(class_weight={0: 2, 1: 1, 2: 3}) if cls is QORClassifier else {}
    model = cls(criterion=criterion, max_depth=6, max_bins=48, min_weight_fraction_leaf=0.01,
                **extra)
    fitted = qor.dask.fit(model, *collections(X, y, w, partitioning, tmp_path))
    assert fitted is model and model.tree_.node_count > 40
    assert all(e.size <= 48 for e in model.bin_edges_)
    local = cls(**model.get_params()).fit(X, y, w, bin_edges=model.bin_edges_)
    assert_same_tree(model, local)
    if partitioning in ("frame", "parquet"):
        assert list(model.feature_names_in_) == ["f0", "f1", "f2", "f3"]


@pytest.mark.parametrize("cls, criterion", BINNED, ids=IDS)
@pytest.mark.parametrize("partitioning, n_outputs",
                         [("uneven", 3), ("frame", 2), ("sparse", 2), ("many", 1)])
def test_several_outputs_grow_the_local_binned_tree(client, rng, tmp_path, cls, criterion,
                                                    partitioning, n_outputs):
    # One output is y as a single column, which fits as a 1-D y does. Sparse
    # partitions grow the tree of the same rows made dense.
    X, Y, w = several(rng, cls, n_outputs)
    if partitioning == "sparse":
        X[rng.random(X.shape) < 0.6] = 0.0
    extra = {}
    if cls is QORClassifier:
        per_output = [{0: 2, 1: 1, 2: 3}] + [{0: 1, 1: 3}] * (n_outputs - 1)
        extra = dict(class_weight=per_output if n_outputs > 1 else per_output[0])
    model = cls(criterion=criterion, max_depth=6, max_bins=48, min_weight_fraction_leaf=0.01,
                **extra)
    qor.dask.fit(model, *collections(X, Y, w, partitioning, tmp_path))
    local = cls(**model.get_params()).fit(X, Y, w, bin_edges=model.bin_edges_)
    assert_same_tree(model, local)
    assert model.n_outputs_ == n_outputs and model.tree_.node_count > 30
    assert model.tree_.value.shape[1] == n_outputs
    if cls is QORClassifier:
        labels = [model.classes_] if n_outputs == 1 else model.classes_
        local_labels = [local.classes_] if n_outputs == 1 else local.classes_
        assert [c.tolist() for c in labels] == [c.tolist() for c in local_labels]
        assert np.array_equal(model.n_classes_, local.n_classes_)


def test_balanced_class_weight_counts_each_output_over_all_partitions(client, rng):
    X, Y, w = several(rng, QORClassifier, 2)
    Y[-40:, 1] = 2  # a class of the last partition only
    model = qor.dask.fit(QORClassifier(max_depth=5, max_bins=48, class_weight="balanced"),
                         *collections(X, Y, w, "uneven", None))
    local = QORClassifier(**model.get_params()).fit(X, Y, w, bin_edges=model.bin_edges_)
    assert model.n_classes_.tolist() == [3, 3]
    # Weights of n / (classes * count) are not whole: sums agree up to their order.
    for name in ["children_left", "feature", "threshold", "n_node_samples"]:
        assert getattr(model.tree_, name).tolist() == getattr(local.tree_, name).tolist()
    np.testing.assert_allclose(model.tree_.value, local.tree_.value, rtol=1e-12, atol=1e-15)
    np.testing.assert_allclose(model.tree_.weighted_n_node_samples,
                               local.tree_.weighted_n_node_samples, rtol=1e-12)


@pytest.mark.parametrize("cls, criterion", BINNED, ids=IDS)
def test_the_weighted_level_score_grows_the_local_binned_tree(client, rng, cls, criterion):
    # A small node that one feature splits cleanly, a large one that another helps a
    # little: the two level scores part ways.
    X, _, w = table(rng, cls)
    X = np.nan_to_num(X)
    y = np.where(X[:, 0] > 1.0, X[:, 1] > 0, X[:, 2] + 2 * rng.normal(size=len(X)) > 0)
    y = y.astype(int) if cls is QORClassifier else y.astype(float)
    model = qor.dask.fit(cls(criterion=criterion, max_depth=6, max_bins=48,
                             level_score="weighted"), *collections(X, y, w, "uneven", None))
    local = cls(**model.get_params()).fit(X, y, w, bin_edges=model.bin_edges_)
    assert_same_tree(model, local)
    plain = cls(**{**model.get_params(), "level_score": "sum"}).fit(
        X, y, w, bin_edges=model.bin_edges_)
    assert plain.depth_features_ != model.depth_features_


@pytest.mark.parametrize("cls, criterion", BINNED, ids=IDS)
def test_categories_are_learned_over_the_partitions(client, rng, cls, criterion):
    X, y, w = table(rng, cls, n=3000)
    frame = pd.DataFrame(X, columns=list("abcd"))
    frame["city"] = rng.choice(np.array(["Bergen", "Oslo", "Tromsø", "Trondheim", None],
                                        dtype=object), len(frame))
    y = y + 2 * frame["city"].isin(["Oslo", "Bergen"]).to_numpy()
    y = np.minimum(y, 2) if cls is QORClassifier else y
    data = dd.from_pandas(frame.assign(y=y, w=w), npartitions=4, sort=False)
    # Integer class weights keep every sum exact, in any order of addition.
    extra = dict(class_weight={0: 2, 1: 1, 2: 3}) if cls is QORClassifier else {}
    model = qor.dask.fit(cls(criterion=criterion, max_depth=5, max_bins=32, **extra),
                         data[list(frame.columns)], data["y"], data["w"])
    local = cls(**model.get_params()).fit(frame, y, w, bin_edges=model.bin_edges_)
    assert_same_tree(model, local)
    assert model.categories_[4].tolist() == ["Bergen", "Oslo", "Tromsø", "Trondheim"]
    assert model.is_categorical_.tolist() == [False] * 4 + [True]
    assert 4 in model.depth_features_.values()


@pytest.mark.parametrize("cls, criterion", BINNED, ids=IDS)
def test_fewer_values_than_bins_give_the_exact_tree(client, rng, monkeypatch, cls, criterion):
    # Partitions sample fewer rows than they hold, and then count their few values whole.
    monkeypatch.setattr(qor.dask, "SAMPLE_ROWS", 40)
    X, y, w = table(rng, cls, few=True)
    model = qor.dask.fit(cls(criterion=criterion, max_depth=7, max_bins=32),
                         *collections(X, y, w, "many", None))
    assert_same_tree(model, cls(criterion=criterion, max_depth=7).fit(X, y, w), False)


@pytest.mark.parametrize("cls, params", [
    (QORClassifier, dict(max_features=2, random_state=5, max_leaf_nodes=9)),
    (QORRegressor, dict(criterion="poisson", max_leaf_nodes=20)),
    (QORRegressor, dict(criterion="squared_error", min_category_samples=30,
                        category_smoothing=8.0, categorical_features=[1])),
    (QORClassifier, dict(ccp_alpha=1e-3, shrinkage=12.0)),
], ids=["drawn-features-and-budget", "poisson", "regularised-categories", "pruned-and-shrunk"])
def test_the_scikit_learn_parameters_grow_the_local_binned_tree(client, rng, cls, params):
    X, y, w = table(rng, cls, n=3000, few=True)
    if params.get("criterion") == "poisson":
        y = np.abs(y)
    model = qor.dask.fit(cls(max_depth=6, max_bins=32, **params),
                         *collections(X, y, w, "many", None))
    local = cls(**model.get_params()).fit(X, y, w, bin_edges=model.bin_edges_)
    if params.get("criterion") == "poisson":
        # Sums of y log y, added in another order over the partitions.
        for name in ["children_left", "feature", "threshold", "n_node_samples"]:
            assert getattr(model.tree_, name).tolist() == getattr(local.tree_, name).tolist()
        np.testing.assert_allclose(model.tree_.impurity, local.tree_.impurity, rtol=1e-9,
                                   atol=1e-12)
        assert (model.predict(X) > 0).all()
    else:
        assert_same_tree(model, local)
    if "max_leaf_nodes" in params:
        assert model.get_n_leaves() == params["max_leaf_nodes"]
    if "shrinkage" in params:
        assert model.tree_.is_shrunk
        assert model.tree_.raw_value.tobytes() == local.tree_.raw_value.tobytes()


def test_blocks_stay_on_their_workers_and_the_client_receives_sums_only(client, rng):
    X, y, w = table(rng, QORClassifier, n=200_000)
    client.run(lambda dask_worker: dask_worker.transfer_outgoing_log.clear())
    qor.dask.fit(QORClassifier(max_depth=5, max_bins=64),
                 *(da.from_array(v, chunks=50_000) for v in (X, y, w)))
    partition_bytes = 50_000 * X.shape[1] * 8
    logs = client.run(lambda dask_worker: list(dask_worker.transfer_outgoing_log))
    transfers = [t for log in logs.values() for t in log]
    moved = [key for t in transfers for key in t["keys"]]
    assert not [key for key in moved if str(key).startswith("qor-block")]
    to_client = [t for t in transfers if t["who"] is None]  # gathered through the scheduler
    kinds = {str(key).split("-")[1] for t in to_client for key in t["keys"]}
    assert kinds == {"scan", "summary", "histograms", "route"}
    # One total at a time, of a size set by nodes, features and bins, not by rows.
    assert all(len(t["keys"]) == 1 and t["total"] < partition_bytes / 4 for t in to_client)


@pytest.mark.parametrize("kind", ["array", "frame"])
def test_prediction_maps_over_the_partitions(client, rng, kind):
    X, y, w = table(rng, QORClassifier)
    labels = np.array(["low", "mid", "high"])[y]
    model = QORClassifier(max_depth=4, max_bins=32).fit(X, labels)
    if kind == "frame":
        model.fit(pd.DataFrame(X, columns=list("abcd")), labels)
        data = dd.from_pandas(pd.DataFrame(X, columns=list("abcd")), npartitions=3)
    else:
        data = da.from_array(X, chunks=(1000, 2))
    predicted, proba = qor.dask.predict(model, data), qor.dask.predict_proba(model, data)
    assert isinstance(predicted, da.Array if kind == "array" else dd.Series)
    assert np.array_equal(np.asarray(predicted.compute()), model.predict(data.compute()))
    assert np.array_equal(np.asarray(proba.compute()), model.predict_proba(data.compute()))
    if kind == "frame":
        assert list(proba.columns) == list(model.classes_)


@pytest.mark.parametrize("make, data, error, message", [
    (lambda: QORRegressor(criterion="mae", max_bins=16), "array", ValueError,
     "criterion='mae' cannot grow from bins"),
    (lambda: QORClassifier(), "array", ValueError, "qor.dask fits grow from bins: set"),
    (lambda: QORClassifier(max_bins=16), "numpy", TypeError, "Dask Array or DataFrame"),
    (lambda: QORClassifier(max_bins=16, search="lookahead"), "array", ValueError,
     "search='lookahead' cannot fit on Dask"),
    (lambda: QORClassifier(max_bins=16), "short y", ValueError, "X has 200 rows but y has 100"),
    (lambda: QORClassifier(max_bins=16), "infinity", ValueError, "Input contains infinity"),
    (lambda: QORClassifier(max_bins=16), "identifiers", ValueError,
     "column 'id': an identifier.*200 distinct values in 200 cells"),
    (lambda: QORClassifier(max_bins=16), "forty", ValueError,
     "column 'id': numbers with a few text cells.*2 cells hold text: 'forty' \\(2 cells\\)"),
    (lambda: QORClassifier(max_bins=16), "ids with repeats", ValueError,
     "column 'id': an identifier.*named as identifiers are; 133 distinct whole numbers in "
     "200 cells"),
    (lambda: QORRegressor(criterion="poisson", max_bins=16), "negative", ValueError,
     "criterion='poisson' needs targets >= 0"),
    (lambda: QORRegressor(criterion="poisson", max_bins=16), "two outputs", ValueError,
     "criterion='poisson' is not supported with several outputs"),
    (lambda: QORClassifier(max_bins=16, class_weight={0: 1, 1: 2}), "two outputs", ValueError,
     "a list of one dict per output for several outputs"),
    (lambda: QORClassifier(max_bins=16), "y of 3 dimensions", TypeError,
     "y must be a 1-d or 2-d Dask Array"),
])
def test_what_a_dask_fit_cannot_take_is_refused(client, make, data, error, message):
    X, y = np.arange(400.0).reshape(200, 2) + 0.5, np.arange(200) % 2
    X[150, 1] = np.inf if data == "infinity" else X[150, 1]
    if data in ("identifiers", "forty", "ids with repeats"):
        # Counted over all the partitions together, as a local fit counts them.
        ids = [f"C{i:03d}" if data == "identifiers" else str(i % 30) for i in range(200)]
        if data == "ids with repeats":
            # Each partition's ids repeat; only all of them together are mostly distinct.
            ids = (np.arange(200) / 1.5).astype(int)
        if data == "forty":
            ids[7] = ids[160] = "forty"
        frame = pd.DataFrame({"x": X[:, 0], "id": ids, "y": y})
        data = dd.from_pandas(frame, npartitions=4, sort=False)
        args = (data[["x", "id"]], data["y"])
    elif data == "negative":
        args = (da.from_array(X, chunks=100), da.from_array(y - 0.5, chunks=100))
    elif data == "numpy":
        args = (X, y)
    elif data == "short y":
        args = (da.from_array(X, chunks=100), da.from_array(y[:100], chunks=50))
    elif data == "two outputs":
        # y split by columns too: each row block reaches its task whole.
        args = (da.from_array(X, chunks=100),
                da.from_array(np.column_stack([y, 1 - y]), chunks=(50, 1)))
    elif data == "y of 3 dimensions":
        args = (da.from_array(X, chunks=100), da.from_array(y.reshape(200, 1, 1), chunks=100))
    else:
        args = (da.from_array(X, chunks=100), da.from_array(y, chunks=100))
    with pytest.raises(error, match=message):
        qor.dask.fit(make(), *args)


@pytest.mark.parametrize("fix", [dict(criterion="squared_error"), dict(max_bins=None)])
def test_each_way_out_of_absolute_error_on_dask_fits(client, fix):
    X, y = np.arange(400.0).reshape(200, 2) + 0.5, np.arange(200) % 7 * 1.0
    X_dask, y_dask = da.from_array(X, chunks=100), da.from_array(y, chunks=100)
    est = QORRegressor(criterion="absolute_error", max_bins=16)
    with pytest.raises(ValueError, match="Use criterion='squared_error', or fit the estimator "
                                         "locally with max_bins=None"):
        qor.dask.fit(est, X_dask, y_dask)
    est.set_params(**fix)
    if est.max_bins is None:
        assert est.fit(X, y).get_depth() > 0  # locally, the table in memory
    else:
        assert qor.dask.fit(est, X_dask, y_dask).get_depth() > 0


@pytest.mark.parametrize("held", ["dense", "sparse"])
@pytest.mark.parametrize("max_bins, n_outputs", [(40, 1), (400, 1), (40, 2)],
                         ids=["one-byte-codes", "two-byte-codes", "two-outputs"])
def test_a_pickled_block_carries_its_rows_and_their_nodes(rng, max_bins, n_outputs, held):
    # A worker pickles a block to spill it or hand it on; the copy must go on alike.
    X, y, w = table(rng, QORClassifier, n=3000)
    if held == "sparse":
        X[rng.random(X.shape) < 0.6] = 0.0
    targets = np.concatenate([y, (y + 1) % 3][:n_outputs]).astype(np.float64)
    edges = QORClassifier(max_bins=max_bins).fit(X, y).bin_edges_
    rows = _sparse.compressed(sparse.csc_matrix(X), by_column=True) if held == "sparse" else X
    block = _core.BinnedBlock(rows, targets, w, edges, 3, n_outputs=n_outputs)
    totals, target = block.root()
    assert target.shape == (n_outputs, 3)
    params = _core.TreeParams()
    params.n_classes, params.max_depth, params.n_outputs = 3, 4, n_outputs
    params.output_classes = [3] * n_outputs if n_outputs > 1 else []
    grower = _core.BinnedGrower(edges, params, True, totals, target)
    for _ in range(2):
        assert grower.next_level()
        first, slot, slots = grower.build_slots()
        grower.add_histograms(block.histograms(first, slot, slots))
        assert grower.choose(block.ranges())
        grower.finish_level(block.route(**grower.routing()))
    copy = pickle.loads(pickle.dumps(block))
    assert copy.rows == block.rows and np.array_equal(copy.ranges(), block.ranges())
    assert grower.next_level()
    first, slot, slots = grower.build_slots()
    assert np.array_equal(copy.histograms(first, slot, slots),
                          block.histograms(first, slot, slots))


@pytest.mark.parametrize("cls, criterion", BINNED, ids=IDS)
def test_sparse_partitions_grow_the_tree_of_dense_ones(client, rng, cls, criterion):
    X, y, w = table(rng, cls, d=6)
    X[rng.random(X.shape) < 0.7] = 0.0
    X[:, 5] = 0.0  # nothing stored
    chunks = (700, 1300, 2500, len(X) - 4500)
    held = [da.from_array(v, chunks=(chunks, X.shape[1]), asarray=False)
            for v in (X, sparse.csr_matrix(X))]
    y_blocks, w_blocks = da.from_array(y, chunks=(chunks,)), da.from_array(w, chunks=(chunks,))
    model = dict(criterion=criterion, max_depth=6, max_bins=24)
    dense, from_sparse = (qor.dask.fit(cls(**model), x, y_blocks, w_blocks) for x in held)
    assert dense.tree_.node_count > 20
    assert_same_tree(dense, from_sparse)
    for a, b in zip(dense.bin_edges_, from_sparse.bin_edges_, strict=True):
        assert a.tobytes() == b.tobytes()
    local = cls(**model).fit(sparse.csc_matrix(X), y, w, bin_edges=dense.bin_edges_)
    assert_same_tree(dense, local)


@pytest.mark.parametrize("cls", [QORClassifier, QORRegressor])
@pytest.mark.parametrize("kind", ["array", "frame", "sparse"])
def test_prediction_of_several_outputs_maps_over_the_partitions(client, rng, cls, kind):
    X, Y, _ = several(rng, cls, 2, n=3000)
    if cls is QORClassifier:
        Y = np.array(["low", "mid", "high"])[Y]
    frame = pd.DataFrame(X, columns=list("abcd"))
    local = frame if kind == "frame" else X
    model = cls(max_depth=4, max_bins=32).fit(local, Y)
    data = {"array": lambda: da.from_array(X, chunks=(1000, 2)),
            "frame": lambda: dd.from_pandas(frame, npartitions=3),
            "sparse": lambda: da.from_array(sparse.csr_matrix(X), chunks=(700, 4),
                                            asarray=False)}[kind]()
    predicted = qor.dask.predict(model, data)
    assert isinstance(predicted, dd.DataFrame if kind == "frame" else da.Array)
    assert np.array_equal(np.asarray(predicted.compute()), model.predict(local))
    if cls is QORRegressor:
        return
    proba = qor.dask.predict_proba(model, data)
    assert len(proba) == 2
    for lazy, shares, expected, labels in zip(proba, dask.compute(*proba),
                                              model.predict_proba(local), model.classes_):
        if kind == "frame":
            assert list(lazy.columns) == list(labels)
        else:
            assert lazy.shape[1] == len(labels)
        assert np.array_equal(np.asarray(shares), expected)
