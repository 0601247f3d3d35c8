#include "ui/ui_test_env.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
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
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static int argc = 1;
    static char name[] = "quobble_ui_test";
    static char* argv[] = {name, nullptr};
    app_ = new QApplication(argc, argv);
    InstallFontSubstitutions();
  }
  void TearDown() override {
    delete app_;
    app_ = nullptr;
    std::error_code ignored;
    if (!RunFolder().empty()) std::filesystem::remove_all(RunFolder(), ignored);
  }

 private:
  QApplication* app_ = nullptr;
};

const auto* const registered = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace

QString TestRunFolder() {
  return QString::fromStdString(RunFolder());
}

void ProcessEventsFor(int ms) {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < ms) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(2);
  }
}

}  // namespace quobble
