"""Which error an odd call gives: the first failing step of the algorithm, in its order.

Each case pairs a call of the module with the same step written out in plain
Python; both must fail with the same exception type (and warning, if any).
"""
import multiprocessing
import types
import warnings

import numpy as np
import pandas as pd
import pytest
from sklearn.base import BaseEstimator
from sklearn.preprocessing import StandardScaler


class FrameOut(BaseEstimator):
    """An estimator whose transform hands back a data frame."""

    def fit(self, X, y=None):
        return self

    def transform(self, X):
        return pd.DataFrame(np.asarray(X) * 2.0)


def pooled():
    return types.SimpleNamespace(multiprocessing=True, max_feature_generate_one_node=None)


X = np.arange(1.0, 13.0).reshape(4, 3)
NAMES, DTYPES = ["a", "b", "c"], [X.dtype] * 3


def repeated_id_space(tu):
    space = tu.CandidatesSpaceDescriptor()
    space.add_dimension_spec([5, 5])
    space.add_dimension_spec([5, 6])
    return space


def candidate_of_repeated_id(tu):
    # Index 2 lies in the second block, whose offset is a numpy integer: its
    # remainder by an empty choice is numpy's (a warning, then an empty list indexed).
    return repeated_id_space(tu).get_candidate(2)


def candidate_of_repeated_id_plain(tu):
    actual_index = np.int64(2) - np.array([0, 1])[1] * 2
    return sorted({5} - {5})[actual_index % len(sorted({5} - {5}))]


def ta1_after_failed_fit(tu):
    t = tu.TA1(np.sqrt, "sqrt", ["numeric"], []).fit(X, None, NAMES, DTYPES)
    t.colids_ = None  # what a fit that failed after choosing nothing leaves
    return t.transform(X)


def tam_unnamed_frame_output(tu):
    t = tu.TAM(FrameOut(), "m").fit(X, None, NAMES, DTYPES)
    t.name = 7
    return t.transform(X)


def tam_unnamed_frame_output_plain(tu):
    Xtr = FrameOut().fit(X).transform(X)
    nfullname = 7 + "_" + str(0)
    return nfullname, Xtr[:, 0]


def add_new_columns_int_names(tu):
    return tu.DatasetS(pd.DataFrame({0: [1.0, 2.0], 1: [3.0, 4.0]})).AddNewColumns(np.log)


def add_new_columns_int_names_plain(tu):
    df = pd.DataFrame({0: [1.0, 2.0], 1: [3.0, 4.0]})
    values = np.log(df[0])
    return df.withColumn("log" + 0, values)


def tgen_estimator_on_frame(tu):
    t = tu.TGen(StandardScaler(), "s", 1, [["numeric"]], [[]]).fit(X, None, NAMES, DTYPES)
    return t.transform(pd.DataFrame(X))


def tgen_estimator_on_frame_plain(tu):
    df = pd.DataFrame(X)
    column_params = [df[:, colid] for colid in (0,)]
    return column_params, df[:, [0]]


def unfitted(tu, kind):
    return {"TA1": lambda: tu.TA1(np.sqrt, "sqrt", ["numeric"], [], pooled()),
            "TA2": lambda: tu.TA2(np.add, "add", ["numeric"], [], ["numeric"], [], pooled()),
            "TB1": lambda: tu.TB1(StandardScaler, "s", ["numeric"], [], pooled())}[kind]()


CASES = {
    "get_candidate, repeated id": (candidate_of_repeated_id, candidate_of_repeated_id_plain),
    "TA1 transform before a successful fit": (ta1_after_failed_fit, lambda tu: [c for c in None]),
    "TAM name before column lookup": (tam_unnamed_frame_output, tam_unnamed_frame_output_plain),
    "AddNewColumns, integer names": (add_new_columns_int_names, add_new_columns_int_names_plain),
    "TGen estimator, data frame": (tgen_estimator_on_frame, tgen_estimator_on_frame_plain),
    **{kind + " n_jobs=-1 before fit": ((lambda tu, k=kind: unfitted(tu, k).transform(X, n_jobs=-1)),
                                        lambda tu: multiprocessing.Pool(-1))
       for kind in ("TA1", "TA2", "TB1")},
}


def outcome(fn, tu):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            fn(tu)
        except Exception as e:  # the outcome under test
            error = type(e), str(e)
        else:
            error = None
    return error, sorted({(type(w.message), str(w.message).split(" in ")[0]) for w in caught}, key=str)


@pytest.mark.parametrize("case", list(CASES))
def test_fails_at_the_first_failing_step(tu, case):
    call, written_out = CASES[case]
    got, want = outcome(call, tu), outcome(written_out, tu)
    assert want[0] is not None
    assert got == want

