// Test hooks for the discrete-generation kernels and tick drivers: one kernel
// on caller-supplied state, and one staged or Wright-Fisher tick of a model
// built from its contracts.
#include <string>
#include <vector>

#include "core/hooks/eco_ctx.hpp"
#include "core/hooks/program.hpp"
#include "core/kernels/discrete_generation.hpp"
#include "core/sessions/discrete_tick.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/hooks.hpp"
#include "python/rng_words.hpp"
#include "python/testing.hpp"
#include "python/testing_kernels.hpp"

namespace qorin::py::testing {

namespace {

PyObject* journal_rows(const std::vector<JournalRow>& rows) {
  Ref l(PyList_New(static_cast<Py_ssize_t>(rows.size())));
  if (!l) return nullptr;
  for (size_t i = 0; i < rows.size(); ++i) {
    const JournalRow& r = rows[i];
    PyObject* t = Py_BuildValue("(LIddL)", static_cast<long long>(r.tick), static_cast<unsigned>(r.param_id),
                                r.old_value, r.new_value, static_cast<long long>(r.stage));
    if (!t) return nullptr;
    PyList_SET_ITEM(l.get(), static_cast<Py_ssize_t>(i), t);
  }
  return l.release();
}

// discrete_stage(stage, ind, n_ztypes, mode, inputs, words, fixed_egg_count=False,
//                female_only=None, male_only=None, extreme_speed_mode=1) -> (ind, words)
PyObject* discrete_stage(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"stage", "ind", "n_ztypes", "mode", "inputs", "words", "fixed_egg_count",
                                 "female_only", "male_only", "extreme_speed_mode", nullptr};
  const char* stage;
  const char* mode_name;
  PyObject *ind_obj, *inputs, *words, *fo_obj = Py_None, *mo_obj = Py_None;
  Py_ssize_t Z;
  int fixed = 0;
  long long speed_mode = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sOnsO!O|pOOL:discrete_stage", const_cast<char**>(kwlist),
                                   &stage, &ind_obj, &Z, &mode_name, &PyDict_Type, &inputs, &words, &fixed,
                                   &fo_obj, &mo_obj, &speed_mode))
    return nullptr;
  if (Z < 0 || Z > 4096) {
    PyErr_SetString(PyExc_ValueError, "dimensions out of range");
    return nullptr;
  }
  const size_t z = static_cast<size_t>(Z);
  std::vector<double> ind;
  if (!to_f64_vec(ind_obj, &ind)) return nullptr;
  if (ind.size() != 4 * z) {
    PyErr_SetString(PyExc_ValueError, "state lengths do not match the dimensions");
    return nullptr;
  }
  SessionRng rng;
  if (!rng_from_words(words, &rng)) return nullptr;
  KernelInputArrays arr;
  LifeLayout layout;
  DemeInputs in;
  if (!layout_from_args(2, z, 1, mode_name, fixed != 0, fo_obj, mo_obj, &arr, &layout) ||
      !deme_inputs_from_dict(inputs, 2, z, &arr, &in))
    return nullptr;

  KernelScratch scratch;
  const std::string s(stage);
  Status st;
  if (s == "reproduction") st = discrete::reproduction(rng, layout, in, ind, scratch);
  else if (s == "survival") st = discrete::survival(rng, layout, in, ind, scratch);
  else if (s == "aging") discrete::aging(z, ind);
  else if (s == "wf") st = wf::generation(rng, layout, in, speed_mode, ind, scratch);
  else {
    PyErr_SetString(PyExc_ValueError, "stage must be reproduction, survival, aging or wf");
    return nullptr;
  }
  if (!st) return raise(st.error());
  Ref ind_out(new_f64_array(ind.data(), ind.size()));
  Ref w(rng_words_list(rng));
  if (!ind_out || !w) return nullptr;
  return PyTuple_Pack(2, ind_out.get(), w.get());
}

// discrete_tick(blueprint, params, ind, seed, tick, wf, program=None, words=None, context=True,
//               keep_state_on_error=False) -> dict
PyObject* discrete_tick(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"blueprint", "params", "ind", "seed", "tick", "wf", "program", "words",
                                 "context", "keep_state_on_error", nullptr};
  PyObject *bp_obj, *params_obj, *ind_obj, *program_obj = Py_None, *words_obj = Py_None;
  unsigned long long seed;
  long long tick;
  int wf_flag, context = 1, keep_state = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOKLp|OOpp:discrete_tick", const_cast<char**>(kwlist),
                                   &bp_obj, &params_obj, &ind_obj, &seed, &tick, &wf_flag, &program_obj,
                                   &words_obj, &context, &keep_state))
    return nullptr;
  Blueprint bp;
  EcologyParams eco;
  GeneticsTensors gen;
  if (!contracts_from_python(bp_obj, params_obj, &bp, &eco, &gen)) return nullptr;
  if (Status s = validate_discrete_shape(bp); !s) return raise(s.error());
  std::vector<double> ind;
  if (!to_f64_vec(ind_obj, &ind)) return nullptr;
  if (ind.size() != bp.individual_count_len()) {
    PyErr_SetString(PyExc_ValueError, "ind does not match the blueprint's dimensions");
    return nullptr;
  }
  HookProgram program;
  if (program_obj != Py_None && !hook_program_from_python(program_obj, &program)) return nullptr;
  SessionRng rng = new_rng(seed);
  if (words_obj != Py_None && !rng_from_words(words_obj, &rng)) return nullptr;

  std::vector<double> staged = current_scalars(eco, 0);
  EcoCtx ctx;
  ctx.ecology = &eco;
  ctx.base_genetics = &gen;
  ctx.deme = 0;
  const EcoSources sources{&eco, &gen, 0};
  KernelScratch scratch;
  scratch.ensure(bp.n_ztypes);
  const DemeTick t{.rng = rng, .bp = bp, .program = program, .ind = ind, .sperm = {}, .tick = tick, .deme = 0,
                   .staged = staged, .ecology = context ? DemeEcology::lent(ctx) : DemeEcology::in_place(sources),
                   .host = nullptr};
  Result<int32_t> code = wf_flag ? discrete::run_wf_tick(t, scratch) : discrete::run_tick(t, scratch);
  if (!code && !keep_state) return raise(code.error());

  const std::vector<double> scalars = current_scalars(eco, 0);
  Ref ind_out(new_f64_array(ind.data(), ind.size()));
  Ref w(rng_words_list(rng));
  Ref journal(journal_rows(ctx.journal));
  Ref values(new_f64_array(scalars.data(), scalars.size()));
  if (!ind_out || !w || !journal || !values) return nullptr;
  Ref outcome(code ? PyLong_FromLong(*code) : PyUnicode_FromString(code.error().message.c_str()));
  if (!outcome) return nullptr;
  return Py_BuildValue("{s:O,s:O,s:O,s:O,s:O,s:L}", "ind", ind_out.get(), code ? "code" : "error",
                       outcome.get(), "words", w.get(), "journal", journal.get(), "scalars", values.get(),
                       "stage", static_cast<long long>(ctx.stage));
}

}  // namespace

PyMethodDef kDiscreteMethods[] = {
    {"discrete_stage", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(discrete_stage)),
     METH_VARARGS | METH_KEYWORDS,
     "discrete_stage(stage, ind, n_ztypes, mode, inputs, words, fixed_egg_count=False, female_only=None, "
     "male_only=None, extreme_speed_mode=1)\n--\n\n"
     "Run one discrete-generation kernel (reproduction, survival, aging, or the Wright-Fisher generation "
     "'wf') on a copy of the given 4*Z counts; returns (ind, words)."},
    {"discrete_tick", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(discrete_tick)),
     METH_VARARGS | METH_KEYWORDS,
     "discrete_tick(blueprint, params, ind, seed, tick, wf, program=None, words=None, context=True, "
     "keep_state_on_error=False)\n--\n\n"
     "Run one staged (wf false) or Wright-Fisher (wf true) tick of a model on the given counts; returns a "
     "dict with the new counts, the stop code ('code', or the message as 'error' when keep_state_on_error "
     "is set), the stream words, the journal rows (tick, param_id, old, new, stage), the five scalar "
     "parameters after the tick and the context's final stage."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace qorin::py::testing
