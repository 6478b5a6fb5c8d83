// Allocations whose size is known before they are made: the size is computed
// without overflow first, and a failed allocation becomes an error value that
// says how much memory was asked for, instead of an exception escaping to the
// caller.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "core/util/error.hpp"

namespace qorin {

// n * elem_size bytes, or nothing when the product does not fit in 64 bits.
std::optional<uint64_t> bytes_for(uint64_t n, uint64_t elem_size);

// "{what} needs {bytes} bytes ({GiB} GiB) of memory, more than can be allocated"
// (or "more than 18446744073709551615 bytes" when the size itself overflows).
Error out_of_memory(std::string_view what, std::optional<uint64_t> bytes);

// Resizes `v` to n copies of `fill`, or leaves it unchanged and returns the
// out-of-memory error naming `what`.
template <class T>
Status allocate(std::vector<T>* v, uint64_t n, const T& fill, std::string_view what) {
  const std::optional<uint64_t> bytes = bytes_for(n, sizeof(T));
  if (!bytes || n > v->max_size()) return out_of_memory(what, bytes);
  try {
    std::vector<T> fresh(static_cast<size_t>(n), fill);
    v->swap(fresh);
  } catch (const std::bad_alloc&) {
    return out_of_memory(what, bytes);
  } catch (const std::length_error&) {
    return out_of_memory(what, bytes);
  }
  return Status::ok();
}

// Asks the system to back the whole huge pages inside [p, p + bytes) with
// huge pages; a hint, so nothing changes where it is not taken. Made before
// the pages are first touched, it takes effect as they are.
void advise_huge_pages(void* p, size_t bytes) noexcept;

// Whether a buffer of `bytes` is large enough to be worth placing on huge
// pages (two or more of them).
bool wants_huge_pages(size_t bytes) noexcept;

// Replaces `v` by a buffer of n values on huge pages (where the system grants
// them) holding v's first values when `keep` (else zeros). Throws
// std::bad_alloc as a vector does; `v` is unchanged then.
template <class T>
void move_to_huge_pages(std::vector<T>& v, size_t n, bool keep) {
  std::vector<T> fresh;
  fresh.reserve(n);
  advise_huge_pages(fresh.data(), n * sizeof(T));
  const size_t kept = keep ? std::min(n, v.size()) : 0;
  fresh.assign(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(kept));
  fresh.resize(n);
  v.swap(fresh);
}

}  // namespace qorin
