"""Candidate spaces: counting and indexing tuples of distinct column ids."""
import pytest


def make_space(tu, *dims):
    space = tu.CandidatesSpaceDescriptor()
    for dim in dims:
        space.add_dimension_spec(dim)
    return space


def all_candidates(space):
    return [space.get_candidate(i) for i in range(space.get_size())]


@pytest.mark.parametrize(
    "dims, expected",
    [
        (([3, 1, 2], [2, 4]), [(1, 4), (2, 4), (3, 4), (1, 2), (3, 2)]),
        (([5, 7, 6],), [5, 6, 7]),
        (([1, 2], [1, 2]), [(2, 1), (1, 2)]),
        ((), []),
        (([],), []),
        (([5], [5]), []),
        (([1, 2], []), []),
    ],
)
def test_enumeration_matches_hand_worked_order(tu, dims, expected):
    space = make_space(tu, *dims)
    assert space.get_size() == len(expected)
    assert all_candidates(space) == expected
