// The module `sequences` and its one class, SequenceTransformer: options,
// fitted facts, the public passes and the private per-partition entry points.
#include "sequences/facts.hpp"
#include "sequences/features.hpp"
#include "sequences/rebuild.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <memory>
#include <unordered_set>

namespace vt {
namespace seq {

namespace {

struct Transformer {
    PyObject_HEAD
    PyObject* id;
    PyObject* time;
    PyObject* statics;
    PyObject* columns;
    PyObject* unit;
    PyObject* random_state;
    PyObject* facts;  // None until fitted
    int clip;
    // The model derived from facts, built once per fit or unpickling. Calls
    // copy the shared pointer before they may let other threads run, so a fit
    // on another thread never frees a model in use.
    std::shared_ptr<const Model>* model;
};

Transformer* self_of(PyObject* o) { return reinterpret_cast<Transformer*>(o); }

// Every object field, for creation, traversal and clearing alike.
std::array<PyObject**, 7> fields_of(Transformer* t) {
    return {&t->id, &t->time, &t->statics, &t->columns, &t->unit, &t->random_state, &t->facts};
}

Config config_of(Transformer* t) {
    return parse_config(t->id, t->time, t->statics, t->columns, t->unit, t->clip, t->random_state);
}

std::shared_ptr<const Model> cached_model(Transformer* t) {
    if (t->model == nullptr || !*t->model)
        raise(PyExc_RuntimeError, {"this SequenceTransformer is not fitted yet: call fit or fit_transform first"});
    return *t->model;
}

// Keeps facts and the model derived from them (None: unfitted), checking the
// facts by deriving it first.
void keep_facts(const Libs& L, Transformer* t, const Config& cfg, PyObject* facts) {
    std::shared_ptr<const Model> model;
    if (facts != Py_None) model = std::make_shared<const Model>(build_model(L, cfg, facts));
    if (t->model == nullptr) t->model = new std::shared_ptr<const Model>();
    t->model->swap(model);
    Py_INCREF(facts);
    Py_XSETREF(t->facts, facts);
}

void drop_model(Transformer* t) {
    delete t->model;
    t->model = nullptr;
}

// The model of a fitted transformer, held for as long as the caller keeps it.
std::shared_ptr<const Model> fitted_model(PyObject* self) { return cached_model(self_of(self)); }

void set_field(PyObject*& field, PyObject* value) {
    Py_INCREF(value);
    Py_XSETREF(field, value);
}

// ----- construction, state and repr ----------------------------------------------------

int init(PyObject* self, PyObject* args, PyObject* kwargs) {
    try {
        static const char* keywords[] = {"id_column", "time_column", "static_columns", "columns",
                                         "time_unit", "clip", "random_state", nullptr};
        PyObject *id, *time, *statics = Py_None, *columns = Py_None, *unit = Py_None;
        Ref zero = integer(0);
        PyObject* random_state = zero.get();
        int clip = 1;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OOOpO:SequenceTransformer", const_cast<char**>(keywords), &id,
                                         &time, &statics, &columns, &unit, &clip, &random_state))
            return -1;
        Config cfg = parse_config(id, time, statics, columns, unit, clip, random_state);
        Transformer* t = self_of(self);
        set_field(t->id, id);
        set_field(t->time, time);
        set_field(t->statics, cfg.statics.get());
        set_field(t->columns, cfg.columns.get());
        set_field(t->unit, unit);
        set_field(t->random_state, random_state);
        drop_model(t);
        set_field(t->facts, Py_None);
        t->clip = clip;
        return 0;
    }
    VT_BOUNDARY(-1)
}

PyObject* create(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    Transformer* t = self_of(self);
    for (PyObject** f : fields_of(t)) {
        Py_INCREF(Py_None);
        *f = Py_None;
    }
    t->clip = 1;
    return self;
}

int traverse(PyObject* self, visitproc visit, void* arg) {
    for (PyObject** f : fields_of(self_of(self))) Py_VISIT(*f);
    // An instance of a heap type owns a reference to it (tp_alloc takes it).
    Py_VISIT(Py_TYPE(self));
    return 0;
}

// Breaks cycles, leaving None rather than NULL: the getters, repr and
// pickling may still run on a cleared transformer, which then reads as unfitted.
int clear(PyObject* self) {
    for (PyObject** f : fields_of(self_of(self))) {
        Py_INCREF(Py_None);
        Py_XSETREF(*f, Py_None);
    }
    drop_model(self_of(self));
    return 0;
}

void dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    for (PyObject** f : fields_of(self_of(self))) Py_CLEAR(*f);
    drop_model(self_of(self));
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* reduce(PyObject* self, PyObject*) {
    try {
        Transformer* t = self_of(self);
        Ref clip = Ref::borrow(t->clip ? Py_True : Py_False);
        Ref state = new_dict({{name(N::static_columns), t->statics}, {name(N::columns), t->columns}, {name(N::time_unit), t->unit},
                              {name(N::clip), clip}, {name(N::random_state), t->random_state}, {name(N::facts), t->facts}});
        Ref args = new_tuple({t->id, t->time});
        return new_tuple({reinterpret_cast<PyObject*>(Py_TYPE(self)), args, state}).release();
    }
    VT_BOUNDARY(nullptr)
}

PyObject* setstate(PyObject* self, PyObject* state) {
    try {
        Transformer* t = self_of(self);
        FactsView s(state);
        Ref statics = s.item(N::static_columns), columns = s.item(N::columns), unit = s.item(N::time_unit);
        Ref clip = s.item(N::clip), random_state = s.item(N::random_state), facts = s.item(N::facts);
        Config cfg =
            parse_config(t->id, t->time, statics.get(), columns.get(), unit.get(), truthy(clip.get()), random_state.get());
        // The model first: facts that derive none leave the transformer as it was.
        Libs L;
        keep_facts(L, t, cfg, facts.get());
        set_field(t->statics, statics.get());
        set_field(t->columns, columns.get());
        set_field(t->unit, unit.get());
        set_field(t->random_state, random_state.get());
        t->clip = truthy(clip.get());
        Py_RETURN_NONE;
    }
    VT_BOUNDARY(nullptr)
}

// The options as given to the constructor (scikit-learn's name for them).
PyObject* get_params(PyObject* self, PyObject*) {
    try {
        Transformer* t = self_of(self);
        Ref clip = Ref::borrow(t->clip ? Py_True : Py_False);
        return new_dict({{text("id_column"), t->id}, {text("time_column"), t->time}, {name(N::static_columns), t->statics},
                         {name(N::columns), t->columns}, {name(N::time_unit), t->unit}, {name(N::clip), clip},
                         {name(N::random_state), t->random_state}})
            .release();
    }
    VT_BOUNDARY(nullptr)
}

PyObject* require_fitted(PyObject* self, PyObject*) {
    try {
        cached_model(self_of(self));
        Py_RETURN_NONE;
    }
    VT_BOUNDARY(nullptr)
}

PyObject* repr(PyObject* self) {
    try {
        Transformer* t = self_of(self);
        Ref type_name = getattr(reinterpret_cast<PyObject*>(Py_TYPE(self)), N::dunder_name);
        Ref id = require(PyObject_Repr(t->id)), time = require(PyObject_Repr(t->time));
        Ref unit = require(PyObject_Repr(t->unit)), seed = require(PyObject_Repr(t->random_state));
        Ref head = build_message({type_name, "(id_column=", id, ", time_column=", time, ", time_unit=", unit,
                                  ", clip=", t->clip ? "True" : "False", ", random_state=", seed, ")"});
        if (t->model == nullptr || !*t->model) return build_message({head, " (not fitted)"}).release();
        const std::shared_ptr<const Model> model = *t->model;
        const Model& m = *model;
        Ref statics = require(PyList_New(0));
        for (const ColumnModel& c : m.cols)
            if (c.is_static) require_ok(PyList_Append(statics.get(), c.name.get()));
        Ref shown_statics = require(PyObject_Repr(statics.get())), shown_unit = require(PyObject_Repr(m.unit.get()));
        return build_message({head, " fitted on ", integer(m.rows), " rows of ", integer(m.entities),
                              " entities; statics ", shown_statics, ", time unit ", shown_unit})
            .release();
    }
    VT_BOUNDARY(nullptr)
}

// ----- the Dask route ------------------------------------------------------------------------

// A Dask collection is known by its type's module, so dask is never imported
// here: the Python glue runs the per-partition entry points on the workers.
bool is_dask(PyObject* obj) {
    Ref module = getattr(reinterpret_cast<PyObject*>(Py_TYPE(obj)), N::dunder_module);
    if (!PyUnicode_Check(module.get())) return false;
    Ref prefix = text("dask.");
    return PyUnicode_CompareWithASCIIString(module.get(), "dask") == 0 ||
           PyUnicode_Tailmatch(module.get(), prefix.get(), 0, PY_SSIZE_T_MAX, -1) == 1;
}

Ref glue_call(const char* module, const char* function, Args args) {
    Ref glue = require(PyImport_ImportModule(module));
    Ref f = require(PyObject_GetAttrString(glue.get(), function));
    return call(f.get(), args);
}

Ref dask_route(const char* function, Args args) { return glue_call("veltrano.transformer._dask", function, args); }

// ----- the passes --------------------------------------------------------------------------

Ref facts_of_frame(const Libs& L, const Config& cfg, PyObject* frame, Order* kept = nullptr) {
    Ref labels;
    std::vector<Kind> kinds;
    chosen_columns(L, cfg, frame, labels, kinds);
    return partition_facts(L, frame, cfg.id.get(), cfg.time.get(), labels.get(), kinds, nullptr, kept);
}

// One frame in: the Dask route for a Dask frame, else `step` on this
// transformer's libraries, state and options.
template <class Step>
PyObject* on_frame(PyObject* self, PyObject* frame, const char* method, Step step) {
    try {
        if (is_dask(frame)) return dask_route(method, {self, frame}).release();
        Libs L;
        Transformer* t = self_of(self);
        Config cfg = config_of(t);
        return step(L, t, cfg).release();
    }
    VT_BOUNDARY(nullptr)
}

PyObject* fit(PyObject* self, PyObject* frame) {
    return on_frame(self, frame, "fit", [&](const Libs& L, Transformer* t, const Config& cfg) {
        keep_facts(L, t, cfg, facts_of_frame(L, cfg, frame).get());
        return Ref::borrow(self);
    });
}

PyObject* transform(PyObject* self, PyObject* frame) {
    return on_frame(self, frame, "transform", [&](const Libs& L, Transformer* t, const Config&) {
        return make_tables(L, *cached_model(t), frame);
    });
}

PyObject* fit_transform(PyObject* self, PyObject* frame) {
    return on_frame(self, frame, "fit_transform", [&](const Libs& L, Transformer* t, const Config& cfg) {
        // The entities are ordered once, for both passes.
        Order o;
        keep_facts(L, t, cfg, facts_of_frame(L, cfg, frame, &o).get());
        return make_tables(L, *cached_model(t), frame, &o);
    });
}

PyObject* reverse_transform(PyObject* self, PyObject* args, PyObject* kwargs) {
    try {
        static const char* keywords[] = {"entities", "steps", "counts", "replay", nullptr};
        PyObject *entities, *steps, *counts = Py_None;
        int replay = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O$p:reverse_transform", const_cast<char**>(keywords), &entities,
                                         &steps, &counts, &replay))
            return nullptr;
        if (is_dask(entities) || is_dask(steps))
            return dask_route("reverse_transform", {self, entities, steps, counts, replay ? Py_True : Py_False}).release();
        Libs L;
        const std::shared_ptr<const Model> model = fitted_model(self);
        const Model& m = *model;
        std::vector<int64_t> rows, lengths;
        plan(L, m, entities, counts, rows, lengths);
        return rebuild(L, m, entities, steps, rows, lengths, replay != 0).release();
    }
    VT_BOUNDARY(nullptr)
}

PyObject* fidelity_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    try {
        static const char* keywords[] = {"real", "rebuilt", "rebuilt_id_column", nullptr};
        PyObject *real, *rebuilt, *rebuilt_id = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$O:fidelity", const_cast<char**>(keywords), &real, &rebuilt,
                                         &rebuilt_id))
            return nullptr;
        Libs L;
        return fidelity(L, *fitted_model(self), real, rebuilt, rebuilt_id).release();
    }
    VT_BOUNDARY(nullptr)
}

// ----- reports -------------------------------------------------------------------------------

// The Python half of the reports (scikit-learn and numpy on the features).
Ref report_function(const char* function) { return module_function("veltrano.transformer._reports", function); }

PyObject* entity_features_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    try {
        static const char* keywords[] = {"frame", "id_column", nullptr};
        PyObject *frame, *id = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:_entity_features", const_cast<char**>(keywords), &frame, &id))
            return nullptr;
        Libs L;
        const std::shared_ptr<const Model> model = fitted_model(self);
        const Model& m = *model;
        Sorted s = read_sorted(L, m, frame, rebuilt_id_label(m, frame, id).get(), "input");
        return entity_features(L, s, pick_entities(s, s.o.entities(), 0, 0)).release();
    }
    VT_BOUNDARY(nullptr)
}

// The reports' subsampling options: the seed as a stream key, and the cap.
struct Sampling {
    uint64_t seed = 0;
    size_t cap = 5000;
    Sampling(PyObject* random_state, Py_ssize_t max_entities) {
        Ref index = Ref::steal(PyNumber_Index(random_state));
        if (!index || PyBool_Check(random_state))
            raise(PyExc_TypeError, {"random_state must be a whole number, not ", random_state});
        seed = PyLong_AsUnsignedLongLongMask(index.get());
        if (PyErr_Occurred()) throw_python_error();
        if (max_entities < 2) raise(PyExc_ValueError, {"max_entities must be a whole number of at least 2, not ", integer(max_entities)});
        cap = static_cast<size_t>(max_entities);
    }
    // The cap as the tables show it: where some side was cut by it, else None.
    Ref shown(std::initializer_list<size_t> entities) const {
        return std::max(entities) > cap ? integer(static_cast<long long>(cap)) : Ref::borrow(Py_None);
    }
};

PyObject* detection_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    try {
        static const char* keywords[] = {"real", "rebuilt", "rebuilt_id_column", "random_state", "max_entities", "repeats", nullptr};
        Ref zero = integer(0);
        PyObject *real, *rebuilt, *rebuilt_id = Py_None, *seed = zero.get(), *repeats = Py_None;
        Py_ssize_t cap = 5000;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OOnO:detection", const_cast<char**>(keywords), &real, &rebuilt,
                                         &rebuilt_id, &seed, &cap, &repeats))
            return nullptr;
        Ref detect = report_function("detection");  // first, so a missing extra is named before any work
        const Sampling sampling(seed, cap);
        Libs L;
        const std::shared_ptr<const Model> model = fitted_model(self);
        const Model& m = *model;
        Sorted a = read_sorted(L, m, real, m.cfg.id.get(), "real");
        Sorted b = read_sorted(L, m, rebuilt, rebuilt_id_label(m, rebuilt, rebuilt_id, real).get(), "rebuilt");
        // Balanced sides: the larger one is subsampled to the smaller one.
        const size_t n = std::min({a.o.entities(), b.o.entities(), sampling.cap});
        Ref fa = entity_features(L, a, pick_entities(a, n, sampling.seed, 0));
        Ref fb = entity_features(L, b, pick_entities(b, n, sampling.seed, 1));
        return call(detect.get(), {fa, fb, seed, repeats, sampling.shown({a.o.entities(), b.o.entities()})}).release();
    }
    VT_BOUNDARY(nullptr)
}

// Rebuilt entities of more than one row whose whole sequence has the
// fingerprint of a training entity's.
int64_t exact_copies(const Sorted& train, const Sorted& rebuilt) {
    std::unordered_set<uint64_t> seen;
    const std::vector<uint64_t> t = fingerprints(train), r = fingerprints(rebuilt);
    for (size_t e = 0; e < t.size(); ++e)
        if (train.rows(e) > 1) seen.insert(t[e]);
    int64_t n = 0;
    for (size_t e = 0; e < r.size(); ++e) n += rebuilt.rows(e) > 1 && seen.count(r[e]) > 0;
    return n;
}

PyObject* privacy_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    try {
        static const char* keywords[] = {"train", "holdout", "rebuilt", "rebuilt_id_column", "random_state", "max_entities", nullptr};
        Ref zero = integer(0);
        PyObject *train, *holdout, *rebuilt, *rebuilt_id = Py_None, *seed = zero.get();
        Py_ssize_t cap = 5000;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|$OOn:privacy", const_cast<char**>(keywords), &train, &holdout,
                                         &rebuilt, &rebuilt_id, &seed, &cap))
            return nullptr;
        Ref measure = report_function("privacy");
        const Sampling sampling(seed, cap);
        Libs L;
        const std::shared_ptr<const Model> model = fitted_model(self);
        const Model& m = *model;
        Sorted st = read_sorted(L, m, train, m.cfg.id.get(), "train");
        Sorted sh = read_sorted(L, m, holdout, m.cfg.id.get(), "holdout");
        Sorted sr = read_sorted(L, m, rebuilt, rebuilt_id_label(m, rebuilt, rebuilt_id, train).get(), "rebuilt");
        Ref copies = integer(exact_copies(st, sr));
        // Train and holdout the same size, so that a share of 0.5 means no memorisation.
        const size_t n = std::min({st.o.entities(), sh.o.entities(), sampling.cap});
        Ref ft = entity_features(L, st, pick_entities(st, n, sampling.seed, 0));
        Ref fh = entity_features(L, sh, pick_entities(sh, n, sampling.seed, 1));
        Ref fr = entity_features(L, sr, pick_entities(sr, sampling.cap, sampling.seed, 2));
        return call(measure.get(), {ft, fh, fr, copies, sampling.shown({st.o.entities(), sh.o.entities(), sr.o.entities()})})
            .release();
    }
    VT_BOUNDARY(nullptr)
}

// ----- private per-partition entry points ---------------------------------------------------

PyObject* partition_facts_method(PyObject* self, PyObject* frame) {
    try {
        Libs L;
        Config cfg = config_of(self_of(self));
        return facts_of_frame(L, cfg, frame).release();
    }
    VT_BOUNDARY(nullptr)
}

PyObject* combine_facts_method(PyObject*, PyObject* facts_list) {
    try {
        return combine_facts(facts_list).release();
    }
    VT_BOUNDARY(nullptr)
}

PyObject* fit_facts(PyObject* self, PyObject* facts) {
    try {
        Libs L;
        Transformer* t = self_of(self);
        Config cfg = config_of(t);
        keep_facts(L, t, cfg, facts);
        Py_INCREF(self);
        return self;
    }
    VT_BOUNDARY(nullptr)
}

// The file format is I/O glue in Python, shared with the other class.
PyObject* save_method(PyObject* self, PyObject* path) {
    try {
        glue_call("veltrano.transformer._saved", "save_sequence", {self, path});
        Py_RETURN_NONE;
    }
    VT_BOUNDARY(nullptr)
}

PyObject* load_method(PyObject* cls, PyObject* path) {
    try {
        return glue_call("veltrano.transformer._saved", "load_sequence", {cls, path}).release();
    }
    VT_BOUNDARY(nullptr)
}

std::vector<int64_t> whole_numbers(PyObject* items, const char* what, int64_t lowest) {
    std::vector<int64_t> out;
    for (Ref& item : iterate(items)) {
        Ref index = require(PyNumber_Index(item.get()));
        const long long v = PyLong_AsLongLong(index.get());
        if (v == -1 && PyErr_Occurred()) throw_python_error();
        if (v < lowest) raise(PyExc_ValueError, {what, " must be at least ", integer(lowest)});
        out.push_back(v);
    }
    return out;
}

// The plan's runs for a histogram of entity rows by row count: what the
// Dask route deals from its partitions' histograms.
PyObject* deal_method(PyObject*, PyObject* args) {
    try {
        PyObject *histogram, *counts;
        if (!PyArg_ParseTuple(args, "OO:_deal", &histogram, &counts)) return nullptr;
        const std::vector<Run> runs = deal(whole_numbers(histogram, "histogram counts", 0), requests_of(counts));
        Ref out = require(PyList_New(0));
        for (const Run& r : runs) {
            Ref run = new_tuple({integer(r.count), integer(r.first), integer(r.entities), integer(r.rows)});
            require_ok(PyList_Append(out.get(), run.get()));
        }
        return out.release();
    }
    VT_BOUNDARY(nullptr)
}

// {rebuilt length: the nearest row count with steps} for lengths of at least 2.
PyObject* nearest_pools_method(PyObject*, PyObject* args) {
    try {
        PyObject *lengths, *present;
        if (!PyArg_ParseTuple(args, "OO:_nearest_pools", &lengths, &present)) return nullptr;
        std::vector<bool> has;
        for (int64_t c : whole_numbers(present, "row counts", 0)) {
            if (static_cast<size_t>(c) >= has.size()) has.resize(static_cast<size_t>(c) + 1, false);
            has[static_cast<size_t>(c)] = true;
        }
        Ref out = require(PyDict_New());
        for (int64_t k : whole_numbers(lengths, "row counts", 1)) {
            if (k < 2) continue;
            const int64_t pool = nearest_pool(has, k);
            if (pool == 0) raise(PyExc_ValueError, {"no steps to rebuild entities of ", integer(k), " rows: the steps frame is empty"});
            require_ok(PyDict_SetItem(out.get(), integer(k).get(), integer(pool).get()));
        }
        return out.release();
    }
    VT_BOUNDARY(nullptr)
}

PyObject* rebuild_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    try {
        static const char* keywords[] = {"entities", "steps", "lengths", "replay", "ids", nullptr};
        PyObject *entities, *steps, *lengths_obj, *ids_obj = Py_None;
        int replay = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|$pO:_rebuild", const_cast<char**>(keywords), &entities, &steps,
                                         &lengths_obj, &replay, &ids_obj))
            return nullptr;
        Libs L;
        const std::shared_ptr<const Model> model = fitted_model(self);
        const Model& m = *model;
        const std::vector<int64_t> lengths = whole_numbers(lengths_obj, "row counts", 1);
        std::vector<int64_t> rows(lengths.size());
        for (size_t i = 0; i < rows.size(); ++i) rows[i] = static_cast<int64_t>(i);
        if (static_cast<Py_ssize_t>(rows.size()) != length(entities))
            raise(PyExc_ValueError, {"one row count per entity row is needed"});
        if (ids_obj == Py_None) return rebuild(L, m, entities, steps, rows, lengths, replay != 0).release();
        Ref asarray = getattr(L.np.get(), N::asarray);
        Ref ids_arr = call(asarray.get(), {ids_obj}, {kw(N::dtype, name(N::int64))});
        Buffer b(ids_arr.get(), PyBUF_RECORDS_RO);
        if (b.size() != static_cast<Py_ssize_t>(rows.size())) raise(PyExc_ValueError, {"one id per entity row is needed"});
        std::vector<int64_t> ids(rows.size());
        for (size_t i = 0; i < ids.size(); ++i) ids[i] = b.at<int64_t>(static_cast<Py_ssize_t>(i));
        return rebuild(L, m, entities, steps, rows, lengths, replay != 0, ids.data()).release();
    }
    VT_BOUNDARY(nullptr)
}

PyObject* row_counts_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    try {
        static const char* keywords[] = {"frame", "steps", nullptr};
        PyObject* frame;
        int steps = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|p:_row_counts", const_cast<char**>(keywords), &frame, &steps))
            return nullptr;
        Libs L;
        const std::shared_ptr<const Model> model = fitted_model(self);
        const Model& m = *model;
        return int_array(L, row_counts(L, m, frame, steps ? "steps" : "entities", steps ? 2 : 1)).release();
    }
    VT_BOUNDARY(nullptr)
}

// ----- attributes ----------------------------------------------------------------------------

PyObject* get_field(PyObject* self, void* offset) {
    PyObject* v = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + reinterpret_cast<std::ptrdiff_t>(offset));
    Py_INCREF(v);
    return v;
}

PyObject* get_clip(PyObject* self, void*) { return PyBool_FromLong(self_of(self)->clip); }

// Attributes only a fitted transformer has.
PyObject* get_fitted(PyObject* self, void* which) {
    try {
        Libs L;
        const std::shared_ptr<const Model> model = fitted_model(self);
        const Model& m = *model;
        const int w = static_cast<int>(reinterpret_cast<std::ptrdiff_t>(which));
        if (w == 0) return Ref::borrow(m.count_name.get()).release();
        if (w == 1) return Ref::borrow(m.position_name.get()).release();
        if (w == 2) return Ref::borrow(m.unit.get()).release();
        Ref out = w == 3 ? require(PyList_New(0)) : require(PyDict_New());
        for (const ColumnModel& c : m.cols) {
            if (w == 3 && c.is_static) require_ok(PyList_Append(out.get(), c.name.get()));
            if (w == 4 && !c.is_static) {
                Ref names = c.kind == Kind::category ? new_tuple({c.step_name, c.to_name}) : Ref::borrow(c.step_name.get());
                require_ok(PyDict_SetItem(out.get(), c.name.get(), names.get()));
            }
            if (w == 5 && c.kind == Kind::datetime) {
                Ref ts = getattr(L.pd.get(), N::Timestamp);
                Ref origin = call(ts.get(), {integer(c.origin)}, {kw(N::tz, name(N::UTC))});
                require_ok(PyDict_SetItem(out.get(), c.name.get(), origin.get()));
            }
        }
        return out.release();
    }
    VT_BOUNDARY(nullptr)
}

#define VT_FIELD(member) reinterpret_cast<void*>(offsetof(Transformer, member))
#define VT_WHICH(n) reinterpret_cast<void*>(static_cast<std::ptrdiff_t>(n))

PyGetSetDef getset[] = {
    {"id_column", get_field, nullptr, "The entity id column.", VT_FIELD(id)},
    {"time_column", get_field, nullptr, "The column that orders each entity's rows.", VT_FIELD(time)},
    {"columns", get_field, nullptr, "The pipelined columns as given (None: all but the id).", VT_FIELD(columns)},
    {"clip", get_clip, nullptr, "Whether rebuilt values stay within the real ranges.", nullptr},
    {"random_state", get_field, nullptr, "The seed of the step draws.", VT_FIELD(random_state)},
    {"count_column", get_fitted, nullptr, "The row-count column of both tables.", VT_WHICH(0)},
    {"position_column", get_fitted, nullptr, "The step table's position column (0 for each entity's first step).", VT_WHICH(1)},
    {"time_unit", get_fitted, nullptr, "The unit of time-like columns in the tables (None: no such column).", VT_WHICH(2)},
    {"static_columns", get_fitted, nullptr, "The columns constant within every entity.", VT_WHICH(3)},
    {"step_columns", get_fitted, nullptr, "Each sequence column's step-table column (a pair for categories).", VT_WHICH(4)},
    {"time_origins", get_fitted, nullptr, "Each datetime column's origin (UTC): table values count time units from it.",
     VT_WHICH(5)},
    {"_facts", get_field, nullptr, "The combined facts the model derives from (None until fitted).", VT_FIELD(facts)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#define VT_METHOD(name, fn, flags, doc) {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), flags, doc}

PyMethodDef methods[] = {
    VT_METHOD("fit", fit, METH_O, "fit(frame) -> self\n\nLearns statics, ranges, the time unit and the row counts."),
    VT_METHOD("transform", transform, METH_O, "transform(frame) -> (entities, steps)\n\nThe two tables of a frame."),
    VT_METHOD("fit_transform", fit_transform, METH_O,
              "fit_transform(frame) -> (entities, steps)\n\nfit, then the entity table (one row per entity) and the step "
              "table (one row per step from row i to row i + 1)."),
    VT_METHOD("reverse_transform", reverse_transform, METH_VARARGS | METH_KEYWORDS,
              "reverse_transform(entities, steps, counts=None, *, replay=False) -> DataFrame\n\nRebuilds one entity per "
              "entity row, or exactly counts={row count: entities}. With replay, each entity takes the next steps in "
              "order instead of drawing them."),
    VT_METHOD("fidelity", fidelity_method, METH_VARARGS | METH_KEYWORDS,
              "fidelity(real, rebuilt, *, rebuilt_id_column=None) -> DataFrame\n\nMeasures of real against rebuilt "
              "entities, one row per measure and column. The rebuilt entities are told apart by rebuilt_id_column; by "
              "default by UNIQUE_ID where rebuilt has it and real does not (the compatible class's ids), else by the "
              "id column."),
    VT_METHOD("detection", detection_method, METH_VARARGS | METH_KEYWORDS,
              "detection(real, rebuilt, *, rebuilt_id_column=None, random_state=0, max_entities=5000, repeats=None) -> "
              "DataFrame\n\nA classifier two-sample test on entity features: the ROC AUC of a gradient-boosting and a "
              "linear model over repeated stratified cross-validation (0.5: real and rebuilt entities cannot be told "
              "apart), the entity counts used (each side subsampled to the smaller one, at most max_entities) and the "
              "features that give rebuilt entities away most. Needs scikit-learn (the report extra)."),
    VT_METHOD("privacy", privacy_method, METH_VARARGS | METH_KEYWORDS,
              "privacy(train, holdout, rebuilt, *, rebuilt_id_column=None, random_state=0, max_entities=5000) -> "
              "DataFrame\n\nFor a transformer fitted on train only: the share of rebuilt entities nearer a train "
              "entity than a holdout one (0.5: no memorisation), the median distances to each, and the rebuilt "
              "multi-row entities that copy a train entity exactly."),
    VT_METHOD("_entity_features", entity_features_method, METH_VARARGS | METH_KEYWORDS,
              "_entity_features(frame, *, id_column=None) -> DataFrame: the reports' features, one row per entity."),
    VT_METHOD("get_params", get_params, METH_NOARGS,
              "get_params() -> dict\n\nThe options as given to the constructor (static_columns and columns as lists "
              "or None)."),
    VT_METHOD("_require_fitted", require_fitted, METH_NOARGS, "Raises the not-fitted error unless fitted."),
    VT_METHOD("save", save_method, METH_O,
              "save(path)\n\nSaves the options and the fitted facts (counts, ranges, category pairs; no rows) as "
              "JSON that loads without running code."),
    VT_METHOD("load", load_method, METH_O | METH_CLASS,
              "load(path) -> SequenceTransformer\n\nLoads a transformer written by save(). A file that is not "
              "one, is damaged, of a newer format or holds values of the wrong type raises "
              "veltrano.transformer.SavedFileError; nothing in the file is run."),
    VT_METHOD("_partition_facts", partition_facts_method, METH_O, "The reducible facts of one partition."),
    VT_METHOD("_combine_facts", combine_facts_method, METH_O | METH_STATIC, "Facts of several partitions as one."),
    VT_METHOD("_fit_facts", fit_facts, METH_O, "Fits on combined facts; returns self."),
    VT_METHOD("_deal", deal_method, METH_VARARGS | METH_STATIC,
              "_deal(histogram, counts) -> [(row count, first rank, entities, rebuilt rows)]: the plan's runs."),
    VT_METHOD("_nearest_pools", nearest_pools_method, METH_VARARGS | METH_STATIC,
              "_nearest_pools(lengths, present) -> {length: row count}: the nearest row count with steps."),
    VT_METHOD("_rebuild", rebuild_method, METH_VARARGS | METH_KEYWORDS,
              "_rebuild(entities, steps, lengths, *, replay=False, ids=None): rebuilds each entity row with its row "
              "count; ids 1, 2, 3, ... unless given."),
    VT_METHOD("_row_counts", row_counts_method, METH_VARARGS | METH_KEYWORDS,
              "_row_counts(frame, steps=False) -> array: a table's row counts as the rebuild reads them (rounded, "
              "clipped)."),
    VT_METHOD("__reduce__", reduce, METH_NOARGS, nullptr),
    VT_METHOD("__setstate__", setstate, METH_O, nullptr),
    {nullptr, nullptr, 0, nullptr},
};

const char* const class_doc =
    "SequenceTransformer(id_column, time_column, *, static_columns=None, columns=None, time_unit=None, clip=True, "
    "random_state=0)\n\n"
    "Turns a frame of entities (many rows each) into an entity table and a step table that any single-table "
    "generator can learn, and rebuilds entities from synthetic versions of both. Dask DataFrames (the dask extra) "
    "give dask DataFrames back, with the same rows.";

PyType_Slot transformer_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_doc, const_cast<char*>(class_doc)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_init, reinterpret_cast<void*>(init)},
    {Py_tp_new, reinterpret_cast<void*>(create)},
    {0, nullptr},
};

PyType_Spec transformer_spec = {
    "veltrano.transformer.sequences.SequenceTransformer", sizeof(Transformer), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, transformer_slots,
};

int module_exec(PyObject* module) {
    try {
        if (!claim_interpreter() || !init_names()) return -1;
        Ref type = require(PyType_FromSpec(&transformer_spec));
        require_ok(PyModule_AddObject(module, "SequenceTransformer", type.get()));
        type.release();  // the module holds it now
        return 0;
    }
    VT_BOUNDARY(-1)
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "sequences", "Entity and step tables for single-table generators, and the way back.", 0,
    nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace seq
}  // namespace vt

PyMODINIT_FUNC PyInit_sequences(void) { return PyModuleDef_Init(&vt::seq::module_def); }
