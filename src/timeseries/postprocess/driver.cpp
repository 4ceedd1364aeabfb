// Post-processing: synthetic differenced rows back to timeseries rows.
#include "timeseries/method_table.hpp"
#include "timeseries/function.hpp"

namespace vt {
namespace body {

namespace {

// sum(...) over the request's (category, count) pairs: the count alone, or
// category * count; added up lazily from 0 as the built-in sum does.
enum class Total { entities, rows };

Ref request_total(PyObject* desired_category_counts, Total what) {
    Ref total = integer(0);
    for (auto& [category, count] : items(desired_category_counts)) {
        Ref term = what == Total::entities ? std::move(count) : require(PyNumber_Multiply(category.get(), count.get()));
        total = require(PyNumber_Add(total.get(), term.get()));
    }
    return total;
}

// Generators often write time differences as plain numbers. Summed onto a
// timestamp they would count nanoseconds, so they are refused, naming the fix.
void require_time_differences(PyObject* self, PyObject* df_synth, PyObject* pd) {
    Ref api = getattr(pd, N::api);
    Ref types = getattr(api.get(), N::types);
    Ref is_numeric_dtype = getattr(types.get(), N::is_numeric_dtype);
    Ref diff_map = getattr(self, N::continuous_columns_to_diff_map);
    for (auto& [original_name, diff_name] : items(diff_map.get())) {
        PyObject* original_col = original_name.get();
        PyObject* diff_col = diff_name.get();
        {
            Ref augmented = getattr(self, N::df_augmented);
            Ref original = getitem(augmented.get(), original_col);
            if (!dtype_kind_is(original.get(), "M") && !dtype_kind_is(original.get(), "m")) continue;
        }
        Ref differences = getitem(df_synth, diff_col);
        if (!truthy(call(is_numeric_dtype.get(), {differences}).get())) continue;
        Ref shown_diff = require(PyObject_Repr(diff_col));
        Ref shown_original = require(PyObject_Repr(original_col));
        Ref dtype = getattr(differences.get(), N::dtype);
        Ref message = build_message(
            {"Column ", shown_diff, " holds numbers (", dtype, "), but as the difference column of the time column ",
             shown_original, " it must hold time differences: convert it first, e.g. df_synth[", shown_diff,
             "] = pd.to_timedelta(df_synth[", shown_diff, "], unit='s') with the unit its numbers count"});
        PyErr_SetObject(PyExc_TypeError, message.get());
        throw_python_error();
    }
}

// Every check of the synthetic frame and the request, before any work.
void verify_request(const MethodArgs& a, PyObject* self, PyObject* df_synth, PyObject* desired_category_counts) {
    {
        Ref columns = new_list({getattr(self, N::primary_id_column)});
        Ref diff_col_names = getattr(self, N::diff_col_names);
        for (Ref& col : iterate(diff_col_names.get())) require_ok(PyList_Append(columns.get(), col.get()));
        call_method(self, N::verify_columns_exist_in_df, {df_synth, columns});
    }
    require_time_differences(self, df_synth, a.pd().get());
    call_method(self, N::_verify_desired_category_counts_categories_exist_and_numbers_are_valid,
                {df_synth, desired_category_counts});
    call_method(self, N::_verify_there_is_enough_synthetic_data_to_recombine_desired_structures,
                {df_synth, desired_category_counts});
}

// pd.DataFrame({unique_id_column: range(1, desired_number_unique_ids + 1)})
Ref unique_ids_frame(const MethodArgs& a, PyObject* self, PyObject* desired_category_counts) {
    Ref desired_number_unique_ids = request_total(desired_category_counts, Total::entities);
    Ref one = integer(1);
    Ref stop = require(PyNumber_Add(desired_number_unique_ids.get(), one.get()));
    Ref ids = call(builtin("range").get(), {one, stop});
    Ref data_frame = getattr(a.pd().get(), N::DataFrame);
    return call(data_frame.get(), {new_dict({{getattr(self, N::unique_id_column), ids}})});
}

// self._undiff_continuous_columns(...); our own method, not overridden, may
// skip work on the difference columns, which the caller drops right after.
Ref undiff_continuous(const MethodArgs& a, PyObject* self, PyObject* df_synth, PyObject* desired_category_counts,
                      PyObject* first_rows_of_each_person_idx) {
    Ref undiff = getattr(self, N::_undiff_continuous_columns);
    if (!is_own_method(undiff.get(), self, Method::_undiff_continuous_columns))
        return call(undiff.get(), {df_synth, desired_category_counts, first_rows_of_each_person_idx});
    PyObject* const bound[] = {self, df_synth, desired_category_counts, first_rows_of_each_person_idx};
    return undiff_continuous_columns_discarding_differences(args::_undiff_continuous_columns(bound, a.globals));
}

// The first rows only seeded the running sums; the working columns go too.
// Takes the frame over, so that each step's input is released as it ends.
Ref without_working_rows_and_columns(PyObject* self, Ref df_synth, PyObject* first_rows_of_each_person_idx) {
    df_synth = call_method(df_synth.get(), N::drop, {first_rows_of_each_person_idx});
    {
        Ref diff_col_names = getattr(self, N::diff_col_names);
        Ref working = new_list({getattr(self, N::category_column), name(N::num_repetitions)});
        Ref to_drop = require(PyNumber_Add(diff_col_names.get(), working.get()));
        df_synth = call_method(df_synth.get(), N::drop, {to_drop}, {kw(N::axis, integer(1))});
    }
    return call_method(df_synth.get(), N::reset_index, {}, {kw(N::drop, Py_True)});
}

// Checked under -O too: a frame of the wrong length is never handed back.
void check_row_count(PyObject* df_synth, PyObject* desired_category_counts) {
    Ref expected_number_rows = request_total(desired_category_counts, Total::rows);
    Ref actual = require(PyLong_FromSsize_t(length(df_synth)));
    Ref same = require(PyObject_RichCompare(actual.get(), expected_number_rows.get(), Py_EQ));
    if (truthy(same.get())) return;
    Ref shown_actual = require(PyLong_FromSsize_t(length(df_synth)));
    fail_assertion({"Expected to have ", expected_number_rows, " rows but actually have ", shown_actual});
}

}  // namespace

Ref postprocess_timeseries_difference_method(const args::postprocess_timeseries_difference_method& a) {
    Ref desired_category_counts = Ref::borrow(a.desired_category_counts);
    if (!truthy(desired_category_counts.get())) desired_category_counts = getattr(a.self, N::category_counts);
    verify_request(a, a.self, a.df_synth, desired_category_counts.get());

    // The caller's frame is never changed.
    Ref df_synth = call_method(a.df_synth, N::copy);
    Ref df_unique_ids = unique_ids_frame(a, a.self, desired_category_counts.get());
    df_synth = call_method(
        a.self, N::_construct_vectors_of_identical_shape_to_allow_vectorized_operations_for_performance_enhancements,
        {df_synth, df_unique_ids, desired_category_counts});
    Ref first_rows_of_each_person_idx = call_method(a.self, N::_get_indexes_of_first_row_of_each_unique_id,
                                                    {df_synth, getattr(a.self, N::unique_id_column)});
    df_synth = call_method(a.self, N::_undiff_categorical_columns, {df_synth});
    df_synth = undiff_continuous(a, a.self, df_synth.get(), desired_category_counts.get(),
                                 first_rows_of_each_person_idx.get());
    df_synth = without_working_rows_and_columns(a.self, std::move(df_synth), first_rows_of_each_person_idx.get());
    check_row_count(df_synth.get(), desired_category_counts.get());
    return df_synth;
}

}  // namespace body
}  // namespace vt
