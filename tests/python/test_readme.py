"""The README's examples run as written.

Python: the README reads like a notebook whose cells are scoped by its headings. The
```python blocks of a section run in order as one script, after the blocks of the
sections that enclose it (written above its own heading): a block under "### Pruning"
sees what "## Python quick start" defined, never what its sibling "### Categorical
features" defined. Each section's script runs in a fresh interpreter as a file, with
`__name__ == "__main__"`, so that an example starting worker processes (Dask's
`Client()`) runs as it would from the reader's own file.

Expected output: a ```text block that directly follows a ```python block (nothing but
blank lines between them) shows what that block prints, line by line; a line "..."
stands for any number of lines. Other ```text blocks (a usage synopsis, a file layout,
benchmark tables) are read, not run.

Commands: the commands of a section's ```sh blocks run in order in one folder, with the
installed `qor` first on the path, and must succeed. `pip` and `make` commands are not
run (see SKIPPED).

Files: every example runs in an empty folder that holds the files of DATA whose names
its section mentions, written here small. An example that reads another file fails; a
new one belongs in DATA.
"""

import os
import re
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from sklearn.datasets import load_breast_cancer

README = Path(__file__).resolve().parents[2] / "README.md"
PYTHON, SHELL, OUTPUT = {"python", "py"}, {"sh", "bash", "shell"}, {"text"}

SKIPPED = {
    "pip": "installs the package, which this suite runs against as it is installed",
    "make": "`make demo` and `make test` run this suite, or what it runs, from the start",
}


def patients(path: Path) -> None:
    """The breast cancer table as a CSV with a text target, `diagnosis`."""
    X, y = load_breast_cancer(return_X_y=True, as_frame=True)
    X.assign(diagnosis=np.where(y == 1, "benign", "malignant")).to_csv(path, index=False)


def parquet_table(path: Path) -> None:
    """A folder of three Parquet files: four numeric features and a binary `y`."""
    rng = np.random.default_rng(0)
    path.mkdir()
    for part in range(3):
        X = rng.normal(size=(400, 4)).round(3)
        frame = pd.DataFrame(X, columns=["a", "b", "c", "d"])
        frame["y"] = (X[:, 0] + 0.5 * X[:, 1] > 0).astype(int)
        frame.to_parquet(path / f"part-{part}.parquet")


DATA = {"patients.csv": patients, "table/": parquet_table}
DATA_HINT = "(a file that an example reads is written by a function in DATA, test_readme.py)"


@dataclass
class Block:
    language: str
    code: str
    first: int  # line number of the opening fence, counted from 1
    last: int  # line number of the closing fence
    sections: tuple[str, ...]  # the headings it stands under, outermost first
    output: "Block | None" = None  # the ```text block showing what it prints


def read_blocks(text: str) -> list[Block]:
    lines = text.splitlines()
    blocks, headings, i = [], [], 0
    while i < len(lines):
        fence = re.match(r"(`{3,})\s*([\w+-]*)", lines[i])
        if fence:
            end = next(j for j in range(i + 1, len(lines))
                       if lines[j].strip() == fence.group(1))
            blocks.append(Block(fence.group(2).lower(), "\n".join(lines[i + 1:end]) + "\n",
                                i + 1, end + 1, tuple(title for _, title in headings)))
            i = end + 1
            continue
        heading = re.match(r"(#+)\s+(.+)", lines[i])
        if heading:
            level = len(heading.group(1))
            headings = [h for h in headings if h[0] < level] + [(level, heading.group(2))]
        i += 1
    for before, after in zip(blocks, blocks[1:]):
        between = lines[before.last:after.first - 1]
        if (before.language in PYTHON and after.language in OUTPUT
                and not any(line.strip() for line in between)):
            before.output = after
    return blocks


BLOCKS = read_blocks(README.read_text(encoding="utf-8"))


def sections(languages) -> dict[tuple[str, ...], list[Block]]:
    found = {}
    for block in BLOCKS:
        if block.language in languages:
            found.setdefault(block.sections, []).append(block)
    return found


def ids(keys) -> list[str]:
    return [" / ".join(key[1:] or key) for key in keys]


def write_data(folder: Path, text: str) -> None:
    for name, write in DATA.items():
        if name in text:
            write(folder / name.rstrip("/"))


def matches(expected: str, actual: str) -> bool:
    """Line by line, trailing spaces and blank lines at the end aside; an expected line
    "..." matches any number of actual lines."""
    pattern = "".join(r"(?:[^\n]*\n)*?" if line.strip() == "..." else re.escape(line) + r"\n"
                      for line in (line.rstrip() for line in expected.rstrip().splitlines()))
    actual = "".join(line.rstrip() + "\n" for line in actual.rstrip().splitlines())
    return re.fullmatch(pattern, actual) is not None


# Printed between blocks, so that each block's output can be told apart.
MARK = "\x1eqor-readme-block-end\x1e"

PYTHON_SECTIONS = sections(PYTHON)


@pytest.mark.parametrize("section", PYTHON_SECTIONS, ids=ids(PYTHON_SECTIONS))
def test_python_examples_run_and_print_what_the_readme_shows(section, tmp_path):
    enclosing = [block for key, blocks in PYTHON_SECTIONS.items()
                 if key == section[:len(key)] and key != section for block in blocks]
    own = PYTHON_SECTIONS[section]
    script = "".join(f"{block.code}\nif __name__ == '__main__':\n    print({MARK!r})\n"
                     for block in enclosing + own)
    (tmp_path / "readme_example.py").write_text(script, encoding="utf-8")
    write_data(tmp_path, script)
    done = subprocess.run([sys.executable, "readme_example.py"], cwd=tmp_path, text=True,
                          capture_output=True, timeout=600,
                          env={**os.environ, "MPLBACKEND": "Agg"})
    where = f"README.md, lines {own[0].first}-{own[-1].last} ({' / '.join(section)})"
    assert done.returncode == 0, f"{where} failed:\n{done.stderr[-3000:]}\n{DATA_HINT}"
    printed = done.stdout.split(MARK + "\n")[len(enclosing):]
    assert len(printed) == len(own) + 1
    for block, output in zip(own, printed):
        if block.output is not None:
            shown = matches(block.output.code, output)
            assert shown, (
                f"README.md line {block.output.first} shows what line {block.first}'s "
                f"block prints, but it prints:\n{output}")


SHELL_SECTIONS = sections(SHELL)


def commands(block: Block) -> list[str]:
    """The block's commands: continued lines joined, comments and blank lines left out."""
    joined = re.sub(r"\\\n\s*", " ", block.code)
    return [line for line in joined.splitlines() if line.strip() and
            not line.lstrip().startswith("#")]


@pytest.mark.parametrize("section", SHELL_SECTIONS, ids=ids(SHELL_SECTIONS))
def test_commands_run(section, tmp_path):
    to_run, skipped = [], []
    for block in SHELL_SECTIONS[section]:
        for command in commands(block):
            program = command.split()[0]
            (skipped if program in SKIPPED else to_run).append((block, command))
    if not to_run:
        reasons = {}
        for _, command in skipped:
            reasons.setdefault(command.split()[0], []).append(command.split("#")[0].strip())
        pytest.skip("; ".join(f"not run: {', '.join(f'`{c}`' for c in shown)}: "
                              f"{SKIPPED[program]}" for program, shown in reasons.items()))
    write_data(tmp_path, "\n".join(command for _, command in to_run))
    path = f"{Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}"
    for block, command in to_run:
        done = subprocess.run(["bash", "-c", command], cwd=tmp_path, text=True,
                              capture_output=True, timeout=600,
                              env={**os.environ, "PATH": path, "MPLBACKEND": "Agg"})
        assert done.returncode == 0, (f"README.md line {block.first}: `{command}` exited "
                                      f"{done.returncode}:\n{done.stderr[-3000:]}\n{DATA_HINT}")


def test_the_readme_has_examples_of_every_kind():
    """The reader above finds what it runs: Python with its output, and commands."""
    assert len(PYTHON_SECTIONS) >= 5 and any(b.output for b in BLOCKS)
    assert any("qor" == c.split()[0] for blocks in SHELL_SECTIONS.values()
               for b in blocks for c in commands(b))
    assert matches("a\n...\nd\n", "a\nb\nc\nd\n") and matches("a\n...\n", "a\n")
    assert not matches("a\n...\nd\n", "a\nb\n") and not matches("a\nb\n", "a\nc\n")
