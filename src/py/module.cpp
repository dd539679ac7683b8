// Entry point: builds zorvex_rs._core once per process and hands the same
// module back on every later import.
#include <atomic>
#include <cstdint>

#include "common/isa.hpp"
#include "py/bindings.hpp"
#include "py/arrays.hpp"
#include "py/convert.hpp"
#include "py/errors.hpp"

namespace zorvex::py {

namespace {

std::atomic<std::int64_t> g_owner{-1};
PyObject* g_module = nullptr;

PyModuleDef g_def = {
    PyModuleDef_HEAD_INIT,
    "_core",
    "Initialise the `zorvex_rs._core` Python extension module.\n\n"
    "The extension ships as `zorvex_rs/_core.{abi3.so,abi3.pyd}`; the pure-Python\n"
    "`zorvex_rs/__init__.py` wrapper promotes its names to the user-facing\n"
    "sub-packages `zorvex_rs.codec`, `zorvex_rs.corpus` and `zorvex_rs.backend`.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Appends `name` to the module's __all__ (created on first use), then sets
// the attribute. `value` is borrowed.
bool add(PyObject* module, const char* name, PyObject* value) {
  if (!value) return false;
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  Ref text = Ref::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
  return PyObject_SetAttrString(module, name, value) == 0;
}

struct Entry {
  const char* name;
  PyObject* (*get)();
};

bool add_all(PyObject* module, std::initializer_list<Entry> entries) {
  for (const auto& e : entries) {
    if (!add(module, e.name, e.get())) return false;
  }
  return true;
}

// Class lists per module, in the order their __all__ shows them.
bool add_codec_classes(PyObject* m) {
  if (!add_all(m, {{"CodecConfig", codec_config_type},
                   {"Codebook", codebook_type},
                   {"RotationMatrix", rotation_matrix_type},
                   {"CompressedVector", compressed_vector_type},
                   {"Codec", codec_type}}))
    return false;
  Ref compress = Ref::steal(new_compress_function(m));
  Ref decompress = Ref::steal(new_decompress_function(m));
  return add(m, "compress", compress.get()) && add(m, "decompress", decompress.get());
}
bool add_corpus_classes(PyObject* m) {
  return add_all(m, {{"CompressionPolicy", compression_policy_type},
                     {"VectorEntry", vector_entry_type},
                     {"Corpus", corpus_type},
                     {"CorpusCreated", corpus_created_type},
                     {"VectorsInserted", vectors_inserted_type},
                     {"CorpusDecompressed", corpus_decompressed_type},
                     {"CompressionPolicyViolationDetected", policy_violation_type}});
}
bool add_backend_classes(PyObject* m) {
  return add_all(m, {{"SearchBackend", search_backend_type},
                     {"SearchResult", search_result_type},
                     {"BruteForceBackend", brute_force_backend_type}});
}

bool add_exceptions(PyObject* m, bool all_four) {
  if (!add(m, "DimensionMismatchError", dimension_mismatch_error())) return false;
  if (all_four && (!add(m, "ConfigMismatchError", config_mismatch_error()) ||
                   !add(m, "CodebookIncompatibleError", codebook_incompatible_error())))
    return false;
  return add(m, "DuplicateVectorError", duplicate_vector_error());
}

bool build_body(PyObject* top) {
  Ref version = Ref::steal(PyUnicode_FromString("1.1.0"));
  if (!add(top, "__version__", version.get())) return false;

  Ref codec = Ref::steal(PyModule_New("codec"));
  if (!codec || !add_codec_classes(codec.get())) return false;
  Ref corpus = Ref::steal(PyModule_New("corpus"));
  if (!corpus || !add_corpus_classes(corpus.get())) return false;
  Ref backend = Ref::steal(PyModule_New("backend"));
  if (!backend || !add_backend_classes(backend.get())) return false;

  if (!add_exceptions(top, true) || !add_exceptions(codec.get(), true)) return false;
  if (!add(corpus.get(), "DimensionMismatchError", dimension_mismatch_error()) ||
      !add(corpus.get(), "DuplicateVectorError", duplicate_vector_error()))
    return false;

  if (!add(top, "codec", codec.get()) || !add(top, "corpus", corpus.get()) || !add(top, "backend", backend.get()))
    return false;

  return add_codec_classes(top) && add_corpus_classes(top) && add_backend_classes(top);
}

PyObject* init() {
  PyInterpreterState* interp = PyInterpreterState_Get();
  std::int64_t id = PyInterpreterState_GetID(interp);
  if (id == -1) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return nullptr;
  }
  std::int64_t expected = -1;
  if (!g_owner.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "zorvex_rs._core does not support sub-interpreters: it can only be imported "
                    "once per process, by the main interpreter");
    return nullptr;
  }
  if (g_module) return Ref::borrow(g_module).release();

  // A pinned kernel form that cannot be honoured would silently run another.
  if (!detail::isa_pin_error().empty()) {
    PyErr_SetString(PyExc_ImportError, detail::isa_pin_error().c_str());
    return nullptr;
  }
  // Made here so that no later call can fail for want of it.
  if (!slice_container_type()) return nullptr;
  Ref module = Ref::steal(PyModule_Create2(&g_def, 1013));
  if (!module || !build_body(module.get())) return nullptr;
  // Hosts the panic exception outside the module's own namespace.
  if (!make_internal_module()) return nullptr;
  if (!make_ext_module()) return nullptr;
  g_module = Ref::borrow(module.get()).release();
  return module.release();
}

}  // namespace

}  // namespace zorvex::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__core() {
  return zorvex::py::guard([] { return zorvex::py::init(); });
}
