// Switch between the engine's fast paths (sparse offspring contraction,
// memoised sampler set-ups, cached calibrations) and the straightforward dense
// paths they must reproduce bit for bit. Only the internal test module turns
// the straightforward paths on, to compare the two.
#pragma once

#include <atomic>

namespace qorin {

namespace detail {
inline std::atomic<bool> g_reference_paths{false};
}  // namespace detail

inline bool reference_paths() { return detail::g_reference_paths.load(std::memory_order_relaxed); }
inline void set_reference_paths(bool on) { detail::g_reference_paths.store(on, std::memory_order_relaxed); }

}  // namespace qorin
