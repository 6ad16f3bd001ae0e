// manifest.json of a project's central directory, read on every project load.
#include "fuzz_support.h"
#include "model.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tallowmere_fuzz::check_document<tallowmere_core::WorkManifest>(tallowmere_fuzz::as_text(data, size));
  return 0;
}
