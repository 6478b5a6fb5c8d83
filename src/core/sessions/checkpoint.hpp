// Restorable tick boundaries of a single-population session.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <limits>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/model/custom_fields.hpp"
#include "core/model/ecology.hpp"
#include "core/random/rng.hpp"
#include "core/util/error.hpp"

namespace qorin {

// One captured boundary. Counts, stored sperm and the ecology tensor columns
// share one buffer, so a capture costs a single allocation.
struct TickCheckpoint {
  std::vector<double> payload;  // counts, then stored sperm, then the tensor columns in order
  size_t n_individual = 0;
  size_t n_sperm = 0;
  std::array<size_t, EcologyParams::kNumTensors + 1> tensor_offsets{};  // into payload
  std::array<uint64_t, EcologyParams::kNumScalars> ecology_words{};
  CustomSlotMap custom_slots;
  int64_t phase = 0;
  int64_t tick = 0;
  std::array<uint64_t, 4> rng_words{};
  uint8_t execution_state = 0;  // Ready

  std::span<const double> individual_count() const { return {payload.data(), n_individual}; }
  std::span<const double> sperm_storage() const { return {payload.data() + n_individual, n_sperm}; }
  // The tensor columns as separate vectors, for a restore.
  std::vector<std::vector<double>> ecology_tensors() const;
};

// Ordered by capture; ticks are unique.
//
// A bound history with a row limit prunes the oldest checkpoint on every
// eviction, so pruning from either end must not cost more than what it
// removes: the checkpoints sit in a deque, and the index maps a tick to the
// checkpoint's absolute sequence number (its position plus the number of
// checkpoints ever removed from the front), which stays valid when the front
// is popped. While ticks increase in capture order (always, unless a state
// was installed at an earlier tick without truncating) both prunes pop from
// an end; otherwise they fall back to one filtering pass.
class CheckpointStore {
 public:
  // Appends a boundary unless one with this tick exists (then nothing happens).
  Status capture(const SessionRng& rng, const std::vector<double>& ind, const std::vector<double>& sperm,
                 int64_t tick, const EcologyParams& ecology);
  // The newest checkpoint with exactly this tick, or nullptr.
  const TickCheckpoint* find(int64_t tick) const;
  // Removes every checkpoint with tick < from_tick.
  void retain_from(int64_t from_tick);
  // Removes every checkpoint with tick > retain_until_tick.
  void truncate_after(int64_t retain_until_tick);
  void clear();
  size_t size() const { return items_.size(); }
  const std::deque<TickCheckpoint>& items() const { return items_; }

 private:
  // Rebuilds the index and the order flags after a filtering pass.
  void reindex();

  std::deque<TickCheckpoint> items_;
  std::unordered_map<int64_t, uint64_t> index_;  // tick -> sequence number
  uint64_t front_seq_ = 0;                       // sequence number of items_.front()
  bool increasing_ = true;                       // ticks strictly increase front to back
  int64_t min_tick_ = std::numeric_limits<int64_t>::max();
  int64_t max_tick_ = std::numeric_limits<int64_t>::min();
};

// The stream to continue from four saved words; four zero words stand for
// the stream seeded with 0.
SessionRng rng_from_saved_words(const std::array<uint64_t, 4>& words);

}  // namespace qorin
