// Python surface of the codec: CodecConfig.
#include "core/codec/config.hpp"
#include "py/bindings.hpp"
#include "py/errors.hpp"
#include "py/types.hpp"

namespace zorvex::py {

namespace {

// ---- CodecConfig -----------------------------------------------------------

CodecConfig& config_of(PyObject* self) { return unbox<CodecConfig>(self); }

PyObject* config_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    static constexpr Signature<4> sig{"CodecConfig.__new__", {"bit_width", "seed", "dimension", "residual_enabled"}, 3};
    Slots<4> s;
    if (!match(sig, args, kwargs, s)) return nullptr;
    std::uint8_t bit_width;
    std::uint64_t seed;
    std::uint32_t dimension;
    bool residual = true;
    if (!to_u8(s[0], bit_width)) return arg_error("bit_width");
    if (!to_u64(s[1], seed)) return arg_error("seed");
    if (!to_u32(s[2], dimension)) return arg_error("dimension");
    if (s[3] && !to_bool(s[3], residual)) return arg_error("residual_enabled");
    auto config = CodecConfig::make(bit_width, seed, dimension, residual);
    if (!config) return raise(config.error());
    return box(reinterpret_cast<PyObject*>(tp), std::move(*config));
  });
}

PyObject* config_bit_width(PyObject* self, void*) { return from_u64(config_of(self).bit_width()); }
PyObject* config_seed(PyObject* self, void*) { return from_u64(config_of(self).seed()); }
PyObject* config_dimension(PyObject* self, void*) { return from_u64(config_of(self).dimension()); }
PyObject* config_residual(PyObject* self, void*) { return from_bool(config_of(self).residual_enabled()); }
PyObject* config_entries(PyObject* self, void*) { return from_u64(config_of(self).num_codebook_entries()); }
PyObject* config_hash_text(PyObject* self, void*) { return from_text(*config_of(self).config_hash()); }

PyGetSetDef config_getset[] = {
    {"bit_width", config_bit_width, nullptr, nullptr, nullptr},
    {"seed", config_seed, nullptr, nullptr, nullptr},
    {"dimension", config_dimension, nullptr, nullptr, nullptr},
    {"residual_enabled", config_residual, nullptr, nullptr, nullptr},
    {"num_codebook_entries", config_entries, nullptr, nullptr, nullptr},
    {"config_hash", config_hash_text, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* config_repr(PyObject* self) {
  return guard([&] { return from_text(config_of(self).repr()); });
}

Py_hash_t config_hash(PyObject* self) { return static_cast<Py_hash_t>(config_of(self).stable_hash()); }

PyObject* config_richcompare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || !is_instance<CodecConfig>(other, codec_config_type())) {
    Py_RETURN_NOTIMPLEMENTED;
  }
  bool equal = config_of(self) == config_of(other);
  return from_bool(op == Py_EQ ? equal : !equal);
}

}  // namespace

PyObject* codec_config_type() {
  static PyObject* type = nullptr;
  return boxed_type<CodecConfig>(
      type, "zorvex_rs.CodecConfig",
      {
          {Py_tp_doc, const_cast<char*>("CodecConfig(bit_width, seed, dimension, residual_enabled=True)\n--\n\n"
                                        "Immutable value object describing codec parameters.")},
          {Py_tp_new, reinterpret_cast<void*>(config_new)},
          {Py_tp_getset, config_getset},
          {Py_tp_repr, reinterpret_cast<void*>(config_repr)},
          {Py_tp_hash, reinterpret_cast<void*>(config_hash)},
          {Py_tp_richcompare, reinterpret_cast<void*>(config_richcompare)},
      });
}

}  // namespace zorvex::py
