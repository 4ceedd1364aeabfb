// Growing paths by repeated joins: linear, exponential and combined.
#include "timeseries/method_table.hpp"

namespace vt {
namespace body {

namespace {

// cls.join_df(df_l, df_r), handing on a path column name other than the
// default; with the default the call carries the two frames only, so an
// override of join_df sees exactly the call it always saw.
Ref join(PyObject* cls, PyObject* df_l, PyObject* df_r, PyObject* index) {
    Ref is_default = require(PyObject_RichCompare(index, name(N::index), Py_EQ));
    if (truthy(is_default.get())) return call_method(cls, N::join_df, {df_l, df_r});
    return call_method(cls, N::join_df, {df_l, df_r}, {kw(N::index, index)});
}

// df[index].str.len().max(): the longest path of a frame (NaN when empty).
Ref longest_path_length(PyObject* df, PyObject* index) {
    Ref paths = getitem(df, index);
    Ref accessor = getattr(paths.get(), N::str);
    Ref lengths = call_method(accessor.get(), N::len);
    return call_method(lengths.get(), N::max);
}

// range(count), with range looked up as a function body would.
Ref iterations(const MethodArgs& a, PyObject* count) {
    Ref range = global(a.globals, N::range);
    return call(range.get(), {count});
}

bool compare(PyObject* a, PyObject* b, int op) {
    Ref result = require(PyObject_RichCompare(a, b, op));
    return truthy(result.get());
}

// The stop message of the exponential and combined runs.
void print_stop(const MethodArgs& a, PyObject* current_max_length, Py_ssize_t df_length, PyObject* new_max_length,
                const char* ending) {
    Ref print = global(a.globals, N::print);
    Ref rows = require(PyLong_FromSsize_t(df_length));
    Ref message = build_message({"The previous max path length was ", current_max_length,
                                 " and the last iteration resulted in ", rows,
                                 " rows produced and max path length ", new_max_length, ending});
    call(print.get(), {message});
}

}  // namespace

Ref iteratively_discover_paths_linear(const args::iteratively_discover_paths_linear& a) {
    Ref df = Ref::borrow(a.df);
    Ref df_start = Ref::borrow(a.df_start);
    if (df_start.get() == Py_None) df_start = Ref::borrow(df.get());
    Ref current_max_length = integer(0);
    Ref steps = iterations(a, a.max_path_length);
    for ([[maybe_unused]] Ref& step : iterate(steps.get())) {
        df = join(a.cls, df.get(), df_start.get(), a.index);
        Ref new_max_length = longest_path_length(df.get(), a.index);
        if (compare(current_max_length.get(), new_max_length.get(), Py_EQ)) {
            Ref print = global(a.globals, N::print);
            Ref message = build_message({"The previous max path length was ", current_max_length,
                                         " and this did not change in the last iteration which means we have "
                                         "reached the longest length possible so the loop will stop early."});
            call(print.get(), {message});
            break;
        }
        current_max_length = std::move(new_max_length);
    }
    return df;
}

Ref iteratively_discover_paths_exponential(const args::iteratively_discover_paths_exponential& a) {
    Ref df = Ref::borrow(a.df_start);
    Ref current_max_length = integer(0);
    Ref steps = iterations(a, a.max_path_order);
    for ([[maybe_unused]] Ref& step : iterate(steps.get())) {
        Ref df_new = join(a.cls, df.get(), df.get(), a.index);
        const Py_ssize_t df_length = length(df_new.get());
        Ref new_max_length = longest_path_length(df_new.get(), a.index);
        if (df_length == 0 || compare(new_max_length.get(), current_max_length.get(), Py_LT)) {
            print_stop(a, current_max_length.get(), df_length, new_max_length.get(),
                       " so returning the previous iteration instead.");
            break;
        }
        df = std::move(df_new);
        current_max_length = std::move(new_max_length);
    }
    return df;
}

Ref iteratively_discover_paths_combined(const args::iteratively_discover_paths_combined& a) {
    Ref df_left = Ref::borrow(a.df_start);
    Ref df_right = Ref::borrow(a.df_start);
    Ref current_max_length = integer(0);
    bool switched_to_linear = false;
    Ref steps = iterations(a, a.max_path_iterations);
    for ([[maybe_unused]] Ref& step : iterate(steps.get())) {
        Ref df_new = join(a.cls, df_left.get(), df_right.get(), a.index);
        const Py_ssize_t df_length = length(df_new.get());
        Ref new_max_length = longest_path_length(df_new.get(), a.index);
        if (df_length == 0 || compare(new_max_length.get(), current_max_length.get(), Py_LE)) {
            if (switched_to_linear) {
                Ref print = global(a.globals, N::print);
                call(print.get(), {text("End of linear run too")});
                break;
            }
            print_stop(a, current_max_length.get(), df_length, new_max_length.get(),
                       " so switching to linear expansion instead.");
            df_right = Ref::borrow(a.df_start);
            switched_to_linear = true;
        }
        // Keep only the first few of the longest paths: this bounds every later join.
        {
            Ref paths = getitem(df_new.get(), a.index);
            Ref accessor = getattr(paths.get(), N::str);
            setitem(df_new.get(), name(N::path_length), call_method(accessor.get(), N::len));
        }
        Ref lengths = getitem(df_new.get(), name(N::path_length));
        Ref max_path_length = call_method(lengths.get(), N::max);
        {
            Ref column = getitem(df_new.get(), name(N::path_length));
            Ref longest = require(PyObject_RichCompare(column.get(), max_path_length.get(), Py_EQ));
            df_new = getitem(df_new.get(), longest);
        }
        df_new = call_method(df_new.get(), N::drop, {name(N::path_length)}, {kw(N::axis, integer(1))});
        {
            Ref first_rows = require(PySlice_New(nullptr, integer(10).get(), nullptr));
            df_new = getitem(df_new.get(), first_rows);
        }
        df_left = Ref::borrow(df_new.get());
        if (!switched_to_linear) df_right = Ref::borrow(df_new.get());
        current_max_length = std::move(new_max_length);
    }
    return df_left;
}

}  // namespace body
}  // namespace vt
