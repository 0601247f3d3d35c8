// The bundled catalogue is linked into the library byte for byte, so the
// service works from any folder without a data file beside it.
#include "catalogue/catalogue_data.h"

__asm__(
    ".pushsection .rodata\n"
    ".balign 16\n"
    ".globl quobble_bundled_catalogue_begin\n"
    ".hidden quobble_bundled_catalogue_begin\n"
    "quobble_bundled_catalogue_begin:\n"
    ".incbin \"" QUOBBLE_BUNDLED_CATALOGUE
    "\"\n"
    ".globl quobble_bundled_catalogue_end\n"
    ".hidden quobble_bundled_catalogue_end\n"
    "quobble_bundled_catalogue_end:\n"
    ".popsection\n");

extern "C" __attribute__((visibility("hidden"))) const char quobble_bundled_catalogue_begin[];
extern "C" __attribute__((visibility("hidden"))) const char quobble_bundled_catalogue_end[];

namespace quobble::catalogue {

std::string_view BundledCatalogueText() {
  return std::string_view(
      quobble_bundled_catalogue_begin,
      static_cast<size_t>(quobble_bundled_catalogue_end - quobble_bundled_catalogue_begin));
}

}  // namespace quobble::catalogue
