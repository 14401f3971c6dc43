"""Feature engineering on real tables: text categories, dates, missing cells, unusual targets.

For every table in bench/data/ (see bench/data/make_tables.py for their
sources) and under the same cross-validation folds, two model families --
ridge regression or logistic regression on standardised columns ("lin"), and
LightGBM with 100 trees ("gbm") -- on these column sets:

* numeric only -- the table's number columns, missing cells -> median (lin);
* one-hot      -- plus the text columns one-hot encoded (scikit-learn's
                  ``OneHotEncoder``, levels in fewer than 5 rows pooled);
* prepared     -- ``PrepareFrame`` alone (categories, dates, indicators);
* engineered   -- prepared, then the search made for the family:
                  ``FeatureSearch`` for the linear model
                  (``karrow_libs.pipeline.make_pipeline``), ``TreeSearch``
                  for LightGBM.

The target is prepared by ``prepare_target`` (rows without a target dropped,
the task chosen) for all of them; the folds are repeated with new shuffles
(``--repeats``) so that small tables give steadier means.  Scores are R^2
(regression) or accuracy (classification).  "tree x" is the tree search's fit
on all rows as a multiple of one LightGBM fit on the prepared columns, timed
in the same run (best processor time of a few runs: both use one thread).
Goals: engineered lin >= one-hot lin; engineered gbm >= prepared gbm - 0.002
on every table and >= prepared gbm + 0.005 on a third of them; the better
engineered model >= the better one-hot model; tree x <= 5.
No run may end in an error (the script exits 1 if one does).

The one-hot columns are standardised for the linear model only, as a person
would set it up: trees need no scaling, and LightGBM bins a column's values on
each side of 0 separately, so a shift of a column moves its bin edges.  On a
table of a few hundred rows that alone moves LightGBM's score by a few
thousandths either way (hitters: 0.567 on standardised one-hot columns, 0.563
on the same columns unscaled, as on the prepared ones; another shuffle of the
folds reverses the gap).

With ``--hand`` it measures instead what a person would build by hand for
LightGBM on each table (``HAND``): ratios, products, differences, a number's
mean, deviation or ratio to the mean within a category (learnt on each fold's
training rows), counts of a category, a title parsed from a name; each feature
alone beside the prepared columns, under the same folds, as the gain over the
prepared columns, its standard error over the folds and the folds it improves.

    python bench/bench_fe_real.py [--folds 5] [--repeats 2] [--tables passengers,cars] [--hand]
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

# Search options of the engineered pipeline: the defaults, as the command runs it.
SEARCH = {}


# Keep at most this many tree-search features (the same for every table).
TREE = {"keep": 10}


def gbm_model(task):
    """LightGBM as a data scientist would first run it: 100 trees, default settings."""
    import lightgbm

    cls = lightgbm.LGBMClassifier if task == "classification" else lightgbm.LGBMRegressor
    return cls(n_estimators=100, verbose=-1, n_jobs=1, random_state=0)


def plain_pipeline(frame, task, categories, model=None, scale=True):
    """scikit-learn only: median-imputed numbers (+ one-hot text columns), scaler (for a linear model), model."""
    from sklearn.compose import ColumnTransformer
    from sklearn.impute import SimpleImputer
    from sklearn.pipeline import Pipeline, make_pipeline
    from sklearn.preprocessing import OneHotEncoder, StandardScaler

    from karrow_libs.pipeline import default_model

    numbers = [c for c in frame.columns if pd.api.types.is_numeric_dtype(frame[c].dtype)]
    scaled = [StandardScaler()] if scale else []
    parts = [("numbers", make_pipeline(SimpleImputer(strategy="median"), *scaled), numbers)]
    if categories:
        text = [c for c in frame.columns if c not in numbers]
        onehot = OneHotEncoder(handle_unknown="infrequent_if_exist", min_frequency=5)
        parts.append(("text", make_pipeline(SimpleImputer(strategy="constant", fill_value="(missing)"), onehot,
                                            *([StandardScaler(with_mean=False)] if scale else [])), text))
    # Dense output: the linear model standardises its columns, which a sparse matrix refuses.
    columns = ColumnTransformer(parts, sparse_threshold=0)
    return Pipeline([("columns", columns), ("model", model or default_model(task))])


def gbm_pipeline(task, target, search):
    """prepare (-> tree search) -> values -> LightGBM."""
    from sklearn.pipeline import Pipeline

    from karrow_libs.prepare import PrepareFrame, TableValues
    from karrow_libs.search import TreeSearch

    steps = [("prepare", PrepareFrame(target))]
    if search:
        steps.append(("search", TreeSearch(task=task, **TREE)))
    return Pipeline(steps + [("values", TableValues()), ("model", gbm_model(task))])


def _number(X, column):
    values = X[column]
    if pd.api.types.is_numeric_dtype(values.dtype):
        return values.astype(float)
    return (pd.to_datetime(values, errors="coerce") - pd.Timestamp("1970-01-01")).dt.days.astype(float)


def _ratio(a, b):
    return lambda X: _number(X, a) / _number(X, b).replace(0, np.nan)


def _product(a, b):
    return lambda X: _number(X, a) * _number(X, b)


def _difference(a, b):
    return lambda X: _number(X, a) - _number(X, b)


def _title(X):
    title = X["name"].str.extract(r",\s*([^.]+)\.", expand=False)
    return title.map({"Mr": 0, "Mrs": 1, "Miss": 2, "Master": 3}).fillna(4)


def _month(column):
    return lambda X: pd.to_datetime(X[column], errors="coerce").dt.month.astype(float)


# table -> (label, feature): ("row", function of the frame), ("group", "mean" | "deviation" | "ratio",
# number, category) or ("count", category).  Chosen from what the columns mean, not from the scores.
HAND = {
    "passengers": [("title from name", ("row", _title)),
                   ("age x class", ("row", lambda X: _number(X, "age") * X["passengerClass"].str[0].astype(float))),
                   ("age - mean(age | class)", ("group", "deviation", "age", "passengerClass")),
                   ("age / mean(age | class)", ("group", "ratio", "age", "passengerClass")),
                   ("age - mean(age | sex)", ("group", "deviation", "age", "sex"))],
    "computers": [("hd / ram", ("row", _ratio("hd", "ram"))),
                  ("speed x ram", ("row", _product("speed", "ram"))),
                  ("hd / trend", ("row", _ratio("hd", "trend"))),
                  ("hd - mean(hd | trend)", ("group", "deviation", "hd", "trend")),
                  ("hd / mean(hd | trend)", ("group", "ratio", "hd", "trend")),
                  ("ram / mean(ram | trend)", ("group", "ratio", "ram", "trend")),
                  ("count(trend)", ("count", "trend"))],
    "hitters": [("CHits / CAtBat", ("row", _ratio("CHits", "CAtBat"))),
                ("Hits / AtBat", ("row", _ratio("Hits", "AtBat"))),
                ("CHits / Years", ("row", _ratio("CHits", "Years"))),
                ("CRBI / Years", ("row", _ratio("CRBI", "Years"))),
                ("CRuns / Years", ("row", _ratio("CRuns", "Years"))),
                ("CRuns - mean(CRuns | Division)", ("group", "deviation", "CRuns", "Division"))],
    "txhousing": [("listings / sales", ("row", _ratio("listings", "sales"))),
                  ("sales / inventory", ("row", _ratio("sales", "inventory"))),
                  ("inventory x sales", ("row", _product("inventory", "sales"))),
                  ("mean(sales | city)", ("group", "mean", "sales", "city")),
                  ("sales - mean(sales | city)", ("group", "deviation", "sales", "city")),
                  ("sales / mean(sales | city)", ("group", "ratio", "sales", "city")),
                  ("listings / mean(listings | city)", ("group", "ratio", "listings", "city")),
                  ("count(city)", ("count", "city"))],
    "cars": [("Weight / Horsepower", ("row", _ratio("Weight_in_lbs", "Horsepower"))),
             ("Displacement / Cylinders", ("row", _ratio("Displacement", "Cylinders"))),
             ("Weight / Displacement", ("row", _ratio("Weight_in_lbs", "Displacement"))),
             ("Horsepower x Weight", ("row", _product("Horsepower", "Weight_in_lbs"))),
             ("Weight - mean(Weight | Origin)", ("group", "deviation", "Weight_in_lbs", "Origin")),
             ("Weight / mean(Weight | Cylinders)", ("group", "ratio", "Weight_in_lbs", "Cylinders")),
             ("count(Name)", ("count", "Name"))],
    "seattle_weather": [("temp_max - temp_min", ("row", _difference("temp_max", "temp_min"))),
                        ("wind x precipitation", ("row", _product("wind", "precipitation"))),
                        ("precipitation > 0", ("row", lambda X: (_number(X, "precipitation") > 0).astype(float))),
                        ("month", ("row", _month("date")))],
    "msleep": [("brainwt / bodywt", ("row", _ratio("brainwt", "bodywt"))),
               ("sleep_rem / sleep_cycle", ("row", _ratio("sleep_rem", "sleep_cycle"))),
               ("bodywt - mean(bodywt | vore)", ("group", "deviation", "bodywt", "vore")),
               ("bodywt / mean(bodywt | order)", ("group", "ratio", "bodywt", "order")),
               ("count(order)", ("count", "order"))],
}


def hand_step(target, feature):
    """The prepared columns of a frame, plus one hand-built column (None: none); its group means
    and counts are learnt on the rows it is fitted on, as the preparation's own encodings are."""
    from sklearn.base import BaseEstimator, TransformerMixin

    from karrow_libs.prepare import PrepareFrame

    class HandFeature(BaseEstimator, TransformerMixin):
        def __init__(self, target=None, feature=None):
            self.target = target
            self.feature = feature

        def _learn(self, X):
            kind = self.feature[0] if self.feature else None
            if kind == "group":
                _, _, value, group = self.feature
                self.means_ = _number(X, value).groupby(X[group].astype(str)).mean()
                self.fill_ = float(_number(X, value).mean())
            elif kind == "count":
                self.counts_ = X[self.feature[1]].astype(str).value_counts()

        def _column(self, X):
            kind = self.feature[0]
            if kind == "row":
                return np.asarray(self.feature[1](X), dtype=float)
            if kind == "count":
                return X[self.feature[1]].astype(str).map(self.counts_).fillna(0).to_numpy(dtype=float)
            _, op, value, group = self.feature
            mean = X[group].astype(str).map(self.means_).astype(float).fillna(self.fill_).to_numpy()
            v = _number(X, value).to_numpy()
            return {"mean": mean, "deviation": v - mean, "ratio": v / np.where(mean == 0, np.nan, mean)}[op]

        def _out(self, X, prepared):
            values = np.asarray(prepared.values, dtype=float)
            if not self.feature:
                return values
            column = self._column(X)
            return np.column_stack([values, np.where(np.isfinite(column), column, np.nan)])

        def fit(self, X, y):
            self.prepare_ = PrepareFrame(self.target).fit(X, y)
            self._learn(X)
            return self

        def fit_transform(self, X, y):
            # The preparation's target encodings of its own training rows are out of fold.
            self.prepare_ = PrepareFrame(self.target)
            prepared = self.prepare_.fit_transform(X, y)
            self._learn(X)
            return self._out(X, prepared)

        def transform(self, X):
            return self._out(X, self.prepare_.transform(X))

    return HandFeature(target, feature)


def hand_rows(name, X, y, task, target, features, folds, repeats):
    """Prints LightGBM's score on the prepared columns with each hand-built feature beside them."""
    from sklearn.model_selection import cross_val_score
    from sklearn.pipeline import Pipeline

    cv = splitter(task, folds, repeats)

    def run(feature):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return cross_val_score(Pipeline([("columns", hand_step(target, feature)), ("model", gbm_model(task))]),
                                   X, y, cv=cv, error_score="raise")

    base = run(None)
    print("{:<16} {:<36} {:>7}".format(name, "(prepared columns)", "{:.4f}".format(base.mean())), flush=True)
    for label, feature in features:
        gain = run(feature) - base
        print("{:<16} {:<36} {:>7} {:>+8.4f} {:>7.4f} {:>6}".format(
            name, label, "{:.4f}".format(base.mean() + gain.mean()), gain.mean(),
            gain.std(ddof=1) / np.sqrt(len(gain)), str(int((gain > 0).sum())) + "/" + str(len(gain))), flush=True)


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


def tree_cost(X, y, task, target):
    """Seconds of the tree search's fit and of one LightGBM fit on the same prepared table; what it kept."""
    from harness import best_times

    from karrow_libs.prepare import PrepareFrame
    from karrow_libs.search import TreeSearch

    table = PrepareFrame(target).fit_transform(X, y)
    # Both run on one thread, so their processor time is their cost; on a shared machine the wall
    # time of a fit of a few milliseconds also counts the waits for a free core.  Short fits are
    # timed more often for the same reason.
    _, gbm_s, _ = best_times(lambda: gbm_model(task).fit(table.values, y), repeat=3)
    repeat = int(np.clip(1.0 / max(gbm_s, 1e-3), 3, 15))
    _, gbm_again, _ = best_times(lambda: gbm_model(task).fit(table.values, y), repeat=repeat)
    _, tree_s, search = best_times(lambda: TreeSearch(task=task, **TREE).fit(table, y), repeat=max(2, repeat // 2))
    gbm_s = min(gbm_s, gbm_again)
    return tree_s, gbm_s, [k["name"] for k in search.kept_]


def compare(name, X, y, task, folds, repeats, target=None, numeric_only=False):
    """Scores of every column set and model family under the same folds, as one result row."""
    from karrow_libs.pipeline import make_baseline, make_pipeline

    cv = splitter(task, folds, repeats)
    row = {"table": name, "rows": len(X), "task": task}
    runs = [("one-hot", lambda: plain_pipeline(X, task, True)),
            ("prepared", lambda: make_baseline(task, target_name=target)),
            ("engineered", lambda: make_pipeline(task, target_name=target, **SEARCH)),
            ("one-hot gbm", lambda: plain_pipeline(X, task, True, gbm_model(task), scale=False)),
            ("prepared gbm", lambda: gbm_pipeline(task, target, False)),
            ("engineered gbm", lambda: gbm_pipeline(task, target, True))]
    if numeric_only:
        runs.insert(0, ("numeric only", lambda: plain_pipeline(X, task, False)))
    for label, build in runs:
        try:
            row[label], row[label + " s"] = score(build(), X, y, cv)
        except Exception as e:  # reported, and the script fails at the end
            row[label] = None
            row["error"] = label + ": " + type(e).__name__ + ": " + " ".join(str(e).split())[:200]
    try:
        row["tree s"], row["gbm s"], row["tree kept"] = tree_cost(X, y, task, target)
    except Exception as e:
        row["error"] = "tree search timing: " + type(e).__name__ + ": " + " ".join(str(e).split())[:200]
    return row


def run_table(name, target, folds, repeats):
    from karrow_libs.prepare import PrepareFrame, prepare_target

    frame = pd.read_csv(os.path.join(DATA, name + ".csv.gz"))
    y, task, info = prepare_target(frame[target])
    X = frame.drop(columns=target)[info["kept_rows"]].reset_index(drop=True)
    row = compare(name, X, y, task, folds, repeats, target=target, numeric_only=True)
    row["dropped"] = info["dropped_rows"]
    prep = PrepareFrame(target).fit(X, y)
    row["kinds"] = ", ".join(str(v) + " " + k for k, v in prep.n_kinds_.items() if v)
    row["left out"] = ", ".join(p["column"] for p in prep.plan_ if p["kind"] == "left_out") or "-"
    return row


FAMILY_COLUMNS = ["one-hot", "one-hot gbm", "prepared", "engineered", "prepared gbm", "engineered gbm"]


def check_goals(rows):
    """Prints how the rows meet the goals; 1 if a run failed, else 0."""
    failed = [r for r in rows if "error" in r]
    ok = [r for r in rows if "error" not in r]
    eps = 1e-9
    lin_below = [r["table"] for r in ok if r["engineered"] < r["one-hot"] - eps]
    gbm_below = [r["table"] for r in ok if r["engineered gbm"] < r["prepared gbm"] - 0.002 - eps]
    gbm_better = [r["table"] for r in ok if r["engineered gbm"] >= r["prepared gbm"] + 0.005 - eps]
    best_below = [r["table"] for r in ok if max(r["engineered"], r["engineered gbm"])
                  < max(r["one-hot"], r["one-hot gbm"]) - eps]
    slow = [r["table"] for r in ok if r["tree s"] > 5 * r["gbm s"]]
    print()

    def line(text, bad):
        print(text + (" (not on: " + ", ".join(bad) + ")" if bad else ""))

    line("engineered lin >= one-hot lin on " + str(len(ok) - len(lin_below)) + " of " + str(len(ok)) + " tables",
         lin_below)
    line("engineered gbm >= prepared gbm - 0.002 on " + str(len(ok) - len(gbm_below)) + " of " + str(len(ok))
         + " tables", gbm_below)
    print("engineered gbm >= prepared gbm + 0.005 on " + str(len(gbm_better)) + " of " + str(len(ok))
          + " tables (goal: a third)" + (": " + ", ".join(gbm_better) if gbm_better else ""))
    line("best engineered >= best one-hot on " + str(len(ok) - len(best_below)) + " of " + str(len(ok))
         + " tables", best_below)
    if ok:
        ratios = [r["tree s"] / r["gbm s"] for r in ok]
        total = sum(r["tree s"] for r in ok) / sum(r["gbm s"] for r in ok)
        line("tree search <= 5x one LightGBM fit on " + str(len(ok) - len(slow)) + " of " + str(len(ok))
             + " tables (median " + "{:.1f}x".format(float(np.median(ratios))) + ", all tables together "
             + "{:.1f}x".format(total) + ")", slow)
    for r in failed:
        print("ERROR " + r["table"] + ": " + r["error"])
    return 1 if failed else 0


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--folds", type=int, default=5)
    parser.add_argument("--repeats", type=int, default=2, help="repetitions of the folds, shuffled anew")
    parser.add_argument("--tables", default=",".join(TABLES))
    parser.add_argument("--hand", action="store_true", help="measure the hand-built features of HAND instead")
    args = parser.parse_args(argv)
    names = [t for t in args.tables.split(",") if t]
    if args.hand:
        from karrow_libs.prepare import prepare_target

        print("LightGBM with one hand-built feature beside the prepared columns (R^2 or accuracy; gain over "
              "the prepared columns, its standard error over the folds, folds it improves)")
        for name in names:
            target = TABLES[name]
            frame = pd.read_csv(os.path.join(DATA, name + ".csv.gz"))
            y, task, info = prepare_target(frame[target])
            X = frame.drop(columns=target)[info["kept_rows"]].reset_index(drop=True)
            hand_rows(name, X, y, task, target, HAND[name], args.folds, args.repeats)
        return 0
    rows = []
    for name in names:
        rows.append(run_table(name, TABLES[name], args.folds, args.repeats))
        print_family_row(rows[-1], header=len(rows) == 1, folds=args.folds, repeats=args.repeats)
    return check_goals(rows)


def print_family_row(r, header, folds, repeats):
    cols = (["numeric only"] if "numeric only" in r else []) + FAMILY_COLUMNS
    heads = [c.replace("numeric only", "numeric").replace("engineered", "eng.").replace("prepared", "prep.")
             .replace(" gbm", " gbm").replace("one-hot", "1-hot") for c in cols]
    heads = [h if h.endswith("gbm") or h == "numeric" else h + " lin" for h in heads]
    if header:
        print("Same folds for every column (R^2 or accuracy, mean over " + str(folds) + " folds x "
              + str(repeats) + " repeats); lin: ridge/logistic, gbm: LightGBM; tree x: tree search / one "
              "LightGBM fit")
        print("{:<16} {:>6} {:<4} ".format("table", "rows", "task") + " ".join("{:>10}".format(h) for h in heads)
              + " {:>6}  {}".format("tree x", "tree-search features"))
    fmt = ["{:.3f}".format(r[c]) if r.get(c) is not None else "error" for c in cols]
    ratio = "{:.1f}".format(r["tree s"] / r["gbm s"]) if r.get("tree s") is not None else "-"
    kept = ", ".join(r.get("tree kept") or []) or "-"
    print("{:<16} {:>6} {:<4} ".format(r["table"], r["rows"], "clf" if r["task"] == "classification" else "reg")
          + " ".join("{:>10}".format(f) for f in fmt) + " {:>6}  {}".format(ratio, kept[:70]), flush=True)


if __name__ == "__main__":
    sys.exit(main())
