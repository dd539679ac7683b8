// Python surface of search over compressed codes: CompressedBackend and
// search_batch, in zorvex_rs._ext.
#include "py/bindings.hpp"
#include "py/types.hpp"

namespace zorvex::py {

bool add_search_extensions(PyObject*) { return true; }

}  // namespace zorvex::py
