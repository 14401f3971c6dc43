"""Holder for the native tree that `CandidatesSpaceDescriptor` keeps between calls.

The descriptor stores one of these in its instance ``__dict__``. The native tree
cannot be pickled or copied, and need not be: it is rebuilt from the dimension
lists on first use. So a pickled or copied holder comes back empty.
"""


class NativeCache:
    """An opaque, rebuildable cache; empty after pickling or copying."""

    __slots__ = ("tree",)

    def __init__(self):
        self.tree = None

    def __reduce__(self):
        return (NativeCache, ())

    def __copy__(self):
        return NativeCache()

    def __deepcopy__(self, memo):
        return NativeCache()

    def __eq__(self, other):
        # Carries nothing observable: any two caches are interchangeable.
        if isinstance(other, NativeCache):
            return True
        return NotImplemented

    __hash__ = object.__hash__

    def __repr__(self):
        return "NativeCache()" if self.tree is None else "NativeCache(<built>)"
