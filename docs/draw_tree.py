"""Draws docs/tree.png, the picture in the README: the quick start's model.

Run from a clone with the plot extra installed: `.venv/bin/python docs/draw_tree.py`.
"""

from pathlib import Path

import matplotlib

matplotlib.use("Agg")

from sklearn.datasets import load_breast_cancer  # noqa: E402
from sklearn.model_selection import train_test_split  # noqa: E402

from qor import QORClassifier, plot_tree  # noqa: E402

X, y = load_breast_cancer(return_X_y=True, as_frame=True)
X_train, X_test, y_train, y_test = train_test_split(X, y, random_state=0)
model = QORClassifier(max_depth=3).fit(X_train, y_train)
boxes = plot_tree(model, class_names=["malignant", "benign"])
boxes[0].figure.savefig(Path(__file__).with_name("tree.png"), dpi=100, bbox_inches="tight")
