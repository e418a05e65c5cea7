"""Text and DOT export of small trees whose shape is known by hand."""

import numpy as np
import pandas as pd
import pytest

from qor import QORClassifier, QORRegressor, export_dot, export_text

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
