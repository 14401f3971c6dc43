"""Feature selectors FS1 and FS2, the column remover FS3 and the Tproxy wrapper."""
import fractions
import operator
import random

import numpy as np
import pytest

NAN, INF = float("nan"), float("inf")


def literal_pick(scores, must_keep, k):
    """The greedy pick written out with Python's own max()."""
    ind, keep = list(scores), []
    for i in range(0, len(must_keep)):
        keep.append(must_keep[i])
        ind[must_keep[i]] = -np.inf
    for _ in range(0, k):
        max_index, max_value = max(enumerate(ind), key=operator.itemgetter(1))
        if max_value == -np.inf:
            break
        keep.append(max_index)
        ind[max_index] = -np.inf
    return sorted(keep)


def outcome(fn):
    try:
        return ("ok", fn())
    except Exception as e:  # noqa: BLE001 - the error is the outcome
        return (type(e), str(e))


def picked(tu, scores, must_keep, k, cls="FS1"):
    fs = tu.FS2(must_keep, k, None, None) if cls == "FS2" else tu.FS1(must_keep, k, None)
    fs.k_ = k
    assert fs.find_k_top_indices(scores) is None
    return fs.cols_to_keep_final_


@pytest.fixture
def fake_skb(tu, monkeypatch):
    """SelectKBest stand-in handing out fixed scores; records (score_func, k)."""
    made = []

    def use(scores):
        class Fake:
            def __init__(self, score_func, k=10):
                made.append((score_func, k))

            def fit(self, X, y):
                self.scores_ = np.array(scores, dtype=float)

        monkeypatch.setattr(tu, "SelectKBest", Fake)
        return made

    return use


W = [3.0, 7.0, 7.0, 1.0, 5.0]


@pytest.mark.parametrize("cls", ["FS1", "FS2"])
@pytest.mark.parametrize("scores, must_keep, k, want", [
    (W, [3], 2, [1, 2, 3]), (W, [3], 10, [0, 1, 2, 3, 4]),
    ([NAN, 1.0, 2.0], [], 1, [0]),               # a leading NaN is never beaten
    ([1.0, NAN, 2.0], [], 3, [0, 2]),            # a later NaN is never taken
    ([-INF, -INF], [], 2, []),
    ([1, 2.0, True, np.float64(2.0)], [], 2, [1, 3]),
    ([5.0, 4.0, 3.0], [-1], 1, [-1, 0]),         # negative ids index from the end
])
def test_pick_keeps_must_keep_then_first_maxima(tu, cls, scores, must_keep, k, want):
    before = list(scores)
    assert picked(tu, scores, must_keep, k, cls) == want == literal_pick(before, must_keep, k)
    assert scores == before                     # the caller's list is left alone


@pytest.mark.parametrize("scores, must_keep, k", [
    ([], [], 1), ([1.0, 2.0], [5], 1), ([1.0, 2.0], [0.0], 1), ([1.0, 2.0], [], 3.0),
    ([1.0, "a", 2.0], [], 2), (None, [], 1),
])
def test_pick_errors_are_pythons(tu, scores, must_keep, k):
    want = outcome(lambda: literal_pick(scores, must_keep, k))
    assert want[0] != "ok" and outcome(lambda: picked(tu, scores, must_keep, k)) == want


def random_scores(rng, n):
    pool = [0.5, 1.0, 1.0, 2.0, -1.0, 0.0, -0.0, NAN, -INF, INF, 3.25]
    values = [rng.choice(pool) if rng.random() < 0.6 else rng.uniform(-3, 3) for _ in range(n)]
    kind = rng.randrange(7)
    if kind == 1:
        return list(np.array(values))                                   # numpy float64 scalars
    if kind == 2:
        return [int(v) if v == v and abs(v) != INF else v for v in values]
    if kind == 3:                                   # float32 beside Python floats: numpy rounds those to float32
        return [x for v in values for x in rng.sample([np.float32(v), v], 2)] + [np.float32(2**24), 2**24 + 1]
    if kind == 4:                                   # ints beyond 2**53 compare exactly in Python
        return [2**53 + rng.randrange(3) if rng.random() < 0.3 else v for v in values]
    if kind == 5:
        return [fractions.Fraction(rng.randrange(-3, 4), 2) if rng.random() < 0.5 else v for v in values]
    return values


@pytest.mark.parametrize("seed", range(400))
def test_pick_equals_pythons_max_loop(tu, seed):
    rng = random.Random(seed)
    scores = random_scores(rng, rng.randrange(1, 40))
    n = len(scores)
    must_keep = rng.sample(range(n), rng.randrange(0, min(n, 4) + 1))
    k = rng.choice([0, 1, 2, rng.randrange(n + 3), n, n + 5])
    assert outcome(lambda: picked(tu, scores, must_keep, k)) == outcome(lambda: literal_pick(scores, must_keep, k))


@pytest.mark.parametrize("scores, must_keep, a, k, want", [
    (W, [3], 0, 3, [1, 2, 3, 4]),                                       # mean 4.6: three scores above
    (list(range(11)), [0], 0.5, 5, [0, 6, 7, 8, 9, 10]),
    (list(range(11)), [0], 0.05, 0, [0]),
    (list(range(11)), [0], 0.999, 9, [0] + list(range(2, 11))),
    ([1.0, 4.0, 2.0, 3.0], [], 2, 2, [1, 3]),
    ([1.0, 1.0, 1.0], [], -1, 0, []),                                   # nothing above an equal mean
    ([10.0, 0.0, 0.0, 0.0], [0], -0.5, 1, [0, 1]),                      # must-keep scores count in the mean
    ([NAN, 9.0, 1.0, 5.0], [2], 0, 0, [2]),                             # NaN mean: nothing above it
    ([NAN, 5.0, -1.0, 3.0], [], 2, 2, [1, 3]),                          # then NaN counts as 0 ...
    ([NAN, 5.0, -1.0, 3.0], [], 3, 3, [0, 1, 3]),                       # ... and beats -1
])
def test_fit_sets_k_and_picks(tu, fake_skb, scores, must_keep, a, k, want):
    fake_skb(scores)
    fs = tu.FS1(must_keep, a, "regression").fit(np.zeros((3, len(scores))), np.zeros(3))
    assert fs.k_ == k and fs.cols_to_keep_final_ == want
    assert fs.k_ is a if a >= 1 else type(fs.k_) is int


def test_non_integer_count_reaches_range(tu, fake_skb):
    fake_skb([1.0, 2.0])
    fs = tu.FS1([], 3.0, "regression")
    with pytest.raises(TypeError, match="'float' object cannot be interpreted as an integer"):
        fs.fit(np.zeros((3, 2)), np.zeros(3))
    assert fs.k_ == 3.0


@pytest.mark.parametrize("ptype, test", [("classification", "f_classif"), ("regression", "f_regression"),
                                         (None, "f_regression"), ("Classification", "f_regression")])
def test_ptype_selects_the_test(tu, fake_skb, ptype, test):
    made = fake_skb([1.0])
    tu.FS1([], 1, ptype).fit(np.zeros((3, 1)), np.zeros(3))
    assert made == [(getattr(tu, test), "all")]


@pytest.mark.filterwarnings("ignore::UserWarning", "ignore::RuntimeWarning")
@pytest.mark.parametrize("a, want", [(0, [0]), (2, [0, 1, 3])])
def test_constant_column_with_real_f_test(tu, a, want):
    X = np.random.default_rng(3).normal(size=(60, 4))
    X[:, 2] = 1.0                                                       # its F-score is NaN
    fs = tu.FS1([0], a, "classification").fit(X, (X[:, 1] + X[:, 3] > 0).astype(int))
    assert fs.cols_to_keep_final_ == want and np.array_equal(fs.transform(X), X[:, want])


@pytest.mark.parametrize("cls, base, error, lines", [
    ("FS1", [4, 4, 9], IndexError, 4), ("FS1", None, AttributeError, 3), ("FS2", [4], IndexError, 3)])
def test_transform_reports_a_failed_selection(tu, capsys, cls, base, error, lines):
    fs = tu.FS2([], 1, None, None) if cls == "FS2" else tu.FS1([], 1, None)
    X = np.arange(6.0).reshape(2, 3)
    fs.cols_to_keep_final_ = [2, 0]
    assert np.array_equal(fs.transform(X, n_jobs=4), X[:, [2, 0]])
    fs.cols_to_keep_final_ = [1, 5]
    if base is not None:
        fs.cols_in_base_ds_ = base
    with pytest.raises(error):
        fs.transform(X)
    assert capsys.readouterr().out.splitlines() == [
        "Error in executing FSindex 5 is out of bounds for axis 1 with size 3", "columns to keep[1, 5]",
        "# of columns in df : 3", "columns in fit  df : " + str({4, 9})][:lines]


@pytest.mark.parametrize("cls", ["FS1", "FS2"])
def test_transform_before_fit_fails_inside_the_report(tu, capsys, cls):
    with pytest.raises(AttributeError, match="cols_to_keep_final_"):
        getattr(tu, cls)(*([], 1, None, None)[: 3 + (cls == "FS2")]).transform(np.zeros((2, 3)))
    assert capsys.readouterr().out == "Error in executing FS'" + cls + "' object has no attribute 'cols_to_keep_final_'\n"


class Importances:
    """An estimator with fixed importances that records how it was made."""

    importances, made = [0.1, 0.4, 0.2, 0.3], []

    def __init__(self, random_state=None):
        Importances.made.append(random_state)
        self.fitted = False

    def fit(self, X, y):
        self.fitted, self.feature_importances_ = True, np.array(self.importances)


class NoSeed(Importances):
    def __init__(self):
        pass


class NoImportances(Importances):
    def fit(self, X, y):
        pass


X4 = np.arange(12.0).reshape(3, 4)


@pytest.mark.parametrize("ptype", ["classification", None])
@pytest.mark.parametrize("a, importances, want", [
    (2, None, [0, 1, 3]), (0, None, [0, 1, 3]), (0.34, None, [0, 1]), (10, None, [0, 1, 2, 3]),
    (0, [0.25] * 4, [0]), (1, [0.5, NAN, -0.2, -0.3], [0, 2])])     # no NaN step: 0 would beat -0.2
def test_fs2_picks_by_importance_of_a_seeded_fresh_estimator(tu, monkeypatch, ptype, a, importances, want):
    monkeypatch.setattr(Importances, "made", [])
    if importances:
        monkeypatch.setattr(Importances, "importances", importances)
    fs = tu.FS2([0], a, ptype, Importances).fit(X4, None)
    assert fs.cols_to_keep_final_ == want and Importances.made == [7]
    assert not hasattr(fs, "eval_algo_") and fs.eval_algo is Importances
    est = Importances(random_state=3)
    assert tu.FS2([0], a, ptype, est).fit(X4, None).cols_to_keep_final_ == want
    assert est.fitted is False and not hasattr(est, "feature_importances_")


@pytest.mark.parametrize("a", [0, 2])
@pytest.mark.parametrize("algo, error, left", [
    (NoSeed, TypeError, False), (NoImportances, AttributeError, True), (NoImportances(), AttributeError, True)])
def test_fs2_failures_leave_eval_algo_(tu, a, algo, error, left):
    fs = tu.FS2([], a, "regression", algo)
    with pytest.raises(error):
        fs.fit(X4, None)
    assert hasattr(fs, "eval_algo_") is left


@pytest.mark.parametrize("remove, want", [([], [0, 1, 2, 3]), ([2, 0], [1, 3]), ((3,), [0, 1, 2]), (range(4), []),
                                          ([4], "not in list"), ([-1], "not in list"), ([1, 1], "not in list")])
def test_fs3_removes_positions(tu, remove, want):
    X = np.arange(12).reshape(3, 4)
    fs = tu.FS3(remove)
    if isinstance(want, str):
        with pytest.raises(ValueError, match=want):
            fs.transform(X)
    else:
        assert fs.fit(None, None) is fs and np.array_equal(fs.transform(X), X[:, want])


class Fitted:
    long_name, name = "TA1-sq_1", "sq"

    def __init__(self, complete=True):
        self.calls, self.complete = [], complete

    def transform(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        self.new_column_names_, self.new_column_dtypes_ = ["sq(a)"], ["float64"]
        if self.complete:
            self.new_column_as_json_objects_ = [{"expression": {"op": "sq", "params": [{"name": "$a"}]}}]
        return "result"


def test_tproxy_forwards_x_only_and_copies_the_very_lists(tu):
    t = Fitted()
    p = tu.Tproxy(t)
    t.name = "changed"
    assert (p.uid, p.long_name, p.name) == ("TA1-sq_1", "TA1-sq_1", "sq")
    assert p.fit(1, 2, None, None) is p and t.calls == []
    assert p.transform("X", n_jobs=4) == "result" and t.calls == [(("X",), {})]
    for attr in ("new_column_names_", "new_column_dtypes_", "new_column_as_json_objects_"):
        assert getattr(p, attr) is getattr(t, attr)
    partial = tu.Tproxy(Fitted(complete=False))
    with pytest.raises(AttributeError, match="new_column_as_json_objects_"):
        partial.transform(1)
    assert partial.new_column_dtypes_ == ["float64"]
    with pytest.raises(AttributeError):
        tu.Tproxy(object())
