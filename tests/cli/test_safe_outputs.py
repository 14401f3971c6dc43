"""Outputs never destroy what the user has: collisions with inputs, special files, failed commits, signals."""

import os
import signal
import stat
import subprocess
import sys
import threading
import time

import numpy as np
import pandas as pd
import pytest

from karrow_libs.cli import files as files_mod
from karrow_libs.cli.files import StagedFiles, check_paths
from karrow_libs.cli.messages import UsageError

from conftest import leftovers, run_cli

pytest.importorskip("karrow_libs.vantor.transforms.transform_utils")

QUICK = ["--quiet", "--transforms", "sqrt,product", "--keep", "2", "--cv", "0"]


def table(n=60, seed=5):
    rng = np.random.default_rng(seed)
    a, b = rng.uniform(1, 9, n).round(3), rng.uniform(1, 9, n).round(3)
    return pd.DataFrame({"a": a, "b": b, "y": (a * b + rng.normal(scale=0.1, size=n)).round(4)})


@pytest.fixture
def data(tmp_path):
    path = tmp_path / "data.csv"
    table().to_csv(path, index=False)
    return path


def snapshot(folder):
    """name -> (kind, content or link target) of everything in ``folder``."""
    out = {}
    for name in sorted(os.listdir(folder)):
        p = os.path.join(folder, name)
        if os.path.islink(p):
            out[name] = ("link", os.readlink(p))
        elif os.path.isfile(p):
            with open(p, "rb") as f:
                out[name] = ("file", f.read())
        else:
            out[name] = ("other", None)
    return out


# ------------------------------------------------------------ refused before any work

@pytest.fixture
def trained(tmp_path, data, capsys):
    code, _, err = run_cli(capsys, data, "--target", "y", *QUICK, "--model", tmp_path / "m.joblib")
    assert code == 0, err
    return tmp_path / "m.joblib"


@pytest.mark.parametrize("case", ["out=input", "out=./input", "model=input", "lineage=input via symlink",
                                  "out=input via hard link", "out=lineage", "out=model via symlink",
                                  "apply out=pipeline", "apply out=input"])
def test_an_output_that_is_an_input_or_another_output_is_refused(tmp_path, data, trained, capsys, monkeypatch,
                                                                  case):
    monkeypatch.chdir(tmp_path)
    os.symlink(data, tmp_path / "alias.csv")
    os.link(data, tmp_path / "hard.csv")
    os.symlink(tmp_path / "x.csv", tmp_path / "to_x.joblib")
    argv = {
        "out=input": ["--out", data],
        "out=./input": ["--out", "./data.csv"],
        "model=input": ["--model", data],
        "lineage=input via symlink": ["--lineage", "alias.csv"],
        "out=input via hard link": ["--out", "hard.csv"],
        "out=lineage": ["--out", "x.csv", "--lineage", tmp_path / "x.csv"],
        "out=model via symlink": ["--out", "x.csv", "--model", "to_x.joblib"],
    }.get(case)
    before = snapshot(tmp_path)
    if case.startswith("apply"):
        target = trained if case == "apply out=pipeline" else data
        code, out, err = run_cli(capsys, "apply", trained, data, "--quiet", "--out", target)
    else:
        code, out, err = run_cli(capsys, data, "--target", "y", *QUICK, *argv)
    assert code == 2 and err.count("\n") == 1 and out == "", err
    assert ("is the input" in err) or ("name the same file" in err)
    assert snapshot(tmp_path) == before


def test_the_check_takes_any_list_of_outputs(tmp_path):
    (tmp_path / "in.csv").write_text("a\n1\n")
    check_paths([("--html", tmp_path / "r.html"), ("--json", tmp_path / "r.json"), ("--save", None)],
                [tmp_path / "in.csv"])
    with pytest.raises(UsageError, match="--json and --save name the same file"):
        check_paths([("--html", tmp_path / "r.html"), ("--json", tmp_path / "r.json"),
                     ("--save", tmp_path / "sub" / ".." / "r.json")], [])


@pytest.mark.parametrize("make, words", [
    (lambda p: os.mkdir(p), "is a directory"),
    (lambda p: (open(p, "w").close(), os.chmod(p, 0o444)), "read-only"),
])
def test_outputs_that_may_not_be_replaced_are_refused(tmp_path, data, capsys, make, words):
    target = tmp_path / "out.csv"
    make(target)
    if words == "read-only" and os.access(target, os.W_OK):
        pytest.skip("running as a user who may write anything")
    before = snapshot(tmp_path)
    code, _, err = run_cli(capsys, data, "--target", "y", *QUICK, "--out", target)
    assert code == 2 and words in err and err.count("\n") == 1
    assert snapshot(tmp_path) == before


# ------------------------------------------------------------ written as asked, the rest untouched

def test_links_and_modes_of_replaced_files_are_kept_and_new_files_follow_the_umask(tmp_path, data, capsys):
    (tmp_path / "real.csv").write_text("old\n")
    os.symlink("real.csv", tmp_path / "link.csv")
    for name, mode in (("matrix.csv", 0o600), ("lineage.json", 0o664)):
        (tmp_path / name).write_text("old\n")
        os.chmod(tmp_path / name, mode)
    os.link(tmp_path / "lineage.json", tmp_path / "other_name.json")
    code, _, err = run_cli(capsys, data, "--target", "y", *QUICK, "--out", tmp_path / "link.csv",
                           "--out-matrix", tmp_path / "matrix.csv", "--lineage", tmp_path / "lineage.json",
                           "--save", tmp_path / "new.joblib")
    assert code == 0, err
    assert os.readlink(tmp_path / "link.csv") == "real.csv"
    written = pd.read_csv(tmp_path / "real.csv")
    assert "y" in written.columns and len(written) == 60
    for name, mode in (("matrix.csv", 0o600), ("lineage.json", 0o664), ("new.joblib", 0o666 & ~_umask())):
        assert stat.S_IMODE(os.stat(tmp_path / name).st_mode) == mode, name
    assert (tmp_path / "matrix.csv").read_text() != "old\n"
    # A hard-linked output is written in place, for every name.
    assert (tmp_path / "other_name.json").read_text() == (tmp_path / "lineage.json").read_text() != "old\n"
    assert os.stat(tmp_path / "lineage.json").st_ino == os.stat(tmp_path / "other_name.json").st_ino
    assert leftovers(tmp_path) == []


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def test_dev_null_is_written_through_and_stays_a_device(data, capsys):
    code, _, err = run_cli(capsys, data, "--target", "y", *QUICK, "--out", os.devnull)
    assert code == 0, err
    assert stat.S_ISCHR(os.stat(os.devnull).st_mode)


def test_a_fifo_output_is_written_through_to_its_reader(tmp_path, data, capsys):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    got = []
    fd = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)  # a reader is there before the command writes
    reader = threading.Thread(target=lambda: got.append(_read_all(fd)))
    code, _, err = run_cli(capsys, data, "--target", "y", *QUICK, "--out", fifo)
    reader.start()
    reader.join(30)
    assert code == 0, err
    assert stat.S_ISFIFO(os.stat(fifo).st_mode)
    assert got and got[0].startswith(b"a,b,") and got[0].count(b"\n") == 61


def _read_all(fd):
    os.set_blocking(fd, True)
    chunks = []
    while True:
        block = os.read(fd, 1 << 16)
        if not block:
            break
        chunks.append(block)
    os.close(fd)
    return b"".join(chunks)


def test_a_fifo_nobody_reads_is_one_line_not_a_wait(tmp_path, data, capsys):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    code, _, err = run_cli(capsys, data, "--target", "y", *QUICK, "--out", fifo)
    assert code == 1 and "no process reads the FIFO" in err and err.count("\n") == 1
    assert stat.S_ISFIFO(os.stat(fifo).st_mode)


# ------------------------------------------------------------ all or nothing

@pytest.mark.parametrize("error", [OSError(28, "No space left on device"), KeyboardInterrupt()])
@pytest.mark.parametrize("failing_call", [0, 1, 2, 3])  # 0: writing the last staged file fails
def test_an_output_failing_to_stage_or_commit_leaves_every_file_as_before(tmp_path, monkeypatch, failing_call,
                                                                         error):
    (tmp_path / "a.csv").write_text("old a")
    (tmp_path / "c.json").write_text("old c")
    before = snapshot(tmp_path)
    real_replace, calls = os.replace, []

    def replace(src, dst):
        calls.append(dst)
        if len(calls) == failing_call:
            raise error
        return real_replace(src, dst)

    def fails(path):
        raise error

    with pytest.raises(type(error)), StagedFiles() as staged:
        for name in ("a.csv", "b.joblib", "c.json"):
            write = fails if failing_call == 0 and name == "c.json" else lambda p, n=name: open(p, "w").write("new " + n)
            staged.stage(tmp_path / name, write)
        monkeypatch.setattr(files_mod.os, "replace", replace)
        staged.commit()
    assert snapshot(tmp_path) == before and len(calls) == failing_call


def test_remove_temporaries_clears_what_is_staged(tmp_path):
    staged = StagedFiles()
    staged.stage(tmp_path / "a.csv", lambda p: open(p, "w").write("x"))
    assert leftovers(tmp_path)
    files_mod.remove_temporaries()
    assert leftovers(tmp_path) == [] and not (tmp_path / "a.csv").exists()


# ------------------------------------------------------------ signals (a process of its own)

def _slow_table(path, n=20000, width=30):
    rng = np.random.default_rng(1)
    frame = pd.DataFrame(rng.uniform(1, 9, (n, width)).round(4), columns=["c" + str(i) for i in range(width)])
    frame["y"] = frame["c0"] * frame["c1"] + rng.normal(size=n)
    frame.to_csv(path, index=False)


@pytest.mark.parametrize("signum, delay", [(signal.SIGINT, 0.3), (signal.SIGTERM, 0.3), (signal.SIGHUP, 0.3),
                                           (signal.SIGTERM, 1.5), (signal.SIGINT, 2.0), (signal.SIGHUP, 3.0)])
def test_a_signal_at_any_moment_is_one_line_exit_130_and_leaves_no_temporary_file(tmp_path, signum, delay):
    _slow_table(tmp_path / "big.csv")
    (tmp_path / "out.csv").write_text("old\n")
    argv = [sys.executable, "-m", "karrow_libs", "run", tmp_path / "big.csv", "--target", "y", "--quiet",
            "--cv", "5", "--out", tmp_path / "out.csv", "--model", tmp_path / "m.joblib",
            "--lineage", tmp_path / "l.json"]
    # A fresh catalogue cache: at the shortest delay the compiled module and scikit-learn are still being imported.
    proc = subprocess.Popen([str(a) for a in argv], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env=dict(os.environ, XDG_CACHE_HOME=str(tmp_path / "cache")))
    time.sleep(delay)
    proc.send_signal(signum)
    out, err = proc.communicate(timeout=120)
    # Start-up alone outlasts the shortest delay; later ones may meet the end of the run.
    assert proc.returncode == 130 if delay < 1 else proc.returncode in (0, 130), (proc.returncode, err)
    if proc.returncode == 130:
        name = "" if signum == signal.SIGINT else " by " + signal.Signals(signum).name
        assert err == "karrow-fe: error: interrupted" + name + "\n"
    assert leftovers(tmp_path) == []
    outputs = [(tmp_path / n).exists() for n in ("m.joblib", "l.json")]
    replaced = (tmp_path / "out.csv").read_text() != "old\n"
    assert outputs in ([True, True], [False, False]) and replaced == outputs[0]


def test_ctrl_c_right_after_the_outputs_are_written_never_kills_by_the_signal(tmp_path, data):
    argv = [sys.executable, "-m", "karrow_libs", "run", data, "--target", "y", *QUICK, "--out", tmp_path / "o.csv"]
    proc = subprocess.Popen([str(a) for a in argv], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    for line in proc.stdout:
        if line.startswith("wrote"):
            proc.send_signal(signal.SIGINT)
            break
    _, err = proc.communicate(timeout=60)
    assert proc.returncode in (0, 130)
    assert err in ("", "karrow-fe: error: interrupted\n")
    assert leftovers(tmp_path) == []
