#include "python/rng_words.hpp"

#include <string>

#include "core/util/format.hpp"
#include "python/convert.hpp"

namespace qorin::py {

bool rng_from_words(PyObject* obj, SessionRng* out) {
  Ref seq(sequence_items(obj, "rng_words must be a sequence of 4 integers"));
  if (!seq) return false;
  const Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
  if (n != 4) {
    std::string msg = "rng_words must contain 4 state words, got " + format_int(static_cast<int64_t>(n));
    PyErr_SetString(PyExc_ValueError, msg.c_str());
    return false;
  }
  uint64_t w[4];
  for (Py_ssize_t i = 0; i < 4; ++i) {
    if (!to_u64(PyTuple_GET_ITEM(seq.get(), i), &w[i])) return false;
  }
  *out = SessionRng{w[0], w[1], w[2], w[3]};
  return true;
}

PyObject* rng_words_list(const SessionRng& r) {
  const uint64_t w[4] = {r.s0, r.s1, r.s2, r.s3};
  PyObject* l = PyList_New(4);
  if (!l) return nullptr;
  for (Py_ssize_t i = 0; i < 4; ++i) {
    PyObject* v = PyLong_FromUnsignedLongLong(w[i]);
    if (!v) {
      Py_DECREF(l);
      return nullptr;
    }
    PyList_SET_ITEM(l, i, v);
  }
  return l;
}

}  // namespace qorin::py
