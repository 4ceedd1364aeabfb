// Cutting the synthetic rows into entities with rebuilt ids.
#include "module/method_table.hpp"

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

Ref _construct_vectors_of_identical_shape_to_allow_vectorized_operations_for_performance_enhancements(
    const args::_construct_vectors_of_identical_shape_to_allow_vectorized_operations_for_performance_enhancements& a) {
    Ref df_synth = Ref::borrow(a.df_synth);
    Ref df_unique_ids = Ref::borrow(a.df_unique_ids);

    // One row per requested category: "index" holds the rows an entity of it is built from.
    Ref df_desired_category_counts;
    {
        Ref pd = a.pd();
        Ref data_frame = getattr(pd.get(), N::DataFrame);
        Ref from_dict = getattr(data_frame.get(), N::from_dict);
        df_desired_category_counts = call(from_dict.get(), {a.desired_category_counts},
                                          {kw(N::orient, name(N::index)), kw(N::columns, new_list({name(N::counts)}))});
    }
    df_desired_category_counts = call_method(df_desired_category_counts.get(), N::reset_index);
    {
        Ref categories = getitem(df_desired_category_counts.get(), name(N::index));
        Ref one = integer(1);
        Ref rows_per_entity = require(PyNumber_Add(categories.get(), one.get()));
        Ref cast = call_method(rows_per_entity.get(), N::astype, {name(N::int64)});
        setitem(df_desired_category_counts.get(), name(N::index), cast);
    }

    // One row per entity, in the request's order.
    Ref repetition_vector;
    {
        Ref loc = getattr(df_desired_category_counts.get(), N::loc);
        Ref index = getattr(df_desired_category_counts.get(), N::index);
        Ref counts = getitem(df_desired_category_counts.get(), name(N::counts));
        Ref repeated = call_method(index.get(), N::repeat, {counts});
        repetition_vector = getitem(loc.get(), repeated);
    }
    {
        Ref column = getitem(repetition_vector.get(), name(N::index));
        Ref renumbered = call_method(column.get(), N::reset_index, {}, {kw(N::drop, Py_True)});
        Ref frame = call_method(renumbered.get(), N::to_frame);
        repetition_vector = call_method(frame.get(), N::rename, {},
                                        {kw(N::columns, new_dict({{name(N::index), name(N::num_repetitions)}}))});
    }

    // Ids go to categories in the request's order; each id then owns category + 1 rows.
    df_unique_ids = call_method(df_unique_ids.get(), N::join, {repetition_vector});
    df_unique_ids = call_method(df_unique_ids.get(), N::dropna);
    {
        Ref loc = getattr(df_unique_ids.get(), N::loc);
        Ref index = getattr(df_unique_ids.get(), N::index);
        Ref repetitions = getitem(df_unique_ids.get(), name(N::num_repetitions));
        Ref repeated = call_method(index.get(), N::repeat, {repetitions});
        df_unique_ids = getitem(loc.get(), repeated);
    }
    {
        Ref repetitions = getitem(df_unique_ids.get(), name(N::num_repetitions));
        Ref one = integer(1);
        Ref categories = require(PyNumber_Subtract(repetitions.get(), one.get()));
        setitem(df_unique_ids.get(), name(N::num_repetitions), categories);
    }
    df_unique_ids = call_method(df_unique_ids.get(), N::reset_index, {}, {kw(N::drop, Py_True)});

    // Synthetic rows in category blocks, and how many of each block are needed.
    df_synth = call_method(df_synth.get(), N::sort_values, {getattr(a.self, N::category_column)});
    Ref syn_category_counts;
    {
        Ref column = getitem(df_synth.get(), getattr(a.self, N::category_column));
        syn_category_counts = call_method(call_method(column.get(), N::value_counts).get(), N::sort_index);
    }
    Ref unique_id_category_counts;
    {
        Ref column = getitem(df_unique_ids.get(), name(N::num_repetitions));
        unique_id_category_counts = call_method(call_method(column.get(), N::value_counts).get(), N::sort_index);
    }
    Ref indexes_to_keep = call_method(a.self, N::_get_indexes_to_keep,
                                      {a.desired_category_counts, syn_category_counts, unique_id_category_counts});
    {
        Ref iloc = getattr(df_synth.get(), N::iloc);
        df_synth = getitem(iloc.get(), indexes_to_keep);
    }
    df_synth = call_method(df_synth.get(), N::reset_index, {}, {kw(N::drop, Py_True)});
    // Both frames are numbered 0 .. R - 1: the join pairs them by position.
    df_synth = call_method(df_unique_ids.get(), N::join, {df_synth});

    // Checked under -O too: a mismatch would seed and label entities with the wrong row count.
    {
        Ref categories = getitem(df_synth.get(), getattr(a.self, N::category_column));
        Ref repetitions = getitem(df_synth.get(), name(N::num_repetitions));
        Ref matches = require(PyObject_RichCompare(categories.get(), repetitions.get(), Py_EQ));
        if (!truthy(call_method(matches.get(), N::all).get()))
            fail_assertion({getattr(a.self, N::category_column),
                            " and num_repetitions should match in all cases from a correct join but they do not match"});
    }
    return df_synth;
}

}  // namespace body
}  // namespace vt
