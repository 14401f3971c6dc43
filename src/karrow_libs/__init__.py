"""karrow_libs: automated feature engineering for tables, with a compiled transform catalogue.

The product API, importable from here:

* :class:`AutoFeatures` -- preparation and feature search as one scikit-learn
  transformer (DataFrame or array in, model-ready columns plus the kept
  derived features out);
* :func:`compare` -- the honest comparison: original vs engineered columns,
  cross-validated for each model family, preparation and search refitted
  inside every fold;
* :func:`make_pipeline` -- AutoFeatures followed by a model, ready to fit and save.

Below them sit ``karrow_libs.prepare`` (a raw frame -> numeric columns),
``karrow_libs.search`` (which derived columns to add), ``karrow_libs.scale``
(the same estimator over Dask partitions) and the compiled module
``karrow_libs.vantor.transforms.transform_utils`` (the transform catalogue).

Importing this package loads neither the compiled module nor scikit-learn:
the names above are imported on first use.
"""

__version__ = "0.1.0"

__all__ = ["AutoFeatures", "compare", "make_pipeline", "__version__"]

_LAZY = {"AutoFeatures": "karrow_libs.autofeatures", "compare": "karrow_libs.evaluate",
         "make_pipeline": "karrow_libs.pipeline"}


def __getattr__(name):
    if name in _LAZY:
        import importlib

        value = getattr(importlib.import_module(_LAZY[name]), name)
        globals()[name] = value
        return value
    raise AttributeError("module 'karrow_libs' has no attribute " + repr(name))


def __dir__():
    return sorted(list(globals()) + list(_LAZY))
