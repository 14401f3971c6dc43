"""--time-budget stops screening and says so; a long run shows it is alive where no bar can be drawn."""

import io

import numpy as np
import pandas as pd
import pytest

from karrow_libs.cli import main
from karrow_libs.cli.report import Progress

pytest.importorskip("karrow_libs.vantor.transforms.transform_utils")


def _csv(tmp_path, n=3000):
    rng = np.random.default_rng(3)
    frame = pd.DataFrame(rng.normal(size=(n, 12)), columns=["c" + str(i) for i in range(12)])
    frame["y"] = frame.c0 * frame.c1 + frame.c2 / (2 + frame.c3.abs()) + rng.normal(scale=0.1, size=n)
    path = tmp_path / "t.csv"
    frame.to_csv(path, index=False)
    return path


@pytest.mark.parametrize("budget,stopped", [("0.001", True), (None, False)])
def test_time_budget_stops_screening_and_the_report_says_so(tmp_path, capsys, budget, stopped):
    argv = [str(_csv(tmp_path)), "--target", "y", "--quiet", "--model", "linear", "--cv", "0"]
    code = main(argv + (["--time-budget", budget] if budget else []))
    out, err = capsys.readouterr()
    assert code == 0, err
    assert ("screening stopped early: time budget of 0.001 s" in out) == stopped, out
    assert "product($c0, $c1)" in out  # the first step's best is kept either way


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
