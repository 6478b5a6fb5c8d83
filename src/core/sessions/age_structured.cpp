#include "core/sessions/age_structured.hpp"

#include "core/kernels/age_structured.hpp"
#include "core/kernels/state_reduce.hpp"
#include "core/model/validation.hpp"
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

Result<AgeStructuredSession> AgeStructuredSession::create(Blueprint bp, EcologyParams eco,
                                                          GeneticsTensors gen, uint64_t seed) {
  QORIN_TRY(bp.validate());
  QORIN_TRY(eco.validate(bp.n_ages));
  QORIN_TRY(gen.validate(bp));
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

Result<int32_t> AgeStructuredSession::tick(size_t deme_id, CallbackHost* host) {
  if (state_ != ExecState::Ready) {
    return Error::runtime("Session is not Ready; restore a checkpoint or reset before run");
  }
  state_ = ExecState::Running;
  std::vector<double> staged = current_scalars(eco_, 0);
  EcoCtx ctx = open_context(eco_, gen_);
  Result<int32_t> code = run_tick(rng_, bp_, program_, ind_, sperm_, tick_, deme_id, staged, &ctx,
                                  nullptr, scratch_, host);
  phase_ = static_cast<uint64_t>(ctx.stage);
  absorb(ctx);
  program_.queues.take_candidates();
  if (!code) {
    state_ = ExecState::Failed;
    return tick_error(code.error());
  }
  if (*code != 0) {
    state_ = ExecState::Stopped;
    return 1;
  }
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
  EventInputs ev;
  ev.n_ages = bp_.n_ages;
  ev.n_ztypes = bp_.n_ztypes;
  ev.tick = tick_;
  ev.stochastic = bp_.stochastic;
  ev.continuous_sampling = bp_.continuous_sampling;
  ev.deme = deme_id;
  Result<int32_t> code = execute_event(program_, rng_, event_id, ind_, sperm_, ev, staged, &ctx, host);
  if (code) {
    Status committed = ctx.commit(staged);
    if (!committed) code = std::move(committed).error();
  }
  absorb(ctx);
  if (!code) {
    state_ = ExecState::Failed;
    return tick_error(code.error());
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
