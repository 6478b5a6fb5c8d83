#include "core/output/parameter_log.hpp"

#include <string_view>

#include "core/model/codes.hpp"

namespace qorin {

double AuditValue::scalar_view() const {
  if (!value) return 0.0;
  switch (value->kind) {
    case CustomSlot::Kind::Float: return value->f;
    case CustomSlot::Kind::Int: return static_cast<double>(value->i);
    case CustomSlot::Kind::Bool: return value->b ? 1.0 : 0.0;
    case CustomSlot::Kind::Array: return 0.0;
  }
  return 0.0;
}

bool AuditValue::equals(const AuditValue& other) const {
  if (!value || !other.value) return !value && !other.value;
  const CustomSlot& a = *value;
  const CustomSlot& b = *other.value;
  if (a.kind != b.kind) return false;
  switch (a.kind) {
    case CustomSlot::Kind::Bool: return a.b == b.b;
    case CustomSlot::Kind::Int: return a.i == b.i;
    case CustomSlot::Kind::Float: return a.f == b.f;
    case CustomSlot::Kind::Array: {
      if (a.shape != b.shape || a.values.size() != b.values.size()) return false;
      for (size_t i = 0; i < a.values.size(); ++i) {
        if (!(a.values[i] == b.values[i])) return false;
      }
      return true;
    }
  }
  return false;
}

const char* stage_event_label(int64_t stage_code) {
  // The stage at which an event's hooks run (stage_of_event: 2e) carries the
  // event's label; the labels are string literals, so null-terminated.
  if (stage_code == code_of(Stage::Schedule)) return code_label("Stage", stage_code).data();
  if (stage_code % 2 == 0) {
    const std::string_view label = code_label("Event", stage_code / 2);
    if (!label.empty()) return label.data();
  }
  return "update";
}

size_t ParameterLogData::size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return entries_.size();
}

void ParameterLogData::push(LogEntry entry) {
  std::lock_guard<std::mutex> lock(mu_);
  entries_.push_back(std::move(entry));
}

void ParameterLogData::push_all(std::vector<LogEntry> entries) {
  std::lock_guard<std::mutex> lock(mu_);
  entries_.reserve(entries_.size() + entries.size());
  for (LogEntry& e : entries) entries_.push_back(std::move(e));
}

bool ParameterLogData::append_change(int64_t tick, std::string name, double old_value,
                                     double new_value, std::string event, uint64_t deme) {
  if (old_value == new_value) return false;
  LogEntry e;
  e.tick = tick;
  e.name = std::move(name);
  e.old_value = old_value;
  e.new_value = new_value;
  e.event = std::move(event);
  e.deme = deme;
  push(std::move(e));
  return true;
}

bool ParameterLogData::append_value(int64_t tick, std::string name, AuditValue old_value,
                                    AuditValue new_value, std::string event, uint64_t deme) {
  if (old_value.equals(new_value)) return false;
  LogEntry e;
  e.tick = tick;
  e.name = std::move(name);
  e.old_value = old_value.scalar_view();
  e.new_value = new_value.scalar_view();
  e.event = std::move(event);
  e.deme = deme;
  e.typed = std::make_shared<const std::pair<AuditValue, AuditValue>>(std::move(old_value),
                                                                      std::move(new_value));
  push(std::move(e));
  return true;
}

void ParameterLogData::truncate(size_t count) {
  std::lock_guard<std::mutex> lock(mu_);
  if (entries_.size() > count) entries_.resize(count);
}

Status ParameterLogData::rollback(size_t position) {
  std::lock_guard<std::mutex> lock(mu_);
  if (position > entries_.size()) return Error::value("Invalid parameter log transaction mark");
  entries_.resize(position);
  return Status::ok();
}

void ParameterLogData::clear() {
  std::lock_guard<std::mutex> lock(mu_);
  entries_.clear();
}

std::vector<LogEntry> ParameterLogData::entries() const {
  std::lock_guard<std::mutex> lock(mu_);
  return entries_;
}

}  // namespace qorin
