// Entity features for the reports: each entity as one row of numbers that a
// classifier or a distance can compare across real and rebuilt frames.
#include "sequences/features.hpp"

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>

namespace vt {
namespace seq {

namespace {

// The most frequent category values a feature is made for; rarer ones only
// count in the change counts.
constexpr size_t top_values = 10;

void read_column(const Libs& L, const ColumnModel& c, PyObject* series, const Order& o, Sorted::Col& out, const char* table) {
    const size_t n = o.perm.size();
    out.c = &c;
    if (c.kind == Kind::category) {
        std::vector<int32_t> codes = std::move(read_codes(L, {series}, out.uniques)[0]);
        out.codes.resize(n);
        for (size_t r = 0; r < n; ++r) out.codes[r] = codes[static_cast<size_t>(o.perm[r])];
        return;
    }
    out.x.resize(n);
    if (c.kind == Kind::number) {
        Values<double> v = read_numbers(L, series, c.name.get(), table);
        for (size_t r = 0; r < n; ++r) out.x[r] = v[static_cast<size_t>(o.perm[r])];
        return;
    }
    Values<int64_t> v = read_nanoseconds(series, c.kind);
    for (size_t r = 0; r < n; ++r) {
        const int64_t t = v[static_cast<size_t>(o.perm[r])];
        out.x[r] = missing(t) ? nan : c.encode_ns(t);
    }
}

// A Pearson correlation, pooled, by running means and co-moments (stable
// for large values with small spreads, such as times).
struct Pearson {
    double n = 0, mx = 0, my = 0, cxx = 0, cyy = 0, cxy = 0;
    void add(double x, double y) {
        n += 1;
        const double dx = x - mx, dy = y - my;
        mx += dx / n;
        my += dy / n;
        cxx += dx * (x - mx);
        cyy += dy * (y - my);
        cxy += dx * (y - my);
    }
    double value() const { return n >= 3 && cxx > 0 && cyy > 0 ? cxy / std::sqrt(cxx * cyy) : nan; }
};

// The steps of one entity's observed values, from the last observed one.
std::vector<double> steps_of(const std::vector<double>& x, int64_t s, int64_t t) {
    std::vector<double> d;
    double last = nan;
    for (int64_t r = s; r < t; ++r) {
        const double v = x[static_cast<size_t>(r)];
        if (std::isnan(v)) continue;
        if (!std::isnan(last)) d.push_back(v - last);
        last = v;
    }
    return d;
}

// The lag-1 autocorrelation of a short series (the usual estimator, centred
// on its own mean); undefined below three steps, where it is fixed by the length.
double autocorrelation(const std::vector<double>& d) {
    if (d.size() < 3) return nan;
    double mean = 0;
    for (double v : d) mean += v;
    mean /= static_cast<double>(d.size());
    double num = 0, den = 0;
    for (size_t i = 0; i < d.size(); ++i) {
        den += (d[i] - mean) * (d[i] - mean);
        if (i + 1 < d.size()) num += (d[i] - mean) * (d[i + 1] - mean);
    }
    return den > 0 ? num / den : nan;
}

// A deque: adding a feature keeps the earlier ones where they are. Features
// are made for the picked entities only, in the order given.
struct Features {
    const std::vector<size_t>& picked;
    std::deque<std::pair<Ref, std::vector<double>>> cols;
    std::vector<double>& add(Ref label) {
        cols.emplace_back(std::move(label), std::vector<double>(picked.size(), nan));
        return cols.back().second;
    }
};

void number_features(Features& f, const Sorted& s, const Sorted::Col& col) {
    PyObject* label = col.c->name.get();
    const Order& o = s.o;
    if (col.c->is_static) {
        std::vector<double>& value = f.add(build_message({label}));
        for (size_t k = 0; k < f.picked.size(); ++k) value[k] = col.x[static_cast<size_t>(o.starts[f.picked[k]])];
        return;
    }
    std::vector<double>& first = f.add(build_message({label, " first"}));
    std::vector<double>& last = f.add(build_message({label, " last"}));
    std::vector<double>& mean = f.add(build_message({label, " step mean"}));
    std::vector<double>& spread = f.add(build_message({label, " step spread"}));
    std::vector<double>& lag = f.add(build_message({label, " step autocorrelation"}));
    std::vector<double>& miss = f.add(build_message({label, " missing"}));
    for (size_t k = 0; k < f.picked.size(); ++k) {
        const int64_t a = o.starts[f.picked[k]], b = o.starts[f.picked[k] + 1];
        size_t missed = 0;
        for (int64_t r = a; r < b; ++r) {
            const double v = col.x[static_cast<size_t>(r)];
            if (std::isnan(v)) {
                ++missed;
                continue;
            }
            if (std::isnan(first[k])) first[k] = v;
            last[k] = v;
        }
        miss[k] = static_cast<double>(missed) / static_cast<double>(b - a);
        const std::vector<double> d = steps_of(col.x, a, b);
        if (!d.empty()) {
            double sum = 0, sq = 0;
            for (double v : d) sum += v;
            mean[k] = sum / static_cast<double>(d.size());
            for (double v : d) sq += (v - mean[k]) * (v - mean[k]);
            spread[k] = d.size() > 1 ? std::sqrt(sq / static_cast<double>(d.size() - 1)) : nan;
        }
        lag[k] = autocorrelation(d);
    }
}

// The model's most frequent values of a category (by the pairs it saw),
// each mapped to its code in this frame (-1 where the frame lacks it).
std::vector<std::pair<Ref, int32_t>> top_codes(const Sorted::Col& col) {
    std::vector<std::pair<double, std::string>> ranked;
    Ref counts = require(PyDict_New());
    for (auto& kv : items(col.c->pairs.get())) {
        const double n = PyFloat_AsDouble(kv.second.get());
        if (PyErr_Occurred()) throw_python_error();
        for (int side = 0; side < 2; ++side) {
            PyObject* value = PyTuple_GetItem(kv.first.get(), side);
            if (value == nullptr) throw_python_error();
            if (value == Py_None) continue;
            PyObject* old = PyDict_GetItemWithError(counts.get(), value);
            if (old == nullptr && PyErr_Occurred()) throw_python_error();
            Ref sum = require(PyFloat_FromDouble(n + (old ? PyFloat_AsDouble(old) : 0.0)));
            require_ok(PyDict_SetItem(counts.get(), value, sum.get()));
        }
    }
    std::vector<std::pair<double, Ref>> order;
    for (auto& kv : items(counts.get())) order.emplace_back(-PyFloat_AsDouble(kv.second.get()), std::move(kv.first));
    std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    if (order.size() > top_values) order.resize(top_values);
    Buffer values(col.uniques.get(), PyBUF_RECORDS_RO);
    std::vector<std::pair<Ref, int32_t>> out;
    for (auto& v : order) {
        int32_t code = -1;
        for (Py_ssize_t u = 0; u < values.size() && code < 0; ++u)
            if (require_ok(PyObject_RichCompareBool(values.at<PyObject*>(u), v.second.get(), Py_EQ))) code = static_cast<int32_t>(u);
        out.emplace_back(std::move(v.second), code);
    }
    return out;
}

void category_features(Features& f, const Sorted& s, const Sorted::Col& col) {
    PyObject* label = col.c->name.get();
    const Order& o = s.o;
    for (const auto& top : top_codes(col)) {
        std::vector<double>& share = f.add(build_message({label, "=", top.first, col.c->is_static ? "" : " share"}));
        for (size_t k = 0; k < f.picked.size(); ++k) {
            const size_t e = f.picked[k];
            size_t hits = 0;
            for (int64_t r = o.starts[e]; r < o.starts[e + 1]; ++r) hits += top.second >= 0 && col.codes[static_cast<size_t>(r)] == top.second;
            share[k] = static_cast<double>(hits) / static_cast<double>(s.rows(e));
        }
    }
    if (col.c->is_static) return;
    std::vector<double>& changes = f.add(build_message({label, " changes"}));
    for (size_t k = 0; k < f.picked.size(); ++k) {
        const size_t e = f.picked[k];
        size_t n = 0;
        for (int64_t r = o.starts[e] + 1; r < o.starts[e + 1]; ++r) n += col.codes[static_cast<size_t>(r)] != col.codes[static_cast<size_t>(r - 1)];
        changes[k] = static_cast<double>(n);
    }
}

// The ids at each picked entity's first row, as a Series (the frame's index takes its name).
Ref first_ids(const Libs& L, const Sorted& s, const std::vector<size_t>& picked) {
    std::vector<int64_t> first(picked.size());
    for (size_t k = 0; k < first.size(); ++k) first[k] = s.o.perm[static_cast<size_t>(s.o.starts[picked[k]])];
    return call_method(s.ids.get(), N::take, {int_array(L, first)});
}

uint64_t fold(uint64_t h, uint64_t v) { return Rng::mix(h ^ (v + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2))); }

}  // namespace

Sorted read_sorted(const Libs& L, const Model& m, PyObject* frame, PyObject* id_label, const char* table) {
    Ref frame_type = getattr(L.pd.get(), N::DataFrame);
    if (!require_ok(PyObject_IsInstance(frame, frame_type.get())))
        raise(PyExc_TypeError, {"the ", table, " frame must be a pandas DataFrame"});
    if (length(frame) == 0) raise(PyExc_ValueError, {"the ", table, " frame is empty"});
    const ColumnModel& tc = m.cols[m.time_index];
    Sorted s;
    s.ids = column(frame, id_label, table);
    Ref times = column(frame, tc.name.get(), table);
    s.o = is_time_like(tc.kind) ? entity_order(L, s.ids.get(), id_label, read_nanoseconds(times.get(), tc.kind))
                                : entity_order(L, s.ids.get(), id_label, read_numbers(L, times.get(), tc.name.get(), table));
    Ref present = getattr(frame, N::columns);
    for (const ColumnModel& c : m.cols) {
        if (!contains(present.get(), c.name.get())) continue;
        Ref series = column(frame, c.name.get(), table);
        s.cols.emplace_back();
        read_column(L, c, series.get(), s.o, s.cols.back(), table);
    }
    return s;
}

Ref rebuilt_id_label(const Model& m, PyObject* frame, PyObject* given, PyObject* real) {
    if (given != Py_None) return Ref::borrow(given);
    Ref present = getattr(frame, N::columns);
    bool compatible = contains(present.get(), name(N::UNIQUE_ID)) &&
                      !require_ok(PyObject_RichCompareBool(m.cfg.id.get(), name(N::UNIQUE_ID), Py_EQ));
    if (compatible && real != nullptr) {
        Ref in_real = getattr(real, N::columns);
        compatible = !contains(in_real.get(), name(N::UNIQUE_ID));
    }
    return Ref::borrow(compatible ? name(N::UNIQUE_ID) : m.cfg.id.get());
}

std::vector<size_t> pick_entities(const Sorted& s, size_t most, uint64_t seed, uint64_t stream) {
    std::vector<size_t> all(s.o.entities());
    for (size_t e = 0; e < all.size(); ++e) all[e] = e;
    if (all.size() <= most) return all;
    // A partial Fisher-Yates shuffle: the first `most` are a uniform draw.
    Rng rng(seed, stream);
    for (size_t i = 0; i < most; ++i) std::swap(all[i], all[i + static_cast<size_t>(rng.below(all.size() - i))]);
    all.resize(most);
    std::sort(all.begin(), all.end());
    return all;
}

Ref entity_features(const Libs& L, const Sorted& s, const std::vector<size_t>& picked) {
    Features f{picked, {}};
    std::vector<double>& rows = f.add(text("rows"));
    for (size_t k = 0; k < picked.size(); ++k) rows[k] = static_cast<double>(s.rows(picked[k]));
    for (const Sorted::Col& col : s.cols) {
        if (col.c->kind == Kind::category)
            category_features(f, s, col);
        else
            number_features(f, s, col);
    }
    Ref data = require(PyDict_New()), labels = require(PyList_New(0));
    for (auto& c : f.cols) {
        Ref arr;
        std::copy(c.second.begin(), c.second.end(), new_array<double>(L, c.second.size(), "float64", arr));
        require_ok(PyDict_SetItem(data.get(), c.first.get(), arr.get()));
        require_ok(PyList_Append(labels.get(), c.first.get()));
    }
    Ref frame_type = getattr(L.pd.get(), N::DataFrame);
    return call(frame_type.get(), {data}, {kw(N::columns, labels), kw(N::index, first_ids(L, s, picked))});
}

std::vector<uint64_t> fingerprints(const Sorted& s) {
    std::vector<uint64_t> out(s.o.entities());
    std::vector<std::vector<uint64_t>> hashes;  // per category column, per code
    for (const Sorted::Col& col : s.cols) {
        hashes.emplace_back();
        if (col.c->kind != Kind::category) continue;
        Buffer values(col.uniques.get(), PyBUF_RECORDS_RO);
        for (Py_ssize_t u = 0; u < values.size(); ++u) {
            const Py_hash_t h = PyObject_Hash(values.at<PyObject*>(u));
            if (h == -1 && PyErr_Occurred()) throw_python_error();
            hashes.back().push_back(static_cast<uint64_t>(h));
        }
    }
    for (size_t e = 0; e < out.size(); ++e) {
        uint64_t h = fold(0, s.rows(e));
        for (int64_t r = s.o.starts[e]; r < s.o.starts[e + 1]; ++r)
            for (size_t i = 0; i < s.cols.size(); ++i) {
                const Sorted::Col& col = s.cols[i];
                uint64_t v;
                if (col.c->kind == Kind::category) {
                    const int32_t code = col.codes[static_cast<size_t>(r)];
                    v = code < 0 ? 0x5bd1e995ull : hashes[i][static_cast<size_t>(code)];
                } else {
                    double x = col.x[static_cast<size_t>(r)];
                    if (x == 0) x = 0;  // -0.0 equals 0.0
                    if (std::isnan(x)) x = nan;
                    std::memcpy(&v, &x, sizeof v);
                }
                h = fold(h, v);
            }
        out[e] = h;
    }
    return out;
}

std::pair<double, double> step_correlations(const Sorted& s, const Sorted::Col& col) {
    Pearson lag, level;
    for (size_t e = 0; e < s.o.entities(); ++e) {
        double last = nan, last_step = nan;
        for (int64_t r = s.o.starts[e]; r < s.o.starts[e + 1]; ++r) {
            const double v = col.x[static_cast<size_t>(r)];
            if (std::isnan(v)) continue;
            if (!std::isnan(last)) {
                const double d = v - last;
                level.add(last, d);
                if (!std::isnan(last_step)) lag.add(last_step, d);
                last_step = d;
            }
            last = v;
        }
    }
    return {lag.value(), level.value()};
}

std::vector<std::pair<double, double>> means_by_code(const Sorted::Col& category, const Sorted::Col& number) {
    std::vector<std::pair<double, double>> out(static_cast<size_t>(length(category.uniques.get())));
    for (size_t r = 0; r < category.codes.size(); ++r) {
        const int32_t code = category.codes[r];
        const double v = number.x[r];
        if (code < 0 || std::isnan(v)) continue;
        out[static_cast<size_t>(code)].first += 1;
        out[static_cast<size_t>(code)].second += v;
    }
    return out;
}

}  // namespace seq
}  // namespace vt
