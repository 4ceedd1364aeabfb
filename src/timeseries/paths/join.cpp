// One step of path growth: the outer self-join of two path frames.
#include "timeseries/method_table.hpp"
#include "timeseries/function.hpp"
#include "timeseries/paths/path_kernels.hpp"

namespace vt {
namespace body {

namespace {

// True when the path x holds no entry twice: len(x) == len(set(x)).
PyObject* has_no_repeated_entry(PyObject*, PyObject* x) {
    try {
        const Py_ssize_t entries = length(x);
        Ref distinct = require(PySet_New(x));
        return PyBool_FromLong(entries == length(distinct.get()));
    }
    VT_BOUNDARY(nullptr)
}

// Static, so every function object made from it can outlive the call that
// made it (pandas may keep the mapper around).
PyMethodDef has_no_repeated_entry_def = {"<lambda>", has_no_repeated_entry, METH_O, nullptr};


// A path without a partner is marked by -1 on its open side. A side on which
// no row found a partner at all is an object column of missing values:
// fillna would fill it with -1 and then infer int64 from it, warning that it
// will stop inferring. Such a side gets its int64 -1s directly; the lists
// built from it hold the same Python ints.
void mark_sides_without_partner(const args::join_df& a, PyObject* df) {
    for (PyObject* side : {name(N::index_left), name(N::index_right)}) {
        // A missing column fails in fillna as usual; duplicate labels select a
        // frame, which also goes the ordinary way.
        if (!contains(getattr(df, N::columns).get(), side)) continue;
        Ref series = getattr(a.pd().get(), N::Series);
        Ref column = getitem(df, side);
        if (!require_ok(PyObject_IsInstance(column.get(), series.get()))) continue;
        if (length(column.get()) == 0 || !dtype_kind_is(column.get(), "O")) continue;
        Ref present = call_method(column.get(), N::notna);
        if (truthy(call_method(present.get(), N::any).get())) continue;
        Ref rows = getattr(column.get(), N::index);
        setitem(df, side, call(series.get(), {integer(-1)}, {kw(N::index, rows), kw(N::dtype, name(N::int64))}));
    }
    Ref selected = getitem(df, new_list({name(N::index_left), name(N::index_right)}));
    Ref filled = call_method(selected.get(), N::fillna, {integer(-1)});
    Ref loc = getattr(df, N::loc);
    Ref all_rows = require(PySlice_New(nullptr, nullptr, nullptr));
    setitem(loc.get(), new_tuple({all_rows, new_list({name(N::index_left), name(N::index_right)})}), filled);
}

// df[side] = df[side].apply(cls.make_element_a_list)
void wrap_in_lists(const args::join_df& a, PyObject* df, N side) {
    Ref column = getitem(df, name(side));
    Ref apply = getattr(column.get(), N::apply);
    Ref as_list = getattr(a.cls, N::make_element_a_list);
    setitem(df, name(side), call(apply.get(), {as_list}));
}

// df[index] = left paths + right paths, each entry wrapped in a list first.
// Wrapping and joining are one pass when make_element_a_list is the class's
// own (neither overridden nor replaced): its results are then known, and the
// wrapped columns, dropped right after, leave nothing behind. What that pass
// learnt about repeated entries comes back for the last step.
Ref join_both_sides(const args::join_df& a, PyObject* df) {
    JoinedPaths joined;
    {
        Ref left_paths = getitem(df, name(N::index_left));
        Ref right_paths = getitem(df, name(N::index_right));
        Ref as_list = getattr(a.cls, N::make_element_a_list);
        if (is_own_method(as_list.get(), a.cls, Method::make_element_a_list))
            joined = join_paths(a.pd().get(), left_paths.get(), right_paths.get());
    }
    if (joined.paths) {
        setitem(df, a.index, joined.paths);
        return std::move(joined.keep);
    }
    wrap_in_lists(a, df, N::index_left);
    wrap_in_lists(a, df, N::index_right);
    Ref left_paths = getitem(df, name(N::index_left));
    Ref right_paths = getitem(df, name(N::index_right));
    setitem(df, a.index, require(PyNumber_Add(left_paths.get(), right_paths.get())));
    return Ref();
}

// df[df[index].map(lambda x: len(x) == len(set(x)))], the test's results
// taken from the joining pass where it had them for exactly these rows.
Ref without_repeated_entries(const args::join_df& a, PyObject* df, Ref known) {
    Ref keep;
    if (known && length(known.get()) == length(df)) {
        Ref series = getattr(a.pd().get(), N::Series);
        Ref rows = getattr(df, N::index);
        keep = call(series.get(), {known}, {kw(N::index, rows)});
    } else {
        Ref paths = getitem(df, a.index);
        Ref map = getattr(paths.get(), N::map);
        Ref test = require(PyCFunction_New(&has_no_repeated_entry_def, nullptr));
        keep = call(map.get(), {test});
    }
    known = Ref();
    return getitem(df, keep);
}

}  // namespace

Ref join_df(const args::join_df& a) {
    Ref df_l = call_method(a.df_l, N::rename, {},
                           {kw(N::columns, new_dict({{a.right, name(N::inner)}, {a.index, name(N::index_left)}}))});
    Ref df_r = call_method(a.df_r, N::rename, {},
                           {kw(N::columns, new_dict({{a.left, name(N::inner)}, {a.index, name(N::index_right)}}))});
    Ref df;
    {
        Ref merge = getattr(a.pd().get(), N::merge);
        Ref merged = call(merge.get(), {df_l, df_r}, {kw(N::on, name(N::inner)), kw(N::how, name(N::outer))});
        df = call_method(merged.get(), N::drop, {name(N::inner)}, {kw(N::axis, integer(1))});
    }
    mark_sides_without_partner(a, df.get());
    Ref known_without_repeats = join_both_sides(a, df.get());
    df = call_method(df.get(), N::drop, {new_list({name(N::index_left), name(N::index_right)})},
                     {kw(N::axis, integer(1))});
    {
        Ref paths = getitem(df.get(), a.index);
        Ref present = call_method(paths.get(), N::notna);
        df = getitem(df.get(), present);
    }
    return without_repeated_entries(a, df.get(), std::move(known_without_repeats));
}

}  // namespace body
}  // namespace vt
