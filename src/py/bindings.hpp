#pragma once
// Type objects of every class, created on first use and kept for the life of
// the process. Each returns a borrowed reference, or null with an error set.
#include "py/python.hpp"

namespace zorvex::py {

// codec
PyObject* codec_config_type();

// Internal hooks of the module's own tests; they live beside the panic type,
// outside the public namespaces.
PyObject* make_internal_module();

}  // namespace zorvex::py
