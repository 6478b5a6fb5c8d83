#include "core/sessions/parameter_schedule.hpp"

#include <algorithm>
#include <cstring>
#include <optional>

#include "core/model/codes.hpp"
#include "core/util/format.hpp"

namespace qorin {

namespace {

// A value a staged parameter may hold (the growth rate's own rule included).
bool admits(Field field, double v) { return field_info(field).admits(v); }

std::string range_text(const FieldInfo& info) {
  return "[" + format_number(info.lower) + ", " + format_number(info.upper) + "]";
}

bool same_row(const ParameterSchedule& s, size_t a, size_t b) {
  return std::memcmp(s.table.data() + a * s.width, s.table.data() + b * s.width, s.width * sizeof(double)) == 0;
}

}  // namespace

int64_t ParameterSchedule::row_at(int64_t tick) const {
  if (tick < start || n_rows == 0) return -1;
  const uint64_t k = static_cast<uint64_t>(tick - start);
  if (k < n_rows) return static_cast<int64_t>(k);
  return repeat ? static_cast<int64_t>(k % n_rows) : -1;
}

bool ParameterSchedule::changes_at(int64_t tick) const {
  if (tick == start) return n_rows > 0;
  const int64_t k = row_at(tick);
  return k >= 0 && changed[static_cast<size_t>(k)] != 0;
}

Status check_schedule(ParameterSchedule& s, size_t n_demes) {
  const FieldInfo& info = field_info(s.field);
  const std::string what = "schedule of " + std::string(info.name);
  QORIN_TRY(schedulable_field(info.name));
  if (s.n_rows == 0) return Error::value(what + ": the table has no rows");
  if (s.width != 1 && s.width != n_demes) {
    return Error::value(what + ": the table has " + format_uint(s.width) + " columns for " + format_uint(n_demes) +
                        " demes");
  }
  if (s.table.size() / s.width != s.n_rows || s.table.size() % s.width != 0) {
    return Error::value(what + ": the table holds " + format_uint(s.table.size()) + " values, not " +
                        format_uint(s.n_rows) + " x " + format_uint(s.width));
  }
  if (s.start < 0) return Error::value(what + ": start must be nonnegative, got " + format_int(s.start));
  if (!s.base.empty() && s.base.size() != n_demes) {
    return Error::value(what + ": " + format_uint(s.base.size()) + " base values for " + format_uint(n_demes) +
                        " demes");
  }
  // Every value the schedule can write, found before the first tick.
  for (size_t k = 0; k < s.n_rows; ++k) {
    for (size_t d = 0; d < n_demes; ++d) {
      const double v = s.value(k, d);
      if (admits(s.field, v)) continue;
      return Error::value(what + ": row " + format_uint(k) + " gives deme " + format_uint(d) + " the value " +
                          format_number(v) + ", outside " + range_text(info));
    }
  }
  s.changed.assign(s.n_rows, 0);
  for (size_t k = 0; k < s.n_rows; ++k) {
    s.changed[k] = same_row(s, k, k == 0 ? s.n_rows - 1 : k - 1) ? 0 : 1;
  }
  return Status::ok();
}

Status check_schedules(std::vector<ParameterSchedule>& schedules, size_t n_demes) {
  for (size_t i = 0; i < schedules.size(); ++i) {
    QORIN_TRY(check_schedule(schedules[i], n_demes));
    for (size_t j = 0; j < i; ++j) {
      if (schedules[j].field == schedules[i].field) {
        return Error::value("two schedules set " + std::string(field_info(schedules[i].field).name) +
                            "; combine them into one");
      }
    }
  }
  return Status::ok();
}

namespace {

JournalRow schedule_row(Field field, int64_t tick, size_t deme, double old_value, double new_value) {
  JournalRow r;
  r.tick = tick;
  r.param_id = static_cast<uint32_t>(field_info(field).param_id);
  r.old_value = old_value;
  r.new_value = new_value;
  r.stage = code_of(Stage::Schedule);
  r.deme = deme;
  return r;
}

}  // namespace

namespace {

// Writes value_of(d) into deme d of the field's column where it differs,
// one journal row per write, demes in order.
template <class ValueOf>
void write_changes(Field field, int64_t tick, ValueOf value_of, std::vector<double>& col,
                   std::vector<JournalRow>& journal) {
  for (size_t d = 0; d < col.size(); ++d) {
    const double v = value_of(d);
    if (col[d] == v) continue;
    journal.push_back(schedule_row(field, tick, d, col[d], v));
    col[d] = v;
  }
}

}  // namespace

void apply_schedules(const std::vector<ParameterSchedule>& schedules, int64_t tick, EcologyParams& eco,
                     std::vector<JournalRow>& journal) {
  for (const ParameterSchedule& s : schedules) {
    if (!s.changes_at(tick)) continue;
    const size_t k = static_cast<size_t>(s.row_at(tick));
    write_changes(s.field, tick, [&](size_t d) { return s.value(k, d); }, *eco.real_column(s.field), journal);
  }
}

Result<Field> schedulable_field(std::string_view name) {
  const std::optional<Field> f = find_field(name, FieldGroup::EcologyScalar);
  if (!f || field_info(*f).param_id < 0 || field_info(*f).kind != FieldKind::Real) {
    std::string names;
    for (Field p : kParamFields) {
      if (field_info(p).kind != FieldKind::Real) continue;
      if (!names.empty()) names += ", ";
      names += std::string(field_info(p).name);
    }
    return Error::value("a schedule sets one of " + names + "; got " + quote_name(std::string(name)));
  }
  return *f;
}

Status check_scheduled_values(Field field, std::span<const double> values, int64_t tick, const EcologyParams& eco,
                              const std::string& what) {
  const FieldInfo& info = field_info(field);
  const std::vector<double>* col = eco.real_column(field);
  if (info.group != FieldGroup::EcologyScalar || info.param_id < 0 || !col) {
    return Error::value(std::string(info.name) + " cannot be scheduled (a schedule sets a staged real parameter)");
  }
  if (values.size() != col->size()) {
    return Error::value(what + " at tick " + format_int(tick) + ": expected one value or " +
                        format_uint(col->size()) + " values, got " + format_uint(values.size()));
  }
  for (size_t d = 0; d < values.size(); ++d) {
    if (!admits(field, values[d])) {
      return Error::value(what + " at tick " + format_int(tick) + ": " + std::string(info.name) + " must be in " +
                          range_text(info) + ", got " + format_number(values[d]) + " at deme " + format_uint(d));
    }
  }
  return Status::ok();
}

void write_scheduled_values(Field field, std::span<const double> values, int64_t tick, EcologyParams& eco,
                            std::vector<JournalRow>& journal) {
  write_changes(field, tick, [&](size_t d) { return values[d]; }, *eco.real_column(field), journal);
}

}  // namespace qorin
