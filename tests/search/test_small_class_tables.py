"""Small tables of classes: noise candidates are never kept, odd class counts do not stop the count."""
import numpy as np
import pytest

from karrow_libs.search import FeatureSearch
from conftest import search_table as table

def classes_of(z, k):
    return np.digitize(z, np.quantile(z, np.linspace(0, 1, k + 1)[1:-1]))


@pytest.mark.parametrize("n,p,k,positive", [(150, 13, 3, True), (400, 10, 2, False), (800, 20, 2, True),
                                            (500, 8, 3, False)])
@pytest.mark.parametrize("seed", [0, 1])
def test_small_tables_of_noise_candidates_keep_nothing(n, p, k, positive, seed):
    # The classes follow a line through two columns: the model is not flat, and no candidate adds anything.
    rng = np.random.default_rng(100 + seed)
    X = rng.uniform(0.5, 2, (n, p)) if positive else rng.normal(size=(n, p))
    y = classes_of(X[:, 0] - X[:, 1] + 0.5 * rng.normal(size=n), k)
    assert FeatureSearch(task="classification", depth=2).fit(table(X), y).kept_ == []


def test_a_class_some_folds_never_train_on_is_counted_without_error():
    rng = np.random.default_rng(4)
    X = rng.normal(size=(300, 5))
    y = classes_of(X[:, 0] + 0.3 * rng.normal(size=300), 2).astype(str)
    y[:2] = "rare"
    fs = FeatureSearch(task="classification").fit(table(X), y)
    assert fs.transform(table(X[:3])).shape[1] == 5 + len(fs.kept_)
