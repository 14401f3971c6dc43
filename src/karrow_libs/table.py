"""The table that flows between the steps of a feature-engineering run.

The module's transforms take a bare 2-d array and keep the column names,
dtypes and JSON lineage objects in lists beside it.  :class:`Table` carries
the four together, so the preparation step, the search and the selectors can
pass one object through a scikit-learn ``Pipeline`` (which hands each step's
output to the next untouched).

It also holds the three guards every step puts around the module's calls:
:func:`module_output`, :func:`quiet_warnings` and :func:`seeded_names`.  A
step may run in several threads at once (a grid search, a web service), so
none of them swaps process-wide state for the others: printed lines and
warnings are routed per thread, and the seeded sections take turns.
"""

import contextlib
import io
import random
import re
import sys
import threading
import warnings

__all__ = ["DataError", "Table", "as_table", "module_output", "quiet_warnings", "seeded_names"]


class DataError(Exception):
    """The data cannot be used (as opposed to a bug): reported in one line."""


class _ThreadStdout:
    """Stands in for ``sys.stdout`` while some thread collects the module's output.

    Lines printed by a collecting thread go to that thread's innermost buffer;
    every other thread writes to the stream that was there before, untouched.
    """

    def __init__(self, stream):
        self._stream = stream
        self._local = threading.local()

    def _buffers(self):
        stack = getattr(self._local, "buffers", None)
        if stack is None:
            stack = self._local.buffers = []
        return stack

    def _target(self):
        stack = getattr(self._local, "buffers", None)
        return stack[-1] if stack else self._stream

    def write(self, text):
        target = self._target()
        # Without a console (sys.stdout None), print writes nothing.
        return len(text) if target is None else target.write(text)

    def writelines(self, lines):
        for line in lines:
            self.write(line)

    def flush(self):
        target = self._target()
        if target is not None:
            target.flush()

    def __getattr__(self, name):
        return getattr(self._stream, name)


_stdout_lock = threading.Lock()
_stdout_proxy = None
_stdout_users = 0


@contextlib.contextmanager
def module_output(echo=None):
    """Collect what the module prints, instead of mixing it into the report.

    The transforms and selectors print their diagnostics with ``print``; the
    report owns standard output, so those lines go to ``echo`` (a text stream,
    for instance standard error in verbose mode) or are dropped.  Only the
    calling thread's output is collected; ``sys.stdout`` is the caller's again
    once the last collecting thread is done.
    """
    global _stdout_proxy, _stdout_users
    buffer = io.StringIO()
    with _stdout_lock:
        if _stdout_users == 0:
            _stdout_proxy = _ThreadStdout(sys.stdout)
            sys.stdout = _stdout_proxy
        _stdout_users += 1
        proxy = _stdout_proxy
    stack = proxy._buffers()
    stack.append(buffer)
    try:
        yield buffer
    finally:
        stack.remove(buffer)
        with _stdout_lock:
            _stdout_users -= 1
            if _stdout_users == 0:
                # Whoever replaced the proxy in the meantime owns sys.stdout now.
                if sys.stdout is _stdout_proxy:
                    sys.stdout = _stdout_proxy._stream
                _stdout_proxy = None
        if echo is not None and buffer.getvalue():
            echo.write(buffer.getvalue())
            echo.flush()


class _ThreadMatch:
    """The message pattern of a warnings filter that holds for quiet threads only.

    The warnings machinery asks every filter's pattern ``match(text)``; this
    one answers for the thread that raised the warning, so one filter in the
    shared list silences a category in some threads and no others.
    """

    def __init__(self):
        self._local = threading.local()

    def depth(self):
        return getattr(self._local, "depth", 0)

    def enter(self):
        self._local.depth = self.depth() + 1

    def leave(self):
        self._local.depth = self.depth() - 1

    def match(self, text):
        return self.depth() > 0

    # Libraries that copy the filter list into their workers (scikit-learn's
    # Parallel does) rebuild each entry from its pattern text, and may leave the
    # rebuilt list behind when their workers race: the copy of this entry is
    # one that never matches, so no worker and no leftover ignores anything.
    pattern = "(?!)"

    def __reduce__(self):
        return re.compile, (self.pattern,)

    def __repr__(self):
        return "<warnings silenced in this thread>"


_warnings_lock = threading.Lock()
_quiet_filters = {}  # category -> [filter entry, number of quiet sections]


def _filters_changed():
    # The per-module registries cache the filters' verdicts until told otherwise.
    mutated = getattr(warnings, "_filters_mutated", None) or getattr(warnings, "_filters_mutated_lock_held", None)
    if mutated is not None:
        mutated()


@contextlib.contextmanager
def quiet_warnings(*categories, active=True):
    """Silence warnings of ``categories`` (every warning by default) in this thread.

    Other threads keep seeing their warnings, and the shared filter list holds
    no trace of the section once the last quiet section of any thread is over.
    ``active=False`` silences nothing (a verbose run).
    """
    categories = tuple(dict.fromkeys(categories or (Warning,))) if active else ()
    entries = []
    with _warnings_lock:
        for category in categories:
            slot = _quiet_filters.get(category)
            if slot is None or slot[0] not in warnings.filters:
                entry = ("ignore", _ThreadMatch(), category, None, 0)
                warnings.filters.insert(0, entry)
                slot = _quiet_filters[category] = [entry, 0]
                _filters_changed()
            slot[1] += 1
            entries.append(slot[0])
    for entry in entries:
        entry[1].enter()
    try:
        yield
    finally:
        for entry in entries:
            entry[1].leave()
        with _warnings_lock:
            for category, entry in zip(categories, entries):
                slot = _quiet_filters.get(category)
                if slot is None or slot[0] is not entry:
                    continue
                slot[1] -= 1
                if slot[1] == 0:
                    del _quiet_filters[category]
                    with contextlib.suppress(ValueError):
                        warnings.filters.remove(entry)
                    _filters_changed()


_seed_lock = threading.RLock()


@contextlib.contextmanager
def seeded_names(seed):
    """Seed the shared ``random`` for the suffix digits of colliding names, then put its state back.

    The module draws those digits from the shared generator, so two threads
    naming at once would take each other's digits: seeded sections take turns,
    and a thread that nests them keeps its place.
    """
    with _seed_lock:
        state = random.getstate()
        random.seed(seed)
        try:
            yield
        finally:
            random.setstate(state)


class Table:
    """A numeric table with the description the transforms need.

    ``values``: 2-d float64 array; ``names``, ``dtypes``, ``lineage``: lists
    aligned with its columns (names, numpy dtypes, JSON name objects);
    ``n_inputs``: how many leading columns are the prepared input columns
    (the rounds only ever append).
    """

    __slots__ = ("values", "names", "dtypes", "lineage", "n_inputs")

    def __init__(self, values, names, dtypes, lineage, n_inputs):
        self.values = values
        self.names = list(names)
        self.dtypes = list(dtypes)
        self.lineage = list(lineage)
        self.n_inputs = n_inputs

    @property
    def shape(self):
        return self.values.shape

    # A table also reads as its 2-d array, so scikit-learn's combinators
    # (ColumnTransformer, FeatureUnion) can stack it with other outputs.
    ndim = 2

    def __len__(self):
        return self.values.shape[0]

    def __array__(self, dtype=None, copy=None):
        import numpy as np

        return np.asarray(self.values, dtype=dtype) if dtype is not None else self.values

    def __getstate__(self):
        return {k: getattr(self, k) for k in self.__slots__}

    def __setstate__(self, state):
        for k, v in state.items():
            setattr(self, k, v)

    def __repr__(self):
        return "Table(" + str(self.values.shape[0]) + " rows, " + str(self.values.shape[1]) + " columns)"


def as_table(X, step):
    """``X`` itself when it is a :class:`Table`; a TypeError naming ``step`` otherwise."""
    if not isinstance(X, Table):
        raise TypeError(step + " expects a karrow_libs.table.Table, got " + type(X).__name__)
    return X
