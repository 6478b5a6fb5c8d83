// The execution state every session moves through.
#pragma once

#include <cstdint>

namespace qorin {

enum class ExecState : uint8_t { Ready, Running, Stopped, Failed };

// "Ready", "Running", "Stopped" or "Failed".
const char* exec_state_name(ExecState s);

}  // namespace qorin
