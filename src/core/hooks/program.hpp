// The compiled hook program: a three-level CSR tree (events own runs of hooks,
// hooks own runs of operations, operations own runs in the side columns), the
// Python callback lists spliced into it, and the two queues shared with the
// spatial deme ticks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "core/model/codes.hpp"
#include "core/model/ecology.hpp"
#include "core/model/genetics.hpp"
#include "core/util/error.hpp"

namespace qorin {

// A registered Python callable, opaque to the core. The Python layer derives
// from it; the core only counts and hands them back to the CallbackHost.
struct CallbackHandle {
  virtual ~CallbackHandle() = default;
};
using CallbackList = std::vector<std::shared_ptr<CallbackHandle>>;

// Parameters a successful callback transaction leaves for a spatial deme tick.
struct CandidateEntry {
  size_t deme = 0;
  EcologyParams ecology;
  GeneticsTensors genetics;
};

// Lock-guarded queues; copying a program copies their contents.
struct HookQueues {
  HookQueues() = default;
  HookQueues(const HookQueues& o);
  HookQueues& operator=(const HookQueues& o);

  // Replaces the entry of the same deme, else appends.
  void put_candidate(CandidateEntry entry);
  std::vector<CandidateEntry> take_candidates();
  void push_phase(size_t deme);
  std::vector<size_t> take_phases();

 private:
  mutable std::mutex mu_;
  std::vector<CandidateEntry> candidates_;
  std::vector<size_t> phases_;
};

struct HookProgram {
  int64_t n_hooks = 0;
  int64_t n_events = 0;
  bool has_set_param = false;

  // event level
  std::vector<int64_t> hook_offsets;
  // hook level
  std::vector<int64_t> op_offsets;
  std::vector<int64_t> deme_selector_types;
  std::vector<int64_t> deme_selector_offsets;
  std::vector<int64_t> deme_selector_data;
  std::vector<int64_t> python_callback_slots;
  // operation level
  std::vector<int64_t> op_types_data;
  std::vector<double> params_data;
  std::vector<bool> sex_masks_data;
  std::vector<int64_t> age_offsets_data;
  std::vector<int64_t> age_data;
  std::vector<int64_t> zidx_offsets_data;
  std::vector<int64_t> zidx_data;
  std::vector<int64_t> condition_offsets_data;
  std::vector<int64_t> condition_types_data;
  std::vector<int64_t> condition_params_data;
  std::vector<int64_t> sp_param_ids;
  std::vector<int64_t> sp_every;
  std::vector<int64_t> sp_start;
  std::vector<int64_t> rpn_offsets;
  std::vector<int64_t> rpn_kinds;
  std::vector<int64_t> rpn_payload;
  std::vector<double> sp_literals;
  std::vector<int64_t> convert_offsets;
  std::vector<int64_t> convert_source_coords;
  std::vector<int64_t> convert_target_coords;
  std::vector<int64_t> convert_source_z;
  std::vector<int64_t> convert_target_z;
  std::vector<int64_t> clear_offsets;
  std::vector<int64_t> clear_coords;

  // Python callables per event id, in registration order. Absent (not even
  // empty lists) until callbacks are installed.
  bool has_callback_lists = false;
  std::vector<CallbackList> callback_lists;

  // Shared with the spatial deme ticks.
  mutable HookQueues queues;

  // The empty program: no hooks, no events, no callbacks.
  static HookProgram empty() { return HookProgram{}; }

  size_t n_ops() const { return op_types_data.size(); }

  // Gives every registered callable a callback hook: events with fewer
  // callback hooks than callables get new hooks appended to the end of the
  // event; surplus callback hooks become ordinary hooks. Replaces the stored
  // lists. Fails, leaving the program unchanged, when its hook-level columns
  // are too malformed to splice.
  Status install_callback_lists(std::vector<CallbackList> lists);
  // Removes the Python callbacks: a program made only of callback hooks
  // becomes empty, otherwise every callback hook becomes an ordinary hook.
  void clear_callbacks();
};

}  // namespace qorin
