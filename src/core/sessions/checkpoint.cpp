#include "core/sessions/checkpoint.hpp"

#include <algorithm>
#include <bit>
#include <string_view>
#include <limits>

namespace qorin {

std::vector<std::vector<double>> TickCheckpoint::ecology_tensors() const {
  std::vector<std::vector<double>> out;
  out.reserve(EcologyParams::kNumTensors);
  for (size_t i = 0; i < EcologyParams::kNumTensors; ++i) {
    out.emplace_back(payload.begin() + static_cast<std::ptrdiff_t>(tensor_offsets[i]),
                     payload.begin() + static_cast<std::ptrdiff_t>(tensor_offsets[i + 1]));
  }
  return out;
}

Status CheckpointStore::capture(const SessionRng& rng, const std::vector<double>& ind,
                                const std::vector<double>& sperm, int64_t tick, const EcologyParams& ecology) {
  if (find(tick) != nullptr) return Status::ok();
  TickCheckpoint cp;
  for (size_t i = 0; i < EcologyParams::kNumScalars; ++i) {
    Result<double> v = ecology.get_scalar(EcologyParams::kScalarNames[i]);
    if (!v) return v.error();
    cp.ecology_words[i] = std::bit_cast<uint64_t>(*v);
  }
  size_t total = ind.size() + sperm.size();
  for (std::string_view name : EcologyParams::kTensorNames) total += ecology.tensor_column(name)->size();
  cp.payload.reserve(total);
  cp.payload.insert(cp.payload.end(), ind.begin(), ind.end());
  cp.payload.insert(cp.payload.end(), sperm.begin(), sperm.end());
  cp.n_individual = ind.size();
  cp.n_sperm = sperm.size();
  for (size_t i = 0; i < EcologyParams::kNumTensors; ++i) {
    const std::vector<double>& column = *ecology.tensor_column(EcologyParams::kTensorNames[i]);
    cp.tensor_offsets[i] = cp.payload.size();
    cp.payload.insert(cp.payload.end(), column.begin(), column.end());
  }
  cp.tensor_offsets[EcologyParams::kNumTensors] = cp.payload.size();
  if (!ecology.custom_slots.empty()) cp.custom_slots = ecology.custom_slots[0];
  cp.phase = 0;
  cp.tick = tick;
  cp.rng_words = {rng.s0, rng.s1, rng.s2, rng.s3};
  cp.execution_state = 0;
  index_.emplace(tick, items_.size());
  min_tick_ = std::min(min_tick_, tick);
  items_.push_back(std::move(cp));
  return Status::ok();
}

const TickCheckpoint* CheckpointStore::find(int64_t tick) const {
  auto it = index_.find(tick);
  return it == index_.end() ? nullptr : &items_[it->second];
}

void CheckpointStore::reindex() {
  index_.clear();
  min_tick_ = std::numeric_limits<int64_t>::max();
  for (size_t i = 0; i < items_.size(); ++i) {
    index_.emplace(items_[i].tick, i);
    min_tick_ = std::min(min_tick_, items_[i].tick);
  }
}

void CheckpointStore::retain_from(int64_t from_tick) {
  if (items_.empty() || min_tick_ >= from_tick) return;  // nothing older: O(1) on the run loop's path
  std::erase_if(items_, [&](const TickCheckpoint& c) { return c.tick < from_tick; });
  reindex();
}

void CheckpointStore::truncate_after(int64_t retain_until_tick) {
  std::erase_if(items_, [&](const TickCheckpoint& c) { return c.tick > retain_until_tick; });
  reindex();
}

SessionRng rng_from_saved_words(const std::array<uint64_t, 4>& w) {
  if (w[0] == 0 && w[1] == 0 && w[2] == 0 && w[3] == 0) return new_rng(0);
  return SessionRng{w[0], w[1], w[2], w[3]};
}

}  // namespace qorin
