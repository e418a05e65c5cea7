"""The cross-validated trees: the results of a brute-force GridSearchCV over the same
grid, from trees that are the first levels of deeper ones."""

import pickle

import numpy as np
import pandas as pd
from scipy import sparse
import pytest
from sklearn.model_selection import GridSearchCV, GroupKFold, KFold

from conftest import flats
from qor import QORClassifier, QORRegressor, export_text, load, save
from qor.cv import QORClassifierCV, QORRegressorCV
from qor._tree import _ARRAYS


def problem(seed, n=180, classes=True, outputs=1):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, 4)).round(2)
    X[rng.random(X.shape) < 0.05] = np.nan
    signal = np.nan_to_num(X[:, 0]) + np.nan_to_num(X[:, 1]) ** 2 + rng.normal(0, 0.8, n)
    if classes:
        return X, np.array(["low", "mid", "high"])[np.digitize(signal, [0.3, 1.5])]
    y = signal if outputs == 1 else np.column_stack([signal, np.nan_to_num(X[:, 2]) - signal])
    return X, y


CASES = {
    "classifier": (QORClassifierCV, dict(), dict()),
    "classifier-lookahead-log-loss": (
        QORClassifierCV, dict(searches=["greedy", "lookahead"], beam_width=3,
                              scoring="neg_log_loss"), dict()),
    "classifier-pruned-weighted": (QORClassifierCV, dict(ccp_alpha=0.01, criterion="entropy"),
                                   dict(weighted=True)),
    "classifier-leaf-budget-drawn-features": (
        QORClassifierCV, dict(max_leaf_nodes=5, max_features=2, random_state=3), dict()),
    "regressor": (QORRegressorCV, dict(), dict()),
    "regressor-two-outputs-binned": (QORRegressorCV, dict(max_bins=8), dict(outputs=2)),
    "regressor-lookahead-mae-scoring": (
        QORRegressorCV, dict(searches=["lookahead", "greedy"], beam_width=3,
                             scoring="neg_mean_absolute_error"), dict()),
    "regressor-median-pruned": (QORRegressorCV, dict(criterion="absolute_error",
                                                     ccp_alpha=0.05), dict(weighted=True)),
}


@pytest.mark.parametrize("cls, params, data", CASES.values(), ids=CASES.keys())
def test_the_search_is_gridsearchcv_over_the_same_grid(cls, params, data):
    X, y = problem(1, classes=cls is QORClassifierCV, outputs=data.get("outputs", 1))
    weights = np.random.default_rng(2).uniform(0.5, 2, len(X)) if data.get("weighted") else None
    fit = {} if weights is None else {"sample_weight": weights}
    depths, shrinkages = [3, 0, 1], [0.0, 4.0, 40.0]
    searches = params.pop("searches", "greedy")
    scoring = params.pop("scoring", None)
    search = cls(depths=depths, shrinkages=shrinkages, searches=searches, cv=3,
                 scoring=scoring, **params).fit(X, y, **fit)
    grid = {"max_depth": depths, "search": [searches] if isinstance(searches, str) else searches,
            "shrinkage": shrinkages}
    brute = GridSearchCV(cls._tree(**params), grid, cv=3, scoring=scoring,
                         error_score="raise").fit(X, y, **fit)
    ours, theirs = search.cv_results_, brute.cv_results_
    assert list(ours) == list(theirs)
    assert ours["params"] == theirs["params"]
    for key in ours:
        if key.startswith(("split", "mean_test", "std_test", "rank")):
            assert ours[key].tobytes() == theirs[key].tobytes(), key
        elif key.startswith("param_"):
            assert (ours[key].dtype, ours[key].tolist()) == (theirs[key].dtype,
                                                             theirs[key].tolist())
    assert search.best_params_ == brute.best_params_
    assert search.best_score_ == brute.best_score_ and search.best_index_ == brute.best_index_
    for name in _ARRAYS:
        np.testing.assert_array_equal(getattr(search.tree_, name),
                                      getattr(brute.best_estimator_.tree_, name))
    np.testing.assert_array_equal(search.predict(X), brute.predict(X))
    assert search.n_splits_ == 3


def test_groups_reach_the_splitter_and_frames_keep_their_categories():
    X, rent = flats(3, 300)
    groups = np.arange(300) % 7
    search = QORRegressorCV(depths=3, shrinkages=[0.0, 20.0], searches="greedy", cv=GroupKFold(3),
                            categorical_features=["city"]).fit(X, rent, groups=groups)
    brute = GridSearchCV(QORRegressor(categorical_features=["city"]),
                         {"max_depth": [1, 2, 3], "search": ["greedy"], "shrinkage": [0.0, 20.0]},
                         cv=GroupKFold(3)).fit(X, rent, groups=groups)
    assert search.cv_results_["mean_test_score"].tolist() == brute.cv_results_[
        "mean_test_score"].tolist()
    assert search.categories_[0].tolist() == sorted(set(X["city"]))
    assert search.feature_names_in_.tolist() == ["city", "floor", "area"]


PREFIX = {
    "entropy-weighted": (QORClassifier, dict(criterion="entropy"), "weights"),
    "mse-binned": (QORRegressor, dict(max_bins=12)),
    "mae": (QORRegressor, dict(criterion="absolute_error")),
    "leaf-budget": (QORClassifier, dict(max_leaf_nodes=9)),
    "drawn-features": (QORRegressor, dict(max_features=2, random_state=4)),
    "weighted-levels-monotone": (QORRegressor, dict(level_score="weighted",
                                                    monotonic_cst=[1, 0, 0, 0])),
    "leaf-limits": (QORClassifier, dict(min_samples_leaf=0.03, min_impurity_decrease=0.002)),
}


@pytest.mark.parametrize("case", PREFIX.values(), ids=PREFIX.keys())
def test_a_greedy_tree_holds_every_shallower_one_as_its_first_levels(case):
    cls, params, *weighted = case
    X, y = problem(5, n=400, classes=cls is QORClassifier)
    fit = {"sample_weight": np.linspace(0.2, 3, len(X))} if weighted else {}
    deep = cls(max_depth=7, **params).fit(X, y, **fit).tree_
    assert deep.max_depth >= 4
    for depth in range(7):
        shallow = cls(max_depth=depth, **params).fit(X, y, **fit).tree_
        first = deep.prefix(depth)
        for name in [*_ARRAYS, "categories_left"]:
            np.testing.assert_array_equal(getattr(first, name), getattr(shallow, name), name)


def test_the_fitted_search_is_the_chosen_tree_everywhere(tmp_path):
    X, y = problem(6, n=300)
    frame = pd.DataFrame(X, columns=["a", "b", "c", "d"])
    search = QORClassifierCV(depths=4, cv=KFold(4, shuffle=True, random_state=0)).fit(frame, y)
    best = search.best_estimator_
    assert {name: best.get_params()[name] for name in search.best_params_} == search.best_params_
    for name in ("classes_", "n_features_in_", "feature_names_in_", "depth_features_", "tree_",
                 "n_outputs_", "max_features_", "is_categorical_"):
        assert getattr(search, name) is getattr(best, name)
    assert export_text(search) == export_text(best)
    save(search, tmp_path / "model.json")  # a search is saved as the tree it chose
    loaded = load(tmp_path / "model.json")
    assert type(loaded) is QORClassifier and loaded.get_params() == best.get_params()
    for copy in (loaded, pickle.loads(pickle.dumps(search)), best):
        np.testing.assert_array_equal(copy.predict_proba(frame), search.predict_proba(frame))


def test_a_search_refitted_on_other_data_keeps_nothing_of_the_first():
    X, y = problem(7, classes=False)
    search = QORRegressorCV(depths=2, shrinkages=[0.0], max_bins=16).fit(X, y)
    assert hasattr(search, "bin_edges_")
    search.set_params(max_bins=None).fit(X[:, :2], y)
    assert not hasattr(search, "bin_edges_") and search.n_features_in_ == 2
    with pytest.raises(ValueError, match="Input y contains NaN"):
        search.fit(X, np.full(len(X), np.nan))
    assert search.n_features_in_ == 2  # a failed fit leaves the search as it was


@pytest.mark.parametrize("params, message", [
    (dict(depths=[2, -1]), "depths must be an int d >= 1"),
    (dict(depths=[2.5]), "depths must be an int d >= 1"),
    (dict(searches=["greedy", "beam"]), "searches must name some of"),
    (dict(shrinkages=[]), "shrinkages must be a non-empty list"),
    (dict(shrinkages=[1.0, float("inf")]), "shrinkages must be a non-empty list"),
    (dict(max_depth=3), "unexpected keyword argument 'max_depth'"),
])
def test_a_grid_it_cannot_search_is_refused(params, message):
    X, y = problem(9, n=60)
    with pytest.raises((ValueError, TypeError), match=message):
        QORClassifierCV(**params).fit(X, y)


def test_a_sparse_x_is_refused_with_lookahead_and_searched_greedily():
    X, y = problem(10, n=90)
    X = sparse.csr_array(np.nan_to_num(X))
    with pytest.raises(ValueError, match="pass searches='greedy' for the sparse matrix"):
        QORClassifierCV(depths=2).fit(X, y)
    assert QORClassifierCV(depths=2, searches="greedy").fit(X, y).predict(X).shape == (90,)


@pytest.mark.parametrize("column, values, fix", [
    ("rownames", np.arange(1, 181), "drop"),
    ("age", np.where(np.arange(180) == 7, "forty", (np.arange(180) % 50).astype(str)),
     "numeric_features"),
])
def test_a_search_judges_all_rows_once_and_the_fix_it_names_fits(column, values, fix):
    X, y = problem(0)
    X = pd.DataFrame(X, columns=list("abcd")).assign(**{column: values})
    with pytest.raises(ValueError, match=f"column {column!r}: .*{fix}"):
        QORClassifierCV(depths=2, cv=3, searches="greedy").fit(X, y)
    # Applied, the fix fits every fold's tree; the folds read 'forty' as told, silently.
    fixed = (dict(X=X.drop(columns=[column])) if fix == "drop" else
             dict(X=X, numeric_features=[column]))
    data = fixed.pop("X")
    search = QORClassifierCV(depths=2, cv=3, searches="greedy", **fixed).fit(data, y)
    assert search.best_estimator_.numeric_features == [c for c in data.columns]
