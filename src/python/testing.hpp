// Method tables of the internal test module qorin._engine_testing, one per area.
#pragma once

#include "python/np.hpp"

namespace qorin::py::testing {

extern PyMethodDef kBoundaryMethods[];
extern PyMethodDef kRngMethods[];
extern PyMethodDef kKernelMethods[];
extern PyMethodDef kContractsMethods[];
extern PyMethodDef kHookMethods[];
extern PyMethodDef kOutputMethods[];
extern PyMethodDef kAllocMethods[];
extern PyMethodDef kPoolMethods[];
extern PyMethodDef kMigrationMethods[];
// Heap allocations counted so far in this module, or -1 when not counted.
long allocation_count();
extern PyMethodDef kDiscreteMethods[];
extern PyMethodDef kPathMethods[];
extern PyMethodDef kSpatialMethods[];
// Adds this copy's EngineSession and DiscreteEngineSession classes; false on failure.
bool add_session_types(PyObject* module);
// Adds the module's helper types (borrow probe); false on failure.
bool add_boundary_types(PyObject* module);

}  // namespace qorin::py::testing
