// Custom slots: user-declared named values carried per deme next to the
// ecology parameters. Each value keeps the kind it was given in Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qorin {

struct CustomSlot {
  enum class Kind : uint8_t { Bool, Int, Float, Array };

  Kind kind = Kind::Float;
  bool b = false;
  int64_t i = 0;
  double f = 0.0;
  // Array payload: values in row-major order and the shape (empty shape: 0-d).
  std::vector<double> values;
  std::vector<size_t> shape;

  static CustomSlot make_bool(bool v);
  static CustomSlot make_int(int64_t v);
  static CustomSlot make_float(double v);
  static CustomSlot make_array(std::vector<double> values, std::vector<size_t> shape);

  // Same kind and payload; floats compare bit for bit.
  bool same_as(const CustomSlot& other) const;
};

// Map from slot name to value. Entries keep their insertion order, so a dict
// converted in and out comes back in the order it was given.
class CustomSlotMap {
 public:
  using Entry = std::pair<std::string, CustomSlot>;

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }

  // A map of the given entries in order, built in linear time. A name given
  // twice keeps its first position and its last value, as the same entries
  // added one by one with insert_or_assign would.
  static CustomSlotMap from_entries(std::vector<Entry> entries);

  const CustomSlot* find(std::string_view name) const;
  CustomSlot* find(std::string_view name);
  // Replaces the value of an existing slot, or appends a new one.
  void insert_or_assign(std::string name, CustomSlot slot);
  bool erase(std::string_view name);
  void clear() { entries_.clear(); }

  // Same names (in any order) with the same values.
  bool same_as(const CustomSlotMap& other) const;

 private:
  std::vector<Entry> entries_;
};

}  // namespace qorin
