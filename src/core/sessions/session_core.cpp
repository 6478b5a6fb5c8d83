#include "core/sessions/session_core.hpp"

#include <chrono>
#include <limits>
#include <new>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "core/kernels/state_reduce.hpp"
#include "core/model/validation.hpp"
#include "core/output/parameter_log.hpp"
#include "core/util/format.hpp"

namespace qorin {

Error tick_error(Error e) {
  if (e.kind != ErrorKind::CallbackPending && e.kind != ErrorKind::Memory) e.kind = ErrorKind::Runtime;
  return e;
}

Error landscape_tick_error(Error e) {
  e = tick_error(std::move(e));
  static constexpr std::string_view kGate = "set_param value out of bounds";
  if (e.kind == ErrorKind::Runtime && std::string_view(e.message).substr(0, kGate.size()) == kGate) {
    e.kind = ErrorKind::Value;
  }
  return e;
}

Error private_history_too_large(uint64_t rows, uint64_t width) {
  uint64_t bytes = 0;
  std::string size = __builtin_mul_overflow(rows, width, &bytes) || __builtin_mul_overflow(bytes, 8, &bytes)
                         ? std::string("more than 2^64 bytes")
                         : format_uint(bytes) + " bytes";
  return Error::memory("run would record " + format_uint(rows) + " rows of " + format_uint(width) +
                       " values (" + size +
                       ") in a private history; record less often or bind a HistoryStore with max_rows");
}

uint64_t planned_rows(int64_t tick, int64_t n_ticks, int64_t record_interval) {
  if (record_interval <= 0 || tick < 0) return 0;
  const uint64_t n = n_ticks > 0 ? static_cast<uint64_t>(n_ticks) : 0;
  const uint64_t first = static_cast<uint64_t>(tick);
  const uint64_t last = first + n;  // ticks never pass INT64_MAX, so this does not wrap
  const uint64_t step = static_cast<uint64_t>(record_interval);
  // Multiples of step in [first, last].
  const uint64_t upto_last = last / step + 1;
  const uint64_t below_first = first == 0 ? 0 : (first - 1) / step + 1;
  return upto_last - below_first;
}

namespace {

// The tick counter is a signed 64-bit integer; a tick at its maximum cannot
// complete without wrapping, so it is refused.
constexpr int64_t kLastTick = std::numeric_limits<int64_t>::max();

Error tick_overflow() { return Error::overflow("tick counter cannot advance past " + format_int(kLastTick)); }

Error not_ready() { return Error::runtime("Session is not Ready; restore a checkpoint or reset before run"); }

LogEntry log_entry(const JournalRow& r) {
  LogEntry e;
  e.tick = r.tick;
  e.name = r.param_id < kNumBoundedScalars ? std::string(kBoundedScalarNames[r.param_id]) : std::string();
  e.old_value = r.old_value;
  e.new_value = r.new_value;
  e.event = stage_event_label(r.stage);
  e.deme = r.deme;
  return e;
}

// Moves journal rows into the logs of a history, in commit order: all into
// its primary log, or each into the log of its deme (dropped when that deme
// has none). The caller holds the history's lock (a log's own lock is taken
// inside it).
void drain_into_logs(std::vector<JournalRow>& rows, const HistoryState& h, bool per_deme) {
  if (rows.empty()) return;
  if (per_deme) {
    const std::vector<SharedParameterLog>& logs = h.deme_logs();
    for (const JournalRow& r : rows) {
      if (r.deme < logs.size() && logs[r.deme]) logs[r.deme]->push(log_entry(r));
    }
  } else {
    std::vector<LogEntry> entries;
    entries.reserve(rows.size());
    for (const JournalRow& r : rows) entries.push_back(log_entry(r));
    if (const SharedParameterLog& log = h.primary_log()) log->push_all(std::move(entries));
  }
  rows.clear();
}

// A tick value the float tick column holds exactly.
bool tick_fits_column(int64_t tick) {
  const double v = static_cast<double>(tick);
  return v < 9223372036854775808.0 && static_cast<int64_t>(v) == tick;
}

// Decides when a run checks in with its monitor: about every 50 ms of work,
// reading the clock only every `stride` boundaries so that short ticks do not
// pay for it.
class PollTimer {
 public:
  PollTimer() : last_read_(Clock::now()), last_poll_(last_read_) {}
  bool due() {
    if (++count_ < stride_) return false;
    count_ = 0;
    const Clock::time_point now = Clock::now();
    const auto since_read = now - last_read_;
    last_read_ = now;
    if (since_read < std::chrono::milliseconds(1) && stride_ < (1u << 20)) stride_ *= 2;
    else if (since_read > std::chrono::milliseconds(10) && stride_ > 1) stride_ /= 2;
    if (now - last_poll_ < std::chrono::milliseconds(50)) return false;
    last_poll_ = now;
    return true;
  }

 private:
  using Clock = std::chrono::steady_clock;
  Clock::time_point last_read_, last_poll_;
  uint32_t stride_ = 1, count_ = 0;
};

}  // namespace

// ---------------------------------------------------------------- state

bool SessionCore::has_callbacks() const {
  if (!program_.has_callback_lists) return false;
  for (const CallbackList& list : program_.callback_lists) {
    if (!list.empty()) return true;
  }
  return false;
}

void SessionCore::init_state(std::vector<double> ind, std::vector<double> sperm, bool keeps_sperm, size_t n_demes,
                             uint64_t seed, int64_t tick) {
  ind_ = std::move(ind);
  sperm_ = std::move(sperm);
  keeps_sperm_ = keeps_sperm;
  seed_ = seed;
  rngs_.resize(n_demes);
  reseed(seed);
  tick_ = tick;
  phase_ = 0;
  state_ = ExecState::Ready;
}

void SessionCore::install_state(std::span<const double> ind, std::span<const double> sperm, int64_t tick) {
  std::copy(ind.begin(), ind.end(), ind_.begin());
  std::copy(sperm.begin(), sperm.end(), sperm_.begin());
  tick_ = tick;
  state_ = ExecState::Ready;
  phase_ = 0;
}

Result<std::pair<std::span<const double>, std::span<const double>>> SessionCore::deme_block(size_t deme) const {
  const size_t n = n_demes();
  if (deme >= n) {
    return Error::value("deme " + format_uint(deme) + " out of range for " + format_uint(n) + " demes");
  }
  const size_t ib = ind_.size() / n, sb = sperm_.size() / n;
  return std::make_pair(std::span<const double>(ind_.data() + deme * ib, ib),
                        std::span<const double>(sperm_.data() + deme * sb, sb));
}

Result<Totals> SessionCore::counts(size_t deme) const {
  auto block = deme_block(deme);
  if (!block) return block.error();
  const std::span<const double> ind = block->first;
  const size_t half = ind.size() / 2;
  Totals t;
  t.female = numpy_pairwise_sum(ind.data(), half);
  t.male = numpy_pairwise_sum(ind.data() + half, half);
  t.total = numpy_pairwise_sum(ind.data(), ind.size());
  return t;
}

void SessionCore::reseed(uint64_t seed) {
  seed_ = seed;
  for (size_t d = 0; d < rngs_.size(); ++d) rngs_[d] = new_rng(seed ^ static_cast<uint64_t>(d));
}

Status SessionCore::set_execution_flags(bool stochastic, bool continuous_sampling, bool fixed_egg_count,
                                        int64_t extreme_speed_mode) {
  if (extreme_speed_mode < 0 || extreme_speed_mode > 3) {
    return Error::value("extreme_speed_mode must be between 0 and 3");
  }
  bp_.stochastic = stochastic;
  bp_.continuous_sampling = continuous_sampling;
  bp_.fixed_egg_count = fixed_egg_count;
  bp_.extreme_speed_mode = extreme_speed_mode;
  return Status::ok();
}

// ---------------------------------------------------------------- journal

void SessionCore::drain_journal_into(ParameterLogData& log) {
  std::vector<LogEntry> entries;
  entries.reserve(journal_.size());
  for (const JournalRow& r : journal_) entries.push_back(log_entry(r));
  log.push_all(std::move(entries));
  journal_.clear();
}

std::vector<JournalRow> SessionCore::drain_journal() {
  std::vector<JournalRow> out;
  out.swap(journal_);
  return out;
}

void SessionCore::route_journal(std::vector<JournalRow>& rows) {
  if (history_ && !rows.empty()) {
    auto h = history_->lock();
    drain_into_logs(rows, *h, policy_.per_deme_logs);
  }
  journal_.insert(journal_.end(), rows.begin(), rows.end());
  rows.clear();
}

Result<int32_t> SessionCore::settle(Result<int32_t> code) {
  if (!code) {
    state_ = ExecState::Failed;
    return policy_.tick_failure(std::move(code).error());
  }
  if (*code != 0) {
    state_ = ExecState::Stopped;
    return 1;
  }
  return 0;
}

// ---------------------------------------------------------------- checkpoints and recording

Error SessionCore::undo_tick(Error request) {
  undone_ = std::move(request);
  return Error::interrupted();
}

Status SessionCore::capture_boundary(int64_t tick) {
  CheckpointSource src;
  src.individual_count = ind_;
  src.sperm_storage = sperm_;
  src.rngs = rngs_;
  src.ecology = &eco_;
  src.phase = phase_;
  src.tick = tick;
  src.state = state_;
  return checkpoints_.capture(src);
}

Result<bool> SessionCore::restore_from_checkpoint(int64_t tick) {
  size_t position = 0;
  const TickCheckpoint* found = checkpoints_.find(tick, &position);
  if (!found) return false;
  if (found->individual_count().size() != ind_.size() || found->sperm_storage().size() != sperm_.size() ||
      found->rng_words.size() != rngs_.size()) {
    return Error::value("checkpoint arrays do not match the live state size");
  }
  const TickCheckpoint cp = *found;  // copied before anything changes
  if (history_) QORIN_TRY(history_->lock()->restore_timeline(tick));
  if (!cp.columns) {
    if (eco_.custom_slots.empty()) eco_.custom_slots.resize(1);
    eco_.custom_slots[0] = cp.custom_slots;
  }
  std::copy(cp.individual_count().begin(), cp.individual_count().end(), ind_.begin());
  std::copy(cp.sperm_storage().begin(), cp.sperm_storage().end(), sperm_.begin());
  tick_ = cp.tick;
  state_ = cp.state;
  phase_ = cp.phase;
  for (size_t d = 0; d < rngs_.size(); ++d) rngs_[d] = rng_from_saved_words(cp.rng_words[d]);
  if (cp.columns) {
    eco_ = *cp.columns;
  } else {
    QORIN_TRY(eco_.ecology_restore_words(bp_.n_ages, cp.ecology_words, cp.ecology_tensors()));
  }
  if (checkpoints_.policy().repeated_ticks) checkpoints_.drop_after(position);
  return true;
}

Status SessionCore::record_history(bool continuation) {
  if (!history_) return Error::value("History is not initialized");
  bool capture = false;
  {
    auto h = history_->lock();
    Result<bool> added = h->record(tick_, ind_, recorded_sperm(), continuation);
    if (!added) return std::move(added).error();
    if (*added && !h->empty()) QORIN_TRY(h->set_newest_boundary(phase_, exec_state_name(state_)));
    capture = *added && h->raw();
  }
  if (capture) QORIN_TRY(capture_checkpoint());
  if (policy_.record_prunes_checkpoints) {
    auto h = history_->lock();
    if (std::optional<int64_t> oldest = h->oldest_tick()) checkpoints_.retain_from(*oldest);
  }
  return Status::ok();
}

// ---------------------------------------------------------------- ticks and runs

Status SessionCore::write_boundary(int64_t, EcoCtx&) { return Status::ok(); }

Status SessionCore::boundary_writes(int64_t tick, EcoCtx& ctx, BoundaryWriter* caller) {
  QORIN_TRY(write_boundary(tick, ctx));
  if (caller) QORIN_TRY(caller->write(tick, ctx));
  return Status::ok();
}

Result<int32_t> SessionCore::tick_once(EcoCtx& ctx, std::span<double> staged, TickStep step,
                                       BoundaryWriter* at_boundary) {
  if (state_ != ExecState::Ready) return not_ready();
  if (tick_ == kLastTick) return tick_overflow();
  // The journal of a tick, routed as the policy says.
  auto route = [&]() {
    if (policy_.tick_routes_journal) {
      route_journal(ctx.journal);
    } else {
      journal_.insert(journal_.end(), ctx.journal.begin(), ctx.journal.end());
      ctx.journal.clear();
    }
  };
  // An error in the boundary writes leaves the session Ready at that
  // boundary, the writes made before it routed.
  Status opened = boundary_writes(tick_, ctx, at_boundary);
  route();
  if (!opened) return std::move(opened).error();
  state_ = ExecState::Running;
  undone_.reset();
  Result<int32_t> code = step(tick_, ctx, staged);
  phase_ = static_cast<uint64_t>(ctx.stage);
  route();
  program_.queues.take_candidates();
  if (!code && undone_) {
    // The tick left nothing behind: Ready at the boundary it started from.
    state_ = ExecState::Ready;
    Error request = std::move(*undone_);
    undone_.reset();
    return request;
  }
  Result<int32_t> outcome = settle(std::move(code));
  if (!outcome || *outcome != 0) return outcome;
  tick_ += 1;
  phase_ = 0;
  state_ = ExecState::Ready;
  Status reached = boundary_writes(tick_, ctx, at_boundary);
  route();
  if (!reached) return std::move(reached).error();
  return 0;
}

Result<RunResult> SessionCore::run(const RunRequest& req, EcoCtx& ctx, std::span<double> staged, TickStep step,
                                   RunMonitor* monitor) {
  const bool one_by_one = policy_.ticks_one_by_one;
  if (!one_by_one) {
    if (state_ != ExecState::Ready) return not_ready();
    if (req.n_ticks > 0 && tick_ == kLastTick) return tick_overflow();
  }

  // The recording target: the bound history, a private observed history, or
  // private raw rows written straight into their final storage.
  const bool bound = static_cast<bool>(history_);
  SharedHistory target = history_;
  const bool private_raw = !bound && req.observation_mask == nullptr;
  const size_t width = raw_row_width();
  std::vector<double> own_rows;
  std::span<double> row_buffer = req.row_buffer;
  if (!bound && !private_raw) {
    const std::array<uint64_t, 4> dims = {n_demes(), bp_.n_sexes, bp_.n_ages, bp_.n_ztypes};
    Result<SharedHistory> made = HistoryData::create(width, dims, false, std::nullopt);
    if (!made) return made.error();
    target = std::move(made).value();
    QORIN_TRY(target->lock()->configure_observation_slice(*req.observation_mask));
  } else if (private_raw && row_buffer.empty() && !req.bound_history_only) {
    const uint64_t capacity = planned_rows(tick_, req.n_ticks, req.record_interval);
    uint64_t values = 0;
    if (__builtin_mul_overflow(capacity, width, &values) || values > own_rows.max_size()) {
      return private_history_too_large(capacity, width);
    }
    try {
      own_rows.reserve(values);
    } catch (const std::bad_alloc&) {
      return private_history_too_large(capacity, width);
    }
  }
  size_t n_rows = 0;

  // With ticks one by one the state becomes Running as each tick starts;
  // otherwise for the whole run.
  bool started = !one_by_one;
  if (started) state_ = ExecState::Running;
  const uint64_t n = req.n_ticks > 0 ? static_cast<uint64_t>(req.n_ticks) : 0;
  int64_t t = tick_;
  bool stopped = false;
  std::optional<Error> interruption;
  PollTimer timer;

  // Ends the run with a tick error: the tick reached is kept, committed
  // parameter changes are routed as a successful run would route them, state Failed.
  auto fail = [&](Error e) -> Error {
    tick_ = t;
    route_journal(ctx.journal);
    state_ = ExecState::Failed;
    return e;
  };
  // Ends the run with a boundary's error (recording, capture, the tick
  // limit): Failed, or, ticking one by one, the session stays at the boundary.
  auto fail_at_boundary = [&](Error e) -> Error {
    if (!one_by_one) return fail(std::move(e));
    tick_ = t;
    route_journal(ctx.journal);
    return e;
  };

  // One boundary: journal routing, the row, checkpoints.
  auto visit_boundary = [&]() -> Status {
    // Read afresh: a landscape's migration swaps the state vectors' buffers.
    const std::span<const double> sperm_row = recorded_sperm();
    const bool due = req.record_interval > 0 && !stopped && t % req.record_interval == 0;
    if (private_raw) {
      if (!due) return Status::ok();
      if (req.bound_history_only) return Error::value("History is not initialized");
      if (!tick_fits_column(t)) return Error::value("History row has an invalid width or tick");
      double* row = nullptr;
      if (!row_buffer.empty()) {
        if ((n_rows + 1) * width > row_buffer.size()) return Error::runtime("run row buffer is too short");
        row = row_buffer.data() + n_rows * width;
      } else {
        own_rows.resize(own_rows.size() + width);
        row = own_rows.data() + n_rows * width;
      }
      row[0] = static_cast<double>(t);
      std::copy(ind_.begin(), ind_.end(), row + 1);
      std::copy(sperm_row.begin(), sperm_row.end(), row + 1 + ind_.size());
      n_rows += 1;
      if (req.checkpoint_every > 0 && t % req.checkpoint_every == 0) QORIN_TRY(capture_boundary(t));
      return Status::ok();
    }
    auto h = target->lock();
    if (bound) drain_into_logs(ctx.journal, *h, policy_.per_deme_logs);
    if (due) {
      Result<bool> added = h->record(t, ind_, sperm_row, bound);
      if (!added) return std::move(added).error();
      if (*added) {
        // Ticking one by one, a recorded boundary is stamped as record_history stamps it.
        if (one_by_one && !h->empty()) QORIN_TRY(h->set_newest_boundary(phase_, exec_state_name(state_)));
        const bool capture = bound ? h->raw() : (req.checkpoint_every > 0 && t % req.checkpoint_every == 0);
        if (capture) QORIN_TRY(capture_boundary(t));
      }
    }
    // Checkpoints follow the rows the bound history evicts (ticking one by
    // one, as record_history does: after each recording).
    if (bound && (due || !one_by_one)) {
      if (std::optional<int64_t> oldest = h->oldest_tick()) checkpoints_.retain_from(*oldest);
    }
    return Status::ok();
  };

  try {
    for (uint64_t i = 0;; ++i) {
      // The parameters in force for tick t, before the boundary is recorded
      // (not after a stop, nor on a session that cannot tick).
      if (!stopped && (!one_by_one || state_ == ExecState::Ready)) {
        if (Status s = boundary_writes(t, ctx, req.at_boundary); !s) return fail_at_boundary(std::move(s).error());
      }
      if (Status s = visit_boundary(); !s) return fail_at_boundary(std::move(s).error());
      if (i == n || stopped) break;
      if (monitor && timer.due()) {
        if (Status s = monitor->poll(t); !s) {
          interruption = std::move(s).error();
          break;
        }
      }
      if (one_by_one) {
        if (state_ != ExecState::Ready) return fail_at_boundary(not_ready());
        if (t == kLastTick) return fail_at_boundary(tick_overflow());
      } else if (t == kLastTick) {
        return fail(tick_overflow());
      }
      if (one_by_one) {
        state_ = ExecState::Running;
        started = true;
      }
      undone_.reset();
      Result<int32_t> code = step(t, ctx, staged);
      phase_ = static_cast<uint64_t>(ctx.stage);
      if (!code && undone_) {
        // The tick left nothing behind: the run ends at its starting boundary.
        interruption = std::move(*undone_);
        undone_.reset();
        break;
      }
      if (!code) return fail(policy_.tick_failure(std::move(code).error()));
      if (*code != 0) {
        stopped = true;
      } else {
        t += 1;
        if (one_by_one) {
          tick_ = t;
          phase_ = 0;
          state_ = ExecState::Ready;
        }
      }
    }
  } catch (const std::bad_alloc&) {
    return fail(Error::memory("out of memory during run at tick " + format_int(t)));
  } catch (const std::length_error&) {
    return fail(Error::memory("out of memory during run at tick " + format_int(t)));
  }

  tick_ = t;
  // With a bound history the journal was drained at the last boundary.
  journal_.insert(journal_.end(), ctx.journal.begin(), ctx.journal.end());
  ctx.journal.clear();
  RunResult result;
  result.final_tick = t;
  result.stopped = stopped;
  result.interruption = std::move(interruption);
  if (stopped) {
    state_ = ExecState::Stopped;
  } else if (started) {
    state_ = ExecState::Ready;
    phase_ = 0;
  }
  if (private_raw) {
    result.rows = std::move(own_rows);
    result.n_rows = n_rows;
    result.width = width;
  } else if (!bound) {
    auto h = target->lock();
    auto [values, rows] = h->flat_rows();
    result.rows = std::move(values);
    result.n_rows = rows;
    result.width = static_cast<size_t>(h->width());
  }
  return result;
}

}  // namespace qorin
