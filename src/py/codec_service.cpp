// Python surface of Codebook, CompressedVector, Codec and the module-level
// compress/decompress.
#include <cstring>

#include "core/codec/batch.hpp"
#include "core/codec/rotation_matrix.hpp"
#include "core/codec/service.hpp"
#include "io/compressed_vector/pack.hpp"
#include "io/compressed_vector/unpack.hpp"
#include "py/arrays.hpp"
#include "py/bindings.hpp"
#include "py/errors.hpp"
#include "py/types.hpp"

namespace zorvex::py {

namespace {

struct Stateless {};

PyObject* new_record(CompressedVector record) { return box(compressed_vector_type(), std::move(record)); }

bool to_config(PyObject* o, CodecConfig*& out) {
  out = as<CodecConfig>(o, codec_config_type(), "CodecConfig");
  if (!out) arg_error("config");
  return out != nullptr;
}

bool to_codebook(PyObject* o, Codebook*& out) {
  out = as<Codebook>(o, codebook_type(), "Codebook");
  if (!out) arg_error("codebook");
  return out != nullptr;
}

// Training copies the sample, widened, while the caller's array can still be
// read safely; the sort and the quantiles run without the interpreter lock.
PyObject* train(const ArrayArg& matrix, const CodecConfig& config) {
  std::size_t rows, cols;
  const void* data;
  if (!view_matrix(matrix, rows, cols, data)) return nullptr;
  std::vector<double> values(rows * cols);
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (std::size_t i = 0; i < values.size(); ++i) {
    float v;
    std::memcpy(&v, bytes + i * sizeof v, sizeof v);
    values[i] = v;
  }
  std::uint8_t bit_width = config.bit_width();
  return release_and_run([&] { return Codebook::train(std::move(values), bit_width); },
                         [&](Result<Codebook, CodecError> result) -> PyObject* {
                           if (!result) return raise(result.error());
                           return box(codebook_type(), std::move(result).value());
                         });
}

// ---- Codebook ----------------------------------------------------------------

Codebook& codebook_of(PyObject* self) { return unbox<Codebook>(self); }

PyObject* codebook_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    static constexpr Signature<2> sig{"Codebook.__new__", {"entries", "bit_width"}};
    Slots<2> s;
    if (!match(sig, args, kwargs, s)) return nullptr;
    ArrayArg entries_arg;
    std::uint8_t bit_width;
    if (!to_input_vector(s[0], entries_arg)) return arg_error("entries");
    if (!to_u8(s[1], bit_width)) return arg_error("bit_width");
    std::vector<float> entries;
    if (!read_vector(entries_arg, entries)) return nullptr;
    auto codebook = Codebook::make(entries, bit_width);
    if (!codebook) return raise(codebook.error());
    return box(codebook_type(), std::move(codebook).value());
  });
}

PyObject* codebook_train(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr Signature<2> sig{"Codebook.train", {"vectors", "config"}};
    Slots<2> s;
    if (!match(sig, args, nargs, kwnames, s)) return nullptr;
    ArrayArg matrix;
    if (!to_input_matrix(s[0], matrix)) return arg_error("vectors");
    CodecConfig* config;
    if (!to_config(s[1], config)) return nullptr;
    return train(matrix, *config);
  });
}

PyObject* codebook_entries(PyObject* self, void*) {
  return guard([&] { return copied_array(codebook_of(self).entries()); });
}
PyObject* codebook_bit_width(PyObject* self, void*) { return from_u64(codebook_of(self).bit_width()); }
PyObject* codebook_num_entries(PyObject* self, void*) { return from_u64(codebook_of(self).num_entries()); }

PyMethodDef codebook_methods[] = {
    {"train", method(codebook_train), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "train($cls, vectors, config)\n--\n\nTrain a codebook from representative FP32 vectors."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef codebook_getset[] = {
    {"entries", codebook_entries, nullptr, nullptr, nullptr},
    {"bit_width", codebook_bit_width, nullptr, nullptr, nullptr},
    {"num_entries", codebook_num_entries, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- CompressedVector --------------------------------------------------------

CompressedVector& record_of(PyObject* self) { return unbox<CompressedVector>(self); }

PyObject* record_indices(PyObject* self, void*) {
  return guard([&] { return copied_array(std::span<const std::uint8_t>(record_of(self).indices())); });
}
PyObject* record_residual(PyObject* self, void*) {
  const SharedBytes& residual = record_of(self).residual();
  if (!residual) Py_RETURN_NONE;
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(residual.data()),
                                   static_cast<Py_ssize_t>(residual.size()));
}
PyObject* record_config_hash(PyObject* self, void*) { return from_text(*record_of(self).config_hash()); }
PyObject* record_dimension(PyObject* self, void*) { return from_u64(record_of(self).dimension()); }
PyObject* record_bit_width(PyObject* self, void*) { return from_u64(record_of(self).bit_width()); }
PyObject* record_has_residual(PyObject* self, void*) { return from_bool(record_of(self).has_residual()); }
PyObject* record_size_bytes(PyObject* self, void*) { return from_u64(record_of(self).size_bytes()); }

PyObject* record_to_bytes(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    std::vector<std::uint8_t> bytes = encode(record_of(self));
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                     static_cast<Py_ssize_t>(bytes.size()));
  });
}

PyObject* record_from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr Signature<1> sig{"CompressedVector.from_bytes", {"data"}};
    Slots<1> s;
    if (!match(sig, args, nargs, kwnames, s)) return nullptr;
    if (!PyBytes_Check(s[0])) {
      raise_cannot_convert(s[0], "PyBytes");
      return arg_error("data");
    }
    char* data;
    Py_ssize_t size;
    if (PyBytes_AsStringAndSize(s[0], &data, &size) < 0) return nullptr;
    auto record = decode(std::span(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)));
    if (!record) return raise(record.error());
    return new_record(std::move(record).value());
  });
}

PyMethodDef record_methods[] = {
    {"to_bytes", record_to_bytes, METH_NOARGS, "to_bytes($self)\n--\n\nSerialize to compact binary form."},
    {"from_bytes", method(record_from_bytes), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_bytes($cls, data)\n--\n\nDeserialize from compact binary form."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef record_getset[] = {
    {"indices", record_indices, nullptr, nullptr, nullptr},
    {"residual", record_residual, nullptr, nullptr, nullptr},
    {"config_hash", record_config_hash, nullptr, nullptr, nullptr},
    {"dimension", record_dimension, nullptr, nullptr, nullptr},
    {"bit_width", record_bit_width, nullptr, nullptr, nullptr},
    {"has_residual", record_has_residual, nullptr, nullptr, nullptr},
    {"size_bytes", record_size_bytes, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- Codec -------------------------------------------------------------------

PyObject* codec_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    static constexpr Signature<0> sig{"Codec.__new__", {}};
    Slots<0> s;
    if (!match(sig, args, kwargs, s)) return nullptr;
    return box(reinterpret_cast<PyObject*>(tp), Stateless{});
  });
}

PyObject* do_compress(const char* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const Signature<3> sig{func, {"vector", "config", "codebook"}};
  Slots<3> s;
  if (!match(sig, args, nargs, kwnames, s)) return nullptr;
  ArrayArg vector_arg;
  CodecConfig* config;
  Codebook* codebook;
  if (!to_input_vector(s[0], vector_arg)) return arg_error("vector");
  if (!to_config(s[1], config) || !to_codebook(s[2], codebook)) return nullptr;
  std::vector<float> vector;
  if (!read_vector(vector_arg, vector)) return nullptr;
  return release_and_run([&, cfg = *config, cb = *codebook] { return compress(vector, cfg, cb); },
                         [](Result<CompressedVector, CodecError> r) -> PyObject* {
                           if (!r) return raise(r.error());
                           return new_record(std::move(r).value());
                         });
}

PyObject* do_decompress(const char* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const Signature<3> sig{func, {"compressed", "config", "codebook"}};
  Slots<3> s;
  if (!match(sig, args, nargs, kwnames, s)) return nullptr;
  CompressedVector* record = as<CompressedVector>(s[0], compressed_vector_type(), "CompressedVector");
  if (!record) return arg_error("compressed");
  CodecConfig* config;
  Codebook* codebook;
  if (!to_config(s[1], config) || !to_codebook(s[2], codebook)) return nullptr;
  std::vector<float> output(config->dimension());
  return release_and_run(
      [&, rec = *record, cfg = *config, cb = *codebook] { return decompress(rec, cfg, cb, output); },
      [&](Result<Unit, CodecError> r) -> PyObject* {
        if (!r) return raise(r.error());
        return result_vector(std::move(output));
      });
}

PyObject* codec_compress(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] { return do_compress("Codec.compress", args, nargs, kwnames); });
}
PyObject* codec_decompress(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] { return do_decompress("Codec.decompress", args, nargs, kwnames); });
}
PyObject* module_compress(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] { return do_compress("compress", args, nargs, kwnames); });
}
PyObject* module_decompress(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] { return do_decompress("decompress", args, nargs, kwnames); });
}

PyObject* codec_compress_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr Signature<3> sig{"Codec.compress_batch", {"vectors", "config", "codebook"}};
    Slots<3> s;
    if (!match(sig, args, nargs, kwnames, s)) return nullptr;
    ArrayArg matrix_arg;
    CodecConfig* config;
    Codebook* codebook;
    if (!to_input_matrix(s[0], matrix_arg)) return arg_error("vectors");
    if (!to_config(s[1], config) || !to_codebook(s[2], codebook)) return nullptr;
    Matrix matrix;
    if (!read_matrix(matrix_arg, matrix)) return nullptr;
    return release_and_run(
        [&, cfg = *config, cb = *codebook] {
          return compress_batch(matrix.data.data(), matrix.rows, matrix.cols, cfg, cb);
        },
        [](Result<std::vector<CompressedVector>, CodecError> r) -> PyObject* {
          if (!r) return raise(r.error());
          std::vector<Ref> items;
          items.reserve(r->size());
          for (auto& record : *r) {
            items.push_back(Ref::steal(new_record(std::move(record))));
            if (!items.back()) return nullptr;
          }
          return list_of(std::move(items));
        });
  });
}

// The records of a sequence, shared, in order.
bool to_record_sequence(PyObject* o, std::vector<CompressedVector>& out) {
  PyObject* type = compressed_vector_type();
  return for_each_in_sequence(
      o, [&](std::size_t n) { out.reserve(n); },
      [&](PyObject* item) {
        CompressedVector* record = as<CompressedVector>(item, type, "CompressedVector");
        if (record) out.push_back(*record);
        return record != nullptr;
      });
}

PyObject* codec_decompress_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr Signature<3> sig{"Codec.decompress_batch", {"compressed", "config", "codebook"}};
    Slots<3> s;
    if (!match(sig, args, nargs, kwnames, s)) return nullptr;
    std::vector<CompressedVector> records;
    if (!to_record_sequence(s[0], records)) return arg_error("compressed");
    CodecConfig* config;
    Codebook* codebook;
    if (!to_config(s[1], config) || !to_codebook(s[2], codebook)) return nullptr;
    if (codebook->bit_width() != config->bit_width()) {
      return raise(CodecError::codebook_incompatible(config->bit_width(), codebook->bit_width()));
    }
    const std::size_t d = config->dimension();
    const std::size_t cols = records.empty() ? 0 : d;
    // The rows are written straight into the NumPy array, which nobody else
    // can see before it is returned.
    float* data = nullptr;
    Ref out = Ref::steal(new_float_matrix(records.size(), cols, data));
    if (!out) return nullptr;
    return release_and_run(
        [&, cfg = *config, cb = *codebook] {
          return decompress_batch(records, cfg, cb, std::span(data, records.size() * cols));
        },
        [&](Result<Unit, CodecError> r) -> PyObject* {
          if (!r) return raise(r.error());
          return out.release();
        });
  });
}

PyObject* codec_build_codebook(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr Signature<2> sig{"Codec.build_codebook", {"training_vectors", "config"}};
    Slots<2> s;
    if (!match(sig, args, nargs, kwnames, s)) return nullptr;
    ArrayArg matrix;
    if (!to_input_matrix(s[0], matrix)) return arg_error("training_vectors");
    CodecConfig* config;
    if (!to_config(s[1], config)) return nullptr;
    return train(matrix, *config);
  });
}

PyObject* codec_build_rotation(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr Signature<1> sig{"Codec.build_rotation", {"config"}};
    Slots<1> s;
    if (!match(sig, args, nargs, kwnames, s)) return nullptr;
    CodecConfig* config;
    if (!to_config(s[0], config)) return nullptr;
    return box(rotation_matrix_type(), RotationMatrix::get(config->seed(), config->dimension()));
  });
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef codec_methods[] = {
    {"compress", method(codec_compress), kFast, "compress($self, vector, config, codebook)\n--\n\n"},
    {"decompress", method(codec_decompress), kFast, "decompress($self, compressed, config, codebook)\n--\n\n"},
    {"compress_batch", method(codec_compress_batch), kFast, "compress_batch($self, vectors, config, codebook)\n--\n\n"},
    {"decompress_batch", method(codec_decompress_batch), kFast,
     "decompress_batch($self, compressed, config, codebook)\n--\n\n"},
    {"build_codebook", method(codec_build_codebook), kFast, "build_codebook($self, training_vectors, config)\n--\n\n"},
    {"build_rotation", method(codec_build_rotation), kFast, "build_rotation($self, config)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef module_compress_def = {
    "compress", method(module_compress), kFast,
    "compress(vector, config, codebook)\n--\n\nModule-level convenience — equivalent to `Codec().compress(...)`."};
PyMethodDef module_decompress_def = {
    "decompress", method(module_decompress), kFast,
    "decompress(compressed, config, codebook)\n--\n\n"
    "Module-level convenience — equivalent to `Codec().decompress(...)`."};

}  // namespace

PyObject* codebook_type() {
  static PyObject* type = nullptr;
  return boxed_type<Codebook>(
      type, "zorvex_rs.Codebook",
      {
          {Py_tp_doc, const_cast<char*>("Codebook(entries, bit_width)\n--\n\n"
                                        "Immutable lookup table mapping quantized indices to float32 values.")},
          {Py_tp_new, reinterpret_cast<void*>(codebook_new)},
          {Py_tp_methods, codebook_methods},
          {Py_tp_getset, codebook_getset},
      });
}

PyObject* compressed_vector_type() {
  static PyObject* type = nullptr;
  return boxed_type<CompressedVector>(
      type, "zorvex_rs.CompressedVector",
      {
          {Py_tp_doc, const_cast<char*>("Immutable output of a codec compression pass.")},
          {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
          {Py_tp_methods, record_methods},
          {Py_tp_getset, record_getset},
      });
}

PyObject* codec_type() {
  static PyObject* type = nullptr;
  return boxed_type<Stateless>(
      type, "zorvex_rs.Codec",
      {
          {Py_tp_doc, const_cast<char*>("Codec()\n--\n\nStateless codec service — wraps `zorvex_core::codec::Codec`.")},
          {Py_tp_new, reinterpret_cast<void*>(codec_new)},
          {Py_tp_methods, codec_methods},
      });
}

namespace {
// Bound to `module` like the interpreter's own module functions: `__self__` is
// the module and `__module__` its name.
PyObject* module_function(PyMethodDef* def, PyObject* module) {
  Ref name = Ref::steal(PyModule_GetNameObject(module));
  if (!name) return nullptr;
  return PyCMethod_New(def, module, name.get(), nullptr);
}
}  // namespace

PyObject* new_compress_function(PyObject* module) { return module_function(&module_compress_def, module); }
PyObject* new_decompress_function(PyObject* module) { return module_function(&module_decompress_def, module); }

}  // namespace zorvex::py
