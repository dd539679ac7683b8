#pragma once
// References, argument matching, scalar/text/sequence conversion and the guard
// that every entry point runs inside.
#include <array>
#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/shared_text.hpp"
#include "py/python.hpp"

namespace zorvex::py {

// An owned (strong) reference.
class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* o) { return Ref(o); }
  static Ref borrow(PyObject* o) {
    Py_XINCREF(o);
    return Ref(o);
  }
  Ref(const Ref& o) : p_(o.p_) { Py_XINCREF(p_); }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* o) : p_(o) {}
  PyObject* p_ = nullptr;
};

// ---- argument matching -------------------------------------------------

// Declared parameters of one operation; `func` names it in messages, as
// "Class.method" (constructors: "Class.__new__").
struct Params {
  const char* func;
  const char* const* names;
  std::size_t count;
  std::size_t required;  // the first `required` names have no default
  std::size_t positional;  // the first `positional` names may be given by position; the rest by keyword only
};

template <std::size_t N>
struct Signature {
  const char* func;
  std::array<const char*, N> names;
  std::size_t required = N;
  std::size_t positional = N;
  Params params() const { return {func, names.data(), N, required, positional}; }
};

// One borrowed slot per declared parameter, null for an omitted default.
template <std::size_t N>
using Slots = std::array<PyObject*, N>;

// Vector call with keywords. Returns false with a TypeError set.
bool match_args(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);
// Classic (tuple, dict) call.
bool match_args(const Params& p, PyObject* args, PyObject* kwargs, PyObject** slots);

template <std::size_t N>
bool match(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Slots<N>& slots) {
  return match_args(sig.params(), args, nargs, kwnames, slots.data());
}
template <std::size_t N>
bool match(const Signature<N>& sig, PyObject* args, PyObject* kwargs, Slots<N>& slots) {
  return match_args(sig.params(), args, kwargs, slots.data());
}

// After a failed conversion of declared parameter `name`: a TypeError becomes
// "argument '{name}': {message}" (keeping its cause); anything else stays.
// Always returns null so callers can `return arg_error("x");`.
PyObject* arg_error(const char* name);

// ---- value conversion (false: a Python error is set, unwrapped) ---------

// Python's own "'{type}' object cannot be converted to '{what}'" TypeError.
void raise_cannot_convert(PyObject* o, const char* what);


bool to_text(PyObject* o, std::string& out);
bool to_bool(PyObject* o, bool& out);
bool to_u8(PyObject* o, std::uint8_t& out);
bool to_u32(PyObject* o, std::uint32_t& out);
bool to_u64(PyObject* o, std::uint64_t& out);
bool to_real(PyObject* o, double& out);
bool to_id_sequence(PyObject* o, std::vector<SharedText>& out);

// A sequence argument, item by item: a `str` is refused (it would otherwise
// pass as a sequence of characters), so is anything the interpreter does not
// call a sequence. `item` returns false with an error set to stop. `hint`
// receives the reported length (0 when unknown) before the first item.
template <class Hint, class Item>
bool for_each_in_sequence(PyObject* o, Hint&& hint, Item&& item) {
  if (PyUnicode_Check(o)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(o)) {
    raise_cannot_convert(o, "Sequence");
    return false;
  }
  Py_ssize_t size = PySequence_Size(o);
  if (size < 0) PyErr_Clear();
  hint(size < 0 ? std::size_t{0} : static_cast<std::size_t>(size));
  Ref iter = Ref::steal(PyObject_GetIter(o));
  if (!iter) return false;
  while (Ref next = Ref::steal(PyIter_Next(iter.get()))) {
    if (!item(next.get())) return false;
  }
  return !PyErr_Occurred();
}


// ---- results ------------------------------------------------------------

PyObject* from_text(std::string_view s);
PyObject* from_bool(bool b);
PyObject* from_u64(std::uint64_t v);
PyObject* from_i64(std::int64_t v);
// A list built at its final length; steals each element, null on failure.
PyObject* list_of(std::vector<Ref>&& items);

// ---- the guard ----------------------------------------------------------

// Raises the interpreter's panic exception carrying `message`.
void raise_panic(const char* message);

// Runs one entry point; no C++ exception crosses into the interpreter.
// Memory exhaustion is MemoryError, every other escape a panic.
template <class F>
auto guard(F&& f) noexcept -> decltype(f()) {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("unknown internal failure");
  }
  if constexpr (std::is_pointer_v<decltype(f())>) {
    return nullptr;
  } else {
    return static_cast<decltype(f())>(-1);
  }
}

}  // namespace zorvex::py
