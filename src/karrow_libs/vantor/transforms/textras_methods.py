"""Element-wise helper functions wrapped by the transform catalogue.

Each function takes one array per argument column (numpy arrays, or anything
``numpy.asarray`` accepts, such as a pandas ``Series``) with one entry per
row, and returns a numpy array with one entry per row.  Missing or infinite
results are left as NaN or inf: the transforms replace them by 0.

* ``cube``, ``sigmoid``, ``date_extract``: one column;
* ``hash_pair``: two columns;
* ``speed``: three columns (distance, start time, end time);
* ``distance``, ``m_distance``: four columns (lat1, lon1, lat2, lon2).
"""

import numpy as np

__all__ = ["cube", "sigmoid", "date_extract", "hash_pair", "speed", "distance", "m_distance"]

#: Mean radius of the Earth in kilometres (IUGG value, (2a + b) / 3).
EARTH_RADIUS_KM = 6371.0088


def cube(x):
    """``x ** 3`` per row, computed by ``numpy.power(x, 3)``.

    The dtype follows numpy's rules, as for ``numpy.square``: integer columns
    stay integer (and wrap around on overflow), float columns keep their
    precision, booleans become integers.
    """
    return np.power(np.asarray(x), 3)


def sigmoid(x):
    """Logistic function ``1 / (1 + exp(-x))`` per row, as float64.

    Computed as ``1 / (1 + e)`` for ``x >= 0`` and ``e / (1 + e)`` for
    ``x < 0`` with ``e = exp(-|x|)``, so the exponential never overflows:
    ``sigmoid(1000)`` is 1.0 and ``sigmoid(-1000)`` is 0.0, without warnings.
    NaN stays NaN.
    """
    x = np.asarray(x, dtype=np.float64)
    e = np.exp(-np.abs(x))
    return np.where(x >= 0, 1.0 / (1.0 + e), e / (1.0 + e))


_DATE_LIMIT_SECONDS = 10**15


def date_extract(x):
    """Calendar date of Unix times, as ``YYYYMMDD`` integers (int64).

    ``x`` holds seconds since 1970-01-01T00:00:00 UTC.  Fractional seconds are
    floored, and the date is the UTC date: 0 gives 19700101, 86399 gives
    19700101, 86400 gives 19700102, and -1 gives 19691231.  Rows whose value
    is not finite, or lies beyond 10**15 seconds (some 31 million years) from
    1970, get 0, the value the transforms use for missing results.
    """
    x = np.asarray(x)
    if x.dtype.kind == "f":
        usable = np.isfinite(x) & (np.abs(x) <= _DATE_LIMIT_SECONDS)
        seconds = np.floor(np.where(usable, x, 0.0)).astype(np.int64)
    else:
        seconds = x.astype(np.int64)
        usable = (seconds >= -_DATE_LIMIT_SECONDS) & (seconds <= _DATE_LIMIT_SECONDS)
        seconds = np.where(usable, seconds, 0)
    days = seconds.astype("datetime64[s]").astype("datetime64[D]")
    months = days.astype("datetime64[M]")
    years = days.astype("datetime64[Y]")
    year = years.astype(np.int64) + 1970
    month = (months - years.astype("datetime64[M]")).astype(np.int64) + 1
    day = (days - months.astype("datetime64[D]")).astype(np.int64) + 1
    return np.where(usable, year * 10000 + month * 100 + day, 0)


_MASK63 = np.uint64(0x7FFFFFFFFFFFFFFF)
_GOLDEN = np.uint64(0x9E3779B97F4A7C15)


def _mix64(h):
    """splitmix64 finaliser: spreads every input bit over the whole word."""
    h = (h ^ (h >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
    h = (h ^ (h >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
    return h ^ (h >> np.uint64(31))


def _bits64(values):
    """A uint64 word per row that identifies the row's value.

    Integers and booleans are taken by value, datetimes and timedeltas by
    their stored count; floats by their float64 bit
    pattern, with -0.0 folded onto 0.0 and every NaN onto one NaN; any other
    dtype goes through pandas' keyed hash, which is fixed and does not depend
    on ``PYTHONHASHSEED``.
    """
    arr = np.asarray(values).ravel()
    kind = arr.dtype.kind
    if kind in "biu":
        return arr.astype(np.int64).view(np.uint64)
    if kind in "mM":
        return arr.view(np.int64).view(np.uint64)
    if kind == "f":
        f = arr.astype(np.float64) + 0.0  # -0.0 + 0.0 is 0.0
        f[np.isnan(f)] = np.nan
        return f.view(np.uint64)
    from pandas.util import hash_array

    return hash_array(arr.astype(object), categorize=False)


def hash_pair(a, b):
    """Deterministic int64 code of the pair ``(a[i], b[i])`` for every row.

    Both values are turned into 64-bit words (see ``_bits64``: integers by
    value, floats by bit pattern, other values by pandas' fixed-key hash),
    mixed with the splitmix64 finaliser and combined in order, so ``(x, y)``
    and ``(y, x)`` get different codes.  The top bit is cleared, so codes are
    non-negative.  The codes do not depend on ``PYTHONHASHSEED``, the process
    or the platform; equal pairs always get equal codes, and different pairs
    collide only by (rare) chance.
    """
    ha = _mix64(_bits64(a))
    hb = _mix64(_bits64(b) + _GOLDEN)
    h = _mix64(ha ^ (hb + _GOLDEN + (ha << np.uint64(6)) + (ha >> np.uint64(2))))
    return (h & _MASK63).astype(np.int64)


def speed(d, t1, t2):
    """Distance per unit of time: ``d / |t2 - t1|`` per row, as float64.

    With ``d`` in km and the times in seconds the result is km per second.
    A zero time difference gives ``inf`` (or NaN when ``d`` is also 0),
    silently; the transforms replace those by 0.
    """
    d = np.asarray(d, dtype=np.float64)
    dt = np.abs(np.asarray(t2, dtype=np.float64) - np.asarray(t1, dtype=np.float64))
    with np.errstate(divide="ignore", invalid="ignore"):
        return d / dt


def _radians(*columns):
    return [np.radians(np.asarray(c, dtype=np.float64)) for c in columns]


def distance(lat1, lon1, lat2, lon2):
    """Great-circle distance in km between two points per row (haversine).

    Coordinates are in degrees.  With ``phi`` the latitudes and ``lam`` the
    longitudes in radians::

        a = sin^2((phi2 - phi1) / 2) + cos(phi1) cos(phi2) sin^2((lam2 - lam1) / 2)
        distance = 2 R asin(sqrt(a))

    on a sphere of radius ``R = 6371.0088`` km (the Earth's mean radius).
    Rounding can push ``a`` a hair past 1 for antipodal points; it is
    clipped to [0, 1].
    """
    phi1, lam1, phi2, lam2 = _radians(lat1, lon1, lat2, lon2)
    a = np.sin((phi2 - phi1) / 2.0) ** 2 + np.cos(phi1) * np.cos(phi2) * np.sin((lam2 - lam1) / 2.0) ** 2
    return 2.0 * EARTH_RADIUS_KM * np.arcsin(np.sqrt(np.clip(a, 0.0, 1.0)))


def m_distance(lat1, lon1, lat2, lon2):
    """Manhattan-style distance in km per row: a north-south plus an east-west leg.

    Coordinates are in degrees; with ``phi`` the latitudes and ``lam`` the
    longitudes in radians::

        north_south = R |phi2 - phi1|
        east_west   = R cos((phi1 + phi2) / 2) |dlam|
        m_distance  = north_south + east_west

    where ``dlam = lam2 - lam1`` brought into [-pi, pi] (the east-west leg
    goes the short way round, also across the 180th meridian) and the
    east-west leg is measured along the parallel at the mean latitude.
    ``R = 6371.0088`` km as in ``distance``.
    """
    phi1, lam1, phi2, lam2 = _radians(lat1, lon1, lat2, lon2)
    dlam = np.abs((lam2 - lam1 + np.pi) % (2.0 * np.pi) - np.pi)
    north_south = EARTH_RADIUS_KM * np.abs(phi2 - phi1)
    east_west = EARTH_RADIUS_KM * np.cos((phi1 + phi2) / 2.0) * dlam
    return north_south + east_west
