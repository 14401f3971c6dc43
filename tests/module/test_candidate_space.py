"""Candidate spaces: counting and indexing tuples of distinct column ids."""
import copy
import itertools
import math
import pickle
import random

import numpy as np
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import karrow_libs.vantor.transforms.transform_utils as TU


def make_space(tu, *dims):
    space = tu.CandidatesSpaceDescriptor()
    for dim in dims:
        space.add_dimension_spec(dim)
    return space


def all_candidates(space):
    return [space.get_candidate(i) for i in range(space.get_size())]


def meshgrid_rows(k):
    """Selection vector -> row number, straight from numpy's meshgrid."""
    rows = np.array(np.meshgrid(*([[0, 1]] * k))).T.reshape(-1, k)
    return {tuple(int(b) for b in row): i for i, row in enumerate(rows)}


def reference_enumeration(dims):
    """Every tuple of distinct ids, sorted by (block rows along the path, position of
    each component among the ids its dimension still has free). Brute force; assumes
    no repeated id in dimension 0."""
    n = len(dims)
    sets = [set(d) for d in dims]
    keyed = []
    for combo in itertools.product(*[sorted(s) for s in sets]):
        if len(set(combo)) < n:
            continue
        subsets, rows = [sets[0]], []
        for k in range(1, n):
            vec = tuple(int(combo[k] in subsets[j]) for j in range(k))
            rows.append(meshgrid_rows(k)[vec])
            subsets.append({x for x in sets[k] if all((x in subsets[j]) == bool(vec[j]) for j in range(k))})
        positions = tuple(sorted(subsets[j] - set(combo[j + 1:])).index(combo[j]) for j in range(n))
        keyed.append((tuple(rows), positions, combo if n > 1 else combo[0]))
    keyed.sort(key=lambda t: (t[0], t[1]))
    return [t[2] for t in keyed]


def random_dims(seed):
    rng = random.Random(seed)
    pool = list(range(rng.randint(1, 7)))
    dims = [rng.sample(pool, rng.randint(0, len(pool)))]
    for _ in range(rng.randint(0, 3)):
        dims.append([rng.choice(pool) for _ in range(rng.randint(0, 6))])  # repeats allowed
    return dims


WORKED_TREE = {
    (0,): (3, 3, [[1, 2, 3]], (3,)),
    (0, 0): (1, 3, [[1, 2, 3], [4]], (3, 1)),
    (0, 1): (1, 2, [[1, 2, 3], [2]], (2, 1)),
}
WORKED_CUMUL = {(0, 0): (0, 3), (0, 1): (3, 2), (0,): (0, 5), (): (0, 5)}


@pytest.mark.parametrize(
    "dims, expected",
    [
        (([3, 1, 2], [2, 4]), [(1, 4), (2, 4), (3, 4), (1, 2), (3, 2)]),
        (([5, 7, 6],), [5, 6, 7]),
        (([1, 2], [1, 2]), [(2, 1), (1, 2)]),
        (([1, 2], ["a", "b"]), [(1, "a"), (1, "b"), (2, "a"), (2, "b")]),
        (((), [])),
        (([],), []),
        (([], [1]), []),
        (([5], [5]), []),
        (([1, 2], []), []),
        (([1, 2], None), []),
        (([2, 2, 1],), [1, 2, 1]),  # repeats in dimension 0 count, then wrap
        (([1, 1, 2], [3]), [(1, 3), (2, 3), (1, 3)]),
        (([1, 2], [3, 3, 4, 4]), [(1, 3), (1, 4), (2, 3), (2, 4)]),  # later repeats collapse
    ],
)
def test_enumeration_matches_hand_worked_order(tu, dims, expected):
    space = make_space(tu, *dims)
    assert space.get_size() == len(expected)
    assert all_candidates(space) == expected
    if dims and dims[0]:
        assert space._get_size() == len(expected)


@pytest.mark.parametrize("dims", [random_dims(seed) for seed in range(50)] + [[[1, 2], [1.0, 3]]])  # 1 == 1.0
def test_random_spaces_follow_the_documented_order(tu, dims):
    space = make_space(tu, *dims)
    got = all_candidates(space)
    assert got == reference_enumeration(dims)
    brute = {c if len(dims) > 1 else c[0] for c in itertools.product(*dims) if len(set(c)) == len(dims)}
    assert len(set(got)) == len(got) and set(got) == brute


NAN_A, NAN_B = float("nan"), float("nan")
ODD_IDS = st.one_of(st.integers(0, 4), st.sampled_from([False, True, np.int64(1), np.int64(2), np.uint8(3),
                                                        NAN_A, NAN_B, 1.0, 2.5]))
ODD_INDICES = st.one_of(st.integers(-3, 12), st.sampled_from([2**64, -2**70, np.int64(-1), np.int64(2), True]))


def outcome(call):
    try:
        return ("value", call())
    except Exception as error:  # noqa: BLE001 - the outcome is compared, whatever it is
        return (type(error), error.args)


def same(a, b):
    """The same objects, item by item (NaN ids are compared by identity)."""
    if type(a) is tuple and type(b) is tuple:
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a is b or (type(a) is type(b) and a == b)


@pytest.mark.filterwarnings("ignore:divide by zero:RuntimeWarning")  # numpy integers modulo 0
@settings(max_examples=200, deadline=None, suppress_health_check=list(HealthCheck))
@given(dims=st.lists(st.lists(ODD_IDS, max_size=5), max_size=3), indices=st.lists(ODD_INDICES, max_size=6))
@example(dims=[[0], [1, NAN_A, 0, 3]], indices=[1])
@example(dims=[[0, 1], [False, True]], indices=[])
@example(dims=[[5, 5], [5]], indices=[3, -1])
def test_lookup_equals_its_building_blocks_for_any_ids_and_index(dims, indices):
    space = make_space(TU, *dims)

    def step_by_step(i):
        tree = space.get_tree_desc()
        return space._get_candidate(space.compute_cumul_left_tree_size(tree), space.get_tree_desc(), i)

    size = outcome(space.get_size)
    if dims and dims[0]:
        assert same(size, outcome(space._get_size))
    in_range = list(range(size[1])) if size[0] == "value" else []
    for i in in_range[:20] + indices:
        got, want = outcome(lambda: space.get_candidate(i)), outcome(lambda: step_by_step(i))
        assert got[0] is want[0] and same(got[1], want[1]), (dims, i, got, want)


def test_building_blocks_give_the_worked_example(tu):
    space = make_space(tu, [3, 1, 2], [2, 4])
    assert space.get_tree_desc() == WORKED_TREE
    assert space.compute_cumul_left_tree_size(space.get_tree_desc()) == WORKED_CUMUL
    assert space._get_node_id(WORKED_CUMUL, (), 3) == (0, 1)
    assert space._get_node_id(WORKED_CUMUL, (), 5) is None
    # the caller's own dicts are used as given
    assert space._get_candidate(WORKED_CUMUL, WORKED_TREE, 3) == (1, 2)
    assert space._get_candidate(dict(WORKED_CUMUL), {**WORKED_TREE, (0, 1): (1, 2, [[1, 2, 3], [3]], (2, 1))},
                                3) == (1, 3)
    assert space._build_tree_desc(1, [[1, 2, 3]], {(0,): WORKED_TREE[(0,)]}, (0,)) == WORKED_TREE


def test_tree_node_ids_are_meshgrid_rows(tu):
    dims = [[1, 2, 3, 4], [2, 3, 5], [1, 3, 5, 6], [2, 5, 6, 7]]
    tree = make_space(tu, *dims).get_tree_desc()
    for node_id, (_, _, path, _) in tree.items():
        k = len(node_id) - 1
        if k == 0:
            continue
        vec = tuple(int(path[k][0] in set(path[j])) for j in range(k))
        assert node_id[-1] == meshgrid_rows(k)[vec]


def test_size_of_a_large_space_and_overflow(tu):
    cols = list(range(300))
    space = make_space(tu, cols, cols, cols)
    assert space.get_size() == 300 * 299 * 298
    tree = space.get_tree_desc()
    cumul = space.compute_cumul_left_tree_size(tree)
    for i in random.Random(0).sample(range(space.get_size()), 20):
        assert space.get_candidate(i) == space._get_candidate(cumul, tree, i)
    huge = make_space(tu, *[cols] * 8)
    with pytest.raises(OverflowError):
        huge.get_size()
    # The building blocks count with the selection vectors' numpy integers, which wrap at 64 bits.
    with pytest.warns(RuntimeWarning, match="overflow"):
        wrapped = huge._get_size()
    assert type(wrapped) is int and wrapped != math.perm(300, 8)


W = ([3, 1, 2], [2, 4])  # the worked example: (1, 4), (2, 4), (3, 4), (1, 2), (3, 2)


@pytest.mark.parametrize("dims, index, want", [
    *[(W, i, KeyError(None)) for i in (5, -1, 2**70, 10.5)],  # outside the space
    (W, True, (2, 4)), (W, np.uint8(4), (3, 2)), (W, 3.0, TypeError), ((), 0, KeyError(())),
    (([5, 5], [5]), 0, ZeroDivisionError),                   # a repeated id leaving no choice
    (([1, 2], [3, "x"]), 0, TypeError),
])
def test_get_candidate_outcomes(tu, dims, index, want):
    space = make_space(tu, *dims)
    if not isinstance(want, (type, BaseException)):
        assert space.get_candidate(index) == want
        return
    with pytest.raises(want if isinstance(want, type) else type(want)) as info:
        space.get_candidate(index)
    assert isinstance(want, type) or info.value.args == want.args


def test_the_callers_id_objects_are_returned(tu):
    a, b, c, d = "col_a", "col_b", 10**30, 10**29 + 1
    given = (a, b, c, d)
    for cand in all_candidates(make_space(tu, [a, b], [b, a])):
        assert all(any(x is o for o in given) for x in cand)
    assert make_space(tu, [c, d]).get_candidate(0) is d
    numpy_ids = [np.int64(9), np.int64(7)]
    assert make_space(tu, numpy_ids).get_candidate(0) is numpy_ids[1]
    assert make_space(tu, [2.5, 1.5]).get_candidate(1) == 2.5


def test_cache_sees_new_dimensions_and_edited_lists(tu):
    first, second = [1, 2, 3], [2, 4]
    space = make_space(tu, first)
    assert space.get_size() == 3
    space.add_dimension_spec(second)
    assert all_candidates(space) == reference_enumeration([first, second])
    second.append(5)
    assert all_candidates(space) == reference_enumeration([first, second])
    first[0] = 7
    assert all_candidates(space) == reference_enumeration([first, second])
    space.matching_colids_by_arg[1] = [1]
    assert all_candidates(space) == [(2, 1), (3, 1), (7, 1)]
    space.matching_colids_by_arg = {0: (9, 8)}
    assert all_candidates(space) == [8, 9]
    space.matching_colids_by_arg = {0: np.array([3, 1])}
    assert all_candidates(space) == [1, 3]
    space.matching_colids_by_arg[0][0] = 2
    assert all_candidates(space) == [1, 2]


@pytest.mark.parametrize("duplicate", [pickle.loads, copy.deepcopy])
def test_used_descriptor_pickles_and_copies(tu, duplicate):
    space = make_space(tu, [3, 1, 2], [2, 4])
    before = all_candidates(space)
    twin = duplicate(pickle.dumps(space)) if duplicate is pickle.loads else duplicate(space)
    assert all_candidates(twin) == before
    twin.matching_colids_by_arg[1].append(5)
    assert all_candidates(space) == before
    assert len(all_candidates(twin)) == 8


def test_singleton_space(tu):
    x = object()
    space = tu.SingletonCandidateSpaceDescriptor(x)
    assert space.get_size() == 1
    assert space.get_candidate(0) is x
    with pytest.raises(IndexError):
        space.get_candidate(1)
