"""The rules of bench/real.py that decide what its figures mean: which column a table
is fitted to, and that its comparison of a DataFrame with its codes compares one tree.
(The benchmark itself runs with `make bench-real`, not here.)"""

import importlib.util
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

_PATH = Path(__file__).resolve().parents[2] / "bench" / "real.py"
_SPEC = importlib.util.spec_from_file_location("bench_real", _PATH)
real = importlib.util.module_from_spec(_SPEC)
_SPEC.loader.exec_module(real)

_TEXT = ["a", "b", "c"] * 10


@pytest.mark.parametrize("columns, expected", [
    # The last text column of a few values, another text column left as a feature.
    ({"rownames": range(30), "t1": _TEXT, "x": np.arange(30.0), "t2": _TEXT[::-1]},
     ("t2", "classification")),
    # A lone text column stays a feature: the last numeric column of many values is y.
    ({"t": _TEXT, "x": np.arange(30.0), "few": [0, 1] * 15, "z": np.arange(30) * 2},
     ("z", "regression")),
    # Text only, or numbers only: no table of mixed types.
    ({"t1": _TEXT, "t2": _TEXT}, None),
    ({"x": np.arange(30.0), "z": np.arange(30.0)}, None),
])
def test_a_target_leaves_text_and_numbers_among_the_features(columns, expected):
    assert real.pick_target(pd.DataFrame(columns)) == expected


def test_the_codes_of_a_frame_grow_its_tree(rng):
    X = pd.DataFrame({"colour": rng.choice(["red", "green", None], 300),
                      "x": rng.normal(size=300)})
    y = np.where(X["colour"] == "green", "yes", "no")
    model = real.qor_model("classification", 3).fit(X, y)
    codes = real.codes_of(model, X)
    twin = real.qor_model("classification", 3, categorical_features=[0]).fit(codes, y)
    assert codes.flags.c_contiguous and np.isnan(codes[X["colour"].isna(), 0]).all()
    assert real.same_tree(model, twin)
