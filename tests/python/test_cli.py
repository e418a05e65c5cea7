"""The `qor` command, run as a subprocess on CSV files written here."""

import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

LAUNCHERS = {
    "module": [sys.executable, "-m", "qor"],
    "script": [str(Path(sys.executable).with_name("qor"))],
}


def qor(*args, cwd, launcher="module"):
    return subprocess.run([*LAUNCHERS[launcher], *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, timeout=300)


@pytest.fixture
def folder(tmp_path):
    """Forty rows: `size` decides `label` (and mostly `price`), `noise` decides nothing."""
    n = 40
    rng = np.random.default_rng(7)
    size = np.arange(n, dtype=np.float64)
    frame = pd.DataFrame({"size": size, "noise": rng.integers(0, 5, n),
                          "label": np.where(size >= 20, "big", "small"),
                          "stars": (size // 10).astype(int),
                          "price": size * 1.5 + rng.normal(size=n)})
    frame.drop(columns=["stars", "price"]).to_csv(tmp_path / "labels.csv", index=False)
    frame.drop(columns=["label"]).to_csv(tmp_path / "numbers.csv", index=False)
    frame.assign(city="Oslo").to_csv(tmp_path / "text.csv", index=False)
    frame.head(3).to_csv(tmp_path / "three.csv", index=False)
    (tmp_path / "empty.csv").write_text("")
    frame.assign(size=np.where(size == 3, np.inf, size)).to_csv(tmp_path / "inf.csv", index=False)
    frame.assign(label=frame["label"].where(size != 4)).to_csv(tmp_path / "gap.csv", index=False)
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
                    "|-- size <= 20  samples=15  class=small  counts=[0, 15]",
                    "`-- size > 20  samples=15  class=big  counts=[15, 0]"]
    assert "train accuracy     1.0000" in lines
    assert any(line.startswith("held-out accuracy  0.") for line in lines)
    assert any(line.startswith("fit time           ") and line.endswith(" ms") for line in lines)
    assert (folder / "tree.dot").read_text().startswith("digraph qor {\n")


@pytest.mark.parametrize("args, task_line", [
    (["--target", "price"], "regression (inferred: numeric target)"),
    (["--target", "stars"], "classification (inferred: integer target with 4 distinct values)"),
    (["--target", "stars", "--task", "regression", "--criterion", "mae"], "regression (--task)"),
])
def test_fit_chooses_the_task(folder, args, task_line):
    done = qor("fit", "numbers.csv", *args, "--max-depth", "2", "--seed", "3", cwd=folder)
    assert done.returncode == 0, done.stderr
    assert f"task               {task_line}" in done.stdout.splitlines()
    metric = "R^2" if task_line.startswith("regression") else "accuracy"
    assert f"held-out {metric}" in done.stdout and "depth 1: " in done.stdout


@pytest.mark.parametrize("args, message", [
    (["missing.csv", "--target", "label"], "qor fit: error: missing.csv: no such file"),
    (["empty.csv", "--target", "label"], "qor fit: error: empty.csv: the file is empty"),
    (["labels.csv", "--target", "nope"],
     "qor fit: error: no column 'nope' in labels.csv; its columns are: size, noise, label"),
    (["text.csv", "--target", "label"],
     "qor fit: error: feature columns must be numeric; not numeric: city"),
    (["three.csv", "--target", "label"], "qor fit: error: too few rows: 3 rows split into 2 "
                                         "for training and 1 held out, and each side needs at "
                                         "least 2"),
    (["inf.csv", "--target", "label"],
     "qor fit: error: feature columns hold infinite values: size"),
    (["gap.csv", "--target", "label"],
     "qor fit: error: the target 'label' is missing in 1 of 40 rows"),
    (["target-only.csv", "--target", "label"],
     "qor fit: error: target-only.csv has no feature columns besides the target 'label'"),
    (["labels.csv", "--target", "label", "--criterion", "mse"],
     "qor fit: error: criterion 'mse' does not fit classification; use gini or entropy"),
    (["labels.csv", "--target", "label", "--task", "regression"],
     "qor fit: error: regression needs a numeric target, but 'label' is not numeric"),
    (["labels.csv", "--target", "label", "--dot", "no/such/folder/tree.dot"],
     "qor fit: error: cannot write no/such/folder/tree.dot: No such file or directory"),
    (["labels.csv"], "qor fit: error: the following arguments are required: --target"),
    (["labels.csv", "--target", "label", "--test-size", "1"],
     "qor fit: error: argument --test-size: must lie strictly between 0 and 1, got 1.0"),
    (["labels.csv", "--target", "label", "--min-samples-leaf", "x"],
     "qor fit: error: argument --min-samples-leaf: expected an integer, got 'x'"),
    (["labels.csv", "--target", "label", "--max-depth", str(2**31)],
     "qor fit: error: argument --max-depth: must be at most 2147483647, got 2147483648"),
], ids=["missing-file", "empty-file", "unknown-column", "text-feature", "too-few-rows",
        "infinite-feature", "missing-target", "no-features", "criterion-for-other-task",
        "regression-on-text", "unwritable-dot", "no-target", "bad-test-size", "bad-integer",
        "huge-integer"])
def test_bad_input_is_one_line_and_status_2(folder, args, message):
    done = qor("fit", *args, cwd=folder)
    assert done.returncode == 2
    assert done.stderr == message + "\n"
    assert done.stdout == ""


def test_demo_compares_with_cart(tmp_path):
    done = qor("demo", "--max-depth", "2", cwd=tmp_path)
    assert done.returncode == 0 and done.stderr == ""
    out = done.stdout
    assert "breast cancer: classification, 569 rows, 30 features" in out
    assert "diabetes: regression, 442 rows, 10 features" in out
    for row in ("held-out accuracy", "held-out R^2", "fit time", "distinct features used"):
        assert f"\n  {row}" in out
    # One feature per depth: two levels use at most two distinct features.
    used = [line.split()[-2] for line in out.splitlines() if "distinct features used" in line]
    assert len(used) == 2 and all(1 <= int(n) <= 2 for n in used)


def test_a_reader_that_leaves_early_gets_no_traceback(tmp_path):
    child = subprocess.Popen([*LAUNCHERS["module"], "demo", "--max-depth", "1"], cwd=tmp_path,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    child.stdout.close()
    _, stderr = child.communicate(timeout=300)
    assert child.returncode == 1 and stderr == b""
