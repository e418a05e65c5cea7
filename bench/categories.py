"""The cost of pandas category columns: a DataFrame of 28,155 rows x 6 columns, 4 of
them of category dtype (9, 16, 7 and 42 categories), fitted by QORClassifier as it is
and as ordinal codes (float64, categorical_features=[0, 1, 2, 3]), with scikit-learn's
tree on the codes beside them. A category column is read through its codes, so the
DataFrame's fit should cost at most 1.3x the codes' fit. Times are the best of
repetitions in this one process (seconds; not part of `make test`).

    python bench/categories.py
"""

import time

import numpy as np
import pandas as pd
from sklearn.tree import DecisionTreeClassifier

from qor import QORClassifier

ROWS = 28_155
CARDINALITIES = (9, 16, 7, 42)
REPEATS = 15
TARGET = 1.3


def table(rng):
    columns = {}
    for j, k in enumerate(CARDINALITIES):
        names = np.array([f"value {j}-{i}" for i in range(k)], dtype=object)
        columns[f"c{j}"] = pd.Categorical(names[rng.integers(0, k, ROWS)], categories=names)
    columns["age"] = rng.integers(17, 90, ROWS).astype(float)
    columns["hours"] = rng.integers(1, 99, ROWS).astype(float)
    X = pd.DataFrame(columns)
    y = ((X["age"] > 40) ^ (X["c1"].cat.codes % 3 == 0) ^ (rng.random(ROWS) < 0.2)).astype(int)
    return X, y.to_numpy()


def best_ms(fit) -> float:
    times = []
    for _ in range(REPEATS):
        start = time.perf_counter()
        fit()
        times.append(time.perf_counter() - start)
    return min(times) * 1000


def main():
    X, y = table(np.random.default_rng(0))
    categorical = [f"c{j}" for j in range(len(CARDINALITIES))]
    codes = np.column_stack([X[c].cat.codes.to_numpy(np.float64) for c in categorical]
                            + [X["age"].to_numpy(), X["hours"].to_numpy()])
    frame = best_ms(lambda: QORClassifier().fit(X, y))
    ordinal = best_ms(lambda: QORClassifier(categorical_features=[0, 1, 2, 3]).fit(codes, y))
    cart = best_ms(lambda: DecisionTreeClassifier(max_depth=5).fit(codes, y))
    print(f"category DataFrame  {frame:7.1f} ms")
    print(f"ordinal codes       {ordinal:7.1f} ms")
    print(f"scikit-learn, codes {cart:7.1f} ms")
    ratio = frame / ordinal
    print(f"DataFrame / codes   {ratio:7.2f}x (target at most {TARGET}x): "
          f"{'met' if ratio <= TARGET else 'MISSED'}")


if __name__ == "__main__":
    main()
