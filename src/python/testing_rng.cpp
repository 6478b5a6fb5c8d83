// Test hooks for the session random stream: seeding, raw draws of every
// distribution from given state words, the multinomial splits and the
// ziggurat tables.
#include <cstring>
#include <string_view>
#include <vector>

#include "core/random/rng.hpp"
#include "core/util/format.hpp"
#include "core/util/numeric.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/rng_words.hpp"
#include "python/testing.hpp"
#include "python/guard.hpp"

namespace qorin::py::testing {

namespace {

PyObject* array_and_words(PyObject* arr, const SessionRng& r) {
  Ref a(arr);
  Ref w(rng_words_list(r));
  if (!w) return nullptr;
  return PyTuple_Pack(2, a.get(), w.get());
}

// An optional numeric argument: absent means 0.
bool opt_f64(PyObject* v, double* out) {
  if (!v) {
    *out = 0.0;
    return true;
  }
  return to_f64(v, out);
}
bool opt_i64(PyObject* v, int64_t* out) {
  if (!v) {
    *out = 0;
    return true;
  }
  return to_i64(v, out);
}

PyObject* rng_new(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kw[] = {"seed", nullptr};
  PyObject* seed_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:rng_new", const_cast<char**>(kw), &seed_obj)) return nullptr;
  uint64_t seed;
  if (!to_u64(seed_obj, &seed)) return nullptr;
  return rng_words_list(new_rng(seed));
}

// Fills `out` with n draws of `draw(r)`; stops at the first failure.
template <class F>
bool fill_draws(SessionRng& r, double* out, npy_intp n, F draw) {
  for (npy_intp j = 0; j < n; ++j) {
    const RngResult x = draw(r);
    if (!x) {
      raise(x.error());
      return false;
    }
    out[j] = x.val;
  }
  return true;
}

PyObject* rng_draw(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kw[] = {"words", "kind", "n", "a", "b", nullptr};
  PyObject* words_obj;
  const char* kind_c;
  Py_ssize_t n;
  PyObject* a_obj = nullptr;
  PyObject* b_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Osn|OO:rng_draw", const_cast<char**>(kw), &words_obj, &kind_c,
                                   &n, &a_obj, &b_obj))
    return nullptr;
  SessionRng r;
  if (!rng_from_words(words_obj, &r)) return nullptr;
  if (n < 0) {
    PyErr_SetString(PyExc_ValueError, "n must be nonnegative");
    return nullptr;
  }
  const std::string_view kind(kind_c);
  npy_intp dims[1] = {static_cast<npy_intp>(n)};

  if (kind == "next_u64") {
    PyObject* arr = PyArray_SimpleNew(1, dims, NPY_UINT64);
    if (!arr) return nullptr;
    auto* out = static_cast<uint64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr)));
    for (npy_intp j = 0; j < n; ++j) out[j] = next_u64(r);
    return array_and_words(arr, r);
  }

  // Arguments of the parameterised kinds, converted before anything is drawn.
  const bool int_args = kind == "random_range" || kind == "binomial";
  double af = 0.0, bf = 0.0;
  int64_t ai = 0, bi = 0;
  if (int_args) {
    if (!opt_i64(a_obj, &ai)) return nullptr;
    if (kind == "random_range" ? !opt_i64(b_obj, &bi) : !opt_f64(b_obj, &bf)) return nullptr;
  } else {
    if (!opt_f64(a_obj, &af) || !opt_f64(b_obj, &bf)) return nullptr;
  }

  PyObject* arr = PyArray_SimpleNew(1, dims, NPY_DOUBLE);
  if (!arr) return nullptr;
  Ref hold(arr);
  auto* out = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr)));
  bool ok;
  if (kind == "uniform01") {
    for (npy_intp j = 0; j < n; ++j) out[j] = uniform01(r);
    ok = true;
  } else if (kind == "open01") {
    for (npy_intp j = 0; j < n; ++j) out[j] = open01(r);
    ok = true;
  } else if (kind == "standard_normal") {
    for (npy_intp j = 0; j < n; ++j) out[j] = standard_normal(r);
    ok = true;
  } else if (kind == "standard_exponential") {
    for (npy_intp j = 0; j < n; ++j) out[j] = standard_exponential(r);
    ok = true;
  } else if (kind == "random_range") {
    ok = fill_draws(r, out, n, [&](SessionRng& s) {
      const RngOutcome<int64_t> x = random_range(s, ai, bi);
      return x ? RngResult::ok(static_cast<double>(x.val)) : RngResult::fail(x.msg);
    });
  } else if (kind == "binomial") {
    const BinomialSampler sampler(ai, bf);
    ok = fill_draws(r, out, n, [&](SessionRng& s) { return sampler.sample(s); });
  } else if (kind == "poisson") {
    const PoissonSampler sampler(af);
    ok = fill_draws(r, out, n, [&](SessionRng& s) { return sampler.sample(s); });
  } else if (kind == "gamma") {
    ok = fill_draws(r, out, n, [&](SessionRng& s) { return gamma(s, af); });
  } else if (kind == "continuous_binomial") {
    ok = fill_draws(r, out, n, [&](SessionRng& s) { return continuous_binomial(s, af, bf); });
  } else if (kind == "continuous_poisson") {
    ok = fill_draws(r, out, n, [&](SessionRng& s) { return continuous_poisson(s, af); });
  } else {
    PyErr_Format(PyExc_ValueError, "unknown draw kind '%s'", kind_c);
    return nullptr;
  }
  if (!ok) return nullptr;
  return array_and_words(hold.release(), r);
}

// Exact integers from random_range (rng_draw returns them as floats).
PyObject* rng_range(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kw[] = {"words", "low", "high", "n", nullptr};
  PyObject *words_obj, *low_obj, *high_obj;
  Py_ssize_t n;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOn:rng_range", const_cast<char**>(kw), &words_obj, &low_obj,
                                   &high_obj, &n))
    return nullptr;
  SessionRng r;
  int64_t low, high;
  if (!rng_from_words(words_obj, &r) || !to_i64(low_obj, &low) || !to_i64(high_obj, &high)) return nullptr;
  if (n < 0) {
    PyErr_SetString(PyExc_ValueError, "n must be nonnegative");
    return nullptr;
  }
  npy_intp dims[1] = {static_cast<npy_intp>(n)};
  PyObject* arr = PyArray_SimpleNew(1, dims, NPY_INT64);
  if (!arr) return nullptr;
  Ref hold(arr);
  auto* out = static_cast<int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr)));
  for (npy_intp j = 0; j < n; ++j) {
    const RngOutcome<int64_t> x = random_range(r, low, high);
    if (!x) return raise(x.error());
    out[j] = x.val;
  }
  return array_and_words(hold.release(), r);
}

PyObject* rng_multinomial(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kw[] = {"words", "n", "probs", "continuous", nullptr};
  PyObject *words_obj, *n_obj, *probs_obj;
  int continuous = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|p:rng_multinomial", const_cast<char**>(kw), &words_obj,
                                   &n_obj, &probs_obj, &continuous))
    return nullptr;
  SessionRng r;
  if (!rng_from_words(words_obj, &r)) return nullptr;
  std::vector<double> probs;
  if (!arg_f64_1d(probs_obj, "probs", &probs)) return nullptr;
  std::vector<double> out(probs.size(), 0.0);
  Status s;
  if (continuous) {
    double total;
    if (!to_f64(n_obj, &total)) return nullptr;
    s = continuous_multinomial(r, total, probs, out);
  } else {
    int64_t n;
    if (!to_i64(n_obj, &n)) return nullptr;
    s = multinomial(r, n, probs, out);
  }
  if (!s) return raise(s.error());
  PyObject* arr = new_f64_array(out.data(), out.size());
  if (!arr) return nullptr;
  return array_and_words(arr, r);
}

// Binomial draws (n[i], p[i]) in sequence, or Poisson draws (lambda = p[i])
// where n[i] < 0, all through one sampler memo that `memos` copies of a memo
// share in turn (a copy starts empty; draw i uses copy i % memos).
PyObject* rng_memo_draws(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kw[] = {"words", "n", "p", "memos", nullptr};
  PyObject *words_obj, *n_obj, *p_obj;
  Py_ssize_t memos = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|n:rng_memo_draws", const_cast<char**>(kw), &words_obj, &n_obj,
                                   &p_obj, &memos))
    return nullptr;
  SessionRng r;
  if (!rng_from_words(words_obj, &r)) return nullptr;
  std::vector<int64_t> ns;
  std::vector<double> ps;
  if (!to_i64_vec(n_obj, &ns) || !to_f64_vec(p_obj, &ps)) return nullptr;
  if (ns.size() != ps.size() || memos < 1) {
    PyErr_SetString(PyExc_ValueError, "n and p must have one length and memos must be at least 1");
    return nullptr;
  }
  std::vector<SamplerMemo> memo(1);
  for (Py_ssize_t k = 1; k < memos; ++k) memo.push_back(memo[0]);
  std::vector<double> out(ns.size(), 0.0);
  for (size_t i = 0; i < ns.size(); ++i) {
    SamplerMemo& m = memo[i % memo.size()];
    const RngResult x = ns[i] < 0 ? poisson(r, ps[i], m) : binomial(r, ns[i], ps[i], m);
    if (!x) return raise(x.error());
    out[i] = x.val;
  }
  PyObject* arr = new_f64_array(out.data(), out.size());
  if (!arr) return nullptr;
  return array_and_words(arr, r);
}

// round_half_away and round_count of every value.
PyObject* round_values(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kw[] = {"x", nullptr};
  PyObject* x_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:round_values", const_cast<char**>(kw), &x_obj)) return nullptr;
  std::vector<double> x;
  if (!to_f64_vec(x_obj, &x)) return nullptr;
  std::vector<double> away(x.size());
  std::vector<int64_t> counts(x.size());
  for (size_t i = 0; i < x.size(); ++i) {
    away[i] = round_half_away(x[i]);
    counts[i] = round_count(x[i]);
  }
  Ref a(new_f64_array(away.data(), away.size()));
  if (!a) return nullptr;
  Ref c(new_i64_array(counts.data(), counts.size()));
  if (!c) return nullptr;
  return PyTuple_Pack(2, a.get(), c.get());
}

PyObject* rng_table(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kw[] = {"name", nullptr};
  const char* name_c;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s:rng_table", const_cast<char**>(kw), &name_c)) return nullptr;
  const std::string_view name(name_c);
  const double* t = name == "normal_x"   ? ziggurat::normal_x
                    : name == "normal_f" ? ziggurat::normal_f
                    : name == "exp_x"    ? ziggurat::exp_x
                    : name == "exp_f"    ? ziggurat::exp_f
                                         : nullptr;
  if (!t) {
    PyErr_Format(PyExc_ValueError, "unknown table '%s'", name_c);
    return nullptr;
  }
  return new_f64_array(t, 257);
}

#define QORIN_KW(f) QORIN_GUARDED(f)

}  // namespace

PyMethodDef kRngMethods[] = {
    {"rng_new", QORIN_KW(rng_new), METH_VARARGS | METH_KEYWORDS,
     "rng_new(seed)\n--\n\nThe four state words of a stream seeded with seed (SplitMix64)."},
    {"rng_draw", QORIN_KW(rng_draw), METH_VARARGS | METH_KEYWORDS,
     "rng_draw(words, kind, n, a=0.0, b=0.0)\n--\n\n"
     "Draw n values of one kind in sequence from the stream with state words; returns (draws, words after).\n"
     "kind: next_u64 (uint64 array), uniform01, open01, standard_normal, standard_exponential,\n"
     "random_range (low=a, high=b), binomial (n_trials=a, p=b), poisson (lambda=a), gamma (shape=a),\n"
     "continuous_binomial (n=a, p=b), continuous_poisson (lambda=a)."},
    {"rng_range", QORIN_KW(rng_range), METH_VARARGS | METH_KEYWORDS,
     "rng_range(words, low, high, n)\n--\n\nn exact random_range draws as an int64 array; returns (draws, words)."},
    {"rng_multinomial", QORIN_KW(rng_multinomial), METH_VARARGS | METH_KEYWORDS,
     "rng_multinomial(words, n, probs, continuous=False)\n--\n\n"
     "Multinomial split of the integer count n (or of the real total n when continuous) over probs;\n"
     "returns (counts, words after)."},
    {"rng_memo_draws", QORIN_KW(rng_memo_draws), METH_VARARGS | METH_KEYWORDS,
     "rng_memo_draws(words, n, p, memos=1)\n--\n\n"
     "Binomial draws (n[i], p[i]) in sequence, Poisson draws (lambda = p[i]) where n[i] < 0, their\n"
     "set-ups kept in sampler memos (draw i uses memo i % memos, each a copy of an empty one);\n"
     "returns (draws, words after)."},
    {"round_values", QORIN_KW(round_values), METH_VARARGS | METH_KEYWORDS,
     "round_values(x)\n--\n\nround_half_away (float64) and round_count (int64) of every value of x."},
    {"rng_table", QORIN_KW(rng_table), METH_VARARGS | METH_KEYWORDS,
     "rng_table(name)\n--\n\nA ziggurat table (normal_x, normal_f, exp_x, exp_f) as a float64 array."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace qorin::py::testing
