// Running registered Python callables from inside hook events: plain mode
// (copies of the state arrays) and transaction mode (a HookTransaction).
#pragma once

#include "core/hooks/interpreter.hpp"
#include "core/hooks/program.hpp"
#include "core/model/blueprint.hpp"
#include "python/np.hpp"

namespace qorin::py {

// A registered callable; the reference is dropped with the interpreter lock
// held, whichever thread destroys the handle.
struct PyCallbackHandle final : CallbackHandle {
  explicit PyCallbackHandle(PyObject* c) : callable(c) { Py_XINCREF(c); }
  ~PyCallbackHandle() override;
  PyObject* callable;
};

// Reads set_python_callbacks' four arguments into callback lists (finish may
// be None). False with TypeError for a str, a non-sequence or a non-callable.
bool callback_lists_from_python(PyObject* first, PyObject* early, PyObject* late, PyObject* finish,
                                std::vector<CallbackList>* out);

// Garbage-collector support for the callables a program holds.
int visit_callbacks(const HookProgram& program, visitproc visit, void* arg);
void clear_callback_refs(HookProgram& program);

// Runs callables with the interpreter lock held. A failing callable leaves its
// exception in this thread's pending slot.
class PyCallbackHost final : public CallbackHost {
 public:
  explicit PyCallbackHost(const Blueprint& blueprint) : bp_(blueprint) {}
  Result<int32_t> run(const CallbackCall& call) override;

 private:
  Result<int32_t> run_plain(const CallbackCall& call, PyObject* callable);
  Result<int32_t> run_transaction(const CallbackCall& call, PyObject* callable);
  const Blueprint& bp_;
};

}  // namespace qorin::py
