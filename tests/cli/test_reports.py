"""The embedded tables, the default run, and the --json / --html reports (schema, content, a real browser)."""
import html
import io
import json
import re
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from karrow_libs import datasets
from karrow_libs.cli import main
from karrow_libs.cli.html_report import SECTIONS, render_html
from karrow_libs.cli.json_report import report_dict, schema
from karrow_libs.cli.options import DATASETS, DEFAULT_DATASET
from karrow_libs.cli.report import RunResult
from karrow_libs.evaluate import Comparison

from conftest import run_cli

jsonschema = pytest.importorskip("jsonschema")

SCREENSHOT_DIR = Path(__file__).resolve().parents[2] / "build" / "screenshots"


def validate(doc):
    jsonschema.Draft7Validator(schema()).validate(doc)


@pytest.fixture(scope="module")
def default_run(tmp_path_factory):
    """``karrow-fe`` alone, with both reports: (exit code, text report, JSON dict, HTML path)."""
    out = tmp_path_factory.mktemp("default")
    capture = pytest.MonkeyPatch()
    buf = io.StringIO()
    capture.setattr(sys, "stdout", buf)
    try:
        code = main(["-q", "--json", str(out / "r.json"), "--html", str(out / "r.html")])
    finally:
        capture.undo()
    with open(out / "r.json", encoding="utf-8") as f:
        facts = json.load(f)
    return code, buf.getvalue(), facts, out / "r.html"


@pytest.mark.parametrize("name", sorted(datasets.TABLES))
def test_embedded_table_has_its_target_text_and_the_option_lists_it(name):
    frame, target = datasets.load(name)
    assert target in frame.columns and frame[target].notna().sum() > 100
    assert any(frame[c].dtype == object or str(frame[c].dtype).startswith("str") for c in frame.columns)
    assert name in DATASETS and DATASETS[name][1]["target"] == target


def test_dataset_list_names_every_data_set_with_its_description_default_first(capsys):
    code, out, _ = run_cli(capsys, "--dataset", "list")
    assert code == 0
    lines = out.strip().splitlines()
    assert [l.split()[0] for l in lines] == [DEFAULT_DATASET] + [n for n in DATASETS if n != DEFAULT_DATASET]
    for line in lines:
        assert DATASETS[line.split()[0]][2] in line
    code, _, err = run_cli(capsys, "--dataset", "nope")
    assert code == 2 and "'nope'" in err and "list" in err


def test_default_run_keeps_derived_features_that_beat_the_original(default_run):
    code, text, facts, _ = default_run
    assert code == 0
    assert facts["data"]["source"].startswith(DEFAULT_DATASET + " (embedded")
    # Some family keeps derived features, and with them its engineered model beats its original one.
    assert "Kept derived features" in text, text
    gains = {}
    for model in facts["comparison"]["models"]:
        by = {p["columns"]: p["scores"]["r2"]["mean"] for p in model["pipelines"]}
        gains[model["family"]] = by["engineered"] - by["original"]
    assert gains["linear"] > 0.005, gains


def test_json_report_follows_its_schema_and_the_text_report(default_run):
    _, text, facts, _ = default_run
    validate(facts)
    for k in facts["kept"]:
        assert k["expression"] in text
    assert [k["rank"] for k in facts["kept"]] == list(range(1, len(facts["kept"]) + 1))
    scores = [k["score"] for k in facts["kept"]]
    assert scores == sorted(scores, reverse=True)
    for model in facts["comparison"]["models"]:
        for p in model["pipelines"]:
            per_fold = " ".join("{:.3f}".format(s) for s in p["scores"]["r2"]["per_fold"])
            # n is the largest fold's column count (the text shows the range when folds differ).
            n = r"(\d+-)?" + str(p["n_columns"])
            assert re.search(r"^\s*" + re.escape(model["model"]) + r"\s+" + p["columns"] + r"\s+" + n + r"\s.*"
                             + re.escape(per_fold) + "$", text, re.M), (p, text)
    assert facts["comparison"]["best"] in [m["family"] for m in facts["comparison"]["models"]]
    assert [s["column"] for s in facts["preparation"]["plan"]][:2] == ["city", "date"]
    every = [k["name"] for k in facts["kept"]] + [k["name"] for o in facts["other_models"] for k in o["kept"]]
    assert [p["name"] for p in facts["target_profiles"]] == list(dict.fromkeys(every))
    for p in facts["target_profiles"]:
        lows = [b["low"] for b in p["bins"]]
        assert lows == sorted(lows) and sum(b["rows"] for b in p["bins"]) <= facts["data"]["rows"]


@pytest.mark.parametrize("mutate", [
    lambda d: d.pop("kept"),
    lambda d: d["data"].update(rows=-1),
    lambda d: d["data"].update(task="ranking"),
    lambda d: d["comparison"]["models"][0]["pipelines"][0]["scores"]["r2"].update(mean="0.9"),
    lambda d: d.update(extra=1),
])
def test_schema_rejects_a_report_with_a_wrong_field(default_run, mutate):
    doc = json.loads(json.dumps(default_run[2]))
    mutate(doc)
    with pytest.raises(jsonschema.ValidationError):
        validate(doc)


def classification_result(cv=True):
    kept = [{"name": "product(a__b)", "score": 0.2, "transform": "product", "round": 1,
             "lineage": {"expression": {"op": "product", "params": [{"name": "$a"}, {"name": "$b"}]}}},
            {"name": "sqrt(a)", "score": float("nan"), "transform": "sqrt", "round": 1,
             "lineage": {"expression": {"op": "sqrt", "params": [{"name": "$a"}]}}}]
    scores = {"original": {"accuracy": [0.8, 0.7], "roc_auc": [0.9, 0.85]},
              "engineered": {"accuracy": [0.9, 0.8], "roc_auc": [0.95, float("inf")]}}
    return RunResult(source="t.csv", rows=6, n_features=2, target="y", task="classification", kept=kept,
                     plan=[{"column": "a", "kind": "numeric", "how": "as is", "outputs": ["a"], "reason": ""},
                           {"column": "id", "kind": "left_out", "how": "", "outputs": [], "reason": "an identifier"}],
                     n_kinds={"numeric": 2}, n_inputs=2,
                     candidate_stats=[{"round": 1, "transform": "sqrt", "considered": 2, "constant": 0,
                                       "copies": 1, "skipped": None}],
                     cv=Comparison(task="classification", folds=2, seed=0, metrics=["accuracy", "roc_auc"],
                                   families=["linear"], models={"linear": "logistic regression"},
                                   scores={"linear": scores},
                                   n_columns={"linear": {"original": [2, 2], "engineered": [4, 4]}},
                                   seconds={"original": 0.1, "engineered": 0.2})
                     if cv else None, cv_skipped="" if cv else "--cv 0")


@pytest.mark.parametrize("cv", [True, False])
def test_report_dict_of_a_classification_run_ranks_nan_last_and_nulls_non_finite_scores(cv):
    from karrow_libs.cli.json_report import target_profiles

    class Table:
        names = ["a", "product(a__b)", "sqrt(a)"]
        values = np.array([[1, 1, 1], [2, 4, 1.4], [3, 9, 1.7], [4, 16, 2], [5, 25, 2.2], [6, np.nan, 2.4]], float)

    r = classification_result(cv)
    y = np.array(["no", "no", "yes", "no", "yes", "yes"])
    facts = report_dict(r, target_profiles(Table, y, r.kept, "classification", bins=2))
    validate(facts)
    json.dumps(facts, allow_nan=False)
    assert [k["name"] for k in facts["kept"]] == ["product(a__b)", "sqrt(a)"] and facts["kept"][1]["score"] is None
    product = facts["target_profiles"][0]
    # Bins hold [low, high) with the last one closed; the NaN row is in none.
    assert [(b["low"], b["high"], b["rows"]) for b in product["bins"]] == [(1, 9, 2), (9, 25, 3)]
    assert product["bins"][0]["share"] == {"no": 1.0, "yes": 0.0}
    assert product["bins"][1]["share"] == {"no": 1 / 3, "yes": 2 / 3}
    if cv:
        eng = facts["comparison"]["models"][0]["pipelines"][1]["scores"]["roc_auc"]
        assert eng["per_fold"] == [0.95, None] and facts["comparison"]["skipped"] is None
    else:
        assert facts["comparison"] == {"models": [], "best": None, "skipped": "--cv 0"}
    page = render_html(facts)
    assert page.count('data-section="') == len(SECTIONS)
    assert page.count('data-chart="folds"') == (2 if cv else 0) and page.count('data-chart="profile"') == 2
    assert "an identifier" in page and "<script" not in page


def test_html_report_is_self_contained_with_every_section_and_chart(default_run):
    _, _, facts, path = default_run
    page = path.read_text(encoding="utf-8")
    assert [m for m in re.findall(r'data-section="(\w+)"', page)] == [k for k, _ in SECTIONS]
    assert page.count('data-chart="profile"') == len(facts["target_profiles"])
    assert page.count('data-chart="folds"') == sum(len(m["metrics"]) for m in facts["comparison"]["models"])
    assert page.count("<svg") == page.count("</svg>") == len(re.findall(r'data-chart="', page))
    assert not re.search(r'(src|href)="(https?:)?//', page) and "@import" not in page
    for k in facts["kept"]:
        assert "<code>" + html.escape(k["expression"]) + "</code>" in page


def browser():
    for name in ("chromium", "chromium-browser", "google-chrome", "google-chrome-stable"):
        found = shutil.which(name)
        if found:
            return found
    return None


def headless(binary, profile, *args):
    return subprocess.run([binary, "--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                           "--no-first-run", "--hide-scrollbars", "--user-data-dir=" + str(profile), *args],
                          capture_output=True, text=True, timeout=180)


@pytest.mark.skipif(browser() is None, reason="no Chromium on this machine (.ci/run installs it: apt-get install "
                                               "chromium)")
def test_html_report_renders_in_a_headless_browser(default_run, tmp_path):
    _, _, facts, path = default_run
    binary = browser()
    dom = headless(binary, tmp_path, "--dump-dom", path.as_uri())
    assert dom.returncode == 0, dom.stderr[-2000:]
    for key, title in SECTIONS:
        assert re.search(r'<section data-section="' + key + r'"[^>]*><h2>' + re.escape(title), dom.stdout)
    charts = re.findall(r'<figure class="chart" data-chart="(\w+)"><svg', dom.stdout)
    every = {k["name"] for k in facts["kept"]} | {k["name"] for o in facts["other_models"] for k in o["kept"]}
    assert charts.count("profile") == len(every) and "folds" in charts and "scores" in charts
    SCREENSHOT_DIR.mkdir(parents=True, exist_ok=True)
    shot = SCREENSHOT_DIR / "report.png"
    if shot.exists():
        shot.unlink()
    done = headless(binary, tmp_path, "--screenshot=" + str(shot), "--window-size=1200,3000", path.as_uri())
    assert done.returncode == 0 and shot.exists(), done.stderr[-2000:]
    import matplotlib.image

    pixels = matplotlib.image.imread(str(shot))
    assert pixels.shape[:2] == (3000, 1200)
    # A blank or failed page is one colour; the charts' blue bars must be on it.
    rgb = pixels[..., :3].reshape(-1, 3)
    assert len(np.unique(np.round(rgb[::97] * 255), axis=0)) > 20
    blue = (np.abs(rgb[:, 0] - 0x1f / 255) < 0.05) & (np.abs(rgb[:, 2] - 0xb4 / 255) < 0.05)
    assert blue.sum() > 1000


@pytest.mark.parametrize("argv, missing, message", [
    (["--html", "{tmp}/r.html"], "matplotlib", "--html needs matplotlib"),
    (["--json", "{tmp}/r.json", "--engine", "dask"], None, "--json are written by in-memory runs"),
    (["--json", "{tmp}/same", "--html", "{tmp}/same"], None, "name the same file"),
    (["--json", "{tmp}/no/such/dir/r.json"], None, "does not exist"),
])
def test_report_options_are_refused_before_any_work(tmp_path, capsys, monkeypatch, argv, missing, message):
    import importlib.util

    real = importlib.util.find_spec
    monkeypatch.setattr(importlib.util, "find_spec", lambda name, *a: None if name == missing else real(name, *a))
    code, out, err = run_cli(capsys, "-q", *[a.format(tmp=tmp_path) for a in argv])
    assert code == 2 and message in err and out == ""
    assert list(tmp_path.iterdir()) == []


def test_a_failing_page_leaves_no_report_file_behind(tmp_path, capsys, monkeypatch):
    from karrow_libs.cli import html_report

    def broken(facts):
        raise RuntimeError("no page")

    monkeypatch.setattr(html_report, "render_html", broken)
    code, _, err = run_cli(capsys, "-q", "--dataset", "cars", "--transforms", "divide", "--cv", "2",
                           "--json", tmp_path / "r.json", "--html", tmp_path / "r.html", "--out", tmp_path / "t.csv")
    assert code == 1 and "no page" in err
    assert list(tmp_path.iterdir()) == []
