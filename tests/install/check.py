"""The installed package on one interpreter: import, fit, predict, save, load and the
command, with the runtime dependencies alone (no test or plot extras).

`make test-versions` runs it on every supported Python found besides the development
one. Each run prints a fingerprint of the trees it grew and their predictions, and with
`--expect` compares it with the development interpreter's: the engine's results must
not depend on the Python version.

Usage: python tests/install/check.py [--write FILE | --expect FILE]
"""

import argparse
import hashlib
import math
import pickle
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np
import pandas as pd
from sklearn.base import clone

import qor
from qor import QORClassifier, QORRegressor, export_python, export_text, load, save

COLOURS = ["red", "green", "blue", None]


def table(n: int = 600) -> tuple[pd.DataFrame, list[str], list[float]]:
    """Rows from integer arithmetic alone, so that every Python and NumPy version reads
    the same doubles: a number with missing values, a text category, an integer."""
    state, columns = 2026, {"size": [], "colour": [], "count": []}
    labels, targets = [], []
    for i in range(n):
        state = (state * 6364136223846793005 + 1442695040888963407) % 2**64
        draw = state >> 11  # 53 random bits
        size = (draw % 100_000) / 1000 if draw % 17 else math.nan
        colour = COLOURS[(draw >> 20) % 4]
        count = (draw >> 30) % 9
        columns["size"].append(size)
        columns["colour"].append(colour)
        columns["count"].append(count)
        dear = (size > 40 if size == size else count > 4) != (colour in ("red", None))
        labels.append("yes" if dear != ((draw >> 40) % 7 == 0) else "no")
        targets.append(count * 2.5 + (size if size == size else 50.0) / 10 + (draw >> 45) % 5)
    return pd.DataFrame(columns), labels, targets


def check(condition: bool, what: str) -> None:
    if not condition:
        raise SystemExit(f"check failed on Python {sys.version.split()[0]}: {what}")


def predicts_as_before(model, other, X) -> bool:
    if hasattr(model, "classes_"):
        return model.predict_proba(X).tobytes() == other.predict_proba(X).tobytes()
    return model.predict(X).tobytes() == other.predict(X).tobytes()


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--write", type=Path, help="write the fingerprint to this file")
    parser.add_argument("--expect", type=Path, help="compare the fingerprint with this file's")
    args = parser.parse_args()

    X, labels, targets = table()
    models = {
        "gini": (QORClassifier(max_depth=4, n_jobs=2), X, labels),
        "entropy, binned": (QORClassifier(criterion="entropy", max_depth=4, max_bins=16),
                            X, labels),
        "mse": (QORRegressor(max_depth=4, n_jobs=2), X, targets),
        "mae": (QORRegressor(criterion="mae", max_depth=3), X, targets),
    }
    digest = hashlib.sha256()
    with tempfile.TemporaryDirectory() as folder:
        for name, (model, X_fit, y_fit) in models.items():
            model.fit(X_fit, y_fit)
            tree = model.tree_
            check(tree.node_count > 7 and list(model.depth_features_) == [0, 1, 2, 3][
                :len(model.depth_features_)], f"{name}: a tree of several levels")
            check(model.n_jobs != 2 or predicts_as_before(
                model, clone(model).set_params(n_jobs=1).fit(X_fit, y_fit), X_fit),
                f"{name}: the same tree on one thread")
            path = Path(folder) / f"{name}.json"
            save(model, path)
            check(predicts_as_before(model, load(path), X_fit), f"{name}: saved and loaded")
            check(predicts_as_before(model, pickle.loads(pickle.dumps(model)), X_fit),
                  f"{name}: pickled")
            check(export_text(load(path)) == export_text(model), f"{name}: export_text")
            namespace = {}
            exec(export_python(model), namespace)
            rows = X_fit.astype(object).where(X_fit.notna(), math.nan).to_numpy().tolist()
            check([namespace["predict_row"](row) for row in rows] ==
                  model.predict(X_fit).tolist(),
                  f"{name}: export_python predicts as the model")
            for array in (tree.children_left, tree.feature, tree.threshold, tree.value,
                          tree.impurity, tree.n_node_samples, tree.category_start,
                          tree.category_end, tree.categories_left):
                digest.update(np.ascontiguousarray(array).tobytes())
            digest.update(model.predict(X_fit).astype(str).tobytes())

        # The command, through the installed script.
        X.assign(label=labels).to_csv(Path(folder) / "rows.csv", index=False)
        command = Path(sys.executable).with_name("qor")
        for arguments in (["fit", "rows.csv", "--target", "label", "--save", "cli.json"],
                          ["predict", "cli.json", "rows.csv", "-o", "predicted.csv"]):
            done = subprocess.run([str(command), *arguments], cwd=folder, capture_output=True,
                                  text=True)
            check(done.returncode == 0, f"qor {arguments[0]}: {done.stderr.strip()}")
        saved = load(Path(folder) / "cli.json")
        predicted = pd.read_csv(Path(folder) / "predicted.csv")
        check(predicted["prediction"].tolist() == saved.predict(X).tolist(),
              "qor predict predicts as the model it saved")

    # The compatibility module, on the numeric columns.
    import _qor_native
    native = _qor_native.QORModel("classification", "gini", 4, 2, 1)
    numbers = np.ascontiguousarray(X[["size", "count"]].to_numpy(dtype=np.float64))
    codes = np.searchsorted(np.unique(labels), labels).astype(np.float64)
    native.fit(numbers, codes)
    check(len(native.depth_features_) > 1, "_qor_native: a tree of several levels")
    digest.update(np.asarray(native.predict_proba(numbers)).tobytes())
    digest.update(repr(sorted(native.depth_features_.items())).encode())

    fingerprint = digest.hexdigest()
    print(f"qor {qor.__version__} on Python {sys.version.split()[0]}, NumPy {np.__version__}: "
          f"fit, predict, save, load, export and the command work; trees {fingerprint[:16]}")
    if args.write:
        args.write.parent.mkdir(parents=True, exist_ok=True)
        args.write.write_text(fingerprint + "\n")
    if args.expect:
        expected = args.expect.read_text().strip()
        check(fingerprint == expected, f"the trees differ from those of {args.expect} "
                                       f"({fingerprint[:16]} against {expected[:16]})")


if __name__ == "__main__":
    main()
