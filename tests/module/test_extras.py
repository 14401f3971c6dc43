import math
import os
import pickle
import subprocess
import sys
import warnings
from datetime import datetime, timezone

import numpy as np
import pytest
from sklearn.base import clone

from karrow_libs.vantor.transforms import textras_methods as TExtras
from karrow_libs.vantor.transforms import transform_extras as E

R = 6371.0088
DEG = math.pi / 180


@pytest.mark.parametrize("x, expected", [([-2, 0, 3], [-8, 0, 27]), ([0.5, -1.5], [0.125, -3.375])])
def test_cube(x, expected):
    out = TExtras.cube(np.array(x))
    assert out.dtype == np.array(x).dtype and out.tolist() == expected


@pytest.mark.parametrize("x, pos, neg", [(0.0, 0.5, 0.5), (math.log(3), 0.75, 0.25), (35.0, 1.0, math.exp(-35)), (1000.0, 1.0, 0.0)])
def test_sigmoid_is_symmetric_and_stable(x, pos, neg):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        out = TExtras.sigmoid(np.array([x, -x]))
    assert out.tolist() == pytest.approx([pos, neg], rel=1e-12, abs=0)


@pytest.mark.parametrize("seconds", [0, 86_399, 86_400, -1, 951_782_400, 1_700_000_000, 4_102_444_799])  # 951782400: 2000-02-29
def test_date_extract_matches_calendar(seconds):
    expected = int(datetime.fromtimestamp(seconds, timezone.utc).strftime("%Y%m%d"))
    assert TExtras.date_extract(np.array([seconds], dtype=np.int64))[0] == expected
    assert TExtras.date_extract(np.array([seconds + 0.75, np.nan])).tolist() == [expected, 0]


@pytest.mark.parametrize(
    "a, b",
    [([1, 2, 1, 2], [2, 1, 2, 1]), (["x", "y", "x", "y"], ["y", "x", "y", "x"]), ([0.5, -0.0, 0.5, 0.0], [1.0, 2.0, 1.0, 2.0])],
)
def test_hash_pair_is_order_sensitive_and_consistent(a, b):
    h = TExtras.hash_pair(np.array(a), np.array(b))
    assert h.dtype == np.int64 and (h >= 0).all()
    assert h[0] == h[2] and h[1] == h[3] and h[0] != h[1]


def test_hash_pair_does_not_depend_on_hash_seed():
    code = (
        "import numpy as np; from karrow_libs.vantor.transforms.textras_methods import hash_pair;"
        "print(hash_pair(np.array(['a', 'bb', 'a']), np.array([1, 2, 3])).tolist())"
    )
    outs = set()
    for seed in ("1", "2"):
        env = dict(os.environ, PYTHONHASHSEED=seed, PYTHONPATH=os.pathsep.join(sys.path))
        outs.add(subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True).stdout)
    assert len(outs) == 1


def test_speed_handles_zero_time():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        out = TExtras.speed(np.array([10, 5, 5, 0]), np.array([0, 4, 3, 3]), np.array([5, 2, 3, 3]))
    assert out.dtype == np.float64 and out[:3].tolist() == [2.0, 2.5, np.inf] and np.isnan(out[3])


@pytest.mark.parametrize(
    "fun, p1, p2, km, rel",
    [
        (TExtras.distance, (51.5074, -0.1278), (48.8566, 2.3522), 343.5, 0.005),  # London - Paris
        (TExtras.distance, (40.7128, -74.0060), (34.0522, -118.2437), 3936.0, 0.005),  # New York - Los Angeles
        (TExtras.distance, (0.0, 0.0), (90.0, 0.0), R * math.pi / 2, 1e-12),
        (TExtras.m_distance, (0.0, 0.0), (1.0, 0.0), R * DEG, 1e-12),
        (TExtras.m_distance, (0.0, 0.0), (1.0, 1.0), R * DEG + R * math.cos(0.5 * DEG) * DEG, 1e-12),
        (TExtras.m_distance, (0.0, 179.0), (0.0, -179.0), 2 * R * DEG, 1e-12),
        (TExtras.m_distance, (60.0, 10.0), (60.0, 12.0), R * 0.5 * 2 * DEG, 1e-12),  # cos 60 deg = 0.5
    ],
)
def test_distances_in_km(fun, p1, p2, km, rel):
    assert fun(*(np.array([v]) for v in p1 + p2))[0] == pytest.approx(km, rel=rel)


# group 1: values 2, 4 -> mean 3, std 1, median 3; group 2: 5 and NaN -> 5, std 0
# whole column 2, 4, 5 -> mean 11/3, std sqrt(14/9), median 4, max 5, min 2
GROUP_TABLE = np.array([[1, 2.0], [1, 4.0], [2, 5.0], [2, np.nan]])


@pytest.mark.parametrize(
    "cls, expected",
    [
        (E.GroupByMean, [3.0, 5.0, 11 / 3]),
        (E.GroupByStd, [1.0, 0.0, math.sqrt(14 / 9)]),
        (E.GroupByMedian, [3.0, 5.0, 4.0]),
        (E.GroupByMax, [4.0, 5.0, 5.0]),
        (E.GroupByMin, [2.0, 5.0, 2.0]),
    ],
)
def test_group_by_statistic(cls, expected):
    out = cls().fit(GROUP_TABLE).transform(np.array([[1, 0.0], [2, 9.0], [9, 0.0]]))
    assert out.shape == (3,) and out.dtype == np.float64
    assert out.tolist() == pytest.approx(expected)


@pytest.mark.parametrize(
    "est, X_fit, X_new, expected",
    [
        (E.Frequency(), [[3], [3], [7], [3]], [[7], [3], [5]], [[1.0], [3.0], [0.0]]),
        # medians 2 and 20; above-median bits (0,0) (0,1) (1,1) (1,0) (0,0)
        (E.NXOR(), [[1, 10], [2, 30], [3, 40], [4, 20], [0, 0]], None, [1, 0, 1, 0, 1]),
        # pairs numbered in order of first appearance, unseen -> -1
        (E.Pair(), [[1, 2], [3, 4], [1, 2], [1, 4]], [[1, 4], [1, 2], [3, 2]], [2, 0, -1]),
    ],
)
def test_small_tables_by_hand(est, X_fit, X_new, expected):
    out = est.fit(np.array(X_fit)).transform(np.array(X_fit if X_new is None else X_new))
    assert out.tolist() == expected and out.dtype == (np.float64 if isinstance(est, E.Frequency) else np.int64)


def _blobs():
    rng = np.random.default_rng(0)
    return np.vstack([rng.normal(0, 0.1, (20, 2)), rng.normal(5, 0.1, (20, 2)), [[20.0, -20.0]]])


def test_dbscan_labels_blobs_outlier_and_new_rows():
    model = E.ClusterDBSCAN().fit(_blobs())
    labels = model.transform(_blobs()).ravel()
    a, b = labels[0], labels[20]
    assert labels.dtype == np.float64 and a != b and -1 not in (a, b)
    assert labels.tolist() == [a] * 20 + [b] * 20 + [-1]
    assert model.transform(np.array([[0.05, 0.0], [5.0, 5.05], [2.5, 2.5]])).ravel().tolist() == [a, b, -1]
    lonely = E.ClusterDBSCAN(min_samples=10).fit(np.arange(8.0).reshape(4, 2))  # no core samples
    assert lonely.transform(np.zeros((2, 2))).tolist() == [[-1.0], [-1.0]]


def test_isolation_forest_scores_outlier_higher():
    scores = E.IsolationForestAnomaly().fit(_blobs()).transform(_blobs()).ravel()
    assert scores.dtype == np.float64 and scores.argmax() == 40
    assert ((scores > 0) & (scores <= 1)).all()


@pytest.mark.parametrize(
    "est, X",
    [
        (E.Frequency(), GROUP_TABLE[:, :1]),
        (E.GroupByStd(), GROUP_TABLE),
        (E.ClusterDBSCAN(eps=0.3), _blobs()),
        (E.IsolationForestAnomaly(n_estimators=20), _blobs()),
        (E.Pair(), GROUP_TABLE),
    ],
)
def test_fitted_extra_survives_pickle_and_clones_unfitted(est, X):
    est.fit(X)
    restored = pickle.loads(pickle.dumps(est))
    np.testing.assert_array_equal(restored.transform(X), est.transform(X))
    fresh = clone(est)
    assert fresh is not est and fresh.get_params() == est.get_params()
    assert not [name for name in vars(fresh) if name.endswith("_")]
    with pytest.raises(ValueError, match="columns"):
        est.transform(np.zeros((2, 4)))
