#include "core/sessions/age_structured.hpp"

#include <limits>
#include <optional>

#include "core/kernels/age_structured.hpp"
#include "core/kernels/state_reduce.hpp"
#include "core/model/validation.hpp"
#include "core/util/format.hpp"
#include "core/output/parameter_log.hpp"

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

Result<AgeStructuredSession> AgeStructuredSession::create(Blueprint bp, EcologyParams eco,
                                                          GeneticsTensors gen, uint64_t seed) {
  QORIN_TRY(bp.validate());
  QORIN_TRY(eco.validate(bp.n_ages));
  QORIN_TRY(gen.validate(bp));
  QORIN_TRY(validate_model_values(bp, eco, gen));
  AgeStructuredSession s;
  s.ind_ = bp.initial_individual_count;
  if (bp.initial_sperm_storage.size() == bp.sperm_storage_len()) {
    s.sperm_ = bp.initial_sperm_storage;
  } else {
    s.sperm_.assign(bp.sperm_storage_len(), 0.0);
  }
  s.bp_ = std::move(bp);
  s.eco_ = std::move(eco);
  s.gen_ = std::move(gen);
  s.rng_ = new_rng(seed);
  s.scratch_.ensure(s.bp_.n_ztypes);
  return s;
}

void AgeStructuredSession::absorb(EcoCtx& ctx) {
  journal_.insert(journal_.end(), ctx.journal.begin(), ctx.journal.end());
  ctx.journal.clear();
  if (ctx.genetics) {
    gen_ = std::move(*ctx.genetics);
    ctx.genetics.reset();
  }
}

namespace {

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

// Errors of a tick surface as runtime failures, except a pending Python exception.
Error tick_error(Error e) {
  if (e.kind != ErrorKind::CallbackPending) e.kind = ErrorKind::Runtime;
  return e;
}

EcoCtx open_context(EcologyParams& eco, const GeneticsTensors& gen) {
  EcoCtx ctx;
  ctx.ecology = &eco;
  ctx.base_genetics = &gen;
  ctx.deme = 0;
  return ctx;
}

}  // namespace

void AgeStructuredSession::route_journal(EcoCtx& ctx) {
  if (history_) {
    auto h = history_->lock();
    drain_into_log(ctx.journal, h->primary_log());
  }
  absorb(ctx);
}

namespace {

// The tick counter is a signed 64-bit integer; a tick at its maximum cannot
// complete without wrapping, so it is refused.
constexpr int64_t kLastTick = std::numeric_limits<int64_t>::max();

Error tick_overflow() {
  return Error::overflow("tick counter cannot advance past " + format_int(kLastTick));
}

}  // namespace

Result<RunResult> AgeStructuredSession::run(int64_t n_ticks, int64_t record_interval,
                                            const std::vector<double>* observation_mask,
                                            int64_t checkpoint_every, CallbackHost* host) {
  if (state_ != ExecState::Ready) {
    return Error::runtime("Session is not Ready; restore a checkpoint or reset before run");
  }
  if (n_ticks > 0 && tick_ == kLastTick) return tick_overflow();
  // The recording target: the bound history, or a private one.
  const bool bound = static_cast<bool>(history_);
  SharedHistory target = history_;
  if (!bound) {
    const std::array<uint64_t, 4> dims = {1, bp_.n_sexes, bp_.n_ages, bp_.n_ztypes};
    const uint64_t raw_width = 1 + ind_.size() + sperm_.size();
    Result<SharedHistory> made = HistoryData::create(raw_width, dims, observation_mask == nullptr, std::nullopt);
    if (!made) return made.error();
    target = std::move(made).value();
    if (observation_mask) QORIN_TRY(target->lock()->configure_observation_slice(*observation_mask));
  }

  state_ = ExecState::Running;
  std::vector<double> staged = current_scalars(eco_, 0);
  EcoCtx ctx = open_context(eco_, gen_);
  const uint64_t n = n_ticks > 0 ? static_cast<uint64_t>(n_ticks) : 0;
  int64_t t = tick_;
  bool stopped = false;

  // Ends the run with an error: the tick reached is kept, committed parameter
  // changes are routed as a successful run would route them, state Failed.
  // Recording and capture errors keep their own kind; tick errors are runtime failures.
  auto fail = [&](Error e) -> Error {
    tick_ = t;
    route_journal(ctx);
    state_ = ExecState::Failed;
    return e;
  };

  for (uint64_t i = 0;; ++i) {
    std::optional<Error> failure;
    {
      auto h = target->lock();
      if (bound) drain_into_log(ctx.journal, h->primary_log());
      if (record_interval > 0 && !stopped && t % record_interval == 0) {
        Result<bool> added = h->record(t, ind_, sperm_, bound);
        if (!added) {
          failure = std::move(added).error();
        } else if (*added) {
          const bool capture = bound ? h->raw() : (checkpoint_every > 0 && t % checkpoint_every == 0);
          if (capture) {
            Status captured = checkpoints_.capture(rng_, ind_, sperm_, t, eco_);
            if (!captured) failure = std::move(captured).error();
          }
        }
      }
      if (!failure && bound) {
        if (std::optional<int64_t> oldest = h->oldest_tick()) checkpoints_.retain_from(*oldest);
      }
    }
    if (failure) return fail(std::move(*failure));
    if (i == n || stopped) break;
    if (t == kLastTick) return fail(tick_overflow());
    Result<int32_t> code = run_tick(rng_, bp_, program_, ind_, sperm_, t, 0, staged, &ctx, nullptr, scratch_, host);
    phase_ = static_cast<uint64_t>(ctx.stage);
    if (!code) return fail(tick_error(std::move(code).error()));
    if (*code != 0) {
      stopped = true;
    } else {
      t += 1;
    }
  }

  tick_ = t;
  absorb(ctx);  // with a bound history the journal was drained at the last boundary
  RunResult result;
  result.final_tick = t;
  result.stopped = stopped;
  if (stopped) {
    state_ = ExecState::Stopped;
  } else {
    state_ = ExecState::Ready;
    phase_ = 0;
  }
  if (!bound) {
    auto h = target->lock();
    auto [values, rows] = h->flat_rows();
    result.rows = std::move(values);
    result.n_rows = rows;
    result.width = static_cast<size_t>(h->width());
  }
  return result;
}

Status AgeStructuredSession::record_history(bool continuation) {
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

Result<int32_t> AgeStructuredSession::tick(size_t deme_id, CallbackHost* host) {
  if (state_ != ExecState::Ready) {
    return Error::runtime("Session is not Ready; restore a checkpoint or reset before run");
  }
  if (tick_ == kLastTick) return tick_overflow();
  state_ = ExecState::Running;
  std::vector<double> staged = current_scalars(eco_, 0);
  EcoCtx ctx = open_context(eco_, gen_);
  Result<int32_t> code = run_tick(rng_, bp_, program_, ind_, sperm_, tick_, deme_id, staged, &ctx,
                                  nullptr, scratch_, host);
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

Status AgeStructuredSession::run_stage(int64_t stage_code) {
  if (stage_code == stage::kAging) {
    aging(bp_.n_ages, bp_.n_ztypes, ind_, sperm_);
    return Status::ok();
  }
  const StageView view{&eco_, &gen_, 0};
  Status s = run_stage_kernel(stage_code, rng_, bp_, view, ind_, sperm_, scratch_);
  if (!s) return tick_error(std::move(s).error());
  return s;
}

Result<int32_t> AgeStructuredSession::trigger_event(int64_t event_id, size_t deme_id, CallbackHost* host) {
  if (event_id < 0 || event_id > 3) return Error::value("unknown hook event");
  std::vector<double> staged = current_scalars(eco_, 0);
  EcoCtx ctx = open_context(eco_, gen_);
  ctx.tick = tick_;
  ctx.stage = 2 * event_id;
  Result<int32_t> code =
      event_then_commit(event_id, rng_, bp_, program_, ind_, sperm_, tick_, deme_id, staged, &ctx, host);
  route_journal(ctx);
  return settle(std::move(code));
}

Result<int32_t> AgeStructuredSession::settle(Result<int32_t> code) {
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

Status AgeStructuredSession::set_state(std::span<const double> ind, std::span<const double> sperm,
                                       int64_t tick) {
  if (ind.size() != bp_.individual_count_len()) {
    return Error::value("ind_flat must contain " + format_uint(bp_.individual_count_len()) +
                        " values, got " + format_uint(ind.size()));
  }
  if (sperm.size() != bp_.sperm_storage_len()) {
    return Error::value("sperm_flat must contain " + format_uint(bp_.sperm_storage_len()) +
                        " values, got " + format_uint(sperm.size()));
  }
  QORIN_TRY(validate_state_values(ind, sperm, tick));
  ind_.assign(ind.begin(), ind.end());
  sperm_.assign(sperm.begin(), sperm.end());
  tick_ = tick;
  state_ = ExecState::Ready;
  phase_ = 0;
  return Status::ok();
}

Status AgeStructuredSession::check_restorable(std::span<const double> ind, std::span<const double> sperm,
                                              int64_t tick) const {
  if (ind.size() != ind_.size() || sperm.size() != sperm_.size()) {
    return Error::value("checkpoint arrays do not match the live state size");
  }
  return validate_state_values(ind, sperm, tick);
}

void AgeStructuredSession::install(std::span<const double> ind, std::span<const double> sperm, int64_t tick,
                                   const SessionRng& rng, EcologyParams ecology) {
  std::copy(ind.begin(), ind.end(), ind_.begin());
  std::copy(sperm.begin(), sperm.end(), sperm_.begin());
  tick_ = tick;
  phase_ = 0;
  state_ = ExecState::Ready;
  rng_ = rng;
  eco_ = std::move(ecology);
}

Totals AgeStructuredSession::counts() const {
  const size_t plane = bp_.n_ages * bp_.n_ztypes;
  Totals t;
  t.female = numpy_pairwise_sum(ind_.data(), plane);
  t.male = numpy_pairwise_sum(ind_.data() + plane, plane);
  t.total = numpy_pairwise_sum(ind_.data(), 2 * plane);
  return t;
}

Totals AgeStructuredSession::adult_counts() const {
  const size_t A = bp_.n_ages, Z = bp_.n_ztypes;
  const size_t first = bp_.new_adult_age < A ? bp_.new_adult_age : A;
  const size_t len = (A - first) * Z;
  Totals t;
  t.female = numpy_pairwise_sum(ind_.data() + first * Z, len);
  t.male = numpy_pairwise_sum(ind_.data() + (A + first) * Z, len);
  t.total = t.female + t.male;
  return t;
}

Status AgeStructuredSession::set_execution_flags(bool stochastic, bool continuous_sampling,
                                                 bool fixed_egg_count, int64_t extreme_speed_mode) {
  if (extreme_speed_mode < 0 || extreme_speed_mode > 3) {
    return Error::value("extreme_speed_mode must be between 0 and 3");
  }
  bp_.stochastic = stochastic;
  bp_.continuous_sampling = continuous_sampling;
  bp_.fixed_egg_count = fixed_egg_count;
  bp_.extreme_speed_mode = extreme_speed_mode;
  return Status::ok();
}

std::vector<JournalRow> AgeStructuredSession::drain_journal() {
  std::vector<JournalRow> out;
  out.swap(journal_);
  return out;
}

}  // namespace qorin
