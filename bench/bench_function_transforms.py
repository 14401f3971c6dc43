"""Function transforms (TA1, TA2) against plain numpy producing the same arrays.

    python bench/bench_function_transforms.py [--quick]

Each workload times `transform` of a fitted transform and a straightforward numpy
baseline in the same run, checks that both give the same array, and prints the
time ratio and the peak memory of `transform` relative to input + output
(tracemalloc sees numpy's buffers). Naming is timed on its own: TA1 with a cheap
function over 10 000 small columns.

Each side first runs once under tracemalloc (the memory figure, and a warm-up:
the first multi-gigabyte allocation of a process pays the kernel's page setup),
then the best of the timed runs counts. Wall and CPU times are both shown: on a
busy shared machine the CPU-time ratio is the steadier one.
"""
import argparse
import hashlib
import itertools
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from harness import best_times, clean, names_of, peak_ratio, render_rows, table_of  # noqa: E402
from literal import unary_names  # noqa: E402

import karrow_libs.vantor.transforms.transform_utils as tu  # noqa: E402


def digest(a, step=256):
    """Shape, dtype and a hash of the values, read in column blocks to bound memory."""
    h = hashlib.sha1()
    for j in range(0, a.shape[1], step):
        h.update(np.asfortranarray(a[:, j:j + step]).tobytes(order="F"))
    return a.shape, a.dtype, h.hexdigest()


def measure(X, fn, repeat):
    """(best wall time, peak ratio, digest of the result)."""
    mem, out = peak_ratio(X, fn)
    summary = digest(out)
    del out
    wall, cpu, _ = best_times(fn, repeat)
    return (wall, cpu), mem, summary


def baseline_unary(fun, X, colids):
    n, m = X.shape
    out = np.empty((n, m + len(colids)), order="F")
    out[:, :m] = X
    for j, c in enumerate(colids):
        out[:, m + j] = clean(fun(X[:, c]))
    return out


def baseline_pairs(fun, X, pairs):
    n, m = X.shape
    out = np.empty((n, m + len(pairs)), order="F")
    out[:, :m] = X
    for j, (a, b) in enumerate(pairs):
        out[:, m + j] = clean(fun(X[:, a], X[:, b]))
    return out


def baseline_pairs_from_copy(fun, X, pairs):
    """As above, reading the arguments from the column-major copy of X in `out`."""
    n, m = X.shape
    out = np.empty((n, m + len(pairs)), order="F")
    out[:, :m] = X
    for j, (a, b) in enumerate(pairs):
        out[:, m + j] = clean(fun(out[:, a], out[:, b]))
    return out


def workload_pairs(rows, cols, order, repeat):
    X = table_of(rows, cols, order=order)
    t = tu.TA2(np.multiply, "product", ["numeric"], [], ["numeric"], [])
    t0 = time.perf_counter()
    t.fit(X, None, names_of(cols), ["float64"] * cols)
    fit_s = time.perf_counter() - t0
    pairs = list(itertools.permutations(range(cols), 2))
    assert t.colid_pairs_ == pairs
    ours, mem, got = measure(X, lambda: t.transform(X), repeat)
    label = f"TA2 multiply, all {len(pairs)} ordered pairs of {cols} cols ({order})"
    rows_out = []
    for base_fn, what, runs in ((baseline_pairs, "numpy reads X", 1), (baseline_pairs_from_copy, "numpy reads its copy", repeat)):
        base, base_mem, want = measure(X, lambda: base_fn(np.multiply, X, pairs), runs)
        assert got == want, "TA2 result differs from the baseline"
        rows_out.append((f"{label} vs {what}", ours, base, mem, base_mem, "time <= 1.3x, mem <= 1.3x",
                         f"fit {fit_s:.3f} s"))
    return rows_out


def workload_unary(rows, cols, order, repeat):
    X = table_of(rows, cols, order=order)
    t = tu.TA1(np.sqrt, "sqrt", ["numeric"], [])
    t0 = time.perf_counter()
    t.fit(X, None, names_of(cols), ["float64"] * cols)
    fit_s = time.perf_counter() - t0
    ours, mem, got = measure(X, lambda: t.transform(X), repeat)
    base, base_mem, want = measure(X, lambda: baseline_unary(np.sqrt, X, range(cols)), repeat)
    assert got == want, "TA1 result differs from the baseline"
    return [(f"TA1 sqrt, {cols} cols ({order})", ours, base, mem, base_mem, "time <= 1.2x", f"fit {fit_s:.3f} s")]


def workload_naming(cols, repeat):
    X = np.ones((4, cols))
    names = names_of(cols)
    t = tu.TA1(np.negative, "neg", ["numeric"], [])
    t0 = time.perf_counter()
    t.fit(X, None, names, ["float64"] * cols)
    fit_s = time.perf_counter() - t0
    ours, _, got = measure(X, lambda: t.transform(X), repeat)
    base, _, want = measure(X, lambda: baseline_unary(np.negative, X, range(cols)), repeat)
    assert got == want, "TA1 result differs from the baseline"
    t0 = time.perf_counter()
    plain = unary_names("neg", names, range(cols))
    plain_s = time.perf_counter() - t0
    assert t.new_column_names_ == plain
    return [(f"TA1 naming {cols} new cols (4 rows)", ours, base, None, None, "well under 1 s",
             f"fit {fit_s:.3f} s; list-scan naming alone {plain_s:.2f} s")]


def render(rows):
    header = ("workload", "ours s", "numpy s", "wall ratio", "cpu ratio", "peak/(in+out)", "numpy peak", "goal",
              "note")
    cells = [header]
    for w, (ours, ours_cpu), (base, base_cpu), mem, base_mem, goal, note in rows:
        cells.append((w, f"{ours:.3f}", f"{base:.3f}", f"{ours / base:.2f}x", f"{ours_cpu / base_cpu:.2f}x",
                      "-" if mem is None else f"{mem:.2f}x", "-" if base_mem is None else f"{base_mem:.2f}x",
                      goal, note))
    return render_rows(cells)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--quick", action="store_true", help="20 000 rows instead of 100 000")
    args = p.parse_args(argv)
    rows = 20_000 if args.quick else 100_000
    repeat = 2
    results = []
    for step in (lambda: workload_pairs(rows, 64, "C", repeat),
                 lambda: workload_unary(rows, 200, "C", repeat + 1),
                 lambda: workload_unary(rows, 200, "F", repeat + 1),
                 lambda: workload_naming(10_000, repeat + 1)):
        results.extend(step())
        print(results[-1][0], "done", file=sys.stderr)
    print(f"{rows} rows of float64 (C: row-major input, F: column-major), pid {os.getpid()}")
    print(render(results))


if __name__ == "__main__":
    main()
