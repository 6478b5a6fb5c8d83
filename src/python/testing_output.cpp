// Test hooks for the output storages: the native operations the sessions use
// on a bound history and parameter log, reached without a session.
#include <string>
#include <utility>
#include <vector>

#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/history_store.hpp"
#include "python/parameter_log.hpp"
#include "python/testing.hpp"
#include "python/guard.hpp"

namespace qorin::py::testing {

namespace {

bool storage(PyObject* obj, SharedHistory* out) { return history_store_storage(obj, "store", out); }

// history_record(store, tick, ind, sperm, continuation) -> whether a row was added
PyObject* history_record(PyObject*, PyObject* args) {
  PyObject *store, *tick_obj, *ind_obj, *sperm_obj, *cont_obj;
  if (!PyArg_ParseTuple(args, "OOOOO:history_record", &store, &tick_obj, &ind_obj, &sperm_obj, &cont_obj))
    return nullptr;
  SharedHistory h;
  int64_t tick = 0;
  std::vector<double> ind, sperm;
  bool continuation = false;
  if (!storage(store, &h) || !to_i64(tick_obj, &tick) || !arg_f64_1d(ind_obj, "ind", &ind) ||
      !arg_f64_1d(sperm_obj, "sperm", &sperm) || !to_bool(cont_obj, &continuation))
    return nullptr;
  Result<bool> added = h->lock()->record(tick, ind, sperm, continuation);
  if (!added) return raise(added.error());
  return PyBool_FromLong(*added);
}

// history_append_row(store, row, continuation) -> whether a row was added
PyObject* history_append_row(PyObject*, PyObject* args) {
  PyObject *store, *row_obj, *cont_obj;
  if (!PyArg_ParseTuple(args, "OOO:history_append_row", &store, &row_obj, &cont_obj)) return nullptr;
  SharedHistory h;
  std::vector<double> row;
  bool continuation = false;
  if (!storage(store, &h) || !arg_f64_1d(row_obj, "row", &row) || !to_bool(cont_obj, &continuation))
    return nullptr;
  Result<bool> added = h->lock()->append_row(row, continuation);
  if (!added) return raise(added.error());
  return PyBool_FromLong(*added);
}

// history_stamp(store, partial, status): a session's boundary stamp on the newest row
PyObject* history_stamp(PyObject*, PyObject* args) {
  PyObject* store;
  unsigned long long partial = 0;
  const char* status = nullptr;
  if (!PyArg_ParseTuple(args, "OKs:history_stamp", &store, &partial, &status)) return nullptr;
  SharedHistory h;
  if (!storage(store, &h)) return nullptr;
  Status s = h->lock()->set_newest_boundary(partial, status);
  if (!s) return raise(s.error());
  Py_RETURN_NONE;
}

// history_cursors(store) -> [[primary, deme...] per row]
PyObject* history_cursors(PyObject*, PyObject* args) {
  PyObject* store;
  if (!PyArg_ParseTuple(args, "O:history_cursors", &store)) return nullptr;
  SharedHistory h;
  if (!storage(store, &h)) return nullptr;
  std::vector<std::vector<uint64_t>> cursors;
  {
    auto locked = h->lock();
    for (size_t i = 0; i < locked->size(); ++i) cursors.push_back(locked->cursor_at(i));
  }
  Ref list(PyList_New(0));
  if (!list) return nullptr;
  for (const auto& c : cursors) {
    Ref inner(PyList_New(0));
    if (!inner) return nullptr;
    for (uint64_t x : c) {
      Ref v(PyLong_FromUnsignedLongLong(x));
      if (!v || PyList_Append(inner.get(), v.get()) < 0) return nullptr;
    }
    if (PyList_Append(list.get(), inner.get()) < 0) return nullptr;
  }
  return list.release();
}

// history_allocated_bytes(store) -> bytes held by rows and bookkeeping
PyObject* history_allocated_bytes(PyObject*, PyObject* args) {
  PyObject* store;
  if (!PyArg_ParseTuple(args, "O:history_allocated_bytes", &store)) return nullptr;
  SharedHistory h;
  if (!storage(store, &h)) return nullptr;
  return PyLong_FromSize_t(h->lock()->allocated_bytes());
}

// history_flat_rows(store) -> (1-D array of all rows, n_rows)
PyObject* history_flat_rows(PyObject*, PyObject* args) {
  PyObject* store;
  if (!PyArg_ParseTuple(args, "O:history_flat_rows", &store)) return nullptr;
  SharedHistory h;
  if (!storage(store, &h)) return nullptr;
  auto [values, n] = h->lock()->flat_rows();
  Ref arr(new_f64_array(values.data(), values.size()));
  if (!arr) return nullptr;
  return Py_BuildValue("(On)", arr.get(), static_cast<Py_ssize_t>(n));
}

// history_configure_observation_slice(store, mask) -> new width
PyObject* history_configure_observation_slice(PyObject*, PyObject* args) {
  PyObject *store, *mask_obj;
  if (!PyArg_ParseTuple(args, "OO:history_configure_observation_slice", &store, &mask_obj)) return nullptr;
  SharedHistory h;
  std::vector<double> mask;
  if (!storage(store, &h) || !to_f64_vec(mask_obj, &mask)) return nullptr;
  auto locked = h->lock();
  Status s = locked->configure_observation_slice(std::move(mask));
  if (!s) return raise(s.error());
  return PyLong_FromUnsignedLongLong(locked->width());
}

// log_push_stage(log, tick, name, old, new, stage_code, deme): a journal row
// routed into a log the way a session drains it.
PyObject* log_push_stage(PyObject*, PyObject* args) {
  PyObject* log_obj;
  long long tick = 0, stage = 0;
  const char* name = nullptr;
  double old_value = 0.0, new_value = 0.0;
  unsigned long long deme = 0;
  if (!PyArg_ParseTuple(args, "OLsddLK:log_push_stage", &log_obj, &tick, &name, &old_value, &new_value,
                        &stage, &deme))
    return nullptr;
  SharedParameterLog log;
  if (!parameter_log_storage(log_obj, "log", &log)) return nullptr;
  LogEntry e;
  e.tick = tick;
  e.name = name;
  e.old_value = old_value;
  e.new_value = new_value;
  e.event = stage_event_label(stage);
  e.deme = deme;
  log->push(std::move(e));
  Py_RETURN_NONE;
}

}  // namespace

PyMethodDef kOutputMethods[] = {
    {"history_record", QORIN_GUARDED(history_record), METH_VARARGS, nullptr},
    {"history_append_row", QORIN_GUARDED(history_append_row), METH_VARARGS, nullptr},
    {"history_stamp", QORIN_GUARDED(history_stamp), METH_VARARGS, nullptr},
    {"history_cursors", QORIN_GUARDED(history_cursors), METH_VARARGS, nullptr},
    {"history_allocated_bytes", QORIN_GUARDED(history_allocated_bytes), METH_VARARGS, nullptr},
    {"history_flat_rows", QORIN_GUARDED(history_flat_rows), METH_VARARGS, nullptr},
    {"history_configure_observation_slice", QORIN_GUARDED(history_configure_observation_slice), METH_VARARGS, nullptr},
    {"log_push_stage", QORIN_GUARDED(log_push_stage), METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace qorin::py::testing
