#pragma once
// Record descriptions. A record lists its fields once (JSON key, member, presence) in a
// RecordTraits specialisation; that single list drives object-form and array-form reading, the
// duplicate and missing-field checks, and the value tree from which every written form comes.
//
//   template <> struct RecordTraits<ContentStorage> {
//     static constexpr std::string_view name = "ContentStorage";
//     static constexpr auto fields = std::tuple{field("location", &ContentStorage::location), ...};
//     // Only where a shorter array form is accepted; otherwise every field is required.
//     static constexpr std::size_t required_elements = 2;
//   };
//
// An enumeration without data lists its JSON strings in an EnumTraits specialisation.
#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "json/boxed_optional.h"
#include "json/reader.h"

namespace tallowmere_core::json {

using Value = nlohmann::ordered_json;

// Required: the key must be present. Optional: a std::optional member, absent or null gives none.
// Defaulted: an absent key keeps the member's default value; null is still a type error.
enum class Presence { Required, Optional, Defaulted };

template <class T> struct is_optional : std::false_type {};
template <class T> struct is_optional<std::optional<T>> : std::true_type {};
template <class T> struct is_optional<BoxedOptional<T>> : std::true_type {};

template <class Owner, class Member>
struct Field {
  std::string_view key;
  Member Owner::*member;
  Presence presence;
};

template <class Owner, class Member>
constexpr Field<Owner, Member> field(std::string_view key, Member Owner::*member) {
  return {key, member, is_optional<Member>::value ? Presence::Optional : Presence::Required};
}

template <class Owner, class Member>
constexpr Field<Owner, Member> defaulted(std::string_view key, Member Owner::*member) {
  return {key, member, Presence::Defaulted};
}

template <class T> struct RecordTraits;
template <class T> struct EnumTraits;  // static constexpr std::array<std::pair<std::string_view, T>, N> values;

template <class T>
concept Record = requires { RecordTraits<T>::fields; };
template <class T>
concept Enumeration = std::is_enum_v<T> && requires { EnumTraits<T>::values; };

template <class T> struct Codec;

// --- enumerations ------------------------------------------------------------------------------

// "`a`", "`a` or `b`", or "one of `a`, `b`, `c`": how an unknown variant's message lists the names.
template <std::size_t N>
std::string expected_one_of(const std::array<std::string_view, N>& names) {
  if constexpr (N == 1) return fmt::format("`{}`", names[0]);
  if constexpr (N == 2) return fmt::format("`{}` or `{}`", names[0], names[1]);
  std::string out = "one of ";
  for (std::size_t i = 0; i < N; ++i) out += fmt::format("{}`{}`", i ? ", " : "", names[i]);
  return out;
}

template <Enumeration E>
std::string_view enum_text(E value) {
  for (const auto& [text, candidate] : EnumTraits<E>::values)
    if (candidate == value) return text;
  return {};
}

template <Enumeration E>
std::optional<E> enum_from_text(std::string_view text) {
  for (const auto& [candidate, value] : EnumTraits<E>::values)
    if (candidate == text) return value;
  return std::nullopt;
}

template <Enumeration E>
bool fail_unknown_variant(Reader& r, std::string_view text) {
  constexpr auto& values = EnumTraits<E>::values;
  std::array<std::string_view, values.size()> names;
  for (std::size_t i = 0; i < values.size(); ++i) names[i] = values[i].first;
  return r.fail(fmt::format("unknown variant `{}`, expected {}", text, expected_one_of(names)));
}

// A variant name as a string, or an object whose single key is the name and whose value is null.
template <Enumeration E>
bool read_enum(Reader& r, E& out) {
  if (r.failed()) return false;
  std::string scratch;
  std::string_view text;
  const char c = r.peek();
  if (r.at_end()) return r.fail_here("EOF while parsing a value");
  if (c == '"') {
    if (!r.read_string_view(text, scratch)) return false;
    auto value = enum_from_text<E>(text);
    if (!value) return fail_unknown_variant<E>(r, text);
    out = *value;
    return true;
  }
  if (c == '{') {
    if (!r.enter()) return false;
    if (r.peek() != '"' || r.at_end()) return r.fail_invalid_type("variant identifier");
    if (!r.read_string_view(text, scratch)) return false;
    auto value = enum_from_text<E>(text);
    if (!value) return fail_unknown_variant<E>(r, text);
    if (!r.expect_colon()) return false;
    if (!r.take_null()) return r.failed() ? false : r.fail_invalid_type("unit");
    if (!r.end_enum_object()) return false;
    r.leave();
    out = *value;
    return true;
  }
  return r.fail_here("expected value");
}

// --- records -----------------------------------------------------------------------------------

template <Record T>
constexpr std::size_t field_count() {
  return std::tuple_size_v<std::remove_cvref_t<decltype(RecordTraits<T>::fields)>>;
}

template <Record T>
std::string record_expected() {
  return fmt::format("struct {}", RecordTraits<T>::name);
}

template <Record T, std::size_t I>
bool read_member(Reader& r, T& out) {
  auto& member = out.*(std::get<I>(RecordTraits<T>::fields).member);
  return Codec<std::remove_cvref_t<decltype(member)>>::read(r, member);
}

// How many leading elements the array form must hold: the description's `required_elements`,
// or all of its fields when it names none.
template <Record T>
consteval std::size_t required_elements_of() {
  if constexpr (requires { RecordTraits<T>::required_elements; }) {
    static_assert(RecordTraits<T>::required_elements <= field_count<T>(), "more elements required than fields");
    return RecordTraits<T>::required_elements;
  } else {
    return field_count<T>();
  }
}

// The record's keys, presences and member readers as arrays indexed by declaration order.
template <Record T>
struct FieldTable {
  static constexpr std::size_t size = field_count<T>();
  static constexpr auto keys = []<std::size_t... I>(std::index_sequence<I...>) {
    return std::array<std::string_view, size>{std::get<I>(RecordTraits<T>::fields).key...};
  }(std::make_index_sequence<size>{});
  static constexpr auto presences = []<std::size_t... I>(std::index_sequence<I...>) {
    return std::array<Presence, size>{std::get<I>(RecordTraits<T>::fields).presence...};
  }(std::make_index_sequence<size>{});
  static constexpr auto readers = []<std::size_t... I>(std::index_sequence<I...>) {
    return std::array<bool (*)(Reader&, T&), size>{&read_member<T, I>...};
  }(std::make_index_sequence<size>{});
};

template <Record T>
bool read_record(Reader& r, T& out) {
  using Table = FieldTable<T>;
  constexpr std::size_t N = Table::size;
  if (r.failed()) return false;
  const char c = r.peek();
  if (r.at_end()) return r.fail_here("EOF while parsing a value");
  if (c == '{') {
    if (!r.enter()) return false;
    std::array<bool, N> seen{};
    bool first = true;
    std::string_view key;
    std::string scratch;
    std::size_t expected_next = 0;
    // Lines written by this system hold the keys in declaration order, so the key after the
    // last one matched is tried first, by its bytes.
    while (r.next_key(first, key, scratch, expected_next < N ? Table::keys[expected_next] : std::string_view{})) {
      std::size_t index = expected_next;
      if (index >= N || (key.data() != Table::keys[index].data() && Table::keys[index] != key)) {
        index = 0;
        while (index < N && Table::keys[index] != key) ++index;
      }
      expected_next = index + 1;
      if (index < N && seen[index]) {
        // Placed where the end of the object would have been looked for: past the white space
        // after the key, and past a closing brace that stands there.
        if (r.peek() == '}' && !r.at_end()) r.advance();
        return r.fail(fmt::format("duplicate field `{}`", key));
      }
      if (!r.expect_colon()) return false;
      if (index == N) {
        if (!r.skip_value()) return false;
        continue;
      }
      seen[index] = true;
      if (!Table::readers[index](r, out)) return false;
    }
    if (r.failed()) return false;
    r.leave();
    for (std::size_t i = 0; i < N; ++i) {
      if (!seen[i] && Table::presences[i] == Presence::Required) {
        return r.fail(fmt::format("missing field `{}`", Table::keys[i]));
      }
    }
    return true;
  }
  if (c == '[') {
    if (!r.enter()) return false;
    bool first = true;
    for (std::size_t i = 0; i < N; ++i) {
      if (!r.next_element(first)) {
        if (r.failed()) return false;
        if (i < required_elements_of<T>()) {
          return r.fail(fmt::format("invalid length {}, expected struct {} with {} element{}", i,
                                    RecordTraits<T>::name, N, N == 1 ? "" : "s"));
        }
        r.leave();
        return true;  // the later fields keep their defaults
      }
      if (!Table::readers[i](r, out)) return false;
    }
    if (!r.end_array()) return false;
    r.leave();
    return true;
  }
  return r.fail_invalid_type(record_expected<T>());
}

template <Record T>
Value record_value(const T& record) {
  Value object = Value::object();
  std::apply(
      [&](const auto&... f) {
        ((object[std::string(f.key)] = Codec<std::remove_cvref_t<decltype(record.*(f.member))>>::to_value(record.*(f.member))), ...);
      },
      RecordTraits<T>::fields);
  return object;
}

// --- codecs ------------------------------------------------------------------------------------

template <>
struct Codec<std::string> {
  static bool read(Reader& r, std::string& out) {
    if (r.peek() == '"' && !r.at_end()) return r.read_string(out);
    return r.fail_invalid_type("a string");
  }
  static Value to_value(const std::string& value) { return value; }
};

template <>
struct Codec<bool> {
  static bool read(Reader& r, bool& out) { return r.read_bool(out); }
  static Value to_value(bool value) { return value; }
};

template <>
struct Codec<std::uint64_t> {
  static bool read(Reader& r, std::uint64_t& out) {
    return r.read_unsigned(out, std::numeric_limits<std::uint64_t>::max(), "u64");
  }
  static Value to_value(std::uint64_t value) { return value; }
};

template <>
struct Codec<std::uint32_t> {
  static bool read(Reader& r, std::uint32_t& out) {
    std::uint64_t wide = 0;
    if (!r.read_unsigned(wide, std::numeric_limits<std::uint32_t>::max(), "u32")) return false;
    out = static_cast<std::uint32_t>(wide);
    return true;
  }
  static Value to_value(std::uint32_t value) { return value; }
};

// std::optional and BoxedOptional alike. The value is read in place: a failed read abandons the
// whole document, so a half-read value left behind is never seen.
template <class Optional>
struct OptionalCodec {
  using T = typename Optional::value_type;
  static bool read(Reader& r, Optional& out) {
    if (r.take_null()) {
      out.reset();
      return true;
    }
    if (r.failed()) return false;
    return Codec<T>::read(r, out.emplace());
  }
  static Value to_value(const Optional& value) { return value ? Codec<T>::to_value(*value) : Value(nullptr); }
};

template <class T>
struct Codec<std::optional<T>> : OptionalCodec<std::optional<T>> {};
template <class T>
struct Codec<BoxedOptional<T>> : OptionalCodec<BoxedOptional<T>> {};

template <class T>
struct Codec<std::vector<T>> {
  static bool read(Reader& r, std::vector<T>& out) {
    if (r.peek() != '[' || r.at_end()) return r.fail_invalid_type("a sequence");
    if (!r.enter()) return false;
    out.clear();
    // Lists of records (an entry's content references) mostly hold one or two: room for two
    // from the start spares the second allocation and the move of the first element.
    if constexpr (Record<T>) {
      if (out.capacity() == 0 && r.peek() != ']') out.reserve(2);
    }
    bool first = true;
    while (r.next_element(first)) {
      if (!Codec<T>::read(r, out.emplace_back())) return false;
    }
    if (r.failed()) return false;
    r.leave();
    return true;
  }
  static Value to_value(const std::vector<T>& values) {
    Value array = Value::array();
    for (const auto& value : values) array.push_back(Codec<T>::to_value(value));
    return array;
  }
};

template <Enumeration E>
struct Codec<E> {
  static bool read(Reader& r, E& out) { return read_enum(r, out); }
  static Value to_value(E value) { return std::string(enum_text(value)); }
};

template <Record T>
struct Codec<T> {
  static bool read(Reader& r, T& out) { return read_record(r, out); }
  static Value to_value(const T& value) { return record_value(value); }
};

}  // namespace tallowmere_core::json
