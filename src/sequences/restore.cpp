// Rebuilt columns back into the input's dtypes: integers, datetimes (unit
// and time zone), timedeltas and categories as they came in.
#include "sequences/rebuild.hpp"

#include <algorithm>
#include <cstring>

namespace vt {
namespace seq {

Output::Output(const Libs& L, const Model& m, size_t rows)
    : rows(rows), arrays(m.cols.size()), num(m.cols.size(), nullptr), code(m.cols.size()) {
    for (size_t c = 0; c < m.cols.size(); ++c) {
        if (m.cols[c].kind == Kind::category) {
            code[c].assign(rows, -1);
        } else {
            num[c] = new_array<double>(L, rows, "float64", arrays[c]);
            std::fill(num[c], num[c] + rows, nan);
        }
    }
}

double Output::fill(size_t c, const Pools& p, size_t e, size_t row, size_t k) {
    if (num[c] == nullptr) {
        std::fill(code[c].begin() + static_cast<std::ptrdiff_t>(row), code[c].begin() + static_cast<std::ptrdiff_t>(row + k),
                  p.e_code[c][e]);
        return nan;
    }
    const double v = p.e_num[c][e];
    std::fill(num[c] + row, num[c] + row + k, v);
    return v;
}

namespace {

bool equal(PyObject* a, PyObject* b) { return require_ok(PyObject_RichCompareBool(a, b, Py_EQ)) == 1; }

Ref as_dtype(Ref series, PyObject* dtype) {
    Ref now = getattr(series.get(), N::dtype);
    if (equal(now.get(), dtype)) return series;
    return call_method(series.get(), N::astype, {dtype});
}

Ref series_of(const Libs& L, PyObject* arr) {
    Ref series_type = getattr(L.pd.get(), N::Series);
    return call(series_type.get(), {arr}, {kw(N::copy, Py_False)});
}

Ref restore_number(const Libs& L, const ColumnModel& c, Ref arr, const double* v, size_t n) {
    Ref series = series_of(L, arr.get());
    if (c.integral) {
        // A plain integer dtype cannot hold missing values: those stay floats.
        Ref kind = getattr(c.dtype.get(), N::kind);
        bool any_missing = false;
        for (size_t i = 0; i < n && !any_missing; ++i) any_missing = std::isnan(v[i]);
        if (any_missing && PyUnicode_Check(kind.get()) && !PyObject_HasAttr(c.dtype.get(), name(N::na_value))) return series;
    }
    return as_dtype(std::move(series), c.dtype.get());
}

// The float64 array becomes, in place, the int64 nanoseconds it stands for.
Ref restore_time(const Libs& L, const ColumnModel& c, Ref arr, double* v, size_t n) {
    const double grid_ns = std::max(1.0, std::nearbyint(c.grid * c.scale));
    char* bytes = reinterpret_cast<char*>(v);
    for (size_t i = 0; i < n; ++i) {
        // Onto the grid where only rounding error keeps a value off it.
        const double q = v[i] * c.scale / grid_ns, on_grid = std::nearbyint(q);
        const double offset = std::fabs(q - on_grid) < 1e-6 ? on_grid * grid_ns : std::nearbyint(v[i] * c.scale);
        const double x = offset + static_cast<double>(c.origin);
        const int64_t ns = std::isfinite(x) && std::fabs(x) < 9.2e18 ? static_cast<int64_t>(x) : not_a_time;
        std::memcpy(bytes + i * sizeof ns, &ns, sizeof ns);
    }
    Ref ints = call_method(arr.get(), N::view, {name(N::int64)});
    Ref times = call_method(ints.get(), N::view, {c.kind == Kind::datetime ? name(N::datetime64_ns) : name(N::timedelta64_ns)});
    arr = Ref();
    ints = Ref();
    Ref series = series_of(L, times.get());
    times = Ref();
    if (c.kind == Kind::datetime && PyObject_HasAttr(c.dtype.get(), name(N::tz))) {
        Ref tz = getattr(c.dtype.get(), N::tz);
        if (tz.get() != Py_None) {
            Ref utc = text("UTC");
            Ref accessor = getattr(series.get(), N::dt);
            series = call_method(accessor.get(), N::tz_localize, {utc});
            accessor = getattr(series.get(), N::dt);
            series = call_method(accessor.get(), N::tz_convert, {tz});
        }
    }
    return as_dtype(std::move(series), c.dtype.get());
}

Ref restore_category(const Libs& L, const ColumnModel& c, const std::vector<int32_t>& codes, PyObject* uniques) {
    Ref numpy_dtype = getattr(L.np.get(), N::dtype);
    if (!require_ok(PyObject_IsInstance(c.dtype.get(), numpy_dtype.get()))) {
        // Extension dtypes (arrow or Python strings, categories, nullable
        // booleans): the few values in the dtype, taken by code, so no
        // object copy of the column is made.
        Ref array_of = getattr(L.pd.get(), N::array);
        Ref values = call(array_of.get(), {uniques}, {kw(N::dtype, c.dtype)});
        Ref positions;
        std::copy(codes.begin(), codes.end(), new_array<int64_t>(L, codes.size(), "int64", positions));
        Ref taken = call_method(values.get(), N::take, {positions}, {kw(N::allow_fill, Py_True)});
        positions = Ref();
        return series_of(L, taken.get());
    }
    // Kept object: pandas 3 would infer its string dtype, turning None into NaN.
    Ref series_type = getattr(L.pd.get(), N::Series);
    Ref object_type = builtin("object");
    Ref series = call(series_type.get(), {object_array(L, codes, uniques)}, {kw(N::dtype, object_type), kw(N::copy, Py_False)});
    Ref kind = getattr(c.dtype.get(), N::kind);
    bool any_missing = false;
    for (int32_t x : codes) any_missing = any_missing || x < 0;
    // numpy booleans have no missing value.
    if (any_missing && PyUnicode_Check(kind.get()) && PyUnicode_CompareWithASCIIString(kind.get(), "b") == 0) return series;
    return as_dtype(std::move(series), c.dtype.get());
}

}  // namespace

Ref Output::frame(const Libs& L, const Model& m, const std::vector<Ref>& uniques, const std::vector<int64_t>& ids,
                  const std::vector<int64_t>& lengths) {
    Ref id_array;
    int64_t* id_of = new_array<int64_t>(L, rows, "int64", id_array);
    for (size_t i = 0, row = 0; i < ids.size(); row += static_cast<size_t>(lengths[i]), ++i)
        std::fill(id_of + row, id_of + row + lengths[i], ids[i]);
    std::vector<std::pair<Ref, Ref>> columns;
    for (size_t c = 0; c < m.cols.size(); ++c) {
        if (c == m.id_position) columns.emplace_back(Ref::borrow(m.cfg.id.get()), std::move(id_array));
        const ColumnModel& col = m.cols[c];
        Ref series;
        switch (col.kind) {
            case Kind::number: series = restore_number(L, col, std::move(arrays[c]), num[c], rows); break;
            case Kind::datetime:
            case Kind::timedelta: series = restore_time(L, col, std::move(arrays[c]), num[c], rows); break;
            case Kind::category: series = restore_category(L, col, code[c], uniques[c].get()); break;
        }
        num[c] = nullptr;
        code[c] = std::vector<int32_t>();  // released as soon as the column is built
        columns.emplace_back(Ref::borrow(col.name.get()), std::move(series));
    }
    if (m.id_position == m.cols.size()) columns.emplace_back(Ref::borrow(m.cfg.id.get()), std::move(id_array));
    return make_frame(L, columns);
}

}  // namespace seq
}  // namespace vt
