"""Takes docs/tree-page.png, the README's screenshot of the tree page: the quick start's
model with its held-out rows, one of them traced.

Run from a clone after `make test` (which installs Chromium and Selenium):
`.venv/bin/python docs/draw_page.py`.
"""

import shutil
import tempfile
from pathlib import Path

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from sklearn.datasets import load_breast_cancer
from sklearn.model_selection import train_test_split

from qor import QORClassifier, export_html

X, y = load_breast_cancer(return_X_y=True, as_frame=True)
X_train, X_test, y_train, y_test = train_test_split(X, y, random_state=0)
model = QORClassifier(max_depth=3).fit(X_train, y_train)

with tempfile.TemporaryDirectory() as folder:
    page = Path(folder) / "tree.html"
    export_html(model, page, X_test, y_test, class_names=["malignant", "benign"])
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for argument in ("--headless=new", "--no-sandbox", "--window-size=1600,940",
                     "--hide-scrollbars"):
        options.add_argument(argument)
    browser = webdriver.Chrome(options=options, service=Service(shutil.which("chromedriver")))
    try:
        browser.get(page.as_uri())
        # A benign row, traced down the left (clicked by script: no scrolling to it).
        browser.execute_script("document.getElementById('r3').click()")
        browser.save_screenshot(str(Path(__file__).with_name("tree-page.png")))
    finally:
        browser.quit()
