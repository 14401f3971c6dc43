"""karrow-fe: automated feature engineering from the command line.

    karrow-fe [run] [CSV --target COLUMN] [options]   engineer, select, compare
    karrow-fe list [--json]                           the transform catalogue
    karrow-fe apply PIPELINE CSV [--out FILE]         predict with a saved pipeline

Exit codes: 0 success, 1 unusable data or a failure while running, 2 a
mistake on the command line, 130 interrupted.  Errors are one line on
standard error; set KARROW_FE_DEBUG=1 to see the traceback of an unexpected
one.

This module only parses and dispatches.  pandas, scikit-learn and the
compiled module are imported by the commands that need them, so ``--help``,
``--version``, ``list`` and usage errors answer at once.
"""

import os
import sys

from .messages import DataError, UsageError, fail, one_line

__all__ = ["main"]


def main(argv=None):
    """Entry point of ``karrow-fe`` and ``python -m karrow_libs``; returns the exit code."""
    program = argv is None
    argv = sys.argv[1:] if program else list(argv)
    try:
        return _dispatch(argv)
    except UsageError as e:
        return fail(e, 2)
    except DataError as e:
        return fail(e, 1)
    except KeyboardInterrupt:
        return _interrupted(program)
    except BrokenPipeError:
        # The reader of our output went away (`karrow-fe list | head`).
        try:
            sys.stdout = open(os.devnull, "w")
        except OSError:
            pass
        return 1
    except SystemExit as e:
        # argparse's --help and --version
        return e.code if isinstance(e.code, int) else 0
    except Exception as e:
        if _caused_by_interrupt(e):
            return _interrupted(program)
        if os.environ.get("KARROW_FE_DEBUG"):
            raise
        return fail("unexpected " + type(e).__name__ + ": " + one_line(e)
                    + " (set KARROW_FE_DEBUG=1 for the traceback)", 1)


def _caused_by_interrupt(e):
    """True for an error raised because of Ctrl-C, e.g. the ImportError of a compiled module interrupted while loading."""
    seen = set()
    while e is not None and id(e) not in seen:
        if isinstance(e, KeyboardInterrupt):
            return True
        seen.add(id(e))
        e = e.__cause__ or e.__context__
    return False


def _interrupted(program):
    code = fail("interrupted", 130)
    if program:
        # Ctrl-C inside code that a compiled library runs while it is imported
        # can leave the interpreter set to end by the signal itself, which the
        # shell would see instead of exit code 130: end here, streams flushed.
        try:
            sys.stdout.flush()
        except (OSError, ValueError):
            pass
        os._exit(code)
    return code


def _dispatch(argv):
    from .options import parse

    args = parse(argv)
    if args.command == "list":
        from .listing import cmd_list

        return cmd_list(args)
    if getattr(args, "engine", "memory") == "dask":
        return getattr(_dask_engine(), args.command)(args)
    if args.command == "apply":
        from .apply import cmd_apply

        return cmd_apply(args)
    from .run import cmd_run

    return cmd_run(args)


def _dask_engine():
    """``karrow_libs.cli.dask_engine``, or a one-line error naming what is missing."""
    import importlib

    name = __name__.rsplit(".", 1)[0] + ".dask_engine"
    try:
        return importlib.import_module(name)
    except ModuleNotFoundError as e:
        if e.name in ("dask", "distributed") or (e.name or "").startswith(("dask.", "distributed.")):
            raise UsageError("--engine dask needs Dask: pip install 'karrow_libs[dask]'") from None
        if e.name == name:
            raise UsageError("--engine dask is not available in this installation") from None
        raise
