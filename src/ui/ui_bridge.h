#pragma once
#include <QObject>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace quobble {

// Hands work from the thumbnail worker to the UI thread and waits until it
// has been done there. The UI thread itself never waits on the worker: it
// serves the calls from its event loop, nested loops (message boxes)
// included. Close() releases every waiting worker at once and turns later
// calls away, so a window that is going away can join the worker without a
// deadlock.
class UiBridge : public QObject {
  Q_OBJECT

 public:
  // Lives on (and serves) the thread that creates it.
  UiBridge();
  ~UiBridge() override;

  bool OnUiThread() const { return std::this_thread::get_id() == uiThread_; }

  // Runs `work` on the UI thread: at once when called there, else queued and
  // waited for. False when the bridge is closed and `work` did not run.
  bool Call(std::function<void()> work);

  void Close();
  bool Closed() const;

 private:
  struct Pending {
    std::function<void()> work;
    bool done = false;
  };

  // Runs the queued calls; invoked on the UI thread by the posted event.
  Q_INVOKABLE void Drain();

  const std::thread::id uiThread_;
  mutable std::mutex mutex_;
  std::condition_variable finished_;
  std::deque<std::shared_ptr<Pending>> queue_;
  bool closed_ = false;
};

}  // namespace quobble
