// Test hooks for the worker pool: its thread count and a parallel loop.
#include <atomic>
#include <thread>
#include <vector>

#include "core/util/worker_pool.hpp"
#include "python/convert.hpp"
#include "python/testing.hpp"

namespace qorin::py::testing {

namespace {

PyObject* set_worker_threads(PyObject*, PyObject* arg) {
  const long long n = PyLong_AsLongLong(arg);
  if (n == -1 && PyErr_Occurred()) return nullptr;
  if (n < 0) {
    PyErr_SetString(PyExc_ValueError, "thread count must be nonnegative");
    return nullptr;
  }
  WorkerPool::instance().set_threads(static_cast<size_t>(n));
  Py_RETURN_NONE;
}

PyObject* worker_threads(PyObject*, PyObject*) {
  return PyLong_FromSize_t(WorkerPool::instance().threads());
}

// Item i of n computes a value that depends only on i, on whichever thread;
// also reports how many distinct threads took part.
PyObject* pool_map(PyObject*, PyObject* arg) {
  const Py_ssize_t n = PyLong_AsSsize_t(arg);
  if (n < 0) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "n must be nonnegative");
    return nullptr;
  }
  std::vector<double> out(static_cast<size_t>(n));
  std::vector<std::thread::id> who(static_cast<size_t>(n));
  Py_BEGIN_ALLOW_THREADS
  WorkerPool::instance().parallel_for(static_cast<size_t>(n), [&](size_t i) {
    double x = static_cast<double>(i);
    for (int k = 0; k < 2000; ++k) x = x * 0.999 + 1.0;
    out[i] = x;
    who[i] = std::this_thread::get_id();
  });
  Py_END_ALLOW_THREADS
  std::vector<std::thread::id> distinct;
  for (const auto& id : who) {
    bool seen = false;
    for (const auto& d : distinct) seen = seen || d == id;
    if (!seen) distinct.push_back(id);
  }
  Ref values(new_f64_array(out.data(), out.size()));
  if (!values) return nullptr;
  return Py_BuildValue("(On)", values.get(), static_cast<Py_ssize_t>(distinct.size()));
}

// Runs n items with per-slot buffers for `slots` slots; returns (times each
// item ran, the slot of each item, whether every slot stayed with one thread).
PyObject* pool_slots(PyObject*, PyObject* args) {
  Py_ssize_t n = 0, slots = 0;
  if (!PyArg_ParseTuple(args, "nn:pool_slots", &n, &slots)) return nullptr;
  if (n < 0 || slots < 1) {
    PyErr_SetString(PyExc_ValueError, "n must be nonnegative and slots positive");
    return nullptr;
  }
  std::vector<double> runs(static_cast<size_t>(n), 0.0), slot_of(static_cast<size_t>(n), -1.0);
  std::vector<std::thread::id> owner(static_cast<size_t>(slots));
  std::vector<uint8_t> claimed(static_cast<size_t>(slots), 0);
  std::atomic<bool> shared{false};
  Py_BEGIN_ALLOW_THREADS
  WorkerPool::instance().parallel_for_slots(static_cast<size_t>(n), static_cast<size_t>(slots),
                                            [&](size_t i, size_t slot) {
    double x = static_cast<double>(i);
    for (int k = 0; k < 2000; ++k) x = x * 0.999 + 1.0;
    runs[i] += 1.0 + 0.0 * x;
    slot_of[i] = static_cast<double>(slot);
    if (slot >= owner.size()) {
      shared = true;
      return;
    }
    // Only the slot's own thread writes its entry.
    if (!claimed[slot]) {
      claimed[slot] = 1;
      owner[slot] = std::this_thread::get_id();
    } else if (owner[slot] != std::this_thread::get_id()) {
      shared = true;
    }
  });
  Py_END_ALLOW_THREADS
  Ref r(new_f64_array(runs.data(), runs.size()));
  if (!r) return nullptr;
  Ref s(new_f64_array(slot_of.data(), slot_of.size()));
  if (!s) return nullptr;
  return Py_BuildValue("(OOO)", r.get(), s.get(), shared.load() ? Py_False : Py_True);
}

}  // namespace

PyMethodDef kPoolMethods[] = {
    {"set_worker_threads", set_worker_threads, METH_O,
     "set_worker_threads(n)\n--\n\nUse n threads (the caller included) for parallel loops; 0: all usable cores."},
    {"worker_threads", worker_threads, METH_NOARGS, "worker_threads()\n--\n\nThreads a parallel loop may use."},
    {"pool_map", pool_map, METH_O,
     "pool_map(n)\n--\n\nRun n independent items on the pool; returns (values, number of threads that ran "
     "them)."},
    {"pool_slots", pool_slots, METH_VARARGS,
     "pool_slots(n, slots)\n--\n\nRun n items with per-thread slots; returns (times each item ran, slot of "
     "each item, whether each slot stayed with one thread)."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace qorin::py::testing
