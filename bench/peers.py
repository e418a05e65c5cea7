"""qor's exact and binned fits beside LightGBM's one tree and scikit-learn's, in one process.

One data set, 1,000,000 x 20 from make_classification, depth 10, gini. Fits and
predictions alternate between the learners so that the machine's load falls on all
of them alike; times are medians. LightGBM grows one tree of up to 1,024 leaves and
depth 10 with its binning included, which is what a user of it pays for one tree.
scikit-learn's tree is fitted once (it takes tens of seconds) for its prediction.
Peak memory is qor's exact fit in a fresh process, as bench/run.py measures it.

    python bench/peers.py                 # the table
    python bench/peers.py --rows 100000   # a quick look
"""

import argparse
import os
import statistics
import sys

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run import machine, make_data, native_model, peak_memory, timed  # noqa: E402

DEPTH = 10


def qor_fit(X, y, threads, max_bins=None):
    from qor import QORClassifier

    model = QORClassifier(max_depth=DEPTH, max_bins=max_bins, n_jobs=threads)
    return timed(model.fit, X, y), model


def lightgbm_fit(X, y, threads):
    import lightgbm

    # One tree at full step: its leaves hold the trees' answers, as a single tree's do.
    model = lightgbm.LGBMClassifier(n_estimators=1, learning_rate=1.0, num_leaves=2**DEPTH,
                                    max_depth=DEPTH, min_child_samples=1, min_child_weight=0.0,
                                    n_jobs=threads, verbose=-1)
    return timed(model.fit, X, y), model


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--no-memory", action="store_true")
    args = parser.parse_args()

    X, y = make_data("classification", args.rows)
    print(f"Machine: {machine()}")
    print(f"{args.rows:,} x {X.shape[1]}, make_classification, depth {DEPTH}, gini; "
          f"medians of {args.repeats} interleaved runs")
    print(f"Load average at start: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")

    fits = {}
    predicts = {}
    models = {}

    def record(table, key, seconds):
        table.setdefault(key, []).append(seconds)

    for _ in range(args.repeats):
        for threads in (1, 2):
            seconds, models["qor exact"] = qor_fit(X, y, threads)
            record(fits, ("qor exact", threads), seconds)
            seconds, models["qor binned"] = qor_fit(X, y, threads, max_bins=255)
            record(fits, ("qor binned", threads), seconds)
            seconds, models["LightGBM"] = lightgbm_fit(X, y, threads)
            record(fits, ("LightGBM", threads), seconds)
        record(fits, ("_qor_native", 1), timed(native_model("classification", "gini", DEPTH).fit, X, y))

    from sklearn.tree import DecisionTreeClassifier

    sk_seconds = timed((sk := DecisionTreeClassifier(max_depth=DEPTH, random_state=0)).fit, X, y)
    for _ in range(args.repeats):
        for threads in (1, 2):
            for name in ("qor exact", "LightGBM"):
                models[name].set_params(n_jobs=threads)
                record(predicts, (name, "predict", threads), timed(models[name].predict, X))
                record(predicts, (name, "predict_proba", threads),
                       timed(models[name].predict_proba, X))
        record(predicts, ("scikit-learn", "predict", 1), timed(sk.predict, X))
        record(predicts, ("scikit-learn", "predict_proba", 1), timed(sk.predict_proba, X))

    def median(table, key):
        return statistics.median(table[key]) if key in table else None

    def cell(value):
        return "-" if value is None else f"{value:.3f}"

    print(f"\n{'learner':<14} {'fit 1 thread s':>14} {'fit 2 threads s':>15} | "
          f"{'predict 1/2 s':>13} {'proba 1/2 s':>13}")
    rows = [("qor exact", True), ("qor binned", False), ("_qor_native", False),
            ("LightGBM", True), ("scikit-learn", True)]
    for name, predicted in rows:
        one = median(fits, (name, 1)) if name != "scikit-learn" else sk_seconds
        two = median(fits, (name, 2))
        pred = proba = "-"
        if predicted:
            pred = "/".join(cell(median(predicts, (name, "predict", t))) for t in (1, 2))
            proba = "/".join(cell(median(predicts, (name, "predict_proba", t))) for t in (1, 2))
        print(f"{name:<14} {cell(one):>14} {cell(two):>15} | {pred:>13} {proba:>13}")

    exact = {t: median(fits, ("qor exact", t)) for t in (1, 2)}
    light = {t: median(fits, ("LightGBM", t)) for t in (1, 2)}
    print()
    for t in (1, 2):
        print(f"qor exact / LightGBM at {t} thread{'s' * (t > 1)}: {exact[t] / light[t]:.2f}")
    for kind in ("predict", "predict_proba"):
        ratio = median(predicts, ("scikit-learn", kind, 1)) / median(predicts, ("qor exact", kind, 1))
        print(f"scikit-learn / qor {kind} at 1 thread: {ratio:.2f}x")
    if not args.no_memory:
        peak = peak_memory("qor", "gini", args.rows, DEPTH)
        print(f"qor exact fit peak memory beyond X: {peak:.1f} MiB = "
              f"{peak / (X.nbytes / 2**20):.2f} x X")
    print(f"Load average at end: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
