"""TreeSearch: derived columns chosen by what they add to a gradient-boosting model.

A linear model gains from a feature that is outside the span of its columns;
a boosting model of trees already splits on every column at any threshold, so
a monotone transform of one column adds nothing to it, while ratios,
products, differences and group-wise aggregates of several columns (which a
tree can only approximate by many axis-aligned splits) do.  The search
therefore measures a candidate against the boosting model itself:

1. a LightGBM model of the prepared columns is fitted out of fold on a row
   sample, giving every sampled row a prediction that did not see it;
2. every candidate is screened by how much of that model's residual its
   quantile bins explain on held-out rows, minus what the best of the columns
   it is made from explains the same way (a monotone transform of a column
   falls into the very same bins, so it scores 0);
3. the best of them are rescored by successive halving: a few boosting
   rounds, started from the out-of-fold predictions, on the candidate and its
   input columns against the same rounds on the input columns alone, on more
   rows and more rounds at every stage;
4. how many to keep is decided on rows none of the earlier steps looked at,
   by LightGBM models of all the columns with and without them.
"""

import numbers

import numpy as np
from sklearn.base import BaseEstimator, TransformerMixin

from karrow_libs.table import DataError, as_table, module_output, quiet_warnings, seeded_names

from ._module import _tu, candidates_of, module_columns, restrict
from ._module import unknown_levels_to_zero as _unknown_levels_to_zero
from ._search import _Features, _sample, append_kept

__all__ = ["TreeSearch"]

#: The families trees gain from; element-wise transforms of one column are left out on purpose.
TREE_TRANSFORMS = ("product", "divide", "diff", "sum", "groupbymean")
#: Quantile bins of the screening step, and the shrinkage (in rows) of a bin's mean toward 0.
SCREEN_BINS = 16
SCREEN_SHRINK = 10.0
#: Boosting stages of the rescoring: (most rows, rounds); the survivors halve after each stage.
STAGES = ((1000, 10), (None, 20))
#: Standard errors (of the per-row loss difference) by which a candidate's gain in the last stage must
#: exceed 0 to go on: what chance gives half the candidates of a table costs the count's fits.
STAGE_Z = 1.0
#: Small trees, slowly grown, for the stages: they measure what a column adds, not how well noise can be fitted.
#: Started from confident class probabilities, a leaf's hessian is nearly 0 and its unpenalised value
#: (gradient over hessian) runs off: the L2 penalty keeps the stages' class scores where the rows put them.
STAGE_PARAMS = {"num_leaves": 7, "min_data_in_leaf": 40, "learning_rate": 0.1, "lambda_l2": 1.0}
#: Rounds and learning rate of the models of all columns (the base model and the count's): half the
#: rounds of a default LightGBM model at twice its rate, nearly the same fit in half the time.
BASE_ROUNDS = 50
BASE_RATE = 0.2
BASE_FOLDS = 2
#: Numbers of kept features tried on the held-out rows, fewest first (besides none and all the accepted).
COUNTS = (1, 2, 4)
#: Standard errors by which the kept features must beat none.
MIN_Z = 1.5
#: A kept feature whose ranks agree this closely with another kept one splits the rows the same way.
RANK_COPY = 0.95
#: Share of the sampled rows held out for deciding how many features to keep.
HOLDOUT = 0.25
#: Most levels of a group column for group aggregates (the preparation codes at most 20 per category).
MAX_GROUPS = 20
#: Memory of one block of screened candidate columns (the block's width follows from the rows).
BLOCK_BYTES = 32 << 20


def _lgb():
    import lightgbm

    return lightgbm


def _infer_task(y):
    """Classification for labels (text, booleans, a few integers), regression for measured numbers."""
    kind = np.asarray(y).dtype.kind
    if kind in "fc":
        return "regression"
    if kind in "iu" and len(np.unique(y)) > 20:
        return "regression"
    return "classification"


class _Loss:
    """The boosting objective of a task: LightGBM parameters, per-row loss and the residual screened."""

    def __init__(self, task, n_classes):
        self.task = task
        self.k = n_classes if task == "classification" and n_classes > 2 else 1
        if task == "regression":
            self.params = {"objective": "regression"}
            self.label = "squared error"
        elif n_classes == 2:
            self.params = {"objective": "binary"}
            self.label = "Brier score"
        else:
            self.params = {"objective": "multiclass", "num_class": n_classes}
            self.label = "Brier score"

    def _proba(self, raw):
        if self.k == 1:
            return 1.0 / (1.0 + np.exp(-raw))
        z = raw - raw.max(axis=1, keepdims=True)
        e = np.exp(z)
        return e / e.sum(axis=1, keepdims=True)

    def rows(self, raw, y):
        """Loss of every row for raw scores ``raw``: squared error of the prediction, or of the class
        probabilities (the Brier score; bounded, unlike the log loss of an overconfident model, so
        that a few confident mistakes do not drown what a feature adds)."""
        return (self.residual(raw, y) ** 2).sum(axis=1)

    def residual(self, raw, y):
        """The negative gradient, one column per output: what is left for a next tree to explain."""
        if self.task == "regression":
            return (y - raw)[:, None]
        p = self._proba(raw)
        if self.k == 1:
            return (y - p)[:, None]
        onehot = np.zeros_like(p)
        onehot[np.arange(len(y)), y.astype(np.intp)] = 1.0
        return onehot - p

    def init(self, raw):
        """Raw scores in the layout LightGBM takes as ``init_score``."""
        return raw.ravel(order="F") if self.k > 1 else raw


def _screen_scores(block, resid, half, total):
    """Held-out share of ``resid`` explained by the quantile bins of each column of ``block``.

    Bin edges are taken from the column's own values, so a strictly monotone
    transform of a column falls into the same bins and scores the same.  Bin
    means are learnt on one half of the rows and scored on the other, both ways.
    """
    n, m = block.shape
    if m == 0:
        return np.zeros(0), np.zeros(0, dtype=bool)
    s = np.sort(block, axis=0)
    edges = s[(np.arange(1, SCREEN_BINS) * n) // SCREEN_BINS]
    constant = s[0] == s[-1]
    codes = np.zeros((n, m), dtype=np.intp)
    for e in edges:
        codes += block > e
    idx = codes + SCREEN_BINS * np.arange(m)[None, :]
    size = SCREEN_BINS * m
    gain = np.zeros(m)
    parts = []
    for h in (half, ~half):
        flat = idx[h].ravel()
        cnt = np.bincount(flat, minlength=size)
        sums = [np.bincount(flat, weights=np.repeat(resid[h, q], m), minlength=size) for q in range(resid.shape[1])]
        parts.append((cnt, sums))
    for (cnt_a, sums_a), (cnt_b, sums_b) in ((parts[0], parts[1]), (parts[1], parts[0])):
        for sa, sb in zip(sums_a, sums_b):
            mean = sa / (cnt_a + SCREEN_SHRINK)
            gain += (2.0 * mean * sb - mean * mean * cnt_b).reshape(m, SCREEN_BINS).sum(axis=1)
    return gain / total, constant


def _stages(n_fit, n_eval):
    """The boosting stages worth running on ``n_fit`` / ``n_eval`` rows.

    A stage whose rows would all be seen again by the next one ranks the
    candidates on the same rows with fewer rounds: on a small table it only
    adds fits, so the next stage takes its candidates directly.
    """
    kept = []
    for i, (cap, rounds) in enumerate(STAGES):
        last = i == len(STAGES) - 1
        if not last and (cap is None or (n_fit <= cap and n_eval <= cap)):
            continue
        kept.append((cap, rounds))
    return tuple(kept)


def _ranks(a):
    return np.argsort(np.argsort(a, kind="stable"), kind="stable").astype(np.float64)


def _row_roles(ns, rng):
    """Roles of the sampled rows: out-of-fold folds of the base model; the count's hold-out;
    two halves of the rest for the screening and the boosting stages."""
    # Independent draws: halves that followed the folds would each hold the rows whose
    # predictions came from a model of the other half, and their residuals would disagree.
    folds = np.empty(ns, dtype=np.intp)
    folds[rng.permutation(ns)] = np.arange(ns) % BASE_FOLDS
    perm = rng.permutation(ns)
    n_hold = int(round(ns * HOLDOUT))
    hold = np.zeros(ns, dtype=bool)
    hold[perm[:n_hold]] = True
    half = np.zeros(ns, dtype=bool)
    half[perm[n_hold::2]] = True
    return folds, hold, half


class _NoCandidates(Exception):
    """A family that fitted but offers nothing to screen; its message is the reason reported."""


def _candidates(t, xs):
    """(transform, candidate args, output counts, columns) of a fitted family.

    ``columns`` are the family's columns on ``xs`` when they were computed to
    count them (a small table), else None.  Raises :class:`_NoCandidates` for
    a family without any.
    """
    _unknown_levels_to_zero(t)
    cands = candidates_of(t)
    if cands == [None]:
        raise _NoCandidates("not a transform of a few columns")
    if not cands:
        raise _NoCandidates("no eligible column")
    args = [tuple(int(a) for a in ((c,) if np.isscalar(c) else c)) for c in cands]
    if type(t).__name__ == "TA2":
        # f(b, a) is f(a, b), its negative or its reciprocal: to a tree, the same splits.
        idx = [i for i, a in enumerate(args) if a[0] < a[1]]
        t, cands, args = restrict(t, idx), [cands[i] for i in idx], [args[i] for i in idx]
    counts = np.ones(len(cands), dtype=np.intp)
    columns = None
    if type(t).__name__ not in ("TA1", "TA2"):
        # On a small table the count is made on all the rows: the columns are then at hand.
        probe = xs if 8 * len(xs) * len(cands) <= BLOCK_BYTES else xs[: min(len(xs), 5)]
        columns = module_columns(t, probe)
        if columns.shape[1] != len(cands):  # some yield several columns
            counts = np.asarray([module_columns(restrict(t, [c]), probe[:5]).shape[1]
                                 for c in range(len(cands))], dtype=np.intp)
        if len(probe) < len(xs):
            columns = None
    return t, args, counts, columns


class _Chain:
    """A fitted module transform applied to the table extended by another one's columns.

    It behaves as a module transform towards the search (``transform``, the
    ``new_column_*`` lists, a candidate list that ``restrict`` cuts down), so
    the second transform's names and lineage, which refer to the first one's
    columns, are kept as the module wrote them.
    """

    def __init__(self, first, then):
        self.first = first
        self.then = then
        self.candidates_ = list(range(len(candidates_of(then))))

    def transform(self, values, *args):
        then = restrict(self.then, self.candidates_)
        extended = np.concatenate([values, module_columns(self.first, values)], axis=1)
        out = module_columns(then, extended)
        self.new_column_names_ = then.new_column_names_
        self.new_column_dtypes_ = then.new_column_dtypes_
        self.new_column_as_json_objects_ = then.new_column_as_json_objects_
        return out


class _Deviations:
    """Candidates ``diff($v, groupbymean($g, $v))`` (or ``divide``) of a fitted group-mean transform.

    Screening needs only their values (the value less, or over, its group's
    mean, exactly what the module's ``diff`` or ``divide`` writes); the
    module's transform itself, fitted on the table extended by the chosen
    group means, is built for the candidates that are shortlisted or kept
    (``build``), so that their names and lineage are the module's.
    """

    def __init__(self, means, args, context, op="diff"):
        self.means = means
        self.candidates_ = list(range(len(args)))
        self.args = list(args)
        self.context = context
        self.op = op

    def transform(self, values, *args):
        js = self.candidates_
        block = module_columns(restrict(self.means, js), values)
        own = values[:, [self.args[j][1] for j in js]]
        return own / block if self.op == "divide" else own - block

    def build(self, js):
        xs, labels, names, dtypes, lineage, graph = self.context
        first = restrict(self.means, js)
        extended = np.concatenate([xs, module_columns(first, xs)], axis=1)
        diff = _tu().TransformBase.GetTransformObj(self.op, graph)
        with module_output():
            diff.fit(extended, labels, names + list(first.new_column_names_),
                     dtypes + [np.dtype(d) for d in first.new_column_dtypes_],
                     lineage + list(first.new_column_as_json_objects_))
        where = {tuple(int(a) for a in c): i for i, c in enumerate(candidates_of(diff))}
        p = xs.shape[1]
        missing = [j for k, j in enumerate(js) if (self.args[j][1], p + k) not in where]
        if missing:
            raise DataError("the module's " + self.op + " refused the group " + ("ratio" if self.op == "divide" else
                            "deviation") + " of column " + str(self.args[missing[0]][1]))
        return _Chain(first, restrict(diff, [where[(self.args[j][1], p + k)] for k, j in enumerate(js)]))


class TreeSearch(BaseEstimator, TransformerMixin):
    """Find the derived columns that add the most to a gradient-boosting model of a table's columns.

    The catalogue transforms in ``transforms`` (by default products, ratios,
    differences and sums of column pairs, and group means over category
    codes of 3 to 20 levels) propose the candidates; with ``groupbymean``
    come two second-round families, each value less its group's mean
    (``diff($v, groupbymean($g, $v))``) and each positive value over it
    (``divide($v, groupbymean($g, $v))``).  The kept ones are appended to
    the table by the module's own transform objects, restricted to the chosen
    candidates, so their names and lineage are the module's.  A sample too
    small for the boosting stages' trees to split keeps nothing, unscreened.

    **Scoring.**  A LightGBM model of the table's columns is fitted out of fold
    on a sample of at most ``sample_rows`` rows (stratified by class for
    classification).  A candidate's screening score is the held-out share of
    that model's residual which its 16 quantile bins explain, less the best
    such share among the columns it is computed from.  The best ``shortlist``
    go through boosting stages: a few LightGBM rounds starting from the
    out-of-fold predictions (``init_score``) on the candidate with its input
    columns, against the same rounds on the input columns alone; the score is
    the share of the held-out loss (squared error, Brier score) the candidate
    removes.  Each stage uses more rows and rounds and passes on half of the
    candidates (a stage that would see no more rows than the next is
    skipped); after the last, only gains one standard error of their rows'
    loss differences above 0 go on.

    **Keeping.**  Candidates that rank-correlate at ``|rho| >= 0.95`` with an
    already accepted one are skipped (to a tree they are the same splits).
    A quarter of the sampled rows, unseen by the scoring, decides the count:
    LightGBM models of all the columns plus the first ``k`` accepted
    candidates are fitted on the other rows and scored on them.  All of them
    must beat ``k = 0`` by 1.5 standard errors of the per-row difference (so
    pure noise keeps nothing); then the fewest ``k`` of 1, 2, 4 within one
    standard error of all of them are kept.

    Fitting uses only the training rows passed to ``fit``, so in a
    cross-validated ``Pipeline`` the search is refitted inside every fold; the
    same data and ``seed`` give the same features, and LightGBM runs with
    ``n_jobs`` threads.

    Parameters
    ----------
    task : {"regression", "classification"} or None
        None: classification for text, boolean and integer targets with at
        most 20 values, regression otherwise.
    keep : int
        Derived features to keep, at most.
    seed : int
    n_jobs : int
        LightGBM threads (-1: every core).
    transforms : tuple of str or None
        Catalogue names; None for the tree families above.
    sample_rows : int
        Rows the scoring works on, at most.
    shortlist : int
        Candidates passed from the screening to the boosting stages; 0 for
        as many as the table's size pays for (2 to 19).

    Attributes
    ----------
    kept_ : list of dict
        ``{"name", "lineage", "score", "transform", "round"}`` per derived column, in output order.
    candidate_stats_ : list of dict
        ``{"round", "transform", "considered", "constant", "copies", "skipped"}``.
    score_name_, scored_against_ : str
    n_inputs_ : int
    sampled_rows_ : int or None
    base_loss_ : float
        Mean out-of-fold loss of the base model on the sampled rows.
    """

    selector = "tree"

    def __init__(self, task=None, keep=10, seed=0, n_jobs=1, transforms=None, sample_rows=20_000, shortlist=0):
        self.task = task
        self.keep = keep
        self.seed = seed
        self.n_jobs = n_jobs
        self.transforms = transforms
        self.sample_rows = sample_rows
        self.shortlist = shortlist

    # ------------------------------------------------------------------
    def _check_params(self):
        if self.task not in (None, "regression", "classification"):
            raise ValueError("task must be 'regression', 'classification' or None, got " + repr(self.task))
        if isinstance(self.transforms, str):
            raise ValueError("transforms must be a sequence of catalogue names, not a string")
        if self.transforms is not None:
            from karrow_libs.vantor.transforms.transform_graph import TransformGraph

            graph = TransformGraph()
            for name in self.transforms:
                if _tu().TransformBase.GetTransformObj(name, graph) is None:
                    raise ValueError("unknown transform " + repr(name))
        for name in ("keep", "seed", "sample_rows", "shortlist"):
            v = getattr(self, name)
            if not isinstance(v, numbers.Integral) or isinstance(v, bool) or v < 0:
                raise ValueError(name + " must be a whole number >= 0, got " + repr(v))
        if self.sample_rows < 20:
            raise ValueError("sample_rows must be >= 20")
        if not isinstance(self.n_jobs, numbers.Integral) or isinstance(self.n_jobs, bool):
            raise ValueError("n_jobs must be a whole number, got " + repr(self.n_jobs))

    def _params(self, loss, **extra):
        threads = 0 if self.n_jobs < 0 else max(1, int(self.n_jobs))
        params = {"learning_rate": 0.1, "num_leaves": 31, "min_data_in_leaf": 20, "verbosity": -1,
                  "seed": int(self.seed), "deterministic": True, "force_col_wise": True,
                  "num_threads": threads}
        params.update(loss.params)
        params.update(extra)
        return params

    def _boost(self, loss, x_fit, y_fit, init_fit, x_eval, init_eval, rounds, **extra):
        """Raw scores on the evaluation rows of ``rounds`` rounds on ``x_fit`` started from ``init_fit``."""
        lgb = _lgb()
        data = lgb.Dataset(x_fit, label=y_fit, init_score=None if init_fit is None else loss.init(init_fit),
                           params={"verbosity": -1, "max_bin": 63})
        params = self._params(loss, **extra)
        # Kept as trained: the default round trip through the model's text costs as much as a
        # small table's fit, and the booster is only asked for predictions.
        booster = lgb.train(params, data, num_boost_round=rounds, keep_training_booster=True)
        raw = booster.predict(x_eval, raw_score=True, num_threads=params["num_threads"])
        return raw if init_eval is None else raw + init_eval

    # ------------------------------------------------------------------
    def fit(self, X, y, progress=None):
        """Score the candidates on ``X`` against a boosting model of its columns; returns ``self``."""
        self._check_params()
        X = as_table(X, "TreeSearch")
        if y is None:
            raise ValueError("TreeSearch needs the target y")
        y = np.asarray(y)
        if y.ndim != 1 or len(y) != X.shape[0]:
            raise ValueError("y must be one value per row: " + str(X.shape[0]) + " rows, y of shape " + str(y.shape))
        values = np.asarray(X.values, dtype=np.float64)
        n, p = values.shape
        if n < 20 or p < 1:
            raise DataError("the tree search needs at least 20 rows and one column, got " + str(n) + " x " + str(p))
        if not np.isfinite(values).all():
            raise DataError("the table has missing or infinite values (prepare it first, e.g. with PrepareFrame)")
        task = self.task or _infer_task(y)
        if task == "regression":
            y = y.astype(np.float64)
            if not np.all(np.isfinite(y)):
                raise DataError("the target has missing or infinite values")
            self.classes_ = None
            yc = y
        else:
            self.classes_, yc = np.unique(y, return_inverse=True)
            if len(self.classes_) < 2:
                raise DataError("the target has a single class")
            yc = yc.astype(np.float64)
        self.task_ = task
        loss = _Loss(task, 0 if self.classes_ is None else len(self.classes_))
        rng = np.random.default_rng(self.seed)
        sample = _sample(y, self.sample_rows, rng, task == "classification")
        self.sampled_rows_ = None if len(sample) == n else int(len(sample))
        self.n_inputs_ = X.n_inputs
        self.n_features_in_ = p
        self.kept_, self.candidate_stats_ = [], []
        self.features_ = None
        names, dtypes, lineage = list(X.names), [np.dtype(d) for d in X.dtypes], list(X.lineage)
        self.score_name_ = "gain"
        self.scored_against_ = ("share of the held-out " + loss.label + " of a LightGBM model on the " + str(p)
                                + " original columns that a few boosting rounds on a feature and the columns it is "
                                "made from remove, beyond those columns alone")
        with seeded_names(self.seed), quiet_warnings():
            self._search(values[sample], yc[sample], y[sample], loss, rng, names, dtypes, lineage, progress)
        self.names_, self.dtypes_, self.lineage_ = names, dtypes, lineage
        return self

    def _search(self, xs, ys, labels, loss, rng, names, dtypes, lineage, progress):
        report = progress if progress is not None else (lambda done, total, label: None)
        folds, hold, half = _row_roles(len(xs), rng)
        work = np.flatnonzero(~hold)
        base, base_rows = self._base_model(loss, xs, ys, folds, report)
        fit_rows, least = int(np.count_nonzero(~hold & half)), 2 * STAGE_PARAMS["min_data_in_leaf"]
        if fit_rows < least:
            # No stage tree could split, so every gain would be 0: nothing to screen or boost.
            why = "too few rows for the boosting stages: " + str(fit_rows) + " (at least " + str(least) + ")"
            for name in dict.fromkeys(self.transforms if self.transforms is not None else TREE_TRANSFORMS):
                self.candidate_stats_.append({"round": 1, "transform": name, "considered": 0, "constant": 0,
                                              "copies": 0, "skipped": why})
            return
        resid = loss.residual(base, ys)
        tu = _tu()
        families, pre = self._families(xs, labels, names, dtypes, lineage, tu)
        units, scores = self._screen(families, pre, work, xs[work], resid[work], half[work], report)
        short = self._shortlist(units, scores, xs.shape)
        if not short:
            return
        cols = self._columns(families, short, xs)
        alive, gains = self._halving(loss, xs, ys, base, base_rows, families, short, cols, hold, half, report)
        accepted = self._accept(families, short, cols, work, alive, gains)
        if not accepted:
            return
        count = self._count(loss, xs, ys, base, cols, accepted, hold, report)
        kept = accepted[:count]
        if not kept:
            return
        self._keep(families, [short[a] for a in kept], [float(gains[a]) for a in kept], xs,
                   names, dtypes, lineage, tu)

    def _base_model(self, loss, xs, ys, folds, report):
        """Out-of-fold raw scores of a LightGBM model of the columns, and their loss per row."""
        report(0, 1, "boosting the original columns")
        base = np.zeros((len(xs), loss.k)) if loss.k > 1 else np.zeros(len(xs))
        for f in range(BASE_FOLDS):
            tr, te = folds != f, folds == f
            base[te] = self._boost(loss, xs[tr], ys[tr], None, xs[te], None, BASE_ROUNDS, learning_rate=BASE_RATE)
        base_rows = loss.rows(base, ys)
        self.base_loss_ = float(base_rows.mean())
        return base, base_rows

    def _families(self, xs, labels, names, dtypes, lineage, tu):
        """One fitted module transform per family: (its candidate_stats_ entry, the transform, candidate
        args, output counts); and, by family position, the columns of the group families on ``xs`` when
        they are small enough to keep (the group means are then computed once for all three)."""
        from karrow_libs.vantor.transforms.transform_graph import TransformGraph

        graph = TransformGraph()
        # Groups are categories: a whole-number column with many values (a count, a year) would give
        # means of a handful of rows each, so the group transforms see it as a measurement.  Two
        # groups are one split away for a tree (then the value's own split in each): nothing to add.
        group_dtypes = [np.dtype(np.float64) if d.kind in "iu" and not 2 < len(np.unique(xs[:, j])) <= MAX_GROUPS
                        else d for j, d in enumerate(dtypes)]
        # The module compares dtypes by their names, once per candidate pair: names are given ready.
        dtype_names, group_dtype_names = [str(d) for d in dtypes], [str(d) for d in group_dtypes]
        families, pre = [], {}
        for name in dict.fromkeys(self.transforms if self.transforms is not None else TREE_TRANSFORMS):
            entry = {"round": 1, "transform": name, "considered": 0, "constant": 0, "copies": 0, "skipped": None}
            self.candidate_stats_.append(entry)
            t = tu.TransformBase.GetTransformObj(name, graph)
            if t is None:
                raise ValueError("unknown transform " + repr(name))
            try:
                with module_output():
                    t.fit(xs, labels, list(names), group_dtype_names if name.startswith("groupby") else dtype_names,
                          list(lineage))
                t, args, counts, columns = _candidates(t, xs)
            except _NoCandidates as e:
                entry["skipped"] = str(e)
                continue
            except (MemoryError, KeyboardInterrupt):
                raise
            except Exception as e:
                entry["skipped"] = type(e).__name__ + ": " + " ".join(str(e).split())[:200]
                continue
            entry["considered"] = len(args)
            families.append((entry, t, args, counts))
            if name == "groupbymean" and np.all(counts == 1):
                means = columns
                if means is not None:
                    pre[len(families) - 1] = means
                self._deviations(t, args, xs, labels, names, dtypes, lineage, graph, families, pre, means)
                self._group_ratios(t, args, xs, labels, names, dtypes, lineage, graph, families, pre, means)
        return families, pre

    @staticmethod
    def _screen(families, pre, work, xw, rw, hw, report):
        """Every candidate column on the working rows ``xw`` (rows ``work`` of the sample), block by
        block: the units (family, candidate, output) that are not constant, and their scores beyond the
        best of their input columns."""
        total = float((rw * rw).sum()) or 1.0
        own, _ = _screen_scores(xw, rw, hw, total)
        units, scores = [], []
        n_cands = sum(len(f[2]) for f in families)
        done = 0
        for fi, (entry, t, args, counts) in enumerate(families):
            offsets = np.concatenate([[0], np.cumsum(counts)])
            width = max(8, BLOCK_BYTES // (8 * len(xw) * int(counts.max())))
            for lo in range(0, len(args), width):
                hi = min(lo + width, len(args))
                if fi in pre:
                    block = pre[fi][work, lo:hi]
                else:
                    block = module_columns(restrict(t, list(range(lo, hi))), xw)
                sc, constant = _screen_scores(block, rw, hw, total)
                entry["constant"] += int(np.count_nonzero(constant))
                for c in range(lo, hi):
                    parent = max([0.0] + [own[a] for a in args[c]])
                    for o in range(int(counts[c])):
                        u = int(offsets[c] - offsets[lo]) + o
                        if not constant[u]:
                            units.append((fi, c, o))
                            scores.append(sc[u] - parent)
                done += hi - lo
                report(done, n_cands, "screening candidates")
        return units, np.asarray(scores)

    def _shortlist(self, units, scores, shape):
        """The best-screened units with a positive score, as many as the boosting stages can afford."""
        if not units:
            return []
        ns, p = shape
        # The boosting fits are what the search costs: their number grows with the size of the
        # table (as the cost of one model of it does), never with the time they happen to take.
        budget = int(np.clip(1.5 * np.sqrt(ns * p / 100.0), 8, 60)) - 3
        width = self.shortlist if self.shortlist else max(2, budget // 3)
        order = [i for i in np.argsort(-scores, kind="stable")[:width] if scores[i] > 0]
        return [units[i] for i in order]

    def _halving(self, loss, xs, ys, base, base_rows, families, short, cols, hold, half, report):
        """Successive halving of the shortlist: more rows and rounds for fewer candidates.

        Returns the survivors of the last stage whose gain stands out from the noise of its rows,
        best first, and every candidate's latest gain.
        """
        fit_rows, eval_rows = np.flatnonzero(~hold & half), np.flatnonzero(~hold & ~half)
        alive = list(range(len(short)))
        gains = np.zeros(len(short))
        sure = np.zeros(len(short), dtype=bool)
        stages = _stages(len(fit_rows), len(eval_rows))
        for s, (rows_cap, rounds) in enumerate(stages):
            fr = fit_rows if rows_cap is None or len(fit_rows) <= rows_cap else fit_rows[:rows_cap]
            er = eval_rows if rows_cap is None or len(eval_rows) <= rows_cap else eval_rows[:rows_cap]
            ref = float(base_rows[er].sum()) or 1.0
            cache = {}
            for i, a in enumerate(alive):
                fi, c, _ = short[a]
                parents = list(families[fi][2][c])
                key = tuple(parents)
                if key not in cache:
                    raw = self._boost(loss, xs[np.ix_(fr, parents)], ys[fr], base[fr], xs[np.ix_(er, parents)],
                                      base[er], rounds, **STAGE_PARAMS)
                    cache[key] = loss.rows(raw, ys[er])
                with_c = np.column_stack([xs[:, parents], cols[:, a]])
                raw = self._boost(loss, with_c[fr], ys[fr], base[fr], with_c[er], base[er], rounds, **STAGE_PARAMS)
                diff = cache[key] - loss.rows(raw, ys[er])
                gains[a] = float(diff.sum()) / ref
                spread = float(np.std(diff)) * np.sqrt(len(diff))
                sure[a] = diff.sum() > STAGE_Z * spread
                report(i + 1, len(alive), "boosting stage " + str(s + 1) + " of " + str(len(stages)))
            alive.sort(key=lambda a: -gains[a])
            if s < len(stages) - 1:
                alive = alive[: max(1, (len(alive) + 1) // 2)]
        return [a for a in alive if sure[a]], gains

    def _accept(self, families, short, cols, work, alive, gains):
        """The survivors with a positive gain in score order, skipping what splits the rows like an
        accepted one, at most ``keep``."""
        accepted = []
        rank_cols = {}
        for a in [a for a in alive if gains[a] > 0]:
            ra = _ranks(cols[work, a])
            if any(abs(np.corrcoef(ra, rank_cols[b])[0, 1]) >= RANK_COPY for b in accepted):
                families[short[a][0]][0]["copies"] += 1
                continue
            rank_cols[a] = ra
            accepted.append(a)
            if len(accepted) >= self.keep:
                break
        return accepted

    def _deviations(self, means, args, xs, labels, names, dtypes, lineage, graph, families, pre, values):
        """``diff($v, groupbymean($g, $v))``: each value less its group's mean, a second-round family.

        A tree sees a group mean only as another coding of the group; the deviation from it is
        a diagonal in (value, group mean) that trees cannot split on, so it is built right away.
        """
        entry = {"round": 2, "transform": "diff", "considered": len(args), "constant": 0, "copies": 0,
                 "skipped": None}
        self.candidate_stats_.append(entry)
        context = (xs, labels, list(names), list(dtypes), list(lineage), graph)
        families.append((entry, _Deviations(means, args, context), list(args), np.ones(len(args), dtype=np.intp)))
        if values is not None:
            pre[len(families) - 1] = xs[:, [a[1] for a in args]] - values

    def _group_ratios(self, means, args, xs, labels, names, dtypes, lineage, graph, families, pre, values):
        """``divide($v, groupbymean($g, $v))`` for positive values: each value as a multiple of its group's.

        Where groups differ in scale (a size within a species, a price within a city), the
        relative value is what matters, and trees cannot split on that diagonal either.
        """
        pos = [i for i, a in enumerate(args) if np.min(xs[:, a[1]]) > 0]
        entry = {"round": 2, "transform": "divide", "considered": 0, "constant": 0, "copies": 0, "skipped": None}
        self.candidate_stats_.append(entry)
        if not pos:
            entry["skipped"] = "no positive column with a group"
            return
        from karrow_libs.utils.fc_methods import is_not_categorical

        # The module's divide takes two measurements: the predicate it applies to both is asked first.
        measured = {v: is_not_categorical(xs[:, v]) is not False for v in {args[i][1] for i in pos}}
        pos = [i for i in pos if measured[args[i][1]]]
        width = max(8, BLOCK_BYTES // (8 * len(xs)))
        ok = []
        for lo in range(0, len(pos), width):
            idx = pos[lo:lo + width]
            block = values[:, idx] if values is not None else module_columns(restrict(means, idx), xs)
            ok += [i for k, i in enumerate(idx) if is_not_categorical(block[:, k]) is not False]
        if not ok:
            entry["skipped"] = "no eligible column"
            return
        entry["considered"] = len(ok)
        context = (xs, labels, list(names), list(dtypes), list(lineage), graph)
        families.append((entry, _Deviations(restrict(means, ok), [args[i] for i in ok], context, "divide"),
                         [args[i] for i in ok], np.ones(len(ok), dtype=np.intp)))
        if values is not None:
            pre[len(families) - 1] = xs[:, [args[i][1] for i in ok]] / values[:, ok]

    def _columns(self, families, picks, xs):
        """The columns of the units ``picks`` on ``xs``, in that order."""
        feats = self._features(families, picks)
        return feats.columns(xs)

    @staticmethod
    def _features(families, picks):
        by_family = {}
        for pos, (fi, c, o) in enumerate(picks):
            by_family.setdefault(fi, []).append((pos, c, o))
        groups, positions = [], []
        for fi, items in by_family.items():
            _, t, _, counts = families[fi]
            ucands = sorted(set(c for _, c, _ in items))
            offsets = dict(zip(ucands, np.concatenate([[0], np.cumsum(counts[ucands])[:-1]])))
            built = t.build(ucands) if isinstance(t, _Deviations) else restrict(t, ucands)
            groups.append((built, np.asarray([offsets[c] + o for _, c, o in items], dtype=np.intp)))
            positions.extend(pos for pos, _, _ in items)
        order = np.argsort(np.asarray(positions, dtype=np.intp), kind="stable")
        return _Features(groups, order)

    def _count(self, loss, xs, ys, base, cols, accepted, hold, report):
        """How many of ``accepted`` (best first) to keep, judged on the held-out rows.

        All of them against none first (most tables keep nothing, and that takes two fits); then the
        fewest among 1, 2, 4 that come within one standard error of all of them.
        """
        work, held = np.flatnonzero(~hold), np.flatnonzero(hold)
        if len(held) < 10:
            return 0
        root = np.sqrt(len(held))

        def held_loss(k):
            z = np.column_stack([xs] + [cols[:, a] for a in accepted[:k]])
            raw = self._boost(loss, z[work], ys[work], None, z[held], None, BASE_ROUNDS, learning_rate=BASE_RATE)
            return loss.rows(raw, ys[held])

        m = len(accepted)
        tried = [k for k in COUNTS if k < m]
        report(1, len(tried) + 2, "choosing how many to keep")
        none, every = held_loss(0), held_loss(m)
        gain = none - every
        # None unless all of them beat the input columns alone clearly: noise must keep nothing.
        if gain.mean() <= MIN_Z * float(np.std(gain)) / root:
            return 0
        for i, k in enumerate(tried):
            report(i + 3, len(tried) + 2, "choosing how many to keep")
            gap = held_loss(k) - every
            if gap.mean() <= float(np.std(gap)) / root:
                return k
        return m

    def _keep(self, families, picks, gains, xs, names, dtypes, lineage, tu):
        feats = self._features(families, picks)
        feats.columns(xs[: min(len(xs), 5)])  # the restricted transforms record their column names
        group_names, group_dtypes, group_lineage, group_family, group_round = [], [], [], [], []
        for (t, sel), fi in zip(feats.groups, dict.fromkeys(fi for fi, _, _ in picks)):
            group_names += [t.new_column_names_[i] for i in sel]
            group_dtypes += [np.dtype(t.new_column_dtypes_[i]) for i in sel]
            group_lineage += [t.new_column_as_json_objects_[i] for i in sel]
            group_family += [families[fi][0]["transform"]] * len(sel)
            group_round += [families[fi][0]["round"]] * len(sel)
        for j, g in enumerate(feats.order):
            name = tu.DataUtils.get_unique_column_name(str(group_names[g]), names)
            names.append(name)
            dtypes.append(np.dtype(np.float64) if group_dtypes[g].kind in "biuf" else group_dtypes[g])
            lineage.append(group_lineage[g])
            self.kept_.append({"name": name, "lineage": group_lineage[g], "score": gains[j],
                               "transform": group_family[g], "round": group_round[g]})
        self.features_ = feats

    # ------------------------------------------------------------------
    def transform(self, X):
        """The input columns followed by the kept derived columns."""
        features = getattr(self, "features_", None)
        return append_kept(self, X, [features] if features is not None else [])

    def fit_transform(self, X, y=None, progress=None):
        return self.fit(X, y, progress=progress).transform(X)

    def get_feature_names_out(self, input_features=None):
        return np.asarray(self.names_, dtype=object)
