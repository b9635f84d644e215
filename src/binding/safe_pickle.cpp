#include "binding/safe_pickle.hpp"

#include "binding/host.hpp"
#include "binding/module.hpp"

namespace qbc {

Ref safe_pickle_load(PyObject* file) {
  // Interim: the host's own loader.
  return call(originals().pickle_load, file);
}

}  // namespace qbc
