// The spatial tick: every deme's lifecycle on its own block of the stacked
// state and its own stream (in parallel unless Python callbacks need the
// calling thread), a merge in deme order, then migration between demes.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <limits>
#include <new>
#include <optional>
#include <stdexcept>

#include "core/sessions/age_structured_tick.hpp"
#include "core/sessions/discrete_tick.hpp"
#include "core/sessions/spatial.hpp"
#include "core/util/format.hpp"
#include "core/util/memory.hpp"
#include "core/util/stream_store.hpp"
#include "core/util/worker_pool.hpp"

namespace qorin {

namespace spatial {

// Age-structured demes.
Result<int32_t> run_spatial_tick_heterogeneous(const DemeTick& t, KernelScratch& scratch) {
  return run_tick(t, scratch);
}

// Discrete-generation demes (two ages, no stored sperm).
Result<int32_t> run_spatial_tick_discrete(const DemeTick& t, KernelScratch& scratch) {
  return discrete::run_tick(t, scratch);
}

}  // namespace spatial

namespace {

// The column of staged parameter i (i < kNumStagedScalars).
const std::vector<double>* staged_column(const EcologyParams& eco, size_t i) {
  return eco.real_column(kParamFields[i]);
}

// Replaces the entry of the same deme, else appends (the candidate queue's rule).
void put_candidate(std::vector<CandidateEntry>& list, CandidateEntry entry) {
  for (CandidateEntry& c : list) {
    if (c.deme == entry.deme) {
      c = std::move(entry);
      return;
    }
  }
  list.push_back(std::move(entry));
}

}  // namespace

bool SpatialSession::any_migration() const {
  for (double r : eco_.migration_rate) {
    if (r > 0.0) return true;
  }
  return false;
}

MigrationInputs SpatialSession::migration_inputs() const {
  MigrationInputs in;
  in.ind = ind_;
  in.sperm = sperm_;
  in.indptr = bp_.migration_indptr;
  in.dest_idx = bp_.migration_dest_idx;
  in.weights = bp_.migration_weights;
  in.rate = eco_.migration_rate;
  in.n_demes = ids_.size();
  in.n_ages = bp_.n_ages;
  in.n_ztypes = bp_.n_ztypes;
  return in;
}

void SpatialSession::tick_deme(size_t d, bool hook_free, KernelScratch& scratch, CallbackHost* host,
                               double* block) noexcept {
  DemeOutcome& out = outcomes_[d];
  out.failed = false;
  out.code = 0;
  out.rows.clear();
  out.replaced_genetics = false;
  auto report = [&](Error e) {
    out.failed = true;
    out.error = std::move(e);
  };
  try {
    const size_t A = bp_.n_ages, Z = bp_.n_ztypes;
    const size_t ib = discrete_ ? 4 * Z : 2 * A * Z;
    // The stored sperm of a deme in the state (all zero for discrete generations).
    const size_t sb = sperm_.size() / ids_.size();
    std::span<double> ind(ind_.data() + d * ib, ib);
    std::span<double> sperm(sperm_.data() + d * sb, sb);
    if (block) {
      std::copy_n(ind.data(), ib, block);
      std::copy_n(sperm.data(), sb, block + ib);
      ind = std::span<double>(block, ib);
      sperm = std::span<double>(block + ib, sb);
    }
    // A discrete-generation deme keeps no stored sperm.
    if (discrete_) sperm = std::span<double>();
    const std::span<double> staged(staged_.data() + d * kNumStagedScalars, kNumStagedScalars);
    const GeneticsTensors& gen = bank_[ids_[d]];
    auto lifecycle = [&](DemeEcology ecology) {
      const DemeTick t{.rng = rngs_[d], .bp = bp_, .program = program_, .ind = ind, .sperm = sperm,
                       .tick = ticking_, .deme = d, .staged = staged, .ecology = ecology, .host = host};
      return discrete_ ? spatial::run_spatial_tick_discrete(t, scratch)
                       : spatial::run_spatial_tick_heterogeneous(t, scratch);
    };
    Result<int32_t> code = 0;
    if (hook_free) {
      code = lifecycle(DemeEcology::in_place(EcoSources{&eco_, &gen, d, genetics_epoch_}));
    } else {
      Result<EcologyParams> one = eco_.deme_copy(A, d);
      if (!one) {
        code = one.error();
      } else {
        EcoCtx ctx;
        ctx.ecology = &*one;
        ctx.base_genetics = &gen;
        ctx.deme = 0;  // the copy holds this deme alone
        ctx.tick = ticking_;
        code = lifecycle(DemeEcology::lent(ctx));
        if (ctx.genetics) {
          out.replaced_genetics = true;
          out.ecology = *one;
          out.genetics = std::move(*ctx.genetics);
        }
        for (size_t i = 0; i < kNumStagedScalars; ++i) staged[i] = one->eco_value(i, 0);
        out.rows = std::move(ctx.journal);
      }
    }
    if (!code) {
      report(landscape_tick_error(std::move(code).error()));
    } else {
      out.code = *code;
    }
  } catch (const std::bad_alloc&) {
    report(Error::memory("out of memory in the tick of deme " + std::to_string(d)));
  } catch (const std::length_error&) {
    report(Error::memory("out of memory in the tick of deme " + std::to_string(d)));
  } catch (...) {
    report(Error::runtime("internal failure in the tick of deme " + std::to_string(d)));
  }
  if (out.failed || out.code != 0) {
    try {
      program_.queues.push_phase(d);
    } catch (...) {
      // The phase cursor then misses this deme; its status still fails or stops the tick.
    }
  }
}

Result<int64_t> SpatialSession::run_tick(CallbackHost* host, BoundaryWriter* at_boundary, RunMonitor* monitor) {
  EcoCtx ctx;
  Result<int32_t> code = tick_once(
      ctx, {}, [&](int64_t t, EcoCtx& c, std::span<double>) { return step(t, c, host, monitor); }, at_boundary);
  if (!code) return code.error();
  return tick_;
}

Result<RunResult> SpatialSession::run(const RunRequest& request, CallbackHost* host, RunMonitor* monitor) {
  EcoCtx ctx;
  return SessionCore::run(
      request, ctx, {}, [&](int64_t t, EcoCtx& c, std::span<double>) { return step(t, c, host, monitor); }, monitor);
}

bool SpatialSession::tick_demes(bool hook_free, bool undo, RunMonitor* monitor, std::optional<Error>& request) {
  const size_t n = ids_.size();
  WorkerPool& pool = WorkerPool::instance();
  // A few demes are not worth waking the workers for.
  constexpr size_t kMinDemesToSplit = 32;
  // Many small chunks keep the threads busy to the end of the loop (the
  // kernels' buffers are per thread, not per chunk). Migration cuts the
  // demes the same way, so a thread mostly pulls into the demes it has
  // just ticked, from its own cache.
  const size_t slots = n < kMinDemesToSplit ? 1 : std::max<size_t>(1, pool.threads());
  const size_t chunks = slots == 1 ? 1 : std::min(n, slots * 64);
  if (scratches_.size() < slots) scratches_.resize(slots);
  const bool stream = undo && begin_undoable(slots);
  const size_t ib = ind_.size() / n;
  // Deterministic migration reads every deme as a source; with nothing
  // able to change the rates before it, each deme is prepared for it
  // right after its tick, while its block is at hand.
  sources_prepared_ = hook_free && !bp_.stochastic && any_migration() &&
                      begin_migration_sources(migration_inputs(), migration_scratch_).is_ok();
  const MigrationInputs sources = migration_inputs();
  using Clock = std::chrono::steady_clock;
  Clock::time_point asked = Clock::now();
  std::atomic<bool> halt{false};
  pool.parallel_for_slots(chunks, slots, [&](size_t c, size_t slot) {
    const size_t begin = c * n / chunks, end = (c + 1) * n / chunks;
    double* const block = undo ? deme_blocks_[slot].data() : nullptr;
    for (size_t d = begin; d < end; ++d) {
      if (undo && halt.load(std::memory_order_relaxed)) break;
      tick_deme(d, hook_free, scratches_[slot], nullptr, block);
      if (!undo) {
        if (sources_prepared_) prepare_migration_source(sources, d, migration_scratch_);
        continue;
      }
      if (sources_prepared_) prepare_migration_source(sources, d, block, block + ib, migration_scratch_);
      put_block(d, block, stream);
      // Slot 0 is the thread that started the run: the one that may ask.
      if (slot == 0 && Clock::now() - asked >= ask_every_) {
        if (Status s = monitor->interrupt_requested(); !s) {
          request = std::move(s).error();
          halt.store(true, std::memory_order_relaxed);
          break;
        }
        asked = Clock::now();
      }
    }
    streams_done(stream);
  });
  if (!undo) return true;
  if (halt.load(std::memory_order_relaxed)) {
    drop_demes();
    return false;
  }
  ind_.swap(migrated_ind_);
  sperm_.swap(migrated_sperm_);
  return true;
}

bool SpatialSession::begin_undoable(size_t slots) {
  size_migration_buffers();  // before any pointer into the state is taken: it may move it
  saved_rngs_.assign(rngs_.begin(), rngs_.end());
  // A deme's counts, then its stored sperm (all zero for discrete
  // generations, but read by migration).
  const size_t n = ids_.size(), block = (ind_.size() + sperm_.size()) / n;
  if (deme_blocks_.size() < slots) deme_blocks_.resize(slots);
  for (size_t i = 0; i < slots; ++i) deme_blocks_[i].resize(block);
  const size_t stream_bytes = migration_scratch_.stream_bytes > 0 ? migration_scratch_.stream_bytes : kStreamBytes;
  return (ind_.size() + sperm_.size()) * sizeof(double) >= stream_bytes;
}

void SpatialSession::put_block(size_t d, const double* block, bool stream) {
  const size_t n = ids_.size(), ib = ind_.size() / n, sb = sperm_.size() / n;
  if (stream) {
    store_block(block, migrated_ind_.data() + d * ib, ib);
    store_block(block + ib, migrated_sperm_.data() + d * sb, sb);
  } else {
    std::copy_n(block, ib, migrated_ind_.data() + d * ib);
    std::copy_n(block + ib, sb, migrated_sperm_.data() + d * sb);
  }
}

void SpatialSession::drop_demes() {
  // Nothing of this tick is kept: the streams go back, and what the demes
  // left for the merge is dropped with the blocks they ticked.
  rngs_.swap(saved_rngs_);
  (void)program_.queues.take_phases();
  (void)program_.queues.take_candidates();
  candidates_.clear();
  sources_prepared_ = false;
}

Result<int32_t> SpatialSession::step(int64_t t0, EcoCtx& ctx, CallbackHost* host, RunMonitor* monitor) {
  // A failure before the demes report keeps the phase cursor as it is.
  ctx.stage = static_cast<int64_t>(phase_);
  const char* kind = discrete_ ? "discrete" : "heterogeneous";
  const size_t n = ids_.size();
  const size_t A = bp_.n_ages, Z = bp_.n_ztypes;
  ticking_ = t0;
  const std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
  // The bank is only read until the demes have ticked: one epoch for them.
  ++genetics_epoch_;

  std::optional<Error> failure;
  bool stop = false;
  sources_prepared_ = false;
  try {
    // 2. Staged scalars from the five columns (0 where a column is short).
    staged_.assign(n * kNumStagedScalars, 0.0);
    for (size_t i = 0; i < kNumStagedScalars; ++i) {
      const std::vector<double>& col = *staged_column(eco_, i);
      const size_t m = std::min(n, col.size());
      for (size_t d = 0; d < m; ++d) staged_[d * kNumStagedScalars + i] = col[d];
    }

    // 3. Checks.
    if (n == 0) return Error::runtime(std::string(kind) + " spatial run requires at least one deme");
    if (rngs_.size() != n || eco_.n_demes != n) {
      return Error::runtime(std::string(kind) + " spatial run requires " + format_uint(n) +
                            " ecology columns, variant ids, and RNG streams, got " + format_uint(eco_.n_demes) +
                            ", " + format_uint(n) + ", and " + format_uint(rngs_.size()));
    }
    const size_t ib = discrete_ ? 4 * Z : 2 * A * Z;
    const size_t sb = discrete_ ? 4 * Z : A * Z * Z;
    const size_t ind_blocks = ib ? ind_.size() / ib : 0;
    const size_t sperm_blocks = sb ? (discrete_ ? ind_.size() : sperm_.size()) / sb : 0;
    if (ind_blocks != rngs_.size() || sperm_blocks != rngs_.size()) {
      return Error::runtime("stacked state length mismatch: expected " + format_uint(n) +
                            " demes, got ind=" + format_uint(ind_blocks) + " sperm=" + format_uint(sperm_blocks) +
                            " rngs=" + format_uint(rngs_.size()));
    }
    const bool callbacks = has_callbacks();
    const bool hook_free = program_.n_hooks <= 0 && !program_.has_set_param && !callbacks;
    if (!hook_free) {
      // Every deme copies its ecology from these columns.
      if (Status valid = eco_.validate(A); !valid) return tick_error(std::move(valid).error());
    }
    if (outcomes_.size() < n) outcomes_.resize(n);
    candidates_.clear();

    // 4-5. Deme ticks.
    if (callbacks) {
      // Ctrl-C lands in a callback as its KeyboardInterrupt: with a monitor
      // to tell it from other errors the demes tick into the second buffers
      // (on the calling thread), and a tick cut short so is undone.
      const bool undo = monitor != nullptr;
      if (scratches_.empty()) scratches_.resize(1);
      const bool stream = undo && begin_undoable(1);
      for (size_t d = 0; d < n; ++d) {
        double* const block = undo ? deme_blocks_[0].data() : nullptr;
        tick_deme(d, hook_free, scratches_[0], host, block);
        DemeOutcome& out = outcomes_[d];
        if (undo && out.failed && monitor->is_interrupt(out.error)) {
          streams_done(stream);
          drop_demes();
          return undo_tick(std::move(out.error));
        }
        if (undo) put_block(d, block, stream);
        // Candidates left by this deme's callbacks belong to it.
        for (CandidateEntry& c : program_.queues.take_candidates()) {
          c.deme = d;
          put_candidate(candidates_, std::move(c));
        }
        if (out.replaced_genetics) {
          put_candidate(candidates_, CandidateEntry{d, std::move(out.ecology), std::move(out.genetics)});
        }
      }
      if (undo) {
        streams_done(stream);
        ind_.swap(migrated_ind_);
        sperm_.swap(migrated_sperm_);
      }
    } else {
      // Hooks change a deme's copy of its ecology and its block, and what
      // they leave for the merge is only merged after every deme has ticked:
      // all of it can be dropped. A tick without migration has no second
      // buffer to tick into.
      const bool undo = monitor != nullptr && any_migration() && last_tick_ >= 5 * ask_every_;
      std::optional<Error> request;
      if (!tick_demes(hook_free, undo, monitor, request)) return undo_tick(std::move(*request));
    }

    // 6. Merge in deme order.
    for (size_t d = 0; d < n; ++d) {
      DemeOutcome& out = outcomes_[d];
      for (JournalRow& r : out.rows) {
        r.deme = d;
        ctx.journal.push_back(r);
      }
      if (out.failed) {
        failure = std::move(out.error);
        break;
      }
      stop = stop || out.code != 0;
    }

    // 7. Phase cursor: the lowest deme that stopped or failed.
    const std::vector<size_t> phases = program_.queues.take_phases();
    ctx.stage = static_cast<int64_t>(phases.empty() ? 0 : *std::min_element(phases.begin(), phases.end()));

    // 8. Staged scalars back into the columns.
    if (!failure) {
      for (size_t i = 0; i < kNumStagedScalars; ++i) {
        const size_t m = std::min(n, staged_column(eco_, i)->size());
        for (size_t d = 0; d < m; ++d) eco_.set_eco_value(i, d, staged_[d * kNumStagedScalars + i]);
      }
    }

    // 9. Candidates: the deme's ecology and genetics as its callbacks left them.
    for (CandidateEntry& c : program_.queues.take_candidates()) put_candidate(candidates_, std::move(c));
    for (CandidateEntry& c : candidates_) {
      if (c.deme >= ids_.size()) continue;
      Status written = eco_.replace_deme(A, c.deme, c.ecology);
      if (!written && !failure) failure = tick_error(std::move(written).error());
      repoint(c.deme, std::move(c.genetics));
    }
    candidates_.clear();

    // 10. Migration, then the tick advances.
    if (!failure && !stop) {
      Status migrated = Status::ok();
      if (any_migration()) {
        size_migration_buffers();  // before the inputs: it may move the state
        const MigrationInputs in = migration_inputs();
        WorkerPool* pool = &WorkerPool::instance();
        migrated = bp_.stochastic ? migrate_csr_stochastic_into(rngs_, bp_.continuous_sampling, in, migrated_ind_,
                                                                migrated_sperm_, migration_scratch_, pool)
                                  : migrate_csr_deterministic_into(in, migrated_ind_, migrated_sperm_,
                                                                   migration_scratch_, pool, sources_prepared_);
        if (migrated) {
          ind_.swap(migrated_ind_);
          sperm_.swap(migrated_sperm_);
        }
      }
      if (!migrated) failure = tick_error(std::move(migrated).error());
    }
  } catch (const std::bad_alloc&) {
    failure = Error::memory("out of memory during the spatial tick at tick " + format_int(t0));
  } catch (const std::length_error&) {
    failure = Error::memory("out of memory during the spatial tick at tick " + format_int(t0));
  }

  last_tick_ = std::chrono::steady_clock::now() - started;
  // The core routes the journal rows, sets the state and advances the tick.
  if (failure) return std::move(*failure);
  return stop ? 1 : 0;
}

// Each destination reads the blocks of its sources, scattered over a large
// state, so the state and the buffers it swaps with are placed on huge pages
// (once per buffer: fewer address translations missed on those reads). A
// restore that replaces the state brings a buffer the session did not place;
// it is moved over at the next migration, its values kept.
void SpatialSession::size_migration_buffers() {
  std::vector<double>* const buffers[] = {&ind_, &sperm_, &migrated_ind_, &migrated_sperm_};
  const size_t sizes[] = {ind_.size(), sperm_.size(), ind_.size(), sperm_.size()};
  for (const double*& p : huge_buffers_) {
    bool live = false;
    for (const std::vector<double>* b : buffers) live |= p != nullptr && b->data() == p;
    if (!live) p = nullptr;
  }
  for (size_t i = 0; i < 4; ++i) {
    std::vector<double>& v = *buffers[i];
    const bool placed =
        v.data() != nullptr && std::find(huge_buffers_.begin(), huge_buffers_.end(), v.data()) != huge_buffers_.end();
    if (!placed && wants_huge_pages(sizes[i] * sizeof(double))) {
      move_to_huge_pages(v, sizes[i], /*keep=*/i < 2);
      *std::find(huge_buffers_.begin(), huge_buffers_.end(), nullptr) = v.data();
    } else {
      v.resize(sizes[i]);
    }
  }
}

}  // namespace qorin
