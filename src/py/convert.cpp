#include "py/convert.hpp"

#include <climits>
#include <cstring>

#include "py/errors.hpp"

namespace zorvex::py {

namespace {

const char* plural(std::size_t n) { return n == 1 ? "" : "s"; }

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's listing.
std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2) {
        out += " and ";
      } else {
        out += i + 1 == names.size() ? ", and " : ", ";
      }
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

bool too_many_positional(const Params& p, std::size_t given) {
  std::string takes;
  if (p.required == p.positional) {
    takes = std::to_string(p.positional) + " positional argument" + plural(p.positional);
  } else {
    takes = "from " + std::to_string(p.required) + " to " + std::to_string(p.positional) + " positional arguments";
  }
  PyErr_Format(PyExc_TypeError, "%s() takes %s but %zu %s given", p.func, takes.c_str(), given,
               given == 1 ? "was" : "were");
  return false;
}

// Places keyword `name` (a str) with `value`; false with TypeError set.
bool place_keyword(const Params& p, PyObject* name, PyObject* value, PyObject** slots) {
  for (std::size_t i = 0; i < p.count; ++i) {
    if (PyUnicode_CompareWithASCIIString(name, p.names[i]) == 0) {
      if (slots[i]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", p.func, p.names[i]);
        return false;
      }
      slots[i] = value;
      return true;
    }
  }
  if (PyErr_Occurred()) return false;
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", p.func, name);
  return false;
}

bool check_required(const Params& p, PyObject** slots) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < p.required; ++i) {
    if (!slots[i]) missing.push_back(p.names[i]);
  }
  if (missing.empty()) return true;
  PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", p.func, missing.size(),
               plural(missing.size()), quoted_list(missing).c_str());
  return false;
}

}  // namespace

bool match_args(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
  for (std::size_t i = 0; i < p.count; ++i) slots[i] = nullptr;
  auto npos = static_cast<std::size_t>(nargs);
  if (npos > p.positional) return too_many_positional(p, npos);
  for (std::size_t i = 0; i < npos; ++i) slots[i] = args[i];
  if (kwnames) {
    Py_ssize_t nkw = PyTuple_Size(kwnames);
    if (nkw < 0) return false;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* name = PyTuple_GetItem(kwnames, k);
      if (!name || !place_keyword(p, name, args[nargs + k], slots)) return false;
    }
  }
  return check_required(p, slots);
}

bool match_args(const Params& p, PyObject* args, PyObject* kwargs, PyObject** slots) {
  for (std::size_t i = 0; i < p.count; ++i) slots[i] = nullptr;
  Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs < 0) return false;
  if (static_cast<std::size_t>(nargs) > p.positional) {
    return too_many_positional(p, static_cast<std::size_t>(nargs));
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = PyTuple_GetItem(args, i);
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        PyErr_SetString(PyExc_TypeError, "keywords must be strings");
        return false;
      }
      if (!place_keyword(p, key, value, slots)) return false;
    }
  }
  return check_required(p, slots);
}

PyObject* arg_error(const char* name) {
  PyObject* raised = PyErr_GetRaisedException();
  if (!raised) return nullptr;
  if (Py_TYPE(raised) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(raised);
    return nullptr;
  }
  Ref old = Ref::steal(raised);
  Ref text = Ref::steal(PyObject_Str(old.get()));
  if (!text) return nullptr;
  Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return nullptr;
  Ref wrapped = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!wrapped) return nullptr;
  if (PyObject* cause = PyException_GetCause(old.get())) PyException_SetCause(wrapped.get(), cause);
  PyErr_SetRaisedException(wrapped.release());
  return nullptr;
}

void raise_cannot_convert(PyObject* o, const char* what) {
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(o)));
  if (!name) return;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), what);
}

bool to_text(PyObject* o, std::string& out) {
  if (!PyUnicode_Check(o)) {
    raise_cannot_convert(o, "str");
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(o, &size);
  if (!data) return false;
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

namespace {
// numpy.bool_ without importing NumPy: matched by the type's module and name.
bool is_numpy_bool(PyObject* o) {
  PyTypeObject* tp = Py_TYPE(o);
  Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(tp), "__module__"));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  if (!PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) return false;
  Ref name = Ref::steal(PyType_GetName(tp));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
         PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}
}  // namespace

bool to_bool(PyObject* o, bool& out) {
  if (PyBool_Check(o)) {
    out = o == Py_True;
    return true;
  }
  if (is_numpy_bool(o)) {
    int truth = PyObject_IsTrue(o);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
  }
  raise_cannot_convert(o, "bool");
  return false;
}

namespace {
bool to_bounded(PyObject* o, long long max, long long& out) {
  Ref index = Ref::steal(PyNumber_Index(o));
  if (!index) return false;
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || v < 0 || v > max) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = v;
  return true;
}
}  // namespace

bool to_u8(PyObject* o, std::uint8_t& out) {
  long long v;
  if (!to_bounded(o, 255, v)) return false;
  out = static_cast<std::uint8_t>(v);
  return true;
}

bool to_u32(PyObject* o, std::uint32_t& out) {
  long long v;
  if (!to_bounded(o, 4294967295LL, v)) return false;
  out = static_cast<std::uint32_t>(v);
  return true;
}

bool to_u64(PyObject* o, std::uint64_t& out) {
  Ref index;
  if (!PyLong_Check(o)) {
    index = Ref::steal(PyNumber_Index(o));
    if (!index) return false;
    o = index.get();
  }
  unsigned long long v = PyLong_AsUnsignedLongLong(o);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool to_real(PyObject* o, double& out) {
  double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool to_id_sequence(PyObject* o, std::vector<SharedText>& out) {
  std::vector<SharedText> ids;
  std::string text;
  bool done = for_each_in_sequence(
      o, [&](std::size_t n) { ids.reserve(n); },
      [&](PyObject* item) {
        if (!to_text(item, text)) return false;
        ids.push_back(make_text(text));
        return true;
      });
  if (done) out = std::move(ids);
  return done;
}

PyObject* from_text(std::string_view s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}
PyObject* from_bool(bool b) { return PyBool_FromLong(b ? 1 : 0); }
PyObject* from_u64(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
PyObject* from_i64(std::int64_t v) { return PyLong_FromLongLong(v); }

PyObject* list_of(std::vector<Ref>&& items) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), items[i].release()) < 0) return nullptr;
  }
  return list.release();
}

}  // namespace zorvex::py
