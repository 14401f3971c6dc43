import random
from types import SimpleNamespace

import numpy as np
import pytest
from sklearn import config_context
from sklearn.base import clone
from sklearn.preprocessing import KBinsDiscretizer, StandardScaler

from karrow_libs.vantor.transforms.sklearn_compat import VantorTransformer


class RecordingSpace:
    """Candidate space whose candidates are ("cand", index); records fetches."""

    def __init__(self, size):
        self.size, self.fetched = size, []

    def get_size(self):
        return self.size

    def get_candidate(self, index):
        assert 0 <= index < self.size
        self.fetched.append(index)
        return ("cand", index)


class TB2(VantorTransformer):
    def __init__(self, name=None):
        self.name = name


@pytest.mark.parametrize("size, limit", [(10**12, 5), (10**13, 50), (1000, 999), (7, 3), (0, 0), (5, 5), (3, 10)])
def test_reduction_draws_distinct_sorted_candidates_without_listing(size, limit):
    space = RecordingSpace(size)
    chosen = TB2().reduce_count_of_candidates_from_search_space_descriptor(space, limit)
    if size <= limit:  # the space fits: nothing drawn
        assert chosen is None and space.fetched == []
        return
    indices = [c[1] for c in chosen]
    assert len(chosen) == limit == len(set(indices)) and indices == sorted(indices)
    assert space.fetched == indices
    assert TB2().reduce_count_of_candidates_from_search_space_descriptor(RecordingSpace(size), limit) == chosen


def test_reduction_leaves_shared_random_state_alone():
    random.seed(42)
    state = random.getstate()
    TB2().reduce_count_of_candidates_from_search_space_descriptor(RecordingSpace(10**6), 100)
    TB2().reduce_count_of_candidates(list(range(1000)), 10)
    assert random.getstate() == state


@pytest.mark.parametrize("n, limit", [(100, 10), (30, 29), (5, 5), (4, 6)])
def test_list_reduction_keeps_relative_order(n, limit):
    candidates = [(n - i, i) for i in range(n)]  # deliberately not sorted
    kept = TB2().reduce_count_of_candidates(candidates, limit)
    if n <= limit:
        assert kept is candidates
    positions = [candidates.index(c) for c in kept]
    assert len(kept) == min(n, limit) == len(set(positions)) and positions == sorted(positions)
    assert TB2().reduce_count_of_candidates(candidates, limit) == kept


@pytest.mark.parametrize("cls", [StandardScaler, SimpleNamespace])
def test_class_gives_new_instance(cls):
    host = TB2()
    a, b = host.get_obj_clone_or_new_class_obj(cls), host.get_obj_clone_or_new_class_obj(cls)
    assert type(a) is cls and type(b) is cls and a is not b


def test_estimator_object_gives_unfitted_clone_and_other_objects_a_deep_copy():
    est = KBinsDiscretizer(n_bins=10, encode="ordinal", strategy="uniform").fit(np.arange(20.0).reshape(-1, 1))
    copy_ = TB2().get_obj_clone_or_new_class_obj(est)
    assert copy_ is not est and copy_.get_params() == est.get_params() and not hasattr(copy_, "bin_edges_")
    obj = SimpleNamespace(seen=[1, 2], fit=len, transform=len)  # estimator-like, no get_params
    copy_ = TB2().get_obj_clone_or_new_class_obj(obj)
    assert copy_ is not obj and copy_.seen == obj.seen and copy_.seen is not obj.seen


@pytest.mark.parametrize("fun", [lambda a, b: a + b, np.sqrt, np.multiply, len])
def test_function_is_returned_as_it_is(fun):
    assert TB2().get_obj_clone_or_new_class_obj(fun) is fun


def test_base_transform_names_the_subclass():
    with pytest.raises(NotImplementedError, match=r"^TB2 does not implement transform\(\)"):
        TB2().transform(np.zeros((2, 2)), 1, return_new_cols_only=True)


def _build_class(method):
    # Built the way the compiled module builds its classes: a metaclass call.
    # get_feature_names_out lets an active set_output wrapper make a data frame.
    namespace = {"__module__": __name__, "transform": method, "get_feature_names_out": lambda self, f=None: ["a", "b"]}
    return type(VantorTransformer)("TA9", (VantorTransformer,), namespace)


SENTINEL = [object()]


@pytest.mark.parametrize("method", [lambda self, X: None, lambda self, X: SENTINEL, lambda self, X: X])
def test_subclass_transform_is_not_wrapped(method):
    cls = _build_class(method)
    assert cls.__dict__["transform"] is method
    X = np.arange(6.0).reshape(3, 2)
    with config_context(transform_output="pandas"):
        assert cls().transform(X) is method(None, X)


def test_subclass_supports_estimator_protocol():
    t = TB2(name="pairs")
    assert t.get_params() == {"name": "pairs"} and clone(t).name == "pairs" and repr(t) == "TB2(name='pairs')"


class OneArgTransform(VantorTransformer):
    def __init__(self, arg_count=1):
        self.arg_count = arg_count


class BareIdSpace(RecordingSpace):
    def get_candidate(self, index):
        super().get_candidate(index)
        return index


@pytest.mark.parametrize("owner, expected_type", [(OneArgTransform(1), tuple), (OneArgTransform(2), int), (TB2(), int)])
def test_reduction_wraps_bare_ids_only_for_one_argument_tuple_transforms(owner, expected_type):
    chosen = owner.reduce_count_of_candidates_from_search_space_descriptor(BareIdSpace(100), 5)
    assert all(type(c) is expected_type for c in chosen)
