#include "core/hooks/program.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "core/util/format.hpp"

namespace qorin {

HookQueues::HookQueues(const HookQueues& o) {
  std::lock_guard<std::mutex> lock(o.mu_);
  candidates_ = o.candidates_;
  phases_ = o.phases_;
}

HookQueues& HookQueues::operator=(const HookQueues& o) {
  if (this == &o) return *this;
  std::scoped_lock lock(mu_, o.mu_);
  candidates_ = o.candidates_;
  phases_ = o.phases_;
  return *this;
}

void HookQueues::put_candidate(CandidateEntry entry) {
  std::lock_guard<std::mutex> lock(mu_);
  for (CandidateEntry& c : candidates_) {
    if (c.deme == entry.deme) {
      c = std::move(entry);
      return;
    }
  }
  candidates_.push_back(std::move(entry));
}

std::vector<CandidateEntry> HookQueues::take_candidates() {
  std::lock_guard<std::mutex> lock(mu_);
  return std::exchange(candidates_, {});
}

void HookQueues::push_phase(size_t deme) {
  std::lock_guard<std::mutex> lock(mu_);
  phases_.push_back(deme);
}

std::vector<size_t> HookQueues::take_phases() {
  std::lock_guard<std::mutex> lock(mu_);
  return std::exchange(phases_, {});
}

namespace {

Error splice_error(const std::string& what) {
  return Error::value("cannot install callbacks on a malformed hook program: " + what);
}

// Pads `col` with copies of its last entry (0 when empty) up to `len` entries.
void pad_repeat(std::vector<int64_t>& col, size_t len) {
  const int64_t last = col.empty() ? 0 : col.back();
  if (col.size() < len) col.resize(len, last);
}

}  // namespace

Status HookProgram::install_callback_lists(std::vector<CallbackList> lists) {
  if (n_hooks < 0) return splice_error("n_hooks is " + format_int(n_hooks));
  if (n_events < 0) return splice_error("n_events is " + format_int(n_events));
  const size_t E = lists.size();
  const uint64_t nh = static_cast<uint64_t>(n_hooks);
  const uint64_t ne = static_cast<uint64_t>(n_events);
  // Padding repeats existing entries; it never has to invent whole columns.
  // Bounding the counts by their columns keeps a corrupt count from asking for
  // an absurd allocation.
  if (nh > python_callback_slots.size() + op_offsets.size() + deme_selector_types.size() + 1) {
    return splice_error("n_hooks is " + format_int(n_hooks) + " but the hook columns are shorter");
  }
  if (ne > hook_offsets.size() + 1) {
    return splice_error("n_events is " + format_int(n_events) + " but hook_offsets has " +
                        format_uint(hook_offsets.size()) + " entries");
  }

  // Work on copies so that a failure leaves the program unchanged.
  std::vector<int64_t> hook_off = hook_offsets, op_off = op_offsets, sel_types = deme_selector_types,
                       sel_off = deme_selector_offsets, slots = python_callback_slots;
  int64_t n_h = n_hooks;
  int64_t n_e = n_events;

  // 1. Normalise the shapes.
  if (op_off.empty()) op_off.push_back(0);
  if (slots.size() < nh) slots.resize(nh, -1);
  pad_repeat(sel_off, nh + 1);
  if (sel_types.size() < nh) sel_types.resize(nh, 0);
  pad_repeat(hook_off, ne + 1);
  if (E > ne) {
    pad_repeat(hook_off, E + 1);
    n_e = static_cast<int64_t>(E);
  }

  // 2. Per event, in order; the ranges are re-read after every change.
  for (size_t e = 0; e < E; ++e) {
    const int64_t lo = hook_off[e];
    const int64_t hi = hook_off[e + 1];
    // Hooks past the slot column count as ordinary; the scan stops there so a
    // corrupt boundary cannot make it run for ages.
    const int64_t scan_end = std::min<int64_t>(hi, static_cast<int64_t>(slots.size()));
    int64_t have = 0;
    for (int64_t h = std::max<int64_t>(lo, 0); h < scan_end; ++h) {
      if (slots[static_cast<size_t>(h)] >= 0) ++have;
    }
    const int64_t want = static_cast<int64_t>(lists[e].size());
    if (have < want) {
      const int64_t add = want - have;
      // New hooks go in at the event's end; every hook-level column must reach
      // that position.
      if (hi < 0 || static_cast<uint64_t>(hi) > slots.size() ||
          static_cast<uint64_t>(hi) > sel_types.size() || static_cast<uint64_t>(hi) >= sel_off.size() ||
          static_cast<uint64_t>(hi) >= op_off.size()) {
        return splice_error("event " + format_uint(e) + " ends at hook " + format_int(hi) +
                            ", outside the hook columns");
      }
      const size_t pos = static_cast<size_t>(hi);
      const int64_t sel_at = sel_off[pos];
      const int64_t op_at = op_off[pos];
      for (int64_t k = 0; k < add; ++k) {
        const size_t at = pos + static_cast<size_t>(k);
        slots.insert(slots.begin() + static_cast<std::ptrdiff_t>(at), have + k);
        sel_types.insert(sel_types.begin() + static_cast<std::ptrdiff_t>(at), 0);
        sel_off.insert(sel_off.begin() + static_cast<std::ptrdiff_t>(at), sel_at);
        op_off.insert(op_off.begin() + static_cast<std::ptrdiff_t>(at), op_at);
      }
      for (size_t b = e + 1; b < hook_off.size(); ++b) {
        if (__builtin_add_overflow(hook_off[b], add, &hook_off[b])) {
          return splice_error("hook_offsets entry " + format_uint(b) + " overflows");
        }
      }
      n_h += add;
    } else if (have > want) {
      for (int64_t h = std::max<int64_t>(lo, 0); h < scan_end; ++h) {
        if (slots[static_cast<size_t>(h)] >= want) {
          slots[static_cast<size_t>(h)] = -1;
        }
      }
    }
  }

  hook_offsets = std::move(hook_off);
  op_offsets = std::move(op_off);
  deme_selector_types = std::move(sel_types);
  deme_selector_offsets = std::move(sel_off);
  python_callback_slots = std::move(slots);
  n_hooks = n_h;
  n_events = n_e;
  // 3. Store the lists.
  callback_lists = std::move(lists);
  has_callback_lists = true;
  return {};
}

void HookProgram::clear_callbacks() {
  if (n_hooks >= 1 && op_types_data.empty()) {
    // Only callback hooks: nothing of the program is left.
    HookProgram fresh;
    fresh.queues = queues;
    *this = std::move(fresh);
  } else {
    std::fill(python_callback_slots.begin(), python_callback_slots.end(), -1);
  }
  callback_lists.assign(4, CallbackList{});
  has_callback_lists = true;
}

}  // namespace qorin
