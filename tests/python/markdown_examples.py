"""The examples of a Markdown page (the README, a page of the user guide) run as written.

A page reads like a notebook. Its ```python blocks and the commands of its ```sh blocks
run in order as one Python script (each command through bash, with the installed `qor`
first on the path; `pip` and `make` commands are not run, see SKIPPED), in a fresh
interpreter, as a file with `__name__ == "__main__"` so that an example starting worker
processes (Dask's `Client()`) runs as it would from the reader's own file, in an empty
folder: an example that reads a file must write it first.

Expected output: a ```text block that directly follows a ```python block (nothing but
blank lines between them) shows what that block prints, line by line; a line "..."
stands for any number of lines. Other ```text blocks (a usage synopsis, a file layout,
benchmark tables) are read, not run.
"""

import os
import re
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

PYTHON, SHELL, OUTPUT = {"python", "py"}, {"sh", "bash", "shell"}, {"text"}

SKIPPED = {
    "pip": "installs the package, which this suite runs against as it is installed",
    "make": "`make demo`, `make test` and `make check` run this suite, or what it runs, "
            "from the start",
}


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


def commands(block: Block) -> list[str]:
    """The block's commands: continued lines joined, comments and blank lines left out."""
    joined = re.sub(r"\\\n\s*", " ", block.code)
    return [line for line in joined.splitlines() if line.strip() and
            not line.lstrip().startswith("#")]


def matches(expected: str, actual: str) -> bool:
    """Line by line, trailing spaces and blank lines at the end aside; an expected line
    "..." matches any number of actual lines."""
    pattern = "".join(r"(?:[^\n]*\n)*?" if line.strip() == "..." else re.escape(line) + r"\n"
                      for line in (line.rstrip() for line in expected.rstrip().splitlines()))
    actual = "".join(line.rstrip() + "\n" for line in actual.rstrip().splitlines())
    return re.fullmatch(pattern, actual) is not None


# Printed after each Python block, so that each block's output can be told apart.
MARK = "\x1eqor-example-block-end\x1e"

SHELL_RUNNER = '''\
def _run_command(command, where):
    import subprocess, sys
    done = subprocess.run(["bash", "-c", command], text=True, capture_output=True)
    if done.returncode != 0:
        sys.exit(f"{where}: `{command}` exited {done.returncode}:\\n{done.stderr[-3000:]}")
'''


def script(blocks: list[Block], page: str) -> str:
    """The blocks as one Python script, commands included."""
    parts = [SHELL_RUNNER]
    for block in blocks:
        if block.language in PYTHON:
            parts.append(f"{block.code}\nif __name__ == '__main__':\n    print({MARK!r})\n")
        elif block.language in SHELL:
            parts += [f"_run_command({command!r}, {f'{page} line {block.first}'!r})\n"
                      for command in commands(block) if command.split()[0] not in SKIPPED]
    return "".join(parts)


def run(blocks: list[Block], folder: Path, page: str) -> None:
    """Runs the blocks in a fresh interpreter in `folder`, and holds each Python block's
    output against the ```text block that shows it."""
    (folder / "example.py").write_text(script(blocks, page), encoding="utf-8")
    path = f"{Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}"
    done = subprocess.run([sys.executable, "example.py"], cwd=folder, text=True,
                          capture_output=True, timeout=600,
                          env={**os.environ, "PATH": path, "MPLBACKEND": "Agg"})
    where = f"{page}, lines {blocks[0].first}-{blocks[-1].last}"
    assert done.returncode == 0, f"{where} failed:\n{done.stderr[-3000:]}"
    python = [block for block in blocks if block.language in PYTHON]
    printed = done.stdout.split(MARK + "\n")
    assert len(printed) == len(python) + 1, f"{where}: a block ended the script early"
    for block, output in zip(python, printed):
        if block.output is not None:
            assert matches(block.output.code, output), (
                f"{page} line {block.output.first} shows what line {block.first}'s block "
                f"prints, but it prints:\n{output}")
