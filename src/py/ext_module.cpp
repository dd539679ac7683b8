// zorvex_rs._ext: classes and functions added after the first release. They
// live in a module of their own so that `_core`'s namespaces stay as they
// were; the pure-Python package re-exports them where users look for them.
#include <initializer_list>

#include "py/bindings.hpp"
#include "py/convert.hpp"
#include "py/types.hpp"

namespace zorvex::py {

PyObject* make_ext_module() {
  PyObject* module = PyImport_AddModule("zorvex_rs._ext");  // borrowed, kept by sys.modules
  if (!module) return nullptr;
  // One entry per binding unit; each adds its names to the module.
  for (bool (*add)(PyObject*) : {add_search_extensions, add_codebook_training, add_collection_files}) {
    if (!add(module)) return nullptr;
  }
  return module;
}

}  // namespace zorvex::py
