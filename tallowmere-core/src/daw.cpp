#include "daw.h"

#include <span>

#include "text.h"

namespace tallowmere_core::daw {

namespace fs = std::filesystem;

namespace {

// Only A-Z fold: non-ASCII bytes must stay as they are, whatever the C locale says.
constexpr char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equals_folded(std::string_view candidate, std::string_view lower_case) {
  if (candidate.size() != lower_case.size()) return false;
  for (std::size_t i = 0; i < candidate.size(); ++i)
    if (ascii_lower(candidate[i]) != lower_case[i]) return false;
  return true;
}

std::string lower_ascii(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered) c = ascii_lower(c);
  return lowered;
}

constexpr std::array<std::string_view, 7> audio_bounce_extensions{"wav", "aif", "aiff", "mp3", "m4a", "ogg", "flac"};
constexpr std::array<std::string_view, 2> midi_extensions{"mid", "midi"};

bool is_one_of(std::string_view extension, std::span<const std::string_view> extensions) {
  for (const std::string_view known : extensions)
    if (extension == known) return true;
  return false;
}

}  // namespace

std::optional<std::string_view> guess_daw_name(std::string_view extension) {
  if (extension.empty()) return std::nullopt;
  for (const DawExtension& row : extension_table)
    if (equals_folded(extension, row.extension)) return row.daw_name;
  return std::nullopt;
}

std::optional<std::string> file_extension(const fs::path& file) {
  const std::string name = file.filename().native();
  if (name.empty() || name == "." || name == "..") return std::nullopt;
  const auto dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return std::nullopt;
  std::string extension = name.substr(dot + 1);
  if (!text::is_valid_utf8(extension)) return std::nullopt;
  return extension;
}

ContentType classify(const fs::path& file) {
  const std::string extension = lower_ascii(file_extension(file).value_or(""));
  if (guess_daw_name(extension)) return ContentType::DawSession;
  if (is_one_of(extension, audio_bounce_extensions)) return ContentType::AudioBounce;
  if (is_one_of(extension, midi_extensions)) return ContentType::Midi;
  return ContentType::Other;
}

std::optional<std::string> choose_daw_name(const std::vector<ContentReference>& refs) {
  for (const ContentReference& ref : refs) {
    if (ref.content_type != ContentType::DawSession) continue;
    const auto extension = file_extension(fs::path(ref.storage.local_path));
    if (!extension) continue;
    if (const auto name = guess_daw_name(*extension)) return std::string(*name);
  }
  return std::nullopt;
}

bool is_session_file(const fs::path& file) {
  const auto extension = file_extension(file);
  return extension && guess_daw_name(*extension).has_value();
}

}  // namespace tallowmere_core::daw
