#include "core/sessions/single_population.hpp"

#include "core/model/validation.hpp"
#include "core/sessions/event_step.hpp"
#include "core/util/format.hpp"

namespace qorin {

Status SinglePopulation::validate_model(const Blueprint& bp, const EcologyParams& eco, const GeneticsTensors& gen,
                                        Status (*layout)(const Blueprint&)) {
  QORIN_TRY(bp.validate());
  QORIN_TRY(eco.validate(bp.n_ages));
  QORIN_TRY(gen.validate(bp));
  if (layout) QORIN_TRY(layout(bp));
  return validate_model_values(bp, eco, gen);
}

void SinglePopulation::init(Blueprint bp, EcologyParams eco, GeneticsTensors gen, uint64_t seed,
                            bool keeps_sperm) {
  std::vector<double> ind = bp.initial_individual_count;
  std::vector<double> sperm;
  if (keeps_sperm) {
    sperm = bp.initial_sperm_storage.size() == bp.sperm_storage_len() ? bp.initial_sperm_storage
                                                                      : std::vector<double>(bp.sperm_storage_len(), 0.0);
  }
  init_state(std::move(ind), std::move(sperm), keeps_sperm, 1, seed, 0);
  bp_ = std::move(bp);
  eco_ = std::move(eco);
  gen_ = std::move(gen);
}

Totals SinglePopulation::counts() const {
  Result<Totals> t = SessionCore::counts(0);
  return t ? *t : Totals{};
}

EcoCtx SinglePopulation::open_context() {
  EcoCtx ctx;
  ctx.ecology = &eco_;
  ctx.base_genetics = &gen_;
  ctx.deme = 0;
  return ctx;
}

void SinglePopulation::absorb_genetics(EcoCtx& ctx) {
  if (ctx.genetics) {
    gen_ = std::move(*ctx.genetics);
    ctx.genetics.reset();
  }
}

Result<int32_t> SinglePopulation::undoable_step(TickStep step, RunMonitor* monitor, int64_t t, EcoCtx& c,
                                                std::span<double> st) {
  if (monitor == nullptr || !has_callbacks()) return step(t, c, st);
  const std::vector<double> ind = ind_, sperm = sperm_, scalars(st.begin(), st.end());
  const std::vector<SessionRng> rngs = rngs_;
  const EcologyParams eco = eco_;
  const std::optional<GeneticsTensors> genetics = c.genetics;
  const size_t rows = c.journal.size();
  const int64_t stage = c.stage;
  Result<int32_t> code = step(t, c, st);
  if (code || !monitor->is_interrupt(code.error())) return code;
  ind_ = ind;
  sperm_ = sperm;
  std::copy(scalars.begin(), scalars.end(), st.begin());
  rngs_ = rngs;
  eco_ = eco;
  c.genetics = genetics;
  c.journal.resize(rows);
  c.stage = stage;
  (void)program_.queues.take_candidates();
  (void)program_.queues.take_phases();
  return undo_tick(std::move(code).error());
}

Result<RunResult> SinglePopulation::run_model(const RunRequest& request, TickStep step, RunMonitor* monitor) {
  std::vector<double> staged = current_scalars(eco_, 0);
  EcoCtx ctx = open_context();
  auto keeping = [&](int64_t t, EcoCtx& c, std::span<double> st) { return undoable_step(step, monitor, t, c, st); };
  Result<RunResult> r = SessionCore::run(request, ctx, staged, keeping, monitor);
  absorb_genetics(ctx);
  return r;
}

Result<int32_t> SinglePopulation::tick_model(TickStep step, RunMonitor* monitor) {
  std::vector<double> staged = current_scalars(eco_, 0);
  EcoCtx ctx = open_context();
  auto keeping = [&](int64_t t, EcoCtx& c, std::span<double> st) { return undoable_step(step, monitor, t, c, st); };
  Result<int32_t> r = tick_once(ctx, staged, keeping);
  absorb_genetics(ctx);
  return r;
}

Result<int32_t> SinglePopulation::trigger_event(int64_t event_id, size_t deme_id, CallbackHost* host) {
  if (event_id < 0 || event_id > 3) return Error::value("unknown hook event");
  std::vector<double> staged = current_scalars(eco_, 0);
  EcoCtx ctx = open_context();
  ctx.tick = tick_;
  ctx.stage = 2 * event_id;
  const DemeTick t{.rng = rngs_[0], .bp = bp_, .program = program_, .ind = ind_, .sperm = sperm_, .tick = tick_,
                   .deme = deme_id, .staged = staged, .ecology = DemeEcology::lent(ctx), .host = host};
  Result<int32_t> code = event_then_commit(t, event_id);
  route_journal(ctx.journal);
  absorb_genetics(ctx);
  return settle(std::move(code));
}

Status SinglePopulation::set_state(std::span<const double> ind, std::span<const double> sperm, int64_t tick) {
  if (ind.size() != ind_.size()) {
    return Error::value("ind_flat must contain " + format_uint(ind_.size()) + " values, got " +
                        format_uint(ind.size()));
  }
  if (sperm.size() != sperm_.size()) {
    return Error::value("sperm_flat must contain " + format_uint(sperm_.size()) + " values, got " +
                        format_uint(sperm.size()));
  }
  QORIN_TRY(validate_state_values(ind, sperm, tick));
  install_state(ind, sperm, tick);
  return Status::ok();
}

Status SinglePopulation::check_restorable(std::span<const double> ind, std::span<const double> sperm,
                                          int64_t tick) const {
  if (ind.size() != ind_.size() || sperm.size() != sperm_.size()) {
    return Error::value("checkpoint arrays do not match the live state size");
  }
  return validate_state_values(ind, sperm, tick);
}

void SinglePopulation::install(std::span<const double> ind, std::span<const double> sperm, int64_t tick,
                               const SessionRng& rng, EcologyParams ecology) {
  install_state(ind, sperm, tick);
  rngs_[0] = rng;
  eco_ = std::move(ecology);
}

}  // namespace qorin
