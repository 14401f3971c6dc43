"""Straightforward pure-Python implementations of two transforms, written the
plain way (a list of new columns, two concatenations, names checked by scanning
lists), and of the selectors' greedy pick. The benchmarks time and plot them
beside the module and the numpy baseline."""
import operator
import random

import numpy as np


def _clean(col):
    if np.isnan(col).any():
        col[np.isnan(col)] = 0
    if np.isinf(col).any():
        col[np.isinf(col)] = 0
    return col


def _unique(name, existing):
    while name in existing:
        name = name + "-" + str(random.randint(0, 9))
    return name


def unary_names(name, col_names, colids):
    names = []
    for c in colids:
        names.append(_unique(name + "(" + str(col_names[c]) + ")", names + list(col_names)))
    return names


def unary(fun, name, X, col_names):
    cols = [_clean(fun(X[:, c])[..., None]) for c in range(X.shape[1])]
    names = unary_names(name, col_names, range(X.shape[1]))
    return np.concatenate((X, np.concatenate(tuple(cols), 1)), 1), names


def binary(fun, name, X, col_names):
    pairs = [(a, b) for a in range(X.shape[1]) for b in range(X.shape[1]) if a != b]
    cols = [_clean(fun(X[:, a], X[:, b])[..., None]) for a, b in pairs]
    names = []
    for a, b in pairs:
        proposed = name + "(" + str(col_names[a]) + "__" + str(col_names[b]) + ")"
        names.append(_unique(proposed, list(col_names) + names))
    return np.concatenate((X, np.concatenate(tuple(cols), 1)), 1), names


def python_pick(scores, must_keep, k):
    """The greedy pick as plain Python: one max() scan per pick."""
    ind = list(scores)
    keep = list(must_keep)
    for c in must_keep:
        ind[c] = -np.inf
    for _ in range(k):
        i, v = max(enumerate(ind), key=operator.itemgetter(1))
        if v == -np.inf:
            break
        keep.append(i)
        ind[i] = -np.inf
    return sorted(keep)
