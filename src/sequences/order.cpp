// Entity boundaries and time order, natively: a counting sort on the ids'
// codes, then a stable sort of each entity's rows by time.
#include "sequences/seq.hpp"

#include <algorithm>

namespace vt {
namespace seq {

namespace {

// Missing times sort last; equal times keep their row order.
bool earlier(double a, double b) { return !std::isnan(a) && (std::isnan(b) || a < b); }
bool earlier(int64_t a, int64_t b) { return a != not_a_time && (b == not_a_time || a < b); }

template <class T>
Order order_by(const Libs& L, PyObject* ids, PyObject* id_label, const Values<T>& time) {
    Ref factorize = getattr(L.pd.get(), N::factorize);
    auto result = unpack2(call(factorize.get(), {ids}).get());
    Ref codes_arr = call_method(result.first.get(), N::astype, {name(N::int64)}, {kw(N::copy, Py_False)});
    const Py_ssize_t n_entities = length(result.second.get());
    Buffer codes(codes_arr.get(), PyBUF_RECORDS_RO);
    const size_t rows = static_cast<size_t>(codes.size());
    if (rows != time.size()) raise(PyExc_SystemError, {"id and time columns differ in length"});

    Order o;
    o.starts.assign(static_cast<size_t>(n_entities) + 1, 0);
    for (size_t i = 0; i < rows; ++i) {
        const int64_t c = codes.at<int64_t>(static_cast<Py_ssize_t>(i));
        if (c < 0) raise(PyExc_ValueError, {"the id column '", id_label, "' has missing values"});
        ++o.starts[static_cast<size_t>(c) + 1];
    }
    for (size_t e = 0; e < static_cast<size_t>(n_entities); ++e) o.starts[e + 1] += o.starts[e];
    std::vector<int64_t> next(o.starts.begin(), o.starts.end() - 1);
    o.perm.resize(rows);
    for (size_t i = 0; i < rows; ++i)
        o.perm[static_cast<size_t>(next[static_cast<size_t>(codes.at<int64_t>(static_cast<Py_ssize_t>(i)))]++)] =
            static_cast<int64_t>(i);
    for (size_t e = 0; e < static_cast<size_t>(n_entities); ++e) {
        auto first = o.perm.begin() + o.starts[e], last = o.perm.begin() + o.starts[e + 1];
        bool sorted = true;
        for (auto it = first; it + 1 < last && sorted; ++it)
            sorted = !earlier(time[static_cast<size_t>(*(it + 1))], time[static_cast<size_t>(*it)]);
        if (!sorted)
            std::stable_sort(first, last, [&](int64_t a, int64_t b) {
                return earlier(time[static_cast<size_t>(a)], time[static_cast<size_t>(b)]);
            });
    }
    return o;
}

}  // namespace

Order entity_order(const Libs& L, PyObject* ids, PyObject* id_label, const Values<double>& time) {
    return order_by(L, ids, id_label, time);
}

Order entity_order(const Libs& L, PyObject* ids, PyObject* id_label, const Values<int64_t>& time) {
    return order_by(L, ids, id_label, time);
}

}  // namespace seq
}  // namespace vt
