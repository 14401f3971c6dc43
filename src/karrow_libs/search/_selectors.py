"""How a round's exactly scored candidates become kept features: one small class per selector.

Each selector owns its score's label, the sentence that says what the score
measures, and ``select``, which returns positions into the candidates and
their scores.  ``gain`` keeps by added value with a cross-validated count;
``fs1`` / ``fs2`` hand the candidates to the module's ``FS1`` (F-test) and
``FS2`` (random-forest importances).
"""


import numpy as np

from karrow_libs.table import module_output, quiet_warnings

from ._stats import NIL_SPREAD, forward_select, partial_gains

__all__ = ["make_selector", "Gain", "FS1Selector", "FS2Selector"]

#: Rows of the random-forest fit behind ``selector="fs2"``.
FOREST_ROWS = 2000


def _what(task):
    return "the residual of a ridge model" if task == "regression" else "the per-class residuals of a logistic model"


class Gain:
    label = "gain"

    def sentence(self, task, p):
        return ("share of " + _what(task) + " on the " + str(p) + " original columns that a feature explains on "
                "top of them and of the features kept before it")

    def select(self, ctx):
        kept, gains = forward_select(ctx.stats, ctx.corr, ctx.constant, ctx.basis, ctx.cands, ctx.targets, ctx.keep)
        # The pool was screened on every row, held-out folds included, so cross-validation alone cannot
        # tell the best of many noise candidates from a feature: a kept gain must also exceed what the
        # best of the round's candidates reaches by chance.
        short = next((i for i, g in enumerate(gains) if g < ctx.chance), len(gains))
        kept, gains = list(kept[:short]), list(gains[:short])
        if ctx.task == "classification" and kept:
            _confirm_by_refit(ctx, kept, gains)
        return kept, gains


#: A candidate whose added value comes within this share of a kept one's is a close call.
CLOSE_CALL = 0.1
#: At most this many close calls are refitted against a kept candidate.
CLOSE_CALLS = 3
#: Rows of the logistic refits that settle a close call.
REFIT_ROWS = 5000


def _confirm_by_refit(ctx, kept, gains):
    """Settle close calls between kept candidates and their runners-up with refitted logistic models.

    For classes, added value is measured on the residual of the logistic
    model of the columns, a first-order view: of two candidates within
    ``CLOSE_CALL`` of each other (a product and a ratio of the same columns,
    say), the one it ranks first need not be the one a refitted model
    predicts better with.  Each such call is decided by the held-out
    log-loss of the logistic model on the columns, the features kept before
    and the candidate, on three folds of the fit rows.
    """
    for t in range(len(kept)):
        prior = [ctx.cands[k] for k in kept[:t]]
        rest = [c for c in range(len(ctx.cands)) if c not in kept and not ctx.constant[ctx.cands[c]]]
        if not rest:
            return
        together = [kept[t]] + rest
        g, spread = partial_gains(ctx.corr, list(ctx.basis) + prior, [ctx.cands[c] for c in together], ctx.targets)
        close = [together[i] for i in np.argsort(-g[1:], kind="stable")[:CLOSE_CALLS] + 1
                 if g[i] >= (1 - CLOSE_CALL) * g[0] > 0 and spread[i] >= NIL_SPREAD]
        if not close:
            continue
        losses = _refit_losses(ctx, kept[:t], [kept[t]] + close)
        # A runner-up takes the place only if it predicts better on every held-out fold: between two
        # near copies (log x and 1/x, say) the refits differ by noise, and the first-order view stands.
        better = [j for j in range(1, len(losses)) if np.all(losses[j] < losses[0])]
        if better:
            j = min(better, key=lambda j: losses[j].sum())
            kept[t] = close[j - 1]
            gains[t] = float(g[together.index(kept[t])])


def _refit_losses(ctx, prior, options):
    """Held-out log-loss per fold (rows: ``options``) of a logistic model on the columns, ``prior`` and each
    of ``options`` (pool positions)."""
    from sklearn.linear_model import LogisticRegression
    from sklearn.metrics import log_loss
    from sklearn.model_selection import StratifiedKFold

    from karrow_libs.table import quiet_warnings

    xf, yf = ctx.fit_values, ctx.fit_target
    idx = np.arange(len(xf)) if len(xf) <= REFIT_ROWS else ctx.sample(yf, REFIT_ROWS)
    x, y = xf[idx][:, list(ctx.basis)], yf[idx]
    extra = ctx.columns(list(prior) + list(options), xf[idx])
    base = np.concatenate([x, extra[:, : len(prior)]], axis=1)
    _, counts = np.unique(y, return_counts=True)
    folds = min(3, int(counts.min()))
    if folds < 2:
        return np.zeros((len(options), 1))
    split = list(StratifiedKFold(folds, shuffle=True, random_state=ctx.seed).split(base, y))
    losses = []
    for j in range(len(options)):
        z = np.concatenate([base, extra[:, len(prior) + j: len(prior) + j + 1]], axis=1)
        per_fold = []
        for tr, te in split:
            mean, sd = z[tr].mean(axis=0), z[tr].std(axis=0)
            sd[~(sd > 0)] = 1.0
            with quiet_warnings():
                model = LogisticRegression(max_iter=500).fit((z[tr] - mean) / sd, y[tr])
                per_fold.append(log_loss(y[te], model.predict_proba((z[te] - mean) / sd), labels=model.classes_))
        losses.append(per_fold)
    return np.asarray(losses)


class _ModuleSelector:
    """Candidates less constants and those without new information, then the module's selector chooses."""

    def select(self, ctx):
        gains, spread = partial_gains(ctx.corr, ctx.basis, ctx.cands, ctx.targets)
        accepted = []
        for pos in np.argsort(-gains, kind="stable"):
            c = ctx.cands[pos]
            if ctx.constant[c] or spread[pos] < NIL_SPREAD:
                continue
            if accepted:
                _, s = partial_gains(ctx.corr, list(ctx.basis) + [ctx.cands[a] for a in accepted], [c], ctx.targets)
                if s[0] < NIL_SPREAD:
                    continue
            accepted.append(int(pos))
        if not accepted:
            return [], []
        xf, yf, p = ctx.fit_values, ctx.fit_target, ctx.fit_values.shape[1]
        rows = max(200, ctx.budget // (8 * (p + len(accepted)) * 2))
        if self.row_cap:
            rows = min(rows, self.row_cap)
        idx = np.arange(len(xf)) if rows >= len(xf) else ctx.sample(yf, rows)
        z = np.concatenate([xf[idx], ctx.columns(accepted, xf[idx])], axis=1)
        scores, sel = self._module_choice(ctx, z, yf[idx], list(range(p)))
        scores = np.where(np.isfinite(scores), scores, 0.0)
        picked = [int(c) - p for c in sel.cols_to_keep_final_ if int(c) >= p]
        picked.sort(key=lambda a: -scores[p + a])
        return [accepted[a] for a in picked], [float(scores[p + a]) for a in picked]


class FS1Selector(_ModuleSelector):
    label = "F-score"
    row_cap = None

    def sentence(self, task, p):
        return ("F-test of each shortlisted feature against the target (FS1); the shortlist ranked by added value "
                "over " + _what(task) + " on the " + str(p) + " original columns")

    def _module_choice(self, ctx, z, yz, must):
        from sklearn.feature_selection import f_classif, f_regression

        from ._module import _tu

        with module_output(), quiet_warnings():
            sel = _tu().FS1(must, ctx.keep_option, ctx.task).fit(z, yz)
            scores = (f_classif if ctx.task == "classification" else f_regression)(z, yz)[0]
        return scores, sel


class _Importances:
    """An already fitted scorer for ``FS2``: its ``fit`` only hands back the importances it holds."""

    def __init__(self, importances):
        self.feature_importances_ = importances

    def fit(self, X, y=None):
        return self


class FS2Selector(_ModuleSelector):
    label = "importance"
    row_cap = FOREST_ROWS

    def sentence(self, task, p):
        return ("random-forest importance (FS2) among the original columns and the shortlist ranked by added value "
                "over " + _what(task) + " on the " + str(p) + " original columns")

    def _module_choice(self, ctx, z, yz, must):
        from sklearn.ensemble import RandomForestClassifier, RandomForestRegressor

        from ._module import _tu

        forest = RandomForestClassifier if ctx.task == "classification" else RandomForestRegressor
        model = forest(n_estimators=50, max_features="sqrt", min_samples_leaf=5, n_jobs=ctx.n_jobs or None,
                       random_state=ctx.seed).fit(z, yz)
        scores = model.feature_importances_
        with module_output():
            sel = _tu().FS2(must, ctx.keep_option, ctx.task, _Importances(scores)).fit(z, yz)
        return scores, sel


_SELECTORS = {"gain": Gain, "fs1": FS1Selector, "fs2": FS2Selector}


def make_selector(name):
    return _SELECTORS[name]()
