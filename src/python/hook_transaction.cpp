#include "python/hook_transaction.hpp"

#include <cmath>
#include <string>
#include <utility>

#include "python/borrow.hpp"
#include "python/class_support.hpp"
#include "python/guard.hpp"
#include "python/contracts.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"

namespace qorin::py {

namespace {

struct TransactionObject {
  PyObject_HEAD
  TransactionData* data;
  BorrowFlag flag;
};

TransactionObject* obj_of(PyObject* self) { return reinterpret_cast<TransactionObject*>(self); }

// Every method works only while its callback runs.
bool check_active(PyObject* self) {
  if (obj_of(self)->data->active) return true;
  PyErr_SetString(PyExc_RuntimeError, "Hook context has expired");
  return false;
}

#define QORIN_TXN_MUT(self)                 \
  QORIN_MUT_GUARD(obj_of(self)->flag);      \
  if (!check_active(self)) return nullptr
#define QORIN_TXN_READ(self)                \
  QORIN_READ_GUARD(obj_of(self)->flag);     \
  if (!check_active(self)) return nullptr

const char* const kBadState = "Hook state must preserve shape and contain finite nonnegative counts";

PyObject* invalid_sample() {
  PyErr_SetString(PyExc_ValueError, "invalid distribution or sampling arguments");
  return nullptr;
}

bool integral(double x) { return std::trunc(x) == x; }

// ---- methods ----

PyObject* m_state_arrays(PyObject* self, PyObject*) {
  QORIN_TXN_MUT(self);
  TransactionData& d = *obj_of(self)->data;
  if (!d.ind_array) {
    Ref ind(new_f64_array(d.ind.data(), d.ind.size()));
    Ref sperm(new_f64_array(d.sperm.data(), d.sperm.size()));
    if (!ind || !sperm) return nullptr;
    d.ind_array = ind.release();
    d.sperm_array = sperm.release();
  }
  return PyTuple_Pack(2, d.ind_array, d.sperm_array);
}

PyObject* m_validate_state(PyObject* self, PyObject*) {
  QORIN_TXN_READ(self);
  const TransactionData& d = *obj_of(self)->data;
  if (!d.ind_array) Py_RETURN_NONE;
  std::vector<double> ind(d.ind.size()), sperm(d.sperm.size());
  if (!read_back_state(d.ind_array, ind) || !read_back_state(d.sperm_array, sperm)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* m_ecology(PyObject* self, PyObject*) {
  QORIN_TXN_READ(self);
  return ecology_snapshot(obj_of(self)->data->ecology);
}

PyObject* m_get_scalar(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_TXN_READ(self);
  static const char* kwlist[] = {"name", nullptr};
  PyObject* name_obj;
  if (!parse_args(args, kwargs, "O:get_scalar", kwlist, &name_obj)) return nullptr;
  std::string name;
  if (!str_arg(name_obj, "name", &name)) return nullptr;
  Result<double> v = obj_of(self)->data->ecology.get_scalar(name);
  if (!v) return raise(v.error());
  return PyFloat_FromDouble(*v);
}

PyObject* m_get_tensor(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_TXN_READ(self);
  static const char* kwlist[] = {"name", nullptr};
  PyObject* name_obj;
  if (!parse_args(args, kwargs, "O:get_tensor", kwlist, &name_obj)) return nullptr;
  std::string name;
  if (!str_arg(name_obj, "name", &name)) return nullptr;
  const TransactionData& d = *obj_of(self)->data;
  Result<std::vector<double>> v = d.ecology.session_get_tensor(d.genetics, name);
  if (!v) return raise(v.error());
  return new_f64_array(v->data(), v->size());
}

PyObject* m_apply(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_TXN_MUT(self);
  static const char* kwlist[] = {"writes", nullptr};
  PyObject* writes_obj;
  if (!parse_args(args, kwargs, "O:apply", kwlist, &writes_obj)) return nullptr;
  std::vector<std::pair<std::string, double>> writes;
  if (!to_named_f64_dict(writes_obj, "writes", &writes)) return nullptr;
  TransactionData& d = *obj_of(self)->data;
  if (Status s = d.ecology.apply(writes); !s) return raise(s.error());
  d.dirty = true;
  Py_RETURN_NONE;
}

PyObject* m_tensor_write(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_TXN_MUT(self);
  static const char* kwlist[] = {"name", "values", nullptr};
  PyObject *name_obj, *values_obj;
  if (!parse_args(args, kwargs, "OO:tensor_write", kwlist, &name_obj, &values_obj)) return nullptr;
  std::string name;
  std::vector<double> values;
  if (!str_arg(name_obj, "name", &name) || !to_f64_sequence(values_obj, "values", &values)) return nullptr;
  TransactionData& d = *obj_of(self)->data;
  Status s = GeneticsTensors::is_genetics_tensor(name)
                 ? d.genetics.tensor_write(d.blueprint, name, values)
                 : d.ecology.tensor_write(d.blueprint.n_ages, name, values);
  if (!s) return raise(s.error());
  d.dirty = true;
  Py_RETURN_NONE;
}

PyObject* m_refresh_params(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_TXN_MUT(self);
  static const char* kwlist[] = {"fields", "source", nullptr};
  PyObject *fields_obj, *source;
  if (!parse_args(args, kwargs, "OO:refresh_params", kwlist, &fields_obj, &source)) return nullptr;
  std::vector<std::string> fields;
  if (!to_string_vec(fields_obj, &fields)) return nullptr;
  TransactionData& d = *obj_of(self)->data;
  PyFieldSource src(source);
  if (Status s = d.ecology.pull_fields(d.blueprint, 0, fields, src, &d.genetics); !s) return raise(s.error());
  d.dirty = true;
  Py_RETURN_NONE;
}

PyObject* m_get_custom_slots(PyObject* self, PyObject*) {
  QORIN_TXN_READ(self);
  const EcologyParams& e = obj_of(self)->data->ecology;
  if (e.custom_slots.empty()) return PyDict_New();
  return custom_slots_to_python(e.custom_slots[0]);
}

PyObject* m_set_custom_slots(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_TXN_MUT(self);
  static const char* kwlist[] = {"source", nullptr};
  PyObject* source;
  if (!parse_args(args, kwargs, "O:set_custom_slots", kwlist, &source)) return nullptr;
  CustomSlotMap slots;
  if (!custom_slots_from_python(source, &slots)) return nullptr;
  TransactionData& d = *obj_of(self)->data;
  if (d.ecology.custom_slots.empty()) d.ecology.custom_slots.resize(1);
  d.ecology.custom_slots[0] = std::move(slots);
  d.dirty = true;
  Py_RETURN_NONE;
}

PyObject* m_sample(PyObject* self, PyObject* args, PyObject* kwargs) {
  QORIN_TXN_MUT(self);
  static const char* kwlist[] = {"kind", "a", "b", nullptr};
  PyObject *kind_obj, *a_obj, *b_obj;
  if (!parse_args(args, kwargs, "OOO:sample", kwlist, &kind_obj, &a_obj, &b_obj)) return nullptr;
  std::string kind;
  double a = 0.0, b = 0.0;
  if (!str_arg(kind_obj, "kind", &kind) || !to_f64(a_obj, &a) || !to_f64(b_obj, &b)) return nullptr;
  if (!std::isfinite(a) || !std::isfinite(b)) {
    PyErr_SetString(PyExc_ValueError, "sampling arguments must be finite");
    return nullptr;
  }
  SessionRng& rng = obj_of(self)->data->rng;
  constexpr double k2p53 = 9007199254740992.0;
  if (kind == "normal") {
    if (!(b >= 0.0)) return invalid_sample();
    if (b == 0.0) return PyFloat_FromDouble(a);
    return PyFloat_FromDouble(a + b * standard_normal(rng));
  }
  if (kind == "uniform") {
    if (!(b >= a)) return invalid_sample();
    return PyFloat_FromDouble(a + uniform01(rng) * (b - a));
  }
  if (kind == "integers") {
    if (!integral(a) || !integral(b) || !(a < b) || a < -k2p53 || b > k2p53) return invalid_sample();
    RngOutcome<int64_t> v = random_range(rng, static_cast<int64_t>(a), static_cast<int64_t>(b));
    if (!v) return raise(v.error());
    return PyFloat_FromDouble(static_cast<double>(*v));
  }
  if (kind == "binomial") {
    if (!integral(a) || a < 0.0 || a >= 9223372036854775808.0 || !(b >= 0.0 && b <= 1.0)) {
      return invalid_sample();
    }
    RngResult v = binomial(rng, static_cast<int64_t>(a), b);
    if (!v) return raise(v.error());
    return PyFloat_FromDouble(*v);
  }
  return invalid_sample();
}

PyMethodDef kMethods[] = {
    {"state_arrays", QORIN_GUARDED(m_state_arrays), METH_NOARGS,
     "state_arrays($self)\n--\n\nReturn (ind, sperm): the candidate state arrays, created on the first call. "
     "Changes made to them in place become the new state when the callback succeeds."},
    {"validate_state", QORIN_GUARDED(m_validate_state), METH_NOARGS,
     "validate_state($self)\n--\n\nCheck the candidate state now: same lengths, finite nonnegative counts."},
    {"ecology", QORIN_GUARDED(m_ecology), METH_NOARGS, "ecology($self)\n--\n\nReturn the candidate ecology as a dict."},
    {"get_scalar", QORIN_GUARDED(m_get_scalar), METH_VARARGS | METH_KEYWORDS,
     "get_scalar($self, name)\n--\n\nReturn one ecology scalar of the candidate."},
    {"get_tensor", QORIN_GUARDED(m_get_tensor), METH_VARARGS | METH_KEYWORDS,
     "get_tensor($self, name)\n--\n\nReturn a fresh copy of a candidate ecology or genetics tensor."},
    {"apply", QORIN_GUARDED(m_apply), METH_VARARGS | METH_KEYWORDS,
     "apply($self, writes)\n--\n\nAtomically write candidate ecology scalars from a dict of name to value."},
    {"tensor_write", QORIN_GUARDED(m_tensor_write), METH_VARARGS | METH_KEYWORDS,
     "tensor_write($self, name, values)\n--\n\nReplace a whole candidate ecology or genetics tensor."},
    {"refresh_params", QORIN_GUARDED(m_refresh_params), METH_VARARGS | METH_KEYWORDS,
     "refresh_params($self, fields, source)\n--\n\nPull the named fields from a Params object into the candidate."},
    {"get_custom_slots", QORIN_GUARDED(m_get_custom_slots), METH_NOARGS,
     "get_custom_slots($self)\n--\n\nReturn the candidate's custom slots as a dict."},
    {"set_custom_slots", QORIN_GUARDED(m_set_custom_slots), METH_VARARGS | METH_KEYWORDS,
     "set_custom_slots($self, source)\n--\n\nReplace the candidate's custom slots."},
    {"sample", QORIN_GUARDED(m_sample), METH_VARARGS | METH_KEYWORDS,
     "sample($self, kind, a, b)\n--\n\nOne draw from the candidate stream: kind \"normal\" (mean a, standard "
     "deviation b), \"uniform\" ([a, b)), \"integers\" ([a, b)) or \"binomial\" (a trials, probability b)."},
    {nullptr, nullptr, 0, nullptr}};

void txn_dealloc(PyObject* self) {
  TransactionObject* o = obj_of(self);
  if (o->data) {
    Py_CLEAR(o->data->ind_array);
    Py_CLEAR(o->data->sperm_array);
    delete o->data;
    o->data = nullptr;
  }
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot kSlots[] = {{Py_tp_doc, const_cast<char*>("Owned transaction for exactly one Python callback")},
                        {Py_tp_dealloc, reinterpret_cast<void*>(txn_dealloc)},
                        {Py_tp_methods, kMethods},
                        {0, nullptr}};

PyType_Spec kSpec = {"qorin._engine_rs.HookTransaction", sizeof(TransactionObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kSlots};

}  // namespace

PyObject* hook_transaction_type() {
  static PyObject* type = nullptr;
  PyObject* t = cached_type(&type, &kSpec);
  Py_XINCREF(t);
  return t;
}

PyObject* new_hook_transaction(TransactionData data) {
  Ref type(hook_transaction_type());
  if (!type) return nullptr;
  PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(type.get());
  PyObject* self = tp->tp_alloc(tp, 0);
  if (!self) return nullptr;
  obj_of(self)->flag = BorrowFlag{};
  obj_of(self)->data = new TransactionData(std::move(data));
  return self;
}

TransactionData& transaction_data(PyObject* txn) { return *obj_of(txn)->data; }

bool read_back_state(PyObject* array, std::span<double> out) {
  bool ok = PyArray_Check(array);
  PyArrayObject* a = reinterpret_cast<PyArrayObject*>(array);
  ok = ok && PyArray_TYPE(a) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(a) &&
       static_cast<size_t>(PyArray_SIZE(a)) == out.size();
  if (ok) {
    // The callback may have reshaped the array or changed its strides; read
    // it in C order through a contiguous copy when needed.
    Ref flat(PyArray_FROM_OTF(array, NPY_DOUBLE, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED));
    if (!flat) return false;
    const double* v = static_cast<const double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(flat.get())));
    for (size_t i = 0; ok && i < out.size(); ++i) {
      ok = std::isfinite(v[i]) && v[i] >= 0.0;
      out[i] = v[i];
    }
  }
  if (!ok) PyErr_SetString(PyExc_ValueError, kBadState);
  return ok;
}

bool read_candidate_state(TransactionData& data, bool* has_state) {
  *has_state = data.ind_array != nullptr;
  if (!*has_state) return true;
  return read_back_state(data.ind_array, data.ind) && read_back_state(data.sperm_array, data.sperm);
}

}  // namespace qorin::py
