"""qor against scikit-learn's decision trees: fit time, predict time and peak memory.

Both fit the same synthetic data (scikit-learn's make_classification and
make_regression, 20 columns) with the matching criterion and the same depth
and leaf limits, through their estimators: QORClassifier / QORRegressor on all
cores (n_jobs=-1) and on one, and DecisionTreeClassifier / DecisionTreeRegressor.
The native module's fit (_qor_native, one thread) is timed beside them. Times
are medians of repetitions that alternate between the libraries in this one
process. Peak memory is measured for one estimator fit in a fresh subprocess
per configuration: the growth of the resident set's high-water mark (VmHWM,
reset through /proc/self/clear_refs) over the resident size just before the
fit, with the data already in memory.

    python bench/run.py                  # the full table (10k, 100k, 1M rows)
    python bench/run.py --sizes 10000    # a quick look
"""

import argparse
import gc
import json
import math
import os
import platform
import re
import statistics
import subprocess
import sys
import time

# Neither tree uses BLAS; one BLAS thread keeps the data generator's idle
# worker threads from competing with the fits on a small machine.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import _qor_native  # noqa: E402

N_FEATURES = 20
SIZES = (10_000, 100_000, 1_000_000)
DEPTHS = (6, 10)
# qor criterion -> (task, scikit-learn criterion)
CRITERIA = {
    "gini": ("classification", "gini"),
    "entropy": ("classification", "entropy"),
    "mse": ("regression", "squared_error"),
    "mae": ("regression", "absolute_error"),
}
SKLEARN_LIMIT = 60.0  # seconds: a scikit-learn fit expected to take longer is skipped


def make_data(task, rows):
    from sklearn.datasets import make_classification, make_regression

    if task == "classification":
        X, y = make_classification(n_samples=rows, n_features=N_FEATURES, n_informative=10,
                                   n_redundant=5, random_state=0)
    else:
        X, y = make_regression(n_samples=rows, n_features=N_FEATURES, n_informative=10,
                               noise=10.0, random_state=0)
    return np.ascontiguousarray(X, dtype=np.float64), np.ascontiguousarray(y, dtype=np.float64)


def native_model(task, criterion, depth):
    return _qor_native.QORModel(task, criterion, depth, 2, 1)


def qor_model(task, criterion, depth, n_jobs=-1):
    from qor import QORClassifier, QORRegressor

    kind = QORClassifier if task == "classification" else QORRegressor
    return kind(criterion=criterion, max_depth=depth, n_jobs=n_jobs)


def sklearn_model(task, criterion, depth):
    from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor

    kind = DecisionTreeClassifier if task == "classification" else DecisionTreeRegressor
    return kind(criterion=CRITERIA[criterion][1], max_depth=depth, min_samples_split=2,
                min_samples_leaf=1, random_state=0)


def timed(call, *args):
    start = time.perf_counter()
    call(*args)
    return time.perf_counter() - start


# Peak memory, in a fresh interpreter for each configuration.

def _rss_kib(field):
    with open("/proc/self/status") as status:
        return int(re.search(rf"^{field}:\s+(\d+) kB", status.read(), re.M).group(1))


def _measure_memory(library, criterion, rows, depth):
    task = CRITERIA[criterion][0]
    X, y = make_data(task, rows)
    model = qor_model(task, criterion, depth) if library == "qor" else sklearn_model(
        task, criterion, depth)
    gc.collect()
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # the high-water mark restarts from the current resident size
    before = _rss_kib("VmRSS")
    model.fit(X, y)
    peak = _rss_kib("VmHWM")
    print(json.dumps({"peak_mib": (peak - before) / 1024}))


def peak_memory(library, criterion, rows, depth):
    out = subprocess.run(
        [sys.executable, __file__, "--measure-memory", library, criterion, str(rows), str(depth)],
        check=True, capture_output=True, text=True)
    return json.loads(out.stdout)["peak_mib"]


# The table.

def estimate(previous, rows):
    """Time at `rows` from the time at a smaller size, growing like n log n."""
    if previous is None:
        return None
    small_rows, seconds = previous
    return seconds * rows / small_rows * math.log(rows) / math.log(small_rows)


def run_configuration(X, y, criterion, depth, repeats, sklearn_expected):
    task = CRITERIA[criterion][0]
    with_sklearn = sklearn_expected is None or sklearn_expected <= SKLEARN_LIMIT
    times = {"qor_fit": [], "qor_fit_1": [], "native_fit": [], "qor_predict": [],
             "sk_fit": [], "sk_predict": []}
    for _ in range(repeats):
        ours = qor_model(task, criterion, depth)
        times["qor_fit"].append(timed(ours.fit, X, y))
        times["qor_predict"].append(timed(ours.predict, X))
        times["qor_fit_1"].append(timed(qor_model(task, criterion, depth, n_jobs=1).fit, X, y))
        times["native_fit"].append(timed(native_model(task, criterion, depth).fit, X, y))
        del ours
        if with_sklearn:
            theirs = sklearn_model(task, criterion, depth)
            times["sk_fit"].append(timed(theirs.fit, X, y))
            times["sk_predict"].append(timed(theirs.predict, X))
            del theirs
            if times["sk_fit"][-1] > SKLEARN_LIMIT:
                break  # one run over the limit is measurement enough
        gc.collect()
    return {key: statistics.median(values) if values else None for key, values in times.items()}


def fmt(value, digits=3):
    return "-" if value is None else f"{value:.{digits}f}"


def machine():
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as info:
            cpu = re.search(r"^model name\s*:\s*(.+)$", info.read(), re.M).group(1)
    except (OSError, AttributeError):
        pass
    import sklearn

    return (f"{cpu}, {os.cpu_count()} cores; Python {platform.python_version()}, "
            f"numpy {np.__version__}, scikit-learn {sklearn.__version__}")


def categorical_cost(rows, repeats, categories=100):
    """Fit time with one column of `categories` categories (no order in them) declared
    categorical, against the same column's integer codes read as numbers."""
    from qor import QORClassifier

    X, y = make_data("classification", rows)
    rng = np.random.default_rng(0)
    codes = rng.integers(0, categories, rows)
    ones = rng.permutation(categories)[: categories // 2]
    X[:, 0] = codes
    y = np.where(rng.random(rows) < 0.8, np.isin(codes, ones), y).astype(np.float64)
    times = {"categorical": [], "codes": []}
    for _ in range(repeats):
        times["categorical"].append(
            timed(QORClassifier(max_depth=10, categorical_features=[0], n_jobs=-1).fit, X, y))
        times["codes"].append(timed(QORClassifier(max_depth=10, n_jobs=-1).fit, X, y))
    return {key: statistics.median(values) for key, values in times.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=SIZES)
    parser.add_argument("--criteria", nargs="+", default=list(CRITERIA), choices=list(CRITERIA))
    parser.add_argument("--depths", type=int, nargs="+", default=DEPTHS)
    parser.add_argument("--repeats", type=int, default=3,
                        help="repetitions per configuration (5 below 100,000 rows)")
    parser.add_argument("--no-memory", action="store_true", help="skip the memory subprocesses")
    parser.add_argument("--measure-memory", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.measure_memory:
        library, criterion, rows, depth = args.measure_memory
        _measure_memory(library, criterion, int(rows), int(depth))
        return

    print(f"Machine: {machine()}")
    print(f"Load average at start: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    header = (f"{'rows':>9} {'criterion':>9} {'depth':>5} | {'qor fit s':>9} {'1 core s':>8} "
              f"{'cores':>5} {'native s':>8} {'sklearn fit s':>14} {'speedup':>8} | "
              f"{'qor pred s':>10} {'sklearn pred s':>14} {'skl/qor':>7} | "
              f"{'qor peak MiB':>12} {'skl peak MiB':>12} {'qor peak/X':>10}")
    print("Times: median of interleaved repetitions. qor fit: the estimator with n_jobs=-1; "
          "1 core: n_jobs=1; native: _qor_native's fit; predict on the training X.")
    print("Peak: growth of VmHWM over VmRSS during one fit, fresh process per configuration.")
    print(header)
    print("-" * len(header))
    notes = []
    sklearn_seen = {}  # (criterion, depth) -> (rows, fit seconds) at the largest size measured
    for rows in args.sizes:
        repeats = args.repeats if rows >= 100_000 else max(args.repeats, 5)
        data = {}
        for criterion in args.criteria:
            task = CRITERIA[criterion][0]
            if task not in data:
                data[task] = make_data(task, rows)
            X, y = data[task]
            x_mib = X.nbytes / 2**20
            for depth in args.depths:
                expected = estimate(sklearn_seen.get((criterion, depth)), rows)
                result = run_configuration(X, y, criterion, depth, repeats, expected)
                if result["sk_fit"] is not None:
                    sklearn_seen[(criterion, depth)] = (rows, result["sk_fit"])
                    sk_fit = fmt(result["sk_fit"])
                    speedup = f"{result['sk_fit'] / result['qor_fit']:.1f}x"
                    pred_ratio = f"{result['sk_predict'] / result['qor_predict']:.2f}"
                else:
                    sk_fit = f"~{expected:.0f} skip"
                    speedup = f"~{expected / result['qor_fit']:.0f}x"
                    pred_ratio = "-"
                    notes.append(f"{rows:,} rows, {criterion}, depth {depth}: scikit-learn skipped, "
                                 f"estimated {expected:.0f} s from {sklearn_seen[(criterion, depth)][0]:,} "
                                 f"rows (n log n)")
                qor_peak = sk_peak = None
                if not args.no_memory:
                    qor_peak = peak_memory("qor", criterion, rows, depth)
                    if result["sk_fit"] is not None:
                        sk_peak = peak_memory("sklearn", criterion, rows, depth)
                cores = f"{result['qor_fit_1'] / result['qor_fit']:.2f}"
                print(f"{rows:>9,} {criterion:>9} {depth:>5} | {fmt(result['qor_fit']):>9} "
                      f"{fmt(result['qor_fit_1']):>8} {cores:>5} {fmt(result['native_fit']):>8} "
                      f"{sk_fit:>14} {speedup:>8} | {fmt(result['qor_predict']):>10} "
                      f"{fmt(result['sk_predict']):>14} {pred_ratio:>7} | "
                      f"{fmt(qor_peak, 1):>12} {fmt(sk_peak, 1):>12} "
                      f"{'-' if qor_peak is None else f'{qor_peak / x_mib:.2f}':>10}", flush=True)
        del data
        gc.collect()
    rows = max(args.sizes)
    cost = categorical_cost(rows, args.repeats)
    print(f"\nOne categorical column of 100 categories, {rows:,} x {N_FEATURES}, gini, depth 10, "
          f"n_jobs=-1: {cost['categorical']:.3f} s declared categorical, "
          f"{cost['codes']:.3f} s as integer codes: {cost['categorical'] / cost['codes']:.2f}x")
    print(f"Load average at end: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    for note in notes:
        print(f"Note: {note}")


if __name__ == "__main__":
    main()
