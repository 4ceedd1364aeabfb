// Entity counts per row count, and the checks of a post-processing request.
#include "timeseries/method_table.hpp"

namespace vt {
namespace body {

Ref _get_counts_of_categories(const args::_get_counts_of_categories& a) {
    Ref category_counts_df;
    {
        // The two-column copy and its grouping go as soon as the counts exist.
        Ref augmented = getattr(a.self, N::df_augmented);
        Ref selected = getitem(augmented.get(),
                               new_list({getattr(a.self, N::primary_id_column), getattr(a.self, N::category_column)}));
        Ref grouped = call_method(selected.get(), N::groupby, {getattr(a.self, N::category_column)});
        selected = Ref();
        Ref distinct_ids = call_method(grouped.get(), N::nunique);
        grouped = Ref();
        category_counts_df = call_method(distinct_ids.get(), N::rename, {},
                                         {kw(N::columns, new_dict({{getattr(a.self, N::primary_id_column), name(N::counts)}}))});
    }
    Ref counts_index = getattr(category_counts_df.get(), N::index);
    setattr(counts_index.get(), N::name, getattr(a.self, N::category_column).get());
    category_counts_df = call_method(category_counts_df.get(), N::reset_index);

    Ref categories = getitem(category_counts_df.get(), getattr(a.self, N::category_column));
    Ref counts = getitem(category_counts_df.get(), name(N::counts));
    Ref pairs = call(builtin("zip").get(), {categories, counts});
    Ref category_counts = call(builtin("dict").get(), {pairs});
    // Single-row entities never reach the differenced frame.
    Ref one = integer(1);
    if (contains(category_counts.get(), one)) require_ok(PyObject_DelItem(category_counts.get(), one.get()));
    return category_counts;
}

Ref _verify_desired_category_counts_categories_exist_and_numbers_are_valid(
    const args::_verify_desired_category_counts_categories_exist_and_numbers_are_valid& a) {
    // Both checks are assertions: under -O nothing at all is evaluated.
    if (!assertions_enabled()) return Ref::borrow(Py_None);

    Ref requested = require(PySet_New(call_method(a.desired_category_counts, N::keys).get()));
    Ref issubset = getattr(requested.get(), N::issubset);
    Ref synthetic_column = getitem(a.df_synth, getattr(a.self, N::category_column));
    Ref synthetic_categories = call_method(synthetic_column.get(), N::unique);
    if (!truthy(call(issubset.get(), {synthetic_categories}).get())) {
        // The message shows both values computed afresh.
        Ref shown_keys = call_method(a.desired_category_counts, N::keys);
        Ref shown_column = getitem(a.df_synth, getattr(a.self, N::category_column));
        Ref shown_categories = call_method(shown_column.get(), N::unique);
        fail_assertion({"One of the inputted desired categories '", shown_keys,
                        "' does not exist in thesynthetic dataset's categories '", shown_categories, "'."});
    }

    // A count of 0 is rejected as well: every value must be strictly positive.
    Ref values = call_method(a.desired_category_counts, N::values);
    Ref zero = integer(0);
    for (Ref& value : iterate(values.get())) {
        Ref positive = require(PyObject_RichCompare(value.get(), zero.get(), Py_GT));
        if (truthy(positive.get())) continue;
        Ref shown_values = call_method(a.desired_category_counts, N::values);
        fail_assertion({"Cannot have a negative category count value but one category count value was < 0: '",
                        shown_values, "'"});
    }
    return Ref::borrow(Py_None);
}

Ref _verify_there_is_enough_synthetic_data_to_recombine_desired_structures(
    const args::_verify_there_is_enough_synthetic_data_to_recombine_desired_structures& a) {

    Ref synthetic_column = getitem(a.df_synth, getattr(a.self, N::category_column));
    Ref syn_category_counts = call_method(call_method(synthetic_column.get(), N::value_counts).get(), N::sort_index);
    Ref one = integer(1);
    for (auto& [current_num_rows, desired_category_count] : items(a.desired_category_counts)) {
        Ref num_available_synth_rows = getitem(syn_category_counts.get(), current_num_rows);
        Ref rows_per_entity = require(PyNumber_Add(current_num_rows.get(), one.get()));
        Ref num_required_rows = require(PyNumber_Multiply(desired_category_count.get(), rows_per_entity.get()));
        // Checked under -O too, so that a short pool fails with this message either way.
        Ref enough = require(PyObject_RichCompare(num_available_synth_rows.get(), num_required_rows.get(), Py_GE));
        if (truthy(enough.get())) continue;
        fail_assertion({"Require ", num_required_rows, " synthetic rows to be generated but only ",
                        num_available_synth_rows, " synthetic records are available. Please synthesize more."});
    }
    return Ref::borrow(Py_None);
}

}  // namespace body
}  // namespace vt
