// Writing a block that will not be read again soon around the caches: its
// old contents are not fetched first, and it does not push out lines that
// will be. Outputs at least kStreamBytes long are written so.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qorin {

// Outputs of at least this many bytes are stored around the caches.
inline constexpr size_t kStreamBytes = size_t{32} << 20;

// Copies from[0..n) to to[0..n) with streaming stores where there are;
// streams_done() makes the stores visible to other threads.
inline void store_block(const double* from, double* to, size_t n) {
#if defined(__SSE2__)
  size_t i = 0;
  // Streaming stores need 16-byte alignment.
  if (reinterpret_cast<uintptr_t>(to) % 16 != 0 && n > 0) {
    to[0] = from[0];
    i = 1;
  }
  for (; i + 2 <= n; i += 2) _mm_stream_pd(to + i, _mm_loadu_pd(from + i));
  for (; i < n; ++i) to[i] = from[i];
#else
  std::memcpy(to, from, n * sizeof(double));
#endif
}

// Orders a thread's streamed stores before whatever it does next (the pool's
// signal that its items are done): they bypass the usual store order.
inline void streams_done(bool stream) {
#if defined(__SSE2__)
  if (stream) _mm_sfence();
#endif
  (void)stream;
}

}  // namespace qorin
