// Parameters that follow a timetable, deme by deme: seasons and other
// schedules of a landscape. A schedule sets one staged scalar of every deme
// from a table of rows (one value for every deme, or one per deme), row k in
// force at tick start + k; after the last row the last stays in force, or the
// table starts over (a periodic profile). A relative schedule multiplies each
// deme's base value by the entry. The value scheduled for tick t is written as
// tick t starts, before any deme runs, and only where it differs from the
// value in force; each write is a journal row of the "schedule" stage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/hooks/eco_ctx.hpp"
#include "core/model/ecology.hpp"
#include "core/model/fields.hpp"
#include "core/util/error.hpp"

namespace qorin {

struct ParameterSchedule {
  Field field = Field::carrying_capacity;
  // n_rows x width values, row-major; width is 1 (every deme alike) or the
  // number of demes.
  std::vector<double> table;
  size_t n_rows = 0;
  size_t width = 0;
  int64_t start = 0;
  bool repeat = false;
  // Per-deme base values of a relative schedule (empty: absolute).
  std::vector<double> base;
  // changed[k]: row k differs from the row before it (row 0: from the last
  // row, which precedes it when the table starts over). Filled by check.
  std::vector<uint8_t> changed;

  // The row in force at `tick`, or -1 when the schedule sets nothing there.
  int64_t row_at(int64_t tick) const;
  // Whether the entry at `tick` may differ from the one at tick - 1.
  bool changes_at(int64_t tick) const;
  // The value for deme d from row k.
  double value(size_t k, size_t d) const {
    const double v = table[k * width + (width == 1 ? 0 : d)];
    return base.empty() ? v : base[d] * v;
  }
};

// Checks a schedule against `n_demes` demes (a staged real scalar, a table of
// the right size, a start that is not negative, every value it can take in
// the parameter's range) and fills its change marks.
Status check_schedule(ParameterSchedule& s, size_t n_demes);

// Checks a set: each schedule, and at most one per parameter.
Status check_schedules(std::vector<ParameterSchedule>& schedules, size_t n_demes);

// Writes the values the schedules give tick `tick` into the ecology columns
// where they differ from the current ones, appending one journal row per
// write (deme order within a schedule, schedules in their order).
void apply_schedules(const std::vector<ParameterSchedule>& schedules, int64_t tick, EcologyParams& eco,
                     std::vector<JournalRow>& journal);

// The staged real scalar of that name, which a schedule may set.
Result<Field> schedulable_field(std::string_view name);

// Checks `values` (one per deme of `eco`) of a schedulable field given at
// `tick`; `what` names their source in errors.
Status check_scheduled_values(Field field, std::span<const double> values, int64_t tick, const EcologyParams& eco,
                              const std::string& what);

// Writes `values` (one per deme, checked by check_scheduled_values) of a
// schedulable field where they differ, journaled as schedule writes at `tick`.
void write_scheduled_values(Field field, std::span<const double> values, int64_t tick, EcologyParams& eco,
                            std::vector<JournalRow>& journal);

}  // namespace qorin
