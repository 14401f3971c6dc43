"""``karrow-fe run``: prepare, search, compare, and write the outputs."""

import sys
import time
from karrow_libs.table import quiet_warnings

from . import lineage as lineage_mod
from .files import StagedFiles, check_outputs, stage_json, stage_model, stage_table
from .inputs import drop_useless_columns, load_embedded, read_table
from .messages import PROG, DataError, Notes, UsageError, shortlist
from .report import Progress, RunResult, render, timings

__all__ = ["cmd_run", "parse_transform_names"]

OUTPUTS = ("out", "lineage", "model")


def parse_transform_names(text):
    """The distinct catalogue names of a comma-separated list, in order; unknown names are a UsageError."""
    from . import catalogue

    known = catalogue.names()
    names = list(dict.fromkeys(n.strip() for n in text.split(",") if n.strip()))
    if not names:
        raise UsageError("--transforms needs at least one name (see '" + PROG + " list')")
    unknown = [n for n in names if n not in known]
    if unknown:
        raise UsageError("unknown transform" + ("s " if len(unknown) > 1 else " ")
                         + ", ".join(repr(n) for n in unknown) + "; valid names: " + ", ".join(sorted(known)))
    return tuple(names)


def load_input(args, notes):
    """(frame, label, target column) of the run."""
    if args.csv is None:
        if args.target is not None:
            raise UsageError("--target needs a CSV file (the embedded data sets have their own target)")
        return load_embedded(args.dataset or "diabetes")
    if args.dataset is not None:
        raise UsageError("--dataset is for runs without a CSV file")
    if args.target is None:
        raise UsageError("--target COLUMN is required with a CSV file")
    frame, label = read_table(args.csv, args.sep, notes)
    if args.target not in frame.columns:
        raise UsageError("no column " + repr(args.target) + " in " + label + " (columns: "
                         + shortlist(frame.columns, 10) + ")")
    return frame, label, args.target


def split_target(frame, target, label, task):
    """(features, y, original target values, task, how the task was chosen, dropped rows)."""
    import numpy as np

    from karrow_libs.prepare import prepare_target

    y, chosen, info = prepare_target(frame[target], task)
    kept = np.asarray(info["kept_rows"], dtype=bool)
    X = frame.loc[kept].drop(columns=[target]).reset_index(drop=True)
    if X.shape[1] == 0:
        raise DataError(label + " has no column besides the target " + repr(target))
    how = "--task" if task else str(info.get("how", "guessed"))
    if how.endswith(": " + chosen):
        how = how[: -len(chosen) - 2]
    return X, y, frame[target][kept].reset_index(drop=True), chosen, how, int(info["dropped_rows"])


def class_count_warning(y, target, task, task_from):
    """A warning when a classification target has more classes than the rows can teach."""
    import numpy as np

    if task != "classification":
        return None
    classes = len(np.unique(y))
    if classes > 20 and classes * 5 > len(y):
        hint = "; if it is a quantity, use --task regression" if task_from.startswith("numbers") else ""
        return ("the target " + repr(target) + " has " + str(classes) + " classes for " + str(len(y))
                + " rows (about " + str(len(y) // classes) + " rows per class)" + hint)
    return None


def _pipelines():
    from karrow_libs.pipeline import make_baseline, make_pipeline

    return make_pipeline, make_baseline


def search_options(args, transforms):
    return {"transforms": transforms, "selector": args.selector, "keep": args.keep, "depth": args.depth,
            "max_per_transform": args.max_per_transform, "seed": args.seed, "n_jobs": args.jobs}


def cmd_run(args):
    notes = Notes(args.quiet)
    check_outputs(args, OUTPUTS)
    transforms = parse_transform_names(args.transforms)
    frame, label, target = load_input(args, notes)
    from .evaluate import choose_metrics, cross_validate, cv_folds, fit_pipeline, imbalance_warning

    X, y, y_source, task, task_from, dropped = split_target(frame, target, label, args.task)
    X = drop_useless_columns(X, notes)
    if X.shape[1] == 0:
        raise DataError(label + " has no usable column besides the target " + repr(target))
    metrics = choose_metrics(args.metric, task, y)
    for w in (class_count_warning(y, target, task, task_from), imbalance_warning(y, metrics)):
        if w:
            notes.warn(w)
    echo = sys.stderr if args.verbose else None
    make_pipeline, make_baseline = _pipelines()
    engineered = make_pipeline(task, target_name=target, **search_options(args, transforms))
    baseline = make_baseline(task, target_name=target)
    with quiet_warnings(active=not args.verbose):
        from sklearn.base import clone

        fitted = clone(engineered)
        start = time.perf_counter()
        with Progress(sys.stderr, not args.quiet and sys.stderr.isatty(), "search") as progress:
            fit_pipeline(fitted, X, y, progress, echo)
        fit_seconds = time.perf_counter() - start
        folds, cv_skipped = cv_folds(y, task, args.cv)
        cv = None
        if folds:
            with Progress(sys.stderr, not args.quiet and sys.stderr.isatty(), "cv") as progress:
                cv = cross_validate({"original": baseline, "engineered": engineered}, X, y, task, folds, metrics,
                                    args.seed, progress, echo)
    result = describe(fitted, label, X, target, task, task_from, dropped, fit_seconds, notes)
    result.cv, result.cv_skipped = cv, cv_skipped
    with StagedFiles() as staged:
        written = stage_outputs(staged, args, fitted, X, y_source, target)
        print(render(result))
        sys.stdout.flush()
        staged.commit()
    if written:
        print("\nwrote " + "; ".join(written))
    notes.note(timings(result))
    return 0


def describe(pipeline, label, X, target, task, task_from, dropped, fit_seconds, notes):
    """The :class:`RunResult` of a fitted engineered pipeline (cross-validation is added by the caller)."""
    prepare, search = pipeline.named_steps["prepare"], pipeline.named_steps["search"]
    kept = [dict(k) for k in search.kept_]
    marked = lineage_mod.mark_whole_table([k["lineage"] for k in kept], list(X.columns), _whole_table_outputs(search))
    for k, obj in zip(kept, marked):
        k["lineage"] = obj
    return RunResult(
        source=label, rows=len(X), n_features=X.shape[1], target=target, task=task, task_from=task_from,
        dropped_rows=dropped, plan=list(prepare.plan_), n_kinds=dict(prepare.n_kinds_),
        n_inputs=search.n_inputs_, selector=search.selector, score_name=search.score_name_,
        scored_against=search.scored_against_, sampled_rows=getattr(search, "sampled_rows_", None),
        candidate_stats=list(search.candidate_stats_), kept=kept, fit_seconds=fit_seconds,
        warnings=list(notes.warnings))


def _whole_table_outputs(search):
    """name -> transform of the kept features that a whole-table transform (``pca``) describes by name only."""
    return {str(k["name"]): k["transform"] for k in search.kept_
            if k.get("transform") and lineage_mod.depth(k["lineage"]) == 0}


def engineered_frame(pipeline, X, y_source, target):
    """The engineered table of the training rows: kept columns in their dtypes, then the target."""
    import numpy as np
    import pandas as pd

    table = pipeline[:2].transform(X)
    out = pd.DataFrame(table.values, columns=table.names)
    for j, dt in enumerate(table.dtypes):
        col = table.values[:, j]
        # Integer columns go back to integers, so the table reads as the input did.
        if np.dtype(dt).kind in "iub" and np.all(np.isfinite(col)) and np.all(col == np.round(col)):
            out[out.columns[j]] = col.astype(np.int64 if np.dtype(dt).kind == "b" else dt)
    out[target if target not in table.names else target + " (target)"] = y_source.to_numpy()
    return out, table


def stage_outputs(staged, args, pipeline, X, y_source, target):
    written = []
    if args.out is not None or args.lineage is not None:
        frame, table = engineered_frame(pipeline, X, y_source, target)
        if args.out is not None:
            written.append(stage_table(staged, args.out, frame))
        if args.lineage is not None:
            whole = _whole_table_outputs(pipeline.named_steps["search"])
            marked = lineage_mod.mark_whole_table(table.lineage, list(X.columns), whole)
            written.append(stage_json(staged, args.lineage, dict(zip(table.names, marked)),
                                      str(len(marked)) + " columns"))
    if args.model is not None:
        written.append(stage_model(staged, args.model, pipeline))
    return written
