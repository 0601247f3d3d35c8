#include "ui/ui_test_env.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "ui/fonts.h"

namespace quobble {

namespace {

std::string& RunFolder() {
  static std::string folder;
  return folder;
}

class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "quobble-ui-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) RunFolder() = pattern;
    ::chmod(pattern.c_str(), 0700);
    ::setenv("XDG_RUNTIME_DIR", pattern.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (pattern + "/config").c_str(), 1);
    ::setenv("XDG_STATE_HOME", (pattern + "/state").c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static int argc = 1;
    static char name[] = "quobble_ui_test";
    static char* argv[] = {name, nullptr};
    app_ = new QApplication(argc, argv);
    InstallFontSubstitutions();
    // A message box nobody expected would hang the test run: after a few
    // seconds it is reported and dismissed, and the test fails on its own.
    watchdog_ = new QTimer;
    QObject::connect(watchdog_, &QTimer::timeout, [this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box != lastBox_) {
        lastBox_ = box;
        ticks_ = 0;
        return;
      }
      if (box && ++ticks_ >= 3) {
        std::fprintf(stderr, "unexpected message box \"%s\": %s\n", qPrintable(box->windowTitle()),
                     qPrintable(box->text()));
        ADD_FAILURE() << "unexpected message box: " << box->text().toStdString();
        box->done(QMessageBox::Ok);
      }
    });
    watchdog_->start(1000);
  }
  void TearDown() override {
    delete watchdog_;
    delete app_;
    app_ = nullptr;
    std::error_code ignored;
    if (!RunFolder().empty()) std::filesystem::remove_all(RunFolder(), ignored);
  }

 private:
  QApplication* app_ = nullptr;
  QTimer* watchdog_ = nullptr;
  QMessageBox* lastBox_ = nullptr;
  int ticks_ = 0;
};

const auto* const registered = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace

QString TestRunFolder() {
  return QString::fromStdString(RunFolder());
}

}  // namespace quobble

#if defined(__SANITIZE_THREAD__)
// Qt is not built for the race detector: its pool threads (image scaling and
// conversion while painting) hand memory over through Qt's own futex-based
// locks, which the detector cannot see. Accesses made by uninstrumented
// libraries are left out; everything our code touches is still checked.
extern "C" const char* __tsan_default_options() {
  return "ignore_noninstrumented_modules=1";
}
#endif
