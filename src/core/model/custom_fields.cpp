#include "core/model/custom_fields.hpp"

#include <cstring>
#include <unordered_map>

namespace qorin {

CustomSlot CustomSlot::make_bool(bool v) {
  CustomSlot s;
  s.kind = Kind::Bool;
  s.b = v;
  return s;
}

CustomSlot CustomSlot::make_int(int64_t v) {
  CustomSlot s;
  s.kind = Kind::Int;
  s.i = v;
  return s;
}

CustomSlot CustomSlot::make_float(double v) {
  CustomSlot s;
  s.kind = Kind::Float;
  s.f = v;
  return s;
}

CustomSlot CustomSlot::make_array(std::vector<double> values, std::vector<size_t> shape) {
  CustomSlot s;
  s.kind = Kind::Array;
  s.values = std::move(values);
  s.shape = std::move(shape);
  return s;
}

namespace {
bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof(double)) == 0; }
}  // namespace

bool CustomSlot::same_as(const CustomSlot& o) const {
  if (kind != o.kind) return false;
  switch (kind) {
    case Kind::Bool: return b == o.b;
    case Kind::Int: return i == o.i;
    case Kind::Float: return same_bits(f, o.f);
    case Kind::Array:
      if (shape != o.shape || values.size() != o.values.size()) return false;
      for (size_t k = 0; k < values.size(); ++k) {
        if (!same_bits(values[k], o.values[k])) return false;
      }
      return true;
  }
  return false;
}

const CustomSlot* CustomSlotMap::find(std::string_view name) const {
  for (const Entry& e : entries_) {
    if (e.first == name) return &e.second;
  }
  return nullptr;
}

CustomSlot* CustomSlotMap::find(std::string_view name) {
  for (Entry& e : entries_) {
    if (e.first == name) return &e.second;
  }
  return nullptr;
}

CustomSlotMap CustomSlotMap::from_entries(std::vector<Entry> entries) {
  CustomSlotMap map;
  map.entries_.reserve(entries.size());  // no reallocation: the views below stay valid
  std::unordered_map<std::string_view, size_t> position;
  position.reserve(entries.size());
  for (Entry& e : entries) {
    auto found = position.find(e.first);
    if (found != position.end()) {
      map.entries_[found->second].second = std::move(e.second);
      continue;
    }
    map.entries_.push_back(std::move(e));
    position.emplace(map.entries_.back().first, map.entries_.size() - 1);
  }
  return map;
}

void CustomSlotMap::insert_or_assign(std::string name, CustomSlot slot) {
  if (CustomSlot* existing = find(name)) {
    *existing = std::move(slot);
    return;
  }
  entries_.emplace_back(std::move(name), std::move(slot));
}

bool CustomSlotMap::erase(std::string_view name) {
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->first == name) {
      entries_.erase(it);
      return true;
    }
  }
  return false;
}

bool CustomSlotMap::same_as(const CustomSlotMap& other) const {
  if (size() != other.size()) return false;
  // Usually both maps hold their names in the same order; otherwise the other
  // map's names are indexed once, so the comparison stays linear.
  size_t k = 0;
  while (k < entries_.size() && entries_[k].first == other.entries_[k].first) {
    if (!entries_[k].second.same_as(other.entries_[k].second)) return false;
    ++k;
  }
  if (k == entries_.size()) return true;
  std::unordered_map<std::string_view, const CustomSlot*> index;
  index.reserve(other.entries_.size() - k);
  for (size_t i = k; i < other.entries_.size(); ++i) index.emplace(other.entries_[i].first, &other.entries_[i].second);
  for (size_t i = k; i < entries_.size(); ++i) {
    auto it = index.find(entries_[i].first);
    if (it == index.end() || !entries_[i].second.same_as(*it->second)) return false;
  }
  return true;
}

}  // namespace qorin
