"""Fit one level-wise tree on scikit-learn's breast-cancer data and report it."""

import numpy as np
from sklearn.datasets import load_breast_cancer

import _qor_native

data = load_breast_cancer()
X = np.ascontiguousarray(data.data, dtype=np.float64)
y = data.target.astype(np.float64)

model = _qor_native.QORModel("classification", "gini", 3, 2, 1)
model.fit(X, y)
accuracy = np.mean(np.asarray(model.predict(X)) == y)
print("features by depth:", {d: str(data.feature_names[f]) for d, f in model.depth_features_.items()})
print(f"training accuracy: {accuracy:.3f}")
