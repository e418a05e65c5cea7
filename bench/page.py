"""The tree page's size and speed: a depth-10 tree (about 1,900 of its 2,047 possible
nodes) with 1,000 rows embedded, opened in headless Chromium.

Prints the file's size, the time from navigation to the first frame painted after the
page's script has run (medians of repeated loads), and the times of "Expand all" (which
fits every node into the view), of one step of zoom over the expanded tree (every box
placed anew) and of tracing one row through it. Beside each wall time, the browser's
main-thread busy time (Chromium's TaskDuration), which other work on the machine
disturbs less. Needs Chromium and Selenium, which `make test` installs:
`.venv/bin/python bench/page.py` (or `make bench-page`).
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
            browser.execute_cdp_cmd("Performance.enable", {})
            painted, busy = [], []
            for _ in range(LOADS):
                browser.get("about:blank")
                browser.get(page.as_uri())
                at, ready = browser.execute_async_script(PAINTED)
                assert ready == "true"
                painted.append(at)
                busy.append(_busy(browser))  # a new page counts from naught
            print(f"navigation to first paint: median {statistics.median(painted):.0f} ms, "
                  f"slowest {max(painted):.0f} ms ({LOADS} loads); main thread busy "
                  f"{statistics.median(busy):.0f} ms")
            steps = {f"expand all and fit ({model.tree_.node_count} nodes drawn)":
                     'document.getElementById("expand-all").click()',
                     "zoom in one step over the expanded tree":
                     'document.getElementById("zoom-in").click()',
                     "trace one row through the expanded tree":
                     'document.getElementById("r1").click()'}
            times = {what: [] for what in steps}
            for _ in range(LOADS):  # each load expanded, zoomed and traced afresh
                browser.get(page.as_uri())
                for what, script in steps.items():
                    before = _busy(browser)
                    wall = browser.execute_async_script(TIMED % script)
                    times[what].append((wall, _busy(browser) - before))
            for what, pairs in times.items():
                wall, busy = (statistics.median(p[k] for p in pairs) for k in (0, 1))
                print(f"{what}: median {wall:.0f} ms; main thread busy {busy:.0f} ms")
    finally:
        browser.quit()


def _busy(browser) -> float:
    """Milliseconds the page's main thread has spent on tasks so far."""
    metrics = browser.execute_cdp_cmd("Performance.getMetrics", {})["metrics"]
    return 1000 * next(m["value"] for m in metrics if m["name"] == "TaskDuration")


if __name__ == "__main__":
    main()
