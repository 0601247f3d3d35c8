#pragma once
#include <QObject>
#include <functional>

#include "platform/call_queue.h"

namespace quobble {

// The thumbnail worker's way to the UI thread: a CallQueue whose calls are
// drained from the Qt event loop (nested loops of message boxes included).
class UiBridge : public QObject {
  Q_OBJECT

 public:
  // Lives on (and serves) the thread that creates it.
  UiBridge();

  bool OnUiThread() const { return calls_.OnOwnerThread(); }
  // See CallQueue::Call.
  bool Call(std::function<void()> work) { return calls_.Call(std::move(work)); }
  void Close() { calls_.Close(); }
  bool Closed() const { return calls_.Closed(); }

 private:
  Q_INVOKABLE void Drain() { calls_.Drain(); }

  CallQueue calls_;
};

}  // namespace quobble
