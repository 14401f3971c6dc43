"""The report's feature expressions: the library's naming rule, as the command prints it."""

from karrow_libs.lineage import depth, input_name, mark_whole_table, render, whole_table_lineage

__all__ = ["render", "depth", "input_name", "mark_whole_table", "whole_table_lineage"]
