"""Where the partitions run: an existing Dask scheduler, or a local cluster for one run.

The library never starts Dask by itself: the functions of
:mod:`karrow_libs.scale` use whatever scheduler is current (the default
``distributed.Client`` if there is one, else Dask's threads).  :func:`connect`
is for the command: it connects to a running scheduler, or starts a
``LocalCluster`` of process workers that lives as long as the ``with`` block.
"""

import contextlib
import logging
import os
import threading
import time

from karrow_libs.table import DataError

__all__ = ["connect", "computing", "Workers", "NoLiveWorker", "NO_WORKER_TIMEOUT"]

#: Seconds to wait for a scheduler to answer before giving up.
CONNECT_TIMEOUT = 10

#: Seconds a run may go on without any live worker before it stops.
NO_WORKER_TIMEOUT = 60

_WORKER_LOG_VARIABLE = "DASK_LOGGING__DISTRIBUTED"


class Workers:
    """What a run computes on: ``client`` (or None for Dask's local threads), ``n_workers``, ``label``."""

    def __init__(self, client, label):
        self.client = client
        self.label = label
        #: Workers that died while the run went on (a restarted one counts once).
        self.deaths = 0

    @property
    def n_workers(self):
        if self.client is None:
            return 1
        try:
            return len(self.client.scheduler_info().get("workers", {}))
        except Exception:
            return 0


@contextlib.contextmanager
def connect(scheduler=None, workers=None, memory_limit="auto", timeout=None, quiet=True, no_worker_timeout=None,
            warn=None):
    """A :class:`Workers` for the ``with`` block.

    ``scheduler``: address of a running scheduler (``tcp://host:8786``);
    ``workers``: start a ``LocalCluster`` of that many single-threaded worker
    processes, closed on leaving the block.  With neither, Dask's local
    threads compute.  An unreachable scheduler (no answer within ``timeout``
    seconds, default ``CONNECT_TIMEOUT``), a local cluster that cannot start,
    and a cluster left without any live worker for ``no_worker_timeout``
    seconds (default ``NO_WORKER_TIMEOUT``) are one-line :class:`DataError`.
    ``quiet``: the workers' own logs are dropped.  ``warn(text)`` is called
    once for each worker that died while the block ran.
    """
    if scheduler is not None and workers is not None:
        raise ValueError("give either a scheduler address or a number of workers, not both")
    if scheduler is None and workers is None:
        yield Workers(None, "threads of this process")
        return
    from distributed import Client, LocalCluster

    bound = NO_WORKER_TIMEOUT if no_worker_timeout is None else no_worker_timeout
    with _quiet_logs(quiet):
        if scheduler is not None:
            address = str(scheduler).strip()
            if not address:
                raise DataError("no Dask scheduler address given")
            try:
                client = Client(address, timeout=CONNECT_TIMEOUT if timeout is None else timeout,
                                set_as_default=True)
            except Exception as e:  # refused, timed out, a malformed address: all one line
                raise DataError("cannot reach the Dask scheduler at " + repr(address) + ": "
                                + _one_line(e)) from None
            try:
                with _watched(client, bound, warn) as found:
                    found.label = "scheduler " + address
                    yield found
            finally:
                with contextlib.suppress(Exception):
                    client.close()
            return
        cluster = None
        try:
            try:
                # No dashboard, and the scheduler's HTTP routes on a free local port:
                # nothing to collide with another cluster on this machine.
                cluster = LocalCluster(n_workers=int(workers), threads_per_worker=1, processes=True,
                                       memory_limit=memory_limit, dashboard_address=None,
                                       scheduler_kwargs={"dashboard": False, "dashboard_address": "127.0.0.1:0"},
                                       preload=[__name__])
                client = Client(cluster, set_as_default=True)
            except Exception as e:
                raise DataError("could not start a local Dask cluster of " + str(workers) + " worker"
                                + ("s" if int(workers) != 1 else "") + ": " + (_first_line(e) or type(e).__name__)
                                ) from None
            try:
                with _watched(client, bound, warn) as found:
                    found.label = "local cluster"
                    yield found
            finally:
                with contextlib.suppress(Exception):
                    client.close()
        finally:
            if cluster is not None:
                with contextlib.suppress(Exception):
                    cluster.close()


class NoLiveWorker(KeyboardInterrupt):
    """Raised in the waiting thread when the cluster had no live worker for too long.

    A KeyboardInterrupt, so that Dask cancels what it waits for as it does
    on Ctrl-C; :func:`connect` turns it into a one-line DataError.
    """


class _Watchdog(threading.Thread):
    """Watches the workers of ``client``: counts the ones that died, and stops the wait when none is left."""

    def __init__(self, client, bound, warn, target_thread):
        super().__init__(name="karrow-no-worker-watchdog", daemon=True)
        self.client = client
        self.bound = float(bound)
        self.warn = warn
        self.target = target_thread
        self.stop = threading.Event()
        self.expired = False
        self.deaths = 0

    def _addresses(self):
        try:
            return set(self.client.scheduler_info().get("workers", {}))
        except Exception:
            return set()

    def run(self):
        known = self._addresses()
        alone_since = None if known else time.monotonic()
        step = min(0.5, max(0.05, self.bound / 10))
        while not self.stop.wait(step):
            now = self._addresses()
            gone = known - now
            if gone and not self.stop.is_set():
                self.deaths += len(gone)
                if self.warn is not None:
                    for _ in gone:
                        with contextlib.suppress(Exception):
                            self.warn("a Dask worker died; its tasks are retried")
            known = now
            if now:
                alone_since = None
                continue
            if alone_since is None:
                alone_since = time.monotonic()
            elif time.monotonic() - alone_since >= self.bound and not self.stop.is_set():
                self.expired = True
                _interrupt(self.target)
                return


def _interrupt(thread):
    """Raise a KeyboardInterrupt in ``thread``: by a signal when it is the main thread with Python's own
    Ctrl-C handler (a signal also wakes a thread waiting on a lock), else as NoLiveWorker."""
    import ctypes
    import signal

    if thread is threading.main_thread() and signal.getsignal(signal.SIGINT) is signal.default_int_handler:
        try:
            signal.pthread_kill(thread.ident, signal.SIGINT)
            return
        except (OSError, ValueError):
            pass
    ctypes.pythonapi.PyThreadState_SetAsyncExc(ctypes.c_ulong(thread.ident), ctypes.py_object(NoLiveWorker))


@contextlib.contextmanager
def _watched(client, bound, warn):
    workers = Workers(client, "")
    dog = _Watchdog(client, bound, warn, threading.current_thread())
    dog.start()
    try:
        yield workers
    except KeyboardInterrupt:
        dog.stop.set()
        if dog.expired:
            raise DataError("no live Dask worker for " + _seconds(bound) + " (they kept dying or never started; "
                            "out of memory?); stopped, nothing was written") from None
        raise
    finally:
        dog.stop.set()
        workers.deaths = dog.deaths
        dog.join(5)


def _seconds(x):
    return ("%g" % x) + " s"


def dask_setup(worker):
    """Run by each worker process of a local cluster as it starts (this module is its preload).

    A Ctrl-C in the terminal reaches every process of the group: the command
    handles it and closes the cluster, so the workers ignore it rather than
    each printing its own traceback.
    """
    import signal

    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGINT, signal.SIG_IGN)


@contextlib.contextmanager
def _quiet_logs(quiet):
    if not quiet:
        yield
        return
    loggers = [logging.getLogger(n) for n in ("distributed", "tornado", "asyncio")]
    levels = [lg.level for lg in loggers]
    for lg in loggers:
        lg.setLevel(logging.CRITICAL)
    # Worker processes started in the block (also those replacing a dead one)
    # read their log levels from the environment when they start; so does the
    # helper process of multiprocessing, which would otherwise report the
    # queues of workers stopped by a Ctrl-C as leaked once this process is gone.
    quiet_env = {_WORKER_LOG_VARIABLE: "critical",
                 "PYTHONWARNINGS": ",".join(filter(None, [os.environ.get("PYTHONWARNINGS"),
                                                          "ignore:resource_tracker:UserWarning"]))}
    saved = {k: os.environ.get(k) for k in quiet_env}
    os.environ.update(quiet_env)
    try:
        yield
    finally:
        for lg, level in zip(loggers, levels):
            lg.setLevel(level)
        for k, v in saved.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v


@contextlib.contextmanager
def computing(what):
    """Turn what can go wrong on a cluster into a one-line :class:`DataError` about ``what``.

    A worker that dies is replaced and its tasks retried by the scheduler; only
    when a task has killed workers too often (``distributed.scheduler
    .allowed-failures``) does the run stop, with this error.
    """
    try:
        yield
    except DataError:
        raise
    except Exception as e:
        name = type(e).__name__
        if name == "KilledWorker":
            raise DataError("Dask workers kept dying while " + what + " (out of memory? see the workers' logs); "
                            "nothing was written") from None
        if name in ("CommClosedError", "StreamClosedError", "CancelledError", "FutureCancelledError"):
            raise DataError("lost the Dask cluster while " + what + ": " + (_one_line(e) or name)) from None
        if isinstance(e, (ValueError, TypeError)) and "dtype" in str(e).lower() and "mismatch" in str(e).lower():
            raise DataError("the partitions' column types differ while " + what + ": " + _first_line(e)) from None
        raise


def _one_line(e):
    return " ".join(str(e).split())


def _first_line(e):
    lines = [ln.strip() for ln in str(e).splitlines() if ln.strip()]
    return lines[0] if lines else type(e).__name__
