#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace quobble {

// `size` bytes of a pattern that repeats late, so that a lost, doubled or
// reordered chunk shows.
std::string Pattern(size_t size);

// Every byte as "%xx", as the client encodes a query.
std::string EncodeAll(std::string_view text);

// A whole host file; empty when it cannot be read.
std::string ReadHostFile(const std::string& path);

// Shopping answers: `inner` inside <rss><channel>, an item with its title and
// further fields, and a whole answer with its counts and items.
std::string RssChannel(const std::string& inner);
std::string RssItem(const std::string& title, const std::string& fields = "");
std::string RssAnswer(const std::string& title, int total, int start, int display,
                      const std::vector<std::string>& items);

}  // namespace quobble
