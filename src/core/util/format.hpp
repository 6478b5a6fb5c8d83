// Number formatting for messages: shortest round-trip decimal, never an exponent,
// no trailing ".0" on integral values.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qorin {

// 1e12 -> "1000000000000", 1.0 -> "1", 0.5 -> "0.5", NaN -> "NaN", inf -> "inf".
std::string format_number(double value);
std::string format_int(int64_t value);
std::string format_uint(uint64_t value);
// "[2, 3, 4]"
std::string format_shape(const std::vector<int64_t>& dims);
// A name between double quotes, with backslash escapes.
std::string quote_name(const std::string& name);

}  // namespace qorin
