// Ctrl-C in long calls of the binding.
//
// Inside a section that holds an engine lock no Python code may run (a signal
// handler touching the same store would deadlock), so the core polls a
// SigintPoll there: it only asks the interpreter whether SIGINT arrived,
// taking the request without running the handler. Once the lock is released,
// `interruptible` hands the request back and runs the handler; a handler that
// raises (the default one raises KeyboardInterrupt) ends the call with its
// exception, one that returns lets the operation start again.
//
// Loops that hold no lock (building result lists) use SignalCheck, which runs
// the handlers directly every so many items.
#pragma once

#include <csignal>
#include <cstddef>
#include <utility>

#include "core/util/error.hpp"
#include "core/util/interrupt.hpp"
#include "python/np.hpp"

namespace qorin::py {

class SigintPoll final : public InterruptPoll {
 public:
  // About a millisecond of copying or summing between two looks.
  static constexpr size_t kStride = size_t{1} << 18;

  bool requested(size_t work) override {
    pending_ += work;
    if (pending_ < kStride) return false;
    pending_ = 0;
    if (PyOS_InterruptOccurred()) taken_ = true;
    return taken_;
  }

  bool taken() const { return taken_; }

  // Gives a taken SIGINT back to the interpreter and runs its handler
  // (no engine lock may be held). -1 with the handler's exception set.
  int deliver() {
    if (!taken_) return 0;
    taken_ = false;
    PyErr_SetInterruptEx(SIGINT);
    return PyErr_CheckSignals();
  }

 private:
  size_t pending_ = 0;
  bool taken_ = false;
};

// Runs op(poll) until it finishes without being interrupted. op returns a
// Status or a Result; an interrupted op is called again after the SIGINT
// handler returned normally (op keeps whatever progress it needs to resume),
// and the call ends when the handler raised (the returned error is then
// Interrupted, with the handler's exception set).
template <class F>
auto interruptible(F&& op) -> decltype(op(std::declval<InterruptPoll&>())) {
  for (;;) {
    SigintPoll poll;
    auto r = op(poll);
    if (r || r.error().kind != ErrorKind::Interrupted || !poll.taken()) return r;
    if (poll.deliver() < 0) return r;
  }
}

// Runs the signal handlers every `stride` steps of a loop that holds no
// engine lock; false with the handler's exception set when one raised.
class SignalCheck {
 public:
  explicit SignalCheck(size_t stride = 1 << 16) : stride_(stride) {}
  bool step() {
    if (++count_ < stride_) return true;
    count_ = 0;
    return PyErr_CheckSignals() == 0;
  }

 private:
  size_t stride_;
  size_t count_ = 0;
};

}  // namespace qorin::py
