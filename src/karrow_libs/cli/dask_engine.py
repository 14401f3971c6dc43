"""``karrow-fe run|apply --engine dask``: the same job on tables larger than memory.

The table (a CSV file, a glob of CSV files, or a Parquet file or folder) is
read lazily by Dask.  ``run`` fits on a sample drawn across all partitions,
rescores the search's shortlist exactly on every row, and writes the
engineered table as a Parquet folder (``--out OUT_DIR``), partition by
partition; ``apply`` writes the predictions the same way.  ``--workers N``
starts a local cluster of N worker processes for the run; ``--scheduler
ADDRESS`` uses a running one; with neither, Dask's threads in this process
compute.  The report is the in-memory one plus the engine's lines.
"""

import sys
import time
from karrow_libs.table import quiet_warnings

from karrow_libs import scale

from . import lineage as lineage_mod
from .apply import load_pipeline
from .files import StagedFiles, check_outputs, stage_json, stage_model
from .messages import DataError, Notes, UsageError, shortlist
from .report import Progress, format_seconds, render, timings
from .run import class_count_warning, describe, parse_transform_names, search_options

__all__ = ["run", "apply"]


def _data_path(args):
    path = getattr(args, "csv", None)
    if path is None:
        raise UsageError("--engine dask needs DATA: a CSV file, a glob of CSV files, or a Parquet file or folder")
    if path == "-":
        raise UsageError("--engine dask reads files, not standard input")
    return path


def _check_out_dir(path):
    if path is None:
        return
    try:
        scale.check_out_dir(path)
    except DataError as e:
        raise UsageError("--out: " + str(e)) from None


def _read(path, target=None):
    ddf = scale.read(path, target=target)
    return ddf, path


def _connect(args):
    return scale.connect(scheduler=getattr(args, "scheduler", None), workers=getattr(args, "workers", None),
                         quiet=not getattr(args, "verbose", False))


def _where(workers):
    n = workers.n_workers
    return workers.label + (", " + str(n) + " worker" + ("s" if n != 1 else "") if workers.client is not None else "")


def _engine_lines(workers, partitions, extra=()):
    """The report's lines about the engine: where it ran and the partitions (no wall times: equal runs, equal reports)."""
    lines = ["engine     dask (" + _where(workers) + "): " + "{:,}".format(partitions) + " partitions"]
    lines.extend("           " + e for e in extra)
    return lines


def _throughput(rows, passes, seconds):
    """``N rows x P passes in S: R rows/s`` -- the rows read over the passes on the whole table, per second."""
    rate = rows * passes / seconds if seconds > 0 else float("inf")
    return ("{:,}".format(rows) + " rows x " + str(passes) + " pass" + ("es" if passes != 1 else "") + " in "
            + format_seconds(seconds) + ": " + "{:,.0f}".format(rate) + " rows/s")


def _insert_after_data(report, lines):
    text = report.split("\n")
    at = next((i for i, ln in enumerate(text) if ln.startswith("prepared")), 1)
    return "\n".join(text[:at] + lines + text[at:])


def run(args):
    """``karrow-fe run DATA --target COL --engine dask [--workers N | --scheduler ADDRESS] [--out OUT_DIR]``."""
    notes = Notes(args.quiet)
    path = _data_path(args)
    if getattr(args, "dataset", None) is not None:
        raise UsageError("--dataset is for runs without a CSV file")
    if args.target is None:
        raise UsageError("--target COLUMN is required with --engine dask")
    _check_out_dir(args.out)
    check_outputs(args, ("lineage", "model"))
    transforms = parse_transform_names(args.transforms)
    ddf, label = _read(path, args.target)
    sample_rows = getattr(args, "sample_rows", None) or scale.DEFAULT_SAMPLE_ROWS
    echo = sys.stderr if args.verbose else None
    from .evaluate import choose_metrics, cross_validate, cv_folds, imbalance_warning

    with _connect(args) as workers, quiet_warnings(active=not args.verbose):
        start = time.perf_counter()
        with Progress(sys.stderr, not args.quiet and sys.stderr.isatty(), "search") as progress:
            options = dict(search_options(args, transforms), seed=args.seed)
            pipeline, info = scale.fit(ddf, args.target, sample_rows=sample_rows, task=args.task, progress=progress,
                                       return_info=True, **options)
        fit_seconds = time.perf_counter() - start
        X, y = info.sample
        task = info.task
        metrics = choose_metrics(getattr(args, "metric", None), task, y)
        task_from = "--task" if args.task else "guessed"
        for w in (class_count_warning(y, args.target, task, task_from), imbalance_warning(y, metrics)):
            if w:
                notes.warn(w)
        folds, cv_skipped = cv_folds(y, task, args.cv)
        cv = None
        if folds:
            from karrow_libs.pipeline import make_baseline, make_pipeline

            engineered = make_pipeline(task, target_name=args.target, **search_options(args, transforms))
            baseline = make_baseline(task, target_name=args.target)
            with Progress(sys.stderr, not args.quiet and sys.stderr.isatty(), "cross-validation") as progress:
                cv = cross_validate({"original": baseline, "engineered": engineered}, X, y, task, folds, metrics,
                                    args.seed, progress, echo)
        staged_out = None
        out_seconds = 0.0
        if args.out is not None:
            start = time.perf_counter()
            staged_out = scale.stage_parquet(scale.transform(ddf, pipeline, rows_with_target=True), args.out,
                                             what="writing the engineered table")
            out_seconds = time.perf_counter() - start
        throughput = _throughput(info.rows, 1 + info.rescore_passes + (1 if staged_out else 0),
                                 info.sample_seconds + info.rescore_seconds + out_seconds)
        engine = _engine_lines(
            workers, info.partitions,
            ["fitted on a sample of " + "{:,}".format(info.sample_rows) + " of " + "{:,}".format(info.rows)
             + " rows (seed " + str(args.seed) + "); the shortlist rescored on all " + "{:,}".format(info.rescored_rows)
             + " rows with a target" + (" (" + str(info.rescore_passes) + " passes)" if info.rescore_passes > 1 else "")]
            + (["cross-validation on the sample's rows"] if folds else []))
    result = describe(pipeline, label, X, args.target, task, task_from, info.rows - info.rescored_rows,
                      fit_seconds, notes)
    result.rows = info.rescored_rows
    search = pipeline.named_steps["search"]
    if info.sample_rows < info.rescored_rows:
        result.sampled_rows = search.sampled_rows_ or info.sample_rows
    result.cv, result.cv_skipped = cv, cv_skipped
    report = _insert_after_data(render(result), engine)
    with StagedFiles() as staged:
        try:
            written = []
            if staged_out is not None:
                written.append(str(args.out) + " (" + "{:,}".format(staged_out.rows) + " rows, "
                               + str(len(search.names_) + 1) + " columns, " + str(staged_out.files)
                               + " Parquet files)")
            if args.lineage is not None:
                whole = {str(k["name"]): k["transform"] for k in search.kept_
                         if k.get("transform") and lineage_mod.depth(k["lineage"]) == 0}
                marked = lineage_mod.mark_whole_table(list(search.lineage_), list(X.columns), whole)
                written.append(stage_json(staged, args.lineage, dict(zip(search.names_, marked)),
                                          str(len(marked)) + " columns"))
            if args.model is not None:
                written.append(stage_model(staged, args.model, pipeline))
            print(report)
            sys.stdout.flush()
            staged.commit()
            if staged_out is not None:
                staged_out.commit()
        finally:
            if staged_out is not None:
                staged_out.discard()
    if written:
        print("\nwrote " + "; ".join(written))
    notes.note(timings(result) + "; dask: " + throughput)
    return 0


def apply(args):
    """``karrow-fe apply PIPELINE DATA --engine dask --out OUT_DIR``: predictions as a Parquet folder."""
    notes = Notes(args.quiet)
    path = _data_path(args)
    if args.out is None:
        raise UsageError("--engine dask writes the predictions as a Parquet folder: give --out OUT_DIR")
    _check_out_dir(args.out)
    pipeline = load_pipeline(args.pipeline)
    proba = bool(getattr(args, "proba", False))
    if proba and not hasattr(pipeline.steps[-1][1], "predict_proba"):
        raise UsageError("--proba needs a classification pipeline; this one predicts a number")
    ddf, label = _read(path)
    id_column = getattr(args, "id", None)
    if id_column is not None and id_column not in ddf.columns:
        raise UsageError("--id: no column " + repr(id_column) + " in " + label + " (columns: "
                         + shortlist(ddf.columns, 10) + ")")
    with _connect(args) as workers:
        start = time.perf_counter()
        predictions = scale.predict(ddf, pipeline, proba=proba, id_column=id_column)
        with scale.stage_parquet(predictions, args.out, what="predicting") as staged:
            staged.commit()
        seconds = time.perf_counter() - start
        where = _where(workers)
    notes.note("wrote " + str(args.out) + " (" + "{:,}".format(staged.rows) + " predictions in " + str(staged.files)
               + " Parquet files); dask (" + where + "): " + "{:,}".format(ddf.npartitions) + " partitions, "
               + _throughput(staged.rows, 1, seconds))
    return 0
