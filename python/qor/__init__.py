"""Level-wise decision trees that split every node of a depth on one shared feature."""

from importlib.metadata import version

from ._audit import audit
from .cv import QORClassifierCV, QORRegressorCV
from .estimators import QORClassifier, QORRegressor
from .export import export_dot, export_python, export_sql, export_text
from .io import load, save
from .onnx import to_onnx
from .page import export_html
from .plot import plot_tree

__all__ = ["QORClassifier", "QORClassifierCV", "QORRegressor", "QORRegressorCV", "audit",
           "export_dot", "export_html", "export_python", "export_sql", "export_text", "load",
           "plot_tree", "save", "to_onnx"]
__version__ = version("qor")
