// Releasing the interpreter lock around engine work that touches no Python
// object.
#pragma once

#include "python/np.hpp"

namespace qorin::py {

// Releases the interpreter lock for its lifetime (when asked to), also when
// an exception unwinds through it.
class GilRelease {
 public:
  explicit GilRelease(bool release) : state_(release ? PyEval_SaveThread() : nullptr) {}
  ~GilRelease() { reacquire(); }
  void reacquire() {
    if (state_) PyEval_RestoreThread(state_);
    state_ = nullptr;
  }
  // Runs f with the lock held.
  template <class F>
  auto with_gil(F&& f) {
    if (!state_) return f();
    PyEval_RestoreThread(state_);
    auto r = f();
    state_ = PyEval_SaveThread();
    return r;
  }

 private:
  PyThreadState* state_;
};

}  // namespace qorin::py
