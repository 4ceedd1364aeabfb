// The method bodies, one per method of the class; each lives in the folder
// of its subsystem.
#pragma once

#include "module/method_table.hpp"

namespace vt {
namespace body {

// difference/
Ref init(const Frame& f);
Ref verify_columns_exist_in_df(const Frame& f);
Ref get_safe_column_name(const Frame& f);
Ref convert_columns_to_time_dtype(const Frame& f);
Ref get_safe_col_diff_names(const Frame& f);
Ref split_columns_to_diff_into_continuous_and_categorical(const Frame& f);
Ref add_groupings_defined_by_number_of_entries(const Frame& f);
Ref split_df_into_single_and_multi_entry_dfs(const Frame& f);
Ref get_diff(const Frame& f);

// postprocess/
Ref get_counts_of_categories(const Frame& f);
Ref verify_there_is_enough_synthetic_data(const Frame& f);
Ref verify_desired_category_counts(const Frame& f);
Ref get_indexes_to_keep(const Frame& f);
Ref get_indexes_of_first_row_of_each_unique_id(const Frame& f);
Ref construct_vectors_of_identical_shape(const Frame& f);
Ref undiff_categorical_columns(const Frame& f);
Ref undiff_continuous_columns(const Frame& f);
// The same, for a caller that drops the difference columns right after: those
// may then be left unseeded where the restored values can be had without them.
Ref undiff_continuous_columns_discarding_differences(const Frame& f);
Ref postprocess_timeseries_difference_method(const Frame& f);

// paths/
Ref expand_category_edges_in_df(const Frame& f);
Ref create_starting_df_for_path_discovery(const Frame& f);
Ref make_element_a_list(const Frame& f);
Ref join_df(const Frame& f);
Ref iteratively_discover_paths_linear(const Frame& f);
Ref iteratively_discover_paths_exponential(const Frame& f);
Ref iteratively_discover_paths_combined(const Frame& f);
Ref retrieve_longest_path(const Frame& f);
Ref get_valid_path(const Frame& f);

}  // namespace body
}  // namespace vt
