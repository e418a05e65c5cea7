"""The `qor` command on CSV files written here: as a subprocess where the process itself
is under test (its launchers, its exit status, a reader leaving early), and otherwise
through main() in this process, which runs the same code without starting Python again."""

import io
import json
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from sklearn.model_selection import train_test_split

from qor import QORClassifier, __version__, export_dot, export_text, load, save
from qor.cli import main

LAUNCHERS = {
    "module": [sys.executable, "-m", "qor"],
    "script": [str(Path(sys.executable).with_name("qor"))],
}


def qor(*args, cwd, launcher="module", stdin=""):
    return subprocess.run([*LAUNCHERS[launcher], *map(str, args)], cwd=cwd, input=stdin,
                          capture_output=True, text=True, timeout=300)


@pytest.fixture
def run(cli):
    """`qor ARGS` through main() in this process, answering as `qor` above does."""
    def run_in_process(*args, cwd, stdin=""):
        status, out, err = cli(*args, cwd=cwd, stdin=stdin)
        return subprocess.CompletedProcess(args, status, out, err)
    return run_in_process


@pytest.fixture
def folder(tmp_path):
    """Forty rows: `size` decides `label` (and mostly `price`), `noise` decides nothing."""
    n = 40
    rng = np.random.default_rng(7)
    base = np.arange(n, dtype=np.float64)
    size = base - 5  # from below 0: a measure, not row numbers
    frame = pd.DataFrame({"size": size, "noise": rng.integers(0, 5, n),
                          "label": np.where(base >= 20, "big", "small"),
                          "stars": (base // 10).astype(int),
                          "price": base * 1.5 + rng.normal(size=n)})
    frame.drop(columns=["stars", "price"]).to_csv(tmp_path / "labels.csv", index=False)
    frame.drop(columns=["label"]).to_csv(tmp_path / "numbers.csv", index=False)
    frame.head(3).to_csv(tmp_path / "three.csv", index=False)
    (tmp_path / "empty.csv").write_text("")
    frame.assign(size=np.where(size == -2, np.inf, size)).to_csv(tmp_path / "inf.csv", index=False)
    frame.assign(size=frame["size"].astype(str).where(size != 0, "five")).to_csv(
        tmp_path / "worded.csv", index=False)
    frame.assign(label=frame["label"].where(size != -1)).to_csv(tmp_path / "gap.csv", index=False)
    frame[["label"]].to_csv(tmp_path / "target-only.csv", index=False)
    return tmp_path


@pytest.mark.parametrize("launcher", sorted(LAUNCHERS))
def test_fit_reports_the_tree_and_writes_dot(folder, launcher):
    done = qor("fit", "labels.csv", "--target", "label", "--dot", "tree.dot", cwd=folder,
               launcher=launcher)
    assert done.returncode == 0 and done.stderr == ""
    lines = done.stdout.splitlines()
    assert "task               classification (inferred: the target is not numeric)" in lines
    assert "split              30 rows for training, 10 held out (test size 0.25, seed 0)" in lines
    assert lines[lines.index("features by depth") + 1] == "  depth 0: size"
    tree = lines[lines.index("tree") + 1:lines.index("tree") + 5]
    assert tree == ["depth 0 splits on size", "root  samples=30",
                    "|-- size <= 15  samples=15  class=small  counts=[0, 15]",
                    "`-- size > 15  samples=15  class=big  counts=[15, 0]"]
    assert "train accuracy     1.0000" in lines
    assert any(line.startswith("held-out accuracy  0.") for line in lines)
    assert any(line.startswith("fit time           ") and line.endswith(" ms") for line in lines)
    assert (folder / "tree.dot").read_text().startswith("digraph qor {\n")


@pytest.mark.parametrize("args, task_line", [
    (["--target", "price"], "regression (inferred: numeric target)"),
    (["--target", "stars"], "classification (inferred: integer target with 4 distinct values)"),
    (["--target", "stars", "--task", "regression", "--criterion", "mae"], "regression (--task)"),
])
def test_fit_chooses_the_task(run, folder, args, task_line):
    done = run("fit", "numbers.csv", *args, "--max-depth", "2", "--seed", "3", cwd=folder)
    assert done.returncode == 0, done.stderr
    assert f"task               {task_line}" in done.stdout.splitlines()
    metric = "R^2" if task_line.startswith("regression") else "accuracy"
    assert f"held-out {metric}" in done.stdout and "depth 1: " in done.stdout


@pytest.mark.parametrize("args, message", [
    (["missing.csv", "--target", "label"], "qor fit: error: missing.csv: no such file"),
    (["empty.csv", "--target", "label"], "qor fit: error: empty.csv: the file is empty"),
    (["labels.csv", "--target", "nope"],
     "qor fit: error: no column 'nope' in labels.csv; its columns are: size, noise, label"),
    (["three.csv", "--target", "label"], "qor fit: error: too few rows: 3 rows split into 2 "
                                         "for training and 1 held out, and each side needs at "
                                         "least 2"),
    (["inf.csv", "--target", "label"],
     "qor fit: error: feature columns hold infinite values: size"),
    (["gap.csv", "--target", "label"],
     "qor fit: error: the target 'label' is missing in 1 of 40 rows; --dropna-target drops "
     "those rows"),
    (["target-only.csv", "--target", "label"],
     "qor fit: error: target-only.csv has no feature columns besides the target 'label'"),
    (["labels.csv", "--target", "label", "--criterion", "mse"],
     "qor fit: error: criterion 'mse' does not fit classification; use gini, entropy or "
     "log_loss"),
    (["labels.csv", "--target", "label", "--task", "regression"],
     "qor fit: error: regression needs a numeric target, but 'label' is not numeric"),
    (["labels.csv", "--target", "label", "--dot", "no/such/folder/tree.dot"],
     "qor fit: error: cannot write no/such/folder/tree.dot: No such file or directory"),
    (["labels.csv"], "qor fit: error: the following arguments are required: --target"),
    (["labels.csv", "--target", "label", "--test-size", "1"],
     "qor fit: error: argument --test-size: must be at least 0 and below 1, got 1.0"),
    (["labels.csv", "--target", "label", "--min-samples-leaf", "x"],
     "qor fit: error: argument --min-samples-leaf: expected an integer, got 'x'"),
    (["labels.csv", "--target", "label", "--max-depth", str(2**31)],
     "qor fit: error: argument --max-depth: must be at most 2147483647, got 2147483648"),
], ids=["missing-file", "empty-file", "unknown-column", "too-few-rows",
        "infinite-feature", "missing-target", "no-features", "criterion-for-other-task",
        "regression-on-text", "unwritable-dot", "no-target", "bad-test-size", "bad-integer",
        "huge-integer"])
def test_bad_input_is_one_line_and_status_2(run, folder, args, message):
    done = run("fit", *args, cwd=folder)
    assert done.returncode == 2
    assert done.stderr == message + "\n"
    assert done.stdout == ""


def test_demo_compares_with_cart(run, tmp_path):
    done = run("demo", "--max-depth", "2", "--html", "cancer.html", cwd=tmp_path)
    assert done.returncode == 0 and done.stderr == ""
    out = done.stdout
    assert "breast cancer: classification, 569 rows, 30 features" in out
    assert "diabetes: regression, 442 rows, 10 features" in out
    for row in ("held-out accuracy", "held-out R^2", "chosen max_depth", "fit time",
                "distinct features used"):
        assert f"\n  {row}" in out
    # Depths are chosen among 1..--max-depth.
    chosen = [line.split()[-2:] for line in out.splitlines() if "chosen max_depth" in line]
    assert len(chosen) == 2 and {d for pair in chosen for d in pair} <= {"1", "2"}
    assert "--plot tree.png" in out
    # The breast cancer tree's page, with its held-out rows.
    assert f"(its held-out rows included): cancer.html\n" in out
    page = (tmp_path / "cancer.html").read_text(encoding="utf-8")
    assert '"classes":["malignant","benign"]' in page and '"total":143' in page
    # One feature per depth: two levels use at most two distinct features.
    used = [line.split()[-2] for line in out.splitlines() if "distinct features used" in line]
    assert len(used) == 2 and all(1 <= int(n) <= 2 for n in used)


def test_a_reader_that_leaves_early_gets_no_traceback(tmp_path):
    child = subprocess.Popen([*LAUNCHERS["module"], "demo", "--max-depth", "1"], cwd=tmp_path,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    child.stdout.close()
    _, stderr = child.communicate(timeout=300)
    assert child.returncode == 1 and stderr == b""


def test_fit_saves_a_model_that_predict_and_show_read(run, folder):
    done = run("fit", "labels.csv", "--target", "label", "--save", "model.json", "--plot",
               "tree.png", cwd=folder)
    assert done.returncode == 0 and done.stderr == ""
    assert {"model file         model.json", "picture            tree.png"} <= set(
        done.stdout.splitlines())
    assert (folder / "tree.png").read_bytes().startswith(b"\x89PNG")
    model = load(folder / "model.json")
    rows = pd.read_csv(folder / "labels.csv")[["noise", "label", "size"]]  # any column order
    rows.to_csv(folder / "shuffled.csv", index=False)
    predicted = run("predict", "model.json", "shuffled.csv", cwd=folder)
    assert predicted.returncode == 0 and predicted.stderr == ""
    out = pd.read_csv(io.StringIO(predicted.stdout))
    assert list(out.columns) == ["prediction", "proba_big", "proba_small"]
    assert out["prediction"].tolist() == model.predict(rows[["size", "noise"]]).tolist()
    assert out[["proba_big", "proba_small"]].to_numpy().tobytes() == model.predict_proba(
        rows[["size", "noise"]]).tobytes()
    shown = run("show", "model.json", cwd=folder)
    assert shown.returncode == 0 and shown.stdout == export_text(model)


def test_predict_reads_standard_input_and_writes_a_file(run, folder):
    run("fit", "numbers.csv", "--target", "price", "--save", "price.json", "--plot", "tree.svg",
        cwd=folder)
    assert (folder / "tree.svg").read_text().startswith("<?xml")
    done = run("predict", "price.json", "-", "-o", "out.csv", cwd=folder,
               stdin=(folder / "numbers.csv").read_text())
    assert done.returncode == 0 and done.stdout == done.stderr == ""
    out = pd.read_csv(folder / "out.csv")
    frame = pd.read_csv(folder / "numbers.csv")
    expected = load(folder / "price.json").predict(frame[["size", "noise", "stars"]])
    assert list(out.columns) == ["prediction"]
    assert out["prediction"].to_numpy().tobytes() == expected.tobytes()


@pytest.fixture
def models(folder):
    frame = pd.read_csv(folder / "labels.csv")
    save(QORClassifier(max_depth=2).fit(frame[["size", "noise"]], frame["label"]),
         folder / "model.json")
    text = (folder / "model.json").read_text()
    (folder / "broken.json").write_text(text[:len(text) // 2])
    (folder / "newer.json").write_text(json.dumps({**json.loads(text), "version": 99}))
    (folder / "changed.json").write_text(text.replace('"threshold": [', '"threshold": [1', 1))
    return folder


@pytest.mark.parametrize("args, message", [
    (["predict", "missing.json", "labels.csv"], "qor predict: error: missing.json: no such file"),
    (["predict", "broken.json", "labels.csv"],
     "qor predict: error: broken.json: not a qor model file: truncated or not JSON ("),
    (["show", "newer.json"], "qor show: error: newer.json: written by a newer qor (format "
                             "version 99); this qor reads versions up to 4"),
    (["predict", "changed.json", "labels.csv"],
     "qor predict: error: changed.json: changed after it was saved: its content does not "
     "match its digest"),
    (["predict", "model.json", "missing.csv"], "qor predict: error: missing.csv: no such file"),
    (["predict", "model.json", "target-only.csv"],
     "qor predict: error: target-only.csv lacks the model's feature columns: size, noise"),
    (["predict", "model.json", "inf.csv"],
     "qor predict: error: feature columns hold infinite values: size"),
    (["predict", "model.json", "worded.csv"],
     "qor predict: error: the model reads these columns as numbers, but they hold text: size"),
    (["predict", "model.json", "labels.csv", "-o", "no/such/out.csv"],
     "qor predict: error: cannot write no/such/out.csv: "),
    (["fit", "labels.csv", "--target", "label", "--save", "no/such/model.json"],
     "qor fit: error: cannot write no/such/model.json: No such file or directory"),
    (["fit", "labels.csv", "--target", "label", "--plot", "tree.xyz"],
     "qor fit: error: cannot write tree.xyz: Format 'xyz' is not supported"),
], ids=["missing-model", "broken-model", "newer-model", "changed-model", "missing-data", "missing-columns",
        "infinite-feature", "text-feature", "unwritable-output", "unwritable-model",
        "unknown-picture-type"])
def test_bad_model_files_and_outputs_are_one_line_and_status_2(run, models, args, message):
    done = run(*args, cwd=models)
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr.startswith(message) and done.stderr.count("\n") == 1


def test_text_columns_are_categories_from_fit_to_predict_and_show(run, tmp_path):
    rng = np.random.default_rng(3)
    size = rng.choice(["S", "M", "L", "10", "12"], 80)
    pd.DataFrame({"size": size, "price": rng.normal(size=80).round(2),
                  "label": np.where(np.isin(size, ["L", "12"]), "big", "small")}).to_csv(
        tmp_path / "sizes.csv", index=False)
    done = run("fit", "sizes.csv", "--target", "label", "--save", "model.json", cwd=tmp_path)
    assert done.returncode == 0 and done.stderr == ""
    lines = done.stdout.splitlines()
    assert "categorical        size" in lines and "depth 0 splits on size" in lines
    # Sizes that look like numbers, one unseen and one missing: read as text, as in fit.
    (tmp_path / "new.csv").write_text("price,size\n0.5,10\n0.5,12\n0.5,99\n0.5,\n")
    predicted = run("predict", "model.json", "new.csv", cwd=tmp_path)
    assert predicted.returncode == 0 and predicted.stderr == (
        "qor predict: column 'size': 1 row with a category the fit never saw ('99') and 1 "
        "row with no value went right at its split (--strict refuses them)\n")
    strict = run("predict", "model.json", "new.csv", "--strict", cwd=tmp_path)
    assert strict.returncode == 2 and strict.stdout == ""
    assert strict.stderr == ("qor predict: error: new.csv: rows the tree cannot place by their "
                             "values (--strict refuses them):\n- column 'size': 1 row with a "
                             "category the fit never saw ('99') and 1 row with no value\n")
    model = load(tmp_path / "model.json")
    expected = model.predict(pd.DataFrame({"size": ["10", "12", "99", None], "price": 0.5}))
    assert expected[0] != expected[1] and expected[2] == expected[3]
    assert pd.read_csv(io.StringIO(predicted.stdout))["prediction"].tolist() == expected.tolist()
    shown = run("show", "model.json", cwd=tmp_path)
    assert shown.returncode == 0 and " size in {" in shown.stdout
    assert shown.stdout == export_text(model)


# ---- options, run by main() in this process ----------------------------------------------

@pytest.fixture
def cli(capsys, monkeypatch):
    """`qor ARGS` through main() in this process, in folder `cwd`: (status, stdout, stderr)."""
    def run(*args, cwd, stdin=""):
        monkeypatch.chdir(cwd)
        monkeypatch.setattr(sys, "stdin", io.StringIO(stdin))
        try:
            status = main([str(a) for a in args])
        except SystemExit as stop:  # argparse's own errors and --version
            status = stop.code
        return (status, *capsys.readouterr())
    return run


@pytest.fixture
def shop(tmp_path):
    """200 rows: `size` mostly decides `label` (big in a third of them), `colour` a
    little, `noise` nothing; `id` is text that looks like a number (0007)."""
    n = 200
    rng = np.random.default_rng(7)
    size = rng.uniform(0, 100, n).round(2)
    colour = rng.choice(["red", "green", "blue"], n)
    big = rng.random(n) < 1 / (1 + np.exp(-(size - 70) / 6)) + 0.15 * (colour == "red")
    frame = pd.DataFrame({"id": [f"{i:04d}" for i in range(n)], "size": size,
                          "noise": rng.integers(0, 5, n), "colour": colour,
                          "label": np.where(big, "big", "small")})
    frame.to_csv(tmp_path / "shop.csv", index=False)
    return tmp_path, frame


def fitted(frame, columns, test_size=0.25, **params):
    """The estimator `qor fit --target label` should fit, on the same training rows."""
    X, y = frame[columns], frame["label"]
    if test_size:
        X, _, y, _ = train_test_split(X, y, test_size=test_size, random_state=0)
    declared = dict(categorical_features=[c for c in columns if c == "colour"],
                    numeric_features=[c for c in columns if c != "colour"])
    return QORClassifier(**declared, **params).fit(X, y)


ALL = ["size", "noise", "colour"]
FIT_OPTIONS = {
    "features": (["--features", "colour,noise"], ["colour", "noise"], {}),
    "drop": (["--drop", "id,size"], ["noise", "colour"], {}),
    "class-weight": (["--drop", "id", "--class-weight", "balanced"], ALL,
                     {"class_weight": "balanced"}),
    "ccp-alpha": (["--drop", "id", "--ccp-alpha", "0.01"], ALL, {"ccp_alpha": 0.01}),
    "shrinkage": (["--drop", "id", "--shrinkage", "25"], ALL, {"shrinkage": 25.0}),
    "min-impurity-decrease": (["--drop", "id", "--min-impurity-decrease", "0.01"], ALL,
                              {"min_impurity_decrease": 0.01}),
    "max-bins": (["--drop", "id", "--max-bins", "4"], ALL, {"max_bins": 4}),
    "test-size-0": (["--drop", "id", "--test-size", "0"], ALL, {"test_size": 0}),
}


@pytest.mark.parametrize("options, columns, params", FIT_OPTIONS.values(), ids=FIT_OPTIONS.keys())
def test_fit_options_give_the_estimators_own_tree(cli, shop, options, columns, params):
    folder, frame = shop
    status, out, err = cli("fit", "shop.csv", "--target", "label", "--save", "model.json",
                           *options, cwd=folder)
    assert status == 0 and err == ""
    expected = fitted(frame, columns, **params)
    model = load(folder / "model.json")
    assert model.get_params() == expected.get_params()
    assert model.feature_names_in_.tolist() == columns
    assert export_text(model) == export_text(expected)
    assert f"\ntree\n{export_text(expected)}\n" in out
    # Each option changes the tree here, so that one left out would show.
    assert export_text(expected) != export_text(fitted(frame, ALL))
    if params.get("test_size") == 0:
        assert "split              all 200 rows for training, none held out (test size 0)" in out
        assert "held-out" not in out and "train accuracy" in out


def test_precision_of_the_printed_tree_dot_and_show(cli, shop):
    folder, _ = shop
    status, out, _ = cli("fit", "shop.csv", "--target", "label", "--drop", "id", "--precision",
                         "2", "--save", "model.json", "--dot", "tree.dot", cwd=folder)
    model = load(folder / "model.json")
    assert status == 0 and export_text(model, precision=2) != export_text(model)
    assert f"\ntree\n{export_text(model, precision=2)}\n" in out
    assert (folder / "tree.dot").read_text() == export_dot(model, precision=2)
    assert cli("show", "model.json", "--precision", "2", cwd=folder)[1] == export_text(
        model, precision=2)


@pytest.mark.parametrize("sep", [";", "\t", "|", ","], ids=["semicolon", "tab", "bar", "comma"])
def test_the_separator_is_sniffed_and_said(cli, shop, sep):
    folder, frame = shop
    frame.to_csv(folder / "data.csv", sep=sep, index=False)
    status, out, err = cli("fit", "data.csv", "--target", "label", "--drop", "id", "--save",
                           "model.json", cwd=folder)
    assert status == 0 and err == ""
    assert f"separator          {sep!r} (sniffed)" in out.splitlines()
    assert export_text(load(folder / "model.json")) == export_text(fitted(frame, ALL))
    status, out, err = cli("predict", "model.json", "-", cwd=folder,
                           stdin=(folder / "data.csv").read_text())
    assert status == 0
    assert pd.read_csv(io.StringIO(out))["prediction"].tolist() == fitted(
        frame, ALL).predict(frame[ALL]).tolist()
    assert err == ("" if sep == "," else f"qor predict: read standard input with the "
                   f"separator {sep!r} (sniffed; --sep to choose)\n")


def test_a_separator_given_is_used_and_a_wrong_one_hinted_at(cli, shop):
    folder, frame = shop
    frame.to_csv(folder / "data.csv", sep=";", index=False)
    status, out, _ = cli("fit", "data.csv", "--target", "label", "--drop", "id", "--sep", ";",
                         cwd=folder)
    assert status == 0 and "separator          ';' (--sep)" in out.splitlines()
    frame.to_csv(folder / "tabs.csv", sep="\t", index=False)
    assert cli("fit", "tabs.csv", "--target", "label", "--drop", "id", "--sep", "tab",
               cwd=folder)[0] == 0
    status, out, err = cli("fit", "data.csv", "--target", "label", "--sep", ",", cwd=folder)
    assert status == 2 and out == ""
    assert err == ("qor fit: error: no column 'label' in data.csv; its columns are: "
                   "id;size;noise;colour;label (read as one column with the separator ','; "
                   "if the file has another, give it with --sep)\n")


def test_predict_keeps_the_columns_asked_for_as_they_stand(cli, shop):
    folder, frame = shop
    cli("fit", "shop.csv", "--target", "label", "--drop", "id", "--save", "model.json",
        cwd=folder)
    status, out, err = cli("predict", "model.json", "shop.csv", "--keep", "id,size", cwd=folder)
    assert status == 0 and err == ""
    result = pd.read_csv(io.StringIO(out), dtype={"id": str})
    assert list(result.columns) == ["id", "size", "prediction", "proba_big", "proba_small"]
    assert result["id"].tolist() == frame["id"].tolist()  # 0007, not 7
    assert result["size"].tolist() == frame["size"].tolist()
    assert result["prediction"].tolist() == load(folder / "model.json").predict(
        frame[ALL]).tolist()


@pytest.mark.parametrize("args, message", [
    (["fit", "ragged.csv", "--target", "b"],
     "ragged.csv: rows hold more cells than the header has names (2); the separator is ','"),
    (["predict", "model.json", "ragged.csv"], "ragged.csv: rows hold more cells than the "
                                              "header has names (2)"),
    (["fit", "shop.csv", "--target", "label", "--features", "size,nope,gone"],
     "no column 'nope', 'gone' in shop.csv; its columns are: id, size, noise, colour, label"),
    (["fit", "shop.csv", "--target", "label", "--features", "size,label"],
     "--features names the target 'label', which is never a feature"),
    (["fit", "shop.csv", "--target", "label", "--drop", "label"],
     "--drop names the target 'label', which is never a feature"),
    (["fit", "shop.csv", "--target", "label", "--drop", "id,size,noise,colour"],
     "--drop leaves no feature columns besides the target 'label'"),
    (["fit", "shop.csv", "--target", "label", "--drop", "id", "--features", "size"],
     "argument --features: not allowed with argument --drop"),
    (["fit", "shop.csv", "--target", "label", "--features", "size,noise,size"],
     "argument --features: names 'size' more than once"),
    (["fit", "shop.csv", "--target", "size", "--drop", "id", "--class-weight", "balanced"],
     "--class-weight is for classification, and this is regression"),
    (["fit", "shop.csv", "--target", "size", "--drop", "id,colour,label", "--criterion", "mae",
      "--max-bins", "16"], "--max-bins does not work with the mae criterion"),
    (["fit", "shop.csv", "--target", "label", "--categorical", "size,label"],
     "--categorical names 'label', which is no feature column"),
    (["fit", "shop.csv", "--target", "label", "--ccp-alpha", "-1"],
     "argument --ccp-alpha: must be at least 0, got -1.0"),
    (["fit", "shop.csv", "--target", "label", "--min-impurity-decrease", "nan"],
     "argument --min-impurity-decrease: expected a finite number, got 'nan'"),
    (["fit", "shop.csv", "--target", "label", "--sep", ";;"],
     "argument --sep: expected one character (other than a quote or a line break), or tab"),
    (["predict", "model.json", "shop.csv", "--keep", "id,nope"],
     "no column 'nope' in shop.csv; its columns are: "),
    (["predict", "model.json", "outputs.csv", "--keep", "prediction"],
     "--keep names 'prediction', a column the output has already"),
], ids=["ragged-fit", "ragged-predict", "unknown-features", "target-as-feature",
        "dropped-target", "nothing-left", "features-and-drop", "repeated-feature",
        "class-weight-for-regression", "bins-and-mae", "categorical-target",
        "negative-alpha", "nan-decrease", "long-separator", "unknown-kept", "kept-clash"])
def test_bad_options_are_one_line_and_status_2(cli, shop, args, message):
    folder, frame = shop
    (folder / "ragged.csv").write_text("a,b\n1,2,3\n4,5,6\n")
    frame.assign(prediction=1).to_csv(folder / "outputs.csv", index=False)
    save(QORClassifier(max_depth=1).fit(frame[["size"]], frame["label"]), folder / "model.json")
    status, out, err = cli(*args, cwd=folder)
    assert status == 2 and out == ""
    assert err.startswith(f"qor {args[0]}: error: {message}") and err.count("\n") == 1


def test_version_and_the_list_of_commands(tmp_path):
    done = qor("--version", cwd=tmp_path)
    assert done.returncode == 0 and done.stdout == f"qor {__version__}\n"
    bare = qor(cwd=tmp_path, launcher="script")
    assert bare.returncode == 2 and bare.stdout == ""
    assert bare.stderr.startswith("usage: qor ")
    for command in ("fit", "predict", "show", "demo"):
        assert f"\n    {command} " in bare.stderr


def test_fit_refuses_every_suspicious_column_in_one_run_and_its_flags_fix_them(cli, tmp_path):
    size = np.arange(60.0)
    pd.DataFrame({"size": size, "when": pd.date_range("2024-01-01", periods=60).strftime(
        "%d.%m.%Y"), "code": [f"C{i:04d}" for i in range(60)],
        "age": np.where(size == 3, "forty", (size % 30).astype(int).astype(str)),
        "label": size % 3 == 0}).to_csv(tmp_path / "data.csv", index=False)
    status, out, err = cli("fit", "data.csv", "--target", "label", cwd=tmp_path)
    assert status == 2 and out == ""
    lines = err.splitlines()
    assert lines[0] == ("qor fit: error: data.csv has 4 columns that the tree would learn "
                        "wrongly, refused:")
    fixes = {"size": "--numeric size", "when": "--categorical when", "code": "--categorical code",
             "age": "--numeric age"}
    for name, flag in fixes.items():
        line = next(line for line in lines if line.startswith(f"- column {name!r}: "))
        assert line.endswith(flag)
    assert lines[-1] == "- to drop every column whose fix is to drop it: --drop size,when,code"
    status, out, err = cli("fit", "data.csv", "--target", "label", "--numeric", "size,age",
                           "--categorical", "when,code", "--save", "model.json", cwd=tmp_path)
    assert status == 0 and err == ""
    model = load(tmp_path / "model.json")
    assert model.categorical_features == ["when", "code"]
    assert model.numeric_features == ["size", "age"]
    assert cli("fit", "data.csv", "--target", "label", "--drop", "size,when,code", "--numeric",
               "age", cwd=tmp_path)[0] == 0
    status, out, _ = cli("audit", "data.csv", "--target", "label", cwd=tmp_path)
    assert status == 0 and out.rstrip().endswith("qor fit refuses 4 of them, each until it is "
                                                 "dropped or overridden (the override column)")


def test_a_columns_kind_never_depends_on_the_split(cli, tmp_path):
    # Whole numbers 0..79 with a repeat: numbers over the file, but the training rows
    # of most splits hold them once each, which alone would look like row numbers.
    rank = np.arange(80.0)
    rank[10] = 11
    frame = pd.DataFrame({"rank": rank, "label": rank % 4 < 2})
    frame.to_csv(tmp_path / "data.csv", index=False)
    refused_alone = 0
    for seed in range(10):
        status, out, err = cli("fit", "data.csv", "--target", "label", "--seed", seed,
                               "--save", "m.json", cwd=tmp_path)
        assert status == 0 and err == "" and load(tmp_path / "m.json").numeric_features == [
            "rank"]
        X_train, _, y_train, _ = train_test_split(frame[["rank"]], frame["label"],
                                                  test_size=0.25, random_state=seed)
        try:
            QORClassifier().fit(X_train, y_train)
        except ValueError:
            refused_alone += 1
    assert refused_alone > 0  # the estimator alone, on the training rows, judges otherwise


@pytest.mark.parametrize("write, read", [
    (dict(sep=";", decimal=","), "decimal mark ',' (sniffed; --decimal to choose)"),
    (dict(sep=";", decimal=",", float_format="%.3f"), "decimal mark ',' (sniffed; --decimal "
                                                      "to choose)"),
])
def test_decimal_commas_are_sniffed_and_said(cli, shop, write, read):
    folder, frame = shop
    frame.to_csv(folder / "comma.csv", index=False, **write)
    frame.to_csv(folder / "plain.csv", index=False, float_format=write.get("float_format"))
    status, out, err = cli("fit", "comma.csv", "--target", "label", "--drop", "id",
                           "--test-size", "0", cwd=folder)
    assert status == 0 and f"numbers            {read}" in out.splitlines()
    plain = cli("fit", "plain.csv", "--target", "label", "--drop", "id", "--test-size", "0",
                cwd=folder)[1]
    assert out.split("\ntree\n")[1].split("\n\n")[0] == plain.split("\ntree\n")[1].split(
        "\n\n")[0]
    # Told a decimal point, a comma is a thousands separator where it can be one ("62,510"),
    # and elsewhere the numbers stay text, refused with the flag that reads them.
    status, out, err = cli("fit", "comma.csv", "--target", "label", "--drop", "id",
                           "--decimal", ".", cwd=folder)
    if "float_format" in write:
        assert status == 0 and ("numbers            decimal mark '.', thousands separator "
                                "',' (--decimal)") in out.splitlines()
    else:
        assert status == 2 and "Fix: give --decimal ," in err


def test_dropna_target_drops_the_rows_and_says_how_many(cli, folder):
    status, out, err = cli("fit", "gap.csv", "--target", "label", "--dropna-target",
                           cwd=folder)
    assert status == 0 and err == ""
    assert "dropped            1 rows whose target is missing (--dropna-target)" in out
    assert "data               gap.csv: 39 rows," in out


def test_predict_refuses_text_where_the_model_reads_numbers_and_empty_cells_go_right(cli,
                                                                                    shop):
    folder, frame = shop
    status, _, _ = cli("fit", "shop.csv", "--target", "label", "--drop", "id", "--save",
                       "model.json", cwd=folder)
    assert status == 0
    worded = frame.assign(size=frame["size"].astype(str).where(frame.index % 50 != 3, "n. a."))
    worded.to_csv(folder / "worded.csv", index=False)
    status, out, err = cli("predict", "model.json", "worded.csv", cwd=folder)
    assert status == 2 and out == ""
    assert err == ("qor predict: error: the model reads these columns as numbers, but they "
                   "hold text: size ('n. a.' (4 cells)). Correct those cells, or leave them "
                   "empty (a missing value, which goes right)\n")
    worded.assign(size=worded["size"].replace("n. a.", "")).to_csv(folder / "emptied.csv",
                                                                    index=False)
    status, out, err = cli("predict", "model.json", "emptied.csv", cwd=folder)
    assert status == 0 and err == ("qor predict: column 'size': 4 rows with no value went "
                                   "right at its split (--strict refuses them)\n")


@pytest.mark.parametrize("cells, sep, flags, read", [
    # A comma between groups of three digits, in a file of tabs: either mark.
    (["1,250", "2,500", "12"], "\t", ["--decimal", ","], [1.25, 2.5, 12]),
    (["1,250", "2,500", "12"], "\t", ["--decimal", "."], [1250, 2500, 12]),
    # Decimal commas in one column, decimal points in another: the file must say.
    (["1,5", "2,25", "3"], ";", ["--decimal", ","], [1.5, 2.25, 3]),
], ids=["thousands-or-decimals-as-decimals", "thousands-or-decimals-as-thousands",
        "two-writings"])
def test_what_the_file_does_not_tell_of_its_numbers_is_asked_for_and_the_flag_reads_it(
        cli, tmp_path, cells, sep, flags, read):
    n = 60
    frame = pd.DataFrame({"weight": np.resize(cells, n), "label": np.arange(n) % 2})
    if "two" in str(flags) or sep == ";":
        frame["height"] = np.resize(["1.5", "2.5"], n)
    frame.to_csv(tmp_path / "data.csv", sep=sep, index=False)
    status, out, err = cli("fit", "data.csv", "--target", "label", cwd=tmp_path)
    assert status == 2 and f"--decimal {flags[1]}" in err.split("Fix: ")[-1]
    status, out, err = cli("fit", "data.csv", "--target", "label", *flags, "--save", "m.json",
                           cwd=tmp_path)
    assert status == 0, err
    model = load(tmp_path / "m.json")
    assert model.numeric_features[0] == "weight" and not model.is_categorical_.any()
    X = pd.DataFrame({"weight": read, **({"height": [1.5] * 3} if model.n_features_in_ > 1
                                         else {})})
    assert model.predict(X).shape == (3,)


def test_fit_shows_the_model_without_listing_every_column_and_the_table_of_kinds(cli, shop):
    folder, _ = shop
    status, out, _ = cli("fit", "shop.csv", "--target", "label", "--drop", "id",
                         "--max-depth", "3", cwd=folder)
    lines = out.splitlines()
    assert status == 0 and ("model              QORClassifier(max_depth=3), with each "
                            "column's kind as the columns table says") in lines
    table = lines[lines.index("columns") + 1:lines.index("features by depth") - 1]
    assert [line.split()[:3] for line in table] == [
        ["column", "kind", "action"], ["size", "number", "numbers"],
        ["noise", "number", "numbers"], ["colour", "category", "categories"]]
