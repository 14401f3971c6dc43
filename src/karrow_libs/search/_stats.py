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


class GramStats:
    """Cross-products of ``[1, inputs, candidates, residuals]`` over some rows.

    ``gram`` is ``M.T @ M`` for the row block ``M``; ``n`` the number of rows.
    Two of them add up to the statistics of both row sets, so ``sum(parts)``
    over partitions equals the statistics of all rows at once.
    """

    __slots__ = ("gram", "n")

    def __init__(self, gram, n):
        self.gram = gram
        self.n = n

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
        return "GramStats(" + str(self.gram.shape[0]) + " columns, " + str(self.n) + " rows)"


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
    g = stats.gram
    n = float(stats.n)
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


def forward_select(corr, constant, basis, cands, targets, keep, n_rows, n_considered,
                   copy_threshold=0.95, alpha=0.05):
    """Greedy keep by added value, skipping constants and near copies.

    ``basis``: the columns already in the model (inputs); ``cands``: the
    shortlist, best first.  Each step takes the candidate that adds the most
    on top of the basis and the features kept so far; a candidate correlated
    at ``|r| >= copy_threshold`` with a basis column or a kept feature is a
    near copy and dropped.  A step stops the search when the best gain is not
    significant: the partial F-test's p-value must be below ``alpha`` divided
    by the number of candidates considered (a Bonferroni bound, since the best
    of many useless candidates always looks somewhat good).

    Returns ``(kept, gains, n_constant, copies)``: ``kept`` and ``copies`` are
    positions into ``cands``.
    """
    from scipy.stats import f as f_dist

    cands = list(cands)
    basis = list(basis)
    remaining = [i for i, c in enumerate(cands) if not constant[c]]
    n_constant = len(cands) - len(remaining)
    kept, gains = [], []
    copies = []
    threshold = alpha / max(int(n_considered), 1)
    while remaining and len(kept) < keep:
        g, _ = partial_gains(corr, basis, [cands[i] for i in remaining], targets)
        order = np.argsort(-g, kind="stable")
        picked = None
        dropped = []
        for pos in order:
            i = remaining[pos]
            if g[pos] <= 0:
                break
            c = cands[i]
            if basis and np.max(np.abs(corr[c, basis])) >= copy_threshold:
                dropped.append(i)
                copies.append(i)
                continue
            df2 = n_rows - len(basis) - 2
            if df2 < 1:
                break
            gain = float(g[pos])
            fstat = gain * df2 / max(1.0 - gain, 1e-300)
            if f_dist.sf(fstat, 1, df2) >= threshold:
                break
            picked = (i, gain)
            break
        remaining = [i for i in remaining if i not in dropped]
        if picked is None:
            break
        i, gain = picked
        kept.append(i)
        gains.append(gain)
        basis.append(cands[i])
        remaining.remove(i)
    return kept, gains, n_constant, copies
