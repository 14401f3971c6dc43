"""Fits in several threads: no process-wide state left behind, the same names as one fit."""
import io
import random
import sys
import threading
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pandas as pd
import pytest

from karrow_libs.pipeline import make_pipeline
from karrow_libs.search import FeatureSearch
from karrow_libs.table import module_output, quiet_warnings, seeded_names

from conftest import search_table


def colliding_table(seed=0):
    """Inputs named like the features the search builds, so new names draw suffix digits."""
    rng = np.random.default_rng(seed)
    X = rng.uniform(0.5, 2.0, (400, 5))
    y = 2 * X[:, 0] * X[:, 1] + np.sqrt(X[:, 2]) * 3 + 0.1 * rng.normal(size=400)
    return search_table(X, ["x0", "x1", "x2", "product(x0__x1)", "sqrt(x2)"]), y


def kept_names_search(seed):
    X, y = colliding_table()
    fs = FeatureSearch(transforms=["sqrt", "product"], keep=4, seed=seed).fit(X, y)
    return [k["name"] for k in fs.kept_], fs.transform(X).names


def kept_names_pipeline(seed):
    X, y = colliding_table()
    frame = pd.DataFrame(X.values, columns=X.names)
    pipe = make_pipeline("regression", keep=4, seed=seed).fit(frame, y)
    return [k["module_name"] for k in pipe.named_steps["features"].kept_]


@pytest.mark.parametrize("fit", [kept_names_search, kept_names_pipeline])
def test_threaded_fits_leave_stdout_and_filters_and_give_serial_names(fit):
    stdout, filters = sys.stdout, list(warnings.filters)
    random.seed(123)
    expected_next = random.random()
    random.seed(123)
    serial = [fit(seed) for seed in (0, 1)]
    assert random.random() == expected_next  # the shared generator is left alone
    assert "product(x0__x1)-" in str(serial)  # the suffix digits are exercised
    assert [fit(seed) for seed in (0, 1)] == serial
    with ThreadPoolExecutor(4) as pool:
        threaded = list(pool.map(fit, [0, 1] * 4))
    assert threaded == serial * 4
    assert sys.stdout is stdout
    assert warnings.filters == filters


def test_output_and_warnings_are_held_back_in_the_calling_thread_only(capsys):
    inside, go, done = threading.Event(), threading.Event(), threading.Event()
    held = {}

    def quiet_thread():
        with module_output() as buffer, quiet_warnings(UserWarning):
            inside.set()
            go.wait(5)
            print("from the quiet thread")
            warnings.warn("silenced", UserWarning)
            done.set()
            held["text"] = buffer.getvalue()

    worker = threading.Thread(target=quiet_thread)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        worker.start()
        inside.wait(5)
        print("from the main thread")
        warnings.warn("shown", UserWarning)
        go.set()
        done.wait(5)
        worker.join()
    assert held["text"] == "from the quiet thread\n"
    assert capsys.readouterr().out == "from the main thread\n"
    assert [str(w.message) for w in caught] == ["shown"]


def test_nested_sections_restore_everything():
    stdout, filters = sys.stdout, list(warnings.filters)
    echo = io.StringIO()
    with module_output(echo), quiet_warnings(RuntimeWarning, active=True):
        with module_output() as inner, quiet_warnings():
            print("inner")
            warnings.warn("gone")
        print("outer")
    assert inner.getvalue() == "inner\n" and echo.getvalue() == "outer\n"
    assert sys.stdout is stdout and warnings.filters == filters
    with quiet_warnings(active=False), pytest.warns(UserWarning):
        warnings.warn("verbose runs see it")


def test_seeded_names_take_turns_and_restore_the_generator():
    random.seed(123)
    expected_after = random.random()
    random.seed(123)
    draws = []

    def draw():
        with seeded_names(5):
            draws.append(tuple(random.randint(0, 9) for _ in range(50)))

    threads = [threading.Thread(target=draw) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(set(draws)) == 1
    assert random.random() == expected_after


def test_libraries_that_copy_the_filters_to_their_workers_get_nothing_silencing():
    from sklearn.ensemble import RandomForestRegressor

    before = list(warnings.filters)
    rng = np.random.default_rng(0)
    X = rng.random((60, 3))
    with quiet_warnings(RuntimeWarning):
        RandomForestRegressor(n_estimators=4, n_jobs=2, random_state=0).fit(X, X[:, 0])
        import pickle

        pickle.loads(pickle.dumps(list(warnings.filters)))  # process pools copy them too
    left = [f for f in warnings.filters if f not in before]
    assert not [f for f in left if f[0] == "ignore" and (f[1] is None or f[1].match("any text"))]
