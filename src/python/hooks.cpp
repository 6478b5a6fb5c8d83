#include "python/hooks.hpp"

#include <string>
#include <utility>

#include "core/util/format.hpp"
#include "python/convert.hpp"

namespace qorin::py {

namespace {

bool value_error(const std::string& msg) {
  PyErr_SetString(PyExc_ValueError, msg.c_str());
  return false;
}

}  // namespace

bool hook_program_from_python(PyObject* obj, HookProgram* out) {
  HookProgram p;
  // 1-3: counts, opcodes and the set_param flag.
  if (!extract_i64_scalar(obj, "n_hooks", &p.n_hooks)) return false;
  if (!extract_i64_array(obj, "op_types_data", &p.op_types_data)) return false;
  bool declared_set_param = false;
  if (!extract_bool(obj, "has_set_param", &declared_set_param)) return false;

  // 4-5: callback slots; older programs lack the column and are accepted only
  // when they have no hooks.
  if (!extract_i64_array(obj, "python_callback_slots", &p.python_callback_slots)) {
    PyErr_Clear();
    p.python_callback_slots.clear();
    if (p.n_hooks != 0) {
      return value_error(
          "hook program is missing 'python_callback_slots'; rebuild the population program with the current "
          "qorin version");
    }
  }
  if (static_cast<int64_t>(p.python_callback_slots.size()) != p.n_hooks) {
    return value_error("python_callback_slots has " + format_uint(p.python_callback_slots.size()) +
                       " entries but n_hooks is " + format_int(p.n_hooks));
  }

  // 6: periods of Op.set_param.
  if (!extract_i64_array(obj, "sp_every", &p.sp_every)) return false;
  for (size_t i = 0; i < p.sp_every.size(); ++i) {
    if (p.sp_every[i] < 1) {
      return value_error("sp_every must be positive, got " + format_int(p.sp_every[i]) + " at operation " +
                         format_uint(i));
    }
  }

  // 7-8: the remaining columns, in this order.
  if (!extract_i64_scalar(obj, "n_events", &p.n_events)) return false;
  struct I64Col {
    const char* name;
    std::vector<int64_t>* col;
  };
  const I64Col head[] = {{"hook_offsets", &p.hook_offsets},
                         {"op_offsets", &p.op_offsets},
                         {"zidx_offsets_data", &p.zidx_offsets_data},
                         {"zidx_data", &p.zidx_data},
                         {"age_offsets_data", &p.age_offsets_data},
                         {"age_data", &p.age_data}};
  for (const I64Col& c : head) {
    if (!extract_i64_array(obj, c.name, c.col)) return false;
  }
  if (!extract_bool_array(obj, "sex_masks_data", &p.sex_masks_data)) return false;
  if (!extract_f64_array(obj, "params_data", &p.params_data)) return false;
  const I64Col mid[] = {{"condition_offsets_data", &p.condition_offsets_data},
                        {"condition_types_data", &p.condition_types_data},
                        {"condition_params_data", &p.condition_params_data},
                        {"deme_selector_types", &p.deme_selector_types},
                        {"deme_selector_offsets", &p.deme_selector_offsets},
                        {"deme_selector_data", &p.deme_selector_data},
                        {"sp_param_ids", &p.sp_param_ids},
                        {"sp_start", &p.sp_start},
                        {"rpn_offsets", &p.rpn_offsets},
                        {"rpn_kinds", &p.rpn_kinds},
                        {"rpn_payload", &p.rpn_payload}};
  for (const I64Col& c : mid) {
    if (!extract_i64_array(obj, c.name, c.col)) return false;
  }
  if (!extract_f64_array(obj, "sp_literals", &p.sp_literals)) return false;
  const I64Col tail[] = {{"convert_source_z", &p.convert_source_z},
                         {"convert_target_z", &p.convert_target_z},
                         {"convert_offsets", &p.convert_offsets},
                         {"convert_source_coords", &p.convert_source_coords},
                         {"convert_target_coords", &p.convert_target_coords},
                         {"clear_offsets", &p.clear_offsets},
                         {"clear_coords", &p.clear_coords}};
  for (const I64Col& c : tail) {
    if (!extract_i64_array(obj, c.name, c.col)) return false;
  }

  // 9: a program with an Op.set_param may write parameters, whatever it declares.
  bool any_set_param = false;
  for (int64_t code : p.op_types_data) any_set_param = any_set_param || code == op::kSetParam;
  p.has_set_param = declared_set_param || any_set_param;

  *out = std::move(p);
  return true;
}

}  // namespace qorin::py
