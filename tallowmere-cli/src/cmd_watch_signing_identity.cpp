#include "cmd_watch_signing_identity.h"

#include <fmt/format.h>

#include "base64.h"
#include "error.h"
#include "platform/credential_store.h"

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
    return SigningIdentity{*contributor, std::move(*key)};
  }
  return std::unexpected(ErrorChain(fmt::format(
      "no signing key found in OS secure storage for any of this project's {} recorded contributor(s). This usually "
      "means this project was initialized on a different device or user account, or the key was deleted without "
      "running `tallowmere de-init`. If the key is unrecoverable, see `tallowmere recover-identity`.",
      contributors.size())));
}

}  // namespace tallowmere_cli::cmd_watch
