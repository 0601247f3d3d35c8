#pragma once
#include <cstdint>

#include "search/search_screen.h"

namespace quobble {

// The wish list in the SQLite database "Wish" at the device root. Each call
// opens the database, makes sure the table exists, does its work and closes
// it again. Errors of the database go to stderr.

// Stores the query box's text: 0 stored (or tried), 1 the table could not be
// created, -1 the query box was empty (the user was told). A failed insert or
// commit still returns 0 (only stderr tells); `stored`, when given, says
// whether the row is really in the file.
int AddToWishList(SearchScreen& screen, bool* stored);
inline int AddToWishList(SearchScreen& screen) {
  return AddToWishList(screen, nullptr);
}
// One message box per row, "[ID, Name, LowPrice]" with caption "Warning":
// 0 shown, 1 the table could not be created.
int ShowWishList(SearchScreen& screen);
// Deletes the row with this ID: 0 deleted, -1 there was none, 1 the database
// failed (said on stderr).
int RemoveFromWishList(int64_t id);

}  // namespace quobble
