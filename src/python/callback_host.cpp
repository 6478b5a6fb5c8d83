#include "python/callback_host.hpp"

#include <climits>

#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/hook_transaction.hpp"

namespace qorin::py {

PyCallbackHandle::~PyCallbackHandle() {
  if (!callable || !Py_IsInitialized()) return;
  PyGILState_STATE g = PyGILState_Ensure();
  Py_CLEAR(callable);
  PyGILState_Release(g);
}

namespace {

bool one_list(PyObject* seq, const char* argname, CallbackList* out) {
  if (PyUnicode_Check(seq) || PyBytes_Check(seq)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a sequence of callables, got %s", argname,
                 Py_TYPE(seq)->tp_name);
    return false;
  }
  // A tuple copy: converting one element cannot change the others' count.
  Ref items(PySequence_Tuple(seq));
  if (!items) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "argument '%s': expected a sequence of callables, got %s", argname,
                   Py_TYPE(seq)->tp_name);
    }
    return false;
  }
  const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  out->clear();
  out->reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* c = PyTuple_GET_ITEM(items.get(), i);
    if (!PyCallable_Check(c)) {
      PyErr_Format(PyExc_TypeError, "argument '%s': item %zd is not callable (%s)", argname, i,
                   Py_TYPE(c)->tp_name);
      return false;
    }
    out->push_back(std::make_shared<PyCallbackHandle>(c));
  }
  return true;
}

// Converts a callable's return value to a stop code.
bool stop_code(PyObject* ret, int32_t* out) {
  Ref idx(PyNumber_Index(ret));
  if (!idx) return false;
  const long long v = PyLong_AsLongLong(idx.get());
  if (v == -1 && PyErr_Occurred()) return false;
  if (v < INT32_MIN || v > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "callback return value does not fit in a signed 32-bit integer");
    return false;
  }
  *out = static_cast<int32_t>(v);
  return true;
}

// True for a transaction-mode callable: `__qorin_transaction__` reads and is True.
bool wants_transaction(PyObject* callable) {
  Ref flag(PyObject_GetAttrString(callable, "__qorin_transaction__"));
  if (!flag) {
    PyErr_Clear();
    return false;
  }
  const int truth = PyObject_IsTrue(flag.get());
  if (truth < 0) {
    PyErr_Clear();
    return false;
  }
  return truth == 1;
}

void copy_into(const std::vector<double>& from, std::span<double> to) {
  std::copy(from.begin(), from.end(), to.begin());
}

}  // namespace

bool callback_lists_from_python(PyObject* first, PyObject* early, PyObject* late, PyObject* finish,
                                std::vector<CallbackList>* out) {
  std::vector<CallbackList> lists(4);
  if (!one_list(first, "first", &lists[0]) || !one_list(early, "early", &lists[1]) ||
      !one_list(late, "late", &lists[2]))
    return false;
  if (finish && finish != Py_None && !one_list(finish, "finish", &lists[3])) return false;
  *out = std::move(lists);
  return true;
}

int visit_callbacks(const HookProgram& program, visitproc visit, void* arg) {
  for (const CallbackList& list : program.callback_lists) {
    for (const auto& h : list) {
      if (h) Py_VISIT(static_cast<PyCallbackHandle*>(h.get())->callable);
    }
  }
  return 0;
}

void clear_callback_refs(HookProgram& program) {
  for (CallbackList& list : program.callback_lists) {
    for (auto& h : list) {
      if (h) Py_CLEAR(static_cast<PyCallbackHandle*>(h.get())->callable);
    }
  }
}

Result<int32_t> PyCallbackHost::run(const CallbackCall& call) {
  PyObject* callable = static_cast<const PyCallbackHandle*>(call.callable)->callable;
  if (!callable) return Error::runtime("python callback was cleared");
  // The callable stays alive for the call even if the program lets it go.
  Ref keep = Ref::borrow(callable);
  if (wants_transaction(callable)) return run_transaction(call, callable);
  return run_plain(call, callable);
}

Result<int32_t> PyCallbackHost::run_plain(const CallbackCall& call, PyObject* callable) {
  Ref ind(new_f64_array(call.ind.data(), call.ind.size()));
  Ref sperm(new_f64_array(call.sperm.data(), call.sperm.size()));
  if (!ind || !sperm) return stash_python_error();
  Ref ret(PyObject_CallFunction(callable, "OOLn", ind.get(), sperm.get(), static_cast<long long>(call.tick),
                                static_cast<Py_ssize_t>(call.deme)));
  if (!ret) return stash_python_error();
  int32_t code = 0;
  if (!stop_code(ret.get(), &code)) return stash_python_error();
  // Read both back before writing either, so a bad array changes nothing.
  std::vector<double> new_ind(call.ind.size()), new_sperm(call.sperm.size());
  if (!read_back_state(ind.get(), new_ind) || !read_back_state(sperm.get(), new_sperm)) {
    return stash_python_error();
  }
  copy_into(new_ind, call.ind);
  copy_into(new_sperm, call.sperm);
  return code;
}

Result<int32_t> PyCallbackHost::run_transaction(const CallbackCall& call, PyObject* callable) {
  EcoCtx* ctx = call.eco_ctx;
  if (!ctx) {
    PyErr_SetString(PyExc_RuntimeError, "callback requires a session transaction");
    return stash_python_error();
  }
  TransactionData data;
  data.blueprint = bp_;
  data.ecology = *ctx->ecology;
  data.genetics = *ctx->genetics_in_force();
  data.ind.assign(call.ind.begin(), call.ind.end());
  data.sperm.assign(call.sperm.begin(), call.sperm.end());
  data.rng = *call.rng;
  Ref txn(new_hook_transaction(std::move(data)));
  if (!txn) return stash_python_error();
  Ref ret(PyObject_CallFunction(callable, "OOLnO", Py_None, Py_None, static_cast<long long>(call.tick),
                                static_cast<Py_ssize_t>(call.deme), txn.get()));
  TransactionData& d = transaction_data(txn.get());
  d.active = false;
  if (!ret) return stash_python_error();
  int32_t code = 0;
  if (!stop_code(ret.get(), &code)) return stash_python_error();
  bool has_state = false;
  if (!read_candidate_state(d, &has_state)) return stash_python_error();
  if (d.dirty) {
    Status valid = d.ecology.validate(d.blueprint.n_ages);
    if (valid) valid = d.genetics.validate(d.blueprint);
    if (!valid) {
      raise(valid.error());
      return stash_python_error();
    }
    // Copies are made before anything is written, so running out of memory
    // here still changes nothing.
    std::vector<double> scalars = current_scalars(d.ecology, ctx->deme);
    CandidateEntry entry{ctx->deme, d.ecology, d.genetics};
    for (size_t i = 0; i < call.staged_scalars.size() && i < scalars.size(); ++i) {
      call.staged_scalars[i] = scalars[i];
    }
    *ctx->ecology = d.ecology;
    ctx->genetics = d.genetics;
    call.program->queues.put_candidate(std::move(entry));
  }
  *call.rng = d.rng;
  if (has_state) {
    copy_into(d.ind, call.ind);
    copy_into(d.sperm, call.sperm);
  }
  return code;
}

}  // namespace qorin::py
