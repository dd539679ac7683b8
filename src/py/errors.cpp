#include "py/errors.hpp"

#include <string>

#include "common/result.hpp"
#include "py/convert.hpp"

namespace zorvex::py {

namespace {

// Exception types live for the whole process, like the module that lists them.
PyObject* exception_type(PyObject*& slot, const char* name, const char* doc, PyObject* base) {
  if (!slot) {
    PyObject* t = PyErr_NewExceptionWithDoc(name, doc, base, nullptr);
    if (!t) {
      PyErr_Clear();
      throw InternalError("Failed to initialize new exception type.");
    }
    if (slot) {
      Py_DECREF(t);  // a racing creation stored first
    } else {
      slot = t;
    }
  }
  return slot;
}

PyObject* set(PyObject* type, const std::string& message) {
  Ref text = Ref::steal(from_text(message));
  if (text) PyErr_SetObject(type, text.get());
  return nullptr;
}

}  // namespace

PyObject* dimension_mismatch_error() {
  static PyObject* t = nullptr;
  return exception_type(t, "zorvex_rs.DimensionMismatchError",
                        "Raised when a vector's length does not match the expected dimension.", PyExc_ValueError);
}
PyObject* config_mismatch_error() {
  static PyObject* t = nullptr;
  return exception_type(t, "zorvex_rs.ConfigMismatchError",
                        "Raised when a compressed vector's config hash does not match the config.", PyExc_ValueError);
}
PyObject* codebook_incompatible_error() {
  static PyObject* t = nullptr;
  return exception_type(t, "zorvex_rs.CodebookIncompatibleError",
                        "Raised when a codebook's bit width does not match the codec config.", PyExc_ValueError);
}
PyObject* duplicate_vector_error() {
  static PyObject* t = nullptr;
  return exception_type(t, "zorvex_rs.DuplicateVectorError", "Raised when a vector ID already exists in the corpus.",
                        PyExc_ValueError);
}
PyObject* panic_exception() {
  static PyObject* t = nullptr;
  return exception_type(t, "zorvex_rs._internal.PanicException",
                        "An internal invariant of the extension was broken; the current call was abandoned.",
                        PyExc_BaseException);
}

void raise_panic(const char* message) {
  PyObject* type;
  try {
    type = panic_exception();
  } catch (const InternalError&) {
    PyErr_SetString(PyExc_SystemError, message);
    return;
  }
  Ref text = Ref::steal(PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::char_traits<char>::length(message)),
                                             "replace"));
  if (text) PyErr_SetObject(type, text.get());
}

PyObject* raise(const CodecError& e) {
  using K = CodecError::Kind;
  switch (e.kind) {
    case K::DimensionMismatch:
      return set(dimension_mismatch_error(), e.message());
    case K::CodebookIncompatible:
      return set(codebook_incompatible_error(), e.message());
    case K::ConfigMismatch:
      return set(config_mismatch_error(), e.message());
    default:
      return set(PyExc_ValueError, e.message());
  }
}

PyObject* raise(const CorpusError& e) {
  using K = CorpusError::Kind;
  switch (e.kind) {
    case K::Codec:
      return raise(*e.codec);
    case K::DuplicateVectorId:
      return set(duplicate_vector_error(), e.message());
    case K::UnknownVectorId:
      return set(PyExc_KeyError, e.message());
    case K::DimensionMismatch:
      return set(dimension_mismatch_error(), e.message());
  }
  return set(PyExc_ValueError, e.message());
}

PyObject* raise(const FormatError& e) {
  return set(PyExc_ValueError, "failed to decode CompressedVector: " + e.message());
}

PyObject* raise(const BackendError& e) {
  return set(e.kind == BackendError::Kind::AdapterError ? PyExc_RuntimeError : PyExc_ValueError, e.message());
}

}  // namespace zorvex::py
