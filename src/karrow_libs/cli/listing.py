"""``karrow-fe list``: the transform catalogue and the feature constraints, one line each.

The entries (names, classes, datatypes, constraints, what each wraps) come
from the module's own catalogue table; this file only adds a short
description for a reader, and the families the linear search builds itself
(``karrow_libs.search.defaults.SEARCH_FAMILIES``).  ``--json`` prints the
entries in full, with the descriptions.
"""

import json

from karrow_libs.search.defaults import SEARCH_FAMILIES

from .options import DEFAULT_TRANSFORMS
from .report import format_table

__all__ = ["cmd_list", "catalogue_entries", "TRANSFORM_TEXT", "CONSTRAINT_TEXT"]

#: What each catalogue transform computes; "a", "b" are its column arguments.
TRANSFORM_TEXT = {
    "sqrt": "square root",
    "log": "natural logarithm",
    "exp": "exponential e^x",
    "round": "rounded to the nearest whole number",
    "square": "x squared",
    "cube": "x cubed",
    "cbrt": "cube root",
    "tanh": "hyperbolic tangent",
    "sin": "sine (x in radians)",
    "cos": "cosine (x in radians)",
    "tan": "tangent (x in radians)",
    "abs": "absolute value",
    "sigmoid": "logistic function 1 / (1 + e^-x)",
    "freq": "how often the row's value occurs in the column",
    "product": "a * b",
    "sum": "a + b",
    "diff": "a - b",
    "min": "the smaller of a and b",
    "max": "the larger of a and b",
    "divide": "a / b",
    "onehot": "one 0/1 column per category code",
    "stdscaler": "standardised: (x - mean) / sd",
    "minmaxscaler": "rescaled to the range [0, 1]",
    "dtextr": "calendar date YYYYMMDD of Unix seconds",
    "pair": "one code per combination of two keys",
    "pca": "principal components of the whole table",
    "ica": "independent components of the whole table",
    "nystroem": "10 RBF-kernel features of the whole table",
    "featureagglomeration": "means of clusters of similar columns",
    "groupbymean": "mean of b in the row's group of key a",
    "groupbystd": "sd of b in the row's group of key a",
    "groupbymin": "minimum of b in the row's group of key a",
    "groupbymax": "maximum of b in the row's group of key a",
    "groupbymedian": "median of b in the row's group of key a",
    "nxor": "1 when a, b are on the same side of their medians",
    "binning": "number of the equal-width bin (10 bins)",
    "clusterdbscan": "DBSCAN cluster label of the row",
    "isoforestanomaly": "isolation-forest anomaly score of the row",
    "speed": "distance a / time between epochs b and c",
    "distance": "great-circle km between (lat, lon) pairs",
    "m_distance": "north-south + east-west km between points",
}

#: What each feature constraint requires of a column, and its short tag in the listing.
CONSTRAINT_TEXT = {
    "is_positive": (">0", "every value > 0"),
    "is_non_negative": (">=0", "every value >= 0"),
    "is_not_categorical": ("", "numeric and not a category code"),
    "is_categorical": ("category", "whole numbers with few levels (<= 20, <= rows/2)"),
    "is_lt80pc_unique_int": ("key", "whole numbers repeating: distinct values < 80% of rows"),
    "is_latitude": ("lat", "within [-90, 90], not all whole numbers"),
    "is_longitude": ("lon", "within [-180, 180], not all whole numbers"),
    "is_epoch": ("epoch", "whole Unix seconds between 1973 and 2100"),
    "is_distance": ("dist", "finite and >= 0"),
}


def catalogue_entries():
    """The catalogue's entries (see ``karrow_libs.vantor.transforms.catalogue``) with descriptions."""
    from . import catalogue

    out = []
    for e in catalogue.entries():
        e = dict(e)
        e["description"] = TRANSFORM_TEXT.get(e["name"], "applies " + str(e["wraps"]))
        out.append(e)
    return out


#: Tags that say the column's type as well (a latitude is a float, a key an integer).
_TYPED_TAGS = ("category", "key", "lat", "lon", "epoch", "dist")


def _argument(datatypes, constraints):
    tags = [t for t in (CONSTRAINT_TEXT.get(c, (c, ""))[0] for c in constraints) if t]
    if any(t in _TYPED_TAGS for t in tags):
        return " ".join(tags)
    return " ".join(["/".join(datatypes)] + tags)


def takes(entry):
    """Short text for the columns a transform takes, e.g. ``2 x numeric`` or ``int key, numeric``."""
    if entry["arguments"] == "all":
        return "whole table"
    args = [_argument(d, c) for d, c in zip(entry["datatypes"], entry["constraints"])]
    if len(args) > 1 and len(set(args)) == 1:
        return str(len(args)) + " x " + args[0]
    return ", ".join(args)


def cmd_list(args):
    entries = catalogue_entries()
    used = sorted({c for e in entries for cs in e["constraints"] for c in cs})
    families = [dict(zip(("name", "class", "takes", "description", "option"), f)) for f in SEARCH_FAMILIES]
    if args.json:
        constraints = {c: CONSTRAINT_TEXT.get(c, ("", ""))[1] for c in used}
        print(json.dumps({"transforms": entries, "constraints": constraints, "search_families": families},
                         indent=2))
        return 0
    rows = [[e["name"], e["class"], takes(e), e["description"]] for e in entries]
    print("Transforms (default: " + ",".join(DEFAULT_TRANSFORMS) + ")")
    print(format_table(["name", "class", "takes", "description"], rows))
    print("\nAlso scored by the linear search, whatever --transforms says (built from the module's classes)")
    print(format_table(["name", "class", "takes", "description"],
                       [[f["name"], f["class"], f["takes"], f["description"]] for f in families]))
    print("\nFeature constraints (tags in 'takes'; a transform uses only the columns that pass)")
    rows = [[c, CONSTRAINT_TEXT.get(c, ("", ""))[0] or "-", CONSTRAINT_TEXT.get(c, ("", "?"))[1]] for c in used]
    print(format_table(["constraint", "tag", "a column passes when"], rows))
    print("\n" + str(len(entries)) + " transforms; '--json' prints every entry with its datatypes, "
          "constraints and what it wraps")
    return 0
