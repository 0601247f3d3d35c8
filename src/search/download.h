#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/internet.h"
#include "search/search_screen.h"

namespace quobble {

// Told after each write: (3, bytes this write wrote).
using DownloadNotify = std::function<void(int, int64_t)>;

// Fetches `url` into the device file `filePath`, replacing it. Returns 1 when
// the file is complete, 0 when the download failed; every failure has already
// been shown through `messages` (caption "error"). `notify` and `cancel` may
// be empty/null. Never opens or closes `internet`.
[[nodiscard]] int DownloadFile(HINTERNET internet, const std::u16string& filePath,
                               const std::u16string& url, int reload, const DownloadNotify& notify,
                               const std::atomic<bool>* cancel, MessageSink& messages);

}  // namespace quobble
