#include "core/util/format.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace qorin {

std::string format_number(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";

  // Shortest digits in scientific form, then place the decimal point by hand.
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string sci(buf, res.ptr);

  std::string out;
  size_t pos = 0;
  if (sci[pos] == '-') {
    out.push_back('-');
    ++pos;
  }
  size_t epos = sci.find('e');
  std::string digits;
  for (size_t i = pos; i < epos; ++i) {
    if (sci[i] != '.') digits.push_back(sci[i]);
  }
  int exponent = std::atoi(sci.c_str() + epos + 1);
  // value = 0.d1d2d3... * 10^(exponent + 1)
  long point = static_cast<long>(exponent) + 1;  // digits before the decimal point
  long nd = static_cast<long>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<size_t>(-point), '0');
    out += digits;
  } else if (point >= nd) {
    out += digits;
    out.append(static_cast<size_t>(point - nd), '0');
  } else {
    out += digits.substr(0, static_cast<size_t>(point));
    out.push_back('.');
    out += digits.substr(static_cast<size_t>(point));
  }
  return out;
}

std::string format_int(int64_t value) { return std::to_string(value); }
std::string format_uint(uint64_t value) { return std::to_string(value); }

std::string format_shape(const std::vector<int64_t>& dims) {
  std::string out = "[";
  for (size_t i = 0; i < dims.size(); ++i) {
    if (i) out += ", ";
    out += std::to_string(dims[i]);
  }
  out += "]";
  return out;
}

std::string quote_name(const std::string& name) {
  std::string out = "\"";
  for (unsigned char c : name) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\u{%x}", c);
          out += hex;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  out += "\"";
  return out;
}

}  // namespace qorin
