"""What a run found, and how it is shown: the result object, ``render``, and the progress bar.

``RunResult`` is filled by the run (either engine: where and how it ran are
fields too) and turned into the report text by :func:`render`; its ``cv`` is
the library's :class:`karrow_libs.evaluate.Comparison`.  Nothing here
imports numpy, pandas or scikit-learn.
"""

import dataclasses
import math
import shutil
import statistics
import textwrap
import time
from typing import Any, Dict, List, Optional

from .messages import PROG, shortlist

__all__ = ["RunResult", "render", "timings", "Progress", "format_table", "format_seconds", "format_score",
           "metric_label"]

#: How scikit-learn scorer names read in the report.
_METRIC_LABELS = {"r2": "R^2", "roc_auc": "ROC AUC", "balanced_accuracy": "balanced accuracy"}


def metric_label(name):
    return _METRIC_LABELS.get(name, name.replace("_", " "))


@dataclasses.dataclass
class RunResult:
    """Everything the report shows about one run."""

    source: str
    rows: int
    n_features: int
    target: str
    task: str
    task_from: str = "guessed"
    dropped_rows: int = 0
    plan: List[Dict[str, Any]] = dataclasses.field(default_factory=list)
    n_kinds: Dict[str, int] = dataclasses.field(default_factory=dict)
    n_inputs: int = 0
    selector: str = "gain"
    score_name: str = "score"
    scored_against: str = ""
    sampled_rows: Optional[int] = None
    #: Where the search's screening stopped when it ran out of --time-budget (None: it did not).
    stopped_early: Optional[str] = None
    candidate_stats: List[Dict[str, Any]] = dataclasses.field(default_factory=list)
    kept: List[Dict[str, Any]] = dataclasses.field(default_factory=list)
    fit_seconds: float = 0.0
    cv: Optional[Any] = None
    cv_skipped: str = ""
    warnings: List[str] = dataclasses.field(default_factory=list)
    #: The model the kept features were chosen for, and why the saved pipeline holds it.
    model: str = ""
    saved_why: str = ""
    #: Model name -> kept features, for the other families whose search chose differently.
    other_kept: Dict[str, List[Dict[str, Any]]] = dataclasses.field(default_factory=dict)
    #: Model name -> the fitted features of every family (for reports that draw the kept features).
    features: Dict[str, Any] = dataclasses.field(default_factory=dict, repr=False)
    #: The Dask engine's facts (None in memory): where, partitions, rows, sample_rows, rescored_rows,
    #: rescore_passes, seed.
    engine: Optional[Dict[str, Any]] = None


def _finite(x):
    return isinstance(x, (int, float)) and math.isfinite(x)


def _kinds_text(n_kinds):
    parts = [str(n) + " " + (kind if n != 1 or kind != "dates" else "date") for kind, n in n_kinds.items() if n]
    return ", ".join(parts) if parts else "none"


def _plan_lines(plan):
    """How each kind was prepared (numeric columns are listed only by count) and why columns were left out."""
    lines = []
    by_how = {}
    for step in plan:
        if step.get("kind") in ("category", "date"):
            by_how.setdefault((step["kind"], step.get("how", "")), []).append(step["column"])
    for (kind, how), columns in by_how.items():
        label = "categories" if kind == "category" else "dates"
        lines.append("           " + label + " (" + how + "): " + shortlist(columns, 6) if how
                     else "           " + label + ": " + shortlist(columns, 6))
    written = [step for step in plan if step.get("format")]
    if written:
        lines.append("           numbers written as text: " + "; ".join(
            str(s["column"]) + " (" + s["format"] + ")" for s in written[:6])
            + ("; ... (" + str(len(written)) + " in all)" if len(written) > 6 else ""))
    unread = [step for step in plan if step.get("unparsed")]
    if unread:
        lines.append("           cells not read, taken as missing: " + "; ".join(
            str(s["column"]) + " " + "{:,}".format(s["unparsed"])
            + (" (" + ", ".join(repr(e) for e in s.get("unparsed_examples", [])[:3]) + ")"
               if s.get("unparsed_examples") else "") for s in unread[:6])
            + ("; ... (" + str(len(unread)) + " in all)" if len(unread) > 6 else ""))
    left = [step for step in plan if step.get("kind") == "left_out"]
    if left:
        text = "; ".join(str(s["column"]) + " (" + str(s.get("reason") or "not usable") + ")" for s in left[:6])
        if len(left) > 6:
            text += "; ... (" + str(len(left)) + " in all)"
        lines.append("           left out: " + text)
    return lines


def _candidate_rows(stats):
    rows = []
    for s in stats:
        rows.append([s.get("round", 1), s["transform"], _count(s.get("considered")), _count(s.get("constant")),
                     _count(s.get("copies")), s.get("skipped") or ""])
    return rows


def _count(n):
    return "" if n is None else "{:,}".format(int(n))


def _count_range(counts):
    lo, hi = min(counts), max(counts)
    return str(lo) if lo == hi else str(lo) + "-" + str(hi)


def _cv_lines(cv):
    shared = "; the same search serves both families" if getattr(cv, "shared_search", False) else ""
    lines = textwrap.wrap("Cross-validated models (" + str(cv.folds) + " folds, seed " + str(cv.seed) + "; the "
                          "preparation and the search are refitted in every fold" + shared + ")", 100,
                          subsequent_indent="  ")
    rows = []
    for family in cv.families:
        for columns in ("original", "engineered"):
            for metric in cv.metrics:
                folds = cv.scores[family][columns][metric]
                rows.append([cv.models[family], columns, _count_range(cv.n_columns[family][columns]),
                             metric_label(metric), "{:.3f}".format(statistics.fmean(folds)),
                             "{:.3f}".format(statistics.pstdev(folds)), "{:.3f}".format(min(folds)),
                             " ".join("{:.3f}".format(s) for s in folds) if cv.folds <= 6 else ""])
    headers = ["model", "columns", "n", "metric", "mean", "sd", "worst", "per fold" if cv.folds <= 6 else ""]
    lines.append(format_table(headers, rows, ["<", "<", ">", "<", ">", ">", ">", "<"]))
    if len(cv.families) > 1:
        best = cv.best
        lines.append("best engineered model: " + cv.models[best] + " ({} {:.3f})".format(
            metric_label(cv.metrics[0]), cv.mean(best, "engineered")))
    return lines


def cv_warnings(cv):
    """One-line warnings per family: engineered below original, or an engineered fold far below the same original fold."""
    if cv is None:
        return []
    out = []
    metric = cv.metrics[0]
    label = metric_label(metric)
    for family in cv.families:
        base, eng = cv.scores[family]["original"][metric], cv.scores[family]["engineered"][metric]
        who = cv.models[family]
        if statistics.fmean(eng) < statistics.fmean(base):
            out.append("with {}, the engineered columns score below the original ones ({} {:.3f} vs {:.3f}); the "
                       "derived features do not help this model".format(who, label, statistics.fmean(eng),
                                                                          statistics.fmean(base)))
        tolerance = max(3 * statistics.pstdev(base), 0.1 * max(abs(statistics.fmean(base)), 1.0))
        for k, (b, e) in enumerate(zip(base, eng), 1):
            if e < b - tolerance:
                out.append("fold {} collapsed with the engineered columns and {} ({} {:.3f} vs {:.3f} with the "
                           "original ones): a kept feature may amplify a few extreme rows".format(k, who, label, e, b))
    return out


def _engine_lines(engine):
    """Where the Dask engine ran and on what (no wall times: equal runs, equal reports)."""
    lines = ["engine     dask (" + engine["where"] + "): " + "{:,}".format(engine["partitions"]) + " partitions"]
    passes = engine.get("rescore_passes", 1)
    lines.append("           fitted on a sample of " + "{:,}".format(engine["sample_rows"]) + " of "
                 + "{:,}".format(engine["rows"]) + " rows (seed " + str(engine["seed"]) + "); the shortlist "
                 "rescored on all " + "{:,}".format(engine["rescored_rows"]) + " rows with a target"
                 + (" (" + str(passes) + " passes)" if passes > 1 else ""))
    if engine.get("cv_on_sample"):
        lines.append("           cross-validation on the sample's rows")
    return lines


def _kept_lines(kept, score_name, title):
    ranked = sorted(kept, key=lambda k: -k["score"] if _finite(k.get("score")) else math.inf)
    rows = [[i, format_score(k.get("score")), k["name"]] for i, k in enumerate(ranked, 1)]
    return [title, format_table(["#", score_name, "feature"], rows, [">", ">", "<"])]


def timings(result):
    """One line of wall times, for standard error: the report itself is the same for the same run."""
    text = "search fitted in " + format_seconds(result.fit_seconds)
    if result.cv is not None:
        text += "; cross-validation " + ", ".join(label + " " + format_seconds(s)
                                                  for label, s in result.cv.seconds.items())
    return text


def render(result):
    """The report of a run, as text (no trailing newline); it holds no wall times, so equal runs print equal reports."""
    r = result
    lines = ["data       " + r.source + ": " + "{:,}".format(r.rows) + " rows, " + str(r.n_features)
             + " feature columns, target " + repr(r.target) + " (" + r.task + ", " + r.task_from + ")"]
    if r.dropped_rows:
        lines.append("           dropped " + "{:,}".format(r.dropped_rows) + " row(s) with no value in "
                     + repr(r.target))
    if r.engine:
        lines.extend(_engine_lines(r.engine))
    lines.append("prepared   " + str(r.n_inputs) + " columns: " + _kinds_text(r.n_kinds))
    lines.extend(_plan_lines(r.plan))
    considered = sum(int(s.get("considered") or 0) for s in r.candidate_stats)
    searched = "searched   " + "{:,}".format(considered) + " candidates"
    if r.sampled_rows:
        searched += ", screened on a sample of " + "{:,}".format(r.sampled_rows) + " rows, the best rescored on all"
    lines.append(searched)
    if r.stopped_early:
        lines.append("           screening stopped early: " + r.stopped_early)
    if r.candidate_stats:
        lines.append(format_table(["round", "transform", "considered", "constant", "copies", "skipped"],
                                  _candidate_rows(r.candidate_stats), [">", "<", ">", ">", ">", "<"]))
    lines.append("selected   " + r.selector + ": " + str(r.n_inputs) + " original + " + str(len(r.kept))
                 + " derived columns")
    if r.scored_against:
        lines.extend(textwrap.wrap("scores: " + r.scored_against, 100, initial_indent=" " * 11,
                                   subsequent_indent=" " * 19))
    lines.append("")
    chosen_for = " (chosen for " + r.model + ")" if r.model else ""
    if r.kept:
        lines.extend(_kept_lines(r.kept, r.score_name, "Kept derived features" + chosen_for))
    else:
        lines.append("No derived feature was kept" + chosen_for + ".")
    for model, kept in r.other_kept.items():
        lines.append("")
        lines.extend(_kept_lines(kept, "score", "Kept derived features (chosen for " + model + ")") if kept
                     else ["No derived feature was kept (chosen for " + model + ")."])
    lines.append("")
    if r.cv is None:
        lines.append("Model comparison skipped (" + (r.cv_skipped or "--cv 0") + ").")
    else:
        lines.extend(_cv_lines(r.cv))
    if r.saved_why:
        lines.append(r.saved_why)
    warnings = list(r.warnings) + cv_warnings(r.cv)
    if warnings:
        lines.append("")
        lines.extend("warning: " + w for w in warnings)
    return "\n".join(lines)


class Progress:
    """A one-line progress bar on a terminal stream, at most 80 columns wide.

    It draws only when ``enabled`` (the caller passes ``stream.isatty()`` and
    not ``--quiet``), so redirected output and logs never see carriage
    returns; with ``every`` seconds instead, a stream that is no terminal gets
    one plain line that often, so a long run in a log or a pipe shows it is alive.  Call it as ``progress(done, total, label)`` -- the signature the
    search's ``progress`` callback has -- at any rate: it redraws at most ten
    times a second.  ``close()`` erases the line.
    """

    WIDTH = 80

    def __init__(self, stream, enabled, title="", every=None):
        self.stream = stream
        self.enabled = enabled
        self.every = every
        self.title = title
        self.start = time.perf_counter()
        self._width = 0
        self._last = 0.0

    def __call__(self, done, total, label=""):
        if not self.enabled:
            self._note(done, total, label)
            return
        now = time.perf_counter()
        if now - self._last < 0.1 and done < total:
            return
        self._last = now
        self.stream.write("\r" + self.line(done, total, label, now - self.start).ljust(self._width))
        self._width = len(self.line(done, total, label, now - self.start))
        self.stream.flush()

    def line(self, done, total, label, elapsed):
        total = max(int(total), 1)
        done = min(max(int(done), 0), total)
        bar_width = 20
        filled = int(bar_width * done / total)
        head = "{} [{}] {:>3d}% {} ".format(self.title, "#" * filled + "-" * (bar_width - filled),
                                           100 * done // total, format_seconds(elapsed)).lstrip()
        width = min(shutil.get_terminal_size((self.WIDTH, 20)).columns, self.WIDTH) - 1
        label = str(label)
        room = width - len(head)
        if len(label) > room:
            label = label[: max(room - 3, 0)] + "..."
        return (head + label)[:width]

    def _note(self, done, total, label):
        now = time.perf_counter()
        if self.every is None or now - max(self._last, self.start) < self.every:
            return
        self._last = now
        pct = 100 * min(max(int(done), 0), max(int(total), 1)) // max(int(total), 1)
        self.stream.write(PROG + ": " + self.title + " " + str(pct) + "% after " + format_seconds(now - self.start)
                          + (": " + str(label) if label else "") + "\n")
        self.stream.flush()

    def close(self):
        if self.enabled and self._width:
            self.stream.write("\r" + " " * self._width + "\r")
            self.stream.flush()
        self._width = 0

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


def format_seconds(seconds):
    if seconds < 10:
        return "{:.2f} s".format(seconds)
    if seconds < 120:
        return "{:.1f} s".format(seconds)
    return "{:d} min {:02d} s".format(int(seconds // 60), int(seconds % 60))


def format_score(value):
    """A score in a few significant digits; large F-scores without exponent."""
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "n/a"
    value = float(value)
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    magnitude = abs(value)
    if magnitude >= 1000:
        return "{:,.0f}".format(value)
    if magnitude >= 1 or magnitude == 0:
        return "{:.3g}".format(value) if magnitude < 100 else "{:.1f}".format(value)
    return "{:.3f}".format(value)


def format_table(headers, rows, align=None):
    """Plain-text table: a header line, a rule, then the rows.

    ``align`` holds one of "<" or ">" per column (numbers right-aligned);
    the last column is not padded, so long expressions do not leave trailing
    blanks.
    """
    rows = [[str(c) for c in row] for row in rows]
    headers = [str(h) for h in headers]
    align = align or ["<"] * len(headers)
    widths = [len(h) for h in headers]
    for row in rows:
        for i, cell in enumerate(row):
            widths[i] = max(widths[i], len(cell))

    def line(cells):
        out = []
        for i, cell in enumerate(cells):
            if i == len(cells) - 1 and align[i] == "<":
                out.append(cell)
            else:
                out.append(cell.rjust(widths[i]) if align[i] == ">" else cell.ljust(widths[i]))
        return "  " + "  ".join(out)

    lines = [line(headers), "  " + "  ".join("-" * w for w in widths)]
    lines.extend(line(row) for row in rows)
    return "\n".join(l.rstrip() for l in lines)
