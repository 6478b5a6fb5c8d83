#include "core/output/history.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "core/output/observation.hpp"
#include "core/util/format.hpp"
#include "core/util/memory.hpp"

namespace qorin {

namespace {

// About 64 KiB of payload per block.
constexpr size_t kBlockDoubles = 8192;
// Trial projections of all-zero counts are run for layouts up to this many counts.
constexpr uint64_t kTrialCounts = uint64_t{1} << 20;

// A tick column value: finite, integral and inside the signed 64-bit range.
bool valid_tick(double x) {
  return std::isfinite(x) && std::trunc(x) == x && x >= -9223372036854775808.0 &&
         x < 9223372036854775808.0;
}

bool checked_mul(uint64_t a, uint64_t b, uint64_t* out) { return !__builtin_mul_overflow(a, b, out); }

// Product of the four dimensions, or nothing when it overflows.
std::optional<uint64_t> count_length(const std::array<uint64_t, 4>& d) {
  uint64_t n = 1;
  for (uint64_t x : d) {
    if (!checked_mul(n, x, &n)) return std::nullopt;
  }
  return n;
}

Error layout_error() {
  return Error::value("Observation dimensions or deme selection do not match the population layout");
}

// Length of the projection of a count vector of the given layout, or the
// projection's layout error; no counts are needed to decide it. No selection
// stands for every deme.
Result<uint64_t> projection_length(const std::array<uint64_t, 4>& d, size_t mask_len,
                                   std::optional<std::span<const uint64_t>> selected,
                                   bool collapse_age, bool aggregate) {
  uint64_t sa = 0, S = 0, counts = 0;
  if (!checked_mul(d[1], d[2], &sa) || !checked_mul(sa, d[3], &S) || S == 0) return layout_error();
  if (!checked_mul(S, d[0], &counts)) return layout_error();
  const uint64_t n_selected = selected ? selected->size() : d[0];
  if (n_selected == 0 || mask_len % S != 0) return layout_error();
  if (selected) {
    for (uint64_t k : *selected) {
      if (k >= d[0]) return layout_error();
    }
  }
  uint64_t out = mask_len / S;
  if (!checked_mul(out, aggregate ? 1 : n_selected, &out) || !checked_mul(out, d[1], &out) ||
      !checked_mul(out, collapse_age ? 1 : d[2], &out))
    return layout_error();
  return out;
}

}  // namespace

// ------------------------------------------------------------------ RowBuffer

RowBuffer::RowBuffer(size_t width) : width_(width), rows_per_block_(std::max<size_t>(1, kBlockDoubles / std::max<size_t>(1, width))) {}

const double* RowBuffer::row(size_t i) const {
  const size_t g = head_ + i;
  return blocks_[g / rows_per_block_].get() + (g % rows_per_block_) * width_;
}

void RowBuffer::push_back(const double* src) {
  const size_t g = head_ + count_;
  const size_t b = g / rows_per_block_;
  if (b >= blocks_.size()) {
    blocks_.push_back(std::unique_ptr<double[]>(new double[rows_per_block_ * width_]));
  }
  if (width_ > 0) std::memcpy(blocks_[b].get() + (g % rows_per_block_) * width_, src, width_ * sizeof(double));
  ++count_;
}

void RowBuffer::pop_front() {
  if (count_ == 0) return;
  --count_;
  if (count_ == 0) {
    clear();
    return;
  }
  if (++head_ == rows_per_block_) {
    blocks_.pop_front();
    head_ = 0;
  }
}

void RowBuffer::truncate(size_t n) {
  if (n >= count_) return;
  if (n == 0) {
    clear();
    return;
  }
  count_ = n;
  const size_t needed = (head_ + n - 1) / rows_per_block_ + 1;
  while (blocks_.size() > needed) blocks_.pop_back();
}

void RowBuffer::clear() {
  blocks_.clear();
  head_ = 0;
  count_ = 0;
}

void RowBuffer::reset_width(size_t width) {
  clear();
  width_ = width;
  rows_per_block_ = std::max<size_t>(1, kBlockDoubles / std::max<size_t>(1, width));
}

size_t RowBuffer::allocated_bytes() const { return blocks_.size() * rows_per_block_ * width_ * sizeof(double); }

// --------------------------------------------------------------- HistoryState

HistoryState::HistoryState(uint64_t width, const std::array<uint64_t, 4>& dimensions, bool raw,
                           std::optional<uint64_t> max_rows)
    : max_rows_(max_rows),
      dimensions_(dimensions),
      raw_(raw),
      rows_(static_cast<size_t>(width)),
      primary_log_(std::make_shared<ParameterLogData>()) {}

std::span<const uint64_t> HistoryState::selection(std::vector<uint64_t>* scratch, size_t limit) const {
  if (!all_demes_) return selected_;
  // Every deme, built on demand: a layout with more demes than `limit` cannot
  // match any count vector at hand, so an empty selection (refused by the
  // projection) stands for it.
  scratch->clear();
  if (dimensions_[0] > limit) return *scratch;
  for (uint64_t d = 0; d < dimensions_[0]; ++d) scratch->push_back(d);
  return *scratch;
}

Status HistoryState::set_max_rows(std::optional<uint64_t> m) {
  if (m && *m == 0) return Error::value("max_rows must be >= 1 or None");
  max_rows_ = m;
  evict();
  return Status::ok();
}

int64_t HistoryState::tick_at(size_t i) const { return static_cast<int64_t>(rows_.row(i)[0]); }

std::optional<int64_t> HistoryState::oldest_tick() const {
  if (rows_.empty()) return std::nullopt;
  return tick_at(0);
}

std::optional<int64_t> HistoryState::newest_tick() const {
  if (rows_.empty()) return std::nullopt;
  return tick_at(rows_.size() - 1);
}

void HistoryState::capture_lengths() {
  scratch_lengths_.clear();
  scratch_lengths_.push_back(primary_log_->size());
  for (const SharedParameterLog& log : deme_logs_) scratch_lengths_.push_back(log->size());
}

void HistoryState::push_row(const double* row) {
  capture_lengths();
  const std::vector<uint64_t>& lengths = scratch_lengths_;
  bool same = false;
  if (!runs_.empty()) {
    const CursorRun& last = runs_.back();
    if (last.count == lengths.size()) {
      same = true;
      const size_t off = static_cast<size_t>(last.first_length - lengths_base_);
      for (size_t k = 0; k < lengths.size() && same; ++k) same = lengths_[off + k] == lengths[k];
    }
  }
  // Each step below either completes or throws with nothing changed; an
  // allocation failure undoes the steps before it, so the rows, cursors and
  // runs stay in step.
  if (!same) {
    runs_.push_back({lengths_base_ + lengths_.size(), static_cast<uint32_t>(lengths.size())});
    try {
      lengths_.insert(lengths_.end(), lengths.begin(), lengths.end());
    } catch (...) {
      runs_.pop_back();
      throw;
    }
  }
  auto undo_run = [&] {
    if (same) return;
    lengths_.resize(lengths_.size() - runs_.back().count);
    runs_.pop_back();
  };
  try {
    rows_.push_back(row);
  } catch (...) {
    undo_run();
    throw;
  }
  try {
    row_cursor_.push_back(runs_base_ + runs_.size() - 1);
  } catch (...) {
    rows_.truncate(rows_.size() - 1);
    undo_run();
    throw;
  }
}

void HistoryState::pop_front_row() {
  if (rows_.empty()) return;
  rows_.pop_front();
  const uint64_t run = row_cursor_.front();
  row_cursor_.pop_front();
  ++first_seq_;
  while (!stamps_.empty() && stamps_.front().seq < first_seq_) stamps_.pop_front();
  if (row_cursor_.empty() || row_cursor_.front() != run) {
    const uint32_t n = runs_.front().count;
    lengths_.erase(lengths_.begin(), lengths_.begin() + n);
    lengths_base_ += n;
    runs_.pop_front();
    ++runs_base_;
  }
}

void HistoryState::keep_first(size_t n) {
  if (n >= rows_.size()) return;
  rows_.truncate(n);
  row_cursor_.resize(n);
  while (!runs_.empty() && (row_cursor_.empty() || runs_base_ + runs_.size() - 1 > row_cursor_.back())) {
    lengths_.resize(lengths_.size() - runs_.back().count);
    runs_.pop_back();
  }
  const uint64_t end_seq = first_seq_ + n;
  while (!stamps_.empty() && stamps_.back().seq >= end_seq) stamps_.pop_back();
}

void HistoryState::evict() {
  if (!max_rows_) return;
  while (rows_.size() > *max_rows_) pop_front_row();
}

Result<bool> HistoryState::append_row(std::span<const double> row, bool continuation) {
  if (row.size() != rows_.width() || !valid_tick(row[0])) {
    return Error::value("History row has an invalid width or tick");
  }
  const int64_t tick = static_cast<int64_t>(row[0]);
  if (!rows_.empty()) {
    const int64_t last = tick_at(rows_.size() - 1);
    if (tick < last) return Error::value("Kernel History starts before the latest recorded tick");
    if (tick == last) {
      if (!continuation) return Error::value("History already contains tick " + format_int(tick) + ".");
      const double* newest = rows_.back();
      for (size_t k = 0; k < row.size(); ++k) {
        if (!(row[k] == newest[k])) {
          return Error::value("Kernel History boundary payload does not match the latest recorded state");
        }
      }
      return false;
    }
  }
  push_row(row.data());
  evict();
  return true;
}

Result<bool> HistoryState::record(int64_t tick, std::span<const double> ind, std::span<const double> sperm,
                                  bool continuation) {
  // The tick column is a double: a tick it cannot hold exactly would be
  // recorded as a different tick.
  const double tick_value = static_cast<double>(tick);
  if (!valid_tick(tick_value) || static_cast<int64_t>(tick_value) != tick) {
    return Error::value("History row has an invalid width or tick");
  }
  std::vector<double>& row = scratch_row_;
  row.clear();
  if (raw_) {
    row.push_back(tick_value);
    row.insert(row.end(), ind.begin(), ind.end());
    row.insert(row.end(), sperm.begin(), sperm.end());
  } else {
    std::vector<uint64_t> scratch;
    Result<std::vector<double>> obs =
        project(ind, mask_, dimensions_, selection(&scratch, ind.size()), collapse_age_, aggregate_);
    if (!obs) return std::move(obs).error();
    row.push_back(tick_value);
    row.insert(row.end(), obs->begin(), obs->end());
  }
  return append_row(row, continuation);
}

Status HistoryState::append(std::span<const double> values, size_t n_rows, size_t n_cols, bool continuation) {
  if (n_cols != rows_.width()) return Error::value("History row width does not match schema");
  if (n_rows == 0) return Status::ok();
  if (values.size() / n_cols < n_rows) return Error::runtime("history batch is shorter than its shape");
  const Error order = Error::value(
      "History ticks must be strictly increasing and unique; batch starts before the latest tick");
  for (size_t r = 0; r < n_rows; ++r) {
    if (!valid_tick(values[r * n_cols])) return Error::value("History tick must be a finite integer");
  }
  for (size_t r = 1; r < n_rows; ++r) {
    if (!(values[r * n_cols] > values[(r - 1) * n_cols])) return order;
  }
  size_t first = 0;
  if (!rows_.empty()) {
    const int64_t last = tick_at(rows_.size() - 1);
    const int64_t t0 = static_cast<int64_t>(values[0]);
    if (t0 == last && continuation) {
      const double* newest = rows_.back();
      for (size_t k = 0; k < n_cols; ++k) {
        if (!(values[k] == newest[k])) {
          return Error::value("Kernel History boundary payload does not match the latest recorded state");
        }
      }
      first = 1;
    } else if (t0 <= last) {
      return order;
    }
  }
  // Every row was checked above: push them, then evict once; the same rows
  // remain as when evicting after each. With a row limit m, only the newest m
  // rows of the batch can remain, so the ones before them are not stored at
  // all (the logs do not change during the call, so every row would carry the
  // same cursor). Should memory run out part way, the rows pushed so far are
  // taken back, so the batch is all or nothing.
  size_t from = first;
  if (max_rows_ && n_rows - first > *max_rows_) from = n_rows - static_cast<size_t>(*max_rows_);
  const size_t before = rows_.size();
  try {
    for (size_t r = from; r < n_rows; ++r) push_row(values.data() + r * n_cols);
  } catch (...) {
    keep_first(before);
    throw;
  }
  evict();
  return Status::ok();
}

size_t HistoryState::rows_with_tick_at_most(int64_t tick) const {
  size_t lo = 0, hi = rows_.size();
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (tick_at(mid) <= tick) lo = mid + 1;
    else hi = mid;
  }
  return lo;
}

Result<std::vector<double>> HistoryState::row(int64_t tick) const {
  const size_t k = rows_with_tick_at_most(tick);
  if (k == 0 || tick_at(k - 1) != tick) {
    return Error::value("Tick " + format_int(tick) + " not found in history.");
  }
  const double* r = rows_.row(k - 1);
  return std::vector<double>(r, r + rows_.width());
}

Result<uint64_t> HistoryState::query_end(uint64_t start, std::optional<uint64_t> end) const {
  const uint64_t w = rows_.width();
  const uint64_t e = end.value_or(w);
  if (start > e || e > w) return Error::value("History column slice is out of bounds");
  return e;
}

Status HistoryState::copy_columns(uint64_t start, uint64_t end, double* out, InterruptPoll* poll) const {
  const size_t cols = static_cast<size_t>(end - start);
  for (size_t i = 0; i < rows_.size(); ++i) {
    if (poll && poll->requested(cols + 1)) return Error::interrupted();
    const double* r = rows_.row(i) + start;
    if (cols > 0) std::memcpy(out + i * cols, r, cols * sizeof(double));
  }
  return Status::ok();
}

Result<std::vector<double>> HistoryState::query(uint64_t start, std::optional<uint64_t> end) const {
  Result<uint64_t> e = query_end(start, end);
  if (!e) return std::move(e).error();
  const uint64_t cols = *e - start;
  std::vector<double> out;
  QORIN_TRY(allocate(&out, cols * rows_.size(), 0.0, "the history rows"));
  QORIN_TRY(copy_columns(start, *e, out.data(), nullptr));
  return out;
}

std::vector<int64_t> HistoryState::ticks() const {
  std::vector<int64_t> out;
  out.reserve(rows_.size());
  for (size_t i = 0; i < rows_.size(); ++i) out.push_back(tick_at(i));
  return out;
}

Boundary HistoryState::boundary_at(size_t i) const {
  Boundary b{tick_at(i), 0, "Ready"};
  const uint64_t seq = first_seq_ + i;
  auto it = std::lower_bound(stamps_.begin(), stamps_.end(), seq,
                             [](const Stamp& s, uint64_t v) { return s.seq < v; });
  if (it != stamps_.end() && it->seq == seq) {
    b.partial = it->partial;
    b.status = it->status;
  }
  return b;
}

std::vector<Boundary> HistoryState::boundaries() const {
  std::vector<Boundary> out;
  out.reserve(rows_.size());
  for (size_t i = 0; i < rows_.size(); ++i) out.push_back(boundary_at(i));
  return out;
}

std::vector<uint64_t> HistoryState::cursor_at(size_t i) const {
  const CursorRun& run = runs_[static_cast<size_t>(row_cursor_[i] - runs_base_)];
  const size_t off = static_cast<size_t>(run.first_length - lengths_base_);
  return std::vector<uint64_t>(lengths_.begin() + off, lengths_.begin() + off + run.count);
}

std::pair<std::vector<double>, size_t> HistoryState::flat_rows() const {
  // Every column of every row: the slice is valid, so only the allocation can
  // fail, and that failure travels as the allocation's own exception.
  std::vector<double> all(static_cast<size_t>(rows_.width()) * rows_.size());
  (void)copy_columns(0, rows_.width(), all.data(), nullptr);
  return {std::move(all), rows_.size()};
}

Status HistoryState::set_newest_boundary(uint64_t partial, std::string status) {
  if (rows_.empty()) return Error::runtime("history holds no row to stamp");
  const uint64_t seq = first_seq_ + rows_.size() - 1;
  if (!stamps_.empty() && stamps_.back().seq == seq) {
    stamps_.back().partial = partial;
    stamps_.back().status = std::move(status);
  } else {
    stamps_.push_back({seq, partial, std::move(status)});
  }
  return Status::ok();
}

Status HistoryState::truncate(int64_t tick) {
  const size_t k = rows_with_tick_at_most(tick);
  if (k == 0) return Error::value("No records with tick <= " + format_int(tick) + " exist.");
  keep_first(k);
  return Status::ok();
}

Status HistoryState::restore_timeline(int64_t tick) {
  const size_t k = rows_with_tick_at_most(tick);
  if (k == 0 || tick_at(k - 1) != tick) {
    return Error::value("Tick " + format_int(tick) + " not found in history.");
  }
  const std::vector<uint64_t> cursor = cursor_at(k - 1);
  keep_first(k);
  primary_log_->truncate(static_cast<size_t>(cursor[0]));
  for (size_t d = 0; d < deme_logs_.size() && d + 1 < cursor.size(); ++d) {
    deme_logs_[d]->truncate(static_cast<size_t>(cursor[d + 1]));
  }
  return Status::ok();
}

void HistoryState::clear() {
  keep_first(0);
  stamps_.clear();
}

Status HistoryState::configure_observation(std::vector<double> mask, std::vector<uint64_t> selected,
                                           bool collapse_age, bool aggregate) {
  QORIN_TRY(projection_length(dimensions_, mask.size(), std::span<const uint64_t>(selected),
                              collapse_age, aggregate));
  // The layout check above is what a trial projection of all-zero counts
  // decides; run the projection itself wherever the counts fit comfortably.
  const std::optional<uint64_t> n = count_length(dimensions_);
  if (!n) return layout_error();
  if (*n <= kTrialCounts) {
    const std::vector<double> zeros(static_cast<size_t>(*n), 0.0);
    QORIN_TRY(project(zeros, mask, dimensions_, selected, collapse_age, aggregate));
  }
  mask_ = std::move(mask);
  selected_ = std::move(selected);
  all_demes_ = false;
  collapse_age_ = collapse_age;
  aggregate_ = aggregate;
  return Status::ok();
}

Status HistoryState::configure_observation_slice(std::vector<double> mask) {
  if (!rows_.empty()) return Error::runtime("the observation layout of a history holding rows is fixed");
  Result<uint64_t> len = projection_length(dimensions_, mask.size(), std::nullopt, false, false);
  if (!len) return std::move(len).error();
  if (*len > (uint64_t{1} << 40)) return layout_error();
  mask_ = std::move(mask);
  selected_.clear();
  all_demes_ = true;
  collapse_age_ = false;
  aggregate_ = false;
  rows_.reset_width(static_cast<size_t>(*len + 1));
  return Status::ok();
}

void HistoryState::bind_log(SharedParameterLog log) { primary_log_ = std::move(log); }

void HistoryState::bind_logs(std::vector<SharedParameterLog> logs) { deme_logs_ = std::move(logs); }

size_t HistoryState::allocated_bytes() const {
  return rows_.allocated_bytes() + row_cursor_.size() * sizeof(uint64_t) +
         runs_.size() * sizeof(CursorRun) + lengths_.size() * sizeof(uint64_t) +
         stamps_.size() * sizeof(Stamp);
}

// ---------------------------------------------------------------- HistoryData

Result<std::shared_ptr<HistoryData>> HistoryData::create(uint64_t width,
                                                         const std::array<uint64_t, 4>& dimensions,
                                                         bool raw, std::optional<uint64_t> max_rows) {
  if (width == 0 || (max_rows && *max_rows == 0)) {
    return Error::value("row_size and max_rows must be positive");
  }
  return std::make_shared<HistoryData>(HistoryState(width, dimensions, raw, max_rows));
}

Status HistoryData::observe_into(HistoryData& target, InterruptPoll* poll, size_t* next_row) {
  if (&target == this) return Error::value("Observation destination must be independent");
  Locked src = lock();
  if (!src->raw()) return Error::value("observe() is only valid on raw-mode History");
  const std::optional<uint64_t> h = count_length(src->dimensions());
  if (!h || *h >= src->width()) {
    return Error::value("Raw history row width does not match population dimensions");
  }
  Locked dst = target.lock();
  const size_t H = static_cast<size_t>(*h);
  // Work per row: the projection's products, about the target's mask times
  // the selected demes' share of the counts.
  const size_t work = H + dst->observation_mask().size();
  for (size_t i = next_row ? *next_row : 0; i < src->size(); ++i) {
    if (poll && poll->requested(work)) return Error::interrupted();
    std::span<const double> r = src->row_at(i);
    Result<bool> added = dst->record(src->tick_at(i), r.subspan(1, H), {}, false);
    if (!added) return std::move(added).error();
    if (next_row) *next_row = i + 1;
  }
  return Status::ok();
}

}  // namespace qorin
