"""Type stubs of the compiled module ``karrow_libs.vantor.transforms.transform_utils``.

The stub declares what the module itself defines: the function
``resolve_basic_datatypes`` and its twenty classes, with every method,
parameter and default exactly as the compiled objects report them through
``inspect.signature``.  The names the module binds by import (``np``, ``pd``,
``FC``, ``TExtras``, ``SelectKBest``, ``PCA``, ``VantorTransformer``, ...)
are not part of its own surface and are not re-exported here; import them
from where they live.  ``tests/test_stubs.py`` holds the stub and the module
to this.

Tables are 2-d numpy arrays whose columns are addressed by position; names,
dtypes and JSON name objects of the columns travel in lists beside them.
"""

from abc import ABC, abstractmethod
from typing import Any, Callable, Container, Hashable, Iterable, Literal, Mapping, Protocol, Sequence, TypeVar, overload

from typing_extensions import Self, TypeAlias

import numpy as np
import pandas as pd

from karrow_libs.vantor.transforms.sklearn_compat import VantorTransformer

# A JSON name object: {"name": "$col"} for an input column, or
# {"expression": {"op": name, "params": [...]}} for a derived one.
_JSONObject = dict[str, Any]
_Array = np.ndarray
_ArrayT = TypeVar("_ArrayT")
_Predicate = Callable[[Any], Any]

# The catalogue names by the class they build (tests/test_stubs.py holds them to the module's table).
_TA1Names: TypeAlias = Literal[
    "sqrt", "log", "exp", "round", "square", "cube", "cbrt", "tanh", "sin", "cos", "tan", "abs", "sigmoid",
    "dtextr",
]
_TA2Names: TypeAlias = Literal["product", "sum", "diff", "min", "max", "divide"]
_TB1Names: TypeAlias = Literal["freq", "onehot", "stdscaler", "minmaxscaler"]
_TGenNames: TypeAlias = Literal[
    "pair", "groupbymean", "groupbystd", "groupbymin", "groupbymax", "groupbymedian", "nxor", "binning",
    "speed", "distance", "m_distance",
]
_TAMNames: TypeAlias = Literal[
    "pca", "ica", "nystroem", "featureagglomeration", "clusterdbscan", "isoforestanomaly",
]
_Transform: TypeAlias = "TA1 | TA2 | TB1 | TGen | TAM"

class _TransformGraph(Protocol):
    """What the transforms use of the caller's transform graph (``tgraph``)."""

    max_feature_generate_one_node: int | None
    multiprocessing: bool
    def fcache_contains_key(self, fcname: str, colname: Hashable) -> Any: ...
    def does_col_satisfy_fc(self, fcname: str, colname: Hashable) -> Any: ...
    def add_to_fc_cache(self, fcname: str, colname: Hashable, res: Any) -> Any: ...

class _Estimator(Protocol):
    def fit(self, X: Any, *args: Any) -> Any: ...
    def transform(self, X: Any) -> Any: ...

def resolve_basic_datatypes(datatypes: Iterable[str]) -> list[str]:
    """Expand family names ("numeric", "float", "int", "integer") into numpy dtype names, in order."""

# ---------------------------------------------------------------- candidate spaces

class AbstractCandidatesSpaceDescriptor(ABC):
    """A space of candidates that can be counted and indexed without listing it."""

    @abstractmethod
    def get_size(self) -> int:
        """Number of candidates."""
    @abstractmethod
    def get_candidate(self, index: int) -> Any:
        """The candidate at position ``index``."""

class SingletonCandidateSpaceDescriptor(AbstractCandidatesSpaceDescriptor):
    """A space holding exactly one candidate."""

    candidate: Any
    def __init__(self, candidate: Any) -> None: ...
    def get_size(self) -> int:
        """Always 1."""
    def get_candidate(self, index: int) -> Any:
        """The candidate for index 0; ``IndexError`` for any other index."""

class CandidatesSpaceDescriptor(AbstractCandidatesSpaceDescriptor):
    """Tuples of distinct column ids, one per dimension, counted and indexed through a tree."""

    def __init__(self) -> None: ...
    def get_size(self) -> int:
        """Number of tuples of pairwise distinct ids, one id per dimension."""
    def _get_size(self) -> int:
        """``get_size`` computed from the tree."""
    def add_dimension_spec(self, matching_colids: list[int]) -> None:
        """Append a dimension: the column ids allowed for the next argument."""
    def get_tree_desc(self) -> Any:
        """The tree of blocks describing the space."""
    def _build_tree_desc(self, arg_index: int, colids_on_path: Any, current_tree: Any, current_node_id: int) -> Any:
        """Recursive step of ``get_tree_desc``."""
    def compute_cumul_left_tree_size(self, tree: Any) -> Any:
        """Cumulative candidate counts of the tree's left siblings."""
    def _compute_cumul_left_tree_size(
        self, tree_desc: Any, current_node_id: int, current_cumul_tree: Any, current_cumul: int
    ) -> Any:
        """Recursive step of ``compute_cumul_left_tree_size``."""
    def _get_node_id(self, cumul_tree: Any, current_node_id: int, index: int) -> Any:
        """The child node holding candidate ``index``."""
    def get_candidate(self, index: int) -> Any:
        """The candidate at ``index``: a column id (one dimension) or a tuple of ids."""
    def _get_candidate(self, cumul_tree: Any, desc_tree: Any, index: int) -> Any:
        """Recursive step of ``get_candidate``."""

# ---------------------------------------------------------------- data preparation

class DatasetS:
    """Holds one data frame and derives columns from it."""

    df: Any
    def __init__(self, dataframe: Any) -> None: ...
    def AddNewColumns(self, fun: Callable[[Any], Any]) -> None:
        """Add ``"log" + name`` = ``fun(df[name])`` for every column, through ``df.withColumn``."""
    @staticmethod
    def GetTargetType(y: Any) -> str:
        """ "regression" when ``FC.is_not_categorical(y)`` is true, else "classification"."""

class MakeDFReady:
    """Learns which columns of a data frame are numeric and keeps only those."""

    name: str
    uid: str
    long_name: str
    run_: bool | None
    numeric_colids_: list[int]
    def __init__(self) -> None: ...
    def transform(self, X: pd.DataFrame, n_jobs: int = 1) -> pd.DataFrame:
        """The columns of ``X`` at the positions learnt by ``fit``."""
    def fit(self, X: pd.DataFrame, y: Any) -> Self:
        """Record the positions of the numeric columns of ``X``."""

# ---------------------------------------------------------------- feature selection

class FS1(VantorTransformer):
    """Keeps must-keep columns plus the best columns by a univariate F-test."""

    name: str
    uid: str
    long_name: str
    cols_ids_must_keep: Sequence[int]
    additional_col_count_to_keep: float
    ptype: Any
    k_: Any
    cols_to_keep_final_: list[int]
    def __init__(self, cols_ids_must_keep: Sequence[int], additional_col_count_to_keep: float, ptype: Any) -> None:
        """``ptype`` "classification" selects ``f_classif``, anything else ``f_regression``."""
    def transform(self, X: _Array, n_jobs: int = 1) -> _Array:
        """``X[:, cols_to_keep_final_]``."""
    def fit(self, X: _Array, y: Any) -> Self:
        """Score the columns against ``y`` and choose ``cols_to_keep_final_``."""
    def find_k_top_indices(self, fs_scores: Sequence[float]) -> None:
        """Must-keep ids plus the ``k_`` best others, sorted ascending, into ``cols_to_keep_final_``."""

class FS2(VantorTransformer):
    """Keeps must-keep columns plus the best columns by an estimator's feature importances."""

    name: str
    uid: str
    long_name: str
    cols_ids_must_keep: Sequence[int]
    additional_col_count_to_keep: float
    ptype: Any
    eval_algo: Any
    k_: Any
    cols_to_keep_final_: list[int]
    def __init__(
        self, cols_ids_must_keep: Sequence[int], additional_col_count_to_keep: float, ptype: Any, eval_algo: Any
    ) -> None:
        """``eval_algo``: an estimator class (built with ``random_state=7``) or object (deep-copied)."""
    def transform(self, X: _Array, n_jobs: int = 1) -> _Array:
        """``X[:, cols_to_keep_final_]``."""
    def fit(self, X: _Array, y: Any) -> Self:
        """Fit a copy of ``eval_algo`` and choose columns by its ``feature_importances_``."""
    def find_k_top_indices(self, fs_scores: Sequence[float]) -> None:
        """As ``FS1.find_k_top_indices``."""

class FS3(VantorTransformer):
    """Removes a fixed set of column positions."""

    colids_to_remove: Iterable[int]
    def __init__(self, colids_to_remove: Iterable[int]) -> None: ...
    def fit(self, X: Any, y: Any) -> Self:
        """Learns nothing; returns the object."""
    def transform(self, X: _Array) -> _Array:
        """``X`` without the columns at ``colids_to_remove``."""

class Tproxy(VantorTransformer):
    """Wraps an already fitted transform: ``fit`` leaves it untouched, ``transform`` applies it."""

    trobj: Any
    name: str
    uid: str
    long_name: str
    new_column_names_: list[str]
    new_column_dtypes_: list[np.dtype]
    new_column_as_json_objects_: list[_JSONObject]
    def __init__(self, trobj: Any) -> None: ...
    def fit(self, X: Any, y: Any, col_names: Any, col_dtypes: Any) -> Self:
        """Reads nothing; returns the object."""
    def transform(self, X: _Array, n_jobs: int = 1) -> Any:
        """``trobj.transform(X)``, then copy its three ``new_column_…_`` attributes."""

# ---------------------------------------------------------------- data utilities

class DataUtils:
    """Static helpers shared by the transforms: dtype families, NaN/inf cleaning, unique names, JSON name objects."""

    @staticmethod
    def NumericDataTypes() -> list[str]:
        """The 17 numeric dtype names (a new list)."""
    @staticmethod
    def IntDataTypes() -> list[str]:
        """The 14 integer dtype names (a new list)."""
    @staticmethod
    def FloatDataTypes() -> list[str]:
        """The 3 float dtype names (a new list)."""
    @staticmethod
    def get_basic_types(cat: str) -> list[str]:
        """Expand one family name into dtype names; any other value gives ``[cat]``."""
    @staticmethod
    def replace_nan_and_inf(col: _ArrayT) -> _ArrayT:
        """Replace NaN, +inf and -inf by 0 in place; returns the same object."""
    @staticmethod
    def all_feats_numeric(df: _Array) -> bool:
        """True when every column of a 2-d array has a numeric dtype."""
    @staticmethod
    def get_unique_column_name(proposed_name: str, existing_name_list: Container[Any]) -> str:
        """Append ``-<digit>`` suffixes until the name is not in ``existing_name_list``."""
    @staticmethod
    def get_json_for_name(name: object) -> _JSONObject:
        """The JSON name object of an input column: ``{"name": "$" + str(name)}``."""
    @staticmethod
    def build_json_objects(names: Iterable[Hashable], name_to_json_map: Mapping[Any, _JSONObject]) -> list[_JSONObject]:
        """One JSON name object per name, from the map or the default leaf object."""

# ---------------------------------------------------------------- transforms

class TNoOp(VantorTransformer):
    """The identity transform: learns nothing and returns its input unchanged."""

    fun: None
    name: Any
    datatypes: Any
    feat_constraints: Any
    tgraph: _TransformGraph | None
    uid: str
    long_name: str
    colids_: list[int]
    def __init__(
        self, fun: Any, name: Any, datatypes: Any, feat_constraints: Any, tgraph: _TransformGraph | None = None
    ) -> None: ...
    def transform(self, df: Any, n_jobs: int = 1) -> Any:
        """Return ``df`` itself."""
    def fit(self, X: Any, y: Any) -> Self:
        """Set ``colids_`` to a new empty list; return the object."""

class TA1(VantorTransformer):
    """Unary function transform: applies one element-wise function to each eligible column."""

    col_names: list[Any] | None
    col_dtypes: list[Any] | None
    col_as_json_objects: list[_JSONObject] | None
    col_names_: list[Any]
    col_dtypes_: list[Any]
    col_as_json_objects_: list[_JSONObject] | None
    new_column_names_: list[str]
    new_column_dtypes_: list[np.dtype]
    new_column_as_json_objects_: list[_JSONObject]
    name: str
    uid: str
    long_name: str
    tgraph: _TransformGraph | None
    apply_all: Any
    fun: Callable[[_Array], _Array]
    datatypes: Any
    feat_constraints: list[_Predicate]
    colids_: list[int]
    def __init__(
        self,
        fun: Callable[[_Array], _Array],
        name: str | None = None,
        datatypes: Iterable[str] | None = None,
        feat_constraints: list[_Predicate] | None = None,
        tgraph: _TransformGraph | None = None,
        apply_all: Any = True,
        col_names: list[Any] | None = None,
        col_dtypes: list[Any] | None = None,
        col_as_json_objects: list[_JSONObject] | None = None,
    ) -> None:
        """``fun`` is applied to each eligible column.

        ``datatypes*``: column types an argument accepts, as family names ("numeric", "float", "int",
        "integer") or numpy dtype names ("float64", "int64", ...); ``None`` accepts every type.
        ``feat_constraints*``: predicates every column of that argument must pass, usually from
        ``karrow_libs.utils.fc_methods`` (``is_positive``, ``is_non_negative``, ``is_categorical``,
        ``is_not_categorical``, ``is_lt80pc_unique_int``, ``is_latitude``, ``is_longitude``,
        ``is_epoch``, ``is_distance``).  ``tgraph`` caches the predicates' answers per column.
        """
    def transform(self, X: _Array, n_jobs: int = 1, return_new_cols_only: Any = False) -> _Array | None:
        """``X`` with one new column per chosen column appended (or the new columns alone)."""
    def get_candidates_space_descriptor(self, df: _Array, col_names: Sequence[Any], col_dtypes: Sequence[Any]) -> CandidatesSpaceDescriptor:
        """One dimension: the eligible column ids."""
    def get_candidates(self, df: _Array, col_names: Sequence[Any], col_dtypes: Sequence[Any]) -> list[int]:
        """The eligible column ids, ascending."""
    def namestr(self, obj: Any, namespace: Mapping[Any, Any]) -> list[Any]:
        """Keys of ``namespace`` whose value is ``obj`` itself."""
    def fit(
        self,
        X: _Array,
        y: Any,
        col_names: list[Any] | None = None,
        col_dtypes: list[Any] | None = None,
        col_as_json_objects: list[_JSONObject] | None = None,
    ) -> Self | None:
        """Choose ``colids_``; ``None`` when single-column mode gets a wider table."""
    def all_fc_satisifed(self, dfc: _Array, col_name: Any) -> bool:
        """Whether the column satisfies every feature constraint (answers cached in ``tgraph``)."""
    def exec_tr(self, colid: int, df_: _Array) -> _Array:
        """The new column for column ``colid``, shaped (rows, 1)."""

class TA2(VantorTransformer):
    """Binary function transform: applies a two-argument function to ordered pairs of distinct columns."""

    col_names: list[Any] | None
    col_dtypes: list[Any] | None
    col_as_json_objects: list[_JSONObject] | None
    col_names_: list[Any]
    col_dtypes_: list[Any]
    col_as_json_objects_: list[_JSONObject] | None
    new_column_names_: list[str]
    new_column_dtypes_: list[np.dtype]
    new_column_as_json_objects_: list[_JSONObject]
    name: str
    uid: str
    long_name: str
    tgraph: _TransformGraph | None
    apply_all: Any
    fun: Callable[[_Array, _Array], _Array]
    datatypes1: Any
    feat_constraints1: list[_Predicate]
    datatypes2: Any
    feat_constraints2: list[_Predicate]
    colid_pairs_: list[tuple[int, int]]
    def __init__(
        self,
        fun: Callable[[_Array, _Array], _Array],
        name: str | None,
        datatypes1: Iterable[str] | None,
        feat_constraints1: list[_Predicate] | None,
        datatypes2: Iterable[str] | None,
        feat_constraints2: list[_Predicate] | None,
        tgraph: _TransformGraph | None = None,
        apply_all: Any = True,
        col_names: list[Any] | None = None,
        col_dtypes: list[Any] | None = None,
        col_as_json_objects: list[_JSONObject] | None = None,
    ) -> None:
        """``fun`` is applied to ordered pairs of distinct eligible columns (first, second argument).

        ``datatypes*``: column types an argument accepts, as family names ("numeric", "float", "int",
        "integer") or numpy dtype names ("float64", "int64", ...); ``None`` accepts every type.
        ``feat_constraints*``: predicates every column of that argument must pass, usually from
        ``karrow_libs.utils.fc_methods`` (``is_positive``, ``is_non_negative``, ``is_categorical``,
        ``is_not_categorical``, ``is_lt80pc_unique_int``, ``is_latitude``, ``is_longitude``,
        ``is_epoch``, ``is_distance``).  ``tgraph`` caches the predicates' answers per column.
        """
    @overload
    def transform(self, X: _Array, n_jobs: int = 1, return_new_cols_only: Literal[False] = False) -> _Array:
        """``X`` with one new column per pair appended (``X`` itself when no pair was chosen)."""
    @overload
    def transform(self, X: _Array, n_jobs: int = 1, return_new_cols_only: object = False) -> _Array | list[Any]:
        """The new columns alone when ``return_new_cols_only`` is true (``[]`` when no pair was chosen)."""
    def get_candidates_space_descriptor(self, df: _Array, col_names: Sequence[Any], col_dtypes: Sequence[Any]) -> CandidatesSpaceDescriptor:
        """Two dimensions: the ids eligible as first, then as second argument."""
    def get_candidates(self, df: _Array, col_names: Sequence[Any], col_dtypes: Sequence[Any]) -> list[tuple[int, int]]:
        """The eligible ordered pairs, by first id then second id."""
    def exec_tr(self, i: int, df_: _Array) -> _Array:
        """The new column for the pair at position ``i`` of ``colid_pairs_``."""
    def namestr(self, obj: Any, namespace: Mapping[Any, Any]) -> list[Any]:
        """Keys of ``namespace`` whose value is ``obj`` itself."""
    def fit(
        self,
        X: _Array,
        y: Any,
        col_names: list[Any] | None = None,
        col_dtypes: list[Any] | None = None,
        col_as_json_objects: list[_JSONObject] | None = None,
    ) -> Self:
        """Resolve the datatype families and choose ``colid_pairs_``."""
    def all_fc1_satisifed(self, dfc: _Array, dfcname: Any) -> bool:
        """The constraint check over ``feat_constraints1``."""
    def all_fc2_satisifed(self, dfc: _Array, dfcname: Any) -> bool:
        """The constraint check over ``feat_constraints2``."""

class TGen(VantorTransformer):
    """Generic function transform: an n-argument function or estimator over tuples of distinct columns."""

    col_names: list[Any] | None
    col_dtypes: list[Any] | None
    col_as_json_objects: list[_JSONObject] | None
    col_names_: list[Any]
    col_dtypes_: list[Any]
    col_as_json_objects_: list[_JSONObject] | None
    new_column_names_: list[str]
    new_column_dtypes_: list[np.dtype]
    new_column_as_json_objects_: list[_JSONObject]
    name: str
    uid: str
    long_name: str
    tgraph: _TransformGraph | None
    apply_all: Any
    fun: Any
    arg_count: int
    datatypes_list: list[Any]
    feat_constraints_list: list[list[_Predicate]]
    transform_type: str
    candidates_: Sequence[Any]
    tobjects_: list[Any]
    def __init__(
        self,
        fun: Any,
        name: str | None,
        arg_count: int,
        datatypes_list: Sequence[Iterable[str]],
        feat_constraints_list: Sequence[list[_Predicate]],
        tgraph: _TransformGraph | None = None,
        apply_all: Any = True,
        col_names: list[Any] | None = None,
        col_dtypes: list[Any] | None = None,
        col_as_json_objects: list[_JSONObject] | None = None,
    ) -> None:
        """``fun``, a function or an estimator class, is applied to tuples of ``arg_count`` distinct columns.

        ``datatypes*``: column types an argument accepts, as family names ("numeric", "float", "int",
        "integer") or numpy dtype names ("float64", "int64", ...); ``None`` accepts every type.
        ``feat_constraints*``: predicates every column of that argument must pass, usually from
        ``karrow_libs.utils.fc_methods`` (``is_positive``, ``is_non_negative``, ``is_categorical``,
        ``is_not_categorical``, ``is_lt80pc_unique_int``, ``is_latitude``, ``is_longitude``,
        ``is_epoch``, ``is_distance``).  ``tgraph`` caches the predicates' answers per column.
        """
    def transform(self, X: _Array, n_jobs: int = 1, return_new_cols_only: Any = False) -> _Array:
        """``X`` with the new columns of every candidate tuple appended (or the new columns alone)."""
    def get_candidates_space_descriptor(self, df: _Array, col_names: Sequence[Any], col_dtypes: Sequence[Any]) -> CandidatesSpaceDescriptor:
        """One dimension per argument."""
    def get_candidates(self, df: _Array, col_names: Sequence[Any], col_dtypes: Sequence[Any]) -> list[tuple[int, ...]]:
        """The tuples of distinct eligible ids, first argument slowest."""
    def get_candidates_sub(
        self, df: _Array, current_arg: int, colids_tuple_list: list[tuple[int, ...]], col_names: Sequence[Any], col_dtypes: Sequence[Any]
    ) -> list[tuple[int, ...]]:
        """Recursive step of ``get_candidates``."""
    def combined_param_name(self, candidate_cols_ids: Iterable[int], col_names: Sequence[Any]) -> str:
        """Each column's name followed by "___"."""
    def namestr(self, obj: Any, namespace: Mapping[Any, Any]) -> list[Any]:
        """Keys of ``namespace`` whose value is ``obj`` itself."""
    @staticmethod
    def get_df_from_tuple_of_series(tofseries: Sequence[pd.Series]) -> pd.DataFrame:
        """Rename the Series "0", "1", ... and join them as columns."""
    def fit(
        self,
        X: _Array,
        y: Any,
        col_names: list[Any] | None = None,
        col_dtypes: list[Any] | None = None,
        col_as_json_objects: list[_JSONObject] | None = None,
    ) -> Self:
        """Choose ``candidates_``; for an estimator, fit one copy per candidate into ``tobjects_``."""
    def all_fc_satisifed(self, fcs: Iterable[_Predicate], dfc: _Array, dfcname: Any) -> bool:
        """Whether the column satisfies every predicate of ``fcs`` (answers cached in ``tgraph``)."""

class TB1(VantorTransformer):
    """Unary estimator transform: fits one fresh estimator per eligible column and appends its output."""

    col_names: list[Any] | None
    col_dtypes: list[Any] | None
    col_as_json_objects: list[_JSONObject] | None
    col_names_: list[Any]
    col_dtypes_: list[Any]
    col_as_json_objects_: list[_JSONObject] | None
    new_column_names_: list[str]
    new_column_dtypes_: list[np.dtype]
    new_column_as_json_objects_: list[_JSONObject]
    name: str
    uid: str
    long_name: str
    tgraph: _TransformGraph | None
    apply_all: Any
    tans_class: Any
    datatypes: Any
    feat_constraints: list[_Predicate]
    colids_: list[int]
    tobjects_: list[Any]
    def __init__(
        self,
        tans_class: Any,
        name: str | None,
        datatypes: Iterable[str] | None,
        feat_constraints: list[_Predicate] | None,
        tgraph: _TransformGraph | None = None,
        apply_all: Any = True,
        col_names: list[Any] | None = None,
        col_dtypes: list[Any] | None = None,
        col_as_json_objects: list[_JSONObject] | None = None,
    ) -> None:
        """``tans_class``, an estimator class, is fitted afresh on each eligible column.

        ``datatypes*``: column types an argument accepts, as family names ("numeric", "float", "int",
        "integer") or numpy dtype names ("float64", "int64", ...); ``None`` accepts every type.
        ``feat_constraints*``: predicates every column of that argument must pass, usually from
        ``karrow_libs.utils.fc_methods`` (``is_positive``, ``is_non_negative``, ``is_categorical``,
        ``is_not_categorical``, ``is_lt80pc_unique_int``, ``is_latitude``, ``is_longitude``,
        ``is_epoch``, ``is_distance``).  ``tgraph`` caches the predicates' answers per column.
        """
    def transform(self, X: _Array, n_jobs: int = 1, return_new_cols_only: Any = False) -> _Array | None:
        """``X`` with every estimator's output columns appended (or those columns alone)."""
    def get_candidates_space_descriptor(self, df: _Array, col_names: Sequence[Any], col_dtypes: Sequence[Any]) -> CandidatesSpaceDescriptor:
        """One dimension: the eligible column ids."""
    def get_candidates(self, df: _Array, col_names: Sequence[Any], col_dtypes: Sequence[Any]) -> list[int]:
        """The eligible column ids, ascending."""
    def namestr(self, obj: Any, namespace: Mapping[Any, Any]) -> list[Any]:
        """Keys of ``namespace`` whose value is ``obj`` itself."""
    def fit(
        self,
        X: _Array,
        y: Any,
        col_names: list[Any] | None = None,
        col_dtypes: list[Any] | None = None,
        col_as_json_objects: list[_JSONObject] | None = None,
    ) -> Self | None:
        """Choose ``colids_`` and fit one estimator per chosen column into ``tobjects_``."""
    def all_fc_satisifed(self, dfc: _Array, dfcname: Any) -> bool:
        """Whether the column satisfies every feature constraint (answers cached in ``tgraph``)."""
    def exec_tr(self, i: int, df_: _Array) -> Any:
        """The fitted estimator's output for the column at position ``i`` of ``colids_``."""

class TB2(VantorTransformer):
    """Binary estimator transform over a data frame: one estimator per ordered pair of columns."""

    tans_class: Any
    name: str
    datatypes1: Any
    feat_constraints1: list[_Predicate]
    datatypes2: Any
    feat_constraints2: list[_Predicate]
    tgraph: _TransformGraph | None
    apply_all: Any
    uid: str
    long_name: str
    col_id_pairs_: list[tuple[Any, Any]]
    tobjects_: list[Any]
    def __init__(
        self,
        tans_class: Any,
        name: str | None,
        datatypes1: Iterable[str] | None,
        feat_constraints1: list[_Predicate] | None,
        datatypes2: Iterable[str] | None,
        feat_constraints2: list[_Predicate] | None,
        tgraph: _TransformGraph | None = None,
        apply_all: Any = True,
    ) -> None: ...
    def tansform(self, X: pd.DataFrame, n_jobs: int = 1, return_new_cols_only: Any = False) -> pd.DataFrame:
        """The per-pair application (the class has no ``transform`` of its own)."""
    def get_candidates_space_descriptor(self, df: pd.DataFrame, col_names: Sequence[Any], col_dtypes: Sequence[Any]) -> CandidatesSpaceDescriptor:
        """Two dimensions: the columns eligible as first, then as second argument."""
    def get_candidates(self, df: pd.DataFrame) -> list[tuple[Any, Any]]:
        """The eligible ordered pairs of columns."""
    def namestr(self, obj: Any, namespace: Mapping[Any, Any]) -> list[Any]:
        """Keys of ``namespace`` whose value is ``obj`` itself."""
    def fit(self, X: pd.DataFrame, y: Any) -> Self:
        """Choose ``col_id_pairs_`` and fit one estimator per pair into ``tobjects_``."""
    def all_fc1_satisifed(self, dfc: pd.Series) -> bool:
        """The constraint check over ``feat_constraints1`` (no cache key)."""
    def all_fc2_satisifed(self, dfc: pd.Series) -> bool:
        """The constraint check over ``feat_constraints2`` (no cache key)."""
    def exec_tr(self, i: int, df_: pd.DataFrame) -> Any:
        """The fitted estimator's output for the pair at position ``i``."""

class TAM(VantorTransformer):
    """Whole-frame estimator transform: one estimator fitted on all columns, its outputs appended."""

    col_names: list[Any] | None
    col_dtypes: list[Any] | None
    col_as_json_objects: list[_JSONObject] | None
    col_names_: list[Any]
    col_dtypes_: list[Any]
    col_as_json_objects_: list[_JSONObject] | None
    new_column_names_: list[str]
    new_column_dtypes_: list[np.dtype]
    new_column_as_json_objects_: list[_JSONObject]
    name: str
    uid: str
    long_name: str
    tgraph: _TransformGraph | None
    apply_all: Any
    tans_class: Any
    cands: list[tuple[int, ...]]
    trans_class_obj_: Any
    def __init__(
        self,
        tans_class: Any,
        name: str | None,
        tgraph: _TransformGraph | None = None,
        apply_all: Any = True,
        col_names: list[Any] | None = None,
        col_dtypes: list[Any] | None = None,
        col_as_json_objects: list[_JSONObject] | None = None,
    ) -> None: ...
    def get_candidates_space_descriptor(self, df: _Array, col_names: Any, col_dtypes: Any) -> SingletonCandidateSpaceDescriptor:
        """The one candidate: the tuple of all column positions."""
    def get_candidates(self, df: _Array, col_names: Any, col_dtypes: Any) -> list[tuple[int, ...]]:
        """``[tuple(range(df.shape[1]))]``."""
    def fit(
        self,
        X: _Array,
        y: Any,
        col_names: list[Any] | None = None,
        col_dtypes: list[Any] | None = None,
        col_as_json_objects: list[_JSONObject] | None = None,
    ) -> Self:
        """Fit a fresh estimator on all columns of ``X``."""
    def transform(self, X: _Array, n_jobs: int = 1, return_new_cols_only: Any = False) -> _Array:
        """``X`` with the estimator's output columns appended (or those columns alone)."""

class DropTransform(VantorTransformer):
    """Drops the column with one given label from a data frame."""

    columnStrCommaSep: Any
    uid: str
    def __init__(self, columnStrCommaSep: Any) -> None: ...
    def transform(self, df: pd.DataFrame, n_jobs: int = 1) -> pd.DataFrame:
        """A new frame without the column labelled ``columnStrCommaSep``."""
    def fit(self, X: Any, y: Any) -> Self:
        """Return the object."""

# ---------------------------------------------------------------- catalogue

class TransformBase:
    """The catalogue: builds configured transforms by their short names."""

    @staticmethod
    def ValidatedTransformNames(list_names: Iterable[str]) -> list[str]:
        """The distinct names that are in ``GetAllTransformNames()``, in no particular order."""
    @staticmethod
    def GetAllTransformNames() -> list[str]:
        """The 31 names of the full list (a new list)."""
    @staticmethod
    def GetAllUnaryTransformNames() -> list[str]:
        """The 13 unary names (a new list)."""
    @staticmethod
    def GetAllBinaryTransformNames() -> list[str]:
        """The 11 binary names (a new list)."""
    @overload
    @staticmethod
    def GetTransformObj(trName: _TA1Names, tgraph: _TransformGraph | None = None, apply_all: Any = True) -> TA1:
        """A new configured TA1 for a catalogue name it builds."""
    @overload
    @staticmethod
    def GetTransformObj(trName: _TA2Names, tgraph: _TransformGraph | None = None, apply_all: Any = True) -> TA2:
        """A new configured TA2 for a catalogue name it builds."""
    @overload
    @staticmethod
    def GetTransformObj(trName: _TB1Names, tgraph: _TransformGraph | None = None, apply_all: Any = True) -> TB1:
        """A new configured TB1 for a catalogue name it builds."""
    @overload
    @staticmethod
    def GetTransformObj(trName: _TGenNames, tgraph: _TransformGraph | None = None, apply_all: Any = True) -> TGen:
        """A new configured TGen for a catalogue name it builds."""
    @overload
    @staticmethod
    def GetTransformObj(trName: _TAMNames, tgraph: _TransformGraph | None = None, apply_all: Any = True) -> TAM:
        """A new configured TAM for a catalogue name it builds."""
    @overload
    @staticmethod
    def GetTransformObj(trName: str, tgraph: _TransformGraph | None = None, apply_all: Any = True) -> _Transform | None:
        """A new configured transform for the name, or ``None`` for a name outside the catalogue."""

class PreprocessDF(VantorTransformer):
    """Turns text columns holding dates into datetime columns."""

    uid: str
    def __init__(self) -> None: ...
    def transform(self, df: Any, n_jobs: int = 1) -> pd.DataFrame:
        """A shallow copy of ``df`` with its date-holding text columns converted."""
    def fit(self, X: Any, y: Any) -> Self:
        """Learns nothing; returns the object."""
