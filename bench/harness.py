"""Timing and memory helpers, test tables and the plain-numpy pieces shared by
the benchmark scripts.

Times are best-of-N wall times (CPU times alongside where asked for). Peak
memory is measured with tracemalloc, which sees numpy's buffers, in a separate
pass so that tracing does not slow the timed runs.
"""
import gc
import time
import tracemalloc

import numpy as np


def best_times(fn, repeat=3):
    """Best wall time, best CPU time (this process) and the last result of
    `repeat` calls of fn(); only one result is alive at a time."""
    wall = cpu = float("inf")
    result = None
    for _ in range(repeat):
        result = None
        gc.collect()
        t0, c0 = time.perf_counter(), time.process_time()
        result = fn()
        wall = min(wall, time.perf_counter() - t0)
        cpu = min(cpu, time.process_time() - c0)
    return wall, cpu, result


def best_time(fn, repeat=3):
    """Best wall time of `repeat` calls of fn(); returns (seconds, last result)."""
    wall, _, result = best_times(fn, repeat)
    return wall, result


def traced_peak(fn):
    """(peak traced allocation while fn() runs, counting what fn returns; the result)."""
    gc.collect()
    tracemalloc.start()
    tracemalloc.reset_peak()
    try:
        result = fn()
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    return peak, result


def peak_bytes(fn):
    """Peak traced allocation while fn() runs, counting what fn returns."""
    peak, result = traced_peak(fn)
    del result
    return peak


def peak_ratio(X, fn):
    """(input + peak traced while fn runs) / (input + output), and the output."""
    peak, out = traced_peak(fn)
    return (X.nbytes + peak) / (X.nbytes + out.nbytes), out


def table_of(rows, cols, seed=0, order="C", positive=True):
    """Random floats in [0.5, 1.5) (or [-0.5, 0.5)), row- or column-major."""
    rng = np.random.default_rng(seed)
    X = rng.random((rows, cols)) + (0.5 if positive else -0.5)
    return np.asfortranarray(X) if order == "F" else np.ascontiguousarray(X)


def names_of(cols):
    return [f"c{i}" for i in range(cols)]


def clean(a):
    """NaN and infinities set to 0, in place; returns a."""
    a[~np.isfinite(a)] = 0
    return a


def numpy_fs1_selection(X, y, must_keep, k, through_select_k_best=False):
    """FS1's columns with sklearn's F-test and a stable numpy sort.

    With `through_select_k_best` the scores come from SelectKBest, as FS1's do
    (it validates the table once more before scoring), so the ratio shows only
    what FS1 adds around the scorer.
    """
    from sklearn.feature_selection import SelectKBest, f_regression

    if through_select_k_best:
        scores = SelectKBest(f_regression, k="all").fit(X, y).scores_
    else:
        scores = f_regression(X, y)[0]
    scores = np.nan_to_num(scores, nan=0.0)
    scores[must_keep] = -np.inf
    order = np.argsort(-scores, kind="stable")[:k]
    keep = sorted(set(must_keep) | {int(i) for i in order if scores[i] != -np.inf})
    return X[:, keep]


def render_rows(rows):
    """Rows of cells (the first one the header) as aligned text, a rule under the header."""
    rows = [tuple(str(c) for c in r) for r in rows]
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    lines = ["  ".join(c.ljust(w) for c, w in zip(r, widths)) for r in rows]
    lines.insert(1, "  ".join("-" * w for w in widths))
    return "\n".join(lines)


class Table:
    """Rows of workload results printed as one aligned table."""

    HEADER = ("workload", "ours s", "baseline s", "ratio", "peak/(in+out)", "goal")

    def __init__(self):
        self.rows = []

    def add(self, workload, ours, baseline, mem_ratio=None, goal=""):
        ratio = ours / baseline if baseline else float("nan")
        self.rows.append((workload, f"{ours:.4f}", f"{baseline:.4f}", f"{ratio:.3g}x",
                          "-" if mem_ratio is None else f"{mem_ratio:.2f}x", goal))
        return ratio

    def render(self):
        return render_rows([self.HEADER] + self.rows)
