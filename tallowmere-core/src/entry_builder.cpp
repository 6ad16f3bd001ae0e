#include "entry_builder.h"

#include "base64.h"
#include "hash.h"
#include "json/canonical.h"

namespace tallowmere_core::entry_builder {

std::expected<std::string, CoreError> compute_entry_hash(const LedgerEntry& entry) {
  json::Value tree = model::entry_value(entry);
  tree.erase("entry_hash");
  tree.erase("signature");
  auto canonical = json::write_canonical(tree);
  if (!canonical) return std::unexpected(CoreError(core_error::Serialize{canonical.error()}));
  return hash::sha256_hex(*canonical);
}

std::expected<void, CoreError> sign_entry(LedgerEntry& entry, const SigningKey& key) {
  auto hash_text = compute_entry_hash(entry);
  if (!hash_text) return std::unexpected(hash_text.error());
  const auto signature = key.sign(*hash_text);
  entry.signature = base64::encode(signature);
  entry.entry_hash = std::move(*hash_text);
  return {};
}

}  // namespace tallowmere_core::entry_builder
