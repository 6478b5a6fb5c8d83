// The spatial multi-deme session: many demes stacked in one state, one shared
// blueprint, the ecology stored once as per-deme columns and the genetics in a
// bank of variants that demes point at. A tick runs every deme's lifecycle
// (in parallel on the worker pool unless Python callbacks need the calling
// thread), merges the results in deme order, then migrates.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/hooks/eco_ctx.hpp"
#include "core/hooks/interpreter.hpp"
#include "core/kernels/lifecycle.hpp"
#include "core/kernels/migration.hpp"
#include "core/model/blueprint.hpp"
#include "core/model/ecology.hpp"
#include "core/model/genetics.hpp"
#include "core/output/parameter_log.hpp"
#include "core/random/rng.hpp"
#include "core/sessions/parameter_schedule.hpp"
#include "core/sessions/session_core.hpp"

namespace qorin {

// ---- construction helpers (the binding converts, these check) ----

// Columns of D demes with their defaults: scalars per deme, tensors empty,
// no equilibrium declared, one empty custom-slot map per deme.
EcologyParams default_spatial_columns(size_t n_demes);
// growth_mode and equilibrium_declared are read as int64, every other column as float64.
bool is_int_spatial_column(std::string_view name);
Status set_int_spatial_column(EcologyParams& eco, std::string_view name, const std::vector<int64_t>& values);
Status set_f64_spatial_column(EcologyParams& eco, std::string_view name, std::vector<double> values);
// Structure (EcologyParams::validate) then the values every later write
// checks: bounded scalars, growth modes, expected eggs, tensors finite and not
// negative, migration rates in [0, 1].
Status validate_spatial_columns(const EcologyParams& eco, size_t n_ages);
// Lengths (GeneticsTensors::validate) then values.
Status validate_variant(const Blueprint& bp, const GeneticsTensors& gen);
// Every value of a migration-rate column is a finite fraction.
Status check_migration_rates(std::span<const double> values);
// Stacked counts are finite and not negative.
Status check_stacked_values(std::string_view name, std::span<const double> values);
// "age_structured" -> false, "discrete_generation" -> true.
Result<bool> parse_spatial_model(std::string_view model);

struct SpatialParts {
  Blueprint blueprint;
  EcologyParams ecology;
  std::vector<GeneticsTensors> bank;
  std::vector<size_t> deme_variant_ids;
  std::vector<double> individual_count_all;
  std::vector<double> sperm_storage_all;
  int64_t tick = 0;
  bool discrete = false;
  bool stay_after_send = false;
  uint64_t seed = 0;
};

// The stacked state, the streams, the journal (rows carry their deme), the
// checkpoints, recording and the run loop are the core's; this class adds the
// construction, the tick, the variant bank and the per-deme surface.
class SpatialSession : public SessionCore {
 public:
  // The model checks, then one stream per deme (seed ^ d); Ready.
  static Result<SpatialSession> from_parts(SpatialParts parts);

  // ---- the tick ----
  // One tick of every deme, then migration. Returns the tick after the call.
  // `host` runs Python callbacks (needed when any are installed);
  // `at_boundary`, when given, writes at its boundaries after the schedules;
  // `monitor`, when given, may stop a long tick, which then undoes itself.
  Result<int64_t> run_tick(CallbackHost* host, BoundaryWriter* at_boundary = nullptr,
                           RunMonitor* monitor = nullptr);
  // The core's run loop with this tick.
  Result<RunResult> run(const RunRequest& request, CallbackHost* host, RunMonitor* monitor);

  // ---- bank ----
  size_t n_variants() const { return bank_.size(); }
  size_t n_demes() const { return ids_.size(); }
  Result<size_t> fork_variant(size_t deme);
  Status tensor_write_deme(size_t deme, std::string_view name, std::span<const double> values);
  // Checks the variant and names, reads and checks every value, then writes.
  Status refresh_variant_tensors(size_t variant_id, const std::vector<std::string>& fields, FieldSource& source);

  // ---- state ----
  Status set_state(std::span<const double> ind, std::span<const double> sperm, int64_t tick);

  // ---- per-deme parameters ----
  Status apply_deme(size_t deme, const std::vector<std::pair<std::string, double>>& writes);
  Result<double> get_deme_scalar(size_t deme, std::string_view name) const;
  Result<std::vector<double>> get_deme_tensor(size_t deme, std::string_view name) const;
  Status refresh_deme_ecology(size_t deme, const std::vector<std::string>& fields, FieldSource& source);
  Status refresh_deme_parameters(size_t deme, const std::vector<std::string>& fields, FieldSource& source);
  Result<const CustomSlotMap*> deme_custom_slots(size_t deme) const;
  Status set_deme_custom_slots(size_t deme, CustomSlotMap slots);
  Status set_migration_rate(std::span<const double> values);

  // ---- schedules ----
  // Replaces the parameter schedules (checked whole first; on error the old
  // ones stay) and writes the values they give the current tick into the
  // journal. Every boundary then holds the values scheduled for its tick.
  Status set_schedules(std::vector<ParameterSchedule> schedules);
  const std::vector<ParameterSchedule>& schedules() const { return schedules_; }

  // ---- events ----
  Result<int32_t> trigger_deme_event(size_t deme, int64_t event_id, CallbackHost* host);

  // ---- checkpoints ----
  // The restored tick, or nullopt when no checkpoint has exactly this tick.
  Result<std::optional<int64_t>> restore_checkpoint(int64_t tick);

  // ---- reads ----
  const std::vector<GeneticsTensors>& bank() const { return bank_; }
  const std::vector<size_t>& deme_variant_ids() const { return ids_; }
  bool discrete() const { return discrete_; }
  bool stay_after_send() const { return stay_after_send_; }

  // How often a tick that can be undone asks its run's monitor whether to
  // stop (50 ms; tests ask after every deme with zero). Ticking into a second
  // buffer costs a few percent, so only a tick that follows one of at least
  // five intervals (or the session's first) is made undoable: a shorter one
  // ends soon enough by itself.
  void set_interrupt_interval(std::chrono::nanoseconds every) { ask_every_ = every; }
  std::chrono::nanoseconds interrupt_interval() const { return ask_every_; }
  // Migration's outputs (and the ticked blocks of a tick that can be undone)
  // of at least this many bytes are written around the caches; 0 picks 32 MiB
  // (tests set small sizes).
  void set_stream_bytes(size_t bytes) { migration_scratch_.stream_bytes = bytes; }

 private:
  SpatialSession() : SessionCore(kLandscapePolicy) {}

  // What one deme tick hands back to the merge.
  struct DemeOutcome {
    bool failed = false;
    Error error;
    int32_t code = 0;
    std::vector<JournalRow> rows;
    // With an ecology context: the genetics a callback transaction left.
    bool replaced_genetics = false;
    EcologyParams ecology;
    GeneticsTensors genetics;
  };

  // One tick of every deme at tick `tick`, the merge and migration: the step
  // the core's tick and run loop take. The merged journal rows and the phase
  // cursor are left in `ctx`. With a monitor, a long tick without Python
  // callbacks that migrates can be interrupted while its demes tick, and one
  // with callbacks when Ctrl-C lands in a callback: it then undoes itself.
  Result<int32_t> step(int64_t tick, EcoCtx& ctx, CallbackHost* host, RunMonitor* monitor);
  // One deme's lifecycle on its own slices; never throws. With `block` (its
  // counts then its stored sperm) the deme's blocks are first copied there
  // and tick there, leaving the state's as they were.
  void tick_deme(size_t d, bool hook_free, KernelScratch& scratch, CallbackHost* host, double* block) noexcept;
  // Every deme's tick on the worker pool (no callbacks). With `undo` the demes
  // tick into migration's output buffers, and the monitor is asked about
  // every 50 ms whether to stop; false when it asked, after the streams have
  // been put back (the state was never touched). Otherwise the ticked blocks
  // become the state.
  bool tick_demes(bool hook_free, bool undo, RunMonitor* monitor, std::optional<Error>& request);
  // For a tick that can be undone: sizes migration's output buffers (the
  // demes tick into them), keeps the streams and gives each of `slots`
  // threads a deme's block. Returns whether the ticked blocks are written
  // around the caches.
  bool begin_undoable(size_t slots);
  // Writes deme d's ticked block (counts, then stored sperm) to migration's
  // output buffers.
  void put_block(size_t d, const double* block, bool stream);
  // Undoes the demes' ticks: the streams go back, and what they left for the
  // merge is dropped (the state was never touched).
  void drop_demes();
  // Whether any migration rate is positive, and the inputs of migrating the
  // stacked state as it stands.
  bool any_migration() const;
  MigrationInputs migration_inputs() const;
  // Sizes migration's output buffers as the state; a large state and those
  // buffers are placed on huge pages.
  void size_migration_buffers();
  // Points the deme at the first bank entry equal to `gen`, or appends it.
  void repoint(size_t deme, GeneticsTensors gen);
  // The schedules' values for tick `tick`.
  Status write_boundary(int64_t tick, EcoCtx& ctx) override;
  // Sets Failed and returns the error.
  Error fail(Error e);

  std::vector<GeneticsTensors> bank_;
  std::vector<size_t> ids_;
  std::vector<ParameterSchedule> schedules_;
  bool discrete_ = false;
  bool stay_after_send_ = false;

  // Reused across ticks.
  std::vector<double> staged_;
  std::vector<DemeOutcome> outcomes_;
  std::vector<KernelScratch> scratches_;
  std::vector<CandidateEntry> candidates_;
  MigrationScratch migration_scratch_;
  // The streams as a tick that can be undone found them.
  std::vector<SessionRng> saved_rngs_;
  // Per thread: the block a deme of such a tick ticks in.
  std::vector<std::vector<double>> deme_blocks_;
  std::chrono::nanoseconds ask_every_ = std::chrono::milliseconds(50);
  // How long the last tick took (the maximum before the first).
  std::chrono::nanoseconds last_tick_ = std::chrono::nanoseconds::max();
  bool sources_prepared_ = false;  // this tick's demes were prepared for deterministic migration
  std::vector<double> migrated_ind_, migrated_sperm_;
  // The buffers among the state and migration's outputs this session placed
  // on huge pages (null: a free slot).
  std::array<const double*, 4> huge_buffers_{};
  int64_t ticking_ = 0;
  // Counts the ticks' deme passes, during which the bank does not change
  // (DemeInputs::genetics_epoch).
  uint64_t genetics_epoch_ = 0;
};

}  // namespace qorin
