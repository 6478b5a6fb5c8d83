// A persistent pool of worker threads for data-parallel loops (the deme ticks
// of a spatial session). Work items write only their own results, so what a
// loop computes never depends on how many threads ran it or in which order.
#pragma once

#include <cstddef>

#include "core/util/function_ref.hpp"

namespace qorin {

class WorkerPool {
 public:
  // The process-wide pool. Its threads start on first use; after fork() the
  // child starts a fresh set (threads do not survive a fork).
  static WorkerPool& instance();

  // Runs body(i) for every i in [0, n) on the pool's threads and the calling
  // thread, and returns when all are done. When the pool is already busy with
  // another caller's loop, the items run on the calling thread instead, so
  // concurrent callers never oversubscribe the machine.
  void parallel_for(size_t n, FunctionRef<void(size_t)> body);
  // The same, passing each item the slot of the thread that runs it: a
  // number in [0, slots) that no other thread uses during the loop (the
  // calling thread is slot 0; threads beyond `slots` sit the loop out).
  // Per-thread buffers indexed by slot let a loop cut its work into many
  // small items without a buffer per item.
  void parallel_for_slots(size_t n, size_t slots, FunctionRef<void(size_t item, size_t slot)> body);

  // Total threads a loop may use, the calling thread included (at least 1).
  size_t threads() const;
  // Changes the thread count (tests compare results across counts); 0 means
  // the machine's usable cores.
  void set_threads(size_t n);

  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

 private:
  WorkerPool() = default;
  // In a forked child: forget the parent's threads without touching them.
  static void forget_after_fork();
  struct State;
  State* state();
  State* state_ = nullptr;
  size_t wanted_ = 0;
};

}  // namespace qorin
