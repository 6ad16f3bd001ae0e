#pragma once
// Small UTF-8 helpers shared by every reader and message of the system.
#include <filesystem>
#include <string>
#include <string_view>

namespace tallowmere_core::text {

// True when `bytes` is well-formed UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

// True when `bytes` is well-formed UTF-8 or becomes it once its last character is finished: what
// a write cut short inside a character leaves behind.
bool is_utf8_prefix(std::string_view bytes);

// `bytes` with every ill-formed sequence replaced by U+FFFD, the way Rust's from_utf8_lossy does
// (one replacement per maximal invalid subpart).
std::string lossy_utf8(std::string_view bytes);

// A path in its display form: its bytes, invalid UTF-8 shown as U+FFFD.
std::string display(const std::filesystem::path& path);

// Unicode White_Space trimmed from both ends (input assumed to be UTF-8).
std::string_view trim_whitespace(std::string_view text);

// True when the text holds nothing but Unicode White_Space.
bool is_blank(std::string_view text);

// Number of Unicode scalar values in well-formed UTF-8 text.
std::size_t scalar_count(std::string_view text);

// The first `count` scalar values of well-formed UTF-8 text.
std::string_view first_scalars(std::string_view text, std::size_t count);

}  // namespace tallowmere_core::text
