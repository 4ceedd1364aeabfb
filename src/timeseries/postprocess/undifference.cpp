// Transition values back to categories, differences back to values.
#include "common/buffer.hpp"
#include "timeseries/method_table.hpp"
#include "timeseries/postprocess/running_sums.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace vt {
namespace body {

Ref _undiff_categorical_columns(const args::_undiff_categorical_columns& a) {
    Ref df_synth = Ref::borrow(a.df_synth);

    Ref diff_map = getattr(a.self, N::categorical_columns_to_diff_map);
    for (auto& [original_name, diff_name] : items(diff_map.get())) {
        PyObject* original_col = original_name.get();
        PyObject* diff_col = diff_name.get();
        Ref mappings = getattr(a.self, N::categorical_column_mappings);
        Ref df_category_mappings = getitem(mappings.get(), original_col);
        // A generated row takes the category its transition starts from.
        Ref selected = getitem(df_category_mappings.get(), new_list({diff_col, build_message({original_col, "_1"})}));
        df_category_mappings = call_method(selected.get(), N::rename, {},
                                           {kw(N::columns, new_dict({{build_message({original_col, "_1"}), original_col}}))});
        df_synth = call_method(df_synth.get(), N::merge, {df_category_mappings},
                               {kw(N::on, diff_col), kw(N::how, name(N::left))});
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
    for (auto& [original_name, other_diff_name] : items(diff_map.get())) {
        PyObject* other_diff_col = other_diff_name.get();
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
    Ref as_double = call_method(values, N::astype, {name(N::float64)});
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

// Per requested row count: the mean of original_col over the input rows of
// entities of that size.
Ref means_by_row_count(const args::_undiff_continuous_columns& a, PyObject* original_col) {
    Ref means = new_dict();
    Ref keys = call_method(a.desired_category_counts, N::keys);
    for (Ref& num_rows : iterate(keys.get())) {
        Ref augmented = getattr(a.self, N::df_augmented);
        Ref sizes = getitem(augmented.get(), getattr(a.self, N::category_column));
        Ref of_this_size = require(PyObject_RichCompare(sizes.get(), num_rows.get(), Py_EQ));
        Ref rows = getitem(augmented.get(), of_this_size);
        Ref column = getitem(rows.get(), original_col);
        require_ok(PyDict_SetItem(means.get(), num_rows.get(), call_method(column.get(), N::mean).get()));
    }
    return means;
}

// The seed of each entity's first row: the mean of the row count it is built
// with ("num_repetitions"), looked up by value rather than by position, so the
// request's key order cannot mismatch them.
Ref seeds_of(const args::_undiff_continuous_columns& a, PyObject* means_by_rows) {
    Ref means;
    {
        Ref pd = a.pd();
        Ref series = getattr(pd.get(), N::Series);
        // Given an empty request, pandas before 2.0 warns that the dtype of an
        // empty Series will change: name the one it picks.
        if (length(means_by_rows) == 0 && pandas_major_version(pd.get()) < 2)
            means = call(series.get(), {means_by_rows}, {kw(N::dtype, name(N::float64))});
        else
            means = call(series.get(), {means_by_rows});
    }
    Ref loc = getattr(a.df_synth, N::loc);
    Ref sizes = getitem(loc.get(), new_tuple({a.first_rows_of_each_person_idx, name(N::num_repetitions)}));
    Ref mapped = call_method(sizes.get(), N::map, {means});
    return seed_values(a.pd().get(), mapped.get());
}

// With the difference column about to be dropped, a datetime column is
// summed on integer counts of its units, never boxing a Timestamp. Empty
// where the column must take the pandas route.
Ref restored_from_seeds(const args::_undiff_continuous_columns& a, PyObject* original_col, PyObject* diff_col,
                        PyObject* seeds) {
    if (!difference_column_is_discarded(a.self, diff_col)) return Ref();
    Ref augmented = getattr(a.self, N::df_augmented);
    Ref original = getitem(augmented.get(), original_col);
    Ref pd = a.pd();
    if (!is_datetime_column(pd.get(), original.get())) return Ref();
    Ref unique_id_column = getattr(a.self, N::unique_id_column);
    Ref unit_dtype = naive_datetime_dtype(pd.get(), original.get());
    return datetime_running_sums(pd.get(), a.df_synth, unique_id_column.get(), diff_col,
                                 a.first_rows_of_each_person_idx, seeds, unit_dtype.get());
}

// df_synth.loc[first_rows, diff_col] = seeds, the column first given a dtype
// that takes them where pandas would have changed it itself.
void seed_difference_column(const args::_undiff_continuous_columns& a, PyObject* diff_col, Ref seeds) {
    Ref dtype = dtype_to_hold(getitem(a.df_synth, diff_col).get(), seeds.get());
    if (dtype) {
        Ref column = getitem(a.df_synth, diff_col);
        setitem(a.df_synth, diff_col, call_method(column.get(), N::astype, {dtype}));
        // As Timestamps: pandas before 2.0 would store a lone datetime64 seed
        // in an object column as its integer nanoseconds.
        if (dtype.get() == reinterpret_cast<PyObject*>(&PyBaseObject_Type)) {
            Ref series = getattr(a.pd().get(), N::Series);
            Ref boxed = call_method(call(series.get(), {seeds}).get(), N::astype, {dtype});
            seeds = call_method(boxed.get(), N::to_numpy);
        }
    }
    Ref loc = getattr(a.df_synth, N::loc);
    setitem(loc.get(), new_tuple({a.first_rows_of_each_person_idx, Arg(diff_col)}), seeds);
}

// df_synth.groupby(unique_id)[diff_col].transform(pd.Series.cumsum), in one
// native pass where that gives exactly the pandas result; pandas would call
// Python once per entity.
Ref running_sums(const args::_undiff_continuous_columns& a, PyObject* diff_col) {
    Ref unique_id_column = getattr(a.self, N::unique_id_column);
    Ref restored = running_sums_by_entity(a.pd().get(), a.df_synth, unique_id_column.get(), diff_col);
    if (restored) return restored;
    Ref grouped = call_method(a.df_synth, N::groupby, {unique_id_column});
    Ref differences = getitem(grouped.get(), diff_col);
    Ref series = getattr(a.pd().get(), N::Series);
    Ref cumsum = getattr(series.get(), N::cumsum);
    return call_method(differences.get(), N::transform, {cumsum});
}

// A timestamp seed plus timedeltas sums to objects: give back the datetime
// dtype, in the input's unit (time zones come back as UTC, as the seeds are).
void restore_datetime_dtype(const args::_undiff_continuous_columns& a, PyObject* original_col) {
    Ref pd = a.pd();
    Ref unit_dtype;
    {
        Ref augmented = getattr(a.self, N::df_augmented);
        Ref original = getitem(augmented.get(), original_col);
        if (!is_datetime_column(pd.get(), original.get())) return;
        unit_dtype = naive_datetime_dtype(pd.get(), original.get());
    }
    if (dtype_is(getitem(a.df_synth, original_col).get(), "object")) {
        Ref to_datetime = getattr(pd.get(), N::to_datetime);
        setitem(a.df_synth, original_col, call(to_datetime.get(), {getitem(a.df_synth, original_col)}));
    }
    Ref restored = getitem(a.df_synth, original_col);
    Ref restored_dtype = getattr(restored.get(), N::dtype);
    Ref tz_type = getattr(pd.get(), N::DatetimeTZDtype);
    if (!dtype_kind_is(restored.get(), "M") || require_ok(PyObject_IsInstance(restored_dtype.get(), tz_type.get())))
        return;
    Ref shown = require(PyObject_Str(restored_dtype.get()));
    if (PyUnicode_Compare(shown.get(), unit_dtype.get()) != 0)
        setitem(a.df_synth, original_col, call_method(restored.get(), N::astype, {unit_dtype}));
}

// A continuous column restored natively while seeding, put in place when the
// running-sum pass reaches it.
struct Restored {
    Ref original_col;
    Ref diff_col;
    Ref values;
};

Ref undiff_continuous(const args::_undiff_continuous_columns& a, bool differences_kept) {
    Ref initial_values = new_dict();
    for (auto& [original_col, diff_col] : items(getattr(a.self, N::continuous_columns_to_diff_map).get()))
        setitem(initial_values.get(), original_col, means_by_row_count(a, original_col.get()));

    std::vector<Restored> restored_early;
    for (auto& [original_col, diff_col] : items(getattr(a.self, N::continuous_columns_to_diff_map).get())) {
        Ref seeds = seeds_of(a, getitem(initial_values.get(), original_col).get());
        Ref values;
        if (!differences_kept) values = restored_from_seeds(a, original_col.get(), diff_col.get(), seeds.get());
        if (values)
            restored_early.push_back({std::move(original_col), std::move(diff_col), std::move(values)});
        else
            seed_difference_column(a, diff_col.get(), std::move(seeds));
    }

    for (auto& [original_col, diff_col] : items(getattr(a.self, N::continuous_columns_to_diff_map).get())) {
        auto early = std::find_if(restored_early.begin(), restored_early.end(), [&](const Restored& r) {
            return r.original_col.get() == original_col.get() && r.diff_col.get() == diff_col.get() && r.values;
        });
        if (early != restored_early.end()) {
            setitem(a.df_synth, original_col, early->values);
            early->values = Ref();
            continue;
        }
        setitem(a.df_synth, original_col, running_sums(a, diff_col.get()));
        restore_datetime_dtype(a, original_col.get());
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
