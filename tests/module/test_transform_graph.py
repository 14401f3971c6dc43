import pickle

import pytest

from karrow_libs.vantor.transforms.transform_graph import TransformGraph


@pytest.mark.parametrize("res", [True, False, None])
def test_cache_round_trip(res):
    g = TransformGraph()
    assert g.fcache_contains_key("is_positive", "age") is False
    assert g.add_to_fc_cache("is_positive", "age", res) is None
    assert g.fcache_contains_key("is_positive", "age") is True and g.does_col_satisfy_fc("is_positive", "age") is res
    assert not g.fcache_contains_key("is_positive", "income") and not g.fcache_contains_key("is_epoch", "age")
    with pytest.raises(KeyError):
        g.does_col_satisfy_fc("is_epoch", "age")


@pytest.mark.parametrize("limit, mp", [(None, False), (25, True)])
def test_pickle_keeps_cache_and_settings(limit, mp):
    g = TransformGraph(max_feature_generate_one_node=limit, multiprocessing=mp)
    g.add_to_fc_cache("is_categorical", "colour", True)
    g.add_to_fc_cache("is_categorical", "price", False)
    h = pickle.loads(pickle.dumps(g))
    assert (h.max_feature_generate_one_node, h.multiprocessing) == (limit, mp)
    assert h.does_col_satisfy_fc("is_categorical", "colour") is True
    assert h.does_col_satisfy_fc("is_categorical", "price") is False
    assert repr(h) == "TransformGraph(max_feature_generate_one_node=%r, multiprocessing=%r, cached_answers=2)" % (limit, mp)
    h.clear_fc_cache()
    assert not h.fcache_contains_key("is_categorical", "colour") and g.fcache_contains_key("is_categorical", "colour")
