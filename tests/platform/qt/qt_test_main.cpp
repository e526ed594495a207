// The Qt tests' main: one QApplication for the whole run, on the offscreen platform unless
// another is asked for, so that the tests need no display.
#include <gtest/gtest.h>

#include <QApplication>

namespace {

// The offscreen platform says which window calls it cannot honour (raise, size hints); that
// is expected there and only hides the test output.
void QuietAboutOffscreenLimits(QtMsgType type, const QMessageLogContext& context,
                               const QString& text) {
  if (text.startsWith("This plugin does not support")) return;
  qt_message_output(type, context, text);
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  qInstallMessageHandler(QuietAboutOffscreenLimits);
  QApplication app(argc, argv);
  app.setQuitOnLastWindowClosed(false);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
