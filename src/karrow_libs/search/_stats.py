"""Sufficient statistics and the arithmetic of "added value".

Everything the search decides is computed from sums over rows: the sums,
sums of squares and cross-products of candidate columns, input columns and
the residual of a model on the input columns.  Sums over row chunks (or over
the partitions of a Dask frame) add up to the sums over all rows, so the same
numbers come out whichever way the rows are walked.
"""

import numpy as np

__all__ = ["Residual", "GramStats", "screen_scores", "forward_select", "correlations"]

#: A column whose variance is below this share of its mean square is constant.
CONSTANT_RTOL = 1e-10


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
        import warnings

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
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", ConvergenceWarning)
                self.model_ = LogisticRegression(max_iter=300, random_state=seed).fit((values - mean) / sd, y)
        self.n_outputs_ = 1 if len(self.classes_) == 2 else len(self.classes_)
        return self

    def residuals(self, values, y):
        """(rows, n_outputs_) residuals for the rows ``values`` with targets ``y``."""
        if self.task == "regression":
            pred = self.intercept_ + ((values - self.mean_) / self.scale_) @ self.coef_
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


def cv_error(gz, cols, targets, ridge=1e-6):
    """Held-out squared error of a linear model of ``targets`` on ``cols`` (+ intercept), over the row folds.

    Indices are positions in the standardised grams ``gz`` (0 is the constant).
    Each fold's model is fitted on the other folds' sums and evaluated on its own.
    """
    s = np.concatenate([[0], np.asarray(cols, dtype=np.intp)])
    t = np.asarray(targets, dtype=np.intp)
    total = gz.sum(axis=0)
    sse = 0.0
    for f in range(gz.shape[0]):
        tr = total - gz[f]
        n_tr = tr[0, 0]
        if n_tr <= 0 or gz[f][0, 0] <= 0:
            continue
        a = tr[np.ix_(s, s)].copy()
        a[np.arange(1, len(s)), np.arange(1, len(s))] += ridge * n_tr
        b = tr[np.ix_(s, t)]
        try:
            beta = np.linalg.solve(a, b)
        except np.linalg.LinAlgError:
            beta = np.linalg.lstsq(a, b, rcond=None)[0]
        gf = gz[f]
        sse += (np.trace(gf[np.ix_(t, t)]) - 2.0 * np.sum(beta * gf[np.ix_(s, t)])
                + np.sum(beta * (gf[np.ix_(s, s)] @ beta)))
    return float(sse)


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


def correlations(stats):
    """(corr, constant) of the columns after the leading constant column of ``stats``."""
    g = stats.total
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
    gains[spread < 1e-6] = 0.0
    return gains, spread


def forward_select(stats, corr, constant, basis, cands, targets, keep, n_considered, copy_threshold=0.95,
                   tries=5, alpha=0.05, min_improvement=1e-3):
    """Greedy keep by added value, skipping constants and near copies, stopped by cross-validation.

    ``basis``: the columns already in the model (inputs); ``cands``: the
    shortlist.  Each step ranks the remaining candidates by what they add on
    top of the basis and the features kept so far (``partial_gains``); a
    candidate correlated at ``|r| >= copy_threshold`` with a basis column or
    a kept feature is a near copy and dropped.  A candidate must be
    significant: its partial F-test's p-value below ``alpha`` divided by the
    number of candidates considered (a Bonferroni bound: the best of many
    useless candidates always looks somewhat good).  Of the ``tries`` best
    significant ones, the one whose linear model has the lowest held-out
    error over the row folds of ``stats`` is kept, provided it lowers that
    error by ``min_improvement`` (relative); otherwise the search stops.  A
    candidate that helps only through a handful of rows does not lower the
    held-out error.

    Returns ``(kept, gains, n_constant, copies)``: ``kept`` and ``copies`` are
    positions into ``cands``.
    """
    from scipy.stats import f as f_dist

    cands = list(cands)
    basis = list(basis)
    gz = standardized_folds(stats)
    zcol = lambda cols: [c + 1 for c in cols]  # noqa: E731 -- positions in gz (0 is the constant)
    current = cv_error(gz, zcol(basis), zcol(targets))
    remaining = [i for i, c in enumerate(cands) if not constant[c]]
    n_constant = len(cands) - len(remaining)
    kept, gains, copies = [], [], []
    n_rows = float(stats.n)
    threshold = alpha / max(int(n_considered), 1)
    while remaining and len(kept) < keep:
        g, _ = partial_gains(corr, basis, [cands[i] for i in remaining], targets)
        order = np.argsort(-g, kind="stable")
        tried = []
        dropped = []
        for pos in order:
            if g[pos] <= 0 or len(tried) >= tries:
                break
            i = remaining[pos]
            c = cands[i]
            if basis and np.max(np.abs(corr[c, basis])) >= copy_threshold:
                dropped.append(i)
                copies.append(i)
                continue
            gain = float(g[pos])
            df2 = n_rows - len(basis) - 2
            if df2 < 1 or f_dist.sf(gain * df2 / max(1.0 - gain, 1e-300), 1, df2) >= threshold:
                break
            tried.append((cv_error(gz, zcol(basis + [c]), zcol(targets)), i, gain))
        remaining = [i for i in remaining if i not in dropped]
        if not tried:
            break
        err, i, gain = min(tried, key=lambda e: e[0])
        if not err < current * (1.0 - min_improvement):
            break
        current = err
        kept.append(i)
        gains.append(gain)
        basis.append(cands[i])
        remaining.remove(i)
    return kept, gains, n_constant, copies
