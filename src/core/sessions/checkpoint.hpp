// Restorable tick boundaries of a single-population session.
#pragma once

#include <array>
#include <span>
#include <cstdint>
#include <limits>
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
class CheckpointStore {
 public:
  // Appends a boundary unless one with this tick exists (then nothing happens).
  Status capture(const SessionRng& rng, const std::vector<double>& ind, const std::vector<double>& sperm,
                 int64_t tick, const EcologyParams& ecology);
  // The newest checkpoint with exactly this tick, or nullptr.
  const TickCheckpoint* find(int64_t tick) const;
  void retain_from(int64_t from_tick);
  void truncate_after(int64_t retain_until_tick);
  void clear() {
    items_.clear();
    index_.clear();
    min_tick_ = std::numeric_limits<int64_t>::max();
  }
  size_t size() const { return items_.size(); }
  const std::vector<TickCheckpoint>& items() const { return items_; }

 private:
  void reindex();

  std::vector<TickCheckpoint> items_;
  std::unordered_map<int64_t, size_t> index_;  // tick -> position in items_
  int64_t min_tick_ = std::numeric_limits<int64_t>::max();
};

// The stream to continue from four saved words; four zero words stand for
// the stream seeded with 0.
SessionRng rng_from_saved_words(const std::array<uint64_t, 4>& words);

}  // namespace qorin
