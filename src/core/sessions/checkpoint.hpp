// Restorable tick boundaries of a session, for one deme or a landscape.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/model/custom_fields.hpp"
#include "core/model/ecology.hpp"
#include "core/random/rng.hpp"
#include "core/sessions/execution_state.hpp"
#include "core/util/error.hpp"

namespace qorin {

// What a store keeps and what a restore brings back; a single population and
// a landscape differ here.
struct CheckpointPolicy {
  // Every capture is kept, even of a tick already held (a restore takes the
  // newest of that tick and drops every later checkpoint). Otherwise a tick
  // is held once and a restore keeps the later checkpoints.
  bool repeated_ticks = false;
  // A checkpoint holds the whole ecology column set (every deme, custom slots
  // included) and the execution state and phase cursor at capture. Otherwise
  // it holds deme 0's scalar words, tensor columns and custom slots, and is a
  // Ready boundary at phase 0.
  bool whole_landscape = false;
};

// One captured boundary. Counts, stored sperm and (one-deme form) the ecology
// tensor columns share one buffer, so a capture of one deme costs a single
// allocation beside its stream words.
struct TickCheckpoint {
  std::vector<double> payload;  // counts, then stored sperm, then the tensor columns in order
  size_t n_individual = 0;
  size_t n_sperm = 0;
  // One-deme form of the ecology.
  std::array<size_t, EcologyParams::kNumTensors + 1> tensor_offsets{};  // into payload
  std::array<uint64_t, EcologyParams::kNumScalars> ecology_words{};
  CustomSlotMap custom_slots;
  // Landscape form of the ecology: every column.
  std::optional<EcologyParams> columns;
  std::vector<std::array<uint64_t, 4>> rng_words;  // one per deme, deme order
  uint64_t phase = 0;
  int64_t tick = 0;
  ExecState state = ExecState::Ready;

  std::span<const double> individual_count() const { return {payload.data(), n_individual}; }
  std::span<const double> sperm_storage() const { return {payload.data() + n_individual, n_sperm}; }
  // The one-deme tensor columns as separate vectors, for a restore.
  std::vector<std::vector<double>> ecology_tensors() const;
};

// What a capture copies.
struct CheckpointSource {
  std::span<const double> individual_count;
  std::span<const double> sperm_storage;
  std::span<const SessionRng> rngs;
  const EcologyParams* ecology = nullptr;
  uint64_t phase = 0;
  int64_t tick = 0;
  ExecState state = ExecState::Ready;
};

// Ordered by capture.
//
// A bound history with a row limit prunes the oldest checkpoint on every
// eviction, so pruning from either end must not cost more than what it
// removes: the checkpoints sit in a deque, and the index maps a tick to the
// absolute sequence number of its newest checkpoint (its position plus the
// number of checkpoints ever removed from the front), which stays valid when
// the front is popped. While ticks increase in capture order (always, unless
// a state was installed at an earlier tick without truncating, or a landscape
// captured a tick twice) both prunes pop from an end; otherwise they fall
// back to one filtering pass.
class CheckpointStore {
 public:
  explicit CheckpointStore(CheckpointPolicy policy = {}) : policy_(policy) {}

  // Appends a boundary (unless the policy holds each tick once and this one is held).
  Status capture(const CheckpointSource& source);
  // The newest checkpoint with exactly this tick and its position, or nullptr.
  const TickCheckpoint* find(int64_t tick, size_t* position = nullptr) const;
  // Removes every checkpoint after position `keep_last`.
  void drop_after(size_t keep_last);
  // Removes every checkpoint with tick < from_tick.
  void retain_from(int64_t from_tick);
  // Removes every checkpoint with tick > retain_until_tick.
  void truncate_after(int64_t retain_until_tick);
  void clear();
  size_t size() const { return items_.size(); }
  const std::deque<TickCheckpoint>& items() const { return items_; }
  const CheckpointPolicy& policy() const { return policy_; }

 private:
  TickCheckpoint make(const CheckpointSource& source) const;
  // Rebuilds the index and the order flags after a filtering pass.
  void reindex();

  CheckpointPolicy policy_;
  std::deque<TickCheckpoint> items_;
  std::unordered_map<int64_t, uint64_t> index_;  // tick -> sequence number of its newest checkpoint
  uint64_t front_seq_ = 0;                       // sequence number of items_.front()
  bool increasing_ = true;                       // ticks strictly increase front to back
  int64_t min_tick_ = std::numeric_limits<int64_t>::max();
  int64_t max_tick_ = std::numeric_limits<int64_t>::min();
};

// The stream to continue from four saved words; four zero words stand for
// the stream seeded with 0.
SessionRng rng_from_saved_words(const std::array<uint64_t, 4>& words);

}  // namespace qorin
