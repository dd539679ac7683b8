// Python surface of the search backend: SearchBackend, SearchResult and
// BruteForceBackend.
#include <memory>

#include "backend/brute_force.hpp"
#include "backend/search_result.hpp"
#include "py/arrays.hpp"
#include "py/bindings.hpp"
#include "py/errors.hpp"
#include "py/types.hpp"

namespace zorvex::py {

namespace {

constexpr const char* kPoisoned = "backend mutex poisoned";
constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

// ---- SearchBackend -------------------------------------------------------------

struct Protocol {};

PyObject* protocol_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    static constexpr Signature<0> sig{"SearchBackend.__new__", {}};
    Slots<0> s;
    if (!match(sig, args, kwargs, s)) return nullptr;
    PyErr_SetString(PyExc_ValueError,
                    "SearchBackend is a structural protocol; instantiate a concrete backend like "
                    "BruteForceBackend instead");
    return nullptr;
  });
}

// ---- SearchResult ----------------------------------------------------------------

SearchResult& result_of(PyObject* self) { return unbox<SearchResult>(self); }

PyObject* result_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    static constexpr Signature<2> sig{"SearchResult.__new__", {"vector_id", "score"}};
    Slots<2> s;
    if (!match(sig, args, kwargs, s)) return nullptr;
    std::string id;
    double score;
    if (!to_text(s[0], id)) return arg_error("vector_id");
    if (!to_real(s[1], score)) return arg_error("score");
    return box(reinterpret_cast<PyObject*>(tp), SearchResult{make_text(id), static_cast<float>(score)});
  });
}

PyObject* result_vector_id(PyObject* self, void*) { return from_text(*result_of(self).vector_id); }
PyObject* result_score(PyObject* self, void*) { return PyFloat_FromDouble(result_of(self).score); }

PyObject* result_repr(PyObject* self) {
  return guard([&] { return from_text(repr(result_of(self))); });
}

// Only `<` is defined, as "ranks before": the interpreter derives `>` by
// reflection, `==` falls back to identity and the rest raise TypeError.
PyObject* result_richcompare(PyObject* self, PyObject* other, int op) {
  PyObject* type = search_result_type();
  if (op != Py_LT || !type || !is_instance<SearchResult>(self, type) || !is_instance<SearchResult>(other, type)) {
    Py_RETURN_NOTIMPLEMENTED;
  }
  return from_bool(result_of(self).score > result_of(other).score);
}

PyGetSetDef result_getset[] = {
    {"vector_id", result_vector_id, nullptr, nullptr, nullptr},
    {"score", result_score, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- BruteForceBackend -------------------------------------------------------------

using State = std::shared_ptr<BruteForceBackend>;

const State& state_of(PyObject* self) { return unbox<State>(self); }

PyObject* backend_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    static constexpr Signature<0> sig{"BruteForceBackend.__new__", {}};
    Slots<0> s;
    if (!match(sig, args, kwargs, s)) return nullptr;
    return box(reinterpret_cast<PyObject*>(tp), std::make_shared<BruteForceBackend>());
  });
}

PyObject* backend_ingest(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    if (state_of(self)->mapped()) return raise_mapped("BruteForceBackend.ingest");
    static constexpr Signature<1> sig{"BruteForceBackend.ingest", {"vectors"}};
    Slots<1> s;
    if (!match(sig, args, nargs, kwnames, s)) return nullptr;
    // Only the mapping itself is a declared parameter; its keys and values
    // report their errors unprefixed.
    if (!PyDict_Check(s[0])) {
      raise_cannot_convert(s[0], "dict");
      return arg_error("vectors");
    }
    IngestPairs pairs;
    if (!to_id_mapping(s[0], pairs)) return nullptr;
    return release_and_run(
        [&, state = state_of(self)] {
          auto outcome = state->ingest(pairs);
          if (!outcome) panic(kPoisoned);
          return std::move(*outcome);
        },
        [](Result<Unit, BackendError> r) -> PyObject* {
          if (!r) return raise(r.error());
          Py_RETURN_NONE;
        });
  });
}

PyObject* backend_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr Signature<2> sig{"BruteForceBackend.search", {"query", "top_k"}};
    Slots<2> s;
    if (!match(sig, args, nargs, kwnames, s)) return nullptr;
    ArrayArg query_arg;
    std::uint64_t top_k;
    if (!to_input_vector(s[0], query_arg)) return arg_error("query");
    if (!to_u64(s[1], top_k)) return arg_error("top_k");
    std::vector<float> query;
    if (!read_vector(query_arg, query)) return nullptr;
    return release_and_run(
        [&, state = state_of(self)] {
          auto outcome = state->search(query, top_k);
          if (!outcome) panic(kPoisoned);
          return std::move(*outcome);
        },
        [](Result<std::vector<SearchResult>, BackendError> r) -> PyObject* {
          if (!r) return raise(r.error());
          PyObject* type = search_result_type();
          if (!type) return nullptr;
          std::vector<Ref> items;
          items.reserve(r->size());
          for (SearchResult& result : *r) {
            items.push_back(Ref::steal(box(type, std::move(result))));
            if (!items.back()) return nullptr;
          }
          return list_of(std::move(items));
        });
  });
}

PyObject* poisoned() {
  PyErr_SetString(PyExc_ValueError, kPoisoned);
  return nullptr;
}

PyObject* backend_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    if (state_of(self)->mapped()) return raise_mapped("BruteForceBackend.remove");
    static constexpr Signature<1> sig{"BruteForceBackend.remove", {"vector_ids"}};
    Slots<1> s;
    if (!match(sig, args, nargs, kwnames, s)) return nullptr;
    std::vector<SharedText> ids;
    if (!to_id_sequence(s[0], ids)) return arg_error("vector_ids");
    if (!state_of(self)->remove(ids)) return poisoned();
    Py_RETURN_NONE;
  });
}

PyObject* backend_clear(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    if (state_of(self)->mapped()) return raise_mapped("BruteForceBackend.clear");
    if (!state_of(self)->clear()) return poisoned();
    Py_RETURN_NONE;
  });
}

PyObject* backend_count(PyObject* self, void*) {
  return guard([&]() -> PyObject* {
    auto count = state_of(self)->count();
    if (!count) return poisoned();
    return from_u64(*count);
  });
}

PyMethodDef backend_methods[] = {
    {"ingest", method(backend_ingest), kFast,
     "ingest($self, vectors)\n--\n\nIngest a mapping of `vector_id -> 1-D f32 array`."},
    {"search", method(backend_search), kFast, "search($self, query, top_k)\n--\n\n"},
    {"remove", method(backend_remove), kFast, "remove($self, vector_ids)\n--\n\n"},
    {"clear", backend_clear, METH_NOARGS, "clear($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef backend_getset[] = {
    {"count", backend_count, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* search_backend_type() {
  static PyObject* type = nullptr;
  return boxed_type<Protocol>(
      type, "zorvex_rs.SearchBackend",
      {
          {Py_tp_doc, const_cast<char*>("SearchBackend()\n--\n\n"
                                        "Runtime placeholder for the `SearchBackend` protocol.\n"
                                        "\n"
                                        "Python's `typing.Protocol` is a structural type that carries no runtime\n"
                                        "behavior; instantiation raises to preserve API parity with the reference\n"
                                        "implementation where `SearchBackend()` is not meaningful either.")},
          {Py_tp_new, reinterpret_cast<void*>(protocol_new)},
      });
}

PyObject* search_result_type() {
  static PyObject* type = nullptr;
  return boxed_type<SearchResult>(
      type, "zorvex_rs.SearchResult",
      {
          {Py_tp_doc, const_cast<char*>("SearchResult(vector_id, score)\n--\n\n"
                                        "Immutable (vector_id, score) pair returned by `BruteForceBackend.search`.")},
          {Py_tp_new, reinterpret_cast<void*>(result_new)},
          {Py_tp_getset, result_getset},
          {Py_tp_repr, reinterpret_cast<void*>(result_repr)},
          {Py_tp_richcompare, reinterpret_cast<void*>(result_richcompare)},
          {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
      });
}

PyObject* brute_force_backend_type() {
  static PyObject* type = nullptr;
  return boxed_type<State>(
      type, "zorvex_rs.BruteForceBackend",
      {
          {Py_tp_doc, const_cast<char*>("BruteForceBackend()\n--\n\n"
                                        "Reference search backend: exhaustive cosine similarity.")},
          {Py_tp_new, reinterpret_cast<void*>(backend_new)},
          {Py_tp_methods, backend_methods},
          {Py_tp_getset, backend_getset},
      });
}

}  // namespace zorvex::py
