// Parameter log: the append-only timeline of parameter changes of one
// population. The storage is shared by reference between the Python object,
// the history stores it is bound to and the sessions recording into them, and
// is guarded by its own lock. Every public member takes the lock for its whole
// duration; none calls back into foreign code while holding it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/model/custom_fields.hpp"
#include "core/util/error.hpp"

namespace qorin {

// None or a custom-slot value (bool, integer, float, float tensor).
struct AuditValue {
  std::optional<CustomSlot> value;

  static AuditValue none() { return {}; }
  static AuditValue of(CustomSlot v) { return {std::move(v)}; }

  // float -> itself, integer -> as float, bool -> 1 or 0, tensor and None -> 0.
  double scalar_view() const;
  // Same kind with equal content; floats and tensor elements compare with ==
  // (so NaN never equals NaN), tensors also need the same shape.
  bool equals(const AuditValue& other) const;
};

struct LogEntry {
  int64_t tick = 0;
  std::string name;
  double old_value = 0.0;
  double new_value = 0.0;
  std::string event;
  uint64_t deme = 0;
  // Only entries made from audit values carry them (old, new).
  std::shared_ptr<const std::pair<AuditValue, AuditValue>> typed;
};

// Label of an ecology write-context stage code in log entries.
const char* stage_event_label(int64_t stage_code);

class ParameterLogData {
 public:
  ParameterLogData() = default;
  ParameterLogData(const ParameterLogData&) = delete;
  ParameterLogData& operator=(const ParameterLogData&) = delete;

  size_t size() const;
  // Appends the entry as given (no equality filter).
  void push(LogEntry entry);
  void push_all(std::vector<LogEntry> entries);
  // Appends a scalar change unless old == new (NaN always differs). Returns
  // whether an entry was added.
  bool append_change(int64_t tick, std::string name, double old_value, double new_value,
                     std::string event, uint64_t deme);
  // Appends a typed change unless the two audit values are equal.
  bool append_value(int64_t tick, std::string name, AuditValue old_value, AuditValue new_value,
                    std::string event, uint64_t deme);
  // Drops every entry from index `count` on; a log of at most `count` entries
  // is left alone.
  void truncate(size_t count);
  // Like truncate, but a position beyond the current length is an error.
  Status rollback(size_t position);
  void clear();
  // A copy of the entries, in append order.
  std::vector<LogEntry> entries() const;

 private:
  mutable std::mutex mu_;
  std::vector<LogEntry> entries_;
};

using SharedParameterLog = std::shared_ptr<ParameterLogData>;

}  // namespace qorin
