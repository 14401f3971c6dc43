"""FS1 on a wide table against a plain numpy/scikit-learn selection, and the
greedy pick alone against the plain Python max() loop.

    python bench/bench_fs1.py [--quick]

Every workload checks that both sides select the same columns before its
times are reported; times are best-of-N wall times, printed as ratios.
"""
import argparse
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from harness import Table, best_time, numpy_fs1_selection  # noqa: E402
from literal import python_pick  # noqa: E402

import karrow_libs.vantor.transforms.transform_utils as tu  # noqa: E402


def regression_table(rows, cols, informative=10, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(rows, cols))
    y = X[:, :informative].sum(axis=1) + rng.normal(size=rows)
    return X, y


def numpy_pick(scores, must_keep, k):
    """The same pick with a stable numpy sort (NaN-free scores only)."""
    ind = np.array(scores, dtype=float)
    ind[must_keep] = -np.inf
    order = np.argsort(-ind, kind="stable")[:k]
    return sorted(set(must_keep) | {int(i) for i in order if ind[i] != -np.inf})


def run_fit(table, rows, cols, k):
    X, y = regression_table(rows, cols)
    must = list(range(10))

    def ours():
        return tu.FS1(must, k, "regression").fit(X, y).transform(X)

    ours_s, got = best_time(ours, repeat=3)
    base_s, want = best_time(lambda: numpy_fs1_selection(X, y, must, k), repeat=3)
    skb_s, also = best_time(lambda: numpy_fs1_selection(X, y, must, k, through_select_k_best=True), repeat=3)
    assert np.array_equal(got, want) and np.array_equal(got, also)
    label = f"FS1 fit+transform, {cols} cols x {rows} rows, k={k}"
    table.add(label + " (vs f_regression + argsort)", ours_s, base_s, None, "~1x (F-test bound)")
    table.add(label + " (vs SelectKBest + argsort)", ours_s, skb_s, None, "~1x")


def run_pick(table, n, k, repeat_python):
    scores = list(np.round(np.random.default_rng(2).random(n), 4))   # ties included
    must = list(range(0, n, 101))
    fs = tu.FS1(must, k, "regression")
    fs.k_ = k

    def ours():
        fs.find_k_top_indices(scores)
        return fs.cols_to_keep_final_

    ours_s, got = best_time(ours, repeat=5)
    py_s, want = best_time(lambda: python_pick(scores, must, k), repeat=repeat_python)
    np_s, also = best_time(lambda: numpy_pick(scores, must, k), repeat=5)
    assert got == want == also
    table.add(f"pick {n} scores, k {k} (vs plain Python max loop)", ours_s, py_s, None,
              f"well under 1 s; {py_s / ours_s:,.0f}x faster")
    table.add(f"pick {n} scores, k {k} (vs numpy stable argsort)", ours_s, np_s, None, "")


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--quick", action="store_true", help="smaller tables, one Python-loop run")
    args = p.parse_args(argv)
    table = Table()
    if args.quick:
        run_fit(table, rows=5_000, cols=2_000, k=200)
        run_pick(table, n=4_000, k=2_000, repeat_python=1)
    else:
        run_fit(table, rows=20_000, cols=2_000, k=200)
        run_pick(table, n=10_000, k=5_000, repeat_python=1)
    print(table.render())


if __name__ == "__main__":
    main()
