"""karrow-fe end to end, in subprocesses, on small tables written by the tests."""

import json
import os
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from karrow_libs.cli import lineage, main
from karrow_libs.cli.files import StagedFiles

pytest.importorskip("karrow_libs.vantor.transforms.transform_utils")

FAST = ["--quiet", "--transforms", "sqrt,log,product", "--keep", "3", "--cv", "2"]


def karrow_fe(*args, stdin=None, cwd=None):
    return subprocess.run([sys.executable, "-m", "karrow_libs", *map(str, args)], capture_output=True,
                          text=True, input=stdin, cwd=cwd, timeout=120)


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
    (expr("sqrt", leaf("bmi")), "sqrt($bmi)", 1),
    (expr("product", expr("sqrt", leaf("bmi")), leaf("bp")), "product(sqrt($bmi), $bp)", 2),
    (expr("groupbymean", {"output_index": 1}, leaf("g"), expr("log", leaf("v"))), "groupbymean[1]($g, log($v))", 2),
    (expr("diff", expr("sum", leaf("a"), leaf("b")), expr("divide", leaf("c"), expr("abs", leaf("d")))),
     "diff(sum($a, $b), divide($c, abs($d)))", 3),
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
    text = lineage.render(obj)
    assert text.startswith("abs(abs(") and text.endswith("$x" + ")" * (sys.getrecursionlimit() + 100))
    assert lineage.depth(obj) == sys.getrecursionlimit() + 100


# -------------------------------------------------------------- preparation


def test_prepare_keeps_integer_dtypes_and_fills_missing_values_with_training_medians():
    from karrow_libs.cli.steps import PrepareTable

    frame = pd.DataFrame({
        "n": [4, 1, 3, 2],
        "x": [0.5, np.nan, 2.5, np.inf],
        "ok": [True, False, True, True],
        "day": ["2021-01-01", "2021-01-02", "2021-01-03", "2021-01-05"],
        "word": ["a", "b", "c", "d"],
    })
    prep = PrepareTable("y")
    table = prep.fit_transform(frame)
    assert table.names == ["n", "x", "ok", "day"] and prep.dropped_ == ["word"]
    assert [str(d) for d in table.dtypes] == ["int64", "float64", "int64", "int64"]
    assert table.values.dtype == np.float64 and table.n_inputs == 4
    # median of the finite training values 0.5 and 2.5
    assert table.values[:, 1].tolist() == [0.5, 1.5, 2.5, 1.5]
    assert table.values[:, 2].tolist() == [1, 0, 1, 1]
    assert table.values[:, 3].tolist() == [1609459200, 1609545600, 1609632000, 1609804800]
    assert table.lineage[0] == {"name": "$n"}
    # New rows: by name, in any order, without the unused text column; bad cells become the median.
    new = pd.DataFrame({"x": ["7", "oops"], "day": ["2021-01-02", "2021-01-03"], "ok": [False, True], "n": [9, 8]})
    again = prep.transform(new)
    assert again.values.tolist() == [[9, 7.0, 0, 1609545600], [8, 1.5, 1, 1609632000]]
    assert prep.unparsed_cells_ == 1


def test_rounds_drop_constant_columns_and_rescaled_copies():
    from karrow_libs.cli.steps import _ColumnSet

    rng = np.random.default_rng(0)
    x = rng.normal(size=3000)
    seen = _ColumnSet(np.column_stack([x, x ** 2]))
    assert not seen.add_if_new(np.full(3000, 2.5))  # constant
    assert not seen.add_if_new(3 * x - 7)  # a rescaled copy
    assert not seen.add_if_new(-(x ** 2))  # a negated copy
    tail_differs = x.copy()
    tail_differs[1] += 1.0  # row 1 is not among the sampled rows
    assert seen.add_if_new(tail_differs)
    assert not seen.add_if_new(tail_differs * 2)  # now a copy of the column just added
    assert seen.add_if_new(x + 1e-3 * x ** 3)  # close, but not a copy


# -------------------------------------------------------------- a reference evaluator for lineage

OPS = {"sqrt": np.sqrt, "log": np.log, "square": np.square, "product": np.multiply, "sum": np.add,
       "diff": np.subtract, "divide": np.true_divide}


def evaluate(obj, frame):
    """Recompute a column from the input table by its lineage (NaN and infinities become 0, as in the transforms)."""
    if "name" in obj:
        return frame[obj["name"][1:]].to_numpy(dtype=float)
    e = obj["expression"]
    with np.errstate(all="ignore"):
        out = OPS[e["op"]](*[evaluate(p, frame) for p in e["params"]])
    return np.where(np.isfinite(out), out, 0.0)


def run_regression(outdir, table_csv, *extra, in_process=None):
    """The regression run with all three outputs; in a subprocess, or through main() with capsys."""
    out, lin, model = outdir / "table.csv", outdir / "lineage.json", outdir / "pipe.joblib"
    argv = [table_csv, "--target", "y", *FAST, "--out", out, "--lineage", lin, "--model", model, *extra]
    if in_process is None:
        r = karrow_fe(*argv)
        code, stdout, stderr = r.returncode, r.stdout, r.stderr
    else:
        code = main([str(a) for a in argv])
        stdout, stderr = in_process.readouterr()
    assert code == 0, stderr
    return stdout, stderr, pd.read_csv(out), json.loads(lin.read_text())


@pytest.fixture(scope="module")
def trained(tmp_path_factory):
    """One subprocess run shared by the tests that read its outputs."""
    d = tmp_path_factory.mktemp("trained")
    small_table().to_csv(d / "data.csv", index=False)
    stdout, stderr, table, lin = run_regression(d, d / "data.csv")
    return d, stdout, stderr, table, lin


def test_regression_run_writes_a_table_whose_columns_follow_their_lineage(trained):
    _, stdout, stderr, table, lin = trained
    assert stderr == ""
    assert "Kept derived features" in stdout and "ridge regression" in stdout
    assert "'y' (regression)" in stdout
    # The text column is left out; the numeric inputs come first, the target last.
    assert list(table.columns[:3]) == ["a", "b", "c"] and table.columns[-1] == "y"
    assert list(lin) == list(table.columns[:-1])
    assert len(lin) == 3 + 3
    assert table["a"].dtype.kind == "i"  # the integer column stays integer
    source = small_table()
    assert np.allclose(table["y"], source["y"])
    for name, obj in lin.items():
        assert np.allclose(table[name], evaluate(obj, source), rtol=1e-9, atol=1e-9), name
        if "expression" in obj:
            assert lineage.render(obj) in stdout
    # The printed scores are the F-scores of the written columns against the target.
    from sklearn.feature_selection import f_regression

    printed = report_rows(stdout)
    assert len(printed) == 3
    for name, obj in lin.items():
        if "expression" in obj:
            expected = f_regression(table[[name]].to_numpy(), table["y"].to_numpy())[0][0]
            assert float(printed[lineage.render(obj)].replace(",", "")) == pytest.approx(expected, rel=5e-3)
    engineered = [line for line in stdout.splitlines() if line.strip().startswith("engineered")]
    assert len(engineered) == 1 and engineered[0].split()[1] == "6"


def report_rows(stdout):
    """feature text -> printed score, from the table of kept derived features."""
    lines = stdout.splitlines()
    start = lines.index("Kept derived features") + 3
    rows = {}
    for line in lines[start:]:
        if not line.strip():
            break
        number, score, feature = line.split(None, 2)
        rows[feature] = score
    return rows


def test_stdin_input_and_whole_table_transforms_are_labelled(table_csv):
    r = karrow_fe("run", "-", "--target", "y", "--quiet", "--transforms", "pca", "--keep", "2", "--cv", "0",
                  stdin=table_csv.read_text())
    assert r.returncode == 0, r.stderr
    assert "standard input: 40 rows" in r.stdout and "Model comparison skipped (--cv 0)." in r.stdout
    assert all(f.startswith("$pca_") and f.endswith("(pca of the whole table)") for f in report_rows(r.stdout))


def test_second_round_nests_lineage(tmp_path, table_csv, capsys):
    _, _, table, lin = run_regression(tmp_path, table_csv, "--depth", "2", "--keep", "40", in_process=capsys)
    assert max(lineage.depth(obj) for obj in lin.values()) == 2
    source = small_table()
    for name, obj in lin.items():
        assert np.allclose(table[name], evaluate(obj, source), rtol=1e-9, atol=1e-6), name


def test_pool_gives_the_same_table_as_one_process(tmp_path, table_csv, capsys):
    (tmp_path / "one").mkdir()
    (tmp_path / "two").mkdir()
    cap = ("--max-per-transform", "4")
    _, _, t1, l1 = run_regression(tmp_path / "one", table_csv, *cap, in_process=capsys)
    _, _, t2, l2 = run_regression(tmp_path / "two", table_csv, *cap, "--jobs", "2", in_process=capsys)
    assert l1 == l2
    pd.testing.assert_frame_equal(t1, t2)


def test_classification_with_text_labels_and_forest_selector(tmp_path):
    path = tmp_path / "c.csv"
    small_table(n=60).drop(columns=["y"]).to_csv(path, index=False)
    r = karrow_fe(path, "--target", "label", *FAST, "--selector", "fs2", "--out", tmp_path / "o.csv")
    assert r.returncode == 0, r.stderr
    assert "'label' (classification)" in r.stdout
    assert "logistic regression" in r.stdout and "accuracy" in r.stdout and "importance" in r.stdout
    out = pd.read_csv(tmp_path / "o.csv")
    assert set(out["label"]) == {"high", "low"}


def test_apply_predicts_like_the_pipeline_in_process(trained, tmp_path):
    d = trained[0]
    new = small_table(n=12, seed=9).drop(columns=["y"])
    new = new[["note", "c", "b", "a"]]  # other order, no target: columns are found by name
    new_csv = tmp_path / "new.csv"
    new.to_csv(new_csv, index=False)
    r = karrow_fe("apply", d / "pipe.joblib", new_csv, "--out", tmp_path / "pred.csv", "--quiet")
    assert r.returncode == 0, r.stderr
    predicted = pd.read_csv(tmp_path / "pred.csv")
    assert list(predicted.columns) == ["predicted_y"] and len(predicted) == 12

    import joblib

    pipeline = joblib.load(d / "pipe.joblib")
    expected = pipeline.predict(pd.read_csv(new_csv))
    assert np.allclose(predicted["predicted_y"], expected, rtol=1e-12)
    # and to standard output without --out
    r = karrow_fe("apply", d / "pipe.joblib", new_csv)
    assert r.returncode == 0 and r.stdout.splitlines()[0] == "predicted_y" and len(r.stdout.splitlines()) == 13


def test_list_prints_the_catalogue():
    r = karrow_fe("list")
    assert r.returncode == 0, r.stderr
    rows = {line.split()[0]: line.split() for line in r.stdout.splitlines()[2:] if line.strip()}
    assert rows["sqrt"][1:3] == ["TA1", "1"] and "is_non_negative," in rows["sqrt"]
    assert rows["product"][1:3] == ["TA2", "2"]
    assert rows["pca"][1] == "TAM"
    assert "41 transforms" in r.stdout
    listed = json.loads(karrow_fe("list", "--json").stdout)
    assert len(listed) == 41 and listed[0]["name"] == "sqrt"
    assert listed[0]["constraints"] == [["is_non_negative", "is_not_categorical"]]


def test_default_run_uses_embedded_data_and_draws_no_progress_bar_off_a_terminal():
    r = karrow_fe("--cv", "2", "--transforms", "sqrt,product")
    assert r.returncode == 0, r.stderr
    assert "diabetes" in r.stdout and "Kept derived features" in r.stdout
    assert "\r" not in r.stderr


# -------------------------------------------------------------- bad input


def write(path, kind):
    """A one-row table, a table without numeric features, or bytes that are not text."""
    if kind == "one row":
        small_table().head(1).to_csv(path, index=False)
    elif kind == "text only":
        pd.DataFrame({"who": ["a", "b", "c", "d"], "y": [1.0, 2.5, 3.0, 4.5]}).to_csv(path, index=False)
    else:
        path.write_bytes(b"\xff\xfe\x00\x81" * 50)
    return path


BAD = [
    ("unknown transform", lambda t, c: [c, "--target", "y", "--transforms", "sqrt,cosh"], 2, "valid names: "),
    ("missing target column", lambda t, c: [c, "--target", "nope"], 2, "no column 'nope'"),
    ("no --target", lambda t, c: [c], 2, "--target"),
    ("negative keep", lambda t, c: [c, "--target", "y", "--keep", "-2"], 2, "--keep"),
    ("no such file", lambda t, c: [t / "absent.csv", "--target", "y"], 1, "no such file"),
    ("a directory", lambda t, c: [t, "--target", "y"], 1, "directory"),
    ("not text", lambda t, c: [write(t / "bin.csv", "garbage"), "--target", "y"], 1, "cannot read"),
    ("no numeric column", lambda t, c: [write(t / "t.csv", "text only"), "--target", "y"], 1, "no numeric feature column"),
    ("one row", lambda t, c: [write(t / "one.csv", "one row"), "--target", "y"], 1, "1 row"),
]


@pytest.mark.parametrize("case,argv,code,words", BAD, ids=[b[0] for b in BAD])
def test_bad_input_is_one_line_and_writes_nothing(tmp_path, table_csv, capsys, case, argv, code, words):
    outdir = tmp_path / "outputs"
    outdir.mkdir()
    argv = argv(tmp_path, table_csv) + ["--quiet", "--out", outdir / "t.csv", "--lineage", outdir / "l.json",
                                        "--model", outdir / "m.joblib"]
    assert main([str(a) for a in argv]) == code
    stdout, stderr = capsys.readouterr()
    assert stdout == ""
    assert stderr.count("\n") == 1 and stderr.startswith("karrow-fe: error: ")
    assert words in stderr and "Traceback" not in stderr
    assert os.listdir(outdir) == []
    if case == "unknown transform":
        assert all(name in stderr for name in ("sqrt", "product", "pca", "m_distance"))


@pytest.mark.parametrize("argv,words", [
    (lambda d, t: ["apply", d / "pipe.joblib", t / "missing_col.csv"], "missing column 'b'"),
    (lambda d, t: ["apply", d / "data.csv", t / "missing_col.csv"], "not a pipeline"),
    (lambda d, t: ["apply", t / "nothing.joblib", d / "data.csv"], "no such file"),
])
def test_apply_bad_input(trained, tmp_path, capsys, argv, words):
    small_table().drop(columns=["b"]).to_csv(tmp_path / "missing_col.csv", index=False)
    before = set(os.listdir(tmp_path))
    assert main([str(a) for a in argv(trained[0], tmp_path)] + ["--out", str(tmp_path / "pred.csv")]) == 1
    stderr = capsys.readouterr().err
    assert stderr.count("\n") == 1 and words in stderr
    assert set(os.listdir(tmp_path)) == before


def test_staged_files_leave_nothing_when_one_output_fails(tmp_path):
    (tmp_path / "keep.txt").write_text("old")

    def boom(path):
        raise OSError("disk full")

    with pytest.raises(OSError), StagedFiles() as staged:
        staged.stage(tmp_path / "keep.txt", lambda p: open(p, "w").write("new"))
        staged.stage(tmp_path / "second.txt", boom)
        staged.commit()
    assert os.listdir(tmp_path) == ["keep.txt"] and (tmp_path / "keep.txt").read_text() == "old"


def test_console_script_is_installed_and_exits_with_the_usage_code(table_csv):
    script = os.path.join(os.path.dirname(sys.executable), "karrow-fe")
    r = subprocess.run([script, "--version"], capture_output=True, text=True)
    assert r.returncode == 0 and r.stdout.startswith("karrow-fe")
    r = subprocess.run([script, table_csv, "--target", "nope"], capture_output=True, text=True)
    assert r.returncode == 2 and r.stdout == "" and r.stderr.startswith("karrow-fe: error: no column 'nope'")
