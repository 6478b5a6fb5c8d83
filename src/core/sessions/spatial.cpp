#include "core/sessions/spatial.hpp"

#include <cmath>
#include <new>
#include <optional>
#include <stdexcept>
#include <type_traits>

#include "core/kernels/discrete_generation.hpp"
#include "core/kernels/state_reduce.hpp"
#include "core/model/validation.hpp"
#include "core/output/parameter_log.hpp"
#include "core/sessions/event_step.hpp"
#include "core/util/format.hpp"

namespace qorin {

namespace {

Error deme_out_of_range() { return Error::value("deme out of range"); }

}  // namespace

namespace {

// The float64 scalar column of that name (growth_mode is an int64 column).
std::vector<double>* scalar_column(EcologyParams& eco, std::string_view name) {
  const std::optional<Field> f = find_field(name, FieldGroup::EcologyScalar);
  return f ? eco.real_column(*f) : nullptr;
}

}  // namespace

// ---------------------------------------------------------------- construction helpers

EcologyParams default_spatial_columns(size_t D) {
  EcologyParams eco;
  eco.n_demes = D;
  eco.carrying_capacity.assign(D, 0.0);
  eco.eggs_per_female.assign(D, 0.0);
  eco.sex_ratio.assign(D, 0.5);
  eco.sperm_displacement_rate.assign(D, 0.0);
  eco.low_density_growth_rate.assign(D, 0.0);
  eco.growth_mode.assign(D, 0);
  eco.external_expected_eggs.assign(D, -1.0);
  eco.equilibrium_declared.assign(D, 0);
  eco.custom_slots.assign(D, CustomSlotMap());
  return eco;
}

bool is_int_spatial_column(std::string_view name) {
  return name == "growth_mode" || name == "equilibrium_declared";
}

Status set_int_spatial_column(EcologyParams& eco, std::string_view name, const std::vector<int64_t>& values) {
  QORIN_TRY(EcologyParams::expect_column_len(name, values.size(), eco.n_demes));
  if (name == "growth_mode") {
    eco.growth_mode = values;
    return Status::ok();
  }
  std::vector<uint8_t> flags(values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    if (values[i] != 0 && values[i] != 1) return Error::value("equilibrium_declared must contain 0 or 1");
    flags[i] = static_cast<uint8_t>(values[i]);
  }
  eco.equilibrium_declared = std::move(flags);
  return Status::ok();
}

Status set_f64_spatial_column(EcologyParams& eco, std::string_view name, std::vector<double> values) {
  const size_t D = eco.n_demes;
  if (std::vector<double>* col = scalar_column(eco, name)) {
    QORIN_TRY(EcologyParams::expect_column_len(name, values.size(), D));
    *col = std::move(values);
    return Status::ok();
  }
  if (std::vector<double>* col = eco.tensor_column(name)) {
    if (D == 0 || values.size() % D != 0) {
      return Error::value("ecology column " + std::string(name) + ": length " + format_uint(values.size()) +
                          " is not a multiple of " + format_uint(D) + " demes");
    }
    const bool optional = name == "migration_rate" || name == "equilibrium_distribution";
    if (optional && values.empty()) return Status::ok();
    *col = std::move(values);
    if (name == "equilibrium_distribution") {
      for (uint8_t& f : eco.equilibrium_declared) f = 1;
    }
    return Status::ok();
  }
  return Error::key("unknown ecology column " + quote_name(std::string(name)));
}

Status check_migration_rates(std::span<const double> values) {
  const FieldInfo& rate = field_info(Field::migration_rate);
  for (double v : values) {
    if (!rate.admits(v)) {
      return Error::value(std::string(rate.name) + " requires finite values in [" + format_number(rate.lower) +
                          ", " + format_number(rate.upper) + "], got " + format_number(v));
    }
  }
  return Status::ok();
}

Status validate_spatial_columns(const EcologyParams& eco, size_t n_ages) {
  QORIN_TRY(eco.validate(n_ages));
  // Every scalar column in table order, each value through the scalar gate (an
  // integer column compares its stored integers with the field's bounds).
  std::optional<Error> bad;
  eco.for_each_column([&](Field f, const auto& col) {
    const FieldInfo& info = field_info(f);
    if (info.is_tensor()) return;
    for (const auto v : col) {
      if (bad) return;
      if constexpr (std::is_same_v<std::remove_cvref_t<decltype(v)>, int64_t>) {
        if (!(info.lower <= static_cast<double>(v) && static_cast<double>(v) <= info.upper)) {
          bad = Error::value("Invalid value for " + std::string(info.name) + ": " + format_int(v));
        }
      } else {
        Status s = validate_scalar_value(info.name, v);
        if (!s) bad = s.error();
      }
    }
  });
  if (bad) return *bad;
  for (std::string_view name : EcologyParams::kTensorNames) {
    QORIN_TRY(validate_tensor_values(name, *eco.tensor_column(name)));
  }
  return check_migration_rates(eco.migration_rate);
}

Status validate_variant(const Blueprint& bp, const GeneticsTensors& gen) {
  QORIN_TRY(gen.validate(bp));
  const auto tensors = gen.tensors();
  for (size_t i = 0; i < GeneticsTensors::kCount; ++i) {
    QORIN_TRY(validate_tensor_values(GeneticsTensors::kNames[i], *tensors[i]));
  }
  return Status::ok();
}

Status check_stacked_values(std::string_view name, std::span<const double> values) {
  bool ok = true;
  for (const double x : values) ok &= (x >= 0.0) & (x <= std::numeric_limits<double>::max());
  if (ok) return Status::ok();
  return Error::value(std::string(name) + " must contain finite nonnegative values");
}

Result<bool> parse_spatial_model(std::string_view model) {
  if (model == "age_structured") return false;
  if (model == "discrete_generation") return true;
  return Error::value("unknown spatial model " + quote_name(std::string(model)) +
                      " (expected \"age_structured\" or \"discrete_generation\")");
}

namespace {

// A discrete-generation deme keeps no stored sperm.
Status check_no_sperm(std::span<const double> sperm) {
  for (double v : sperm) {
    if (v != 0.0) {
      return Error::value("sperm_storage_all must be all zero for a discrete_generation model (it keeps no "
                          "sperm storage)");
    }
  }
  return Status::ok();
}

}  // namespace

Result<SpatialSession> SpatialSession::from_parts(SpatialParts p) {
  const Blueprint& bp = p.blueprint;
  const size_t A = bp.n_ages, Z = bp.n_ztypes;
  if (p.discrete) {
    QORIN_TRY(validate_discrete_shape(bp));
    if (Z == 0) return Error::value("n_ages and n_ztypes must be positive");
    QORIN_TRY(check_no_sperm(p.sperm_storage_all));
  } else {
    if (A == 0 || Z == 0) return Error::value("n_ages and n_ztypes must be positive");
    if (bp.new_adult_age < 1 || bp.new_adult_age > A) {
      return Error::value("new_adult_age must be in [1, " + format_uint(A) + "], got " +
                          format_uint(bp.new_adult_age));
    }
  }
  const size_t n = p.deme_variant_ids.size();
  SpatialSession s;
  try {
    // Discrete generations keep no stored sperm: a history row holds none.
    s.init_state(std::move(p.individual_count_all), std::move(p.sperm_storage_all), !p.discrete, n, p.seed,
                 p.tick);
  } catch (const std::bad_alloc&) {
    return Error::memory("out of memory creating " + format_uint(n) + " deme streams");
  }
  s.bp_ = std::move(p.blueprint);
  // The blueprint, and so the migration graph, never changes: migration
  // checks and turns the graph around once.
  s.migration_scratch_.graph_fixed = true;
  s.eco_ = std::move(p.ecology);
  s.bank_ = std::move(p.bank);
  s.ids_ = std::move(p.deme_variant_ids);
  s.discrete_ = p.discrete;
  s.stay_after_send_ = p.stay_after_send;
  return s;
}

Error SpatialSession::fail(Error e) {
  state_ = ExecState::Failed;
  return e;
}

// ---------------------------------------------------------------- bank

void SpatialSession::repoint(size_t deme, GeneticsTensors gen) {
  for (size_t i = 0; i < bank_.size(); ++i) {
    if (bank_[i] == gen) {
      ids_[deme] = i;
      return;
    }
  }
  bank_.push_back(std::move(gen));
  ids_[deme] = bank_.size() - 1;
}

Result<size_t> SpatialSession::fork_variant(size_t deme) {
  if (deme >= ids_.size()) {
    return Error::value("deme " + format_uint(deme) + " out of range for " + format_uint(ids_.size()) +
                        " variant ids");
  }
  GeneticsTensors copy = bank_[ids_[deme]];
  bank_.push_back(std::move(copy));
  ids_[deme] = bank_.size() - 1;
  return ids_[deme];
}

Status SpatialSession::tensor_write_deme(size_t deme, std::string_view name, std::span<const double> values) {
  if (deme >= ids_.size()) return deme_out_of_range();
  Result<EcologyParams> one = eco_.single_deme(bp_.n_ages, deme);
  if (!one) return one.error();
  GeneticsTensors clone = bank_[ids_[deme]];
  if (GeneticsTensors::is_genetics_tensor(name)) {
    QORIN_TRY(clone.tensor_write(bp_, name, values));
  } else {
    QORIN_TRY(one->tensor_write(bp_.n_ages, name, values));
    if (name == "migration_rate") QORIN_TRY(check_migration_rates(values));
  }
  QORIN_TRY(eco_.replace_deme(bp_.n_ages, deme, *one));
  repoint(deme, std::move(clone));
  return Status::ok();
}

Status SpatialSession::refresh_variant_tensors(size_t variant_id, const std::vector<std::string>& fields,
                                               FieldSource& source) {
  if (variant_id >= bank_.size()) {
    return Error::value("variant_id " + format_uint(variant_id) + " out of range for a bank of " +
                        format_uint(bank_.size()) + " entries");
  }
  for (const std::string& name : fields) {
    if (!GeneticsTensors::is_genetics_tensor(name)) {
      std::string names;
      for (size_t i = 0; i < GeneticsTensors::kCount; ++i) {
        if (i) names += ", ";
        names += std::string(GeneticsTensors::kNames[i]);
      }
      return Error::key(quote_name(name) + " is not a genetics tensor (expected one of " + names + ")");
    }
  }
  std::vector<std::vector<double>> gathered(fields.size());
  for (size_t k = 0; k < fields.size(); ++k) {
    QORIN_TRY(source.read_f64_vec(fields[k], &gathered[k]));
    const size_t expected = *GeneticsTensors::expected_len(bp_, fields[k]);
    if (gathered[k].size() != expected) {
      return Error::value("genetics " + fields[k] + ": expected " + format_uint(expected) + " elements, got " +
                          format_uint(gathered[k].size()));
    }
  }
  // Reading the source ran Python code; the bank may only have grown since.
  if (variant_id >= bank_.size()) return Error::value("variant_id out of range");
  for (size_t k = 0; k < fields.size(); ++k) QORIN_TRY(validate_tensor_values(fields[k], gathered[k]));
  GeneticsTensors& entry = bank_[variant_id];
  for (size_t k = 0; k < fields.size(); ++k) **entry.tensor_mut(fields[k]) = std::move(gathered[k]);
  return Status::ok();
}

// ---------------------------------------------------------------- state

Status SpatialSession::set_state(std::span<const double> ind, std::span<const double> sperm, int64_t tick) {
  if (tick < 0) return Error::value("state tick must be nonnegative");
  if (ind.size() != ind_.size() || sperm.size() != sperm_.size()) {
    return Error::value("stacked state length mismatch: expected " + format_uint(ind_.size()) + " and " +
                        format_uint(sperm_.size()) + " values, got " + format_uint(ind.size()) + " and " +
                        format_uint(sperm.size()));
  }
  QORIN_TRY(check_stacked_values("individual_count_all", ind));
  QORIN_TRY(check_stacked_values("sperm_storage_all", sperm));
  if (discrete_) QORIN_TRY(check_no_sperm(sperm));
  install_state(ind, sperm, tick);
  return Status::ok();
}

// ---------------------------------------------------------------- per-deme parameters

Status SpatialSession::set_schedules(std::vector<ParameterSchedule> schedules) {
  QORIN_TRY(check_schedules(schedules, ids_.size()));
  schedules_ = std::move(schedules);
  std::vector<JournalRow> rows;
  apply_schedules(schedules_, tick_, eco_, rows);
  route_journal(rows);
  return Status::ok();
}

Status SpatialSession::write_boundary(int64_t tick, EcoCtx& ctx) {
  if (!schedules_.empty()) apply_schedules(schedules_, tick, eco_, ctx.journal);
  return Status::ok();
}

Status SpatialSession::apply_deme(size_t deme, const std::vector<std::pair<std::string, double>>& writes) {
  if (deme >= ids_.size()) return deme_out_of_range();
  return eco_.apply(writes, deme);
}

Result<double> SpatialSession::get_deme_scalar(size_t deme, std::string_view name) const {
  if (deme >= ids_.size()) return deme_out_of_range();
  return eco_.get_scalar(name, deme);
}

Result<std::vector<double>> SpatialSession::get_deme_tensor(size_t deme, std::string_view name) const {
  if (deme >= ids_.size()) return deme_out_of_range();
  Result<EcologyParams> one = eco_.single_deme(bp_.n_ages, deme);
  if (!one) return one.error();
  return one->session_get_tensor(bank_[ids_[deme]], name);
}

Status SpatialSession::refresh_deme_ecology(size_t deme, const std::vector<std::string>& fields,
                                            FieldSource& source) {
  if (deme >= eco_.n_demes) {
    return Error::value("deme " + format_uint(deme) + " out of range for " + format_uint(eco_.n_demes) +
                        " ecology columns");
  }
  // A migration-rate block must also be a fraction: pull into a copy, check, install.
  bool touches_rate = false;
  for (const std::string& f : fields) touches_rate = touches_rate || f == "migration_rate";
  if (!touches_rate) return eco_.pull_fields(bp_, deme, fields, source, nullptr);
  EcologyParams copy = eco_;
  QORIN_TRY(copy.pull_fields(bp_, deme, fields, source, nullptr));
  QORIN_TRY(check_migration_rates(copy.migration_rate));
  eco_ = std::move(copy);
  return Status::ok();
}

Status SpatialSession::refresh_deme_parameters(size_t deme, const std::vector<std::string>& fields,
                                               FieldSource& source) {
  if (deme >= ids_.size()) return deme_out_of_range();
  Result<EcologyParams> one = eco_.single_deme(bp_.n_ages, deme);
  if (!one) return one.error();
  GeneticsTensors clone = bank_[ids_[deme]];
  QORIN_TRY(one->pull_fields(bp_, 0, fields, source, &clone));
  QORIN_TRY(check_migration_rates(one->migration_rate));
  // Reading the source ran Python code; the session is borrowed, so nothing
  // else changed it, but the deme must still be there.
  if (deme >= ids_.size()) return deme_out_of_range();
  QORIN_TRY(eco_.replace_deme(bp_.n_ages, deme, *one));
  repoint(deme, std::move(clone));
  return Status::ok();
}

Result<const CustomSlotMap*> SpatialSession::deme_custom_slots(size_t deme) const {
  if (deme >= ids_.size() || deme >= eco_.custom_slots.size()) return deme_out_of_range();
  return &eco_.custom_slots[deme];
}

Status SpatialSession::set_deme_custom_slots(size_t deme, CustomSlotMap slots) {
  if (deme >= ids_.size() || deme >= eco_.custom_slots.size()) return deme_out_of_range();
  eco_.custom_slots[deme] = std::move(slots);
  return Status::ok();
}

Status SpatialSession::set_migration_rate(std::span<const double> values) {
  const size_t expected = eco_.n_demes * 2 * bp_.n_ages;
  if (values.size() != expected) {
    return Error::value("migration_rate must hold (n_demes, 2, n_ages) = " + format_uint(expected) +
                        " values, got " + format_uint(values.size()));
  }
  QORIN_TRY(check_migration_rates(values));
  eco_.migration_rate.assign(values.begin(), values.end());
  return Status::ok();
}

// ---------------------------------------------------------------- events

Result<int32_t> SpatialSession::trigger_deme_event(size_t deme, int64_t event_id, CallbackHost* host) {
  if (event_id < 0 || event_id > 3 || deme >= ids_.size()) return Error::value("unknown deme or hook event");
  const size_t A = bp_.n_ages, Z = bp_.n_ztypes;
  const size_t ib = discrete_ ? 4 * Z : 2 * A * Z;
  const size_t sb = A * Z * Z;
  if ((deme + 1) * ib > ind_.size() || deme >= rngs_.size()) return Error::value("unknown deme or hook event");
  Result<EcologyParams> one = eco_.single_deme(A, deme);
  if (!one) return one.error();
  std::vector<double> staged = current_scalars(*one, 0);
  EcoCtx ctx;
  ctx.ecology = &*one;
  ctx.base_genetics = &bank_[ids_[deme]];
  ctx.deme = 0;
  ctx.tick = tick_;
  ctx.stage = 2 * event_id;
  std::span<double> ind(ind_.data() + deme * ib, ib);
  std::span<double> sperm;
  if (!discrete_) sperm = std::span<double>(sperm_.data() + deme * sb, sb);
  const DemeTick t{.rng = rngs_[deme], .bp = bp_, .program = program_, .ind = ind, .sperm = sperm, .tick = tick_,
                   .deme = deme, .staged = staged, .ecology = DemeEcology::lent(ctx), .host = host};
  Result<int32_t> code = event_then_commit(t, event_id);
  for (JournalRow& r : ctx.journal) r.deme = deme;
  route_journal(ctx.journal);
  Status written = eco_.replace_deme(A, deme, *one);
  if (ctx.genetics) repoint(deme, std::move(*ctx.genetics));
  program_.queues.take_candidates();
  if (!code) return fail(landscape_tick_error(std::move(code).error()));
  if (!written) return fail(std::move(written).error());
  if (*code != 0) {
    state_ = ExecState::Stopped;
    return *code;
  }
  return *code;
}

// ---------------------------------------------------------------- checkpoints

Result<std::optional<int64_t>> SpatialSession::restore_checkpoint(int64_t tick) {
  Result<bool> found = restore_from_checkpoint(tick);
  if (!found) return found.error();
  if (!*found) return std::optional<int64_t>();
  return std::optional<int64_t>(tick_);
}

}  // namespace qorin
