#include "ui/ui_bridge.h"

namespace quobble {

// The posted event carries no data of ours: the call itself travels through
// the queue under its own lock, so the hand-over is visible to race detectors
// that cannot see inside Qt.
UiBridge::UiBridge()
    : calls_([this] { QMetaObject::invokeMethod(this, "Drain", Qt::QueuedConnection); }) {}

}  // namespace quobble
