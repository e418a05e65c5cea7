"""Every page of the user guide (docs/guide/*.md) runs top to bottom in a fresh interpreter
as written, and prints what it shows (see markdown_examples for how a page runs)."""

from pathlib import Path

import pytest
from markdown_examples import PYTHON, SHELL, matches, read_blocks, run

GUIDE = Path(__file__).resolve().parents[2] / "docs" / "guide"
PAGES = sorted(GUIDE.glob("*.md"))


@pytest.mark.parametrize("page", PAGES, ids=[page.stem for page in PAGES])
def test_the_page_runs_top_to_bottom(page, tmp_path):
    blocks = [block for block in read_blocks(page.read_text(encoding="utf-8"))
              if block.language in PYTHON | SHELL]
    if not any(block.language in PYTHON for block in blocks):
        pytest.skip(f"{page.name} has no Python example")
    run(blocks, tmp_path, f"docs/guide/{page.name}")


def test_the_reader_finds_examples_and_their_output():
    """The reader above sees what the pages hold, and an expected output is a check."""
    blocks = [block for page in PAGES for block in read_blocks(page.read_text("utf-8"))]
    assert len(PAGES) >= 10 and sum(block.output is not None for block in blocks) >= 5
    assert matches("a\n...\nd\n", "a\nb\nc\nd\n") and matches("a\n...\n", "a\n")
    assert not matches("a\n...\nd\n", "a\nb\n") and not matches("a\nb\n", "a\nc\n")


@pytest.mark.parametrize("module", ["qor", "qor.dask"])
def test_the_api_reference_lists_every_public_name(module):
    """docs/api.rst names each entry by hand, grouped for the reader; a public name left
    out would have no page."""
    import importlib
    import re

    reference = (GUIDE.parent / "api.rst").read_text(encoding="utf-8")
    listed = set()
    for section in re.split(r"^\.\. currentmodule:: ", reference, flags=re.M)[1:]:
        name, _, body = section.partition("\n")
        if name.strip() == module:
            listed |= set(re.findall(r"^   (\w+)$", body, flags=re.M))
    assert sorted(listed) == sorted(importlib.import_module(module).__all__)
