#pragma once
// The one way into the interpreter's headers: stable ABI of 3.12.
#ifndef Py_LIMITED_API
#error "the extension is built against the stable ABI (Py_LIMITED_API)"
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
