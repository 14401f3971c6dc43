"""Preparing a data frame for the search: the first step of a run.

:class:`PrepareFrame` turns a pandas ``DataFrame`` into the numeric
:class:`~karrow_libs.table.Table` of input columns (numbers, categories,
dates and missing-cell indicators, each with a name and a lineage object);
:func:`prepare_target` checks the target and picks the task;
:class:`TableValues` hands a table's array to a model.
"""

from ._frame import PrepareFrame, TableValues
from ._target import prepare_target

__all__ = ["PrepareFrame", "TableValues", "prepare_target"]
