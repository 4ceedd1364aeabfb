// One step of path growth: the outer self-join of two path frames.
#include "module/method_table.hpp"
#include "module/function.hpp"
#include "paths/path_kernels.hpp"

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

}  // namespace

Ref join_df(const args::join_df& a) {

    Ref df_l = call_method(a.df_l, N::rename, {},
                           {kw(N::columns, new_dict({{a.right, N::inner}, {a.index, N::index_left}}))});
    Ref df_r = call_method(a.df_r, N::rename, {},
                           {kw(N::columns, new_dict({{a.left, N::inner}, {a.index, N::index_right}}))});

    Ref df;
    {
        Ref pd = a.pd();
        Ref merge = getattr(pd.get(), N::merge);
        Ref merged = call(merge.get(), {df_l, df_r}, {kw(N::on, N::inner), kw(N::how, N::outer)});
        df = call_method(merged.get(), N::drop, {N::inner}, {kw(N::axis, integer(1))});
    }

    // A path without a partner is marked by -1 on its open side. A side on
    // which no row found a partner at all is an object column of missing
    // values: fillna would fill it with -1 and then infer int64 from it,
    // warning that it will stop inferring. Such a side gets its int64 -1s
    // directly; the lists built from it hold the same Python ints.
    for (N side : {N::index_left, N::index_right}) {
        // A missing column fails in fillna as usual; duplicate labels select a
        // frame, which also goes the ordinary way.
        if (!contains(getattr(df.get(), N::columns).get(), side)) continue;
        Ref series = getattr(a.pd().get(), N::Series);
        Ref column = getitem(df.get(), side);
        if (!require_ok(PyObject_IsInstance(column.get(), series.get()))) continue;
        if (length(column.get()) == 0 || !dtype_kind_is(column.get(), "O")) continue;
        Ref present = call_method(column.get(), N::notna);
        if (truthy(call_method(present.get(), N::any).get())) continue;
        Ref rows = getattr(column.get(), N::index);
        setitem(df.get(), side, call(series.get(), {integer(-1)}, {kw(N::index, rows), kw(N::dtype, N::int64)}));
    }
    {
        Ref both = new_list({N::index_left, N::index_right});
        Ref selected = getitem(df.get(), both);
        Ref filled = call_method(selected.get(), N::fillna, {integer(-1)});
        Ref loc = getattr(df.get(), N::loc);
        Ref all_rows = require(PySlice_New(nullptr, nullptr, nullptr));
        setitem(loc.get(), new_tuple({all_rows, new_list({N::index_left, N::index_right})}), filled);
    }

    // Wrapping each entry in a list and joining the two lists are done in one
    // pass when make_element_a_list is the class's own: its results are then
    // known, and the wrapped columns, dropped below, leave nothing behind.
    JoinedPaths joined;
    {
        Ref left_paths = getitem(df.get(), N::index_left);
        Ref right_paths = getitem(df.get(), N::index_right);
        // Neither overridden in a subclass nor replaced on the class: what it
        // returns for each row is then known without calling it.
        Ref as_list = getattr(a.cls, N::make_element_a_list);
        if (is_own_method(as_list.get(), a.cls, Method::make_element_a_list)) {
            joined = join_paths(a.pd().get(), left_paths.get(), right_paths.get());
        }
    }
    if (joined.paths) {
        setitem(df.get(), a.index, joined.paths);
        joined.paths = Ref();
    } else {
        {
            Ref column = getitem(df.get(), N::index_left);
            Ref apply = getattr(column.get(), N::apply);
            Ref as_list = getattr(a.cls, N::make_element_a_list);
            setitem(df.get(), N::index_left, call(apply.get(), {as_list}));
        }
        {
            Ref column = getitem(df.get(), N::index_right);
            Ref apply = getattr(column.get(), N::apply);
            Ref as_list = getattr(a.cls, N::make_element_a_list);
            setitem(df.get(), N::index_right, call(apply.get(), {as_list}));
        }
        {
            Ref left_paths = getitem(df.get(), N::index_left);
            Ref right_paths = getitem(df.get(), N::index_right);
            setitem(df.get(), a.index, require(PyNumber_Add(left_paths.get(), right_paths.get())));
        }
    }
    df = call_method(df.get(), N::drop, {new_list({N::index_left, N::index_right})}, {kw(N::axis, integer(1))});

    {
        Ref paths = getitem(df.get(), a.index);
        Ref present = call_method(paths.get(), N::notna);
        df = getitem(df.get(), present);
    }
    {
        Ref keep;
        if (joined.keep && length(joined.keep.get()) == length(df.get())) {
            Ref series = getattr(a.pd().get(), N::Series);
            Ref rows = getattr(df.get(), N::index);
            keep = call(series.get(), {joined.keep}, {kw(N::index, rows)});
        } else {
            Ref paths = getitem(df.get(), a.index);
            Ref map = getattr(paths.get(), N::map);
            Ref test = require(PyCFunction_New(&has_no_repeated_entry_def, nullptr));
            keep = call(map.get(), {test});
        }
        joined.keep = Ref();
        df = getitem(df.get(), keep);
    }
    return df;
}

}  // namespace body
}  // namespace vt
