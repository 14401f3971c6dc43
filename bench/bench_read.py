"""Peak memory of reading a numeric CSV with the command's reader, against pandas.read_csv of the same file.

    python bench/bench_read.py [--mib 200] [--keep]

Each reader runs in a process of its own (peak RSS is per process); the
baseline is ``pandas.read_csv(path)`` in the same run.  Also shown: reading
the whole file to bytes, decoding it and parsing a StringIO (the way of
holding the bytes, a decoded copy and the frame at once), and the gzip file.
"""
import argparse
import gzip
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

READERS = {
    "pandas.read_csv": "import pandas as pd; frame = pd.read_csv(PATH)",
    "read_table": "from karrow_libs.cli.inputs import read_table; frame, _ = read_table(PATH)",
    "bytes+text+StringIO": ("import io, pandas as pd; data = open(PATH, 'rb').read(); text = data.decode('utf-8-sig'); "
                            "frame = pd.read_csv(io.StringIO(text))"),
    "read_table (gzip)": "from karrow_libs.cli.inputs import read_table; frame, _ = read_table(PATH + '.gz')",
}

MEASURE = """
import resource, sys, time
PATH = sys.argv[1]
import pandas, numpy
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.perf_counter()
{code}
seconds = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(frame.shape[0], frame.shape[1], base // 1024, peak // 1024, round(seconds, 2))
"""


def generate(path, mib, columns=50):
    rng = np.random.default_rng(0)
    rows_per_block = 20_000
    header = ",".join("c" + str(j) for j in range(columns)) + "\n"
    with open(path, "w") as f:
        f.write(header)
        while f.tell() < mib << 20:
            block = rng.normal(size=(rows_per_block, columns)).round(6)
            np.savetxt(f, block, delimiter=",", fmt="%.6f")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mib", type=int, default=200)
    parser.add_argument("--keep", action="store_true", help="keep the generated files")
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="bench_read_")
    path = os.path.join(folder, "numeric.csv")
    try:
        generate(path, args.mib)
        with open(path, "rb") as src, gzip.open(path + ".gz", "wb", compresslevel=1) as dst:
            shutil.copyfileobj(src, dst)
        print("file: {:.0f} MB, gzip {:.0f} MB".format(os.path.getsize(path) / 1e6, os.path.getsize(path + ".gz") / 1e6))
        results = {}
        for name, code in READERS.items():
            r = subprocess.run([sys.executable, "-c", MEASURE.format(code=code), path], capture_output=True,
                               text=True, timeout=600)
            if r.returncode != 0:
                print(name, "failed:", r.stderr.strip().splitlines()[-1:])
                continue
            rows, cols, base, peak, seconds = r.stdout.split()
            results[name] = (int(peak), int(peak) - int(base), float(seconds))
        ref_peak, ref_growth, ref_time = results["pandas.read_csv"]
        print("{:22s} {:>9s} {:>9s} {:>7s} {:>9s} {:>7s}".format("reader", "peak MiB", "x pandas", "grown", "x pandas",
                                                            "time x"))
        for name, (peak, growth, seconds) in results.items():
            print("{:22s} {:9d} {:9.2f} {:7d} {:9.2f} {:7.2f}".format(name, peak, peak / ref_peak, growth,
                                                                    growth / ref_growth, seconds / ref_time))
    finally:
        if args.keep:
            print("kept", folder)
        else:
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    t = time.perf_counter()
    main()
    print("({:.0f} s)".format(time.perf_counter() - t))
