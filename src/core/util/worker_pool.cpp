#include "core/util/worker_pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace qorin {

namespace {

size_t usable_cores() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<size_t>(n);
  }
  const unsigned hw = std::thread::hardware_concurrency();
  return hw > 0 ? hw : 1;
}

// Tells the processor that the thread is spinning on a value another thread
// will change.
void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

}  // namespace

// One generation of worker threads. After fork() the child abandons the
// parent's generation (its threads do not exist there, and its locks may be
// held by them) and builds a new one on first use.
struct WorkerPool::State {
  explicit State(size_t n_threads) : total(n_threads < 1 ? 1 : n_threads) {
    for (size_t i = 1; i < total; ++i) workers.emplace_back([this, i] { work(i); });
  }
  ~State() {
    {
      std::lock_guard<std::mutex> lk(mu);
      quit = true;
      quitting.store(true, std::memory_order_relaxed);
    }
    wake.notify_all();
    for (std::thread& t : workers) t.join();
  }

  // Takes items until none is left; returns after finishing its last one.
  // The items are cut into one contiguous segment per slot: a thread works
  // through its own segment first, then helps with the others'. The same
  // slot thus gets the same items in loops of the same size (a deme ticked by
  // a thread in one loop is pulled by it in the next, from its own cache),
  // and the threads still finish together.
  void drain(size_t slot) {
    if (slot >= n_slots) return;
    for (size_t k = 0; k < n_slots; ++k) {
      const size_t seg = (slot + k) % n_slots;
      const size_t end = segment_start(seg + 1);
      for (;;) {
        const size_t i = cursors[seg].next.fetch_add(1, std::memory_order_relaxed);
        if (i >= end) break;
        (*body)(i, slot);
      }
    }
  }

  // First item of segment seg (n_slots segments whose sizes differ by at most one).
  size_t segment_start(size_t seg) const {
    const size_t q = n_items / n_slots, r = n_items % n_slots;
    return seg * q + std::min(seg, r);
  }

  // Loops often follow one another closely (a spatial tick runs two, then the
  // next tick): a worker that has just finished looks for the next loop for a
  // short while before it goes to sleep, which spares the wake-up.
  void await_briefly(uint64_t seen) const {
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(300);
    while (published.load(std::memory_order_acquire) == seen && !quitting.load(std::memory_order_relaxed)) {
      for (int i = 0; i < 64; ++i) cpu_relax();
      if (std::chrono::steady_clock::now() >= until) return;
    }
  }

  void work(size_t slot) {
    uint64_t seen = 0;
    for (;;) {
      await_briefly(seen);
      {
        std::unique_lock<std::mutex> lk(mu);
        wake.wait(lk, [&] { return quit || generation != seen; });
        if (quit) return;
        seen = generation;
      }
      drain(slot);
      if (running.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        std::lock_guard<std::mutex> lk(mu);
        done.notify_all();
      }
    }
  }

  void run(size_t n, size_t slots, FunctionRef<void(size_t, size_t)>* f) {
    {
      std::lock_guard<std::mutex> lk(mu);
      body = f;
      n_items = n;
      n_slots = std::min(slots, total);
      for (size_t seg = 0; seg < n_slots; ++seg) {
        cursors[seg].next.store(segment_start(seg), std::memory_order_relaxed);
      }
      running.store(workers.size(), std::memory_order_relaxed);
      generation += 1;
      published.store(generation, std::memory_order_release);
    }
    wake.notify_all();
    drain(0);
    // The workers are finishing their last items: wait for them awake for a
    // short while, then asleep.
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(300);
    while (running.load(std::memory_order_acquire) != 0 && std::chrono::steady_clock::now() < until) {
      for (int i = 0; i < 64; ++i) cpu_relax();
    }
    std::unique_lock<std::mutex> lk(mu);
    done.wait(lk, [&] { return running.load(std::memory_order_acquire) == 0; });
    body = nullptr;
  }

  const size_t total;
  std::vector<std::thread> workers;
  std::mutex mu;
  std::condition_variable wake, done;
  // Next item of each slot's segment; a cache line each.
  struct alignas(64) Cursor {
    std::atomic<size_t> next{0};
  };
  std::unique_ptr<Cursor[]> cursors{new Cursor[total]};
  size_t n_items = 0;
  size_t n_slots = 0;
  std::atomic<size_t> running{0};  // workers still on the current loop
  uint64_t generation = 0;
  bool quit = false;
  std::atomic<uint64_t> published{0};  // generation, readable without the lock
  std::atomic<bool> quitting{false};
  FunctionRef<void(size_t, size_t)>* body = nullptr;
  std::mutex busy;  // held by the caller whose loop the workers run
};

namespace {
std::mutex g_instance_mu;
}  // namespace

void WorkerPool::forget_after_fork() {
  // The parent's threads do not exist here and its locks may be held by
  // them: leak that generation and start from scratch on first use.
  new (&g_instance_mu) std::mutex();
  instance().state_ = nullptr;
}

WorkerPool& WorkerPool::instance() {
  static WorkerPool* pool = [] {
    pthread_atfork(nullptr, nullptr, forget_after_fork);
    return new WorkerPool();
  }();
  return *pool;
}

WorkerPool::State* WorkerPool::state() {
  std::lock_guard<std::mutex> lk(g_instance_mu);
  if (!state_) state_ = new State(wanted_ > 0 ? wanted_ : usable_cores());
  return state_;
}

size_t WorkerPool::threads() const {
  if (state_) return state_->total;
  return wanted_ > 0 ? wanted_ : usable_cores();
}

void WorkerPool::set_threads(size_t n) {
  std::lock_guard<std::mutex> lk(g_instance_mu);
  wanted_ = n;
  if (state_) {
    std::lock_guard<std::mutex> busy(state_->busy);
    delete state_;
    state_ = nullptr;
  }
}

void WorkerPool::parallel_for(size_t n, FunctionRef<void(size_t)> body) {
  parallel_for_slots(n, SIZE_MAX, [&](size_t i, size_t) { body(i); });
}

void WorkerPool::parallel_for_slots(size_t n, size_t slots, FunctionRef<void(size_t, size_t)> body) {
  if (n == 0) return;
  if (slots == 0) slots = 1;
  State* s = n > 1 && slots > 1 ? state() : nullptr;
  std::unique_lock<std::mutex> busy;
  if (s && s->total > 1) busy = std::unique_lock<std::mutex>(s->busy, std::try_to_lock);
  if (!busy.owns_lock()) {
    for (size_t i = 0; i < n; ++i) body(i, 0);
    return;
  }
  s->run(n, slots, &body);
}

}  // namespace qorin
