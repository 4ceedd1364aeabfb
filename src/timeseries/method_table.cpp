// The method entries, generated from methods.def, and the class documentation.
#include "timeseries/method_table.hpp"

#include <iterator>

namespace vt {

const char* const class_doc =
    "\n"
    "    Performs difference transformations on timeseries data, i.e. data in which\n"
    "    the information for one entity is spread across several rows, and\n"
    "    post-processes synthetic data that a generator produced in the same layout\n"
    "    as the pre-processed raw data.\n"
    "\n"
    "    By default a column is added that tags each row with a \"category\". The\n"
    "    grouping used is the number of rows the entity owns in the data, counted\n"
    "    per unique id given to this class. For example, a hospital visit whose\n"
    "    admission, tests and treatments are separate rows of one visit belongs to\n"
    "    the category of its number of rows. The frame with the added group column\n"
    "    is stored as self.df_augmented.\n"
    "\n"
    "    The difference method is first order: the difference of the selected\n"
    "    columns between a row and the next row of the same unique id, after\n"
    "    sorting by time. For categorical columns a change is read as a transition:\n"
    "    a new category standing for \"from the first to the second category\"\n"
    "    (CATEGORY1->CATEGORY2) is stored in the transformed data, so that the\n"
    "    generator of synthetic data can learn the transitions.\n"
    "    ";

namespace {

namespace defaults {
constexpr Default required{};
constexpr Default none{Default::none, 0, nullptr};
constexpr Default integer(long long value) { return Default{Default::integer, value, nullptr}; }
constexpr Default text(const char* value) { return Default{Default::text, 0, value}; }
}  // namespace defaults

template <class A, Ref (*Body)(const A&)>
Ref run(PyObject* const* bound, PyObject* globals) {
    return Body(A(bound, globals));
}

// Each method's parameters, self or cls first.
#define VT_SELF_instance {"self", nullptr, defaults::required},
#define VT_SELF_classmethod {"cls", nullptr, defaults::required},
#define VT_METHOD(id, name, kind, returns, doc) constexpr ParamEntry params_##id[] = {VT_SELF_##kind
#define VT_PARAM(parameter, annotation, default_) {#parameter, annotation, defaults::default_},
#define VT_END };
#include "timeseries/methods.def"
#undef VT_METHOD
#undef VT_PARAM
#undef VT_END
#undef VT_SELF_instance
#undef VT_SELF_classmethod

}  // namespace

const MethodEntry method_table[] = {
#define VT_METHOD(id, name, kind, returns, doc) \
    {Method::id, name, Kind::kind, params_##id, std::size(params_##id), returns, doc, run<args::id, body::id>},
#define VT_PARAM(parameter, annotation, default_)
#define VT_END
#include "timeseries/methods.def"
#undef VT_METHOD
#undef VT_PARAM
#undef VT_END
};

#define VT_METHOD(id, name, kind, returns, doc) \
    static_assert(std::size(params_##id) <= max_params, "raise max_params for " name);
#define VT_PARAM(parameter, annotation, default_)
#define VT_END
#include "timeseries/methods.def"
#undef VT_METHOD
#undef VT_PARAM
#undef VT_END

const size_t method_count = std::size(method_table);

}  // namespace vt
