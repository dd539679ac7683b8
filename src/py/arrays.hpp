#pragma once
// The NumPy boundary: float32 vectors and matrices in (never cast, copied once
// under the interpreter lock), result arrays out (handed over without copying),
// and the one pattern by which an operation releases the interpreter lock.
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "common/shared_text.hpp"
#include "py/convert.hpp"

namespace zorvex::py {

// An array argument whose kind was checked at conversion; it is read (and its
// layout checked) only once all parameters have converted.
struct ArrayArg {
  Ref array;
};

struct Matrix {
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::vector<float> data;  // row-major
};

// Conversion: a 1-D (or 2-D) ndarray of native float32, or a TypeError
// (unwrapped; callers use arg_error).
bool to_input_vector(PyObject* o, ArrayArg& out);
bool to_input_matrix(PyObject* o, ArrayArg& out);

// Reading: contiguity check, then one copy of the elements. NumPy lets float32
// data start at any byte (a buffer viewed at an odd offset, an unpickled
// frame), so the elements are copied as bytes, never loaded through float*.
bool read_vector(const ArrayArg& a, std::vector<float>& out);
bool read_matrix(const ArrayArg& a, Matrix& out);
// Reading without copying; `a` keeps the array alive meanwhile. `data` may be
// misaligned for float: read it with memcpy.
bool view_matrix(const ArrayArg& a, std::size_t& rows, std::size_t& cols, const void*& data);

// The lenient reading of the newer classes: anything NumPy turns into an
// array of a real (float, integer or boolean-free) dtype with `ndim`
// dimensions, cast to float32 once and copied into `out` (row-major; `cols`
// values per row, checked against `want_cols` unless it is 0). Errors say
// what was given and what is wanted: TypeError for the dtype, ValueError for
// the number of dimensions, DimensionMismatchError for the length. `what`
// names the argument in messages.
bool read_float_rows(PyObject* o, int ndim, std::size_t want_cols, const char* what, Matrix& out);

// A dict of text -> input vector, walked in its own order and copied.
bool to_id_mapping(PyObject* o, std::vector<std::pair<SharedText, std::vector<float>>>& out);

// Results. A result vector takes the buffer over: it becomes the array's memory.
PyObject* result_vector(std::vector<float>&& buffer);
// The owner type of result vectors' memory; made once, at import.
PyObject* slice_container_type();
PyObject* copied_array(std::span<const float> values);
PyObject* copied_array(std::span<const std::uint8_t> values);
// A new C-ordered rows x cols float32 array; `fill` receives its data pointer.
template <class Fill>
PyObject* result_matrix(std::size_t rows, std::size_t cols, Fill&& fill);
PyObject* new_float_matrix(std::size_t rows, std::size_t cols, float*& data);

template <class Fill>
PyObject* result_matrix(std::size_t rows, std::size_t cols, Fill&& fill) {
  float* data = nullptr;
  PyObject* m = new_float_matrix(rows, cols, data);
  if (m) fill(data);
  return m;
}

// ---- the interpreter lock ----------------------------------------------

class ReleasedLock {
 public:
  ReleasedLock() : state_(PyEval_SaveThread()) {}
  ~ReleasedLock() { PyEval_RestoreThread(state_); }
  ReleasedLock(const ReleasedLock&) = delete;
  ReleasedLock& operator=(const ReleasedLock&) = delete;

 private:
  PyThreadState* state_;
};

// The fixed pattern of a releasing operation. Callers have converted and
// copied every input and hold counted references to whatever `work` touches;
// `work` runs without the interpreter lock and must not touch Python objects.
// The lock is back before `build` runs, or before a failure propagates.
template <class Work, class Build>
PyObject* release_and_run(Work&& work, Build&& build) {
  auto outcome = [&] {
    ReleasedLock released;
    return work();
  }();
  return build(std::move(outcome));
}

}  // namespace zorvex::py
