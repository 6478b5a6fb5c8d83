#include "core/util/memory.hpp"

#include <cstdio>
#if defined(__linux__)
#include <sys/mman.h>
#endif
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

namespace {
constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
}  // namespace

bool wants_huge_pages(size_t bytes) noexcept { return bytes >= 2 * kHugePage; }

void advise_huge_pages(void* p, size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  const uintptr_t begin = reinterpret_cast<uintptr_t>(p);
  uintptr_t end = 0;
  if (p == nullptr || __builtin_add_overflow(begin, bytes, &end)) return;
  const uintptr_t first = (begin + kHugePage - 1) / kHugePage * kHugePage;
  const uintptr_t last = end / kHugePage * kHugePage;
  if (first < last) (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)p;
  (void)bytes;
#endif
}

}  // namespace qorin
