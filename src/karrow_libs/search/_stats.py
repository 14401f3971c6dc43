"""Sufficient statistics and the arithmetic of "added value".

Everything the search decides is computed from sums over rows: the sums,
sums of squares and cross-products of candidate columns, input columns and
the residual of a model on the input columns.  Sums over row chunks (or over
the partitions of a Dask frame) add up to the sums over all rows, so the same
numbers come out whichever way the rows are walked.
"""

import numpy as np

__all__ = ["Residual", "GramStats", "screen_scores", "forward_select", "correlations", "NIL_SPREAD"]

#: A column whose variance is below this share of its mean square is constant.
CONSTANT_RTOL = 1e-10
#: A candidate whose share of variance outside the span of the columns already there is below this holds
#: no new information (a linear combination of them, or a repeat of a feature kept before it).
NIL_SPREAD = 1e-6


def _replace_nonfinite(a):
    """The transforms' rule for missing results (NaN, +-inf -> 0), in place."""
    bad = ~np.isfinite(a)
    if bad.any():
        a[bad] = 0.0
    return a


class Residual:
    """What a linear model on the input columns leaves unexplained.

    Regression: the residual ``y - yhat`` of a ridge fit of ``y`` on the
    standardised input columns, solved from the cross-products of the rows it
    is fitted on (``alpha`` is tiny next to the row count, so the residual is
    orthogonal to every input column and to the constant: a sum or difference
    of input columns explains none of it).  Classification: ``onehot(y) -
    predict_proba`` of a logistic model, one column per class (one column in
    all for two classes, since the two would be opposite).
    """

    def __init__(self, task):
        self.task = task

    # regression ---------------------------------------------------------
    def fit_regression(self, xtx, xty, sx, sy, n):
        mean = sx / n
        var = np.diag(xtx) / n - mean ** 2
        sd = np.sqrt(np.where(var > CONSTANT_RTOL * (np.diag(xtx) / n + 1e-300), var, 0.0))
        sd[sd == 0] = np.inf  # a constant column: standardised to 0, no weight
        ybar = sy / n
        ztz = (xtx - n * np.outer(mean, mean)) / np.outer(sd, sd)
        zty = (xty - n * mean * ybar) / sd
        alpha = 1e-6 * n + 1e-12
        try:
            beta = np.linalg.solve(ztz + alpha * np.eye(len(sd)), zty)
        except np.linalg.LinAlgError:
            beta = np.linalg.lstsq(ztz + alpha * np.eye(len(sd)), zty, rcond=None)[0]
        self.mean_, self.scale_, self.coef_, self.intercept_ = mean, sd, beta, ybar
        self.n_outputs_ = 1
        return self

    # classification -----------------------------------------------------
    def fit_classification(self, values, y, classes, seed):
        from karrow_libs.table import quiet_warnings

        from sklearn.exceptions import ConvergenceWarning
        from sklearn.linear_model import LogisticRegression

        self.classes_ = np.asarray(classes)
        mean = values.mean(axis=0)
        sd = values.std(axis=0)
        sd[~(sd > 0)] = np.inf
        self.mean_, self.scale_ = mean, sd
        present = np.unique(y)
        if len(present) < 2:
            self.model_ = None
            self.prior_ = (y[:, None] == self.classes_[None, :]).mean(axis=0)
        else:
            with quiet_warnings(ConvergenceWarning):
                self.model_ = LogisticRegression(max_iter=300, random_state=seed).fit((values - mean) / sd, y)
        self.n_outputs_ = 1 if len(self.classes_) == 2 else len(self.classes_)
        return self

    def residuals(self, values, y):
        """(rows, n_outputs_) residuals for the rows ``values`` with targets ``y``."""
        if self.task == "regression":
            # The standardisation folded into the weights: one product over the rows, no scaled copy.
            w = self.coef_ / self.scale_
            pred = values @ w
            pred += self.intercept_ - self.mean_ @ w
            return (np.asarray(y, dtype=np.float64) - pred)[:, None]
        onehot = (np.asarray(y)[:, None] == self.classes_[None, :]).astype(np.float64)
        proba = np.zeros_like(onehot)
        if self.model_ is None:
            proba[:] = self.prior_
        else:
            p = self.model_.predict_proba((values - self.mean_) / self.scale_)
            cols = np.searchsorted(self.classes_, self.model_.classes_)
            proba[:, cols] = p
        r = onehot - proba
        return r[:, 1:2] if len(self.classes_) == 2 else r


#: Row folds of the statistics, for the cross-validated stopping rule.
FOLDS = 5


def row_folds(values):
    """Fold of each row (0 .. FOLDS-1), from a hash of the row's own values.

    It does not depend on where a row sits in the table, so every way of
    splitting the rows into partitions puts each row into the same fold.
    """
    values = np.ascontiguousarray(values, dtype=np.float64)
    bits = values.view(np.uint64)
    mult = (np.arange(1, 2 * values.shape[1] + 1, 2, dtype=np.uint64) * np.uint64(0x9E3779B97F4A7C15))
    with np.errstate(over="ignore"):
        h = (bits * mult[None, :]).sum(axis=1, dtype=np.uint64)
        h ^= h >> np.uint64(31)
        h *= np.uint64(0xBF58476D1CE4E5B9)
        h ^= h >> np.uint64(29)
    return (h % np.uint64(FOLDS)).astype(np.intp)


class GramStats:
    """Cross-products of ``[1, inputs, candidates, residuals]`` over some rows, per row fold.

    ``gram[f]`` is ``M.T @ M`` for the rows ``M`` of fold ``f`` (see
    ``row_folds``); ``n`` the number of rows.  Two of them add up to the
    statistics of both row sets, so ``sum(parts)`` over partitions equals the
    statistics of all rows at once.
    """

    __slots__ = ("gram", "n")

    def __init__(self, gram, n):
        self.gram = gram
        self.n = n

    @property
    def total(self):
        return self.gram.sum(axis=0)

    def __add__(self, other):
        if isinstance(other, int) and other == 0:
            return self
        if not isinstance(other, GramStats):
            return NotImplemented
        return GramStats(self.gram + other.gram, self.n + other.n)

    __radd__ = __add__

    def take(self, columns):
        """The statistics of the leading constant and of ``columns`` (positions after it), in that order."""
        idx = np.concatenate([[0], np.asarray(columns, dtype=np.intp) + 1])
        return GramStats(self.gram[:, idx][:, :, idx], self.n)

    def __getstate__(self):
        return {"gram": self.gram, "n": self.n}

    def __setstate__(self, state):
        self.gram = state["gram"]
        self.n = state["n"]

    def __repr__(self):
        return "GramStats(" + str(self.gram.shape[1]) + " columns, " + str(self.n) + " rows)"


def standardized_folds(stats):
    """Per-fold grams of ``[1, z]`` with ``z`` the columns standardised by the all-row mean and sd."""
    g = stats.gram
    total = g.sum(axis=0)
    n = float(total[0, 0])
    mu = total[0, 1:] / n
    msq = np.diag(total)[1:] / n
    var = msq - mu ** 2
    constant = ~(var > CONSTANT_RTOL * (msq + 1e-300)) | ~np.isfinite(var)
    inv = np.where(constant, 0.0, 1.0 / np.sqrt(np.where(constant, 1.0, var)))
    a = np.eye(total.shape[0])
    a[0, 1:] = -mu * inv
    a[1:, 1:] = np.diag(inv)
    with np.errstate(all="ignore"):
        gz = np.matmul(np.matmul(a.T[None, :, :], g), a[None, :, :])
    gz[~np.isfinite(gz)] = 0.0
    return gz


def fold_error(gz, f, cols, targets, ridge=1e-6):
    """Squared error on row fold ``f`` of a linear model of ``targets`` on ``cols`` (+ intercept)
    fitted on the other folds' sums.  Indices are positions in the standardised grams ``gz``
    (0 is the constant)."""
    s = np.concatenate([[0], np.asarray(cols, dtype=np.intp)])
    t = np.asarray(targets, dtype=np.intp)
    tr = gz.sum(axis=0) - gz[f]
    n_tr = tr[0, 0]
    a = tr[np.ix_(s, s)].copy()
    a[np.arange(1, len(s)), np.arange(1, len(s))] += ridge * n_tr
    b = tr[np.ix_(s, t)]
    try:
        beta = np.linalg.solve(a, b)
    except np.linalg.LinAlgError:
        beta = np.linalg.lstsq(a, b, rcond=None)[0]
    gf = gz[f]
    return float(np.trace(gf[np.ix_(t, t)]) - 2.0 * np.sum(beta * gf[np.ix_(s, t)])
                 + np.sum(beta * (gf[np.ix_(s, s)] @ beta)))


def screen_scores(n, s1, s2, sr, sum_r, sum_rr):
    """Squared correlation of each candidate with the residual (mean over outputs).

    ``s1``, ``s2``: sums and sums of squares of the candidates (m,);
    ``sr``: their cross-products with the residual columns (m, k).
    Returns ``(scores, constant)``: constant candidates score 0.
    """
    with np.errstate(all="ignore"):
        mean = s1 / n
        var = s2 / n - mean ** 2
        constant = ~(var > CONSTANT_RTOL * (s2 / n)) | ~np.isfinite(var)
        rmean = sum_r / n
        rvar = sum_rr / n - rmean ** 2
        cov = sr / n - mean[:, None] * rmean[None, :]
        corr2 = cov ** 2 / (var[:, None] * rvar[None, :])
        score = np.nanmean(np.where(np.isfinite(corr2), corr2, np.nan), axis=1) if corr2.shape[1] else np.zeros(len(s1))
    score = np.where(constant | ~np.isfinite(score), 0.0, np.minimum(score, 1.0))
    return score, constant


def partial_screen_scores(n, s1, s2, sr, sb, sum_r, sum_rr, xtx, sx, xr):
    """Like ``screen_scores``, but each candidate's part outside the span of the columns.

    ``sb``: (m, p) sums of each candidate times each column; ``xtx``, ``sx``,
    ``xr``: the columns' cross-products, sums and sums with the residual.  A
    candidate that mostly repeats the columns (a triple product next to the
    pair products it extends) is scored by what it adds, not by what it
    shares with them.
    """
    with np.errstate(all="ignore"):
        mean = s1 / n
        var = s2 / n - mean ** 2
        constant = ~(var > CONSTANT_RTOL * (s2 / n)) | ~np.isfinite(var)
        mx = sx / n
        sbb = xtx / n - np.outer(mx, mx)
        d = np.sqrt(np.maximum(np.diag(sbb), 0))
        live = d > 0
        d = np.where(live, d, 1.0)
        inv = np.linalg.pinv(sbb / np.outer(d, d), rcond=1e-10, hermitian=True)
        inv[~live, :] = 0.0
        inv[:, ~live] = 0.0
        rmean = sum_r / n
        cov_cb = (sb / n - mean[:, None] * mx[None, :]) / d[None, :]
        cov_br = (xr / n - mx[:, None] * rmean[None, :]) / d[:, None]
        a = cov_cb @ inv
        var_perp = var - np.einsum("ij,ij->i", a, cov_cb)
        cov = sr / n - mean[:, None] * rmean[None, :] - a @ cov_br
        rvar = sum_rr / n - rmean ** 2 - np.einsum("ij,ij->j", cov_br, inv @ cov_br)
        corr2 = cov ** 2 / (var_perp[:, None] * rvar[None, :])
        nil = ~(var_perp > NIL_SPREAD * var)
        score = np.nanmean(np.where(np.isfinite(corr2), corr2, np.nan), axis=1) if corr2.shape[1] else np.zeros(len(s1))
    score = np.where(constant | nil | ~np.isfinite(score), 0.0, np.clip(score, 0.0, 1.0))
    return score, constant


def correlations(stats):
    """(corr, constant) of the columns after the leading constant column of ``stats``."""
    return correlations_of(stats.total)


def correlations_of(g):
    """(corr, constant) from one gram of ``[1, columns]``."""
    n = float(g[0, 0])
    s = g[0, 1:] / n
    cov = g[1:, 1:] / n - np.outer(s, s)
    msq = np.diag(g)[1:] / n
    var = np.diag(cov).copy()
    constant = ~(var > CONSTANT_RTOL * (msq + 1e-300)) | ~np.isfinite(var)
    sd = np.sqrt(np.where(constant, 1.0, var))
    with np.errstate(all="ignore"):
        corr = cov / np.outer(sd, sd)
    corr[constant, :] = 0.0
    corr[:, constant] = 0.0
    corr[~np.isfinite(corr)] = 0.0
    np.fill_diagonal(corr, np.where(constant, 0.0, 1.0))
    return corr, constant


def partial_gains(corr, basis, cands, targets):
    """Added value of each candidate on top of the columns ``basis``.

    For each candidate ``c``: the squared partial correlation of ``c`` with the
    target columns given ``basis`` (mean over the targets), i.e. the share of
    what ``basis`` leaves unexplained that ``c`` explains.  Returns
    ``(gains, spread)``, where ``spread`` is the share of the candidate's own
    variance outside the span of ``basis`` (about 0 for a linear combination).
    """
    cands = np.asarray(cands, dtype=np.intp)
    targets = np.asarray(targets, dtype=np.intp)
    basis = np.asarray(basis, dtype=np.intp)
    if len(basis):
        sbb = corr[np.ix_(basis, basis)]
        inv = np.linalg.pinv(sbb, rcond=1e-10, hermitian=True)
        scb = corr[np.ix_(cands, basis)]
        stb = corr[np.ix_(targets, basis)]
        proj = scb @ inv
        spread = 1.0 - np.einsum("ij,ij->i", proj, scb)
        cov = corr[np.ix_(cands, targets)] - proj @ stb.T
        tvar = 1.0 - np.einsum("ij,ij->i", stb @ inv, stb)
    else:
        spread = np.ones(len(cands))
        cov = corr[np.ix_(cands, targets)]
        tvar = np.ones(len(targets))
    with np.errstate(all="ignore"):
        g = cov ** 2 / (np.maximum(spread, 1e-300)[:, None] * np.maximum(tvar, 1e-300)[None, :])
    g = np.where(np.isfinite(g), np.minimum(g, 1.0), 0.0)
    gains = g.mean(axis=1) if g.shape[1] else np.zeros(len(cands))
    gains[spread < NIL_SPREAD] = 0.0
    return gains, spread


def forward_path(corr, constant, basis, cands, targets, steps):
    """Greedy order of the candidates by added value: at most ``steps`` positions into ``cands``.

    Each step takes the candidate that adds the most on top of ``basis`` and
    the candidates taken before (``partial_gains``).  A candidate is passed
    over only when it is constant or adds nothing: when its part outside the
    span of what is already there is numerically nil.  How correlated it is
    with a column does not matter: a product of a centred column with a
    low-spread positive factor correlates highly with that column and may
    still carry all of the signal.  Returns ``(path, gains)``.
    """
    basis = list(basis)
    remaining = [i for i, c in enumerate(cands) if not constant[c]]
    path, gains = [], []
    while remaining and len(path) < steps:
        g, spread = partial_gains(corr, basis, [cands[i] for i in remaining], targets)
        # Equal gains (min and max of a pair hold the same new information) go to the earlier candidate,
        # however the rows were split when the sums were formed.
        pos = int(np.argmax(np.round(g, 10))) if len(g) else 0
        if not len(g) or g[pos] <= 0:
            break
        picked = remaining[pos]
        # Candidates left without new information (repeats of the one taken now) leave the race.
        _, after = partial_gains(corr, basis + [cands[picked]], [cands[i] for i in remaining], targets)
        remaining = [i for i, s in zip(remaining, after) if i != picked and s >= NIL_SPREAD]
        path.append(picked)
        gains.append(float(g[pos]))
        basis.append(cands[picked])
    return path, gains


def forward_select(stats, corr, constant, basis, cands, targets, keep, min_improvement=1e-3):
    """Greedy keep by added value, as many steps as cross-validation supports.

    The greedy order (``forward_path``) is run on the statistics of all row
    folds but one, and the held-out error of the linear model on the inputs
    plus the first ``k`` features is measured on the remaining fold, for
    every ``k`` up to ``keep`` and every fold.  The number of features kept is
    the smallest ``k`` whose held-out error is not clearly worse than the
    lowest (the summed difference within one standard error over the folds,
    or within ``min_improvement`` of it); the features are then the first
    ``k`` of the greedy order on all rows.  Ranking and evaluating on
    different rows is what keeps a candidate that only fits noise, or only a
    handful of rows, from looking useful.

    Returns ``(kept, gains)``: positions into ``cands`` and each one's added value.
    """
    gz = standardized_folds(stats)
    folds = stats.gram.shape[0]
    total = stats.gram.sum(axis=0)
    zcol = lambda cols: [c + 1 for c in cols]  # noqa: E731 -- positions in gz (0 is the constant)
    per_fold = []
    for f in range(folds):
        if stats.gram[f][0, 0] < 1 or total[0, 0] - stats.gram[f][0, 0] < len(basis) + 3:
            continue
        corr_f, constant_f = correlations_of(total - stats.gram[f])
        path, _ = forward_path(corr_f, constant_f, basis, cands, targets, keep)
        errs = [fold_error(gz, f, zcol(list(basis) + [cands[i] for i in path[:k]]), zcol(targets))
                for k in range(len(path) + 1)]
        per_fold.append(errs + [errs[-1]] * (keep + 1 - len(errs)))
    if len(per_fold) < 2:
        return [], []
    per_fold = np.asarray(per_fold)
    best = int(np.argmin(per_fold.sum(axis=0)))
    # The fewest features whose held-out error is not clearly worse than the best: the summed
    # difference to the best within one standard error of that sum over the folds.
    diff = per_fold - per_fold[:, best:best + 1]
    se = np.sqrt(len(per_fold)) * diff.std(axis=0, ddof=1)
    k = int(np.flatnonzero(diff.sum(axis=0) <= np.maximum(se, abs(per_fold[:, best].sum()) * min_improvement))[0])
    return forward_path(corr, constant, basis, cands, targets, k)
