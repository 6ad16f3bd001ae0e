// registry.json in the central root, written by the companion tool and read at every rescan.
#include "fuzz_support.h"
#include "registry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tallowmere_fuzz::check_document<tallowmere_core::Registry>(tallowmere_fuzz::as_text(data, size));
  return 0;
}
