#include "module/bodies.hpp"

namespace vt {

const char* const class_doc =
    "\n"
    "    Performs difference transformations on timeseries data, i.e. data in which\n"
    "    the information for one entity is spread across several rows, and\n"
    "    post-processes synthetic data that a generator produced in the same layout\n"
    "    as the pre-processed raw data.\n"
    "\n"
    "    By default a column is added that tags each row with a \"category\". The\n"
    "    grouping used is the number of rows the entity owns in the data, counted\n"
    "    per unique id given to this class. For example, a hospital visit whose\n"
    "    admission, tests and treatments are separate rows of one visit belongs to\n"
    "    the category of its number of rows. The frame with the added group column\n"
    "    is stored as self.df_augmented.\n"
    "\n"
    "    The difference method is first order: the difference of the selected\n"
    "    columns between a row and the next row of the same unique id, after\n"
    "    sorting by time. For categorical columns a change is read as a transition:\n"
    "    a new category standing for \"from the first to the second category\"\n"
    "    (CATEGORY1->CATEGORY2) is stored in the transformed data, so that the\n"
    "    generator of synthetic data can learn the transitions.\n"
    "    ";

namespace {

const char* const doc_get_safe_column_name =
    "Given a desired new column to add, return a name that doesn't exist in self.df";

const char* const doc_get_safe_col_diff_names =
    "\n"
    "        Create a dictionary from previous column name to difference column name,\n"
    "        e.g. \"datetime\" -> \"datetime_diff\", so that no difference column name\n"
    "        clashes with an existing column.\n"
    "\n"
    "        If the columns \"date\" and \"date_diff\" both exist, \"date\" would get\n"
    "        \"date_diff_2\" and \"date_diff\" would get \"date_diff_diff\".\n"
    "\n"
    "        :param columns_to_diff: list of the column names to name difference\n"
    "            columns for\n"
    "        ";

const char* const doc_get_counts_of_categories =
    "\n"
    "        Build a dictionary of how many paths (entities) of each path length\n"
    "        (number of rows) the input data holds, e.g. {15: 10, 19: 12} for 10 paths\n"
    "        of length 15 and 12 paths of length 19.\n"
    "        ";

const char* const doc_get_indexes_to_keep =
    "\n"
    "        Selectively keep only rows that are needed to create exactly the correct number of desired unique ids\n"
    "        ";

const char* const doc_get_indexes_of_first_row =
    "Get the index values for the first row of each unique id (read: person's) set of rows/entries";

const char* const doc_expand_category_edges_in_df =
    "\n"
    "        Paths are made by generating transition categories rather than categories.\n"
    "        With categories A, B, C and D, the generator produces transitions such as\n"
    "        A->B. A transition is stored as one string, at first the string of the\n"
    "        tuple of both categories (\"('A', 'B')\"). This method splits it back into\n"
    "        its two categories using categorical_column_mappings: a map from category\n"
    "        column name to a frame that maps each transition value to its two\n"
    "        categories, held in one column for the transition and two more columns\n"
    "        for the categories.\n"
    "        ";

const char* const doc_create_starting_df =
    "\n"
    "        A consistent path starts from one transition (A->B) and grows by further\n"
    "        valid transitions, each starting where the path ends; join_df and the\n"
    "        iteration methods add them. This method only puts the frame of generated\n"
    "        transitions that are not yet in paths into the columns and column names\n"
    "        that join_df expects.\n"
    "        ";

const char* const doc_make_element_a_list =
    "\n"
    "        Function to be used in a df.apply(...) call to make items in a dataframe column a list\n"
    "        ";

const char* const doc_linear =
    "\n"
    "        Join the synthetic frame to the starting frame again in every iteration:\n"
    "        JOIN(JOIN(JOIN(df_start, df_start), df_start), df_start) and so on.\n"
    "\n"
    "        index names the path column. A name other than \"index\" is passed on to\n"
    "        join_df as index=..., which then stores the joined paths under it, so a\n"
    "        starting frame whose path column has another name works the same way.\n"
    "        ";

const char* const doc_exponential =
    "\n"
    "        Join the synthetic frame to itself:\n"
    "        JOIN(JOIN(df_start, df_start), JOIN(df_start, df_start)) and so on, so that\n"
    "        path length grows exponentially: 1 joined with 1 gives 2, 2 with 2 gives 4.\n"
    "\n"
    "        index names the path column; a name other than \"index\" is passed on to\n"
    "        join_df as index=..., which then stores the joined paths under it.\n"
    "        ";

const char* const doc_combined =
    "\n"
    "        Combine the two methods above: exponential first, switching to linear once\n"
    "        the exponential method has made the longest paths it can.\n"
    "\n"
    "        index names the path column; a name other than \"index\" is passed on to\n"
    "        join_df as index=..., which then stores the joined paths under it.\n"
    "        ";

const char* const doc_retrieve_longest_path =
    "\n"
    "        Given the frame of possible path points (usually generated transitions not\n"
    "        yet in any path) and a frame of valid paths over those points (usually\n"
    "        lists of index values), return the longest of the listed paths as a frame\n"
    "        with one row per point on the path.\n"
    "        ";

const char* const doc_get_valid_path =
    "\n"
    "        Given a frame of possible path points and the mapping of the categorical\n"
    "        transitions in its columns, run all processing to find the longest valid\n"
    "        path, expand the transitions back into categories, and return a frame\n"
    "        holding one valid path, one row per step.\n"
    "        ";

constexpr const char* DF = "pd.DataFrame";
constexpr const char* COUNTS = "Dict[int, int]";

}  // namespace

// clang-format off
const MethodEntry method_table[] = {
    {"__init__", Kind::instance, 6,
     {param("self"), param("df", DF), param("primary_id_column", "str"),
      param("primary_timeseries_column", "str"), param("columns_to_diff", "List[str]"),
      param_none("columns_to_cast_to_timeseries_datatypes", "List[str]")},
     nullptr, nullptr, body::init},
    {"verify_columns_exist_in_df", Kind::klass, 3,
     {param("cls"), param("df", DF), param("columns", "List[str]")},
     nullptr, nullptr, body::verify_columns_exist_in_df},
    {"get_safe_column_name", Kind::klass, 3,
     {param("cls"), param("df", DF), param("desired_column_name", "str")},
     "str", doc_get_safe_column_name, body::get_safe_column_name},
    {"convert_columns_to_time_dtype", Kind::klass, 3,
     {param("cls"), param("df", DF), param("timeseries_columns", "List[str]")},
     DF, nullptr, body::convert_columns_to_time_dtype},
    {"_get_safe_col_diff_names", Kind::instance, 2,
     {param("self"), param("columns_to_diff", "List[str]")},
     "Dict[str, str]", doc_get_safe_col_diff_names, body::get_safe_col_diff_names},
    {"_split_columns_to_diff_into_continuous_and_categorical", Kind::instance, 1,
     {param("self")},
     "Tuple[List[str], List[str]]", nullptr, body::split_columns_to_diff_into_continuous_and_categorical},
    {"_add_groupings_defined_by_number_of_entries", Kind::instance, 1,
     {param("self")},
     "Tuple[pd.DataFrame, pd.DataFrame]", nullptr, body::add_groupings_defined_by_number_of_entries},
    {"_split_df_into_single_and_multi_entry_dfs", Kind::instance, 2,
     {param("self"), param("group_counts", DF)},
     nullptr, nullptr, body::split_df_into_single_and_multi_entry_dfs},
    {"_get_diff", Kind::instance, 2,
     {param("self"), param("df_multi_entry_per_group")},
     nullptr, nullptr, body::get_diff},
    {"_get_counts_of_categories", Kind::instance, 1,
     {param("self")},
     nullptr, doc_get_counts_of_categories, body::get_counts_of_categories},
    {"_verify_there_is_enough_synthetic_data_to_recombine_desired_structures", Kind::instance, 3,
     {param("self"), param("df_synth", DF), param("desired_category_counts", COUNTS)},
     nullptr, nullptr, body::verify_there_is_enough_synthetic_data},
    {"_verify_desired_category_counts_categories_exist_and_numbers_are_valid", Kind::instance, 3,
     {param("self"), param("df_synth", DF), param("desired_category_counts", COUNTS)},
     nullptr, nullptr, body::verify_desired_category_counts},
    {"_get_indexes_to_keep", Kind::klass, 4,
     {param("cls"), param("desired_category_counts", COUNTS), param("syn_category_counts", DF),
      param("unique_id_category_counts", DF)},
     nullptr, doc_get_indexes_to_keep, body::get_indexes_to_keep},
    {"_get_indexes_of_first_row_of_each_unique_id", Kind::instance, 3,
     {param("self"), param("df", DF), param("id_column_name", "str")},
     nullptr, doc_get_indexes_of_first_row, body::get_indexes_of_first_row_of_each_unique_id},
    {"_construct_vectors_of_identical_shape_to_allow_vectorized_operations_for_performance_enhancements",
     Kind::instance, 4,
     {param("self"), param("df_synth", DF), param("df_unique_ids", DF), param("desired_category_counts", COUNTS)},
     nullptr, nullptr, body::construct_vectors_of_identical_shape},
    {"_undiff_categorical_columns", Kind::instance, 2,
     {param("self"), param("df_synth", DF)},
     DF, nullptr, body::undiff_categorical_columns},
    {"_undiff_continuous_columns", Kind::instance, 4,
     {param("self"), param("df_synth", DF), param("desired_category_counts", COUNTS),
      param("first_rows_of_each_person_idx", DF)},
     nullptr, nullptr, body::undiff_continuous_columns},
    {"postprocess_timeseries_difference_method", Kind::instance, 3,
     {param("self"), param("df_synth", DF), param_none("desired_category_counts", COUNTS)},
     DF, nullptr, body::postprocess_timeseries_difference_method},
    {"expand_category_edges_in_df", Kind::klass, 3,
     {param("cls"), param("df", DF), param("categorical_column_mappings", "Dict[str, pd.DataFrame]")},
     nullptr, doc_expand_category_edges_in_df, body::expand_category_edges_in_df},
    {"create_starting_df_for_path_discovery", Kind::klass, 3,
     {param("cls"), param("df_expanded"), param("categorical_column_mappings")},
     nullptr, doc_create_starting_df, body::create_starting_df_for_path_discovery},
    {"make_element_a_list", Kind::klass, 2,
     {param("cls"), param("item")},
     nullptr, doc_make_element_a_list, body::make_element_a_list},
    {"join_df", Kind::klass, 6,
     {param("cls"), param("df_l", DF), param("df_r", DF), param_text("left", "left", "str"),
      param_text("right", "right", "str"), param_text("index", "index", "str")},
     nullptr, nullptr, body::join_df},
    {"iteratively_discover_paths_linear", Kind::klass, 5,
     {param("cls"), param("df"), param_none("df_start"), param_int("max_path_length", 10),
      param_text("index", "index")},
     nullptr, doc_linear, body::iteratively_discover_paths_linear},
    {"iteratively_discover_paths_exponential", Kind::klass, 4,
     {param("cls"), param("df_start"), param_int("max_path_order", 10), param_text("index", "index")},
     nullptr, doc_exponential, body::iteratively_discover_paths_exponential},
    {"iteratively_discover_paths_combined", Kind::klass, 4,
     {param("cls"), param("df_start"), param_int("max_path_iterations", 100), param_text("index", "index")},
     nullptr, doc_combined, body::iteratively_discover_paths_combined},
    {"retrieve_longest_path", Kind::klass, 4,
     {param("cls"), param("df_original"), param("df_paths"), param_text("index", "index")},
     nullptr, doc_retrieve_longest_path, body::retrieve_longest_path},
    {"get_valid_path", Kind::klass, 3,
     {param("cls"), param("df"), param("categorical_column_mappings")},
     nullptr, doc_get_valid_path, body::get_valid_path},
};
// clang-format on

const size_t method_count = sizeof(method_table) / sizeof(method_table[0]);

}  // namespace vt
