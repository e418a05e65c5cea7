"""The `qor` command: fit a tree on a CSV file and save it, predict with a saved model,
show one or export it to ONNX, audit a file's columns, or compare qor with CART
on bundled data.

Bad input ends the command with a message on stderr (one line, or a line per refused
column) and exit status 2.
"""

import argparse
import csv
import io
import math
import os
import sys
import tempfile
import time
import warnings
from contextlib import contextmanager
from pathlib import Path

import numpy as np
import pandas as pd
from pandas.api.types import is_bool_dtype, is_numeric_dtype
from sklearn.base import clone
from sklearn.datasets import load_breast_cancer, load_diabetes
from sklearn.model_selection import GridSearchCV, train_test_split
from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor

from . import __version__, _audit
from .estimators import QORClassifier, QORRegressor
from .export import export_dot, export_text
from .io import load, save
from .page import export_html
from .plot import plot_tree

USAGE_ERROR = 2
# The engine counts in signed 32 bits, and so do the tree's size limits.
LARGEST_INTEGER = 2**31 - 1
CRITERIA = {"classification": ("gini", "entropy", "log_loss"),
            "regression": ("mse", "mae", "squared_error", "absolute_error", "poisson")}
# An integer target with at most this many distinct values is taken for class labels.
MOST_INFERRED_CLASSES = 20
# Each side of the train/held-out split needs this many rows for a score to mean anything.
FEWEST_ROWS_PER_SIDE = 2
# The demo chooses each learner's max_depth among 1..--max-depth by this many folds.
DEMO_FOLDS = 5
# A file argument that means standard input or output.
STANDARD_STREAM = "-"
# Without --sep, the separator is sniffed among these from the file's first bytes; a
# comma where they do not tell (a file of one column, say).
SNIFFED_SEPARATORS = ",;\t|"
SNIFF_BYTES = 1 << 16
# Bins a binned fit may have per feature.
BINS = (2, 65535)
# The demo's page of its breast cancer tree: in the temporary folder, where a rerun
# replaces it and it clutters nothing.
DEMO_PAGE = Path(tempfile.gettempdir()) / "qor-demo-breast-cancer.html"


class InputError(Exception):
    """Input the command cannot use; its message is the whole report to the user."""


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        self.exit(USAGE_ERROR, f"{self.prog}: error: {message}\n")


def _at_least(lowest: int):
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected an integer, got {text!r}") from None
        if value < lowest:
            raise argparse.ArgumentTypeError(f"must be at least {lowest}, got {value}")
        if value > LARGEST_INTEGER:
            raise argparse.ArgumentTypeError(f"must be at most {LARGEST_INTEGER}, got {value}")
        return value
    return parse


def _number(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"expected a finite number, got {text!r}")
    return value


def _share(text: str) -> float:
    value = _number(text)
    if not 0.0 < value < 1.0:
        raise argparse.ArgumentTypeError(f"must lie strictly between 0 and 1, got {value}")
    return value


def _share_or_none(text: str) -> float:
    value = _number(text)
    if not 0.0 <= value < 1.0:
        raise argparse.ArgumentTypeError(f"must be at least 0 and below 1, got {value}")
    return value


def _not_negative(text: str) -> float:
    value = _number(text)
    if value < 0.0:
        raise argparse.ArgumentTypeError(f"must be at least 0, got {value}")
    return value


def _bins(text: str) -> int:
    value = _at_least(BINS[0])(text)
    if value > BINS[1]:
        raise argparse.ArgumentTypeError(f"must be at most {BINS[1]}, got {value}")
    return value


def _columns(text: str) -> list[str]:
    """Column names separated by commas (spaces around each name ignored)."""
    names = [name.strip() for name in text.split(",")]
    if not all(names):
        raise argparse.ArgumentTypeError(f"expected column names separated by commas, "
                                         f"got {text!r}")
    repeated = sorted({name for name in names if names.count(name) > 1})
    if repeated:
        raise argparse.ArgumentTypeError(f"names {', '.join(map(repr, repeated))} more "
                                         "than once")
    return names


def _separator(text: str) -> str:
    """One character; `tab` or `\\t` for a tab."""
    if text in ("tab", "\\t"):
        return "\t"
    if len(text) != 1 or text in "\"\r\n":
        raise argparse.ArgumentTypeError("expected one character (other than a quote or a "
                                         f"line break), or tab; got {text!r}")
    return text


def _sep_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--sep", type=_separator, metavar="CHAR",
                        help="the CSV file's separator (the word tab for a tab); by default "
                             "sniffed from its first lines among , ; tab |")


def _decimal_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--decimal", choices=[".", ","],
                        help="the CSV file's decimal mark; by default sniffed from its text "
                             "columns (12,5 and 1.234,5 are a decimal comma), with thousands "
                             "separators where its cells show them")


def _reading_options(parser: argparse.ArgumentParser) -> None:
    _sep_option(parser)
    _decimal_option(parser)


def _declared_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--categorical", type=_columns, metavar="A,B,...",
                        help="feature columns to split as categories as they are, even where "
                             "they hold numbers, dates or identifiers")
    parser.add_argument("--numeric", type=_columns, metavar="A,B,...",
                        help="feature columns to take as numbers as they are, even where "
                             "they look like row numbers or identifiers (text cells are then "
                             "missing values)")


def _precision_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--precision", type=_at_least(1), metavar="DIGITS",
                        help="significant digits of thresholds and values in the tree's text, "
                             "DOT file, picture and page (default 6, as qor.export_text's)")


def _tree_options(parser: argparse.ArgumentParser, max_depth: int, lowest: int,
                  depth_help: str, test_size) -> None:
    parser.add_argument("--max-depth", type=_at_least(lowest), default=max_depth, metavar="N",
                        help=f"{depth_help} (default {max_depth})")
    zero = ", 0 for none" if test_size is _share_or_none else ""
    parser.add_argument("--test-size", type=test_size, default=0.25, metavar="SHARE",
                        help=f"share of the rows held out for scoring (default 0.25{zero})")
    parser.add_argument("--seed", type=_at_least(0), default=0, metavar="N",
                        help="seed of the train/held-out split (default 0)")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="qor", description="Level-wise decision trees: one feature per depth.")
    parser.add_argument("--version", action="version", version=f"qor {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    fit = commands.add_parser(
        "fit", help="fit a tree on a CSV file and report it",
        description="Fit a tree on a CSV file (every column but the target is a feature, "
                    "unless --features or --drop say otherwise; a column holding text is a "
                    "categorical one), print how each column is taken, the feature of each "
                    "depth, the tree, the train and held-out scores and the fit time. Columns "
                    "that would fool the tree (row numbers, dates, identifiers, free text, "
                    "numbers with text cells) are refused, all in one message, each with its "
                    "fix.")
    fit.add_argument("data", type=Path, metavar="DATA.csv")
    fit.add_argument("--target", required=True, metavar="COLUMN", help="column to predict")
    chosen = fit.add_mutually_exclusive_group()
    chosen.add_argument("--features", type=_columns, metavar="A,B,...",
                        help="the feature columns, in this order (default: all but the "
                             "target)")
    chosen.add_argument("--drop", type=_columns, metavar="A,B,...",
                        help="columns that are not features (an id, another target, ...)")
    _declared_options(fit)
    fit.add_argument("--dropna-target", action="store_true",
                     help="drop the rows whose target is missing (by default they are "
                          "refused), and say how many")
    _reading_options(fit)
    fit.add_argument("--task", choices=sorted(CRITERIA),
                     help="default: classification for a non-numeric or boolean target, or an "
                          f"integer one with at most {MOST_INFERRED_CLASSES} distinct values; "
                          "regression otherwise")
    fit.add_argument("--criterion", choices=[c for pair in CRITERIA.values() for c in pair],
                     help="gini or entropy (log_loss) for classification (default gini); "
                          "mse (squared_error), mae (absolute_error) or poisson for "
                          "regression (default mse)")
    _tree_options(fit, max_depth=5, lowest=0, depth_help="levels that may split",
                  test_size=_share_or_none)
    fit.add_argument("--min-samples-split", type=_at_least(2), default=2, metavar="N",
                     help="a node with fewer rows is not split (default 2)")
    fit.add_argument("--min-samples-leaf", type=_at_least(1), default=1, metavar="N",
                     help="fewest rows either side of a split may get (default 1)")
    fit.add_argument("--min-impurity-decrease", type=_not_negative, default=0.0, metavar="X",
                     help="a node splits only where its share of the weight times the "
                          "split's impurity decrease reaches X (default 0)")
    fit.add_argument("--class-weight", choices=["balanced"],
                     help="balanced: weigh each class by the inverse of its row count "
                          "(classification)")
    fit.add_argument("--ccp-alpha", type=_not_negative, default=0.0, metavar="X",
                     help="prune the grown tree with cost-complexity alpha X (default 0: "
                          "no pruning)")
    fit.add_argument("--shrinkage", type=_not_negative, default=0.0, metavar="LAMBDA",
                     help="pull each node's value towards its parent's, the more the fewer "
                          "rows the parent has (default 0: values as grown)")
    fit.add_argument("--max-bins", type=_bins, metavar="N",
                     help=f"grow from at most N bins per feature ({BINS[0]}..{BINS[1]}; "
                          "default: from the exact values)")
    _precision_option(fit)
    fit.add_argument("--dot", type=Path, metavar="FILE", help="also write the tree as Graphviz DOT")
    fit.add_argument("--save", type=Path, metavar="MODEL.json",
                     help="also save the model (fitted on the training rows, all of them "
                          "with --test-size 0) for qor predict")
    fit.add_argument("--plot", type=Path, metavar="FILE",
                     help="also draw the tree into FILE.png or FILE.svg (needs qor[plot])")
    fit.add_argument("--plot-depth", type=_at_least(0), metavar="N",
                     help="draw only depths 0 to N, a deep tree's top levels (default: all)")
    fit.add_argument("--html", type=Path, metavar="FILE",
                     help="also write the tree as a page to open in a browser, with the "
                          "held-out rows to trace")
    fit.set_defaults(run=run_fit)

    predict = commands.add_parser(
        "predict", help="predict the rows of a CSV file with a saved model",
        description="Write one CSV line per row of DATA.csv: the prediction, and for a "
                    "classifier the probability of each class (proba_<class>). Feature "
                    "columns are found by name when the model knows their names, else "
                    "taken in order.")
    predict.add_argument("model", type=Path, metavar="MODEL.json")
    predict.add_argument("data", metavar="DATA.csv", help=f"{STANDARD_STREAM} reads standard input")
    predict.add_argument("-o", "--output", default=STANDARD_STREAM, metavar="FILE",
                         help=f"where to write (default {STANDARD_STREAM}: standard output)")
    predict.add_argument("--keep", type=_columns, metavar="A,B,...",
                         help="input columns to copy, as they are, into the output before "
                              "the prediction (an id, say)")
    predict.add_argument("--strict", action="store_true",
                         help="refuse (status 2) rows whose columns the tree reads hold "
                              "categories the fit never saw or missing values, instead of "
                              "sending them right and saying so on stderr")
    _reading_options(predict)
    predict.set_defaults(run=run_predict)

    audit = commands.add_parser(
        "audit", help="say how a fit would take each column of a CSV file",
        description="Judge every column of a CSV file as qor fit does (number, category, "
                    "date or time, identifier, row number, free text, empty) and print a "
                    "table: the kind, what a fit does with the column, the flag that "
                    "overrides it, and the evidence.")
    audit.add_argument("data", type=Path, metavar="DATA.csv")
    audit.add_argument("--target", metavar="COLUMN", help="the column a fit would predict "
                                                          "(left out of the table)")
    audit.add_argument("--drop", type=_columns, metavar="A,B,...",
                       help="columns a fit would not read")
    _declared_options(audit)
    _reading_options(audit)
    audit.set_defaults(run=run_audit)

    show = commands.add_parser("show", help="print a saved model's tree",
                               description="Print a saved model's tree as text.")
    show.add_argument("model", type=Path, metavar="MODEL.json")
    _precision_option(show)
    show.add_argument("--html", type=Path, metavar="FILE",
                      help="also write the tree as a page to open in a browser")
    show.set_defaults(run=run_show)

    export = commands.add_parser(
        "export", help="write a saved model for another runtime",
        description="Write a saved model as an ONNX file, which onnxruntime and the other "
                    "ONNX runtimes run without qor (see qor.to_onnx for its inputs and "
                    "outputs).")
    export.add_argument("model", type=Path, metavar="MODEL.json")
    export.add_argument("--onnx", type=Path, required=True, metavar="FILE",
                        help="where to write the ONNX model (needs qor[onnx])")
    export.add_argument("--dtype", choices=["float64", "float32"], default="float64",
                        help="type of the graph's numeric inputs and of its probabilities "
                             "or values (default float64: predicts bit for bit as the model)")
    export.set_defaults(run=run_export)

    demo = commands.add_parser(
        "demo", help="compare with scikit-learn's DecisionTree on bundled data",
        description="Fit qor and scikit-learn's DecisionTree on the breast cancer "
                    "(classification) and diabetes (regression) data bundled with "
                    "scikit-learn, each at the depth that cross-validation on the training "
                    "rows prefers, and report both side by side.")
    _tree_options(demo, max_depth=8, lowest=1,
                  depth_help="deepest max_depth the cross-validation tries", test_size=_share)
    demo.add_argument("--html", type=Path, default=DEMO_PAGE, metavar="FILE",
                      help=f"where to write the breast cancer tree's page (default {DEMO_PAGE})")
    demo.set_defaults(run=run_demo)
    return parser


def main(argv=None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        # No command is a usage error, as argparse treats any other: the help, with the
        # list of commands, on stderr and status 2.
        parser.print_help(sys.stderr)
        return USAGE_ERROR
    try:
        args.run(args)
        sys.stdout.flush()
    except InputError as error:
        print(f"qor {args.command}: error: {error}", file=sys.stderr)
        return USAGE_ERROR
    except BrokenPipeError:
        # The reader left early (qor demo | head): stop quietly, and keep the
        # interpreter's final flush from failing on the closed pipe again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    return 0


# ---- qor fit ---------------------------------------------------------------------------

@contextmanager
def _reading(name: str):
    """Reports a file that cannot be read as CSV as bad input."""
    try:
        yield
    except FileNotFoundError:
        raise InputError(f"{name}: no such file") from None
    except IsADirectoryError:
        raise InputError(f"{name}: is a directory, not a CSV file") from None
    except OSError as error:
        raise InputError(f"{name}: {error.strerror or error}") from None
    except pd.errors.EmptyDataError:
        raise InputError(f"{name}: the file is empty") from None
    except (pd.errors.ParserError, UnicodeDecodeError) as error:
        raise InputError(f"{name}: not a readable CSV file ({_first_line(error)})") from None


class _Csv:
    """A CSV file, or standard input ("-", read once and kept so that it can be read
    again), with its separator: --sep, or else the one sniffed from its first bytes; and
    the writing of its numbers: --decimal, or else the one its text columns show."""

    def __init__(self, path, sep: str | None, decimal: str | None = None):
        self.decimal = decimal
        self.writing = (decimal or ".", None)
        self.path = path
        self.name = "standard input" if str(path) == STANDARD_STREAM else str(path)
        self._text = None
        with _reading(self.name):
            if str(path) == STANDARD_STREAM:
                self._text = sys.stdin.read()
                sample, cut = self._text[:SNIFF_BYTES], len(self._text) > SNIFF_BYTES
            else:
                with open(path, "rb") as file:
                    head = file.read(SNIFF_BYTES)
                sample = head.decode("utf-8", errors="replace")
                cut = len(head) == SNIFF_BYTES
        self.sniffed = sep is None
        self.sep = _sniff(sample, cut) if sep is None else sep

    def read(self, **options) -> pd.DataFrame:
        """The table (pandas.read_csv's options); a ragged one is refused."""
        # Left to itself, pandas takes cells beyond the header's names for an index;
        # with index_col=False it drops them with a warning, which is made an error here.
        with _reading(self.name), warnings.catch_warnings():
            warnings.simplefilter("error", pd.errors.ParserWarning)
            try:
                return pd.read_csv(self._source(), sep=self.sep, index_col=False, **options)
            except pd.errors.ParserWarning as warning:
                if "Length of header" not in str(warning):
                    raise InputError(f"{self.name}: not a readable CSV file "
                                     f"({_first_line(warning)})") from None
        names = len(pd.read_csv(self._source(), sep=self.sep, nrows=0).columns)
        raise InputError(f"{self.name}: rows hold more cells than the header has names "
                         f"({names}); the separator is {self.sep!r}")

    def read_table(self, **options) -> pd.DataFrame:
        """The table with its numbers read in the file's writing (see numbers())."""
        frame = self.read(**options)
        self.writing = _sniff_writing(frame, self.decimal, self.sep)
        if self.writing == (".", None):
            return frame
        decimal, thousands = self.writing
        again = self.read(decimal=decimal, thousands=thousands, **options)
        changed = [str(c) for c in frame.columns if is_numeric_dtype(frame[c])
                   and not frame[c].equals(again[c])]
        if changed and self.decimal is None:
            raise InputError(f"{self.name}: numbers are written two ways: "
                             f"{', '.join(map(repr, changed))} with a decimal point, others "
                             f"with {_audit.describe_writing(self.writing)}; give --decimal "
                             f"{decimal} to read the others, and these from their text")
        if changed and thousands is not None:
            # Told the decimal mark, a separator of thousands sniffed from other columns
            # must not change these numbers: they are read from their text.
            self.writing = (decimal, None)
            again = self.read(decimal=decimal, **options)
        return again

    def numbers(self) -> str:
        """How numbers were read, for the report."""
        said = "sniffed; --decimal to choose" if self.decimal is None else "--decimal"
        decimal, thousands = self.writing
        between = "" if thousands is None else f", thousands separator {thousands!r}"
        return f"decimal mark {decimal!r}{between} ({said})"

    def _source(self):
        return self.path if self._text is None else io.StringIO(self._text)

    def separator(self) -> str:
        return f"{self.sep!r} ({'sniffed' if self.sniffed else '--sep'})"

    def one_column_hint(self, frame: pd.DataFrame) -> str:
        """For an error about a missing column: a hint when the file read as one column,
        as it does with a wrong separator."""
        if frame.shape[1] != 1:
            return ""
        return (f" (read as one column with the separator {self.sep!r}; if the file has "
                "another, give it with --sep)")


def _sniff(sample: str, cut: bool) -> str:
    """The separator of CSV text (`sample`: its start, `cut` short of the end), by
    csv.Sniffer among SNIFFED_SEPARATORS."""
    if cut:
        sample = sample[:sample.rfind("\n") + 1] or sample  # whole lines only
    try:
        return csv.Sniffer().sniff(sample, delimiters=SNIFFED_SEPARATORS).delimiter
    except csv.Error:
        return ","


def _sniff_writing(frame: pd.DataFrame, decimal: str | None, sep: str) -> tuple:
    """The writing (decimal mark, thousands separator) of a table's numbers, as its
    text columns show it (read with the plain one, numbers in another writing stay
    text): `decimal` if given, with the thousands separator its cells show. A comma
    between groups of three digits is a decimal comma in a file separated by semicolons
    (spreadsheets write those where the comma is the decimal mark)."""
    found = set()
    for name in frame.columns:
        column = frame[name]
        if is_numeric_dtype(column) or is_bool_dtype(column):
            continue
        values = column.dropna().to_numpy(object)[:_audit.SAMPLE_ROWS]
        if values.size:
            found.add(_audit.number_writing(np.unique(values.astype(str)))[0])
    found.discard(None)
    if decimal is None:
        if _audit.AMBIGUOUS in found and sep == ";":
            found = (found - {_audit.AMBIGUOUS}) | {(",", None)}
        comma = {w for w in found if w[0] == ","}
        if comma and not any(w[0] == "." for w in found):
            thousands = {w[1] for w in comma} - {None}
            return ",", (thousands.pop() if len(thousands) == 1 else None)
        if found == {(".", ",")}:
            return ".", ","
        return ".", None
    if decimal == ",":
        thousands = {w[1] for w in found if w[0] == ","} - {None}
        return ",", (thousands.pop() if len(thousands) == 1 else None)
    return ".", ("," if found & {(".", ","), _audit.AMBIGUOUS} else None)


def _first_line(error: Exception) -> str:
    return str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__


def choose_task(y: pd.Series, requested: str | None) -> tuple[str, str]:
    """The task and, for the report, why it was chosen."""
    numeric = is_numeric_dtype(y) and not is_bool_dtype(y)
    if requested == "regression" and not numeric:
        raise InputError(f"regression needs a numeric target, but {y.name!r} is not numeric")
    if requested is not None:
        return requested, "--task"
    if not numeric:
        return "classification", "inferred: the target is not numeric"
    values = y.to_numpy(dtype=np.float64)
    distinct = np.unique(values).size
    if np.array_equal(values, np.round(values)) and distinct <= MOST_INFERRED_CLASSES:
        return "classification", f"inferred: integer target with {distinct} distinct values"
    return "regression", "inferred: numeric target"


def _require_columns(frame: pd.DataFrame, names: list, table: _Csv) -> None:
    missing = [name for name in names if name not in frame.columns]
    if missing:
        columns = ", ".join(map(str, frame.columns))
        raise InputError(f"no column {', '.join(map(repr, missing))} in {table.name}; its "
                         f"columns are: {columns}{table.one_column_hint(frame)}")


def _features(frame: pd.DataFrame, args, table: _Csv, target: str | None) -> pd.DataFrame:
    """The feature columns: --features, or all but the target and --drop."""
    chosen = getattr(args, "features", None)
    _require_columns(frame, [*([target] if target else []), *(chosen or args.drop or [])],
                     table)
    for option, names in (("--features", chosen), ("--drop", args.drop)):
        if names is not None and target in names:
            raise InputError(f"{option} names the target {target!r}, which is never a feature")
    if chosen is not None:
        X = frame[chosen]
    else:
        X = frame.drop(columns=[*([target] if target else []), *(args.drop or [])])
    if X.shape[1] == 0:
        left = "--drop leaves" if args.drop else f"{table.name} has"
        raise InputError(f"{left} no feature columns besides the target {target!r}")
    for option, declared in (("--categorical", args.categorical), ("--numeric", args.numeric)):
        _require_columns(frame, declared or [], table)
        not_features = [name for name in declared or [] if name not in X.columns]
        if not_features:
            raise InputError(f"{option} names {', '.join(map(repr, not_features))}, which "
                             "is no feature column")
    both = set(args.categorical or []) & set(args.numeric or [])
    if both:
        raise InputError("--categorical and --numeric both name "
                         f"{', '.join(map(repr, sorted(both)))}")
    return X


def _decision(X: pd.DataFrame, args) -> "_audit.Decision":
    """Every column judged on the whole file, and how a fit takes it."""
    decision = _audit.decide_table(X, "from_dtype", args.numeric, judge_declared=True)
    if args.categorical:
        # Named columns as they are, and the text columns from_dtype takes besides.
        taken = decision.categorical | np.isin(decision.names, args.categorical)
        decision = _audit.decide(decision.verdicts, decision.names,
                                 [n for n, t in zip(decision.names, taken) if t], args.numeric)
    return decision


def _decide(X: pd.DataFrame, args, source) -> "_audit.Decision":
    """The decision for a fit; the columns it refuses, all in one error, each with its
    flags."""
    decision = _decision(X, args)
    if decision.refused:
        raise InputError(_audit.refusal(decision, door="cli", source=str(source)))
    return decision


def _features_and_target(frame: pd.DataFrame, args, table: _Csv) -> tuple[pd.DataFrame,
                                                                           pd.Series, int]:
    """X, y, and how many rows --dropna-target dropped."""
    X = _features(frame, args, table, args.target)
    _check_features(X)
    y = frame[args.target]
    missing = int(y.isna().sum())
    if missing and not args.dropna_target:
        raise InputError(f"the target {args.target!r} is missing in {missing} of {len(y)} "
                         "rows; --dropna-target drops those rows")
    if missing:
        X, y = X[y.notna()].reset_index(drop=True), y[y.notna()].reset_index(drop=True)
    return X, y, missing


def _check_features(X: pd.DataFrame, categorical=None) -> None:
    """Refuses infinite numbers, and text in a column that `categorical` (a mask over
    X's columns) says the model reads as numbers. Without a mask, as in a fit, a text
    column is a categorical feature."""
    if categorical is not None:
        said = []
        for name, is_set in zip(X.columns, categorical):
            if is_set or is_numeric_dtype(X[name]):
                continue
            values = X[name].to_numpy(object)
            text = pd.to_numeric(X[name], errors="coerce").isna().to_numpy() & ~(
                _audit.missing_text(values))
            if text.any():
                found, counts = np.unique(values[text].astype(str), return_counts=True)
                said.append(f"{name} ({_audit.shown(found.astype(object), counts, 3)})")
        if said:
            raise InputError("the model reads these columns as numbers, but they hold text: "
                             f"{'; '.join(said)}. Correct those cells, or leave them empty "
                             "(a missing value, which goes right)")
    infinite = [str(c) for c in X.columns if is_numeric_dtype(X[c])
                and np.isinf(X[c].to_numpy(np.float64, na_value=np.nan)).any()]
    if infinite:
        # Missing values are fine (they follow the right branch); infinities are not.
        raise InputError(f"feature columns hold infinite values: {', '.join(infinite)}")


def _write(path: Path, write) -> None:
    """Runs write(path), reporting a file that cannot be written as bad input."""
    try:
        write(path)
    except OSError as error:
        raise InputError(f"cannot write {path}: {error.strerror or error}") from None


def _draw(estimator, path: Path, max_depth: int | None, digits: dict) -> None:
    try:
        import matplotlib
        matplotlib.use("Agg")  # a file is all the command draws; no window
        import matplotlib.pyplot as plt
    except ImportError:
        raise InputError("--plot needs matplotlib: pip install 'qor[plot]'") from None
    figure = plot_tree(estimator, max_depth=max_depth, **digits)[0].figure
    try:
        # An SVG keeps its text as text, which can be searched and selected.
        with matplotlib.rc_context({"svg.fonttype": "none"}):
            _write(path, lambda p: figure.savefig(p, bbox_inches="tight"))
    except ValueError as error:  # a file type matplotlib does not write
        raise InputError(f"cannot write {path}: {_first_line(error)}") from None
    finally:
        plt.close(figure)


def _estimator(args, task: str, criterion: str, decision):
    """The estimator the options describe, told the kind of every feature column as
    the audit of the whole file found it, so that no split of the rows changes one."""
    params = dict(criterion=criterion, max_depth=args.max_depth,
                  min_samples_split=args.min_samples_split,
                  min_samples_leaf=args.min_samples_leaf,
                  min_impurity_decrease=args.min_impurity_decrease, ccp_alpha=args.ccp_alpha,
                  shrinkage=args.shrinkage, max_bins=args.max_bins,
                  **_audit.declarations(decision, by_name=True))
    if args.max_bins is not None and criterion in ("mae", "absolute_error"):
        raise InputError(f"--max-bins does not work with the {criterion} criterion, which "
                         "needs the exact values; use mse or leave out --max-bins")
    if task == "regression":
        if args.class_weight is not None:
            raise InputError("--class-weight is for classification, and this is regression")
        return QORRegressor(**params)
    return QORClassifier(class_weight=args.class_weight, **params)


def _model_line(estimator) -> str:
    """The estimator as a call, its columns' kinds aside: the columns table shows
    them (the lists of every column would bury the other parameters)."""
    plain = clone(estimator).set_params(categorical_features="from_dtype",
                                        numeric_features=None)
    return f"{plain!r}, with each column's kind as the columns table says"


def run_fit(args) -> None:
    table = _Csv(args.data, args.sep, args.decimal)
    frame = table.read_table()
    X, y, dropped = _features_and_target(frame, args, table)
    decision = _decide(X, args, args.data)
    task, reason = choose_task(y, args.task)
    criterion = args.criterion or CRITERIA[task][0]
    if criterion not in CRITERIA[task]:
        raise InputError(f"criterion {criterion!r} does not fit {task}; "
                         f"use {', '.join(CRITERIA[task][:-1])} or {CRITERIA[task][-1]}")
    n = len(y)
    n_test = math.ceil(args.test_size * n)
    if n_test == 0 and n < FEWEST_ROWS_PER_SIDE:
        raise InputError(f"too few rows: {n} for training, which needs at least "
                         f"{FEWEST_ROWS_PER_SIDE}")
    if n_test > 0 and min(n - n_test, n_test) < FEWEST_ROWS_PER_SIDE:
        raise InputError(f"too few rows: {n} rows split into {n - n_test} for training and "
                         f"{n_test} held out, and each side needs at least {FEWEST_ROWS_PER_SIDE}")

    estimator = _estimator(args, task, criterion, decision)
    if args.test_size == 0:
        X_train, X_test, y_train, y_test = X, None, y, None
    else:
        X_train, X_test, y_train, y_test = train_test_split(X, y, test_size=args.test_size,
                                                            random_state=args.seed)
    try:
        start = time.perf_counter()
        estimator.fit(X_train, y_train)
        seconds = time.perf_counter() - start
    except ValueError as error:
        # sklearn's validation speaks of X and y; here they are the file's columns.
        raise InputError(f"{args.data}: {_first_line(error)}") from None
    # The columns --numeric names read their text cells as missing values, as told.
    with _audit.quiet_named_numbers():
        train_score = estimator.score(X_train, y_train)
        test_score = None if X_test is None else estimator.score(X_test, y_test)

    digits = {} if args.precision is None else {"precision": args.precision}
    if args.dot is not None:
        _write(args.dot, lambda path: path.write_text(export_dot(estimator, **digits),
                                                      encoding="utf-8"))
    if args.save is not None:
        _write(args.save, lambda path: save(estimator, path))
    if args.plot is not None:
        _draw(estimator, args.plot, args.plot_depth, digits)
    if args.html is not None:
        _write(args.html, lambda path: export_html(estimator, path, X_test, y_test, **digits))

    metric = "accuracy" if task == "classification" else "R^2"
    split = (f"all {n} rows for training, none held out (test size 0)" if X_test is None
             else f"{len(y_train)} rows for training, {len(y_test)} held out "
                  f"(test size {args.test_size}, seed {args.seed})")
    report = [
        ("data", f"{args.data}: {n} rows, {X.shape[1]} features, target {args.target!r}"),
        *([("dropped", f"{dropped} rows whose target is missing (--dropna-target)")]
          if dropped else []),
        ("separator", table.separator()),
        ("numbers", table.numbers()),
        ("task", f"{task} ({reason})"),
        ("categorical", ", ".join(str(c) for c in X.columns[estimator.is_categorical_])
         or "none"),
        ("model", _model_line(estimator)),
        ("split", split),
    ]
    _print_fields(report)
    print()
    print("columns")
    _print_table(_audit.table(decision, door="cli"))
    print()
    print("features by depth")
    names = estimator.feature_names_in_
    for depth, feature in estimator.depth_features_.items():
        print(f"  depth {depth}: {names[feature]}")
    if not estimator.depth_features_:
        print("  none: the tree is a single leaf")
    print()
    print("tree")
    print(export_text(estimator, **digits), end="")
    print()
    scores = [(f"train {metric}", f"{train_score:.4f}")]
    if X_test is not None:
        scores.append((f"held-out {metric}", f"{test_score:.4f}"))
    scores.append(("fit time", _duration(seconds)))
    for label, path in (("dot file", args.dot), ("model file", args.save),
                        ("picture", args.plot), ("page", args.html)):
        if path is not None:
            scores.append((label, str(path)))
    _print_fields(scores)


def _print_table(frame: pd.DataFrame) -> None:
    """The audit's table, a column per field, the evidence last (it is the longest)."""
    fields = ["column", "kind", "action", "override", "evidence"]
    rows = [[str(v) for v in frame[f]] for f in fields]
    widths = [max(len(f), *(len(v) for v in values)) for f, values in zip(fields, rows)]
    for line in [fields, *zip(*rows)]:
        print("  " + "  ".join(v.ljust(w) for v, w in zip(line, widths)).rstrip())


def _print_fields(fields: list[tuple[str, str]]) -> None:
    for label, text in fields:
        print(f"{label:<19}{text}")


def _duration(seconds: float) -> str:
    return f"{seconds * 1e3:.1f} ms" if seconds < 1 else f"{seconds:.2f} s"


# ---- qor predict, qor show -------------------------------------------------------------

def _load_model(path: Path):
    try:
        return load(path)
    except FileNotFoundError:
        raise InputError(f"{path}: no such file") from None
    except IsADirectoryError:
        raise InputError(f"{path}: is a directory, not a model file") from None
    except OSError as error:
        raise InputError(f"{path}: {error.strerror or error}") from None
    except ValueError as error:  # names the file and what is wrong with it
        raise InputError(str(error)) from None


def _text_features(model) -> list:
    """The model's categorical features (names, or positions without names) whose
    categories are all text: a file is read with those columns as text, so that a
    category such as "10" is found even where the column holds only numbers."""
    names = getattr(model, "feature_names_in_", range(model.n_features_in_))
    return [name for name, values in zip(names, model.categories_)
            if values is not None and all(isinstance(v, str) for v in values)]


def _model_features(model, frame: pd.DataFrame, table: _Csv):
    """The columns of `frame` the model reads: by name when it knows their names,
    else all of them, in order."""
    source = table.name
    names = getattr(model, "feature_names_in_", None)
    if names is not None:
        missing = [str(n) for n in names if n not in frame.columns]
        if missing:
            raise InputError(f"{source} lacks the model's feature columns: {', '.join(missing)}"
                             f"{table.one_column_hint(frame)}")
        X = frame[list(names)]
    elif frame.shape[1] != model.n_features_in_:
        raise InputError(f"{source} has {frame.shape[1]} columns, but the model takes "
                         f"{model.n_features_in_} (by position: it has no feature names)")
    else:
        X = frame
    _check_features(X, model.is_categorical_)
    if names is not None:
        return X
    if model.is_categorical_.any():
        return X.to_numpy(object)  # categories by value: the model encodes them
    return X.to_numpy(np.float64, na_value=np.nan)


def _went_right(model, X) -> list[str]:
    """Per column the tree reads, the rows that reached a split on it without a value
    it knows, and so went right: missing values, and categories the fit never saw."""
    names = getattr(model, "feature_names_in_", None)
    reached = model.decision_path(X).tocsc()
    said = []
    for j in sorted(set(model.depth_features_.values())):
        column = X[names[j]] if names is not None else pd.Series(X[:, j])
        at_split = np.zeros(len(column), dtype=bool)
        at_split[reached[:, np.flatnonzero(model.tree_.feature == j)].indices] = True
        missing = (column.isna() | (column.astype(str).str.strip() == "")).to_numpy()
        unseen = np.zeros(len(column), dtype=bool)
        if model.is_categorical_[j]:
            unseen = ~missing & ~column.isin(model.categories_[j]).to_numpy()
        parts = []
        for rows, what in ((at_split & unseen, "a category the fit never saw"),
                           (at_split & missing, "no value")):
            if rows.any():
                count = int(rows.sum())
                parts.append(f"{count} {'row' if count == 1 else 'rows'} with {what}")
                if what != "no value":
                    values, counts = np.unique(column[rows].astype(str), return_counts=True)
                    parts[-1] += f" ({_audit.shown(values.astype(object), counts, 3)})"
        if parts:
            name = names[j] if names is not None else j
            said.append(f"column {str(name)!r}: {' and '.join(parts)}")
    return said


def run_predict(args) -> None:
    model = _load_model(args.model)
    table = _Csv(args.data, args.sep, args.decimal)
    frame = table.read_table(dtype=dict.fromkeys(_text_features(model), str))
    if frame.empty:
        raise InputError(f"{table.name} has no rows")
    X = _model_features(model, frame, table)
    went_right = _went_right(model, X)
    if went_right and args.strict:
        raise InputError(f"{table.name}: rows the tree cannot place by their values "
                         "(--strict refuses them):\n"
                         + "\n".join(f"- {line}" for line in went_right))
    result = pd.DataFrame({"prediction": model.predict(X)})
    if hasattr(model, "classes_"):
        proba = model.predict_proba(X)
        for j, label in enumerate(model.classes_):
            result[f"proba_{label}"] = proba[:, j]
    if args.keep:
        _require_columns(frame, args.keep, table)
        clash = [name for name in args.keep if name in result.columns]
        if clash:
            raise InputError(f"--keep names {', '.join(map(repr, clash))}, a column the "
                             "output has already")
        # Read again as text, so that an id such as 007 or NA is copied as it stands.
        kept = table.read(usecols=args.keep, dtype=str, keep_default_na=False)
        result = pd.concat([kept[args.keep], result], axis=1)
    if args.output == STANDARD_STREAM:
        result.to_csv(sys.stdout, index=False)
    else:
        _write(Path(args.output), lambda path: result.to_csv(path, index=False))
    if table.sniffed and table.sep != ",":
        # The output is comma-separated whatever the input; say what the input was read with.
        print(f"qor predict: read {table.name} with the separator {table.sep!r} (sniffed; "
              "--sep to choose)", file=sys.stderr)
    if table.writing != (".", None):
        print(f"qor predict: read numbers with the {table.numbers()}", file=sys.stderr)
    for line in went_right:
        print(f"qor predict: {line} went right at its split (--strict refuses them)",
              file=sys.stderr)


def audited(args) -> tuple:
    """What `qor audit` reads and decides: the file, its table, the feature columns,
    and the decision on them."""
    table = _Csv(args.data, args.sep, args.decimal)
    frame = table.read_table()
    X = _features(frame, args, table, args.target)
    return table, frame, X, _decision(X, args)


def run_audit(args) -> None:
    table, frame, X, decision = audited(args)
    _print_fields([("data", f"{table.name}: {len(frame)} rows, {X.shape[1]} columns"
                    + ("" if args.target is None else f" besides the target {args.target!r}")),
                   ("separator", table.separator()), ("numbers", table.numbers())])
    print()
    _print_table(_audit.table(decision, door="cli"))
    refused = len(decision.refused)
    print()
    print("qor fit refuses none of them" if not refused else
          f"qor fit refuses {refused} of them, each until it is dropped or overridden "
          "(the override column)")


def run_show(args) -> None:
    digits = {} if args.precision is None else {"precision": args.precision}
    model = _load_model(args.model)
    if args.html is not None:
        _write(args.html, lambda path: export_html(model, path, **digits))
    print(export_text(model, **digits), end="")


def run_export(args) -> None:
    model = _load_model(args.model)
    try:
        import onnx

        from .onnx import to_onnx
    except ImportError:
        raise InputError("--onnx needs the onnx package: pip install 'qor[onnx]'") from None
    try:
        proto = to_onnx(model, dtype=args.dtype)
    except ValueError as error:  # what ONNX cannot say, and the way out
        raise InputError(f"{args.model}: {error}") from None
    _write(args.onnx, lambda path: onnx.save(proto, path))


# ---- qor demo --------------------------------------------------------------------------

def _best_fit_time(estimator, X, y, repeats: int = 3) -> float:
    """Seconds of the fastest of a few fits: on a shared machine the minimum is the
    least disturbed measurement. The estimator stays fitted."""
    best = math.inf
    for _ in range(repeats):
        start = time.perf_counter()
        estimator.fit(X, y)
        best = min(best, time.perf_counter() - start)
    return best


def _features_used(estimator) -> int:
    """Distinct features that at least one node splits on."""
    features = estimator.tree_.feature
    return int(np.unique(features[features >= 0]).size)


def run_demo(args) -> None:
    depths = list(range(1, args.max_depth + 1))
    problems = [
        ("breast cancer", load_breast_cancer, "classification", "accuracy",
         QORClassifier(), DecisionTreeClassifier(random_state=args.seed)),
        ("diabetes", load_diabetes, "regression", "R^2",
         QORRegressor(), DecisionTreeRegressor(random_state=args.seed)),
    ]
    print("qor demo: one feature per depth (qor) against scikit-learn's DecisionTree (CART).")
    print(f"Each learns from {1 - args.test_size:.0%} of each data set (seed {args.seed}) at "
          f"the max_depth in 1..{args.max_depth} that {DEMO_FOLDS}-fold")
    print(f"cross-validation on those rows prefers, and is scored on the other "
          f"{args.test_size:.0%}.")
    print("Fit times are the best of 3 fits at the chosen depth.")
    for title, load_data, task, metric, qor_tree, cart in problems:
        X, y = load_data(return_X_y=True, as_frame=True)
        X_train, X_test, y_train, y_test = train_test_split(X, y, test_size=args.test_size,
                                                            random_state=args.seed)
        rows, chosen = [], []
        for learner in (qor_tree, cart):
            search = GridSearchCV(learner, {"max_depth": depths}, cv=DEMO_FOLDS)
            estimator = search.fit(X_train, y_train).best_estimator_
            seconds = _best_fit_time(estimator, X_train, y_train)
            rows.append((f"{estimator.score(X_test, y_test):.4f}",
                         str(search.best_params_["max_depth"]), _duration(seconds),
                         str(_features_used(estimator))))
            chosen.append(estimator)
        print()
        print(f"{title}: {task}, {X.shape[0]} rows, {X.shape[1]} features")
        print(f"  {'':<26}{'qor':>12}{'DecisionTree':>16}")
        for label, (ours, theirs) in zip((f"held-out {metric}", "chosen max_depth", "fit time",
                                          "distinct features used"), zip(*rows)):
            print(f"  {label:<26}{ours:>12}{theirs:>16}")
        names = X.columns
        print("  qor's features by depth: "
              + ", ".join(str(names[f]) for f in chosen[0].depth_features_.values()))
        importances = chosen[1].feature_importances_
        ranked = [str(names[f]) for f in np.argsort(-importances, kind="stable")
                  if importances[f] > 0]
        print("  DecisionTree's features, most important first: "
              + (", ".join(ranked) or "none"))
        if task == "classification":
            cancer_tree, cancer_rows = chosen[0], (X_test, y_test)
    print()
    _write(args.html, lambda path: export_html(cancer_tree, path, *cancer_rows,
                                               class_names=load_breast_cancer().target_names))
    print(f"The breast cancer tree, to question in a browser (its held-out rows included): "
          f"{args.html}")
    print("Draw a tree of your own data: qor fit DATA.csv --target COLUMN --plot tree.png "
          "(or .svg), or --html tree.html for a page")
