// Module initialisation of qorin._engine_rs: members are added in a fixed order.
#define QORIN_NUMPY_IMPORT
#include "python/np.hpp"
#include "python/discrete_session.hpp"
#include "python/engine_session.hpp"
#include "python/functions.hpp"
#include "python/history_store.hpp"
#include "python/parameter_log.hpp"
#include "python/spatial_session.hpp"

namespace {

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "_engine_rs",
    "Native engine for population-genetic and ecological models.", -1, nullptr,
    nullptr, nullptr, nullptr, nullptr};

bool add_class(PyObject* module, const char* name, PyObject* (*make_type)()) {
  PyObject* type = make_type();
  if (!type) return false;
  if (PyModule_AddObject(module, name, type) < 0) {
    Py_DECREF(type);
    return false;
  }
  return true;
}

bool add_function(PyObject* module, PyMethodDef* def) {
  PyObject* name = PyUnicode_FromString("qorin._engine_rs");
  if (!name) return false;
  PyObject* fn = PyCFunction_NewEx(def, nullptr, name);
  Py_DECREF(name);
  if (!fn) return false;
  if (PyModule_AddObject(module, def->ml_name, fn) < 0) {
    Py_DECREF(fn);
    return false;
  }
  return true;
}

}  // namespace

PyMODINIT_FUNC PyInit__engine_rs(void) {
  import_array();
  PyObject* m = PyModule_Create(&kModuleDef);
  if (!m) return nullptr;
  // Registration order is part of the module's interface; stop at the first failure.
  if (!add_class(m, "HistoryStore", qorin::py::history_store_type) ||
      !add_class(m, "ParameterLog", qorin::py::parameter_log_type) ||
      !add_function(m, &qorin::py::kProjectObservationDef) ||
      !add_class(m, "EngineSession", qorin::py::engine_session_type) ||
      !add_class(m, "DiscreteEngineSession", qorin::py::discrete_session_type) ||
      !add_class(m, "HeterogeneousSpatialEngineSession", qorin::py::spatial_session_type) ||
      !add_function(m, &qorin::py::kEquilibriumMetricsDef) ||
      !add_function(m, &qorin::py::kEquilibriumMetricsFlatDef) ||
      !add_function(m, &qorin::py::kMigrateCsrDeterministicDef) ||
      !add_function(m, &qorin::py::kMigrateCsrStochasticDef) ||
      !add_function(m, &qorin::py::kComputeOffspringTensorDef)) {
    Py_DECREF(m);
    return nullptr;
  }
  return m;
}
