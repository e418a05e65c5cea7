"""Sparse X: scipy.sparse matrices and arrays grow and read the tree of the same data
made dense, to the last bit."""

import numpy as np
import pytest
from scipy import sparse
from sklearn.compose import ColumnTransformer
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import OneHotEncoder

from qor import QORClassifier, QORRegressor

ESTIMATORS = [(QORClassifier, "gini"), (QORClassifier, "entropy"),
              (QORRegressor, "mse"), (QORRegressor, "mae")]
IDS = [f"{cls.__name__}-{criterion}" for cls, criterion in ESTIMATORS]
TREE = ["children_left", "children_right", "feature", "threshold", "value", "impurity",
        "gain", "n_node_samples", "weighted_n_node_samples"]


def sparse_problem(rng, cls, n=600, d=8, density=0.3):
    """Negative, positive and stored-zero values, NaN, repeated values, an all-zero
    column, an indicator of -1 and a column of missing values; the zeros are most of
    every column."""
    X = sparse.random(n, d, density=density, format="csc", random_state=rng,
                      data_rvs=lambda k: rng.integers(-3, 4, size=k).astype(float))
    X.data[rng.random(X.nnz) < 0.05] = np.nan
    X.data[X.indptr[d - 1]:] = 0.0  # an all-zero column: stored zeros only
    X.data[X.indptr[d - 2]:X.indptr[d - 1]] = -1.0  # an indicator of -1
    X.data[X.indptr[d - 3]:X.indptr[d - 2]] = np.nan  # stored values all missing
    dense = X.toarray()
    signal = np.nan_to_num(dense[:, 0]) - np.nan_to_num(dense[:, 2]) + rng.normal(size=n)
    y = np.digitize(signal, [-1.0, 1.0]) if cls is QORClassifier else signal.round(1)
    return X, dense, y


def same_tree(a, b):
    for name in TREE:
        assert getattr(a.tree_, name).tobytes() == getattr(b.tree_, name).tobytes(), name
    assert a.depth_features_ == b.depth_features_


WEIGHTS = {
    "none": lambda rng, n: None,
    "whole": lambda rng, n: rng.integers(0, 4, size=n).astype(float),
    "real": lambda rng, n: rng.random(n) * 3,
}


@pytest.mark.parametrize("weights", list(WEIGHTS))
@pytest.mark.parametrize("cls, criterion", ESTIMATORS, ids=IDS)
def test_sparse_grows_the_dense_tree(rng, cls, criterion, weights):
    X, dense, y = sparse_problem(rng, cls)
    w = WEIGHTS[weights](rng, len(y))
    params = dict(criterion=criterion, max_depth=6)
    a = cls(**params).fit(dense, y, sample_weight=w)
    b = cls(**params).fit(X, y, sample_weight=w)
    assert a.tree_.node_count > 7
    same_tree(a, b)


@pytest.mark.parametrize("params", [
    dict(min_samples_leaf=9), dict(min_weight_fraction_leaf=0.05), dict(class_weight="balanced"),
    dict(min_impurity_decrease=0.002), dict(monotonic_cst=[1, 0, -1, 0, 0, 0, 0, 0]),
], ids=["leaf", "weight-fraction", "class-weight", "impurity-decrease", "monotonic"])
@pytest.mark.parametrize("criterion", ["gini", "entropy"])
def test_sparse_classifier_limits_match_dense(rng, criterion, params):
    X, dense, y = sparse_problem(rng, QORClassifier)
    if "monotonic_cst" in params:
        y = (y > 0).astype(int)
    a = QORClassifier(criterion=criterion, max_depth=6, **params).fit(dense, y)
    b = QORClassifier(criterion=criterion, max_depth=6, **params).fit(X, y)
    same_tree(a, b)


FORMATS = ["csc", "csr", "coo", "lil", "dok"]


@pytest.mark.parametrize("fmt", FORMATS)
def test_every_format_and_sparse_arrays_fit_and_predict(rng, fmt):
    X, dense, y = sparse_problem(rng, QORClassifier)
    reference = QORClassifier(max_depth=5).fit(dense, y)
    for container in (sparse.csr_matrix, sparse.csr_array):
        Xs = container(X).asformat(fmt)
        model = QORClassifier(max_depth=5).fit(Xs, y)
        same_tree(reference, model)
        assert model.predict(Xs).shape == (len(y),)
        np.testing.assert_array_equal(model.predict(Xs), reference.predict(dense))
        np.testing.assert_array_equal(model.predict_proba(Xs), reference.predict_proba(dense))
        np.testing.assert_array_equal(model.apply(Xs), reference.apply(dense))
        path = model.decision_path(Xs)
        assert path.shape == (len(y), model.tree_.node_count)
        assert (path != reference.decision_path(dense)).nnz == 0


@pytest.mark.parametrize("weights", ["none", "real"])
@pytest.mark.parametrize("cls, criterion", ESTIMATORS, ids=IDS)
def test_sparse_grows_the_dense_tree_of_several_outputs(rng, cls, criterion, weights):
    X, dense, y = sparse_problem(rng, cls)
    second = np.nan_to_num(dense[:, 1]) + rng.normal(size=len(y))
    Y = np.column_stack([y, second > 0 if cls is QORClassifier else second.round(1)])
    w = WEIGHTS[weights](rng, len(y))
    a = cls(criterion=criterion, max_depth=5).fit(dense, Y, sample_weight=w)
    b = cls(criterion=criterion, max_depth=5).fit(X, Y, sample_weight=w)
    assert a.n_outputs_ == 2 and a.tree_.node_count > 7
    same_tree(a, b)
    np.testing.assert_array_equal(b.predict(X), a.predict(dense))


BINNED = [(QORClassifier, "gini"), (QORClassifier, "entropy"), (QORRegressor, "mse"),
          (QORRegressor, "poisson")]


@pytest.mark.parametrize("max_bins", [3, 255])
@pytest.mark.parametrize("weights", list(WEIGHTS))
@pytest.mark.parametrize("cls, criterion", BINNED, ids=[f"{c.__name__}-{k}" for c, k in BINNED])
def test_sparse_grows_the_dense_binned_tree(rng, cls, criterion, weights, max_bins):
    """Bins placed from the stored values and the unstored zeros, and histograms of
    the unstored rows, equal those of the matrix made dense."""
    X, dense, y = sparse_problem(rng, cls)
    y = np.exp(y / 4) if criterion == "poisson" else y
    w = WEIGHTS[weights](rng, len(y))
    params = dict(criterion=criterion, max_depth=6, max_bins=max_bins)
    a = cls(**params).fit(dense, y, sample_weight=w)
    b = cls(**params).fit(X.tocsr(), y, sample_weight=w)
    assert a.tree_.node_count > 7
    same_tree(a, b)
    for edges_a, edges_b in zip(a.bin_edges_, b.bin_edges_, strict=True):
        assert edges_a.tobytes() == edges_b.tobytes()
    lookahead = dict(params, search="lookahead", beam_width=3, lookahead_folds=0)
    same_tree(cls(**lookahead).fit(dense, y, sample_weight=w),
              cls(**lookahead).fit(X, y, sample_weight=w))


@pytest.mark.parametrize("fitted_on", ["dense", "sparse"])
@pytest.mark.parametrize("cls, criterion", ESTIMATORS, ids=IDS)
def test_predictions_agree_across_dense_and_sparse(rng, cls, criterion, fitted_on):
    X, dense, y = sparse_problem(rng, cls)
    model = cls(criterion=criterion, max_depth=6).fit(dense if fitted_on == "dense" else X, y)
    X_new, dense_new, _ = sparse_problem(rng, cls, n=3000)
    for method in ["predict", "apply"] + (["predict_proba"] if cls is QORClassifier else []):
        on_dense = getattr(model, method)(dense_new)
        for fmt in ["csr", "csc"]:
            np.testing.assert_array_equal(getattr(model, method)(X_new.asformat(fmt)), on_dense)
    threaded = cls(criterion=criterion, max_depth=6, n_jobs=2).fit(X, y)
    np.testing.assert_array_equal(threaded.predict(X_new), model.predict(dense_new))
    # The tree itself reads any sparse format, as scikit-learn's tree_ does.
    leaves = model.apply(dense_new)
    for fmt in ["csr", "csc", "coo"]:
        np.testing.assert_array_equal(model.tree_.apply(X_new.asformat(fmt)), leaves)
        assert (model.tree_.decision_path(X_new.asformat(fmt)) != model.decision_path(
            dense_new)).nnz == 0


def test_duplicate_entries_add_up_as_scipy_adds_them(rng):
    rows, cols = np.array([0, 0, 1, 2, 2, 3]), np.array([0, 0, 1, 0, 0, 1])
    X = sparse.coo_matrix((np.array([1.0, 2.0, -1.0, 5.0, -5.0, 4.0]), (rows, cols)),
                          shape=(4, 2))
    y = np.array([0, 1, 0, 1])
    a = QORClassifier(max_depth=3).fit(X.toarray(), y)
    b = QORClassifier(max_depth=3).fit(X, y)
    same_tree(a, b)
    np.testing.assert_array_equal(b.predict(X), a.predict(X.toarray()))


def with_duplicates(fmt, data, rows, cols, shape):
    """A sparse matrix of `fmt` that stores the entries as given, duplicates and all,
    each line's entries in the order given."""
    if fmt == "coo":
        return sparse.coo_matrix((data, (rows, cols)), shape=shape)
    major, minor = (rows, cols) if fmt == "csr" else (cols, rows)
    order = np.argsort(major, kind="stable")
    indptr = np.append(0, np.cumsum(np.bincount(major, minlength=shape[fmt == "csc"])))
    made = sparse.csr_matrix if fmt == "csr" else sparse.csc_matrix
    return made((data[order], minor[order], indptr), shape=shape)


def duplicated_cell(fmt, parts, seed):
    """40 x 20, every cell stored, cell (5, 0) as entries stored apart, so that each
    line through it holds more than 16 entries. Column 0's numbers lie below that
    cell's, and its NaN rows are the class 1: the depth-0 cut falls between the numbers
    and the missing values, at the largest number, the entries' sum itself."""
    rng = np.random.default_rng(seed)
    dense = rng.random((40, 20)) * 0.5
    dense[30:, 0] = np.nan
    rows, cols = np.divmod(np.arange(800), 20)
    data = dense.ravel()
    data[5 * 20] = parts[0]
    rows, cols = np.append(rows, [5] * (len(parts) - 1)), np.append(cols, [0] * (len(parts) - 1))
    data = np.append(data, parts[1:])
    order = rng.permutation(data.size)
    X = with_duplicates(fmt, data[order], rows[order], cols[order], (40, 20))
    return X, (np.arange(40) >= 30).astype(int)


# Three entries whose sum in storage order (what X.toarray() adds) differs in the last
# bit from their sum in the order scipy's sum_duplicates leaves them on a long line.
PARTS, PARTS_SEED = [0.5861230648127328, 0.5540905021732678, 0.8097107759127777], 288


@pytest.mark.parametrize("fmt", ["csr", "csc", "coo"])
def test_duplicates_on_long_lines_add_up_as_the_dense_matrix_adds_them(fmt):
    X, y = duplicated_cell(fmt, PARTS, PARTS_SEED)
    dense = X.toarray()
    resorted = X.tocsr(copy=True) if fmt == "csr" else X.tocsc(copy=True)
    resorted.sum_duplicates()
    assert resorted.toarray()[5, 0] != dense[5, 0], "the case needs sums that differ"
    a = QORClassifier(max_depth=3).fit(dense, y)
    b = QORClassifier(max_depth=3).fit(X, y)
    assert a.tree_.threshold[0] == dense[5, 0]
    same_tree(a, b)
    for name in ("predict_proba", "apply"):
        np.testing.assert_array_equal(getattr(b, name)(X), getattr(a, name)(dense))
    np.testing.assert_array_equal(b.tree_.apply(X), a.apply(dense))


@pytest.mark.parametrize("cls, criterion", ESTIMATORS, ids=IDS)
def test_a_node_whose_rows_all_store_the_column_cuts_where_the_dense_one_does(rng, cls,
                                                                             criterion):
    # Column 0 splits the root; column 1 stores a value, never 0, for every row that goes
    # left (negatives and positives apart, the target in their sign), and nothing for the
    # rows that go right, whose target stands apart. The left node's cut lies between its largest negative and its
    # smallest positive, with no zero between them.
    n = 400
    side = rng.random(n) < 0.5
    X = np.zeros((n, 3))
    X[:, 0] = np.where(side, rng.uniform(-2, -1, n), rng.uniform(1, 2, n))
    sign = rng.random(n) < 0.5
    X[side, 1] = np.where(sign[side], rng.uniform(0.3, 4, side.sum()),
                          -rng.uniform(0.7, 3, side.sum()))
    X[:, 2] = rng.normal(size=n).round(1) * (rng.random(n) < 0.2)
    y = np.where(side, sign, 2)
    y = y if cls is QORClassifier else y + X[:, 2] / 10
    a = cls(criterion=criterion, max_depth=2).fit(X, y)
    assert a.depth_features_ == {0: 0, 1: 1}
    left_cut = a.tree_.threshold[a.tree_.children_left[0]]
    assert X[side, 1][X[side, 1] < 0].max() < left_cut < X[side, 1][X[side, 1] > 0].min()
    for fmt in ("csc", "csr"):
        b = cls(criterion=criterion, max_depth=2).fit(sparse.csc_matrix(X).asformat(fmt), y)
        same_tree(a, b)


def test_rows_and_columns_without_stored_values(rng):
    X = sparse.csc_matrix((50, 4))
    y = np.arange(50) % 2
    model = QORClassifier(max_depth=4).fit(X, y)
    assert model.tree_.node_count == 1
    assert model.predict(sparse.csr_matrix((3, 4))).shape == (3,)
    assert model.predict_proba(X).shape == (50, 2)


def test_sparse_refusals_name_the_fix(rng):
    X, dense, y = sparse_problem(rng, QORClassifier)
    with pytest.raises(ValueError, match="categorical_features cannot be used with a sparse X"):
        QORClassifier(categorical_features=[0]).fit(X, y)
    categorical = QORClassifier(categorical_features=[0], max_depth=3).fit(
        np.abs(np.nan_to_num(dense)), y)
    with pytest.raises(ValueError, match="X.toarray()"):
        categorical.predict(X)
    with pytest.raises(ValueError, match="lookahead.*X.toarray()"):
        QORClassifier(search="lookahead").fit(X, y)
    with pytest.raises(ValueError, match="features"):
        QORClassifier().fit(X, y).predict(X[:, :3])
    with pytest.raises(TypeError, match="y.toarray()"):
        QORClassifier().fit(dense, sparse.csr_matrix(np.column_stack([y, y])))
    X_inf = X.copy()
    X_inf.data[0] = np.inf
    with pytest.raises(ValueError, match="infinity"):
        QORClassifier().fit(X_inf, y)
    fitted = QORClassifier(max_depth=3).fit(X, y)
    for method in (fitted.predict, fitted.predict_proba, fitted.apply, fitted.decision_path):
        with pytest.raises(ValueError, match="infinity"):
            method(X_inf)


def test_one_hot_pipeline_matches_dense_encoding(rng):
    import pandas as pd

    frame = pd.DataFrame({"colour": rng.choice(["red", "green", "blue"], size=400),
                          "size": rng.choice(["S", "M", "L", "XL"], size=400),
                          "weight": rng.normal(size=400).round(1)})
    y = ((frame["colour"] == "red") ^ (frame["size"] == "L")).astype(int)

    def pipeline(sparse_output):
        encode = ColumnTransformer([("cat", OneHotEncoder(sparse_output=sparse_output),
                                     ["colour", "size"])], remainder="passthrough",
                                   sparse_threshold=1.0 if sparse_output else 0.0)
        return make_pipeline(encode, QORClassifier(max_depth=4)).fit(frame, y)

    on_sparse, on_dense = pipeline(True), pipeline(False)
    assert sparse.issparse(on_sparse[0].transform(frame))
    same_tree(on_sparse[-1], on_dense[-1])
    assert on_sparse.score(frame, y) == 1.0


@pytest.mark.parametrize("criterion", ["gini", "entropy"])
def test_one_hot_columns_on_threads_grow_the_dense_tree(rng, criterion):
    """Indicator columns of many rows, searched by histograms on two threads."""
    n, groups, levels = 70_000, 8, 15
    codes = (levels * rng.random((n, groups)) ** 2).astype(int)
    X = sparse.csc_matrix((np.ones(n * groups),
                           (np.repeat(np.arange(n), groups),
                            (codes + levels * np.arange(groups)).ravel())),
                          shape=(n, groups * levels))
    y = (codes[:, 0] < 3).astype(int) + (codes[:, 1] % 4 == 0) + (rng.random(n) < 0.2)
    w = rng.integers(0, 3, size=n).astype(float)
    params = dict(criterion=criterion, max_depth=10)
    a = QORClassifier(**params).fit(X.toarray(), y, sample_weight=w)
    b = QORClassifier(**params, n_jobs=2).fit(X, y, sample_weight=w)
    assert a.tree_.node_count > 40
    same_tree(a, b)


def test_dask_predicts_on_sparse_partitions(rng):
    da = pytest.importorskip("dask.array")
    import qor.dask

    X, dense, y = sparse_problem(rng, QORClassifier)
    model = QORClassifier(max_depth=5).fit(X, y)
    blocks = da.from_array(X.tocsr(), chunks=(150, X.shape[1]), asarray=False)
    np.testing.assert_array_equal(qor.dask.predict(model, blocks).compute(scheduler="sync"),
                                  model.predict(dense))
    np.testing.assert_array_equal(
        qor.dask.predict_proba(model, blocks).compute(scheduler="sync"),
        model.predict_proba(dense))


@pytest.mark.parametrize("cls, params", [
    (QORRegressor, dict(criterion="poisson")),
    (QORRegressor, dict(criterion="squared_error", max_leaf_nodes=9)),
    (QORClassifier, dict(max_features=3, random_state=0)),
    (QORClassifier, dict(criterion="log_loss", max_leaf_nodes=7)),
    (QORClassifier, dict(level_score="weighted")),
    (QORRegressor, dict(level_score="weighted")),
], ids=["poisson", "max-leaf-nodes", "max-features", "log-loss", "weighted-gini",
        "weighted-mse"])
def test_sparse_matches_dense_under_every_growth_rule(rng, cls, params):
    X, dense, y = sparse_problem(rng, cls)
    if params.get("criterion") == "poisson":
        y = np.exp(y / 4)
    a = cls(max_depth=6, **params).fit(dense, y)
    b = cls(max_depth=6, **params).fit(X, y)
    same_tree(a, b)
