"""A whole ``karrow-fe`` run against ``pandas.read_csv`` of the same file, in the same run.

    .venv/bin/python bench/bench_run.py [--tables NAMES] [--scale F] [--timeout S] [karrow-fe options ...]

Each generated table (bench/out/run_tables/, written once and reused) is read
by a child process running ``pandas.read_csv`` (the baseline), then by a child
running the command with its defaults plus any options given here that this
script does not know (e.g. ``--model linear``, ``--cv 3``); both are measured
alike: wall time, and peak resident memory from ``os.wait4``'s resource usage
of that child alone.  The table gives both ratios (command / read) and the
breakdown the command prints on standard error in its timing line (read,
prepare, search, cross-validation, write: whichever parts it names), plus the
rest of the wall time as "other" (start-up, imports, report).

Tables: num200k (200 000 x 100), num1m (1 000 000 x 50) numeric; mixed300k
(300 000 x 15: text, dates, missing cells); wide5k (5 000 x 200).  ``--scale``
shrinks the row counts (0.1 = a tenth) for a quick look, ``--tables num200k:0.1,wide5k``
one table's.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "out", "run_tables")

#: name -> (rows, feature columns, kind)
TABLES = {
    "num200k": (200_000, 100, "numeric"),
    "num1m": (1_000_000, 50, "numeric"),
    "mixed300k": (300_000, 15, "mixed"),
    "wide5k": (5_000, 200, "numeric"),
}

READ = ("import sys, time, pandas as pd; t = time.perf_counter(); pd.read_csv(sys.argv[1]); "
        "print(time.perf_counter() - t)")


def numeric_table(rows, cols, rng):
    import pandas as pd

    X = rng.normal(size=(rows, cols)).astype(np.float64)
    X[:, : cols // 4] = np.abs(X[:, : cols // 4]) * 10 + 1  # some positive columns, where log and sqrt apply
    y = X[:, 0] * X[:, 1] + np.log(X[:, 2]) + 0.5 * X[:, cols // 2] + rng.normal(scale=0.5, size=rows)
    frame = pd.DataFrame(X.round(5), columns=["x" + str(j) for j in range(cols)])
    frame["y"] = y.round(5)
    return frame


def mixed_table(rows, rng):
    """15 feature columns: 8 numbers (2 with missing cells), 3 text categories, 2 dates, 1 yes/no, 1 free text."""
    import pandas as pd

    frame = pd.DataFrame({"n" + str(j): rng.gamma(2.0, 3.0, rows).round(3) for j in range(8)})
    for j in (1, 5):
        frame.loc[rng.random(rows) < 0.08, "n" + str(j)] = np.nan
    cities = np.array(["city_" + str(k) for k in range(60)])
    frame["city"] = cities[rng.zipf(1.6, rows) % 60]
    frame["carrier"] = np.array(list("ABCDEFGH"))[rng.integers(0, 8, rows)]
    frame["segment"] = np.where(rng.random(rows) < 0.05, None, np.array(["low", "mid", "high"])[rng.integers(0, 3, rows)])
    day = np.datetime64("2015-01-01") + rng.integers(0, 3000, rows).astype("timedelta64[D]")
    frame["booked"] = day.astype(str)
    frame["departed"] = (day + rng.integers(0, 60, rows).astype("timedelta64[D]")).astype(str)
    frame["member"] = np.where(rng.random(rows) < 0.3, "yes", "no")
    frame["note"] = ["ref-" + str(k) for k in rng.permutation(rows)]
    city_effect = pd.Series(rng.normal(0, 5, 60), index=cities)
    y = (frame["n0"] / (frame["n2"] + 1) * 4 + city_effect.reindex(frame["city"]).to_numpy()
         + (frame["carrier"] == "C") * 3 + frame["n5"].fillna(6) * 0.5 + rng.normal(0, 1, rows))
    frame["y"] = y.round(4)
    return frame


def table_path(name, scale):
    rows, cols, kind = TABLES[name]
    rows = max(int(rows * scale), 100)
    path = os.path.join(DATA, "{}_{}x{}.csv".format(name, rows, cols))
    if not os.path.exists(path):
        os.makedirs(DATA, exist_ok=True)
        rng = np.random.default_rng(0)
        frame = numeric_table(rows, cols, rng) if kind == "numeric" else mixed_table(rows, rng)
        tmp = path + ".tmp"
        frame.to_csv(tmp, index=False)
        os.replace(tmp, path)
    return path, rows, cols


def measured(argv, timeout):
    """(wall seconds, peak RSS in MiB, exit code, standard error, standard output) of one child process."""
    with tempfile.TemporaryFile(mode="w+") as err, tempfile.TemporaryFile(mode="w+") as out:
        start = time.perf_counter()
        # The command runs without numpy's huge-page requests (it sets this for itself); the read is
        # given the same setting, so the ratio compares the work done and not the memory setting.
        env = dict(os.environ, NUMPY_MADVISE_HUGEPAGE=os.environ.get("NUMPY_MADVISE_HUGEPAGE", "0"))
        proc = subprocess.Popen(argv, stdout=out, stderr=err, env=env)
        deadline = start + timeout
        while True:
            pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
            if pid:
                break
            if time.perf_counter() > deadline:
                proc.kill()
                pid, status, usage = os.wait4(proc.pid, 0)
                status = -1
                break
            time.sleep(0.02)
        wall = time.perf_counter() - start
        proc.returncode = 0  # reaped here; keep Popen from waiting again
        err.seek(0)
        out.seek(0)
        code = os.waitstatus_to_exitcode(status) if status != -1 else "timeout"
        return wall, usage.ru_maxrss / 1024.0, code, err.read(), out.read()


_SECONDS = re.compile(r"(?:(\d+) min )?(\d+(?:\.\d+)?) s\b")


def timing_parts(stderr):
    """label -> seconds of the command's timing line ("karrow-fe: search fitted in 1.2 s; cross-validation ...")."""
    lines = [l for l in stderr.splitlines() if l.startswith("karrow-fe:") and _SECONDS.search(l)]
    if not lines:
        return {}
    text = lines[-1][len("karrow-fe:"):]
    parts = {}
    for chunk in re.split(r"[;,]", text):
        found = _SECONDS.search(chunk)
        if not found:
            continue
        label = chunk[: found.start()].strip()
        label = re.sub(r"\b(fitted in|in|took)\b", "", label).strip()
        label = label.replace("cross-validation", "cv").strip() or "?"
        # "cross-validation original 1 s, engineered 2 s": both pipelines count as cross-validation.
        if label.startswith("cv") or label in ("original", "engineered"):
            label = "cv"
        seconds = float(found.group(2)) + 60 * int(found.group(1) or 0)
        parts[label] = parts.get(label, 0.0) + seconds
    return parts


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--tables", default="wide5k,num200k,num1m,mixed300k",
                   help="comma-separated: " + ", ".join(TABLES) + "; NAME:F scales one table's rows by F")
    p.add_argument("--scale", type=float, default=1.0, help="fraction of the rows (default 1)")
    p.add_argument("--timeout", type=float, default=1800, help="seconds before a command run is stopped")
    args, extra = p.parse_known_args()
    command = [sys.executable, "-m", "karrow_libs"]
    print("karrow-fe options: (defaults)" + (" " + " ".join(extra) if extra else ""))
    # "read s" is the whole baseline process (start-up and imports too, as the command's "run s" is);
    # "csv s" the read_csv call alone.
    header = "{:<10} {:>10} {:>5}  {:>7} {:>6} {:>8}  {:>8} {:>8}  {:>6} {:>6}  {}".format(
        "table", "rows", "cols", "read s", "csv s", "read MiB", "run s", "run MiB", "time x", "RSS x",
        "breakdown (s)")
    print(header)
    print("-" * len(header))
    for item in [t.strip() for t in args.tables.split(",") if t.strip()]:
        name, _, scale = item.partition(":")
        if name not in TABLES:
            p.error("unknown table " + repr(name))
        path, rows, cols = table_path(name, float(scale) if scale else args.scale)
        read_s, read_mib, read_code, read_err, read_out = measured([sys.executable, "-c", READ, path], args.timeout)
        if read_code != 0:
            print(name, "read failed:", read_err.strip().splitlines()[-1:])
            continue
        run_s, run_mib, code, err, _ = measured(command + [path, "--target", "y"] + extra, args.timeout)
        parts = timing_parts(err)
        if parts:
            parts["other"] = max(run_s - sum(parts.values()), 0.0)
        breakdown = " ".join("{} {:.1f}".format(k, v) for k, v in parts.items())
        if code != 0:
            breakdown = "exit " + str(code) + ": " + (err.strip().splitlines() or [""])[-1][:80]
        csv_s = float(read_out.strip() or "nan")
        print("{:<10} {:>10,} {:>5}  {:>7.1f} {:>6.2f} {:>8.0f}  {:>8.1f} {:>8.0f}  {:>6.1f} {:>6.2f}  {}".format(
            name, rows, cols, read_s, csv_s, read_mib, run_s, run_mib, run_s / read_s, run_mib / read_mib,
            breakdown))
        sys.stdout.flush()


if __name__ == "__main__":
    main()
