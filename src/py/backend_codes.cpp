// Python surface of search over compressed codes, in zorvex_rs._ext:
// CompressedBackend, and search_batch for the exact backend.
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>

#include "backend/brute_force.hpp"
#include "backend/code_index.hpp"
#include "core/corpus/corpus.hpp"
#include "py/arrays.hpp"
#include "py/bindings.hpp"
#include "py/errors.hpp"
#include "py/types.hpp"

namespace zorvex::py {

namespace {

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;
constexpr const char* kPoisoned = "backend mutex poisoned";

using State = std::shared_ptr<CompressedBackend>;
using ExactState = std::shared_ptr<BruteForceBackend>;

const State& state_of(PyObject* self) { return unbox<State>(self); }

PyObject* raise_search_error(const CodeSearchError& e) {
  PyObject* type = PyExc_ValueError;
  switch (e.kind) {
    case CodeSearchError::Kind::Value:
      break;
    case CodeSearchError::Kind::Key:
      type = PyExc_KeyError;
      break;
    case CodeSearchError::Kind::Dimension:
      type = dimension_mismatch_error();
      break;
    case CodeSearchError::Kind::Config:
      type = config_mismatch_error();
      break;
  }
  // A KeyError built from a message keeps it readable: str() of a KeyError
  // shows its argument's repr otherwise.
  Ref text = Ref::steal(from_text(e.message));
  if (text) PyErr_SetObject(type, text.get());
  return nullptr;
}

bool to_positive_count(PyObject* o, const char* name, std::uint64_t& out) {
  if (!to_u64(o, out)) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_ValueError, "%s must be a non-negative integer; got %R", name, o);
    }
    arg_error(name);
    return false;
  }
  return true;
}

// "ids" of the newer methods: any iterable of str, but not a str itself.
bool read_ids(PyObject* o, const char* what, std::vector<SharedText>& out) {
  if (PyUnicode_Check(o)) {
    PyErr_Format(PyExc_TypeError, "%s: expected an iterable of str ids; got a single str %R (wrap it in a list)",
                 what, o);
    return false;
  }
  Ref iter = Ref::steal(PyObject_GetIter(o));
  if (!iter) {
    PyErr_Clear();
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(o)));
    PyErr_Format(PyExc_TypeError, "%s: expected an iterable of str ids; got %S", what, name ? name.get() : Py_None);
    return false;
  }
  std::string id;
  while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
    if (!PyUnicode_Check(item.get())) {
      Ref name = Ref::steal(PyType_GetName(Py_TYPE(item.get())));
      PyErr_Format(PyExc_TypeError, "%s: ids must be str; got %S %R", what, name ? name.get() : Py_None,
                   item.get());
      return false;
    }
    if (!to_text(item.get(), id)) return false;
    out.push_back(make_text(id));
  }
  return !PyErr_Occurred();
}

// A mapping's items in its own order; `value` converts each value.
template <class Value>
bool read_mapping(PyObject* o, const char* what, const char* values, Value&& value) {
  Ref items = Ref::steal(PyMapping_Check(o) && !PyUnicode_Check(o) ? PyMapping_Items(o) : nullptr);
  if (!items) {
    PyErr_Clear();
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(o)));
    PyErr_Format(PyExc_TypeError, "%s: expected a mapping of str id -> %s; got %S", what, values,
                 name ? name.get() : Py_None);
    return false;
  }
  const Py_ssize_t n = PyList_Size(items.get());
  std::string id;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* pair = PyList_GetItem(items.get(), i);
    PyObject* key = pair ? PyTuple_GetItem(pair, 0) : nullptr;
    PyObject* item = pair ? PyTuple_GetItem(pair, 1) : nullptr;
    if (!key || !item) return false;
    if (!PyUnicode_Check(key)) {
      Ref name = Ref::steal(PyType_GetName(Py_TYPE(key)));
      PyErr_Format(PyExc_TypeError, "%s: ids must be str; got %S %R", what, name ? name.get() : Py_None, key);
      return false;
    }
    if (!to_text(key, id) || !value(make_text(id), item)) return false;
  }
  return true;
}

PyObject* new_result_lists(std::vector<std::vector<SearchResult>>&& lists, bool single) {
  PyObject* type = search_result_type();
  if (!type) return nullptr;
  std::vector<Ref> outer;
  outer.reserve(lists.size());
  for (auto& list : lists) {
    std::vector<Ref> items;
    items.reserve(list.size());
    for (SearchResult& r : list) {
      items.push_back(Ref::steal(box(type, std::move(r))));
      if (!items.back()) return nullptr;
    }
    outer.push_back(Ref::steal(list_of(std::move(items))));
    if (!outer.back()) return nullptr;
  }
  if (single) return outer.front().release();
  return list_of(std::move(outer));
}

// ---- CompressedBackend --------------------------------------------------------------

PyObject* backend_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    static constexpr Signature<2> sig{"CompressedBackend.__new__", {"config", "codebook"}};
    Slots<2> s;
    if (!match(sig, args, kwargs, s)) return nullptr;
    auto* config = as<CodecConfig>(s[0], codec_config_type(), "CodecConfig");
    if (!config) return arg_error("config");
    auto* codebook = as<Codebook>(s[1], codebook_type(), "Codebook");
    if (!codebook) return arg_error("codebook");
    auto index = CompressedIndex::make(*config, *codebook);
    if (!index) return raise_search_error(index.error());
    return box(reinterpret_cast<PyObject*>(tp), std::make_shared<CompressedBackend>(std::move(*index)));
  });
}

template <class Change>
PyObject* run_change(PyObject* self, Change&& change) {
  return release_and_run(
      [&, state = state_of(self)] {
        auto outcome = state->write(change);
        if (!outcome) panic(kPoisoned);
        return std::move(*outcome);
      },
      [](Result<Unit, CodeSearchError> r) -> PyObject* {
        if (!r) return raise_search_error(r.error());
        Py_RETURN_NONE;
      });
}

PyObject* backend_ingest(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    if (state_of(self)->mapped()) return raise_mapped("CompressedBackend.ingest");
    static constexpr Signature<1> sig{"CompressedBackend.ingest", {"vectors"}};
    Slots<1> s;
    if (!match(sig, args, nargs, kwnames, s)) return nullptr;
    const std::size_t d = state_of(self)->read([](const CompressedIndex& i) { return i.dimension(); }).value_or(0);
    IngestPairs pairs;
    bool ok = read_mapping(s[0], "vectors", "1-D float array", [&](SharedText id, PyObject* value) {
      Matrix row;
      const std::string what = "vectors['" + *id + "']";
      if (!read_float_rows(value, 1, d, what.c_str(), row)) return false;
      pairs.emplace_back(std::move(id), std::move(row.data));
      return true;
    });
    if (!ok) return nullptr;
    return run_change(self, [&](CompressedIndex& index) { return index.ingest(pairs); });
  });
}

PyObject* backend_ingest_compressed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    if (state_of(self)->mapped()) return raise_mapped("CompressedBackend.ingest_compressed");
    static constexpr Signature<1> sig{"CompressedBackend.ingest_compressed", {"records"}};
    Slots<1> s;
    if (!match(sig, args, nargs, kwnames, s)) return nullptr;
    RecordPairs pairs;
    PyObject* record_type = compressed_vector_type();
    if (!record_type) return nullptr;
    bool ok = read_mapping(s[0], "records", "CompressedVector", [&](SharedText id, PyObject* value) {
      if (!is_instance<CompressedVector>(value, record_type)) {
        Ref name = Ref::steal(PyType_GetName(Py_TYPE(value)));
        PyErr_Format(PyExc_TypeError, "records[%s]: expected a CompressedVector; got %S", id->c_str(),
                     name ? name.get() : Py_None);
        return false;
      }
      pairs.emplace_back(std::move(id), unbox<CompressedVector>(value));
      return true;
    });
    if (!ok) return nullptr;
    return run_change(self, [&](CompressedIndex& index) { return index.ingest_records(pairs); });
  });
}

PyObject* backend_from_corpus(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr Signature<1> sig{"CompressedBackend.from_corpus", {"corpus"}};
    Slots<1> s;
    if (!match(sig, args, nargs, kwnames, s)) return nullptr;
    std::shared_ptr<Corpus> corpus = corpus_core_of(s[0]);
    if (!corpus) return arg_error("corpus");
    struct Taken {
      CompressionPolicy policy;
      std::optional<Result<CompressedIndex, CodeSearchError>> index;
      RecordPairs records;
    };
    // Copied under the corpus lock, built outside it.
    Taken taken = [&] {
          ReleasedLock released;
          auto copied = corpus->with_state([](const CorpusState& state) {
            Taken t{state.compression_policy(), std::nullopt, {}};
            if (t.policy == CompressionPolicy::Compress) {
              t.index.emplace(CompressedIndex::make(state.codec_config(), state.codebook()));
              if (*t.index) t.records = state.records();
            }
            return t;
          });
          if (!copied) panic("corpus mutex poisoned");
          Taken t = std::move(*copied);
          if (t.index && *t.index) {
            auto done = (*t.index)->ingest_records(t.records);
            if (!done) t.index.emplace(err(std::move(done).error()));
          }
          return t;
        }();
    if (taken.policy != CompressionPolicy::Compress) {
      PyErr_Format(PyExc_ValueError,
                   "from_corpus needs a corpus with CompressionPolicy.COMPRESS; this one stores %s vectors",
                   taken.policy == CompressionPolicy::Passthrough ? "raw float32" : "float16");
      return nullptr;
    }
    if (!*taken.index) return raise_search_error(taken.index->error());
    return box(cls, std::make_shared<CompressedBackend>(std::move(**taken.index)));
  });
}

PyObject* backend_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    if (state_of(self)->mapped()) return raise_mapped("CompressedBackend.remove");
    static constexpr Signature<1> sig{"CompressedBackend.remove", {"ids"}};
    Slots<1> s;
    if (!match(sig, args, nargs, kwnames, s)) return nullptr;
    std::vector<SharedText> ids;
    if (!read_ids(s[0], "ids", ids)) return nullptr;
    return run_change(self, [&](CompressedIndex& index) -> Result<Unit, CodeSearchError> {
      index.remove(ids);
      return Unit{};
    });
  });
}

PyObject* backend_clear(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    if (state_of(self)->mapped()) return raise_mapped("CompressedBackend.clear");
    return run_change(self, [](CompressedIndex& index) -> Result<Unit, CodeSearchError> {
      index.clear();
      return Unit{};
    });
  });
}

// Reads one fact under the lock.
template <class F>
auto read_state(PyObject* self, F&& f) {
  auto value = state_of(self)->read(f);
  if (!value) panic(kPoisoned);
  return std::move(*value);
}

PyObject* backend_count(PyObject* self, void*) {
  return guard([&] { return from_u64(read_state(self, [](const CompressedIndex& i) { return i.count(); })); });
}
PyObject* backend_memory(PyObject* self, void*) {
  return guard([&] { return from_u64(read_state(self, [](const CompressedIndex& i) { return i.memory_bytes(); })); });
}
PyObject* backend_dimension(PyObject* self, void*) {
  return guard([&] { return from_u64(read_state(self, [](const CompressedIndex& i) { return i.dimension(); })); });
}
PyObject* backend_bit_width(PyObject* self, void*) {
  return guard([&] {
    return from_u64(read_state(self, [](const CompressedIndex& i) { return i.config().bit_width(); }));
  });
}
PyObject* backend_has_residuals(PyObject* self, void*) {
  return guard([&] { return from_bool(read_state(self, [](const CompressedIndex& i) { return i.has_residuals(); })); });
}
PyObject* backend_config(PyObject* self, void*) {
  return guard([&] {
    return box(codec_config_type(), read_state(self, [](const CompressedIndex& i) { return i.config(); }));
  });
}
PyObject* backend_codebook(PyObject* self, void*) {
  return guard([&] {
    return box(codebook_type(), read_state(self, [](const CompressedIndex& i) { return i.codebook(); }));
  });
}

Py_ssize_t backend_len(PyObject* self) {
  return guard([&] {
    return static_cast<Py_ssize_t>(read_state(self, [](const CompressedIndex& i) { return i.count(); }));
  });
}

int backend_contains(PyObject* self, PyObject* key) {
  return guard([&]() -> int {
    if (!PyUnicode_Check(key)) return 0;
    std::string id;
    if (!to_text(key, id)) return -1;
    return read_state(self, [&](const CompressedIndex& i) { return i.contains(id); }) ? 1 : 0;
  });
}

PyObject* backend_repr(PyObject* self) {
  return guard([&] {
    struct Facts {
      std::size_t count, dimension, memory;
      unsigned bits;
      bool residuals;
    };
    const Facts f = read_state(self, [](const CompressedIndex& i) {
      return Facts{i.count(), i.dimension(), i.memory_bytes(), i.config().bit_width(), i.has_residuals()};
    });
    char text[200];
    std::snprintf(text, sizeof text, "CompressedBackend(count=%zu, dimension=%zu, bit_width=%u, residuals=%s, "
                  "memory=%.1f MiB)", f.count, f.dimension, f.bits, f.residuals ? "True" : "False",
                  static_cast<double>(f.memory) / (1 << 20));
    return from_text(text);
  });
}

// search and search_batch share everything but the query's shape.
PyObject* backend_search_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                              bool batch) {
  static constexpr Signature<4> one{"CompressedBackend.search", {"query", "top_k", "rerank", "exact"}, 2, 2};
  static constexpr Signature<4> many{"CompressedBackend.search_batch", {"queries", "top_k", "rerank", "exact"}, 2, 2};
  Slots<4> s;
  if (!match(batch ? many : one, args, nargs, kwnames, s)) return nullptr;
  const std::size_t d = read_state(self, [](const CompressedIndex& i) { return i.dimension(); });
  Matrix queries;
  if (!read_float_rows(s[0], batch ? 2 : 1, d, batch ? "queries" : "query", queries)) return nullptr;
  CodeSearchOptions options;
  if (!to_positive_count(s[1], "top_k", options.top_k)) return nullptr;
  if (s[2] && !to_positive_count(s[2], "rerank", options.rerank)) return nullptr;
  ExactState exact;
  if (s[3] && s[3] != Py_None) {
    auto* held = as<ExactState>(s[3], brute_force_backend_type(), "BruteForceBackend");
    if (!held) {
      PyErr_Clear();
      Ref name = Ref::steal(PyType_GetName(Py_TYPE(s[3])));
      PyErr_Format(PyExc_TypeError, "exact: expected a BruteForceBackend or None; got %S", name ? name.get() : Py_None);
      return nullptr;
    }
    exact = *held;
  }
  options.exact = exact.get();
  return release_and_run(
      [&, state = state_of(self), exact] {
        auto outcome = state->read([&](const CompressedIndex& index) {
          return index.search(queries.data.data(), queries.rows, queries.cols, options);
        });
        if (!outcome) panic(kPoisoned);
        return std::move(*outcome);
      },
      [batch](Result<std::vector<std::vector<SearchResult>>, CodeSearchError> r) -> PyObject* {
        if (!r) return raise_search_error(r.error());
        return new_result_lists(std::move(*r), !batch);
      });
}

PyObject* backend_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] { return backend_search_impl(self, args, nargs, kwnames, false); });
}
PyObject* backend_search_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] { return backend_search_impl(self, args, nargs, kwnames, true); });
}

PyMethodDef backend_methods[] = {
    {"ingest", method(backend_ingest), kFast,
     "ingest($self, vectors)\n--\n\n"
     "Compress and store a mapping of id -> 1-D float array.\n\n"
     "Each vector is compressed by the codec with this backend's configuration\n"
     "and codebook (the same codes as ``Codec().compress``). An id already held\n"
     "is replaced. All or nothing: a bad vector stores none of them."},
    {"ingest_compressed", method(backend_ingest_compressed), kFast,
     "ingest_compressed($self, records)\n--\n\n"
     "Store a mapping of id -> CompressedVector made with this configuration.\n\n"
     "A record of another configuration raises ConfigMismatchError; nothing is\n"
     "stored then."},
    {"from_corpus", method(backend_from_corpus), kFast | METH_CLASS,
     "from_corpus($cls, corpus)\n--\n\n"
     "A backend holding every record of a COMPRESS corpus, without decompressing."},
    {"remove", method(backend_remove), kFast,
     "remove($self, ids)\n--\n\nForget these ids; ids not held are ignored."},
    {"clear", backend_clear, METH_NOARGS, "clear($self)\n--\n\nForget every vector."},
    {"search", method(backend_search), kFast,
     "search($self, query, top_k, *, rerank=0, exact=None)\n--\n\n"
     "The top_k ids nearest the query by cosine similarity, best first.\n\n"
     "The query is rotated by the configuration's matrix rounded to float32\n"
     "(float32 sums in a fixed order), and the codes are scanned with integer\n"
     "tables built for that rotated query q, so scores are the same on every\n"
     "machine. The scan's score differs from the cosine between q and the\n"
     "reconstruction r by at most\n"
     "d * delta / 2 / (|q| |r|) at 2 and 4 bits (delta: the table step,\n"
     "max_i |q_i| * (e_max - e_min) / 255, or / 127 at 2 bits) and\n"
     "d * max|q_i| * max|e| * (1/127 + 1/64516) / (|q| |r|) at 8 bits, plus\n"
     "rounding to float32.\n\n"
     "rerank > 0 scores the best max(top_k, rerank) candidates of the scan again\n"
     "exactly: with the vectors of ``exact`` (a BruteForceBackend holding the same\n"
     "ids; scores then equal its own search's, bit for bit) or, when exact is\n"
     "None, with the records' half-precision residuals. Ties and equal scores\n"
     "are ordered by id, as BruteForceBackend orders them."},
    {"search_batch", method(backend_search_batch), kFast,
     "search_batch($self, queries, top_k, *, rerank=0, exact=None)\n--\n\n"
     "search() for every row of a 2-D array: one result list per row, each equal\n"
     "to search() of that row alone. Each pass over the codes serves many queries."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef backend_getset[] = {
    {"count", backend_count, nullptr, "Number of vectors held.", nullptr},
    {"memory_bytes", backend_memory, nullptr, "Bytes the backend holds: codes, norms, residuals and ids.", nullptr},
    {"dimension", backend_dimension, nullptr, "Length of the vectors, from the configuration.", nullptr},
    {"bit_width", backend_bit_width, nullptr, "Bits per coordinate of the codes.", nullptr},
    {"has_residuals", backend_has_residuals, nullptr, "Whether half-precision residuals are kept.", nullptr},
    {"config", backend_config, nullptr, "The CodecConfig of every code held.", nullptr},
    {"codebook", backend_codebook, nullptr, "The Codebook of every code held.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* compressed_backend_type() {
  static PyObject* type = nullptr;
  return boxed_type<State>(
      type, "zorvex_rs.CompressedBackend",
      {
          {Py_tp_doc, const_cast<char*>(
                          "CompressedBackend(config, codebook)\n--\n\n"
                          "Cosine search over compressed codes of one configuration and codebook.\n\n"
                          "Holds each vector as packed codes (bit_width bits per coordinate) plus one\n"
                          "norm, and answers queries by scanning the codes directly, without\n"
                          "decompressing them. Thread-safe: searches run side by side; changes are\n"
                          "seen whole or not at all.")},
          {Py_tp_new, reinterpret_cast<void*>(backend_new)},
          {Py_tp_methods, backend_methods},
          {Py_tp_getset, backend_getset},
          {Py_tp_repr, reinterpret_cast<void*>(backend_repr)},
          {Py_sq_length, reinterpret_cast<void*>(backend_len)},
          {Py_sq_contains, reinterpret_cast<void*>(backend_contains)},
      });
}

namespace {

// ---- search_batch for the exact backend ---------------------------------------------------

PyObject* exact_search_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr Signature<3> sig{"search_batch", {"backend", "queries", "top_k"}};
    Slots<3> s;
    if (!match(sig, args, nargs, kwnames, s)) return nullptr;
    auto* held = as<ExactState>(s[0], brute_force_backend_type(), "BruteForceBackend");
    if (!held) {
      PyErr_Clear();
      Ref name = Ref::steal(PyType_GetName(Py_TYPE(s[0])));
      PyErr_Format(PyExc_TypeError,
                   "backend: expected a BruteForceBackend (CompressedBackend has its own search_batch); got %S",
                   name ? name.get() : Py_None);
      return nullptr;
    }
    Matrix queries;
    if (!read_float_rows(s[1], 2, 0, "queries", queries)) return nullptr;
    std::uint64_t top_k;
    if (!to_positive_count(s[2], "top_k", top_k)) return nullptr;
    return release_and_run(
        [&, state = *held] {
          auto outcome = state->search_batch(queries.data.data(), queries.rows, queries.cols, top_k);
          if (!outcome) panic(kPoisoned);
          return std::move(*outcome);
        },
        [](Result<std::vector<std::vector<SearchResult>>, BackendError> r) -> PyObject* {
          if (!r) return raise(r.error());
          return new_result_lists(std::move(*r), false);
        });
  });
}

PyMethodDef module_functions[] = {
    {"search_batch", method(exact_search_batch), kFast,
     "search_batch(backend, queries, top_k)\n--\n\n"
     "BruteForceBackend.search for every row of a 2-D float array, in one call.\n\n"
     "Returns one result list per row, each identical (ids, order, score bits) to\n"
     "``backend.search(row, top_k)``: every score is the same sum in the same\n"
     "order, but each stored vector is read once per group of queries instead of\n"
     "once per query. Releases the interpreter lock while it works."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_search_extensions(PyObject* module) {
  PyObject* type = compressed_backend_type();
  if (!type || PyObject_SetAttrString(module, "CompressedBackend", type) < 0) return false;
  return add_functions(module, module_functions);
}

}  // namespace zorvex::py
