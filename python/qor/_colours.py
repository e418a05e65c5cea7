"""The fill of each node, shared by the picture (plot_tree) and the page (export_html),
so that a leaf has the same colour in both. Needs no graphics library.

Colours are (red, green, blue) tuples of floats in [0, 1].
"""

import numpy as np

# matplotlib's "tab10" and "tab20" (Tableau's palettes), the colours of the classes:
# tab10 up to ten classes, tab20 beyond, class k taking colour k modulo the palette.
TAB10 = ("#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b", "#e377c2",
         "#7f7f7f", "#bcbd22", "#17becf")
TAB20 = ("#1f77b4", "#aec7e8", "#ff7f0e", "#ffbb78", "#2ca02c", "#98df8a", "#d62728",
         "#ff9896", "#9467bd", "#c5b0d5", "#8c564b", "#c49c94", "#e377c2", "#f7b6d2",
         "#7f7f7f", "#c7c7c7", "#bcbd22", "#dbdb8d", "#17becf", "#9edae5")
# The highest regression value's colour (the lowest is white).
VALUE_COLOUR = np.array([0.90, 0.51, 0.22])
WHITE = (1.0, 1.0, 1.0)


def rgb(hex_colour: str) -> tuple:
    return tuple(int(hex_colour[i:i + 2], 16) / 255 for i in (1, 3, 5))


def hex_colour(colour) -> str:
    return "#" + "".join(f"{round(float(c) * 255):02x}" for c in colour[:3])


def class_palette(n_classes: int) -> list[tuple]:
    """Each class's full colour, in the order of classes_."""
    palette = TAB10 if n_classes <= 10 else TAB20
    return [rgb(palette[k % len(palette)]) for k in range(n_classes)]


def _class_colour(shares: np.ndarray, base) -> tuple:
    """The majority class colour, paler the more mixed the node: full for a pure node,
    white where the two most frequent classes tie."""
    first, second = np.sort(shares)[::-1][:2] if shares.size > 1 else (shares[0], 0.0)
    purity = (first - second) / (1 - second) if second < 1 else 0.0
    return tuple(1 - (1 - np.asarray(base[:3])) * (0.15 + 0.7 * purity))


def node_colours(tree, classifier: bool, filled: bool = True) -> list[tuple]:
    """The fill of each node of `tree`: by its majority class (paler when mixed) for a
    classifier; for a regressor from white, at the lowest node value, to orange, at the
    highest; with several outputs, from white at the highest impurity to orange at the
    lowest. Without `filled`, all white."""
    if not filled:
        return [WHITE] * tree.node_count
    if tree.n_outputs > 1:
        values = -tree.impurity
    elif classifier:
        palette = class_palette(tree.max_n_classes)
        return [_class_colour(shares, palette[int(shares.argmax())])
                for shares in tree.value[:, 0]]
    else:
        values = tree.value[:, 0, 0]
    low, span = values.min(), np.ptp(values)
    strengths = (values - low) / span if span > 0 else np.full(values.shape, 0.5)
    return [tuple(1 - (1 - VALUE_COLOUR) * (0.1 + 0.8 * s)) for s in strengths]
