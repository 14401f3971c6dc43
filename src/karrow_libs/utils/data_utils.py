"""Small data helpers of the host library.

``transform_utils`` imports ``DataUtils`` from here and then defines its own
class of the same name, which carries the column-naming and NaN-replacement
helpers the transforms use.
"""

__all__ = ["DataUtils"]


class DataUtils:
    """The host library's data helpers; the module's own ``DataUtils`` shadows it."""
