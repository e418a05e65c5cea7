"""The documentation site, as `make docs` builds it, in headless Chromium: its search finds
pages, the gallery's pictures load, each example links to its tree's page, and nothing is
fetched from the network. `make docs` runs this after building the site; elsewhere it runs
on the site found in build/docs/html, and skips when there is none."""

import json
import os
import shutil
from pathlib import Path

import pytest

SITE = Path(os.environ.get("QOR_DOCS_SITE",
                           Path(__file__).resolve().parents[2] / "build" / "docs" / "html"))
EXAMPLES = sorted((Path(__file__).resolve().parents[2] / "examples").glob("plot_*.py"))
LOCAL = ("file:", "data:", "blob:", "about:", "chrome:", "chrome-extension:", "devtools:")

pytestmark = pytest.mark.skipif(not (SITE / "index.html").is_file(),
                                reason=f"the site is not built in {SITE}: `make docs` builds it")


@pytest.fixture(scope="module")
def browser():
    chromium, chromedriver = shutil.which("chromium"), shutil.which("chromedriver")
    if chromium is None or chromedriver is None:
        pytest.skip("the site's tests need Chromium and chromedriver, which "
                    "tools/ensure-chromium installs from Debian's packages as root or with sudo")
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                     "--window-size=1280,900"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"performance": "ALL", "browser": "ALL"})
    environment = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    driver = webdriver.Chrome(options=options, service=Service(chromedriver, env=environment))
    yield driver
    driver.quit()


def visit(browser, page: Path | str) -> list[str]:
    """Opens a page of the site, waits for it to load, and returns every URL it asked for."""
    browser.get_log("performance")  # what earlier pages asked for
    browser.get(page if isinstance(page, str) else page.as_uri())
    browser.execute_async_script(
        "const done = arguments[arguments.length - 1];"
        "if (document.readyState === 'complete') done(); "
        "else addEventListener('load', () => done());")
    requested = []
    for entry in browser.get_log("performance"):
        message = json.loads(entry["message"])["message"]
        if message["method"] == "Network.requestWillBeSent":
            requested.append(message["params"]["request"]["url"])
    return requested


def wait_for(browser, script: str, timeout: float = 20):
    from selenium.webdriver.support.ui import WebDriverWait

    return WebDriverWait(browser, timeout).until(lambda driver: driver.execute_script(script))


PAGES = ["index.html", "guide/quickstart.html", "api.html", "auto_examples/index.html",
         "auto_examples/plot_dask.html", "performance.html", "search.html"]


@pytest.mark.parametrize("page", PAGES)
def test_a_page_fetches_nothing_from_the_network(browser, page):
    requested = visit(browser, SITE / page)
    assert requested, "the browser's network log is empty"
    assert [url for url in requested if not url.startswith(LOCAL)] == []
    errors = [e for e in browser.get_log("browser") if e["level"] == "SEVERE"]
    assert errors == []


@pytest.mark.parametrize("query, page", [("monotonic_cst", "guide/weights-threads-constraints"),
                                         ("lookahead", "guide/lookahead"),
                                         ("QORRegressorCV", "guide/shrinkage"),
                                         ("export_html", "qor.export_html")])
def test_search_finds_the_page_that_explains(browser, query, page):
    requested = visit(browser, f"{(SITE / 'search.html').as_uri()}?q={query}")
    # Results are listed one at a time; the summary is written once the last is in.
    found = wait_for(browser, "const summary = document.querySelector("
                              "'#search-results .search-summary');"
                              "if (!summary || !summary.innerText) return null;"
                              "return [...document.querySelectorAll("
                              "'#search-results a')].map(a => a.href);")
    assert any(page in link for link in found), found
    assert [url for url in requested if not url.startswith(LOCAL)] == []


def test_every_example_is_in_the_gallery_with_its_pictures_and_page(browser):
    visit(browser, SITE / "auto_examples" / "index.html")
    thumbnails = browser.execute_script(
        "return [...document.querySelectorAll('.sphx-glr-thumbcontainer')].length")
    assert thumbnails == len(EXAMPLES) >= 8
    for example in EXAMPLES:
        visit(browser, SITE / "auto_examples" / f"{example.stem}.html")
        pictures = browser.execute_script(
            "return [...document.querySelectorAll('img.sphx-glr-single-img, "
            "img.sphx-glr-multi-img')].map(i => [i.currentSrc, i.complete && i.naturalWidth])")
        assert pictures and all(width > 0 for _, width in pictures), (example.name, pictures)
        pages = browser.execute_script(
            "return [...document.querySelectorAll('article a.reference.external')]"
            ".map(a => a.getAttribute('href')).filter(h => !h.includes('/'))"
            ".filter(h => h.endsWith('.html'))")
        assert len(pages) == 1, (example.name, pages)
        tree_page = SITE / "auto_examples" / pages[0]
        visit(browser, tree_page)
        assert browser.execute_script(
            "return document.documentElement.dataset.ready") == "true", tree_page.name
