// HistoryStore: the Python class around a shared history storage.
#pragma once

#include "core/output/history.hpp"
#include "python/np.hpp"

namespace qorin::py {

// The class object (created once, reused); nullptr with an exception on failure.
PyObject* history_store_type();

// The shared storage of a HistoryStore object (what a session keeps when it
// binds the store); TypeError naming `argname` when `obj` is not one.
bool history_store_storage(PyObject* obj, const char* argname, SharedHistory* out);

}  // namespace qorin::py
