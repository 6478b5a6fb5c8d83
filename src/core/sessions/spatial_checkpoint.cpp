#include "core/sessions/spatial_checkpoint.hpp"

#include <algorithm>
#include <new>
#include <stdexcept>

namespace qorin {

Status SpatialCheckpointStore::capture(const std::vector<double>& ind, const std::vector<double>& sperm,
                                       const std::vector<SessionRng>& rngs, const EcologyParams& ecology,
                                       uint64_t phase, int64_t tick, ExecState state) {
  try {
    SpatialTickCheckpoint cp;
    cp.individual_count_all = ind;
    cp.sperm_storage_all = sperm;
    cp.rng_words.reserve(rngs.size());
    for (const SessionRng& r : rngs) cp.rng_words.push_back({r.s0, r.s1, r.s2, r.s3});
    cp.ecology = ecology;
    cp.phase = phase;
    cp.tick = tick;
    cp.state = state;
    items_.push_back(std::move(cp));
  } catch (const std::bad_alloc&) {
    return Error::memory("out of memory capturing a spatial checkpoint at tick " + std::to_string(tick));
  } catch (const std::length_error&) {
    return Error::memory("out of memory capturing a spatial checkpoint at tick " + std::to_string(tick));
  }
  return Status::ok();
}

const SpatialTickCheckpoint* SpatialCheckpointStore::find_newest(int64_t tick, size_t* position) const {
  for (size_t i = items_.size(); i-- > 0;) {
    if (items_[i].tick == tick) {
      if (position) *position = i;
      return &items_[i];
    }
  }
  return nullptr;
}

void SpatialCheckpointStore::drop_after(size_t keep_last) {
  if (keep_last + 1 < items_.size()) items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(keep_last + 1), items_.end());
}

void SpatialCheckpointStore::truncate_after(int64_t retain_until_tick) {
  std::erase_if(items_, [&](const SpatialTickCheckpoint& c) { return c.tick > retain_until_tick; });
}

void SpatialCheckpointStore::retain_from(int64_t from_tick) {
  std::erase_if(items_, [&](const SpatialTickCheckpoint& c) { return c.tick < from_tick; });
}

}  // namespace qorin
