#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quobble::catalogue {

// One product of the catalogue, as the service answers it.
struct Product {
  int64_t id = 0;
  std::string title;  // UTF-8, never holds a tab or a line break
  int64_t lowPrice = 0;
  int64_t highPrice = 0;
  std::string mallName;
  std::string maker;
  std::string brand;
  int productType = 1;
  std::string category[4];
  std::string updated;  // "YYYY-MM-DD HH:MM:SS", so that text order is time order
};

// Reads a catalogue in the bundled format: a header line naming the columns
// (id, title, lprice, hprice, mallName, maker, brand, productType, category1..4,
// updated, in any order; unknown columns are ignored), then one product a
// line, fields separated by tabs. A malformed line makes the whole read fail,
// with `error` saying which line and why: serving half a catalogue silently
// would be worse than refusing to start.
[[nodiscard]] bool ParseCatalogue(std::string_view text, std::vector<Product>& out,
                                  std::string& error);

// Reads and parses a catalogue file.
[[nodiscard]] bool LoadCatalogueFile(const std::string& path, std::vector<Product>& out,
                                     std::string& error);

// The catalogue compiled into this library.
std::string_view BundledCatalogueText();

// The catalogue a service starts with: the file when one is named, else the
// bundled one.
[[nodiscard]] bool LoadCatalogue(const std::string& fileOrEmpty, std::vector<Product>& out,
                                 std::string& error);

// Writes products in the format ParseCatalogue reads (used to generate large
// catalogues for benchmarks and tests).
std::string FormatCatalogue(const std::vector<Product>& products);

}  // namespace quobble::catalogue
