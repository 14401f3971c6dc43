"""FeatureSearch: every candidate of the catalogue transforms, scored by what it adds.

A round of the search is a sequence of named phases:

1. ``_fit_sources``: one candidate source per transform, fitted on the table;
2. ``_screen``: one walk over the rows scores every candidate against the
   residual of the current model (sums only, never a candidate matrix);
3. ``_admit``: the best new candidates join the round's pool, each with its
   outlier guard, and are scored exactly from the pool's cross-products;
4. ``_pick``: the pool candidate that adds the most joins the model, and
   ``_steps`` repeats 2-4 against the updated residual (so a candidate that
   only matters once another is in is still found);
5. ``_exact_stats``: the pool's statistics on all rows (directly, or through
   the ``rescore`` hook);
6. the selector keeps features and counts them by cross-validation;
7. ``_append``: the kept features, computed, named and traced by the
   module's transforms, join the table for the next round.
"""

import contextlib
import math
import numbers
import time

import numpy as np
from sklearn.base import BaseEstimator, TransformerMixin

from karrow_libs.table import DataError, Table, as_table, quiet_warnings, seeded_names

from . import defaults
from ._module import (catalogue_transform, columns_clear_of_zero, fit_transform_object, kind_of, level_products,
                      module_columns, new_columns_info, reciprocals, restrict, transform_graph, unique_name)
from ._selectors import make_selector
from ._sources import PARTIAL_LIMIT, GramBank, SourceSet, make_source
from ._stats import (FOLDS, NIL_SPREAD, GramStats, Residual, correlations, fold_error, partial_gains,
                     partial_screen_scores, row_folds, screen_scores, standardized_folds)

__all__ = ["FeatureSearch", "ShortlistScorer"]

MIB = 1 << 20
#: Outlier guard of the kept columns: quantiles of the training values and how far past them a value may lie.
CLIP_QUANTILE = 0.001
#: Steps of a round when ``keep=0`` leaves the count open.
MAX_STEPS = 20
#: Smallest number of candidates a step adds to the pool.
MIN_PER_STEP = 8
#: Most unary operand columns a second round adds (their pairs grow with the square).
OPERAND_LIMIT = 60
#: Pair functions whose input pairs can be operands of a second round, most of them it adds, the widest
#: table whose pairs are weighed (their composites grow with the cube), and the rows they are weighed on.
PAIR_OPERAND_FUNCTIONS = (np.add, np.subtract)
PAIR_OPERANDS = 16
PAIR_OPERAND_WIDTH = 48
OPERAND_SCREEN_ROWS = 4000
#: How ``candidate_stats_`` names the input pair sums and differences weighed as operands.
PAIR_OPERAND_FAMILY = "pair operands"


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


def chance_floor(sources, n_rows, weighed=0):
    """The gain the best of all the sources' candidates reaches on noise alone: ``2 ln(m) / n_rows`` for
    ``m`` candidates (and the ``weighed`` ones that picked some of them).  A kept feature must add more."""
    return 2 * math.log(max(sum(s.n_units for s in sources) + weighed, 2)) / max(n_rows, 1)


def _one_order(cands, p_in, xf, fun):
    """``(a, b, position)`` of one candidate per unordered pair of input columns.

    A sum's two orders are one column and a difference's are one up to its
    sign; of a difference, the order with the positive mean stays, so a
    difference that keeps its sign can be a denominator or a reciprocal.
    """
    by_pair = {}
    for pos, c in enumerate(cands):
        if c is None or np.isscalar(c) or len(c) != 2:
            continue
        a, b = int(c[0]), int(c[1])
        if a != b and a < p_in and b < p_in:
            by_pair.setdefault((min(a, b), max(a, b)), []).append((a, b, pos))
    out = []
    for (a, b), orders in by_pair.items():
        pick = orders[0]
        if fun is np.subtract and len(orders) > 1 and float(np.mean(xf[:, a] - xf[:, b])) < 0:
            pick = next((o for o in orders if o[0] == b), pick)
        elif fun is np.subtract and len(orders) > 1:
            pick = next((o for o in orders if o[0] == a), pick)
        out.append(pick)
    return out


def composite_scores(x, resid, a, b, sign, budget):
    """For each pair operand ``x_a + sign * x_b``: the best screening score of its products and (where it
    is clear of 0) its reciprocal's products with the constant and every column of ``x``.

    A composite scores by the share of the residual ``r`` (mean over its columns) that its part outside
    the span of the constant and the columns explains: a ratio of a centred column to a positive sum
    mostly repeats the column and the features already kept, and only what it adds counts.
    """
    n, k = resid.shape
    base = np.column_stack([np.ones(n), x])
    q, upper = np.linalg.qr(base)
    # Columns that repeat earlier ones add no direction to the span.
    q = q[:, np.abs(np.diag(upper)) > 1e-9 * np.sqrt(n)]
    resid = resid - q @ (q.T @ resid)
    var_r = np.einsum("ij,ij->j", resid, resid)
    best = np.zeros(len(a))
    if not np.all(var_r > 0):
        return best
    width = max(1, budget // (8 * n * 6))
    for lo in range(0, len(a), width):
        sl = slice(lo, min(lo + width, len(a)))
        s = x[:, a[sl]] + sign[sl] * x[:, b[sl]]
        with np.errstate(all="ignore"):
            w = np.where(columns_clear_of_zero(s)[None, :], 1.0 / s, 0.0)
        for ops in (s, w):
            for col in range(base.shape[1]):
                c = ops * base[:, col:col + 1]
                g = q.T @ c
                total = np.einsum("ij,ij->j", c, c)
                part = total - np.einsum("ij,ij->j", g, g)
                cov = resid.T @ c
                with np.errstate(all="ignore"):
                    score = (cov ** 2 / (part[None, :] * var_r[:, None])).mean(axis=0)
                valid = (part > NIL_SPREAD * total) & np.isfinite(score)
                best[sl] = np.maximum(best[sl], np.where(valid, np.minimum(score, 1.0), 0.0))
    return best


class _Features:
    """Columns computed by restricted module transforms, in a chosen order, each clipped to its own bounds
    (``-inf``/``inf`` for a column delivered as computed)."""

    def __init__(self, groups, order, lo=None, hi=None):
        self.groups = groups  # [(fitted transform restricted to its candidates, output columns to take)]
        self.order = order
        self.lo = lo
        self.hi = hi
        self.operands = None  # columns the transforms read besides the table's, never delivered themselves

    @property
    def width(self):
        return len(self.order)

    def columns(self, values):
        if not self.groups:
            return np.empty((values.shape[0], 0))
        if self.operands is not None:
            values = np.concatenate([values, self.operands.columns(values)], axis=1)
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


def append_kept(search, X, rounds):
    """The fitted ``search``'s output for the table ``X``: its columns, then the kept ones ``rounds`` compute."""
    label = type(search).__name__
    if not hasattr(search, "names_"):
        from sklearn.exceptions import NotFittedError

        raise NotFittedError("this " + label + " is not fitted yet; call fit first")
    X = as_table(X, label)
    if X.shape[1] != search.n_features_in_:
        raise DataError("expected " + str(search.n_features_in_) + " columns, got " + str(X.shape[1]))
    with seeded_names(search.seed), quiet_warnings(RuntimeWarning):
        values = _apply_rounds(rounds, np.asarray(X.values, dtype=np.float64))
    return Table(values, search.names_, search.dtypes_, search.lineage_, X.n_inputs)


def _features_for(sources, picks, lo=None, hi=None):
    """``_Features`` computing the units ``picks`` ([(source, unit)]) in that order, clipped to ``lo``/``hi``."""
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
    if lo is not None:
        lo, hi = np.asarray(lo, dtype=np.float64), np.asarray(hi, dtype=np.float64)
    return _Features(groups, order, lo, hi)


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

    def partial(self, X_part, y_part, rows=None, known=None):
        """``GramStats`` over the rows of ``X_part`` (or only its row indices ``rows``, read chunk by chunk).

        ``known``: the statistics of these same rows for all but the last
        features (a shortlist that has grown since); only the new features'
        cross-products are then computed, and the result is the same.
        """
        values = X_part.values if isinstance(X_part, Table) else np.asarray(X_part, dtype=np.float64)
        if values.ndim != 2 or values.shape[1] != self.n_inputs:
            raise ValueError("expected a table of " + str(self.n_inputs) + " input columns, got shape "
                             + str(values.shape))
        y_part = np.asarray(y_part)
        k = self.residual.n_outputs_
        width = 1 + self.n_inputs + sum(f.width for f in self.rounds) + self.features.width + k
        new = width - known.gram.shape[1] if known is not None else width
        if known is not None and not 0 <= new <= self.features.width:
            raise ValueError("the known statistics do not lead these features")
        old = width - new - k  # leading columns (the constant, inputs, old features) the known statistics hold
        gram = np.zeros((FOLDS, width, width))
        # The joined block and its per-fold pieces are the chunk's copies.
        size = max(64, self.block_bytes // (8 * width * 6))
        for sl in _chunks(rows, values.shape[0], size):
            part = values[sl]
            folds = row_folds(part)
            # The chunk's rows taken fold by fold, so that each fold's rows are one slice of the block.
            order = np.argsort(folds, kind="stable")
            counts = np.bincount(folds, minlength=FOLDS)
            ends = np.cumsum(counts)
            xc = _apply_rounds(self.rounds, part[order])
            m = np.concatenate([np.ones((xc.shape[0], 1)), xc, self.features.columns(xc),
                                self.residual.residuals(xc, y_part[sl][order])], axis=1)
            for f in range(FOLDS):
                mf = m[ends[f] - counts[f]:ends[f]]
                if known is None:
                    gram[f] += mf.T @ mf
                else:
                    gram[f][:, old:old + new] += mf.T @ mf[:, old:old + new]
        if known is not None:
            # The old block moves around the new features' rows and columns, which are filled above.
            keep = np.r_[0:old, old + new:width]
            gram[:, old:old + new, :] = np.swapaxes(gram[:, :, old:old + new], 1, 2)
            gram[np.ix_(range(FOLDS), keep, keep)] = known.gram
        return GramStats(gram, values.shape[0] if rows is None else len(rows))


class _Extended:
    """The residual of a model on the table's columns and some derived features ``extra``.

    ``residuals(xc, y)`` takes the table's columns only and computes ``extra``
    itself, so a walk over the rows never holds more than one chunk of them.
    """

    def __init__(self, base, extra):
        self.base = base
        self.extra = extra

    @property
    def n_outputs_(self):
        return self.base.n_outputs_

    def residuals(self, values, y):
        if self.extra is not None and self.extra.width:
            values = np.concatenate([values, self.extra.columns(values)], axis=1)
        return self.base.residuals(values, y)


def _guard_bounds(block, within_range=False):
    """Per column ``[q_lo - w, q_hi + w]``: quantiles ``q`` of the training values, ``w = q_hi - q_lo``;
    with ``within_range``, also within the training values' own range.

    The training values are clipped only at the fence.  A feature fitted on
    every training row also never goes past what those rows held on new
    rows, so a square or a product is not extrapolated to values its weight
    was never fitted on (one long career squared can otherwise carry most
    of a fold's error).  A row sample's range would clip the other training
    rows, so it is not used as a bound.
    """
    # A few columns at a time: the quantiles sort a copy of what they are given.
    q = [np.quantile(block[:, lo:lo + 8], [CLIP_QUANTILE, 1 - CLIP_QUANTILE], axis=0)
         for lo in range(0, block.shape[1], 8)]
    lo_q, hi_q = np.concatenate(q, axis=1) if q else np.empty((2, 0))
    w = hi_q - lo_q
    low, high = block.min(axis=0), block.max(axis=0)
    w = np.where(w > 0, w, high - low)
    if not within_range:
        return lo_q - w, hi_q + w
    return np.maximum(lo_q - w, low), np.minimum(hi_q + w, high)


class _Context:
    """What a selector needs from a round: exact statistics, the candidates and the fit rows."""

    def __init__(self, **kwargs):
        self.__dict__.update(kwargs)


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
    columns lies in their span and scores 0.

    **Steps.**  One walk over the rows screens every candidate against the
    residual; the best new ones join the round's pool and are scored exactly;
    the one that adds most joins the model, and the screen runs again against
    the updated residual.  So a candidate that only stands out once another
    feature is in (a weak ratio behind a strong product) is still found.  A
    candidate is passed over only when it brings no new information: its part
    outside the span of the columns and the features taken before is
    numerically nil (it may still be highly correlated with a column).

    **Counting** (``gain``).  How many pool candidates to keep (at most
    ``keep``) is chosen by cross-validation over five row folds: the greedy
    order is found on four folds and the linear model with the first ``k``
    features is scored on the fifth; the fewest features within one standard
    error of the best held-out error are kept, and only those adding more than
    the best of the round's candidates would on noise.  ``selector="fs1"`` / ``"fs2"``
    instead hand the pool (less constants and candidates without new
    information) to the module's ``FS1`` (F-test) / ``FS2`` (random-forest
    importances, one forest of 50 trees and ``n_jobs`` workers on at most
    2 000 rows).

    **Outliers.**  Screening reads the table's columns and the residual
    winsorised to ``[q_lo - w, q_hi + w]`` (``q`` the 0.1 % / 99.9 %
    quantiles on the fit rows, ``w = q_hi - q_lo``), so a handful of extreme
    cells cannot rank a candidate.  Each candidate entering the pool gets the
    same guard on its own values; when the guard changes some training
    values, the clipped and the unclipped column are both scored and the one
    with the lower held-out error over the row folds stays.  The delivered
    column is the scored one: clipped (at fit and at transform time alike) or
    not.

    **Walking the candidates.**  Candidates are scored from sums over row
    chunks, never all at once: products, sums, differences and ratios of
    column pairs from a few matrix products over the columns, minima and
    maxima of pairs by a fused kernel (one pass per pair, no candidate column,
    ``n_jobs`` threads), other element-wise transforms block by block,
    estimator transforms (``TB1``, ``TGen``, ``TAM``) through their fitted
    objects, block by block.  Every block stays within ``block_mib`` MiB, so
    fit needs the input, that budget and the kept columns.
    ``max_per_transform`` (0: all) caps the candidates per transform through
    the transform graph's reproducible sample.

    **Large tables.**  Above ``sample_threshold`` rows the candidates are
    screened on a reproducible row sample (seeded by ``seed``, stratified by
    class for classification); the pool (at most ``shortlist`` candidates) is
    then scored exactly on all rows from additive statistics
    (``ShortlistScorer``; pass ``rescore`` to ``fit`` to compute them
    elsewhere, e.g. over Dask partitions), and the selection runs on those
    exact numbers.  ``time_budget`` (seconds) stops screening when it runs
    out, keeps the best found so far and says so in ``stopped_early_``.

    **Depth.**  Round ``r + 1`` combines the features kept by round ``r`` with
    each other and with the input columns.  The second round also has as
    operands the unary transforms of the inputs and the input pair sums and
    differences whose ratios or products explain most of the residual, so
    ``x / (y + z)`` or a share ``a / (a + b)`` can be formed.

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
        Derived features to keep per round (at most; 0: as many as
        cross-validation allows for "gain", the selectors' above-the-mean rule
        for "fs1"/"fs2").
    depth : int
        Rounds.
    max_per_transform : int
        0 for every candidate, else a reproducible sample of that many per transform.
    block_mib : float
        Memory budget of one block of candidate columns, MiB.
    sample_threshold : int
        Above this many rows, screen on a sample of this many rows.
    shortlist : int
        Candidates scored exactly, over all steps of a round.
    seed : int
    n_jobs : int
        Workers of the random forest of ``selector="fs2"``, threads of the
        fused min/max kernel, and BLAS threads of the matrix products.
    time_budget : float or None
        Seconds after which screening stops with the best found so far.
    levels : bool
        Also score products of category levels (0/1 columns) with numbers
        (a slope per level) and with the levels of other categories (the
        families "level x number" and "level x level", built by the module's
        pair transform with the level test as its constraint).
    reciprocals : bool
        Also score ``1 / x`` of every positive measurement (the family
        "reciprocal", the module's unary transform built with that function);
        a second round also scores ``1 / f`` of the first round's features.

    Attributes
    ----------
    kept_ : list of dict
        ``{"name", "lineage", "score", "transform", "round", "clipped"}`` per derived column, in output order.
    candidate_stats_ : list of dict
        ``{"round", "transform", "considered", "constant", "copies", "skipped"}``; ``copies`` counts the
        pool candidates left without new information.
    score_name_, scored_against_ : str
        Header and one-line meaning of the scores.
    n_inputs_ : int
    sampled_rows_ : int or None
        Rows of the screening sample, or None when every row was used.
    screens_ : int
        Walks over the screening rows (one per step).
    stopped_early_ : str or None
        Why screening stopped before its end (the time budget), or None.
    """

    def __init__(self, transforms=defaults.DEFAULT_TRANSFORMS, task="regression", selector="gain", keep=10, depth=1,
                 max_per_transform=0, block_mib=defaults.BLOCK_MIB, sample_threshold=defaults.SAMPLE_THRESHOLD,
                 shortlist=defaults.SHORTLIST, seed=0, n_jobs=1, time_budget=None, levels=True, reciprocals=True):
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
        self.time_budget = time_budget
        self.levels = levels
        self.reciprocals = reciprocals

    # ------------------------------------------------------------------
    def _check_params(self):
        if isinstance(self.transforms, str):
            raise ValueError("transforms must be a sequence of catalogue names, not a string")
        if self.task not in ("regression", "classification"):
            raise ValueError("task must be 'regression' or 'classification', got " + repr(self.task))
        if self.selector not in defaults.SELECTORS:
            raise ValueError("selector must be 'gain', 'fs1' or 'fs2', got " + repr(self.selector))
        for name in ("keep", "max_per_transform", "shortlist", "sample_threshold", "depth", "n_jobs", "seed"):
            v = getattr(self, name)
            if not isinstance(v, numbers.Integral) or isinstance(v, bool) or v < 0:
                raise ValueError(name + " must be a whole number >= 0, got " + repr(v))
        if self.depth < 1 or self.shortlist < 1 or self.sample_threshold < 1:
            raise ValueError("depth, shortlist and sample_threshold must be >= 1")
        if not isinstance(self.block_mib, numbers.Real) or not self.block_mib > 0:
            raise ValueError("block_mib must be a number > 0, got " + repr(self.block_mib))
        tb = self.time_budget
        if tb is not None and (not isinstance(tb, numbers.Real) or isinstance(tb, bool) or not tb > 0):
            raise ValueError("time_budget must be a number of seconds > 0 or None, got " + repr(tb))

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
            if len(self.classes_) < 2:
                raise DataError("the target has a single class")
        values = np.asarray(X.values, dtype=np.float64)
        n, p = values.shape
        budget = int(self.block_mib * MIB)
        step = max(1, budget // (8 * max(n, 1)))
        for lo in range(0, p, step):
            if not np.isfinite(values[:, lo:lo + step]).all():
                raise DataError("the table has missing or infinite values (prepare it first, e.g. with PrepareFrame)")
        self._rng = np.random.default_rng(self.seed)
        stratify = self.task == "classification"
        screen = None if n <= self.sample_threshold else _sample(y, self.sample_threshold, self._rng, stratify)
        self.sampled_rows_ = None if screen is None else int(len(screen))
        self.n_inputs_ = X.n_inputs
        self.n_features_in_ = p
        self.rounds_ = []
        self.kept_ = []
        self.candidate_stats_ = []
        self.screens_ = 0
        self.stopped_early_ = None
        self._deadline = None if self.time_budget is None else time.monotonic() + float(self.time_budget)
        sel = make_selector(self.selector)
        self.score_name_ = sel.label
        self.scored_against_ = sel.sentence(self.task, p)
        names, dtypes, lineage = list(X.names), [np.dtype(d) for d in X.dtypes], list(X.lineage)
        with seeded_names(self.seed), quiet_warnings(RuntimeWarning), _blas_threads(self.n_jobs):
            for r in range(1, self.depth + 1):
                added = self._round(r, X, values, y, screen, names, dtypes, lineage, budget, sel, progress, rescore)
                if self.stopped_early_ or not (added or (r == 1 and self.depth > 1)):
                    break
        self.names_, self.dtypes_, self.lineage_ = names, dtypes, lineage
        del self._rng, self._deadline
        self.__dict__.pop("_weighed", None)
        self.__dict__.pop("_x_bounds", None)
        return self

    # ------------------------------------------------------------------
    def _round(self, r, X, values, y, screen, names, dtypes, lineage, budget, sel, progress, rescore):
        """One round; the second one also has unary transforms and pair sums of the inputs as extra operands."""
        last = self.kept_[-1]["round"] if self.kept_ else 0
        fresh_width = self.rounds_[-1].width if last == r - 1 and self.rounds_ else 0
        fresh = set(range(len(names) - fresh_width, len(names))) if r > 1 else None
        self._weighed = 0
        operands = self._operands(values, y, screen, names, dtypes, lineage, budget) if r == 2 else None
        if operands is None:
            return self._round_on(r, X, values, y, screen, (names, dtypes, lineage), (names, dtypes, lineage),
                                  fresh, budget, sel, progress, rescore)
        # The operand columns join the table for this round only: the kept features read them, the
        # output does not hold them.
        op_names, op_dtypes, op_lineage = operands.info
        ext = (names + op_names, dtypes + op_dtypes, lineage + op_lineage)
        fresh |= set(range(len(names), len(names) + operands.width))
        depth = len(self.rounds_)
        self.rounds_.append(operands)
        try:
            added = self._round_on(r, X, values, y, screen, ext, (names, dtypes, lineage), fresh, budget, sel,
                                   progress, rescore)
        finally:
            kept = self.rounds_[depth + 1] if len(self.rounds_) > depth + 1 else None
            del self.rounds_[depth:]
        if added:
            kept.operands = operands
            self.rounds_.append(kept)
        return added

    def _operands(self, values, y, screen, names, dtypes, lineage, budget):
        """The extra operands of the second round's pairs: the unary transforms of the inputs among
        ``transforms`` (so that ``log(x) * z`` or ``x / sqrt(z)`` can be formed although ``log(x)`` alone
        adds nothing), and the input pair sums and differences whose ratios or products with a column
        screen best against the residual (so that ``x / (y + z)`` or a share ``a / (a + b)`` can be
        formed although a sum alone lies in the span of the columns)."""
        p_in = values.shape[1]
        xf, yf = self._fit_rows(values, y, screen, budget, len(names))
        graph = transform_graph(self.max_per_transform)
        groups, pair_sets = [], []
        # Not the reciprocals: a pair with ``1 / z`` re-expresses a ratio or a product of the columns
        # themselves, which are candidates already.
        for name in dict.fromkeys(self.transforms):
            t = catalogue_transform(name, graph)
            kind, fun = kind_of(t)
            if kind == "binary" and fun in PAIR_OPERAND_FUNCTIONS and 2 <= p_in <= PAIR_OPERAND_WIDTH:
                pass
            elif kind != "unary":
                continue
            try:
                cands = fit_transform_object(t, xf, yf, names, dtypes, lineage)
            except (MemoryError, KeyboardInterrupt):
                raise
            except Exception:
                continue
            if kind == "unary":
                idx = [i for i, c in enumerate(cands) if c is not None and int(c) < p_in]
                if idx:
                    groups.append(restrict(t, idx))
            else:
                pair_sets.append((t, fun, _one_order(cands, p_in, xf, fun)))
        unary_width = sum(module_columns(t, xf[:2]).shape[1] for t in groups)
        if unary_width > OPERAND_LIMIT:
            groups, unary_width = [], 0
        room = min(PAIR_OPERANDS, OPERAND_LIMIT - unary_width)
        if len(names) + unary_width <= PARTIAL_LIMIT:
            # Past that width the round's pairs would be screened without the columns' span.
            room = min(room, PARTIAL_LIMIT - len(names) - unary_width)
        if room > 0 and any(len(idx) for _, _, idx in pair_sets):
            groups += self._best_pair_operands(pair_sets, values, y, screen, xf, yf, room, budget)
        if not groups:
            return None
        feats = _Features([(t, np.arange(module_columns(t, xf[:2]).shape[1])) for t in groups], None)
        feats.order = np.arange(sum(len(sel) for _, sel in feats.groups))
        if feats.width == 0:
            return None
        info = ([], [], [])
        for t, sel in feats.groups:
            for acc, part in zip(info, new_columns_info(t, sel)):
                acc += part
        feats.info = (info[0], [np.dtype(np.float64) if d.kind in "biuf" else d for d in info[1]], info[2])
        return feats

    def _best_pair_operands(self, pair_sets, values, y, screen, xf, yf, room, budget):
        """The ``room`` input pair sums and differences whose best ratio or product with a column (or
        the constant) explains most of the residual of the model so far, as restricted transforms.

        Each such composite is scored by its squared correlation with the residual, its variance taken
        outside the span of the constant and of the column it is formed with (a ratio ``x / (y + z)``
        of a centred ``x`` mostly repeats ``x``).  The count of composites weighed is added to the
        round's candidates for the chance level of its gains.
        """
        base = self._residual(values, y, screen, xf, yf, None, budget)
        rows = np.arange(len(xf))
        if len(rows) > OPERAND_SCREEN_ROWS:
            rows = np.sort(np.random.default_rng(self.seed).choice(len(rows), OPERAND_SCREEN_ROWS, replace=False))
        x = xf[rows]
        resid = base.residuals(x, yf[rows])
        lo, hi = _guard_bounds(x)
        x = np.clip(x, lo, hi)
        r_lo, r_hi = _guard_bounds(resid)
        resid = np.clip(resid, r_lo, r_hi)
        resid = resid - resid.mean(axis=0)
        ops = [(t, a, b) for t, fun, idx in pair_sets for a, b, _ in idx]
        sign = np.asarray([1.0 if fun is np.add else -1.0 for _, fun, idx in pair_sets for _ in idx])
        a = np.asarray([i for _, i, _ in ops], dtype=np.intp)
        b = np.asarray([j for _, _, j in ops], dtype=np.intp)
        scores = composite_scores(x, resid, a, b, sign, budget // 2)
        self._weighed = len(ops) * 2 * (x.shape[1] + 1)
        # A pair none of whose composites beats what the best of them reaches on noise only costs the round.
        floor = 2 * math.log(max(self._weighed, 2)) / len(rows)
        best = [int(i) for i in np.argsort(-np.round(scores, 12), kind="stable")[:room] if scores[i] > floor]
        self.candidate_stats_.append({"round": 2, "transform": PAIR_OPERAND_FAMILY, "considered": len(ops),
                                      "constant": 0, "copies": 0, "skipped": None if best else "none above chance"})
        groups = []
        offset = 0
        for t, fun, idx in pair_sets:
            take = sorted(i - offset for i in best if offset <= i < offset + len(idx))
            if take:
                groups.append(restrict(t, [idx[i][2] for i in take]))
            offset += len(idx)
        return groups

    def _unary_and_pair_families(self, graph):
        """(family name, unfitted transform) of ``transforms``, then the reciprocal when asked for."""
        families = [(name, catalogue_transform(name, graph)) for name in dict.fromkeys(self.transforms)]
        if self.reciprocals:
            families.append(reciprocals(graph))
        return families

    def _round_on(self, r, X, values, y, screen, table, out, fresh, budget, sel, progress, rescore):
        """A round over the columns ``table`` (names, dtypes, lineage); kept features are added to ``out``."""
        p_in, P = values.shape[1], len(table[0])
        label = "round " + str(r)
        xf, yf = self._fit_rows(values, y, screen, budget, P)
        sources, stats = self._fit_sources(r, xf, yf, *table, budget, p_in, fresh)
        self.candidate_stats_.extend(stats)
        total = sum(e["considered"] for e in stats)
        if not len(sources):
            return 0
        base = self._residual(values, y, screen, xf, yf, None, budget)
        keep_limit = self.keep if self.keep > 0 else self.shortlist
        pool, chosen, gstats = self._steps(sources, stats, base, values, y, screen, xf, yf, budget, progress, label,
                                           total, keep_limit)
        if not pool["picks"]:
            return 0
        if screen is not None and gstats is not None:
            self._narrow(pool, gstats, P, chosen, base.n_outputs_)
        gstats = self._exact_stats(sources, pool, base, values, y, screen, gstats, X, budget, progress, label,
                                   total, rescore)
        if progress is not None:
            progress(total, total, label + ": selecting")
        ctx = self._context(gstats, sources, pool, P, base.n_outputs_, keep_limit, budget, xf, yf)
        kept, scores = sel.select(ctx)
        self._count_copies(stats, sources, pool, ctx, kept)
        if not kept:
            return 0
        return self._append(r, sources, pool, kept, scores, xf, *out)

    # phase: screen, admit, pick, again -------------------------------------
    def _steps(self, sources, stats, base, values, y, screen, xf, yf, budget, progress, label, total, keep_limit):
        """Screen against the residual, admit the best new candidates to the pool, take the one that adds
        most, and again against the updated residual.  Returns ``(pool, chosen, stats of the pool)``."""
        P, p_in = xf.shape[1], values.shape[1]
        steps = min(keep_limit, MAX_STEPS, self.shortlist)
        per_step = max(MIN_PER_STEP, -(-self.shortlist // max(steps, 1)))
        pool = {"picks": [], "lo": [], "hi": [], "twins": []}
        chosen, gstats = [], None
        for step in range(steps):
            extra = _features_for(sources, [pool["picks"][c] for c in chosen],
                                  [pool["lo"][c] for c in chosen], [pool["hi"][c] for c in chosen])
            residual = base if not chosen else self._residual(values, y, screen, xf, yf, extra, budget)
            where = label + ", step " + str(step + 1)
            scores, n_rows = self._screen(sources, residual, values, y, screen, xf, yf, extra, budget, progress,
                                          where, total, stats if step == 0 else None)
            if step == 0:
                for src, sc in zip(sources, scores):
                    if hasattr(src, "focus"):
                        src.focus(sc)
            room = self.shortlist - len(pool["picks"])
            whole = len(xf) == len(values)  # the transforms were fitted on every training row
            if room <= 0 or not self._admit(pool, sources, scores, per_step, xf, room, whole):
                break
            scorer = ShortlistScorer(list(self.rounds_), base, self._pool_features(sources, pool), p_in, budget // 2)
            # The pool only grew since the last step (new candidates at its end): its known sums stand.
            gstats = scorer.partial(values, y, rows=screen, known=gstats)
            gstats = self._settle_twins(pool, gstats, P, chosen, base.n_outputs_)
            best, gain = self._pick(gstats, P, chosen, base.n_outputs_)
            # Below what the best of all the round's candidates would reach by chance: stop screening.
            if best is None or gain < chance_floor(sources, n_rows, getattr(self, "_weighed", 0)):
                break
            chosen.append(best)
            if not self.stopped_early_ and self._deadline is not None and time.monotonic() > self._deadline:
                self.stopped_early_ = ("time budget of " + format(float(self.time_budget), "g") + " s reached after "
                                       + label + ", step " + str(step + 1) + "; the features kept are the best "
                                       "found so far")
            if self.stopped_early_:
                break
        return pool, chosen, gstats

    def _context(self, gstats, sources, pool, P, k, keep_limit, budget, xf, yf):
        """What the selector reads: the pool's exact statistics, positions, and the fit rows."""
        corr, constant = correlations(gstats)
        m = len(pool["picks"])
        return _Context(stats=gstats, corr=corr, constant=constant, basis=[i for i in range(P) if not constant[i]],
                        cands=list(range(P, P + m)), targets=list(range(P + m, P + m + k)), keep=keep_limit,
                        chance=chance_floor(sources, gstats.n, getattr(self, "_weighed", 0)),
                        keep_option=self.keep, task=self.task, seed=self.seed, n_jobs=self.n_jobs, budget=budget,
                        fit_values=xf, fit_target=yf,
                        sample=lambda target, size: _sample(target, size, np.random.default_rng(self.seed),
                                                            self.task == "classification"),
                        columns=lambda idx, x: _features_for(sources, [pool["picks"][i] for i in idx],
                                                             [pool["lo"][i] for i in idx],
                                                             [pool["hi"][i] for i in idx]).columns(x))

    # phase: the rows the transforms are fitted on --------------------------
    def _fit_rows(self, values, y, screen, budget, P):
        """The screening rows, cut down so that a copy of them with every column (and the temporaries of
        a model on them) stays within a fraction of the budget."""
        base_rows = np.arange(values.shape[0]) if screen is None else screen
        fit_cap = max(1000, budget // (8 * P * 8))
        if len(base_rows) > fit_cap:
            base_rows = base_rows[_sample(y[base_rows], fit_cap, self._rng, self.task == "classification")]
        return _apply_rounds(self.rounds_, values[base_rows]), y[base_rows]

    # phase: one candidate source per transform -----------------------------
    def _fit_sources(self, r, xf, yf, names, dtypes, lineage, budget, p_in, fresh):
        """One source per transform; from the second round on, only candidates that read a fresh column
        (a feature of the last round, or an operand) besides inputs."""
        graph = transform_graph(self.max_per_transform)
        if r > 1:
            allowed = set(range(p_in)) | fresh
        sources, stats = [], []
        bank = GramBank(xf.shape[1])
        bank.reuse = self._deadline is None
        probe = xf[: min(len(xf), 5)]
        families = self._unary_and_pair_families(graph)
        extra = level_products(graph) if self.levels else []
        for name, t in families + extra:
            built_here = any(t is e for _, e in extra)
            entry = {"round": r, "transform": name, "considered": 0, "constant": 0, "copies": 0, "skipped": None}
            stats.append(entry)
            try:
                cands = fit_transform_object(t, xf, yf, names, dtypes, lineage)
                if r > 1 and cands != [None]:
                    idx = []
                    for i, c in enumerate(cands):
                        args = {int(a) for a in ((c,) if np.isscalar(c) else c)}
                        if args <= allowed and args & fresh:
                            idx.append(i)
                    t = restrict(t, idx)
                    cands = [cands[i] for i in idx]
                if not cands:
                    if built_here:  # a table without categories: nothing to report
                        stats.pop()
                        continue
                    entry["skipped"] = "no eligible column"
                    continue
                src = make_source(name, t, cands, budget // 2, probe, bank, max(1, self.n_jobs))
            except (MemoryError, KeyboardInterrupt):
                raise
            except Exception as e:
                entry["skipped"] = type(e).__name__ + ": " + " ".join(str(e).split())[:200]
                continue
            if src.n_units == 0:
                entry["skipped"] = "no output column"
                continue
            src.entry = entry
            sources.append(src)
            entry["considered"] = len(cands)
        return SourceSet(sources, bank), stats

    # phase: the model the candidates are scored against --------------------
    def _residual(self, values, y, screen, xf, yf, extra, budget):
        """The residual of a ridge (logistic) model on the table's columns and the features ``extra``."""
        residual = Residual(self.task)
        n = values.shape[0]
        width = values.shape[1] + sum(f.width for f in self.rounds_) + (extra.width if extra is not None else 0)
        ext = _Extended(residual, extra)
        if self.task == "regression":
            # The ridge model from its sufficient statistics, so the rows are never copied whole.
            xtx, xty, sx, sy = np.zeros((width, width)), np.zeros(width), np.zeros(width), 0.0
            # A chunk is copied about four times over (rows, derived columns, the joined block, products).
            for sl in _chunks(screen, n, max(64, budget // (8 * width * 8))):
                xc = _apply_rounds(self.rounds_, values[sl])
                if extra is not None and extra.width:
                    xc = np.concatenate([xc, extra.columns(xc)], axis=1)
                yc = y[sl]
                xtx += xc.T @ xc
                xty += xc.T @ yc
                sx += xc.sum(axis=0)
                sy += float(yc.sum())
            residual.fit_regression(xtx, xty, sx, sy, n if screen is None else len(screen))
        else:
            xe = xf if extra is None or not extra.width else np.concatenate([xf, extra.columns(xf)], axis=1)
            residual.fit_classification(xe, yf, self.classes_, self.seed)
        return ext

    # phase: screen every candidate against the residual --------------------
    def _screen(self, sources, residual, values, y, screen, xf, yf, extra, budget, progress, label, total, stats):
        """Screening scores of every source's units (one walk over the screening rows) and the rows walked.

        Sources read the columns and the residual winsorised (bounds from the
        fit rows), so a few extreme cells cannot rank a candidate.
        """
        n = values.shape[0]
        n_screen = n if screen is None else len(screen)
        if getattr(self, "_x_bounds", (None,))[0] is not xf:
            self._x_bounds = (xf, _guard_bounds(xf))
        x_lo, x_hi = self._x_bounds[1]
        r_lo, r_hi = _guard_bounds(residual.residuals(xf, yf))
        k = residual.n_outputs_
        sources.start(k)
        sum_r, sum_rr = np.zeros(k), np.zeros(k)
        done = 0
        chunk = GramBank.rows_per_chunk(xf.shape[1], k, budget // 2)
        self.screens_ += 1
        for sl in _chunks(screen, n, chunk):
            xc = _apply_rounds(self.rounds_, values[sl])
            rc = np.clip(residual.residuals(xc, y[sl]), r_lo, r_hi)
            np.clip(xc, x_lo, x_hi, out=xc)
            sum_r += rc.sum(axis=0)
            sum_rr += (rc * rc).sum(axis=0)
            sources.accumulate(xc, rc)
            done += xc.shape[0]
            if progress is not None:
                progress(int(total * done / n_screen), total, label + ": scoring candidates")
            if self._deadline is not None and time.monotonic() > self._deadline and done < n_screen:
                self.stopped_early_ = ("time budget of " + format(float(self.time_budget), "g") + " s reached while "
                                       "screening (" + label + ", " + str(done) + " of " + str(n_screen)
                                       + " rows); the features kept are the best found so far")
                if progress is not None:
                    progress(total, total, label + ": time budget reached, screening stopped")
                break
        scores = []
        bank = sources.bank
        for src, (s1, s2, sr) in zip(sources, sources.finish()):
            sb = src.basis_sums() if hasattr(src, "basis_sums") else None
            if sb is not None:
                score, constant = partial_screen_scores(done, s1, s2, sr, sb, sum_r, sum_rr, bank.m["xtx"],
                                                        bank.m["sx"], bank.m["xr"])
            else:
                score, constant = screen_scores(done, s1, s2, sr, sum_r, sum_rr)
            if stats is not None:
                src.entry["constant"] = int(np.count_nonzero(constant))
            scores.append(np.where(constant, 0.0, score))
        return scores, done

    # phase: the best new candidates join the pool ---------------------------
    def _admit(self, pool, sources, scores, count, xf, room, whole):
        """Add the ``count`` best-screened candidates not yet in the pool, and the best of each family
        besides (within ``room`` in all), each with its outlier guard.

        The screen is an approximation, and among thousands of pairs some
        ``z / x`` always screens close to a true ``1 / x``: each family's best
        is scored exactly, so that the exact gain decides between them.  A
        candidate whose guard changes training values enters twice, clipped
        and not; ``_settle_twins`` keeps the one with the lower held-out error.
        """
        seen = {(s, sources[s].signature(u)) for s, u in pool["picks"]}
        # Equal scores (both orders of a product) rank in walking order, whatever the rounding of the sums.
        flat = np.round(np.concatenate(scores), 12)
        offsets = np.concatenate([[0], np.cumsum([len(s) for s in scores])])
        fresh = []

        def take(pos):
            s = int(np.searchsorted(offsets, pos, side="right") - 1)
            pick = (s, int(pos - offsets[s]))
            key = (s, sources[s].signature(pick[1]))
            if key not in seen:
                seen.add(key)
                fresh.append(pick)

        for pos in np.argsort(-flat, kind="stable"):
            if flat[pos] <= 0 or len(fresh) >= min(count, room):
                break
            take(pos)
        for s, sc in enumerate(scores):
            if len(fresh) >= room:
                break
            best = int(np.argmax(np.round(sc, 12))) if len(sc) else None
            if best is not None and sc[best] > 0:
                take(offsets[s] + best)
        if not fresh:
            return 0
        block = _features_for(sources, fresh).columns(xf)
        lo, hi = _guard_bounds(block, within_range=whole)
        for j, pick in enumerate(fresh):
            changes = bool(np.any((block[:, j] < lo[j]) | (block[:, j] > hi[j])))
            pool["picks"].append(pick)
            pool["lo"].append(float(lo[j]))
            pool["hi"].append(float(hi[j]))
            if changes:
                pool["picks"].append(pick)
                pool["lo"].append(-np.inf)
                pool["hi"].append(np.inf)
                pool["twins"].append(len(pool["picks"]) - 2)
        return len(fresh)

    def _pool_features(self, sources, pool):
        return _features_for(sources, pool["picks"], pool["lo"], pool["hi"])

    def _settle_twins(self, pool, gstats, P, chosen, k):
        """For each candidate entered clipped and not, keep the version with the lower held-out error."""
        if not pool["twins"]:
            return gstats
        gz = standardized_folds(gstats)
        m = len(pool["picks"])
        targets = [P + m + q + 1 for q in range(k)]
        _, constant = correlations(gstats)
        basis = [i + 1 for i in range(P) if not constant[i]] + [P + c + 1 for c in chosen]
        drop = set()
        for a in pool["twins"]:
            errs = []
            for v in (a, a + 1):
                errs.append(sum(fold_error(gz, f, basis + [P + v + 1], targets) for f in range(gz.shape[0])
                                if gz[f][0, 0] > 0))
            drop.add(a + 1 if errs[0] <= errs[1] else a)
        keep = [i for i in range(m) if i not in drop]
        for key in ("picks", "lo", "hi"):
            pool[key] = [pool[key][i] for i in keep]
        pool["twins"] = []
        remap = {old: new for new, old in enumerate(keep)}
        chosen[:] = [remap[c] for c in chosen]
        return gstats.take(list(range(P)) + [P + i for i in keep] + list(range(P + m, P + m + k)))

    # phase: the pool candidate that adds most joins the model --------------
    def _pick(self, gstats, P, chosen, k):
        corr, constant = correlations(gstats)
        m = gstats.gram.shape[1] - 1 - P - k
        basis = [i for i in range(P) if not constant[i]] + [P + c for c in chosen]
        rest = [c for c in range(m) if c not in chosen and not constant[P + c]]
        if not rest:
            return None, 0.0
        gains, _ = partial_gains(corr, basis, [P + c for c in rest], list(range(P + m, P + m + k)))
        best = int(np.argmax(np.round(gains, 10)))
        if gains[best] <= 0:
            return None, 0.0
        return rest[best], float(gains[best])

    # phase: exact statistics of the pool on every row -----------------------
    def _narrow(self, pool, gstats, P, chosen, k):
        """Keep for the all-row rescoring only what can still change the decision: the candidates the
        steps took, and as many runners-up again (at least ``MIN_PER_STEP``) by their gain on the sample."""
        m = len(pool["picks"])
        room = max(2 * len(chosen), MIN_PER_STEP)
        if m <= room:
            return
        corr, constant = correlations(gstats)
        basis = [i for i in range(P) if not constant[i]]
        gains, _ = partial_gains(corr, basis, list(range(P, P + m)), list(range(P + m, P + m + k)))
        rest = [c for c in np.argsort(-np.round(gains, 10), kind="stable") if c not in chosen and gains[c] > 0]
        keep = sorted(set(chosen) | set(int(c) for c in rest[: room - len(chosen)]))
        for key in ("picks", "lo", "hi"):
            pool[key] = [pool[key][i] for i in keep]

    def _exact_stats(self, sources, pool, base, values, y, screen, gstats, X, budget, progress, label, total,
                     rescore):
        if screen is None and gstats is not None and rescore is None:
            return gstats
        scorer = ShortlistScorer(list(self.rounds_), base, self._pool_features(sources, pool),
                                 values.shape[1], budget // 2)
        if progress is not None:
            progress(total, total, label + ": rescoring " + str(len(pool["picks"])) + " candidates on all rows")
        if rescore is not None:
            return rescore(scorer)
        return scorer.partial(Table(values, X.names, X.dtypes, X.lineage, X.n_inputs), y)

    def _count_copies(self, stats, sources, pool, ctx, kept):
        """Pool candidates left without new information next to the columns and the kept features."""
        final = list(ctx.basis) + [ctx.cands[i] for i in kept]
        rest = [i for i in range(len(ctx.cands)) if i not in set(kept) and not ctx.constant[ctx.cands[i]]]
        if not rest:
            return
        _, spread = partial_gains(ctx.corr, final, [ctx.cands[i] for i in rest], ctx.targets)
        for i, s in zip(rest, spread):
            if s < NIL_SPREAD:
                sources[pool["picks"][i][0]].entry["copies"] += 1

    # phase: the kept features join the table ------------------------------
    def _append(self, r, sources, pool, kept, scores, xf, names, dtypes, lineage):
        feats = _features_for(sources, [pool["picks"][i] for i in kept], [pool["lo"][i] for i in kept],
                              [pool["hi"][i] for i in kept])
        feats.columns(xf[: min(len(xf), 5)])  # the module records names and lineage as it computes
        group_names, group_dtypes, group_lineage = [], [], []
        for t, sel in feats.groups:
            gn, gd, gl = new_columns_info(t, sel)
            group_names += gn
            group_dtypes += gd
            group_lineage += gl
        for j, g in enumerate(feats.order):
            i = kept[j]
            name = unique_name(group_names[g], names)
            names.append(name)
            dtypes.append(np.dtype(np.float64) if group_dtypes[g].kind in "biuf" else group_dtypes[g])
            lineage.append(group_lineage[g])
            self.kept_.append({"name": name, "lineage": group_lineage[g], "score": float(scores[j]),
                               "transform": sources[pool["picks"][i][0]].name, "round": r,
                               "clipped": bool(np.isfinite(pool["lo"][i]))})
        self.rounds_.append(feats)
        return feats.width

    # ------------------------------------------------------------------
    def transform(self, X):
        """The input columns followed by the kept derived columns."""
        return append_kept(self, X, getattr(self, "rounds_", ()))

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
