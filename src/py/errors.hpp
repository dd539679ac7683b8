#pragma once
// The module's exception types and the one table from core error values to
// Python exceptions. Every raise_* returns null for `return raise(...)`.
#include "common/errors.hpp"
#include "py/python.hpp"

namespace zorvex::py {

// Created once per process; each returns a borrowed reference.
PyObject* dimension_mismatch_error();
PyObject* config_mismatch_error();
PyObject* codebook_incompatible_error();
PyObject* duplicate_vector_error();
PyObject* panic_exception();

PyObject* raise(const CodecError& e);
PyObject* raise(const CorpusError& e);
PyObject* raise(const FormatError& e);  // as CompressedVector.from_bytes reports it
PyObject* raise(const BackendError& e);

}  // namespace zorvex::py
