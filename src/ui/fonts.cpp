#include "ui/fonts.h"

#include <QStringList>

namespace quobble {

void InstallFontSubstitutions() {
  const QString nanum = QStringLiteral("NanumGothic");
  for (const QString& face : {QStringLiteral("굴림"), QStringLiteral("Gulim")}) {
    if (!QFont::substitutes(face).contains(nanum)) QFont::insertSubstitution(face, nanum);
  }
}

QFont ButtonFont() {
  InstallFontSubstitutions();
  QFont font(QStringLiteral("굴림"));
  font.setPixelSize(20);
  font.setWeight(static_cast<QFont::Weight>(600));
  font.setStyleHint(QFont::SansSerif);
  return font;
}

}  // namespace quobble
