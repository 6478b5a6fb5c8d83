// Test hooks for the migration kernels: the per-deme-stream form that a
// spatial session calls, with the streams' words in and out, and repeated
// calls that reuse one scratch and one pair of output buffers.
#include <string>
#include <vector>

#include "core/kernels/migration.hpp"
#include "core/util/worker_pool.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/rng_words.hpp"
#include "python/testing.hpp"

namespace qorin::py::testing {

namespace {

// migration_kernel(mode, ind, sperm, indptr, dest_idx, weights, rate, n_demes,
// n_ages, n_ztypes, words, repeats=1, parallel=False, window_bytes=0, stream_bytes=0)
// -> (ind, sperm, words, allocations)
PyObject* migration_kernel(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"mode", "ind", "sperm", "indptr", "dest_idx", "weights", "rate", "n_demes",
                                 "n_ages", "n_ztypes", "words", "repeats", "parallel", "window_bytes", "stream_bytes",
                                 nullptr};
  const char* mode;
  PyObject *ind_o, *sperm_o, *indptr_o, *dest_o, *weights_o, *rate_o, *words_o;
  unsigned long long D, A, Z;
  long long repeats = 1;
  int parallel = 0;
  unsigned long long window_bytes = 0, stream_bytes = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sOOOOOOKKKO|LpKK:migration_kernel", const_cast<char**>(kwlist),
                                   &mode, &ind_o, &sperm_o, &indptr_o, &dest_o, &weights_o, &rate_o, &D, &A, &Z,
                                   &words_o, &repeats, &parallel, &window_bytes, &stream_bytes))
    return nullptr;
  const std::string m(mode);
  if (m != "deterministic" && m != "stochastic" && m != "continuous") {
    PyErr_SetString(PyExc_ValueError, "mode must be deterministic, stochastic or continuous");
    return nullptr;
  }
  if (repeats < 1) {
    PyErr_SetString(PyExc_ValueError, "repeats must be at least 1");
    return nullptr;
  }
  std::vector<double> ind, sperm, weights, rate;
  std::vector<int64_t> indptr, dest;
  if (!to_f64_vec(ind_o, &ind) || !to_f64_vec(sperm_o, &sperm) || !to_i64_vec(indptr_o, &indptr) ||
      !to_i64_vec(dest_o, &dest) || !to_f64_vec(weights_o, &weights) || !to_f64_vec(rate_o, &rate))
    return nullptr;
  Ref seq(PySequence_Fast(words_o, "words must be a sequence of stream words"));
  if (!seq) return nullptr;
  std::vector<SessionRng> rngs(static_cast<size_t>(PySequence_Fast_GET_SIZE(seq.get())));
  for (size_t d = 0; d < rngs.size(); ++d) {
    if (!rng_from_words(PySequence_Fast_GET_ITEM(seq.get(), static_cast<Py_ssize_t>(d)), &rngs[d]))
      return nullptr;
  }

  MigrationInputs in{ind, sperm, indptr, dest, weights, rate, D, A, Z};
  std::vector<double> out_ind(ind.size()), out_sperm(sperm.size());
  MigrationScratch scratch;
  scratch.window_bytes = static_cast<size_t>(window_bytes);
  scratch.stream_bytes = static_cast<size_t>(stream_bytes);
  WorkerPool* pool = parallel ? &WorkerPool::instance() : nullptr;
  scratch.min_parallel = 1;  // even the few demes of a test spread over the threads
  long before = 0;
  for (long long k = 0; k < repeats; ++k) {
    if (k == 1) before = allocation_count();
    const Status s = m == "deterministic"
                         ? migrate_csr_deterministic_into(in, out_ind, out_sperm, scratch, pool)
                         : migrate_csr_stochastic_into(rngs, m == "continuous", in, out_ind, out_sperm, scratch,
                                                       pool);
    if (!s) return raise(s.error());
  }
  const long after = allocation_count();

  Ref ind_arr(new_f64_array(out_ind.data(), out_ind.size()));
  Ref sperm_arr(new_f64_array(out_sperm.data(), out_sperm.size()));
  Ref words(PyList_New(static_cast<Py_ssize_t>(rngs.size())));
  if (!ind_arr || !sperm_arr || !words) return nullptr;
  for (size_t d = 0; d < rngs.size(); ++d) {
    PyObject* w = rng_words_list(rngs[d]);
    if (!w) return nullptr;
    PyList_SET_ITEM(words.get(), static_cast<Py_ssize_t>(d), w);
  }
  Ref allocations = (before < 0 || repeats < 2) ? Ref::borrow(Py_None) : Ref(PyLong_FromLong(after - before));
  if (!allocations) return nullptr;
  return PyTuple_Pack(4, ind_arr.get(), sperm_arr.get(), words.get(), allocations.get());
}

}  // namespace

PyMethodDef kMigrationMethods[] = {
    {"migration_kernel", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(migration_kernel)),
     METH_VARARGS | METH_KEYWORDS,
     "migration_kernel(mode, ind, sperm, indptr, dest_idx, weights, rate, n_demes, n_ages, n_ztypes, words, "
     "repeats=1, parallel=False, window_bytes=0, stream_bytes=0)\n--\n\n"
     "Run a migration kernel `repeats` times with one scratch and the given per-deme stream words\n"
     "(on the worker pool when `parallel`; stochastic record windows of at most `window_bytes`\n"
     "when not 0; deterministic outputs of `stream_bytes` or more written around the caches when\n"
     "not 0);\n"
     "returns (ind, sperm, words, allocations), allocations being the heap allocations of the\n"
     "calls after the first (None when not counted)."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace qorin::py::testing
