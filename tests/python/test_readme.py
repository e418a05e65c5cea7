"""The README's examples run as written (see markdown_examples for how a page runs).

The whole file runs top to bottom, as a reader pasting block after block would run it.
Each section also runs on its own, after the blocks of the sections that enclose it
(written above its own heading): a block under "### A picture" sees what "## Quick
start" defined, never what a sibling section defined, so that a reader who jumps to a
section finds it complete.
"""

from pathlib import Path

import pytest
from markdown_examples import PYTHON, SHELL, read_blocks, run

README = Path(__file__).resolve().parents[2] / "README.md"
BLOCKS = read_blocks(README.read_text(encoding="utf-8"))
RUN = PYTHON | SHELL


def test_the_whole_readme_runs_top_to_bottom(tmp_path):
    run([block for block in BLOCKS if block.language in RUN], tmp_path, "README.md")


SECTIONS = {}
for block in BLOCKS:
    if block.language in PYTHON:
        SECTIONS.setdefault(block.sections, [])


@pytest.mark.parametrize("section", SECTIONS, ids=[" / ".join(s[1:] or s) for s in SECTIONS])
def test_each_section_runs_after_the_sections_that_enclose_it(section, tmp_path):
    run([block for block in BLOCKS if block.language in RUN
         and block.sections == section[:len(block.sections)]], tmp_path, "README.md")


def test_the_readme_is_a_short_door_with_examples_of_every_kind():
    assert len(README.read_text(encoding="utf-8").splitlines()) <= 200
    assert len(SECTIONS) >= 2 and any(block.output for block in BLOCKS)
    assert any(block.language in SHELL for block in BLOCKS)
