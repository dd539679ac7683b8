#pragma once
// Heap types of the module's classes: a C++ value boxed after the object
// header, created from specs once per process.
#include <initializer_list>
#include <new>
#include <utility>

#include "py/convert.hpp"

namespace zorvex::py {

template <class T>
struct Boxed {
  PyObject_HEAD
  T value;
};

template <class T>
T& unbox(PyObject* o) {
  return reinterpret_cast<Boxed<T>*>(o)->value;
}

template <class T>
void dealloc_boxed(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  unbox<T>(self).~T();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
  free_fn(self);
  Py_DECREF(tp);
}

// A new instance of `tp` holding `value`; null with MemoryError on failure.
template <class T>
PyObject* box(PyObject* tp, T value) {
  auto* type = reinterpret_cast<PyTypeObject*>(tp);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* o = alloc(type, 0);
  if (!o) return nullptr;
  new (&unbox<T>(o)) T(std::move(value));
  return o;
}

// PyMethodDef entry points of the fast-call kinds.
template <class F>
PyCFunction method(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// tp_new of classes whose instances come only from the module's operations.
PyObject* no_constructor(PyTypeObject* tp, PyObject* args, PyObject* kwargs);

// Creates the type "zorvex_rs.<name>" once; later calls return the same
// borrowed object. `slots` need not include dealloc (added for Boxed<T>).
template <class T>
PyObject* boxed_type(PyObject*& cache, const char* qualified_name, std::initializer_list<PyType_Slot> slots) {
  if (cache) return cache;
  PyType_Slot all[24];
  std::size_t n = 0;
  for (const auto& s : slots) all[n++] = s;
  all[n++] = {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_boxed<T>)};
  all[n] = {0, nullptr};
  PyType_Spec spec{qualified_name, static_cast<int>(sizeof(Boxed<T>)), 0,
                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, all};
  PyObject* t = PyType_FromSpec(&spec);
  if (!t) return nullptr;
  if (cache) {
    Py_DECREF(t);
  } else {
    cache = t;
  }
  return cache;
}

template <class T>
bool is_instance(PyObject* o, PyObject* type) {
  return PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(type));
}

// Receiver or argument of a module class: `o` must be an instance of `type`.
// Returns the boxed value or null with the conversion TypeError set.
template <class T>
T* as(PyObject* o, PyObject* type, const char* class_name) {
  if (!type) return nullptr;
  if (!PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(type))) {
    raise_cannot_convert(o, class_name);
    return nullptr;
  }
  return &unbox<T>(o);
}

// Binding units of zorvex_rs._ext: each adds its names to the module
// (listed in src/py/ext_module.cpp).
bool add_search_extensions(PyObject* module);
bool add_codebook_training(PyObject* module);

}  // namespace zorvex::py
