"""The search's defaults, declared once: the estimator, the pipelines and the command read them here.

Importing this module loads nothing beyond the standard library, so the
command's option parser can use it.
"""

#: Transforms of a search without an explicit list: cheap, interpretable unary
#: and binary arithmetic that suits most numeric tables.  Minima and maxima of
#: pairs come from the fused kernel and cost about as much as one more product.
DEFAULT_TRANSFORMS = ("sqrt", "log", "square", "product", "sum", "diff", "divide", "min", "max")

#: Families the linear search builds itself, from the module's own transform classes, next to
#: ``transforms``: (name, class, columns taken, what it computes, the ``FeatureSearch`` option that turns it
#: off).  The catalogue lacks them: it has no reciprocal, and its ``product`` refuses category levels.
SEARCH_FAMILIES = (
    ("reciprocal", "TA1", "numeric >0", "1 / x", "reciprocals"),
    ("level x number", "TA2", "0/1 level, numeric", "a * b: a slope per category level", "levels"),
    ("level x level", "TA2", "2 x 0/1 level", "a * b: a pair of levels of two categories", "levels"),
)

#: How kept features are chosen: added value, or the module's selectors.
SELECTORS = ("gain", "fs1", "fs2")

#: Memory budget of one block of candidate columns, MiB.
BLOCK_MIB = 64

#: Above this many rows the candidates are screened on a row sample of this size.
SAMPLE_THRESHOLD = 50_000

#: Candidates carried from screening to exact scoring, over all steps of a round.
SHORTLIST = 200
