"""The benchmark suite: every main workload against a plain-numpy baseline in
the same run, printed as one table, plus a plot of time against table width.

    python bench/run_all.py [--quick] [--plot bench/out/widths.png]
"""
import argparse
import os
import random
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from harness import Table, best_time, clean, names_of, numpy_fs1_selection, peak_ratio, table_of  # noqa: E402
import literal  # noqa: E402

import karrow_libs.vantor.transforms.transform_utils as tu  # noqa: E402


def mem_ratio(X, run):
    return peak_ratio(X, run)[0]


# --- plain numpy baselines producing the same arrays -----------------------------

def base_unary(fun, X):
    n, m = X.shape
    out = np.empty((n, 2 * m), order="F")
    out[:, :m] = X
    for j in range(m):
        out[:, m + j] = fun(X[:, j])
    clean(out[:, m:])
    return out


def base_pairs(fun, X, arity=2):
    import itertools
    n, m = X.shape
    combos = list(itertools.permutations(range(m), arity))
    out = np.empty((n, m + len(combos)), order="F")
    out[:, :m] = X
    for k, c in enumerate(combos):
        out[:, m + k] = fun(*(X[:, i] for i in c))
    clean(out[:, m:])
    return out


def base_scalers(X):
    from sklearn.preprocessing import MinMaxScaler
    n, m = X.shape
    out = np.empty((n, 2 * m), order="F")
    out[:, :m] = X
    for j in range(m):
        col = X[:, j:j + 1]
        out[:, m + j] = MinMaxScaler().fit(col).transform(col)[:, 0]
    clean(out[:, m:])
    return out


def base_pca(X):
    from sklearn.decomposition import PCA
    Z = PCA().fit(X).transform(X)
    clean(Z)
    return np.concatenate((X, Z), 1)


# --- workloads ---------------------------------------------------------------------

def run_unary(table, rows, cols=200, order="C"):
    X = table_of(rows, cols, order=order)
    t = tu.TA1(np.sqrt, "sqrt", ["numeric"], [])
    t.fit(X, None, names_of(cols), ["float64"] * cols)
    ours, got = best_time(lambda: t.transform(X))
    base, want = best_time(lambda: base_unary(np.sqrt, X))
    assert np.array_equal(got, want)
    table.add(f"TA1 sqrt, {cols} cols ({order})", ours, base, mem_ratio(X, lambda: t.transform(X)), "<=1.3x")


def run_pairs(table, rows, cols=64, order="C"):
    X = table_of(rows, cols, order=order)
    t = tu.TA2(np.multiply, "product", ["numeric"], [], ["numeric"], [])
    t.fit(X, None, names_of(cols), ["float64"] * cols)
    ours, got = best_time(lambda: t.transform(X), repeat=2)
    del got
    base, want = best_time(lambda: base_pairs(np.multiply, X), repeat=2)
    assert np.array_equal(t.transform(X), want)
    del want
    table.add(f"TA2 product, {cols} cols pairs ({order})", ours, base, mem_ratio(X, lambda: t.transform(X)), "<=1.3x")


def fun3(a, b, c):
    return a * b + c


def run_tgen(table, rows, cols=20):
    X = table_of(rows, cols)
    t = tu.TGen(fun3, "f", 3, [["numeric"]] * 3, [[], [], []])
    t.fit(X, None, names_of(cols), ["float64"] * cols)
    ours, got = best_time(lambda: t.transform(X), repeat=1)
    del got
    base, want = best_time(lambda: base_pairs(fun3, X, 3), repeat=1)
    del want
    table.add(f"TGen 3-arg, {cols} cols triples", ours, base, mem_ratio(X, lambda: t.transform(X)), "<=1.3x")


def run_tb1(table, rows, cols=200):
    from sklearn.preprocessing import MinMaxScaler
    X = table_of(rows, cols)

    def ours_run():
        t = tu.TB1(MinMaxScaler, "minmaxscaler", ["numeric"], [])
        t.fit(X, None, names_of(cols), ["float64"] * cols)
        return t.transform(X)

    ours, got = best_time(ours_run, repeat=2)
    base, want = best_time(lambda: base_scalers(X), repeat=2)
    assert np.allclose(got, want)
    del got, want
    table.add(f"TB1 MinMaxScaler, {cols} cols", ours, base, mem_ratio(X, ours_run), "<=1.3x")


def run_tam(table, rows, cols=50):
    from sklearn.decomposition import PCA
    X = table_of(rows, cols)

    def ours_run():
        t = tu.TAM(PCA, "pca")
        t.fit(X, None, names_of(cols), ["float64"] * cols)
        return t.transform(X)

    ours, got = best_time(ours_run, repeat=2)
    base, want = best_time(lambda: base_pca(X), repeat=2)
    assert np.allclose(np.abs(got), np.abs(want), atol=1e-8)
    table.add(f"TAM PCA, {cols} cols", ours, base, mem_ratio(X, ours_run), "")


def run_fs1(table, rows, cols=2000, k=200):
    X = table_of(rows, cols, positive=False)
    y = X[:, :10].sum(axis=1) + np.random.default_rng(1).normal(size=rows)
    must = list(range(10))

    def ours_run():
        return tu.FS1(must, k, "regression").fit(X, y).transform(X)

    ours, got = best_time(ours_run, repeat=2)
    base, want = best_time(lambda: numpy_fs1_selection(X, y, must, k), repeat=2)
    assert np.array_equal(got, want)
    table.add(f"FS1 {cols} cols, k={k}", ours, base, None, "")

    # the greedy pick alone, 10 000 scores, k 5 000, against Python's max loop
    scores = list(np.random.default_rng(2).random(10000))
    fs = tu.FS1([], 5000, "regression")
    fs.k_ = 5000

    ours, _ = best_time(lambda: fs.find_k_top_indices(scores))
    base, want = best_time(lambda: literal.python_pick(scores, [], 5000), repeat=1)
    assert fs.cols_to_keep_final_ == want
    table.add("FS1 pick 10 000, k 5 000 (vs Python loop)", ours, base, None, "linear")


def literal_get_candidate(dims, index):
    # rebuilds the block tree on every call, as the plain algorithm does
    d = tu.CandidatesSpaceDescriptor()
    for dim in dims:
        d.add_dimension_spec(list(dim))
    tree = d.get_tree_desc()
    cumul = d.compute_cumul_left_tree_size(tree)
    return d._get_candidate(cumul, tree, index)


def run_space(table, quick):
    rng = random.Random(0)
    dims = [sorted(rng.sample(range(400), 300)) for _ in range(3)]
    d = tu.CandidatesSpaceDescriptor()
    for dim in dims:
        d.add_dimension_spec(dim)
    size = d.get_size()
    calls = 10_000 if quick else 100_000
    idx = [rng.randrange(size) for _ in range(calls)]
    t0 = time.perf_counter()
    got = [d.get_candidate(i) for i in idx]
    ours = time.perf_counter() - t0
    sample = idx[:50]
    t0 = time.perf_counter()
    want = [literal_get_candidate(dims, i) for i in sample]
    base = (time.perf_counter() - t0) / len(sample) * calls
    assert got[:50] == want
    table.add(f"candidate space 3x300, {calls} get_candidate (baseline extrapolated)", ours, base, None, ">=100x faster")


def run_naming(table):
    times = []
    for n in (2500, 5000, 10000):
        X = np.ones((4, n))
        t = tu.TA1(np.negative, "neg", ["numeric"], [])
        t.fit(X, None, [f"x{i}" for i in range(n)], ["float64"] * n)
        sec, _ = best_time(lambda: t.transform(X))
        times.append(sec)
    _, names = literal.unary(np.negative, "neg", np.ones((4, 2500)), [f"x{i}" for i in range(2500)])
    sec_lit, _ = best_time(lambda: literal.unary(np.negative, "neg", np.ones((4, 2500)), [f"x{i}" for i in range(2500)]), 1)
    table.add("naming 10 000 cols (baseline: plain list-scan at 2 500)", times[-1], sec_lit, None,
              f"x4 cols -> x{times[2] / times[0]:.1f} time")


def plot(path, rows):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 2, figsize=(11, 4))
    for ax, (title, widths, make, base, lit) in zip(axes, [
        ("TA1 sqrt", [25, 50, 100, 200],
         lambda X, names: tu.TA1(np.sqrt, "sqrt", ["numeric"], []).fit(X, None, names, ["float64"] * X.shape[1]),
         lambda X: base_unary(np.sqrt, X), lambda X, names: literal.unary(np.sqrt, "sqrt", X, names)),
        ("TA2 product (all ordered pairs)", [8, 16, 32, 64],
         lambda X, names: tu.TA2(np.multiply, "product", ["numeric"], [], ["numeric"], []).fit(
             X, None, names, ["float64"] * X.shape[1]),
         lambda X: base_pairs(np.multiply, X), lambda X, names: literal.binary(np.multiply, "product", X, names)),
    ]):
        series = {"karrow_libs": [], "numpy baseline": [], "plain Python": []}
        for w in widths:
            X = table_of(rows, w)
            t = make(X, names_of(w))
            series["karrow_libs"].append(best_time(lambda: t.transform(X), 2)[0])
            series["numpy baseline"].append(best_time(lambda: base(X), 2)[0])
            series["plain Python"].append(best_time(lambda: lit(X, names_of(w)), 1)[0])
        for label, ys in series.items():
            ax.plot(widths, ys, marker="o", label=label)
        ax.set_title(f"{title}, {rows} rows")
        ax.set_xlabel("input columns")
        ax.set_ylabel("seconds")
        ax.legend()
    fig.tight_layout()
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    fig.savefig(path, dpi=100)
    return path


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--quick", action="store_true", help="20 000 rows instead of 100 000")
    p.add_argument("--plot", default=os.path.join(os.path.dirname(__file__), "out", "widths.png"))
    args = p.parse_args(argv)
    rows = 20_000 if args.quick else 100_000
    table = Table()
    steps = [
        lambda: run_unary(table, rows),
        lambda: run_unary(table, rows, order="F"),
        lambda: run_pairs(table, rows),
        lambda: run_pairs(table, rows, order="F"),
        lambda: run_tgen(table, rows),
        lambda: run_tb1(table, rows),
        lambda: run_tam(table, rows),
        lambda: run_fs1(table, rows),
        lambda: run_space(table, args.quick),
        lambda: run_naming(table),
    ]
    for step in steps:
        step()
        print(table.rows[-1][0], "done", file=sys.stderr)
    print(f"{rows} rows, C-ordered float64 input unless marked (F)")
    print(table.render())
    print("plot:", plot(args.plot, rows // 5))


if __name__ == "__main__":
    main()
