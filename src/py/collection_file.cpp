// zorvex_rs.save / zorvex_rs.load: collections kept in files (see
// docs/collection_file.md for the format).
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "backend/brute_force.hpp"
#include "backend/code_index.hpp"
#include "core/corpus/corpus.hpp"
#include "io/collection_file/collections.hpp"
#include "py/arrays.hpp"
#include "py/bindings.hpp"
#include "py/convert.hpp"
#include "py/errors.hpp"
#include "py/types.hpp"

namespace zorvex::py {

namespace {

namespace cf = collection_file;

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyObject* file_error_type() {
  static PyObject* type = nullptr;
  if (!type) {
    type = PyErr_NewExceptionWithDoc(
        "zorvex_rs.CollectionFileError",
        "A file is not a collection file this version can load: wrong magic, another kind,\n"
        "a newer format version, truncated, extended, or corrupted (a checksum or bound\n"
        "check failed). The message names the path and what is wrong.",
        PyExc_ValueError, nullptr);
  }
  return type;
}

// The path argument as file-system bytes (str, bytes or os.PathLike).
bool to_path(PyObject* o, std::string& out) {
  PyObject* converted = nullptr;
  if (!PyUnicode_FSConverter(o, &converted)) return false;
  Ref bytes = Ref::steal(converted);
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) return false;
  out.assign(data, static_cast<std::size_t>(size));
  if (out.empty()) {
    PyErr_SetString(PyExc_ValueError, "path: expected a file path; got an empty string");
    return false;
  }
  return true;
}

PyObject* raise_file_error(const cf::FileError& e, PyObject* path) {
  if (e.kind == cf::FileError::Kind::Os) {
    Ref exc = Ref::steal(PyObject_CallFunction(PyExc_OSError, "isO", e.os_errno, std::strerror(e.os_errno), path));
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    return nullptr;
  }
  PyObject* type = file_error_type();
  if (!type) return nullptr;
  Ref text = Ref::steal(from_text(e.message));
  if (text) PyErr_SetObject(type, text.get());
  return nullptr;
}

PyObject* save(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr Signature<2> sig{"save", {"obj", "path"}};
    Slots<2> s;
    if (!match(sig, args, nargs, kwnames, s)) return nullptr;
    std::string path;
    if (!to_path(s[1], path)) return arg_error("path");
    PyObject* obj = s[0];
    PyObject* brute = brute_force_backend_type();
    PyObject* codes = compressed_backend_type();
    PyObject* corpus = corpus_type();
    if (!brute || !codes || !corpus) return nullptr;
    auto done = [&](Result<Unit, cf::FileError> r) -> PyObject* {
      if (!r) return raise_file_error(r.error(), s[1]);
      Py_RETURN_NONE;
    };
    if (PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(brute))) {
      auto state = unbox<std::shared_ptr<BruteForceBackend>>(obj);
      return release_and_run(
          [&] {
            auto r = state->read([&](const BruteForceIndex& index) { return cf::save_brute_force(index, path); });
            if (!r) panic("backend mutex poisoned");
            return std::move(*r);
          },
          done);
    }
    if (PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(codes))) {
      auto state = unbox<std::shared_ptr<CompressedBackend>>(obj);
      return release_and_run(
          [&] {
            auto r = state->read([&](const CompressedIndex& index) { return cf::save_compressed(index, path); });
            if (!r) panic("backend mutex poisoned");
            return std::move(*r);
          },
          done);
    }
    if (PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(corpus))) {
      std::shared_ptr<Corpus> core = corpus_core_of(obj);
      if (!core) return nullptr;
      return release_and_run(
          [&]() -> Result<Unit, cf::FileError> {
            // The records are shared, not copied: the lock is held only to take them.
            auto image = core->with_state([](CorpusState& state) { return cf::image_of(state); });
            if (!image) panic("corpus lock poisoned");
            return cf::save_corpus(*image, path);
          },
          done);
    }
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(obj)));
    PyErr_Format(PyExc_TypeError, "obj: expected a Corpus, BruteForceBackend or CompressedBackend; got %S",
                 name ? name.get() : Py_None);
    return nullptr;
  });
}

PyObject* load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr Signature<4> sig{"load", {"path", "mmap", "verify", "kind"}, 1, 1};
    Slots<4> s;
    if (!match(sig, args, nargs, kwnames, s)) return nullptr;
    std::string path;
    if (!to_path(s[0], path)) return arg_error("path");
    bool map = false, verify = false;
    if (s[1] && !to_bool(s[1], map)) return arg_error("mmap");
    if (s[2] && !to_bool(s[2], verify)) return arg_error("verify");
    std::optional<cf::Kind> kind;
    if (s[3] && s[3] != Py_None) {
      if (s[3] == corpus_type()) {
        kind = cf::Kind::Corpus;
      } else if (s[3] == brute_force_backend_type()) {
        kind = cf::Kind::BruteForce;
      } else if (s[3] == compressed_backend_type()) {
        kind = cf::Kind::Compressed;
      } else {
        PyErr_Format(PyExc_TypeError, "kind: expected Corpus, BruteForceBackend, CompressedBackend or None; got %R",
                     s[3]);
        return nullptr;
      }
    }
    return release_and_run([&] { return cf::load(path, map, verify, kind); },
                           [&](Result<cf::Loaded, cf::FileError> r) -> PyObject* {
                             if (!r) return raise_file_error(r.error(), s[0]);
                             cf::Loaded& loaded = *r;
                             if (loaded.corpus) {
                               return new_corpus_object(loaded.corpus->corpus, loaded.corpus->config,
                                                        loaded.corpus->codebook, loaded.corpus->policy);
                             }
                             if (loaded.brute_force) {
                               PyObject* type = brute_force_backend_type();
                               if (!type) return nullptr;
                               return box(type, std::make_shared<BruteForceBackend>(std::move(*loaded.brute_force)));
                             }
                             PyObject* type = compressed_backend_type();
                             if (!type) return nullptr;
                             return box(type, std::make_shared<CompressedBackend>(std::move(*loaded.compressed)));
                           });
  });
}

PyMethodDef functions[] = {
    {"save", method(save), kFast,
     "save(obj, path)\n--\n\n"
     "Write a Corpus, BruteForceBackend or CompressedBackend to ``path``.\n\n"
     "The file is written beside the target, flushed to disk and renamed over it, so\n"
     "a crash at any moment leaves the old file or the new one, whole. A Corpus file\n"
     "keeps the corpus id, configuration, codebook, policy and every stored vector,\n"
     "but not the pending events: a loaded corpus starts with exactly the events of a\n"
     "new one. Raises OSError (with the path) when the file cannot be written; the\n"
     "old file is then unchanged and no temporary file is left."},
    {"load", method(load), kFast,
     "load(path, *, mmap=False, verify=False, kind=None)\n--\n\n"
     "Read a file written by save and return an equal object (every later call gives\n"
     "the same results, bit for bit). ``kind`` (Corpus, BruteForceBackend or\n"
     "CompressedBackend) refuses a file that holds another kind.\n\n"
     "mmap=True opens a backend in place: the file is mapped read-only and searched\n"
     "where it lies, without reading it; opening checks the header and every\n"
     "section's bounds, so no later call can read outside the file, but compares\n"
     "the section checksums only with verify=True (damaged data then gives wrong\n"
     "results, never a crash). A mapped backend refuses ingest, remove and clear.\n"
     "A Corpus is always read.\n\n"
     "Raises CollectionFileError (a ValueError) naming the path and the fault for a\n"
     "file that is not a valid collection file (wrong magic, newer format version,\n"
     "truncated, extended, a checksum mismatch), and OSError when it cannot be read."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* raise_mapped(const char* method) {
  PyErr_Format(PyExc_ValueError,
               "%s: this backend was opened with load(path, mmap=True) and searches its file in place, "
               "read-only; load(path) gives a copy that can change",
               method);
  return nullptr;
}

bool add_collection_files(PyObject* module) {
  PyObject* error = file_error_type();
  if (!error || PyObject_SetAttrString(module, "CollectionFileError", error) < 0) return false;
  return add_functions(module, functions);
}

}  // namespace zorvex::py
