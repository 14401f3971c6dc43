"""karrow-fe on files as people write them: identifiers on both engines, column roles, encodings, duplicates."""

import numpy as np
import pandas as pd
import pytest

from conftest import run_cli

pytest.importorskip("karrow_libs.vantor.transforms.transform_utils")

QUICK = ["--quiet", "--transforms", "sqrt,product", "--keep", "2", "--cv", "0"]
N = 1500


def _table(seed=11, n=N):
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame({"a": rng.normal(size=n).round(4), "b": rng.uniform(1, 3, n).round(4)})
    frame["y"] = (frame.a * frame.b + rng.normal(scale=0.1, size=n)).round(4)
    return frame, rng


def _left_out_line(out):
    return next((ln for ln in out.splitlines() if "left out:" in ln), "")


# (case, column name, values from a generator, is an identifier)
IDENTIFIERS = [
    ("row number", "row", lambda rng: np.arange(N), True),
    ("shuffled permutation", "customer", lambda rng: rng.permutation(N) + 10_000, True),
    ("increasing with gaps", "rownames", lambda rng: np.cumsum(rng.integers(1, 40, N)), True),
    ("named like an id", "customer_id", lambda rng: rng.choice(10 ** 9, N, replace=False), True),
    ("unique measurement", "income", lambda rng: rng.choice(10 ** 9, N, replace=False), False),
    ("text codes", "code", lambda rng: np.asarray(["C" + str(v) for v in rng.permutation(N)]), True),
]


@pytest.mark.parametrize("engine", ["memory", "dask"])
def test_identifiers_on_both_engines(tmp_path, capsys, engine):
    if engine == "dask":
        pytest.importorskip("dask.dataframe")
    frame, rng = _table()
    for _, name, make, _ in IDENTIFIERS:
        frame.insert(0, name, make(rng))
    csv = tmp_path / "t.csv"
    frame.to_csv(csv, index=False)
    extra = ["--engine", "dask", "--sample-rows", "600"] if engine == "dask" else []
    code, out, err = run_cli(capsys, csv, "--target", "y", *QUICK, *extra)
    assert code == 0, err
    line, kept_features = _left_out_line(out), out.split("Kept derived features", 1)[-1]
    for case, name, _, is_id in IDENTIFIERS:
        assert (name + " (an identifier") in line if is_id else name not in line, (case, out)
        assert not is_id or ("$" + name) not in kept_features, case


@pytest.mark.parametrize("engine", ["memory", "dask"])
def test_roles_and_exact_integer_ids_in_out_and_apply(tmp_path, capsys, engine):
    if engine == "dask":
        pytest.importorskip("dask.dataframe")
    frame, rng = _table(n=400)
    frame.insert(0, "key", rng.choice(10 ** 12, 400, replace=False) + 2 ** 53)  # exact only as int64
    frame["grade"] = rng.integers(0, 40, 400)
    frame["junk"] = rng.normal(size=400)
    csv, out_path = tmp_path / "t.csv", tmp_path / ("out" if engine == "dask" else "out.csv")
    frame.to_csv(csv, index=False)
    extra = ["--engine", "dask"] if engine == "dask" else []
    code, out, err = run_cli(capsys, csv, "--target", "y", *QUICK, "--id", "key", "--drop", "junk",
                             "--categorical", "grade", "--out", out_path, "--save", tmp_path / "m.joblib", *extra)
    assert code == 0, err
    written = pd.read_parquet(out_path) if engine == "dask" else pd.read_csv(out_path)
    assert list(written.columns)[0] == "key" and written["key"].dtype == np.int64
    assert written["key"].tolist() == frame["key"].tolist()
    # --out is the input as it came plus the derived features: a dropped column stays, but feeds no feature.
    derived = [c for c in written.columns if c not in frame.columns]
    assert "junk" in written.columns and not any("junk" in c for c in derived)
    left = _left_out_line(out)
    assert "key (an identifier (as declared))" in left and "junk (dropped as asked)" in left
    assert "categories (" in out and "grade" in out.split("categories (", 1)[1].splitlines()[0]
    frame.drop(columns=["y"]).to_csv(tmp_path / "new.csv", index=False)
    dest = tmp_path / ("pred" if engine == "dask" else "pred.csv")
    code, out, err = run_cli(capsys, "apply", tmp_path / "m.joblib", tmp_path / "new.csv", "--id", "key",
                             "--out", dest, "--quiet", *extra)
    assert code == 0, err
    got = pd.read_parquet(dest) if engine == "dask" else pd.read_csv(dest)
    assert got.columns[0] == "key" and got["key"].dtype == np.int64
    assert got["key"].tolist() == frame["key"].tolist()


def test_latin1_formatted_numbers_and_duplicates(tmp_path, capsys):
    frame, rng = _table(n=200)
    frame["price"] = ["{:,.2f} €".format(v).replace(",", " ").replace(".", ",") for v in 1000 * frame.b]
    frame["città"] = rng.choice(["Forlì", "Cantù", "Milano"], 200)
    frame = pd.concat([frame, frame.iloc[:30]], ignore_index=True)
    csv = tmp_path / "t.csv"
    frame.to_csv(csv, index=False, sep=";", encoding="cp1252")
    code, out, err = run_cli(capsys, csv, "--target", "y", *QUICK)
    assert code == 1 and "not a UTF-8 text file" in err and "--encoding" in err
    code, out, err = run_cli(capsys, csv, "--target", "y", *QUICK, "--encoding", "cp1252")
    assert code == 0, err
    assert "numbers written as text: price (thousands ' ', decimal ',', currency)" in out
    assert "warning: 30 of 230 rows repeat an earlier row" in out
    assert "Forlì" in out or "città" in out


@pytest.mark.parametrize("frame,repeated", [
    (pd.DataFrame({"a": [1.0, 2.0, 1.0, None, None], "b": ["x", "y", "x", None, None]}), 2),  # missing cells repeat too
    (pd.DataFrame({"a": [1, "1", 1.0], "b": [0.0, 0.0, 0.0]}), 1),  # 1 == 1.0, but not "1"
    (pd.DataFrame({"a": [[1], [1], {2: 3}]}), 1),  # cells the row hash refuses: compared as pandas compares them
    (pd.DataFrame({"a": np.arange(5000) % 2500, "b": np.arange(5000) % 2500 * 0.5}), 2500),
])
def test_duplicated_rows_counts_exact_repeats(frame, repeated):
    from karrow_libs.cli.inputs import duplicated_rows

    assert duplicated_rows(frame) == repeated
