// Python surface of the corpus: CompressionPolicy, VectorEntry, Corpus and the
// four event classes.
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "common/quote_id.hpp"
#include "core/corpus/corpus.hpp"
#include "py/arrays.hpp"
#include "py/bindings.hpp"
#include "py/errors.hpp"
#include "py/types.hpp"

namespace zorvex::py {

namespace {

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

// A new instance of a lazily created type.
template <class T>
PyObject* new_object(PyObject* (*get_type)(), T value) {
  PyObject* type = get_type();
  if (!type) return nullptr;
  return box(type, std::move(value));
}

// ---- CompressionPolicy -------------------------------------------------------

CompressionPolicy& policy_of(PyObject* self) { return unbox<CompressionPolicy>(self); }

PyObject* new_policy(CompressionPolicy p) { return new_object(compression_policy_type, p); }

PyObject* policy_name_get(PyObject* self, void*) { return from_text(policy_name(policy_of(self))); }
PyObject* policy_value_get(PyObject* self, void*) { return from_text(policy_value(policy_of(self))); }

PyObject* policy_requires_codec(PyObject* self, PyObject*) { return from_bool(requires_codec(policy_of(self))); }

PyObject* policy_repr(PyObject* self) {
  return guard([&] { return from_text("CompressionPolicy." + std::string(policy_name(policy_of(self)))); });
}

PyObject* policy_int(PyObject* self) { return from_u64(ordinal(policy_of(self))); }

Py_hash_t policy_hash_slot(PyObject* self) { return static_cast<Py_hash_t>(policy_hash(policy_of(self))); }

// Equal to another policy of the same ordinal, or to anything the interpreter
// reads as that machine integer; everything else is left to the other side.
PyObject* policy_richcompare(PyObject* self, PyObject* other, int op) {
  if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
  long long theirs;
  if (is_instance<CompressionPolicy>(other, compression_policy_type())) {
    theirs = ordinal(policy_of(other));
  } else {
    Ref index = Ref::steal(PyNumber_Index(other));
    if (!index) {
      PyErr_Clear();
      Py_RETURN_NOTIMPLEMENTED;
    }
    theirs = PyLong_AsLongLong(index.get());
    if (theirs == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      Py_RETURN_NOTIMPLEMENTED;
    }
  }
  bool equal = theirs == ordinal(policy_of(self));
  return from_bool(op == Py_EQ ? equal : !equal);
}

PyMethodDef policy_methods[] = {
    {"requires_codec", policy_requires_codec, METH_NOARGS, "requires_codec($self)\n--\n\nTrue only for `COMPRESS`."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef policy_getset[] = {
    {"value", policy_value_get, nullptr, nullptr, nullptr},
    {"name", policy_name_get, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- VectorEntry -------------------------------------------------------------

VectorEntry& entry_of(PyObject* self) { return unbox<VectorEntry>(self); }

PyObject* new_entry(VectorEntry entry) { return new_object(vector_entry_type, std::move(entry)); }

PyObject* entry_vector_id(PyObject* self, void*) { return from_text(entry_of(self).vector_id()); }
PyObject* entry_compressed(PyObject* self, void*) {
  return new_object(compressed_vector_type, entry_of(self).compressed());
}
PyObject* entry_config_hash(PyObject* self, void*) { return from_text(*entry_of(self).config_hash()); }
PyObject* entry_dimension(PyObject* self, void*) { return from_u64(entry_of(self).dimension()); }
PyObject* entry_has_residual(PyObject* self, void*) { return from_bool(entry_of(self).has_residual()); }

PyObject* entry_repr(PyObject* self) {
  return guard([&] { return from_text(entry_of(self).repr()); });
}

PyGetSetDef entry_getset[] = {
    {"vector_id", entry_vector_id, nullptr, nullptr, nullptr},
    {"compressed", entry_compressed, nullptr, nullptr, nullptr},
    {"config_hash", entry_config_hash, nullptr, nullptr, nullptr},
    {"dimension", entry_dimension, nullptr, nullptr, nullptr},
    {"has_residual", entry_has_residual, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- events ------------------------------------------------------------------

// CorpusCreated presents the corpus's own CodecConfig object, not a copy.
struct CreatedObject {
  CorpusCreated event;
  Ref codec_config;
};

std::string_view text_of(const SharedText& id) { return *id; }
std::string_view text_of(const std::string& id) { return id; }

template <class Text>
PyObject* list_of_ids(const std::vector<Text>& ids) {
  std::vector<Ref> items;
  items.reserve(ids.size());
  for (const Text& id : ids) {
    items.push_back(Ref::steal(from_text(text_of(id))));
    if (!items.back()) return nullptr;
  }
  return list_of(std::move(items));
}

template <class Event>
PyObject* event_corpus_id(PyObject* self, void*) {
  return from_text(*unbox<Event>(self).corpus_id);
}
template <class Event>
PyObject* event_timestamp(PyObject* self, void*) {
  return from_i64(unbox<Event>(self).timestamp);
}

PyObject* created_corpus_id(PyObject* self, void*) { return from_text(*unbox<CreatedObject>(self).event.corpus_id); }
PyObject* created_timestamp(PyObject* self, void*) { return from_i64(unbox<CreatedObject>(self).event.timestamp); }
PyObject* created_codec_config(PyObject* self, void*) {
  return Ref::borrow(unbox<CreatedObject>(self).codec_config.get()).release();
}
PyObject* created_policy(PyObject* self, void*) {
  return guard([&] { return new_policy(unbox<CreatedObject>(self).event.compression_policy); });
}

PyObject* inserted_vector_ids(PyObject* self, void*) {
  return guard([&] { return list_of_ids(*unbox<VectorsInserted>(self).vector_ids); });
}
PyObject* inserted_count(PyObject* self, void*) { return from_u64(unbox<VectorsInserted>(self).count); }

PyObject* decompressed_count(PyObject* self, void*) {
  return from_u64(unbox<CorpusDecompressed>(self).vector_count);
}

PyObject* violation_type_get(PyObject* self, void*) {
  return from_text(violation_type_text(unbox<CompressionPolicyViolationDetected>(self).violation_type));
}
PyObject* violation_detail(PyObject* self, void*) {
  return from_text(*unbox<CompressionPolicyViolationDetected>(self).detail);
}

PyGetSetDef created_getset[] = {
    {"corpus_id", created_corpus_id, nullptr, nullptr, nullptr},
    {"codec_config", created_codec_config, nullptr, nullptr, nullptr},
    {"compression_policy", created_policy, nullptr, nullptr, nullptr},
    {"timestamp", created_timestamp, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef inserted_getset[] = {
    {"corpus_id", event_corpus_id<VectorsInserted>, nullptr, nullptr, nullptr},
    {"vector_ids", inserted_vector_ids, nullptr, nullptr, nullptr},
    {"count", inserted_count, nullptr, nullptr, nullptr},
    {"timestamp", event_timestamp<VectorsInserted>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef decompressed_getset[] = {
    {"corpus_id", event_corpus_id<CorpusDecompressed>, nullptr, nullptr, nullptr},
    {"vector_count", decompressed_count, nullptr, nullptr, nullptr},
    {"timestamp", event_timestamp<CorpusDecompressed>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef violation_getset[] = {
    {"corpus_id", event_corpus_id<CompressionPolicyViolationDetected>, nullptr, nullptr, nullptr},
    {"violation_type", violation_type_get, nullptr, nullptr, nullptr},
    {"detail", violation_detail, nullptr, nullptr, nullptr},
    {"timestamp", event_timestamp<CompressionPolicyViolationDetected>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

PyObject* to_python_event(CorpusEvent event, PyObject* codec_config) {
  return std::visit(
      Overloaded{
          [&](CorpusCreated& e) {
            return new_object(corpus_created_type, CreatedObject{std::move(e), Ref::borrow(codec_config)});
          },
          [](VectorsInserted& e) { return new_object(vectors_inserted_type, std::move(e)); },
          [](CorpusDecompressed& e) { return new_object(corpus_decompressed_type, std::move(e)); },
          [](CompressionPolicyViolationDetected& e) { return new_object(policy_violation_type, std::move(e)); },
      },
      event);
}

// ---- Corpus ------------------------------------------------------------------

// The Python Corpus: the shared core block, the very config and codebook
// objects it was built from, and the policy (which never changes, so it is
// read without the lock).
//
// Operations copy what they need under the corpus lock and create Python
// objects only after releasing it: creating objects can run finalizers, which
// may hand the interpreter lock to a thread that would then wait for the
// corpus lock while holding it.
struct CorpusHandle {
  std::shared_ptr<Corpus> core;
  Ref codec_config;
  Ref codebook;
  CompressionPolicy policy;
};

CorpusHandle& handle_of(PyObject* self) { return unbox<CorpusHandle>(self); }

PyObject* poisoned() {
  PyErr_SetString(PyExc_ValueError, "corpus mutex poisoned");
  return nullptr;
}

// Only None is supported as metadata; a dict is refused as not implemented,
// anything else as the wrong type.
bool check_metadata(PyObject* o, const char* unsupported) {
  if (!o || o == Py_None) return true;
  if (PyDict_Check(o)) {
    PyErr_SetString(PyExc_NotImplementedError, unsupported);
    return false;
  }
  raise_cannot_convert(o, "PyDict");
  arg_error("metadata");
  return false;
}

PyObject* key_error(std::string_view id) {
  Ref key = Ref::steal(from_text(quote_id(id)));
  if (key) PyErr_SetObject(PyExc_KeyError, key.get());
  return nullptr;
}

// The single `vector_id` text parameter of the lookups.
bool id_arg(const char* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, std::string& id) {
  const Signature<1> sig{func, {"vector_id"}};
  Slots<1> s;
  if (!match(sig, args, nargs, kwnames, s)) return false;
  if (!to_text(s[0], id)) {
    arg_error("vector_id");
    return false;
  }
  return true;
}

PyObject* corpus_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    static constexpr Signature<5> sig{
        "Corpus.__new__", {"corpus_id", "codec_config", "codebook", "compression_policy", "metadata"}, 4};
    Slots<5> s;
    if (!match(sig, args, kwargs, s)) return nullptr;
    std::string corpus_id;
    if (!to_text(s[0], corpus_id)) return arg_error("corpus_id");
    auto* config = as<CodecConfig>(s[1], codec_config_type(), "CodecConfig");
    if (!config) return arg_error("codec_config");
    auto* codebook = as<Codebook>(s[2], codebook_type(), "Codebook");
    if (!codebook) return arg_error("codebook");
    auto* policy = as<CompressionPolicy>(s[3], compression_policy_type(), "CompressionPolicy");
    if (!policy) return arg_error("compression_policy");
    if (!check_metadata(s[4], "Corpus(metadata=...) is not yet supported in the pyo3 wheel; pass metadata=None or "
                              "omit the kwarg."))
      return nullptr;
    auto core = std::make_shared<Corpus>(make_text(corpus_id), *config, *codebook, *policy);
    return box(reinterpret_cast<PyObject*>(tp),
               CorpusHandle{std::move(core), Ref::borrow(s[1]), Ref::borrow(s[2]), *policy});
  });
}

// A VectorEntry object allocated before the insert it will present, so that
// nothing can fail once the vector is stored. Freed unfilled otherwise.
class EntryObjectSlot {
 public:
  EntryObjectSlot() = default;
  EntryObjectSlot(const EntryObjectSlot&) = delete;
  EntryObjectSlot& operator=(const EntryObjectSlot&) = delete;
  ~EntryObjectSlot() {
    if (!object_) return;
    PyTypeObject* tp = Py_TYPE(object_);
    reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free))(object_);
    Py_DECREF(tp);
  }

  bool allocate() {
    PyObject* type = vector_entry_type();
    if (!type) return false;
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    object_ = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc))(tp, 0);
    return object_ != nullptr;
  }
  PyObject* fill(VectorEntry entry) noexcept {
    new (&unbox<VectorEntry>(object_)) VectorEntry(std::move(entry));
    return std::exchange(object_, nullptr);
  }

 private:
  PyObject* object_ = nullptr;
};

// The corpus lock is held, and the interpreter lock released, for the whole
// check-encode-store; the entry stored is the entry returned, even if another
// thread removes the vector before this one runs again.
PyObject* corpus_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr Signature<3> sig{"Corpus.insert", {"vector_id", "vector", "metadata"}, 2};
    Slots<3> s;
    if (!match(sig, args, nargs, kwnames, s)) return nullptr;
    std::string id;
    if (!to_text(s[0], id)) return arg_error("vector_id");
    ArrayArg vector_arg;
    if (!to_input_vector(s[1], vector_arg)) return arg_error("vector");
    if (!check_metadata(s[2], "Corpus.insert(metadata=...) is not yet supported in the pyo3 wheel; pass "
                              "metadata=None or omit the kwarg."))
      return nullptr;
    std::vector<float> vector;
    if (!read_vector(vector_arg, vector)) return nullptr;
    SharedText vector_id = make_text(id);
    EntryObjectSlot result;
    if (!result.allocate()) return nullptr;
    std::shared_ptr<Corpus> core = handle_of(self).core;
    return release_and_run(
        [&] {
          auto inserted = core->with_state([&](CorpusState& state) { return state.insert(vector_id, vector); });
          if (!inserted) panic("corpus mutex poisoned");
          return std::move(*inserted);
        },
        [&](Result<VectorEntry, CorpusError> inserted) -> PyObject* {
          if (!inserted) return raise(inserted.error());
          return result.fill(std::move(inserted).value());
        });
  });
}

PyObject* corpus_contains(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    std::string id;
    if (!id_arg("Corpus.contains", args, nargs, kwnames, id)) return nullptr;
    auto found = handle_of(self).core->with_state([&](CorpusState& state) { return state.contains(id); });
    if (!found) return poisoned();
    return from_bool(*found);
  });
}

PyObject* corpus_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    std::string id;
    if (!id_arg("Corpus.get", args, nargs, kwnames, id)) return nullptr;
    auto entry = handle_of(self).core->with_state([&](CorpusState& state) { return state.get(id); });
    if (!entry) return poisoned();
    if (!*entry) return key_error(id);
    return new_entry(std::move(**entry));
  });
}

PyObject* corpus_decompress(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    std::string id;
    if (!id_arg("Corpus.decompress", args, nargs, kwnames, id)) return nullptr;
    SharedText vector_id = make_text(id);
    auto values = handle_of(self).core->with_state([&](CorpusState& state) { return state.decompress(vector_id); });
    if (!values) return poisoned();
    if (!*values) return raise(values->error());
    return result_vector(std::move(*values).value());
  });
}

// Decoding and the event happen under the corpus lock, the dict after it.
// The event is recorded once the dict exists: a call that fails to build it
// (out of memory) reports nothing done.
PyObject* corpus_decompress_all(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    const CorpusHandle& handle = handle_of(self);
    auto decoded = handle.core->with_state([](CorpusState& state) { return state.decode_all(); });
    if (!decoded) return poisoned();
    if (!*decoded) return raise(decoded->error());
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (auto& [id, values] : decoded->value()) {
      Ref key = Ref::steal(from_text(id));
      if (!key) return nullptr;
      Ref array = Ref::steal(result_vector(std::move(values)));
      if (!array || PyDict_SetItem(dict.get(), key.get(), array.get()) < 0) return nullptr;
    }
    const std::size_t count = decoded->value().size();
    if (!handle.core->with_state([&](CorpusState& state) { return (state.record_decompressed(count), true); })) {
      return poisoned();
    }
    return dict.release();
  });
}

PyObject* corpus_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    std::string id;
    if (!id_arg("Corpus.remove", args, nargs, kwnames, id)) return nullptr;
    auto removed = handle_of(self).core->with_state([&](CorpusState& state) { return state.remove(id); });
    if (!removed) return poisoned();
    if (!*removed) return key_error(id);
    Py_RETURN_NONE;
  });
}

// The list is complete before any event leaves the pending list, so a failure
// (out of memory) leaves them all pending. Objects are built without the corpus
// lock, so another collector may claim some meanwhile: this call then returns
// only the rest, and claims them only once that shorter list exists too.
PyObject* corpus_pending_events(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    const CorpusHandle& handle = handle_of(self);
    auto snapshot = handle.core->with_state([](CorpusState& state) { return state.snapshot_events(); });
    if (!snapshot) return poisoned();
    std::uint64_t first = snapshot->first;
    std::size_t count = snapshot->events.size();
    std::vector<Ref> items;
    items.reserve(count);
    for (CorpusEvent& event : snapshot->events) {
      items.push_back(Ref::steal(to_python_event(std::move(event), handle.codec_config.get())));
      if (!items.back()) return nullptr;
    }
    Ref list = Ref::steal(list_of(std::move(items)));
    while (list) {
      auto taken = handle.core->with_state([&](CorpusState& state) { return state.claim_events(first, count); });
      if (!taken) return poisoned();
      if (*taken == 0) return list.release();
      first += *taken;
      count -= *taken;
      list = Ref::steal(PyList_GetSlice(list.get(), static_cast<Py_ssize_t>(*taken), PY_SSIZE_T_MAX));
    }
    return nullptr;
  });
}

PyObject* corpus_id_get(PyObject* self, void*) {
  return guard([&]() -> PyObject* {
    auto id = handle_of(self).core->with_state([](CorpusState& state) { return state.corpus_id(); });
    if (!id) return poisoned();
    return from_text(**id);
  });
}
PyObject* corpus_codec_config(PyObject* self, void*) { return Ref(handle_of(self).codec_config).release(); }
PyObject* corpus_codebook(PyObject* self, void*) { return Ref(handle_of(self).codebook).release(); }
PyObject* corpus_policy(PyObject* self, void*) {
  return guard([&] { return new_policy(handle_of(self).policy); });
}
PyObject* corpus_metadata(PyObject*, void*) {
  PyErr_SetString(PyExc_NotImplementedError, "Corpus.metadata is not yet supported in the pyo3 wheel.");
  return nullptr;
}
PyObject* corpus_vector_count(PyObject* self, void*) {
  return guard([&]() -> PyObject* {
    auto n = handle_of(self).core->with_state([](CorpusState& state) { return state.vector_count(); });
    if (!n) return poisoned();
    return from_u64(*n);
  });
}
PyObject* corpus_is_empty(PyObject* self, void*) {
  return guard([&]() -> PyObject* {
    auto n = handle_of(self).core->with_state([](CorpusState& state) { return state.vector_count(); });
    if (!n) return poisoned();
    return from_bool(*n == 0);
  });
}
PyObject* corpus_vector_ids(PyObject* self, void*) {
  return guard([&]() -> PyObject* {
    auto ids = handle_of(self).core->with_state([](CorpusState& state) { return state.vector_ids(); });
    if (!ids) return poisoned();
    Ref list = Ref::steal(list_of_ids(*ids));
    if (!list) return nullptr;
    return PyFrozenSet_New(list.get());
  });
}

PyMethodDef corpus_methods[] = {
    {"pending_events", corpus_pending_events, METH_NOARGS,
     "pending_events($self)\n--\n\nReturn and clear the pending event list."},
    {"insert", method(corpus_insert), kFast, "insert($self, vector_id, vector, metadata=None)\n--\n\n"},
    {"contains", method(corpus_contains), kFast, "contains($self, vector_id)\n--\n\n"},
    {"get", method(corpus_get), kFast, "get($self, vector_id)\n--\n\n"},
    {"decompress", method(corpus_decompress), kFast, "decompress($self, vector_id)\n--\n\n"},
    {"decompress_all", corpus_decompress_all, METH_NOARGS, "decompress_all($self)\n--\n\n"},
    {"remove", method(corpus_remove), kFast, "remove($self, vector_id)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef corpus_getset[] = {
    {"corpus_id", corpus_id_get, nullptr, nullptr, nullptr},
    {"codec_config", corpus_codec_config, nullptr, nullptr, nullptr},
    {"codebook", corpus_codebook, nullptr, nullptr, nullptr},
    {"compression_policy", corpus_policy, nullptr, nullptr, nullptr},
    {"metadata", corpus_metadata, nullptr, nullptr, nullptr},
    {"vector_count", corpus_vector_count, nullptr, nullptr, nullptr},
    {"is_empty", corpus_is_empty, nullptr, nullptr, nullptr},
    {"vector_ids", corpus_vector_ids, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Stores COMPRESS, PASSTHROUGH and FP16 in the class namespace of a freshly
// created, not yet published policy type. Like every class of the module the
// type is immutable to callers, and that flag also refuses the interpreter's
// own type setattr; the limited API cannot set the flag after creation, so the
// members go through the generic setter (a type's instance dict is its
// namespace), followed by the cache invalidation that setattr would do.
bool add_policy_members(PyObject* type) {
  for (CompressionPolicy p : kCompressionPolicies) {
    Ref member = Ref::steal(box(type, p));
    Ref name = Ref::steal(PyUnicode_InternFromString(std::string(policy_name(p)).c_str()));
    if (!member || !name || PyObject_GenericSetAttr(type, name.get(), member.get()) < 0) return false;
  }
  PyType_Modified(reinterpret_cast<PyTypeObject*>(type));
  return true;
}

}  // namespace

PyObject* compression_policy_type() {
  static PyObject* type = nullptr;
  if (type) return type;
  PyObject* fresh = nullptr;  // a private cache: the type is shared only once its members exist
  if (!boxed_type<CompressionPolicy>(
          fresh, "zorvex_rs.CompressionPolicy",
          {
              {Py_tp_doc, const_cast<char*>("Immutable compression policy enum — Python-parity names.")},
              {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
              {Py_tp_methods, policy_methods},
              {Py_tp_getset, policy_getset},
              {Py_tp_repr, reinterpret_cast<void*>(policy_repr)},
              {Py_tp_hash, reinterpret_cast<void*>(policy_hash_slot)},
              {Py_tp_richcompare, reinterpret_cast<void*>(policy_richcompare)},
              {Py_nb_int, reinterpret_cast<void*>(policy_int)},
          }))
    return nullptr;
  Ref owned = Ref::steal(fresh);
  if (!add_policy_members(fresh)) return nullptr;
  if (!type) type = owned.release();  // else a racing creation was published first
  return type;
}

PyObject* vector_entry_type() {
  static PyObject* type = nullptr;
  return boxed_type<VectorEntry>(type, "zorvex_rs.VectorEntry",
                                 {
                                     {Py_tp_doc, const_cast<char*>("Entity representing a stored vector in the corpus.")},
                                     {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
                                     {Py_tp_getset, entry_getset},
                                     {Py_tp_repr, reinterpret_cast<void*>(entry_repr)},
                                 });
}

PyObject* corpus_type() {
  static PyObject* type = nullptr;
  return boxed_type<CorpusHandle>(
      type, "zorvex_rs.Corpus",
      {
          {Py_tp_doc, const_cast<char*>("Corpus(corpus_id, codec_config, codebook, compression_policy, metadata=None)\n"
                                        "--\n\nAggregate root managing a collection of compressed embedding vectors.")},
          {Py_tp_new, reinterpret_cast<void*>(corpus_new)},
          {Py_tp_methods, corpus_methods},
          {Py_tp_getset, corpus_getset},
      });
}

PyObject* corpus_created_type() {
  static PyObject* type = nullptr;
  return boxed_type<CreatedObject>(
      type, "zorvex_rs.CorpusCreated",
      {
          {Py_tp_doc, const_cast<char*>("Python parity for `zorvex_cpu.corpus.events.CorpusCreated`.")},
          {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
          {Py_tp_getset, created_getset},
      });
}

PyObject* vectors_inserted_type() {
  static PyObject* type = nullptr;
  return boxed_type<VectorsInserted>(
      type, "zorvex_rs.VectorsInserted",
      {
          {Py_tp_doc, const_cast<char*>("Python parity for `zorvex_cpu.corpus.events.VectorsInserted`.")},
          {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
          {Py_tp_getset, inserted_getset},
      });
}

PyObject* corpus_decompressed_type() {
  static PyObject* type = nullptr;
  return boxed_type<CorpusDecompressed>(
      type, "zorvex_rs.CorpusDecompressed",
      {
          {Py_tp_doc, const_cast<char*>("Python parity for `zorvex_cpu.corpus.events.CorpusDecompressed`.")},
          {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
          {Py_tp_getset, decompressed_getset},
      });
}

PyObject* policy_violation_type() {
  static PyObject* type = nullptr;
  return boxed_type<CompressionPolicyViolationDetected>(
      type, "zorvex_rs.CompressionPolicyViolationDetected",
      {
          {Py_tp_doc, const_cast<char*>("Python parity for\n"
                                        "`zorvex_cpu.corpus.events.CompressionPolicyViolationDetected`.")},
          {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
          {Py_tp_getset, violation_getset},
      });
}

PyObject* new_corpus_object(std::shared_ptr<Corpus> core, const CodecConfig& config, const Codebook& codebook,
                            CompressionPolicy policy) {
  PyObject* config_type = codec_config_type();
  PyObject* codebook_type_object = codebook_type();
  PyObject* type = corpus_type();
  if (!config_type || !codebook_type_object || !type) return nullptr;
  Ref config_object = Ref::steal(box(config_type, config));
  if (!config_object) return nullptr;
  Ref codebook_object = Ref::steal(box(codebook_type_object, codebook));
  if (!codebook_object) return nullptr;
  return box(type, CorpusHandle{std::move(core), std::move(config_object), std::move(codebook_object), policy});
}

std::shared_ptr<Corpus> corpus_core_of(PyObject* o) {
  CorpusHandle* handle = as<CorpusHandle>(o, corpus_type(), "Corpus");
  return handle ? handle->core : nullptr;
}

}  // namespace zorvex::py
