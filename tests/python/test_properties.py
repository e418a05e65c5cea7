"""Property-based tests: whatever callers pass, the module answers in order and
the grown tree keeps its invariants."""

import math
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

from conftest import CRITERIA, TASKS, assert_models_equal, assert_sound_tree, make_model, walk
from reference import RefModel

EXTREMES = [0.0, -0.0, 1.0, -1.0, 1e308, -1e308, 5e-324, -5e-324, 2.2250738585072014e-308,
            math.inf, -math.inf, math.nan, 0.5, 3.0]

# QOR_HYPOTHESIS_PROFILE=thorough runs many more examples than CI does.
for name, examples in (("qor", 150), ("thorough", 5000)):
    settings.register_profile(
        name, max_examples=examples, deadline=None,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
settings.load_profile(os.environ.get("QOR_HYPOTHESIS_PROFILE", "qor"))


@st.composite
def matrices(draw, max_rows=30, max_cols=4, growing=False):
    """Hypothesis picks the knobs (shape, dtype, how many distinct values, which
    extremes and how many); a seeded generator fills the cells, so that most
    examples have enough structure to grow a tree."""
    # sampled_from draws uniformly, where bounded integers lean towards the bounds.
    rows = draw(st.sampled_from([8, max_rows // 2, max_rows] if growing else
                                [0, 1, 2, 3, 8, max_rows // 2, max_rows]))
    cols = draw(st.sampled_from(list(range(1 if growing else 0, max_cols + 1))))
    dtype = draw(st.sampled_from([np.float64, np.float64, np.float32, np.int64, np.int32,
                                  np.bool_]))
    distinct = draw(st.sampled_from([2, 3, 5, 8, 1000] if growing else [1, 2, 3, 5, 8, 1000]))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    X = rng.integers(0, distinct, size=(rows, cols)) * draw(st.sampled_from([1.0, 0.37, 1e-300]))
    if dtype in (np.float64, np.float32):
        extremes = draw(st.lists(st.sampled_from(EXTREMES), max_size=4))
        share = draw(st.sampled_from([0.0, 0.05, 0.3]))
        if extremes and share:
            mask = rng.random(X.shape) < share
            X[mask] = rng.choice(extremes, size=int(mask.sum()))
    with np.errstate(over="ignore", invalid="ignore"):
        X = X.astype(dtype)  # float32 turns 1e308 into inf and subnormals into 0
    if draw(st.booleans()):
        X = np.asfortranarray(X)
    return X


@st.composite
def targets(draw, n, task, growing=False):
    m = n + draw(st.integers(0, 3))  # entries beyond the rows count only in classes_
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    if task == "classification":
        classes = draw(st.sampled_from([2, 3, 5, 60] if growing else [1, 2, 3, 5, 60]))
        y = rng.integers(0, classes, size=m) * draw(st.sampled_from([1.0, -2.5, 1e300]))
    else:
        y = rng.normal(size=m) * draw(st.sampled_from([1.0, 1e6, 1e-300]))
    extremes = draw(st.lists(st.sampled_from([e for e in EXTREMES if task == "regression"
                                               or not math.isnan(e)]), max_size=3))
    if extremes and m:
        mask = rng.random(m) < 0.1
        y[mask] = rng.choice(extremes, size=int(mask.sum()))
    return y


# (max_depth, min_samples_split, min_samples_leaf), mostly in the range that grows trees.
small = st.sampled_from([-3, 0, 1, 1, 2, 3, 5, 8])
limits = st.tuples(st.sampled_from([-3, 0, 1, 2, 3, 5, 8, 8]), small, small)
growing_limits = st.tuples(st.sampled_from([2, 4, 8]), st.sampled_from([-1, 2, 3]),
                           st.sampled_from([0, 1, 2]))


@given(data=st.data(), task=st.sampled_from(TASKS), criterion=st.sampled_from(CRITERIA),
       limits=limits)
def test_any_input_grows_a_sound_tree(data, task, criterion, limits):
    X = data.draw(matrices())
    y = data.draw(targets(X.shape[0], task))
    model = make_model(task, criterion, *limits)
    model.fit(X, y)
    assert_sound_tree(model, X, y, task, limits[0])


@given(data=st.data(), task=st.sampled_from(TASKS), criterion=st.sampled_from(CRITERIA),
       limits=growing_limits)
def test_inputs_that_grow_deep_trees_keep_the_invariants(data, task, criterion, limits):
    X = data.draw(matrices(growing=True))
    y = data.draw(targets(X.shape[0], task, growing=True))
    model = make_model(task, criterion, *limits)
    model.fit(X, y)
    assert_sound_tree(model, X, y, task, limits[0])


@given(data=st.data(), criterion=st.sampled_from(CRITERIA))
def test_nan_labels_are_refused_before_anything_changes(data, criterion):
    X = data.draw(matrices(max_rows=10))
    assume(X.shape[0] > 0)
    y = data.draw(targets(X.shape[0], "classification"))
    model = make_model("classification", criterion, 3)
    model.fit(X, y)
    before = (model.root, model.classes_, model.depth_features_)
    bad = y.copy()
    bad[data.draw(st.integers(0, len(bad) - 1))] = math.nan
    with pytest.raises(ValueError, match="is NaN"):
        model.fit(X, bad)
    assert (model.root, model.classes_, model.depth_features_) == before


@given(data=st.data(), task=st.sampled_from(TASKS))
def test_prediction_on_other_matrices_is_orderly(data, task):
    X = data.draw(matrices(max_rows=20))
    y = data.draw(targets(X.shape[0], task))
    model = make_model(task, "gini", 4)
    model.fit(X, y)
    other = data.draw(matrices(max_rows=10, max_cols=6))
    split_features = [n.split_feature for n, _ in walk(model.root) if not n.is_leaf]
    needed = max(split_features, default=-1) + 1
    if other.shape[0] and other.shape[1] < needed:
        with pytest.raises(ValueError, match=f"X has {other.shape[1]} columns"):
            model.predict(other)
    else:
        assert len(model.predict(other)) == other.shape[0]
        assert len(model.predict_proba(other)) == other.shape[0]


@given(data=st.data(), task=st.sampled_from(TASKS), criterion=st.sampled_from(CRITERIA),
       limits=growing_limits)
def test_matches_the_literal_reference_on_adversarial_values(data, task, criterion, limits):
    """Ties, signed zeros, NaN, infinities and huge or tiny values: the engine's
    trees are the literal rules' trees, node for node (mae on integer targets,
    where its running sums are exact)."""
    X = np.asarray(data.draw(matrices(max_rows=24, growing=True)), dtype=np.float64)
    if criterion == "mae":
        seed = data.draw(st.integers(0, 2**32 - 1))
        y = np.random.default_rng(seed).integers(-50, 50, X.shape[0] + 2).astype(np.float64)
    else:
        y = data.draw(targets(X.shape[0], task, growing=True))
    model = make_model(task, criterion, *limits)
    model.fit(X, y)
    ref = RefModel(task, criterion, *limits)
    ref.fit(X, y)
    assert_models_equal(model, ref)
