// History store: one row of floats per recorded tick, oldest first, with the
// parameter-log cursors and the boundary status of every row.
//
// `HistoryData` is the shared storage: the Python object and every session
// bound to it hold a std::shared_ptr to it. All access goes through `lock()`,
// which holds the store's mutex for as long as the returned handle lives, so
// a session can record a row, stamp its boundary and read the oldest tick in
// one critical section. Lock order: a store before any parameter log (the
// store takes log locks one at a time while holding its own); when two stores
// are involved (`observe_into`), the source before the target.
//
// Row payloads live in fixed-size blocks of one contiguous buffer each, so a
// row costs its `width` floats plus a few bytes of bookkeeping; eviction frees
// whole blocks from the front.
#pragma once

#include <array>
#include <cstdint>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/output/parameter_log.hpp"
#include "core/util/error.hpp"
#include "core/util/interrupt.hpp"

namespace qorin {

// Rows of `width` doubles in blocks of a fixed number of rows.
class RowBuffer {
 public:
  explicit RowBuffer(size_t width);
  size_t width() const { return width_; }
  size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  const double* row(size_t i) const;
  const double* back() const { return row(count_ - 1); }
  void push_back(const double* src);
  void pop_front();
  // Keeps the first `n` rows (n <= size()).
  void truncate(size_t n);
  void clear();
  // Changes the width; only valid while empty.
  void reset_width(size_t width);
  size_t allocated_bytes() const;

 private:
  size_t width_;
  size_t rows_per_block_;
  std::deque<std::unique_ptr<double[]>> blocks_;
  size_t head_ = 0;  // index of the oldest row inside blocks_.front()
  size_t count_ = 0;
};

struct Boundary {
  int64_t tick = 0;
  uint64_t partial = 0;
  std::string status;
};

// The store itself; reached only through HistoryData::lock().
class HistoryState {
 public:
  HistoryState(uint64_t width, const std::array<uint64_t, 4>& dimensions, bool raw,
               std::optional<uint64_t> max_rows);

  // ---- schema ----
  uint64_t width() const { return rows_.width(); }
  const std::array<uint64_t, 4>& dimensions() const { return dimensions_; }
  bool raw() const { return raw_; }
  std::optional<uint64_t> max_rows() const { return max_rows_; }
  // None or m >= 1; evicts at once.
  Status set_max_rows(std::optional<uint64_t> m);

  // ---- recording ----
  // Builds [tick, ind..., sperm...] (raw) or [tick, projection of ind] (observed)
  // and appends it. Returns whether a row was added.
  Result<bool> record(int64_t tick, std::span<const double> ind, std::span<const double> sperm,
                      bool continuation);
  // Appends one row; returns whether a row was added (false: a continuation
  // row identical to the newest one).
  Result<bool> append_row(std::span<const double> row, bool continuation);
  // A batch of n_rows rows of n_cols values, row-major; validated as a whole
  // before anything is appended.
  Status append(std::span<const double> values, size_t n_rows, size_t n_cols, bool continuation);
  void evict();

  // ---- reading ----
  size_t size() const { return rows_.size(); }
  bool empty() const { return rows_.empty(); }
  std::span<const double> row_at(size_t i) const { return {rows_.row(i), rows_.width()}; }
  int64_t tick_at(size_t i) const;
  std::optional<int64_t> oldest_tick() const;
  std::optional<int64_t> newest_tick() const;
  // Copy of the row of `tick`; "Tick {tick} not found in history." otherwise.
  Result<std::vector<double>> row(int64_t tick) const;
  // Columns start .. end-1 of every row, row-major.
  Result<std::vector<double>> query(uint64_t start, std::optional<uint64_t> end) const;
  // The end column of a query (width when not given), or the slice error.
  Result<uint64_t> query_end(uint64_t start, std::optional<uint64_t> end) const;
  // Columns start .. end-1 (a slice query_end accepted) of every row into
  // `out`, which holds size() * (end - start) values. With a poll, stops with
  // Error::interrupted() when it asks (`out` is then partly written).
  Status copy_columns(uint64_t start, uint64_t end, double* out, InterruptPoll* poll) const;
  std::vector<int64_t> ticks() const;
  std::vector<Boundary> boundaries() const;
  Boundary boundary_at(size_t i) const;
  // The log lengths captured when row i was appended (primary first).
  std::vector<uint64_t> cursor_at(size_t i) const;
  // All rows concatenated oldest first, and the number of rows.
  std::pair<std::vector<double>, size_t> flat_rows() const;

  // Overwrites the boundary of the newest row (a session's record_history).
  Status set_newest_boundary(uint64_t partial, std::string status);

  // ---- cutting ----
  Status truncate(int64_t tick);
  Status restore_timeline(int64_t tick);
  void clear();

  // ---- observation ----
  Status configure_observation(std::vector<double> mask, std::vector<uint64_t> selected,
                               bool collapse_age, bool aggregate);
  // Installs mask with every deme selected and both switches off, and sets
  // width = 1 + observation length. Only valid while the store is empty.
  Status configure_observation_slice(std::vector<double> mask);
  const std::vector<double>& observation_mask() const { return mask_; }
  // The selected demes (every deme until configure_observation chooses).
  std::vector<uint64_t> selected() const {
    std::vector<uint64_t> scratch;
    std::span<const uint64_t> s = selection(&scratch, SIZE_MAX);
    return std::vector<uint64_t>(s.begin(), s.end());
  }
  bool collapse_age() const { return collapse_age_; }
  bool aggregate() const { return aggregate_; }

  // ---- logs ----
  const SharedParameterLog& primary_log() const { return primary_log_; }
  const std::vector<SharedParameterLog>& deme_logs() const { return deme_logs_; }
  void bind_log(SharedParameterLog log);
  void bind_logs(std::vector<SharedParameterLog> logs);

  size_t allocated_bytes() const;

 private:
  struct CursorRun {
    uint64_t first_length;  // absolute index into lengths_
    uint32_t count;
  };

  void push_row(const double* row);
  void pop_front_row();
  void keep_first(size_t n);
  size_t rows_with_tick_at_most(int64_t tick) const;
  // Entry counts of the primary log and the deme logs, into scratch_lengths_.
  void capture_lengths();

  std::optional<uint64_t> max_rows_;
  std::array<uint64_t, 4> dimensions_;
  bool raw_;
  RowBuffer rows_;

  // Cursors: consecutive rows with equal log lengths share one run. row_cursor_
  // holds the absolute id of each row's run; runs_ starts at id runs_base_ and
  // lengths_ at absolute index lengths_base_.
  std::deque<uint64_t> row_cursor_;
  std::deque<CursorRun> runs_;
  uint64_t runs_base_ = 0;
  std::deque<uint64_t> lengths_;
  // Reused buffers, so recording a row does not allocate.
  std::vector<double> scratch_row_;
  std::vector<uint64_t> scratch_lengths_;
  uint64_t lengths_base_ = 0;

  // Boundaries differ from (tick, 0, "Ready") only where a session stamped
  // them; those are kept sparsely by absolute row sequence number.
  struct Stamp {
    uint64_t seq;
    uint64_t partial;
    std::string status;
  };
  std::deque<Stamp> stamps_;
  uint64_t first_seq_ = 0;  // sequence number of the oldest row

  SharedParameterLog primary_log_;
  std::vector<SharedParameterLog> deme_logs_;

  std::span<const uint64_t> selection(std::vector<uint64_t>* scratch, size_t limit) const;

  std::vector<double> mask_;
  std::vector<uint64_t> selected_;
  bool all_demes_ = true;
  bool collapse_age_ = false;
  bool aggregate_ = false;
};

class HistoryData {
 public:
  // A handle holding the store's lock for its lifetime.
  class Locked {
   public:
    Locked(std::mutex& mu, HistoryState& state) : lock_(mu), state_(&state) {}
    HistoryState* operator->() const { return state_; }
    HistoryState& operator*() const { return *state_; }

   private:
    std::unique_lock<std::mutex> lock_;
    HistoryState* state_;
  };

  // width >= 1 and max_rows None or >= 1: "row_size and max_rows must be positive".
  static Result<std::shared_ptr<HistoryData>> create(uint64_t width,
                                                     const std::array<uint64_t, 4>& dimensions,
                                                     bool raw, std::optional<uint64_t> max_rows);

  explicit HistoryData(HistoryState state) : state_(std::move(state)) {}
  HistoryData(const HistoryData&) = delete;
  HistoryData& operator=(const HistoryData&) = delete;

  Locked lock() { return Locked(mu_, state_); }

  // Recomputes observations of every row of this raw store into `target`,
  // oldest first; rows recorded before a failure stay in the target. With a
  // poll, stops with Error::interrupted() when it asks; `*next_row` (when
  // given) counts the rows observed so far and is where a later call resumes.
  Status observe_into(HistoryData& target, InterruptPoll* poll = nullptr, size_t* next_row = nullptr);

 private:
  std::mutex mu_;
  HistoryState state_;
};

using SharedHistory = std::shared_ptr<HistoryData>;

}  // namespace qorin
