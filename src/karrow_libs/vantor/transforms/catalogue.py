"""The transform catalogue as data: every name ``TransformBase.GetTransformObj`` builds.

The entries come from the compiled module's own catalogue table, so this module
never keeps a second list of names::

    >>> from karrow_libs.vantor.transforms import catalogue
    >>> catalogue.names()[:3]
    ['sqrt', 'log', 'exp']
    >>> catalogue.entries()[0]["constraints"]
    [['is_non_negative', 'is_not_categorical']]
"""

__all__ = ["entries", "names"]


def _table():
    from karrow_libs.vantor.transforms import transform_utils

    return transform_utils.__catalogue__


def entries():
    """One new dict per catalogue name, in the catalogue's own order.

    Keys: ``name``; ``class`` (the transform class the name builds: "TA1", "TA2",
    "TB1", "TGen" or "TAM"); ``arguments`` (the number of column arguments, or
    "all" for a transform of the whole table); ``datatypes`` and ``constraints``
    (one list per argument: the datatype families it accepts and the ``__name__``
    of every feature constraint it must satisfy); ``wraps`` (the function or
    estimator the transform applies, as the catalogue names it).
    """
    return [{"name": name, "class": cls, "arguments": len(datatypes) if datatypes else "all",
             "datatypes": [list(d) for d in datatypes], "constraints": [list(c) for c in constraints],
             "wraps": wraps}
            for name, cls, wraps, datatypes, constraints in _table()]


def names():
    """The catalogue's names, in its own order (a new list)."""
    return [entry[0] for entry in _table()]
