// Saving and loading: the file format lives in the package's Python glue
// (containers and JSON are I/O), so both classes share one implementation.
#include "timeseries/method_table.hpp"

namespace vt {
namespace body {

namespace {

Ref format_function(const char* function) { return module_function("veltrano.transformer._saved", function); }

}  // namespace

Ref save(const args::save& a) {
    Ref f = format_function("save_timeseries");
    call(f.get(), {a.self, a.path});
    return Ref::borrow(Py_None);
}

Ref load(const args::load& a) {
    Ref f = format_function("load_timeseries");
    return call(f.get(), {a.cls, a.path});
}

}  // namespace body
}  // namespace vt
