// The class Kivo: constructor, read-only properties, repr, len, the access
// state of an instance and the creation of the class object.
#include "kivo_type.h"

#include <cmath>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "args.h"
#include "errors.h"
#include "pyref.h"

namespace kivo::python {

namespace {

PyTypeObject* g_kivo_type = nullptr;

const char kClassDoc[] =
    "Kivo(dim, metric=\"cosine\", bit_width=4, index_type=\"brute_force\", mixed_ratio=None, "
    "n4_dims=None, ivf_nlist=256, ivf_nprobe=8, hnsw_m=32, hnsw_ef_construction=200, hnsw_ef_search=0, "
    "*, hnsw_selection=\"diverse\")\n"
    "--\n"
    "\n"
    "Kivo \xE2\x80\x94 ultra-low resource embedded vector search engine.\n"
    "\n"
    "Vectors are stored as 2-bit or 4-bit codes after a seeded randomized\n"
    "Hadamard rotation; scores are similarities (higher is better) for every\n"
    "metric.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "dim : int\n"
    "    Vector dimension.\n"
    "metric : str\n"
    "    Similarity metric: 'cosine' (default), 'dot', or 'l2'.\n"
    "bit_width : int\n"
    "    Quantization bits: 4 (default, 8x compression) or 2 (16x compression).\n"
    "index_type : str\n"
    "    Index algorithm: 'brute_force' (default), 'ivf_flat', or 'hnsw'.\n"
    "mixed_ratio : float, optional\n"
    "    Fraction of dims at 4-bit (rest at 2-bit). None = pure mode.\n"
    "n4_dims : int, optional\n"
    "    Exact number of 4-bit dimensions (padded space). Overrides mixed_ratio.\n"
    "ivf_nlist : int\n"
    "    IVF-Flat: number of clusters; ignored for other index types.\n"
    "ivf_nprobe : int\n"
    "    IVF-Flat: cells probed per query.\n"
    "hnsw_m : int\n"
    "    HNSW: maximum neighbours per node.\n"
    "hnsw_ef_construction : int\n"
    "    HNSW: candidate list size during graph construction.\n"
    "hnsw_ef_search : int\n"
    "    HNSW: candidate list size during search. 0 = default (m*2). Runtime-tunable.\n"
    "hnsw_selection : str, keyword-only\n"
    "    HNSW: how insertion chooses a node's links. 'diverse' (default) keeps a\n"
    "    candidate only when it is closer to the node than to every link already\n"
    "    kept, then fills the list with the closest of the rest, so clustered\n"
    "    data stays connected; 'closest' takes the closest candidates only.\n"
    "    Not stored in the file: Kivo.load takes it again.\n";

const char* const kNewParams[] = {"dim",       "metric",     "bit_width", "index_type",
                                  "mixed_ratio", "n4_dims",  "ivf_nlist", "ivf_nprobe",
                                  "hnsw_m",    "hnsw_ef_construction", "hnsw_ef_search",
                                  "hnsw_selection"};
const Signature kNewSignature{"Kivo.__new__()", kNewParams, 12, 1, 11};

// Full Unicode lower-casing, as str.lower() does it.
bool lower_utf8(const std::string& text, std::string& out) {
    PyRef s = PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
    if (!s) return false;
    PyRef lowered = PyRef::steal(PyObject_CallMethod(s.get(), "lower", nullptr));
    if (!lowered) return false;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(lowered.get(), &size);
    if (utf8 == nullptr) return false;
    out.assign(utf8, static_cast<std::size_t>(size));
    return true;
}

bool parse_metric(const std::string& text, vocab::Metric& out) {
    std::string lowered;
    if (!lower_utf8(text, lowered)) return false;
    if (lowered == "cosine") {
        out = vocab::Metric::Cosine;
    } else if (lowered == "dot" || lowered == "dot_product") {
        out = vocab::Metric::Dot;
    } else if (lowered == "l2" || lowered == "euclidean") {
        out = vocab::Metric::L2;
    } else {
        raise_message(PyExc_ValueError, "unknown metric '" + lowered + "': use 'cosine', 'dot', or 'l2'");
        return false;
    }
    return true;
}

bool parse_index_type(const std::string& text, vocab::IndexType& out) {
    std::string normalized;
    if (!lower_utf8(text, normalized)) return false;
    for (char& c : normalized) {
        if (c == '-') c = '_';
    }
    if (normalized == "brute_force" || normalized == "bruteforce" || normalized == "brute") {
        out = vocab::IndexType::BruteForce;
    } else if (normalized == "ivf_flat" || normalized == "ivfflat" || normalized == "ivf") {
        out = vocab::IndexType::IvfFlat;
    } else if (normalized == "hnsw") {
        out = vocab::IndexType::Hnsw;
    } else {
        raise_message(PyExc_ValueError,
                      "unknown index_type '" + normalized + "': use 'brute_force', 'ivf_flat', or 'hnsw'");
        return false;
    }
    return true;
}

}  // namespace

bool to_hnsw_selection(PyObject* obj, vocab::HnswSelection& out) {
    std::string text;
    if (!to_utf8(obj, "hnsw_selection", text)) return false;
    std::string lowered;
    if (!lower_utf8(text, lowered)) return false;
    if (lowered == "diverse") {
        out = vocab::HnswSelection::Diverse;
    } else if (lowered == "closest") {
        out = vocab::HnswSelection::Closest;
    } else {
        raise_message(PyExc_ValueError, "unknown hnsw_selection '" + lowered + "': use 'diverse' or 'closest'");
        return false;
    }
    return true;
}

namespace {

// n4_dims from bit_width, mixed_ratio and an explicit n4_dims, the explicit
// value winning. The ratio arithmetic is float32, in this order.
uint64_t derive_n4_dims(uint64_t padded, uint8_t bit_width, std::optional<double> mixed_ratio,
                        std::optional<uint64_t> n4_dims) {
    uint64_t n4 = bit_width == 2 ? 0 : padded;
    if (mixed_ratio) {
        const float r = double_to_float(*mixed_ratio);
        const float c = std::isnan(r) ? 0.0f : std::fmin(1.0f, std::fmax(0.0f, r));
        const float x = std::round(c * static_cast<float>(padded));  // halves away from zero
        // x is within [0, padded] here, so the conversion cannot saturate.
        n4 = (x > 0.0f ? static_cast<uint64_t>(x) : 0) & ~uint64_t{3};
    }
    if (n4_dims) n4 = std::min(*n4_dims, padded) & ~uint64_t{3};
    return n4;
}

PyObject* kivo_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    try {
        PyObject* a[kMaxParams];
        if (!match_tuple(kNewSignature, args, kwargs, a)) return nullptr;

        vocab::EngineConfig config;
        uint64_t dim = 0;
        std::string metric_text = "cosine";
        uint8_t bit_width = 4;
        std::string index_text = "brute_force";
        std::optional<double> mixed_ratio;
        std::optional<uint64_t> n4_dims;
        uint64_t ivf_nlist = 256, ivf_nprobe = 8, hnsw_m = 32, hnsw_ef_construction = 200, hnsw_ef_search = 0;

        if (!to_u64(a[0], "dim", dim)) return nullptr;
        if (a[1] != nullptr && !to_utf8(a[1], "metric", metric_text)) return nullptr;
        if (a[2] != nullptr && !to_bit_width(a[2], "bit_width", bit_width)) return nullptr;
        if (a[3] != nullptr && !to_utf8(a[3], "index_type", index_text)) return nullptr;
        if (a[4] != nullptr && a[4] != Py_None) {
            double value = 0;
            if (!to_f64(a[4], "mixed_ratio", value)) return nullptr;
            mixed_ratio = value;
        }
        if (a[5] != nullptr && a[5] != Py_None) {
            uint64_t value = 0;
            if (!to_u64(a[5], "n4_dims", value)) return nullptr;
            n4_dims = value;
        }
        if (a[6] != nullptr && !to_u64(a[6], "ivf_nlist", ivf_nlist)) return nullptr;
        if (a[7] != nullptr && !to_u64(a[7], "ivf_nprobe", ivf_nprobe)) return nullptr;
        if (a[8] != nullptr && !to_u64(a[8], "hnsw_m", hnsw_m)) return nullptr;
        if (a[9] != nullptr && !to_u64(a[9], "hnsw_ef_construction", hnsw_ef_construction)) return nullptr;
        if (a[10] != nullptr && !to_u64(a[10], "hnsw_ef_search", hnsw_ef_search)) return nullptr;

        vocab::HnswSelection selection = vocab::HnswSelection::Diverse;
        if (a[11] != nullptr && !to_hnsw_selection(a[11], selection)) return nullptr;

        if (!parse_metric(metric_text, config.metric)) return nullptr;
        if (!parse_index_type(index_text, config.index_type)) return nullptr;

        const std::optional<uint64_t> padded = vocab::padded_dim_for(dim);
        if (!padded) {
            // The rotation would need 2^64 coordinates: no machine can hold it.
            return raise_message(PyExc_MemoryError, "cannot allocate an index of dimension " +
                                                        std::to_string(dim) +
                                                        ": its padded dimension 2^64 does not fit in 64 bits");
        }
        config.dim = dim;
        config.n4_dims = derive_n4_dims(*padded, bit_width, mixed_ratio, n4_dims);
        config.seed = vocab::kDefaultSeed;
        config.bit_width = bit_width;
        if (config.index_type == vocab::IndexType::IvfFlat) {
            config.ivf_nlist = ivf_nlist;
            config.ivf_nprobe = ivf_nprobe;
        }
        if (config.index_type == vocab::IndexType::Hnsw) {
            config.hnsw_m = hnsw_m;
            config.hnsw_ef_construction = hnsw_ef_construction;
            config.hnsw_ef_search = hnsw_ef_search;
            config.hnsw_selection = selection;
        }

        auto created = engine::Kivo::create(config);
        if (!created) return raise_engine_error(created.error());
        return new_kivo_instance(std::move(*created));
    } catch (...) {
        return raise_from_cpp_exception();
    }
}

void kivo_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* kivo = reinterpret_cast<PyKivo*>(self);
    kivo->engine.~optional();
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types hold a reference to their type
}

// A property getter: shared access around `read`.
template <class Read>
PyObject* read_shared(PyObject* self, Read read) {
    try {
        PyKivo* kivo = as_kivo(self);
        if (kivo == nullptr) return nullptr;
        SharedAccess access(kivo);
        if (!access.ok()) return nullptr;
        return read(engine_of(kivo));
    } catch (...) {
        return raise_from_cpp_exception();
    }
}

PyObject* text_of(std::string_view text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* get_n_vectors(PyObject* self, void*) {
    return read_shared(self, [](engine::Kivo& e) { return PyLong_FromUnsignedLongLong(e.len()); });
}
PyObject* get_dim(PyObject* self, void*) {
    return read_shared(self, [](engine::Kivo& e) { return PyLong_FromUnsignedLongLong(e.dim()); });
}
PyObject* get_bit_width(PyObject* self, void*) {
    return read_shared(self, [](engine::Kivo& e) { return PyLong_FromLong(e.bit_width()); });
}
PyObject* get_index_type(PyObject* self, void*) {
    return read_shared(self, [](engine::Kivo& e) { return text_of(vocab::index_type_name(e.index_type())); });
}
PyObject* get_n4_dims(PyObject* self, void*) {
    return read_shared(self, [](engine::Kivo& e) { return PyLong_FromUnsignedLongLong(e.n4_dims()); });
}
PyObject* get_metric(PyObject* self, void*) {
    return read_shared(self, [](engine::Kivo& e) { return text_of(vocab::metric_name(e.metric())); });
}
PyObject* get_padded_dim(PyObject* self, void*) {
    return read_shared(self, [](engine::Kivo& e) { return PyLong_FromUnsignedLongLong(e.padded_dim()); });
}
PyObject* get_packed_bytes_per_vec(PyObject* self, void*) {
    return read_shared(self,
                       [](engine::Kivo& e) { return PyLong_FromUnsignedLongLong(e.packed_bytes_per_vec()); });
}
PyObject* get_pb4_per_vec(PyObject* self, void*) {
    return read_shared(self, [](engine::Kivo& e) { return PyLong_FromUnsignedLongLong(e.pb4_per_vec()); });
}

PyGetSetDef kGetSet[] = {
    {"n_vectors", get_n_vectors, nullptr, "Number of indexed vectors.", nullptr},
    {"dim", get_dim, nullptr, "Vector dimension.", nullptr},
    {"bit_width", get_bit_width, nullptr, "Quantization bit width (2 or 4).", nullptr},
    {"index_type", get_index_type, nullptr, "Index algorithm: 'BruteForce', 'IvfFlat', or 'Hnsw'.", nullptr},
    {"n4_dims", get_n4_dims, nullptr,
     "Dims quantized at 4-bit in padded space (0 = pure 2-bit, padded_dim = pure 4-bit).", nullptr},
    {"metric", get_metric, nullptr, "Distance metric: 'cosine', 'dot', or 'l2'.", nullptr},
    {"padded_dim", get_padded_dim, nullptr, "RHDH output dimension (`dim.next_power_of_two()`).", nullptr},
    {"packed_bytes_per_vec", get_packed_bytes_per_vec, nullptr, "Bytes per packed vector.", nullptr},
    {"pb4_per_vec", get_pb4_per_vec, nullptr, "Bytes in the 4-bit block per packed vector (0 for pure 2-bit).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* kivo_repr(PyObject* self) {
    return read_shared(self, [](engine::Kivo& e) {
        const std::string text = "Kivo(dim=" + std::to_string(e.dim()) + ", n=" + std::to_string(e.len()) +
                                 ", bit_width=" + std::to_string(e.bit_width()) +
                                 ", index_type=" + std::string(vocab::index_type_name(e.index_type())) + ")";
        return text_of(text);
    });
}

Py_ssize_t kivo_length(PyObject* self) {
    PyKivo* kivo = as_kivo(self);
    if (kivo == nullptr) return -1;
    SharedAccess access(kivo);
    if (!access.ok()) return -1;
    const uint64_t n = engine_of(kivo).len();
    if (n > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
        raise_message(PyExc_OverflowError, "cannot fit 'int' into an index-sized integer");
        return -1;
    }
    return static_cast<Py_ssize_t>(n);
}

}  // namespace

PyTypeObject* kivo_type() { return g_kivo_type; }

PyObject* new_kivo_instance(engine::Kivo&& engine) {
    PyTypeObject* type = g_kivo_type;
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) return nullptr;
    auto* kivo = reinterpret_cast<PyKivo*>(obj);
    kivo->access = 0;
    try {
        new (&kivo->engine) std::optional<engine::Kivo>(std::move(engine));
    } catch (...) {
        new (&kivo->engine) std::optional<engine::Kivo>();
        Py_DECREF(obj);
        return raise_from_cpp_exception();
    }
    return obj;
}

PyKivo* as_kivo(PyObject* self) {
    if (self != nullptr && g_kivo_type != nullptr && Py_IS_TYPE(self, g_kivo_type)) {
        return reinterpret_cast<PyKivo*>(self);
    }
    // Reached only when the function stored on the class is called with
    // another object as receiver and the interpreter let it through.
    raise_message(PyExc_TypeError, object_message(self != nullptr ? self : Py_None, "cannot be converted to 'Kivo'"));
    return nullptr;
}

SharedAccess::SharedAccess(PyKivo* self) : self_(self) {
    if (self_->access < 0) {
        raise_message(PyExc_RuntimeError, "Already mutably borrowed");
        self_ = nullptr;
        return;
    }
    ++self_->access;
}

SharedAccess::~SharedAccess() {
    if (self_ != nullptr) --self_->access;
}

ExclusiveAccess::ExclusiveAccess(PyKivo* self) : self_(self) {
    if (self_->access != 0) {
        raise_message(PyExc_RuntimeError, "Already borrowed");
        self_ = nullptr;
        return;
    }
    self_->access = -1;
}

ExclusiveAccess::~ExclusiveAccess() {
    if (self_ != nullptr) self_->access = 0;
}

PyObject* create_kivo_type(PyObject* module) {
    if (g_kivo_type != nullptr) {
        Py_INCREF(g_kivo_type);
        return reinterpret_cast<PyObject*>(g_kivo_type);
    }
    // The method table must outlive the class: it is built once, in class
    // order (bindings, then accessors), and kept for the process.
    static std::vector<PyMethodDef> methods;
    methods.clear();
    for (std::size_t i = 0; i < binding_method_count; ++i) methods.push_back(*binding_methods[i]);
    for (std::size_t i = 0; i < accessor_method_count; ++i) methods.push_back(*accessor_methods[i]);
    methods.push_back({nullptr, nullptr, 0, nullptr});

    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(kClassDoc)},
        {Py_tp_new, reinterpret_cast<void*>(kivo_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(kivo_dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(kivo_repr)},
        {Py_mp_length, reinterpret_cast<void*>(kivo_length)},
        {Py_tp_getset, kGetSet},
        {Py_tp_methods, methods.data()},
        {0, nullptr},
    };
    // No Py_TPFLAGS_BASETYPE (not subclassable), no GC (instances hold no
    // Python references), no __dict__ or weak reference slots.
    PyType_Spec type_spec = {"kivo.Kivo", static_cast<int>(sizeof(PyKivo)), 0, Py_TPFLAGS_DEFAULT, slots};
    PyObject* type = PyType_FromModuleAndSpec(module, &type_spec, nullptr);
    if (type == nullptr) return nullptr;
    // The class lives as long as the process: the module may be imported
    // again, and every instance must keep meeting the same class.
    Py_INCREF(type);
    g_kivo_type = reinterpret_cast<PyTypeObject*>(type);
    return type;
}

}  // namespace kivo::python
