#pragma once

#include "search/search_screen.h"

namespace quobble {

// The wish list in the SQLite database "Wish" at the device root. Each call
// opens the database, makes sure the table exists, does its work and closes
// it again. Errors of the database go to stderr.

// Stores the query box's text: 0 stored (or tried), 1 the table could not be
// created, -1 the query box was empty (the user was told).
int AddToWishList(SearchScreen& screen);
// One message box per row, "[ID, Name, LowPrice]" with caption "Warning":
// 0 shown, 1 the table could not be created.
int ShowWishList(SearchScreen& screen);

}  // namespace quobble
