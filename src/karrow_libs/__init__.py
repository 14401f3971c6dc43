"""karrow_libs: the transform layer of an automated feature-engineering library.

The transforms themselves live in the compiled module
``karrow_libs.vantor.transforms.transform_utils``; the pure-Python modules
beside it hold the feature-constraint predicates (``karrow_libs.utils.fc_methods``),
the host transformer base class, the element-wise helpers and estimator-like
extras that the transform catalogue wraps, and the ``TransformGraph`` cache
that callers hand to the transforms.

Importing this package does not load the compiled module.
"""

__version__ = "0.1.0"
