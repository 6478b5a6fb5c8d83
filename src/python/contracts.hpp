// Building the model contracts from the host package's Python objects, and the
// conversions of custom slots and the ecology dict in both directions. Every
// function returning bool leaves a Python exception set when it returns false.
#pragma once

#include <cstddef>

#include "core/model/blueprint.hpp"
#include "core/model/custom_fields.hpp"
#include "core/model/ecology.hpp"
#include "core/model/genetics.hpp"
#include "python/np.hpp"

namespace qorin::py {

// Reads the blueprint object attribute by attribute (no structural checks).
bool blueprint_from_python(PyObject* obj, Blueprint* out);
// Reads the blueprint object and the three sections of a Params object (no
// structural checks).
bool model_from_python(PyObject* blueprint, PyObject* params, Blueprint* bp, EcologyParams* eco,
                       GeneticsTensors* gen);

// Reads a single-population Params object into a one-deme ecology section.
bool ecology_from_python(PyObject* params, EcologyParams* out);
// Reads the eight genetics tensors of a Params object.
bool genetics_from_python(PyObject* params, GeneticsTensors* out);

// dict -> custom-slot map; all or nothing.
bool custom_slots_from_python(PyObject* obj, CustomSlotMap* out);
// custom-slot map -> new dict (new reference, or nullptr with an exception).
PyObject* custom_slots_to_python(const CustomSlotMap& slots);
// Reads and converts `params.custom_slots`.
bool extract_custom_slots(PyObject* params, CustomSlotMap* out);

// The ecology dict of deme 0: seven scalars, seven tensors, custom_slots.
PyObject* ecology_snapshot(const EcologyParams& eco);
// All-or-nothing restore of the ecology section from an ecology dict.
bool restore_ecology(EcologyParams* eco, size_t n_ages, PyObject* dict);

// The genetics tensors as a dict of fresh one-dimensional arrays.
PyObject* genetics_to_python(const GeneticsTensors& g);

// Reads fields for EcologyParams::pull_fields from a Python object. A failed
// read leaves its Python exception set and reports a pending error.
class PyFieldSource final : public FieldSource {
 public:
  explicit PyFieldSource(PyObject* obj) : obj_(obj) {}
  Status read_f64(const std::string& name, double* out) override;
  Status read_f64_vec(const std::string& name, std::vector<double>* out) override;
  Status read_custom_slots(CustomSlotMap* out) override;

 private:
  PyObject* obj_;  // borrowed for the duration of the call
};

}  // namespace qorin::py
