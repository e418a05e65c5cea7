"""The tree page's size and speed: a depth-10 tree (about 1,900 of its 2,047 possible
nodes) with 1,000 rows embedded, opened in headless Chromium.

Prints the file's size, the time from navigation to the first frame painted after the
page's script has run (medians of repeated loads), and the times of "Expand all" and of
tracing one row through the expanded tree. Needs Chromium and Selenium, which `make test`
installs: `.venv/bin/python bench/page.py` (or `make bench-page`).
"""

import shutil
import statistics
import tempfile
from pathlib import Path

import numpy as np
from selenium import webdriver
from selenium.webdriver.chrome.service import Service

from qor import QORClassifier, export_html

LOADS = 7
# Resolves once the page's script has run and the frame after it is painted.
PAINTED = """
const done = arguments[arguments.length - 1];
requestAnimationFrame(() => requestAnimationFrame(() => done([
  performance.now(), document.documentElement.dataset.ready])));"""
TIMED = """
const done = arguments[arguments.length - 1], start = performance.now();
%s;
requestAnimationFrame(() => requestAnimationFrame(() => done(performance.now() - start)));"""


def main():
    rng = np.random.default_rng(0)
    X = rng.normal(size=(200_000, 12))
    y = (np.sin(4 * X).sum(axis=1) + rng.normal(size=X.shape[0]) > 0).astype(int)
    X[rng.random(X.shape) < 0.05] = np.nan
    model = QORClassifier(max_depth=10).fit(X, y)
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                     "--window-size=1400,900"):
        options.add_argument(argument)
    browser = webdriver.Chrome(options=options, service=Service(shutil.which("chromedriver")))
    try:
        with tempfile.TemporaryDirectory() as folder:
            page = Path(folder) / "tree.html"
            export_html(model, page, X[:1000], y[:1000])
            print(f"tree: depth {model.get_depth()}, {model.tree_.node_count} nodes; "
                  f"1,000 rows embedded")
            print(f"file size: {page.stat().st_size / 1e6:.2f} MB")
            painted = []
            for _ in range(LOADS):
                browser.get(page.as_uri())
                at, ready = browser.execute_async_script(PAINTED)
                assert ready == "true"
                painted.append(at)
            print(f"navigation to first paint: median {statistics.median(painted):.0f} ms, "
                  f"slowest {max(painted):.0f} ms ({LOADS} loads)")
            expand = browser.execute_async_script(
                TIMED % 'document.getElementById("expand-all").click()')
            print(f"expand all ({model.tree_.node_count} nodes drawn): {expand:.0f} ms")
            trace = browser.execute_async_script(
                TIMED % 'document.getElementById("r1").click()')
            print(f"trace one row through the expanded tree: {trace:.0f} ms")
    finally:
        browser.quit()


if __name__ == "__main__":
    main()
