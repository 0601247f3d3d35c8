#include "tests/support/test_data.h"

#include <fstream>
#include <iterator>

namespace quobble {

std::string Pattern(size_t size) {
  std::string body(size, '\0');
  for (size_t i = 0; i < size; ++i) body[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return body;
}

std::string EncodeAll(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : text) {
    out += '%';
    out += kHex[c >> 4];
    out += kHex[c & 0xF];
  }
  return out;
}

std::string ReadHostFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string RssChannel(const std::string& inner) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><rss version=\"2.0\"><channel>" + inner +
         "</channel></rss>";
}

std::string RssItem(const std::string& title, const std::string& fields) {
  return "<item><title>" + title + "</title>" + fields + "</item>";
}

std::string RssAnswer(const std::string& title, int total, int start, int display,
                      const std::vector<std::string>& items) {
  std::string inner = "<title>" + title + "</title><total>" + std::to_string(total) +
                      "</total><start>" + std::to_string(start) + "</start><display>" +
                      std::to_string(display) + "</display>";
  for (const std::string& item : items) inner += item;
  return RssChannel(inner);
}

}  // namespace quobble
