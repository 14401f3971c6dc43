"""Tree-model features on planted tables: what the tree search adds to LightGBM.

Four generated tables, each hiding one relation that trees can only
approximate with many axis-aligned splits:

* ratio      -- y = sin(3 log(a / b)) + ... (wedges between rays from the origin)
* product    -- y = 2 a b + ... with a, b of both signs (a saddle)
* difference -- the class is whether a and b lie within 0.2 of each other (a diagonal band)
* deviation  -- y = v - mean of v in its group g (a group-wise deviation)
* relative   -- y = sin(4 v / mean of v in its group g), groups of different scales (a relative size)

Every table also carries distractor columns.  Under the same folds it
compares what ``bench_fe_real.compare`` compares (one-hot + ridge/logistic and
one-hot + LightGBM baselines, prepared and engineered columns for both model
families) and the tree search's fit time as a ratio to one LightGBM fit on the
prepared columns.

    python bench/bench_trees.py [--folds 5] [--rows 4000] [--tables ratio,deviation]
"""

import argparse
import os
import sys

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from bench_fe_real import check_goals, compare, print_family_row  # noqa: E402

from karrow_libs.prepare import prepare_target  # noqa: E402


def planted(name, n, seed=0):
    """(frame, target, task) of a planted table."""
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame({"d" + str(i): rng.uniform(0.5, 2.0, n) for i in range(4)})
    noise = rng.normal(size=n)
    if name == "ratio":
        frame["a"], frame["b"] = rng.uniform(0.1, 1.0, n), rng.uniform(0.1, 1.0, n)
        y = np.sin(3 * np.log(frame["a"] / frame["b"])) + frame["d0"] + 0.2 * noise
        return frame, y, "regression"
    if name == "product":
        frame["a"], frame["b"] = rng.uniform(-1, 1, n), rng.uniform(-1, 1, n)
        y = 2 * frame["a"] * frame["b"] + 0.5 * frame["d0"] + 0.2 * noise
        return frame, y, "regression"
    if name == "difference":
        frame["a"], frame["b"] = rng.uniform(0, 1, n), rng.uniform(0, 1, n)
        near = np.abs(frame["a"] - frame["b"] + 0.005 * noise) < 0.2
        return frame, pd.Series(np.where(near, "near", "far")), "classification"
    if name == "deviation":
        groups = np.asarray(list("ABCDEFGH"))
        g = rng.integers(0, len(groups), n)
        frame["g"] = groups[g]
        frame["v"] = 3 * rng.normal(size=8)[g] + rng.normal(size=n)
        y = 2 * (frame["v"] - frame.groupby("g")["v"].transform("mean")) + frame["d0"] + 0.3 * noise
        return frame, y, "regression"
    if name == "relative":
        groups = np.asarray(list("ABCDEFGH"))
        g = rng.integers(0, len(groups), n)
        frame["g"] = groups[g]
        frame["v"] = np.exp(rng.normal(size=8))[g] * rng.uniform(0.5, 1.5, n)
        y = np.sin(4 * frame["v"] / frame.groupby("g")["v"].transform("mean")) + frame["d0"] + 0.2 * noise
        return frame, y, "regression"
    raise ValueError("unknown planted table " + repr(name))


TABLES = ("ratio", "product", "difference", "deviation", "relative")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--folds", type=int, default=5)
    parser.add_argument("--rows", type=int, default=4000)
    parser.add_argument("--tables", default=",".join(TABLES))
    args = parser.parse_args(argv)
    rows = []
    for name in [t for t in args.tables.split(",") if t]:
        frame, y, task = planted(name, args.rows)
        y, task, _ = prepare_target(pd.Series(y), task=task)
        rows.append(compare(name, frame, y, task, folds=args.folds, repeats=1))
        print_family_row(rows[-1], header=len(rows) == 1, folds=args.folds, repeats=1)
    return check_goals(rows)


if __name__ == "__main__":
    sys.exit(main())
