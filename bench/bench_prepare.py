"""The preparation of a wide numeric table against a plain-numpy pass over the same columns.

    .venv/bin/python bench/bench_prepare.py [--rows 200000] [--cols 100] [--repeat 2]

One ``PrepareFrame().fit_transform`` on a generated table (float columns with
a few missing cells, integer columns of counts, codes and an identifier)
beside ``np.nanmedian`` over the same columns as a float64 array: the least
any preparation that imputes medians must do.  Both in the same run, so the
ratio holds on a loaded machine too.
"""
import argparse
import os
import sys
import warnings

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.dirname(__file__))
from harness import best_time  # noqa: E402

from karrow_libs.prepare import PrepareFrame  # noqa: E402


def table(rows, cols, seed=0):
    rng = np.random.default_rng(seed)
    data = {}
    for j in range(cols):
        kind = j % 10
        if kind == 0:
            data["count" + str(j)] = rng.poisson(3 + j % 7, rows)            # few integer levels
        elif kind == 1:
            data["int" + str(j)] = rng.integers(0, 10 ** 6, rows)            # many integer values
        else:
            v = rng.normal(size=rows)
            v[rng.random(rows) < 0.01] = np.nan
            data["x" + str(j)] = v
    data["row_id"] = np.arange(rows)
    return pd.DataFrame(data), rng.normal(size=rows)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rows", type=int, default=200_000)
    ap.add_argument("--cols", type=int, default=100)
    ap.add_argument("--repeat", type=int, default=2)
    a = ap.parse_args()
    X, y = table(a.rows, a.cols)
    values = X.to_numpy(dtype=np.float64)

    def baseline():
        return np.nanmedian(values, axis=0)

    def prepare():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return PrepareFrame().fit_transform(X, y)

    base, _ = best_time(baseline, a.repeat)
    prep, out = best_time(prepare, a.repeat)
    print("table {:,} x {}: PrepareFrame.fit_transform {:.2f} s, np.nanmedian {:.2f} s, ratio {:.1f}x "
          "({} prepared columns)".format(a.rows, a.cols + 1, prep, base, prep / base, out.shape[1]))


if __name__ == "__main__":
    main()
