// Allocation counting for the test suite: this module's own copy of the engine
// core allocates through the operators below, so a test can show that a
// stretch of engine work performs no heap allocation at all.
#include <atomic>
#include <cstdlib>
#include <new>

#include "core/sessions/age_structured.hpp"
#include "python/contracts.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/testing.hpp"
#include "python/guard.hpp"

namespace {
std::atomic<long> g_allocations{0};

void* counted_alloc(std::size_t n) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  void* p = std::malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  return p;
}
}  // namespace

// The address sanitizer replaces the allocation operators itself; counting is
// only available in the regular build.
#if !defined(__SANITIZE_ADDRESS__)
void* operator new(std::size_t n) { return counted_alloc(n); }
void* operator new[](std::size_t n) { return counted_alloc(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return counted_alloc(n);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return counted_alloc(n);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
#define QORIN_COUNTING_ALLOCATIONS 1
#else
#define QORIN_COUNTING_ALLOCATIONS 0
#endif

namespace qorin::py::testing {

long allocation_count() { return QORIN_COUNTING_ALLOCATIONS ? g_allocations.load() : -1; }

namespace {

// session_allocations(blueprint, params, seed, warmup, n_ticks, record_interval)
// -> number of heap allocations made by run(n_ticks, record_interval) after a
// warm-up run, or None when counting is unavailable (sanitizer build).
PyObject* session_allocations(PyObject*, PyObject* args) {
  PyObject *bp_obj, *params_obj;
  unsigned long long seed;
  long long warmup, n_ticks, interval;
  if (!PyArg_ParseTuple(args, "OOKLLL:session_allocations", &bp_obj, &params_obj, &seed, &warmup, &n_ticks,
                        &interval))
    return nullptr;
  if (!QORIN_COUNTING_ALLOCATIONS) Py_RETURN_NONE;
  Blueprint bp;
  EcologyParams eco;
  GeneticsTensors gen;
  if (!model_from_python(bp_obj, params_obj, &bp, &eco, &gen)) return nullptr;
  Result<AgeStructuredSession> made = AgeStructuredSession::create(std::move(bp), std::move(eco), std::move(gen), seed);
  if (!made) return raise(made.error());
  AgeStructuredSession& s = *made;
  RunRequest request;
  request.n_ticks = warmup;
  request.record_interval = interval;
  Result<RunResult> first = s.run(request, nullptr, nullptr);
  if (!first) return raise(first.error());
  const long before = g_allocations.load();
  request.n_ticks = n_ticks;
  Result<RunResult> second = s.run(request, nullptr, nullptr);
  const long after = g_allocations.load();
  if (!second) return raise(second.error());
  return PyLong_FromLong(after - before);
}

}  // namespace

PyMethodDef kAllocMethods[] = {
    {"session_allocations", QORIN_GUARDED(session_allocations), METH_VARARGS,
     "session_allocations(blueprint, params, seed, warmup, n_ticks, record_interval)\n--\n\n"
     "Heap allocations made by one run after a warm-up run (None in sanitizer builds)."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace qorin::py::testing
