// Column checks, clash-free names, time conversion and the dtype split.
#include "timeseries/method_table.hpp"

namespace vt {
namespace body {

Ref verify_columns_exist_in_df(const args::verify_columns_exist_in_df& a) {
    if (!assertions_enabled()) return Ref::borrow(Py_None);
    Ref names = require(PySet_New(a.columns));
    Ref df_columns = getattr(a.df, N::columns);
    Ref ok = call_method(names.get(), N::issubset, {df_columns});
    if (truthy(ok.get())) return Ref::borrow(Py_None);
    // The message shows a new set of every name tested, not just the missing.
    Ref tested = require(PySet_New(a.columns));
    Ref shown_columns = getattr(a.df, N::columns);
    fail_assertion({"One of the columns '", tested, "' does not exist in the dataframe '", shown_columns, "'."});
}

Ref get_safe_column_name(const args::get_safe_column_name& a) {
    Ref safe_name = Ref::borrow(a.desired_column_name);
    long long postfix = 0;
    while (true) {
        Ref columns = getattr(a.df, N::columns);
        if (!contains(columns.get(), safe_name)) break;
        ++postfix;
        safe_name = require(PyUnicode_FromFormat("%S_%lld", a.desired_column_name, postfix));
    }
    return safe_name;
}

Ref convert_columns_to_time_dtype(const args::convert_columns_to_time_dtype& a) {
    for (Ref& col : iterate(a.timeseries_columns)) {
        Ref to_datetime = getattr(a.pd().get(), N::to_datetime);
        Ref column = getitem(a.df, col);
        setitem(a.df, col, call(to_datetime.get(), {column}));
    }
    return Ref::borrow(a.df);
}

Ref _get_safe_col_diff_names(const args::_get_safe_col_diff_names& a) {
    Ref names = new_dict();
    for (Ref& col : iterate(a.columns_to_diff)) {
        Ref desired = build_message({col, "_diff"});
        Ref df = getattr(a.self, N::df);
        Ref safe = call_method(a.self, N::get_safe_column_name, {df, desired});
        require_ok(PyDict_SetItem(names.get(), col.get(), safe.get()));
    }
    return names;
}

Ref _split_columns_to_diff_into_continuous_and_categorical(
    const args::_split_columns_to_diff_into_continuous_and_categorical& a) {
    Ref categorical = new_list();
    Ref continuous = new_list();
    Ref columns_to_diff = getattr(a.self, N::columns_to_diff);
    for (Ref& col : iterate(columns_to_diff.get())) {
        Ref df = getattr(a.self, N::df);
        Ref dtypes = getattr(df.get(), N::dtypes);
        Ref dtype = getitem(dtypes.get(), col);
        PyObject* target = is_text_dtype(a.pd().get(), dtype.get()) ? categorical.get() : continuous.get();
        require_ok(PyList_Append(target, col.get()));
    }
    return new_tuple({continuous, categorical});
}

}  // namespace body
}  // namespace vt
