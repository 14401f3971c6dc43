"""TreeSearch: derived features chosen by what they add to a boosting model."""
import pickle

import numpy as np
import pandas as pd
import pytest
from sklearn.model_selection import KFold, cross_validate
from sklearn.pipeline import Pipeline

from karrow_libs.prepare import PrepareFrame, TableValues
from karrow_libs.search import TreeSearch

from conftest import search_table as table

lightgbm = pytest.importorskip("lightgbm")

F64 = np.dtype("float64")


def ratio_table(n=3000, p=6, seed=1, classes=0):
    """y = sin(3 log(x2 / x3)) + sqrt(x4) + noise: a ratio trees need many splits for, a monotone term they do not."""
    rng = np.random.default_rng(seed)
    X = rng.uniform(0.5, 2.0, (n, p))
    X[:, 2:4] = rng.uniform(0.1, 1.0, (n, 2))
    y = np.sin(3 * np.log(X[:, 2] / X[:, 3])) + np.sqrt(X[:, 4]) + 0.1 * rng.normal(size=n)
    if classes:  # bands of the ratio: wedges between rays from the origin, diagonal to every axis
        margin = np.sin(3 * np.log(X[:, 2] / X[:, 3])) + 0.2 * rng.normal(size=n)
        y = np.asarray(["c" + str(int(v)) for v in pd.qcut(margin, classes, labels=False)])
    return table(X), y


@pytest.fixture(scope="module")
def ratio_fit():
    X, y = ratio_table()
    return X, y, TreeSearch(task="regression", keep=5).fit(X, y)


def test_planted_ratio_is_kept_first_and_appended_by_the_module(ratio_fit):
    X, y, ts = ratio_fit
    names = [k["name"] for k in ts.kept_]
    assert names and names[0] == "divide(x2__x3)"
    assert ts.kept_[0]["transform"] == "divide" and ts.kept_[0]["score"] > 0
    assert ts.selector == "tree" and ts.score_name_ == "gain" and "LightGBM" in ts.scored_against_
    out = ts.transform(X)
    assert out.names[:6] == X.names and out.names[6:] == names and out.n_inputs == 6
    a, b = 2, 3
    np.testing.assert_allclose(out.values[:, 6], X.values[:, a] / X.values[:, b])
    assert out.lineage[6] == {"expression": {"op": "divide", "params": [{"name": "$x" + str(a)},
                                                                         {"name": "$x" + str(b)}]}}
    stats = {e["transform"]: e for e in ts.candidate_stats_}
    # f(b, a) splits the rows as f(a, b) does: each unordered pair is a candidate once.
    assert stats["divide"]["considered"] == 6 * 5 // 2 and stats["divide"]["skipped"] is None


def test_monotone_transform_of_one_column_is_not_kept(ratio_fit):
    X, y, _ = ratio_fit
    ts = TreeSearch(task="regression", transforms=("sqrt", "log", "square", "divide")).fit(X, y)
    assert {k["transform"] for k in ts.kept_} == {"divide"}


@pytest.mark.parametrize("task", ["regression", "classification"])
def test_noise_keeps_nothing(task):
    rng = np.random.default_rng(3)
    X = rng.uniform(0.5, 2.0, (1500, 6))
    y = rng.normal(size=1500) if task == "regression" else rng.choice(["a", "b"], 1500)
    ts = TreeSearch(task=task).fit(table(X), y)
    assert ts.kept_ == []
    out = ts.transform(table(X))
    assert out.shape == (1500, 6) and out.names == ["x" + str(i) for i in range(6)]


@pytest.mark.parametrize("classes", [2, 3])
def test_classification_finds_the_ratio(classes):
    X, y = ratio_table(classes=classes)
    ts = TreeSearch(keep=3).fit(X, y)  # text labels: classification inferred
    assert ts.task_ == "classification" and list(ts.classes_) == ["c" + str(i) for i in range(classes)]
    assert ts.kept_ and ts.kept_[0]["name"] == "divide(x2__x3)"
    assert "Brier score" in ts.scored_against_


def test_same_seed_same_features_and_pickles(ratio_fit):
    X, y, ts = ratio_fit
    again = TreeSearch(task="regression", keep=5).fit(X, y)
    assert [(k["name"], k["score"]) for k in again.kept_] == [(k["name"], k["score"]) for k in ts.kept_]
    loaded = pickle.loads(pickle.dumps(ts))
    np.testing.assert_array_equal(loaded.transform(X).values, ts.transform(X).values)


def test_sampled_rows_and_threads_do_not_change_the_interface(ratio_fit):
    X, y, _ = ratio_fit
    calls = []
    ts = TreeSearch(task="regression", sample_rows=1000, n_jobs=2).fit(X, y, progress=lambda *a: calls.append(a))
    assert ts.sampled_rows_ == 1000
    assert all(0 <= done <= total for done, total, _ in calls)
    labels = list(dict.fromkeys(label for _, _, label in calls))
    assert labels[:2] == ["boosting the original columns", "screening candidates"]
    assert ts.transform(X).shape[0] == 3000


def test_refits_inside_cross_validation():
    rng = np.random.default_rng(5)
    n = 1500
    df = pd.DataFrame({"a": rng.uniform(0.1, 1, n), "b": rng.uniform(0.1, 1, n), "c": rng.uniform(0, 1, n),
                       "city": rng.choice(["north", "south", "east"], n)})
    y = np.sin(3 * np.log(df["a"] / df["b"])) + (df["city"] == "east") + 0.1 * rng.normal(size=n)
    pipe = Pipeline([("prepare", PrepareFrame()), ("search", TreeSearch(task="regression", keep=3)),
                     ("values", TableValues()),
                     ("model", lightgbm.LGBMRegressor(n_estimators=50, verbose=-1, n_jobs=1))])
    cv = cross_validate(pipe, df, y, cv=KFold(3, shuffle=True, random_state=0), error_score="raise",
                        return_estimator=True)
    assert cv["test_score"].min() > 0.8
    for fitted in cv["estimator"]:  # a search fitted on each fold's training rows only
        search = fitted.named_steps["search"]
        assert search.kept_ and search.kept_[0]["name"] == "divide(a__b)"
        assert fitted.named_steps["model"].n_features_in_ == search.n_features_in_ + len(search.kept_)
    assert pipe.fit(df, y).predict(df.iloc[:7]).shape == (7,)


def test_group_deviation_is_built_from_the_group_mean():
    rng = np.random.default_rng(7)
    n = 3000
    groups = np.asarray(list("ABCDEFGH"))[rng.integers(0, 8, n)]
    df = pd.DataFrame({"g": groups, "w": rng.uniform(0, 1, n)})
    df["v"] = 3 * pd.Series(rng.normal(size=8), index=list("ABCDEFGH"))[groups].to_numpy() + rng.normal(size=n)
    y = 2 * (df["v"] - df.groupby("g")["v"].transform("mean")) + df["w"] + 0.3 * rng.normal(size=n)
    prep = PrepareFrame().fit(df, y)
    table_ = prep.transform(df)
    ts = TreeSearch(task="regression", keep=3).fit(table_, y.to_numpy())
    first = ts.kept_[0]
    assert first["name"] == "diff(v__groupbymean(g___v___))" and first["round"] == 2
    assert first["lineage"]["expression"]["op"] == "diff"
    second = [e for e in ts.candidate_stats_ if e["round"] == 2]
    assert [e["transform"] for e in second] == ["diff", "divide"] and second[0]["considered"] >= 1
    # v takes both signs, so a ratio to its group's mean would not be a relative size: only w's is offered.
    assert second[1]["considered"] == second[0]["considered"] - 1 and second[1]["skipped"] is None
    # Applied to new rows with the group means learnt at fit.
    new = df.iloc[:5].copy()
    new["v"] = [0.0, 1.0, 2.0, 3.0, 4.0]
    out = pickle.loads(pickle.dumps(ts)).transform(prep.transform(new))
    means = df.groupby("g")["v"].mean()[new["g"]].to_numpy()
    np.testing.assert_allclose(out.values[:, out.names.index(first["name"])], new["v"] - means)


@pytest.mark.parametrize("seed", [7, 8])
def test_ratio_to_the_group_mean_is_found_for_groups_of_different_scales(seed):
    rng = np.random.default_rng(seed)
    n = 3000
    levels = list("ABCDEFGH")
    scale = pd.Series(np.exp(rng.normal(size=8)), index=levels)
    groups = np.asarray(levels)[rng.integers(0, 8, n)]
    df = pd.DataFrame({"g": groups, "w": rng.uniform(0, 1, n)})
    df["v"] = scale[groups].to_numpy() * rng.uniform(0.5, 1.5, n)
    relative = df["v"] / df.groupby("g")["v"].transform("mean")
    y = np.sin(4 * relative) + df["w"] + 0.1 * rng.normal(size=n)
    prep = PrepareFrame().fit(df, y)
    ts = TreeSearch(task="regression", keep=3).fit(prep.transform(df), y.to_numpy())
    first = ts.kept_[0]
    assert first["name"] == "divide(v__groupbymean(g___v___))" and first["round"] == 2
    assert first["transform"] == "divide" and first["lineage"]["expression"]["op"] == "divide"
    new = df.iloc[:6].copy()
    new["v"] = [0.5, 1.0, 2.0, 3.0, 4.0, 5.0]
    out = pickle.loads(pickle.dumps(ts)).transform(prep.transform(new))
    means = df.groupby("g")["v"].mean()[new["g"]].to_numpy()
    np.testing.assert_allclose(out.values[:, out.names.index(first["name"])], new["v"] / means)


@pytest.mark.parametrize("rows", [100, 400])
def test_catalogue_names_outside_the_listed_ones_are_accepted(rows):
    X, y = ratio_table(n=rows)
    ts = TreeSearch(task="regression", transforms=("pair", "divide")).fit(X, y)
    assert [e["transform"] for e in ts.candidate_stats_][:2] == ["pair", "divide"]
    with pytest.raises(ValueError, match="unknown transform 'no_such'"):
        TreeSearch(task="regression", transforms=("divide", "no_such")).fit(X, y)


def count_fits(monkeypatch):
    """Rounds of every boosting fit the search makes, and whether it started from the base model."""
    fits = []
    train = lightgbm.train

    def counted(params, data, num_boost_round=100, **kw):
        fits.append((num_boost_round, data.init_score is not None))
        return train(params, data, num_boost_round=num_boost_round, **kw)

    monkeypatch.setattr(lightgbm, "train", counted)
    return fits


@pytest.mark.parametrize("rows, stage_rounds", [(400, {20}), (3000, {10, 20})])
def test_a_stage_that_would_see_no_new_rows_is_skipped(monkeypatch, rows, stage_rounds):
    from karrow_libs.search._trees import BASE_FOLDS, COUNTS

    X, y = ratio_table(n=rows)
    fits = count_fits(monkeypatch)
    ts = TreeSearch(task="regression", shortlist=4).fit(X, y)
    staged = [r for r, init in fits if init]
    assert set(staged) == stage_rounds
    assert len(staged) <= 2 * 4 * len(stage_rounds)
    # Base model, stages, and the count (none, all, then the counts tried): nothing else is boosted.
    assert len(fits) - len(staged) <= BASE_FOLDS + 2 + len(COUNTS)
    assert ts.kept_ and ts.kept_[0]["name"] == "divide(x2__x3)"


@pytest.mark.parametrize("task", ["regression", "classification"])
def test_noise_rarely_reaches_the_count(monkeypatch, task):
    from karrow_libs.search._trees import BASE_FOLDS

    fits = count_fits(monkeypatch)
    counted = kept = 0
    for seed in range(20):
        rng = np.random.default_rng(seed)
        X = rng.uniform(0.5, 2.0, (300, 8))
        y = rng.normal(size=300) if task == "regression" else rng.choice(["a", "b"], 300)
        del fits[:]
        kept += bool(TreeSearch(task=task).fit(table(X), y).kept_)
        # Chance gives about half the shortlisted candidates a positive gain; only the ones
        # that stand out from their rows' noise are worth the count's fits.
        counted += sum(1 for _, init in fits if not init) > BASE_FOLDS
    assert counted <= 8 and kept <= 1


@pytest.mark.parametrize("rows, skipped", [(60, True), (200, True), (240, False), (400, False)])
def test_tables_too_small_for_the_stages_boost_only_the_base_model(monkeypatch, rows, skipped):
    from karrow_libs.search._trees import BASE_FOLDS

    X, y = ratio_table(n=rows)
    fits = count_fits(monkeypatch)
    ts = TreeSearch(task="regression").fit(X, y)
    reasons = {e["skipped"] for e in ts.candidate_stats_}
    if skipped:
        assert ts.kept_ == [] and len(fits) == BASE_FOLDS
        assert [e["transform"] for e in ts.candidate_stats_] == ["product", "divide", "diff", "sum", "groupbymean"]
        assert len(reasons) == 1 and reasons.pop().startswith("too few rows for the boosting stages")
        assert ts.transform(X).shape == X.shape
    else:
        assert len(fits) > BASE_FOLDS and not any(r and r.startswith("too few") for r in reasons)


@pytest.mark.parametrize("levels, grouped", [(2, False), (3, True), (8, True), (40, False)])
def test_group_columns_need_more_than_two_and_at_most_twenty_levels(levels, grouped):
    rng = np.random.default_rng(2)
    n = 600
    X = np.column_stack([rng.integers(0, levels, n), rng.uniform(0.5, 2.0, n), rng.uniform(0.5, 2.0, n)])
    t = table(X, ["g", "v", "w"], [np.dtype("int64"), F64, F64])
    ts = TreeSearch(task="regression", transforms=("groupbymean",)).fit(t, rng.normal(size=n))
    stats = {(e["round"], e["transform"]): e for e in ts.candidate_stats_}
    assert (stats[(1, "groupbymean")]["considered"] > 0) == grouped
    assert ((2, "diff") in stats) == grouped


@pytest.mark.parametrize("classes", [2, 5])
def test_stages_from_confident_scores_stay_near_them(classes):
    """Rare classes scored far below 0 leave a leaf almost no hessian: its value must not run off."""
    from karrow_libs.search._trees import STAGE_PARAMS, _Loss

    rng = np.random.default_rng(0)
    n = 1200
    y = rng.choice(classes, n, p=[0.45, 0.4, 0.1, 0.03, 0.02][:classes] if classes == 5 else None)
    guess = np.where(rng.random(n) < 0.85, y, (y + rng.integers(1, classes, n)) % classes)
    loss = _Loss("classification", classes)
    if loss.k == 1:
        raw = np.where(guess == 1, 10.0, -10.0) + rng.normal(size=n)
    else:
        raw = 10.0 * np.eye(classes)[guess] + rng.normal(size=(n, classes))
    x = rng.uniform(size=(n, 2))  # nothing to learn beyond the scores
    fit, held = slice(0, n // 2), slice(n // 2, None)
    out = TreeSearch()._boost(loss, x[fit], y[fit].astype(float), raw[fit], x[held], raw[held], 20, **STAGE_PARAMS)
    start = loss.rows(raw[held], y[held]).mean()
    assert loss.rows(out, y[held]).mean() <= start + 0.05
