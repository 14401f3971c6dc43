"""``karrow-fe run``: read, call the library (fit, compare), render, and write the outputs."""

import sys
import time

from karrow_libs.table import module_output, quiet_warnings

from .files import StagedFiles, check_outputs, stage_json, stage_model, stage_table
from .inputs import drop_useless_columns, load_embedded, prepare_options, read_table
from .json_report import stage_reports
from .messages import PROG, DataError, Notes, UsageError, shortlist
from .options import DEFAULT_DATASET
from .report import Progress, RunResult, render, timings

__all__ = ["cmd_run", "parse_transform_names", "analyse", "model_choice"]

OUTPUTS = ("out", "out_matrix", "lineage", "save", "json", "html")


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
        return load_embedded(args.dataset or DEFAULT_DATASET)
    if args.dataset is not None:
        raise UsageError("--dataset is for runs without a CSV file")
    if args.target is None:
        raise UsageError("--target COLUMN is required with a CSV file")
    frame, label = read_table(args.csv, args.sep, notes, encoding=getattr(args, "encoding", None),
                              max_decompressed_mib=args.max_decompressed_mib)
    if args.target not in frame.columns:
        raise UsageError("no column " + repr(args.target) + " in " + label + " (columns: "
                         + shortlist(frame.columns, 10) + ")")
    return frame, label, args.target


def split_target(frame, target, label, task, notes=None):
    """(features, y, original target values, task, how the task was chosen, dropped rows, the kept input rows)."""
    import numpy as np
    import pandas as pd

    from karrow_libs.prepare import prepare_target

    y, chosen, info = prepare_target(frame[target], task)
    if notes is not None and info.get("text_rows"):
        notes.warn("the target " + repr(target) + " is numbers with " + str(info["text_rows"]) + " text cell(s) ("
                   + ", ".join(info["text_cells"]) + "): their rows were dropped like rows without a target")
    kept = np.asarray(info["kept_rows"], dtype=bool)
    # A table whose every row has a target is used as it is: no copy to select its rows or renumber them.
    rows = frame if kept.all() else frame.loc[kept]
    if not rows.index.equals(pd.RangeIndex(len(rows))):
        rows = rows.reset_index(drop=True)
    X = rows.drop(columns=[target])
    if X.shape[1] == 0:
        raise DataError(label + " has no column besides the target " + repr(target))
    how = "--task" if task else str(info.get("how", "guessed"))
    if how.endswith(": " + chosen):
        how = how[: -len(chosen) - 2]
    # The target's own copy: a column of the frame would keep the whole frame's block alive.
    return X, y, rows[target].copy(), chosen, how, int(info["dropped_rows"]), rows


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


FAMILIES = ("linear", "lgbm")

#: Seconds between two progress lines on a standard error that is no terminal (a log, a pipe).
NOTE_SECONDS = 30


def model_choice(args, notes):
    """The model families of ``--model``; an older ``--model FILE`` (not a family name) means ``--save FILE``."""
    value = getattr(args, "model", None) or "both"
    if value in FAMILIES + ("both",):
        return list(FAMILIES) if value == "both" else [value]
    if getattr(args, "save", None) is not None or not any(c in value for c in "./\\"):
        # A bare word is a mistyped family more likely than a file name.
        raise UsageError("--model takes linear, lgbm or both, got " + repr(value) + " (a pipeline file goes to --save)")
    notes.note("--model FILE is now --save FILE; saving the pipeline to " + repr(value))
    args.save, args.model = value, "both"
    return list(FAMILIES)


def feature_options(args, transforms, roles=None):
    """The AutoFeatures parameters the run's options set (the seed is passed on its own); ``roles``: the
    preparation's parameters (``prepare_options`` of the table's columns)."""
    return {"transforms": transforms, "selector": args.selector, "keep": args.keep, "depth": args.depth,
            "max_per_transform": args.max_per_transform, "target_name": args.target or None,
            "prepare_options": roles or None, "time_budget": getattr(args, "time_budget", None)}


def choose_metrics(text, task, y):
    from .evaluate import choose_metrics as choose

    return choose(text, task, y)


def analyse(args, X, y, task, task_from, source, target, dropped, notes, families, fits=None, fit_seconds=0.0,
            roles=None):
    """Fit (unless ``fits`` are given), cross-validate and describe: all that both engines do between reading and
    writing.  Returns (RunResult, the FamilyFit the saved pipeline holds)."""
    from karrow_libs.evaluate import compare, fit_families, fold_count, model_name

    from .evaluate import imbalance_warning

    metrics = choose_metrics(args.metric, task, y)
    for w in (class_count_warning(y, target, task, task_from), imbalance_warning(y, metrics)):
        if w:
            notes.warn(w)
    options = feature_options(args, parse_transform_names(args.transforms), roles)
    echo = sys.stderr if args.verbose else None
    bar = not args.quiet and sys.stderr.isatty()
    every = None if args.quiet else NOTE_SECONDS
    with quiet_warnings(active=not args.verbose), module_output(echo):
        if fits is None:
            start = time.perf_counter()
            with Progress(sys.stderr, bar, "search", every) as progress:
                fits = fit_families(X, y, task, families, seed=args.seed, progress=progress, **options)
            fit_seconds = time.perf_counter() - start
        folds, cv_skipped = fold_count(y, task, args.cv)
        cv = None
        if folds:
            with Progress(sys.stderr, bar, "cross-validation", every) as progress:
                cv = compare(X, y, task=task, models=families, folds=folds, metrics=metrics, seed=args.seed,
                             n_jobs=args.jobs, progress=progress, **options)
    if len(families) == 1:
        saved, why = families[0], "--model " + families[0]
    elif cv is not None:
        saved, why = cv.best, "best by cross-validation"
    else:
        saved, why = families[0], "no cross-validation to choose by"
    result = describe(fits[saved].features, source, X, target, task, task_from, dropped, fit_seconds, notes)
    result.model = model_name(fits[saved].features.model, task)
    result.cv, result.cv_skipped = cv, cv_skipped
    if getattr(args, "save", None) is not None:
        result.saved_why = "the saved pipeline holds " + model_name(saved, task) + " (" + why + ")"
    for family, fit in fits.items():
        result.features.setdefault(model_name(fit.features.model, task), fit.features)
        if fit.features is not fits[saved].features:
            result.other_kept[model_name(fit.features.model, task)] = list(fit.features.kept_)
    return result, fits[saved]


def cmd_run(args):
    notes = Notes(args.quiet)
    families = model_choice(args, notes)
    check_outputs(args, OUTPUTS, inputs=[args.csv])
    parse_transform_names(args.transforms)
    frame, label, target = load_input(args, notes)
    X, y, y_source, task, task_from, dropped, rows = split_target(frame, target, label, args.task, notes)
    del frame  # the kept rows as they came (``rows``) are all the outputs read of it
    if args.out is None:
        rows = None
    X = drop_useless_columns(X, notes)
    roles = prepare_options(args, X, label)
    if X.shape[1] == 0:
        raise DataError(label + " has no usable column besides the target " + repr(target))
    result, fit = analyse(args, X, y, task, task_from, label, target, dropped, notes, families, roles=roles)
    with StagedFiles() as staged, quiet_warnings(active=not args.verbose):
        written = stage_outputs(staged, args, fit, X, rows, y_source, target)
        written += stage_reports(staged, args, result, fit.features, X, y)
        print(render(result))
        sys.stdout.flush()
        staged.commit()
    if written:
        print("\nwrote " + "; ".join(written))
    notes.note(timings(result))
    return 0


def describe(features, label, X, target, task, task_from, dropped, fit_seconds, notes):
    """The :class:`RunResult` of fitted AutoFeatures (the comparison is added by the caller)."""
    f = features.facts_
    for w in getattr(features.prepare_, "warnings_", ()):
        notes.warn(w)
    return RunResult(
        source=label, rows=len(X), n_features=X.shape[1], target=target, task=task, task_from=task_from,
        dropped_rows=dropped, plan=f["plan"], n_kinds=f["n_kinds"], n_inputs=f["n_inputs"],
        selector=f["selector"] or "none", score_name=f["score_name"], scored_against=f["scored_against"],
        sampled_rows=f["sampled_rows"], stopped_early=f.get("stopped_early"), candidate_stats=f["candidate_stats"],
        kept=list(features.kept_),
        fit_seconds=fit_seconds, warnings=list(notes.warnings))


def appended_table(features, rows, X):
    """The input rows as they came, with the derived features appended (a name already taken gets " (derived)")."""
    derived = features.derived(X)
    out = rows.copy()
    for name in derived.columns:
        out[name if name not in out.columns else name + " (derived)"] = derived[name].to_numpy()
    return out


def matrix_table(features, X, y_source, target):
    """The model-ready matrix of the training rows: prepared columns and derived features, then the target."""
    import pandas as pd

    names = list(features.get_feature_names_out())
    out = pd.DataFrame(features.transform(X), columns=names)
    out[target if target not in names else target + " (target)"] = y_source.to_numpy()
    return out


def stage_outputs(staged, args, fit, X, rows, y_source, target):
    features = fit.features
    written = []
    if args.out is not None:
        written.append(stage_table(staged, args.out, appended_table(features, rows, X)))
    if getattr(args, "out_matrix", None) is not None:
        written.append(stage_table(staged, args.out_matrix, matrix_table(features, X, y_source, target)))
    return written + stage_lineage_and_pipeline(staged, args, fit)


def stage_lineage_and_pipeline(staged, args, fit):
    """``--lineage`` and ``--save``: the same files from either engine."""
    written = []
    if args.lineage is not None:
        lineage = fit.features.lineage_
        written.append(stage_json(staged, args.lineage, lineage, str(len(lineage)) + " columns"))
    if getattr(args, "save", None) is not None:
        written.append(stage_model(staged, args.save, fit.pipeline()))
    return written
