#include "core/sessions/session_core.hpp"

#include <chrono>
#include <limits>
#include <new>
#include <optional>
#include <stdexcept>

#include "core/kernels/state_reduce.hpp"
#include "core/model/validation.hpp"
#include "core/output/parameter_log.hpp"
#include "core/sessions/event_step.hpp"
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

Error tick_error(Error e) {
  if (e.kind != ErrorKind::CallbackPending && e.kind != ErrorKind::Memory) e.kind = ErrorKind::Runtime;
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
  e.deme = 0;
  return e;
}

// Moves journal rows into a parameter log, in commit order. The caller holds
// the history's lock (the log's own lock is taken inside it).
void drain_into_log(std::vector<JournalRow>& rows, const SharedParameterLog& log) {
  if (rows.empty()) return;
  std::vector<LogEntry> entries;
  entries.reserve(rows.size());
  for (const JournalRow& r : rows) entries.push_back(log_entry(r));
  if (log) log->push_all(std::move(entries));
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

Status SessionCore::validate_model(const Blueprint& bp, const EcologyParams& eco, const GeneticsTensors& gen,
                                   Status (*layout)(const Blueprint&)) {
  QORIN_TRY(bp.validate());
  QORIN_TRY(eco.validate(bp.n_ages));
  QORIN_TRY(gen.validate(bp));
  if (layout) QORIN_TRY(layout(bp));
  return validate_model_values(bp, eco, gen);
}

void SessionCore::init(Blueprint bp, EcologyParams eco, GeneticsTensors gen, uint64_t seed, bool keeps_sperm) {
  ind_ = bp.initial_individual_count;
  if (!keeps_sperm) {
    sperm_.clear();
  } else if (bp.initial_sperm_storage.size() == bp.sperm_storage_len()) {
    sperm_ = bp.initial_sperm_storage;
  } else {
    sperm_.assign(bp.sperm_storage_len(), 0.0);
  }
  bp_ = std::move(bp);
  eco_ = std::move(eco);
  gen_ = std::move(gen);
  rng_ = new_rng(seed);
}

EcoCtx SessionCore::open_context() {
  EcoCtx ctx;
  ctx.ecology = &eco_;
  ctx.base_genetics = &gen_;
  ctx.deme = 0;
  return ctx;
}

void SessionCore::absorb(EcoCtx& ctx) {
  journal_.insert(journal_.end(), ctx.journal.begin(), ctx.journal.end());
  ctx.journal.clear();
  if (ctx.genetics) {
    gen_ = std::move(*ctx.genetics);
    ctx.genetics.reset();
  }
}

void SessionCore::route_journal(EcoCtx& ctx) {
  if (history_) {
    auto h = history_->lock();
    drain_into_log(ctx.journal, h->primary_log());
  }
  absorb(ctx);
}

bool SessionBase::has_callbacks() const {
  if (!program_.has_callback_lists) return false;
  for (const CallbackList& list : program_.callback_lists) {
    if (!list.empty()) return true;
  }
  return false;
}

Result<RunResult> SessionCore::run(const RunRequest& req, TickStep step, RunMonitor* monitor) {
  if (state_ != ExecState::Ready) return not_ready();
  if (req.n_ticks > 0 && tick_ == kLastTick) return tick_overflow();

  // The recording target: the bound history, a private observed history, or
  // private raw rows written straight into their final storage.
  const bool bound = static_cast<bool>(history_);
  SharedHistory target = history_;
  const bool private_raw = !bound && req.observation_mask == nullptr;
  const size_t width = raw_row_width();
  std::vector<double> own_rows;
  std::span<double> row_buffer = req.row_buffer;
  if (!bound && !private_raw) {
    const std::array<uint64_t, 4> dims = {1, bp_.n_sexes, bp_.n_ages, bp_.n_ztypes};
    Result<SharedHistory> made = HistoryData::create(width, dims, false, std::nullopt);
    if (!made) return made.error();
    target = std::move(made).value();
    QORIN_TRY(target->lock()->configure_observation_slice(*req.observation_mask));
  } else if (private_raw && row_buffer.empty()) {
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

  state_ = ExecState::Running;
  std::vector<double> staged = current_scalars(eco_, 0);
  EcoCtx ctx = open_context();
  const uint64_t n = req.n_ticks > 0 ? static_cast<uint64_t>(req.n_ticks) : 0;
  int64_t t = tick_;
  bool stopped = false;
  std::optional<Error> interruption;
  PollTimer timer;

  // Ends the run with an error: the tick reached is kept, committed parameter
  // changes are routed as a successful run would route them, state Failed.
  // Recording and capture errors keep their own kind; tick errors are runtime failures.
  auto fail = [&](Error e) -> Error {
    tick_ = t;
    route_journal(ctx);
    state_ = ExecState::Failed;
    return e;
  };

  // One boundary: journal routing, the row, checkpoints.
  auto visit_boundary = [&]() -> Status {
    const bool due = req.record_interval > 0 && !stopped && t % req.record_interval == 0;
    if (private_raw) {
      if (!due) return Status::ok();
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
      std::copy(sperm_.begin(), sperm_.end(), row + 1 + ind_.size());
      n_rows += 1;
      if (req.checkpoint_every > 0 && t % req.checkpoint_every == 0) {
        QORIN_TRY(checkpoints_.capture(rng_, ind_, sperm_, t, eco_));
      }
      return Status::ok();
    }
    auto h = target->lock();
    if (bound) drain_into_log(ctx.journal, h->primary_log());
    if (due) {
      Result<bool> added = h->record(t, ind_, sperm_, bound);
      if (!added) return std::move(added).error();
      if (*added) {
        const bool capture = bound ? h->raw() : (req.checkpoint_every > 0 && t % req.checkpoint_every == 0);
        if (capture) QORIN_TRY(checkpoints_.capture(rng_, ind_, sperm_, t, eco_));
      }
    }
    if (bound) {
      if (std::optional<int64_t> oldest = h->oldest_tick()) checkpoints_.retain_from(*oldest);
    }
    return Status::ok();
  };

  try {
    for (uint64_t i = 0;; ++i) {
      if (Status s = visit_boundary(); !s) return fail(std::move(s).error());
      if (i == n || stopped) break;
      if (monitor && timer.due()) {
        if (Status s = monitor->poll(); !s) {
          interruption = std::move(s).error();
          break;
        }
      }
      if (t == kLastTick) return fail(tick_overflow());
      Result<int32_t> code = step(t, ctx, staged);
      phase_ = static_cast<uint64_t>(ctx.stage);
      if (!code) return fail(tick_error(std::move(code).error()));
      if (*code != 0) {
        stopped = true;
      } else {
        t += 1;
      }
    }
  } catch (const std::bad_alloc&) {
    return fail(Error::memory("out of memory during run at tick " + format_int(t)));
  } catch (const std::length_error&) {
    return fail(Error::memory("out of memory during run at tick " + format_int(t)));
  }

  tick_ = t;
  absorb(ctx);  // with a bound history the journal was drained at the last boundary
  RunResult result;
  result.final_tick = t;
  result.stopped = stopped;
  result.interruption = std::move(interruption);
  if (stopped) {
    state_ = ExecState::Stopped;
  } else {
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

Result<int32_t> SessionCore::tick_once(TickStep step) {
  if (state_ != ExecState::Ready) return not_ready();
  if (tick_ == kLastTick) return tick_overflow();
  state_ = ExecState::Running;
  std::vector<double> staged = current_scalars(eco_, 0);
  EcoCtx ctx = open_context();
  Result<int32_t> code = step(tick_, ctx, staged);
  phase_ = static_cast<uint64_t>(ctx.stage);
  absorb(ctx);
  program_.queues.take_candidates();
  Result<int32_t> outcome = settle(std::move(code));
  if (!outcome || *outcome != 0) return outcome;
  tick_ += 1;
  phase_ = 0;
  state_ = ExecState::Ready;
  return 0;
}

Result<int32_t> SessionCore::trigger_event(int64_t event_id, size_t deme_id, CallbackHost* host) {
  if (event_id < 0 || event_id > 3) return Error::value("unknown hook event");
  std::vector<double> staged = current_scalars(eco_, 0);
  EcoCtx ctx = open_context();
  ctx.tick = tick_;
  ctx.stage = 2 * event_id;
  Result<int32_t> code =
      event_then_commit(event_id, rng_, bp_, program_, ind_, sperm_, tick_, deme_id, staged, &ctx, host);
  route_journal(ctx);
  return settle(std::move(code));
}

Result<int32_t> SessionCore::settle(Result<int32_t> code) {
  if (!code) {
    state_ = ExecState::Failed;
    return tick_error(std::move(code).error());
  }
  if (*code != 0) {
    state_ = ExecState::Stopped;
    return 1;
  }
  return 0;
}

Status SessionCore::record_history(bool continuation) {
  if (!history_) return Error::value("History is not initialized");
  auto h = history_->lock();
  Result<bool> added = h->record(tick_, ind_, sperm_, continuation);
  if (!added) return std::move(added).error();
  if (*added) {
    QORIN_TRY(h->set_newest_boundary(phase_, exec_state_name(state_)));
    if (h->raw()) QORIN_TRY(checkpoints_.capture(rng_, ind_, sperm_, tick_, eco_));
  }
  return Status::ok();
}

Status SessionCore::set_state(std::span<const double> ind, std::span<const double> sperm, int64_t tick) {
  if (ind.size() != ind_.size()) {
    return Error::value("ind_flat must contain " + format_uint(ind_.size()) + " values, got " +
                        format_uint(ind.size()));
  }
  if (sperm.size() != sperm_.size()) {
    return Error::value("sperm_flat must contain " + format_uint(sperm_.size()) + " values, got " +
                        format_uint(sperm.size()));
  }
  QORIN_TRY(validate_state_values(ind, sperm, tick));
  ind_.assign(ind.begin(), ind.end());
  sperm_.assign(sperm.begin(), sperm.end());
  tick_ = tick;
  state_ = ExecState::Ready;
  phase_ = 0;
  return Status::ok();
}

Status SessionCore::check_restorable(std::span<const double> ind, std::span<const double> sperm,
                                     int64_t tick) const {
  if (ind.size() != ind_.size() || sperm.size() != sperm_.size()) {
    return Error::value("checkpoint arrays do not match the live state size");
  }
  return validate_state_values(ind, sperm, tick);
}

void SessionCore::install(std::span<const double> ind, std::span<const double> sperm, int64_t tick,
                          const SessionRng& rng, EcologyParams ecology) {
  std::copy(ind.begin(), ind.end(), ind_.begin());
  std::copy(sperm.begin(), sperm.end(), sperm_.begin());
  tick_ = tick;
  phase_ = 0;
  state_ = ExecState::Ready;
  rng_ = rng;
  eco_ = std::move(ecology);
}

Totals SessionCore::counts() const {
  const size_t half = ind_.size() / 2;
  Totals t;
  t.female = numpy_pairwise_sum(ind_.data(), half);
  t.male = numpy_pairwise_sum(ind_.data() + half, half);
  t.total = numpy_pairwise_sum(ind_.data(), ind_.size());
  return t;
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

std::vector<JournalRow> SessionCore::drain_journal() {
  std::vector<JournalRow> out;
  out.swap(journal_);
  return out;
}

}  // namespace qorin
