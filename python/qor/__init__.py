"""Level-wise decision trees that split every node of a depth on one shared feature."""

from importlib.metadata import version

from .estimators import QORClassifier, QORRegressor

__all__ = ["QORClassifier", "QORRegressor"]
__version__ = version("qor")
