#pragma once

namespace quobble {

// Command, control and timer ids shared by the screens, the frame and the
// search core.
enum : int {
  ID_QUERY_EDIT = 1000,
  ID_SEARCH = 1001,
  ID_PREV_PAGE = 1002,
  ID_NEXT_PAGE = 1003,
  ID_WISH_ADD = 1004,
  ID_WISH_SHOW = 1005,
  ID_WATCH_PRODUCT = 1006,
  ID_WATCHED_PRODUCTS = 1007,
  ID_PROGRESS = 1010,
  ID_THUMB_PROGRESS = 2003,
  ID_THUMB_DONE = 2004,

  ID_RETRY_TIMER = 100,

  ID_DISPLAY_10 = 32792,
  ID_DISPLAY_30 = 32793,
  ID_DISPLAY_50 = 32794,
  ID_DISPLAY_75 = 32795,
  ID_DISPLAY_100 = 32796,
  ID_SORT_SIM = 32799,
  ID_SORT_ASC = 32801,
  ID_SORT_DATE = 32802,
  ID_SORT_DSC = 32803,

  ID_NEW = 57600,
  ID_ABOUT = 57664,
  ID_EXIT = 57665,
  ID_MENU = 59282,
  ID_ACTION = 59283,
};

}  // namespace quobble
