"""The search on generated tables whose true features are known, one table per kind of feature.

For each table: whether every planted feature was found with default options,
the held-out R^2 (or accuracy) of a ridge (logistic) model on the original
columns, on the original plus the kept features, and on the original plus the
true features (the oracle), the share of the oracle's gain captured, the
search's fit time as a ratio to a plain-numpy exhaustive screen of the default
candidates in the same run, and the peak memory the fit adds against the bound
input + block budget + kept columns.  The search is fitted on 70 % of the rows
and every model is scored on the other 30 %.

    python bench/bench_search_planted.py [--quick] [--only TEXT] [--small]
"""
import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from harness import traced_peak  # noqa: E402

from karrow_libs.search import FeatureSearch  # noqa: E402

# The plain-numpy exhaustive screen of the default candidates, shared with bench_fe.
from bench_fe import as_table as _table, numpy_screen  # noqa: E402


def heldout(Xtr, ytr, Xte, yte, task):
    from sklearn.linear_model import LogisticRegression, Ridge
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import StandardScaler

    model = Ridge(alpha=1e-3) if task == "regression" else LogisticRegression(max_iter=2000)
    return make_pipeline(StandardScaler(), model).fit(Xtr, ytr).score(Xte, yte)


# --- the tables: (X, y, task, wanted [set of accepted names per planted feature], oracle columns, options) -----
def _base(rng, n, p, low=-1.0, high=1.0):
    return rng.uniform(low, high, (n, p))


def case_product_ratio(rng, n=20_000, p=40):
    X = rng.normal(size=(n, p))
    X[:, 3] = rng.uniform(1, 3, n)
    t1, t2 = X[:, 0] * X[:, 1], X[:, 2] / X[:, 3]
    y = 2 * t1 + 3 * t2 + X[:, 5] + 0.3 * rng.normal(size=n)
    return X, y, [{"product(x0__x1)", "product(x1__x0)"}, {"divide(x2__x3)"}], [t1, t2]


def case_weak_ratio(rng, n=10_000, p=84):
    X = rng.normal(size=(n, p))
    X[:, 3] = rng.uniform(1, 3, n)
    t1, t2 = X[:, 0] * X[:, 1], X[:, 2] / X[:, 3]
    y = 3 * t1 + 0.5 * t2 + 0.5 * rng.normal(size=n)
    return X, y, [{"product(x0__x1)", "product(x1__x0)"}, {"divide(x2__x3)"}], [t1, t2]


def case_denominator_crosses_zero(rng, n=10_000, p=8):
    X = rng.normal(size=(n, p))
    X[:, 1] = rng.normal(0.5, 1.0, n)
    t = X[:, 0] / X[:, 1]
    y = t + X[:, 2] + 0.3 * rng.normal(size=n)
    return X, y, [{"divide(x0__x1)"}], [t]


def case_reciprocal(rng, n=5_000, p=40):
    # A weak 1/x next to a strong product among 40 positive columns: about 9 400 pair candidates, and
    # every x_k / x0 a noisy stand-in for 1 / x0.  x0 spans [0.25, 3], where 1/x bends more than any
    # mix of x, sqrt(x) and log(x) follows.
    X = rng.uniform(0.5, 2.0, (n, p))
    X[:, 0] = rng.uniform(0.25, 3.0, n)
    t1, t2 = X[:, 1] * X[:, 2], 1.0 / X[:, 0]
    y = 2 * t1 + t2 + X[:, 3] + 0.5 * rng.normal(size=n)
    return X, y, [{"product(x1__x2)", "product(x2__x1)"}, {"reciprocal(x0)"}], [t1, t2]


def case_log_times(rng, n=10_000, p=10):
    X = rng.normal(size=(n, p))
    X[:, 0] = rng.lognormal(0, 1, n)
    t = np.log(X[:, 0]) * X[:, 1]
    y = 2 * t + X[:, 2] + 0.3 * rng.normal(size=n)
    return X, y, [{"product(log(x0)__x1)", "product(x1__log(x0))"}], [t], {"depth": 2}


def case_absdiff(rng, n=10_000, p=10):
    X = _base(rng, n, p)
    t = np.abs(X[:, 0] - X[:, 1])
    y = 3 * t + X[:, 2] + 0.2 * rng.normal(size=n)
    return X, y, [{"max(x0__x1)", "max(x1__x0)", "min(x0__x1)", "min(x1__x0)"}], [t]


def case_min_max(rng, n=10_000, p=10):
    X = _base(rng, n, p)
    t1, t2 = np.fmin(X[:, 0], X[:, 1]), np.fmax(X[:, 2], X[:, 3])
    y = 2 * t1 + 2 * t2 + 0.2 * rng.normal(size=n)
    return X, y, [{"min(x0__x1)", "min(x1__x0)", "max(x0__x1)", "max(x1__x0)"},
                  {"max(x2__x3)", "max(x3__x2)", "min(x2__x3)", "min(x3__x2)"}], [t1, t2]


def _levels(rng, n, k):
    codes = rng.integers(0, k, n)
    return codes, (codes[:, None] == np.arange(k)[None, :]).astype(np.float64)


def case_level_slope(rng, n=10_000, p=8):
    # Columns 0-2: the 0/1 levels of one category, as the preparation writes them; a slope per level.
    X = rng.normal(size=(n, p))
    codes, levels = _levels(rng, n, 3)
    X[:, :3] = levels
    slope = np.array([-2.0, 0.5, 2.0])[codes]
    t = slope * X[:, 3]
    y = t + X[:, 4] + 0.3 * rng.normal(size=n)
    wanted = {"product(x%d__x3)" % c for c in range(3)}
    return X, y, [wanted], [levels[:, c] * X[:, 3] for c in range(3)]


def case_level_pair(rng, n=10_000, p=8):
    # Columns 0-2 and 3-4: the levels of two categories; the target depends on one pair of levels.
    X = rng.normal(size=(n, p))
    _, a = _levels(rng, n, 3)
    _, b = _levels(rng, n, 2)
    X[:, :3], X[:, 3:5] = a, b
    t = a[:, 0] * b[:, 0]
    y = 2 * t + X[:, 5] + 0.3 * rng.normal(size=n)
    return X, y, [{"product(x0__x3)", "product(x3__x0)"}], [t]


def case_depth2(rng, n=10_000, p=10):
    X = rng.uniform(0.5, 2.0, (n, p))
    t = X[:, 0] * X[:, 1] * X[:, 2]
    y = t + 0.2 * rng.normal(size=n)
    triple = set()
    for a, b, c in ((0, 1, 2), (0, 2, 1), (1, 2, 0)):
        for inner in ("product(x%d__x%d)" % (a, b), "product(x%d__x%d)" % (b, a)):
            triple |= {"product(%s__x%d)" % (inner, c), "product(x%d__%s)" % (c, inner)}
    return X, y, [triple], [t], {"depth": 2}


def _either_order(fmt, a, b):
    """``fmt`` around the sum of columns ``a`` and ``b`` in both orders."""
    return {fmt % ("sum(x%d__x%d)" % (i, j)) for i, j in ((a, b), (b, a))}


def case_ratio_to_sum(rng, n=10_000, p=10):
    # x / (y + z) with positive y, z: a sum alone lies in the span of the columns, so no round keeps it.
    X = rng.normal(size=(n, p))
    X[:, 1] = rng.uniform(0.5, 2.0, n)
    X[:, 2] = rng.uniform(0.5, 2.0, n)
    t = X[:, 0] / (X[:, 1] + X[:, 2])
    y = 3 * t + X[:, 3] + 0.3 * rng.normal(size=n)
    return X, y, [_either_order("divide(x0__%s)", 1, 2)], [t], {"depth": 2}


def case_share(rng, n=10_000, p=10):
    # a / (a + b) of two positive amounts spanning orders of magnitude: a sigmoid of log(a / b) that
    # the logs and ratios of the first round only follow in part.  b / (a + b) and (b - a) / (a + b) are
    # the same feature up to a linear map.
    X = rng.normal(size=(n, p))
    X[:, 0] = rng.lognormal(0, 1, n)
    X[:, 1] = rng.lognormal(0, 1, n)
    t = X[:, 0] / (X[:, 0] + X[:, 1])
    y = 3 * t + X[:, 2] + 0.2 * rng.normal(size=n)
    wanted = _either_order("divide(x0__%s)", 0, 1) | _either_order("divide(x1__%s)", 0, 1)
    wanted |= {"divide(%s__sum(x%d__x%d))" % (d, i, j) for d in ("diff(x0__x1)", "diff(x1__x0)")
               for i, j in ((0, 1), (1, 0))}
    return X, y, [wanted], [t], {"depth": 2}


def case_heavy_tails(rng, n=20_000, p=20):
    X = rng.standard_t(3, size=(n, p))
    t = X[:, 0] * X[:, 1]
    y = t + X[:, 2] + 0.5 * rng.normal(size=n)
    bad = rng.random((n, p)) < 0.001
    X = np.where(bad, X * 50, X)
    return X, y, [{"product(x0__x1)", "product(x1__x0)"}], [X[:, 0] * X[:, 1]]


def case_missing(rng, n=10_000, p=10):
    X = rng.normal(size=(n, p))
    t = X[:, 0] * X[:, 1]
    y = 2 * t + X[:, 2] + 0.3 * rng.normal(size=n)
    holes = rng.random(n) < 0.05
    X[holes, 0] = 0.0  # filled the way a preparation with an indicator column would
    X = np.column_stack([X, holes.astype(np.float64)])
    return X, y, [{"product(x0__x1)", "product(x1__x0)"}], [X[:, 0] * X[:, 1]]


def case_near_copies(rng, n=10_000, p=10):
    X = rng.normal(size=(n, p))
    copies = X[:, [0]] + 0.01 * rng.normal(size=(n, 20))
    X = np.column_stack([X, copies])
    t = X[:, 0] * X[:, 1]
    y = 2 * t + 0.3 * rng.normal(size=n)
    names = {"product(x%d__x1)" % c for c in [0] + list(range(p, p + 20))}
    names |= {"product(x1__x%d)" % c for c in [0] + list(range(p, p + 20))}
    return X, y, [names], [t], {}, "at most one product with x1"


def case_classification(rng, n=10_000, p=12):
    X = rng.normal(size=(n, p))
    X[:, 3] = rng.uniform(1, 3, n)
    t1, t2 = X[:, 0] * X[:, 1], X[:, 2] / X[:, 3]
    y = np.where(2 * t1 + 3 * t2 + 0.5 * rng.normal(size=n) > 0, "yes", "no")
    return X, y, [{"product(x0__x1)", "product(x1__x0)"}, {"divide(x2__x3)"}], [t1, t2], {"task": "classification"}


def case_noise(rng, n=10_000, p=20):
    X = rng.normal(size=(n, p))
    y = rng.normal(size=n)
    return X, y, [], []


def case_wide(rng, n, p=200):
    X = rng.normal(size=(n, p))
    t = X[:, 1] * X[:, 2]
    y = 2 * t + X[:, 3] + 0.5 * rng.normal(size=n)
    return X, y, [{"product(x1__x2)", "product(x2__x1)"}], [t]


CASES = [
    ("product + ratio, positive low-spread factor", case_product_ratio),
    ("weak ratio among ~40 000 candidates", case_weak_ratio),
    ("ratio, denominator crossing 0", case_denominator_crosses_zero),
    ("log(x) * z (depth=2)", case_log_times),
    ("|a - b|", case_absdiff),
    ("min / max", case_min_max),
    ("category x number: a slope per level", case_level_slope),
    ("category x category: one pair of levels", case_level_pair),
    ("depth-2 composite a*b*c (depth=2)", case_depth2),
    ("heavy tails, 0.1 % outlier cells", case_heavy_tails),
    ("missing cells in an interacting column", case_missing),
    ("20 near-copy distractors", case_near_copies),
    ("classification", case_classification),
    ("pure noise", case_noise),
    ("wide 1 000 x 200", lambda rng: case_wide(rng, 1000)),
    ("wide 5 000 x 200", lambda rng: case_wide(rng, 5000)),
    ("weak 1/x beside a product, 40 positive columns", case_reciprocal),
    ("x / (y + z), positive y, z (depth=2)", case_ratio_to_sum),
    ("share a / (a + b) (depth=2)", case_share),
]


def run_case(label, make, seed, traced):
    rng = np.random.default_rng(seed)
    made = make(rng)
    X, y, wanted, oracle = made[:4]
    options = made[4] if len(made) > 4 else {}
    task = options.get("task", "regression")
    n = X.shape[0]
    idx = rng.permutation(n)
    tr, te = idx[: int(0.7 * n)], idx[int(0.7 * n):]
    T = _table(X[tr])
    t0 = time.perf_counter()
    fs = FeatureSearch(**options).fit(T, y[tr])
    fit_s = time.perf_counter() - t0
    names = [k["name"] for k in fs.kept_]
    found = sum(1 for w in wanted if w & set(names))
    if len(made) > 5:  # near copies: one product with the shared factor, not twenty
        found = int(len([nm for nm in names if nm in wanted[0]]) == 1)
    t0 = time.perf_counter()
    numpy_screen(X[tr], y[tr] if task == "regression" else (y[tr] == y[tr][0]).astype(float))
    screen_s = time.perf_counter() - t0
    eng = fs.transform(_table(X)).values
    base = heldout(X[tr], y[tr], X[te], y[te], task)
    engineered = heldout(eng[tr], y[tr], eng[te], y[te], task)
    if oracle:
        O = np.column_stack([X] + [o[:, None] for o in oracle])
        orc = heldout(O[tr], y[tr], O[te], y[te], task)
    else:
        orc = base
    share = (engineered - base) / (orc - base) if orc - base > 1e-3 else float("nan")
    peak = traced_peak(lambda: FeatureSearch(**options).fit(T, y[tr]))[0] if traced else float("nan")
    bound = 64 * 2 ** 20 + len(names) * len(tr) * 8
    ok = bool(found == len(wanted) and (not wanted or not share == share or share >= 0.8) and (wanted or not names))
    print(f"{label:44s} found {found}/{len(wanted)} kept {len(names):2d}  "
          f"orig {base:.3f} -> eng {engineered:.3f} -> oracle {orc:.3f} ({share * 100:5.1f} % of gain)  "
          f"fit {fit_s:6.2f} s = {fit_s / screen_s:5.2f}x numpy screen  "
          f"peak +{peak / 2 ** 20:6.1f} MiB ({peak / bound:4.2f} of block+kept)  {'OK' if ok else 'MISSED'}",
          flush=True)
    if not ok:
        print("    kept:", ", ".join(names[:8]), flush=True)
    return ok


def small_sets(repeats=4):
    """The three small numeric sets of scikit-learn, the same folds for every model: a scaled ridge /
    logistic model on the columns, the prepared columns, and the search's pipeline (with log-loss for
    classes, and how many folds kept a feature)."""
    import warnings

    from sklearn import datasets
    from sklearn.linear_model import LogisticRegression, Ridge
    from sklearn.metrics import log_loss
    from sklearn.model_selection import RepeatedKFold, RepeatedStratifiedKFold
    from sklearn.pipeline import make_pipeline as sk_pipeline
    from sklearn.preprocessing import StandardScaler

    from karrow_libs.pipeline import make_baseline, make_pipeline

    print(f"small tables: 5 folds x {repeats} repeats, the same for every model (R^2 or accuracy; log-loss)")
    for name, task, kwargs in (("diabetes", "regression", {"scaled": False}),
                               ("breast_cancer", "classification", {}), ("wine", "classification", {})):
        frame = getattr(datasets, "load_" + name)(as_frame=True, **kwargs).frame
        X, y = frame.drop(columns=["target"]), frame["target"].to_numpy()
        split = RepeatedStratifiedKFold if task == "classification" else RepeatedKFold
        scores, losses, kept = {"plain": [], "original": [], "engineered": []}, {}, 0
        t0 = time.perf_counter()
        for tr, te in split(n_splits=5, n_repeats=repeats, random_state=0).split(X, y):
            plain = sk_pipeline(StandardScaler(), LogisticRegression(max_iter=2000) if task == "classification"
                                else Ridge(alpha=1.0))
            for key, model in (("plain", plain), ("original", make_baseline(task)),
                               ("engineered", make_pipeline(task))):
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    model.fit(X.iloc[tr], y[tr])
                scores[key].append(model.score(X.iloc[te], y[te]))
                if task == "classification":
                    losses.setdefault(key, []).append(log_loss(y[te], model.predict_proba(X.iloc[te]),
                                                               labels=np.unique(y)))
            kept += bool(model.named_steps["features"].search_.kept_)
        mean = {k: float(np.mean(v)) for k, v in scores.items()}
        line = (f"{name:14s} plain {mean['plain']:.4f}  original {mean['original']:.4f} -> engineered "
                f"{mean['engineered']:.4f}")
        if losses:
            line += f"  log-loss {np.mean(losses['original']):.4f} -> {np.mean(losses['engineered']):.4f}"
        print(line + f"  kept in {kept} of {5 * repeats} folds  {time.perf_counter() - t0:.0f} s", flush=True)


def main(argv=None):
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="skip the memory traces")
    ap.add_argument("--only", default="", help="run the cases whose label contains this text")
    ap.add_argument("--small", action="store_true", help="only the three small scikit-learn sets, repeated folds")
    args = ap.parse_args(argv)
    if args.small:
        small_sets()
        return
    print("planted cases: search fitted on 70 % of the rows, scores on the other 30 % "
          "(R^2; accuracy for classification)")
    oks = [run_case(label, make, seed, not args.quick) for seed, (label, make) in enumerate(CASES)
           if args.only in label]
    print(f"{sum(oks)}/{len(oks)} planted cases met their goal")


if __name__ == "__main__":
    main()
