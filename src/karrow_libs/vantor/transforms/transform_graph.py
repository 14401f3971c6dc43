"""The transform graph object that callers hand to the transforms as ``tgraph``.

A search over derived data sets asks many transforms whether the same column
satisfies the same feature constraint.  ``TransformGraph`` remembers each
answer under the pair (constraint name, column name), and carries the two
settings the transforms read:

* ``max_feature_generate_one_node``: ``None`` to apply a transform to every
  admissible column or column tuple, or an integer cap on how many a single
  transform may use (the transforms then sample that many reproducibly);
* ``multiprocessing``: the transforms that can spread their columns over a
  process pool do so only when this attribute is the object ``True``.

Usage::

    tgraph = TransformGraph(max_feature_generate_one_node=50)
    t = TransformBase.GetTransformObj("log", tgraph)

The object holds plain attributes only, so it pickles and can be sent to
pool workers.
"""

__all__ = ["TransformGraph"]


class TransformGraph:
    """Feature-constraint cache plus the transforms' two settings.

    Parameters
    ----------
    max_feature_generate_one_node : int or None, default None
        Cap on the number of columns or column tuples one transform is
        applied to; ``None`` for no cap.
    multiprocessing : bool, default False
        Whether transforms may use a process pool (only the object ``True``
        switches it on).

    Attributes
    ----------
    fc_cache : dict
        Cached constraint answers, keyed by ``(fcname, colname)``.  Answers are
        stored as given (the transforms store the predicates' own results).
    """

    def __init__(self, max_feature_generate_one_node=None, multiprocessing=False):
        self.max_feature_generate_one_node = max_feature_generate_one_node
        self.multiprocessing = multiprocessing
        self.fc_cache = {}

    def fcache_contains_key(self, fcname, colname):
        """True when an answer of constraint ``fcname`` for column ``colname`` is held."""
        return (fcname, colname) in self.fc_cache

    def does_col_satisfy_fc(self, fcname, colname):
        """The held answer for the pair; ``KeyError`` when there is none."""
        return self.fc_cache[(fcname, colname)]

    def add_to_fc_cache(self, fcname, colname, res):
        """Store ``res`` as the answer of constraint ``fcname`` for column ``colname``."""
        self.fc_cache[(fcname, colname)] = res

    def clear_fc_cache(self):
        """Forget every held answer, for instance after columns were renamed."""
        self.fc_cache.clear()

    def __repr__(self):
        return (
            "TransformGraph(max_feature_generate_one_node=" + repr(self.max_feature_generate_one_node)
            + ", multiprocessing=" + repr(self.multiprocessing)
            + ", cached_answers=" + str(len(self.fc_cache)) + ")"
        )
