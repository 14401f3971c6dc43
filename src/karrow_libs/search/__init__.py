"""The search around the transform module: which derived columns to add to a table.

:class:`FeatureSearch` scores every candidate of the requested catalogue
transforms by what it adds to the table's own columns and appends the best
ones, computed, named and traced by the module's own transforms.
:class:`TreeSearch` chooses them for a gradient-boosting model instead.
:class:`ShortlistScorer` is the hook through which exact statistics of the
shortlist can be computed elsewhere (for instance over Dask partitions).

The defaults live in :mod:`karrow_libs.search.defaults`, which imports
nothing heavy; the estimator is loaded on first use.
"""

__all__ = ["FeatureSearch", "ShortlistScorer", "GramStats", "TreeSearch"]


def __getattr__(name):
    if name in ("FeatureSearch", "ShortlistScorer"):
        from . import _search

        return getattr(_search, name)
    if name == "TreeSearch":
        from ._trees import TreeSearch

        return TreeSearch
    if name == "GramStats":
        from ._stats import GramStats

        return GramStats
    raise AttributeError("module 'karrow_libs.search' has no attribute " + repr(name))
