// Fast paths against straightforward paths: this module's copy of the engine
// core can be switched onto its dense reference paths, and the session
// classes are exposed here so that a test or a benchmark runs a model on this
// copy and on qorin._engine_rs side by side.
#include "core/util/reference_paths.hpp"
#include "python/discrete_session.hpp"
#include "python/engine_session.hpp"
#include "python/guard.hpp"
#include "python/testing.hpp"

namespace qorin::py::testing {

namespace {

PyObject* set_reference_paths_py(PyObject*, PyObject* arg) {
  const int on = PyObject_IsTrue(arg);
  if (on < 0) return nullptr;
  qorin::set_reference_paths(on != 0);
  Py_RETURN_NONE;
}

PyObject* reference_paths_py(PyObject*, PyObject*) { return PyBool_FromLong(qorin::reference_paths()); }

bool add_type(PyObject* module, const char* name, PyObject* (*make_type)()) {
  PyObject* type = make_type();
  if (!type) return false;
  if (PyModule_AddObject(module, name, type) < 0) {
    Py_DECREF(type);
    return false;
  }
  return true;
}

}  // namespace

PyMethodDef kPathMethods[] = {
    {"set_reference_paths", QORIN_GUARDED(set_reference_paths_py), METH_O,
     "set_reference_paths(on)\n--\n\n"
     "Run this module's engine copy on its straightforward dense paths (True) or its fast paths (False)."},
    {"reference_paths", QORIN_GUARDED(reference_paths_py), METH_NOARGS,
     "reference_paths()\n--\n\nWhether this module's engine copy runs on its straightforward paths."},
    {nullptr, nullptr, 0, nullptr}};

bool add_session_types(PyObject* module) {
  return add_type(module, "EngineSession", qorin::py::engine_session_type) &&
         add_type(module, "DiscreteEngineSession", qorin::py::discrete_session_type);
}

}  // namespace qorin::py::testing
