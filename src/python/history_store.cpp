#include "python/history_store.hpp"

#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/util/format.hpp"
#include "python/borrow.hpp"
#include "python/class_support.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/guard.hpp"
#include "python/interrupt.hpp"
#include "python/parameter_log.hpp"

namespace qorin::py {

namespace {

struct HistoryStoreObject {
  PyObject_HEAD
  SharedHistory* storage;
  BorrowFlag flag;
};

HistoryStoreObject* obj_of(PyObject* self) { return reinterpret_cast<HistoryStoreObject*>(self); }
HistoryData& data_of(PyObject* self) { return **obj_of(self)->storage; }

// The borrow is taken before any argument is converted, so Python code run by
// a conversion (__index__, __float__, a sequence's __getitem__) that calls back
// into the same store meets the re-entrancy rule. The store's lock is taken
// only after every conversion, and no Python code runs while it is held.
#define QORIN_MUT(self) QORIN_MUT_GUARD(obj_of(self)->flag)
#define QORIN_READ(self) QORIN_READ_GUARD(obj_of(self)->flag)

bool dimensions_arg(PyObject* v, std::array<uint64_t, 4>* out) {
  std::vector<uint64_t> dims;
  if (!to_u64_list(v, "dimensions", &dims)) return false;
  if (dims.size() != 4) {
    raise(Error::value("dimensions must hold exactly 4 values (n_demes, n_sexes, n_ages, n_ztypes), got " +
                       format_uint(dims.size())));
    return false;
  }
  *out = {dims[0], dims[1], dims[2], dims[3]};
  return true;
}

bool optional_u64(PyObject* v, std::optional<uint64_t>* out) {
  if (v == nullptr || v == Py_None) {
    *out = std::nullopt;
    return true;
  }
  uint64_t x = 0;
  if (!to_u64(v, &x)) return false;
  *out = x;
  return true;
}

PyObject* optional_to_python(std::optional<uint64_t> v) {
  if (!v) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(*v));
}

// ---- construction ----

PyObject* store_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"width", "dimensions", "raw", "max_rows", nullptr};
  PyObject *width_obj, *dims_obj, *raw_obj, *max_obj = nullptr;
  if (!parse_args(args, kwargs, "OOO|O:HistoryStore", kwlist, &width_obj, &dims_obj, &raw_obj, &max_obj))
    return nullptr;
  uint64_t width = 0;
  std::array<uint64_t, 4> dims{};
  bool raw = false;
  std::optional<uint64_t> max_rows;
  if (!to_u64(width_obj, &width) || !dimensions_arg(dims_obj, &dims) || !to_bool(raw_obj, &raw) ||
      !optional_u64(max_obj, &max_rows))
    return nullptr;
  Result<SharedHistory> made = HistoryData::create(width, dims, raw, max_rows);
  if (!made) return raise(made.error());
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  obj_of(self)->flag = BorrowFlag{};
  obj_of(self)->storage = new SharedHistory(std::move(made).value());
  return self;
}

void store_dealloc(PyObject* self) {
  delete obj_of(self)->storage;
  obj_of(self)->storage = nullptr;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// ---- reading ----

PyObject* m_row(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"tick", nullptr};
  PyObject* tick_obj;
  if (!parse_args(args, kwargs, "O:row", kwlist, &tick_obj)) return nullptr;
  QORIN_READ(self);
  int64_t tick = 0;
  if (!to_i64(tick_obj, &tick)) return nullptr;
  Result<std::vector<double>> row = data_of(self).lock()->row(tick);
  if (!row) return raise(row.error());
  return new_f64_array(row->data(), row->size());
}

PyObject* m_query(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"start", "end", nullptr};
  PyObject *start_obj = nullptr, *end_obj = nullptr;
  if (!parse_args(args, kwargs, "|OO:query", kwlist, &start_obj, &end_obj)) return nullptr;
  QORIN_READ(self);
  uint64_t start = 0;
  std::optional<uint64_t> end;
  if (start_obj && !to_u64(start_obj, &start)) return nullptr;
  if (!optional_u64(end_obj, &end)) return nullptr;
  // The result array is sized under the lock, allocated without it (a failed
  // allocation builds its exception in Python code) and filled in place under
  // it again; the copy polls for Ctrl-C.
  Ref out;
  Status copied = interruptible([&](InterruptPoll& poll) -> Status {
    for (;;) {
      uint64_t n_rows = 0, n_cols = 0;
      {
        auto h = data_of(self).lock();
        Result<uint64_t> e = h->query_end(start, end);
        if (!e) return std::move(e).error();
        n_rows = h->size();
        n_cols = *e - start;
      }
      out = Ref(new_f64_array_for({n_rows, n_cols}, "the queried history rows"));
      if (!out) return Error::callback_pending();
      auto h = data_of(self).lock();
      Result<uint64_t> e = h->query_end(start, end);
      if (!e) return std::move(e).error();
      if (h->size() != n_rows || *e - start != n_cols) continue;  // another thread changed it: size again
      double* dst = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
      return h->copy_columns(start, *e, dst, &poll);
    }
  });
  if (!copied) return raise(copied.error());
  return out.release();
}

PyObject* m_ticks(PyObject* self, PyObject*) {
  QORIN_READ(self);
  const std::vector<int64_t> ticks = data_of(self).lock()->ticks();
  Ref list(PyList_New(static_cast<Py_ssize_t>(ticks.size())));
  if (!list) return nullptr;
  SignalCheck signals;
  for (size_t i = 0; i < ticks.size(); ++i) {
    if (!signals.step()) return nullptr;
    PyObject* t = PyLong_FromLongLong(ticks[i]);
    if (!t) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), t);
  }
  return list.release();
}

PyObject* m_boundaries(PyObject* self, PyObject*) {
  QORIN_READ(self);
  const std::vector<Boundary> bounds = data_of(self).lock()->boundaries();
  Ref list(PyList_New(static_cast<Py_ssize_t>(bounds.size())));
  if (!list) return nullptr;
  SignalCheck signals;
  for (size_t i = 0; i < bounds.size(); ++i) {
    if (!signals.step()) return nullptr;
    const Boundary& b = bounds[i];
    PyObject* t = Py_BuildValue("(LKs#)", static_cast<long long>(b.tick),
                                static_cast<unsigned long long>(b.partial), b.status.data(),
                                static_cast<Py_ssize_t>(b.status.size()));
    if (!t) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), t);
  }
  return list.release();
}

// ---- appending and cutting ----

PyObject* m_append(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"rows", "continuation", nullptr};
  PyObject *rows_obj, *cont_obj = nullptr;
  if (!parse_args(args, kwargs, "O|O:append", kwlist, &rows_obj, &cont_obj)) return nullptr;
  QORIN_MUT(self);
  bool continuation = false;
  if (cont_obj && !to_bool(cont_obj, &continuation)) return nullptr;
  if (!PyArray_Check(rows_obj) || PyArray_TYPE(reinterpret_cast<PyArrayObject*>(rows_obj)) != NPY_DOUBLE) {
    PyErr_Format(PyExc_TypeError, "argument 'rows': expected a float64 array, got %s",
                 PyArray_Check(rows_obj) ? "an array of another dtype" : Py_TYPE(rows_obj)->tp_name);
    return nullptr;
  }
  PyArrayObject* a = reinterpret_cast<PyArrayObject*>(rows_obj);
  const uint64_t width = data_of(self).lock()->width();
  // Rows are (n, width); trailing axes of length 1 add nothing to a row.
  bool shape_ok = PyArray_NDIM(a) >= 2 && static_cast<uint64_t>(PyArray_DIM(a, 1)) == width;
  for (int k = 2; shape_ok && k < PyArray_NDIM(a); ++k) shape_ok = PyArray_DIM(a, k) == 1;
  if (!shape_ok) return raise(Error::value("History row width does not match schema"));
  const size_t n_rows = static_cast<size_t>(PyArray_DIM(a, 0));
  Ref c(PyArray_FromAny(rows_obj, PyArray_DescrFromType(NPY_DOUBLE), 0, 0,
                        NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED, nullptr));
  if (!c) return nullptr;
  PyArrayObject* ca = reinterpret_cast<PyArrayObject*>(c.get());
  const size_t n = static_cast<size_t>(PyArray_SIZE(ca));
  std::span<const double> values(static_cast<const double*>(PyArray_DATA(ca)), n);
  return none_or_raise(data_of(self).lock()->append(values, n_rows, static_cast<size_t>(width), continuation));
}

PyObject* tick_method(PyObject* self, PyObject* args, PyObject* kwargs, const char* format,
                      Status (HistoryState::*op)(int64_t)) {
  static const char* kwlist[] = {"tick", nullptr};
  PyObject* tick_obj;
  if (!parse_args(args, kwargs, format, kwlist, &tick_obj)) return nullptr;
  QORIN_MUT(self);
  int64_t tick = 0;
  if (!to_i64(tick_obj, &tick)) return nullptr;
  auto h = data_of(self).lock();
  return none_or_raise(((*h).*op)(tick));
}

PyObject* m_truncate(PyObject* self, PyObject* args, PyObject* kwargs) {
  return tick_method(self, args, kwargs, "O:truncate", &HistoryState::truncate);
}

PyObject* m_restore_timeline(PyObject* self, PyObject* args, PyObject* kwargs) {
  return tick_method(self, args, kwargs, "O:restore_timeline", &HistoryState::restore_timeline);
}

PyObject* m_clear(PyObject* self, PyObject*) {
  QORIN_MUT(self);
  data_of(self).lock()->clear();
  Py_RETURN_NONE;
}

// ---- observation ----

PyObject* m_observe(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"target", nullptr};
  PyObject* target_obj;
  if (!parse_args(args, kwargs, "O:observe", kwlist, &target_obj)) return nullptr;
  SharedHistory target;
  if (!history_store_storage(target_obj, "target", &target)) return nullptr;
  if (target.get() == obj_of(self)->storage->get()) {
    return raise(Error::value("Observation destination must be independent"));
  }
  QORIN_READ(self);
  MutBorrow target_guard(obj_of(target_obj)->flag);
  if (!target_guard.ok()) return nullptr;
  // Both stores are locked while rows are observed; Ctrl-C is polled between
  // rows, and an observation resumes after the row it reached.
  size_t next_row = 0;
  return none_or_raise(interruptible(
      [&](InterruptPoll& poll) { return data_of(self).observe_into(*target, &poll, &next_row); }));
}

PyObject* m_configure_observation(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"mask", "selected", "collapse_age", "aggregate", nullptr};
  PyObject *mask_obj, *sel_obj, *collapse_obj, *aggregate_obj;
  if (!parse_args(args, kwargs, "OOOO:configure_observation", kwlist, &mask_obj, &sel_obj, &collapse_obj,
             &aggregate_obj))
    return nullptr;
  QORIN_MUT(self);
  std::vector<double> mask;
  std::vector<uint64_t> selected;
  bool collapse_age = false, aggregate = false;
  if (!to_f64_vec(mask_obj, &mask) || !to_u64_list(sel_obj, "selected", &selected) ||
      !to_bool(collapse_obj, &collapse_age) || !to_bool(aggregate_obj, &aggregate))
    return nullptr;
  return none_or_raise(
      data_of(self).lock()->configure_observation(std::move(mask), std::move(selected), collapse_age, aggregate));
}

// ---- logs ----

PyObject* m_bind_log(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"log", nullptr};
  PyObject* log_obj;
  if (!parse_args(args, kwargs, "O:bind_log", kwlist, &log_obj)) return nullptr;
  QORIN_MUT(self);
  SharedParameterLog log;
  if (!parameter_log_storage(log_obj, "log", &log)) return nullptr;
  data_of(self).lock()->bind_log(std::move(log));
  Py_RETURN_NONE;
}

PyObject* m_bind_logs(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"logs", nullptr};
  PyObject* logs_obj;
  if (!parse_args(args, kwargs, "O:bind_logs", kwlist, &logs_obj)) return nullptr;
  QORIN_MUT(self);
  if (PyUnicode_Check(logs_obj) || PyBytes_Check(logs_obj) || !PySequence_Check(logs_obj)) {
    PyErr_Format(PyExc_TypeError, "argument 'logs': expected a sequence of ParameterLog, got %s",
                 Py_TYPE(logs_obj)->tp_name);
    return nullptr;
  }
  Ref seq(sequence_items(logs_obj, "expected a sequence of ParameterLog"));
  if (!seq) return nullptr;
  const Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
  std::vector<SharedParameterLog> logs;
  logs.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    SharedParameterLog log;
    if (!parameter_log_storage(PyTuple_GET_ITEM(seq.get(), i), "logs", &log)) return nullptr;
    logs.push_back(std::move(log));
  }
  data_of(self).lock()->bind_logs(std::move(logs));
  Py_RETURN_NONE;
}

// ---- max_rows ----

PyObject* get_max_rows(PyObject* self, void*) {
  QORIN_READ(self);
  return optional_to_python(data_of(self).lock()->max_rows());
}

int set_max_rows(PyObject* self, PyObject* value, void*) {
  if (value == nullptr) {
    PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
    return -1;
  }
  MutBorrow guard(obj_of(self)->flag);
  if (!guard.ok()) return -1;
  std::optional<uint64_t> m;
  if (!optional_u64(value, &m)) return -1;
  Status s = data_of(self).lock()->set_max_rows(m);
  if (!s) return raise_int(s.error());
  return 0;
}

PyMethodDef kMethods[] = {
    {"row", QORIN_GUARDED(m_row), METH_VARARGS | METH_KEYWORDS,
     "row($self, tick)\n--\n\nA copy of the row recorded at tick."},
    {"query", QORIN_GUARDED(m_query), METH_VARARGS | METH_KEYWORDS,
     "query($self, start=0, end=None)\n--\n\nColumns start .. end-1 of every row, oldest first, as a "
     "two-dimensional array."},
    {"ticks", QORIN_GUARDED(m_ticks), METH_NOARGS, "ticks($self)\n--\n\nThe recorded ticks, oldest first."},
    {"boundaries", QORIN_GUARDED(m_boundaries), METH_NOARGS,
     "boundaries($self)\n--\n\nThe (tick, partial, status) boundary of every row, oldest first."},
    {"append", QORIN_GUARDED(m_append), METH_VARARGS | METH_KEYWORDS,
     "append($self, rows, continuation=False)\n--\n\nAppend a batch of rows (a (n, width) float64 "
     "array), validated as a whole first."},
    {"truncate", QORIN_GUARDED(m_truncate), METH_VARARGS | METH_KEYWORDS,
     "truncate($self, tick)\n--\n\nKeep only the rows with tick <= tick; parameter logs are not "
     "touched."},
    {"restore_timeline", QORIN_GUARDED(m_restore_timeline), METH_VARARGS | METH_KEYWORDS,
     "restore_timeline($self, tick)\n--\n\nCut the rows back to tick and the bound parameter logs "
     "back to their lengths when that tick was recorded."},
    {"clear", QORIN_GUARDED(m_clear), METH_NOARGS, "clear($self)\n--\n\nRemove every row."},
    {"observe", QORIN_GUARDED(m_observe), METH_VARARGS | METH_KEYWORDS,
     "observe($self, target)\n--\n\nRecord the observation of every raw row into another store."},
    {"configure_observation", QORIN_GUARDED(m_configure_observation), METH_VARARGS | METH_KEYWORDS,
     "configure_observation($self, mask, selected, collapse_age, aggregate)\n--\n\nInstall the "
     "observation settings used to record observed rows."},
    {"bind_log", QORIN_GUARDED(m_bind_log), METH_VARARGS | METH_KEYWORDS,
     "bind_log($self, log)\n--\n\nShare the storage of a ParameterLog as the primary log."},
    {"bind_logs", QORIN_GUARDED(m_bind_logs), METH_VARARGS | METH_KEYWORDS,
     "bind_logs($self, logs)\n--\n\nShare the storages of ParameterLogs as the per-deme logs."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef kGetSet[] = {
    {"max_rows", &Guard<get_max_rows>::call, &Guard<set_max_rows>::call,
     "None (unbounded) or the number of newest rows kept.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("HistoryStore(width, dimensions, raw, max_rows=None)\n--\n\n"
                                  "Recorded rows of a run, raw or observed, with parameter-log cursors.")},
    {Py_tp_new, QORIN_GUARDED_SLOT(store_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(store_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr}};

PyType_Spec kSpec = {"qorin._engine_rs.HistoryStore", sizeof(HistoryStoreObject), 0, Py_TPFLAGS_DEFAULT,
                     kSlots};

PyObject* type_object() {
  static PyObject* type = nullptr;
  return cached_type(&type, &kSpec);
}

}  // namespace

PyObject* history_store_type() {
  PyObject* type = type_object();
  Py_XINCREF(type);
  return type;
}

bool history_store_storage(PyObject* obj, const char* argname, SharedHistory* out) {
  PyObject* type = type_object();
  if (!type) return false;
  if (!same_class(obj, type, kSpec)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a HistoryStore, got %s", argname,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  *out = *obj_of(obj)->storage;
  return true;
}

}  // namespace qorin::py
