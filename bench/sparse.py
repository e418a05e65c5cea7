"""qor against scikit-learn's DecisionTreeClassifier on sparse one-hot data.

The data: 100,000 rows of 20 categorical columns of 100 categories each, one-hot
encoded into a CSC matrix of 2,000 columns at 1% density (2,000,000 stored ones); the
label depends on three of the columns, with 10% of the labels flipped. Both trees grow
to depth 10 with gini on the same CSC matrix: QORClassifier on one thread and on all
cores, DecisionTreeClassifier as it comes. Times are medians of repetitions that
alternate between the libraries in this one process.

Peak memory is measured for one QORClassifier fit in a fresh process: the growth of the
resident set's high-water mark (VmHWM, reset through /proc/self/clear_refs) over the
resident size just before the fit, with the matrix already in memory. Its budget is
twice the bytes of the stored values (data and indices) plus 16 bytes per row.

    python bench/sparse.py                 # the table
    python bench/sparse.py --rows 20000    # a quick look
"""

import argparse
import gc
import json
import os
import re
import statistics
import subprocess
import sys
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402
from scipy import sparse  # noqa: E402

GROUPS = 20
CATEGORIES = 100
DEPTH = 10
TARGET_SPEEDUP = 10.0


def make_data(rows, seed=0):
    rng = np.random.default_rng(seed)
    codes = rng.integers(0, CATEGORIES, size=(rows, GROUPS))
    columns = (codes + np.arange(GROUPS) * CATEGORIES).ravel()
    X = sparse.csc_matrix((np.ones(rows * GROUPS), (np.repeat(np.arange(rows), GROUPS), columns)),
                          shape=(rows, GROUPS * CATEGORIES))
    y = ((codes[:, 0] % 3 == 0) ^ (codes[:, 1] < 30) ^ (codes[:, 2] < 10)
         ^ (rng.random(rows) < 0.1)).astype(np.int64)
    return X, y


def models(n_jobs_list=(1, -1)):
    from sklearn.tree import DecisionTreeClassifier

    from qor import QORClassifier

    out = {f"qor n_jobs={n}": QORClassifier(max_depth=DEPTH, n_jobs=n) for n in n_jobs_list}
    out["scikit-learn"] = DecisionTreeClassifier(max_depth=DEPTH, random_state=0)
    return out


def _rss_kib(field):
    with open("/proc/self/status") as status:
        return int(re.search(rf"^{field}:\s+(\d+) kB", status.read(), re.M).group(1))


def _measure_memory(rows):
    from qor import QORClassifier

    X, y = make_data(rows)
    model = QORClassifier(max_depth=DEPTH, n_jobs=-1)
    gc.collect()
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # the high-water mark restarts from the current resident size
    before = _rss_kib("VmRSS")
    model.fit(X, y)
    peak = _rss_kib("VmHWM")
    print(json.dumps({"peak_mib": (peak - before) / 1024}))


def peak_memory(rows):
    out = subprocess.run([sys.executable, __file__, "--measure-memory", str(rows)], check=True,
                         capture_output=True, text=True)
    return json.loads(out.stdout)["peak_mib"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--measure-memory", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.measure_memory:
        _measure_memory(args.measure_memory)
        return

    X, y = make_data(args.rows)
    print(f"One-hot data: {X.shape[0]:,} rows x {X.shape[1]:,} columns, {X.nnz:,} stored "
          f"values ({X.nnz / (X.shape[0] * X.shape[1]):.1%}), CSC; gini, depth {DEPTH}; "
          f"{os.cpu_count()} cores")
    estimators = models()
    times = {name: [] for name in estimators}
    for _ in range(args.repeats):
        for name, model in estimators.items():
            start = time.perf_counter()
            model.fit(X, y)
            times[name].append(time.perf_counter() - start)
    median = {name: statistics.median(t) for name, t in times.items()}
    reference = median["scikit-learn"]
    print(f"{'fit':<16}{'seconds':>10}{'vs scikit-learn':>18}{'nodes':>8}{'train accuracy':>16}")
    for name, model in estimators.items():
        print(f"{name:<16}{median[name]:>10.3f}{reference / median[name]:>17.1f}x"
              f"{model.tree_.node_count:>8}{model.score(X, y):>16.4f}")

    peak = peak_memory(args.rows)
    stored = X.data.nbytes + X.indices.nbytes
    budget = (2 * stored + 16 * X.shape[0]) / 2**20
    print(f"qor's peak memory beyond the input: {peak:.1f} MiB; budget {budget:.1f} MiB "
          f"(2 x {stored / 2**20:.1f} MiB of stored values + 16 bytes per row)")
    best = max(reference / median[name] for name in estimators if name.startswith("qor"))
    print(f"Targets: fit >= {TARGET_SPEEDUP:.0f}x faster than scikit-learn: "
          f"{'met' if best >= TARGET_SPEEDUP else 'NOT met'} ({best:.1f}x); "
          f"memory within budget: {'met' if peak <= budget else 'NOT met'}")


if __name__ == "__main__":
    main()
