"""The tree page in headless Chromium: it draws every node without an error, highlights the
leaf `apply` gives for every row (missing values and unseen categories included), collapses
and expands, answers the keyboard, and prints."""

import base64
import os
import shutil

import matplotlib
import numpy as np
import pandas as pd
import pytest
from conftest import flats
from sklearn.datasets import load_breast_cancer

from qor import QORClassifier, QORRegressor, export_html, plot_tree
from qor.export import PICTURE_SET_WIDTH, _split, _split_text

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402  (after choosing the backend)

CHROMIUM, CHROMEDRIVER = shutil.which("chromium"), shutil.which("chromedriver")
ROWS = 200


@pytest.fixture(scope="module")
def browser():
    if CHROMIUM is None or CHROMEDRIVER is None:
        pytest.skip("the tree page's tests need Chromium and chromedriver, which "
                    "tools/ensure-chromium installs from Debian's packages as root or with sudo")
    webdriver = pytest.importorskip("selenium.webdriver",
                                    reason="selenium is missing: pip install '.[test]'")
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                     "--window-size=1400,900"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    # The sanitizer pass preloads its runtime into Python; the browser starts without it.
    environment = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    driver = webdriver.Chrome(options=options, service=Service(CHROMEDRIVER, env=environment))
    yield driver
    driver.quit()


def _cancer(rng):
    X, y = load_breast_cancer(return_X_y=True, as_frame=True)
    model = QORClassifier(max_depth=5).fit(X.iloc[:400], y.iloc[:400])
    rows = X.sample(ROWS, replace=True, random_state=1).reset_index(drop=True)
    rows = rows.mask(rng.random(rows.shape) < 0.15)
    return model, rows, {"class_names": ["malignant", "benign"]}


def _flats(estimator):
    def make(rng):
        X, rent = flats(11, 800)
        target = rent if estimator is QORRegressor else np.where(rent > 1000, "dear", "cheap")
        model = estimator(max_depth=5, categorical_features=["city", "floor"]).fit(X, target)
        # Names that would end the page's script, were they not escaped.
        names = ["</script><script>throw 1</script>", "floor <!--", "area"]
        return model, flats(12, ROWS, unseen=True)[0], {"feature_names": names}
    return make


def _leaf(rng):
    X, rent = flats(13, 100)
    return QORRegressor(max_depth=0).fit(X, rent), flats(14, ROWS, unseen=True)[0], {}


MODELS = {"cancer": _cancer, "flats-regressor": _flats(QORRegressor),
          "flats-classifier": _flats(QORClassifier), "single-leaf": _leaf}


@pytest.fixture(scope="module")
def pages(tmp_path_factory):
    """name -> (model, rows, page path, feature names shown), each made once."""
    folder, made = tmp_path_factory.mktemp("pages"), {}

    def page(name):
        if name not in made:
            model, rows, options = MODELS[name](np.random.default_rng(7))
            path = folder / f"{name}.html"
            export_html(model, path, rows, model.predict(rows), **options)
            names = options.get("feature_names", model.feature_names_in_)
            made[name] = model, rows, path, list(names)
        return made[name]
    return page


def open_page(browser, path):
    browser.get(path.as_uri())
    assert browser.execute_script("return document.documentElement.dataset.ready") == "true"


def console_errors(browser) -> list:
    return [entry for entry in browser.get_log("browser") if entry["level"] == "SEVERE"]


def shown_nodes(browser) -> list[int]:
    return browser.execute_script(
        "return [...document.querySelectorAll('.node:not(.gone)')].map(e => +e.dataset.node)")


def descendants(tree, node) -> set:
    found, pending = set(), [node]
    while pending:
        j = pending.pop()
        if not tree.is_leaf[j]:
            found |= {tree.children_left[j], tree.children_right[j]}
            pending += [tree.children_left[j], tree.children_right[j]]
    return found


def click(browser, element_id):
    browser.find_element("id", element_id).click()


@pytest.mark.parametrize("name", sorted(MODELS))
def test_every_node_is_drawn_coloured_as_in_the_picture_without_errors(browser, pages, name):
    model, _, path, names = pages(name)
    open_page(browser, path)
    tree = model.tree_
    assert browser.execute_script("return document.querySelectorAll('.node').length") == (
        tree.node_count)
    click(browser, "expand-all")
    assert sorted(shown_nodes(browser)) == list(range(tree.node_count))
    fills = browser.execute_script(
        "return [...document.querySelectorAll('.node')]"
        ".map(e => getComputedStyle(e).backgroundColor)")
    boxes = plot_tree(model)
    for node in range(tree.node_count):
        rgb = boxes[node].get_bbox_patch().get_facecolor()[:3]
        assert fills[node] == "rgb({}, {}, {})".format(*(round(c * 255) for c in rgb))
    plt.close("all")
    labels = browser.execute_script(
        "return [...document.querySelectorAll('#fields label')].map(e => e.textContent)")
    assert labels == [names[f] for f in dict.fromkeys(model.depth_features_.values())]
    assert console_errors(browser) == []


def form_values(model, rows, used) -> list[list[str]]:
    """What a person types or picks in the form for each row: a number as Python prints
    it, a category's code (the option's value), "unseen", or "" for missing."""
    values = []
    for _, row in rows.iterrows():
        typed = []
        for f in used:
            v = row.iloc[f]
            if model.is_categorical_[f]:
                code = pd.Index(model.categories_[f]).get_indexer([v])[0] if not pd.isna(v) else -2
                typed.append("" if code == -2 else "unseen" if code < 0 else str(code))
            else:
                typed.append("" if pd.isna(v) else repr(float(v)))
        values.append(typed)
    return values


@pytest.mark.parametrize("name", sorted(MODELS))
def test_the_highlighted_leaf_is_the_leaf_apply_gives(browser, pages, name):
    model, rows, path, _ = pages(name)
    expected = model.apply(rows).tolist()
    encoded = model._validate_X_predict(rows)
    assert np.isnan(encoded).any(axis=1).sum() > ROWS // 5  # missing and unseen values abound
    open_page(browser, path)
    # Through the list: the first row clicked, then each next one by the arrow key.
    listed = browser.execute_script("""
        const out = [];
        document.getElementById("r0").click();
        for (let i = 0; i < arguments[0]; i++) {
          const down = new KeyboardEvent("keydown", {key: "ArrowDown", bubbles: true});
          if (i) document.activeElement.dispatchEvent(down);
          out.push([+document.activeElement.dataset.row,
                    +document.querySelector(".node.hit").dataset.node,
                    +document.getElementById("answer").dataset.leaf]);
        }
        return out;""", ROWS)
    assert listed == [[i, leaf, leaf] for i, leaf in enumerate(expected)]
    # Through the form, filled with each row's values as text.
    used = list(dict.fromkeys(model.depth_features_.values()))
    asked = browser.execute_script("""
        const [used, rows] = arguments, form = document.getElementById("form");
        return rows.map((values) => {
          used.forEach((f, k) => { document.getElementById("in" + f).value = values[k]; });
          form.dispatchEvent(new Event("input", {bubbles: true}));
          return +document.querySelector(".node.hit").dataset.node;
        });""", used, form_values(model, rows, used))
    assert asked == expected
    assert console_errors(browser) == []


def test_nodes_collapse_and_expand(browser, pages):
    model, _, path, _ = pages("cancer")
    tree = model.tree_
    open_page(browser, path)
    click(browser, "expand-all")
    browser.find_element("css selector", "#n1 .tog").click()
    hidden = descendants(tree, 1)
    assert set(shown_nodes(browser)) == set(range(tree.node_count)) - hidden
    assert browser.find_element("id", "n1").get_attribute("aria-expanded") == "false"
    assert f"+{len(hidden)} nodes below" in browser.find_element("id", "n1").text
    browser.find_element("css selector", "#n1 .tog").click()
    assert len(shown_nodes(browser)) == tree.node_count
    click(browser, "collapse-all")
    assert shown_nodes(browser) == [0]
    click(browser, "expand-all")
    assert len(shown_nodes(browser)) == tree.node_count


def test_the_view_zooms_and_pans(browser, pages):
    from selenium.webdriver.common.action_chains import ActionChains

    _, _, path, _ = pages("cancer")
    open_page(browser, path)
    transform = lambda: browser.execute_script(  # noqa: E731  [scale, x, y] of the chart
        "const m = new DOMMatrix(getComputedStyle(document.getElementById('canvas')).transform);"
        "return [m.a, m.e, m.f]")
    scale, x, y = transform()
    click(browser, "zoom-in")
    assert transform()[0] == pytest.approx(scale * 1.25)
    click(browser, "zoom-out")
    assert transform()[0] == pytest.approx(scale)
    # Dragged by the empty band below the tree: the chart follows the pointer.
    view = browser.find_element("id", "view")
    ActionChains(browser).move_to_element_with_offset(view, 0, view.size["height"] // 2 - 5) \
        .click_and_hold().move_by_offset(-120, -40).release().perform()
    assert transform() == pytest.approx([scale, x - 120, y - 40])
    browser.execute_script("document.getElementById('view').dispatchEvent(new WheelEvent("
                           "'wheel', {deltaY: -100, ctrlKey: true, clientX: 300, clientY: 300}))")
    assert transform()[0] > scale


def test_the_keyboard_moves_between_nodes_and_rows(browser, pages):
    from selenium.webdriver.common.keys import Keys

    model, rows, path, _ = pages("cancer")
    tree = model.tree_
    open_page(browser, path)
    click(browser, "expand-all")
    browser.find_element("id", "n0").click()
    left, right = tree.children_left[0], tree.children_right[0]
    steps = [(Keys.ARROW_DOWN, left), (Keys.ARROW_RIGHT, right), (Keys.ARROW_LEFT, left),
             (Keys.ARROW_DOWN, tree.children_left[left]), (Keys.ARROW_UP, left),
             (Keys.HOME, 0)]
    for key, node in steps:
        browser.switch_to.active_element.send_keys(key)
        assert browser.switch_to.active_element.get_attribute("data-node") == str(node)
    browser.switch_to.active_element.send_keys(Keys.ENTER)
    assert shown_nodes(browser) == [0]
    assert browser.find_element("id", "n0").get_attribute("aria-expanded") == "false"
    browser.switch_to.active_element.send_keys(Keys.SPACE)
    assert len(shown_nodes(browser)) == tree.node_count
    # The rows: the arrow keys move through them, and each one moved to is traced.
    browser.find_element("id", "r0").click()
    browser.switch_to.active_element.send_keys(Keys.ARROW_DOWN)
    browser.switch_to.active_element.send_keys(Keys.ARROW_DOWN)
    assert browser.switch_to.active_element.get_attribute("data-row") == "2"
    hit = browser.find_element("css selector", ".node.hit").get_attribute("data-node")
    assert int(hit) == model.apply(rows.iloc[[2]])[0]


def test_typing_a_row_reads_its_path_and_prediction(browser, pages):
    model, rows, path, _ = pages("cancer")
    open_page(browser, path)
    row = rows.iloc[[0]].copy()
    used = list(dict.fromkeys(model.depth_features_.values()))
    row.iloc[0, used[1]] = np.nan  # left empty: missing
    for f in used:
        if not pd.isna(row.iloc[0, f]):
            browser.find_element("id", f"in{f}").send_keys(repr(float(row.iloc[0, f])))
    answer = browser.find_element("id", "answer").text.splitlines()
    nodes = model.decision_path(row).indices
    steps = []
    for node, child in zip(nodes[:-1], nodes[1:]):
        split = _split(model, node)
        name = model.feature_names_in_[split.feature]
        if pd.isna(row.iloc[0, split.feature]):
            steps.append(f"{name} is missing, so no")
        else:
            steps.append(_split_text(name, split, 6, left=child == model.tree_.children_left[node],
                                     width=PICTURE_SET_WIDTH))
    sentence = ", then ".join(steps)
    label = ["malignant", "benign"][model.predict(row)[0]]
    assert answer[0].startswith(f"Prediction: {label} (")
    assert answer[1] == sentence[0].upper() + sentence[1:] + "."
    browser.find_element("id", f"in{used[0]}").send_keys("x")
    assert browser.find_element("id", "answer").text.startswith(
        f"Not a number: {model.feature_names_in_[used[0]]}.")


def test_it_prints_an_outline_of_the_expanded_nodes(browser, pages):
    model, _, path, _ = pages("cancer")
    open_page(browser, path)
    click(browser, "collapse-all")
    browser.find_element("css selector", "#n0 .tog").click()  # the root and its children
    pdf = base64.b64decode(browser.print_page())
    assert pdf.startswith(b"%PDF-")
    lines = browser.execute_script(
        "return [...document.querySelectorAll('#outline p')].map(e => e.textContent)")
    left, right = model.tree_.children_left[0], model.tree_.children_right[0]
    assert [line.split(" ")[0] for line in lines] == ["#0", f"#{left}", f"#{right}"]
    assert all("nodes below, collapsed" in line for line in lines[1:])
    browser.execute_cdp_cmd("Emulation.setEmulatedMedia", {"media": "print"})
    try:
        style = browser.execute_script("""
            const style = (e) => getComputedStyle(e);
            const shown = (id) => style(document.getElementById(id)).display !== "none";
            return [shown("form"), shown("controls"), shown("outline"),
                    parseFloat(style(document.querySelector("#outline p")).fontSize)]""")
    finally:
        browser.execute_cdp_cmd("Emulation.setEmulatedMedia", {"media": ""})
    assert style[:3] == [False, False, True] and style[3] >= 13  # 10 points
    assert console_errors(browser) == []
