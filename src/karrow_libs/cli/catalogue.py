"""The transform catalogue as the command sees it, answered without loading the compiled module when possible.

The entries come from ``karrow_libs.vantor.transforms.catalogue``, which
reads the compiled module's own table.  Loading that module also loads
scikit-learn (seconds), so the command keeps the entries it read in a small
cache file, keyed by the compiled module's path, size and modification time:
``karrow-fe list`` and the check of ``--transforms`` then answer at once, and
a rebuilt module is read afresh.  The cache lives in
``$XDG_CACHE_HOME/karrow_libs`` (default ``~/.cache/karrow_libs``); when it
cannot be written the command simply reads the module every time.
"""

import hashlib
import json
import os

__all__ = ["entries", "names", "refresh"]

_MODULE = "karrow_libs.vantor.transforms.transform_utils"


def _cache_path():
    import importlib.util

    found = importlib.util.find_spec(_MODULE)
    if found is None or not found.origin:
        return None
    try:
        st = os.stat(found.origin)
    except OSError:
        return None
    key = hashlib.sha256("{}|{}|{}".format(found.origin, st.st_size, st.st_mtime_ns).encode()).hexdigest()[:16]
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "karrow_libs", "catalogue-" + key + ".json")


def _read(path):
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
    except (OSError, ValueError):
        return None
    return data if isinstance(data, list) and all(isinstance(e, dict) and "name" in e for e in data) else None


def refresh():
    """Read the entries from the compiled module and store them in the cache; return them."""
    from karrow_libs.vantor.transforms import catalogue

    data = catalogue.entries()
    path = _cache_path()
    if path is not None:
        try:
            os.makedirs(os.path.dirname(path), exist_ok=True)
            tmp = path + "." + str(os.getpid()) + ".tmp"
            with open(tmp, "w", encoding="utf-8") as f:
                json.dump(data, f)
            os.replace(tmp, path)
        except OSError:
            pass
    return data


def entries():
    """The catalogue entries (new dicts), from the cache when it matches the installed module."""
    path = _cache_path()
    cached = _read(path) if path is not None else None
    return cached if cached is not None else refresh()


def names():
    return [e["name"] for e in entries()]
