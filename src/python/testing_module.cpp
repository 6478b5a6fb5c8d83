// qorin._engine_testing: internal hooks into the engine core for the test suite.
#include <initializer_list>

#define QORIN_NUMPY_IMPORT
#include "python/np.hpp"
#include "python/spatial_session.hpp"
#include "python/testing.hpp"

namespace {
PyModuleDef kTestingDef = {PyModuleDef_HEAD_INIT, "_engine_testing",
                           "Internal test hooks of the qorin engine (not part of the public API).", -1,
                           nullptr, nullptr, nullptr, nullptr, nullptr};
}  // namespace

PyMODINIT_FUNC PyInit__engine_testing(void) {
  import_array();
  PyObject* m = PyModule_Create(&kTestingDef);
  if (!m) return nullptr;
  using namespace qorin::py::testing;
  PyMethodDef* tables[] = {
      kBoundaryMethods,
      kRngMethods,
      kKernelMethods,
      kContractsMethods,
      kHookMethods,
      kOutputMethods,
      kAllocMethods,
      kPoolMethods,
      kMigrationMethods,
      kDiscreteMethods,
      kPathMethods,
      kSpatialMethods,
  };
  for (PyMethodDef* table : tables) {
    if (PyModule_AddFunctions(m, table) < 0) {
      Py_DECREF(m);
      return nullptr;
    }
  }
  if (!add_boundary_types(m) || !add_session_types(m)) {
    Py_DECREF(m);
    return nullptr;
  }
  // The spatial session built against this module's own worker pool, so that
  // tests can change its thread count (set_worker_threads) and compare.
  PyObject* spatial = qorin::py::spatial_session_type();
  if (!spatial || PyModule_AddObject(m, "HeterogeneousSpatialEngineSession", spatial) < 0) {
    Py_XDECREF(spatial);
    Py_DECREF(m);
    return nullptr;
  }
  return m;
}
