"""The Dask engine runs the in-memory job between reading and writing: same families, same names, same matrix."""

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("dask.dataframe")
pytest.importorskip("karrow_libs.vantor.transforms.transform_utils")

from karrow_libs.cli import main  # noqa: E402


@pytest.mark.parametrize("model", ["lgbm", "both"])
def test_dask_matrix_and_report_equal_the_in_memory_ones(tmp_path, capsys, model):
    rng = np.random.default_rng(4)
    n = 300
    frame = pd.DataFrame({"a": rng.normal(size=n), "b": rng.normal(size=n), "kind": rng.choice(["p", "q"], n)})
    frame["y"] = frame["a"] * frame["b"] + (frame["kind"] == "p") + 0.1 * rng.normal(size=n)
    frame.to_csv(tmp_path / "t.csv", index=False)
    common = ["--target", "y", "--model", model, "--cv", "2", "--keep", "2", "--transforms", "product,sum", "-q"]
    assert main(["run", str(tmp_path / "t.csv"), *common, "--out-matrix", str(tmp_path / "m.csv")]) == 0
    memory = capsys.readouterr().out
    assert main(["run", str(tmp_path / "t.csv"), *common, "--engine", "dask", "--out-matrix",
                 str(tmp_path / "m_dir")]) == 0
    dask_report = capsys.readouterr().out
    expected, got = pd.read_csv(tmp_path / "m.csv"), pd.read_parquet(tmp_path / "m_dir")
    assert list(got.columns) == list(expected.columns)
    assert np.allclose(got.to_numpy(np.float64), expected.to_numpy(np.float64), rtol=1e-9, atol=1e-9)
    assert "engine     dask (" in dask_report and "engine     " not in memory
    cv = memory[memory.index("Cross-validated"):memory.index("\nwrote")]
    assert cv in dask_report  # the sample is every row here, so the comparison is the same


def test_on_partitions_fits_like_memory_and_maps_transform_and_predict():
    import dask.dataframe as dd

    from karrow_libs import evaluate, scale

    rng = np.random.default_rng(6)
    n = 240
    frame = pd.DataFrame({"a": rng.normal(size=n), "b": rng.normal(size=n)})
    frame["y"] = frame["a"] * frame["b"] + 0.05 * rng.normal(size=n)
    ddf = dd.from_pandas(frame, npartitions=3)
    est = scale.OnPartitions(model="linear", keep=2, transforms=("product",)).fit(ddf, "y")
    assert est.info_.partitions == 3 and est.info_.sample_rows == n
    memory = evaluate.fit_families(frame[["a", "b"]], frame["y"].to_numpy(), "regression", ["linear"], keep=2,
                                   transforms=("product",))["linear"].pipeline()
    features = est.pipeline_.named_steps["features"]
    assert list(features.get_feature_names_out()) == list(memory.named_steps["features"].get_feature_names_out())
    got = est.transform(ddf).compute()
    assert list(got.columns) == list(features.get_feature_names_out()) + ["y"]
    assert np.allclose(got.iloc[:, :-1].to_numpy(), memory[:1].transform(frame[["a", "b"]]))
    predicted = est.predict(ddf).compute()
    assert np.allclose(predicted["predicted_y"], memory.predict(frame[["a", "b"]]))
