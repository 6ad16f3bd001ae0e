#pragma once
// Checks a ledger entry's signature as an outside reader would, with OpenSSL directly.
#include <array>

#include <openssl/evp.h>

#include "base64.h"
#include "model.h"

namespace tallowmere_test {

// The signature of `entry` over its entry hash text verifies with `public_key`.
inline bool signature_verifies(const tallowmere_core::LedgerEntry& entry,
                               const std::array<unsigned char, 32>& public_key) {
  const auto signature = tallowmere_core::base64::decode(entry.signature);
  if (!signature) return false;
  EVP_PKEY* key = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, public_key.data(), public_key.size());
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  const bool ok = key && context && EVP_DigestVerifyInit(context, nullptr, nullptr, nullptr, key) == 1 &&
                  EVP_DigestVerify(context, signature->data(), signature->size(),
                                   reinterpret_cast<const unsigned char*>(entry.entry_hash.data()),
                                   entry.entry_hash.size()) == 1;
  EVP_MD_CTX_free(context);
  EVP_PKEY_free(key);
  return ok;
}

}  // namespace tallowmere_test
