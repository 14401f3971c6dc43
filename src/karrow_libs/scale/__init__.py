"""Tables larger than memory, on Dask: fit on a sample, score exactly, apply per partition.

    ddf = scale.read("data/*.csv")                   # lazy dask DataFrame
    pipeline = scale.fit(ddf, "price", keep=10)     # a scikit-learn Pipeline
    scale.write_parquet(scale.transform(ddf, pipeline), "engineered/")
    scale.write_parquet(scale.predict(ddf, pipeline), "predictions/")

The preparation, the search's screening and the model are fitted on a
reproducible sample of rows drawn across all partitions; the search's
shortlist is rescored exactly over every row (per-partition additive
statistics, summed); transforming and predicting map the fitted pipeline over
the partitions, and the Parquet output is written by the workers, one file
per partition.  The functions compute on the current Dask scheduler (a
``distributed.Client`` if one is open); :func:`connect` opens one for the
command.  Needs the ``[dask]`` extra (``dask[dataframe]``, ``distributed``,
``pyarrow``).
"""

from .cluster import Workers, computing, connect
from .fitting import (DEFAULT_SAMPLE_ROWS, FitInfo, OnPartitions, PartitionRescore, fit, fit_families, predict,
                      prediction_columns, sample, transform)
from .io import (StagedParquet, check_columns, check_out_dir, discard_staged, read, sources, stage_parquet,
                 whole_numbers_as_int, write_parquet)

__all__ = [
    "DEFAULT_SAMPLE_ROWS", "FitInfo", "PartitionRescore", "StagedParquet", "Workers", "check_columns",
    "check_out_dir", "computing", "connect", "discard_staged", "fit", "fit_families", "OnPartitions", "predict",
    "prediction_columns", "read", "sample", "sources",
    "stage_parquet", "transform", "whole_numbers_as_int", "write_parquet",
]
