"""Small real tables that ship with the package, for trying the command and the library without a file.

Each table is a gzip-compressed CSV beside this module; ``load(name)`` reads
it as a data frame (missing cells stay missing, dates stay text, as a user's
CSV would arrive).  README.md in this folder names the sources and licences.
"""

import os

__all__ = ["TABLES", "DEFAULT", "load", "path"]

_HERE = os.path.dirname(os.path.abspath(__file__))

#: name -> (file, target column, one-line description)
TABLES = {
    "txhousing": ("txhousing.csv.gz", "sales",
                  "monthly home sales of 46 Texas cities 2000-2015: city names, dates, missing cells"),
    "cars": ("cars.csv.gz", "Miles_per_Gallon",
             "fuel use of 406 cars 1970-1982: model names, origin, model year as a date, missing cells"),
    "computers": ("computers.csv.gz", "price",
                  "prices of 6,259 personal computers 1993-1995: yes/no options, few-level categories"),
}

#: The table of ``karrow-fe`` without a CSV: text, dates and missing cells, where derived ratios help.
DEFAULT = "txhousing"


def path(name):
    """The path of the CSV file of table ``name``."""
    if name not in TABLES:
        raise KeyError("no embedded table " + repr(name) + "; available: " + ", ".join(sorted(TABLES)))
    return os.path.join(_HERE, TABLES[name][0])


def load(name):
    """(data frame, target column name) of table ``name``."""
    import pandas as pd

    frame = pd.read_csv(path(name), compression="gzip")
    return frame, TABLES[name][1]
