// One line of ledger.jsonl: read on every project load, for every line of every ledger, and the
// companion tool writes the same file.
#include "fuzz_support.h"
#include "json/canonical.h"
#include "model.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace json = tallowmere_core::json;
  namespace model = tallowmere_core::model;
  using tallowmere_fuzz::broken;

  const std::string_view line = tallowmere_fuzz::as_text(data, size);
  auto entry = model::read_entry_line(line);
  if (!entry) {
    tallowmere_fuzz::check_rejection(line, entry.error());
    return 0;
  }
  tallowmere_fuzz::check_is_json(line);
  const std::string written = tallowmere_fuzz::check_rewrite_is_stable(*entry, model::read_entry_line, model::write_entry_line);

  // The entry hash is taken over the value tree, so the tree must hold exactly what the line holds.
  const json::Value tree = model::entry_value(*entry);
  if (json::Value::parse(written) != tree) broken("the value tree holds what the line holds", written);
  auto canonical = json::write_canonical(tree);
  if (!canonical) broken("an accepted entry has a canonical form", canonical.error().to_string());
  if (!nlohmann::json::accept(*canonical)) broken("the canonical form is JSON", *canonical);
  return 0;
}
