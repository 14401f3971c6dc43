"""The command line of karrow-fe: one argparse parser with the sub-commands run, apply and list.

``karrow-fe`` alone and ``karrow-fe CSV ...`` mean ``karrow-fe run ...``.
Parsing imports nothing beyond the standard library: checking names against
the catalogue or the scikit-learn scorers happens later, in the commands.
"""

import argparse

from karrow_libs import __version__

from .messages import PROG, UsageError

__all__ = ["parse", "COMMANDS", "DEFAULT_TRANSFORMS", "DATASETS", "BLOCK_MIB"]

COMMANDS = ("run", "apply", "list")

#: Transforms of a run without --transforms: cheap, interpretable unary and
#: binary arithmetic that suits most numeric tables.
from karrow_libs.search.defaults import DEFAULT_TRANSFORMS  # noqa: E402 -- declared once, with the search

#: Data sets that ship with scikit-learn (no download), for a run without a CSV.
DATASETS = {
    "diabetes": ("load_diabetes", {"scaled": False}, "regression of disease progression"),
    "breast_cancer": ("load_breast_cancer", {}, "binary classification of tumours"),
    "wine": ("load_wine", {}, "3-class classification of wines"),
}

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
    p.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no notes on standard error")


def _run_options(p):
    p.add_argument("csv", nargs="?", metavar="CSV", help="input table (CSV with a header row; '-' reads standard input)")
    p.add_argument("--target", metavar="COLUMN", help="the column to predict (required with a CSV file)")
    p.add_argument("--dataset", choices=sorted(DATASETS), default=None,
                   help="embedded data set used when no CSV is given (default: diabetes)")
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
    p.add_argument("--selector", choices=("gain", "fs1", "fs2"), default="gain",
                   help="gain: score each candidate by what it adds to the original columns; fs1: F-test; "
                        "fs2: random-forest importances (default: gain)")
    p.add_argument("--keep", metavar="K", type=_whole(0), default=10,
                   help="derived columns to keep besides the original ones; with fs1/fs2, 0 keeps those "
                        "scoring above the mean score (default: %(default)s)")
    p.add_argument("--seed", metavar="N", type=_whole(0), default=0,
                   help="seed of every random choice (samples, folds, name suffixes) (default: 0)")
    p.add_argument("--jobs", metavar="N", type=_whole(1), default=1,
                   help="worker processes for the search and the transforms that can use a pool (default: 1)")
    p.add_argument("--cv", metavar="FOLDS", type=_folds, default=5,
                   help="cross-validation folds for the model comparison; 0 skips it (default: %(default)s)")
    p.add_argument("--metric", metavar="NAMES",
                   help="comma-separated scikit-learn scorer names, e.g. r2, neg_mean_absolute_error, "
                        "balanced_accuracy, roc_auc, f1 (default: r2; accuracy with balanced_accuracy, or "
                        "with roc_auc for two classes)")
    p.add_argument("--out", metavar="FILE", help="write the engineered table (kept columns and the target) as CSV")
    p.add_argument("--lineage", metavar="FILE", help="write a JSON object: kept column name -> its lineage")
    p.add_argument("--model", metavar="FILE",
                   help="write the fitted scikit-learn Pipeline (joblib) for '" + PROG + " apply'")
    p.add_argument("-v", "--verbose", action="store_true",
                   help="show the transforms' own messages and library warnings on standard error")
    _common(p)
    _engine_options(p)


def _apply_options(p):
    p.add_argument("pipeline", help="the .joblib file written by --model")
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
                         epilog="Without a CSV file the run uses a data set that ships with scikit-learn "
                                "(--dataset).\nScores: R^2 for regression; accuracy with balanced accuracy "
                                "(or ROC AUC for two classes) for classification.")
    _run_options(run)
    apply = sub.add_parser("apply", help="predict with a pipeline saved by 'run --model'",
                           description="Predict the target of new rows with a pipeline saved by '" + PROG
                                       + " --model'. Load only files you trust: a joblib file can run code "
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
    return args


def _check_engine(args):
    if args.engine == "memory":
        for option in ("workers", "scheduler", "sample_rows"):
            if getattr(args, option) is not None:
                raise UsageError("--" + option.replace("_", "-") + " needs --engine dask")
    elif args.workers is not None and args.scheduler is not None:
        raise UsageError("--workers starts a local cluster; --scheduler uses a running one: give one of them")
