#include "catalogue/price_days.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <ctime>

#include "platform/text.h"

namespace quobble::catalogue {
namespace {

// Chances in a thousand, per product and day.
constexpr uint64_t kMovesPerMille = 60;
constexpr uint64_t kMissingPerMille = 25;
// A move further back than this is forgotten: the catalogue price holds.
constexpr int64_t kLookBackDays = 365;
// The levels a price moves between, in percent of the catalogue price.
constexpr int kLevels[] = {70, 75, 80, 85, 90, 95, 100, 100, 105, 110, 115};

uint64_t Mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// One draw per product, day and purpose, stable across runs and machines.
uint64_t Draw(int64_t id, int64_t day, uint64_t purpose) {
  return Mix(Mix(static_cast<uint64_t>(id)) ^ Mix(static_cast<uint64_t>(day) * 4 + purpose));
}

bool Moves(int64_t id, int64_t day) {
  return Draw(id, day, 1) % 1000 < kMovesPerMille;
}

bool Missing(int64_t id, int64_t day) {
  return Draw(id, day, 2) % 1000 < kMissingPerMille;
}

// The level set by the last move on or before `day`.
int PercentOn(int64_t id, int64_t day) {
  for (int64_t back = 0; back < kLookBackDays; ++back) {
    if (Moves(id, day - back))
      return kLevels[Draw(id, day - back, 3) % (sizeof kLevels / sizeof kLevels[0])];
  }
  return 100;
}

// Shop prices end in a round ten.
int64_t Scale(int64_t price, int percent) {
  return std::min<int64_t>((price * percent / 100 + 5) / 10 * 10, INT32_MAX);
}

// Days since 1970-01-01 of a calendar date that exists.
int64_t DaysOf(const std::chrono::year_month_day& date) {
  return std::chrono::sys_days(date).time_since_epoch().count();
}

}  // namespace

bool ParseCatalogueDay(std::string_view text, int64_t& day) {
  long long year = 0, month = 0, mday = 0;
  if (text.size() != 10 || text[4] != '-' || text[7] != '-' ||
      !ParseWholeNumber(text.substr(0, 4), 1970, 9999, year) ||
      !ParseWholeNumber(text.substr(5, 2), 1, 12, month) ||
      !ParseWholeNumber(text.substr(8, 2), 1, 31, mday))
    return false;
  const std::chrono::year_month_day date{std::chrono::year(static_cast<int>(year)),
                                         std::chrono::month(static_cast<unsigned>(month)),
                                         std::chrono::day(static_cast<unsigned>(mday))};
  if (!date.ok()) return false;
  day = DaysOf(date);
  return true;
}

std::string CatalogueDayText(int64_t day) {
  const std::time_t when = static_cast<std::time_t>(day) * 86400;
  std::tm tm{};
  gmtime_r(&when, &tm);
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  return text;
}

int64_t CatalogueToday() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  return DaysOf(
      std::chrono::year_month_day{std::chrono::year(tm.tm_year + 1900),
                                  std::chrono::month(static_cast<unsigned>(tm.tm_mon + 1)),
                                  std::chrono::day(static_cast<unsigned>(tm.tm_mday))});
}

void ApplyCatalogueDay(std::vector<Product>& products, int64_t day) {
  size_t kept = 0;
  for (Product& p : products) {
    if (Missing(p.id, day)) continue;
    const int percent = PercentOn(p.id, day);
    p.lowPrice = Scale(p.lowPrice, percent);
    // A high price of 0 means the shop gave none; it stays none.
    if (p.highPrice != 0) p.highPrice = std::max(Scale(p.highPrice, percent), p.lowPrice);
    if (&products[kept] != &p) products[kept] = std::move(p);
    ++kept;
  }
  products.resize(kept);
}

}  // namespace quobble::catalogue
