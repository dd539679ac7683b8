#include "py/types.hpp"

namespace zorvex::py {

PyObject* no_constructor(PyTypeObject* tp, PyObject*, PyObject*) {
  Ref name = Ref::steal(PyType_GetName(tp));
  if (name) PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
  return nullptr;
}

}  // namespace zorvex::py
