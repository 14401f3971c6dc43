"""Candidate sources: one per catalogue transform of a round.

A source knows its transform's candidates (the module's own list, learnt by
the transform's ``fit``) and accumulates, over row chunks, the sums the
screening needs for every candidate output column (a "unit"): sum, sum of
squares and cross-products with the residual columns.

How the sums are obtained depends on the transform:

* ``UnarySource`` (``TA1``): the element-wise function applied to a 2-d block
  of eligible columns at once.
* ``GramSource`` (``TA2`` over ``np.multiply``, ``np.add``, ``np.subtract``,
  ``np.true_divide``): the sums of every ordered pair come out of a handful of
  matrix products over the input columns (``X.T @ X``, ``(X*r).T @ X``,
  ``X.T @ (1/X)``, ...), so no candidate column is ever materialised.
* ``PairSource`` (any other ``TA2``): ``np.fmin`` / ``np.fmax`` through the
  fused kernel ``_kernels.pair_sums`` (one pass over the rows per pair, no
  candidate column, the GIL released, ``n_jobs`` threads); other functions
  applied to blocks of column pairs, each block within the memory budget.
* ``ModuleSource`` (``TB1``, ``TGen``, ``TAM``): the fitted transform itself,
  restricted to a block of candidates, computes the output columns.

Every source follows one protocol: ``start(k)`` before a walk over the rows,
``accumulate(xc, rc)`` per row chunk (columns and residual), ``finish()`` for
``(s1, s2, sr)`` per unit; ``SourceSet`` walks them together with the shared
``GramBank``.

Whatever computed the screening sums, the features that are kept (and the
shortlist's exact statistics) are computed by the module's transform object
restricted to the chosen candidates (``restrict``), so names, dtypes and
lineage are the module's.
"""

import numpy as np

from ._module import candidates_of, kind_of, module_columns, restrict
from ._stats import _replace_nonfinite

__all__ = ["make_source", "GramBank", "SourceSet", "candidates_of", "restrict", "module_columns"]


#: Pair functions whose two argument orders give the same column.
SYMMETRIC_FUNCTIONS = (np.multiply, np.add, np.fmin, np.fmax)


class _Source:
    """Common part: units, accumulators, budget."""

    def __init__(self, name, t, cands, budget):
        self.name = name
        self.t = t
        self.cands = cands
        self.budget = budget
        self.considered = len(cands)

    def start(self, k):
        self.s1 = np.zeros(self.n_units)
        self.s2 = np.zeros(self.n_units)
        self.sr = np.zeros((self.n_units, k))

    def _add_block(self, sl, block, rc):
        self.s1[sl] += block.sum(axis=0)
        self.s2[sl] += np.einsum("ij,ij->j", block, block)
        self.sr[sl] += block.T @ rc

    def finish(self):
        return self.s1, self.s2, self.sr

    def signature(self, unit):
        """A key shared by units that compute the same column (both orders of a symmetric pair)."""
        return unit

    def unit_candidates(self, units):
        """Candidate positions and output positions of ``units``."""
        units = np.asarray(units, dtype=np.intp)
        return self.unit_cand[units], self.unit_out[units]


class _PairUnits(_Source):
    """Sources whose units are ordered column pairs: one output per pair."""

    def __init__(self, name, t, cands, budget):
        super().__init__(name, t, cands, budget)
        pairs = np.asarray(cands, dtype=np.intp).reshape(-1, 2)
        self.i, self.j = pairs[:, 0], pairs[:, 1]
        self.n_units = len(pairs)
        self.counts = np.ones(self.n_units, dtype=np.intp)
        self.unit_cand = np.arange(self.n_units)
        self.unit_out = np.zeros(self.n_units, dtype=np.intp)
        self.symmetric = getattr(t, "fun", None) in SYMMETRIC_FUNCTIONS

    def signature(self, unit):
        i, j = int(self.i[unit]), int(self.j[unit])
        return (min(i, j), max(i, j)) if self.symmetric else (i, j)


class UnarySource(_Source):
    def __init__(self, name, t, cands, budget):
        super().__init__(name, t, cands, budget)
        self.cols = np.asarray(cands, dtype=np.intp)
        self.n_units = len(self.cols)
        self.counts = np.ones(self.n_units, dtype=np.intp)
        self.unit_cand = np.arange(self.n_units)
        self.unit_out = np.zeros(self.n_units, dtype=np.intp)
        self.fun = t.fun
        self.vectorised = True

    def _apply(self, block):
        with np.errstate(all="ignore"):
            if self.vectorised:
                out = np.asarray(self.fun(block), dtype=np.float64)
                if out.shape == block.shape:
                    return _replace_nonfinite(out)
                self.vectorised = False
            return _replace_nonfinite(np.column_stack(
                [np.asarray(self.fun(block[:, j]), dtype=np.float64).reshape(-1) for j in range(block.shape[1])]))

    def accumulate(self, xc, rc):
        width = max(1, self.budget // (3 * 8 * max(len(xc), 1)))
        for lo in range(0, self.n_units, width):
            sl = slice(lo, min(lo + width, self.n_units))
            self._add_block(sl, self._apply(xc[:, self.cols[sl]]), rc)


def _fused_kernels():
    try:
        from . import _kernels
    except ImportError:  # a build without the optional kernel: numpy blocks do the same work
        return None
    return _kernels


#: Element-wise functions the fused kernel computes (by the name it knows them by).
FUSED_FUNCTIONS = {np.fmin: "fmin", np.fmax: "fmax"}


class PairSource(_PairUnits):
    def __init__(self, name, t, cands, budget, threads=1):
        super().__init__(name, t, cands, budget)
        self.fun = t.fun
        self.threads = threads
        op = FUSED_FUNCTIONS.get(self.fun) if isinstance(self.fun, np.ufunc) else None
        self.kernel = _fused_kernels() if op is not None else None
        self.op = op

    def _halves(self):
        """For a symmetric function, the units of one order of each pair and where every unit reads from."""
        if not hasattr(self, "_half"):
            if self.symmetric:
                width = int(max(self.i.max(), self.j.max())) + 1
                keys = np.minimum(self.i, self.j) * width + np.maximum(self.i, self.j)
                _, first, back = np.unique(keys, return_index=True, return_inverse=True)
                self._half = (first, back.reshape(-1))
            else:
                self._half = None
        return self._half

    #: Units a later step of a round screens again, at most: the best of the first screen.
    FOCUS = 1000

    def focus(self, scores):
        """Walk only the ``FOCUS`` units that scored best on the first screen from now on (the others' sums
        stay 0, so they score 0).  Unlike the matrix-product sources, every walk costs this source a pass over
        the rows per pair; a pair far down the first screen of a round seldom rises to the top later."""
        if self.kernel is not None and self.n_units > self.FOCUS:
            self._focus = np.sort(np.argsort(-np.round(scores, 12), kind="stable")[: self.FOCUS])

    def accumulate(self, xc, rc):
        if self.kernel is not None:
            # One pass over the rows per pair, no candidate column in memory, the GIL released. Walked: the
            # focused units, or every unit with both orders of a symmetric pair summed once.
            focus = getattr(self, "_focus", None)
            half = self._halves() if focus is None and self.n_units else None
            walked = focus if focus is not None else (slice(None) if half is None else half[0])
            s1, s2, sr = self.kernel.pair_sums(np.asfortranarray(xc), self.i[walked].astype(np.int64),
                                               self.j[walked].astype(np.int64), np.asfortranarray(rc), self.op,
                                               self.threads)
            if half is not None:
                s1, s2, sr = s1[half[1]], s2[half[1]], sr[half[1]]
            into = focus if focus is not None else slice(None)
            self.s1[into] += s1
            self.s2[into] += s2
            self.sr[into] += sr
            return
        width = max(1, self.budget // (4 * 8 * max(len(xc), 1)))
        for lo in range(0, self.n_units, width):
            sl = slice(lo, min(lo + width, self.n_units))
            with np.errstate(all="ignore"):
                block = np.asarray(self.fun(xc[:, self.i[sl]], xc[:, self.j[sl]]), dtype=np.float64)
            self._add_block(sl, _replace_nonfinite(block), rc)


#: Binary element-wise functions whose pair sums come from matrix products.
GRAM_FUNCTIONS = {np.multiply: "product", np.add: "sum", np.subtract: "diff", np.true_divide: "divide"}


#: Widest table whose pair candidates are screened on top of its columns (the cross-products grow with the cube).
PARTIAL_LIMIT = 48


#: The bank's products that do not involve the residual.
_FIXED_SUMS = ("xtx", "sx", "sx2", "x2tx2", "xtw", "x2tw2")


class GramBank:
    """The matrix products over the input columns that the pair sources read.

    Filled chunk by chunk; only the products some source needs are formed.
    Per row chunk it holds at most six (rows x columns) temporaries.
    """

    def __init__(self, p):
        self.p = p
        self.kinds = set()
        self.k = 0
        self.m = {}
        # Cross-products of every pair candidate with every column (sum x_i x_j x_b), for scores on top of
        # the columns: they do not depend on the residual, so the first whole walk forms them for all steps.
        self.partial = p <= PARTIAL_LIMIT
        self.cube = None
        self.cube_rows = 0
        # The products without the residual are the same on every walk over the same rows: the first whole
        # walk keeps them for the next ones.  Off where a walk may end early (a time budget), since its
        # residual sums would then cover fewer rows than the kept ones.
        self.reuse = True
        self._fixed = None

    def start(self, k):
        p = self.p
        self.k = k
        self.rows = 0
        need = self.need = set()
        if self.partial and self.kinds & {"product", "divide"}:
            need |= {"xtx", "sx", "xr"}
            if self.cube is None:
                self._cube = {"xxx": np.zeros((p, p, p))} if "product" in self.kinds else {}
                if "divide" in self.kinds:
                    self._cube["xxw"] = np.zeros((p, p, p))
            else:
                self._cube = None
        if self.kinds & {"sum", "diff"}:
            need |= {"xtx", "sx", "sx2", "xr"}
        if "product" in self.kinds:
            need |= {"xtx", "x2tx2", "xrx"}
        if "divide" in self.kinds:
            need |= {"xtw", "x2tw2", "xrw"}
        self.m = {}
        if self._fixed is not None and set(self._fixed) <= need:
            self.m.update({key: value.copy() for key, value in self._fixed.items()})
            need -= set(self._fixed)
        for key in need:
            if key in ("sx", "sx2"):
                self.m[key] = np.zeros(p)
            elif key == "xr":
                self.m[key] = np.zeros((p, k))
            elif key in ("xrx", "xrw"):
                self.m[key] = np.zeros((k, p, p))
            else:
                self.m[key] = np.zeros((p, p))

    @staticmethod
    def rows_per_chunk(p, k, budget):
        return max(64, budget // (8 * max(p, 1) * (5 + k)))

    def finish(self):
        if getattr(self, "_cube", None) is not None:
            self.cube, self.cube_rows, self._cube = self._cube, self.rows, None
        if self.reuse and self._fixed is None:
            self._fixed = {key: self.m[key].copy() for key in _FIXED_SUMS if key in self.m}
        return None

    def basis_ready(self):
        """Whether the column cross-products cover exactly the rows of the walk just finished."""
        return self.cube is not None and self.cube_rows == self.rows

    def accumulate(self, xc, rc):
        m, need = self.m, self.need
        self.rows += xc.shape[0]
        x2 = xc * xc if need & {"sx2", "x2tx2", "x2tw2"} else None
        if "xtx" in need:
            m["xtx"] += xc.T @ xc
        if "sx" in need:
            m["sx"] += xc.sum(axis=0)
        if "sx2" in need:
            m["sx2"] += x2.sum(axis=0)
        if "xr" in need:
            m["xr"] += xc.T @ rc
        if "x2tx2" in need:
            m["x2tx2"] += x2.T @ x2
        w = None
        if need & {"xtw", "x2tw2", "xrw"}:
            with np.errstate(all="ignore"):
                w = _replace_nonfinite(1.0 / xc)
        if "xtw" in need:
            m["xtw"] += xc.T @ w
        if "x2tw2" in need:
            w2 = w * w
            m["x2tw2"] += x2.T @ w2
            del w2
        cube = getattr(self, "_cube", None)
        if cube:
            if w is None and "xxw" in cube:
                with np.errstate(all="ignore"):
                    w = _replace_nonfinite(1.0 / xc)
            for b in range(self.p):
                xb = xc * xc[:, b:b + 1]
                if "xxx" in cube:
                    cube["xxx"][b] += xb.T @ xc
                if "xxw" in cube:
                    cube["xxw"][b] += xb.T @ w
        for q in range(self.k):
            if need & {"xrx", "xrw"}:
                xr = xc * rc[:, q:q + 1]
                if "xrx" in need:
                    m["xrx"][q] += xr.T @ xc
                if "xrw" in need:
                    m["xrw"][q] += xr.T @ w


class GramSource(_PairUnits):
    def __init__(self, name, t, cands, budget, kind, bank):
        super().__init__(name, t, cands, budget)
        self.kind = kind
        self.bank = bank
        bank.kinds.add(kind)

    def start(self, k):
        pass  # the bank is started once for all pair sources

    def accumulate(self, xc, rc):
        pass  # the bank does the work, once for all pair sources

    def finish(self):
        m, i, j, k = self.bank.m, self.i, self.j, self.bank.k
        if self.kind == "product":
            s1 = m["xtx"][i, j]
            s2 = m["x2tx2"][i, j]
            sr = np.stack([m["xrx"][q][i, j] for q in range(k)], axis=1)
        elif self.kind in ("sum", "diff"):
            sign = 1.0 if self.kind == "sum" else -1.0
            s1 = m["sx"][i] + sign * m["sx"][j]
            s2 = m["sx2"][i] + 2 * sign * m["xtx"][i, j] + m["sx2"][j]
            sr = m["xr"][i] + sign * m["xr"][j]
        else:  # divide: a / b = a * (1 / b), with 0 where b is 0, as the transform's 0 for inf/NaN
            s1 = m["xtw"][i, j]
            s2 = m["x2tw2"][i, j]
            sr = np.stack([m["xrw"][q][i, j] for q in range(k)], axis=1)
        return s1, s2, sr

    def basis_sums(self):
        """(units, columns) sums of each candidate times each column, or None where not formed."""
        bank = self.bank
        if not bank.basis_ready():
            return None
        m, i, j = bank.m, self.i, self.j
        if self.kind == "product":
            return bank.cube["xxx"][:, i, j].T
        if self.kind == "divide":
            return bank.cube["xxw"][:, i, j].T
        if "xtx" in m:
            sign = 1.0 if self.kind == "sum" else -1.0
            return m["xtx"][i, :] + sign * m["xtx"][j, :]
        return None


class ModuleSource(_Source):
    """A transform whose columns only its fitted object can compute."""

    def __init__(self, name, t, cands, budget, probe):
        super().__init__(name, t, cands, budget)
        # Output columns per candidate, learnt on a few rows: estimators such
        # as a one-hot encoder yield several.
        counts = []
        for c in range(len(cands)):
            counts.append(module_columns(restrict(t, [c]) if cands != [None] else t, probe).shape[1])
        counts = np.asarray(counts, dtype=np.intp)
        self.counts = counts
        self.offsets = np.concatenate([[0], np.cumsum(counts)])
        self.n_units = int(self.offsets[-1])
        self.unit_cand = np.repeat(np.arange(len(cands)), counts)
        self.unit_out = np.arange(self.n_units) - self.offsets[self.unit_cand]

    def accumulate(self, xc, rc):
        width = max(1, self.budget // (3 * 8 * max(len(xc), 1)))
        c = 0
        while c < len(self.cands):
            e = c + 1
            while e < len(self.cands) and self.offsets[e + 1] - self.offsets[c] <= width:
                e += 1
            t = self.t if self.cands == [None] else restrict(self.t, list(range(c, e)))
            block = module_columns(t, xc)
            self._add_block(slice(int(self.offsets[c]), int(self.offsets[e])), block, rc)
            c = e


def make_source(name, t, cands, budget, probe, bank, threads=1):
    """The source for the fitted transform ``t`` over its candidates ``cands``.

    Pair transforms whose sums come from matrix products share ``bank``.
    """
    kind, fun = kind_of(t)
    if kind == "unary":
        return UnarySource(name, t, cands, budget)
    if kind == "binary":
        gram = GRAM_FUNCTIONS.get(fun)
        if gram is not None:
            return GramSource(name, t, cands, budget, gram, bank)
        return PairSource(name, t, cands, budget, threads)
    return ModuleSource(name, t, cands, budget, probe)


class SourceSet:
    """The sources of a round walked together: ``start(k)``, ``accumulate(xc, rc)`` per row chunk, then
    ``finish()`` gives each source's ``(s1, s2, sr)``."""

    def __init__(self, sources, bank):
        self.sources = sources
        self.bank = bank

    def __len__(self):
        return len(self.sources)

    def __getitem__(self, i):
        return self.sources[i]

    def __iter__(self):
        return iter(self.sources)

    def start(self, k):
        if self.bank.kinds:
            self.bank.start(k)
        for src in self.sources:
            src.start(k)

    def accumulate(self, xc, rc):
        if self.bank.kinds:
            self.bank.accumulate(xc, rc)
        for src in self.sources:
            src.accumulate(xc, rc)

    def finish(self):
        self.bank.finish()
        return [src.finish() for src in self.sources]
