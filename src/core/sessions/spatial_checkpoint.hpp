// Restorable tick boundaries of a spatial session: the stacked state, every
// deme's stream and the ecology columns. The variant bank, the variant ids,
// the hook program and the eco journal are not part of a checkpoint.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/model/ecology.hpp"
#include "core/random/rng.hpp"
#include "core/sessions/session_core.hpp"

namespace qorin {

struct SpatialTickCheckpoint {
  std::vector<double> individual_count_all;
  std::vector<double> sperm_storage_all;
  std::vector<std::array<uint64_t, 4>> rng_words;  // one per deme, deme order
  EcologyParams ecology;
  uint64_t phase = 0;
  int64_t tick = 0;
  ExecState state = ExecState::Ready;
};

// Checkpoints in capture order. Ticks need not be unique: a restore looks for
// the newest checkpoint of a tick.
class SpatialCheckpointStore {
 public:
  Status capture(const std::vector<double>& ind, const std::vector<double>& sperm,
                 const std::vector<SessionRng>& rngs, const EcologyParams& ecology, uint64_t phase, int64_t tick,
                 ExecState state);
  // Position of the newest checkpoint of exactly this tick.
  const SpatialTickCheckpoint* find_newest(int64_t tick, size_t* position) const;
  // Drops every checkpoint after position `keep_last`.
  void drop_after(size_t keep_last);
  // Drops every checkpoint whose tick is greater than retain_until_tick.
  void truncate_after(int64_t retain_until_tick);
  // Drops every checkpoint whose tick is smaller than from_tick.
  void retain_from(int64_t from_tick);
  void clear() { items_.clear(); }
  size_t size() const { return items_.size(); }
  const std::vector<SpatialTickCheckpoint>& items() const { return items_; }

 private:
  std::vector<SpatialTickCheckpoint> items_;
};

}  // namespace qorin
