// First-order differences, transition values and category mapping frames.
#include "common/buffer.hpp"
#include "timeseries/difference/group_differences.hpp"
#include "timeseries/difference/transitions.hpp"
#include "timeseries/method_table.hpp"

#include <limits>

namespace vt {
namespace body {

namespace {

// df[col_diff] = df[[id, col]].groupby(id).diff() for one continuous column;
// the differences come from one native pass where pandas would make a Python
// call per entity.
void add_continuous_difference(const MethodArgs& a, PyObject* self, PyObject* df, PyObject* col, PyObject* col_diff) {
    Ref differences;
    {
        Ref pd = a.pd();
        Ref id_column = getattr(self, N::primary_id_column);
        differences = group_differences(pd.get(), df, id_column.get(), col);
    }
    if (!differences) {
        Ref selected = getitem(df, new_list({getattr(self, N::primary_id_column), col}));
        Ref grouped = call_method(selected.get(), N::groupby, {getattr(self, N::primary_id_column)});
        differences = call_method(grouped.get(), N::diff);
    }
    setitem(df, col_diff, differences);
}

// A text column of another dtype than object (str, string, category) as the
// objects it holds, with nan for every missing value: what the same text read
// as objects holds, so that it gives the same transitions. By way of the
// category dtype, equal texts become one shared object each, as they mostly
// are in an object column, rather than a new str per row: the transition
// texts are then rendered once per distinct pair, not once per row.
Ref as_objects(PyObject* pd, PyObject* column) {
    if (dtype_is(column, "object")) return Ref::borrow(column);
    Ref categories = call_method(column, N::astype, {name(N::category)});
    Ref objects = call_method(categories.get(), N::astype, {builtin("object")});
    categories = Ref();
    Ref values = call_method(objects.get(), N::to_numpy, {}, {kw(N::copy, Py_True)});
    objects = Ref();
    Ref missing = call_method(call_method(column, N::isna).get(), N::to_numpy);
    setitem(values.get(), missing, require(PyFloat_FromDouble(std::numeric_limits<double>::quiet_NaN())));
    Ref series_type = getattr(pd, N::Series);
    Ref index = getattr(column, N::index);
    return call(series_type.get(), {values}, {kw(N::index, index), kw(N::dtype, builtin("object"))});
}

// The shifted values of an object column as the from-column: the list
// itself, unless it holds only text, which pandas 3 would store as str with
// None turned into nan; such a list is stored as objects, as pandas before 3
// stores it anyway. The values of other text dtypes are stored as objects too
// (a category of numbers stays numbers), unless none is there: then pandas
// picks the dtype, as it does for an object column of missing values.
Ref from_column(PyObject* pd, PyObject* df, PyObject* shifted, bool object_column) {
    Ref api = getattr(pd, N::api);
    Ref types = getattr(api.get(), N::types);
    Ref infer_dtype = getattr(types.get(), N::infer_dtype);
    Ref kind = call(infer_dtype.get(), {shifted}, {kw(N::skipna, Py_True)});
    if (!PyUnicode_Check(kind.get())) return Ref::borrow(shifted);
    const bool text = PyUnicode_CompareWithASCIIString(kind.get(), "string") == 0;
    const bool empty = PyUnicode_CompareWithASCIIString(kind.get(), "empty") == 0;
    if (!text && (empty || object_column)) return Ref::borrow(shifted);
    Ref series_type = getattr(pd, N::Series);
    Ref index = getattr(df, N::index);
    return call(series_type.get(), {shifted}, {kw(N::index, index), kw(N::dtype, builtin("object"))});
}

// df[col_from] = the text values shifted down by one row across the whole
// frame, the entity starts then blanked: their shifted value came from the
// previous entity.
void add_previous_values(const MethodArgs& a, PyObject* self, PyObject* df, PyObject* text, PyObject* col_from,
                         bool object_column) {
    {
        // An empty frame gets an empty column: a one-item list would make
        // pandas invent a row.
        Ref none_first = length(df) != 0 ? new_list({Py_None}) : new_list();
        Ref values = getattr(text, N::values);
        Ref all_but_last_key = require(PySlice_New(nullptr, integer(-1).get(), nullptr));
        Ref all_but_last = getitem(values.get(), all_but_last_key);
        Ref previous = require(PySequence_List(all_but_last.get()));
        Ref shifted = list_concat(none_first.get(), previous.get());
        previous = Ref();
        setitem(df, col_from, from_column(a.pd().get(), df, shifted.get(), object_column));
    }
    Ref first_entry_of_each_id_idx = call_method(self, N::_get_indexes_of_first_row_of_each_unique_id,
                                                 {df, getattr(self, N::primary_id_column)});
    Ref loc = getattr(df, N::loc);
    setitem(loc.get(), new_tuple({first_entry_of_each_id_idx, Arg(col_from)}), Py_None);
}

// df[col_diff] = df[[col_from, col_to]].apply(tuple, axis=1).apply(str),
// natively where the texts can be had so.
void add_transition_texts(const MethodArgs& a, PyObject* df, PyObject* col_from, PyObject* col_to,
                          PyObject* col_diff) {
    Ref pairs = getitem(df, new_list({col_from, col_to}));
    Ref transitions = transition_texts(a.pd().get(), pairs.get());
    if (!transitions) {
        Ref tuples = call_method(pairs.get(), N::apply, {builtin("tuple")}, {kw(N::axis, integer(1))});
        pairs = Ref();
        transitions = call_method(tuples.get(), N::apply, {builtin("str")});
    }
    pairs = Ref();
    setitem(df, col_diff, transitions);
}

// df[[col_from, col_to, col_diff]].dropna().drop_duplicates(), the from/to
// columns under their plain names.
Ref category_mappings(PyObject* df, PyObject* col_from, PyObject* col_to, PyObject* col_diff, PyObject* from_name,
                      PyObject* to_name) {
    Ref df_category_mappings;
    {
        Ref triples = getitem(df, new_list({col_from, col_to, col_diff}));
        Ref complete = call_method(triples.get(), N::dropna);
        triples = Ref();
        df_category_mappings = call_method(complete.get(), N::drop_duplicates);
    }
    Ref renamed = require(
        PyObject_RichCompare(new_tuple({col_from, col_to}).get(), new_tuple({from_name, to_name}).get(), Py_NE));
    if (!truthy(renamed.get())) return df_category_mappings;
    return call_method(df_category_mappings.get(), N::rename, {},
                       {kw(N::columns, new_dict({{col_from, from_name}, {col_to, to_name}}))});
}

// Adds the transition column of one categorical column to df and returns its
// category mapping frame; the temporary from/to columns are dropped again.
// Each statement's intermediates are released as soon as it is done, so the
// peak memory on large frames stays that of the statement-by-statement form.
Ref add_transitions(const MethodArgs& a, PyObject* self, PyObject* df, PyObject* col, PyObject* col_diff) {
    // Temporary names that leave input columns alone; the mapping frame
    // still carries the plain "<col>_1" / "<col>_2" names readers expect.
    Ref from_name = build_message({col, "_1"});
    Ref to_name = build_message({col, "_2"});
    Ref col_from = call_method(self, N::get_safe_column_name, {df, from_name});
    Ref col_to = call_method(self, N::get_safe_column_name, {df, to_name});

    Ref column = getitem(df, col);
    const bool object_column = dtype_is(column.get(), "object");
    Ref text = as_objects(a.pd().get(), column.get());
    column = Ref();
    add_previous_values(a, self, df, text.get(), col_from.get(), object_column);
    setitem(df, col_to, text);
    text = Ref();
    add_transition_texts(a, df, col_from.get(), col_to.get(), col_diff);

    Ref df_category_mappings =
        category_mappings(df, col_from.get(), col_to.get(), col_diff, from_name.get(), to_name.get());
    require_ok(PyObject_DelItem(df, col_from.get()));
    require_ok(PyObject_DelItem(df, col_to.get()));
    return df_category_mappings;
}

}  // namespace

Ref _get_diff(const args::_get_diff& a) {
    Ref df = Ref::borrow(a.df_multi_entry_per_group);

    {
        Ref continuous_map = getattr(a.self, N::continuous_columns_to_diff_map);
        for (auto& [col, col_diff] : items(continuous_map.get()))
            add_continuous_difference(a, a.self, df.get(), col.get(), col_diff.get());
    }

    Ref categorical_column_mappings = new_dict();
    {
        // The transition column takes the map's clash-free name, the one the
        // dropna below and the undifferencing look it up under.
        Ref categorical_map = getattr(a.self, N::categorical_columns_to_diff_map);
        for (auto& [col, col_diff] : items(categorical_map.get())) {
            Ref df_category_mappings = add_transitions(a, a.self, df.get(), col.get(), col_diff.get());
            setitem(categorical_column_mappings.get(), col, df_category_mappings);
        }
    }

    df = call_method(df.get(), N::dropna, {}, {kw(N::subset, getattr(a.self, N::diff_col_names))});
    df = call_method(df.get(), N::drop, {getattr(a.self, N::columns_to_diff)}, {kw(N::axis, integer(1))});
    return new_tuple({df, categorical_column_mappings});
}

}  // namespace body
}  // namespace vt
