"""karrow-fe: mostly in-process through main(argv) on tiny tables; subprocesses where the process matters."""

import io
import json
import os
import re
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from karrow_libs.cli import lineage, main
from karrow_libs.cli.report import Progress, RunResult, render
from karrow_libs.evaluate import Comparison

from conftest import run_cli

pytest.importorskip("karrow_libs.vantor.transforms.transform_utils")

FAST = ["--quiet", "--transforms", "sqrt,log,product", "--keep", "3", "--cv", "2"]


def karrow_fe(*args, stdin=None, env=None):
    return subprocess.run([sys.executable, "-m", "karrow_libs", *map(str, args)], capture_output=True,
                          text=True, input=stdin, timeout=120, env=env)


def small_table(n=40, seed=3):
    rng = np.random.default_rng(seed)
    a = rng.integers(1, 200, n)  # an integer column with too many levels to be categorical
    b = rng.uniform(1.0, 5.0, n)
    c = rng.normal(size=n)
    frame = pd.DataFrame({"a": a, "b": b.round(3), "c": c.round(3), "note": rng.choice(["x", "y z"], n)})
    frame["y"] = 3 * a * b + c + rng.normal(scale=0.1, size=n)
    frame["label"] = np.where(a * b > np.median(a * b), "high", "low")
    return frame


@pytest.fixture
def table_csv(tmp_path):
    path = tmp_path / "data.csv"
    small_table().to_csv(path, index=False)
    return path


# -------------------------------------------------------------- lineage renderer


def leaf(name):
    return {"name": "$" + name}


def expr(op, *params):
    return {"expression": {"op": op, "params": list(params)}}


@pytest.mark.parametrize("obj,text,depth", [
    (leaf("bmi"), "$bmi", 0),
    (expr("product", expr("sqrt", leaf("bmi")), leaf("bp")), "product(sqrt($bmi), $bp)", 2),
    (expr("groupbymean", {"output_index": 1}, leaf("g"), expr("log", leaf("v"))), "groupbymean[1]($g, log($v))", 2),
    (expr("is", leaf("sex"), {"value": "female"}), "$sex=female", 1),
    (expr("target_mean", leaf("city")), "mean(target | $city)", 1),
    (expr("groupbymean", expr("is_missing", leaf("age")), expr("frequency", leaf("c"))),
     "groupbymean(is_missing($age), frequency($c))", 2),
    # headers with spaces, "__" or commas are quoted, so the expression reads one way only
    (expr("product", leaf("a__b"), leaf("c")), 'product($"a__b", $c)', 1),
    (expr("sum", leaf("my col"), leaf("x, $y")), 'sum($"my col", $"x, $y")', 1),
    (expr("pca", {"output_index": 0}, {"all_inputs": True}), "pca[0](*)", 1),
    (expr("pca"), "pca()", 1),
    ({"unexpected": [1, 2]}, '{"unexpected":[1,2]}', None),
])
def test_render_lineage_and_depth(obj, text, depth):
    assert lineage.render(obj) == text
    assert depth is None or lineage.depth(obj) == depth


def test_render_handles_nesting_deeper_than_the_recursion_limit():
    obj = leaf("x")
    for _ in range(sys.getrecursionlimit() + 100):
        obj = expr("abs", obj)
    assert lineage.render(obj).endswith("$x" + ")" * (sys.getrecursionlimit() + 100))


def test_whole_table_outputs_are_marked_as_derived_also_when_nested():
    objs = [leaf("a"), leaf("pca_1"), expr("product", leaf("pca_1"), leaf("a"))]
    marked = lineage.mark_whole_table(objs, ["a", "b"], {"pca_1": "pca"})
    assert marked[0] == leaf("a")
    assert lineage.render(marked[1]) == "pca[1](*)" and lineage.depth(marked[1]) == 1
    assert lineage.render(marked[2]) == "product(pca[1](*), $a)"


# -------------------------------------------------------------- report pieces


def test_progress_line_fits_80_columns_and_draws_only_when_enabled():
    bar = Progress(io.StringIO(), True, "cross-validation")
    line = bar.line(3, 7, "fold 2/5 engineered: round 1: product " + "x" * 200, 12.5)
    assert len(line) <= 79 and line.endswith("...") and "42%" in line
    bar(7, 7, "done")
    assert bar.stream.getvalue().startswith("\r")
    quiet = Progress(io.StringIO(), False)
    quiet(1, 2, "x")
    assert quiet.stream.getvalue() == ""


@pytest.mark.parametrize("enabled,every,lines", [(False, 0.0, 3), (False, None, 0), (False, 3600.0, 0)])
def test_progress_writes_plain_lines_where_no_bar_is_drawn(enabled, every, lines):
    stream = io.StringIO()
    with Progress(stream, enabled, "search", every) as progress:
        for done in (1, 2, 4):
            progress(done, 4, "round 1")
    text = stream.getvalue()
    assert "\r" not in text and text.count("\n") == lines
    if lines:
        assert text.splitlines()[-1].startswith("karrow-fe: search 100% after ") and text.endswith(": round 1\n")


@pytest.mark.parametrize("budget,stopped", [("0.001", True), (None, False)])
def test_time_budget_stops_screening_and_the_report_says_so(tmp_path, capsys, budget, stopped):
    rng = np.random.default_rng(3)
    frame = pd.DataFrame(rng.normal(size=(3000, 12)), columns=["c" + str(i) for i in range(12)])
    frame["y"] = frame.c0 * frame.c1 + frame.c2 / (2 + frame.c3.abs()) + rng.normal(scale=0.1, size=3000)
    frame.to_csv(tmp_path / "t.csv", index=False)
    argv = [tmp_path / "t.csv", "--target", "y", "--quiet", "--model", "linear", "--cv", "0"]
    code, out, err = run_cli(capsys, *argv, *(["--time-budget", budget] if budget else []))
    assert code == 0, err
    assert ("screening stopped early: time budget of 0.001 s" in out) == stopped, out
    assert "product($c0, $c1)" in out  # the first step's best is kept either way


def cv_result(base, eng):
    n = len(base)
    return Comparison("regression", n, 0, ["r2"], ["linear"], {"linear": "ridge regression"},
                      {"linear": {"original": {"r2": base}, "engineered": {"r2": eng}}},
                      {"linear": {"original": [3] * n, "engineered": [5] * (n - 1) + [6]}}, {"models": 0.1})


@pytest.mark.parametrize("base,eng,expected", [
    ([0.85, 0.86, 0.84], [0.9, 0.91, 0.9], []),
    ([0.85, 0.86, 0.84], [0.84, 0.85, 0.83], ["score below the original"]),
    ([0.5, 0.52, 0.48], [0.9, 0.3, 0.9], ["fold 2 collapsed"]),
    ([0.857, 0.86, 0.85], [0.8, -0.32, 0.8], ["score below the original", "fold 2 collapsed"]),
])
def test_report_warns_when_engineering_hurts(base, eng, expected):
    text = render(RunResult("t.csv", 100, 3, "y", "regression", cv=cv_result(base, eng)))
    warnings = [line for line in text.splitlines() if line.startswith("warning: ")]
    assert len(warnings) == len(expected)
    for w, words in zip(warnings, expected):
        assert words in w
    # per-fold scores and the worst fold are printed
    row = [line for line in text.splitlines() if "engineered" in line.split()][0]
    assert "{:.3f}".format(min(eng)) in row and all("{:.3f}".format(s) in row for s in eng)
    assert " 5-6 " in row  # the column count of every fold, not of the last one


def test_report_shows_preparation_candidates_and_dropped_rows():
    plan = [{"column": "age", "kind": "numeric", "how": "median-filled", "outputs": ["age"]},
            {"column": "sex", "kind": "category", "how": "one-hot", "outputs": ["sex=female"]},
            {"column": "name", "kind": "left_out", "how": "", "outputs": [], "reason": "text, 1309 distinct values"}]
    stats = [{"round": 1, "transform": "product", "considered": 1560, "constant": 2, "copies": 7, "skipped": None},
             {"round": 1, "transform": "onehot", "considered": 0, "constant": 0, "copies": 0,
              "skipped": "no eligible column"}]
    kept = [{"name": "product($age, $sex=female)", "lineage": expr("product", leaf("age"), expr("is", leaf("sex"), {"value": "female"})),
             "score": 0.25,
             "transform": "product", "round": 1}]
    result = RunResult("t.csv", 1309, 3, "survived", "classification", dropped_rows=4, plan=plan,
                       n_kinds={"numeric": 1, "categories": 1, "dates": 0, "missing indicators": 1}, n_inputs=3,
                       score_name="gain", scored_against="correlation with the residual of a ridge model",
                       candidate_stats=stats, kept=kept)
    text = render(result)
    assert "dropped 4 row(s) with no value in 'survived'" in text
    assert "prepared   3 columns: 1 numeric, 1 categories, 1 missing indicators" in text
    assert "categories (one-hot): sex" in text and "left out: name (text, 1309 distinct values)" in text
    assert "1,560" in text and "no eligible column" in text and "searched   1,560 candidates" in text
    assert "scores: correlation with the residual" in text and "product($age, $sex=female)" in text


# -------------------------------------------------------------- a reference evaluator for lineage

OPS = {"sqrt": np.sqrt, "log": np.log, "square": np.square, "product": np.multiply, "sum": np.add,
       "diff": np.subtract, "divide": np.true_divide}


def evaluate(obj, frame):
    """Recompute a column from the input table by its lineage (NaN and infinities become 0, as in the transforms).

    ``None`` for the integer codes of a text category (the codes are the preparation's own).
    """
    if "name" in obj:
        col = frame[obj["name"][1:]]
        return col.to_numpy(dtype=float) if col.dtype.kind in "iuf" else None
    e = obj["expression"]
    if e["op"] == "is":
        return (frame[e["params"][0]["name"][1:]].astype(str) == str(e["params"][1]["value"])).to_numpy(dtype=float)
    with np.errstate(all="ignore"):
        out = OPS[e["op"]](*[evaluate(p, frame) for p in e["params"]])
    return np.where(np.isfinite(out), out, 0.0)


def run_with_outputs(outdir, csv, *extra, target="y"):
    """(model-ready matrix, lineage) written by a run."""
    out, lin, model = outdir / "table.csv", outdir / "lineage.json", outdir / "pipe.joblib"
    argv = [csv, "--target", target, *FAST, "--out-matrix", out, "--lineage", lin, "--save", model, *extra]
    code = main([str(a) for a in argv])
    assert code == 0
    return pd.read_csv(out), json.loads(lin.read_text())


@pytest.fixture(scope="module")
def trained(tmp_path_factory):
    """One subprocess run shared by the tests that read its outputs."""
    d = tmp_path_factory.mktemp("trained")
    small_table().drop(columns=["label"]).to_csv(d / "data.csv", index=False)
    r = karrow_fe(d / "data.csv", "--target", "y", *FAST, "--out-matrix", d / "table.csv", "--lineage", d / "lin.json",
                  "--save", d / "pipe.joblib", "--out", d / "as_read.csv",
                  env=dict(os.environ, XDG_CACHE_HOME=str(d / "cache")))
    assert r.returncode == 0, r.stderr
    return d, r.stdout, r.stderr, pd.read_csv(d / "table.csv"), json.loads((d / "lin.json").read_text())


def test_regression_run_writes_a_table_whose_columns_follow_their_lineage(trained):
    _, stdout, stderr, table, lin = trained
    assert stderr == "" and "\r" not in stderr  # --quiet
    assert "Kept derived features" in stdout and "ridge regression" in stdout and "R^2" in stdout
    assert "LightGBM" in stdout and "best engineered model: " in stdout and "the saved pipeline holds " in stdout
    assert "'y' (regression, numbers with 40 values)" in stdout and "per fold" in stdout
    assert list(lin) == list(table.columns[:-1]) and table.columns[-1] == "y"
    source = small_table().drop(columns=["label"])
    assert np.allclose(table["y"], source["y"])
    assert re.search(r"categories \(one-hot[^\n]*\): note", stdout)
    assert any(lineage.render(obj) == "$note=y z" for obj in lin.values())
    for name, obj in lin.items():
        expected = evaluate(obj, source)
        assert expected is not None or name == "note"
        assert expected is None or np.allclose(table[name], expected, rtol=1e-9, atol=1e-9), name
        if "expression" in obj and obj["expression"]["op"] != "is":
            assert lineage.render(obj) in stdout


def bump_table(n=200):
    """y is a bump over (u, v): the kernel features of the whole table add what a linear model lacks."""
    rng = np.random.default_rng(0)
    x = rng.uniform(-2, 2, (n, 2))
    y = np.exp(-(x ** 2).sum(axis=1)) + rng.normal(scale=0.05, size=n)
    return pd.DataFrame({"u": x[:, 0].round(4), "v": x[:, 1].round(4), "y": y, "label": 0})


OUTPUTS = [
    # (case, table builder, extra options, check(out table, lineage, stdout))
    ("integer target stays integer", lambda: small_table().assign(y=lambda f: (f["y"] // 100).astype(int)),
     ["--task", "regression"], lambda t, l, s: t["y"].dtype.kind == "i" and "(regression, --task)" in s),
    ("whole-table outputs are derived", lambda: bump_table(), ["--transforms", "nystroem", "--cv", "0"],
     lambda t, l, s: any(lineage.render(o).startswith("nystroem[") and lineage.render(o).endswith("(*)")
                         for o in l.values()) and "nystroem[" in s),
    ("index and empty columns left out",
     lambda: small_table().assign(row=range(40), blank=np.nan, inf=np.inf), ["--cv", "0"],
     lambda t, l, s: not {"row", "blank", "inf"} & set(t.columns)
     and "row (an identifier: a row number (0..39))" in s and "'blank': empty" in s and "'inf': only infinite" in s),
    ("semicolon-separated file", lambda: small_table(), ["--sep", ";"], lambda t, l, s: "a" in t.columns),
]


@pytest.mark.parametrize("case,build,extra,check", OUTPUTS, ids=[o[0] for o in OUTPUTS])
def test_outputs(tmp_path, capsys, case, build, extra, check):
    csv = tmp_path / "in.csv"
    build().drop(columns=["label"]).to_csv(csv, index=False, sep=";" if "--sep" in extra else ",")
    table, lin = run_with_outputs(tmp_path, csv, *extra)
    stdout = capsys.readouterr().out
    assert check(table, lin, stdout), stdout
    assert list(lin) == list(table.columns[:-1])


def test_a_seed_gives_the_same_outputs_for_any_jobs_and_another_seed_other_folds(tmp_path, table_csv, capsys,
                                                                                   monkeypatch):
    from karrow_libs import evaluate

    monkeypatch.setattr(evaluate, "pool_pays", lambda seconds: True)  # the pool is used whatever the fold time
    results = []
    for run, seed, jobs in (("one", "3", "1"), ("two", "3", "2"), ("three", "4", "1")):
        (tmp_path / run).mkdir()
        run_with_outputs(tmp_path / run, table_csv, "--seed", seed, "--jobs", jobs, "--cv", "3",
                         "--transforms", "sqrt,product,pair")
        report = capsys.readouterr().out.replace(str(tmp_path / run), "DIR")
        results.append([report] + [(tmp_path / run / f).read_bytes() for f in ("table.csv", "lineage.json")])
    assert results[0] == results[1]
    per_fold = [[line for line in r[0].splitlines() if "original" in line.split()] for r in results]
    assert per_fold[0] and per_fold[0] != per_fold[2]


def passenger_table(n=120, seed=5):
    rng = np.random.default_rng(seed)
    sex = rng.choice(["female", "male"], n)
    cls = rng.choice(["1st", "2nd", "3rd"], n)
    age = rng.uniform(1, 80, n).round(1)
    age[rng.random(n) < 0.2] = np.nan
    survived = np.where((sex == "female") ^ (rng.random(n) < 0.2), "yes", "no").astype(object)
    survived[:5] = None
    return pd.DataFrame({"name": [f"person {i}" for i in range(n)], "sex": sex, "pclass": cls, "age": age,
                         "boarded": pd.date_range("2001-03-01", periods=n, freq="37h").strftime("%Y-%m-%d"),
                         "survived": survived})


def test_classification_report_and_apply_with_an_unseen_category_probabilities_and_ids(tmp_path, capsys):
    passenger_table().to_csv(tmp_path / "p.csv", index=False)
    code, out, err = run_cli(capsys, tmp_path / "p.csv", "--target", "survived", *FAST, "--save",
                             tmp_path / "m.joblib")
    assert code == 0, err
    assert "'survived' (classification, two levels (no/yes))" in out and "logistic regression" in out
    assert "accuracy" in out and "ROC AUC" in out
    assert "dropped 5 row(s) with no value in 'survived'" in out
    prepared = [line for line in out.splitlines() if line.startswith("prepared")][0]
    for kind in ("numeric", "categories", "dates", "missing indicators"):
        assert kind in prepared, prepared
    assert "left out: name (" in out
    new = passenger_table(n=6, seed=8).drop(columns=["survived"])
    new.loc[0, "pclass"] = "crew"  # never seen in training
    new.to_csv(tmp_path / "new.csv", index=False)
    code, out, err = run_cli(capsys, "apply", tmp_path / "m.joblib", tmp_path / "new.csv")
    assert code == 0, err
    assert out.splitlines()[0] == "predicted_survived" and set(out.splitlines()[1:]) <= {"yes", "no"}
    code, out, err = run_cli(capsys, "apply", tmp_path / "m.joblib", tmp_path / "new.csv", "--proba", "--id", "name")
    assert code == 0, err
    pred = pd.read_csv(io.StringIO(out))
    assert list(pred.columns) == ["name", "proba_no", "proba_yes"] and list(pred["name"]) == list(new["name"])
    assert np.allclose(pred["proba_no"] + pred["proba_yes"], 1.0)


@pytest.mark.parametrize("n,target,options,warning", [
    (80, lambda n: np.where(np.arange(n) % 10 == 0, "Yes", "No"), [*FAST, "--metric", "accuracy"],
     "warning: 90% of the rows are 'No': always predicting it scores accuracy 0.900"),
    (60, lambda n: ["k" + str(i % 30) for i in range(n)], ["--quiet", "--transforms", "sqrt", "--cv", "0"],
     "warning: the target 'y' has 30 classes for 60 rows (about 2 rows per class)"),
], ids=["imbalanced", "too many classes"])
def test_odd_class_targets_are_one_line_warnings(tmp_path, capsys, n, target, options, warning):
    small_table(n=n).drop(columns=["label"]).assign(y=target(n)).to_csv(tmp_path / "c.csv", index=False)
    code, out, err = run_cli(capsys, tmp_path / "c.csv", "--target", "y", *options)
    assert code == 0 and warning in out, err


def test_apply_predicts_like_the_pipeline(trained, tmp_path, capsys):
    d = trained[0]
    new = small_table(n=12, seed=9).drop(columns=["y"])[["note", "c", "b", "a"]]  # columns found by name
    new.to_csv(tmp_path / "new.csv", index=False)
    code, out, err = run_cli(capsys, "apply", d / "pipe.joblib", tmp_path / "new.csv", "--out", tmp_path / "p.csv")
    assert code == 0, err
    predicted = pd.read_csv(tmp_path / "p.csv")
    import joblib

    pipe = joblib.load(d / "pipe.joblib")
    expected = pipe.predict(pipe.named_steps["features"].select_inputs(pd.read_csv(tmp_path / "new.csv")))
    assert list(predicted.columns) == ["predicted_y"] and np.allclose(predicted["predicted_y"], expected, rtol=1e-12)
    code, out, err = run_cli(capsys, "apply", d / "pipe.joblib", tmp_path / "new.csv", "--proba")
    assert code == 2 and "--proba needs a classification pipeline" in err


def test_failing_engineered_pipeline_in_cv_exits_1_and_writes_nothing(tmp_path, table_csv, capsys, monkeypatch):
    from sklearn.base import BaseEstimator, RegressorMixin

    from karrow_libs import evaluate

    class FailsOnFewerRows(RegressorMixin, BaseEstimator):
        def fit(self, X, y):
            if len(X) < 40:
                raise ValueError("Found unknown categories [5.0] in column 0")
            self.n_features_in_ = X.shape[1]
            return self

        def predict(self, X):
            return np.zeros(len(X))

    monkeypatch.setattr(evaluate, "make_model", lambda task, family="linear", seed=0: FailsOnFewerRows())
    code, out, err = run_cli(capsys, table_csv, "--target", "y", *FAST, "--save", tmp_path / "m.joblib")
    assert code == 1 and out == "" and not (tmp_path / "m.joblib").exists()
    assert "pipeline failed in cross-validation fold 1 (ValueError: Found unknown" in err
    assert "nothing was written" in err


# -------------------------------------------------------------- one name, model families, jobs, seed


@pytest.fixture(scope="module")
def named_run(tmp_path_factory):
    """A linear run with every output, on headers that need quoting: (folder, report)."""
    d = tmp_path_factory.mktemp("named")
    small_table().drop(columns=["label"]).rename(columns={"a": "a__b", "b": "my b"}).to_csv(d / "in.csv",
                                                                                            index=False)
    argv = [d / "in.csv", "--target", "y", *FAST, "--model", "linear", "--out", d / "out.csv", "--out-matrix",
            d / "matrix.csv", "--lineage", d / "lin.json", "--save", d / "pipe.joblib"]
    capture, report = pytest.MonkeyPatch(), io.StringIO()
    capture.setattr(sys, "stdout", report)
    try:
        assert main([str(a) for a in argv]) == 0
    finally:
        capture.undo()
    return d, report.getvalue()


def test_one_name_per_feature_in_report_api_files_and_apply(named_run):
    import joblib

    d, report = named_run
    kept_rows = report[report.index("Kept derived features"):report.index("Cross-validated")].splitlines()[3:]
    reported = [line.split(None, 2)[2] for line in kept_rows if line.strip()]
    source, out = pd.read_csv(d / "in.csv"), pd.read_csv(d / "out.csv")
    matrix, lin = pd.read_csv(d / "matrix.csv"), json.loads((d / "lin.json").read_text())
    pipe = joblib.load(d / "pipe.joblib")
    features = pipe.named_steps["features"]
    api = list(features.get_feature_names_out())
    derived = api[features.n_inputs_:]
    assert reported and sorted(reported) == sorted(derived)
    assert list(out.columns) == list(source.columns) + derived
    assert list(matrix.columns) == api + ["y"] and list(lin) == api
    assert any('$"a__b"' in name or '$"my b"' in name for name in derived)  # quoted, so it reads one way only
    for name in derived:
        assert lineage.render(lin[name]) == name
        assert np.allclose(out[name], matrix[name])
    # --model linear: one family compared, and it is the saved pipeline's
    table = report[report.index("Cross-validated"):]
    assert "ridge regression " in table and "LightGBM " not in table and "best engineered model: " not in report
    assert "(--model linear)" in report and type(pipe.steps[-1][1]).__name__ == "Ridge"


def test_out_keeps_the_input_columns_as_they_came(named_run):
    source, out = pd.read_csv(named_run[0] / "in.csv"), pd.read_csv(named_run[0] / "out.csv")
    assert out["note"].tolist() == source["note"].tolist()  # text stays text
    assert out["a__b"].dtype.kind == "i" and out["a__b"].tolist() == source["a__b"].tolist()
    pd.testing.assert_frame_equal(out[source.columns], source)


@pytest.mark.parametrize("model,rows,saved", [  # --model linear: checked on the named run
    ("lgbm", ["LightGBM"], "LGBMRegressor"),
    ("both", ["ridge regression", "LightGBM"], None),
])
def test_model_families_are_compared_and_decide_the_saved_pipeline(tmp_path, table_csv, capsys, model, rows, saved):
    import joblib

    code, out, err = run_cli(capsys, table_csv, "--target", "y", *FAST, "--model", model, "--save",
                             tmp_path / "m.joblib")
    assert code == 0, err
    table = out[out.index("Cross-validated"):]
    for name in ("ridge regression", "LightGBM"):
        assert (name + " ") in table if name in rows else (name + " ") not in table
    assert ("best engineered model: " in out) == (model == "both")
    last = type(joblib.load(tmp_path / "m.joblib").steps[-1][1]).__name__
    if saved is None:
        best = re.search(r"best engineered model: (\S+)", out).group(1)
        saved = "Ridge" if best == "ridge" else "LGBMRegressor"
        assert "(best by cross-validation)" in out
    else:
        assert "(--model " + model + ")" in out
    assert last == saved


# -------------------------------------------------------------- list and start-up


def test_list_describes_every_transform_and_constraint_in_100_columns(capsys):
    from karrow_libs.cli.listing import CONSTRAINT_TEXT, TRANSFORM_TEXT

    code, out, _ = run_cli(capsys, "list")
    assert code == 0 and max(len(line) for line in out.splitlines()) <= 100
    rows = {line.split()[0]: line for line in out.splitlines() if line.startswith("  ")}
    code, js, _ = run_cli(capsys, "list", "--json")
    listed = json.loads(js)
    names = [e["name"] for e in listed["transforms"]]
    assert len(names) == 41 and names[0] == "sqrt" and set(names) == set(TRANSFORM_TEXT)
    assert listed["transforms"][0]["constraints"] == [["is_non_negative", "is_not_categorical"]]
    assert set(listed["constraints"]) <= set(CONSTRAINT_TEXT)
    for e in listed["transforms"]:
        assert e["description"] in rows[e["name"]] and e["class"] in rows[e["name"]]
    for c in ("nxor", "pair", "dtextr", "is_lt80pc_unique_int"):
        assert c in rows
    assert "pca" in rows and "whole table" in rows["pca"]


def test_catalogue_cache_is_rebuilt_when_unreadable(tmp_path, monkeypatch):
    from karrow_libs.cli import catalogue
    from karrow_libs.vantor.transforms import catalogue as module_catalogue

    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path))
    assert catalogue.entries() == module_catalogue.entries()
    path = catalogue._cache_path()
    assert path.startswith(str(tmp_path)) and os.path.isfile(path)
    with open(path, "w") as f:
        f.write("[{\"broken\"")
    assert catalogue.names() == module_catalogue.names()
    assert json.load(open(path)) == module_catalogue.entries()


@pytest.mark.parametrize("argv,code", [
    (["--help"], 0), (["run", "--help"], 0), (["--version"], 0), (["list"], 0), (["--keep", "-1"], 2),
    (["--transforms", "nope"], 2), (["apply"], 2),
])
def test_start_up_paths_import_no_heavy_library(argv, code):
    script = ("import sys\nfrom karrow_libs.cli import main\nrc = main(sys.argv[1:])\n"
              "heavy = [m for m in ('numpy', 'pandas', 'sklearn', 'karrow_libs.vantor.transforms.transform_utils') "
              "if m in sys.modules]\nprint('HEAVY', heavy, file=sys.stderr)\nsys.exit(rc)")
    main(["list"])  # fills the catalogue cache of this environment
    r = subprocess.run([sys.executable, "-c", script, *argv], capture_output=True, text=True, timeout=60)
    assert r.returncode == code and "HEAVY []" in r.stderr, r.stderr


def test_run_help_covers_the_new_options(capsys):
    assert main(["run", "--help"]) == 0
    text = capsys.readouterr().out
    for option in ("--selector", "gain", "--seed", "--task", "--metric", "--sep", "--engine", "--workers",
                   "--scheduler", "--sample-rows", "64 MiB", "--max-per-transform"):
        assert option in text, option


# -------------------------------------------------------------- bad input


def write(path, content):
    if isinstance(content, bytes):
        path.write_bytes(content)
    else:
        path.write_text(content)
    return path


BAD = [
    ("not text", lambda t, c: [write(t / "bin.csv", b"\xff\xfe\x00\x81" * 50), "--target", "y"], 1, "cannot read"),
    ("no such file", lambda t, c: [t / "absent.csv", "--target", "y"], 1, "no such file"),
    ("a directory", lambda t, c: [t, "--target", "y"], 1, "directory"),
    ("one row", lambda t, c: [write(t / "o.csv", "a,y\n1,2\n"), "--target", "y"], 1, "row"),
    ("single-valued target", lambda t, c: [write(t / "s.csv", "a,y\n1,2\n3,2\n4,2\n5,2\n"), "--target", "y"], 1,
     "single value"),
    ("only the target", lambda t, c: [write(t / "t.csv", "y\n1\n2\n3\n4\n"), "--target", "y"], 1,
     "no column besides the target"),
    ("only a row number", lambda t, c: [write(t / "r.csv", "i,y\n0,1\n1,5\n2,3\n3,4\n"), "--target", "y"], 1,
     "no usable feature column (left out: i: an identifier: a row number"),
    ("missing target column", lambda t, c: [c, "--target", "nope"], 2, "no column 'nope'"),
    ("no --target", lambda t, c: [c], 2, "--target"),
    ("unknown transform", lambda t, c: [c, "--target", "y", "--transforms", "sqrt,cosh"], 2, "valid names: "),
    ("negative keep", lambda t, c: [c, "--target", "y", "--keep", "-2"], 2, "--keep"),
    ("classification metric on regression", lambda t, c: [c, "--target", "y", "--metric", "accuracy"], 2,
     "--metric accuracy is for classification"),
    ("unknown metric", lambda t, c: [c, "--target", "y", "--metric", "r3"], 2, "unknown metric 'r3'"),
    ("dask option without dask", lambda t, c: [c, "--target", "y", "--workers", "2"], 2, "needs --engine dask"),
    ("bad separator", lambda t, c: [c, "--target", "y", "--sep", ";;"], 2, "--sep"),
    ("unknown model family", lambda t, c: [c, "--target", "y", "--model", "lgb"], 2,
     "--model takes linear, lgbm or both, got 'lgb'"),
    ("unknown --id", lambda t, c: [c, "--target", "y", "--id", "nope"], 2, "--id: no column 'nope'"),
    ("unknown --drop", lambda t, c: [c, "--target", "y", "--drop", "a,nope"], 2, "--drop: no column 'nope'"),
    ("bad --decimal", lambda t, c: [c, "--target", "y", "--decimal", ";"], 2, "expected '.' or ','"),
    ("bad --date-format", lambda t, c: [c, "--target", "y", "--date-format", "d"], 2, "COLUMN=FORMAT"),
    ("bad --encoding", lambda t, c: [c, "--target", "y", "--encoding", "klingon"], 2, "unknown encoding"),
    *[("time budget " + v, lambda t, c, v=v: [c, "--target", "y", "--time-budget", v], 2,
       "--time-budget: expected a number of seconds > 0") for v in ("0", "-2", "abc", "inf")],
]


@pytest.mark.parametrize("case,argv,code,words", BAD, ids=[b[0] for b in BAD])
def test_bad_input_is_one_line_and_writes_nothing(tmp_path, table_csv, capsys, case, argv, code, words):
    outdir = tmp_path / "outputs"
    outdir.mkdir()
    argv = argv(tmp_path, table_csv) + ["--quiet", "--out", outdir / "t.csv", "--lineage", outdir / "l.json",
                                        "--save", outdir / "m.joblib"]
    got, stdout, stderr = run_cli(capsys, *argv)
    assert got == code and stdout == ""
    assert stderr.count("\n") == 1 and stderr.startswith("karrow-fe: error: ")
    assert words in stderr and "Traceback" not in stderr
    assert os.listdir(outdir) == []


def test_a_semicolon_file_and_a_model_file_given_to_model_are_used_with_a_note(tmp_path, capsys):
    small_table().drop(columns=["label"]).to_csv(tmp_path / "s.csv", sep=";", index=False)
    code, out, err = run_cli(capsys, tmp_path / "s.csv", "--target", "y", "--cv", "0", "--transforms", "sqrt",
                             "--model", tmp_path / "m.joblib")
    assert code == 0 and "as ';'-separated (--sep sets it)" in err and "40 rows, 4 feature columns" in out
    assert "--model FILE is now --save FILE" in err and (tmp_path / "m.joblib").exists()


@pytest.mark.parametrize("argv,code,words", [
    (lambda d, t: ["apply", d / "pipe.joblib", t / "missing_col.csv"], 1, "missing column 'b'"),
    (lambda d, t: ["apply", d / "data.csv", t / "missing_col.csv"], 1, "not a pipeline"),
    (lambda d, t: ["apply", t / "nothing.joblib", d / "data.csv"], 1, "no such file"),
    (lambda d, t: ["apply", d / "pipe.joblib", d / "data.csv", "--id", "nope"], 2, "--id: no column 'nope'"),
])
def test_apply_bad_input(trained, tmp_path, capsys, argv, code, words):
    small_table().drop(columns=["b"]).to_csv(tmp_path / "missing_col.csv", index=False)
    before = set(os.listdir(tmp_path))
    got, _, stderr = run_cli(capsys, *argv(trained[0], tmp_path), "--out", tmp_path / "pred.csv")
    assert got == code and stderr.count("\n") == 1 and words in stderr
    assert set(os.listdir(tmp_path)) == before


def test_console_script_reads_standard_input(table_csv):
    script = os.path.join(os.path.dirname(sys.executable), "karrow-fe")
    r = subprocess.run([script, "run", "-", "--target", "y", "--quiet", "--transforms", "sqrt", "--cv", "0"],
                       capture_output=True, text=True, input=table_csv.read_text())
    assert r.returncode == 0 and "standard input: 40 rows" in r.stdout, r.stderr
