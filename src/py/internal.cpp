// zorvex_rs._internal: home of PanicException, and hooks that let the tests
// drive the entry-point guard. Not part of the public namespaces.
#include <new>
#include <string>

#include "common/result.hpp"
#include "core/codec/codebook_kernels.hpp"
#include "core/codec/rotation_apply.hpp"
#include "py/bindings.hpp"
#include "py/convert.hpp"
#include "py/errors.hpp"
#include "py/types.hpp"

namespace zorvex::py {

namespace {

PyObject* provoke_panic(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr Signature<1> sig{"_internal.provoke_panic", {"message"}};
    Slots<1> s;
    if (!match(sig, args, nargs, kwnames, s)) return nullptr;
    std::string message;
    if (!to_text(s[0], message)) return arg_error("message");
    panic(message);
  });
}

PyObject* provoke_memory_error(PyObject*, PyObject*) {
  return guard([]() -> PyObject* { throw std::bad_alloc(); });
}

// The instruction-set forms this process chose, for benchmark reports.
PyObject* kernel_forms(PyObject*, PyObject*) {
  return guard([]() -> PyObject* {
    Ref forms = Ref::steal(PyDict_New());
    if (!forms) return nullptr;
    const std::pair<const char*, const char*> entries[] = {
        {"rotation", detail::rotation_kernel_name(detail::rotation_kernel_active())},
        {"quantize", detail::codebook_kernel_name(detail::codebook_kernel_active())},
    };
    for (const auto& [what, name] : entries) {
      Ref text = Ref::steal(from_text(name));
      if (!text || PyDict_SetItemString(forms.get(), what, text.get()) < 0) return nullptr;
    }
    return forms.release();
  });
}

PyMethodDef internal_methods[] = {
    {"kernel_forms", kernel_forms, METH_NOARGS, "kernel_forms()\n--\n\nThe instruction-set form of each kernel."},
    {"provoke_panic", method(provoke_panic),
     METH_FASTCALL | METH_KEYWORDS, "provoke_panic(message)\n--\n\nFail an internal check with `message`."},
    {"provoke_memory_error", provoke_memory_error, METH_NOARGS,
     "provoke_memory_error()\n--\n\nFail an allocation inside an operation."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_functions(PyObject* module, PyMethodDef* defs) {
  Ref name = Ref::steal(PyModule_GetNameObject(module));
  if (!name) return false;
  for (PyMethodDef* def = defs; def->ml_name; ++def) {
    Ref fn = Ref::steal(PyCMethod_New(def, module, name.get(), nullptr));
    if (!fn || PyObject_SetAttrString(module, def->ml_name, fn.get()) < 0) return false;
  }
  return true;
}

PyObject* make_internal_module() {
  PyObject* module = PyImport_AddModule("zorvex_rs._internal");  // borrowed, kept by sys.modules
  if (!module) return nullptr;
  PyObject* panic_type = panic_exception();
  if (PyObject_SetAttrString(module, "PanicException", panic_type) < 0) return nullptr;
  if (!add_functions(module, internal_methods)) return nullptr;
  return module;
}

}  // namespace zorvex::py
