#pragma once
// Type objects of every class, created on first use and kept for the life of
// the process. Each returns a borrowed reference, or null with an error set.
#include <memory>

#include "py/python.hpp"

#include "core/codec/codebook.hpp"
#include "core/codec/config.hpp"
#include "core/corpus/policy.hpp"

namespace zorvex {
class Corpus;
}

namespace zorvex::py {

// codec
PyObject* codec_config_type();
PyObject* rotation_matrix_type();
PyObject* codebook_type();
PyObject* compressed_vector_type();
PyObject* codec_type();
// The module-level functions are built separately for each module that lists
// them (new references).
PyObject* new_compress_function(PyObject* module);
PyObject* new_decompress_function(PyObject* module);

// corpus (src/py/corpus.cpp)
PyObject* compression_policy_type();
PyObject* vector_entry_type();
PyObject* corpus_type();
PyObject* corpus_created_type();
PyObject* vectors_inserted_type();
PyObject* corpus_decompressed_type();
PyObject* policy_violation_type();
// The core block behind a Python Corpus; null with TypeError set otherwise.
std::shared_ptr<Corpus> corpus_core_of(PyObject* o);

// backend (src/py/backend.cpp)
PyObject* search_backend_type();
PyObject* search_result_type();
PyObject* brute_force_backend_type();

// Internal hooks of the module's own tests; they live beside the panic type,
// outside the public namespaces.
PyObject* make_internal_module();
// Adds the module-level functions of `defs` (ending in a null entry) to
// `module`; false with an error set.
bool add_functions(PyObject* module, PyMethodDef* defs);

// zorvex_rs._ext (src/py/ext_module.cpp) and what each binding unit adds to
// it; each returns false with an error set.
PyObject* make_ext_module();
bool add_search_extensions(PyObject* module);  // src/py/backend_codes.cpp
bool add_codebook_training(PyObject* module);  // src/py/codec_training.cpp
bool add_collection_files(PyObject* module);    // src/py/collection_file.cpp

// The ValueError of a change to a backend mapped from its file; null
// (src/py/collection_file.cpp).
PyObject* raise_mapped(const char* method);

// The CompressedBackend type (src/py/backend_codes.cpp).
PyObject* compressed_backend_type();
// A new Python Corpus around a core block (src/py/corpus.cpp).
PyObject* new_corpus_object(std::shared_ptr<Corpus> core, const CodecConfig& config, const Codebook& codebook,
                            CompressionPolicy policy);

}  // namespace zorvex::py
