#include "wishlist/wish_database.h"

#include <cstdio>
#include <optional>
#include <string>

#include "platform/device_fs.h"

namespace quobble {

namespace {
constexpr int kBusyTimeoutMs = 5000;
}

void ReportWishError(const char* what, sqlite3* db) {
  std::fprintf(stderr, "%s: %s\n", what, sqlite3_errmsg(db));
}

void CloseWishDatabase(sqlite3* db) {
  if (sqlite3_close(db) != SQLITE_OK) ReportWishError("sqlite3_close(Wish)", db);
}

sqlite3* OpenWishDatabase() {
  std::optional<std::string> path = MapDevicePath(u"\\Wish");
  if (!path) {
    std::fprintf(stderr, "sqlite3_open(Wish): no device root\n");
    return nullptr;
  }
  // A root given as a relative "file:..." would otherwise be read as a URI.
  if (path->front() != '/') path->insert(0, "./");
  sqlite3* db = nullptr;
  // A link planted at "Wish" would have the rows written wherever it points.
  sqlite3_open_v2(path->c_str(), &db,
                  SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW, nullptr);
  if (db == nullptr) {
    std::fprintf(stderr, "sqlite3_open(Wish): out of memory\n");
    return nullptr;
  }
  // Another client may hold the database for a moment: wait for it rather
  // than lose the entry.
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  return db;
}

}  // namespace quobble
