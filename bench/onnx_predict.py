"""Prediction in onnxruntime beside qor's own, one thread each, on 1,000,000 rows.

One data set, 1,000,000 x 20 from make_classification (make_regression for the
regressor), a depth-10 tree fitted by qor. qor predicts with n_jobs=1; onnxruntime runs
the graph of qor.to_onnx with one intra-op and one inter-op thread, sequentially. The
runs alternate so that the machine's load falls on both alike; each figure is the
processor time of the best of --repeats runs. A graph's run yields labels and
probabilities together, so it is set beside predict and beside predict_proba.

    python bench/onnx_predict.py                 # the table
    python bench/onnx_predict.py --rows 100000   # a quick look
"""

import argparse
import os
import sys
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run import machine, make_data  # noqa: E402

DEPTH = 10


def cpu(call, *args):
    start = time.process_time()
    call(*args)
    return time.process_time() - start


def session(proto):
    import onnxruntime as ort

    options = ort.SessionOptions()
    options.intra_op_num_threads = options.inter_op_num_threads = 1
    options.execution_mode = ort.ExecutionMode.ORT_SEQUENTIAL
    return ort.InferenceSession(proto.SerializeToString(), options,
                                providers=["CPUExecutionProvider"])


def measure(model, X, repeats):
    from qor import to_onnx

    start = time.process_time()
    graphs = {"float64": to_onnx(model), "float32": to_onnx(model, dtype=np.float32)}
    convert = time.process_time() - start
    inputs = {"float64": X, "float32": X.astype(np.float32)}
    runs = {f"onnxruntime, {kind} inputs": (lambda s, x: s.run(None, {"X": x}),
                                            session(graph), inputs[kind])
            for kind, graph in graphs.items()}
    runs["qor predict"] = (lambda m, x: m.predict(x), model, X)
    if hasattr(model, "predict_proba"):
        runs["qor predict_proba"] = (lambda m, x: m.predict_proba(x), model, X)
    best = {name: float("inf") for name in runs}
    for _ in range(repeats):
        for name, (call, target, x) in runs.items():
            best[name] = min(best[name], cpu(call, target, x))
    return best, convert, len(graphs["float64"].SerializeToString())


def main():
    from qor import QORClassifier, QORRegressor

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()

    print(f"Machine: {machine()}")
    print(f"Load average at start: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    print(f"{args.rows:,} x 20, depth {DEPTH}, one thread; processor time, best of "
          f"{args.repeats} interleaved runs")
    for task, make in (("classification", QORClassifier), ("regression", QORRegressor)):
        X, y = make_data(task, args.rows)
        model = make(max_depth=DEPTH).fit(X, y)
        best, convert, size = measure(model, X, args.repeats)
        print(f"\n{make.__name__}: {model.tree_.node_count:,} nodes; to_onnx "
              f"{convert * 1000:.0f} ms for both graphs, {size / 1024:.0f} KiB each (float64)")
        print("| run | ms | vs qor predict |\n|---|---:|---:|")
        for name, seconds in best.items():
            print(f"| {name} | {seconds * 1000:.1f} | "
                  f"{seconds / best['qor predict']:.2f}x |")
    print(f"\nLoad average at end: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
