"""Text and DOT export of small trees whose shape is known by hand."""

import numpy as np
import pandas as pd
import pytest

from qor import QORClassifier, QORRegressor, export_dot, export_text
from qor.export import PICTURE_SET_WIDTH

# Depth 0 splits rain at 1.5 (the left pair is pure); depth 1 splits the right pair on wind.
WEATHER = pd.DataFrame({"rain": [1.0, 1, 2, 2], "wind": [1.0, 2, 1, 2]})
PLAY = ["no", "no", "no", "yes"]


@pytest.fixture
def classifier():
    return QORClassifier().fit(WEATHER, PLAY)


@pytest.fixture
def regressor():
    """Both pairs split at depth 1, into four leaves of one row each."""
    return QORRegressor().fit(WEATHER.to_numpy(), np.array([0.0, 1, 10, 11]) / 3)


def test_text_of_a_classifier(classifier):
    assert export_text(classifier) == """\
depth 0 splits on rain
depth 1 splits on wind
root  samples=4
|-- rain <= 1.5  samples=2  class=no  counts=[2, 0]
`-- rain > 1.5  samples=2
    |-- wind <= 1.5  samples=1  class=no  counts=[1, 0]
    `-- wind > 1.5  samples=1  class=yes  counts=[0, 1]
"""


def test_text_of_a_regressor_with_few_digits(regressor):
    assert export_text(regressor, precision=3) == """\
depth 0 splits on x0
depth 1 splits on x1
root  samples=4
|-- x0 <= 1.5  samples=2
|   |-- x1 <= 1.5  samples=1  value=0
|   `-- x1 > 1.5  samples=1  value=0.333
`-- x0 > 1.5  samples=2
    |-- x1 <= 1.5  samples=1  value=3.33
    `-- x1 > 1.5  samples=1  value=3.67
"""


def test_dot_of_a_classifier(classifier):
    assert export_dot(classifier) == r"""digraph qor {
graph [ordering=out];
node [shape=box, fontname="Helvetica"];
edge [fontname="Helvetica"];
level0 [shape=plaintext, label="depth 0: rain"];
level1 [shape=plaintext, label="depth 1: wind"];
level2 [shape=plaintext, label="depth 2"];
level0 -> level1 -> level2 [style=invis];
{rank=same; level0; n0;}
{rank=same; level1; n1; n2;}
{rank=same; level2; n3; n4;}
n0 [label="rain <= 1.5\nsamples = 4"];
n1 [label="samples = 2\nclass = no\ncounts = [2, 0]"];
n2 [label="wind <= 1.5\nsamples = 2"];
n3 [label="samples = 1\nclass = no\ncounts = [1, 0]"];
n4 [label="samples = 1\nclass = yes\ncounts = [0, 1]"];
n0 -> n1 [label="true"];
n0 -> n2 [label="false"];
n2 -> n3 [label="true"];
n2 -> n4 [label="false"];
}
"""


def test_dot_ranks_each_level_and_escapes_names(regressor):
    dot = export_dot(regressor, feature_names=['say "hi"', "back\\slash"])
    assert '{rank=same; level2; n3; n4; n5; n6;}' in dot
    assert r'level0 [shape=plaintext, label="depth 0: say \"hi\""];' in dot
    assert r'n1 [label="back\\slash <= 1.5\nsamples = 2"];' in dot
    assert r'n6 [label="samples = 1\nvalue = 3.66667"];' in dot


@pytest.mark.parametrize("export, leaf", [
    (export_text, "root  samples=4  class=no  counts=[3, 1]\n"),
    (export_dot, r'n0 [label="samples = 4\nclass = no\ncounts = [3, 1]"];'),
])
def test_a_single_leaf_names_no_feature(export, leaf):
    text = export(QORClassifier(max_depth=0).fit(WEATHER, PLAY))
    assert leaf in text
    assert "rain" not in text and "wind" not in text and "->" not in text


@pytest.mark.parametrize("export", [export_text, export_dot])
def test_feature_names_must_match_the_columns(classifier, export):
    assert "a <= 1.5" in export(classifier, feature_names=["a", "b"])
    with pytest.raises(ValueError, match="feature_names has 3 entries, but the estimator "
                                         "was fitted on 2 features"):
        export(classifier, feature_names=["a", "b", "c"])


def test_each_node_of_a_level_shows_its_own_category_set():
    X = pd.DataFrame({"size": [1.0] * 6 + [2.0] * 6, "colour": ["red", "blue", "green"] * 4})
    y = [3.0, 0, 1, 3, 0, 1, 10, 14, 10, 10, 14, 10]
    # Two rows per colour and node: placed by their own means, unsmoothed.
    est = QORRegressor(max_depth=2, min_category_samples=1, category_smoothing=0).fit(X, y)
    assert export_text(est) == """\
depth 0 splits on size
depth 1 splits on colour
root  samples=12
|-- size <= 1.5  samples=6
|   |-- colour in {blue, green}  samples=4  value=0.5
|   `-- colour not in {blue, green}  samples=2  value=3
`-- size > 1.5  samples=6
    |-- colour in {green, red}  samples=4  value=10
    `-- colour not in {green, red}  samples=2  value=14
"""
    assert 'n2 [label="colour in {green, red}\\nsamples = 6"];' in export_dot(est)


def test_text_lists_every_category_and_dot_cuts_a_long_set(stations):
    left = stations.categories_[0][stations.tree_.categories(0).astype(int)].tolist()
    assert len(left) == 15
    assert f"|-- stop in {{{', '.join(left)}}}  samples=60" in export_text(stations)
    label = next(line for line in export_dot(stations).splitlines() if line.startswith("n0 "))
    shown = label[label.index("{") + 1:label.index("}")]
    assert len(shown) + 2 <= PICTURE_SET_WIDTH
    *values, ellipsis, more = shown.split(", ")
    assert values == left[:len(values)] and ellipsis == "…"
    assert more == f"+{len(left) - len(values)} more" and len(values) >= 1
