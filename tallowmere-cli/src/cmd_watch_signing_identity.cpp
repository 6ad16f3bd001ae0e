#include "cmd_watch_signing_identity.h"

#include <algorithm>

#include <fmt/format.h>

#include "base64.h"
#include "error.h"
#include "platform/credential_store.h"
#include "text.h"

namespace tallowmere_cli::cmd_watch {

namespace core_error = tallowmere_core::core_error;
using tallowmere_core::CoreError;

namespace {

constexpr std::size_t private_key_size = 32;

}  // namespace

Result<SigningIdentity> find_signing_key(const tallowmere_core::WorkManifest& manifest) {
  const auto& contributors = manifest.contributors;
  for (auto contributor = contributors.rbegin(); contributor != contributors.rend(); ++contributor) {
    auto key_text = platform::find_generic_password(key_service, contributor->contributor_id);
    if (!key_text) continue;  // missing, unsafe or unreadable: another contributor's may be here

    auto key_bytes = tallowmere_core::base64::decode(key_text->view());
    key_text->wipe();
    if (!key_bytes) {
      return std::unexpected(ErrorChain(CoreError(core_error::InvalidBase64{"private key", std::move(key_bytes.error())})));
    }
    if (key_bytes->size() != private_key_size) {
      return std::unexpected(ErrorChain(CoreError(core_error::InvalidKeyMaterial{
          "private key", fmt::format("expected 32 bytes, got {}", key_bytes->size())})));
    }
    auto key = tallowmere_core::SigningKey::from_private_bytes(key_bytes->bytes());
    key_bytes->wipe();
    if (!key) {
      return std::unexpected(ErrorChain(CoreError(core_error::InvalidKeyMaterial{"private key", std::move(key.error())})));
    }
    return SigningIdentity{*contributor, std::move(*key),
                           platform::generic_password_location(key_service, contributor->contributor_id)};
  }
  return std::unexpected(ErrorChain(fmt::format(
      "no signing key found in OS secure storage for any of this project's {} recorded contributor(s). This usually "
      "means this project was initialized on a different device or user account, or the key was deleted without "
      "running `tallowmere de-init`. If the key is unrecoverable, see `tallowmere recover-identity`.",
      contributors.size())));
}

std::optional<std::string> mismatched_key_warning(const SigningIdentity& identity, const ProjectPaths& paths) {
  using tallowmere_core::text::display;
  using tallowmere_core::text::escape_control;
  const std::string& recorded_text = identity.contributor.public_key;
  const auto recorded = tallowmere_core::base64::decode(recorded_text);
  const auto derived = identity.key.public_key();
  const char* problem = nullptr;
  if (!recorded || recorded->size() != derived.size()) {
    problem = "cannot be checked, since the manifest's public key for this contributor is not standard Base64 of 32 "
              "bytes";
  } else if (!std::equal(derived.begin(), derived.end(), recorded->data())) {
    problem = "does not match the public key that the manifest records for this contributor";
  } else {
    return std::nullopt;
  }
  return fmt::format(
      "WARNING: {} ({}): the signing key of contributor {}, from {}, {}; entries signed with it will not verify with "
      "the manifest's key",
      display(paths.root), escape_control(paths.central_dir.filename().string()),
      escape_control(identity.contributor.contributor_id), identity.key_location, problem);
}

}  // namespace tallowmere_cli::cmd_watch
