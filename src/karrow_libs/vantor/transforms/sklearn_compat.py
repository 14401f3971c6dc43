"""Host base class of the transforms and feature selectors.

``VantorTransformer`` gives every transform class of ``transform_utils`` the
scikit-learn estimator protocol (``get_params``, ``clone``, ``repr``) and three
operations the transforms call on themselves:

* ``reduce_count_of_candidates_from_search_space_descriptor`` and
  ``reduce_count_of_candidates`` cap the number of columns or column tuples a
  transform is applied to, when the transform graph sets
  ``max_feature_generate_one_node``;
* ``get_obj_clone_or_new_class_obj`` turns the estimator (class or object) or
  function a transform wraps into a fresh object to fit or call.
"""

import contextlib
import contextvars
import copy
import inspect
import operator
import random

from sklearn.base import BaseEstimator, TransformerMixin, clone

__all__ = ["VantorTransformer", "candidate_sampling_seed"]

#: Seed of the private generator that picks candidates.  Fixed, so that the
#: same space and limit always give the same candidates, in every process.
CANDIDATE_SAMPLING_SEED = 1_729

# A run with its own seed (the feature search's) draws its candidates from that
# seed instead; callers that set none keep the fixed one.
_run_seed = contextvars.ContextVar("candidate_sampling_seed", default=None)


@contextlib.contextmanager
def candidate_sampling_seed(seed):
    """Within the block, candidate caps draw from ``seed`` (None: the fixed seed)."""
    token = _run_seed.set(None if seed is None else int(seed))
    try:
        yield
    finally:
        _run_seed.reset(token)


def _sample_sorted_indices(population_size, limit):
    """``limit`` distinct indices out of ``range(population_size)``, ascending.

    A private ``random.Random`` keeps the draw reproducible and leaves the
    shared ``random`` generator alone: the transforms draw their column-name
    suffixes from that one, and a cap must not change which names they pick.
    ``Random.sample`` over a ``range`` only indexes it, so the population is
    never materialised, even for sizes such as 10**13.
    """
    limit = operator.index(limit)
    if limit < 0:
        raise ValueError("the candidate limit must be >= 0, got " + str(limit))
    seed = _run_seed.get()
    rng = random.Random(CANDIDATE_SAMPLING_SEED if seed is None else seed)
    return sorted(rng.sample(range(population_size), limit))


class VantorTransformer(BaseEstimator, TransformerMixin, auto_wrap_output_keys=None):
    """Base class of the transforms: scikit-learn protocol plus host operations.

    Subclasses define their own ``__init__`` (storing each argument under an
    attribute of the same name, as scikit-learn expects) and their own
    ``fit`` and ``transform``.  This class defines no ``fit``.

    scikit-learn's ``TransformerMixin`` normally wraps the ``transform`` of
    every subclass so that ``set_output`` can convert its result into a data
    frame.  The transforms here return things that such a wrapper must not
    touch: arrays with new columns appended, ``None`` when they refuse a
    table, data frames, or the input object itself.  Every subclass therefore
    opts out by default; a subclass that does want the wrapping can still ask
    for it with ``class T(VantorTransformer, auto_wrap_output_keys=("transform",))``.
    """

    def __init_subclass__(cls, auto_wrap_output_keys=None, **kwargs):
        super().__init_subclass__(auto_wrap_output_keys=auto_wrap_output_keys, **kwargs)

    def reduce_count_of_candidates_from_search_space_descriptor(self, space, limit):
        """Pick at most ``limit`` candidates of a candidate space.

        ``space`` offers ``get_size()`` and ``get_candidate(index)``.  When the
        space holds no more than ``limit`` candidates, returns ``None`` and
        the caller uses all of them.  Otherwise draws ``limit`` distinct
        indices with a fixed seed, sorts them, and returns the list of
        ``space.get_candidate(i)`` for those indices, in ascending index
        order.  Only the chosen candidates are ever fetched, so spaces far too
        large to list are fine.

        A one-dimensional space yields bare column ids. Transforms over tuples
        of columns (those with an ``arg_count``) iterate every candidate as a
        collection of ids, so for them a bare id is returned as a 1-tuple.
        """
        size = space.get_size()
        if size <= limit:
            return None
        picked = [space.get_candidate(i) for i in _sample_sorted_indices(size, limit)]
        if getattr(self, "arg_count", None) == 1:
            picked = [c if isinstance(c, tuple) else (c,) for c in picked]
        return picked

    def reduce_count_of_candidates(self, candidates, limit):
        """Keep at most ``limit`` entries of the list ``candidates``.

        Returns ``candidates`` itself when it is short enough; otherwise a new
        list of ``limit`` entries drawn with the same fixed seed as above,
        kept in their original relative order.
        """
        if len(candidates) <= limit:
            return candidates
        return [candidates[i] for i in _sample_sorted_indices(len(candidates), limit)]

    def get_obj_clone_or_new_class_obj(self, obj):
        """Return a fresh object to fit or call in place of ``obj``.

        * a class: a new instance, built without arguments;
        * a scikit-learn estimator (anything with ``get_params``): an unfitted
          ``sklearn.base.clone`` with the same parameters;
        * another object with callable ``fit`` and ``transform``: a deep copy;
        * anything else (a plain function, a numpy ufunc, a lambda): ``obj``
          itself, since calling it keeps no state.
        """
        if inspect.isclass(obj):
            return obj()
        if callable(getattr(obj, "get_params", None)):
            return clone(obj)
        if callable(getattr(obj, "fit", None)) and callable(getattr(obj, "transform", None)):
            return copy.deepcopy(obj)
        return obj

    def transform(self, X, *args, **kwargs):
        """Not provided by the base class: always raises ``NotImplementedError``.

        Reached by subclasses that have no ``transform`` of their own.
        """
        name = type(self).__name__
        raise NotImplementedError(
            name + " does not implement transform(); VantorTransformer only "
            "provides the shared candidate and cloning operations, and "
            + name + " defines no transform of its own"
        )
