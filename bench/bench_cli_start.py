"""Start-up time of karrow-fe: a git ref's command line (default: main) against the installed one, in one run.

    .venv/bin/python bench/bench_cli_start.py [--before REF] [--repeat N]

The "before" command line is the installed package with its ``cli`` folder
replaced by the one at REF, so both use the same compiled module and
libraries.  Each command runs N times, alternating before/after; the table
gives median wall times and the ratios before/after and against a bare
``python -c pass`` in the same run.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import karrow_libs

COMMANDS = [
    ("--help", ["--help"]),
    ("--version", ["--version"]),
    ("list", ["list"]),
    ("usage error", ["--keep", "-1"]),
    ("unknown transform", ["--transforms", "nope"]),
    ("empty file", ["{empty}", "--target", "y"]),
]


def timed(argv, env):
    start = time.perf_counter()
    subprocess.run(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--before", default="main")
    p.add_argument("--repeat", type=int, default=5)
    args = p.parse_args()
    repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    installed = os.path.dirname(karrow_libs.__file__)
    with tempfile.TemporaryDirectory() as tmp:
        old = os.path.join(tmp, "before", "karrow_libs")
        shutil.copytree(installed, old)
        shutil.rmtree(os.path.join(old, "cli"))
        archive = subprocess.run(["git", "-C", repo, "archive", args.before, "src/karrow_libs/cli"],
                                 capture_output=True, check=True).stdout
        subprocess.run(["tar", "-x", "-C", tmp], input=archive, check=True)
        shutil.copytree(os.path.join(tmp, "src", "karrow_libs", "cli"), os.path.join(old, "cli"))
        empty = os.path.join(tmp, "empty.csv")
        open(empty, "w").close()
        cache = os.path.join(tmp, "cache")
        env_after = dict(os.environ, XDG_CACHE_HOME=cache)
        env_before = dict(env_after, PYTHONPATH=os.path.join(tmp, "before"))
        cmd = [sys.executable, "-m", "karrow_libs"]
        subprocess.run(cmd + ["list"], env=env_after, stdout=subprocess.DEVNULL)  # fills the catalogue cache
        bare = statistics.median(timed([sys.executable, "-c", "pass"], env_after) for _ in range(args.repeat))
        print("interpreter start (python -c pass): {:.3f} s, median of {}".format(bare, args.repeat))
        print("{:<18} {:>9} {:>9} {:>14} {:>13} {:>13}".format(
            "command", "before s", "after s", "before/after", "before/bare", "after/bare"))
        for label, argv in COMMANDS:
            argv = [a.format(empty=empty) for a in argv]
            before, after = [], []
            for _ in range(args.repeat):
                before.append(timed(cmd + argv, env_before))
                after.append(timed(cmd + argv, env_after))
            b, a = statistics.median(before), statistics.median(after)
            print("{:<18} {:>9.3f} {:>9.3f} {:>14.1f} {:>13.1f} {:>13.1f}".format(label, b, a, b / a, b / bare, a / bare))


if __name__ == "__main__":
    main()
