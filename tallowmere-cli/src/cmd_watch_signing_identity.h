#pragma once
// Finding the key that signs a project's entries: the first of its contributors, from the last to
// the first, whose private key is in the credential store.
#include <optional>
#include <string>

#include "error_chain.h"
#include "model.h"
#include "project.h"
#include "signing_key.h"

namespace tallowmere_cli::cmd_watch {

// The credential store's service under which every contributor's private key is kept.
inline constexpr std::string_view key_service = "tallowmere-core";

struct SigningIdentity {
  tallowmere_core::Contributor contributor;
  tallowmere_core::SigningKey key;  // wipes its private key when dropped
  std::string key_location;         // where the key was found, as messages name it
};

// Looks up each contributor's key item, last contributor first; a failed lookup moves on to the
// next. The first item found decides: its text must be standard Base64 of exactly 32 bytes
// (CoreError InvalidBase64 / InvalidKeyMaterial, "private key"), and no other contributor is tried
// after that. No item at all: the "no signing key found ..." error with the contributor count.
// The key text and the decoded bytes are wiped before this returns.
Result<SigningIdentity> find_signing_key(const tallowmere_core::WorkManifest& manifest);

// Nothing signs with a key other than the one the manifest records, and nothing here verifies an
// entry, so a key replaced by hand would make every entry it signs unverifiable without a word.
// None when the key's public key is the signing contributor's `public_key` (standard Base64 of 32
// bytes); otherwise the one "WARNING: " line that says so, naming the project, the contributor
// and where the key came from. The watch goes on either way: its entries are still the history.
std::optional<std::string> mismatched_key_warning(const SigningIdentity& identity, const ProjectPaths& paths);

}  // namespace tallowmere_cli::cmd_watch
