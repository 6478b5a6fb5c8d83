// The random stream's four state words as exchanged with Python.
#pragma once

#include "core/random/rng.hpp"
#include "python/np.hpp"

namespace qorin::py {

// A sequence of exactly four unsigned 64-bit words; ValueError
// "rng_words must contain 4 state words, got {n}" otherwise.
bool rng_from_words(PyObject* obj, SessionRng* out);
// A new list of the four words as Python ints.
PyObject* rng_words_list(const SessionRng& r);

}  // namespace qorin::py
