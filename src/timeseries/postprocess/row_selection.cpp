// Cutting the synthetic rows into entities with rebuilt ids.
#include "timeseries/method_table.hpp"

namespace vt {
namespace body {

namespace {

// Where each category's block begins among the synthetic rows sorted by
// category: after the rows of every block before it, asked for or not.
Ref block_starts_of(const MethodArgs& a, PyObject* syn_category_counts) {
    Ref pd = a.pd();
    Ref series = getattr(pd.get(), N::Series);
    Ref counts = call(series.get(), {syn_category_counts});
    Ref running_total = call_method(counts.get(), N::cumsum);
    return require(PyNumber_Subtract(running_total.get(), counts.get()));
}

}  // namespace

Ref _get_indexes_to_keep(const args::_get_indexes_to_keep& a) {

    Ref block_starts;
    Ref indexes_to_keep = new_list();
    Ref keys = call_method(a.desired_category_counts, N::keys);
    for (Ref& current_num_rows : iterate(keys.get())) {
        Ref num_synth_rows = getitem(a.syn_category_counts, current_num_rows);
        Ref num_required_rows = getitem(a.unique_id_category_counts, current_num_rows);
        // Checked under -O too: a short block would lend its rows to the next category.
        Ref enough = require(PyObject_RichCompare(num_synth_rows.get(), num_required_rows.get(), Py_GE));
        if (!truthy(enough.get()))
            fail_assertion({"More rows required for num_rows = ", current_num_rows, " category. Have ",
                            num_synth_rows, " rows but require ", num_required_rows, " rows."});
        if (!block_starts) block_starts = block_starts_of(a, a.syn_category_counts);
        // The first rows of this category's block, in the request's order.
        Ref offset = getitem(block_starts.get(), current_num_rows);
        Ref stop = require(PyNumber_Add(offset.get(), num_required_rows.get()));
        Ref positions = call(builtin("range").get(), {offset, stop});
        Ref position_list = require(PySequence_List(positions.get()));
        indexes_to_keep = require(PyNumber_InPlaceAdd(indexes_to_keep.get(), position_list.get()));
    }
    return indexes_to_keep;
}

namespace {

// One row per entity, in the request's order, holding the rows it is built
// from (category + 1) as "num_repetitions".
Ref repetition_vector_of(const MethodArgs& a, PyObject* desired_category_counts) {
    Ref df_desired_category_counts;
    {
        Ref data_frame = getattr(a.pd().get(), N::DataFrame);
        Ref from_dict = getattr(data_frame.get(), N::from_dict);
        df_desired_category_counts = call(from_dict.get(), {desired_category_counts},
                                          {kw(N::orient, name(N::index)), kw(N::columns, new_list({name(N::counts)}))});
    }
    df_desired_category_counts = call_method(df_desired_category_counts.get(), N::reset_index);
    {
        Ref categories = getitem(df_desired_category_counts.get(), name(N::index));
        Ref rows_per_entity = require(PyNumber_Add(categories.get(), integer(1).get()));
        setitem(df_desired_category_counts.get(), name(N::index),
                call_method(rows_per_entity.get(), N::astype, {name(N::int64)}));
    }
    Ref repetition_vector;
    {
        Ref loc = getattr(df_desired_category_counts.get(), N::loc);
        Ref index = getattr(df_desired_category_counts.get(), N::index);
        Ref counts = getitem(df_desired_category_counts.get(), name(N::counts));
        repetition_vector = getitem(loc.get(), call_method(index.get(), N::repeat, {counts}));
    }
    Ref column = getitem(repetition_vector.get(), name(N::index));
    Ref renumbered = call_method(column.get(), N::reset_index, {}, {kw(N::drop, Py_True)});
    Ref frame = call_method(renumbered.get(), N::to_frame);
    Ref columns = new_dict({{name(N::index), name(N::num_repetitions)}});
    return call_method(frame.get(), N::rename, {}, {kw(N::columns, columns)});
}

// Ids go to categories in the request's order; each id then owns category + 1
// rows, numbered 0 .. R - 1, "num_repetitions" holding the category.
Ref id_rows(PyObject* df_unique_ids_in, PyObject* repetition_vector) {
    Ref df_unique_ids = call_method(df_unique_ids_in, N::join, {repetition_vector});
    df_unique_ids = call_method(df_unique_ids.get(), N::dropna);
    {
        Ref loc = getattr(df_unique_ids.get(), N::loc);
        Ref index = getattr(df_unique_ids.get(), N::index);
        Ref repetitions = getitem(df_unique_ids.get(), name(N::num_repetitions));
        df_unique_ids = getitem(loc.get(), call_method(index.get(), N::repeat, {repetitions}));
    }
    Ref repetitions = getitem(df_unique_ids.get(), name(N::num_repetitions));
    Ref categories = require(PyNumber_Subtract(repetitions.get(), integer(1).get()));
    setitem(df_unique_ids.get(), name(N::num_repetitions), categories);
    return call_method(df_unique_ids.get(), N::reset_index, {}, {kw(N::drop, Py_True)});
}

// frame[column].value_counts().sort_index()
Ref sorted_value_counts(PyObject* frame, PyObject* column) {
    Ref values = getitem(frame, column);
    return call_method(call_method(values.get(), N::value_counts).get(), N::sort_index);
}

// The synthetic rows each id needs, taken from category blocks in the
// request's order and numbered 0 .. R - 1.
Ref kept_synthetic_rows(PyObject* self, PyObject* df_synth_in, PyObject* df_unique_ids,
                        PyObject* desired_category_counts) {
    Ref df_synth = call_method(df_synth_in, N::sort_values, {getattr(self, N::category_column)});
    Ref syn_category_counts = sorted_value_counts(df_synth.get(), getattr(self, N::category_column).get());
    Ref unique_id_category_counts = sorted_value_counts(df_unique_ids, name(N::num_repetitions));
    Ref indexes_to_keep = call_method(self, N::_get_indexes_to_keep,
                                      {desired_category_counts, syn_category_counts, unique_id_category_counts});
    {
        Ref iloc = getattr(df_synth.get(), N::iloc);
        df_synth = getitem(iloc.get(), indexes_to_keep);
    }
    return call_method(df_synth.get(), N::reset_index, {}, {kw(N::drop, Py_True)});
}

}  // namespace

Ref _construct_vectors_of_identical_shape_to_allow_vectorized_operations_for_performance_enhancements(
    const args::_construct_vectors_of_identical_shape_to_allow_vectorized_operations_for_performance_enhancements& a) {
    Ref df_unique_ids = id_rows(a.df_unique_ids, repetition_vector_of(a, a.desired_category_counts).get());
    Ref df_synth = kept_synthetic_rows(a.self, a.df_synth, df_unique_ids.get(), a.desired_category_counts);
    // Both frames are numbered 0 .. R - 1: the join pairs them by position.
    df_synth = call_method(df_unique_ids.get(), N::join, {df_synth});

    // Checked under -O too: a mismatch would seed and label entities with the wrong row count.
    Ref categories = getitem(df_synth.get(), getattr(a.self, N::category_column));
    Ref repetitions = getitem(df_synth.get(), name(N::num_repetitions));
    Ref matches = require(PyObject_RichCompare(categories.get(), repetitions.get(), Py_EQ));
    if (!truthy(call_method(matches.get(), N::all).get()))
        fail_assertion({getattr(a.self, N::category_column),
                        " and num_repetitions should match in all cases from a correct join but they do not match"});
    return df_synth;
}

}  // namespace body
}  // namespace vt
