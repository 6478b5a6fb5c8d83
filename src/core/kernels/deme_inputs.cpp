#include "core/kernels/deme_inputs.hpp"

#include "core/kernels/equilibrium.hpp"

namespace qorin {

LifeLayout life_layout(const Blueprint& bp) {
  LifeLayout l;
  l.n_ages = bp.n_ages;
  l.n_ztypes = bp.n_ztypes;
  l.new_adult_age = static_cast<int64_t>(bp.new_adult_age);
  l.has_sex_chromosomes = bp.has_sex_chromosomes;
  l.female_only_by_sex_chrom = &bp.female_only_by_sex_chrom;
  l.male_only_by_sex_chrom = &bp.male_only_by_sex_chrom;
  l.mode = exec_mode(bp.stochastic, bp.continuous_sampling);
  l.fixed_egg_count = bp.fixed_egg_count;
  l.discrete_generation = bp.discrete_generation;
  l.aggregated_sampling = bp.sampling == Sampler::Aggregated;
  return l;
}

Result<EquilibriumPair> EquilibriumSource::operator()() const {
  const EquilibriumMetrics m = equilibrium_metrics(*blueprint, *ecology, deme);
  return EquilibriumPair{m.expected_competition_strength, m.expected_survival_rate};
}

DemeInputs deme_inputs(const Blueprint& bp, const EcologyParams& eco, const GeneticsTensors& gen,
                       size_t deme, const EquilibriumSource* equilibrium, uint64_t genetics_epoch) {
  const size_t A = bp.n_ages;
  const size_t d = eco.n_demes == 0 ? 0 : (deme < eco.n_demes ? deme : eco.n_demes - 1);
  DemeInputs in;
  in.carrying_capacity = eco.carrying_capacity[d];
  in.eggs_per_female = eco.eggs_per_female[d];
  in.sex_ratio = eco.sex_ratio[d];
  in.sperm_displacement_rate = eco.sperm_displacement_rate[d];
  in.low_density_growth_rate = eco.low_density_growth_rate[d];
  in.growth_mode = eco.growth_mode[d];
  // Block d of a tensor column, its extent from the field's shape.
  auto block = [&](const std::vector<double>& col, Field f) {
    return col.data() + d * field_info(f).shape.extent(FieldDims{A, 0, 0});
  };
  in.mating_rates = block(eco.mating_rates, Field::mating_rates);
  in.reproduction_rates = block(eco.reproduction_rates, Field::reproduction_rates);
  in.fertility = block(eco.fertility, Field::fertility);
  in.survival_rates = block(eco.survival_rates, Field::survival_rates);
  in.competition_weights = block(eco.competition_weights, Field::competition_weights);
  in.viability_fitness = gen.viability_fitness.data();
  in.fecundity_fitness = gen.fecundity_fitness.data();
  in.sexual_selection_fitness = gen.sexual_selection_fitness.data();
  in.zygote_viability_fitness = gen.zygote_viability_fitness.data();
  in.offspring_tensor = gen.offspring_tensor.data();
  in.female_ztype_compatibility = gen.female_ztype_compatibility.data();
  in.male_ztype_compatibility = gen.male_ztype_compatibility.data();
  in.genetics_epoch = genetics_epoch;
  if (equilibrium) in.equilibrium.emplace(*equilibrium);
  return in;
}

}  // namespace qorin
