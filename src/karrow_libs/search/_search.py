"""FeatureSearch: every candidate of the catalogue transforms, scored by what it adds."""

import contextlib
import numbers

import numpy as np
from sklearn.base import BaseEstimator, TransformerMixin

from karrow_libs.table import DataError, Table, as_table, module_output, quiet_warnings, seeded_names

from ._sources import GramBank, GramSource, candidates_of, make_source, module_columns, restrict
from ._stats import FOLDS, GramStats, Residual, correlations, forward_select, partial_gains, row_folds, screen_scores

__all__ = ["FeatureSearch", "ShortlistScorer"]

MIB = 1 << 20
#: Near copies: a candidate correlated at least this much with a column already there adds nothing.
COPY_THRESHOLD = 0.95
#: Rows of the random-forest fit behind ``selector="fs2"``.
FOREST_ROWS = 2000
#: Outlier guard of the kept columns: quantiles of the training values and how far past them a value may lie.
CLIP_QUANTILE = 0.001


def _tu():
    from karrow_libs.vantor.transforms import transform_utils

    return transform_utils


def _sample(y, size, rng, stratify):
    """``size`` sorted row indices of ``range(len(y))``, stratified by ``y`` when asked."""
    n = len(y)
    if size >= n:
        return np.arange(n)
    if not stratify:
        return np.sort(rng.choice(n, size, replace=False))
    classes, inverse = np.unique(y, return_inverse=True)
    counts = np.bincount(inverse)
    share = np.maximum(1, np.floor(counts * size / n).astype(np.intp))
    share = np.minimum(share, counts)
    picked = []
    for c in range(len(classes)):
        rows = np.flatnonzero(inverse == c)
        picked.append(rng.choice(rows, share[c], replace=False))
    return np.sort(np.concatenate(picked))


def _chunks(rows, n, size):
    """Row selections of at most ``size`` rows: slices of ``range(n)`` or pieces of the index array ``rows``."""
    size = max(1, int(size))
    if rows is None:
        for lo in range(0, n, size):
            yield slice(lo, min(lo + size, n))
    else:
        for lo in range(0, len(rows), size):
            yield rows[lo:lo + size]


class _Features:
    """Columns computed by restricted module transforms, in a chosen order, optionally clipped."""

    def __init__(self, groups, order, lo=None, hi=None):
        self.groups = groups  # [(fitted transform restricted to its candidates, output columns to take)]
        self.order = order
        self.lo = lo
        self.hi = hi

    @property
    def width(self):
        return len(self.order)

    def columns(self, values):
        if not self.groups:
            return np.empty((values.shape[0], 0))
        block = np.concatenate([module_columns(t, values)[:, sel] for t, sel in self.groups], axis=1)
        block = block[:, self.order]
        if self.lo is not None:
            np.clip(block, self.lo, self.hi, out=block)
        return block


def _apply_rounds(rounds, values):
    """The input columns followed by the kept columns of each round."""
    for feats in rounds:
        if feats.width:
            values = np.concatenate([values, feats.columns(values)], axis=1)
    return values


def _features_for(sources, picks):
    """``_Features`` computing the units ``picks`` ([(source, unit)]) in that order."""
    by_source = {}
    for pos, (s, u) in enumerate(picks):
        by_source.setdefault(s, []).append((pos, u))
    groups, positions = [], []
    for s, items in by_source.items():
        src = sources[s]
        cand, out = src.unit_candidates([u for _, u in items])
        ucands = sorted(set(int(c) for c in cand))
        t = src.t if src.cands == [None] else restrict(src.t, ucands)
        counts = src.counts[ucands]
        offsets = dict(zip(ucands, np.concatenate([[0], np.cumsum(counts)[:-1]])))
        groups.append((t, np.asarray([offsets[int(c)] + int(o) for c, o in zip(cand, out)], dtype=np.intp)))
        positions.extend(pos for pos, _ in items)
    order = np.argsort(np.asarray(positions, dtype=np.intp), kind="stable")
    return _Features(groups, order)


class ShortlistScorer:
    """Exact statistics of a round's shortlist over any rows of the input table.

    ``partial(X_part, y_part)`` takes a prepared *input* table of some rows
    (the columns the search was fitted on), extends it with the features kept
    by the earlier rounds, computes the shortlisted candidates with the
    module's transforms and the residual of the round's model, and returns a
    ``GramStats`` over those rows.  ``GramStats`` add up, so the sum over
    partitions equals ``partial`` on all the rows at once.  The object is
    picklable (it holds fitted transforms and a small model), so a Dask
    worker can run it.
    """

    def __init__(self, rounds, residual, features, n_inputs, block_bytes):
        self.rounds = rounds
        self.residual = residual
        self.features = features
        self.n_inputs = n_inputs
        self.block_bytes = block_bytes

    def partial(self, X_part, y_part):
        values = X_part.values if isinstance(X_part, Table) else np.asarray(X_part, dtype=np.float64)
        if values.ndim != 2 or values.shape[1] != self.n_inputs:
            raise ValueError("expected a table of " + str(self.n_inputs) + " input columns, got shape "
                             + str(values.shape))
        y_part = np.asarray(y_part)
        width = 1 + self.n_inputs + sum(f.width for f in self.rounds) + self.features.width + self.residual.n_outputs_
        gram = np.zeros((FOLDS, width, width))
        rows = max(64, self.block_bytes // (8 * width * 3))
        for sl in _chunks(None, values.shape[0], rows):
            folds = row_folds(values[sl])
            xc = _apply_rounds(self.rounds, values[sl])
            m = np.concatenate([np.ones((xc.shape[0], 1)), xc, self.features.columns(xc),
                                self.residual.residuals(xc, y_part[sl])], axis=1)
            for f in range(FOLDS):
                mf = m[folds == f]
                gram[f] += mf.T @ mf
        return GramStats(gram, values.shape[0])


class _Importances:
    """An already fitted scorer for ``FS2``: its ``fit`` only hands back the importances it holds."""

    def __init__(self, importances):
        self.feature_importances_ = importances

    def fit(self, X, y=None):
        return self


class FeatureSearch(BaseEstimator, TransformerMixin):
    """Find the derived columns that add the most to a table's own columns.

    Every candidate of every transform in ``transforms`` (catalogue names of
    ``TransformBase.GetTransformObj``) is scored; the best ones are kept and
    appended to the table by the module's own transform objects, restricted to
    the chosen candidates, so the new columns carry the module's names and
    lineage.

    **Scoring** (``selector="gain"``).  A linear model is fitted on the table's
    columns: ridge regression for ``task="regression"``, logistic regression
    for classification.  A candidate scores by the share of that model's
    residual it explains on top of the table's columns (its squared partial
    correlation with the residual; for classification the mean over the
    per-class residuals ``onehot(y) - p``).  A sum or difference of existing
    columns lies in their span and scores 0.  Features are kept greedily: each
    step takes the candidate that adds most on top of the columns and of the
    features kept so far, skipping constants and near copies (``|corr| >=
    0.95`` with a column or a kept feature).  How many to keep (at most
    ``keep``) is chosen by cross-validation over five row folds: the greedy
    order is found on four folds and the linear model with the first ``k``
    features is scored on the fifth.  ``selector="fs1"`` / ``"fs2"``
    instead hand the shortlist (less constants and near copies) to the
    module's ``FS1`` (F-test) / ``FS2`` (random-forest importances, one forest
    of 50 trees and ``n_jobs`` workers on at most 2 000 rows).

    **Walking the candidates.**  Candidates are scored from sums over row
    chunks, never all at once: products, sums, differences and ratios of
    column pairs from a few matrix products over the columns, minima and
    maxima of pairs by a fused kernel (one pass per pair, no candidate column,
    ``n_jobs`` threads), other element-wise transforms block by block,
    estimator transforms (``TB1``, ``TGen``, ``TAM``) through their fitted
    objects, block by block.  Every block stays
    within ``block_mib`` MiB, so fit needs the input, that budget and the kept
    columns.  ``max_per_transform`` (0: all) caps the candidates per transform
    through the transform graph's reproducible sample.

    **Large tables.**  Above ``sample_threshold`` rows the candidates are
    screened on a reproducible row sample (seeded by ``seed``, stratified by
    class for classification); the best ``shortlist`` are then scored exactly
    on all rows from additive statistics (``ShortlistScorer``; pass
    ``rescore`` to ``fit`` to compute them elsewhere, e.g. over Dask
    partitions), and the selection runs on those exact numbers.

    **Depth.**  Round ``r + 1`` combines the features kept by round ``r`` with
    each other and with the input columns (a beam of ``keep`` features).

    **Outliers.**  A kept derived column is clipped, at fit and at transform
    time alike, to ``[q_lo - w, q_hi + w]``, where ``q_lo``/``q_hi`` are its
    0.1 % / 99.9 % quantiles on the training rows and ``w = q_hi - q_lo``: a
    product of two columns cannot amplify one wrong cell of new data (or of
    the training rows) into an extreme value that the model then extrapolates.

    **Reproducibility.**  The same data and ``seed`` give the same features and
    names: the shared ``random`` generator, from which the module draws the
    digit suffixes of colliding names, is seeded with ``seed`` for the
    duration of ``fit`` and ``transform`` and then restored.  A one-hot
    encoding built by the search maps categories unseen at fit to no level
    (all zeros) instead of failing.

    Parameters
    ----------
    transforms : tuple of str
    task : {"regression", "classification"}
    selector : {"gain", "fs1", "fs2"}
    keep : int
        Derived features to keep per round (at most; 0: up to the whole
        shortlist as cross-validation allows for "gain", the selectors'
        above-the-mean rule for "fs1"/"fs2").
    depth : int
        Rounds.
    max_per_transform : int
        0 for every candidate, else a reproducible sample of that many per transform.
    block_mib : float
        Memory budget of one block of candidate columns, MiB.
    sample_threshold : int
        Above this many rows, screen on a sample of this many rows.
    shortlist : int
        Candidates rescored exactly on all rows.
    seed : int
    n_jobs : int
        Workers of the random forest of ``selector="fs2"``, threads of the
        fused min/max kernel, and BLAS threads of the matrix products.

    Attributes
    ----------
    kept_ : list of dict
        ``{"name", "lineage", "score", "transform", "round"}`` per derived column, in output order.
    candidate_stats_ : list of dict
        ``{"round", "transform", "considered", "constant", "copies", "skipped"}``.
    score_name_, scored_against_ : str
        Header and one-line meaning of the scores.
    n_inputs_ : int
    sampled_rows_ : int or None
        Rows of the screening sample, or None when every row was used.
    """

    def __init__(self, transforms=("sqrt", "log", "square", "product", "sum", "diff", "divide"),
                 task="regression", selector="gain", keep=10, depth=1, max_per_transform=0, block_mib=64,
                 sample_threshold=50_000, shortlist=200, seed=0, n_jobs=1):
        self.transforms = transforms
        self.task = task
        self.selector = selector
        self.keep = keep
        self.depth = depth
        self.max_per_transform = max_per_transform
        self.block_mib = block_mib
        self.sample_threshold = sample_threshold
        self.shortlist = shortlist
        self.seed = seed
        self.n_jobs = n_jobs

    # ------------------------------------------------------------------
    def _check_params(self):
        if isinstance(self.transforms, str):
            raise ValueError("transforms must be a sequence of catalogue names, not a string")
        if self.task not in ("regression", "classification"):
            raise ValueError("task must be 'regression' or 'classification', got " + repr(self.task))
        if self.selector not in ("gain", "fs1", "fs2"):
            raise ValueError("selector must be 'gain', 'fs1' or 'fs2', got " + repr(self.selector))
        for name in ("keep", "max_per_transform", "shortlist", "sample_threshold", "depth", "n_jobs", "seed"):
            v = getattr(self, name)
            if not isinstance(v, numbers.Integral) or isinstance(v, bool) or v < 0:
                raise ValueError(name + " must be a whole number >= 0, got " + repr(v))
        if self.depth < 1 or self.shortlist < 1 or self.sample_threshold < 1:
            raise ValueError("depth, shortlist and sample_threshold must be >= 1")
        if not isinstance(self.block_mib, numbers.Real) or not self.block_mib > 0:
            raise ValueError("block_mib must be a number > 0, got " + repr(self.block_mib))

    def fit(self, X, y, progress=None, rescore=None):
        """Score the candidates of every transform on ``X`` and keep the best; returns ``self``."""
        self._check_params()
        X = as_table(X, "FeatureSearch")
        if y is None:
            raise ValueError("FeatureSearch needs the target y")
        y = np.asarray(y)
        if y.ndim != 1 or len(y) != X.shape[0]:
            raise ValueError("y must be one value per row: " + str(X.shape[0]) + " rows, y of shape " + str(y.shape))
        if X.shape[0] < 3 or X.shape[1] < 1:
            raise DataError("the search needs at least 3 rows and one column, got " + str(X.shape[0]) + " x "
                            + str(X.shape[1]))
        if self.task == "regression":
            y = y.astype(np.float64)
            if not np.all(np.isfinite(y)):
                raise DataError("the target has missing or infinite values")
            self.classes_ = None
        else:
            self.classes_ = np.unique(y)
        values = np.asarray(X.values, dtype=np.float64)
        n, p = values.shape
        budget = int(self.block_mib * MIB)
        step = max(1, budget // (8 * max(n, 1)))
        for lo in range(0, p, step):
            if not np.isfinite(values[:, lo:lo + step]).all():
                raise DataError("the table has missing or infinite values (prepare it first, e.g. with PrepareFrame)")
        rng = np.random.default_rng(self.seed)
        stratify = self.task == "classification"
        screen = None if n <= self.sample_threshold else _sample(y, self.sample_threshold, rng, stratify)
        self.sampled_rows_ = None if screen is None else int(len(screen))
        self.n_inputs_ = X.n_inputs
        self.n_features_in_ = p
        self.rounds_ = []
        self.kept_ = []
        self.candidate_stats_ = []
        names, dtypes, lineage = list(X.names), [np.dtype(d) for d in X.dtypes], list(X.lineage)
        self.score_name_ = {"gain": "gain", "fs1": "F-score", "fs2": "importance"}[self.selector]
        what = ("the residual of a ridge model" if self.task == "regression"
                else "the per-class residuals of a logistic model")
        if self.selector == "gain":
            self.scored_against_ = ("share of " + what + " on the " + str(p) + " original columns that a feature "
                                    "explains on top of them and of the features kept before it")
        elif self.selector == "fs1":
            self.scored_against_ = ("F-test of each shortlisted feature against the target (FS1); the shortlist "
                                    "ranked by added value over " + what + " on the " + str(p) + " original columns")
        else:
            self.scored_against_ = ("random-forest importance (FS2) among the original columns and the shortlist "
                                    "ranked by added value over " + what + " on the " + str(p) + " original columns")
        with seeded_names(self.seed), quiet_warnings(RuntimeWarning), _blas_threads(self.n_jobs):
            for r in range(1, self.depth + 1):
                added = self._round(r, X, values, y, screen, names, dtypes, lineage, budget, rng, progress, rescore)
                if not added:
                    break
        self.names_, self.dtypes_, self.lineage_ = names, dtypes, lineage
        return self

    # ------------------------------------------------------------------
    def _round(self, r, X, values, y, screen, names, dtypes, lineage, budget, rng, progress, rescore):
        from karrow_libs.vantor.transforms.transform_graph import TransformGraph

        tu = _tu()
        n = values.shape[0]
        p_in = values.shape[1]
        P = len(names)
        label = "round " + str(r)
        # Rows on which the transforms are fitted (eligibility, estimators): the
        # screening rows, cut down so that a copy of them fits in the budget.
        base_rows = np.arange(n) if screen is None else screen
        fit_cap = max(1000, budget // (8 * P * 4))
        if len(base_rows) <= fit_cap:
            fit_rows = base_rows
        else:
            fit_rows = base_rows[_sample(y[base_rows], fit_cap, rng, self.task == "classification")]
        xf = _apply_rounds(self.rounds_, values[fit_rows])
        yf = y[fit_rows]
        graph = TransformGraph(max_feature_generate_one_node=self.max_per_transform or None)
        if r > 1:
            fresh = set(range(P - self.rounds_[-1].width, P))
            allowed = set(range(p_in)) | fresh
        # One candidate source per transform, from the module's fitted transform object.
        sources, stats, bank_kinds, gram_specs = [], [], [], []
        probe = xf[: min(len(xf), 5)]
        for name in dict.fromkeys(self.transforms):
            entry = {"round": r, "transform": name, "considered": 0, "constant": 0, "copies": 0, "skipped": None}
            stats.append(entry)
            t = tu.TransformBase.GetTransformObj(name, graph)
            if t is None:
                raise ValueError("unknown transform " + repr(name))
            try:
                with module_output():
                    t.fit(xf, yf, list(names), list(dtypes), list(lineage))
                _unknown_levels_to_zero(t)
                cands = candidates_of(t)
                if r > 1 and cands != [None]:
                    idx = []
                    for i, c in enumerate(cands):
                        args = {int(a) for a in ((c,) if np.isscalar(c) else c)}
                        if args <= allowed and args & fresh:
                            idx.append(i)
                    t = restrict(t, idx)
                    cands = [cands[i] for i in idx]
                if not cands:
                    entry["skipped"] = "no eligible column"
                    continue
                src = make_source(name, t, cands, budget // 2, bank_kinds, probe, max(1, self.n_jobs))
            except (MemoryError, KeyboardInterrupt):
                raise
            except Exception as e:
                entry["skipped"] = type(e).__name__ + ": " + " ".join(str(e).split())[:200]
                continue
            if isinstance(src, tuple):
                gram_specs.append((len(sources), src))
                sources.append(None)
            else:
                if src.n_units == 0:
                    entry["skipped"] = "no output column"
                    continue
                sources.append(src)
            entry["considered"] = len(cands)
            entry["_source"] = len(sources) - 1
        residual = Residual(self.task)
        screen_rows = None if screen is None else screen
        n_screen = n if screen is None else len(screen)
        if self.task == "regression":
            # The ridge model from its sufficient statistics, so the rows are never copied whole.
            xtx, xty, sx, sy = np.zeros((P, P)), np.zeros(P), np.zeros(P), 0.0
            for sl in _chunks(screen_rows, n, max(64, budget // (8 * P * 2))):
                xc = _apply_rounds(self.rounds_, values[sl])
                yc = y[sl]
                xtx += xc.T @ xc
                xty += xc.T @ yc
                sx += xc.sum(axis=0)
                sy += float(yc.sum())
            residual.fit_regression(xtx, xty, sx, sy, n_screen)
        else:
            residual.fit_classification(xf, yf, self.classes_, self.seed)
        k = residual.n_outputs_
        bank = GramBank(P, k, bank_kinds) if bank_kinds else None
        for pos, (_, name, t, cands, kind) in gram_specs:
            sources[pos] = GramSource(name, t, cands, budget, kind, bank)
        for src in sources:
            src.start(k)
        total = sum(e["considered"] for e in stats)
        # One walk over the screening rows: every source adds its sums for the chunk.
        sum_r, sum_rr = np.zeros(k), np.zeros(k)
        done_rows = 0
        chunk = GramBank.rows_per_chunk(P, k, budget // 2)
        for sl in _chunks(screen_rows, n, chunk):
            xc = _apply_rounds(self.rounds_, values[sl])
            rc = residual.residuals(xc, y[sl])
            sum_r += rc.sum(axis=0)
            sum_rr += (rc * rc).sum(axis=0)
            if bank is not None:
                bank.accumulate(xc, rc)
            for src in sources:
                src.accumulate(xc, rc)
            done_rows += xc.shape[0]
            if progress is not None:
                progress(int(total * done_rows / n_screen), total, label + ": scoring candidates")
        # Screening scores, then the shortlist (best first; ties keep the walking order).
        picks, scores = [], []
        for s, src in enumerate(sources):
            s1, s2, sr = src.finish()
            score, constant = screen_scores(n_screen, s1, s2, sr, sum_r, sum_rr)
            for e in stats:
                if e.get("_source") == s:
                    e["constant"] = int(np.count_nonzero(constant))
            live = np.flatnonzero(~constant & (score > 0))
            picks.extend((s, int(u)) for u in live)
            scores.append(score[live])
        for e in stats:
            e.pop("_source", None)
        self.candidate_stats_.extend(stats)
        if not picks:
            return 0
        scores = np.concatenate(scores)
        top = np.argsort(-scores, kind="stable")[: self.shortlist]
        short = [picks[i] for i in top]
        feats = _features_for(sources, short)
        scorer = ShortlistScorer(list(self.rounds_), residual, feats, p_in, budget // 2)
        if progress is not None:
            progress(total, total, label + ": rescoring " + str(len(short)) + " candidates on all rows")
        if rescore is not None:
            gstats = rescore(scorer)
        else:
            gstats = scorer.partial(Table(values, X.names, X.dtypes, X.lineage, X.n_inputs), y)
        corr, constant = correlations(gstats)
        targets = np.arange(P + len(short), P + len(short) + k)
        basis = [i for i in range(P) if not constant[i]]
        cands = list(range(P, P + len(short)))
        keep_limit = self.keep if self.keep > 0 else len(short)
        if progress is not None:
            progress(total, total, label + ": selecting")
        source_entry = {}
        for e in stats:
            source_entry.setdefault(e["transform"], e)
        if self.selector == "gain":
            kept, gains = forward_select(gstats, corr, constant, basis, cands, targets, keep_limit, COPY_THRESHOLD)
        else:
            kept, gains = self._select_with_module(corr, constant, basis, cands, targets, short, sources, xf, yf)
        chosen = [(short[i], g) for i, g in zip(kept, gains)]
        # Copies: shortlisted candidates that nearly repeat an input column or a kept feature.
        final = basis + [cands[i] for i in kept]
        kept_set = set(kept)
        for i, c in enumerate(cands):
            if i not in kept_set and not constant[c] and np.max(np.abs(corr[c, final])) >= COPY_THRESHOLD:
                source_entry[sources[short[i][0]].name]["copies"] += 1
        if not chosen:
            return 0
        kept_feats = _features_for(sources, [c for c, _ in chosen])
        block = kept_feats.columns(xf)
        lo_q, hi_q = np.quantile(block, [CLIP_QUANTILE, 1 - CLIP_QUANTILE], axis=0)
        w = hi_q - lo_q
        span = block.max(axis=0) - block.min(axis=0)
        w = np.where(w > 0, w, span)
        kept_feats.lo, kept_feats.hi = lo_q - w, hi_q + w
        # Names, dtypes and lineage as the module's transforms recorded them.
        group_names, group_dtypes, group_lineage = [], [], []
        for t, sel in kept_feats.groups:
            group_names += [t.new_column_names_[i] for i in sel]
            group_dtypes += [np.dtype(t.new_column_dtypes_[i]) for i in sel]
            group_lineage += [t.new_column_as_json_objects_[i] for i in sel]
        for j, g in enumerate(kept_feats.order):
            (s, _), score = chosen[j]
            name = tu.DataUtils.get_unique_column_name(str(group_names[g]), names)
            names.append(name)
            dtypes.append(np.dtype(np.float64) if group_dtypes[g].kind in "biuf" else group_dtypes[g])
            lineage.append(group_lineage[g])
            self.kept_.append({"name": name, "lineage": group_lineage[g], "score": float(score),
                               "transform": sources[s].name, "round": r})
        self.rounds_.append(kept_feats)
        return kept_feats.width

    def _select_with_module(self, corr, constant, basis, cands, targets, short, sources, xf, yf):
        """Shortlist less constants and near copies, then the module's FS1 / FS2 choose."""
        tu = _tu()
        gains, spread = partial_gains(corr, basis, cands, targets)
        order = np.argsort(-gains, kind="stable")
        accepted = []
        for pos in order:
            c = cands[pos]
            if constant[c] or spread[pos] < 1e-6:
                continue
            others = list(basis) + [cands[a] for a in accepted]
            if others and np.max(np.abs(corr[c, others])) >= COPY_THRESHOLD:
                continue
            accepted.append(int(pos))
        if not accepted:
            return [], []
        p = xf.shape[1]
        feats = _features_for(sources, [short[a] for a in accepted])
        rows = max(200, int(self.block_mib * MIB) // (8 * (p + len(accepted)) * 2))
        rng = np.random.default_rng(self.seed)
        if self.selector == "fs2":
            rows = min(rows, FOREST_ROWS)
        idx = np.arange(len(xf)) if rows >= len(xf) else _sample(yf, rows, rng, self.task == "classification")
        z = np.concatenate([xf[idx], feats.columns(xf[idx])], axis=1)
        yz = yf[idx]
        must = list(range(p))
        if self.selector == "fs1":
            from sklearn.feature_selection import f_classif, f_regression

            with module_output(), quiet_warnings():
                sel = tu.FS1(must, self.keep, self.task).fit(z, yz)
                scores = (f_classif if self.task == "classification" else f_regression)(z, yz)[0]
        else:
            from sklearn.ensemble import RandomForestClassifier, RandomForestRegressor

            forest = RandomForestClassifier if self.task == "classification" else RandomForestRegressor
            model = forest(n_estimators=50, max_features="sqrt", min_samples_leaf=5, n_jobs=self.n_jobs or None,
                           random_state=self.seed).fit(z, yz)
            scores = model.feature_importances_
            with module_output():
                sel = tu.FS2(must, self.keep, self.task, _Importances(scores)).fit(z, yz)
        scores = np.where(np.isfinite(scores), scores, 0.0)
        picked = [int(c) - p for c in sel.cols_to_keep_final_ if int(c) >= p]
        picked.sort(key=lambda a: -scores[p + a])
        return [accepted[a] for a in picked], [float(scores[p + a]) for a in picked]

    # ------------------------------------------------------------------
    def transform(self, X):
        """The input columns followed by the kept derived columns."""
        if not hasattr(self, "rounds_"):
            from sklearn.exceptions import NotFittedError

            raise NotFittedError("this FeatureSearch is not fitted yet; call fit first")
        X = as_table(X, "FeatureSearch")
        if X.shape[1] != self.n_features_in_:
            raise DataError("expected " + str(self.n_features_in_) + " columns, got " + str(X.shape[1]))
        with seeded_names(self.seed), quiet_warnings(RuntimeWarning):
            values = _apply_rounds(self.rounds_, np.asarray(X.values, dtype=np.float64))
        return Table(values, self.names_, self.dtypes_, self.lineage_, X.n_inputs)

    def fit_transform(self, X, y=None, progress=None, rescore=None):
        return self.fit(X, y, progress=progress, rescore=rescore).transform(X)

    def get_feature_names_out(self, input_features=None):
        return np.asarray(self.names_, dtype=object)


@contextlib.contextmanager
def _blas_threads(n_jobs):
    """At most ``n_jobs`` BLAS threads: the search's matrix products are small and many, and on a
    busy machine a BLAS that spins up every core for each of them runs many times slower."""
    from threadpoolctl import threadpool_limits

    with threadpool_limits(limits=max(1, int(n_jobs or 1)), user_api="blas"):
        yield


def _unknown_levels_to_zero(t):
    """One-hot encoders built by the search put categories unseen at fit on no level instead of raising."""
    from sklearn.preprocessing import OneHotEncoder

    for est in getattr(t, "tobjects_", None) or ():
        if isinstance(est, OneHotEncoder):
            est.handle_unknown = "ignore"
