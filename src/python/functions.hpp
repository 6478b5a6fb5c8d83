// Module-level functions of _engine_rs.
#pragma once

#include "python/np.hpp"

namespace qorin::py {

extern PyMethodDef kProjectObservationDef;
extern PyMethodDef kComputeOffspringTensorDef;
extern PyMethodDef kEquilibriumMetricsDef;
extern PyMethodDef kEquilibriumMetricsFlatDef;
extern PyMethodDef kMigrateCsrDeterministicDef;
extern PyMethodDef kMigrateCsrStochasticDef;

}  // namespace qorin::py
