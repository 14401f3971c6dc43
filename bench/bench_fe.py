"""Feature search on generated tables with planted interactions.

For each table: the planted features found with default options, the cross-
validated score of the original and of the engineered columns, the search's
fit time as a ratio to a plain-numpy exhaustive screen of the same candidates
(every candidate column computed in blocks and correlated with the target),
and the peak memory the fit adds, against the input size and the budget
(input + block budget + kept columns).  Then the fs2 / fs1 selector time
ratio, and the three small data sets that ship with scikit-learn.

    python bench/bench_fe.py [--quick]
"""
import argparse
import os
import sys
import time

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.dirname(__file__))
from harness import traced_peak  # noqa: E402

from karrow_libs.pipeline import make_baseline, make_pipeline  # noqa: E402
from karrow_libs.search import FeatureSearch  # noqa: E402
from karrow_libs.table import Table  # noqa: E402

DEFAULT = FeatureSearch().transforms
UNARY = {"sqrt": np.sqrt, "log": np.log, "square": np.square}
BINARY = {"product": np.multiply, "sum": np.add, "diff": np.subtract, "divide": np.true_divide,
          "min": np.fmin, "max": np.fmax}


def planted_table(rows, cols, seed, terms):
    """Uniform positive columns and y = sum of the planted terms + a linear part + noise.

    ``terms``: [(weight, op, i, j)]; returns the frame, y and the accepted names of each planted feature.
    """
    rng = np.random.default_rng(seed)
    X = rng.uniform(0.5, 2.0, (rows, cols))
    y = 0.5 * X[:, -1] - 0.3 * X[:, -2]
    wanted = []
    for w, op, i, j in terms:
        y = y + w * BINARY[op](X[:, i], X[:, j])
        names = {op + "(x" + str(i) + "__x" + str(j) + ")"}
        if op in ("product", "sum"):
            names.add(op + "(x" + str(j) + "__x" + str(i) + ")")
        wanted.append(names)
    y = y + 0.5 * y.std() * rng.normal(size=rows)
    return X, y, wanted


def as_table(X):
    names = ["x" + str(i) for i in range(X.shape[1])]
    return Table(X, names, [np.dtype("float64")] * X.shape[1], [{"name": "$" + n} for n in names], X.shape[1])


def numpy_screen(X, y, block=256):
    """Every candidate of the default transforms, computed in blocks and correlated with y: best |r|."""
    n, p = X.shape
    yc = (y - y.mean()) / (y.std() * n)
    best = 0.0
    with np.errstate(all="ignore"):
        for f in UNARY.values():
            c = f(X)
            c[~np.isfinite(c)] = 0
            best = max(best, _best_corr(c, yc))
        i, j = np.nonzero(~np.eye(p, dtype=bool))
        for f in BINARY.values():
            for lo in range(0, len(i), block):
                c = f(X[:, i[lo:lo + block]], X[:, j[lo:lo + block]])
                c[~np.isfinite(c)] = 0
                best = max(best, _best_corr(c, yc))
    return best, 3 * p + len(BINARY) * len(i)


def _best_corr(c, yc):
    sd = c.std(axis=0)
    sd[sd == 0] = np.inf
    return float(np.max(np.abs((yc @ c) / sd)))


def cv_scores(X, y, folds, **options):
    from sklearn.model_selection import KFold, cross_val_score

    df = pd.DataFrame(X, columns=["x" + str(i) for i in range(X.shape[1])])
    cv = KFold(folds, shuffle=True, random_state=0)
    base = cross_val_score(make_baseline("regression"), df, y, cv=cv)
    eng = cross_val_score(make_pipeline("regression", **options), df, y, cv=cv)
    return base, eng


def run_table(label, rows, cols, seed, terms, folds, screen_fraction=1.0):
    X, y, wanted = planted_table(rows, cols, seed, terms)
    T = as_table(X)
    t0 = time.perf_counter()
    fs = FeatureSearch().fit(T, y)
    fit_s = time.perf_counter() - t0
    names = [k["name"] for k in fs.kept_]
    found = sum(1 for w in wanted if w & set(names))
    peak, _ = traced_peak(lambda: FeatureSearch().fit(T, y))
    kept_bytes = rows * len(names) * 8
    # The numpy screen materialises every column; on the big table the candidates of a quarter of the
    # columns (1/16 of the candidates) are screened and the time scaled up: the work per candidate is the same.
    m = 3 * cols + len(BINARY) * cols * (cols - 1)
    if screen_fraction < 1.0:
        sub = X[:, : max(2, int(round(cols * np.sqrt(screen_fraction))))]
        t0 = time.perf_counter()
        _, m_sub = numpy_screen(sub, y)
        screen_s = (time.perf_counter() - t0) * m / m_sub
    else:
        t0 = time.perf_counter()
        _, m = numpy_screen(X, y)
        screen_s = time.perf_counter() - t0
    base, eng = cv_scores(X, y, folds)
    print(f"{label}: {rows} x {cols}, {m} candidates, {len(terms)} planted, sampled rows: {fs.sampled_rows_}")
    print(f"  planted found    {found}/{len(wanted)}   kept: {', '.join(names)}")
    print(f"  CV R^2 ({folds} folds) original {base.mean():.3f}  engineered {eng.mean():.3f}"
          f"  (worst fold {base.min():.3f} / {eng.min():.3f})")
    print(f"  fit {fit_s:.2f} s; numpy screen {screen_s:.2f} s{' (extrapolated)' if screen_fraction < 1 else ''};"
          f" ratio {fit_s / screen_s:.3f}")
    budget = X.nbytes + 64 * 2**20 + kept_bytes
    print(f"  peak added by fit {peak / 2**20:.1f} MiB; (input + peak) / input {(X.nbytes + peak) / X.nbytes:.2f};"
          f" input + peak = {(X.nbytes + peak) / budget:.2f} of input + 64 MiB + kept columns")
    return X, y


def outlier_table():
    """A volume-like target (y ~ x0 * x1) and one data-entry error (one cell ten times too large)."""
    rng = np.random.default_rng(13)
    X = rng.uniform(3.0, 9.0, (20_000, 10))
    y = X[:, 0] * X[:, 1] + 0.5 * X[:, 2] + rng.normal(size=20_000)
    X[123, 1] *= 10.0
    base, eng = cv_scores(X, y, 5)
    print(f"table C: 20000 x 10, y ~ x0 * x1, one cell of x1 ten times too large")
    print(f"  CV R^2 (5 folds) original {base.mean():.3f}  engineered {eng.mean():.3f}"
          f"  (worst fold {base.min():.3f} / {eng.min():.3f})")


def selector_ratio(X, y):
    """fs2 / fs1 fit time on the same table: best of two, wall and CPU (CPU is steadier on a busy machine)."""
    T = as_table(X)
    wall, cpu = {}, {}
    for sel in ("fs1", "fs2"):
        wall[sel] = cpu[sel] = float("inf")
        for _ in range(2):
            t0, c0 = time.perf_counter(), time.process_time()
            FeatureSearch(selector=sel, n_jobs=2).fit(T, y)
            wall[sel] = min(wall[sel], time.perf_counter() - t0)
            cpu[sel] = min(cpu[sel], time.process_time() - c0)
    print(f"selectors on {X.shape[0]} x {X.shape[1]} (n_jobs=2): fs1 {wall['fs1']:.2f} s, fs2 {wall['fs2']:.2f} s,"
          f" fs2/fs1 {wall['fs2'] / wall['fs1']:.2f} wall, {cpu['fs2'] / cpu['fs1']:.2f} CPU")


#: Reciprocals a person might add by hand to the small scikit-learn sets, chosen looking at all rows.
HAND_RECIPROCALS = {"diabetes": ["s5", "bmi"], "breast_cancer": ["worst area"], "wine": ["flavanoids"]}


def sklearn_sets():
    """The three small numeric sets: the prepared columns, the search, and by hand a scaled ridge (logistic)
    model on the columns, then on the columns plus the reciprocals of ``HAND_RECIPROCALS``; same folds."""
    from sklearn import datasets
    from sklearn.linear_model import LogisticRegression, Ridge
    from sklearn.model_selection import KFold, StratifiedKFold, cross_val_score
    from sklearn.pipeline import make_pipeline as sk_pipeline
    from sklearn.preprocessing import StandardScaler

    for name, task, kwargs in (("diabetes", "regression", {"scaled": False}),
                               ("breast_cancer", "classification", {}), ("wine", "classification", {})):
        frame = getattr(datasets, "load_" + name)(as_frame=True, **kwargs).frame
        X, y = frame.drop(columns=["target"]), frame["target"].to_numpy()
        cv = (StratifiedKFold if task == "classification" else KFold)(5, shuffle=True, random_state=0)
        base = cross_val_score(make_baseline(task), X, y, cv=cv).mean()
        eng = cross_val_score(make_pipeline(task), X, y, cv=cv).mean()
        model = LogisticRegression(max_iter=2000) if task == "classification" else Ridge(alpha=1.0)
        hand = cross_val_score(sk_pipeline(StandardScaler(), model), X, y, cv=cv).mean()
        Xr = X.assign(**{"1/" + c: 1.0 / X[c] for c in HAND_RECIPROCALS[name]})
        hand_r = cross_val_score(sk_pipeline(StandardScaler(), model), Xr, y, cv=cv).mean()
        print(f"{name:14s} {task:15s} original {base:.4f}  engineered {eng:.4f}  by hand: linear {hand:.4f},"
              f" + {', '.join('1/' + c for c in HAND_RECIPROCALS[name])} {hand_r:.4f}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="only the 20 000 x 40 table")
    args = ap.parse_args()
    import bench_search_planted

    bench_search_planted.main([] if not args.quick else ["--quick"])
    X, y = run_table("table A", 20_000, 40, 11, [(2.0, "product", 1, 2), (3.0, "divide", 3, 4)], folds=5)
    selector_ratio(X, y)
    outlier_table()
    if not args.quick:
        run_table("table B", 200_000, 100, 12,
                  [(1.0, "product", 10, 20), (2.0, "divide", 30, 40), (-1.5, "product", 50, 60)],
                  folds=3, screen_fraction=1 / 16)
    sklearn_sets()


if __name__ == "__main__":
    main()
