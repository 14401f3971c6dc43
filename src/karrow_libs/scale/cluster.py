"""Where the partitions run: an existing Dask scheduler, or a local cluster for one run.

The library never starts Dask by itself: the functions of
:mod:`karrow_libs.scale` use whatever scheduler is current (the default
``distributed.Client`` if there is one, else Dask's threads).  :func:`connect`
is for the command: it connects to a running scheduler, or starts a
``LocalCluster`` of process workers that lives as long as the ``with`` block.
"""

import contextlib
import logging

from karrow_libs.table import DataError

__all__ = ["connect", "computing", "Workers"]

#: Seconds to wait for a scheduler to answer before giving up.
CONNECT_TIMEOUT = 10


class Workers:
    """What a run computes on: ``client`` (or None for Dask's local threads), ``n_workers``, ``label``."""

    def __init__(self, client, label):
        self.client = client
        self.label = label

    @property
    def n_workers(self):
        if self.client is None:
            return 1
        try:
            return len(self.client.scheduler_info().get("workers", {}))
        except Exception:
            return 0


@contextlib.contextmanager
def connect(scheduler=None, workers=None, memory_limit="auto", timeout=None, quiet=True):
    """A :class:`Workers` for the ``with`` block.

    ``scheduler``: address of a running scheduler (``tcp://host:8786``);
    ``workers``: start a ``LocalCluster`` of that many single-threaded worker
    processes, closed on leaving the block.  With neither, Dask's local
    threads compute.  An unreachable scheduler (no answer within ``timeout``
    seconds, default ``CONNECT_TIMEOUT``) is a one-line :class:`DataError`.
    """
    if scheduler is not None and workers is not None:
        raise ValueError("give either a scheduler address or a number of workers, not both")
    if scheduler is None and workers is None:
        yield Workers(None, "threads of this process")
        return
    from distributed import Client, LocalCluster

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
                yield Workers(client, "scheduler " + address)
            finally:
                with contextlib.suppress(Exception):
                    client.close()
            return
        cluster = LocalCluster(n_workers=int(workers), threads_per_worker=1, processes=True,
                               memory_limit=memory_limit, dashboard_address=None)
        try:
            client = Client(cluster, set_as_default=True)
            try:
                yield Workers(client, "local cluster")
            finally:
                with contextlib.suppress(Exception):
                    client.close()
        finally:
            with contextlib.suppress(Exception):
                cluster.close()


@contextlib.contextmanager
def _quiet_logs(quiet):
    if not quiet:
        yield
        return
    loggers = [logging.getLogger(n) for n in ("distributed", "tornado", "asyncio")]
    levels = [lg.level for lg in loggers]
    for lg in loggers:
        lg.setLevel(logging.CRITICAL)
    try:
        yield
    finally:
        for lg, level in zip(loggers, levels):
            lg.setLevel(level)


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
