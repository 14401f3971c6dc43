"""Transforms that derive new columns, and the pure-Python modules they use.

The compiled ``transform_utils`` module is deliberately not imported here, so
that the helper modules of this package (``sklearn_compat``, ``textras_methods``,
``transform_extras``, ``transform_graph``) can be imported on their own, and
so that ``transform_utils`` can import ``sklearn_compat`` without a cycle.
"""
