"""Feature selectors FS1 and FS2, the column remover FS3 and the Tproxy wrapper."""
import copy
import fractions
import operator
import pickle
import random
import time

import numpy as np
import pytest

NAN = float("nan")
INF = float("inf")


def literal_pick(scores, must_keep, k):
    """The greedy pick written out with Python's own max()."""
    ind = list(scores)
    keep = []
    for i in range(0, len(must_keep)):
        keep.append(must_keep[i])
        ind[must_keep[i]] = -np.inf
    for _ in range(0, k):
        max_index, max_value = max(enumerate(ind), key=operator.itemgetter(1))
        if max_value == -np.inf:
            break
        keep.append(max_index)
        ind[max_index] = -np.inf
    keep.sort()
    return keep


def outcome(fn):
    try:
        return ("ok", fn())
    except Exception as e:  # noqa: BLE001 - the error itself is the outcome
        return (type(e), str(e))


def picked(tu, scores, must_keep, k, cls="FS1"):
    fs = getattr(tu, cls)(must_keep, k, "regression", None) if cls == "FS2" else tu.FS1(must_keep, k, "regression")
    fs.k_ = k
    assert fs.find_k_top_indices(scores) is None
    return fs.cols_to_keep_final_


class FakeSelectKBest:
    """Stands in for SelectKBest: hands out fixed scores and records its arguments."""

    scores = None
    made = []

    def __init__(self, score_func, k=10):
        FakeSelectKBest.made.append((score_func, k))

    def fit(self, X, y):
        self.scores_ = np.array(FakeSelectKBest.scores, dtype=float)
        return self


@pytest.fixture
def fake_skb(tu, monkeypatch):
    FakeSelectKBest.made = []
    monkeypatch.setattr(tu, "SelectKBest", FakeSelectKBest)

    def use(scores):
        FakeSelectKBest.scores = scores
        return FakeSelectKBest

    return use


# --- the pick --------------------------------------------------------------------------

WORKED = [3.0, 7.0, 7.0, 1.0, 5.0]


@pytest.mark.parametrize("cls", ["FS1", "FS2"])
@pytest.mark.parametrize("k, want", [(2, [1, 2, 3]), (10, [0, 1, 2, 3, 4]), (0, [3]), (1, [1, 3])])
def test_worked_example_keeps_must_keep_then_first_maxima(tu, cls, k, want):
    assert picked(tu, WORKED, [3], k, cls) == want


def test_worked_example_automatic_count_is_scores_above_mean(tu, fake_skb):
    fake_skb(WORKED)
    fs = tu.FS1([3], 0, "regression").fit(np.zeros((4, 5)), np.zeros(4))
    assert fs.k_ == 3 and fs.cols_to_keep_final_ == [1, 2, 3, 4]


@pytest.mark.parametrize("scores, must_keep, k, want", [
    ([NAN, 1.0, 2.0], [], 1, [0]),               # a leading NaN is never beaten
    ([NAN, 1.0, 2.0], [], 2, [0, 2]),
    ([1.0, NAN, 2.0], [], 3, [0, 2]),            # a later NaN is never taken
    ([NAN, NAN, 5.0], [], 3, [0, 2]),
    ([NAN, 1.0], [0], 5, [0, 1]),                # must-keep blocks the leading NaN
    ([-INF, -INF], [], 2, []),                   # nothing to choose: stop at once
    ([0.0, -0.0, 0.0], [], 2, [0, 1]),           # -0.0 ties with 0.0
    ([INF, 1.0, INF], [], 2, [0, 2]),
    ([1, 2.0, True, np.float64(2.0)], [], 2, [1, 3]),
    ([5.0, 4.0, 3.0], [-1], 1, [-1, 0]),         # negative must-keep ids index from the end
    ([5.0, 4.0, 3.0], [], -3, []),
    ([5.0, 4.0, 3.0], [], 10**30, [0, 1, 2]),
    ([5.0, 4.0, 3.0], [], np.int64(2), [0, 1]),
    ([2.0, 1.0], [], True, [0]),
])
def test_pick_edge_cases(tu, scores, must_keep, k, want):
    before = list(scores)
    assert picked(tu, scores, must_keep, k) == want == literal_pick(before, must_keep, k)
    assert scores == before                    # the caller's list is left alone


@pytest.mark.parametrize("scores, must_keep, k", [
    ([], [], 1),                                  # max() of an empty sequence
    ([1.0, 2.0], [5], 1),                         # must-keep id outside the scores
    ([1.0, 2.0], [0.0], 1),                       # not an index
    ([1.0, 2.0], [], 3.0),                        # range() refuses a float count
    ([1.0, "a", 2.0], [], 2),                     # incomparable scores
    (None, [], 1),
])
def test_pick_errors_are_pythons(tu, scores, must_keep, k):
    want = outcome(lambda: literal_pick(scores, must_keep, k))
    assert want[0] != "ok"
    assert outcome(lambda: picked(tu, scores, must_keep, k)) == want


def test_must_keep_ids_before_a_bad_one_are_already_recorded(tu):
    fs = tu.FS1([1, 7], 1, "regression")
    fs.k_ = 1
    with pytest.raises(IndexError):
        fs.find_k_top_indices([1.0, 2.0])
    assert fs.cols_to_keep_final_ == [1, 7]


def random_scores(rng, n):
    pool = [0.5, 1.0, 1.0, 2.0, -1.0, 0.0, -0.0, NAN, -INF, INF, 3.25]
    kind = rng.randrange(8)
    values = [rng.choice(pool) if rng.random() < 0.6 else rng.uniform(-3, 3) for _ in range(n)]
    if kind == 0:
        return values
    if kind == 1:
        return list(np.array(values))                       # numpy float64 scalars
    if kind == 2:
        return [int(v) if v == v and abs(v) != INF else v for v in values]   # ints among floats
    if kind == 3:
        return np.array(values, dtype=np.float32)           # float32 beside -inf / int 0
    if kind == 4:                                           # float32 beside inexact Python floats
        mixed = []
        for v in values:                                    # numpy rounds v to float32 to compare them
            pair = [np.float32(v), v]
            rng.shuffle(pair)
            mixed += pair
        return mixed
    if kind == 5:                                           # ints beyond 2**53 (Python compares them exactly)
        return [2**53 + rng.randrange(3) if rng.random() < 0.3 else v for v in values]
    if kind == 6:                                           # arbitrary comparable objects
        return [fractions.Fraction(rng.randrange(-3, 4), 2) if rng.random() < 0.5 else v
                for v in values if v == v]
    return [np.float32(2**24 + 1) if rng.random() < 0.2 else v for v in values] + [2**24 + 1]


@pytest.mark.parametrize("seed", range(400))
def test_pick_equals_pythons_max_loop(tu, seed):
    rng = random.Random(seed)
    n = rng.randrange(1, 40)
    scores = random_scores(rng, n)
    n = len(scores)
    must_keep = rng.sample(range(n), rng.randrange(0, min(n, 4) + 1))
    k = rng.choice([0, 1, 2, rng.randrange(n + 3), n, n + 5])
    assert outcome(lambda: picked(tu, scores, must_keep, k)) == outcome(lambda: literal_pick(scores, must_keep, k))


@pytest.mark.parametrize("form", [list, np.array, lambda v: list(map(float, v)),
                                  lambda v: np.array(v, dtype=np.float32)])
def test_pick_is_fast_and_exact_on_wide_scores(tu, form):
    rng = np.random.default_rng(5)
    values = np.round(rng.random(10_000), 3)                    # many ties
    values[0] = values[17] = np.nan
    scores = form(values)
    must_keep = list(range(1, 10_000, 97))
    t0 = time.perf_counter()
    got = picked(tu, scores, must_keep, 5_000)
    assert time.perf_counter() - t0 < 2.0                      # the plain loop takes minutes
    ind = np.array(values, dtype=float)
    ind[must_keep] = -np.inf
    ind[0] = -np.inf                                            # the leading NaN goes first
    order = [i for i in np.argsort(-ind, kind="stable") if not np.isnan(ind[i])][:5_000 - 1]
    assert got == sorted(set(must_keep) | {0} | set(int(i) for i in order))


# --- FS1.fit -----------------------------------------------------------------------------

@pytest.mark.parametrize("a, width, must_keep, k", [
    (0.5, 11, [0], 5), (0.05, 11, [0], 0), (0.999, 11, [0], 9), (0.5, 11, [], 5), (0.3, 4, [0, 1], 0),
])
def test_fraction_counts_the_columns_that_are_not_must_keep(tu, fake_skb, a, width, must_keep, k):
    fake_skb([float(i) for i in range(width)])
    fs = tu.FS1(must_keep, a, "regression").fit(np.zeros((3, width)), np.zeros(3))
    assert type(fs.k_) is int and fs.k_ == k
    assert fs.cols_to_keep_final_ == sorted(must_keep + list(range(width - 1, width - 1 - k, -1)))


@pytest.mark.parametrize("a", [1, 3, np.int64(2), 7])
def test_count_is_kept_as_given(tu, fake_skb, a):
    fake_skb([1.0, 4.0, 2.0, 3.0])
    fs = tu.FS1([], a, "regression").fit(np.zeros((3, 4)), np.zeros(3))
    assert fs.k_ is a
    assert fs.cols_to_keep_final_ == literal_pick([1.0, 4.0, 2.0, 3.0], [], a)


def test_non_integer_count_reaches_range(tu, fake_skb):
    fake_skb([1.0, 2.0])
    fs = tu.FS1([], 3.0, "regression")
    with pytest.raises(TypeError, match="'float' object cannot be interpreted as an integer"):
        fs.fit(np.zeros((3, 2)), np.zeros(3))
    assert fs.k_ == 3.0


@pytest.mark.parametrize("a", [0, -1, -0.5])
@pytest.mark.parametrize("scores, must_keep, k, want", [
    ([1.0, 1.0, 1.0], [], 0, []),                         # all equal: nothing above the mean
    ([NAN, 9.0, 1.0, 5.0], [2], 0, [2]),                  # NaN mean: nothing above it
    ([10.0, 0.0, 0.0, 0.0], [], 1, [0]),                  # the mean counts must-keep scores too
    ([10.0, 0.0, 0.0, 0.0], [0], 1, [0, 1]),
])
def test_automatic_count(tu, fake_skb, a, scores, must_keep, k, want):
    fake_skb(scores)
    fs = tu.FS1(must_keep, a, "classification").fit(np.zeros((3, len(scores))), np.zeros(3))
    assert fs.k_ == k and fs.cols_to_keep_final_ == want


@pytest.mark.parametrize("k, want", [(2, [1, 3]), (3, [0, 1, 3]), (4, [0, 1, 2, 3])])
def test_nan_scores_count_as_zero_when_picking(tu, fake_skb, k, want):
    # taken as they are, the leading NaN would be picked first
    fake_skb([NAN, 5.0, -1.0, 3.0])
    fs = tu.FS1([], k, "regression").fit(np.zeros((3, 4)), np.zeros(3))
    assert fs.cols_to_keep_final_ == want


@pytest.mark.parametrize("ptype, test", [("classification", "f_classif"), ("regression", "f_regression"),
                                         (None, "f_regression"), ("Classification", "f_regression")])
def test_ptype_selects_the_test(tu, fake_skb, ptype, test):
    fake_skb([1.0])
    tu.FS1([], 1, ptype).fit(np.zeros((3, 1)), np.zeros(3))
    assert FakeSelectKBest.made == [(getattr(tu, test), "all")]


@pytest.mark.filterwarnings("ignore::UserWarning", "ignore::RuntimeWarning")
@pytest.mark.parametrize("a, want", [(0, [0]), (2, [0, 1, 3])])
def test_constant_column_with_real_f_test(tu, a, want):
    rng = np.random.default_rng(3)
    X = rng.normal(size=(60, 4))
    X[:, 2] = 1.0                                          # its F-score is NaN
    y = (X[:, 1] + X[:, 3] > 0).astype(int)
    fs = tu.FS1([0], a, "classification").fit(X, y)
    assert fs.cols_to_keep_final_ == want
    assert np.array_equal(fs.transform(X), X[:, want])


def test_fit_with_real_scores_matches_the_literal_pick(tu):
    from sklearn.feature_selection import f_classif
    rng = np.random.default_rng(4)
    X = rng.normal(size=(80, 30))
    y = (X[:, 5] + X[:, 9] > 0).astype(int)
    fs = tu.FS1([0, 29], 6, "classification").fit(X, y)
    assert fs.cols_to_keep_final_ == literal_pick(f_classif(X, y)[0], [0, 29], 6)
    assert 5 in fs.cols_to_keep_final_ and 9 in fs.cols_to_keep_final_


# --- transform -----------------------------------------------------------------------------

def fitted(tu, cls, cols):
    fs = tu.FS1([], 1, "regression") if cls == "FS1" else tu.FS2([], 1, "regression", None)
    fs.cols_to_keep_final_ = cols
    return fs


@pytest.mark.parametrize("cls", ["FS1", "FS2"])
def test_transform_returns_kept_columns(tu, cls):
    X = np.arange(20.0).reshape(4, 5)
    assert np.array_equal(fitted(tu, cls, [0, 3, 4]).transform(X, n_jobs=8), X[:, [0, 3, 4]])
    assert fitted(tu, cls, []).transform(X).shape == (4, 0)


def test_fs1_failure_report_with_base_columns(tu, capsys):
    fs = fitted(tu, "FS1", [1, 6])
    fs.cols_in_base_ds_ = [4, 4, 9]
    with pytest.raises(IndexError) as err:
        fs.transform(np.zeros((2, 3)))
    assert capsys.readouterr().out.splitlines() == [
        "Error in executing FS" + str(err.value), "columns to keep[1, 6]", "# of columns in df : 3",
        "columns in fit  df : " + str({4, 9})]


def test_fs1_failure_report_without_base_columns_raises_attribute_error(tu, capsys):
    with pytest.raises(AttributeError, match="cols_in_base_ds_") as err:
        fitted(tu, "FS1", [5]).transform(np.zeros((2, 3)))
    assert isinstance(err.value.__context__, IndexError)
    assert capsys.readouterr().out.splitlines() == [
        "Error in executing FSindex 5 is out of bounds for axis 1 with size 3", "columns to keep[5]",
        "# of columns in df : 3"]


def test_fs2_failure_report_has_three_lines(tu, capsys):
    with pytest.raises(IndexError):
        fitted(tu, "FS2", [5]).transform(np.zeros((2, 3)))
    out = capsys.readouterr().out.splitlines()
    assert out[1:] == ["columns to keep[5]", "# of columns in df : 3"] and len(out) == 3


@pytest.mark.parametrize("cls", ["FS1", "FS2"])
def test_transform_before_fit_fails_inside_the_report(tu, cls, capsys):
    fs = tu.FS1([], 1, "regression") if cls == "FS1" else tu.FS2([], 1, "regression", None)
    with pytest.raises(AttributeError, match="cols_to_keep_final_"):
        fs.transform(np.zeros((2, 3)))
    assert capsys.readouterr().out.splitlines() == [
        "Error in executing FS'" + cls + "' object has no attribute 'cols_to_keep_final_'"]


def test_data_frame_input_is_reported(tu, capsys):
    pd = pytest.importorskip("pandas")
    fs = fitted(tu, "FS2", [0])
    with pytest.raises(Exception):
        fs.transform(pd.DataFrame(np.zeros((2, 3))))
    assert capsys.readouterr().out.splitlines()[1:] == ["columns to keep[0]", "# of columns in df : 3"]


# --- FS2 -------------------------------------------------------------------------------------

class Importances:
    """An estimator with fixed importances that records how it was made and fitted."""

    importances = [0.1, 0.4, 0.2, 0.3]

    def __init__(self, random_state=None):
        self.random_state = random_state
        self.fitted = False

    def fit(self, X, y):
        self.fitted = True
        self.feature_importances_ = np.array(Importances.importances)
        return self


class NoSeed(Importances):
    def __init__(self):
        super().__init__()


class NoImportances(Importances):
    def fit(self, X, y):
        return self


X4 = np.arange(12.0).reshape(3, 4)


@pytest.mark.parametrize("ptype", ["classification", "regression", None])
@pytest.mark.parametrize("a, want", [(2, [0, 1, 3]), (0, [0, 1, 3]), (0.34, [0, 1]), (10, [0, 1, 2, 3])])
def test_fs2_picks_by_importance(tu, ptype, a, want):
    fs = tu.FS2([0], a, ptype, Importances).fit(X4, None)
    assert fs.cols_to_keep_final_ == want
    assert not hasattr(fs, "eval_algo_") and fs.eval_algo is Importances


def test_fs2_class_is_seeded_with_7(tu):
    made = []

    class Recorded(Importances):
        def __init__(self, **kwargs):
            made.append(kwargs)
            super().__init__(**kwargs)

    tu.FS2([], 1, "regression", Recorded).fit(X4, None)
    assert made == [{"random_state": 7}]


def test_fs2_object_is_deep_copied_and_left_unfitted(tu):
    est = Importances(random_state=3)
    fs = tu.FS2([], 1, "regression", est).fit(X4, None)
    assert est.fitted is False and not hasattr(est, "feature_importances_")
    assert fs.eval_algo is est and fs.cols_to_keep_final_ == [1]


def test_fs2_all_equal_importances_add_none(tu, monkeypatch):
    monkeypatch.setattr(Importances, "importances", [0.25] * 4)
    assert tu.FS2([2], 0, "regression", Importances).fit(X4, None).cols_to_keep_final_ == [2]


def test_fs2_uses_importances_as_they_are(tu, monkeypatch):
    monkeypatch.setattr(Importances, "importances", [NAN, 0.5, 0.2, 0.3])
    assert tu.FS2([], 1, "regression", Importances).fit(X4, None).cols_to_keep_final_ == [0]


@pytest.mark.parametrize("algo, error, left", [
    (NoSeed, TypeError, False), (NoImportances, AttributeError, True), (NoImportances(), AttributeError, True)])
@pytest.mark.parametrize("a", [0, 2])
def test_fs2_failures_leave_eval_algo_(tu, algo, error, left, a):
    fs = tu.FS2([], a, "regression", algo)
    with pytest.raises(error):
        fs.fit(X4, None)
    assert hasattr(fs, "eval_algo_") is left


def test_fs2_with_a_random_forest_is_reproducible(tu):
    from sklearn.ensemble import RandomForestClassifier
    rng = np.random.default_rng(0)
    X = rng.normal(size=(120, 8))
    y = (X[:, 6] > 0).astype(int)
    a = tu.FS2([0], 2, "classification", RandomForestClassifier).fit(X, y).cols_to_keep_final_
    b = tu.FS2([0], 2, "classification", RandomForestClassifier).fit(X, y).cols_to_keep_final_
    want = literal_pick(RandomForestClassifier(random_state=7).fit(X, y).feature_importances_, [0], 2)
    assert a == b == want and 6 in a


# --- FS3 and Tproxy ----------------------------------------------------------------------------

@pytest.mark.parametrize("remove, want", [([], [0, 1, 2, 3]), ([0, 2], [1, 3]), ([2, 0], [1, 3]), ((3,), [0, 1, 2]),
                                          (range(4), []), ({1}, [0, 2, 3])])
def test_fs3_removes_positions(tu, remove, want):
    X = np.arange(12).reshape(3, 4)
    fs = tu.FS3(remove)
    out = fs.transform(X)
    assert np.array_equal(out, X[:, want]) and out is not X
    assert fs.fit(None, None) is fs and np.array_equal(fs.transform(X), out)


@pytest.mark.parametrize("remove", [[4], [-1], [1, 1]])
def test_fs3_unknown_position_raises_list_remove_error(tu, remove):
    with pytest.raises(ValueError, match="not in list"):
        tu.FS3(remove).transform(np.zeros((2, 4)))


class Fitted:
    long_name = "TA1-sq_1"
    name = "sq"

    def __init__(self):
        self.calls = []
        self.new_column_names_ = ["old"]

    def transform(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        self.new_column_names_ = ["sq(a)"]
        self.new_column_dtypes_ = ["float64"]
        self.new_column_as_json_objects_ = [{"expression": {"op": "sq", "params": [{"name": "$a"}]}}]
        return "result"


def test_tproxy_forwards_x_only_and_copies_the_very_lists(tu):
    t = Fitted()
    p = tu.Tproxy(t)
    assert (p.uid, p.long_name, p.name) == ("TA1-sq_1", "TA1-sq_1", "sq")
    t.name = "changed"
    assert p.fit(1, 2, None, None) is p and t.calls == [] and p.name == "sq"
    assert p.transform("X", n_jobs=4) == "result"
    assert t.calls == [(("X",), {})]
    assert p.new_column_names_ is t.new_column_names_
    assert p.new_column_dtypes_ is t.new_column_dtypes_
    assert p.new_column_as_json_objects_ is t.new_column_as_json_objects_


def test_tproxy_missing_attribute_keeps_earlier_copies(tu):
    class Partial(Fitted):
        def transform(self, X):
            self.new_column_names_ = ["n"]
            self.new_column_dtypes_ = ["d"]
            return X

    p = tu.Tproxy(Partial())
    with pytest.raises(AttributeError, match="new_column_as_json_objects_"):
        p.transform(1)
    assert p.new_column_names_ == ["n"] and p.new_column_dtypes_ == ["d"]
    with pytest.raises(AttributeError):
        tu.Tproxy(object())


# --- the selectors in a scikit-learn pipeline ---------------------------------------------------

def test_fitted_selectors_clone_and_pickle(tu):
    from sklearn.base import clone
    rng = np.random.default_rng(1)
    X = rng.normal(size=(50, 6))
    y = X[:, 4] * 2 + rng.normal(size=50)
    fs = tu.FS1([0], 2, "regression").fit(X, y)
    again = pickle.loads(pickle.dumps(fs))
    assert again.cols_to_keep_final_ == fs.cols_to_keep_final_ and np.array_equal(again.transform(X), fs.transform(X))
    c = clone(fs)
    assert c.get_params() == fs.get_params() and not hasattr(c, "cols_to_keep_final_")
    assert copy.deepcopy(fs).uid == fs.uid


def test_pipeline_end_to_end(tu):
    from sklearn.base import clone
    from sklearn.datasets import load_diabetes
    from sklearn.ensemble import RandomForestRegressor
    from sklearn.linear_model import Ridge
    from sklearn.pipeline import Pipeline

    X, y = load_diabetes(return_X_y=True)
    width = X.shape[1]
    names, dtypes = [f"x{i}" for i in range(width)], [X.dtype] * width
    # Each expansion is told the names and dtypes of the table it will see;
    # the second one sees the first one's output.
    try:
        square = tu.TransformBase.GetTransformObj("square").set_params(col_names=names, col_dtypes=dtypes)
        probe = clone(square).fit(X, y)
        squared = probe.transform(X)
        product = tu.TransformBase.GetTransformObj("product").set_params(
            col_names=names + probe.new_column_names_, col_dtypes=dtypes + probe.new_column_dtypes_)
        clone(product).fit(squared, y)
    except NotImplementedError as e:
        pytest.skip("the catalogue's function transforms are not written yet: " + str(e))
    inputs = list(range(width))
    pipe = Pipeline([
        ("square", square),
        ("product", product),
        ("fs1", tu.FS1(inputs, 20, "regression")),
        ("fs2", tu.FS2(inputs, 5, "regression", RandomForestRegressor)),
        ("model", Ridge(alpha=0.1)),
    ])
    pipe.fit(X, y)
    pred = pipe.predict(X)
    expanded = pipe[:2].transform(X)
    assert expanded.shape[1] > width + 20
    assert pipe.named_steps["fs1"].cols_to_keep_final_[:width] == inputs
    assert len(pipe.named_steps["fs1"].cols_to_keep_final_) == width + 20
    assert pipe.named_steps["fs2"].cols_to_keep_final_[:width] == inputs
    assert len(pipe.named_steps["fs2"].cols_to_keep_final_) == width + 5
    assert pipe[:-1].transform(X).shape == (len(X), width + 5)
    restored = pickle.loads(pickle.dumps(pipe))
    assert np.array_equal(restored.predict(X), pred)
    refit = clone(pipe).fit(X, y)
    assert np.allclose(refit.predict(X), pred)
