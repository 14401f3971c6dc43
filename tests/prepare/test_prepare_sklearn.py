"""PrepareFrame and TableValues as scikit-learn parts: names out, pandas output, inside ColumnTransformer."""

import numpy as np
import pandas as pd
import pytest
from sklearn.compose import ColumnTransformer
from sklearn.linear_model import Ridge
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler

pytest.importorskip("karrow_libs.vantor.transforms.transform_utils")

from karrow_libs.prepare import PrepareFrame, TableValues  # noqa: E402
from karrow_libs.table import Table  # noqa: E402


def frame(n=80, seed=0):
    rng = np.random.default_rng(seed)
    out = pd.DataFrame({"size": rng.normal(size=n), "colour": rng.choice(["red", "blue"], n),
                        "extra": rng.normal(size=n)})
    out.loc[::9, "size"] = np.nan
    return out, out["extra"] * 2 + (out["colour"] == "red")


@pytest.mark.parametrize("output,kind", [(None, Table), ("default", np.ndarray), ("pandas", pd.DataFrame)])
def test_set_output_chooses_what_transform_returns(output, kind):
    X, y = frame()
    prepare = PrepareFrame().set_output(transform=output)
    for got in (prepare.fit_transform(X, y), prepare.transform(X.iloc[10:20])):
        assert isinstance(got, kind)
    names = list(prepare.get_feature_names_out())
    assert "is_missing(size)" in names and "colour" in names
    if output == "pandas":
        assert list(got.columns) == names and list(got.index) == list(range(10, 20))


def test_prepare_on_a_column_subset_inside_column_transformer():
    X, y = frame()
    columns = ColumnTransformer([("prep", PrepareFrame(), ["size", "colour"]), ("keep", "passthrough", ["extra"])])
    pipe = make_pipeline(columns, StandardScaler(), Ridge()).fit(X, y)
    assert pipe.score(X, y) > 0.9
    out = columns.fit(X, y).set_output(transform="pandas").transform(X)
    assert list(out.columns)[-1] == "keep__extra" and "prep__is_missing(size)" in out.columns


def test_table_values_names_and_pandas_output():
    X, y = frame()
    table = PrepareFrame().fit_transform(X, y)
    values = TableValues().set_output(transform="pandas").fit(table)
    out = values.transform(table)
    assert list(out.columns) == table.names and np.array_equal(out.to_numpy(), table.values)
    with pytest.raises(ValueError, match="features"):
        values.transform(Table(table.values[:, :2], table.names[:2], table.dtypes[:2], table.lineage[:2], 2))
