#pragma once
#include <sqlite3.h>

namespace quobble {

// The SQLite database "Wish" at the device root, shared by the wish list and
// the price watch. Each opening waits out a brief lock held by another client
// (the app and the terminal client share the file) and never follows a
// symbolic link planted at the path.

// A connection, possibly in an error state (as SQLite hands one back: the
// first statement then fails with its message); null only when there is no
// device root or no memory, which is reported on stderr.
sqlite3* OpenWishDatabase();
// Closes; a failure (a statement left unfinalized) is reported on stderr.
void CloseWishDatabase(sqlite3* db);
// "what: SQLite's last error" on stderr.
void ReportWishError(const char* what, sqlite3* db);

}  // namespace quobble
