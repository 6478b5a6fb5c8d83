#include "core/hooks/eco_ctx.hpp"

#include <cmath>
#include <string>

#include "core/model/validation.hpp"
#include "core/util/format.hpp"

namespace qorin {

Status EcoCtx::commit(std::span<const double> staged) {
  if (ecology == nullptr) return Error::runtime("ecology write context has no ecology to commit to");
  if (staged.size() > kNumStagedScalars) {
    return Error::runtime("staged scalar vector holds " + format_uint(staged.size()) +
                          " values, at most " + format_uint(kNumStagedScalars));
  }
  const size_t n = staged.size();
  // 1. Bounds gate.
  for (size_t i = 0; i < n; ++i) {
    const double v = staged[i];
    const double lo = kBoundedScalarLo[i];
    const double hi = kBoundedScalarHi[i];
    // -0 passes: it compares equal to 0.
    if (!(std::isfinite(v) && v >= lo && v <= hi)) {
      return Error::runtime("set_param value out of bounds: '" + std::string(kBoundedScalarNames[i]) +
                            "' requires a value in [" + format_number(lo) + ", " + format_number(hi) +
                            "], got " + format_number(v) + " (tick " + format_int(tick) + ")");
    }
  }
  // 2. A partial vector leaves low_density_growth_rate as it is; it must still
  //    be usable.
  if (n < kNumStagedScalars) {
    const FieldInfo& rate = field_info(Field::low_density_growth_rate);
    const double g = ecology->eco_value(static_cast<size_t>(rate.param_id), deme);
    if (!(std::isfinite(g) && g >= rate.lower)) {
      return Error::runtime("ValueError: low_density_growth_rate must be finite and at least 1.0");
    }
  }
  // 3. Journal the changes and write.
  for (size_t i = 0; i < n; ++i) {
    const double old_v = ecology->eco_value(i, deme);
    const double new_v = staged[i];
    if (old_v != new_v) {
      journal.push_back(JournalRow{tick, static_cast<uint32_t>(i), old_v, new_v, stage});
    }
    ecology->set_eco_value(i, deme, new_v);
  }
  return {};
}

std::vector<double> current_scalars(const EcologyParams& ecology, size_t deme) {
  std::vector<double> out(kNumStagedScalars);
  for (size_t i = 0; i < kNumStagedScalars; ++i) out[i] = ecology.eco_value(i, deme);
  return out;
}

Result<StageView> stage_sources(const EcoCtx* ctx, const EcoSources* sources) {
  if (ctx != nullptr) {
    if (ctx->ecology == nullptr || ctx->genetics_in_force() == nullptr) {
      return Error::runtime("ecology write context has no ecology to read");
    }
    return StageView{ctx->ecology, ctx->genetics_in_force(), ctx->deme};
  }
  if (sources == nullptr || sources->ecology == nullptr || sources->genetics == nullptr) {
    return Error::runtime("hook-free spatial ticks carry their ecology columns");
  }
  return StageView{sources->ecology, sources->genetics, sources->deme, sources->genetics_epoch};
}

}  // namespace qorin
