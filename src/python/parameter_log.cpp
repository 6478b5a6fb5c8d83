#include "python/parameter_log.hpp"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "python/borrow.hpp"
#include "python/class_support.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/guard.hpp"
#include "python/interrupt.hpp"

namespace qorin::py {

namespace {

struct ParameterLogObject {
  PyObject_HEAD
  SharedParameterLog* storage;
  BorrowFlag flag;
};

ParameterLogObject* obj_of(PyObject* self) { return reinterpret_cast<ParameterLogObject*>(self); }
ParameterLogData& log_of(PyObject* self) { return **obj_of(self)->storage; }

#define QORIN_MUT(self) QORIN_MUT_GUARD(obj_of(self)->flag)
#define QORIN_READ(self) QORIN_READ_GUARD(obj_of(self)->flag)

struct ScalarRow {
  int64_t tick = 0;
  std::string name;
  double old_value = 0.0;
  double new_value = 0.0;
};

// (tick: int, name: str, old: float, new: float) as a tuple or list.
bool scalar_row(PyObject* v, ScalarRow* out) {
  if (!PyTuple_Check(v) && !PyList_Check(v)) {
    PyErr_Format(PyExc_TypeError, "argument 'row': expected a (tick, name, old, new) tuple, got %s",
                 Py_TYPE(v)->tp_name);
    return false;
  }
  // Converting an item may run Python code that changes a list; the items are
  // read from a tuple that holds them.
  Ref seq(sequence_items(v, "expected a (tick, name, old, new) tuple"));
  if (!seq) return false;
  if (PyTuple_GET_SIZE(seq.get()) != 4) {
    PyErr_Format(PyExc_TypeError, "argument 'row': expected 4 items (tick, name, old, new), got %zd",
                 PyTuple_GET_SIZE(seq.get()));
    return false;
  }
  PyObject* t = seq.get();
  ScalarRow row;
  if (!to_i64(PyTuple_GET_ITEM(t, 0), &row.tick)) return false;
  if (!str_arg(PyTuple_GET_ITEM(t, 1), "name", &row.name)) return false;
  if (!to_f64(PyTuple_GET_ITEM(t, 2), &row.old_value)) return false;
  if (!to_f64(PyTuple_GET_ITEM(t, 3), &row.new_value)) return false;
  *out = std::move(row);
  return true;
}

// None, bool, int, float (subclasses included, in this order), else a float64
// array of any shape read in logical order.
bool audit_value(PyObject* v, const char* argname, AuditValue* out) {
  if (v == Py_None) {
    *out = AuditValue::none();
    return true;
  }
  if (PyBool_Check(v)) {
    *out = AuditValue::of(CustomSlot::make_bool(v == Py_True));
    return true;
  }
  if (PyLong_Check(v)) {
    long long x = PyLong_AsLongLong(v);
    if (x == -1 && PyErr_Occurred()) return false;
    *out = AuditValue::of(CustomSlot::make_int(static_cast<int64_t>(x)));
    return true;
  }
  if (PyFloat_Check(v)) {
    *out = AuditValue::of(CustomSlot::make_float(PyFloat_AS_DOUBLE(v)));
    return true;
  }
  if (!PyArray_Check(v) || PyArray_TYPE(reinterpret_cast<PyArrayObject*>(v)) != NPY_DOUBLE) {
    PyErr_Format(PyExc_TypeError,
                 "argument '%s': expected None, bool, int, float or a float64 array, got %s", argname,
                 Py_TYPE(v)->tp_name);
    return false;
  }
  // A C-ordered, aligned, native-byte-order copy holds the logical order.
  Ref c(PyArray_FromAny(v, PyArray_DescrFromType(NPY_DOUBLE), 0, 0,
                        NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED, nullptr));
  if (!c) return false;
  PyArrayObject* a = reinterpret_cast<PyArrayObject*>(c.get());
  const npy_intp n = PyArray_SIZE(a);
  std::vector<double> values(static_cast<size_t>(n));
  if (n > 0) std::memcpy(values.data(), PyArray_DATA(a), static_cast<size_t>(n) * sizeof(double));
  std::vector<size_t> shape;
  for (int k = 0; k < PyArray_NDIM(a); ++k) shape.push_back(static_cast<size_t>(PyArray_DIM(a, k)));
  *out = AuditValue::of(CustomSlot::make_array(std::move(values), std::move(shape)));
  return true;
}

PyObject* audit_to_python(const AuditValue& v) {
  if (!v.value) Py_RETURN_NONE;
  const CustomSlot& s = *v.value;
  switch (s.kind) {
    case CustomSlot::Kind::Bool: return PyBool_FromLong(s.b);
    case CustomSlot::Kind::Int: return PyLong_FromLongLong(s.i);
    case CustomSlot::Kind::Float: return PyFloat_FromDouble(s.f);
    case CustomSlot::Kind::Array: {
      std::vector<npy_intp> shape;
      for (size_t d : s.shape) shape.push_back(static_cast<npy_intp>(d));
      return new_f64_array(s.values.data(), shape);
    }
  }
  Py_RETURN_NONE;
}

// ---- construction ----

PyObject* log_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {nullptr};
  if (!parse_args(args, kwargs, ":ParameterLog", kwlist)) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  obj_of(self)->flag = BorrowFlag{};
  obj_of(self)->storage = new SharedParameterLog(std::make_shared<ParameterLogData>());
  return self;
}

void log_dealloc(PyObject* self) {
  delete obj_of(self)->storage;
  obj_of(self)->storage = nullptr;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// ---- appending ----

PyObject* m_append(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"row", nullptr};
  PyObject* row_obj;
  if (!parse_args(args, kwargs, "O:append", kwlist, &row_obj)) return nullptr;
  QORIN_MUT(self);
  ScalarRow row;
  if (!scalar_row(row_obj, &row)) return nullptr;
  log_of(self).append_change(row.tick, std::move(row.name), row.old_value, row.new_value, "update", 0);
  Py_RETURN_NONE;
}

PyObject* m_append_detail(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"row", "event", "deme", nullptr};
  PyObject *row_obj, *event_obj, *deme_obj;
  if (!parse_args(args, kwargs, "OOO:append_detail", kwlist, &row_obj, &event_obj, &deme_obj)) return nullptr;
  QORIN_MUT(self);
  ScalarRow row;
  std::string event;
  uint64_t deme = 0;
  if (!scalar_row(row_obj, &row) || !str_arg(event_obj, "event", &event) || !to_u64(deme_obj, &deme))
    return nullptr;
  log_of(self).append_change(row.tick, std::move(row.name), row.old_value, row.new_value, std::move(event),
                             deme);
  Py_RETURN_NONE;
}

PyObject* m_append_value(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"tick", "name", "old", "new", "event", "deme", nullptr};
  PyObject *tick_obj, *name_obj, *old_obj, *new_obj, *event_obj, *deme_obj;
  if (!parse_args(args, kwargs, "OOOOOO:append_value", kwlist, &tick_obj, &name_obj, &old_obj, &new_obj,
             &event_obj, &deme_obj))
    return nullptr;
  QORIN_MUT(self);
  int64_t tick = 0;
  std::string name, event;
  AuditValue old_value, new_value;
  uint64_t deme = 0;
  if (!to_i64(tick_obj, &tick) || !str_arg(name_obj, "name", &name) ||
      !audit_value(old_obj, "old", &old_value) || !audit_value(new_obj, "new", &new_value) ||
      !str_arg(event_obj, "event", &event) || !to_u64(deme_obj, &deme))
    return nullptr;
  log_of(self).append_value(tick, std::move(name), std::move(old_value), std::move(new_value),
                            std::move(event), deme);
  Py_RETURN_NONE;
}

// ---- transactions ----

PyObject* m_mark(PyObject* self, PyObject*) {
  QORIN_READ(self);
  return PyLong_FromSize_t(log_of(self).size());
}

PyObject* m_rollback(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"position", nullptr};
  PyObject* pos_obj;
  if (!parse_args(args, kwargs, "O:rollback", kwlist, &pos_obj)) return nullptr;
  QORIN_MUT(self);
  uint64_t position = 0;
  if (!to_u64(pos_obj, &position)) return nullptr;
  const size_t pos = position > SIZE_MAX ? SIZE_MAX : static_cast<size_t>(position);
  Status s = log_of(self).rollback(pos);
  if (!s) return raise(s.error());
  Py_RETURN_NONE;
}

PyObject* m_clear(PyObject* self, PyObject*) {
  QORIN_MUT(self);
  log_of(self).clear();
  Py_RETURN_NONE;
}

// ---- reading (entries are copied under the lock, converted after it) ----

PyObject* m_snapshot(PyObject* self, PyObject*) {
  QORIN_READ(self);
  const std::vector<LogEntry> entries = log_of(self).entries();
  Ref list(PyList_New(static_cast<Py_ssize_t>(entries.size())));
  if (!list) return nullptr;
  SignalCheck signals;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (!signals.step()) return nullptr;
    const LogEntry& e = entries[i];
    PyObject* t = Py_BuildValue("(Ls#dd)", static_cast<long long>(e.tick), e.name.data(),
                                static_cast<Py_ssize_t>(e.name.size()), e.old_value, e.new_value);
    if (!t) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), t);
  }
  return list.release();
}

PyObject* m_details(PyObject* self, PyObject*) {
  QORIN_READ(self);
  const std::vector<LogEntry> entries = log_of(self).entries();
  Ref list(PyList_New(static_cast<Py_ssize_t>(entries.size())));
  if (!list) return nullptr;
  SignalCheck signals;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (!signals.step()) return nullptr;
    const LogEntry& e = entries[i];
    Ref old_v, new_v;
    if (e.typed) {
      old_v = Ref(audit_to_python(e.typed->first));
      new_v = Ref(audit_to_python(e.typed->second));
    } else {
      old_v = Ref(PyFloat_FromDouble(e.old_value));
      new_v = Ref(PyFloat_FromDouble(e.new_value));
    }
    if (!old_v || !new_v) return nullptr;
    PyObject* t = Py_BuildValue("(Ls#Ks#OO)", static_cast<long long>(e.tick), e.name.data(),
                                static_cast<Py_ssize_t>(e.name.size()), static_cast<unsigned long long>(e.deme),
                                e.event.data(), static_cast<Py_ssize_t>(e.event.size()), old_v.get(),
                                new_v.get());
    if (!t) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), t);
  }
  return list.release();
}

PyMethodDef kMethods[] = {
    {"append", QORIN_GUARDED(m_append), METH_VARARGS | METH_KEYWORDS,
     "append($self, row)\n--\n\nAppend the change row = (tick, name, old, new) with event \"update\" "
     "and deme 0, unless old == new."},
    {"append_detail", QORIN_GUARDED(m_append_detail), METH_VARARGS | METH_KEYWORDS,
     "append_detail($self, row, event, deme)\n--\n\nAppend the change row = (tick, name, old, new) "
     "with the given event and deme, unless old == new."},
    {"append_value", QORIN_GUARDED(m_append_value), METH_VARARGS | METH_KEYWORDS,
     "append_value($self, tick, name, old, new, event, deme)\n--\n\nAppend a change between two "
     "typed values (None, bool, int, float or a float64 array), unless they are equal."},
    {"mark", QORIN_GUARDED(m_mark), METH_NOARGS, "mark($self)\n--\n\nThe current number of entries."},
    {"rollback", QORIN_GUARDED(m_rollback), METH_VARARGS | METH_KEYWORDS,
     "rollback($self, position)\n--\n\nRemove every entry from index position on."},
    {"snapshot", QORIN_GUARDED(m_snapshot), METH_NOARGS,
     "snapshot($self)\n--\n\nThe entries as (tick, name, old, new) tuples with float values."},
    {"details", QORIN_GUARDED(m_details), METH_NOARGS,
     "details($self)\n--\n\nThe entries as (tick, name, deme, event, old, new) tuples, typed values "
     "converted back to Python."},
    {"clear", QORIN_GUARDED(m_clear), METH_NOARGS, "clear($self)\n--\n\nRemove all entries."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("ParameterLog()\n--\n\n"
                                  "Native append-only parameter timeline, truncated by checkpoint cursors.")},
    {Py_tp_new, QORIN_GUARDED_SLOT(log_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(log_dealloc)},
    {Py_tp_methods, kMethods},
    {0, nullptr}};

PyType_Spec kSpec = {"qorin._engine_rs.ParameterLog", sizeof(ParameterLogObject), 0, Py_TPFLAGS_DEFAULT,
                     kSlots};

PyObject* type_object() {
  static PyObject* type = nullptr;
  return cached_type(&type, &kSpec);
}

}  // namespace

PyObject* parameter_log_type() {
  PyObject* type = type_object();
  Py_XINCREF(type);
  return type;
}

bool parameter_log_storage(PyObject* obj, const char* argname, SharedParameterLog* out) {
  PyObject* type = type_object();
  if (!type) return false;
  if (!same_class(obj, type, kSpec)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a ParameterLog, got %s", argname,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  *out = *obj_of(obj)->storage;
  return true;
}

}  // namespace qorin::py
