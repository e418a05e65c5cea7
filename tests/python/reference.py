"""A literal, unoptimised rendering of the growth and prediction rules.

Differential tests hold the native engine to it. Every sum is an explicit loop
from 0.0 in the stated order (Python's sum() compensates rounding and would not
match), and rows with equal feature values keep their row order.
"""

import math
from dataclasses import dataclass, field


def gini(counts, n):
    if n == 0:
        return 0.0
    total = 0.0
    for c in counts:
        p = c / n
        total += p * p
    return 1.0 - total


def entropy(counts, n):
    if n == 0:
        return 0.0
    acc = 0.0
    for c in counts:
        p = c / n
        acc = acc - math.log2(p + 1e-10) * p
    return acc


def mse(s, q, n):
    if n == 0:
        return 0.0
    mean = s / n
    mean_sq = q / n
    return mean_sq - mean * mean


def ascending(value):
    """Sort key: numbers ascending, NaN after them all."""
    return (math.isnan(value), 0.0 if math.isnan(value) else value)


def threshold(lo, hi):
    """The midpoint of a cut, or lo where rounding puts it outside [lo, hi)
    (and where hi is NaN: the cut between the numbers and the missing values)."""
    mid = (lo + hi) * 0.5
    return mid if lo <= mid < hi else lo


def mae(values):
    if not values:
        return 0.0
    v = sorted(values, key=ascending)
    m = len(v)
    median = v[m // 2] if m % 2 else (v[m // 2 - 1] + v[m // 2]) * 0.5
    dev = 0.0
    for x in v:
        dev += abs(x - median)
    return dev / m


def tally(labels):
    """Counts per slot, slots in order of first occurrence; NaN is always new."""
    slot_of, counts, order, slots = {}, [], [], []
    for label in labels:
        key = 0.0 if label == 0.0 else label
        if math.isnan(label) or key not in slot_of:
            if not math.isnan(label):
                slot_of[key] = len(counts)
            slots.append(len(counts))
            counts.append(0)
            order.append(label)
        else:
            slots.append(slot_of[key])
        counts[slots[-1]] += 1
    return counts, order, slots


def find_node_threshold(X, y, rows, f, criterion, mss, msl):
    n = len(rows)
    if n < mss or n == 0:
        return None
    pairs = sorted(((X[r][f], y[r]) for r in rows), key=lambda p: ascending(p[0]))
    values = [p[0] for p in pairs]
    targets = [p[1] for p in pairs]
    if values[0] == values[-1]:
        return None
    if criterion in ("gini", "entropy"):
        measure = gini if criterion == "gini" else entropy
        counts, _, slots = tally(targets)
        parent = measure(counts, n)
        left, right = [0] * len(counts), list(counts)
    elif criterion == "mse":
        S = Q = 0.0
        for t in targets:
            S += t
            Q += t * t
        parent = mse(S, Q, n)
        s = q = 0.0
    else:
        parent = mae(targets)
    best = None
    best_gain = -math.inf
    for k in range(n - 1):
        if criterion in ("gini", "entropy"):
            left[slots[k]] += 1
            right[slots[k]] -= 1
        elif criterion == "mse":
            s += targets[k]
            q += targets[k] * targets[k]
        nl, nr = k + 1, n - k - 1
        # Missing values equal each other and differ from every number.
        if math.isnan(values[k]) or not (values[k] != values[k + 1]):
            continue
        if nl < msl or nr < msl:
            continue
        if criterion in ("gini", "entropy"):
            il, ir = measure(left, nl), measure(right, nr)
        elif criterion == "mse":
            il, ir = mse(s, q, nl), mse(S - s, Q - q, nr)
        else:
            il, ir = mae(targets[:nl]), mae(targets[nl:])
        gain = parent - (nl / n * il + nr / n * ir)
        if gain > best_gain:
            best_gain = gain
            best = (threshold(values[k], values[k + 1]), gain)
    return best


@dataclass
class RefNode:
    indices: list
    left: "RefNode | None" = None
    right: "RefNode | None" = None
    split_feature: int = -1
    split_threshold: float = 0.0
    value: float = 0.0
    class_counts: list = field(default_factory=list)

    @property
    def is_leaf(self):
        return self.left is None and self.right is None


@dataclass
class RefModel:
    task: str
    criterion: str
    max_depth: int
    min_samples_split: int
    min_samples_leaf: int
    root: RefNode | None = None
    classes_: list = field(default_factory=list)
    depth_features_: dict = field(default_factory=dict)

    def finalize(self, node, y):
        targets = [y[r] for r in node.indices]
        if self.task != "classification":
            total = 0.0
            for t in targets:
                total += t
            node.value = total / len(targets) if targets else 0.0
            return
        counts, labels, _ = tally(targets)
        best = 0
        for slot in range(1, len(counts)):
            if counts[slot] > counts[best]:
                best = slot
        node.value = labels[best] if counts else 0.0
        node.class_counts = [0.0] * len(self.classes_)
        for label, count in zip(labels, counts):
            node.class_counts[self.classes_.index(label)] = float(count)

    def fit(self, X, y):
        X = [[float(v) for v in row] for row in X]
        y = [float(v) for v in y]
        n_features = len(X[0]) if X else 0
        self.depth_features_ = {}
        self.classes_ = []
        if self.task == "classification":
            for label in sorted(y):
                if not self.classes_ or label != self.classes_[-1]:
                    self.classes_.append(label)
        root = RefNode(list(range(len(X))))
        frontier, depth = [root], 0
        finalized = set()
        while depth < self.max_depth and frontier:
            splittable = []
            for node in frontier:
                rows = node.indices
                pure = all(y[r] == y[rows[0]] for r in rows) if rows else True
                if len(rows) < self.min_samples_split or pure:
                    self.finalize(node, y)
                    finalized.add(id(node))
                else:
                    splittable.append(node)
            if not splittable:
                break
            best_f, best_score, best_map = -1, -math.inf, {}
            for f in range(n_features):
                score, cuts = 0.0, {}
                for node in splittable:
                    cut = find_node_threshold(X, y, node.indices, f, self.criterion,
                                              self.min_samples_split, self.min_samples_leaf)
                    if cut is not None:
                        score += cut[1]
                        cuts[id(node)] = cut[0]
                if cuts and score > best_score:
                    best_f, best_score, best_map = f, score, cuts
            if best_f < 0:
                for node in splittable:
                    self.finalize(node, y)
                    finalized.add(id(node))
                break
            self.depth_features_[depth] = best_f
            following = []
            for node in splittable:
                t = best_map.get(id(node))
                left = [r for r in node.indices if t is not None and X[r][best_f] <= t]
                right = [r for r in node.indices if t is not None and not X[r][best_f] <= t]
                if t is None or not left or not right:
                    self.finalize(node, y)
                    finalized.add(id(node))
                    continue
                node.split_feature, node.split_threshold = best_f, t
                node.left, node.right = RefNode(left), RefNode(right)
                following += [node.left, node.right]
            frontier, depth = following, depth + 1
        for node in frontier:
            if id(node) not in finalized:
                self.finalize(node, y)
        self.root = root

    def leaf(self, row):
        node = self.root
        while not node.is_leaf:
            node = node.left if row[node.split_feature] <= node.split_threshold else node.right
        return node

    def predict(self, X):
        return [self.leaf(row).value for row in X]

    def predict_proba(self, X):
        out = []
        for row in X:
            counts = self.leaf(row).class_counts
            total = 0.0
            for c in counts:
                total += c
            k = len(self.classes_)
            out.append([c / total for c in counts] if counts and total > 0 else [0.0] * k)
        return out
