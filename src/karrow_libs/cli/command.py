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

from .messages import PROG, DataError, UsageError, fail, one_line

__all__ = ["main"]


def main(argv=None):
    """Entry point of ``karrow-fe`` and ``python -m karrow_libs``; returns the exit code."""
    program = argv is None
    argv = sys.argv[1:] if program else list(argv)
    if program and "numpy" not in sys.modules:
        # Asking the kernel for huge pages (numpy does for every large array) can stall the first touch
        # of each fresh array for seconds where pages are defragmented on demand; the command's arrays
        # are made and dropped by the hundred, so it runs on ordinary pages. Worker processes inherit it.
        os.environ.setdefault("NUMPY_MADVISE_HUGEPAGE", "0")
    restore = _signals_interrupt()
    try:
        try:
            code = _main(argv, program)
        except KeyboardInterrupt:  # a second interrupt while the first one was being reported
            code = _interrupted(program)
    finally:
        if program:
            _guard_signals()
        else:
            restore()
        _remove_temporaries()
    if program:
        _finish(code)
    return code


def _main(argv, program):
    try:
        code = _dispatch(argv)
        if program:
            # Still inside this try: an interrupt that lands before the end-of-run handlers are in place
            # is reported like any other, instead of escaping the caller's clean-up by the signal itself.
            _guard_signals()
        return code
    except UsageError as e:
        return fail(e, 2)
    except DataError as e:
        return fail(e, 1)
    except KeyboardInterrupt as e:
        return _interrupted(program, e)
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
        cause = _caused_by_interrupt(e)
        if cause is not None:
            return _interrupted(program, cause)
        if os.environ.get("KARROW_FE_DEBUG"):
            raise
        return fail("unexpected " + type(e).__name__ + ": " + one_line(e)
                    + " (set KARROW_FE_DEBUG=1 for the traceback)", 1)


class Terminated(KeyboardInterrupt):
    """SIGTERM or SIGHUP, raised where the run is so that it ends like a Ctrl-C: outputs untouched, one line."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


def _handled_signals():
    import signal

    return [getattr(signal, n) for n in ("SIGTERM", "SIGHUP") if hasattr(signal, n)]


def _signals_interrupt():
    """Make SIGTERM and SIGHUP interrupt the run; returns the function restoring the previous handlers."""
    import signal
    import threading

    if threading.current_thread() is not threading.main_thread():
        return lambda: None

    def interrupt(signum, frame):
        raise Terminated(signum)

    previous = {}
    for s in _handled_signals():
        try:
            previous[s] = signal.signal(s, interrupt)
        except (OSError, ValueError):
            pass

    def restore():
        for s, handler in previous.items():
            try:
                signal.signal(s, handler if handler is not None else signal.SIG_DFL)
            except (OSError, ValueError, TypeError):
                pass

    return restore


def _remove_temporaries():
    # Only when the output module was loaded: usage errors stay free of imports.
    files = sys.modules.get(__name__.rsplit(".", 1)[0] + ".files")
    if files is not None:
        files.remove_temporaries()
    staged = sys.modules.get("karrow_libs.scale.io")
    if staged is not None:
        staged.discard_staged()


def _end_now(signum, frame):
    """A signal after the run was decided: the same one line and exit code, at once."""
    try:
        sys.stderr.write(PROG + ": error: " + _interrupt_text(signum) + "\n")
        sys.stderr.flush()
    except (OSError, ValueError):
        pass
    _remove_temporaries()
    os._exit(130)


def _guard_signals():
    """From here on a signal ends the process with one line and 130, never by the signal itself."""
    import signal

    for s in [signal.SIGINT] + _handled_signals():
        try:
            signal.signal(s, _end_now)
        except (OSError, ValueError):
            pass


def _finish(code):
    """End the program here, streams flushed, so that no later moment of interpreter shutdown is left
    where a Ctrl-C would kill the process by the signal with no message.  (Ctrl-C inside code that a
    compiled library runs while it is imported can also leave the interpreter set to end by the signal
    itself, which the shell would see instead of exit code 130.)"""
    _guard_signals()
    if code == 130:
        # What the interrupted frames held (a Dask cluster's queues, pools) is released now, so
        # that nothing reports it as leaked after this process is gone.
        import gc

        gc.collect()
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (OSError, ValueError):
            pass
    os._exit(code)


def _interrupt_text(signum=None):
    import signal

    if signum in (None, signal.SIGINT):
        return "interrupted"
    try:
        return "interrupted by " + signal.Signals(signum).name
    except ValueError:
        return "interrupted"


def _caused_by_interrupt(e):
    """The interrupt behind an error raised because of it (e.g. the ImportError of a compiled module
    interrupted while loading), or None."""
    seen = set()
    while e is not None and id(e) not in seen:
        if isinstance(e, KeyboardInterrupt):
            return e
        seen.add(id(e))
        e = e.__cause__ or e.__context__
    return None


def _interrupted(program, e=None):
    if program:
        _guard_signals()
    return fail(_interrupt_text(getattr(e, "signum", None)), 130)


def _dispatch(argv):
    from .options import parse

    args = parse(argv)
    if args.command == "list":
        from .listing import cmd_list

        return cmd_list(args)
    check_address_space()
    if getattr(args, "engine", "memory") == "dask":
        return getattr(_dask_engine(), args.command)(args)
    if args.command == "apply":
        from .apply import cmd_apply

        return cmd_apply(args)
    from .run import cmd_run

    return cmd_run(args)


#: Address space, in MiB, that loading the numeric libraries and a small run
#: need, plus what the linear-algebra library reserves for each core.
MIN_ADDRESS_SPACE_MIB = 900
ADDRESS_SPACE_PER_CORE_MIB = 32


def needed_address_space_mib():
    return MIN_ADDRESS_SPACE_MIB + ADDRESS_SPACE_PER_CORE_MIB * (os.cpu_count() or 1)


def check_address_space():
    """Refuse to start, in one line, under an address-space limit the numeric libraries cannot load in.

    Below it the outcome would depend on where an allocation fails: an
    import error, an obscure error of a compiled library, or a library that
    retries its allocation for ever.  Runs before numpy is imported.
    """
    try:
        import resource
    except ImportError:  # no such limits on this platform
        return
    try:
        soft, _ = resource.getrlimit(resource.RLIMIT_AS)
    except (OSError, ValueError):
        return
    needed = needed_address_space_mib()
    if soft == resource.RLIM_INFINITY or soft >= needed << 20:
        return
    raise DataError("the address-space limit (ulimit -v) is " + str(soft >> 20) + " MiB; " + PROG
                    + " needs at least " + str(needed) + " MiB to load its numeric libraries: raise the limit")


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
