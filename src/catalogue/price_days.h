#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/catalogue_data.h"

namespace quobble::catalogue {

// The stand-in's prices move from day to day, the same way in every run: a
// product's price on a day depends only on its id, its catalogue price and
// the day. Most days a product keeps yesterday's price; now and then it
// moves to a new level (down or up, 70-115 % of its catalogue price), and on
// a few days it is not offered at all.

// Days since 1970-01-01 of a "YYYY-MM-DD" date (years 1970 to 9999); false
// for anything else, an impossible day of a month included.
[[nodiscard]] bool ParseCatalogueDay(std::string_view text, int64_t& day);
// "YYYY-MM-DD" of a day number.
std::string CatalogueDayText(int64_t day);
// Today in the local time zone: the day a person running the service lives in.
int64_t CatalogueToday();

// The products as the service offers them on `day`: prices of that day, the
// products missing that day left out. The order is kept.
void ApplyCatalogueDay(std::vector<Product>& products, int64_t day);

}  // namespace quobble::catalogue
