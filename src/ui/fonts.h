#pragma once
#include <QFont>

namespace quobble {

// "굴림" (also spelt "Gulim") has no fontconfig alias; without a substitution
// the buttons would get a face with no Hangul. Idempotent.
void InstallFontSubstitutions();

// The buttons' font: 20 pixels, weight 600, face "굴림", a sans-serif face.
QFont ButtonFont();

}  // namespace quobble
