"""The Dask engine never deletes a user's folder, never leaves its staging folder, never waits for ever."""

import logging
import os
import signal
import time

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

from karrow_libs import scale  # noqa: E402
from karrow_libs.cli import dask_engine  # noqa: E402
from karrow_libs.table import DataError  # noqa: E402

from conftest import leftovers, run_cli  # noqa: E402


@pytest.fixture
def table(tmp_path):
    rng = np.random.default_rng(4)
    n = 400
    frame = pd.DataFrame({"a": rng.uniform(1, 3, n), "b": rng.normal(size=n)})
    frame["y"] = frame.a * frame.b + 0.1 * rng.normal(size=n)
    frame.to_csv(tmp_path / "t.csv", index=False)
    return tmp_path / "t.csv", frame


def tree(folder):
    return {os.path.relpath(os.path.join(d, f), folder): open(os.path.join(d, f), "rb").read()
            for d, _, names in os.walk(folder) for f in names}


# ------------------------------------------------------------ output folders

@pytest.mark.parametrize("command", ["run", "apply"])
@pytest.mark.parametrize("content", [["sales_2023.parquet", "sales_2024.parquet"], ["part.000000.parquet"],
                                     ["notes.txt"]])
def test_a_folder_this_command_did_not_write_is_left_intact(tmp_path, table, capsys, command, content):
    path, frame = table
    user = tmp_path / "data"
    user.mkdir()
    for name in content:
        frame.iloc[:10].to_parquet(user / name) if name.endswith(".parquet") else (user / name).write_text("mine")
    before = tree(user)
    argv = (["run", path, "--target", "y"] if command == "run" else ["apply", tmp_path / "m.joblib", path])
    code, out, err = run_cli(capsys, *argv, "--engine", "dask", "--out", user)
    assert code == 2 and out == "" and err.count("\n") == 1, err
    assert "holds files this command did not write" in err
    assert tree(user) == before and leftovers(tmp_path) == []


def test_an_earlier_output_is_replaced_and_carries_its_marker(tmp_path, table):
    path, frame = table
    out = tmp_path / "out"
    ddf = scale.read(path)
    assert scale.write_parquet(ddf, out) == (1, len(frame))
    assert os.path.isfile(out / scale.io.MARKER)
    assert scale.write_parquet(ddf.head(50, compute=False), out) == (1, 50)
    assert sorted(os.listdir(tmp_path)) == ["out", "t.csv"]
    assert len(pd.read_parquet(out)) == 50 and leftovers(tmp_path) == []


@pytest.mark.parametrize("case", ["the input folder", "a folder holding the input", "a link to the input folder"])
def test_an_output_folder_that_holds_the_input_is_refused(tmp_path, table, case):
    path, frame = table
    out = tmp_path / "earlier"
    scale.write_parquet(scale.read(path), out)
    before = tree(out)
    target = {"the input folder": out, "a folder holding the input": tmp_path / "earlier",
              "a link to the input folder": tmp_path / "alias"}[case]
    if case.startswith("a link"):
        os.symlink(out, target)
    source = out / "part.000000.parquet" if case == "a folder holding the input" else out
    with pytest.raises(DataError, match="holds the input"):
        scale.check_out_dir(target, [source])
    assert tree(out) == before


def test_the_staging_folder_goes_when_the_run_is_interrupted_after_writing_it(tmp_path, table, capsys, monkeypatch):
    path, _ = table

    def interrupted(*args, **kwargs):
        assert [n for n in os.listdir(tmp_path) if n.startswith(".out.")], "the table is staged by now"
        raise KeyboardInterrupt

    monkeypatch.setattr(dask_engine, "render", interrupted)
    code, _, err = run_cli(capsys, "run", path, "--target", "y", "--engine", "dask", "--cv", "0", "-q",
                           "--out", tmp_path / "out")
    assert code == 130 and err == "karrow-fe: error: interrupted\n"
    assert leftovers(tmp_path) == [] and not (tmp_path / "out").exists()


@pytest.mark.parametrize("failing", ["the folder's rename", "the other outputs"])
def test_a_failed_commit_puts_the_earlier_output_back(tmp_path, table, monkeypatch, failing):
    path, frame = table
    out = tmp_path / "out"
    scale.write_parquet(scale.read(path), out)
    before = tree(out)
    staged = scale.stage_parquet(scale.read(path).head(5, compute=False), out)
    real_rename = os.rename

    def rename(src, dst):
        if str(src).endswith(".tmp"):
            raise OSError(28, "No space left on device")
        return real_rename(src, dst)

    def files_fail():
        raise OSError(28, "No space left on device")

    if failing == "the folder's rename":
        monkeypatch.setattr(scale.io.os, "rename", rename)
    with pytest.raises(OSError), staged:
        staged.commit(**({"then": files_fail} if failing == "the other outputs" else {}))
    assert tree(out) == before and leftovers(tmp_path) == []


# ------------------------------------------------------------ clusters that lose their workers

def test_a_cluster_left_without_workers_fails_in_bounded_time_with_one_line():
    import dask

    with pytest.raises(DataError) as e:
        with scale.connect(workers=1, no_worker_timeout=1.5) as workers:
            workers.client.retire_workers(list(workers.client.scheduler_info()["workers"]), close_workers=True)
            started = time.monotonic()
            with scale.computing("testing"):
                dask.delayed(sum)([1, 2]).compute()
    assert time.monotonic() - started < 60
    assert "\n" not in str(e.value) and str(e.value).startswith("no live Dask worker for 1.5 s")


def test_a_worker_that_dies_is_one_warning_and_the_work_goes_on():
    import dask

    said = []
    with scale.connect(workers=1, warn=said.append) as workers:
        client = workers.client
        pid = client.run(os.getpid)
        os.kill(next(iter(pid.values())), signal.SIGKILL)
        deadline = time.monotonic() + 60
        while not said and time.monotonic() < deadline:
            time.sleep(0.2)
        client.wait_for_workers(1, timeout=60)
        assert dask.delayed(sum)([1, 2]).compute() == 3
    assert said == ["a Dask worker died; its tasks are retried"]
    assert workers.deaths == 1


def test_quiet_workers_drop_their_logs():
    with scale.connect(workers=1, quiet=True) as workers:
        levels = workers.client.run(lambda: logging.getLogger("distributed.worker").getEffectiveLevel())
    assert set(levels.values()) == {logging.CRITICAL}
    assert "DASK_LOGGING__DISTRIBUTED" not in os.environ or os.environ["DASK_LOGGING__DISTRIBUTED"] != "critical"


def test_a_cluster_that_cannot_start_is_one_line(monkeypatch):
    def nanny_fails(*args, **kwargs):
        raise RuntimeError("Nanny failed to start.\nTraceback (most recent call last): ...")

    monkeypatch.setattr(distributed, "LocalCluster", nanny_fails)
    with pytest.raises(DataError) as e:
        with scale.connect(workers=2):
            pass
    assert str(e.value) == "could not start a local Dask cluster of 2 workers: Nanny failed to start."
