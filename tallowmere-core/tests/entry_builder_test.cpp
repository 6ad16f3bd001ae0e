#include "entry_builder.h"

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "base64.h"
#include "hash.h"
#include "json/canonical.h"
#include "json/document.h"

// The known answers here come from RFC 8032 and FIPS 180-2, and the entry hash and signature of
// the small entry were checked with Node.js (its own key sort, SHA-256 and Ed25519).
namespace tallowmere_core::entry_builder {
namespace {

std::vector<unsigned char> from_hex(std::string_view hex) {
  std::vector<unsigned char> bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<unsigned char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return bytes;
}

// RFC 8032 section 7.1, TEST 1.
constexpr std::string_view kSecret = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60";
constexpr std::string_view kPublic = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";
constexpr std::string_view kEmptyMessageSignature =
    "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b";

SigningKey test_key() {
  auto key = SigningKey::from_private_bytes(from_hex(kSecret));
  EXPECT_TRUE(key) << (key ? "" : key.error());
  return std::move(*key);
}

// Verification with OpenSSL's own Ed25519 from the raw public key, apart from SigningKey.
bool verifies(std::string_view message, std::string_view signature_base64) {
  const auto public_key = from_hex(kPublic);
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, public_key.data(), public_key.size()), &EVP_PKEY_free);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  const auto signature = base64::decode(signature_base64);
  if (!key || !context || !signature) return false;
  if (EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1) return false;
  return EVP_DigestVerify(context.get(), signature->data(), signature->size(),
                          reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
}

TEST(Primitives, KnownAnswers) {
  EXPECT_EQ(hash::sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  const SigningKey key = test_key();
  const auto public_key = key.public_key();
  EXPECT_EQ(hash::to_hex(public_key), kPublic);
  const auto signature = key.sign("");
  EXPECT_EQ(hash::to_hex(signature), kEmptyMessageSignature);
}

// A small entry whose optional values are all absent and whose numbers exceed 2^53.
LedgerEntry small_entry() {
  LedgerEntry entry;
  entry.entry_id = "e";
  entry.contributor_id = "c";
  entry.causal_position = 9007199254740993u;
  entry.parent_entry_hashes = {"p"};
  entry.timestamp_local = "t";
  entry.daw_context = DawContext{std::nullopt, "macos"};
  entry.content_refs.push_back(
      {"r", ContentType::DawSession, "x", std::nullopt, 18446744073709551615u, {"local_only", "\xC3\xA9\x1f.rpp", false}});
  entry.entry_hash = "ignored";
  entry.signature = "ignored";
  return entry;
}

// Written out by hand from the hashing rules: keys sorted, every null kept, numbers as doubles.
constexpr std::string_view kSmallEntryCanonical =
    R"({"causal_position":9007199254740992,"content_refs":[{"byte_size":18446744073709552000,)"
    R"("content_type":"daw_session","perceptual_fingerprint":null,"ref_id":"r","sha256_hash":"x",)"
    R"("storage":{"encrypted":false,"local_path":")" "\xC3\xA9" R"(\u001f.rpp","location":"local_only"}}],)"
    R"("contributor_id":"c","daw_context":{"daw_name":null,"os":"macos"},"entry_id":"e","event_type":"session_save",)"
    R"("identity_recovery":null,"key_rotation":null,"notes":null,"parent_entry_hashes":["p"],"timestamp_local":"t",)"
    R"("timestamp_trusted":null})";
// The same with every null member left out, as a careless implementation would hash it.
constexpr std::string_view kSmallEntryWithoutNulls =
    R"({"causal_position":9007199254740992,"content_refs":[{"byte_size":18446744073709552000,)"
    R"("content_type":"daw_session","ref_id":"r","sha256_hash":"x",)"
    R"("storage":{"encrypted":false,"local_path":")" "\xC3\xA9" R"(\u001f.rpp","location":"local_only"}}],)"
    R"("contributor_id":"c","daw_context":{"os":"macos"},"entry_id":"e","event_type":"session_save",)"
    R"("parent_entry_hashes":["p"],"timestamp_local":"t"})";
constexpr std::string_view kSmallEntryHash = "2770935136cfebd639d58d5ec05cee92c5ddec0a476ebd405a0fb5b970f085a0";
constexpr std::string_view kSmallEntrySignature =
    "9lSgrCMm8M9pf/YMXgGSvlJ41RWG4OtJneXV5/kC+cu0TKPQWxP9PbseR+P9OazEszB3/NIILTQFsVvy+qPYAQ==";

TEST(EntryHash, IsTheDigestOfTheCanonicalFormWithNullsKept) {
  json::Value tree = model::entry_value(small_entry());
  tree.erase("entry_hash");
  tree.erase("signature");
  EXPECT_EQ(json::write_canonical(tree), kSmallEntryCanonical);
  EXPECT_EQ(hash::sha256_hex(kSmallEntryCanonical), kSmallEntryHash);
  EXPECT_EQ(compute_entry_hash(small_entry()), kSmallEntryHash);
  EXPECT_NE(hash::sha256_hex(kSmallEntryWithoutNulls), kSmallEntryHash);
}

TEST(EntryHash, IgnoresItsOwnTwoFieldsAndCoversEveryOther) {
  const std::string original = compute_entry_hash(small_entry()).value();
  for (const auto& [hash_text, signature] : std::vector<std::pair<std::string, std::string>>{
           {"", ""}, {"0000", "x"}, {std::string(kSmallEntryHash), std::string(kSmallEntrySignature)}}) {
    LedgerEntry entry = small_entry();
    entry.entry_hash = hash_text;
    entry.signature = signature;
    EXPECT_EQ(compute_entry_hash(entry), original);
  }

  const std::vector<std::pair<const char*, std::function<void(LedgerEntry&)>>> changes = {
      {"entry_id", [](LedgerEntry& e) { e.entry_id += "x"; }},
      {"contributor_id", [](LedgerEntry& e) { e.contributor_id += "x"; }},
      {"causal_position", [](LedgerEntry& e) { e.causal_position = 1; }},
      {"parent_entry_hashes", [](LedgerEntry& e) { e.parent_entry_hashes.clear(); }},
      {"timestamp_local", [](LedgerEntry& e) { e.timestamp_local += "x"; }},
      {"timestamp_trusted", [](LedgerEntry& e) { e.timestamp_trusted = TrustedTimestamp{}; }},
      {"event_type", [](LedgerEntry& e) { e.event_type = EventType::ManualCheckpoint; }},
      {"daw_context", [](LedgerEntry& e) { e.daw_context.reset(); }},
      {"daw_name", [](LedgerEntry& e) { e.daw_context->daw_name = "Reaper"; }},
      {"content_refs", [](LedgerEntry& e) { e.content_refs.push_back(e.content_refs[0]); }},
      {"content_type", [](LedgerEntry& e) { e.content_refs[0].content_type = ContentType::Midi; }},
      {"perceptual_fingerprint", [](LedgerEntry& e) { e.content_refs[0].perceptual_fingerprint = ""; }},
      {"byte_size", [](LedgerEntry& e) { e.content_refs[0].byte_size = 1; }},
      {"encrypted", [](LedgerEntry& e) { e.content_refs[0].storage.encrypted = true; }},
      {"local_path", [](LedgerEntry& e) { e.content_refs[0].storage.local_path += "x"; }},
      {"notes", [](LedgerEntry& e) { e.notes = ""; }},
      {"key_rotation", [](LedgerEntry& e) { e.key_rotation = KeyRotation{}; }},
      {"identity_recovery", [](LedgerEntry& e) { e.identity_recovery = IdentityRecovery{}; }},
  };
  for (const auto& [name, change] : changes) {
    LedgerEntry entry = small_entry();
    change(entry);
    EXPECT_NE(compute_entry_hash(entry), original) << name;
  }
}

TEST(EntryHash, DiffersFromTheHashOfTheLineAsWritten) {
  LedgerEntry entry = small_entry();
  ASSERT_TRUE(sign_entry(entry, test_key()));
  const std::string line = model::write_entry_line(entry).value();
  EXPECT_NE(hash::sha256_hex(line), entry.entry_hash);
  // Even without its two filled-in members the line keeps declaration order, not sorted order.
  json::Value tree = model::entry_value(entry);
  tree.erase("entry_hash");
  tree.erase("signature");
  EXPECT_NE(hash::sha256_hex(json::write_compact(tree).value()), entry.entry_hash);
}

TEST(SignEntry, SetsTheHashAndASignatureOverItsHexText) {
  LedgerEntry entry = small_entry();
  ASSERT_TRUE(sign_entry(entry, test_key()));
  EXPECT_EQ(entry.entry_hash, kSmallEntryHash);
  EXPECT_EQ(entry.signature, kSmallEntrySignature);
  EXPECT_EQ(entry.signature.size(), 88u);
  EXPECT_TRUE(verifies(entry.entry_hash, entry.signature));
  const auto raw_digest = from_hex(entry.entry_hash);
  EXPECT_FALSE(verifies(std::string_view(reinterpret_cast<const char*>(raw_digest.data()), raw_digest.size()),
                        entry.signature));

  LedgerEntry again = entry;
  ASSERT_TRUE(sign_entry(again, test_key()));
  EXPECT_EQ(again.signature, entry.signature) << "Ed25519 signing is deterministic";
  LedgerEntry unchanged = small_entry();
  unchanged.entry_hash = entry.entry_hash;
  unchanged.signature = entry.signature;
  EXPECT_EQ(json::to_compact(again), json::to_compact(unchanged)) << "no other field changes";
}

TEST(SignEntry, AnEntryReadBackFromItsLineStillHashesAndVerifies) {
  LedgerEntry entry = small_entry();
  entry.notes = "line\nbreak \xC3\xA9";
  ASSERT_TRUE(sign_entry(entry, test_key()));
  const auto read = model::read_entry_line(model::write_entry_line(entry).value());
  ASSERT_TRUE(read) << read.error().to_string();
  EXPECT_EQ(compute_entry_hash(*read), read->entry_hash);
  EXPECT_TRUE(verifies(read->entry_hash, read->signature));

  LedgerEntry tampered = *read;
  tampered.notes = "line\nbreak e";
  EXPECT_NE(compute_entry_hash(tampered), tampered.entry_hash);
}

TEST(SignEntry, LeavesTheEntryAloneWhenItCannotBeHashed) {
  LedgerEntry entry = small_entry();
  entry.content_refs[0].storage.local_path = "bad\xFF";
  const std::string before = entry.entry_hash + entry.signature;
  const auto signed_entry = sign_entry(entry, test_key());
  ASSERT_FALSE(signed_entry);
  EXPECT_TRUE(signed_entry.error().is<core_error::Serialize>());
  EXPECT_EQ(signed_entry.error().message().rfind("failed to serialize JSON: ", 0), 0u);
  EXPECT_EQ(entry.entry_hash + entry.signature, before);
}

}  // namespace
}  // namespace tallowmere_core::entry_builder
