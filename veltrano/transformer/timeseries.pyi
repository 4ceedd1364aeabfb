import logging as logging
import os
from typing import Any, Dict as Dict, Hashable, Iterable, List as List, Mapping, Optional, Tuple as Tuple, TypeVar, Type, Union

import pandas as pd

logger: logging.Logger

_T = TypeVar("_T", bound="TimeseriesDifferenceTransformer")

class TimeseriesDifferenceTransformer:
    df: pd.DataFrame
    primary_id_column: Optional[str]
    primary_timeseries_column: Optional[str]
    columns_to_diff: List[Hashable]
    timeseries_columns: Optional[List[Hashable]]
    category_column: str
    unique_id_column: str
    continuous_columns_to_diff: List[Hashable]
    categorical_columns_to_diff: List[Hashable]
    continuous_columns_to_diff_map: Dict[Any, str]
    categorical_columns_to_diff_map: Dict[Any, str]
    diff_col_names: List[str]
    df_augmented: pd.DataFrame
    df_1_entry_per_group: pd.DataFrame
    df_multi_entry_per_group_diff: pd.DataFrame
    categorical_column_mappings: Dict[Any, pd.DataFrame]
    category_counts: Dict[int, int]

    def __init__(
        self,
        df: pd.DataFrame,
        primary_id_column: Optional[str],
        primary_timeseries_column: Optional[str],
        columns_to_diff: Iterable[Hashable],
        columns_to_cast_to_timeseries_datatypes: Optional[Iterable[Hashable]] = None,
    ) -> None: ...
    @classmethod
    def verify_columns_exist_in_df(cls, df: pd.DataFrame, columns: Iterable[Hashable]) -> None: ...
    @classmethod
    def get_safe_column_name(cls, df: pd.DataFrame, desired_column_name: Optional[str]) -> Optional[str]: ...
    @classmethod
    def convert_columns_to_time_dtype(cls, df: pd.DataFrame, timeseries_columns: Iterable[Hashable]) -> pd.DataFrame: ...
    def _get_safe_col_diff_names(self, columns_to_diff: Iterable[Hashable]) -> Dict[Any, str]: ...
    def _split_columns_to_diff_into_continuous_and_categorical(self) -> Tuple[List[Hashable], List[Hashable]]: ...
    def _add_groupings_defined_by_number_of_entries(self) -> Tuple[pd.DataFrame, pd.DataFrame]: ...
    def _split_df_into_single_and_multi_entry_dfs(self, group_counts: pd.DataFrame) -> Tuple[pd.DataFrame, pd.DataFrame]: ...
    def _get_diff(self, df_multi_entry_per_group: pd.DataFrame) -> Tuple[pd.DataFrame, Dict[Any, pd.DataFrame]]: ...
    def _get_counts_of_categories(self) -> Dict[int, int]: ...
    def _verify_there_is_enough_synthetic_data_to_recombine_desired_structures(
        self, df_synth: pd.DataFrame, desired_category_counts: Mapping[int, int]
    ) -> None: ...
    def _verify_desired_category_counts_categories_exist_and_numbers_are_valid(
        self, df_synth: pd.DataFrame, desired_category_counts: Mapping[int, int]
    ) -> None: ...
    @classmethod
    def _get_indexes_to_keep(
        cls,
        desired_category_counts: Mapping[int, int],
        syn_category_counts: pd.DataFrame,
        unique_id_category_counts: pd.DataFrame,
    ) -> List[int]: ...
    def _get_indexes_of_first_row_of_each_unique_id(self, df: pd.DataFrame, id_column_name: Optional[str]) -> pd.Index: ...
    def _construct_vectors_of_identical_shape_to_allow_vectorized_operations_for_performance_enhancements(
        self, df_synth: pd.DataFrame, df_unique_ids: pd.DataFrame, desired_category_counts: Mapping[int, int]
    ) -> pd.DataFrame: ...
    def _undiff_categorical_columns(self, df_synth: pd.DataFrame) -> pd.DataFrame: ...
    def _undiff_continuous_columns(
        self, df_synth: pd.DataFrame, desired_category_counts: Mapping[int, int], first_rows_of_each_person_idx: pd.Index
    ) -> pd.DataFrame: ...
    def postprocess_timeseries_difference_method(
        self, df_synth: pd.DataFrame, desired_category_counts: Optional[Mapping[int, int]] = None
    ) -> pd.DataFrame: ...
    @classmethod
    def expand_category_edges_in_df(
        cls, df: pd.DataFrame, categorical_column_mappings: Mapping[Any, pd.DataFrame]
    ) -> pd.DataFrame: ...
    @classmethod
    def create_starting_df_for_path_discovery(
        cls, df_expanded: pd.DataFrame, categorical_column_mappings: Mapping[Any, pd.DataFrame]
    ) -> pd.DataFrame: ...
    @classmethod
    def make_element_a_list(cls, item: Any) -> List[Any]: ...
    @classmethod
    def join_df(
        cls,
        df_l: pd.DataFrame,
        df_r: pd.DataFrame,
        left: Optional[str] = "left",
        right: Optional[str] = "right",
        index: Optional[str] = "index",
    ) -> pd.DataFrame: ...
    @classmethod
    def iteratively_discover_paths_linear(
        cls, df: pd.DataFrame, df_start: Optional[pd.DataFrame] = None, max_path_length: int = 10, index: str = "index"
    ) -> pd.DataFrame: ...
    @classmethod
    def iteratively_discover_paths_exponential(
        cls, df_start: pd.DataFrame, max_path_order: int = 10, index: str = "index"
    ) -> pd.DataFrame: ...
    @classmethod
    def iteratively_discover_paths_combined(
        cls, df_start: pd.DataFrame, max_path_iterations: int = 100, index: str = "index"
    ) -> pd.DataFrame: ...
    @classmethod
    def retrieve_longest_path(cls, df_original: pd.DataFrame, df_paths: pd.DataFrame, index: str = "index") -> pd.DataFrame: ...
    @classmethod
    def get_valid_path(cls, df: pd.DataFrame, categorical_column_mappings: Mapping[Any, pd.DataFrame]) -> pd.DataFrame: ...
    def save(self, path: Union[str, "os.PathLike[str]"]) -> None: ...
    @classmethod
    def load(cls: Type[_T], path: Union[str, "os.PathLike[str]"]) -> _T: ...
