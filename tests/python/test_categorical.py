"""Categorical features: each node of a level splits the level's categories its own way."""

import numpy as np
import pandas as pd
import pytest

from qor import QORClassifier, QORRegressor


def grouped(rng, n=2000, categories=40):
    """A target that depends only on which of `categories` a row has: any half of them."""
    names = np.array([f"c{i:02d}" for i in range(categories)], dtype=object)
    ones = rng.choice(categories, categories // 2, replace=False)
    codes = rng.integers(0, categories, n)
    return names[codes], np.isin(codes, ones).astype(int)


@pytest.mark.parametrize("declared", ["from_dtype", [0], [True, False], ["colour"]])
def test_one_level_separates_any_grouping_of_forty_categories(rng, declared):
    colour, y = grouped(rng)
    X = pd.DataFrame({"colour": colour, "noise": rng.normal(size=len(y))})
    if declared == "from_dtype":
        X["colour"] = X["colour"].astype("category")
    est = QORClassifier(max_depth=1, categorical_features=declared).fit(X, y)
    assert est.score(X, y) == 1.0
    assert est.is_categorical_.tolist() == [True, False] and len(est.categories_[0]) == 40
    assert est.tree_.is_categorical[0] and np.isnan(est.tree_.threshold[0])


@pytest.mark.parametrize("cls", [QORClassifier, QORRegressor])
def test_unseen_and_missing_categories_follow_the_right_branch(rng, cls):
    colour, y = grouped(rng, categories=6)
    X = pd.DataFrame({"colour": colour})
    est = cls(max_depth=1).fit(X, y)
    right = est.tree_.children_right[0]
    new = pd.DataFrame({"colour": ["never seen", None, np.nan]})
    assert est.apply(new).tolist() == [right] * 3
    left_code = int(est.tree_.categories(0)[0])
    assert est.apply(pd.DataFrame({"colour": [est.categories_[0][left_code]]}))[0] != right


def test_numeric_columns_marked_categorical_split_as_sets():
    # Codes whose order says nothing: 0 and 3 against 1 and 2.
    x = np.array([0, 1, 2, 3] * 25, dtype=float)
    y = np.isin(x, [0, 3]).astype(int)
    X = np.column_stack([x, np.arange(100.0)])
    as_numbers = QORClassifier(max_depth=1).fit(X, y)
    as_categories = QORClassifier(max_depth=1, categorical_features=[0]).fit(X, y)
    assert as_numbers.score(X, y) < 1.0 and as_categories.score(X, y) == 1.0
    assert as_categories.tree_.categories(0).tolist() in ([0.0, 3.0], [1.0, 2.0])


def test_categorical_and_numeric_features_compete_for_each_level(rng):
    n = 1000
    colour = rng.choice(["red", "green", "blue"], n)
    size = rng.normal(size=n)
    X = pd.DataFrame({"size": size, "colour": colour})
    by_colour = QORRegressor(max_depth=1).fit(X, np.where(colour == "green", 10.0, 0.0) + size)
    by_size = QORRegressor(max_depth=1).fit(X, np.where(colour == "green", 0.5, 0.0) + 10 * size)
    assert by_colour.depth_features_ == {0: 1} and by_size.depth_features_ == {0: 0}


@pytest.mark.parametrize("declared, message", [
    ([True], "boolean mask needs 2 entries"),
    ([5], "indices outside 0..1"),
    (["shade"], "names columns X does not have: \\['shade'\\]"),
])
def test_bad_categorical_features_are_refused(declared, message):
    X = pd.DataFrame({"colour": ["a", "b"], "size": [1.0, 2.0]})
    with pytest.raises(ValueError, match=message):
        QORClassifier(categorical_features=declared).fit(X, [0, 1])


def test_constraints_on_categories_are_refused():
    X = pd.DataFrame({"colour": ["a", "b", "a", "b"], "size": [1.0, 2.0, 3.0, 4.0]})
    with pytest.raises(ValueError, match="monotonic_cst must be 0 on categorical features"):
        QORRegressor(monotonic_cst=[1, 0]).fit(X, [0.0, 1.0, 0.0, 1.0])
