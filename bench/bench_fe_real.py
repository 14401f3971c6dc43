"""Feature engineering on real tables: text categories, dates, missing cells, unusual targets.

For every table in bench/data/ (see bench/data/make_tables.py for their
sources) and under the same cross-validation folds, four pipelines with the
same model (ridge regression or logistic regression on standardised columns):

* numeric only -- the table's number columns, missing cells -> median;
* one-hot      -- plus the text columns one-hot encoded (scikit-learn's
                  ``OneHotEncoder``, levels in fewer than 5 rows pooled);
* prepared     -- ``PrepareFrame`` alone (categories, dates, indicators);
* engineered   -- ``karrow_libs.pipeline.make_pipeline``: prepared, then
                  the feature search.

The target is prepared by ``prepare_target`` (rows without a target dropped,
the task chosen) for all four; the folds are repeated with new shuffles
(``--repeats``) so that small tables give steadier means.  Scores are R^2 (regression) or accuracy
(classification); the goal is engineered >= one-hot on every table, and no
run may end in an error (the script exits 1 if one does).

    python bench/bench_fe_real.py [--folds 5] [--repeats 2] [--tables passengers,cars]
"""

import argparse
import os
import sys
import time
import warnings

import numpy as np
import pandas as pd

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")

# table -> target column
TABLES = {
    "passengers": "survived",
    "computers": "price",
    "hitters": "Salary",
    "txhousing": "median",
    "cars": "Miles_per_Gallon",
    "seattle_weather": "weather",
    "msleep": "sleep_total",
}

# Search options of the engineered pipeline (the same for every table).
# Group means over the category codes are what categories add to the candidate space.
SEARCH = {"transforms": ("sqrt", "log", "square", "product", "groupbymean"), "keep": 10}


def plain_pipeline(frame, task, categories):
    """scikit-learn only: median-imputed numbers (+ one-hot text columns), scaler, model."""
    from sklearn.compose import ColumnTransformer
    from sklearn.impute import SimpleImputer
    from sklearn.pipeline import Pipeline, make_pipeline
    from sklearn.preprocessing import OneHotEncoder, StandardScaler

    from karrow_libs.pipeline import default_model

    numbers = [c for c in frame.columns if pd.api.types.is_numeric_dtype(frame[c].dtype)]
    parts = [("numbers", make_pipeline(SimpleImputer(strategy="median"), StandardScaler()), numbers)]
    if categories:
        text = [c for c in frame.columns if c not in numbers]
        onehot = OneHotEncoder(handle_unknown="infrequent_if_exist", min_frequency=5)
        parts.append(("text", make_pipeline(SimpleImputer(strategy="constant", fill_value="(missing)"), onehot,
                                            StandardScaler(with_mean=False)), text))
    return Pipeline([("columns", ColumnTransformer(parts)), ("model", default_model(task))])


def splitter(task, folds, repeats):
    from sklearn.model_selection import RepeatedKFold, RepeatedStratifiedKFold

    if task == "classification":
        return RepeatedStratifiedKFold(n_splits=folds, n_repeats=repeats, random_state=0)
    return RepeatedKFold(n_splits=folds, n_repeats=repeats, random_state=0)


def score(pipeline, X, y, cv):
    from sklearn.model_selection import cross_val_score

    start = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        scores = cross_val_score(pipeline, X, y, cv=cv, error_score="raise")
    return float(np.mean(scores)), time.perf_counter() - start


def run_table(name, target, folds, repeats):
    from karrow_libs.pipeline import make_baseline, make_pipeline
    from karrow_libs.prepare import PrepareFrame, prepare_target

    frame = pd.read_csv(os.path.join(DATA, name + ".csv.gz"))
    y, task, info = prepare_target(frame[target])
    X = frame.drop(columns=target)[info["kept_rows"]].reset_index(drop=True)
    cv = splitter(task, folds, repeats)
    row = {"table": name, "rows": len(X), "dropped": info["dropped_rows"], "task": task}
    runs = [("numeric only", lambda: plain_pipeline(X, task, False)),
            ("one-hot", lambda: plain_pipeline(X, task, True)),
            ("prepared", lambda: make_baseline(task, target_name=target)),
            ("engineered", lambda: make_pipeline(task, target_name=target, **SEARCH))]
    for label, build in runs:
        try:
            row[label], row[label + " s"] = score(build(), X, y, cv)
        except Exception as e:  # reported, and the script fails at the end
            row[label] = None
            row["error"] = label + ": " + type(e).__name__ + ": " + " ".join(str(e).split())[:200]
    prep = PrepareFrame(target).fit(X, y)
    row["kinds"] = ", ".join(str(v) + " " + k for k, v in prep.n_kinds_.items() if v)
    row["left out"] = ", ".join(p["column"] for p in prep.plan_ if p["kind"] == "left_out") or "-"
    return row


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--folds", type=int, default=5)
    parser.add_argument("--repeats", type=int, default=2, help="repetitions of the folds, shuffled anew")
    parser.add_argument("--tables", default=",".join(TABLES))
    args = parser.parse_args(argv)
    names = [t for t in args.tables.split(",") if t]
    rows = []
    for name in names:
        rows.append(run_table(name, TABLES[name], args.folds, args.repeats))
        print_row(rows[-1], header=len(rows) == 1, folds=args.folds, repeats=args.repeats)
    failed = [r for r in rows if "error" in r]
    below = [r["table"] for r in rows if "error" not in r and r["engineered"] < r["one-hot"] - 1e-9]
    print()
    print("engineered >= one-hot on " + str(len(rows) - len(failed) - len(below)) + " of " + str(len(rows))
          + " tables" + (" (below on: " + ", ".join(below) + ")" if below else ""))
    for r in failed:
        print("ERROR " + r["table"] + ": " + r["error"])
    return 1 if failed else 0


def print_row(r, header, folds, repeats):
    cols = ["numeric only", "one-hot", "prepared", "engineered"]
    if header:
        print("Real tables: " + ", ".join(cols) + " under the same folds (R^2 or accuracy, mean over "
              + str(folds) + " folds x " + str(repeats) + " repeats)")
        print("{:<16} {:>6} {:>4} {:<4} {:>12} {:>8} {:>8} {:>10} {:>8}  {}".format(
            "table", "rows", "drop", "task", *cols, "eng. s", "prepared columns; left out"))
    fmt = ["{:.3f}".format(r[c]) if r.get(c) is not None else "error" for c in cols]
    eng_s = "{:.1f}".format(r["engineered s"]) if r.get("engineered s") is not None else "-"
    print("{:<16} {:>6} {:>4} {:<4} {:>12} {:>8} {:>8} {:>10} {:>8}  {}; {}".format(
        r["table"], r["rows"], r["dropped"], "clf" if r["task"] == "classification" else "reg", *fmt, eng_s,
        r["kinds"], r["left out"]), flush=True)


if __name__ == "__main__":
    sys.exit(main())
