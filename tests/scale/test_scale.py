"""The Dask engine: partitioned input, sample + exact rescoring, Parquet output, failures on a real cluster."""
import json
import os
import signal
import sys
import threading
import time

import numpy as np
import pandas as pd
import pytest

dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

from karrow_libs import scale  # noqa: E402
from karrow_libs.table import DataError  # noqa: E402

from conftest import run_cli  # noqa: E402

ROWS_PER_FILE = 800


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=50) as lc, distributed.Client(lc) as client:
        yield client


def _frame(rng, n):
    df = pd.DataFrame({"a": rng.normal(size=n), "b": rng.normal(size=n), "c": rng.uniform(1, 2, n),
                       "d": rng.normal(size=n), "k": rng.integers(0, 5, n),
                       "city": rng.choice(["oslo", "lima", "pune"], n)})
    df["y"] = 2 * df.a * df.b + 3 / df.c + 0.5 * df.d + 0.1 * rng.normal(size=n)
    return df


@pytest.fixture(scope="module")
def data(tmp_path_factory):
    """Three CSV files, the same rows as one CSV file and as a Parquet folder of two files."""
    root = tmp_path_factory.mktemp("scale")
    rng = np.random.default_rng(3)
    parts = [_frame(rng, ROWS_PER_FILE) for _ in range(3)]
    parts[1].loc[[3, 50, 700], "y"] = np.nan  # rows without a target: left out of the fit and the output
    (root / "csv").mkdir()
    for i, p in enumerate(parts):
        p.to_csv(root / "csv" / ("part" + str(i) + ".csv"), index=False)
    full = pd.concat(parts, ignore_index=True)
    full.to_csv(root / "all.csv", index=False)
    (root / "pq").mkdir()
    full.iloc[:1000].to_parquet(root / "pq" / "a.parquet", index=False)
    full.iloc[1000:].to_parquet(root / "pq" / "b.parquet", index=False)
    return root, full


@pytest.mark.parametrize("source", ["csv/*.csv", "pq"])
def test_run_and_apply_on_dask_equal_the_in_memory_outputs(cluster, data, source, capsys):
    root, full = data
    address = cluster.scheduler.address
    # Two features far above the keep threshold, so float rounding between engines cannot flip a decision.
    mem = ["--target", "y", "--cv", "0", "--keep", "2"]
    code, _, err = run_cli(capsys, "run", root / "all.csv", *mem, "-q", "--out", root / "mem.csv",
                           "--lineage", root / "mem.json", "--model", root / "mem.joblib")
    assert code == 0, err
    out_dir, lineage, model = root / ("out_" + source[:2]), root / ("l_" + source[:2] + ".json"), root / "m.joblib"
    code, report, err = run_cli(capsys, "run", root / source, *mem, "--engine", "dask", "--scheduler", address,
                                "--out", out_dir, "--lineage", lineage, "--model", model)
    assert code == 0, err
    assert "engine     dask (scheduler " + address + ", 2 workers): " in report and "rows/s" not in report
    assert "{:,}".format(len(full)) + " rows" in report and "rows/s" in err

    expected = pd.read_csv(root / "mem.csv")
    got = pd.read_parquet(out_dir)
    shown = [n for n in sorted(os.listdir(out_dir)) if not n.startswith(".")]
    assert shown == [n for n in shown if n.startswith("part.")]
    assert list(got.columns) == list(expected.columns)
    numbers = list(expected.select_dtypes("number").columns)
    assert np.allclose(got[numbers].to_numpy(np.float64), expected[numbers].to_numpy(np.float64), rtol=1e-9,
                       atol=1e-9)
    text = [c for c in expected.columns if c not in numbers]  # the input's text columns, as they came
    assert (got[text].fillna("").astype(str).to_numpy() == expected[text].fillna("").astype(str).to_numpy()).all()
    assert json.loads(lineage.read_text()) == json.loads((root / "mem.json").read_text())

    pred_dir = root / ("pred_" + source[:2])
    code, _, err = run_cli(capsys, "apply", root / "mem.joblib", root / "all.csv", "--out", root / "mem_pred.csv",
                           "-q")
    assert code == 0, err
    code, _, err = run_cli(capsys, "apply", model, root / source, "--engine", "dask", "--scheduler", address,
                           "--out", pred_dir)
    assert code == 0, err
    assert "rows/s" in err
    got, expected = pd.read_parquet(pred_dir), pd.read_csv(root / "mem_pred.csv")
    assert list(got.columns) == list(expected.columns) == ["predicted_y"]
    assert np.allclose(got["predicted_y"], expected["predicted_y"], rtol=1e-9, atol=1e-9)


def test_sample_is_reproducible_uniform_and_the_whole_table_when_large_enough(cluster, data):
    root, full = data
    ddf = scale.read(root / "csv" / "*.csv")
    a, lengths = scale.sample(ddf, 300, seed=5)
    b, _ = scale.sample(ddf, 300, seed=5)
    c, _ = scale.sample(ddf, 300, seed=6)
    assert lengths == [ROWS_PER_FILE] * 3 and len(a) == 300
    assert a.equals(b) and not a.equals(c)
    # Rows of every partition, in the table's order, each one a real row (as the CSV parser reads it).
    keys = pd.read_csv(root / "all.csv")["a"].to_numpy()
    pos = pd.Index(keys).get_indexer(a["a"].to_numpy())
    assert (pos >= 0).all() and (np.diff(pos) > 0).all()
    assert len(set(pos // ROWS_PER_FILE)) == 3
    whole, _ = scale.sample(ddf, 10_000)
    assert np.allclose(whole[full.columns[:4]].to_numpy(), full[full.columns[:4]].to_numpy())


class _Spy:
    """``PartitionRescore`` that also keeps the scorers it was called with and what it returned."""

    def __init__(self, inner):
        self.inner, self.scorers, self.results = inner, [], []

    def __getattr__(self, name):
        return getattr(self.inner, name)

    def __call__(self, scorer):
        self.scorers.append(scorer)
        self.results.append(self.inner(scorer))
        return self.results[-1]


def test_exact_rescoring_over_partitions_equals_the_in_memory_statistics(cluster, data, monkeypatch):
    root, full = data
    ddf = scale.read(root / "csv" / "*.csv")
    spies = []
    original = scale.fit.__globals__["PartitionRescore"]

    def spying(*args, **kw):
        spies.append(_Spy(original(*args, **kw)))
        return spies[-1]

    monkeypatch.setitem(scale.fit.__globals__, "PartitionRescore", spying)
    pipeline, info = scale.fit(ddf, "y", sample_rows=500, depth=2, keep=3, return_info=True)
    assert info.rows == 3 * ROWS_PER_FILE and info.partitions == 3 and info.sample_rows == 500
    spy = spies[0]
    assert len(spy.scorers) == info.rescore_passes == 2  # one pass per round
    # Every row counted exactly once in each pass.
    full = pd.read_csv(root / "all.csv").dropna(subset=["y"])  # the values as the CSV parser reads them
    assert spy.inner.rows == info.rescored_rows == len(full) == info.rows - 3
    prepare = pipeline.named_steps["features"].prepare_
    X = scale.whole_numbers_as_int(full.drop(columns="y"))
    table = prepare.transform(X)
    for scorer, got in zip(spy.scorers, spy.results):
        expected = scorer.partial(table, full["y"].to_numpy(np.float64))
        assert got.n == expected.n == len(full)
        assert np.allclose(got.gram, expected.gram, rtol=1e-10, atol=1e-8)
    assert len(pipeline.named_steps["features"].kept_) > 0


def _slow(part):
    time.sleep(0.4)
    return part


def _kill_one_worker(client, delay):
    def kill():
        time.sleep(delay)
        pids = client.run(os.getpid)
        os.kill(sorted(pids.values())[0], signal.SIGKILL)

    t = threading.Thread(target=kill, daemon=True)
    t.start()
    return t


@pytest.mark.parametrize("allowed_failures", [3, 0])
def test_a_worker_killed_mid_run_is_retried_or_fails_in_one_line_leaving_no_output(cluster, data, tmp_path,
                                                                                   allowed_failures):
    import cloudpickle

    root, full = data
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    ddf = scale.read(root / "csv" / "*.csv", blocksize=20_000).map_partitions(_slow)
    assert ddf.npartitions >= 8
    out = tmp_path / "out"
    before = cluster.run_on_scheduler(lambda dask_scheduler: dask_scheduler.allowed_failures)
    cluster.run_on_scheduler(lambda dask_scheduler: setattr(dask_scheduler, "allowed_failures", allowed_failures))
    try:
        killer = _kill_one_worker(cluster, 0.8)
        if allowed_failures:
            files, rows = scale.write_parquet(ddf, out)
            assert rows == len(full) and files == ddf.npartitions
            assert np.allclose(pd.read_parquet(out)["a"], full["a"])
        else:
            with pytest.raises(DataError) as e:
                scale.write_parquet(ddf, out)
            assert "\n" not in str(e.value) and "nothing was written" in str(e.value)
            assert not out.exists()
        killer.join()
    finally:
        cluster.run_on_scheduler(lambda dask_scheduler, v=before: setattr(dask_scheduler, "allowed_failures", v))
        cluster.wait_for_workers(2, timeout=60)
        cloudpickle.unregister_pickle_by_value(sys.modules[__name__])
    assert os.listdir(tmp_path) == (["out"] if allowed_failures else [])


@pytest.mark.parametrize("scheduler", ["tcp://127.0.0.1:9", "nonsense://nowhere"])
def test_an_unreachable_scheduler_is_one_line_and_exit_1(data, scheduler, capsys, monkeypatch):
    root, _ = data
    monkeypatch.setattr(scale.cluster, "CONNECT_TIMEOUT", 2)
    code, out, err = run_cli(capsys, "run", root / "all.csv", "--target", "y", "--engine", "dask",
                             "--scheduler", scheduler, "--out", root / "never")
    assert code == 1 and out == ""
    assert err.count("\n") == 1 and "cannot reach the Dask scheduler at '" + scheduler + "'" in err
    assert not (root / "never").exists()


def _write_bad(root, case):
    d = root / ("bad_" + case)
    d.mkdir(exist_ok=True)
    good = pd.DataFrame({"a": [1.0, 2.0, 3.0], "b": [4.0, 5.0, 6.0], "y": [1.0, 0.0, 2.0]})
    good.to_csv(d / "1.csv", index=False)
    other = {"extra": good.assign(z=1.0), "order": good[["b", "a", "y"]], "target": good.drop(columns="y"),
             "parquet": None}[case]
    if case == "parquet":
        good.to_parquet(d / "1.parquet")
        good.drop(columns="y").to_parquet(d / "2.parquet")
        (d / "1.csv").unlink()
        return d
    other.to_csv(d / "2.csv", index=False)
    return d / "*.csv"


@pytest.mark.parametrize("case, message", [
    ("nothing", "no file matches"),
    ("extra", "the files' columns differ: "),
    ("order", "has the same columns in another order"),
    ("target", "the target 'y' is missing from 1 of 2 file(s)"),
    ("parquet", "the target 'y' is missing from 1 of 2 file(s)"),
])
def test_bad_partitioned_input_is_one_line_exit_1_and_no_output(data, tmp_path, case, message, capsys):
    path = tmp_path / "none" / "*.csv" if case == "nothing" else _write_bad(tmp_path, case)
    out = tmp_path / "out"
    code, stdout, err = run_cli(capsys, "run", path, "--target", "y", "--engine", "dask", "--out", out)
    assert code == 1 and stdout == "", err
    assert err.count("\n") == 1 and message in err
    assert not out.exists()


def test_fitted_module_transforms_and_selectors_pickle_to_spawned_workers(cluster):
    from sklearn.ensemble import RandomForestRegressor

    from karrow_libs.vantor.transforms import transform_utils as tu

    rng = np.random.default_rng(0)
    X = np.column_stack([rng.uniform(1, 2, 60), rng.normal(size=60), rng.integers(0, 4, 60), rng.uniform(1, 3, 60)])
    y = X[:, 0] * X[:, 1] + rng.normal(size=60) * 0.1
    names, dtypes = ["a", "b", "g", "c"], ["float64", "float64", "int64", "float64"]
    fitted = {}
    for name in ("sqrt", "product", "groupbymean", "stdscaler", "pca"):
        t = tu.TransformBase.GetTransformObj(name)
        fitted[type(t).__name__] = t.fit(X, y, names, dtypes)
    fitted["FS1"] = tu.FS1([0], 2, "regression").fit(X, y)
    fitted["FS2"] = tu.FS2([0], 2, "regression", RandomForestRegressor(n_estimators=5, random_state=0)).fit(X, y)
    assert set(fitted) == {"TA1", "TA2", "TGen", "TB1", "TAM", "FS1", "FS2"}
    futures = {k: cluster.submit(lambda t, X: (os.getpid(), t.transform(X)), t, X, pure=False)
               for k, t in fitted.items()}
    for k, f in futures.items():
        pid, out = f.result()
        assert pid != os.getpid()
        assert np.array_equal(out, fitted[k].transform(X)), k
