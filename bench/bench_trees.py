"""Tree-model features on planted tables: what the tree search adds to LightGBM.

Four generated tables, each hiding one relation that trees can only
approximate with many axis-aligned splits:

* ratio      -- y = sin(3 log(a / b)) + ... (wedges between rays from the origin)
* product    -- y = 2 a b + ... with a, b of both signs (a saddle)
* difference -- the class is whether a and b lie within 0.2 of each other (a diagonal band)
* deviation  -- y = v - mean of v in its group g (a group-wise deviation)
* relative   -- y = sin(4 v / mean of v in its group g), groups of different scales (a relative size)

and two tables shaped like business data, whose relation is one a person would
build by hand but which adds only a little to LightGBM:

* prices     -- units sold fall with the price relative to its category's usual price
* loans      -- defaults follow the debt-to-income and loan-to-income ratios, among other columns

Every table also carries distractor columns.  Under the same folds it
compares what ``bench_fe_real.compare`` compares (one-hot + ridge/logistic and
one-hot + LightGBM baselines, prepared and engineered columns for both model
families) and the tree search's fit time as a ratio to one LightGBM fit on the
prepared columns.

With ``--hand`` it measures the hand-built features of ``HAND`` one at a time
beside the prepared columns (see ``bench_fe_real.py --hand``).

    python bench/bench_trees.py [--folds 5] [--rows 4000] [--tables ratio,deviation] [--hand]
"""

import argparse
import os
import sys

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from bench_fe_real import check_goals, compare, hand_rows, print_family_row  # noqa: E402

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
    if name == "prices":
        categories = np.asarray(["toys", "food", "garden", "tools", "books", "sport", "music", "home"])
        usual = np.asarray([20.0, 5.0, 60.0, 80.0, 15.0, 45.0, 12.0, 35.0])
        c = rng.integers(0, len(categories), n)
        frame["category"] = categories[c]
        frame["price"] = (usual[c] * np.exp(0.35 * rng.normal(size=n))).round(2)
        frame["promo"] = rng.integers(0, 2, n)
        frame["week"] = rng.integers(1, 53, n)
        y = np.exp(3 - 1.5 * np.log(frame["price"] / usual[c]) + 0.3 * frame["promo"]
                   + 0.2 * np.sin(frame["week"] / 52 * 2 * np.pi) + 0.3 * noise)
        return frame, y, "regression"
    if name == "loans":
        frame["income"] = np.exp(rng.normal(10.8, 0.5, n)).round()
        dti = rng.beta(2, 5, n)
        frame["debt"] = (frame["income"] * dti).round()
        frame["amount"] = np.exp(rng.normal(9.5, 0.6, n)).round()
        frame["age"] = rng.integers(21, 70, n)
        grade = rng.choice(7, n, p=[0.2, 0.25, 0.2, 0.15, 0.1, 0.06, 0.04])
        frame["grade"] = np.asarray(list("ABCDEFG"))[grade]
        z = 6 * (dti - 0.3) + 1.5 * (frame["amount"] / frame["income"] - 0.3) + 0.3 * (grade - 2) \
            - 0.01 * (frame["age"] - 40)
        return frame, pd.Series(np.where(rng.random(n) < 1 / (1 + np.exp(-z)), "default", "paid")), "classification"
    raise ValueError("unknown planted table " + repr(name))


TABLES = ("ratio", "product", "difference", "deviation", "relative", "prices", "loans")

# What a person would build by hand on the tables shaped like business data.
HAND = {
    "prices": [("price / mean(price | category)", ("group", "ratio", "price", "category")),
               ("price - mean(price | category)", ("group", "deviation", "price", "category")),
               ("count(category)", ("count", "category"))],
    "loans": [("debt / income", ("row", lambda X: X["debt"] / X["income"])),
              ("amount / income", ("row", lambda X: X["amount"] / X["income"])),
              ("income - mean(income | grade)", ("group", "deviation", "income", "grade"))],
}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--folds", type=int, default=5)
    parser.add_argument("--rows", type=int, default=4000)
    parser.add_argument("--tables", default=",".join(TABLES))
    parser.add_argument("--hand", action="store_true", help="measure the hand-built features of HAND instead")
    args = parser.parse_args(argv)
    rows = []
    for name in [t for t in args.tables.split(",") if t]:
        frame, y, task = planted(name, args.rows)
        y, task, _ = prepare_target(pd.Series(y), task=task)
        if args.hand:
            if name in HAND:
                hand_rows(name, frame, y, task, None, HAND[name], args.folds, 2)
            continue
        rows.append(compare(name, frame, y, task, folds=args.folds, repeats=1))
        print_family_row(rows[-1], header=len(rows) == 1, folds=args.folds, repeats=1)
    return check_goals(rows) if rows else 0


if __name__ == "__main__":
    sys.exit(main())
