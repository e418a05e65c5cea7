"""qor's binned fit at scale: through the estimator against LightGBM, and on Dask
from a table on disk larger than the machine's memory.

    python bench/scale.py estimator      # 10,000,000 x 20, depth 10: qor and LightGBM
    python bench/scale.py dask --dir D   # a Parquet table of 1.5x memory in D, fitted
                                         # at depth 8 on a LocalCluster of 2 workers

`estimator` times QORClassifier(max_bins=255, n_jobs=-1) (quantization and growth,
as `fit` does them) and LightGBM growing one tree of the same depth from the same
number of bins (Dataset construction and one boosting round at learning rate 1,
leaves enough for the depth, the same leaf limits, as many threads), each in a fresh
process per repetition with the data made there first. Memory is the growth of the
resident set's high-water mark over the fit (VmHWM, reset through
/proc/self/clear_refs), beyond the resident size with X already in memory.

`dask` writes the table in chunks (once; an existing table of the right size is
reused), fits it with qor.dask, and reports the time, the peak resident memory of
each worker process (polled from outside every 0.2 s) and rows per second against
the in-memory binned fit of 10,000,000 rows at the same depth.
"""

import argparse
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

N_FEATURES = 20
GIB = 2**30


def make_data(rows, seed=0, start=0):
    """Two classes decided by three columns and noise; the other columns are noise.
    Rows [start, start + rows) of one endless table: chunks of it agree with it whole."""
    rng = np.random.default_rng([seed, start])
    X = rng.standard_normal((rows, N_FEATURES))
    signal = X[:, 0] + 0.5 * X[:, 1] * X[:, 2] + 0.5 * rng.standard_normal(rows)
    return X, (signal > 0.3).astype(np.int64)


def peak_reset():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def status_bytes(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(field)


def run_one(library, rows, depth):
    """One fit in this process: seconds, bytes beyond X, and a check of the tree."""
    X, y = make_data(rows)
    if library == "qor":
        from qor import QORClassifier

        model = QORClassifier(max_depth=depth, max_bins=255, n_jobs=-1)
        before = status_bytes("VmRSS")
        peak_reset()
        start = time.perf_counter()
        model.fit(X, y)
        seconds = time.perf_counter() - start
        leaves = model.get_n_leaves()
        accuracy = float(np.mean(model.predict(X[:1_000_000]) == y[:1_000_000]))
    else:
        import lightgbm as lgb

        params = {
            "objective": "binary", "learning_rate": 1.0, "num_iterations": 1,
            "max_depth": depth, "num_leaves": 2**depth, "max_bin": 255,
            "min_data_in_leaf": 1, "min_sum_hessian_in_leaf": 0.0, "lambda_l2": 0.0,
            "min_gain_to_split": 0.0, "bin_construct_sample_cnt": 200_000,
            "num_threads": os.cpu_count(), "verbose": -1,
        }
        before = status_bytes("VmRSS")
        peak_reset()
        start = time.perf_counter()
        data = lgb.Dataset(X, y, params=params, free_raw_data=True).construct()
        booster = lgb.train(params, data)
        seconds = time.perf_counter() - start
        leaves = booster.dump_model()["tree_info"][0]["num_leaves"]
        accuracy = float(np.mean((booster.predict(X[:1_000_000]) > 0.5) == y[:1_000_000]))
    beyond = status_bytes("VmHWM") - before
    return {"seconds": seconds, "beyond_x": beyond, "x_bytes": X.nbytes, "leaves": leaves,
            "accuracy": accuracy}


def fresh(library, rows, depth):
    out = subprocess.run([sys.executable, __file__, "one", library, str(rows), str(depth)],
                         check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def machine():
    model = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    import sklearn

    versions = f"Python {platform.python_version()}, NumPy {np.__version__}, " \
               f"scikit-learn {sklearn.__version__}"
    return f"{model}, {os.cpu_count()} cores, " \
           f"{os.sysconf('SC_PAGE_SIZE') * os.sysconf('SC_PHYS_PAGES') / GIB:.0f} GiB; " \
           f"{versions}; load average {os.getloadavg()[0]:.2f}"


def estimator_bench(args):
    print(machine())
    print(f"{args.rows:,} x {N_FEATURES}, depth {args.depth}, gini, 255 bins, "
          f"{args.repeats} fresh processes each, alternating; median")
    results = {"qor": [], "lightgbm": []}
    for _ in range(args.repeats):
        for library in results:
            results[library].append(fresh(library, args.rows, args.depth))
    for library, runs in results.items():
        seconds = statistics.median(r["seconds"] for r in runs)
        beyond = statistics.median(r["beyond_x"] for r in runs)
        x_bytes = runs[0]["x_bytes"]
        print(f"{library:>9}: fit {seconds:6.2f} s (runs {', '.join(f'{r['seconds']:.2f}' for r in runs)})"
              f"  memory beyond X {beyond / 2**20:7.1f} MiB = {beyond / x_bytes:.2f} x X"
              f"  leaves {runs[0]['leaves']}  accuracy {runs[0]['accuracy']:.4f}")
    print(f"load average at end: {os.getloadavg()[0]:.2f}")


def write_table(directory, rows, per_file):
    """The table in Parquet files of per_file rows, uncompressed (random doubles do not
    compress). File k always holds the same rows, so files already there are kept and
    only missing ones written; files beyond the table are removed."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    directory.mkdir(parents=True, exist_ok=True)
    names = [f"x{i}" for i in range(N_FEATURES)]
    files = -(-rows // per_file)
    layout = directory / "_layout"
    if layout.exists() and layout.read_text() != str(per_file):
        shutil.rmtree(directory)
        directory.mkdir(parents=True)
    layout.write_text(str(per_file))
    for extra in sorted(directory.glob("part-*.parquet"))[files:]:
        extra.unlink()
    start, written = time.perf_counter(), 0
    for k in range(files):
        path = directory / f"part-{k:05d}.parquet"
        n = min(per_file, rows - k * per_file)
        if path.exists() and pq.ParquetFile(path).metadata.num_rows == n:
            continue
        X, y = make_data(n, start=k * per_file)
        columns = [pa.array(X[:, i]) for i in range(N_FEATURES)] + [pa.array(y)]
        pq.write_table(pa.table(columns, names=names + ["y"]), path, compression="none",
                       row_group_size=per_file)
        written += 1
    print(f"wrote {written} of {files} files in {time.perf_counter() - start:.0f} s")
    return files


def poll_peaks(pids, peaks, stop):
    import psutil

    processes = {pid: psutil.Process(pid) for pid in pids}
    while not stop.is_set():
        for pid, process in processes.items():
            try:
                peaks[pid] = max(peaks.get(pid, 0), process.memory_info().rss)
            except psutil.NoSuchProcess:
                pass
        time.sleep(0.2)


def dask_bench(args):
    import dask.dataframe as dd
    import psutil
    from distributed import Client, LocalCluster

    import qor.dask
    from qor import QORClassifier

    print(machine())
    # The kernel reports a little less than the machine's nominal 24 GiB; on disk a row
    # takes its features' doubles, y (0 or 1) next to nothing in Parquet's encoding.
    memory = max(psutil.virtual_memory().total, 24 * GIB)
    row_bytes = N_FEATURES * 8
    rows = args.rows or (int(1.5 * memory / row_bytes) // args.per_file + 1) * args.per_file
    directory = Path(args.dir)
    free = shutil.disk_usage(directory.parent if not directory.exists() else directory).free
    files = write_table(directory, rows, args.per_file)
    on_disk = sum(p.stat().st_size for p in directory.glob("*.parquet"))
    print(f"table: {rows:,} rows x {N_FEATURES} features + y in {files} Parquet files, "
          f"{on_disk / GIB:.1f} GiB on disk = {on_disk / memory:.2f} x memory "
          f"({free / GIB:.0f} GiB were free)")

    with LocalCluster(n_workers=2, threads_per_worker=1, memory_limit=args.memory_limit,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        pids = list(client.run(os.getpid).values())
        peaks, stop = {}, threading.Event()
        poller = threading.Thread(target=poll_peaks, args=(pids, peaks, stop), daemon=True)
        poller.start()
        frame = dd.read_parquet(directory)
        X, y = frame[[f"x{i}" for i in range(N_FEATURES)]], frame["y"]
        start = time.perf_counter()
        model = qor.dask.fit(QORClassifier(max_depth=args.depth, max_bins=255), X, y)
        seconds = time.perf_counter() - start
        stop.set()
        poller.join()
    print(f"qor.dask fit, depth {args.depth}, 2 workers x 1 thread, memory limit "
          f"{args.memory_limit} each: {seconds:.0f} s, {rows / seconds:,.0f} rows/s, "
          f"{model.get_n_leaves()} leaves")
    for pid, peak in sorted(peaks.items()):
        print(f"  worker {pid}: peak resident {peak / GIB:.2f} GiB")

    X_mem, y_mem = make_data(args.memory_rows)
    local = QORClassifier(max_depth=args.depth, max_bins=255, n_jobs=-1)
    start = time.perf_counter()
    local.fit(X_mem, y_mem)
    local_seconds = time.perf_counter() - start
    print(f"in-memory binned fit, {args.memory_rows:,} rows, depth {args.depth}, 2 threads: "
          f"{local_seconds:.1f} s, {args.memory_rows / local_seconds:,.0f} rows/s; "
          f"the Dask fit reaches {rows / seconds / (args.memory_rows / local_seconds):.2f} of it")
    print(f"load average at end: {os.getloadavg()[0]:.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    est = sub.add_parser("estimator")
    est.add_argument("--rows", type=int, default=10_000_000)
    est.add_argument("--depth", type=int, default=10)
    est.add_argument("--repeats", type=int, default=3)
    dsk = sub.add_parser("dask")
    dsk.add_argument("--dir", required=True)
    dsk.add_argument("--rows", type=int, default=0, help="default: 1.5x memory")
    dsk.add_argument("--per-file", type=int, default=1_000_000)
    dsk.add_argument("--depth", type=int, default=8)
    dsk.add_argument("--memory-limit", default="10GiB")
    dsk.add_argument("--memory-rows", type=int, default=10_000_000)
    one = sub.add_parser("one")
    one.add_argument("library")
    one.add_argument("rows", type=int)
    one.add_argument("depth", type=int)
    args = parser.parse_args()
    if args.command == "one":
        print(json.dumps(run_one(args.library, args.rows, args.depth)))
    elif args.command == "estimator":
        estimator_bench(args)
    else:
        dask_bench(args)


if __name__ == "__main__":
    main()
