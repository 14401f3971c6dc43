"""``karrow-fe run|apply --engine dask``: the same job on tables larger than memory.

The table (a CSV file, a glob of CSV files, or a Parquet file or folder) is
read lazily by Dask.  ``run`` fits on a sample drawn across all partitions,
rescores the search's shortlist exactly on every row, and writes the
engineered table as a Parquet folder (``--out OUT_DIR``), partition by
partition; ``apply`` writes the predictions the same way.  ``--workers N``
starts a local cluster of N worker processes for the run; ``--scheduler
ADDRESS`` uses a running one; with neither, Dask's threads in this process
compute.  Between reading and writing, the run is the in-memory one
(``run.analyse``); where and how the engine ran are fields of the result.
"""

import sys
import time
from karrow_libs.table import quiet_warnings

from karrow_libs import scale

from .apply import load_pipeline
from .files import StagedFiles, check_outputs
from .messages import PROG, DataError, Notes, UsageError, shortlist
from .report import Progress, format_seconds, render, timings
from .run import NOTE_SECONDS, analyse, feature_options, model_choice, parse_transform_names, stage_lineage_and_pipeline

__all__ = ["run", "apply"]


def _data_path(args):
    path = getattr(args, "csv", None)
    if path is None:
        raise UsageError("--engine dask needs DATA: a CSV file, a glob of CSV files, or a Parquet file or folder")
    if path == "-":
        raise UsageError("--engine dask reads files, not standard input")
    return path


def _check_out_dir(path, inputs=()):
    if path is None:
        return
    try:
        scale.check_out_dir(path, inputs)
    except DataError as e:
        raise UsageError("--out: " + str(e)) from None


def _read(path, target=None):
    ddf = scale.read(path, target=target)
    return ddf, path


def _connect(args):
    def warn(text):
        sys.stderr.write(PROG + ": warning: " + text + "\n")
        sys.stderr.flush()

    return scale.connect(scheduler=getattr(args, "scheduler", None), workers=getattr(args, "workers", None),
                         quiet=not getattr(args, "verbose", False), warn=warn)


def _where(workers):
    n = workers.n_workers
    return workers.label + (", " + str(n) + " worker" + ("s" if n != 1 else "") if workers.client is not None else "")


def _throughput(rows, passes, seconds):
    """``N rows x P passes in S: R rows/s`` -- the rows read over the passes on the whole table, per second."""
    rate = rows * passes / seconds if seconds > 0 else float("inf")
    return ("{:,}".format(rows) + " rows x " + str(passes) + " pass" + ("es" if passes != 1 else "") + " in "
            + format_seconds(seconds) + ": " + "{:,.0f}".format(rate) + " rows/s")


def run(args):
    """``karrow-fe run DATA --target COL --engine dask [--workers N | --scheduler ADDRESS] [--out OUT_DIR]``."""
    notes = Notes(args.quiet)
    path = _data_path(args)
    if getattr(args, "dataset", None) is not None:
        raise UsageError("--dataset is for runs without a CSV file")
    if args.target is None:
        raise UsageError("--target COLUMN is required with --engine dask")
    families = model_choice(args, notes)
    _check_out_dir(args.out, [path])
    _check_out_dir(getattr(args, "out_matrix", None), [path])
    check_outputs(args, ("lineage", "save"), inputs=[path])
    id_column = getattr(args, "id", None)
    # An identifier is read as text so that no digit is lost on the way through float64.
    ddf, label = scale.read(path, target=args.target, dtype={id_column: object} if id_column else None), path
    from .inputs import prepare_options

    roles = prepare_options(args, ddf.drop(columns=[args.target]), label)
    options = feature_options(args, parse_transform_names(args.transforms), roles)
    sample_rows = getattr(args, "sample_rows", None) or scale.DEFAULT_SAMPLE_ROWS
    with _connect(args) as workers, quiet_warnings(active=not args.verbose):
        start = time.perf_counter()
        with Progress(sys.stderr, not args.quiet and sys.stderr.isatty(), "search",
                      None if args.quiet else NOTE_SECONDS) as progress:
            fits, info = scale.fit_families(ddf, args.target, families, sample_rows=sample_rows, seed=args.seed,
                                            task=args.task, progress=progress, **options)
        fit_seconds = time.perf_counter() - start
        X, y = info.sample
        result, fit = analyse(args, X, y, info.task, "--task" if args.task else "guessed", label, args.target,
                              info.rows - info.rescored_rows, notes, families, fits=fits, fit_seconds=fit_seconds)
        _add_engine_facts(result, info, _where(workers), args.seed)
        start = time.perf_counter()
        folders = _stage_folders(args, ddf, fit.pipeline())
        throughput = _throughput(info.rows, 1 + info.rescore_passes + len(folders),
                                 info.sample_seconds + info.rescore_seconds + time.perf_counter() - start)
    with StagedFiles() as staged:
        try:
            written = [str(folder) + " (" + "{:,}".format(s.rows) + " rows, " + str(n_columns) + " columns, "
                       + str(s.files) + " Parquet files)" for folder, n_columns, s in folders]
            written += stage_lineage_and_pipeline(staged, args, fit)
            print(render(result))
            sys.stdout.flush()
            _commit_all([s for _, _, s in folders], staged.commit)
        finally:
            for _, _, s in folders:
                s.discard()
    if written:
        print("\nwrote " + "; ".join(written))
    notes.note(timings(result) + "; dask: " + throughput)
    return 0


def _commit_all(folders, last):
    """Rename every staged folder into place, then ``last()``; a failure puts the earlier outputs back."""
    if not folders:
        last()
        return
    folders[0].commit(then=lambda: _commit_all(folders[1:], last))


def _add_engine_facts(result, info, where, seed):
    """Rows, sample and partitions as the engine saw them (the report prints them; no wall times)."""
    result.rows = info.rescored_rows
    if info.sample_rows < info.rescored_rows:
        result.sampled_rows = result.sampled_rows or info.sample_rows
    result.engine = {"where": where, "partitions": info.partitions, "rows": info.rows,
                     "sample_rows": info.sample_rows, "rescored_rows": info.rescored_rows,
                     "rescore_passes": info.rescore_passes, "seed": seed, "cv_on_sample": result.cv is not None}


def _stage_folders(args, ddf, pipeline):
    """[(folder, columns, staged Parquet)] of ``--out`` (the input with the features appended) and ``--out-matrix``."""
    folders = []
    for option, append, what in (("out", True, "writing the engineered table"),
                                 ("out_matrix", False, "writing the model-ready matrix")):
        folder = getattr(args, option, None)
        if folder is not None:
            table = scale.transform(ddf, pipeline, rows_with_target=True, append=append)
            folders.append((folder, len(table.columns), scale.stage_parquet(table, folder, what=what)))
    return folders


def apply(args):
    """``karrow-fe apply PIPELINE DATA --engine dask --out OUT_DIR``: predictions as a Parquet folder."""
    notes = Notes(args.quiet)
    path = _data_path(args)
    if args.out is None:
        raise UsageError("--engine dask writes the predictions as a Parquet folder: give --out OUT_DIR")
    _check_out_dir(args.out, [path, args.pipeline])
    pipeline = load_pipeline(args.pipeline)
    proba = bool(getattr(args, "proba", False))
    if proba and not hasattr(pipeline.steps[-1][1], "predict_proba"):
        raise UsageError("--proba needs a classification pipeline; this one predicts a number")
    id_column = getattr(args, "id", None)
    # An identifier is read as text so that no digit is lost on the way through float64.
    ddf, label = scale.read(path, dtype={id_column: object} if id_column is not None else None), path
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
