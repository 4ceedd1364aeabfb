// Column checks, clash-free names, time conversion and the dtype split.
#include "module/bodies.hpp"

namespace vt {
namespace body {

// verify_columns_exist_in_df(cls, df, columns)
Ref verify_columns_exist_in_df(const Frame& f) {
    PyObject* df = f.arg(1);
    PyObject* columns = f.arg(2);
    if (!assertions_enabled()) return Ref::borrow(Py_None);
    Ref names = require(PySet_New(columns));
    Ref df_columns = getattr(df, N::columns);
    Ref ok = call_method(names.get(), N::issubset, {df_columns});
    if (truthy(ok.get())) return Ref::borrow(Py_None);
    // The message shows a new set of every name tested, not just the missing.
    Ref tested = require(PySet_New(columns));
    Ref shown_columns = getattr(df, N::columns);
    fail_assertion({"One of the columns '", tested, "' does not exist in the dataframe '", shown_columns, "'."});
}

// get_safe_column_name(cls, df, desired_column_name)
Ref get_safe_column_name(const Frame& f) {
    PyObject* df = f.arg(1);
    PyObject* desired = f.arg(2);
    Ref safe_name = Ref::borrow(desired);
    long long postfix = 0;
    while (true) {
        Ref columns = getattr(df, N::columns);
        if (!contains(columns.get(), safe_name)) break;
        ++postfix;
        safe_name = require(PyUnicode_FromFormat("%S_%lld", desired, postfix));
    }
    return safe_name;
}

// convert_columns_to_time_dtype(cls, df, timeseries_columns)
Ref convert_columns_to_time_dtype(const Frame& f) {
    PyObject* df = f.arg(1);
    for (Ref& col : iterate(f.arg(2))) {
        Ref pd = f.pd();
        Ref to_datetime = getattr(pd.get(), N::to_datetime);
        Ref column = getitem(df, col);
        Ref converted = call(to_datetime.get(), {column});
        setitem(df, col, converted);
    }
    return Ref::borrow(df);
}

// _get_safe_col_diff_names(self, columns_to_diff)
Ref get_safe_col_diff_names(const Frame& f) {
    PyObject* self = f.arg(0);
    Ref names = new_dict();
    for (Ref& col : iterate(f.arg(1))) {
        Ref desired = build_message({col, "_diff"});
        Ref df = getattr(self, N::df);
        Ref safe = call_method(self, N::get_safe_column_name, {df, desired});
        require_ok(PyDict_SetItem(names.get(), col.get(), safe.get()));
    }
    return names;
}

// _split_columns_to_diff_into_continuous_and_categorical(self)
Ref split_columns_to_diff_into_continuous_and_categorical(const Frame& f) {
    PyObject* self = f.arg(0);
    Ref categorical = new_list();
    Ref continuous = new_list();
    Ref columns_to_diff = getattr(self, N::columns_to_diff);
    for (Ref& col : iterate(columns_to_diff.get())) {
        Ref df = getattr(self, N::df);
        Ref dtypes = getattr(df.get(), N::dtypes);
        Ref dtype = getitem(dtypes.get(), col);
        PyObject* target = is_text_dtype(f.pd().get(), dtype.get()) ? categorical.get() : continuous.get();
        require_ok(PyList_Append(target, col.get()));
    }
    return new_tuple({continuous, categorical});
}

}  // namespace body
}  // namespace vt
