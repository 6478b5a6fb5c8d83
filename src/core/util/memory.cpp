#include "core/util/memory.hpp"

#include <cstdio>
#include <string>

#include "core/util/format.hpp"

namespace qorin {

std::optional<uint64_t> bytes_for(uint64_t n, uint64_t elem_size) {
  uint64_t bytes = 0;
  if (__builtin_mul_overflow(n, elem_size, &bytes)) return std::nullopt;
  return bytes;
}

Error out_of_memory(std::string_view what, std::optional<uint64_t> bytes) {
  std::string msg(what);
  if (!bytes) {
    msg += " needs more than " + format_uint(UINT64_MAX) + " bytes of memory";
    return Error::memory(std::move(msg));
  }
  char gib[32];
  std::snprintf(gib, sizeof gib, "%.1f", static_cast<double>(*bytes) / (1024.0 * 1024.0 * 1024.0));
  msg += " needs " + format_uint(*bytes) + " bytes (" + gib + " GiB) of memory, more than can be allocated";
  return Error::memory(std::move(msg));
}

}  // namespace qorin
