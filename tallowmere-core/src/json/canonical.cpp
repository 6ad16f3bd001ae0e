#include "json/canonical.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <vector>

#include <fmt/format.h>

#include "text.h"

namespace tallowmere_core::json {
namespace {

std::u16string to_utf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const unsigned char lead = static_cast<unsigned char>(utf8[i]);
    char32_t c;
    std::size_t length;
    if (lead < 0x80) c = lead, length = 1;
    else if (lead < 0xE0) c = lead & 0x1F, length = 2;
    else if (lead < 0xF0) c = lead & 0x0F, length = 3;
    else c = lead & 0x07, length = 4;
    for (std::size_t k = 1; k < length && i + k < utf8.size(); ++k) c = (c << 6) | (utf8[i + k] & 0x3F);
    i += length;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

bool append_string(std::string& out, const std::string& value) {
  if (!text::is_valid_utf8(value)) return false;
  out += '"';
  for (char ch : value) {
    const unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20) out += fmt::format("\\u{:04x}", c);
        else out += ch;
    }
  }
  out += '"';
  return true;
}

std::expected<void, JsonError> append(std::string& out, const Value& value) {
  switch (value.type()) {
    case Value::value_t::null: out += "null"; return {};
    case Value::value_t::boolean: out += value.get<bool>() ? "true" : "false"; return {};
    case Value::value_t::number_unsigned:
      out += ecmascript_number(static_cast<double>(value.get<std::uint64_t>()));
      return {};
    case Value::value_t::number_integer:
      out += ecmascript_number(static_cast<double>(value.get<std::int64_t>()));
      return {};
    case Value::value_t::number_float: {
      const double number = value.get<double>();
      if (!std::isfinite(number)) return std::unexpected(JsonError{"number is not finite", 0, 0});
      out += ecmascript_number(number);
      return {};
    }
    case Value::value_t::string:
      if (!append_string(out, value.get_ref<const std::string&>())) {
        return std::unexpected(JsonError{"string is not valid UTF-8", 0, 0});
      }
      return {};
    case Value::value_t::array: {
      out += '[';
      bool first = true;
      for (const auto& element : value) {
        if (!first) out += ',';
        first = false;
        if (auto ok = append(out, element); !ok) return ok;
      }
      out += ']';
      return {};
    }
    case Value::value_t::object: {
      std::vector<std::pair<std::u16string, Value::const_iterator>> members;
      members.reserve(value.size());
      for (auto it = value.begin(); it != value.end(); ++it) members.emplace_back(to_utf16(it.key()), it);
      std::sort(members.begin(), members.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
      out += '{';
      bool first = true;
      for (const auto& [sort_key, it] : members) {
        if (!first) out += ',';
        first = false;
        if (!append_string(out, it.key())) return std::unexpected(JsonError{"key is not valid UTF-8", 0, 0});
        out += ':';
        if (auto ok = append(out, it.value()); !ok) return ok;
      }
      out += '}';
      return {};
    }
    case Value::value_t::binary:
    case Value::value_t::discarded:
      break;
  }
  return std::unexpected(JsonError{"value has no JSON form", 0, 0});
}

}  // namespace

std::string ecmascript_number(double value) {
  if (value == 0) return "0";
  std::string out;
  if (value < 0) {
    out += '-';
    value = -value;
  }
  // The shortest round-tripping digits and the decimal exponent of the first one.
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  const std::string_view scientific(buffer, static_cast<std::size_t>(result.ptr - buffer));
  const std::size_t e_at = scientific.find('e');
  std::string digits;
  for (char c : scientific.substr(0, e_at))
    if (c != '.') digits += c;
  int exponent = 0;
  std::from_chars(scientific.data() + e_at + (scientific[e_at + 1] == '+' ? 2 : 1), scientific.data() + scientific.size(),
                  exponent);
  const int k = static_cast<int>(digits.size());
  const int n = exponent + 1;
  if (k <= n && n <= 21) {
    out += digits;
    out.append(static_cast<std::size_t>(n - k), '0');
  } else if (0 < n && n <= 21) {
    out += digits.substr(0, static_cast<std::size_t>(n));
    out += '.';
    out += digits.substr(static_cast<std::size_t>(n));
  } else if (-6 < n && n <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-n), '0');
    out += digits;
  } else {
    out += digits[0];
    if (k > 1) {
      out += '.';
      out += digits.substr(1);
    }
    out += fmt::format("e{}{}", n - 1 >= 0 ? "+" : "-", std::abs(n - 1));
  }
  return out;
}

std::expected<std::string, JsonError> write_canonical(const Value& value) {
  std::string out;
  out.reserve(128);
  if (auto ok = append(out, value); !ok) return std::unexpected(ok.error());
  return out;
}

}  // namespace tallowmere_core::json
