#pragma once
// RFC 8785 (JSON Canonicalization Scheme) output of a value tree: no white space, object keys
// sorted by their UTF-16 code units, minimal string escapes, numbers as ECMAScript writes the
// nearest double.
#include <expected>
#include <string>

#include "error.h"
#include "json/record.h"

namespace tallowmere_core::json {

std::expected<std::string, JsonError> write_canonical(const Value& value);

// ECMAScript's Number.prototype.toString for a finite double ("9007199254740992", "1e+21").
std::string ecmascript_number(double value);

}  // namespace tallowmere_core::json
