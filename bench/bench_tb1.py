"""TB1 with MinMaxScaler against a plain loop of scikit-learn scalers.

    python bench/bench_tb1.py [--quick] [--rows N] [--cols M]

Both sides do the same work in the same run: fit one MinMaxScaler per column,
then build the table X followed by the scaled columns. The baseline writes
each scaled column straight into one preallocated array, the best a hand
written loop can do; TB1 additionally chooses the columns by dtype, names the
new columns uniquely and records their dtypes and JSON name objects.

Times are best-of-N wall times. Peak memory is measured with tracemalloc
(which sees numpy's buffers) in a separate pass, and reported against the
bytes of the input plus the output.
"""
import argparse
import os
import sys

import numpy as np
from sklearn.preprocessing import MinMaxScaler

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import best_time, peak_bytes  # noqa: E402

from karrow_libs.vantor.transforms.transform_utils import TB1  # noqa: E402


def baseline_fit(X):
    return [MinMaxScaler().fit(X[:, j].reshape(-1, 1)) for j in range(X.shape[1])]


def baseline_transform(X, scalers):
    rows, cols = X.shape
    out = np.empty((rows, 2 * cols), dtype=X.dtype, order="F")
    out[:, :cols] = X
    for j, scaler in enumerate(scalers):
        out[:, cols + j] = scaler.transform(X[:, j].reshape(-1, 1))[:, 0]
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small table, one repeat (a smoke run)")
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--cols", type=int, default=200)
    args = parser.parse_args()
    rows, cols, repeat = (10_000, 20, 1) if args.quick else (args.rows, args.cols, 3)

    X = np.random.default_rng(0).random((rows, cols))
    names = ["c" + str(j) for j in range(cols)]
    dtypes = [str(X.dtype)] * cols

    def tb1_fit():
        return TB1(MinMaxScaler, "minmaxscaler", ["numeric"], None).fit(X, None, names, dtypes)

    t_fit_ours, t = best_time(tb1_fit, repeat)
    t_fit_base, scalers = best_time(lambda: baseline_fit(X), repeat)
    t_tr_ours, ours = best_time(lambda: t.transform(X), repeat)
    t_tr_base, base = best_time(lambda: baseline_transform(X, scalers), repeat)
    if not np.array_equal(ours, base):
        raise SystemExit("TB1 and the baseline disagree")
    del ours, base

    in_out = X.nbytes + 2 * X.nbytes  # input, and the output table of 2 * cols columns
    peak_ours = peak_bytes(lambda: t.transform(X))
    peak_base = peak_bytes(lambda: baseline_transform(X, scalers))

    print(f"TB1(MinMaxScaler) over {cols} columns x {rows} rows, best of {repeat}")
    print(f"{'step':<22}{'TB1 s':>10}{'loop s':>10}{'ratio':>9}")
    for step, ours_s, base_s in [("fit", t_fit_ours, t_fit_base), ("transform", t_tr_ours, t_tr_base),
                                 ("fit + transform", t_fit_ours + t_tr_ours, t_fit_base + t_tr_base)]:
        print(f"{step:<22}{ours_s:>10.4f}{base_s:>10.4f}{ours_s / base_s:>8.2f}x")
    print("goal: fit + transform ratio <= 1.3x")
    print(f"peak traced memory during transform: TB1 {peak_ours / 2**20:.1f} MiB, "
          f"loop {peak_base / 2**20:.1f} MiB; input + output {in_out / 2**20:.1f} MiB")
    print(f"peak / (input + output): TB1 {peak_ours / in_out:.2f}x, loop {peak_base / in_out:.2f}x")


if __name__ == "__main__":
    main()
