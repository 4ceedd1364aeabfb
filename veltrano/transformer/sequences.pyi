from typing import Any, Dict, Hashable, Iterable, List, Mapping, Optional, Sequence, Tuple, TypeVar, Union, overload

import pandas as pd

_Self = TypeVar("_Self", bound="SequenceTransformer")

class SequenceTransformer:
    def __init__(
        self,
        id_column: Hashable,
        time_column: Hashable,
        *,
        static_columns: Optional[Iterable[Hashable]] = None,
        columns: Optional[Iterable[Hashable]] = None,
        time_unit: Optional[str] = None,
        clip: bool = True,
        random_state: int = 0,
    ) -> None: ...
    @property
    def id_column(self) -> Hashable: ...
    @property
    def time_column(self) -> Hashable: ...
    @property
    def columns(self) -> Optional[List[Hashable]]: ...
    @property
    def clip(self) -> bool: ...
    @property
    def random_state(self) -> int: ...
    @property
    def count_column(self) -> str: ...
    @property
    def position_column(self) -> str: ...
    @property
    def time_unit(self) -> Optional[str]: ...
    @property
    def static_columns(self) -> List[Hashable]: ...
    @property
    def step_columns(self) -> Dict[Hashable, Union[str, Tuple[str, str]]]: ...
    @property
    def time_origins(self) -> Dict[Hashable, pd.Timestamp]: ...
    @property
    def _facts(self) -> Optional[Dict[str, Any]]: ...
    # A dask.dataframe.DataFrame takes the Dask route and gives dask frames back
    # (typed Any: dask is an optional extra).
    def fit(self: _Self, frame: Any) -> _Self: ...
    @overload
    def transform(self, frame: pd.DataFrame) -> Tuple[pd.DataFrame, pd.DataFrame]: ...
    @overload
    def transform(self, frame: Any) -> Tuple[Any, Any]: ...
    @overload
    def fit_transform(self, frame: pd.DataFrame) -> Tuple[pd.DataFrame, pd.DataFrame]: ...
    @overload
    def fit_transform(self, frame: Any) -> Tuple[Any, Any]: ...
    @overload
    def reverse_transform(
        self,
        entities: pd.DataFrame,
        steps: pd.DataFrame,
        counts: Optional[Mapping[int, int]] = None,
        *,
        replay: bool = False,
    ) -> pd.DataFrame: ...
    @overload
    def reverse_transform(
        self, entities: Any, steps: Any, counts: Optional[Mapping[int, int]] = None, *, replay: bool = False
    ) -> Any: ...
    def fidelity(
        self, real: pd.DataFrame, rebuilt: pd.DataFrame, *, rebuilt_id_column: Optional[Hashable] = None
    ) -> pd.DataFrame: ...
    def detection(
        self,
        real: pd.DataFrame,
        rebuilt: pd.DataFrame,
        *,
        rebuilt_id_column: Optional[Hashable] = None,
        random_state: int = 0,
        max_entities: int = 5000,
        repeats: int = 3,
    ) -> pd.DataFrame: ...
    def privacy(
        self,
        train: pd.DataFrame,
        holdout: pd.DataFrame,
        rebuilt: pd.DataFrame,
        *,
        rebuilt_id_column: Optional[Hashable] = None,
        random_state: int = 0,
        max_entities: int = 5000,
    ) -> pd.DataFrame: ...
    def _entity_features(self, frame: pd.DataFrame, *, id_column: Optional[Hashable] = None) -> pd.DataFrame: ...
    def _partition_facts(self, frame: pd.DataFrame) -> Dict[str, Any]: ...
    @staticmethod
    def _combine_facts(facts: Iterable[Dict[str, Any]]) -> Dict[str, Any]: ...
    def _fit_facts(self: _Self, facts: Dict[str, Any]) -> _Self: ...
    def _plan(self, entities: pd.DataFrame, counts: Optional[Mapping[int, int]] = None) -> Tuple[Any, Any]: ...
    def _rebuild(
        self,
        entities: pd.DataFrame,
        steps: pd.DataFrame,
        lengths: Sequence[int],
        *,
        id_offset: int = 0,
        replay: bool = False,
        ids: Optional[Sequence[int]] = None,
    ) -> pd.DataFrame: ...
    def _row_counts(self, frame: pd.DataFrame, steps: bool = False) -> Any: ...
    def __reduce__(self) -> Tuple[Any, ...]: ...
    def __setstate__(self, state: Dict[str, Any]) -> None: ...
