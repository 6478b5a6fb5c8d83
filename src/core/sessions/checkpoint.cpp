#include "core/sessions/checkpoint.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <new>
#include <stdexcept>
#include <string_view>

#include "core/util/format.hpp"

namespace qorin {

const char* exec_state_name(ExecState s) {
  switch (s) {
    case ExecState::Ready: return "Ready";
    case ExecState::Running: return "Running";
    case ExecState::Stopped: return "Stopped";
    case ExecState::Failed: return "Failed";
  }
  return "Failed";
}

std::vector<std::vector<double>> TickCheckpoint::ecology_tensors() const {
  std::vector<std::vector<double>> out;
  out.reserve(EcologyParams::kNumTensors);
  for (size_t i = 0; i < EcologyParams::kNumTensors; ++i) {
    out.emplace_back(payload.begin() + static_cast<std::ptrdiff_t>(tensor_offsets[i]),
                     payload.begin() + static_cast<std::ptrdiff_t>(tensor_offsets[i + 1]));
  }
  return out;
}

TickCheckpoint CheckpointStore::make(const CheckpointSource& src) const {
  const EcologyParams& ecology = *src.ecology;
  TickCheckpoint cp;
  size_t total = src.individual_count.size() + src.sperm_storage.size();
  if (!policy_.whole_landscape) {
    for (std::string_view name : EcologyParams::kTensorNames) total += ecology.tensor_column(name)->size();
  }
  cp.payload.reserve(total);
  cp.payload.insert(cp.payload.end(), src.individual_count.begin(), src.individual_count.end());
  cp.payload.insert(cp.payload.end(), src.sperm_storage.begin(), src.sperm_storage.end());
  cp.n_individual = src.individual_count.size();
  cp.n_sperm = src.sperm_storage.size();
  cp.rng_words.reserve(src.rngs.size());
  for (const SessionRng& r : src.rngs) cp.rng_words.push_back({r.s0, r.s1, r.s2, r.s3});
  cp.tick = src.tick;
  if (policy_.whole_landscape) {
    cp.columns = ecology;
    cp.phase = src.phase;
    cp.state = src.state;
    return cp;
  }
  for (size_t i = 0; i < EcologyParams::kNumTensors; ++i) {
    const std::vector<double>& column = *ecology.tensor_column(EcologyParams::kTensorNames[i]);
    cp.tensor_offsets[i] = cp.payload.size();
    cp.payload.insert(cp.payload.end(), column.begin(), column.end());
  }
  cp.tensor_offsets[EcologyParams::kNumTensors] = cp.payload.size();
  if (!ecology.custom_slots.empty()) cp.custom_slots = ecology.custom_slots[0];
  cp.phase = 0;
  cp.state = ExecState::Ready;
  return cp;
}

Status CheckpointStore::capture(const CheckpointSource& src) {
  const int64_t tick = src.tick;
  if (!policy_.repeated_ticks && find(tick) != nullptr) return Status::ok();
  std::array<uint64_t, EcologyParams::kNumScalars> words{};
  if (!policy_.whole_landscape) {
    for (size_t i = 0; i < EcologyParams::kNumScalars; ++i) {
      Result<double> v = src.ecology->get_scalar(EcologyParams::kScalarNames[i]);
      if (!v) return v.error();
      words[i] = std::bit_cast<uint64_t>(*v);
    }
  }
  // Store, then index; an allocation failure in either leaves the store as it was.
  auto store = [&] {
    TickCheckpoint cp = make(src);
    cp.ecology_words = words;
    items_.push_back(std::move(cp));
    try {
      index_[tick] = front_seq_ + items_.size() - 1;
    } catch (...) {
      items_.pop_back();
      throw;
    }
  };
  if (policy_.whole_landscape) {
    // A landscape's copy can be large: running out of memory is its own error.
    try {
      store();
    } catch (const std::bad_alloc&) {
      return Error::memory("out of memory capturing a spatial checkpoint at tick " + format_int(tick));
    } catch (const std::length_error&) {
      return Error::memory("out of memory capturing a spatial checkpoint at tick " + format_int(tick));
    }
  } else {
    store();
  }
  if (items_.size() > 1 && tick <= max_tick_) increasing_ = false;
  min_tick_ = std::min(min_tick_, tick);
  max_tick_ = std::max(max_tick_, tick);
  return Status::ok();
}

const TickCheckpoint* CheckpointStore::find(int64_t tick, size_t* position) const {
  auto it = index_.find(tick);
  if (it == index_.end()) return nullptr;
  const size_t pos = static_cast<size_t>(it->second - front_seq_);
  if (position) *position = pos;
  return &items_[pos];
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
    index_[t] = static_cast<uint64_t>(i);  // a later checkpoint of the same tick wins
    min_tick_ = std::min(min_tick_, t);
    max_tick_ = std::max(max_tick_, t);
  }
}

void CheckpointStore::drop_after(size_t keep_last) {
  if (keep_last + 1 >= items_.size()) return;
  items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(keep_last + 1), items_.end());
  reindex();
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
