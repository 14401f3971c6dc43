"""The run's report as plain data: ``--json FILE`` writes it, ``--html FILE`` draws it.

``report_dict`` is the one place that reads the run's result; everything
downstream (the JSON file, the HTML page) works on the dict it returns, whose
shape ``report.schema.json`` beside this module documents.  Like the text
report it holds no wall times, so equal runs write equal files.
"""

import json
import math
import os

from . import lineage as lineage_mod
from .report import cv_warnings, metric_label

__all__ = ["report_dict", "target_profiles", "schema", "SCHEMA_PATH", "FORMAT", "stage_reports"]

#: Name and version of the document's shape; the version changes when a field changes meaning or goes away.
FORMAT = {"name": "karrow-fe report", "version": 1}

SCHEMA_PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "report.schema.json")

#: Bins of a kept feature's values in the target profile.
PROFILE_BINS = 10


def schema():
    """The JSON schema of :func:`report_dict`'s output."""
    with open(SCHEMA_PATH, encoding="utf-8") as f:
        return json.load(f)


def _number(x):
    """A float for JSON, or None where JSON has no number (NaN, infinities, missing)."""
    if x is None:
        return None
    x = float(x)
    return x if math.isfinite(x) else None


def _count(n):
    return None if n is None else int(n)


def _score_summary(per_fold):
    import numpy as np

    folds = np.asarray([float(s) for s in per_fold])
    # A fold that could not be scored (NaN) makes the summary unknown, as it does in the text report.
    with np.errstate(invalid="ignore"):
        return {"per_fold": [_number(s) for s in folds], "mean": _number(folds.mean()),
                "sd": _number(folds.std()), "worst": _number(folds.min())}


def _models(cv):
    """One entry per compared model; each holds the column sets (original, engineered) it was fitted on."""
    if cv is None:
        return []
    out = []
    for family in cv.families:
        pipelines = [{"columns": columns, "n_columns": int(max(cv.n_columns[family][columns])),
                      "scores": {m: _score_summary(per_metric[m]) for m in cv.metrics}}
                     for columns, per_metric in cv.scores[family].items()]
        out.append({"model": cv.models[family], "family": family, "folds": int(cv.folds),
                    "metrics": [{"name": m, "label": metric_label(m)} for m in cv.metrics], "pipelines": pipelines})
    return out


def _kept(items):
    """Kept features as JSON, best score first, ranked from 1."""
    ranked = sorted(items, key=lambda k: -k["score"] if _number(k.get("score")) is not None else math.inf)
    return [{"rank": i, "name": str(k["name"]), "expression": lineage_mod.render(k["lineage"]),
             "score": _number(k.get("score")), "transform": k.get("transform"), "round": _count(k.get("round")),
             "lineage": json.loads(json.dumps(k["lineage"], default=str))}
            for i, k in enumerate(ranked, 1)]


def report_dict(result, profiles=None):
    """The facts of a run's result (a ``RunResult``) as a dict of JSON types.

    ``profiles`` (from :func:`target_profiles`) adds how the target varies
    with each kept feature; the text report does not show it.
    """
    r = result
    kept = _kept(r.kept)
    others = [{"model": model, "kept": _kept(items)} for model, items in r.other_kept.items()]
    rank = {k["name"]: k["rank"] for k in kept}
    for o in others:
        for k in o["kept"]:
            rank.setdefault(k["name"], len(rank) + k["rank"])
    plan = [{"column": str(s["column"]), "kind": str(s.get("kind", "")), "how": str(s.get("how") or ""),
             "outputs": [str(o) for o in s.get("outputs", [])], "reason": str(s.get("reason") or "")}
            for s in r.plan]
    stats = [{"round": int(s.get("round", 1)), "transform": str(s["transform"]), "considered": _count(s.get("considered")),
              "constant": _count(s.get("constant")), "copies": _count(s.get("copies")),
              "skipped": s.get("skipped") or None}
             for s in r.candidate_stats]
    return {
        "format": dict(FORMAT),
        "data": {"source": r.source, "rows": int(r.rows), "feature_columns": int(r.n_features), "target": r.target,
                 "task": r.task, "task_from": r.task_from, "dropped_rows": int(r.dropped_rows)},
        "preparation": {"columns": int(r.n_inputs), "kinds": {k: int(n) for k, n in r.n_kinds.items()}, "plan": plan},
        "search": {"candidates": sum(s["considered"] or 0 for s in stats), "sampled_rows": _count(r.sampled_rows),
                   "per_transform": stats},
        "selection": {"selector": r.selector, "score_name": r.score_name, "scored_against": r.scored_against,
                      "original_columns": int(r.n_inputs), "derived_columns": len(kept)},
        "kept": kept,
        "model": r.model or None,
        "other_models": others,
        "comparison": {"models": _models(r.cv), "best": r.cv.best if r.cv is not None else None,
                       "skipped": None if r.cv is not None else (r.cv_skipped or "--cv 0")},
        "warnings": list(r.warnings) + cv_warnings(r.cv),
        "target_profiles": sorted(profiles or [], key=lambda p: rank.get(p["name"], len(rank) + 1)),
    }


def target_profiles(table, y, kept, task, bins=PROFILE_BINS):
    """How the target varies with each kept feature: the rows split into up to ``bins`` quantile bins.

    ``table`` is the engineered training table (the ``Table`` of the fitted
    preparation and search), ``y`` the prepared target.  Per bin: the value
    range, the rows, and the target's mean (regression) or each class's share.
    """
    import numpy as np

    y = np.asarray(y)
    index = {str(n): j for j, n in enumerate(table.names)}
    classes = [c.item() if hasattr(c, "item") else c for c in np.unique(y)] if task == "classification" else []
    out = []
    for k in kept:
        j = index.get(str(k["name"]))
        if j is None:
            continue
        x = np.asarray(table.values[:, j], dtype=float)
        finite = np.isfinite(x)
        xs, ys = x[finite], y[finite]
        if xs.size == 0:
            continue
        edges = np.unique(np.quantile(xs, np.linspace(0, 1, bins + 1)))
        # Few distinct values: one bin per value reads better than quantiles that fall on the same value.
        distinct = np.unique(xs)
        if distinct.size <= bins:
            which = np.searchsorted(distinct, xs)
            ranges = [(v, v) for v in distinct]
        else:
            which = np.clip(np.searchsorted(edges, xs, side="right") - 1, 0, len(edges) - 2)
            ranges = list(zip(edges[:-1], edges[1:]))
        rows = []
        for b, (low, high) in enumerate(ranges):
            mask = which == b
            n = int(mask.sum())
            if n == 0:
                continue
            row = {"low": _number(low), "high": _number(high), "rows": n}
            if task == "classification":
                row["share"] = {str(c): _number(np.mean(ys[mask] == c)) for c in classes}
            else:
                row["mean"] = _number(np.mean(ys[mask].astype(float)))
            rows.append(row)
        out.append({"name": str(k["name"]), "expression": lineage_mod.render(k["lineage"]), "bins": rows})
    return out


def stage_reports(staged, args, result, features, X, y):
    """Stage ``--json`` and ``--html`` (when given) from one report dict; return the lines saying what was written."""
    json_path, html_path = getattr(args, "json", None), getattr(args, "html", None)
    if json_path is None and html_path is None:
        return []
    import types

    import numpy as np

    profiles, seen = [], set()
    for fitted, kept in [(features, result.kept)] + [(result.features.get(m), k) for m, k in result.other_kept.items()]:
        kept = [k for k in kept if str(k["name"]) not in seen]
        if fitted is None or not kept:
            continue
        seen.update(str(k["name"]) for k in kept)
        # The fitted features' own output: the prepared columns and the derived ones, under their one name each.
        table = types.SimpleNamespace(names=[str(n) for n in fitted.get_feature_names_out()],
                                      values=np.asarray(fitted.transform(X), dtype=np.float64))
        profiles += target_profiles(table, y, kept, result.task)
    facts = report_dict(result, profiles)
    written = []
    if json_path is not None:
        def write_json(p):
            with open(p, "w", encoding="utf-8") as f:
                json.dump(facts, f, indent=2, allow_nan=False)
                f.write("\n")

        staged.stage(json_path, write_json)
        written.append(str(json_path) + " (JSON report)")
    if html_path is not None:
        from .html_report import render_html

        page = render_html(facts)

        def write_html(p):
            with open(p, "w", encoding="utf-8") as f:
                f.write(page)

        staged.stage(html_path, write_html)
        written.append(str(html_path) + " (HTML report)")
    return written
