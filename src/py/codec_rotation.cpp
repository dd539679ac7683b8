// Python surface of RotationMatrix.
#include <bit>
#include <cstring>

#include "core/codec/config.hpp"
#include "core/codec/rotation_matrix.hpp"
#include "py/arrays.hpp"
#include "py/bindings.hpp"
#include "py/errors.hpp"
#include "py/types.hpp"

namespace zorvex::py {

namespace {

static_assert(std::endian::native == std::endian::little, "matrix bytes are exported in memory order");

RotationMatrix& rotation_of(PyObject* self) { return unbox<RotationMatrix>(self); }

PyObject* wrap(PyObject* cls, RotationMatrix m) { return box(cls, std::move(m)); }

PyObject* from_config(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr Signature<1> sig{"RotationMatrix.from_config", {"config"}};
    Slots<1> s;
    if (!match(sig, args, nargs, kwnames, s)) return nullptr;
    auto* config = as<CodecConfig>(s[0], codec_config_type(), "CodecConfig");
    if (!config) return arg_error("config");
    return wrap(cls, RotationMatrix::get(config->seed(), config->dimension()));
  });
}

PyObject* from_seed_and_dim(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr Signature<2> sig{"RotationMatrix.from_seed_and_dim", {"seed", "dimension"}};
    Slots<2> s;
    if (!match(sig, args, nargs, kwnames, s)) return nullptr;
    std::uint64_t seed;
    std::uint32_t dimension;
    if (!to_u64(s[0], seed)) return arg_error("seed");
    if (!to_u32(s[1], dimension)) return arg_error("dimension");
    if (dimension == 0) {
      PyErr_SetString(PyExc_ValueError, "dimension must be > 0");
      return nullptr;
    }
    if (dimension > kMaxDimension) return raise(CodecError::dimension_too_large(dimension, kMaxDimension));
    return wrap(cls, RotationMatrix::get(seed, dimension));
  });
}

PyObject* matrix_f64_bytes(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    const RotationMatrix& m = rotation_of(self);
    std::size_t n = std::size_t{m.dimension()} * m.dimension() * sizeof(double);
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n)));
    if (!bytes) return nullptr;
    std::memcpy(PyBytes_AsString(bytes.get()), m.data(), n);
    return bytes.release();
  });
}

template <bool Inverse>
PyObject* apply_vector(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr Signature<1> sig{Inverse ? "RotationMatrix.apply_inverse" : "RotationMatrix.apply",
                                      {"vector"}};
    Slots<1> s;
    if (!match(sig, args, nargs, kwnames, s)) return nullptr;
    ArrayArg vector;
    if (!to_input_vector(s[0], vector)) return arg_error("vector");
    std::vector<float> input;
    if (!read_vector(vector, input)) return nullptr;
    const RotationMatrix& m = rotation_of(self);
    if (input.size() != m.dimension()) {
      return PyErr_Format(PyExc_ValueError, "vector dimension must be %u, got %zu", m.dimension(), input.size());
    }
    std::vector<float> output(m.dimension());
    auto done = Inverse ? m.apply_inverse(input, output) : m.apply(input, output);
    if (!done) return raise(done.error());
    return result_vector(std::move(output));
  });
}

PyObject* rotation_seed(PyObject* self, void*) { return from_u64(rotation_of(self).seed()); }
PyObject* rotation_dimension(PyObject* self, void*) { return from_u64(rotation_of(self).dimension()); }

PyMethodDef rotation_methods[] = {
    {"from_config", method(from_config), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_config($cls, config)\n--\n\nBuild (or fetch from cache) a rotation matrix from the given config."},
    {"from_seed_and_dim", method(from_seed_and_dim), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_seed_and_dim($cls, seed, dimension)\n--\n\n"
     "Build a rotation matrix directly from `(seed, dimension)`, bypassing `CodecConfig`.\n"
     "\n"
     "Rotation generation depends only on `(seed, dimension)`; `bit_width` is\n"
     "irrelevant. This constructor is used by the Python canonical bridge\n"
     "(`_install_canonical_rotation`) to avoid embedding a spurious `bit_width`\n"
     "in the call."},
    {"matrix_f64_bytes", matrix_f64_bytes, METH_NOARGS,
     "matrix_f64_bytes($self)\n--\n\n"
     "Return the raw row-major `f64` bytes of the rotation matrix.\n"
     "\n"
     "Values are little-endian IEEE-754 doubles. Length is `dimension * dimension * 8`.\n"
     "Used by the Python canonical bridge to reconstruct a bit-identical matrix\n"
     "in the Python reference without re-running QR."},
    {"apply", method(apply_vector<false>), METH_FASTCALL | METH_KEYWORDS, "apply($self, vector)\n--\n\n"},
    {"apply_inverse", method(apply_vector<true>), METH_FASTCALL | METH_KEYWORDS,
     "apply_inverse($self, vector)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef rotation_getset[] = {
    {"seed", rotation_seed, nullptr, nullptr, nullptr},
    {"dimension", rotation_dimension, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* rotation_matrix_type() {
  static PyObject* type = nullptr;
  return boxed_type<RotationMatrix>(
      type, "zorvex_rs.RotationMatrix",
      {
          {Py_tp_doc, const_cast<char*>("Deterministic orthogonal rotation matrix for vector preconditioning.")},
          {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
          {Py_tp_methods, rotation_methods},
          {Py_tp_getset, rotation_getset},
      });
}

}  // namespace zorvex::py
