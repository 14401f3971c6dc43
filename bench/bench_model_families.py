"""What comparing LightGBM beside the linear model costs, and what --jobs 2 gives.

On one generated table (numbers and a category; y has a product, a sine and a
level effect), in the same run:
- the whole main job (fit on all rows + 5-fold comparison) for the linear
  family alone and for both families; the extra cost of "both" is shown as a
  ratio to plain LightGBM fits on the prepared columns (the 11 a comparison
  needs: original and engineered in every fold, plus the saved model);
- the comparison with n_jobs=1 and n_jobs=2 (the folds in worker processes),
  with a check that both give the same scores.
Times are CPU seconds of this process where no other process works (the
machine may be shared), wall seconds for the n_jobs comparison.
"""
import sys
import time
import warnings

import numpy as np
import pandas as pd

from karrow_libs import compare, evaluate


def table(n, p, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, p))
    frame = pd.DataFrame(X, columns=["x" + str(j) for j in range(p)])
    frame["shop"] = rng.choice(["a", "b", "c", "d"], n)
    y = X[:, 0] * X[:, 1] + np.sin(X[:, 2]) + X[:, 3] + (frame["shop"] == "a") + 0.3 * rng.normal(size=n)
    return frame, y


def cpu(fn):
    start = time.process_time()
    result = fn()
    return time.process_time() - start, result


def main(n=int(sys.argv[1]) if len(sys.argv) > 1 else 20_000, p=int(sys.argv[2]) if len(sys.argv) > 2 else 40):
    warnings.simplefilter("ignore")
    X, y = table(n, p)
    options = {"keep": 10}

    def job(families):
        fits = evaluate.fit_families(X, y, "regression", families, **options)
        return fits, compare(X, y, task="regression", models=families, folds=5, **options)

    linear_s, _ = cpu(lambda: job(["linear"]))
    both_s, (fits, res) = cpu(lambda: job(["linear", "lgbm"]))
    prepared = fits["linear"].features.prepare_.transform(X).values
    lgbm_s, _ = cpu(lambda: [evaluate.make_model("regression", "lgbm").fit(prepared, y) for _ in range(11)])
    print("table {:,} x {}: linear {:.1f} s, both {:.1f} s CPU; extra for LightGBM {:.1f} s = {:.2f}x the 11 plain "
          "LightGBM fits ({:.1f} s)".format(n, p, linear_s, both_s, both_s - linear_s,
                                            (both_s - linear_s) / lgbm_s, lgbm_s))
    print("  R^2 engineered: linear {:.3f}, LightGBM {:.3f}; original: linear {:.3f}, LightGBM {:.3f}".format(
        res.mean("linear", "engineered"), res.mean("lgbm", "engineered"), res.mean("linear", "original"),
        res.mean("lgbm", "original")))
    walls = {}
    for jobs in (1, 2):
        start = time.perf_counter()
        walls[jobs] = (compare(X, y, task="regression", models=["linear"], folds=5, n_jobs=jobs, **options),
                       time.perf_counter() - start)
    same = walls[1][0].scores == walls[2][0].scores and walls[1][0].n_columns == walls[2][0].n_columns
    print("  comparison wall time: n_jobs=1 {:.1f} s, n_jobs=2 {:.1f} s (ratio {:.2f}); same scores: {}; pool "
          "used: {}".format(walls[1][1], walls[2][1], walls[2][1] / walls[1][1], same, evaluate.pool_pays(2.0)))


if __name__ == "__main__":
    main()
