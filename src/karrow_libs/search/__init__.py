"""The search around the transform module: which derived columns to add to a table.

:class:`FeatureSearch` scores every candidate of the requested catalogue
transforms by what it adds to the table's own columns and appends the best
ones, computed, named and traced by the module's own transforms.
:class:`ShortlistScorer` is the hook through which exact statistics of the
shortlist can be computed elsewhere (for instance over Dask partitions).
"""

from ._search import FeatureSearch, ShortlistScorer
from ._stats import GramStats
from ._trees import TreeSearch

__all__ = ["FeatureSearch", "ShortlistScorer", "GramStats"]
