"""Timing and memory helpers shared by the benchmark scripts.

Times are best-of-N wall times. Peak memory is measured with tracemalloc,
which sees numpy's buffers, in a separate pass so that tracing does not slow
the timed runs.
"""
import gc
import time
import tracemalloc


def best_time(fn, repeat=3):
    """Best wall time of `repeat` calls of fn(); returns (seconds, last result)."""
    best, result = float("inf"), None
    for _ in range(repeat):
        result = None
        gc.collect()
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def peak_bytes(fn):
    """Peak traced allocation while fn() runs, counting what fn returns."""
    gc.collect()
    tracemalloc.start()
    tracemalloc.reset_peak()
    try:
        result = fn()
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    del result
    return peak


class Table:
    """Rows of workload results printed as one aligned table."""

    HEADER = ("workload", "ours s", "baseline s", "ratio", "peak/(in+out)", "goal")

    def __init__(self):
        self.rows = []

    def add(self, workload, ours, baseline, mem_ratio=None, goal=""):
        ratio = ours / baseline if baseline else float("nan")
        self.rows.append((workload, f"{ours:.4f}", f"{baseline:.4f}", f"{ratio:.2f}x",
                          "-" if mem_ratio is None else f"{mem_ratio:.2f}x", goal))
        return ratio

    def render(self):
        rows = [self.HEADER] + self.rows
        widths = [max(len(str(r[i])) for r in rows) for i in range(len(self.HEADER))]
        lines = []
        for k, r in enumerate(rows):
            lines.append("  ".join(str(c).ljust(w) for c, w in zip(r, widths)))
            if k == 0:
                lines.append("  ".join("-" * w for w in widths))
        return "\n".join(lines)
