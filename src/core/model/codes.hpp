// The codes of hook programs and of the tick's stages: one enum per family of
// qorin/_codes.def, the file the Python package reads its constants from. The
// columns of a program hold these codes as int64; code_of turns an enumerator
// back into that column value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace qorin {

// Every family expands to nothing unless the enum being built selects it.
#define QORIN_CODE(family, name, value, label) QORIN_CODE_##family(name, value, label)
#define QORIN_CODE_Event(name, value, label)
#define QORIN_CODE_Stage(name, value, label)
#define QORIN_CODE_Opcode(name, value, label)
#define QORIN_CODE_Condition(name, value, label)
#define QORIN_CODE_Token(name, value, label)
#define QORIN_CODE_DemeSelector(name, value, label)
#define QORIN_CODE_Sampler(name, value, label)

// Hook events.
enum class Event : int64_t {
#undef QORIN_CODE_Event
#define QORIN_CODE_Event(name, value, label) name = value,
#include "qorin/_codes.def"
#undef QORIN_CODE_Event
#define QORIN_CODE_Event(name, value, label)
};

// Stages of a tick (the ecology write context's commit points).
enum class Stage : int64_t {
#undef QORIN_CODE_Stage
#define QORIN_CODE_Stage(name, value, label) name = value,
#include "qorin/_codes.def"
#undef QORIN_CODE_Stage
#define QORIN_CODE_Stage(name, value, label)
};

// Hook operations (op_types_data).
enum class Opcode : int64_t {
#undef QORIN_CODE_Opcode
#define QORIN_CODE_Opcode(name, value, label) name = value,
#include "qorin/_codes.def"
#undef QORIN_CODE_Opcode
#define QORIN_CODE_Opcode(name, value, label)
};

// Condition tokens (condition_types_data).
enum class Condition : int64_t {
#undef QORIN_CODE_Condition
#define QORIN_CODE_Condition(name, value, label) name = value,
#include "qorin/_codes.def"
#undef QORIN_CODE_Condition
#define QORIN_CODE_Condition(name, value, label)
};

// Expression tokens (rpn_kinds).
enum class Token : int64_t {
#undef QORIN_CODE_Token
#define QORIN_CODE_Token(name, value, label) name = value,
#include "qorin/_codes.def"
#undef QORIN_CODE_Token
#define QORIN_CODE_Token(name, value, label)
};

// Deme selectors of hooks (deme_selector_types).
enum class DemeSelector : int64_t {
#undef QORIN_CODE_DemeSelector
#define QORIN_CODE_DemeSelector(name, value, label) name = value,
#include "qorin/_codes.def"
#undef QORIN_CODE_DemeSelector
#define QORIN_CODE_DemeSelector(name, value, label)
};

// Samplers of the newborns (the blueprint's `sampling`).
enum class Sampler : int64_t {
#undef QORIN_CODE_Sampler
#define QORIN_CODE_Sampler(name, value, label) name = value,
#include "qorin/_codes.def"
#undef QORIN_CODE_Sampler
#define QORIN_CODE_Sampler(name, value, label)
};

template <class E>
constexpr int64_t code_of(E e) {
  return static_cast<int64_t>(e);
}

// The largest opcode. The interpreter refuses a program holding any opcode
// outside 0..kMaxOpcode, so the opcodes must be exactly those.
inline constexpr int64_t kMaxOpcode = []() {
  int64_t m = 0;
#undef QORIN_CODE_Opcode
#define QORIN_CODE_Opcode(name, value, label) m = value > m ? value : m;
#include "qorin/_codes.def"
#undef QORIN_CODE_Opcode
#define QORIN_CODE_Opcode(name, value, label)
  return m;
}();
static_assert([]() {
  int64_t count = 0;
#undef QORIN_CODE_Opcode
#define QORIN_CODE_Opcode(name, value, label) count += value >= 0 ? 1 : 0;
#include "qorin/_codes.def"
#undef QORIN_CODE_Opcode
#define QORIN_CODE_Opcode(name, value, label)
  return count == kMaxOpcode + 1;
}(), "opcodes run 0..kMaxOpcode, each once");

// The stage at which the hooks of an event run.
constexpr Stage stage_of_event(Event e) { return static_cast<Stage>(2 * code_of(e)); }

// Label of a code of one family ("Event", "Stage", ...), or "" when the
// family has no such code.
constexpr std::string_view code_label(std::string_view family, int64_t code) {
#undef QORIN_CODE
#define QORIN_CODE(fam, name, value, label) \
  if (family == #fam && code == value) return label;
#include "qorin/_codes.def"
#undef QORIN_CODE
#define QORIN_CODE(family, name, value, label) QORIN_CODE_##family(name, value, label)
  return {};
}

// The sampler of a label, or nothing for a label that names none.
constexpr std::optional<Sampler> sampler_of_label(std::string_view text) {
#undef QORIN_CODE_Sampler
#define QORIN_CODE_Sampler(name, value, label) \
  if (text == label) return Sampler::name;
#include "qorin/_codes.def"
#undef QORIN_CODE_Sampler
#define QORIN_CODE_Sampler(name, value, label)
  return std::nullopt;
}

// The label of every sampler, in table order.
inline constexpr std::string_view kSamplerLabels[] = {
#undef QORIN_CODE_Sampler
#define QORIN_CODE_Sampler(name, value, label) label,
#include "qorin/_codes.def"
#undef QORIN_CODE_Sampler
#define QORIN_CODE_Sampler(name, value, label)
};

#undef QORIN_CODE
#undef QORIN_CODE_Event
#undef QORIN_CODE_Stage
#undef QORIN_CODE_Opcode
#undef QORIN_CODE_Condition
#undef QORIN_CODE_Token
#undef QORIN_CODE_DemeSelector
#undef QORIN_CODE_Sampler

// The codes as the int64 values the program columns hold: event::kFirst,
// stage::kAging, op::kSetParam, ... (k followed by the enumerator's name).
#define QORIN_CODE(family, name, value, label) QORIN_CONSTANT_##family(name, value)
#define QORIN_CONSTANT_Event(name, value)
#define QORIN_CONSTANT_Stage(name, value)
#define QORIN_CONSTANT_Opcode(name, value)
#define QORIN_CONSTANT_Condition(name, value)
#define QORIN_CONSTANT_Token(name, value)
#define QORIN_CONSTANT_DemeSelector(name, value)
#define QORIN_CONSTANT_Sampler(name, value)

namespace event {
#undef QORIN_CONSTANT_Event
#define QORIN_CONSTANT_Event(name, value) inline constexpr int64_t k##name = value;
#include "qorin/_codes.def"
#undef QORIN_CONSTANT_Event
#define QORIN_CONSTANT_Event(name, value)
}  // namespace event

namespace stage {
#undef QORIN_CONSTANT_Stage
#define QORIN_CONSTANT_Stage(name, value) inline constexpr int64_t k##name = value;
#include "qorin/_codes.def"
#undef QORIN_CONSTANT_Stage
#define QORIN_CONSTANT_Stage(name, value)
}  // namespace stage

namespace op {
#undef QORIN_CONSTANT_Opcode
#define QORIN_CONSTANT_Opcode(name, value) inline constexpr int64_t k##name = value;
#include "qorin/_codes.def"
#undef QORIN_CONSTANT_Opcode
#define QORIN_CONSTANT_Opcode(name, value)
inline constexpr int64_t kMaxOpcode = qorin::kMaxOpcode;
}  // namespace op

#undef QORIN_CODE
#undef QORIN_CONSTANT_Event
#undef QORIN_CONSTANT_Stage
#undef QORIN_CONSTANT_Opcode
#undef QORIN_CONSTANT_Condition
#undef QORIN_CONSTANT_Token
#undef QORIN_CONSTANT_DemeSelector
#undef QORIN_CONSTANT_Sampler

}  // namespace qorin
