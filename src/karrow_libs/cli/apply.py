"""``karrow-fe apply``: predict new rows with a pipeline saved by ``run --save``."""

import os
import sys

from karrow_libs.table import module_output, quiet_warnings

from .files import StagedFiles, check_outputs, stage_table
from .inputs import read_table
from .messages import PROG, DataError, Notes, UsageError, one_line, shortlist

__all__ = ["cmd_apply", "load_pipeline"]


def load_pipeline(path):
    """The Pipeline saved at ``path``; anything else is a one-line DataError."""
    if not os.path.isfile(path):
        raise DataError("cannot read " + repr(path) + ": no such file")
    import joblib
    from sklearn.pipeline import Pipeline

    from karrow_libs.autofeatures import AutoFeatures
    from karrow_libs.prepare import PrepareFrame

    try:
        pipeline = joblib.load(path)
    except Exception as e:
        raise DataError("cannot load " + repr(path) + ": not a pipeline written by '" + PROG + " --save' ("
                        + type(e).__name__ + ": " + one_line(e, 200) + ")") from None
    if not isinstance(pipeline, Pipeline) or not isinstance(pipeline.steps[0][1], (AutoFeatures, PrepareFrame)):
        raise DataError(repr(path) + " is not a pipeline written by '" + PROG + " --save'")
    return pipeline


def _unparsed(prepare, frame):
    prepare = getattr(prepare, "prepare_", prepare)
    counter = getattr(prepare, "unparsed_cells", None)
    if callable(counter):
        return int(counter(frame))
    return int(getattr(prepare, "unparsed_cells_", 0))


def predictions(pipeline, frame, proba, label):
    """(column names, 2-d list of columns) of the predictions for ``frame``."""
    import numpy as np

    prepare = pipeline.steps[0][1]
    target = str(prepare.target_name or "target")
    if hasattr(prepare, "select_inputs"):
        try:
            frame = prepare.select_inputs(frame)
        except DataError as e:
            raise DataError(label + ": " + str(e)) from None
    if proba and not hasattr(pipeline.steps[-1][1], "predict_proba"):
        raise UsageError("--proba needs a classification pipeline; this one predicts a number")
    try:
        with quiet_warnings(), module_output():
            if proba:
                values = np.asarray(pipeline.predict_proba(frame))
                return ["proba_" + str(c) for c in pipeline.classes_], [values[:, j] for j in range(values.shape[1])]
            return ["predicted_" + target], [np.asarray(pipeline.predict(frame))]
    except DataError as e:
        raise DataError(label + ": " + str(e)) from None


def cmd_apply(args):
    import pandas as pd

    notes = Notes(args.quiet)
    check_outputs(args, ("out",), inputs=[args.pipeline, args.csv])
    pipeline = load_pipeline(args.pipeline)
    frame, label = read_table(args.csv, args.sep, notes, encoding=getattr(args, "encoding", None),
                              max_decompressed_mib=args.max_decompressed_mib)
    if len(frame) == 0:
        raise DataError(label + " has no rows")
    if args.id is None:
        # A column the run declared an identifier is copied without being asked again.
        from karrow_libs.autofeatures import declared_ids

        declared = declared_ids(pipeline, frame.columns)
        args.id = declared[0] if declared else None
    if args.id is not None and args.id not in frame.columns:
        raise UsageError("--id: no column " + repr(args.id) + " in " + label + " (columns: "
                         + shortlist(frame.columns, 10) + ")")
    names, columns = predictions(pipeline, frame, args.proba, label)
    out = pd.DataFrame(dict(zip(names, columns)))
    if args.id is not None:
        out.insert(0, args.id if args.id not in names else args.id + " (id)", frame[args.id].to_numpy())
    bad = _unparsed(pipeline.steps[0][1], frame)
    if bad:
        notes.note(str(bad) + " cell(s) of " + label + " were not numbers; the training medians stood in")
    if args.out is None:
        out.to_csv(sys.stdout, index=False)
        return 0
    with StagedFiles() as staged:
        written = stage_table(staged, args.out, out)
        staged.commit()
    notes.note("wrote " + written)
    return 0
