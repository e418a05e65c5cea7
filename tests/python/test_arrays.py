"""What fit, predict and predict_proba accept, and what they give back."""

import mmap
import re
import tracemalloc

import numpy as np
import pytest

from conftest import make_model


@pytest.fixture
def data(rng):
    X = rng.normal(size=(40, 3))
    y = (X[:, 0] + X[:, 1] > 0).astype(np.float64)
    return X, y


def fitted_on(X, y):
    model = make_model(max_depth=3)
    model.fit(X, y)
    return model


def tree_signature(model, X):
    return model.depth_features_, model.predict(X), model.predict_proba(X)


def peak_bytes_during(call):
    tracemalloc.start()
    try:
        call()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def test_matching_arrays_are_read_in_place():
    X = np.zeros((8, 100_000))  # 6.4 MB
    y = np.arange(8.0)
    model = make_model(max_depth=0)
    assert peak_bytes_during(lambda: model.fit(X, y)) < X.nbytes // 4
    assert peak_bytes_during(lambda: model.predict(X)) < X.nbytes // 4
    # The same data in Fortran order must be converted: the check above can fail.
    assert peak_bytes_during(lambda: model.fit(np.asfortranarray(X), y)) >= X.nbytes


@pytest.mark.parametrize("convert", [
    np.asfortranarray,
    lambda a: np.hstack([a, a])[:, ::2] if a.ndim == 2 else np.repeat(a, 2)[::2],
    lambda a: a.astype(np.float32),
    lambda a: np.round(a * 4).astype(np.int64),
], ids=["fortran", "strided", "float32", "int64"])
def test_convertible_arrays_give_the_results_of_their_float64_copy(data, convert):
    X, y = data
    X2, y2 = convert(X), convert(y)
    expected = fitted_on(np.ascontiguousarray(X2, dtype=np.float64),
                         np.ascontiguousarray(y2, dtype=np.float64))
    model = fitted_on(X2, y2)
    assert tree_signature(model, X2) == tree_signature(expected, np.asarray(X2, np.float64))


def test_read_only_arrays_are_accepted(data):
    X, y = (a.copy() for a in data)
    X.flags.writeable = False
    y.flags.writeable = False
    assert tree_signature(fitted_on(X, y), X) == tree_signature(fitted_on(*data), data[0])


@pytest.mark.parametrize("method, args", [
    ("fit", lambda X, y: (X.tolist(), y)),
    ("fit", lambda X, y: (X, y.tolist())),
    ("fit", lambda X, y: (None, y)),
    ("fit", lambda X, y: (X, None)),
    ("fit", lambda X, y: (X, y[:, None])),
    ("fit", lambda X, y: (X[:, 0], y)),
    ("fit", lambda X, y: (X[None], y)),
    ("predict", lambda X, y: (X.tolist(),)),
    ("predict", lambda X, y: (None,)),
    ("predict", lambda X, y: (X[0],)),
    ("predict_proba", lambda X, y: (X.tolist(),)),
    ("predict_proba", lambda X, y: (X.astype(np.complex128),)),
])
def test_unacceptable_arguments_are_type_errors(data, method, args):
    model = fitted_on(*data)
    with pytest.raises(TypeError) as info:
        getattr(model, method)(*args(*data))
    message = str(info.value)
    assert message.startswith(f"{method}(): incompatible function arguments. "
                              "The following argument types are supported:")
    assert "Invoked with types:" in message


@pytest.mark.parametrize("method", ["predict", "predict_proba"])
def test_zero_rows_give_empty_lists(data, method):
    assert getattr(fitted_on(*data), method)(np.zeros((0, 3))) == []


def test_results_are_new_python_lists_of_floats(data):
    X, _ = data
    model = fitted_on(*data)
    out = model.predict(X)
    proba = model.predict_proba(X)
    assert type(out) is list and all(type(v) is float for v in out)
    assert type(proba) is list and all(type(r) is list and len(r) == 2 for r in proba)
    assert model.predict(X) is not out


def test_longer_y_is_accepted_and_counts_only_in_classes(data):
    X, y = data
    model = fitted_on(X, np.concatenate([y, [7.0, 9.0]]))
    assert model.classes_ == [0.0, 1.0, 7.0, 9.0]
    assert model.root.indices == list(range(len(X)))


def test_shorter_y_is_refused_naming_both_lengths(data):
    X, y = data
    with pytest.raises(ValueError, match=r"y has 39 entries but X has 40 rows"):
        make_model().fit(X, y[:-1])


HUGE = 2**31


@pytest.mark.parametrize("shape, name", [((HUGE, 0), "X.shape[0]"), ((0, HUGE), "X.shape[1]")])
@pytest.mark.parametrize("method", ["fit", "predict", "predict_proba"])
def test_extents_beyond_int32_are_refused(shape, name, method):
    X = np.empty(shape)  # no elements, so nothing is allocated
    args = (X, np.zeros(0)) if method == "fit" else (X,)
    with pytest.raises(ValueError, match=re.escape(f"{name} = 2147483648 exceeds")):
        getattr(make_model(), method)(*args)


def test_target_extent_beyond_int32_is_refused():
    try:
        buffer = mmap.mmap(-1, HUGE * 8)  # address space only; no page is touched
    except (OSError, OverflowError, ValueError):
        pytest.skip("cannot map 16 GiB of address space here")
    y = np.frombuffer(buffer, dtype=np.float64)
    try:
        with pytest.raises(ValueError, match=r"y.shape\[0\] = 2147483648 exceeds"):
            make_model().fit(np.zeros((0, 1)), y)
    finally:
        del y
        buffer.close()
