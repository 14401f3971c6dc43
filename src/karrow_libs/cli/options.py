"""The command line of karrow-fe: one argparse parser with the sub-commands run, apply and list.

``karrow-fe`` alone and ``karrow-fe CSV ...`` mean ``karrow-fe run ...``.
Parsing imports nothing beyond the standard library: checking names against
the catalogue or the scikit-learn scorers happens later, in the commands.
"""

import argparse
import sys

from karrow_libs import __version__
from karrow_libs.datasets import DEFAULT, TABLES

from .messages import PROG, UsageError

__all__ = ["parse", "COMMANDS", "DEFAULT_TRANSFORMS", "DATASETS", "DEFAULT_DATASET", "BLOCK_MIB"]

COMMANDS = ("run", "apply", "list")

#: Transforms of a run without --transforms: cheap, interpretable unary and
#: binary arithmetic that suits most numeric tables.
from karrow_libs.search.defaults import DEFAULT_TRANSFORMS  # noqa: E402 -- declared once, with the search

#: Data sets for a run without a CSV: name -> (loader, its arguments, one-line description).
#: The loader "table" reads a CSV shipped in karrow_libs.datasets (which imports nothing heavy, so
#: --help stays fast); the others are scikit-learn's loaders (no download).
DATASETS = {name: ("table", {"target": target}, what) for name, (_, target, what) in TABLES.items()}
DATASETS.update({
    "diabetes": ("load_diabetes", {"scaled": False}, "regression of disease progression (scikit-learn)"),
    "breast_cancer": ("load_breast_cancer", {}, "binary classification of tumours (scikit-learn)"),
    "wine": ("load_wine", {}, "3-class classification of wines (scikit-learn)"),
})

#: The data set of ``karrow-fe`` alone: a real table with text, dates and missing cells.
DEFAULT_DATASET = DEFAULT

#: Memory budget of one block of candidate columns during the search.
BLOCK_MIB = 64


class _Parser(argparse.ArgumentParser):
    """argparse with one-line errors: they become UsageError (exit code 2)."""

    def error(self, message):
        raise UsageError(message + " (see '" + self.prog + " --help')")


def _whole(minimum, what=""):
    def parse(text):
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError("expected a whole number, got " + repr(text)) from None
        if value < minimum:
            raise argparse.ArgumentTypeError("expected a number >= " + str(minimum) + ", got " + text + what)
        return value

    return parse


def _folds(text):
    value = _whole(0)(text)
    if value == 1:
        raise argparse.ArgumentTypeError("cross-validation needs at least 2 folds (0 skips it)")
    return value


def _sep(text):
    text = {"\\t": "\t", "tab": "\t"}.get(text, text)
    if len(text) != 1 or text in "\"\r\n":
        raise argparse.ArgumentTypeError("expected one character such as ',' ';' '|' or '\\t', got " + repr(text))
    return text


def _columns(text):
    names = [n.strip() for n in text.split(",") if n.strip()]
    if not names:
        raise argparse.ArgumentTypeError("expected comma-separated column names, got " + repr(text))
    return names


def _seconds(text):
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError("expected a number of seconds > 0, got " + repr(text))
    return value


def _decimal(text):
    if text not in (".", ","):
        raise argparse.ArgumentTypeError("expected '.' or ',', got " + repr(text))
    return text


def _thousands(text):
    text = {"space": " "}.get(text, text)
    if len(text) != 1 or text.isalnum() or text in "-+":
        raise argparse.ArgumentTypeError("expected one character such as ',' '.' ' or 'space', got " + repr(text))
    return text


def _date_format(text):
    column, sep, fmt = text.rpartition("=")
    if not sep or not column.strip() or "%" not in fmt:
        raise argparse.ArgumentTypeError("expected COLUMN=FORMAT such as 'day=%%d/%%m/%%Y', got " + repr(text))
    return column.strip(), fmt


def _encoding(text):
    import codecs

    try:
        return codecs.lookup(text).name
    except LookupError:
        raise argparse.ArgumentTypeError("unknown encoding " + repr(text) + " (e.g. utf-8, latin-1, cp1252)") from None


def dataset_listing():
    """One line per embedded data set: its name, then what it holds (the default first)."""
    width = max(len(n) for n in DATASETS)
    names = [DEFAULT_DATASET] + [n for n in DATASETS if n != DEFAULT_DATASET]
    return "\n".join(n.ljust(width) + "  " + DATASETS[n][2] + (" (default)" if n == DEFAULT_DATASET else "")
                     for n in names)


class _DatasetAction(argparse.Action):
    """--dataset NAME; ``--dataset list`` prints the data sets and ends, as --version does."""

    def __call__(self, parser, namespace, value, option_string=None):
        if value == "list":
            sys.stdout.write(dataset_listing() + "\n")
            parser.exit(0)
        if value not in DATASETS:
            parser.error("argument --dataset: invalid choice: " + repr(value) + " (choose from "
                         + ", ".join(repr(n) for n in DATASETS) + ", or 'list')")
        setattr(namespace, self.dest, value)


def _role_options(p):
    g = p.add_argument_group("columns and how cells are written")
    g.add_argument("--drop", metavar="COLS", type=_columns, default=[],
                   help="comma-separated columns to leave out")
    g.add_argument("--categorical", metavar="COLS", type=_columns, default=[],
                   help="comma-separated columns to treat as categories whatever they hold")
    g.add_argument("--id", metavar="COLUMN",
                   help="an identifier column: never a feature, copied as the first column of --out")
    g.add_argument("--decimal", metavar="CHAR", type=_decimal,
                   help="decimal mark of numbers written as text: '.' or ',' (default: found from the table)")
    g.add_argument("--thousands", metavar="CHAR", type=_thousands,
                   help="thousands separator of numbers written as text, e.g. ',' '.' or space (default: found)")
    g.add_argument("--dayfirst", action="store_true",
                   help="read numeric dates such as 03/04/2021 day first (default: the order every cell reads in)")
    g.add_argument("--date-format", metavar="COL=FORMAT", type=_date_format, action="append", default=[],
                   help="read the dates of COL with this strptime format, e.g. 'day=%%d.%%m.%%Y' (repeatable)")


def _engine_options(p):
    g = p.add_argument_group("tables larger than memory")
    g.add_argument("--engine", choices=("memory", "dask"), default="memory",
                   help="memory: pandas in this process; dask: partitioned files or globs, with Dask (default: memory)")
    g.add_argument("--workers", metavar="N", type=_whole(1), help="local Dask worker processes (--engine dask)")
    g.add_argument("--scheduler", metavar="ADDRESS", help="address of a running Dask scheduler (--engine dask)")
    g.add_argument("--sample-rows", metavar="N", type=_whole(1),
                   help="rows sampled to fit the preparation and screen candidates (--engine dask; default 100000)")


def _common(p):
    p.add_argument("--sep", metavar="CHAR", type=_sep,
                   help="field separator of the CSV (default: ',' unless the header is clearly ';', tab or '|')")
    p.add_argument("--encoding", metavar="NAME", type=_encoding,
                   help="text encoding of the CSV, e.g. latin-1 or cp1252 (default: UTF-8)")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no notes on standard error")
    p.add_argument("--max-decompressed-mib", metavar="N", type=_whole(1), default=None,
                   help="refuse a compressed CSV holding more than N MiB once decompressed (default: 2048)")


def _run_options(p):
    p.add_argument("csv", nargs="?", metavar="CSV", help="input table (CSV with a header row; '-' reads standard input)")
    p.add_argument("--target", metavar="COLUMN", help="the column to predict (required with a CSV file)")
    p.add_argument("--dataset", metavar="NAME", action=_DatasetAction, default=None,
                   help="embedded data set used when no CSV is given; 'list' describes them (default: "
                        + DEFAULT_DATASET + ")")
    p.add_argument("--task", choices=("regression", "classification"),
                   help="what to predict; default: guessed from the target (text or few integer levels: classification)")
    p.add_argument("--transforms", metavar="NAMES", default=",".join(DEFAULT_TRANSFORMS),
                   help="comma-separated catalogue names, see '" + PROG + " list' (default: %(default)s)")
    p.add_argument("--depth", type=int, choices=(1, 2, 3), default=1,
                   help="rounds of transforms; a later round transforms the features kept by the round "
                        "before (default: 1)")
    p.add_argument("--max-per-transform", metavar="N", type=_whole(0), default=0,
                   help="at most N columns or column tuples per transform, sampled reproducibly; 0 considers "
                        "every candidate, walking them in blocks of at most " + str(BLOCK_MIB) + " MiB "
                        "(default: %(default)s)")
    p.add_argument("--time-budget", metavar="SECONDS", type=_seconds, default=None,
                   help="stop screening candidates after this many seconds and keep the best found so far "
                        "(the report says so; default: no limit)")
    p.add_argument("--selector", choices=("gain", "fs1", "fs2"), default="gain",
                   help="gain: score each candidate by what it adds to the original columns; fs1: F-test; "
                        "fs2: random-forest importances (default: gain)")
    p.add_argument("--keep", metavar="K", type=_whole(0), default=10,
                   help="derived columns to keep besides the original ones; with fs1/fs2, 0 keeps those "
                        "scoring above the mean score (default: %(default)s)")
    p.add_argument("--seed", metavar="N", type=_whole(0), default=0,
                   help="seed of every random choice (samples, folds, name suffixes) (default: 0)")
    p.add_argument("--jobs", metavar="N", type=_whole(1), default=1,
                   help="worker processes for the cross-validation folds (joblib), started only when a fold "
                        "takes over a second and cores are idle; the search itself runs in this process, so "
                        "the features, names and scores are the same for every N (default: 1)")
    p.add_argument("--cv", metavar="FOLDS", type=_folds, default=5,
                   help="cross-validation folds for the model comparison; 0 skips it (default: %(default)s)")
    p.add_argument("--metric", metavar="NAMES",
                   help="comma-separated scikit-learn scorer names, e.g. r2, neg_mean_absolute_error, "
                        "balanced_accuracy, roc_auc, f1 (default: r2; accuracy with balanced_accuracy, or "
                        "with roc_auc for two classes)")
    p.add_argument("--model", metavar="FAMILY", default="both",
                   help="linear: ridge / logistic regression; lgbm: LightGBM; both: compare both and save the "
                        "better by cross-validation (default: both)")
    p.add_argument("--out", metavar="FILE",
                   help="write the input table as it came (rows with a target) with the derived features "
                        "appended, as CSV")
    p.add_argument("--out-matrix", metavar="FILE",
                   help="write the model-ready matrix (prepared columns, derived features, target) as CSV")
    p.add_argument("--lineage", metavar="FILE", help="write a JSON object: output column name -> its lineage")
    p.add_argument("--save", metavar="FILE",
                   help="write the fitted scikit-learn Pipeline (joblib) for '" + PROG + " apply'")
    p.add_argument("--json", metavar="FILE",
                   help="write the report as JSON (its schema: karrow_libs/cli/report.schema.json)")
    p.add_argument("--html", metavar="FILE",
                   help="write the report as one self-contained web page with charts (needs matplotlib)")
    p.add_argument("-v", "--verbose", action="store_true",
                   help="show the transforms' own messages and library warnings on standard error")
    _role_options(p)
    _common(p)
    _engine_options(p)


def _apply_options(p):
    p.add_argument("pipeline", help="the .joblib file written by --save")
    p.add_argument("csv", help="new rows (CSV with the training columns; '-' reads standard input)")
    p.add_argument("--out", metavar="FILE", help="write the predictions there instead of standard output")
    p.add_argument("--proba", action="store_true",
                   help="write the probability of each class (classification pipelines) instead of the label")
    p.add_argument("--id", metavar="COLUMN", help="copy this column of the input as the first output column")
    _common(p)
    _engine_options(p)


def build_parser():
    formatter = argparse.RawDescriptionHelpFormatter
    top = _Parser(
        prog=PROG, formatter_class=formatter,
        description="Generate features with the karrow_libs transform catalogue, keep the ones that add most, "
                    "and compare\na cross-validated model on the original and on the engineered columns.",
        epilog="'" + PROG + "' alone and '" + PROG + " CSV --target COLUMN ...' mean 'run'; see '" + PROG
               + " run --help'.\nExit codes: 0 success, 1 unusable data or a failed run, 2 a command-line "
                 "mistake, 130 interrupted.")
    top.add_argument("--version", action="version", version=PROG + " (karrow_libs " + __version__ + ")")
    sub = top.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    run = sub.add_parser("run", help="engineer features, select, compare models (the default)",
                         formatter_class=formatter,
                         description="Engineer features, keep the best, and compare cross-validated models.",
                         epilog="Without a CSV file the run uses an embedded data set (--dataset):\n  "
                                + dataset_listing().replace("\n", "\n  ") + "\nScores: R^2 for regression; accuracy with balanced accuracy "
                                "(or ROC AUC for two classes) for classification.")
    _run_options(run)
    apply = sub.add_parser("apply", help="predict with a pipeline saved by 'run --save'",
                           description="Predict the target of new rows with a pipeline saved by '" + PROG
                                       + " --save'. Load only files you trust: a joblib file can run code "
                                         "when loaded.")
    _apply_options(apply)
    lst = sub.add_parser("list", help="the transform catalogue and the feature constraints",
                         description="Print the transform catalogue: a one-line description of every "
                                     "transform and feature constraint.")
    lst.add_argument("--json", action="store_true", help="print every catalogue entry in full as JSON")
    return top


def parse(argv):
    """The parsed arguments of ``argv`` (``args.command`` is one of COMMANDS)."""
    argv = list(argv)
    if not argv or (argv[0] not in COMMANDS and argv[0] not in ("-h", "--help", "--version")):
        argv = ["run"] + argv
    args = build_parser().parse_args(argv)
    if args.command in ("run", "apply"):
        _check_engine(args)
    if args.command == "run":
        _check_reports(args)
    return args


def _check_reports(args):
    """--json and --html: refused at once where they cannot be written, rather than after the run."""
    given = [o for o in ("json", "html") if getattr(args, o, None) is not None]
    if given and args.engine == "dask":
        raise UsageError(" and ".join("--" + o for o in given) + " are written by in-memory runs (--engine memory)")
    if args.html is not None:
        import importlib.util

        if importlib.util.find_spec("matplotlib") is None:
            raise UsageError("--html needs matplotlib: pip install matplotlib")


def _check_engine(args):
    if args.engine == "memory":
        for option in ("workers", "scheduler", "sample_rows"):
            if getattr(args, option) is not None:
                raise UsageError("--" + option.replace("_", "-") + " needs --engine dask")
    elif args.workers is not None and args.scheduler is not None:
        raise UsageError("--workers starts a local cluster; --scheduler uses a running one: give one of them")
