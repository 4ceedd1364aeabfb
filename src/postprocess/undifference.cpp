// Transition values back to categories, differences back to values.
#include "common/buffer.hpp"
#include "module/method_table.hpp"
#include "postprocess/running_sums.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace vt {
namespace body {

Ref _undiff_categorical_columns(const args::_undiff_categorical_columns& a) {
    Ref df_synth = Ref::borrow(a.df_synth);

    Ref diff_map = getattr(a.self, N::categorical_columns_to_diff_map);
    Ref items = call_method(diff_map.get(), N::items);
    for (Ref& item : iterate(items.get())) {
        auto pair = unpack2(item.get());
        PyObject* original_col = pair.first.get();
        PyObject* diff_col = pair.second.get();
        Ref mappings = getattr(a.self, N::categorical_column_mappings);
        Ref df_category_mappings = getitem(mappings.get(), original_col);
        // A generated row takes the category its transition starts from.
        Ref selected = getitem(df_category_mappings.get(), new_list({diff_col, build_message({original_col, "_1"})}));
        df_category_mappings = call_method(selected.get(), N::rename, {},
                                           {kw(N::columns, new_dict({{build_message({original_col, "_1"}), original_col}}))});
        df_synth = call_method(df_synth.get(), N::merge, {df_category_mappings},
                               {kw(N::on, diff_col), kw(N::how, N::left)});
    }
    return df_synth;
}

namespace {

// Whether the difference column may be left as it is and its running sums
// taken before the other columns are seeded: the caller drops every column of
// diff_col_names right after, no other step of this method reads or writes
// this column, and none writes to the id column the sums are grouped by.
bool difference_column_is_discarded(PyObject* self, PyObject* diff_col) {
    if (!PyUnicode_CheckExact(diff_col)) return false;
    Ref names = getattr(self, N::diff_col_names);
    if (!PyList_CheckExact(names.get()) || !contains(names.get(), diff_col)) return false;
    if (PyUnicode_Compare(diff_col, name(N::num_repetitions)) == 0) return false;
    Ref unique_id_column = getattr(self, N::unique_id_column);
    if (!PyUnicode_CheckExact(unique_id_column.get())) return false;
    Ref diff_map = getattr(self, N::continuous_columns_to_diff_map);
    if (!PyDict_CheckExact(diff_map.get()) || contains(diff_map.get(), diff_col) ||
        contains(diff_map.get(), unique_id_column.get()))
        return false;
    Py_ssize_t uses = 0;
    Ref items = call_method(diff_map.get(), N::items);
    for (Ref& item : iterate(items.get())) {
        auto pair = unpack2(item.get());
        PyObject* other_diff_col = pair.second.get();
        if (!PyUnicode_CheckExact(other_diff_col) || PyUnicode_Compare(other_diff_col, unique_id_column.get()) == 0)
            return false;
        if (PyUnicode_Compare(other_diff_col, diff_col) == 0) ++uses;
    }
    return uses == 1;
}

bool is_datetime_column(PyObject* pd, PyObject* column) {
    Ref api = getattr(pd, N::api);
    Ref types = getattr(api.get(), N::types);
    Ref is_datetime = getattr(types.get(), N::is_datetime64_any_dtype);
    return truthy(call(is_datetime.get(), {Ref::borrow(column)}).get());
}

// Series.values of the seeds, except for a time zone, where pandas 3 warns:
// its UTC instants, which is what .values has always given there.
Ref seed_values(PyObject* pd, PyObject* seeds) {
    Ref tz_type = getattr(pd, N::DatetimeTZDtype);
    if (!require_ok(PyObject_IsInstance(getattr(seeds, N::dtype).get(), tz_type.get())))
        return getattr(seeds, N::values);
    Ref accessor = getattr(seeds, N::dt);
    Ref naive = call_method(accessor.get(), N::tz_convert, {Py_None});
    return call_method(naive.get(), N::to_numpy);
}

// Every value of a float array is a whole number (no nan, no infinity).
bool whole_numbers(PyObject* values) {
    Ref as_double = call_method(values, N::astype, {N::float64});
    Buffer buffer(as_double.get(), PyBUF_RECORDS_RO);
    if (!buffer.holds("d", 8)) return false;
    for (Py_ssize_t i = 0; i < buffer.size(); ++i) {
        const double x = buffer.at<double>(i);
        if (!std::isfinite(x) || x != std::trunc(x)) return false;
    }
    return true;
}

// The dtype the difference column must have to take the seeds, where pandas
// before 3 changed it itself (warning that it will stop) and pandas 3 raises:
// objects for timestamps in a timedelta column, float64 for fractional means
// in an integer one. Empty when the column takes them as it is.
Ref dtype_to_hold(PyObject* column, PyObject* seeds) {
    if (dtype_kind_is(column, "m") && dtype_kind_is(seeds, "M")) return builtin("object");
    if ((dtype_kind_is(column, "i") || dtype_kind_is(column, "u")) && dtype_kind_is(seeds, "f") &&
        !whole_numbers(seeds))
        return Ref::borrow(name(N::float64));
    return Ref();
}

// "datetime64[<unit>]" for a datetime column of the input, time zone or not.
Ref naive_datetime_dtype(PyObject* pd, PyObject* column) {
    Ref dtype = getattr(column, N::dtype);
    Ref tz_type = getattr(pd, N::DatetimeTZDtype);
    if (!require_ok(PyObject_IsInstance(dtype.get(), tz_type.get()))) return require(PyObject_Str(dtype.get()));
    Ref unit = getattr(dtype.get(), N::unit);
    return require(PyUnicode_FromFormat("datetime64[%S]", unit.get()));
}

// A continuous column restored natively before the running-sum step, to be
// put in place when that step reaches it.
struct Restored {
    Ref original_col;
    Ref diff_col;
    Ref values;
};

Ref undiff_continuous(const args::_undiff_continuous_columns& a, bool differences_kept) {

    // Per column and requested row count: the mean of the input rows of entities of that size.
    Ref initial_values = new_dict();
    {
        Ref diff_map = getattr(a.self, N::continuous_columns_to_diff_map);
        Ref items = call_method(diff_map.get(), N::items);
        for (Ref& item : iterate(items.get())) {
            auto pair = unpack2(item.get());
            PyObject* original_col = pair.first.get();
            Ref means = new_dict();
            Ref keys = call_method(a.desired_category_counts, N::keys);
            for (Ref& num_rows : iterate(keys.get())) {
                Ref augmented = getattr(a.self, N::df_augmented);
                Ref sizes = getitem(augmented.get(), getattr(a.self, N::category_column));
                Ref of_this_size = require(PyObject_RichCompare(sizes.get(), num_rows.get(), Py_EQ));
                Ref rows = getitem(augmented.get(), of_this_size);
                Ref column = getitem(rows.get(), original_col);
                Ref mean = call_method(column.get(), N::mean);
                require_ok(PyDict_SetItem(means.get(), num_rows.get(), mean.get()));
            }
            require_ok(PyDict_SetItem(initial_values.get(), original_col, means.get()));
        }
    }

    // Each entity's first row gets the mean of the row count it is built with
    // ("num_repetitions"), looked up by value rather than by position, so the
    // request's key order cannot mismatch them.
    std::vector<Restored> restored_early;
    {
        Ref diff_map = getattr(a.self, N::continuous_columns_to_diff_map);
        Ref items = call_method(diff_map.get(), N::items);
        for (Ref& item : iterate(items.get())) {
            auto pair = unpack2(item.get());
            PyObject* original_col = pair.first.get();
            PyObject* diff_col = pair.second.get();
            Ref means;
            {
                Ref pd = a.pd();
                Ref series = getattr(pd.get(), N::Series);
                Ref data = getitem(initial_values.get(), original_col);
                // Given an empty request, pandas before 2.0 warns that the dtype
                // of an empty Series will change: name the one it picks.
                if (length(data.get()) == 0 && pandas_major_version(pd.get()) < 2)
                    means = call(series.get(), {data}, {kw(N::dtype, N::float64)});
                else
                    means = call(series.get(), {data});
            }
            Ref starting_values;
            {
                Ref loc = getattr(a.df_synth, N::loc);
                Ref sizes = getitem(loc.get(), new_tuple({a.first_rows_of_each_person_idx, N::num_repetitions}));
                Ref mapped = call_method(sizes.get(), N::map, {means});
                starting_values = seed_values(a.pd().get(), mapped.get());
                mapped = Ref();
                // With the difference column about to be dropped, a datetime
                // column is summed on integer counts of its units, never
                // boxing a Timestamp.
                if (!differences_kept && difference_column_is_discarded(a.self, diff_col)) {
                    Ref augmented = getattr(a.self, N::df_augmented);
                    Ref original = getitem(augmented.get(), original_col);
                    Ref pd = a.pd();
                    Ref unique_id_column = getattr(a.self, N::unique_id_column);
                    // pandas before 2.0 stores a lone seed as its integer nanoseconds,
                    // and adding a Timedelta to it fails: a failure only pandas can raise.
                    const bool lone_seed_kept_as_integer =
                        pandas_major_version(pd.get()) < 2 && length(a.first_rows_of_each_person_idx) == 1;
                    if (!lone_seed_kept_as_integer && is_datetime_column(pd.get(), original.get())) {
                        Ref unit_dtype = naive_datetime_dtype(pd.get(), original.get());
                        Ref values =
                            datetime_running_sums(pd.get(), a.df_synth, unique_id_column.get(), diff_col,
                                                  a.first_rows_of_each_person_idx, starting_values.get(), unit_dtype.get());
                        if (values) {
                            restored_early.push_back({Ref::borrow(original_col), Ref::borrow(diff_col),
                                                      std::move(values)});
                            continue;
                        }
                    }
                }
            }
            Ref dtype = dtype_to_hold(getitem(a.df_synth, diff_col).get(), starting_values.get());
            if (dtype) {
                Ref column = getitem(a.df_synth, diff_col);
                setitem(a.df_synth, diff_col, call_method(column.get(), N::astype, {dtype}));
            }
            Ref loc = getattr(a.df_synth, N::loc);
            setitem(loc.get(), new_tuple({a.first_rows_of_each_person_idx, diff_col}), starting_values);
        }
    }

    // Running sums within each entity, seeded on its first row.
    {
        Ref diff_map = getattr(a.self, N::continuous_columns_to_diff_map);
        Ref items = call_method(diff_map.get(), N::items);
        for (Ref& item : iterate(items.get())) {
            auto pair = unpack2(item.get());
            PyObject* original_col = pair.first.get();
            PyObject* diff_col = pair.second.get();
            auto early = std::find_if(restored_early.begin(), restored_early.end(), [&](const Restored& r) {
                return r.original_col.get() == original_col && r.diff_col.get() == diff_col && r.values;
            });
            if (early != restored_early.end()) {
                setitem(a.df_synth, original_col, early->values);
                early->values = Ref();
                continue;
            }
            {
                Ref unique_id_column = getattr(a.self, N::unique_id_column);
                // One native pass where it gives exactly the pandas result; pandas
                // would call Python once per entity.
                Ref restored;
                {
                    Ref pd = a.pd();
                    restored = running_sums_by_entity(pd.get(), a.df_synth, unique_id_column.get(), diff_col);
                }
                if (!restored) {
                    Ref grouped = call_method(a.df_synth, N::groupby, {unique_id_column});
                    Ref differences = getitem(grouped.get(), diff_col);
                    Ref pd = a.pd();
                    Ref series = getattr(pd.get(), N::Series);
                    Ref cumsum = getattr(series.get(), N::cumsum);
                    restored = call_method(differences.get(), N::transform, {cumsum});
                }
                setitem(a.df_synth, original_col, restored);
            }
            // A timestamp seed plus timedeltas sums to objects: give back the
            // datetime dtype, in the input's unit.
            Ref pd = a.pd();
            Ref unit_dtype;
            {
                Ref augmented = getattr(a.self, N::df_augmented);
                Ref original = getitem(augmented.get(), original_col);
                if (!is_datetime_column(pd.get(), original.get())) continue;
                unit_dtype = naive_datetime_dtype(pd.get(), original.get());
            }
            if (dtype_is(getitem(a.df_synth, original_col).get(), "object")) {
                Ref to_datetime = getattr(pd.get(), N::to_datetime);
                Ref converted = call(to_datetime.get(), {getitem(a.df_synth, original_col)});
                setitem(a.df_synth, original_col, converted);
            }
            Ref restored = getitem(a.df_synth, original_col);
            Ref restored_dtype = getattr(restored.get(), N::dtype);
            Ref tz_type = getattr(pd.get(), N::DatetimeTZDtype);
            if (!dtype_kind_is(restored.get(), "M") || require_ok(PyObject_IsInstance(restored_dtype.get(), tz_type.get())))
                continue;
            Ref shown = require(PyObject_Str(restored_dtype.get()));
            if (PyUnicode_Compare(shown.get(), unit_dtype.get()) != 0)
                setitem(a.df_synth, original_col, call_method(restored.get(), N::astype, {unit_dtype}));
        }
    }
    return Ref::borrow(a.df_synth);
}

}  // namespace

Ref _undiff_continuous_columns(const args::_undiff_continuous_columns& a) { return undiff_continuous(a, true); }

Ref undiff_continuous_columns_discarding_differences(const args::_undiff_continuous_columns& a) {
    return undiff_continuous(a, false);
}

}  // namespace body
}  // namespace vt
