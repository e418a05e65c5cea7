"""The fill of each node, shared by the picture (plot_tree), the DOT text (export_dot)
and the page (export_html), so that a leaf has the same colour in all three. Needs no
graphics library.

Colours are (red, green, blue) tuples of floats in [0, 1].
"""

import numpy as np

# The classes' colours: matplotlib's "tab10" (Tableau's ten, so that a tree of up to ten
# classes looks as matplotlib draws them), then thirty more picked by Glasbey's method to
# stand apart from those and from each other: colorcet's "glasbey_category10", its first
# forty (CC BY 4.0). No two of them lie closer than 12 in CIEDE2000.
PALETTE = ("#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b", "#e377c2",
           "#7f7f7f", "#bcbd22", "#17becf", "#3a0183", "#004301", "#0fffa9", "#5e0040",
           "#bcbcff", "#d8afa2", "#b80080", "#004e53", "#6b6500", "#7d0200", "#6126ff",
           "#ffff9a", "#574964", "#8cb894", "#94fcff", "#028268", "#91ff00", "#8300a0",
           "#ad8944", "#5b3400", "#ffc0f3", "#ff6f76", "#798cff", "#dd00ff", "#515646",
           "#00458a", "#ffbf60", "#ff018d", "#bec9cf", "#af98b5")
# Past forty classes the colours come round again, each round with a pattern of its own
# over them (matplotlib's hatches; the page draws the same lines), so that no two of the
# first 240 classes share both colour and pattern.
PATTERNS = ("", "////", "\\\\\\\\", "xxxx", "....", "----")
# The highest regression value's colour (the lowest is white).
VALUE_COLOUR = np.array([0.90, 0.51, 0.22])
WHITE = (1.0, 1.0, 1.0)


def rgb(hex_colour: str) -> tuple:
    return tuple(int(hex_colour[i:i + 2], 16) / 255 for i in (1, 3, 5))


def hex_colour(colour) -> str:
    return "#" + "".join(f"{round(float(c) * 255):02x}" for c in colour[:3])


def class_palette(n_classes: int) -> list[tuple]:
    """Each class's full colour, in the order of classes_."""
    return [rgb(PALETTE[k % len(PALETTE)]) for k in range(n_classes)]


def class_patterns(n_classes: int) -> list[int]:
    """Each class's pattern, an index into PATTERNS (0: none), in the order of classes_."""
    return [(k // len(PALETTE)) % len(PATTERNS) for k in range(n_classes)]


def _class_colour(shares: np.ndarray, base) -> tuple:
    """The majority class colour, paler the more mixed the node: full for a pure node,
    white where the two most frequent classes tie."""
    first, second = np.sort(shares)[::-1][:2] if shares.size > 1 else (shares[0], 0.0)
    purity = (first - second) / (1 - second) if second < 1 else 0.0
    return tuple(1 - (1 - np.asarray(base[:3])) * (0.15 + 0.7 * purity))


def node_colours(tree, classifier: bool, filled: bool = True, value=None) -> list[tuple]:
    """The fill of each node of `tree`: by its majority class (paler when mixed) for a
    classifier; for a regressor from white, at the lowest node value, to orange, at the
    highest; with several outputs, from white at the highest impurity to orange at the
    lowest. Without `filled`, all white. `value` stands for `tree.value` where the
    caller shows other node values than the tree's own."""
    if not filled:
        return [WHITE] * tree.node_count
    value = tree.value if value is None else value
    if tree.n_outputs > 1:
        values = -tree.impurity
    elif classifier:
        palette = class_palette(tree.max_n_classes)
        return [_class_colour(shares, palette[int(shares.argmax())]) for shares in value[:, 0]]
    else:
        values = value[:, 0, 0]
    low, span = values.min(), np.ptp(values)
    strengths = (values - low) / span if span > 0 else np.full(values.shape, 0.5)
    return [tuple(1 - (1 - VALUE_COLOUR) * (0.1 + 0.8 * s)) for s in strengths]


def node_patterns(tree, classifier: bool, value=None) -> list[int]:
    """The pattern of each node's fill: its majority class's (see class_patterns); 0 for
    a regressor and with several outputs."""
    if not classifier or tree.n_outputs > 1:
        return [0] * tree.node_count
    value = tree.value if value is None else value
    patterns = class_patterns(tree.max_n_classes)
    return [patterns[int(k)] for k in value[:, 0].argmax(axis=1)]
