"""Benchmark of the Dask engine on a CSV folder larger than a worker's memory (``make bench-scale``).

    python bench/bench_scale.py [--gib 1.25] [--worker-memory 1GiB] [--dir bench/out/scale]

1. Generates (once; kept for the next run) a folder of CSV files with planted
   interactions, several times larger than the memory limit of one worker.
2. The out-of-core run: ``scale.fit`` (sample, screening, exact rescoring on
   every row) and the engineered table written as Parquet, on 2 workers.
3. ``apply`` (predictions written as Parquet) on 1 worker, then on 2
   workers: rows per second and the scaling ratio.
4. The in-memory command (``karrow-fe run`` and ``apply``) on one file that
   fits, for comparison.

Peak memory per worker is the largest resident set size seen while polling
the worker processes every 0.2 s; a worker that outgrows its limit is
restarted by its nanny, which the script reports as a failure.  Timings are
wall-clock on a shared machine: read the ratios, not the absolute numbers.
"""

import argparse
import os
import resource
import shutil
import subprocess
import sys
import threading
import time

import numpy as np
import pandas as pd

HERE = os.path.dirname(os.path.abspath(__file__))
ROWS_PER_FILE = 1_000_000
GiB = 1024 ** 3


def generate(folder, gib, seed=0, distinct=3):
    """CSV files of ROWS_PER_FILE rows until ``gib`` GiB; reused when already there.

    ``distinct`` files are generated and then copied in turn (writing CSV with
    pandas is slower than everything measured here); every copy is a real file
    that the workers read and parse.
    """
    os.makedirs(folder, exist_ok=True)
    stamp = os.path.join(folder, ".complete-" + str(gib))
    files = sorted(os.path.join(folder, f) for f in os.listdir(folder) if f.endswith(".csv"))
    if os.path.exists(stamp):
        return files
    for f in files:
        os.unlink(f)
    rng = np.random.default_rng(seed)
    total, i, files = 0, 0, []
    start = time.perf_counter()
    while total < gib * GiB:
        path = os.path.join(folder, "part{:04d}.csv".format(i))
        if i >= distinct:
            shutil.copyfile(files[i % distinct], path)
            files.append(path)
            total += os.path.getsize(path)
            i += 1
            continue
        n = ROWS_PER_FILE
        df = pd.DataFrame({"x" + str(j): rng.normal(size=n).round(5) for j in range(8)})
        df["c"] = rng.uniform(1, 2, n).round(5)
        df["k"] = rng.integers(0, 10, n)
        df["city"] = rng.choice(["oslo", "lima", "pune", "kyiv", "accra"], n)
        df["y"] = (2 * df.x0 * df.x1 + 3 * df.x2 / df.c + df.x3 + 0.1 * rng.normal(size=n)).round(5)
        df.to_csv(path, index=False)
        files.append(path)
        total += os.path.getsize(path)
        i += 1
        print("  generated {} ({:.2f} GiB, {:.0f} s)".format(os.path.basename(path), total / GiB,
                                                          time.perf_counter() - start), flush=True)
    open(stamp, "w").close()
    return files


class PeakMemory:
    """Polls the RSS of every worker process of ``client`` in a thread; ``peaks`` maps worker -> bytes."""

    def __init__(self, client, every=0.2):
        import psutil

        self.procs = {addr: psutil.Process(pid) for addr, pid in client.run(os.getpid).items()}
        self.peaks = {addr: 0 for addr in self.procs}
        self.every = every
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._poll, daemon=True)

    def _poll(self):
        while not self._stop.is_set():
            for addr, p in self.procs.items():
                try:
                    self.peaks[addr] = max(self.peaks[addr], p.memory_info().rss)
                except Exception:
                    pass
            self._stop.wait(self.every)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()
        return False


def cluster(n_workers, memory_limit):
    from distributed import Client, LocalCluster

    lc = LocalCluster(n_workers=n_workers, threads_per_worker=1, processes=True, memory_limit=memory_limit,
                      dashboard_address=None, silence_logs=50)
    return lc, Client(lc)


def restarts(client, pids_before):
    return sum(1 for pid in client.run(os.getpid).values() if pid not in pids_before)


def mib(x):
    return "{:,.0f} MiB".format(x / 2 ** 20)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--gib", type=float, default=1.25, help="size of the generated CSV folder (default 1.25)")
    p.add_argument("--worker-memory", default="1GiB", help="memory limit of each worker (default 1GiB)")
    p.add_argument("--dir", default=os.path.join(HERE, "out", "scale"), help="where data and outputs go")
    args = p.parse_args()

    import dask
    from distributed import get_task_stream
    from distributed.utils import key_split

    from karrow_libs import scale

    dask.config.set({"distributed.scheduler.allowed-failures": 0})
    data_dir = os.path.join(args.dir, "csv")
    print("data: generating/reusing {:.1f} GiB of CSV in {}".format(args.gib, data_dir), flush=True)
    files = generate(data_dir, args.gib)
    size = sum(os.path.getsize(f) for f in files)
    limit = dask.utils.parse_bytes(args.worker_memory)
    print("data: {} files, {:.2f} GiB of CSV ({:.1f}x one worker's {}), {:,} rows".format(
        len(files), size / GiB, size / limit, args.worker_memory, len(files) * ROWS_PER_FILE), flush=True)
    results = {}

    # -- the out-of-core run on 2 workers
    lc, client = cluster(2, limit)
    try:
        ddf = scale.read(os.path.join(data_dir, "*.csv"), target="y")
        pids = set(client.run(os.getpid).values())
        with PeakMemory(client) as mem:
            with get_task_stream(client) as ts:
                start = time.perf_counter()
                pipeline, info = scale.fit(ddf, "y", return_info=True)
                fit_s = time.perf_counter() - start
            kinds = [key_split(t["key"]) for t in ts.data]
            start = time.perf_counter()
            files_out, rows_out = scale.write_parquet(scale.transform(ddf, pipeline), os.path.join(args.dir, "eng"))
            out_s = time.perf_counter() - start
        print("\nrun (2 workers, {} each): {:,} rows in {} partitions".format(args.worker_memory, info.rows,
                                                                            info.partitions))
        print("  fit: {:.1f} s (sample pass {:.1f} s, {} rescoring pass(es) {:.1f} s); kept: {}".format(
            fit_s, info.sample_seconds, info.rescore_passes, info.rescore_seconds,
            ", ".join(k["name"] for k in pipeline.named_steps["search"].kept_)))
        print("  fit read {} CSV blocks for {} partitions x {} passes (sample + rescoring); rescoring: {} "
              "per-partition tasks, {:,} rows counted".format(
                  sum(k.startswith("read") for k in kinds), info.partitions, 1 + info.rescore_passes,
                  kinds.count("partition_stats"), info.rescored_rows))
        print("  engineered table: {:,} rows, {} Parquet files in {:.1f} s".format(rows_out, files_out, out_s))
        rate = info.rows * (2 + info.rescore_passes) / (info.sample_seconds + info.rescore_seconds + out_s)
        print("  {:,.0f} rows/s over the passes on all rows".format(rate))
        print("  peak memory per worker: " + ", ".join(mib(v) for v in mem.peaks.values())
              + " (limit " + args.worker_memory + "); workers restarted: " + str(restarts(client, pids)))
        import joblib

        model_path = os.path.join(args.dir, "pipeline.joblib")
        joblib.dump(pipeline, model_path)
    finally:
        client.close()
        lc.close()

    # -- apply on 1 and on 2 workers
    for n in (1, 2):
        lc, client = cluster(n, limit)
        try:
            ddf = scale.read(os.path.join(data_dir, "*.csv"))
            pids = set(client.run(os.getpid).values())
            with PeakMemory(client) as mem:
                start = time.perf_counter()
                _, rows = scale.write_parquet(scale.predict(ddf, pipeline), os.path.join(args.dir, "pred"))
                seconds = time.perf_counter() - start
            results[n] = rows / seconds
            print("\napply ({} worker{}): {:,} rows in {:.1f} s = {:,.0f} rows/s; peak memory per worker: {}; "
                  "workers restarted: {}".format(n, "s" if n > 1 else "", rows, seconds, results[n],
                                                 ", ".join(mib(v) for v in mem.peaks.values()),
                                                 restarts(client, pids)), flush=True)
        finally:
            client.close()
            lc.close()
    print("\napply scaling, 2 workers / 1 worker: {:.2f}x (goal >= 1.6x)".format(results[2] / results[1]))

    # -- the in-memory command on one file that fits
    exe = os.path.join(os.path.dirname(sys.executable), "karrow-fe")
    one = files[0]
    mem_dir = os.path.join(args.dir, "memory")
    os.makedirs(mem_dir, exist_ok=True)
    start = time.perf_counter()
    subprocess.run([exe, "run", one, "--target", "y", "--cv", "0", "-q", "--model",
                    os.path.join(mem_dir, "m.joblib")], check=True, stdout=subprocess.DEVNULL)
    run_s = time.perf_counter() - start
    start = time.perf_counter()
    subprocess.run([exe, "apply", os.path.join(mem_dir, "m.joblib"), one, "-q", "--out",
                    os.path.join(mem_dir, "pred.csv")], check=True)
    apply_s = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024
    print("\nin memory, one file of {:,} rows ({:.0f} MiB of CSV): run {:.1f} s, apply {:.1f} s = {:,.0f} rows/s; "
          "peak memory {}".format(ROWS_PER_FILE, os.path.getsize(one) / 2 ** 20, run_s, apply_s,
                                  ROWS_PER_FILE / apply_s, mib(peak)))
    print("dask apply on 1 worker / in-memory apply: {:.2f}x rows/s".format(results[1] / (ROWS_PER_FILE / apply_s)))
    for sub in ("eng", "pred"):
        shutil.rmtree(os.path.join(args.dir, sub), ignore_errors=True)


if __name__ == "__main__":
    main()
