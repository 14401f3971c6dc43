"""karrow-fe: one round of automated feature engineering from the command line.

    karrow-fe [run] [CSV --target COLUMN] [options]   engineer, select, compare
    karrow-fe list [--json]                           the transform catalogue
    karrow-fe apply PIPELINE CSV [--out FILE]         predict with a saved pipeline

Exit codes: 0 success, 1 unusable data or a failure while running, 2 a
mistake on the command line, 130 interrupted.  Errors are one line on
standard error; set KARROW_FE_DEBUG=1 to see the traceback of an unexpected
one.
"""

import argparse
import json
import os
import sys
import time
import warnings

import numpy as np

from karrow_libs import __version__

from . import lineage as lineage_mod
from .files import StagedFiles, UsageError, check_writable, read_csv
from .report import Progress, format_score, format_seconds, format_table
from .steps import (
    DataError,
    PrepareTable,
    SelectFeatures,
    TableValues,
    TransformRound,
    module_output,
)

PROG = "karrow-fe"

#: Transforms of a run without --transforms: cheap, interpretable unary and
#: binary arithmetic that suits most numeric tables.
DEFAULT_TRANSFORMS = ("sqrt", "log", "square", "product", "sum", "diff", "divide")

#: The names the transform catalogue knows, in the catalogue's own order.
#: Seven of them are in none of the catalogue's name lists, so the lists
#: alone cannot enumerate it; every name is checked against GetTransformObj.
CATALOGUE_NAMES = (
    "sqrt", "log", "exp", "round", "square", "cube", "cbrt", "tanh", "sin", "cos", "tan", "abs",
    "sigmoid", "freq", "product", "sum", "diff", "min", "max", "divide", "onehot", "stdscaler",
    "minmaxscaler", "dtextr", "pair", "pca", "ica", "nystroem", "featureagglomeration",
    "groupbymean", "groupbystd", "groupbymin", "groupbymax", "groupbymedian", "nxor", "binning",
    "clusterdbscan", "isoforestanomaly", "speed", "distance", "m_distance",
)

#: Data sets that ship with scikit-learn (no download), for a run without a CSV.
DATASETS = {
    "diabetes": ("load_diabetes", {"scaled": False}, "regression of disease progression"),
    "breast_cancer": ("load_breast_cancer", {}, "binary classification of tumours"),
    "wine": ("load_wine", {}, "3-class classification of wines"),
}

MIN_ROWS = 3


# --------------------------------------------------------------------------
# command line


class _Parser(argparse.ArgumentParser):
    """argparse with one-line errors: they become UsageError (exit code 2)."""

    def error(self, message):
        raise UsageError(message + " (see '" + self.prog + " --help')")


def _positive_int(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("expected a whole number, got " + repr(text)) from None
    if value < 1:
        raise argparse.ArgumentTypeError("expected a number >= 1, got " + text)
    return value


def _count(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("expected a whole number, got " + repr(text)) from None
    if value < 0:
        raise argparse.ArgumentTypeError("expected a number >= 0, got " + text)
    return value


def _folds(text):
    value = _count(text)
    if value == 1:
        raise argparse.ArgumentTypeError("cross-validation needs at least 2 folds (0 skips it)")
    return value


def run_parser():
    p = _Parser(
        prog=PROG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Generate features with the karrow_libs transform catalogue, keep the best ones, and\n"
                    "compare a cross-validated model on the original and on the engineered columns.\n\n"
                    "commands:\n"
                    "  " + PROG + " [run] [CSV --target COLUMN] [options]   engineer, select, compare\n"
                    "  " + PROG + " list [--json]                           the transform catalogue\n"
                    "  " + PROG + " apply PIPELINE CSV [--out FILE]         predict with a saved pipeline",
        epilog="Without a CSV file the run uses a data set that ships with scikit-learn (--dataset).\n"
               "Exit codes: 0 success, 1 unusable data or a failed run, 2 a command-line mistake.",
    )
    p.add_argument("csv", nargs="?", metavar="CSV", help="input table (CSV with a header row; '-' reads standard input)")
    p.add_argument("--target", metavar="COLUMN", help="the column to predict (required with a CSV file)")
    p.add_argument("--dataset", choices=sorted(DATASETS), default=None,
                   help="embedded data set used when no CSV is given (default: diabetes)")
    p.add_argument("--transforms", metavar="NAMES", default=",".join(DEFAULT_TRANSFORMS),
                   help="comma-separated catalogue names, see the list command (default: %(default)s)")
    p.add_argument("--depth", type=int, choices=(1, 2, 3), default=1,
                   help="rounds of transforms; round 2 also transforms round 1's columns (default: 1)")
    p.add_argument("--max-per-transform", metavar="N", type=_count, default=100,
                   help="at most N columns or column tuples per transform, sampled reproducibly; "
                        "0 for no limit (default: %(default)s)")
    p.add_argument("--jobs", metavar="N", type=_positive_int, default=1,
                   help="worker processes for the transforms that can use a pool (default: 1)")
    p.add_argument("--selector", choices=("fs1", "fs2"), default="fs1",
                   help="fs1: univariate F-test; fs2: random-forest importances (default: fs1)")
    p.add_argument("--keep", metavar="K", type=_count, default=10,
                   help="derived columns to keep besides the original ones; 0 keeps those scoring "
                        "above the mean score (default: %(default)s)")
    p.add_argument("--cv", metavar="FOLDS", type=_folds, default=5,
                   help="cross-validation folds for the model comparison; 0 skips it (default: %(default)s)")
    p.add_argument("--out", metavar="FILE", help="write the engineered table (kept columns and the target) as CSV")
    p.add_argument("--lineage", metavar="FILE", help="write a JSON object: kept column name -> its lineage")
    p.add_argument("--model", metavar="FILE",
                   help="write the fitted scikit-learn Pipeline (joblib) for '" + PROG + " apply'")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no notes on standard error")
    p.add_argument("-v", "--verbose", action="store_true",
                   help="show the transforms' own messages and library warnings on standard error")
    p.add_argument("--version", action="version", version=PROG + " (karrow_libs " + __version__ + ")")
    return p


def list_parser():
    p = _Parser(prog=PROG + " list", description="Print the transform catalogue: every name with its class, "
                "the column types and feature constraints of each argument, and what it wraps.")
    p.add_argument("--json", action="store_true", help="print the catalogue as JSON")
    return p


def apply_parser():
    p = _Parser(prog=PROG + " apply", description="Predict the target of new rows with a pipeline saved by '"
                + PROG + " --model'. Load only files you trust: a joblib file can run code when loaded.")
    p.add_argument("pipeline", help="the .joblib file written by --model")
    p.add_argument("csv", help="new rows (CSV with the training columns; '-' reads standard input)")
    p.add_argument("--out", metavar="FILE", help="write the predictions there instead of standard output")
    p.add_argument("-q", "--quiet", action="store_true", help="no notes on standard error")
    return p


def main(argv=None):
    """Entry point of ``karrow-fe`` and ``python -m karrow_libs``; returns the exit code."""
    argv = sys.argv[1:] if argv is None else list(argv)
    try:
        if argv[:1] == ["list"]:
            return cmd_list(list_parser().parse_args(argv[1:]))
        if argv[:1] == ["apply"]:
            return cmd_apply(apply_parser().parse_args(argv[1:]))
        if argv[:1] == ["run"]:
            argv = argv[1:]
        return cmd_run(run_parser().parse_args(argv))
    except UsageError as e:
        return _fail(e, 2)
    except DataError as e:
        return _fail(e, 1)
    except KeyboardInterrupt:
        return _fail("interrupted", 130)
    except BrokenPipeError:
        # The reader of our output went away (`karrow-fe list | head`).
        try:
            sys.stdout = open(os.devnull, "w")
        except OSError:
            pass
        return 1
    except Exception as e:
        if os.environ.get("KARROW_FE_DEBUG"):
            raise
        return _fail("unexpected " + type(e).__name__ + ": " + _one_line(e)
                     + " (set KARROW_FE_DEBUG=1 for the traceback)", 1)


def _fail(message, code):
    sys.stderr.write(PROG + ": error: " + _one_line(message) + "\n")
    sys.stderr.flush()
    return code


def _one_line(e):
    return " ".join(str(e).split())


def _note(args, text):
    if not args.quiet:
        sys.stderr.write(PROG + ": " + text + "\n")


# --------------------------------------------------------------------------
# catalogue


def _tu():
    from karrow_libs.vantor.transforms import transform_utils

    return transform_utils


def catalogue_names():
    """Every name the catalogue builds a transform for: its own order, then any it lists that we do not know."""
    tu = _tu()
    listed = (list(tu.TransformBase.GetAllTransformNames()) + list(tu.TransformBase.GetAllUnaryTransformNames())
              + list(tu.TransformBase.GetAllBinaryTransformNames()))
    names = list(CATALOGUE_NAMES) + [n for n in dict.fromkeys(listed) if n not in CATALOGUE_NAMES]
    return [n for n in names if tu.TransformBase.GetTransformObj(n) is not None]


def parse_transform_names(text):
    """The distinct names of a comma-separated list, in order; unknown names are a UsageError."""
    names = list(dict.fromkeys(n.strip() for n in text.split(",") if n.strip()))
    if not names:
        raise UsageError("--transforms needs at least one name (see '" + PROG + " list')")
    tu = _tu()
    unknown = [n for n in names if tu.TransformBase.GetTransformObj(n) is None]
    if unknown:
        raise UsageError("unknown transform" + ("s " if len(unknown) > 1 else " ")
                         + ", ".join(repr(n) for n in unknown) + "; valid names: "
                         + ", ".join(sorted(catalogue_names())))
    return tuple(names)


def _callable_name(f):
    if isinstance(f, np.ufunc):
        return "np." + f.__name__
    if isinstance(f, type):
        return f.__name__
    name = getattr(f, "__name__", None)
    if name is not None:
        module = (getattr(f, "__module__", "") or "").rsplit(".", 1)[-1]
        return module + "." + name if module else name
    return repr(f)  # an estimator object: its parameters matter


def describe_transform(name):
    """A dict describing the catalogue entry ``name``, read from the built object's attributes."""
    t = _tu().TransformBase.GetTransformObj(name)
    cls = type(t).__name__
    if hasattr(t, "datatypes_list"):
        datatypes, constraints = t.datatypes_list, t.feat_constraints_list
    elif hasattr(t, "datatypes1"):
        datatypes = [t.datatypes1, t.datatypes2]
        constraints = [t.feat_constraints1, t.feat_constraints2]
    elif hasattr(t, "datatypes"):
        datatypes, constraints = [t.datatypes], [t.feat_constraints]
    else:
        datatypes, constraints = [], []  # the whole table
    wraps = t.fun if hasattr(t, "fun") and t.fun is not None else getattr(t, "tans_class", None)
    return {
        "name": name,
        "class": cls,
        "arguments": len(datatypes) if datatypes else "all",
        "datatypes": [list(d) for d in datatypes],
        "constraints": [[getattr(fc, "__name__", str(fc)) for fc in fcs] for fcs in constraints],
        "wraps": _callable_name(wraps),
    }


def cmd_list(args):
    entries = [describe_transform(n) for n in catalogue_names()]
    if args.json:
        print(json.dumps(entries, indent=2))
        return 0
    rows = []
    for e in entries:
        rows.append([
            e["name"], e["class"], e["arguments"],
            "; ".join(", ".join(d) for d in e["datatypes"]) or "whole table",
            "; ".join(", ".join(c) or "-" for c in e["constraints"]) or "-",
            e["wraps"],
        ])
    print(format_table(["name", "class", "args", "column types", "constraints", "wraps"], rows,
                       ["<", "<", ">", "<", "<", "<"]))
    print("\n" + str(len(entries)) + " transforms; the default set is " + ",".join(DEFAULT_TRANSFORMS))
    return 0


# --------------------------------------------------------------------------
# run


def load_input(args):
    """(frame, description, target column) for the run."""
    if args.csv is None:
        if args.target is not None:
            raise UsageError("--target needs a CSV file (the embedded data sets have their own target)")
        key = args.dataset or "diabetes"
        loader, kwargs, what = DATASETS[key]
        import sklearn.datasets

        frame = getattr(sklearn.datasets, loader)(as_frame=True, **kwargs).frame
        return frame, key + " (embedded, " + what + ")", "target"
    if args.dataset is not None:
        raise UsageError("--dataset is for runs without a CSV file")
    if args.target is None:
        raise UsageError("--target COLUMN is required with a CSV file")
    frame = read_csv(args.csv)
    label = "standard input" if args.csv == "-" else args.csv
    columns = [str(c) for c in frame.columns]
    frame.columns = columns
    if args.target not in columns:
        raise UsageError("no column " + repr(args.target) + " in " + label + " (columns: " + _shortlist(columns) + ")")
    if columns.count(args.target) > 1:
        raise DataError(label + " has several columns named " + repr(args.target))
    return frame, label, args.target


def _shortlist(items, limit=10):
    items = [str(i) for i in items]
    if len(items) <= limit:
        return ", ".join(items)
    return ", ".join(items[:limit]) + ", ... (" + str(len(items)) + " in all)"


def split_target(frame, target, label, args):
    """Features, target vector and task, with the checks that make a run meaningful."""
    y_col = frame[target]
    present = y_col.notna().to_numpy()
    if not present.all():
        _note(args, "dropped " + str(int((~present).sum())) + " row(s) with no value in " + repr(target))
    X = frame.loc[present].drop(columns=[target]).reset_index(drop=True)
    y = y_col[present].to_numpy()
    if len(y) < MIN_ROWS:
        raise DataError(label + " has " + str(len(y)) + " row(s) with a target value; at least "
                        + str(MIN_ROWS) + " are needed")
    if X.shape[1] == 0:
        raise DataError(label + " has no column besides the target " + repr(target))
    if len(np.unique(y.astype(str))) < 2:
        raise DataError("the target " + repr(target) + " has a single value; there is nothing to predict")
    task = _tu().DatasetS.GetTargetType(y)
    if task == "regression":
        y = y.astype(np.float64)
    return X, y, task


def make_model(task):
    from sklearn.linear_model import LogisticRegression, Ridge

    if task == "classification":
        return LogisticRegression(max_iter=2000), "logistic regression", "accuracy"
    return Ridge(alpha=1.0), "ridge regression", "R^2"


def build_pipelines(args, transforms, task, target):
    """(baseline, engineered) unfitted pipelines."""
    from sklearn.pipeline import Pipeline
    from sklearn.preprocessing import StandardScaler

    model, _, _ = make_model(task)
    cap = args.max_per_transform or None
    baseline = Pipeline([("prepare", PrepareTable(target)), ("values", TableValues()),
                         ("scale", StandardScaler()), ("model", model)])
    steps = [("prepare", PrepareTable(target))]
    for r in range(1, args.depth + 1):
        steps.append(("round" + str(r), TransformRound(transforms, cap, args.jobs)))
    steps += [("select", SelectFeatures(args.keep, args.selector, task)), ("scale", StandardScaler()),
              ("model", make_model(task)[0])]
    return baseline, Pipeline(steps)


def fit_engineered(pipeline, X, y, args, echo):
    """Fit the pipeline step by step (with a progress bar over the transforms); return its tables."""
    rounds = [step for _, step in pipeline.steps if isinstance(step, TransformRound)]
    total = sum(len(r.transforms) for r in rounds)
    tables = []
    progress = Progress(sys.stderr, total, "transforms", enabled=not args.quiet and sys.stderr.isatty())
    with progress:
        table = pipeline.named_steps["prepare"].fit_transform(X, y)
        tables.append(table)
        for i, r in enumerate(rounds, 1):
            table = r.fit_transform(table, y, on_step=lambda n, i=i: progress.step("round " + str(i) + ": " + n),
                                    echo=echo)
            tables.append(table)
    selected = pipeline.named_steps["select"].fit_transform(table, y, echo=echo)
    scaled = pipeline.named_steps["scale"].fit_transform(selected, y)
    with module_output(echo):
        pipeline.named_steps["model"].fit(scaled, y)
    return tables


def feature_scores(table, y, selector, task):
    """One score per column of ``table``: what the selector ranked the columns by."""
    if selector == "fs1":
        from sklearn.feature_selection import SelectKBest, f_classif, f_regression

        score = f_classif if task == "classification" else f_regression
        scores = SelectKBest(score, k="all").fit(table.values, y).scores_
        return np.where(np.isnan(scores), 0.0, scores)
    from sklearn.ensemble import RandomForestClassifier, RandomForestRegressor

    forest = RandomForestClassifier if task == "classification" else RandomForestRegressor
    return forest(random_state=7).fit(table.values, y).feature_importances_


def cross_validate(pipeline, X, y, task, folds, progress, echo, label=""):
    """(mean, sd, seconds) of the pipeline's score over ``folds`` folds, refitting everything in each."""
    from sklearn.base import clone
    from sklearn.model_selection import KFold, StratifiedKFold

    start = time.perf_counter()
    if task == "classification":
        splitter = StratifiedKFold(folds, shuffle=True, random_state=0)
    else:
        splitter = KFold(folds, shuffle=True, random_state=0)
    scores = []
    for fold, (train, test) in enumerate(splitter.split(X, y), 1):
        progress.step(label + " columns, fold " + str(fold))
        p = clone(pipeline)
        with module_output(echo):
            p.fit(X.iloc[train], y[train])
            scores.append(p.score(X.iloc[test], y[test]))
    return float(np.mean(scores)), float(np.std(scores)), time.perf_counter() - start


def _guarded_cv(pipeline, X, y, task, folds, progress, echo, label):
    """``cross_validate``, or ``None`` after a warning when a fold cannot be fitted (the report goes on)."""
    try:
        return cross_validate(pipeline, X, y, task, folds, progress, echo, label)
    except (MemoryError, KeyboardInterrupt):
        raise
    except Exception as e:
        if os.environ.get("KARROW_FE_DEBUG"):
            raise
        sys.stderr.write(PROG + ": warning: cross-validation failed: " + type(e).__name__ + ": " + _one_line(e) + "\n")
        return None


def cv_folds(y, task, requested):
    """How many folds the data allows (each test fold with at least 2 rows, every class in every fold)."""
    if requested < 2:
        return 0
    if task == "classification":
        _, counts = np.unique(y.astype(str), return_counts=True)
        limit = int(counts.min())
    else:
        limit = len(y) // 2
    folds = min(requested, limit)
    return folds if folds >= 2 else 0


def cmd_run(args):
    for option in ("out", "lineage", "model"):
        path = getattr(args, option)
        if path is not None:
            check_writable(path, "--" + option)
    paths = [os.path.abspath(p) for p in (args.out, args.lineage, args.model) if p is not None]
    if len(set(paths)) != len(paths):
        raise UsageError("--out, --lineage and --model must name different files")

    transforms = parse_transform_names(args.transforms)
    frame, label, target = load_input(args)
    X, y, task = split_target(frame, target, label, args)
    echo = sys.stderr if args.verbose else None

    with warnings.catch_warnings():
        if not args.verbose:
            warnings.simplefilter("ignore")
        baseline, engineered = build_pipelines(args, transforms, task, target)
        start = time.perf_counter()
        tables = fit_engineered(engineered, X, y, args, echo)
        fe_seconds = time.perf_counter() - start
        select = engineered.named_steps["select"]
        scores = feature_scores(tables[-1], y, args.selector, task)

        folds = cv_folds(y, task, args.cv)
        cv = None
        if folds:
            progress = Progress(sys.stderr, 2 * folds, "cross-validation",
                                enabled=not args.quiet and sys.stderr.isatty())
            with progress:
                base_cv = _guarded_cv(baseline, X, y, task, folds, progress, echo, "original")
                eng_cv = _guarded_cv(engineered, X, y, task, folds, progress, echo, "engineered")
            cv = (folds, base_cv, eng_cv)

    report = render_report(label, target, task, X, tables, engineered, select, scores, args, fe_seconds, cv)
    with StagedFiles() as staged:
        written = stage_outputs(staged, args, tables[-1], select, y, target, engineered)
        print(report)
        staged.commit()
    if written:
        print("\nwrote " + "; ".join(written))
    return 0


def render_report(label, target, task, X, tables, pipeline, select, scores, args, fe_seconds, cv):
    _, model_name, metric = make_model(task)
    prepare = pipeline.named_steps["prepare"]
    prepared = tables[0]
    lines = []
    lines.append("data       " + label + ": " + str(len(X)) + " rows, " + str(X.shape[1])
                 + " feature columns, target " + repr(target) + " (" + task + ")")
    prepared_line = "prepared   " + str(prepared.shape[1]) + " numeric columns"
    if prepare.dropped_:
        prepared_line += " (left out, not numeric: " + _shortlist(prepare.dropped_, 6) + ")"
    lines.append(prepared_line)
    rounds = [s for _, s in pipeline.steps if isinstance(s, TransformRound)]
    for i, r in enumerate(rounds, 1):
        before, after = tables[i - 1].shape[1], tables[i].shape[1]
        text = "round " + str(i) + "    " + str(len(r.transforms)) + " transforms: " + str(before) + " -> " \
            + str(after) + " columns"
        if r.dropped_:
            text += " (" + str(r.generated_) + " generated, " + str(r.dropped_) + " constant or copies dropped)"
        lines.append(text)
        for name, reason in r.skipped_:
            lines.append("           skipped " + name + ": " + reason)
    n_derived = len(select.columns_) - select.n_inputs_
    lines.append("selected   " + select.selector.upper() + " ("
                 + ("F-test" if select.selector == "fs1" else "random-forest importance") + "): "
                 + str(select.n_inputs_) + " original + " + str(n_derived) + " derived columns"
                 + " (feature engineering fitted in " + format_seconds(fe_seconds) + ")")
    lines.append("")
    derived = [c for c in select.columns_ if c >= select.n_inputs_]
    derived.sort(key=lambda c: -scores[c])
    if derived:
        final = tables[-1]
        origins = [None] * prepared.shape[1]
        for r in rounds:
            origins.extend(r.origins_)
        header = "F-score" if select.selector == "fs1" else "importance"
        rows = [[i, format_score(scores[c]), _feature_text(final.lineage[c], origins[c])]
                for i, c in enumerate(derived, 1)]
        lines.append("Kept derived features")
        lines.append(format_table(["#", header, "feature"], rows, [">", ">", "<"]))
    else:
        lines.append("No derived feature was kept.")
    lines.append("")
    if cv is None:
        if not args.cv:
            why = "--cv 0"
        elif task == "classification":
            why = "the smallest class has fewer than 2 rows"
        else:
            why = "fewer than 4 rows"
        lines.append("Model comparison skipped (" + why + ").")
    else:
        folds, base_cv, eng_cv = cv
        lines.append("Cross-validated " + model_name + " (" + str(folds) + " folds, " + metric
                     + "; feature engineering refitted in every fold)")
        rows = [_cv_row("original", prepared.shape[1], base_cv), _cv_row("engineered", len(select.columns_), eng_cv)]
        lines.append(format_table(["columns", "n", metric + " mean", "sd", "time"], rows,
                                  ["<", ">", ">", ">", ">"]))
    return "\n".join(lines)


def _feature_text(obj, origin):
    text = lineage_mod.render(obj)
    if lineage_mod.depth(obj) == 0 and origin is not None:
        # Whole-table transforms describe their outputs by their own names,
        # which would read like input columns.
        text += "  (" + origin + " of the whole table)"
    return text


def _cv_row(label, n_columns, result):
    if result is None:
        return [label, n_columns, "failed", "", ""]
    mean, sd, seconds = result
    return [label, n_columns, "{:.3f}".format(mean), "{:.3f}".format(sd), format_seconds(seconds)]


def stage_outputs(staged, args, final_table, select, y, target, pipeline):
    written = []
    if args.out is not None:
        import pandas as pd

        values = final_table.values[:, select.columns_]
        out = pd.DataFrame(values, columns=select.names_)
        # Integer columns go back to integers, so the table reads as the input did.
        for j, c in enumerate(select.columns_):
            dt = final_table.dtypes[c]
            if dt.kind in "iu" and np.all(np.isfinite(values[:, j])) and np.all(values[:, j] == np.round(values[:, j])):
                out[out.columns[j]] = values[:, j].astype(dt)
        target_label = target if target not in select.names_ else target + " (target)"
        out[target_label] = y
        staged.stage(args.out, lambda p: out.to_csv(p, index=False))
        written.append(args.out + " (" + str(out.shape[0]) + " rows, " + str(out.shape[1]) + " columns)")
    if args.lineage is not None:
        mapping = dict(zip(select.names_, select.lineage_))

        def write_lineage(p):
            with open(p, "w", encoding="utf-8") as f:
                json.dump(mapping, f, indent=2, default=str)
                f.write("\n")

        staged.stage(args.lineage, write_lineage)
        written.append(args.lineage + " (" + str(len(mapping)) + " columns)")
    if args.model is not None:
        import joblib

        staged.stage(args.model, lambda p: joblib.dump(pipeline, p))
        written.append(args.model + " (scikit-learn Pipeline)")
    return written


# --------------------------------------------------------------------------
# apply


def load_pipeline(path):
    from sklearn.pipeline import Pipeline

    if not os.path.isfile(path):
        raise DataError("cannot read " + repr(path) + ": no such file")
    import joblib

    try:
        pipeline = joblib.load(path)
    except Exception as e:
        raise DataError("cannot load " + repr(path) + ": not a pipeline written by '" + PROG + " --model' ("
                        + type(e).__name__ + ": " + _one_line(e) + ")") from None
    if not isinstance(pipeline, Pipeline) or not isinstance(pipeline.steps[0][1], PrepareTable):
        raise DataError(repr(path) + " is not a pipeline written by '" + PROG + " --model'")
    return pipeline


def cmd_apply(args):
    import pandas as pd

    if args.out is not None:
        check_writable(args.out, "--out")
    pipeline = load_pipeline(args.pipeline)
    frame = read_csv(args.csv)
    label = "standard input" if args.csv == "-" else args.csv
    if len(frame) == 0:
        raise DataError(label + " has no rows")
    prepare = pipeline.steps[0][1]
    try:
        with warnings.catch_warnings(), module_output():
            warnings.simplefilter("ignore")
            predictions = pipeline.predict(frame)
    except DataError as e:
        raise DataError(label + ": " + str(e)) from None
    bad = getattr(prepare, "unparsed_cells_", 0)
    if bad and not args.quiet:
        _note(args, str(bad) + " cell(s) of " + label + " were not numbers; the training medians stood in")
    column = "predicted_" + str(prepare.target_name or "target")
    out = pd.DataFrame({column: predictions})
    if args.out is None:
        out.to_csv(sys.stdout, index=False)
        return 0
    with StagedFiles() as staged:
        staged.stage(args.out, lambda p: out.to_csv(p, index=False))
        staged.commit()
    _note(args, "wrote " + args.out + " (" + str(len(out)) + " predictions)")
    return 0
