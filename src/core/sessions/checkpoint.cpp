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
  // Store, then index; an allocation failure in either leaves the store as it was.
  items_.push_back(std::move(cp));
  try {
    index_.emplace(tick, front_seq_ + items_.size() - 1);
  } catch (...) {
    items_.pop_back();
    throw;
  }
  if (items_.size() > 1 && tick <= max_tick_) increasing_ = false;
  min_tick_ = std::min(min_tick_, tick);
  max_tick_ = std::max(max_tick_, tick);
  return Status::ok();
}

const TickCheckpoint* CheckpointStore::find(int64_t tick) const {
  auto it = index_.find(tick);
  return it == index_.end() ? nullptr : &items_[static_cast<size_t>(it->second - front_seq_)];
}

void CheckpointStore::clear() {
  items_.clear();
  index_.clear();
  front_seq_ = 0;
  increasing_ = true;
  min_tick_ = std::numeric_limits<int64_t>::max();
  max_tick_ = std::numeric_limits<int64_t>::min();
}

void CheckpointStore::reindex() {
  index_.clear();
  front_seq_ = 0;
  increasing_ = true;
  min_tick_ = std::numeric_limits<int64_t>::max();
  max_tick_ = std::numeric_limits<int64_t>::min();
  for (size_t i = 0; i < items_.size(); ++i) {
    const int64_t t = items_[i].tick;
    if (i > 0 && t <= max_tick_) increasing_ = false;
    index_.emplace(t, static_cast<uint64_t>(i));
    min_tick_ = std::min(min_tick_, t);
    max_tick_ = std::max(max_tick_, t);
  }
}

void CheckpointStore::retain_from(int64_t from_tick) {
  if (items_.empty() || min_tick_ >= from_tick) return;  // nothing older: O(1) on the run loop's path
  if (!increasing_) {
    std::erase_if(items_, [&](const TickCheckpoint& c) { return c.tick < from_tick; });
    reindex();
    return;
  }
  while (!items_.empty() && items_.front().tick < from_tick) {
    index_.erase(items_.front().tick);
    items_.pop_front();
    ++front_seq_;
  }
  if (items_.empty()) {
    clear();
  } else {
    min_tick_ = items_.front().tick;
  }
}

void CheckpointStore::truncate_after(int64_t retain_until_tick) {
  if (items_.empty() || max_tick_ <= retain_until_tick) return;
  if (!increasing_) {
    std::erase_if(items_, [&](const TickCheckpoint& c) { return c.tick > retain_until_tick; });
    reindex();
    return;
  }
  while (!items_.empty() && items_.back().tick > retain_until_tick) {
    index_.erase(items_.back().tick);
    items_.pop_back();
  }
  if (items_.empty()) {
    clear();
  } else {
    max_tick_ = items_.back().tick;
  }
}

SessionRng rng_from_saved_words(const std::array<uint64_t, 4>& w) {
  if (w[0] == 0 && w[1] == 0 && w[2] == 0 && w[3] == 0) return new_rng(0);
  return SessionRng{w[0], w[1], w[2], w[3]};
}

}  // namespace qorin
