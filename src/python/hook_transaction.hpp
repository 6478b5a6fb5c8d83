// HookTransaction: the candidate copy of state, parameters and stream handed
// to one transaction-mode Python callback, committed only when it succeeds.
#pragma once

#include <span>
#include <vector>

#include "core/model/blueprint.hpp"
#include "core/model/ecology.hpp"
#include "core/model/genetics.hpp"
#include "core/random/rng.hpp"
#include "python/np.hpp"

namespace qorin::py {

struct TransactionData {
  Blueprint blueprint;
  EcologyParams ecology;
  GeneticsTensors genetics;
  std::vector<double> ind;
  std::vector<double> sperm;
  SessionRng rng;
  PyObject* ind_array = nullptr;  // owned; created by the first state_arrays()
  PyObject* sperm_array = nullptr;
  bool active = true;
  bool dirty = false;
};

// The class object (new reference).
PyObject* hook_transaction_type();
// A new active transaction owning `data` (new reference).
PyObject* new_hook_transaction(TransactionData data);
TransactionData& transaction_data(PyObject* txn);

// Reads a state array handed to a callback back into `out`: it must still be
// a float64 array of out.size() elements, every one finite and not negative.
// False with ValueError "Hook state must preserve shape and contain finite
// nonnegative counts" otherwise; `out` may then be partly written.
bool read_back_state(PyObject* array, std::span<double> out);

// The candidate state: true with `has_state` false when state_arrays() was
// never called; else both arrays read back into data.ind / data.sperm.
bool read_candidate_state(TransactionData& data, bool* has_state);

}  // namespace qorin::py
