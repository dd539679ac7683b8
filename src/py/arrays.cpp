#include "py/arrays.hpp"

#include <cstring>
#include <memory>
#include <string>

#include "common/result.hpp"
#include "py/errors.hpp"
#include "py/types.hpp"

// The API table is ours alone: fetched below from NumPy's capsule instead of
// NumPy's import_array, so that the module chosen follows NumPy's major version.
#include <numpy/arrayobject.h>

namespace zorvex::py {

namespace {

void fetch_numpy_api() {
  auto fail = [] {
    PyErr_Clear();
    panic("Failed to access NumPy array API capsule");
  };
  Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
  if (!numpy) fail();
  Ref version = Ref::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
  std::string text;
  if (!version || !to_text(version.get(), text)) fail();
  const char* module = std::atoi(text.c_str()) >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
  Ref multiarray = Ref::steal(PyImport_ImportModule(module));
  if (!multiarray) fail();
  Ref capsule = Ref::steal(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
  if (!capsule || !PyCapsule_CheckExact(capsule.get())) fail();
  auto api = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
  if (!api) fail();
  PyArray_API = api;
  if (PyArray_GetNDArrayCVersion() > NPY_VERSION ||
      static_cast<unsigned>(PyArray_GetNDArrayCFeatureVersion()) < NPY_FEATURE_VERSION) {
    PyArray_API = nullptr;
    panic("Failed to access NumPy array API capsule");
  }
#if NPY_ABI_VERSION >= 0x02000000
  PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
#endif
}

// Once per process, under the interpreter lock.
void numpy_api() {
  if (!PyArray_API) fetch_numpy_api();
}

bool is_float32_array(PyObject* o, int ndim) {
  numpy_api();
  if (!PyArray_Check(o)) return false;
  auto* arr = reinterpret_cast<PyArrayObject*>(o);
  if (PyArray_NDIM(arr) != ndim) return false;
  PyArray_Descr* f32 = PyArray_DescrFromType(NPY_FLOAT32);
  bool equivalent = PyArray_EquivTypes(PyArray_DESCR(arr), f32);
  Py_DECREF(f32);
  return equivalent;
}

PyArrayObject* arr(const ArrayArg& a) { return reinterpret_cast<PyArrayObject*>(a.array.get()); }

// Holds a result vector's buffer; the one owner after hand-over.
struct SliceBuffer {
  std::unique_ptr<std::vector<float>> buffer;
};

}  // namespace

PyObject* slice_container_type() {
  static PyObject* type = nullptr;
  return boxed_type<SliceBuffer>(type, "zorvex_rs.PySliceContainer",
                                 {{Py_tp_doc, const_cast<char*>("Owner of a result vector's memory.")}});
}

bool to_input_vector(PyObject* o, ArrayArg& out) {
  if (!is_float32_array(o, 1)) {
    raise_cannot_convert(o, "numpy.ndarray[float32, 1-D]");
    return false;
  }
  out.array = Ref::borrow(o);
  return true;
}

bool to_input_matrix(PyObject* o, ArrayArg& out) {
  if (!is_float32_array(o, 2)) {
    raise_cannot_convert(o, "numpy.ndarray[float32, 2-D]");
    return false;
  }
  out.array = Ref::borrow(o);
  return true;
}

bool read_vector(const ArrayArg& a, std::vector<float>& out) {
  PyArrayObject* array = arr(a);
  if (!PyArray_IS_C_CONTIGUOUS(array) && !PyArray_IS_F_CONTIGUOUS(array)) {
    PyErr_SetString(PyExc_ValueError, "numpy slice unavailable: The given array is not contiguous");
    return false;
  }
  out.resize(static_cast<std::size_t>(PyArray_DIM(array, 0)));
  if (!out.empty()) std::memcpy(out.data(), PyArray_DATA(array), out.size() * sizeof(float));
  return true;
}

bool view_matrix(const ArrayArg& a, std::size_t& rows, std::size_t& cols, const void*& data) {
  PyArrayObject* array = arr(a);
  if (!PyArray_IS_C_CONTIGUOUS(array)) {
    PyErr_SetString(PyExc_ValueError, "input matrix must be C-contiguous float32");
    return false;
  }
  rows = static_cast<std::size_t>(PyArray_DIM(array, 0));
  cols = static_cast<std::size_t>(PyArray_DIM(array, 1));
  data = PyArray_DATA(array);
  return true;
}

bool read_matrix(const ArrayArg& a, Matrix& out) {
  const void* data;
  if (!view_matrix(a, out.rows, out.cols, data)) return false;
  out.data.resize(out.rows * out.cols);
  if (!out.data.empty()) std::memcpy(out.data.data(), data, out.data.size() * sizeof(float));
  return true;
}

namespace {

// "2-D float64 array of shape (3, 768)"
std::string describe(PyArrayObject* a) {
  std::string shape = "(";
  for (int i = 0; i < PyArray_NDIM(a); ++i) {
    if (i > 0) shape += ", ";
    shape += std::to_string(PyArray_DIM(a, i));
  }
  if (PyArray_NDIM(a) == 1) shape += ",";
  shape += ")";
  // Named from the descriptor's fields: str(dtype) would run NumPy's Python
  // code on every refusal.
  const std::string bits = std::to_string(8 * PyArray_ITEMSIZE(a));
  std::string dtype;
  switch (PyArray_DESCR(a)->kind) {
    case 'f': dtype = "float" + bits; break;
    case 'i': dtype = "int" + bits; break;
    case 'u': dtype = "uint" + bits; break;
    case 'c': dtype = "complex" + bits; break;
    case 'b': dtype = "bool"; break;
    case 'U': dtype = "str"; break;
    case 'S': dtype = "bytes"; break;
    case 'O': dtype = "object"; break;
    default: dtype = std::string("kind '") + PyArray_DESCR(a)->kind + "'"; break;
  }
  return std::to_string(PyArray_NDIM(a)) + "-D " + dtype + " array of shape " + shape;
}

std::string wanted(int ndim, std::size_t cols) {
  const std::string n = cols ? std::to_string(cols) : std::string("d");
  return ndim == 1 ? "a 1-D array of " + n + " floats" : "a 2-D array of shape (rows, " + n + ")";
}

}  // namespace

bool read_float_rows(PyObject* o, int ndim, std::size_t want_cols, const char* what, Matrix& out) {
  numpy_api();
  Ref any = Ref::steal(PyArray_FromAny(o, nullptr, 0, 0, 0, nullptr));
  if (!any) {
    if (!PyErr_ExceptionMatches(PyExc_MemoryError)) {
      PyErr_Clear();
      Ref name = Ref::steal(PyType_GetName(Py_TYPE(o)));
      PyErr_Format(PyExc_TypeError, "%s: expected %s; got %S, which is not an array", what,
                   wanted(ndim, want_cols).c_str(), name ? name.get() : Py_None);
    }
    return false;
  }
  auto* a = reinterpret_cast<PyArrayObject*>(any.get());
  const char kind = PyArray_DESCR(a)->kind;
  if (kind != 'f' && kind != 'i' && kind != 'u') {
    PyErr_Format(PyExc_TypeError, "%s: expected %s of a real dtype; got a %s", what, wanted(ndim, want_cols).c_str(),
                 describe(a).c_str());
    return false;
  }
  if (PyArray_NDIM(a) != ndim) {
    PyErr_Format(PyExc_ValueError, "%s: expected %s; got a %s", what, wanted(ndim, want_cols).c_str(),
                 describe(a).c_str());
    return false;
  }
  const auto cols = static_cast<std::size_t>(PyArray_DIM(a, ndim - 1));
  if (want_cols && cols != want_cols) {
    PyErr_Format(dimension_mismatch_error(), "%s: expected %s; got a %s", what, wanted(ndim, want_cols).c_str(),
                 describe(a).c_str());
    return false;
  }
  Ref f32 = Ref::steal(PyArray_FromAny(any.get(), PyArray_DescrFromType(NPY_FLOAT32), ndim, ndim,
                                       NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST, nullptr));
  if (!f32) return false;
  auto* c = reinterpret_cast<PyArrayObject*>(f32.get());
  out.rows = ndim == 1 ? 1 : static_cast<std::size_t>(PyArray_DIM(c, 0));
  out.cols = cols;
  out.data.resize(out.rows * out.cols);
  if (!out.data.empty()) std::memcpy(out.data.data(), PyArray_DATA(c), out.data.size() * sizeof(float));
  return true;
}

bool to_id_mapping(PyObject* o, std::vector<std::pair<SharedText, std::vector<float>>>& out) {
  if (!PyDict_Check(o)) {
    raise_cannot_convert(o, "dict");
    return false;
  }
  std::vector<std::pair<SharedText, std::vector<float>>> pairs;
  pairs.reserve(static_cast<std::size_t>(PyDict_Size(o)));
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  std::string id;
  while (PyDict_Next(o, &pos, &key, &value)) {
    ArrayArg vector;
    std::vector<float> values;
    if (!to_text(key, id) || !to_input_vector(value, vector) || !read_vector(vector, values)) return false;
    pairs.emplace_back(make_text(id), std::move(values));
  }
  out = std::move(pairs);
  return true;
}

PyObject* result_vector(std::vector<float>&& buffer) {
  numpy_api();
  PyObject* type = slice_container_type();  // made at import, so this only reads it
  if (!type) {
    PyErr_Clear();
    panic("Failed to create slice container");
  }
  auto owned = std::make_unique<std::vector<float>>(std::move(buffer));
  npy_intp dims[1] = {static_cast<npy_intp>(owned->size())};
  npy_intp strides[1] = {sizeof(float)};
  float* data = owned->data();
  // From here on the container alone frees the buffer, whatever happens.
  Ref container = Ref::steal(box(type, SliceBuffer{std::move(owned)}));
  if (!container) {
    // Running out of memory is reported as such, like every other allocation.
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) return nullptr;
    PyErr_Clear();
    panic("Failed to create slice container");
  }
  Ref array = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_FLOAT32), 1, dims, strides,
                                              data, NPY_ARRAY_WRITEABLE, nullptr));
  if (!array) return nullptr;
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), container.release()) < 0) return nullptr;
  return array.release();
}

namespace {
template <class T>
PyObject* copy_into_new(std::span<const T> values, int type_num) {
  numpy_api();
  npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
  PyObject* a = PyArray_SimpleNew(1, dims, type_num);
  if (a && !values.empty()) {
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a)), values.data(), values.size_bytes());
  }
  return a;
}
}  // namespace

PyObject* copied_array(std::span<const float> values) { return copy_into_new(values, NPY_FLOAT32); }
PyObject* copied_array(std::span<const std::uint8_t> values) { return copy_into_new(values, NPY_UINT8); }

PyObject* new_float_matrix(std::size_t rows, std::size_t cols, float*& data) {
  numpy_api();
  npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
  PyObject* m = PyArray_SimpleNew(2, dims, NPY_FLOAT32);
  if (m) data = static_cast<float*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(m)));
  return m;
}

}  // namespace zorvex::py
