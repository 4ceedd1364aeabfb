// Rebuilt columns back into the input's dtypes: integers, datetimes (unit
// and time zone), timedeltas and categories as they came in.
#include "sequences/rebuild.hpp"

namespace vt {
namespace seq {

Output::Output(const Model& m, size_t rows) : num(m.cols.size()), code(m.cols.size()) {
    for (size_t c = 0; c < m.cols.size(); ++c) {
        if (m.cols[c].kind == Kind::category)
            code[c].assign(rows, -1);
        else
            num[c].assign(rows, nan);
    }
}

double Output::fill(size_t c, const Pools& p, size_t e, size_t row, size_t k) {
    if (!code[c].empty()) {
        std::fill(code[c].begin() + static_cast<std::ptrdiff_t>(row), code[c].begin() + static_cast<std::ptrdiff_t>(row + k),
                  p.e_code[c][e]);
        return nan;
    }
    const double v = p.e_num[c][e];
    std::fill(num[c].begin() + static_cast<std::ptrdiff_t>(row), num[c].begin() + static_cast<std::ptrdiff_t>(row + k), v);
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

Ref restore_number(const Libs& L, const ColumnModel& c, const std::vector<double>& v) {
    Ref series = series_of(L, float_array(L, v).get());
    if (c.integral) {
        // A plain integer dtype cannot hold missing values: those stay floats.
        Ref kind = getattr(c.dtype.get(), N::kind);
        bool any_missing = false;
        for (double x : v) any_missing = any_missing || std::isnan(x);
        if (any_missing && PyUnicode_Check(kind.get()) && !PyObject_HasAttr(c.dtype.get(), name(N::na_value))) return series;
    }
    return as_dtype(std::move(series), c.dtype.get());
}

Ref restore_time(const Libs& L, const ColumnModel& c, const std::vector<double>& v) {
    const double grid_ns = std::max(1.0, std::nearbyint(c.grid * c.scale));
    std::vector<int64_t> ns(v.size());
    for (size_t i = 0; i < v.size(); ++i) {
        const double x = std::nearbyint(v[i] * c.scale / grid_ns) * grid_ns + static_cast<double>(c.origin);
        ns[i] = std::isfinite(x) && std::fabs(x) < 9.2e18 ? static_cast<int64_t>(x) : not_a_time;
    }
    Ref ints = int_array(L, ns);
    Ref arr = call_method(ints.get(), N::view, {c.kind == Kind::datetime ? N::datetime64_ns : N::timedelta64_ns});
    Ref series = series_of(L, arr.get());
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
    Ref series = series_of(L, object_array(L, codes, uniques).get());
    Ref kind = getattr(c.dtype.get(), N::kind);
    bool any_missing = false;
    for (int32_t x : codes) any_missing = any_missing || x < 0;
    // numpy booleans have no missing value.
    if (any_missing && PyUnicode_Check(kind.get()) && PyUnicode_CompareWithASCIIString(kind.get(), "b") == 0) return series;
    return as_dtype(std::move(series), c.dtype.get());
}

}  // namespace

Ref Output::frame(const Libs& L, const Model& m, const Pools& p, const std::vector<int64_t>& ids) {
    std::vector<std::pair<Ref, Ref>> columns;
    for (size_t c = 0; c < m.cols.size(); ++c) {
        if (c == m.id_position) columns.emplace_back(Ref::borrow(m.cfg.id.get()), int_array(L, ids));
        const ColumnModel& col = m.cols[c];
        Ref series;
        switch (col.kind) {
            case Kind::number: series = restore_number(L, col, num[c]); break;
            case Kind::datetime:
            case Kind::timedelta: series = restore_time(L, col, num[c]); break;
            case Kind::category: series = restore_category(L, col, code[c], p.uniques[c].get()); break;
        }
        num[c] = std::vector<double>();  // released as soon as the column is built
        code[c] = std::vector<int32_t>();
        columns.emplace_back(Ref::borrow(col.name.get()), std::move(series));
    }
    if (m.id_position == m.cols.size()) columns.emplace_back(Ref::borrow(m.cfg.id.get()), int_array(L, ids));
    return make_frame(L, columns);
}

}  // namespace seq
}  // namespace vt
