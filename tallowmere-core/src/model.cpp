#include "model.h"

#include "json/document.h"

namespace tallowmere_core {

std::string_view event_type_name(EventType type) {
  switch (type) {
    case EventType::SessionSave: return "SessionSave";
    case EventType::BounceExport: return "BounceExport";
    case EventType::ManualCheckpoint: return "ManualCheckpoint";
    case EventType::ConfigChange: return "ConfigChange";
    case EventType::KeyRotation: return "KeyRotation";
    case EventType::IdentityRecovery: return "IdentityRecovery";
  }
  return "";
}

}  // namespace tallowmere_core

namespace tallowmere_core::model {

std::expected<LedgerEntry, JsonError> read_entry_line(std::string_view line) {
  return json::read_document<LedgerEntry>(line);
}

std::optional<JsonError> read_entry_line_into(std::string_view line, LedgerEntry& entry) {
  return json::read_document_into(line, entry);
}

std::expected<std::string, JsonError> write_entry_line(const LedgerEntry& entry) {
  return json::to_compact(entry);
}

json::Value entry_value(const LedgerEntry& entry) { return json::to_value(entry); }

}  // namespace tallowmere_core::model
