#pragma once
#include <QString>
#include <string>
#include <string_view>

namespace quobble {

// The core's wide text and Qt's strings are both UTF-16: no conversion.
inline QString ToQString(std::u16string_view text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

inline std::u16string ToU16(const QString& text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text.utf16()),
                        static_cast<size_t>(text.size()));
}

}  // namespace quobble
