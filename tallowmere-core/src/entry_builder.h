#pragma once
// The entry hash (SHA-256 of the RFC 8785 form of the entry without entry_hash and signature)
// and the Ed25519 signature over that hash's 64-character text.
#include <expected>
#include <string>

#include "error.h"
#include "model.h"
#include "signing_key.h"

namespace tallowmere_core::entry_builder {

// The hash text of `entry`; its own entry_hash and signature do not affect it.
std::expected<std::string, CoreError> compute_entry_hash(const LedgerEntry& entry);

// Sets entry_hash and signature (standard Base64, 88 characters); on failure (Serialize) the
// entry is left unchanged.
std::expected<void, CoreError> sign_entry(LedgerEntry& entry, const SigningKey& key);

}  // namespace tallowmere_core::entry_builder
